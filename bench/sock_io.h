// Blocking whole-buffer read and write on a descriptor, for the benchmarks'
// plain-socket sides.
#ifndef VORNLIB_BENCH_SOCK_IO_H
#define VORNLIB_BENCH_SOCK_IO_H

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace benchio {

inline bool writeAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

inline bool readAll(int fd, char* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

} // namespace benchio

#endif
