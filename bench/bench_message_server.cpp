// Round trips per second, one small message per connection, through
// VMessageSimpleServer against a plain POSIX server sending the same bytes;
// the client (plain sockets: connect, write, read to EOF, close) is the same.
// A bare QTcpServer/QTcpSocket loop shows what Qt's blocking calls cost alone.
// Runs are short: the server closes first, so TIME_WAIT entries pile up
// (about 8k a second for a minute). For a ratio on a busy host use
//   --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
// and compare the medians; BM_InterleavedRatio gives the ratio from runs
// that share the host's load (--benchmark_filter=Interleaved).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <QByteArray>
#include <QDataStream>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <VIpc/message.h>
#include <VIpc/message_server.h>

#include "sock_io.h"

namespace {

using benchio::readAll;
using benchio::writeAll;

QByteArray frame(const QString& type, int number)
{
    VMessage m;
    m.setStringType(type);
    m.setIntData(number);
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s << &m;
    return out;
}

const QByteArray kRequest = frame(QStringLiteral("ping"), 1);
const QByteArray kReply = frame(QStringLiteral("pong"), 2);

class PongHandler : public VMessageHandler
{
public:
    VMessage* handleMessage(VMessage*) override
    {
        VMessage* reply = new VMessage;
        reply->setStringType(QStringLiteral("pong"));
        reply->setIntData(2);
        return reply;
    }
};

// The client of both benchmarks; returns the bytes of the reply.
size_t roundTrip(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    size_t got = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && writeAll(fd, kRequest.constData(), size_t(kRequest.size()))) {
        char buf[4096];
        ssize_t r;
        while ((r = ::read(fd, buf, sizeof buf)) > 0 || (r < 0 && errno == EINTR))
            got += r > 0 ? size_t(r) : 0;
    }
    ::close(fd);
    return got;
}

// The same exchange with plain sockets: read one frame, write the reply, close.
class PlainServer
{
public:
    PlainServer()
    {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(_fd, 50);
        ::getsockname(_fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        _thread = std::thread([this] { run(); });
    }
    ~PlainServer()
    {
        _stop = true;
        ::shutdown(_fd, SHUT_RDWR);
        _thread.join();
        ::close(_fd);
    }
    quint16 port = 0;

private:
    void run()
    {
        while (!_stop) {
            const int c = ::accept4(_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            char head[4];
            if (readAll(c, head, 4)) {
                quint32 n;
                std::memcpy(&n, head, 4);
                std::string body(ntohl(n) + 4, '\0');
                if (readAll(c, &body[0], body.size()))
                    writeAll(c, kReply.constData(), size_t(kReply.size()));
            }
            ::close(c);
        }
    }

    int _fd;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

// Reference only: the same exchange through bare QTcpServer/QTcpSocket
// blocking calls, no message decoding, to show what Qt itself costs.
class BareQtServer
{
public:
    BareQtServer()
    {
        std::atomic<int> ready{0};
        _thread = std::thread([this, &ready] {
            QTcpServer server;
            if (server.listen(QHostAddress::LocalHost, 0))
                port = server.serverPort();
            ready = 1;
            while (!_stop) {
                bool timedOut = false;
                if (!server.hasPendingConnections() && !server.waitForNewConnection(100, &timedOut))
                    continue;
                QTcpSocket* c = server.nextPendingConnection();
                if (!c)
                    continue;
                while (c->bytesAvailable() < 4 && c->waitForReadyRead(30000)) {}
                QByteArray head = c->peek(4);
                quint32 n = 0;
                if (head.size() == 4)
                    n = qFromBigEndian<quint32>(head.constData());
                while (c->bytesAvailable() < qint64(n) + 8 && c->waitForReadyRead(30000)) {}
                c->readAll();
                c->write(kReply);
                while (c->bytesToWrite() > 0 && c->waitForBytesWritten(30000)) {}
                c->disconnectFromHost();
                delete c;
            }
        });
        while (!ready) {
            std::this_thread::yield();
        }
    }
    ~BareQtServer()
    {
        _stop = true;
        _thread.join();
    }
    quint16 port = 0;

private:
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

// The timed loop of every benchmark here: the same client, the same bytes.
void runClient(benchmark::State& state, quint16 port)
{
    for (auto _ : state) {
        if (roundTrip(port) != size_t(kReply.size()))
            state.SkipWithError("short reply");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MessageServerRoundTrip(benchmark::State& state)
{
    VMessageSimpleServer server(0, QStringList());
    server.registerMessageHandler(QStringLiteral("VMessage"), new PongHandler);
    std::thread serving([&server] { server.start(); });
    runClient(state, server.serverPort());
    server.stop();
    serving.join();
}

void BM_PlainSocketRoundTrip(benchmark::State& state)
{
    PlainServer server;
    runClient(state, server.port);
}

void BM_BareQtRoundTrip(benchmark::State& state)
{
    BareQtServer server;
    runClient(state, server.port);
}

// All three servers at once, the client taking turns in blocks of round
// trips, so that a busy host slows every side alike. Reports each side's
// round trips per second and the ratios to the plain sockets.
void BM_InterleavedRatio(benchmark::State& state)
{
    VMessageSimpleServer server(0, QStringList());
    server.registerMessageHandler(QStringLiteral("VMessage"), new PongHandler);
    std::thread serving([&server] { server.start(); });
    PlainServer plain;
    BareQtServer bare;
    const quint16 ports[3] = {server.serverPort(), plain.port, bare.port};
    const int kBlock = 100;
    double seconds[3] = {0, 0, 0};
    qint64 turns = 0;
    for (auto _ : state) {
        for (int k = 0; k < 3; ++k) {
            const int side = int((turns + k) % 3); // each side follows each other side alike
            const auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < kBlock; ++i) {
                if (roundTrip(ports[side]) != size_t(kReply.size()))
                    state.SkipWithError("short reply");
            }
            seconds[side] += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
        ++turns;
    }
    server.stop();
    serving.join();
    const double trips = double(turns) * kBlock;
    if (trips > 0 && seconds[0] > 0 && seconds[2] > 0) {
        state.counters["server_rt_s"] = trips / seconds[0];
        state.counters["plain_rt_s"] = trips / seconds[1];
        state.counters["bareqt_rt_s"] = trips / seconds[2];
        state.counters["ratio"] = seconds[1] / seconds[0];
        state.counters["bareqt_ratio"] = seconds[1] / seconds[2];
    }
}

} // namespace

BENCHMARK(BM_MessageServerRoundTrip)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_BareQtRoundTrip)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PlainSocketRoundTrip)->MinTime(1.0)->UseRealTime();
// About 2 s a run: with 5 repetitions some 80k sockets sit in TIME_WAIT
// (below the usual 131072 tcp_max_tw_buckets).
BENCHMARK(BM_InterleavedRatio)->MinTime(2.0)->UseRealTime();
BENCHMARK_MAIN();
