// VMessageSimpleServer and VMessageHandlerFactory: real servers on free
// loopback ports, started in a thread of their own, with plain socket
// clients.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <QBuffer>
#include <QDataStream>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include "VCore/runnable.h"
#include "VCore/thread.h"
#include "VIpc/message.h"
#include "VIpc/message_handler_factory.h"
#include "VIpc/message_server.h"
#include "VIpc/message_server_p.h"
#include "resident_memory.h"
#include "sockutil.h"
#include "testutil.h"

struct VMessageServerTestAccess
{
    static QHostAddress address(const VMessageSimpleServer& s) { return s._networkServer.serverAddress(); }
};

// Servers in these tests are reachable from this host only.
static const bool kLoopbackOnly = VMessageServerHooks::listenOnLoopback = true;

// Every server sees its clients as coming from one address for a scope.
class FakePeerAddress
{
public:
    explicit FakePeerAddress(quint32 hostOrder) { VMessageServerHooks::peerAddress = hostOrder; }
    ~FakePeerAddress() { VMessageServerHooks::peerAddress = 0; }
    FakePeerAddress(const FakePeerAddress&) = delete;
    FakePeerAddress& operator=(const FakePeerAddress&) = delete;
};

namespace {

std::atomic<int> g_handlersDeleted(0);

// Replies "re:" + the request's type and its number plus one; counts the
// requests it saw destroyed.
class EchoHandler : public VMessageHandler
{
public:
    explicit EchoHandler(std::atomic<int>* requestsDeleted = nullptr, int replyChars = 0)
        : _requestsDeleted(requestsDeleted), _replyChars(replyChars) {}
    ~EchoHandler() override { ++g_handlersDeleted; }
    VMessage* handleMessage(VMessage* request) override
    {
        if (_requestsDeleted) {
            std::atomic<int>* counter = _requestsDeleted;
            QObject::connect(request, &QObject::destroyed, [counter] { ++*counter; });
        }
        VMessage* reply = new VMessage;
        reply->setStringType(QStringLiteral("re:") + request->getStringType());
        reply->setIntData(request->getIntData() + 1);
        if (_replyChars > 0)
            reply->setStringData(QString(_replyChars, QLatin1Char('z')));
        return reply;
    }

private:
    std::atomic<int>* _requestsDeleted;
    int _replyChars;
};

class NullHandler : public VMessageHandler
{
public:
    VMessage* handleMessage(VMessage*) override { return nullptr; }
};

class ThrowingHandler : public VMessageHandler
{
public:
    VMessage* handleMessage(VMessage*) override { throw VException("handler failed"); }
};

// Fails with an exception the server does not catch; counts the requests it
// saw destroyed.
class ForeignThrowingHandler : public VMessageHandler
{
public:
    explicit ForeignThrowingHandler(std::atomic<int>* requestsDeleted) : _requestsDeleted(requestsDeleted) {}
    VMessage* handleMessage(VMessage* request) override
    {
        std::atomic<int>* counter = _requestsDeleted;
        QObject::connect(request, &QObject::destroyed, [counter] { ++*counter; });
        throw std::runtime_error("not a VException");
    }

private:
    std::atomic<int>* _requestsDeleted;
};

class StoppingHandler : public EchoHandler
{
public:
    explicit StoppingHandler(VMessageSimpleServer* server) : _server(server) {}
    VMessage* handleMessage(VMessage* request) override
    {
        _server->stop();
        return EchoHandler::handleMessage(request);
    }

private:
    VMessageSimpleServer* _server;
};

// Answers with the request itself, counting how often it is destroyed.
class SelfReplyHandler : public VMessageHandler
{
public:
    explicit SelfReplyHandler(std::atomic<int>* destroyed) : _destroyed(destroyed) {}
    VMessage* handleMessage(VMessage* request) override
    {
        std::atomic<int>* counter = _destroyed;
        QObject::connect(request, &QObject::destroyed, [counter] { ++*counter; });
        request->setIntData(request->getIntData() * 10);
        return request;
    }

private:
    std::atomic<int>* _destroyed;
};

class ThrowingDestructorHandler : public NullHandler
{
public:
    ~ThrowingDestructorHandler() noexcept(false) override { throw VException("cannot let go"); }
};

QByteArray requestBytes(const QString& type, int number)
{
    VMessage m;
    m.setStringType(type);
    m.setIntData(number);
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s << &m;
    return out;
}

std::unique_ptr<VMessage> decode(const std::string& bytes, qint64* used = nullptr)
{
    QByteArray copy(bytes.data(), int(bytes.size()));
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QDataStream s(&buffer);
    VMessage* m = nullptr;
    s >> m;
    if (used)
        *used = buffer.pos();
    return std::unique_ptr<VMessage>(m);
}

// Sends bytes as one client (then ends its sending side if endSending) and
// returns all it gets until the server closes.
std::string exchange(quint16 port, const QByteArray& bytes, bool* closed = nullptr, int readDelayMs = 0,
                     bool endSending = false)
{
    vtest::Fd fd = vtest::tcpConnect(port);
    EXPECT_TRUE(fd.valid());
    vtest::sendAll(fd.get(), bytes.constData(), size_t(bytes.size()));
    if (endSending)
        ::shutdown(fd.get(), SHUT_WR);
    if (readDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(readDelayMs)); // a slow reader
    return vtest::recvUntilClose(fd.get(), 20000, closed);
}

// Reads exactly size bytes from a pipe, waiting at most timeoutMs.
bool readPipe(int fd, void* data, size_t size, int timeoutMs)
{
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && ::read(fd, data, size) == ssize_t(size);
}

// Qt's text for a timed-out wait, as this runtime words it.
QString timeoutText()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
    socket.waitForConnected(5000);
    socket.waitForReadyRead(1);
    return socket.errorString();
}

