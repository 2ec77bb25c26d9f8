#include "testutil.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <QDir>

namespace vtest {

TempDir::TempDir(bool setVornTmpDir) : _setEnv(setVornTmpDir), _hadOldEnv(false)
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vorntest.XXXXXX";
    if (!mkdtemp(&tmpl[0]))
        throw std::runtime_error("mkdtemp failed");
    _path = tmpl;
    if (_setEnv) {
        if (const char* old = std::getenv("VORN_TMPDIR")) {
            _hadOldEnv = true;
            _oldEnv = old;
        }
        setenv("VORN_TMPDIR", _path.c_str(), 1);
    }
}

TempDir::~TempDir()
{
    if (_setEnv) {
        if (_hadOldEnv)
            setenv("VORN_TMPDIR", _oldEnv.c_str(), 1);
        else
            unsetenv("VORN_TMPDIR");
    }
    QDir(QString::fromStdString(_path)).removeRecursively();
}

CaptureFd::CaptureFd(int fd) : _fd(fd), _saved(-1)
{
    char tmpl[] = "/tmp/vorncapture.XXXXXX";
    const int tfd = mkstemp(tmpl);
    if (tfd < 0)
        throw std::runtime_error("mkstemp failed");
    _file = tmpl;
    std::fflush(nullptr);
    _saved = dup(fd);
    dup2(tfd, fd);
    close(tfd);
}

CaptureFd::~CaptureFd()
{
    restore();
    if (!_file.empty())
        unlink(_file.c_str());
}

void CaptureFd::restore()
{
    if (_saved < 0)
        return;
    std::fflush(nullptr);
    dup2(_saved, _fd);
    close(_saved);
    _saved = -1;
}

std::string CaptureFd::text()
{
    restore();
    return readFile(_file);
}

std::string uniqueName(const std::string& prefix)
{
    static std::atomic<int> seq{0};
    return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(seq++);
}

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

pid_t forkChild(const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int rc = 255;
        try {
            rc = body();
        } catch (...) {
            rc = 254;
        }
        std::fflush(nullptr);
        _exit(rc);
    }
    return pid;
}

bool canRunAttacker()
{
    return geteuid() == 0;
}

pid_t forkAttacker(const std::function<int()>& body)
{
    return forkAs(kAttackerId, kAttackerId, body);
}

pid_t forkAs(uid_t uid, gid_t gid, const std::function<int()>& body)
{
    return forkChild([&]() {
        if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
            return 253;
        return body();
    });
}

int waitChild(pid_t pid, std::chrono::milliseconds timeout)
{
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0)
            return -1;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

} // namespace vtest
