// VMessage: wire bytes, read-back, hostile frames, waits and a fuzz run of
// the frame reader.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include <QBuffer>
#include <QDataStream>
#include <QMetaProperty>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include "VIpc/message.h"
#include "VIpc/message_p.h"
#include "sockutil.h"

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray written(const VMessage& m)
{
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s << &m;
    return out;
}

QByteArray be32(quint32 v)
{
    uchar b[4];
    qToBigEndian(v, b);
    return QByteArray(reinterpret_cast<const char*>(b), 4);
}

// A frame around any body: N, N again, the body.
QByteArray frameOf(const QByteArray& body)
{
    return be32(quint32(body.size())) + be32(quint32(body.size())) + body;
}

const QByteArray kName = be32(9) + QByteArray("VMessage", 9);
const QByteArray kNullString = hex("0000000a 00 ffffffff");

QByteArray intValue(qint32 v) { return hex("00000002 00") + be32(quint32(v)); }

// Reads one message from bytes; the buffer's position tells what was used.
VMessage* readFrom(QBuffer& buffer)
{
    QDataStream s(&buffer);
    VMessage* m = nullptr;
    s >> m;
    return m;
}

std::string readError(const QByteArray& bytes)
{
    QByteArray copy(bytes);
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    try {
        delete readFrom(buffer);
    } catch (const VException& e) {
        return e.what();
    }
    return "no exception";
}

} // namespace

TEST(VMessage, DefaultMessageHasTheDocumentedBytes)
{
    VMessage m;
    EXPECT_EQ(written(m).toHex(),
              hex("00000031 00000031 00000009 564d657373616765 00"
                  "0000000a 00 ffffffff 0000000a 00 ffffffff 00000002 00 00000000 0000000a 00 ffffffff")
                  .toHex());
    EXPECT_EQ(written(m).size(), 57);
}

TEST(VMessage, NullAndEmptyStringsStayDistinct)
{
    VMessage m;
    m.setStringType(QStringLiteral("Hi"));
    m.setIntData(-2);
    m.setStringData(QLatin1String(""));
    const QByteArray bytes = written(m);
    EXPECT_EQ(bytes.toHex(), hex("00000035 00000035 00000009 564d657373616765 00 0000000a 00 ffffffff"
                                 "0000000a 00 00000004 00480069 00000002 00 fffffffe 0000000a 00 00000000")
                                 .toHex());

    QByteArray copy(bytes);
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    std::unique_ptr<VMessage> back(readFrom(buffer));
    EXPECT_EQ(back->getStringType(), QStringLiteral("Hi"));
    EXPECT_EQ(back->getIntData(), -2);
    EXPECT_FALSE(back->getStringData().isNull());
    EXPECT_TRUE(back->getStringData().isEmpty());
    EXPECT_TRUE(back->objectName().isNull());
    EXPECT_EQ(buffer.pos(), bytes.size());
}

TEST(VMessage, EveryPropertyTravelsIncludingObjectName)
{
    VMessage m;
    m.setObjectName(QStringLiteral("request-7"));
    m.setStringType(QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80"));
    m.setIntData(std::numeric_limits<int>::min());
    m.setStringData(QString(70000, QLatin1Char('x')));
    QByteArray bytes = written(m) + written(VMessage());
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    std::unique_ptr<VMessage> a(readFrom(buffer));
    std::unique_ptr<VMessage> b(readFrom(buffer));
    EXPECT_EQ(a->objectName(), m.objectName());
    EXPECT_EQ(a->getStringType(), m.getStringType());
    EXPECT_EQ(a->getIntData(), m.getIntData());
    EXPECT_EQ(a->getStringData(), m.getStringData());
    EXPECT_TRUE(b->getStringType().isNull());
    EXPECT_EQ(b->getIntData(), 0);
}

// The body a version 10 stream gives through the property system.
QByteArray bodyThroughProperties(const VMessage& m)
{
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_4);
    const QMetaObject* mo = m.metaObject();
    out << mo->className();
    for (int i = 0; i < mo->propertyCount(); ++i)
        out << mo->property(i).read(&m);
    return body;
}

