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

// The key file of the semaphore of this name, where the library puts it:
// in VORN_TMPDIR, else TMPDIR, else /tmp, with INSTALLATION_UID after it.
inline std::string semKeyFile(const std::string& name)
{
    const char* dir = std::getenv("VORN_TMPDIR");
    if (!dir)
        dir = std::getenv("TMPDIR");
    const char* suffix = std::getenv("INSTALLATION_UID");
    return std::string(dir ? dir : "/tmp") + "/vsemfile_" + name + (suffix ? suffix : "");
}

// The id that the semaphore of this name wrote into its id file, or -1.
inline int semIdOf(const std::string& name)
{
    const std::string text = readFile(semKeyFile(name) + "_semid");
    return text.empty() ? -1 : std::atoi(text.c_str());
}

inline int semValue(const std::string& name) { return ::semctl(semIdOf(name), 0, GETVAL); }
// Processes waiting for units of the semaphore.
inline int semWaiters(const std::string& name) { return ::semctl(semIdOf(name), 0, GETNCNT); }

// Owns the named semaphores of a test: at the end of the scope, also when the
// test fails, removes each set with its key and id files (the library's
// remove() keeps the key file). The files are found where they were when the
// name was added, so VORN_TMPDIR may change meanwhile. A TempDir removes the
// sets of the key files in it as well, but only those with an id file.
// Usage: VSemaphore s(1, sems.add(name).c_str());
class SemCleanup
{
public:
    SemCleanup() = default;
    SemCleanup(const SemCleanup&) = delete;
    SemCleanup& operator=(const SemCleanup&) = delete;
    ~SemCleanup()
    {
        for (const std::string& keyFile : _keyFiles)
            removeSemaphoreSet(keyFile);
    }
    std::string add(const std::string& name)
    {
        _keyFiles.push_back(semKeyFile(name));
        return name;
    }

private:
    std::vector<std::string> _keyFiles;
};

} // namespace vtest

#endif
