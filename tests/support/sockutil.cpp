#include "sockutil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vtest {

Fd& Fd::operator=(Fd&& o) noexcept
{
    if (this != &o) {
        reset(o._fd);
        o._fd = -1;
    }
    return *this;
}

void Fd::reset(int fd)
{
    if (_fd >= 0)
        ::close(_fd);
    _fd = fd;
}

Fd tcpListen(uint16_t* port, int backlog)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
        || ::listen(fd.get(), backlog) != 0 || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return Fd();
    *port = ntohs(a.sin_port);
    return fd;
}

Fd unixListen(const std::string& path, int backlog)
{
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a;
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (path.size() > sizeof a.sun_path)
        return Fd();
    std::memcpy(a.sun_path, path.data(), path.size());
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
        || ::listen(fd.get(), backlog) != 0)
        return Fd();
    return fd;
}

Fd tcpConnect(uint16_t port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return Fd();
    return fd;
}

static bool waitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

Fd acceptFor(int listenFd, int timeoutMs)
{
    if (!waitReadable(listenFd, timeoutMs))
        return Fd();
    return Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

bool sendAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t w = ::send(fd, p, size, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        size -= size_t(w);
    }
    return true;
}

bool sendAll(int fd, const std::string& data)
{
    return sendAll(fd, data.data(), data.size());
}

std::string recvUntilClose(int fd, int timeoutMs, bool* closed)
{
    std::string out;
    char buf[65536];
    if (closed)
        *closed = false;
    while (waitReadable(fd, timeoutMs)) {
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (closed)
                *closed = true;
            break;
        }
        out.append(buf, size_t(r));
    }
    return out;
}

std::string recvExactly(int fd, size_t size, int timeoutMs)
{
    std::string out;
    char buf[65536];
    while (out.size() < size && waitReadable(fd, timeoutMs)) {
        const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, size - out.size()), 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        out.append(buf, size_t(r));
    }
    return out;
}

int countOf(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace vtest