TEST(VMessage, WrittenBytesMatchThePropertySystemForRandomMessages)
{
    std::mt19937 rng(7);
    auto randomString = [&rng]() {
        switch (rng() % 4) {
        case 0: return QString();
        case 1: return QString(QLatin1String(""));
        default: {
            QString s;
            const int n = int(rng() % 40);
            for (int i = 0; i < n; ++i)
                s.append(QChar(ushort(1 + rng() % 0xFFFE)));
            return s;
        }
        }
    };
    for (int round = 0; round < 300; ++round) {
        VMessage m;
        if (rng() % 2)
            m.setObjectName(randomString());
        m.setStringType(randomString());
        m.setIntData(int(rng()));
        m.setStringData(randomString());
        const QByteArray body = bodyThroughProperties(m);
        ASSERT_EQ(written(m).toHex(), frameOf(body).toHex()) << round;

        // A little-endian stream gets little-endian length words around the same body.
        QByteArray little;
        QDataStream s(&little, QIODevice::WriteOnly);
        s.setByteOrder(QDataStream::LittleEndian);
        s << &m;
        QByteArray nLittle(4, '\0');
        qToLittleEndian(quint32(body.size()), nLittle.data());
        ASSERT_EQ(little.toHex(), (nLittle + nLittle + body).toHex()) << round;
    }
}

TEST(VMessage, OtherClassNamesAreRejectedAfterTheWholeFrame)
{
    const QByteArray values = kNullString + kNullString + intValue(1) + kNullString;
    const QByteArray names[] = {be32(8) + QByteArray("VMessag", 8), be32(10) + QByteArray("VMessagee", 10),
                                be32(10) + QByteArray("VMessage\0x", 10), be32(0xFFFFFFFF), QByteArray()};
    for (const QByteArray& name : names) {
        const QByteArray frame = frameOf(name.isEmpty() ? QByteArray() : name + values);
        QByteArray bytes = frame + written(VMessage());
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        VMessage* m = nullptr;
        try {
            m = readFrom(buffer);
            ADD_FAILURE() << "accepted " << name.toHex().constData();
        } catch (const VException& e) {
            EXPECT_STREQ(e.what(), "unrecognized class while deserializing");
        }
        delete m;
        EXPECT_EQ(buffer.pos(), frame.size());
        std::unique_ptr<VMessage> next(readFrom(buffer));
        EXPECT_EQ(next->getIntData(), 0);
    }
}

TEST(VMessage, HostileFramesGiveExceptionsNotCrashes)
{
    const QByteArray good = kName + kNullString + kNullString + intValue(1) + kNullString;
    // Declared lengths: negative, 2 GiB - 1, inner length beyond the frame.
    EXPECT_EQ(readError(be32(0xFFFFFFFF) + be32(0)), "message length -1 out of range");
    EXPECT_EQ(readError(be32(0x7FFFFFFF) + be32(0x7FFFFFFF)), "message length 2147483647 out of range");
    EXPECT_EQ(readError(be32(quint32(good.size())) + be32(quint32(good.size()) + 1) + good),
              "malformed message while deserializing");
    // A frame cut short: the device holds no more, so the wait fails.
    EXPECT_EQ(readError(frameOf(good).left(30)).rfind("Error while waiting for read: ", 0), 0u);
    // A variant list claiming 2^31-1 elements, 30 bytes on the wire.
    const QByteArray list = frameOf(kName + hex("00000009 00 7fffffff"));
    EXPECT_EQ(list.size(), 30);
    EXPECT_EQ(readError(list), "malformed message while deserializing");
    // 30000 nested one-element lists.
    QByteArray nested = kName;
    for (int i = 0; i < 30000; ++i)
        nested += hex("00000009 00 00000001");
    EXPECT_EQ(readError(frameOf(nested)), "malformed message while deserializing");
    // A user type, an odd string length, a string longer than the body,
    // and a body that ends inside the values.
    EXPECT_EQ(readError(frameOf(kName + hex("0000007f 00 00000004") + "abcd")), "malformed message while deserializing");
    EXPECT_EQ(readError(frameOf(kName + hex("0000000a 00 00000003 004100"))), "malformed message while deserializing");
    EXPECT_EQ(readError(frameOf(kName + hex("0000000a 00 7ffffffe 0041"))), "malformed message while deserializing");
    EXPECT_EQ(readError(frameOf(kName + kNullString + kNullString)), "malformed message while deserializing");
    EXPECT_EQ(readError(frameOf(kName + kNullString + kNullString + hex("00000002 00 0000"))),
              "malformed message while deserializing");
}

TEST(VMessage, FrameLimitIsSettable)
{
    VMessage m;
    m.setStringData(QString(100, QLatin1Char('y')));
    const QByteArray bytes = written(m);
    const qint32 old = VMessage::maxFrameLength();
    EXPECT_EQ(old, 256 * 1024 * 1024);
    VMessage::setMaxFrameLength(bytes.size() - 9);
    EXPECT_EQ(readError(bytes), QStringLiteral("message length %1 out of range").arg(bytes.size() - 8).toStdString());
    VMessage::setMaxFrameLength(bytes.size() - 8);
    EXPECT_EQ(readError(bytes), "no exception");
    VMessage::setMaxFrameLength(old);
}

