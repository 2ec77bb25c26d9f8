#include "VIpc/message.h"

#include <atomic>
#include <cstring>
#include <new>

#include <QByteArray>
#include <QChar>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMetaProperty>
#include <QVariant>
#include <QVector>
#include <QtEndian>

#include "VIpc/message_p.h"

namespace {

std::atomic<qint32> g_maxFrameLength{256 * 1024 * 1024};

const char kClassName[] = "VMessage"; // sent with its terminating zero

[[noreturn]] void malformed()
{
    throw VException("malformed message while deserializing");
}

// Bounded big-endian reader over one body.
class BodyCursor
{
public:
    BodyCursor(const char* data, qint64 size)
        : _p(reinterpret_cast<const uchar*>(data)), _left(size) {}

    qint64 left() const { return _left; }
    const uchar* take(qint64 n)
    {
        if (n < 0 || n > _left)
            malformed();
        const uchar* p = _p;
        _p += n;
        _left -= n;
        return p;
    }
    template <typename T> T number() { return qFromBigEndian<T>(take(sizeof(T))); }

    // A length word, 0xFFFFFFFF for null, else a count of bytes that follow.
    bool length(quint32& len)
    {
        len = number<quint32>();
        if (len == 0xFFFFFFFFu)
            return false;
        if (len > _left)
            malformed();
        return true;
    }

private:
    const uchar* _p;
    qint64 _left;
};

QString readString(BodyCursor& c)
{
    quint32 len;
    if (!c.length(len))
        return QString();
    if (len % 2 != 0)
        malformed();
    if (len == 0)
        return QString(QLatin1String(""));
    const uchar* p = c.take(len);
    QString s(int(len / 2), Qt::Uninitialized);
    ushort* d = reinterpret_cast<ushort*>(s.data());
    for (quint32 i = 0; i < len / 2; ++i)
        d[i] = qFromBigEndian<quint16>(p + 2 * i);
    return s;
}

QByteArray readByteArray(BodyCursor& c)
{
    quint32 len;
    if (!c.length(len))
        return QByteArray();
    if (len == 0)
        return QByteArray("");
    return QByteArray(reinterpret_cast<const char*>(c.take(len)), int(len));
}

// One QVariant as a version 10 stream holds it. Only the kinds that cannot
// nest are accepted (Qt 4 type ids): a peer cannot make us build lists,
// maps or user types.
QVariant readVariant(BodyCursor& c)
{
    const quint32 type = c.number<quint32>();
    c.take(1); // null flag: the value follows either way
    switch (type) {
    case 1: return QVariant(c.number<qint8>() != 0);
    case 2: return QVariant(c.number<qint32>());
    case 3: return QVariant(c.number<quint32>());
    case 4: return QVariant(c.number<qint64>());
    case 5: return QVariant(c.number<quint64>());
    case 6: {
        const quint64 bits = c.number<quint64>();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return QVariant(d);
    }
    case 7: return QVariant(QChar(c.number<quint16>()));
    case 10: return QVariant(readString(c));
    case 12: return QVariant(readByteArray(c));
    default: malformed();
    }
}

qint32 wordAt(const char* p, QDataStream::ByteOrder order)
{
    return order == QDataStream::BigEndian ? qFromBigEndian<qint32>(p) : qFromLittleEndian<qint32>(p);
}

// Waits until the device holds the wanted number of bytes.
class FrameWaiter
{
public:
    FrameWaiter(QIODevice* device, int waitMs, qint64 deadlineMs)
        : _device(device), _waitMs(waitMs), _deadlineMs(deadlineMs)
    {
        _clock.start();
    }

    void waitFor(qint64 bytes)
    {
        while (_device->bytesAvailable() < bytes) {
            int ms = _waitMs;
            if (_deadlineMs >= 0) {
                const qint64 left = _deadlineMs - _clock.elapsed();
                if (left <= 0)
                    deadlinePassed();
                ms = int(qMin<qint64>(ms, left));
            }
            if (!_device->waitForReadyRead(ms)) {
                if (_deadlineMs >= 0 && _clock.elapsed() >= _deadlineMs)
                    deadlinePassed();
                throw VException(QStringLiteral("Error while waiting for read: ") + _device->errorString());
            }
        }
    }

private:
    [[noreturn]] void deadlinePassed() const
    {
        throw VException(QStringLiteral("Error while waiting for read: message not complete within %1 ms")
                             .arg(_deadlineMs));
    }

