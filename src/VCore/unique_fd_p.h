// Owner of a file descriptor: closes it when the scope ends. Not installed.
// Not thread-safe: one owner belongs to one thread at a time.
#ifndef VORNLIB_VCORE_UNIQUE_FD_P_H
#define VORNLIB_VCORE_UNIQUE_FD_P_H

#include <unistd.h>

#include <cerrno>

class VUniqueFd
{
public:
    explicit VUniqueFd(int fd = -1) : _fd(fd) {}
    ~VUniqueFd() { reset(); }
    VUniqueFd(const VUniqueFd&) = delete;
    VUniqueFd& operator=(const VUniqueFd&) = delete;

    int get() const { return _fd; }
    bool isValid() const { return _fd >= 0; }
    // Gives the descriptor up without closing it.
    int release()
    {
        const int fd = _fd;
        _fd = -1;
        return fd;
    }
    // Closes the held descriptor (keeping errno) and takes fd.
    void reset(int fd = -1)
    {
        if (_fd >= 0) {
            const int err = errno;
            ::close(_fd);
            errno = err;
        }
        _fd = fd;
    }

private:
    int _fd;
};

#endif