// A server built in the test thread and started in a VThread; std::cerr
// is captured until it is stopped.
class RunningServer : private VRunnable
{
public:
    explicit RunningServer(QStringList masks = QStringList(), int waitMs = 1000, int deadlineMs = 5000)
        : server(0, masks)
    {
        server.setTimeouts(waitMs, deadlineMs);
        port = server.serverPort();
    }
    ~RunningServer()
    {
        if (_running)
            stop();
    }
    void start()
    {
        _old = std::cerr.rdbuf(_err.rdbuf());
        _running = true;
        _thread.start();
    }
    // Returns what the server wrote to std::cerr.
    std::string stop()
    {
        server.stop();
        return join();
    }
    // Waits for start() to return by itself.
    std::string join()
    {
        _thread.join();
        _running = false;
        std::cerr.rdbuf(_old);
        return _err.str();
    }

    VMessageSimpleServer server;
    quint16 port = 0;

private:
    void run() override { server.start(); }

    VThread _thread{this, "message server"};
    bool _running = false;
    std::ostringstream _err;
    std::streambuf* _old = nullptr;
};

} // namespace

TEST(VMessageSimpleServer, RepliesWithOneFrameThenCloses)
{
    vtest::CaptureFd stderrFd(2);
    std::atomic<int> requestsDeleted(0);
    g_handlersDeleted = 0;
    RunningServer s;
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler(&requestsDeleted));
    s.start();
    for (int i = 0; i < 3; ++i) {
        bool closed = false;
        const std::string reply = exchange(s.port, requestBytes(QStringLiteral("ping"), 41 + i), &closed);
        EXPECT_TRUE(closed);
        qint64 used = 0;
        std::unique_ptr<VMessage> m = decode(reply, &used);
        EXPECT_EQ(m->getStringType(), QStringLiteral("re:ping"));
        EXPECT_EQ(m->getIntData(), 42 + i);
        EXPECT_EQ(used, qint64(reply.size())); // exactly one frame
    }
    EXPECT_EQ(s.stop(), "");
    EXPECT_EQ(requestsDeleted.load(), 3);
    EXPECT_EQ(g_handlersDeleted.load(), 1);
    EXPECT_EQ(VMessageHandlerFactory::getInstance()->getHandler(QStringLiteral("VMessage")), nullptr);
    // Built in one thread, served in another: Qt has nothing to complain about.
    EXPECT_EQ(stderrFd.text(), "");
}