TEST(VMessage, SimpleValueKindsAreConvertedToTheProperties)
{
    // objectName from a byte array, stringType from a QChar, intData from a
    // double, stringData from a bool; trailing values and bytes are ignored.
    QByteArray body = kName + hex("0000000c 00 00000002 6f6b") + hex("00000007 00 0041")
                      + hex("00000006 00 4045000000000000") + hex("00000001 00 01") + hex("00000004 00 0000000000000001")
                      + hex("00000005 00 0000000000000001") + hex("00000003 00 00000001") + "junk";
    QByteArray bytes = frameOf(body);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    std::unique_ptr<VMessage> m(readFrom(buffer));
    EXPECT_EQ(m->objectName(), QStringLiteral("ok"));
    EXPECT_EQ(m->getStringType(), QStringLiteral("A"));
    EXPECT_EQ(m->getIntData(), 42);
    EXPECT_EQ(m->getStringData(), QStringLiteral("true"));
}

// Values of another kind than the property are converted as Qt 5 did, on
// every Qt: doubles round half up to 64 bits and keep the low 32 (NaN and
// values beyond 64 bits give 0); a null byte array gives an empty string.
TEST(VMessage, ConvertedValuesAreTheSameOnEveryQt)
{
    auto doubleValue = [](double d) {
        quint64 bits;
        std::memcpy(&bits, &d, sizeof bits);
        return hex("00000006 00") + be32(quint32(bits >> 32)) + be32(quint32(bits));
    };
    const struct
    {
        double in;
        int out;
    } numbers[] = {{2.5, 3},     {-2.5, -2},   {-0.5, 0},        {-1.5, -1},         {-3.49, -3},
                   {-3.5, -3},   {1e10, 1410065408}, {-1e10, -1410065408}, {2147483647.5, INT_MIN},
                   {-2147483648.5, INT_MIN}, {-2147483649.5, INT_MAX}, {1e20, 0}, {-1e20, 0},
                   {std::nan(""), 0}, {-0.0, 0}};
    for (const auto& n : numbers) {
        QByteArray bytes = frameOf(kName + kNullString + kNullString + doubleValue(n.in) + kNullString);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        std::unique_ptr<VMessage> m(readFrom(buffer));
        EXPECT_EQ(m->getIntData(), n.out) << n.in;
    }

    const QByteArray nullBytes = hex("0000000c 00 ffffffff");
    QByteArray bytes = frameOf(kName + nullBytes + nullBytes + intValue(1) + nullBytes);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    std::unique_ptr<VMessage> m(readFrom(buffer));
    for (const QString& s : {m->getStringType(), m->getStringData()}) {
        EXPECT_FALSE(s.isNull());
        EXPECT_TRUE(s.isEmpty());
    }
}

// Qt 5 converts a byte array as a C string, ending at its first zero byte;
// Qt 6 would keep the whole array.
TEST(VMessage, ByteArrayWithAZeroByteIsConvertedAsQt5DidOnEveryQt)
{
    const QByteArray bytes = hex("0000000c 00 00000003 610062");
    QByteArray frame = frameOf(kName + bytes + bytes + intValue(1) + bytes);
    QBuffer buffer(&frame);
    buffer.open(QIODevice::ReadOnly);
    std::unique_ptr<VMessage> m(readFrom(buffer));
    EXPECT_EQ(m->objectName(), QStringLiteral("a"));
    EXPECT_EQ(m->getStringType(), QStringLiteral("a"));
    EXPECT_EQ(m->getStringData(), QStringLiteral("a"));
}

TEST(VMessage, ToStringFillsThePlaceholdersInOrder)
{
    VMessage m;
    EXPECT_EQ(m.toString(), QStringLiteral("instance of VMessage: stringType=, intData=0, stringData="));
    m.setStringType(QStringLiteral("%2 and %3"));
    m.setIntData(-17);
    m.setStringData(QStringLiteral("d"));
    EXPECT_EQ(m.toString(), QStringLiteral("instance of VMessage: stringType=%2 and %3, intData=-17, stringData=d"));
    const VPrintable& p = m;
    EXPECT_EQ(p.toString(), m.toString());
    EXPECT_EQ(m.qt_metacast("VPrintable"), static_cast<void*>(static_cast<VPrintable*>(&m)));
    EXPECT_EQ(m.qt_metacast("VSerializable"), static_cast<void*>(static_cast<VSerializable*>(&m)));
    EXPECT_EQ(m.toShortString(), QStringLiteral("VMessage(stringType=%2 and %3)"));
}

