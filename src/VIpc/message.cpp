#include "VIpc/message.h"

#include <atomic>
#include <cstring>
#include <new>

#include <QAbstractSocket>
#include <QByteArray>
#include <QChar>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMetaProperty>
#include <QVariant>
#include <QVarLengthArray>
#include <QtEndian>

#include "VCore/qtcompat_p.h"
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
        // A socket whose read buffer cannot hold them all would make every
        // wait return at once without progress until the time is up.
        const QAbstractSocket* socket = qobject_cast<const QAbstractSocket*>(_device);
        const qint64 room = socket ? socket->readBufferSize() : 0;
        if (room > 0 && bytes > room)
            throw VException(QStringLiteral("Error while waiting for read: %1 bytes wanted, the socket keeps at most %2")
                                 .arg(bytes)
                                 .arg(room));
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

// The body as QDataStream writes it: works for any class with properties.
QByteArray genericBody(const VMessage* message)
{
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    // The body's bytes must not depend on the Qt release.
    out.setVersion(QDataStream::Qt_4_4);
    const QMetaObject* mo = message->metaObject();
    out << mo->className();
    for (int i = 0; i < mo->propertyCount(); ++i)
        out << mo->property(i).read(message);
    return body;
}

// Big-endian writer for the bytes a version 10 QDataStream gives a plain
// VMessage, without a QBuffer and a QVariant per property.
class FrameWriter
{
public:
    explicit FrameWriter(QByteArray& out) : _out(out) {}

    void word(quint32 v)
    {
        uchar b[4];
        qToBigEndian(v, b);
        _out.append(reinterpret_cast<const char*>(b), 4);
    }
    void variantHead(quint32 type)
    {
        word(type);
        _out.append('\0'); // null flag: always written as 0
    }
    void string(const QString& s)
    {
        if (s.isNull()) {
            word(0xFFFFFFFFu);
            return;
        }
        word(quint32(s.size()) * 2);
        const int at = _out.size();
        _out.resize(at + s.size() * 2);
        uchar* d = reinterpret_cast<uchar*>(_out.data()) + at;
        const ushort* p = s.utf16();
        for (int i = 0; i < s.size(); ++i)
            qToBigEndian<quint16>(p[i], d + 2 * i);
    }

private:
    QByteArray& _out;
};

// Property indexes of a plain VMessage, looked up once.
struct PlainLayout
{
    PlainLayout()
    {
        const QMetaObject& mo = VMessage::staticMetaObject;
        count = mo.propertyCount();
        objectName = mo.indexOfProperty("objectName");
        stringType = mo.indexOfProperty("stringType");
        intData = mo.indexOfProperty("intData");
        stringData = mo.indexOfProperty("stringData");
        valid = count == 4 && objectName == 0 && stringType == 1 && intData == 2 && stringData == 3;
    }
    int count, objectName, stringType, intData, stringData;
    bool valid;
};

const PlainLayout& plainLayout()
{
    static const PlainLayout layout;
    return layout;
}

// Qt 5's double to int property conversion: rounded half up to 64 bits
// (qRound64), then the low 32 bits; NaN and values beyond 64 bits give 0.
int qt5IntFromDouble(double d)
{
    const double limit = 9223372036854774784.0; // the largest double below 2^63
    if (!(d >= -limit && d <= limit))
        return 0;
    const qint64 below = qint64(d - 1);
    const qint64 rounded = d >= 0.0 ? qint64(d + 0.5) : qint64(d - double(below) + 0.5) + below;
    return int(quint32(quint64(rounded)));
}