TEST(VMessageSimpleServer, NullReplyOrNoHandlerGivesOnlyTheClose)
{
    RunningServer s;
    s.start();
    bool closed = false;
    EXPECT_EQ(exchange(s.port, requestBytes(QStringLiteral("a"), 1), &closed), "");
    EXPECT_TRUE(closed);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new NullHandler);
    EXPECT_EQ(exchange(s.port, requestBytes(QStringLiteral("b"), 2), &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(s.stop(), "");
}

TEST(VMessageSimpleServer, HandlerExceptionIsReportedAndTheNextClientServed)
{
    RunningServer s;
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new ThrowingHandler);
    s.start();
    bool closed = false;
    EXPECT_EQ(exchange(s.port, requestBytes(QStringLiteral("a"), 1), &closed), "");
    EXPECT_TRUE(closed);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler);
    EXPECT_EQ(decode(exchange(s.port, requestBytes(QStringLiteral("b"), 2)))->getIntData(), 3);
    EXPECT_EQ(s.stop(), "Exception: handler failed. Client disconnected.\n");
}

TEST(VMessageSimpleServer, ForeignExceptionLeavesStartButFreesRequestAndClient)
{
    std::atomic<int> requestsDeleted(0);
    VMessageSimpleServer server(0, QStringList());
    server.setTimeouts(1000, 5000);
    server.registerMessageHandler(QStringLiteral("VMessage"), new ForeignThrowingHandler(&requestsDeleted));
    bool closed = false;
    std::string got;
    std::thread client([&] { got = exchange(server.serverPort(), requestBytes(QStringLiteral("a"), 1), &closed); });
    EXPECT_THROW(server.start(), std::runtime_error);
    client.join();
    // Once the socket leaked: the client waited out its 20 s and the request was never freed.
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, "");
    EXPECT_EQ(requestsDeleted.load(), 1);
    VMessageHandlerFactory::getInstance()->freeAllHandlers();
}

TEST(VMessageSimpleServer, HandlerReplacedWhileRunningIsDeletedWhenItReturns)
{
    // Answers once released; counts its own deletion.
    struct GateHandler : EchoHandler
    {
        std::atomic<bool> entered{false};
        std::atomic<bool> release{false};
        std::atomic<int>* deleted = nullptr;
        ~GateHandler() override { ++*deleted; }
        VMessage* handleMessage(VMessage* request) override
        {
            entered = true;
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return EchoHandler::handleMessage(request);
        }
    };
    std::atomic<int> deleted(0);
    GateHandler* gate = new GateHandler;
    gate->deleted = &deleted;
    RunningServer s;
    s.server.registerMessageHandler(QStringLiteral("VMessage"), gate);
    s.start();
    std::string reply;
    std::thread client([&] { reply = exchange(s.port, requestBytes(QStringLiteral("a"), 1)); });
    ASSERT_TRUE(vtest::waitFor([&] { return gate->entered.load(); }));
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler);
    EXPECT_EQ(deleted.load(), 0);
    gate->release = true;
    client.join();
    EXPECT_EQ(decode(reply)->getIntData(), 2);
    EXPECT_TRUE(vtest::waitFor([&] { return deleted.load() == 1; }));
    EXPECT_EQ(decode(exchange(s.port, requestBytes(QStringLiteral("b"), 5)))->getIntData(), 6);
    EXPECT_EQ(s.stop(), "");
}

TEST(VMessageSimpleServer, RequestReturnedAsReplyIsSentAndFreedOnce)
{
    std::atomic<int> destroyed(0);
    RunningServer s;
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new SelfReplyHandler(&destroyed));
    s.start();
    for (int i = 1; i <= 2; ++i)
        EXPECT_EQ(decode(exchange(s.port, requestBytes(QStringLiteral("self"), i)))->getIntData(), 10 * i);
    EXPECT_EQ(s.stop(), "");
    EXPECT_EQ(destroyed.load(), 2);
}

TEST(VMessageSimpleServer, StopFromAHandlerStillSendsTheReply)
{
    g_handlersDeleted = 0;
    RunningServer s;
    VMessageHandler* h = new StoppingHandler(&s.server);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), h);
    s.server.registerMessageHandler(QStringLiteral("Other"), h);
    s.start();
    EXPECT_EQ(decode(exchange(s.port, requestBytes(QStringLiteral("last"), 9)))->getStringType(),
              QStringLiteral("re:last"));
    EXPECT_EQ(s.join(), "");
    EXPECT_EQ(g_handlersDeleted.load(), 1); // one handler under two names
}