namespace {

// A loopback QTcpServer in the test thread and one accepted socket.
struct LoopbackPair
{
    QTcpServer server;
    QTcpSocket* socket = nullptr;
    quint16 port = 0;
    LoopbackPair()
    {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        port = server.serverPort();
    }
    bool accept()
    {
        if (!server.waitForNewConnection(10000))
            return false;
        socket = server.nextPendingConnection();
        return socket != nullptr;
    }
};

} // namespace

TEST(VMessage, TrickledFrameIsReadWhole)
{
    VMessage m;
    m.setStringType(QStringLiteral("slow"));
    m.setIntData(5);
    const QByteArray bytes = written(m);
    LoopbackPair pair;
    std::thread client([&] {
        vtest::Fd fd = vtest::tcpConnect(pair.port);
        for (char c : bytes) {
            vtest::sendAll(fd.get(), &c, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // pacing, not synchronisation
        }
        vtest::recvUntilClose(fd.get(), 10000);
    });
    ASSERT_TRUE(pair.accept());
    QDataStream s(pair.socket);
    VMessage* got = nullptr;
    s >> got;
    std::unique_ptr<VMessage> owned(got);
    pair.socket->close();
    client.join();
    EXPECT_EQ(got->getStringType(), QStringLiteral("slow"));
    EXPECT_EQ(got->getIntData(), 5);
}

TEST(VMessage, PauseBeforeAndInsideTheFrameEndsTheWait)
{
    const QByteArray bytes = written(VMessage());
    for (int cut : {0, 6, 20}) {
        LoopbackPair pair;
        vtest::Fd fd = vtest::tcpConnect(pair.port);
        ASSERT_TRUE(fd.valid());
        vtest::sendAll(fd.get(), bytes.constData(), size_t(cut));
        ASSERT_TRUE(pair.accept());
        QDataStream s(pair.socket);
        VMessage* got = nullptr;
        try {
            VMessageWire::readFrame(s, got, 200, -1);
            ADD_FAILURE() << "read a cut frame";
        } catch (const VException& e) {
            EXPECT_EQ(QString::fromLatin1(e.what()),
                      QStringLiteral("Error while waiting for read: ") + pair.socket->errorString());
        }
        EXPECT_EQ(got, nullptr);
        EXPECT_EQ(pair.socket->error(), QAbstractSocket::SocketTimeoutError);
    }
}

TEST(VMessage, DeadlineEndsATricklingFrame)
{
    // A frame that would take minutes at a byte every 20 ms: only the
    // deadline can end the read within the limit below.
    VMessage long_;
    long_.setStringData(QString(5000, QLatin1Char('x')));
    const QByteArray bytes = written(long_);
    LoopbackPair pair;
    std::atomic<bool> done(false);
    std::thread client([&] {
        vtest::Fd fd = vtest::tcpConnect(pair.port);
        for (int i = 0; i < bytes.size() && !done; ++i) {
            vtest::sendAll(fd.get(), bytes.constData() + i, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    ASSERT_TRUE(pair.accept());
    QDataStream s(pair.socket);
    VMessage* got = nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(VMessageWire::readFrame(s, got, 2000, 300), VException);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    done = true;
    client.join();
    EXPECT_EQ(got, nullptr);
}

TEST(VMessage, FuzzedFramesGiveAMessageOrAnException)
{
    std::mt19937 rng(20261207);
    std::vector<QByteArray> seeds;
    {
        VMessage m;
        m.setStringType(QStringLiteral("type"));
        m.setStringData(QStringLiteral("data"));
        m.setIntData(3);
        seeds.push_back(written(m));
        seeds.push_back(written(VMessage()));
        seeds.push_back(frameOf(kName + hex("00000009 00 00000002 00000002 00 00000001")));
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int runs = 0, accepted = 0;
    while (std::chrono::steady_clock::now() < until && runs < 200000) {
        QByteArray bytes = seeds[rng() % seeds.size()];
        switch (rng() % 4) {
        case 0: // flip bytes
            for (int i = int(rng() % 4); i >= 0; --i)
                bytes[int(rng() % bytes.size())] = char(rng());
            break;
        case 1: // truncate
            bytes.truncate(int(rng() % bytes.size()));
            break;
        case 2: { // random bytes behind a plausible header
            QByteArray tail(int(rng() % 64), '\0');
            for (char& c : tail)
                c = char(rng());
            bytes = frameOf(kName + tail);
            break;
        }
        default: // fix the lengths after a mutation in the body
            bytes[8 + int(rng() % (bytes.size() - 8))] = char(rng());
            bytes = frameOf(bytes.mid(8));
        }
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        try {
            delete readFrom(buffer);
            ++accepted;
        } catch (const VException&) {
        }
        ++runs;
    }
    EXPECT_GT(runs, 1000);
    EXPECT_GT(accepted, 0);
}
