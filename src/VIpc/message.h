// VMessage: the library's one message class, three Qt properties that travel
// between processes as a length-prefixed frame (operator<< / operator>>).
// Not thread-safe: a message, and a stream with its device, belong to one thread at a time.
#ifndef VORNLIB_VIPC_MESSAGE_H
#define VORNLIB_VIPC_MESSAGE_H

#include "VCore/vornlib_export.h"

#include <QDataStream>
#include <QString>

#include "VCore/printable.h"
#include "VCore/serializable.h"
#include "VCore/vexception.h"

class VORN_EXPORT VMessage : public VSerializable, public VPrintable
{
    Q_OBJECT
    Q_PROPERTY(QString stringType READ getStringType WRITE setStringType STORED true)
    Q_PROPERTY(int intData READ getIntData WRITE setIntData STORED true)
    Q_PROPERTY(QString stringData READ getStringData WRITE setStringData STORED true)

public:
    VMessage() : intData(0) {}
    virtual ~VMessage();

    const QString& getStringType() const { return stringType; }
    void setStringType(const QString& value) { stringType = value; }
    int getIntData() const { return intData; }
    void setIntData(int value) { intData = value; }
    const QString& getStringData() const { return stringData; }
    void setStringData(const QString& value) { stringData = value; }

    const QString toShortString() const
    {
        return QStringLiteral("VMessage(stringType=%1)").arg(stringType);
    }

    // "instance of VMessage: stringType=..., intData=..., stringData=..."
    QString toString() const override;

    // Largest body length the reader accepts (256 MiB unless set); larger
    // or negative declared lengths are refused before anything is allocated.
    static qint32 maxFrameLength();
    static void setMaxFrameLength(qint32 bytes);

private:
    QString stringType;
    int intData;
    QString stringData;
};

// Writes one frame: qint32 body length N, the body as a QByteArray (its
// quint32 length N, then N bytes). The body is always a version 10
// (Qt_4_4), big-endian stream: the class name, then one QVariant per
// property in index order. Nothing is flushed.
VORN_EXPORT QDataStream& operator<<(QDataStream& stream, const VMessage* message);

// Reads one frame from a stream on a socket (or any device holding the
// whole frame), waiting at most 30000 ms for each part, and sets message to
// a new VMessage that the caller deletes. A frame larger than the read
// buffer of the stream's socket (QAbstractSocket::setReadBufferSize) fails
// at once. Only VException leaves it; on a throw message is left untouched.
VORN_EXPORT QDataStream& operator>>(QDataStream& stream, VMessage*& message);

#endif