TEST(VMessageSimpleServer, StopFromAnotherThreadEndsAnIdleServerSoon)
{
    RunningServer s;
    s.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let it reach its wait
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(s.stop(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(VMessageSimpleServer::ACCEPT_SLICE_MS + 5000));
    // A start after stop serves nothing and returns at once.
    s.server.start();
}

TEST(VMessageSimpleServer, SilentAndTricklingClientsDoNotHoldTheServer)
{
    // Limits far above a busy machine's scheduling delays: a byte every
    // 100 ms stays within the per-wait limit, and a request of a few hundred
    // bytes sent so cannot end before the deadline.
    RunningServer s(QStringList(), 1500, 3000);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler);
    s.start();
    const QByteArray request = requestBytes(QStringLiteral("x"), 1);
    {
        vtest::Fd silent = vtest::tcpConnect(s.port);
        bool closed = false;
        EXPECT_EQ(vtest::recvUntilClose(silent.get(), 20000, &closed), "");
        EXPECT_TRUE(closed);
    }
    {
        const QByteArray slow = requestBytes(QString(200, QLatin1Char('x')), 1);
        vtest::Fd trickle = vtest::tcpConnect(s.port);
        bool closed = false;
        for (int i = 0; i < slow.size() && !closed; ++i) {
            vtest::sendAll(trickle.get(), slow.constData() + i, 1);
            vtest::recvUntilClose(trickle.get(), 100, &closed);
        }
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(decode(exchange(s.port, request))->getIntData(), 2);
    const std::string err = s.stop();
    EXPECT_EQ(err, "Exception: Error while waiting for read: " + timeoutText().toStdString()
                       + ". Client disconnected.\n"
                         "Exception: Error while waiting for read: message not complete within 3000 ms. "
                         "Client disconnected.\n");
}

TEST(VMessageSimpleServer, HostileFramesAreReportedAndTheServerGoesOn)
{
    RunningServer s;
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler);
    s.start();
    const QByteArray good = requestBytes(QStringLiteral("x"), 1);
    QByteArray wrongClass = good;
    wrongClass[19] = 'X';
    const QByteArray frames[] = {
        QByteArray("hello, is anybody there?"),
        QByteArray::fromHex("7fffffff7fffffff"),
        QByteArray::fromHex("ffffffff00000000"),
        QByteArray::fromHex("000000160000001600000009564d6573736167650000000009007fffffff"),
        wrongClass,
        QByteArray::fromHex("0000000d0000000d00000009564d65737361676500"),
        good.left(20),
    };
    for (const QByteArray& f : frames) {
        bool closed = false;
        vtest::Fd fd = vtest::tcpConnect(s.port);
        vtest::sendAll(fd.get(), f.constData(), size_t(f.size()));
        ::shutdown(fd.get(), SHUT_WR);
        EXPECT_EQ(vtest::recvUntilClose(fd.get(), 10000, &closed), "");
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(decode(exchange(s.port, good))->getIntData(), 2);
    const std::string err = s.stop();
    const std::string closedText = "Error while waiting for read: The remote host closed the connection";
    EXPECT_EQ(err, "Exception: message length 1751477356 out of range. Client disconnected.\n"
                   "Exception: message length 2147483647 out of range. Client disconnected.\n"
                   "Exception: message length -1 out of range. Client disconnected.\n"
                   "Exception: malformed message while deserializing. Client disconnected.\n"
                   "Exception: unrecognized class while deserializing. Client disconnected.\n"
                   "Exception: malformed message while deserializing. Client disconnected.\n"
                   "Exception: " + closedText + ". Client disconnected.\n");
}

TEST(VMessageSimpleServer, RefusedClientIsClosedWithoutAReply)
{
    const FakePeerAddress fake(0x0A010203); // 10.1.2.3
    {
        RunningServer s;
        s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler);
        s.start();
        bool closed = false;
        EXPECT_EQ(exchange(s.port, requestBytes(QStringLiteral("x"), 1), &closed), "");
        EXPECT_TRUE(closed);
        EXPECT_EQ(s.stop(), "Exception: client 10.1.2.3 is not allowed. Client disconnected.\n");
    }
    {
        RunningServer s(QStringList() << "10.1.2.0/24");
        s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler);
        s.start();
        EXPECT_EQ(decode(exchange(s.port, requestBytes(QStringLiteral("x"), 1)))->getIntData(), 2);
        EXPECT_EQ(s.stop(), "");
    }
}

