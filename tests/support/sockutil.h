// Plain POSIX socket helpers for tests of the network code: loopback TCP
// and Unix-domain listeners and clients with bounded waits.
#ifndef VORNLIB_TESTS_SOCKUTIL_H
#define VORNLIB_TESTS_SOCKUTIL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtest {

// Owns a descriptor.
class Fd
{
public:
    explicit Fd(int fd = -1) : _fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : _fd(o._fd) { o._fd = -1; }
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return _fd; }
    bool valid() const { return _fd >= 0; }
    void reset(int fd = -1);

private:
    int _fd;
};

// A listener on 127.0.0.1 with a free port (written to *port).
Fd tcpListen(uint16_t* port, int backlog = 16);
// A Unix-domain stream listener at path.
Fd unixListen(const std::string& path, int backlog = 16);
// A connection to 127.0.0.1:port, or an invalid Fd.
Fd tcpConnect(uint16_t port);
// Accepts one connection, waiting at most timeoutMs.
Fd acceptFor(int listenFd, int timeoutMs);

bool sendAll(int fd, const void* data, size_t size);
bool sendAll(int fd, const std::string& data);
// Reads until the peer closes or nothing arrives for timeoutMs; *closed
// tells whether the peer closed.
std::string recvUntilClose(int fd, int timeoutMs, bool* closed = nullptr);
// Reads exactly size bytes unless the peer closes or timeoutMs passes.
std::string recvExactly(int fd, size_t size, int timeoutMs);

// How often part occurs in text (overlaps counted): for log checks.
int countOf(const std::string& text, const std::string& part);

} // namespace vtest

#endif
