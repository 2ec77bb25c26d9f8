#include "testutil.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <QDir>
#include <QDirIterator>

namespace vtest {

namespace {

union semun_arg
{
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

} // namespace

TempDir::TempDir(bool setVornTmpDir, Space space) : _setEnv(setVornTmpDir), _hadOldEnv(false)
{
    const char* base = space == Space::Large ? std::getenv("VORN_TEST_RUN") : nullptr;
    if (!base || !*base)
        base = std::getenv("TMPDIR");
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
    removeDir();
}

void TempDir::removeDir()
{
    if (_path.empty())
        return;
    removeSemaphoreSets(_path);
    QDir(QString::fromStdString(_path)).removeRecursively();
    _path.clear();
}

TempDir& TempDir::operator=(TempDir&& other)
{
    removeDir();
    _path.swap(other._path);
    return *this;
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

namespace {

// The id in a library id file, or -1; anything but a regular file (a planted
// FIFO would block the read) counts as none.
int readSemId(const std::string& idFile)
{
    const int fd = open(idFile.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    char text[32] = {};
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        do {
            n = read(fd, text, sizeof text - 1);
        } while (n < 0 && errno == EINTR);
    }
    close(fd);
    return n > 0 ? std::atoi(text) : -1;
}

// The id of the set that the library made for keyFile, when it still exists
// under the key file's key (a set whose key file went cannot be told from
// another's; the id file alone must do, unless found is set); -1 when none.
// A key file found in a directory must be a regular file whose owner made
// the set: a link, or a file planted by another user, costs no one else's set.
int setOf(const std::string& keyFile, const std::string& idFile, bool found = false)
{
    const int id = readSemId(idFile);
    if (id < 0)
        return -1;
    struct stat st;
    const bool hasKeyFile = lstat(keyFile.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (found && !hasKeyFile)
        return -1;
    const key_t key = hasKeyFile ? ftok(keyFile.c_str(), 1) : key_t(-1);
    struct semid_ds ds;
    semun_arg arg;
    arg.buf = &ds;
    if (semctl(id, 0, IPC_STAT, arg) != 0 || (hasKeyFile && ds.sem_perm.__key != key) ||
        (found && ds.sem_perm.cuid != st.st_uid))
        return -1;
    return id;
}

} // namespace

int removeSemaphoreSet(const std::string& keyFile)
{
    const std::string idFile = keyFile + "_semid";
    int id = setOf(keyFile, idFile);
    struct stat st;
    // No id file (one was planted, or the creator died first): the set of
    // the key file's key, which the caller says is its own.
    if (id < 0 && lstat(keyFile.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        const key_t key = ftok(keyFile.c_str(), 1);
        if (key != key_t(-1))
            id = semget(key, 0, 0);
    }
    unlink(idFile.c_str());
    unlink(keyFile.c_str());
    return id >= 0 && semctl(id, 0, IPC_RMID) == 0 ? id : -1;
}

std::vector<std::string> removeSemaphoreSets(const std::string& dir)
{
    std::vector<std::string> removed;
    QDirIterator it(QString::fromStdString(dir), QStringList() << QStringLiteral("vsemfile_*"),
                    QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const std::string keyFile = it.next().toStdString();
        if (keyFile.size() > 6 && keyFile.compare(keyFile.size() - 6, 6, "_semid") == 0)
            continue;
        const std::string idFile = keyFile + "_semid";
        const int id = setOf(keyFile, idFile, true);
        if (id < 0)
            continue;
        unlink(idFile.c_str());
        unlink(keyFile.c_str());
        if (semctl(id, 0, IPC_RMID) == 0)
            removed.push_back(keyFile + ": set " + std::to_string(id));
    }
    return removed;
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
    return forkAs(uid, gid, std::vector<gid_t>(), body);
}

pid_t forkAs(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<int()>& body)
{
    return forkChild([&]() {
        if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
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
