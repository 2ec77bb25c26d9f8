#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testutil.h"
#include <VCore/filesystem.h>
#include <VCore/filetimestamp.h>

namespace {

// A pipe whose ends close at the end of the scope.
struct Pipe
{
    int fd[2];
    Pipe() { EXPECT_EQ(0, pipe2(fd, O_CLOEXEC)); }
    ~Pipe() { closeRead(); closeWrite(); }
    void closeRead() { if (fd[0] >= 0) close(fd[0]); fd[0] = -1; }
    void closeWrite() { if (fd[1] >= 0) close(fd[1]); fd[1] = -1; }
};

// Replaces a signal's action for a scope.
class SignalScope
{
public:
    SignalScope(int sig, void (*handler)(int), int flags) : _sig(sig)
    {
        struct sigaction sa = {};
        sa.sa_handler = handler;
        sa.sa_flags = flags;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, &_old);
    }
    ~SignalScope() { sigaction(_sig, &_old, nullptr); }

private:
    int _sig;
    struct sigaction _old;
};

std::atomic<int> g_alarms{0};
void onAlarm(int)
{
    ++g_alarms;
}

// SIGALRM every millisecond to the calling thread while in scope.
class TimerScope
{
public:
    TimerScope() : _signal(SIGALRM, onAlarm, 0) // no SA_RESTART
    {
        g_alarms = 0;
        struct sigevent ev = {};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = SIGALRM;
        ev._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
        EXPECT_EQ(0, timer_create(CLOCK_MONOTONIC, &ev, &_timer));
        struct itimerspec it = {};
        it.it_interval.tv_nsec = 1000000;
        it.it_value.tv_nsec = 1000000;
        timer_settime(_timer, 0, &it, nullptr);
    }
    ~TimerScope() { timer_delete(_timer); }

private:
    SignalScope _signal;
    timer_t _timer;
};

mode_t modeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool isDir(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

TEST(VFileSystemImpl, FullReadAndWriteMoveEverythingOrReportZero)
{
    vtest::TempDir dir;
    VFileSystemImpl fs;
    const std::string path = dir.file("data");
    const std::string content(60, 'x');

    int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0u, fs.fullWrite(fd, content.data(), 0));
    EXPECT_EQ(60u, fs.fullWrite(fd, content.data(), 60));
    close(fd);

    char buf[100];
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(0u, fs.fullRead(fd, buf, 100)); // end of file before 100 bytes
    close(fd);
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(0u, fs.fullRead(fd, buf, 0));
    EXPECT_EQ(60u, fs.fullRead(fd, buf, 60));
    EXPECT_EQ(content, std::string(buf, 60));
    close(fd);

    EXPECT_EQ(0u, fs.fullRead(-1, buf, 10));
    EXPECT_EQ(EBADF, errno);
}

TEST(VFileSystemImpl, FullWriteToPipeWithoutReaderFails)
{
    SignalScope ignorePipe(SIGPIPE, SIG_IGN, 0);
    Pipe p;
    p.closeRead();
    VFileSystemImpl fs;
    const std::string data(100000, 'a');
    EXPECT_EQ(0u, fs.fullWrite(p.fd[1], data.data(), data.size()));
    EXPECT_EQ(EPIPE, errno);
}

TEST(VFileSystemImpl, PartialTransfersAreCompleted)
{
    Pipe p;
    VFileSystemImpl fs;
    const size_t size = 1 << 20; // many times the pipe's capacity
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>(i * 7);
    std::string in(size, '\0');
    size_t got = 0;
    std::thread reader([&] { got = fs.fullRead(p.fd[0], &in[0], size); });
    EXPECT_EQ(size, fs.fullWrite(p.fd[1], out.data(), size));
    reader.join();
    EXPECT_EQ(size, got);
    EXPECT_TRUE(in == out);
}