TEST(VMessageSimpleServer, LargeReplyArrivesWholeAtASlowReader)
{
    const int chars = 32 * 1024 * 1024; // 64 MiB of UTF-16
    RunningServer s(QStringList(), 20000, 60000);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler(nullptr, chars));
    s.start();
    const std::string reply = exchange(s.port, requestBytes(QStringLiteral("big"), 1), nullptr, 300);
    EXPECT_EQ(s.stop(), "");
    ASSERT_GT(reply.size(), size_t(2) * chars);
    qint64 used = 0;
    std::unique_ptr<VMessage> m = decode(reply, &used);
    EXPECT_EQ(used, qint64(reply.size()));
    EXPECT_EQ(m->getStringData().size(), chars);
}

TEST(VMessageSimpleServer, ReplyBeyondTheSocketBuffersArrivesWholeAtAHalfClosedClient)
{
    // The client ends its sending side once its request is out: the server
    // sees that end while most of the 8 MiB reply is still to be written.
    const int chars = 4 * 1024 * 1024;
    RunningServer s(QStringList(), 5000, 60000);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler(nullptr, chars));
    s.start();
    const std::string reply = exchange(s.port, requestBytes(QStringLiteral("half"), 1), nullptr, 0, true);
    EXPECT_EQ(s.stop(), "");
    ASSERT_GT(reply.size(), size_t(2) * chars);
    EXPECT_EQ(decode(reply)->getStringData().size(), chars);
}

TEST(VMessageSimpleServer, ReplyArrivesWholeWhenTheClientSentMoreAfterItsRequest)
{
    // The server must not close with the client's further bytes unread: the
    // reset would drop what of the 8 MiB reply is still on its way.
    const int chars = 4 * 1024 * 1024;
    RunningServer s(QStringList(), 2000, 60000);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler(nullptr, chars));
    s.start();
    vtest::Fd fd = vtest::tcpConnect(s.port);
    ASSERT_TRUE(fd.valid());
    QByteArray bytes = requestBytes(QStringLiteral("first"), 1);
    VMessage second;
    second.setStringData(QString(1024 * 1024, QLatin1Char('s'))); // 2 MiB more
    QDataStream out(&bytes, QIODevice::Append);
    out << &second;
    // Sent beside the reading: the server takes no more than its request
    // until the reply is out.
    std::thread sender([&fd, &bytes] { vtest::sendAll(fd.get(), bytes.constData(), size_t(bytes.size())); });
    std::string reply;
    bool closed = false;
    while (!closed) {
        const std::string piece = vtest::recvExactly(fd.get(), 64 * 1024, 20000);
        reply += piece;
        closed = piece.size() < 64 * 1024;
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // a slow reader
    }
    sender.join();
    ASSERT_GT(reply.size(), size_t(2) * chars);
    qint64 used = 0;
    std::unique_ptr<VMessage> m = decode(reply, &used);
    EXPECT_EQ(used, qint64(reply.size()));
    EXPECT_EQ(m->getStringData().size(), chars);
    // The first client has its reply and never closes: the next is served
    // once the first has acknowledged its reply.
    EXPECT_EQ(decode(exchange(s.port, requestBytes(QStringLiteral("next"), 7)))->getIntData(), 8);
    EXPECT_EQ(s.stop(), "");
}