// Qt 6's property system rounds doubles half away from zero and converts
// byte arrays otherwise: the values are converted here as Qt 5 does, so a
// frame reads the same on every Qt.
QVariant asQt5Converts(const QVariant& v, int propertyType)
{
    if (propertyType == QMetaType::Int && v.userType() == QMetaType::Double)
        return QVariant(qt5IntFromDouble(v.toDouble()));
    if (propertyType == QMetaType::QString && v.userType() == QMetaType::QByteArray)
        return QVariant(vQt5StringFromBytes(v.toByteArray()));
    return v;
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
    if (stream.byteOrder() == QDataStream::BigEndian) {
        const QByteArray frame = VMessageWire::encodeFrame(message);
        stream.writeRawData(frame.constData(), frame.size());
        return stream;
    }
    const QByteArray body = genericBody(message);
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

QByteArray encodeFrame(const VMessage* message)
{
    QByteArray frame;
    if (message->metaObject() != &VMessage::staticMetaObject || !plainLayout().valid) {
        const QByteArray body = genericBody(message);
        frame.reserve(8 + body.size());
        FrameWriter w(frame);
        w.word(quint32(body.size()));
        w.word(quint32(body.size()));
        frame.append(body);
        return frame;
    }
    const QString name = message->objectName();
    frame.reserve(64 + 2 * (name.size() + message->getStringType().size() + message->getStringData().size()));
    FrameWriter w(frame);
    w.word(0); // both length words are filled in below
    w.word(0);
    w.word(sizeof kClassName);
    frame.append(kClassName, sizeof kClassName);
    w.variantHead(QMetaType::QString);
    w.string(name);
    w.variantHead(QMetaType::QString);
    w.string(message->getStringType());
    w.variantHead(QMetaType::Int);
    w.word(quint32(message->getIntData()));
    w.variantHead(QMetaType::QString);
    w.string(message->getStringData());
    const quint32 bodySize = quint32(frame.size() - 8);
    qToBigEndian(bodySize, frame.data());
    qToBigEndian(bodySize, frame.data() + 4);
    return frame;
}

VMessage* decodeBody(const char* data, qint64 size)
{
    BodyCursor c(data, size);
    const qint64 nameLen = sizeof kClassName;
    if (c.left() < 4 || c.number<quint32>() != quint32(nameLen) || c.left() < nameLen
        || std::memcmp(c.take(nameLen), kClassName, nameLen) != 0)
        throw VException("unrecognized class while deserializing");

    const QMetaObject& mo = VMessage::staticMetaObject;
    const int count = mo.propertyCount();
    QVarLengthArray<QVariant, 8> values;
    values.reserve(count);
    for (int i = 0; i < count; ++i)
        values.append(readVariant(c));

    // Values go to properties by position; trailing bytes are ignored.
    // Values of the property's own type are set directly, others converted
    // by the property system.
    VMessage* message = new VMessage;
    const PlainLayout& layout = plainLayout();
    for (int i = 0; i < count; ++i) {
        const QVariant& v = values[i];
        if (layout.valid && i != layout.intData && v.userType() == QMetaType::QString) {
            if (i == layout.objectName) {
                // A fresh object's name is null already: setting a null one
                // would only allocate.
                const QString name = v.toString();
                if (!name.isNull())
                    message->setObjectName(name);
            }
            else if (i == layout.stringType)
                message->setStringType(v.toString());
            else
                message->setStringData(v.toString());
        } else if (layout.valid && i == layout.intData && v.userType() == QMetaType::Int) {
            message->setIntData(v.toInt());
        } else {
            const QMetaProperty property = mo.property(i);
            property.write(message, asQt5Converts(v, property.userType()));
        }
    }
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
    // Small frames, the usual request, are read without a heap buffer.
    char small[512];
    QByteArray big;
    char* frame = small;
    if (total > qint64(sizeof small)) {
        try {
            big.resize(int(total));
        } catch (const std::bad_alloc&) {
            throw VException(QStringLiteral("message length %1 out of range").arg(n));
        }
        frame = big.data();
    }
    readExactly(device, frame, total);

    const quint32 inner = quint32(wordAt(frame, order));
    qint64 bodySize = 0;
    if (inner != 0xFFFFFFFFu) {
        if (inner > quint32(n))
            malformed();
        bodySize = inner;
    }
    message = decodeBody(frame + 4, bodySize);
}

} // namespace VMessageWire