    QIODevice* _device;
    int _waitMs;
    qint64 _deadlineMs;
    QElapsedTimer _clock;
};

void readExactly(QIODevice* device, char* data, qint64 size)
{
    if (device->read(data, size) != size)
        throw VException(QStringLiteral("Error while waiting for read: ") + device->errorString());
}

} // namespace

VMessage::~VMessage() {}

QString VMessage::toString() const
{
    // One pass over the placeholders: a "%2" inside a value stays as it is.
    return QStringLiteral("instance of VMessage: stringType=%1, intData=%2, stringData=%3")
        .arg(stringType, QString::number(intData), stringData);
}

qint32 VMessage::maxFrameLength()
{
    return g_maxFrameLength.load(std::memory_order_relaxed);
}

void VMessage::setMaxFrameLength(qint32 bytes)
{
    // A frame is held in one QByteArray, which stays below 2 GiB.
    g_maxFrameLength.store(qBound<qint32>(0, bytes, 0x7FFFFF00), std::memory_order_relaxed);
}

QDataStream& operator<<(QDataStream& stream, const VMessage* message)
{
    QByteArray body;
    {
        QDataStream out(&body, QIODevice::WriteOnly);
        // The body's bytes must not depend on the Qt release.
        out.setVersion(QDataStream::Qt_4_4);
        const QMetaObject* mo = message->metaObject();
        out << mo->className();
        for (int i = 0; i < mo->propertyCount(); ++i)
            out << mo->property(i).read(message);
    }
    stream << qint32(body.size());
    stream << body;
    return stream;
}

QDataStream& operator>>(QDataStream& stream, VMessage*& message)
{
    VMessageWire::readFrame(stream, message, VMessageWire::DEFAULT_WAIT_MS, -1);
    return stream;
}

namespace VMessageWire {

VMessage* decodeBody(const char* data, qint64 size)
{
    BodyCursor c(data, size);
    const qint64 nameLen = sizeof kClassName;
    if (c.left() < 4 || c.number<quint32>() != quint32(nameLen) || c.left() < nameLen
        || std::memcmp(c.take(nameLen), kClassName, nameLen) != 0)
        throw VException("unrecognized class while deserializing");

    const QMetaObject& mo = VMessage::staticMetaObject;
    const int count = mo.propertyCount();
    QVector<QVariant> values;
    values.reserve(count);
    for (int i = 0; i < count; ++i)
        values.append(readVariant(c));

    // Values go to properties by position; trailing bytes are ignored.
    VMessage* message = new VMessage;
    for (int i = 0; i < count; ++i)
        mo.property(i).write(message, values[i]);
    return message;
}

void readFrame(QDataStream& stream, VMessage*& message, int waitMs, qint64 deadlineMs)
{
    QIODevice* device = stream.device();
    if (!device)
        throw VException("Error while waiting for read: no device");
    FrameWaiter waiter(device, waitMs, deadlineMs);
    const QDataStream::ByteOrder order = stream.byteOrder();

    char word[4];
    waiter.waitFor(4);
    readExactly(device, word, 4);
    const qint32 n = wordAt(word, order);
    // Refused before waiting or allocating: a peer's word alone must not
    // make us hold gigabytes.
    if (n < 0 || n > VMessage::maxFrameLength())
        throw VException(QStringLiteral("message length %1 out of range").arg(n));

    const qint64 total = qint64(n) + 4; // the body's own length word, then N bytes
    waiter.waitFor(total);
    QByteArray frame;
    try {
        frame.resize(int(total));
    } catch (const std::bad_alloc&) {
        throw VException(QStringLiteral("message length %1 out of range").arg(n));
    }
    readExactly(device, frame.data(), total);

    const quint32 inner = quint32(wordAt(frame.constData(), order));
    qint64 bodySize = 0;
    if (inner != 0xFFFFFFFFu) {
        if (inner > quint32(n))
            malformed();
        bodySize = inner;
    }
    message = decodeBody(frame.constData() + 4, bodySize);
}

} // namespace VMessageWire