TEST(VMessageSimpleServer, ClientKeepingItsSocketAfterItsReplyHoldsNeitherTheNextClientNorStop)
{
    // Waits far beyond the bounds below: only the reply's delivery may end
    // an exchange here.
    RunningServer s(QStringList(), 30000, 60000);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler);
    s.start();
    // Each client reads its reply to the server's end and keeps its socket.
    auto served = [&s](int number, vtest::Fd* fd) {
        *fd = vtest::tcpConnect(s.port);
        const QByteArray request = requestBytes(QStringLiteral("keep"), number);
        vtest::sendAll(fd->get(), request.constData(), size_t(request.size()));
        bool closed = false;
        const std::string reply = vtest::recvUntilClose(fd->get(), 1000, &closed);
        ASSERT_TRUE(closed);
        EXPECT_EQ(decode(reply)->getIntData(), number + 1);
    };
    vtest::Fd first, second;
    ASSERT_NO_FATAL_FAILURE(served(1, &first));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(served(2, &second));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(s.stop(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::seconds(1));
}

TEST(VMessageSimpleServer, ClientStillSendingWhenItsReplyIsAcknowledgedIsNotReset)
{
    // One more request beyond the socket buffers, written before the client
    // reads: its small reply is acknowledged long before that is through,
    // and a close then would reset the client's writes.
    RunningServer s(QStringList(), 2000, 60000);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler);
    s.start();
    vtest::Fd fd = vtest::tcpConnect(s.port);
    ASSERT_TRUE(fd.valid());
    QByteArray bytes = requestBytes(QStringLiteral("first"), 1);
    VMessage second;
    second.setStringData(QString(8 * 1024 * 1024, QLatin1Char('s'))); // 16 MiB more
    QDataStream out(&bytes, QIODevice::Append);
    out << &second;
    EXPECT_TRUE(vtest::sendAll(fd.get(), bytes.constData(), size_t(bytes.size()))) << std::strerror(errno);
    bool closed = false;
    EXPECT_EQ(decode(vtest::recvUntilClose(fd.get(), 20000, &closed))->getIntData(), 2);
    EXPECT_TRUE(closed);
    EXPECT_EQ(s.stop(), "");
}

