// The message wire reader: the bytes as what a peer sent, read frame after
// frame with operator>> from a QBuffer (a device holding everything that
// arrived), in both byte orders, and from a local socket whose peer wrote
// them and hung up. Each message read is written and read back.
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QLocalSocket>

#include <VCore/eintr_p.h>
#include <VCore/unique_fd_p.h>
#include <VCore/vexception.h>
#include <VIpc/message.h>

#include "fuzz_target.h"

namespace {

void roundTrip(const VMessage& message, QDataStream::ByteOrder order)
{
    QByteArray wire;
    QBuffer buffer(&wire);
    buffer.open(QIODevice::ReadWrite);
    QDataStream stream(&buffer);
    stream.setByteOrder(order);
    stream << &message;
    buffer.seek(0);
    VMessage* back = nullptr;
    try {
        stream >> back;
    } catch (const VException&) {
        __builtin_trap(); // what we wrote must read back
    }
    std::unique_ptr<VMessage> owner(back);
    if (!back || back->getStringType() != message.getStringType()
        || back->getIntData() != message.getIntData() || back->getStringData() != message.getStringData())
        __builtin_trap();
}

void readFrames(QIODevice& device, QDataStream::ByteOrder order)
{
    QDataStream stream(&device);
    stream.setByteOrder(order);
    try {
        while (device.bytesAvailable() > 0 || device.waitForReadyRead(0)) {
            VMessage* message = nullptr;
            stream >> message;
            std::unique_ptr<VMessage> owner(message);
            if (!message)
                __builtin_trap();
            (void)message->toString();
            (void)message->toShortString();
            roundTrip(*message, order);
        }
    } catch (const VException&) {
    }
}

void readFromBuffer(QByteArray& input, QDataStream::ByteOrder order)
{
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);
    readFrames(buffer, order);
}

// The peer writes everything and closes before the reader starts: a frame
// cut short ends in a closed socket, never in the reader's 30 s wait.
void readFromSocket(const QByteArray& input)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    VUniqueFd reader(fds[0]);
    VUniqueFd writer(fds[1]);
    // The input is far below the socket buffer: the write does not block.
    const ssize_t written
        = vRetryOnEintr([&] { return ::write(writer.get(), input.constData(), size_t(input.size())); });
    writer.reset();
    QLocalSocket socket;
    if (written != input.size() || !socket.setSocketDescriptor(reader.get()))
        return;
    reader.release();
    readFrames(socket, QDataStream::BigEndian);
}

} // namespace

// Sockets want an application object.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    if (!QCoreApplication::instance())
        new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray input = vfuzz::bytes(data, size);
    readFromBuffer(input, QDataStream::BigEndian);
    readFromBuffer(input, QDataStream::LittleEndian);
    readFromSocket(input);
    return 0;
}
