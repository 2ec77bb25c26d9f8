// MB/s of VNetworkPeer moving 64 MiB each way over a Unix-domain socket,
// against plain write/read on the same socket type. The far end is the same
// plain loop in both cases.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <QtGlobal>

#include <VNetwork/network_peer.h>

#include "sock_io.h"

namespace {

using benchio::readAll;
using benchio::writeAll;

const size_t kBytes = 64 << 20;

// A listener in a fresh directory; its one client gets back, for each
// 64 MiB it sends, 64 MiB of its own.
class FarEnd
{
public:
    FarEnd() : _in(kBytes), _out(kBytes, 'o')
    {
        char dir[] = "/tmp/bench_peer_XXXXXX";
        _dir = ::mkdtemp(dir);
        path = _dir + "/far.sock";
        _fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        ::bind(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(_fd, 4);
        _thread = std::thread([this] {
            const int c = ::accept4(_fd, nullptr, nullptr, SOCK_CLOEXEC);
            while (c >= 0 && readAll(c, _in.data(), kBytes) && writeAll(c, _out.data(), kBytes)) {
            }
            if (c >= 0)
                ::close(c);
        });
    }
    ~FarEnd()
    {
        _thread.join();
        ::close(_fd);
        ::unlink(path.c_str());
        ::rmdir(_dir.c_str());
    }
    std::string path;

private:
    std::string _dir;
    int _fd;
    std::vector<char> _in, _out;
    std::thread _thread;
};

void BM_NetworkPeerUnix64MiB(benchmark::State& state)
{
    FarEnd far;
    std::vector<char> out(kBytes, 'p'), in(kBytes);
    {
        VNetworkPeer peer;
        peer.connect(far.path.c_str());
        for (auto _ : state) {
            peer.sendBuffer(out.data(), kBytes);
            peer.receiveBuffer(in.data(), kBytes);
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(2 * kBytes));
}

void BM_PlainUnix64MiB(benchmark::State& state)
{
    FarEnd far;
    std::vector<char> out(kBytes, 'p'), in(kBytes);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    far.path.copy(a.sun_path, sizeof a.sun_path - 1);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    for (auto _ : state) {
        if (!writeAll(fd, out.data(), kBytes) || !readAll(fd, in.data(), kBytes))
            state.SkipWithError("transfer failed");
    }
    ::close(fd);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(2 * kBytes));
}

void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    // sendBuffer reports every write on qDebug: keep the table readable.
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

BENCHMARK(BM_NetworkPeerUnix64MiB)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_PlainUnix64MiB)->MinTime(3.0)->UseRealTime();

int main(int argc, char** argv)
{
    qInstallMessageHandler(quietDebug);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
