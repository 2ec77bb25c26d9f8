// VNetworkPeer over loopback TCP and Unix-domain sockets in a per-test
// directory; plain socket servers on the other side.
#include <gtest/gtest.h>

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <thread>

#include <QDataStream>
#include <QUrl>

#include "VIpc/message.h"
#include "VNetwork/network_peer.h"
#include "exception_text.h"
#include "resident_memory.h"
#include "sockutil.h"
#include "testutil.h"

namespace {

using vtest::exceptionText;

bool matches(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

// A port on 127.0.0.1 that nobody listens on.
uint16_t closedPort()
{
    uint16_t port = 0;
    vtest::tcpListen(&port);
    return port;
}

// The byte a flooding far end sends at offset i.
char floodByte(uint64_t i)
{
    return char(i % 251);
}

} // namespace

TEST(VNetworkPeer, MovesExactLengthsOverTcp)
{
    uint16_t port = 0;
    vtest::Fd listener = vtest::tcpListen(&port);
    vtest::CaptureFd err(2);
    VNetworkPeer peer;
    peer.connect("127.0.0.1", port);
    EXPECT_EQ(peer.state(), QAbstractSocket::ConnectedState);
    vtest::Fd server = vtest::acceptFor(listener.get(), 5000);
    ASSERT_TRUE(server.valid());

    vtest::sendAll(server.get(), std::string("0123456789"));
    char buf[8] = {};
    peer.receiveBuffer(buf, 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    peer.receiveBuffer(buf, 0);
    peer.receiveBuffer(buf, 6); // the rest stayed for this call
    EXPECT_EQ(std::string(buf, 6), "456789");

    peer.sendBuffer("hello", 5);
    peer.sendBuffer("", 0);
    EXPECT_EQ(vtest::recvExactly(server.get(), 5, 5000), "hello");

    // Network byte order, both ways.
    peer.sendInt32(0x01020304);
    EXPECT_EQ(vtest::recvExactly(server.get(), 4, 5000), std::string("\x01\x02\x03\x04", 4));
    vtest::sendAll(server.get(), std::string("\xff\xff\xff\xfe", 4));
    EXPECT_EQ(peer.receiveInt32(), -2);

    // Connected: the TCP form wraps the refusal.
    EXPECT_TRUE(matches(exceptionText([&] { peer.connect("127.0.0.1", port); }),
                        "Connection error to 127\\.0\\.0\\.1:" + std::to_string(port)
                            + " \\(VNetwork/network_peer:\\d+ The socket is already connected\\. Please disconnect "
                              "first\\.\\)"));
    peer.disconnect();
    EXPECT_EQ(peer.state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(vtest::recvUntilClose(server.get(), 5000), "");
    // One line per write; none for a length of 0.
    const std::string log = err.text();
    EXPECT_EQ(vtest::countOf(log, "sent:  5 bytes\n"), 1) << log;
    EXPECT_EQ(vtest::countOf(log, "sent:  4 bytes\n"), 1) << log;
    EXPECT_EQ(vtest::countOf(log, "sent: "), 2) << log;
}

TEST(VNetworkPeer, TcpFailuresAreWrappedWithTheirCause)
{
    const uint16_t port = closedPort();
    VNetworkPeer peer;
    EXPECT_TRUE(matches(exceptionText([&] { peer.connect("127.0.0.1", port); }),
                        "Connection error to 127\\.0\\.0\\.1:" + std::to_string(port)
                            + " \\(VNetwork/network_peer:\\d+ connect\\(\\) failed: Connection refused\\)"));
    // A name the resolver refuses without asking any server.
    EXPECT_TRUE(matches(exceptionText([&] { peer.connect("bad host!", 80); }),
                        "Connection error to bad host!:80 \\(VNetwork/network_peer:\\d+ Can't resolve host: "
                            + std::string(gai_strerror(EAI_NONAME)) + "\\)"));
    EXPECT_EQ(peer.state(), QAbstractSocket::UnconnectedState);
}

TEST(VNetworkPeer, UnixDomainSocketsAndPathLimits)
{
    vtest::TempDir dir;
    const std::string path = dir.file("peer.sock");
    vtest::Fd listener = vtest::unixListen(path);
    ASSERT_TRUE(listener.valid());
    VNetworkPeer peer;
    peer.connect(path.c_str());
    vtest::Fd server = vtest::acceptFor(listener.get(), 5000);
    ASSERT_TRUE(server.valid());
    peer.sendBuffer("abc", 3);
    EXPECT_EQ(vtest::recvExactly(server.get(), 3, 5000), "abc");
    vtest::sendAll(server.get(), std::string("xyz"));
    char buf[3];
    peer.receiveBuffer(buf, 3);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    // Not wrapped in the Unix-domain form.
    EXPECT_TRUE(matches(exceptionText([&] { peer.connect(path.c_str()); }),
                        "VNetwork/network_peer:\\d+ The socket is already connected\\. Please disconnect first\\."));
    peer.disconnect();

    // Exactly 108 bytes fill sun_path without a terminator; 109 are refused
    // rather than cut to another name.
    std::string full = dir.path() + "/";
    ASSERT_LT(full.size(), 100u);
    full += std::string(108 - full.size(), 'p');
    ASSERT_EQ(full.size(), 108u);
    vtest::Fd fullListener = vtest::unixListen(full);
    ASSERT_TRUE(fullListener.valid());
    peer.connect(full.c_str());
    EXPECT_TRUE(vtest::acceptFor(fullListener.get(), 5000).valid());
    peer.disconnect();
    const std::string tooLong = full + "q";
    EXPECT_TRUE(matches(exceptionText([&] { peer.connect(tooLong.c_str()); }),
                        "Connection error to " + tooLong
                            + " \\(VNetwork/network_peer:\\d+ path too long \\(109 bytes, at most 108\\)\\)"));
    const std::string missing = dir.file("none.sock");
    EXPECT_TRUE(matches(exceptionText([&] { peer.connect(missing.c_str()); }),
                        "Connection error to " + missing
                            + " \\(VNetwork/network_peer:\\d+ connect\\(\\) failed: No such file or directory\\)"));
}

TEST(VNetworkPeer, UrlsChooseTheTransport)
{
    vtest::TempDir dir;
    const std::string path = dir.file("url.sock");
    vtest::Fd unixListener = vtest::unixListen(path);
    uint16_t port = 0;
    vtest::Fd tcpListener = vtest::tcpListen(&port);
    const QString tcp = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
    for (const QString& url : {tcp, QStringLiteral("TCP://127.0.0.1:%1").arg(port),
                               QStringLiteral("file://") + QString::fromStdString(path)}) {
        VNetworkPeer peer;
        peer.connect(QUrl(url));
        const int listener = url.startsWith(QLatin1String("file")) ? unixListener.get() : tcpListener.get();
        vtest::Fd server = vtest::acceptFor(listener, 5000);
        ASSERT_TRUE(server.valid()) << url.toStdString();
        peer.sendInt32(7);
        EXPECT_EQ(vtest::recvExactly(server.get(), 4, 5000), std::string("\0\0\0\x07", 4));
    }
    VNetworkPeer peer;
    EXPECT_TRUE(matches(exceptionText([&] { peer.connect(QUrl(QStringLiteral("http://x"))); }),
                        "VNetwork/network_peer:\\d+ Unsupported protocol: http"));
    EXPECT_TRUE(matches(exceptionText([&] { peer.connect(QUrl(QStringLiteral("tcp://127.0.0.1"))); }),
                        "VNetwork/network_peer:\\d+ missing port in URL: tcp://127\\.0\\.0\\.1"));
}

TEST(VNetworkPeer, ReceiveFailuresDisconnectAndKeepWhatArrived)
{
    uint16_t port = 0;
    vtest::Fd listener = vtest::tcpListen(&port);
    VNetworkPeer peer;
    peer.setWaitTimeout(200);
    peer.connect("127.0.0.1", port);
    vtest::Fd server = vtest::acceptFor(listener.get(), 5000);
    vtest::sendAll(server.get(), std::string("abcd"));
    char buf[10] = {};
    EXPECT_TRUE(matches(exceptionText([&] { peer.receiveBuffer(buf, 10); }),
                        "VNetwork/network_peer:\\d+ Network timeout error \\(200\\)"));
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(peer.state(), QAbstractSocket::UnconnectedState);

    peer.connect("127.0.0.1", port);
    server = vtest::acceptFor(listener.get(), 5000);
    server.reset(); // the other side goes away
    EXPECT_TRUE(matches(exceptionText([&] { peer.receiveBuffer(buf, 1); }),
                        "VNetwork/network_peer:\\d+ Network error while waiting for read: .+"));
    EXPECT_EQ(peer.state(), QAbstractSocket::UnconnectedState);

    peer.connect("127.0.0.1", port);
    server = vtest::acceptFor(listener.get(), 5000);
    server.reset();
    std::vector<char> big(16 << 20, 'w');
    EXPECT_TRUE(matches(exceptionText([&] {
                            for (int i = 0; i < 8; ++i)
                                peer.sendBuffer(big.data(), big.size());
                        }),
                        "VNetwork/network_peer:\\d+ Write error: .+"));
    EXPECT_EQ(peer.state(), QAbstractSocket::UnconnectedState);
}

TEST(VNetworkPeer, LargeBufferArrivesWholeAtASlowReader)
{
    vtest::TempDir dir;
    const std::string path = dir.file("big.sock");
    vtest::Fd listener = vtest::unixListen(path);
    std::vector<char> data(64 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + (i >> 12));
    std::string received;
    std::thread reader([&] {
        vtest::Fd server = vtest::acceptFor(listener.get(), 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // a slow reader
        received = vtest::recvUntilClose(server.get(), 20000);
    });
    {
        VNetworkPeer peer;
        peer.connect(path.c_str());
        peer.sendBuffer(data.data(), data.size());
    } // destroyed right after the send
    reader.join();
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), received.begin()));
}

namespace {

std::atomic<int> g_alarms(0);
void onAlarm(int) { ++g_alarms; }

// Connects while SIGALRM keeps interrupting; the listener's queue (backlog
// 0, one connection waiting) is full until a helper makes room.
std::string interruptedConnect(bool acceptInTheEnd)
{
    uint16_t port = 0;
    vtest::Fd listener = vtest::tcpListen(&port, 0);
    vtest::Fd filler = vtest::tcpConnect(port);
    struct sigaction sa = {}, old = {};
    sa.sa_handler = onAlarm; // no SA_RESTART: connect and poll see EINTR
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, &old);
    g_alarms = 0;
    std::atomic<bool> done(false);
    const pthread_t self = pthread_self();
    std::thread helper([&] {
        // Keep interrupting for a while, then make room or close.
        while (g_alarms < 10 && !done) {
            pthread_kill(self, SIGALRM);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        vtest::acceptFor(listener.get(), 0); // takes the filler
        if (acceptInTheEnd) {
            vtest::Fd conn = vtest::acceptFor(listener.get(), 10000);
            while (!done)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            listener.reset();
        }
    });
    std::string result = "connected";
    {
        VNetworkPeer peer;
        try {
            peer.connect("127.0.0.1", port);
        } catch (const VException& e) {
            result = e.what();
        }
        done = true;
        helper.join();
    }
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GE(g_alarms.load(), 1);
    return result;
}

} // namespace

TEST(VNetworkPeer, InterruptedConnectCompletesThroughPoll)
{
    EXPECT_EQ(interruptedConnect(true), "connected");
    EXPECT_TRUE(matches(interruptedConnect(false),
                        "Connection error to 127\\.0\\.0\\.1:\\d+ \\(VNetwork/network_peer:\\d+ connect\\(\\) failed: "
                        "Connection refused\\)"));
}

TEST(VNetworkPeer, FarEndFloodingWhileThePeerSendsIsHeldAtTheCap)
{
    const qint32 oldCap = VMessage::maxFrameLength();
    const qint32 cap = 4 << 20;
    VMessage::setMaxFrameLength(cap);
    uint16_t port = 0;
    vtest::Fd listener = vtest::tcpListen(&port);
    std::vector<char> data(8 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + (i >> 12));
    const long before = vtest::residentKiB();
    std::atomic<long> peak(before);
    std::atomic<bool> sampling(true);
    std::thread sampler([&] {
        while (sampling) {
            const long now = vtest::residentKiB();
            if (now > peak)
                peak = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // Sends until the peer has taken nothing for 500 ms (or 200 MiB, when
    // it takes everything), then reads and checks what the peer sent.
    uint64_t flooded = 0;
    bool dataIntact = false;
    std::atomic<bool> peerDone(false);
    std::thread far([&] {
        vtest::Fd c = vtest::acceptFor(listener.get(), 5000);
        std::vector<char> chunk(64 * 1024);
        while (flooded < (uint64_t(200) << 20)) {
            pollfd p = {c.get(), POLLOUT, 0};
            if (::poll(&p, 1, 500) != 1)
                break;
            for (size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = floodByte(flooded + i);
            const ssize_t n = ::send(c.get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            flooded += n > 0 ? uint64_t(n) : 0;
        }
        size_t got = 0;
        dataIntact = true;
        while (got < data.size()) {
            const ssize_t n = ::recv(c.get(), chunk.data(), std::min(chunk.size(), data.size() - got), 0);
            if (n <= 0)
                break;
            dataIntact = dataIntact && std::equal(chunk.begin(), chunk.begin() + n, data.begin() + long(got));
            got += size_t(n);
        }
        dataIntact = dataIntact && got == data.size();
        while (!peerDone)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    VNetworkPeer peer;
    peer.setWaitTimeout(10000);
    peer.connect("127.0.0.1", port);
    {
        vtest::CaptureFd err(2); // the peer's write reports
        peer.sendBuffer(data.data(), data.size());
    }
    sampling = false;
    sampler.join();
    // What the far end sent, kept beyond the cap by the kernel, is all there.
    std::vector<char> in(1 << 20);
    uint64_t checked = 0;
    bool floodIntact = true;
    while (checked < flooded && floodIntact) {
        const quint64 n = std::min<uint64_t>(in.size(), flooded - checked);
        peer.receiveBuffer(in.data(), n);
        for (quint64 i = 0; i < n && floodIntact; ++i)
            floodIntact = in[i] == floodByte(checked + i);
        checked += n;
    }
    peerDone = true;
    far.join();
    VMessage::setMaxFrameLength(oldCap);
    RecordProperty("peak_growth_kib", int(peak - before));
    EXPECT_LT(peak - before, cap / 1024 + 24 * 1024) << "peak growth " << (peak - before) << " KiB";
    EXPECT_TRUE(dataIntact);
    EXPECT_TRUE(floodIntact);
    EXPECT_GT(flooded, uint64_t(cap));
}

TEST(VNetworkPeer, ReadsAMessageFrameOfTheMaximumLength)
{
    VMessage m;
    m.setStringData(QString(300 * 1024, QLatin1Char('f')));
    QByteArray frame;
    {
        QDataStream out(&frame, QIODevice::WriteOnly);
        out << &m;
    }
    const qint32 oldCap = VMessage::maxFrameLength();
    VMessage::setMaxFrameLength(frame.size() - 8); // the body length
    uint16_t port = 0;
    vtest::Fd listener = vtest::tcpListen(&port);
    VNetworkPeer peer;
    peer.connect("127.0.0.1", port);
    vtest::Fd server = vtest::acceptFor(listener.get(), 5000);
    {
        vtest::CaptureFd err(2); // the peer's write report
        peer.sendBuffer("?", 1); // sends and receives bound what the peer keeps
    }
    std::thread far([&] {
        vtest::sendAll(server.get(), frame.constData(), size_t(frame.size()));
        vtest::sendAll(server.get(), frame.constData(), size_t(frame.size()));
    });
    VMessage* got = nullptr;
    QDataStream in(&peer);
    const std::string text = exceptionText([&] { in >> got; });
    std::unique_ptr<VMessage> owner(got);
    // A frame the socket cannot hold fails at once, not after the wait.
    peer.setReadBufferSize(1024);
    const std::string tooBig = exceptionText([&] { in >> got; });
    peer.abort(); // ends the far end's send
    far.join();
    VMessage::setMaxFrameLength(oldCap);
    EXPECT_EQ(text, "<no exception>");
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->getStringData(), m.getStringData());
    EXPECT_EQ(tooBig, "Error while waiting for read: " + std::to_string(frame.size() - 4)
                          + " bytes wanted, the socket keeps at most 1024");
}