TEST(VFileSystemImpl, WritesMoreThanFourGiBInOneCall)
{
    const size_t size = (size_t(1) << 32) + 5;
    void* mem = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(MAP_FAILED, mem);
    Pipe p;
    fcntl(p.fd[1], F_SETPIPE_SZ, 1 << 20);
    std::atomic<size_t> counted{0};
    std::thread reader([&] {
        static char buf[1 << 20];
        ssize_t n;
        while ((n = read(p.fd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                counted += static_cast<size_t>(n);
    });
    VFileSystemImpl fs;
    EXPECT_EQ(size, fs.fullWrite(p.fd[1], static_cast<const char*>(mem), size));
    p.closeWrite();
    reader.join();
    EXPECT_EQ(size, counted.load());
    munmap(mem, size);
}

TEST(VFileSystemImpl, InterruptedReadIsResumed)
{
    Pipe p;
    VFileSystemImpl fs;
    char buf[10];
    size_t got = 0;
    {
        TimerScope timer;
        std::thread writer([&] {
            vtest::waitFor([] { return g_alarms.load() >= 5; });
            EXPECT_EQ(4, write(p.fd[1], "abcd", 4));
            vtest::waitFor([] { return g_alarms.load() >= 10; });
            EXPECT_EQ(6, write(p.fd[1], "efghij", 6));
        });
        got = fs.fullRead(p.fd[0], buf, sizeof buf);
        writer.join();
    }
    EXPECT_EQ(10u, got);
    EXPECT_EQ("abcdefghij", std::string(buf, 10));
}

TEST(VFileSystemImpl, HundredInterruptionsInARowFail)
{
    Pipe p;
    VFileSystemImpl fs;
    char buf[10];
    size_t got = 1;
    int err = 0;
    {
        TimerScope timer;
        got = fs.fullRead(p.fd[0], buf, sizeof buf); // nobody writes
        err = errno;
    }
    EXPECT_EQ(0u, got);
    EXPECT_EQ(EINTR, err);
    EXPECT_GE(g_alarms.load(), 100);
}

TEST(VFileSystemImpl, ReadFromFile)
{
    vtest::TempDir dir;
    VFileSystemImpl fs;
    size_t size = 99;
    vtest::writeFile(dir.file("empty"), "");
    EXPECT_EQ(nullptr, fs.readFromFile(dir.file("empty").c_str(), &size));
    EXPECT_EQ(0u, size);

    size = 99;
    EXPECT_EQ(nullptr, fs.readFromFile(dir.file("missing").c_str(), &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(nullptr, fs.readFromFile(nullptr, &size));
    EXPECT_EQ(nullptr, fs.readFromFile(dir.file("empty").c_str(), nullptr));

    vtest::writeFile(dir.file("three"), std::string("a\0c", 3));
    char* data = fs.readFromFile(dir.file("three").c_str(), &size);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(std::string("a\0c", 3), std::string(data, size));
    std::free(data);
}

TEST(VFileSystemImpl, ReadFromFileWithStdinClosed)
{
    vtest::TempDir dir;
    const std::string path = dir.file("three");
    vtest::writeFile(path, "abc");
    const pid_t child = vtest::forkChild([&] {
        close(0); // the file gets descriptor 0
        VFileSystemImpl fs;
        size_t size = 0;
        char* data = fs.readFromFile(path.c_str(), &size);
        const bool ok = data && size == 3 && std::string(data, 3) == "abc";
        std::free(data);
        return ok && fcntl(0, F_GETFD) == -1 ? 0 : 1; // and it was closed again
    });
    EXPECT_EQ(0, vtest::waitChild(child));
}

TEST(VFileSystemImpl, CreateDirAndCheckAccess)
{
    vtest::TempDir dir;
    VFileSystemImpl fs;
    const mode_t oldMask = umask(0);
    const bool created = fs.createDir(dir.file("d").c_str());
    umask(oldMask);
    EXPECT_TRUE(created);
    EXPECT_EQ(0774u, modeOf(dir.file("d")));
    EXPECT_FALSE(fs.createDir(dir.file("d").c_str()));
    EXPECT_FALSE(fs.createDir(nullptr));

    EXPECT_TRUE(fs.checkAccess(dir.file("d").c_str()));
    EXPECT_FALSE(fs.checkAccess(dir.file("none").c_str()));
    EXPECT_FALSE(fs.checkAccess(nullptr));
}

TEST(VFileSystemImpl, MakePathCreatesEveryLevel)
{
    vtest::TempDir dir;
    VFileSystemImpl fs;
    const QByteArray base = QByteArray::fromStdString(dir.path());
    EXPECT_EQ(base + "/a/b/c", fs.makePath(base, "/a/b/c"));
    EXPECT_TRUE(isDir(dir.file("a/b/c")));
    // Second call: found as a whole, returned as given.
    EXPECT_EQ(base + "/a//b/c", fs.makePath(base, "/a//b/c"));
    // A relative part without its leading slash still lands under base.
    EXPECT_EQ(base + "/x/y", fs.makePath(base, "x/y"));
    EXPECT_TRUE(isDir(dir.file("x/y")));
    EXPECT_EQ(base, fs.makePath(base, ""));

    EXPECT_EQ(QByteArray(), fs.makePath(base + "/missing", "/a"));
}

TEST(VFileSystemImpl, MakePathRefusesAFileInTheWay)
{
    vtest::TempDir dir;
    VFileSystemImpl fs;
    const QByteArray base = QByteArray::fromStdString(dir.path());
    vtest::writeFile(dir.file("f"), "x");
    EXPECT_EQ(QByteArray(), fs.makePath(base, "/f"));
    EXPECT_EQ(QByteArray(), fs.makePath(base, "/f/g"));
    ASSERT_EQ(0, mkdir(dir.file("d").c_str(), 0700));
    vtest::writeFile(dir.file("d/file"), "x");
    EXPECT_EQ(QByteArray(), fs.makePath(base, "/d/file/deeper"));
}

TEST(VFileSystemImpl, ConcurrentMakePathBothSucceed)
{
    vtest::TempDir dir;
    const QByteArray base = QByteArray::fromStdString(dir.path());
    auto build = [&] {
        VFileSystemImpl fs;
        for (int i = 0; i < 50; ++i) {
            const QByteArray rel = "/r" + QByteArray::number(i) + "/s/t/u/v";
            if (fs.makePath(base, rel) != base + rel)
                return 1;
        }
        return 0;
    };
    const pid_t a = vtest::forkChild(build);
    const pid_t b = vtest::forkChild(build);
    EXPECT_EQ(0, vtest::waitChild(a));
    EXPECT_EQ(0, vtest::waitChild(b));
}

TEST(VFileTimeStamp, SetAndGet)
{
    vtest::TempDir dir;
    VFileTimeStamp ts;
    const std::string path = dir.file("f");
    vtest::writeFile(path, "x");
    ASSERT_TRUE(ts.setFileTimeStamp(path.c_str(), 1000));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(1000, st.st_mtime);
    EXPECT_EQ(0, st.st_atime);
    EXPECT_EQ(1000, ts.getFileTimeStamp(path.c_str()));
    EXPECT_EQ(1000, ts.getFileTimeStamp(&st));

    EXPECT_EQ(-1, ts.getFileTimeStamp(dir.file("missing").c_str()));
    EXPECT_EQ(-1, ts.getFileTimeStamp(static_cast<const char*>(nullptr)));
    EXPECT_EQ(-1, ts.getFileTimeStamp(static_cast<struct stat*>(nullptr)));
    EXPECT_FALSE(ts.setFileTimeStamp(nullptr, 1));
    EXPECT_FALSE(ts.setFileTimeStamp(dir.file("missing").c_str(), 1));
}