TEST(VMessageSimpleServer, SignalsDoNotStretchTheWaitForAClientThatReadsNothing)
{
    // Signals at the server every few ms (a profiler's timer, say) must not
    // restart its wait for room to write: a client that reads none of its
    // 8 MiB reply is given up after one wait, and the next is served.
    struct SeenHandler : EchoHandler
    {
        SeenHandler() : EchoHandler(nullptr, 4 * 1024 * 1024) {}
        std::atomic<bool> seen{false};
        pthread_t thread{};
        VMessage* handleMessage(VMessage* request) override
        {
            thread = pthread_self();
            seen = true;
            return EchoHandler::handleMessage(request);
        }
    };
    struct sigaction sa = {}, old = {};
    sa.sa_handler = [](int) {}; // no SA_RESTART: the server's waits see EINTR
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, &old);
    SeenHandler* handler = new SeenHandler;
    RunningServer s(QStringList(), 300, 60000);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), handler);
    s.start();
    vtest::Fd silent = vtest::tcpConnect(s.port);
    const QByteArray request = requestBytes(QStringLiteral("x"), 1);
    vtest::sendAll(silent.get(), request.constData(), size_t(request.size()));
    ASSERT_TRUE(vtest::waitFor([&] { return handler->seen.load(); }));
    std::atomic<bool> done(false);
    const auto t0 = std::chrono::steady_clock::now();
    std::thread interrupter([&] {
        while (!done && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
            pthread_kill(handler->thread, SIGALRM);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    EXPECT_EQ(decode(exchange(s.port, requestBytes(QStringLiteral("next"), 7)))->getIntData(), 8);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    done = true;
    interrupter.join();
    EXPECT_EQ(s.stop().rfind("Exception: Error while waiting for write: ", 0), 0u);
    sigaction(SIGALRM, &old, nullptr);
}

TEST(VMessageSimpleServer, ClientFloodingWhileItsReplyWaitsCannotGrowTheServer)
{
    // An 8 MiB reply (beyond the socket buffers) to a client that never
    // reads and keeps sending until the server gives up on it.
    const long kGuardKiB = 256 * 1024; // stop early rather than exhaust the host
    RunningServer s(QStringList(), 2500, 2500);
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new EchoHandler(nullptr, 4 * 1024 * 1024));
    s.start();
    const long before = vtest::residentKiB();
    long peak = before;
    {
        vtest::Fd fd = vtest::tcpConnect(s.port);
        const QByteArray request = requestBytes(QStringLiteral("flood"), 1);
        ASSERT_TRUE(vtest::sendAll(fd.get(), request.constData(), size_t(request.size())));
        const std::vector<char> junk(64 * 1024, 'j');
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        auto nextSample = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < end && peak - before < kGuardKiB) {
            pollfd p = {fd.get(), POLLOUT, 0};
            if (::poll(&p, 1, 10) == 1 && ::send(fd.get(), junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0
                && errno != EAGAIN && errno != EINTR)
                break; // the server closed on us
            if (std::chrono::steady_clock::now() >= nextSample) {
                peak = std::max(peak, vtest::residentKiB());
                nextSample += std::chrono::milliseconds(10);
            }
        }
    }
    RecordProperty("peak_growth_kib", int(peak - before));
    EXPECT_LT(peak - before, 64 * 1024) << "peak growth " << (peak - before) << " KiB";
    // The next client is served in full.
    std::unique_ptr<VMessage> m = decode(exchange(s.port, requestBytes(QStringLiteral("next"), 7)));
    EXPECT_EQ(m->getIntData(), 8);
    EXPECT_EQ(m->getStringData().size(), 4 * 1024 * 1024);
    EXPECT_EQ(s.stop().rfind("Exception: Error while waiting for write: ", 0), 0u);
}

TEST(VMessageSimpleServer, FullDescriptorTableNeitherSpinsNorLosesTheClient)
{
    vtest::TempDir dir;
    const std::string errFile = dir.file("stderr");
    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe2(toParent, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
    const pid_t pid = vtest::forkChild([&]() -> int {
        ::close(toParent[0]);
        ::close(toChild[1]);
        const int errFd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (errFd < 0 || ::dup2(errFd, 2) < 0)
            return 2;
        VMessageSimpleServer server(0, QStringList());
        server.setTimeouts(2000, 5000);
        server.registerMessageHandler(QStringLiteral("VMessage"), new StoppingHandler(&server));
        std::vector<int> fillers;
        // Measures the CPU time of 3 s with a client waiting, then frees a few descriptors.
        std::thread watcher([&] {
            char go;
            if (::read(toChild[0], &go, 1) != 1)
                return;
            rusage r0, r1;
            ::getrusage(RUSAGE_SELF, &r0);
            std::this_thread::sleep_for(std::chrono::seconds(3));
            ::getrusage(RUSAGE_SELF, &r1);
            auto ms = [](const timeval& t) { return long(t.tv_sec) * 1000 + t.tv_usec / 1000; };
            const long cpuMs = ms(r1.ru_utime) + ms(r1.ru_stime) - ms(r0.ru_utime) - ms(r0.ru_stime);
            for (int i = 0; i < 4; ++i) {
                ::close(fillers.back());
                fillers.pop_back();
            }
            (void)!::write(toParent[1], &cpuMs, sizeof cpuMs);
        });
        rlimit lim;
        ::getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = 256;
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0)
            return 3;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fillers.push_back(fd);
        if (fillers.size() < 4)
            return 4;
        const quint16 port = server.serverPort();
        (void)!::write(toParent[1], &port, sizeof port);
        server.start();
        watcher.join();
        return 0;
    });
    ::close(toParent[1]);
    ::close(toChild[0]);
    vtest::Fd fromChild(toParent[0]);
    vtest::Fd goPipe(toChild[1]);
    quint16 port = 0;
    ASSERT_TRUE(readPipe(fromChild.get(), &port, sizeof port, 20000));
    vtest::Fd client = vtest::tcpConnect(port);
    ASSERT_TRUE(client.valid());
    const QByteArray request = requestBytes(QStringLiteral("full"), 1);
    vtest::sendAll(client.get(), request.constData(), size_t(request.size()));
    ASSERT_EQ(::write(goPipe.get(), "g", 1), 1);
    long cpuMs = -1;
    EXPECT_TRUE(readPipe(fromChild.get(), &cpuMs, sizeof cpuMs, 20000));
    bool closed = false;
    const std::string reply = vtest::recvUntilClose(client.get(), 20000, &closed);
    EXPECT_EQ(vtest::waitChild(pid, std::chrono::seconds(30)), 0);
    RecordProperty("cpu_ms_in_3s", int(cpuMs));
    EXPECT_GE(cpuMs, 0);
    EXPECT_LT(cpuMs, 500) << "CPU time over 3 s with a full table";
    EXPECT_TRUE(closed);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(decode(reply)->getIntData(), 2);
    // One line for the whole episode, not one per attempt.
    const std::string err = vtest::readFile(errFile);
    EXPECT_EQ(vtest::countOf(err, "\n"), 1) << err;
    EXPECT_EQ(err.rfind("Exception: Can't accept a new connection: ", 0), 0u) << err;
    EXPECT_NE(err.find(". Client disconnected.\n"), std::string::npos) << err;
    RecordProperty("stderr", err);
}

TEST(VMessageSimpleServer, ListenFailureGivesQtsTextAndPortsWrap)
{
    ASSERT_TRUE(kLoopbackOnly);
    uint16_t port = 0;
    vtest::Fd busy = vtest::tcpListen(&port);
    QTcpServer probe;
    EXPECT_FALSE(probe.listen(QHostAddress::LocalHost, port));
    try {
        VMessageSimpleServer s(port, QStringList());
        ADD_FAILURE() << "listened on a taken port";
    } catch (const VException& e) {
        EXPECT_EQ(QString::fromLatin1(e.what()), probe.errorString());
    }
    // The port is taken modulo 65536: a free port plus 65536 is that port.
    busy.reset();
    try {
        VMessageSimpleServer s(quint32(port) + 65536, QStringList());
        EXPECT_EQ(s.serverPort(), port);
        EXPECT_EQ(VMessageServerTestAccess::address(s), QHostAddress(QHostAddress::LocalHost));
    } catch (const VException&) {
        // Another process took the port meanwhile: nothing to learn here.
    }
}

TEST(VMessageHandlerFactory, RegistrationOwnsReplacesAndFreesOnce)
{
    VMessageHandlerFactory* f = VMessageHandlerFactory::getInstance();
    EXPECT_EQ(f, VMessageHandlerFactory::getInstance());
    g_handlersDeleted = 0;
    EchoHandler* a = new EchoHandler;
    EchoHandler* b = new EchoHandler;
    f->registerMessageHandler(QStringLiteral("A"), a);
    f->registerMessageHandler(QStringLiteral("A"), a); // same one: kept
    f->registerMessageHandler(QStringLiteral("B"), a);
    f->registerMessageHandler(QStringLiteral("A"), b); // a is still under "B"
    EXPECT_EQ(g_handlersDeleted.load(), 0);
    f->registerMessageHandler(QStringLiteral("B"), b); // a is gone from the table
    EXPECT_EQ(g_handlersDeleted.load(), 1);

    f->registerStartMessageHandler(a = new EchoHandler);
    EXPECT_EQ(f->getStartMessageHandler(), a);
    EXPECT_EQ(f->getHandler(QStringLiteral("START_MESSAGE_DUMMY_NAME")), a);
    f->deregisterStartMessageHandler(); // ownership back to us
    EXPECT_EQ(f->getStartMessageHandler(), nullptr);
    delete a;
    EXPECT_EQ(g_handlersDeleted.load(), 2);

    f->registerMessageHandler(QStringLiteral("C"), new ThrowingDestructorHandler);
    try {
        f->freeAllHandlers();
        ADD_FAILURE() << "destructor exception lost";
    } catch (const VException& e) {
        EXPECT_STREQ(e.what(), "cannot let go");
    }
    EXPECT_EQ(g_handlersDeleted.load(), 3); // b, under two names, once
    EXPECT_EQ(f->getHandler(QStringLiteral("A")), nullptr);
}

TEST(VMessageSimpleServer, HandlerDestructorFailureIsReportedAtTheEnd)
{
    RunningServer s;
    s.server.registerMessageHandler(QStringLiteral("VMessage"), new ThrowingDestructorHandler);
    s.start();
    EXPECT_EQ(s.stop(), "Exception: cannot let go\n");
}
