// Helpers for tests with System V semaphores and child processes: a pipe to
// signal between parent and children with bounded waits, and removal of the
// semaphores a test made.
#ifndef VORNLIB_TESTS_IPCTEST_H
#define VORNLIB_TESTS_IPCTEST_H

#include <fcntl.h>
#include <poll.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "testutil.h"

namespace vtest {

// A one-way channel of single bytes.
class Pipe
{
public:
    Pipe()
    {
        if (::pipe2(_fd, O_CLOEXEC) != 0)
            _fd[0] = _fd[1] = -1;
    }
    ~Pipe()
    {
        ::close(_fd[0]);
        ::close(_fd[1]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    void send(char c = '+') { (void)!::write(_fd[1], &c, 1); }
    // The next byte, or 0 when none came within the timeout.
    char receive(int timeoutMs = 20000)
    {
        struct pollfd p = {_fd[0], POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, timeoutMs);
        } while (r < 0 && errno == EINTR);
        char c = 0;
        if (r == 1 && ::read(_fd[0], &c, 1) != 1)
            c = 0;
        return c;
    }
    // True when a byte is waiting (nothing is read).
    bool ready()
    {
        struct pollfd p = {_fd[0], POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

private:
    int _fd[2];
};

// The id that the semaphore of this name wrote into its id file in
// VORN_TMPDIR, or -1.
inline int semIdOf(const std::string& name)
{
    const char* dir = std::getenv("VORN_TMPDIR");
    const std::string text = readFile(std::string(dir ? dir : "/tmp") + "/vsemfile_" + name + "_semid");
    return text.empty() ? -1 : std::atoi(text.c_str());
}

inline int semValue(const std::string& name) { return ::semctl(semIdOf(name), 0, GETVAL); }
// Processes waiting for units of the semaphore.
inline int semWaiters(const std::string& name) { return ::semctl(semIdOf(name), 0, GETNCNT); }

// Removes the named semaphores (IPC_RMID) at the end of the scope.
class SemCleanup
{
public:
    ~SemCleanup()
    {
        for (const std::string& n : _names) {
            const int id = semIdOf(n);
            if (id >= 0)
                ::semctl(id, 0, IPC_RMID);
        }
    }
    std::string add(const std::string& name)
    {
        _names.push_back(name);
        return name;
    }

private:
    std::vector<std::string> _names;
};

} // namespace vtest

#endif
