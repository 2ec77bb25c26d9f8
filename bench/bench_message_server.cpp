// Round trips per second, one small message per connection, through
// VMessageSimpleServer against a plain POSIX server sending the same bytes;
// the client (plain sockets: connect, write, read to EOF, close) is the same.
// Runs are short: the server closes first, so TIME_WAIT entries pile up
// (about 8k a second for a minute). For a ratio on a busy host use
//   --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
// and compare the medians.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include <QByteArray>
#include <QDataStream>

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

void BM_MessageServerRoundTrip(benchmark::State& state)
{
    VMessageSimpleServer server(0, QStringList());
    server.registerMessageHandler(QStringLiteral("VMessage"), new PongHandler);
    std::thread serving([&server] { server.start(); });
    const quint16 port = server.serverPort();
    for (auto _ : state) {
        if (roundTrip(port) != size_t(kReply.size()))
            state.SkipWithError("short reply");
    }
    server.stop();
    serving.join();
    state.SetItemsProcessed(state.iterations());
}

void BM_PlainSocketRoundTrip(benchmark::State& state)
{
    PlainServer server;
    for (auto _ : state) {
        if (roundTrip(server.port) != size_t(kReply.size()))
            state.SkipWithError("short reply");
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_MessageServerRoundTrip)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PlainSocketRoundTrip)->MinTime(1.0)->UseRealTime();
BENCHMARK_MAIN();
