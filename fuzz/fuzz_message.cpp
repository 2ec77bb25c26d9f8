// The message wire reader: the bytes as what a peer sent, read frame after
// frame with operator>> from a QBuffer (a device holding everything that
// arrived), in both byte orders. Each message read is written and read back.
#include <memory>

#include <QBuffer>
#include <QDataStream>

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

void readAll(QByteArray& input, QDataStream::ByteOrder order)
{
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);
    QDataStream stream(&buffer);
    stream.setByteOrder(order);
    try {
        while (!buffer.atEnd()) {
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray input = vfuzz::bytes(data, size);
    readAll(input, QDataStream::BigEndian);
    readAll(input, QDataStream::LittleEndian);
    return 0;
}
