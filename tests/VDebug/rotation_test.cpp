#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include <QDir>

#include "VCore/semunix.h"
#include "VDebug/debug.h"
#include "VDebug/debug_sink_p.h"
#include "ipctest.h"
#include "sampletime.h"
#include "testutil.h"

namespace {

const long MB = 1048576;

// The log clock: a settable second, or (stepping) one that moves on a
// second every 2000 readings, so that a fast test still spans many seconds.
std::atomic<time_t> g_sec{0};
std::atomic<long> g_readings{0};
bool g_stepping = false;

void testClock(struct timespec* ts)
{
    const long n = g_readings++;
    ts->tv_sec = g_sec + (g_stepping ? n / 2000 : 0);
    ts->tv_nsec = 0;
}

struct TestClock
{
    explicit TestClock(time_t sec = vtest::sampleTime(), bool stepping = false)
    {
        g_sec = sec;
        g_readings = 0;
        g_stepping = stepping;
        VDebugTestAccess::setClock(&testClock);
    }
    ~TestClock() { VDebugTestAccess::setClock(nullptr); }
};

// A per-test semaphore directory and log directory, a stream whose base name
// is unique, and the removal of its rotation semaphore.
class RotationTest : public ::testing::Test
{
protected:
    VDebug::StreamId open(const std::string& fileName)
    {
        path = logs.file(fileName);
        id = VDebug::registerStream("app", path.c_str());
        VDebug::setDebugLevel(id, VDebug::VNOTICE);
        return id;
    }
    ~RotationTest() override { VDebug::unregisterStream(id); }

    std::string base(const char* prefix = "app")
    {
        const std::string b = vtest::uniqueName(prefix);
        sems.add(b + "_rotationSem");
        return b;
    }
    // Writes a line of exactly len bytes ("[app <stamp> NOTICE] " is 33).
    void line(size_t len, char fill = 'x') { VNOTICE(id) << std::string(len - 35, fill).c_str() << endl; }
    std::vector<std::string> copies() const
    {
        std::vector<std::string> out;
        for (const QString& f : QDir(logs.qpath()).entryList(QDir::Files, QDir::Name))
            if (logs.file(f.toStdString()) != path)
                out.push_back(f.toStdString());
        return out;
    }
    off_t size(const std::string& p) const
    {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? st.st_size : -1;
    }

    vtest::TempDir semDir{true};
    vtest::SemCleanup sems;
    vtest::TempDir logs{false, vtest::Space::Large};
    std::string path;
    VDebug::StreamId id;
};

} // namespace

TEST_F(RotationTest, RotatesOnlyWhenStrictlyOverTheLimit)
{
    TestClock clock;
    const std::string b = base();
    open(b + ".trace.log");
    VDebug::setRotationSize(id, 1);
    EXPECT_EQ(VDebugTestAccess::rotationSize(id), MB);
    for (int i = 0; i < 1024; ++i)
        line(1024);
    EXPECT_EQ(size(path), MB);
    EXPECT_TRUE(copies().empty());

    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    line(1024, 'y');
    ASSERT_EQ(copies(), std::vector<std::string>{b + "_051226_235001.trace.log"});
    const std::string copy = logs.file(copies()[0]);
    EXPECT_EQ(size(copy), MB + 1024);
    EXPECT_EQ(vtest::readFile(copy).substr(MB), "[app 05.12.2026 23:50:01 NOTICE] " + std::string(989, 'y') + " \n");
    struct stat st;
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(size(path), 0);
    VNOTICE(id) << "next" << endl;
    EXPECT_EQ(vtest::readFile(path), "[app 05.12.2026 23:50:01 NOTICE] next \n");
}

TEST_F(RotationTest, SizesAreMegabytesAndZeroOrLessIsOff)
{
    open(base() + ".log");
    VDebug::setRotationSize(id, 4096);
    EXPECT_EQ(VDebugTestAccess::rotationSize(id), 4294967296L);
    VDebug::setRotationSize(id, 0);
    EXPECT_EQ(VDebugTestAccess::rotationSize(id), 0);
    line(MB + 100);
    line(100);
    VDebug::setRotationSize(id, -1);
    EXPECT_EQ(VDebugTestAccess::rotationSize(id), 0);
    line(100);
    EXPECT_TRUE(copies().empty());
    EXPECT_EQ(size(path), MB + 300);

    vtest::CaptureFd err(2);
    VDebug::setRotationSize(VDebug::STDOUT, 1);
    VDebug::setRotationSize(VDebug::STDERR, 1);
    EXPECT_EQ(VDebugTestAccess::rotationSize(VDebug::STDERR), 0);
    EXPECT_EQ(err.text(), "VDebug::setRotationSize: the standard streams do not rotate\n"
                          "VDebug::setRotationSize: the standard streams do not rotate\n");
}

namespace {

// A line's filler: its length and letter follow from its numbers.
std::string filler(int p, int t, int i)
{
    return std::string(20 + (p * 7 + t * 13 + i * 31) % 300, char('a' + (i + t) % 26));
}

} // namespace

// Writer processes of numbered lines on one rotating log, and the check that
// each line landed exactly once, whole, in the log or one of its copies.
class RotationStressTest : public RotationTest
{
protected:
    // Starts the writers; each waits up to rotationWaitMs for the unit.
    void startWriters(const std::string& b, int rotationWaitMs = 0, int nProcesses = 4, int nThreads = 4,
                      int nLines = 20000)
    {
        processes = nProcesses;
        threads = nThreads;
        lines = nLines;
        path = logs.file(b + ".log");
        for (int p = 0; p < processes; ++p) {
            children.push_back(vtest::forkChild([=] {
                if (asUser && !asUser(p))
                    return 9;
                // Each process its own clock, apart from the others' by far, so
                // copy names collide only within a process.
                TestClock clock(vtest::sampleTime() + p * 100000, true);
                // Only the wait for the unit is short: a line that waits no
                // longer for its lock than a loaded machine may hold a
                // rotation's last step may be cut, as it is meant to be.
                VDebugTestAccess::setRotationWait(rotationWaitMs, 10000);
                const VDebug::StreamId s = VDebug::registerStream("many", path.c_str());
                VDebug::setDebugLevel(s, VDebug::VNOTICE);
                VDebug::setRotationSize(s, 1);
                if (afterArming && !afterArming(p))
                    return 8;
                std::vector<std::thread> ts;
                for (int t = 0; t < threads; ++t)
                    ts.emplace_back([&, t] {
                        for (int i = 0; i < lines; ++i)
                            VNOTICE(s) << "p" << p << "t" << t << "n" << i << filler(p, t, i).c_str() << endl;
                    });
                for (auto& t : ts)
                    t.join();
                return 0;
            }));
        }
    }

    void checkAllLines(const std::string& b, size_t minCopies)
    {
        for (pid_t c : children)
            EXPECT_EQ(vtest::waitChild(c, std::chrono::minutes(4)), 0);
        std::map<std::string, int> seen;
        int torn = 0;
        std::vector<std::string> files = copies();
        for (const std::string& f : files)
            EXPECT_TRUE(std::regex_match(f, std::regex(b + R"(_\d{6}_\d{6}\.log)"))) << f;
        EXPECT_GE(files.size(), minCopies);
        files.push_back(b + ".log");
        // "[many dd.MM.yyyy hh:mm:ss NOTICE] p P t T n N <filler> "
        const std::string head = "[many ", level = " NOTICE] ";
        for (const std::string& f : files) {
            std::istringstream in(vtest::readFile(logs.file(f)));
            std::string l;
            while (std::getline(in, l)) {
                int p = -1, t = -1, i = -1;
                const bool framed = l.size() > 34 && l.compare(0, 6, head) == 0 && l.compare(25, 9, level) == 0 &&
                                    std::sscanf(l.c_str() + 34, "p %d t %d n %d ", &p, &t, &i) == 3;
                const std::string key = std::to_string(p) + "/" + std::to_string(t) + "/" + std::to_string(i);
                if (!framed || l.compare(34, std::string::npos, "p " + std::to_string(p) + " t " + std::to_string(t) +
                                                                    " n " + std::to_string(i) + " " + filler(p, t, i) + " ") != 0) {
                    ++torn;
                    continue;
                }
                ++seen[key];
            }
        }
        EXPECT_EQ(torn, 0);
        EXPECT_EQ(seen.size(), size_t(processes * threads * lines));
        int twice = 0;
        for (const auto& kv : seen)
            twice += kv.second != 1;
        EXPECT_EQ(twice, 0);
    }

    int processes = 4, threads = 4, lines = 20000;
    std::vector<pid_t> children;
    // Run first in writer process p, and once its stream is armed; false
    // ends it.
    std::function<bool(int)> asUser;
    std::function<bool(int)> afterArming;
};

// Every line of 4 processes x 4 threads lands exactly once, whole, in the
// log or one of its copies.
TEST_F(RotationStressTest, NoLineIsLostOrTornAcrossProcessesAndThreads)
{
    const std::string b = base("many");
    startWriters(b);
    checkAllLines(b, 3);
}

// Two users of one group share a log file and its rotation: every process's
// files and the semaphore are made for the group (umask 007).
TEST_F(RotationStressTest, UsersOfOneGroupShareRotation)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root to switch users";
    // The other user may not reach the build tree: the logs (small here) in TMPDIR.
    logs = vtest::TempDir();
    ASSERT_EQ(chmod(semDir.path().c_str(), 0770), 0);
    ASSERT_EQ(chmod(logs.path().c_str(), 0770), 0);
    asUser = [](int p) {
        umask(007);
        // The second writer: another user whose group is the first's.
        return p == 0 || (setgroups(0, nullptr) == 0 && setresgid(getgid(), getgid(), getgid()) == 0 &&
                          setresuid(vtest::kAttackerId, vtest::kAttackerId, vtest::kAttackerId) == 0);
    };
    const std::string b = base("many");
    startWriters(b, 0, 2, 2, 8000);
    checkAllLines(b, 1);
}

// Writers that give up waiting for the unit write without it; a rotation
// must still neither cut nor tear their lines: when the waits time out all
// the time, and when a holder stalls and then goes on.
TEST_F(RotationStressTest, NoLineIsLostOrTornWhenWaitsForTheUnitTimeOut)
{
    const std::string b = base("many");
    startWriters(b, 1, 3, 2, 12000);
    checkAllLines(b, 3);
}

TEST_F(RotationStressTest, NoLineIsLostOrTornAfterAHolderStalls)
{
    const std::string b = base("many");
    vtest::Pipe held, go;
    const std::string semName = b + "_rotationSem";
    const pid_t holder = vtest::forkChild([&] {
        VSemaphore sem(1, semName.c_str());
        if (!sem.acquire(1))
            return 1;
        held.send();
        go.receive(60000);
        return sem.release(1) ? 0 : 2;
    });
    ASSERT_EQ(held.receive(), '+');
    startWriters(b, 50, 3, 2, 12000);
    // The writers have given up on the unit and write past the limit.
    EXPECT_TRUE(vtest::waitFor([&] { return size(path) > 2 * MB; }, std::chrono::seconds(60)));
    go.send();
    EXPECT_EQ(vtest::waitChild(holder), 0);
    checkAllLines(b, 2);
}

// A rotator stopped after its copy for longer than lines wait (for the unit,
// then for the lock) cuts none of the lines written meanwhile without them.
TEST_F(RotationStressTest, NoLineIsLostWhenARotatorStallsBeforeNamingItsCopy)
{
    const std::string b = base("many");
    afterArming = [](int) {
        VDebugTestAccess::setRotationWait(100, 100);
        VDebugTestAccess::stallNaming(1500);
        return true;
    };
    startWriters(b, 0, 3, 2, 12000);
    checkAllLines(b, 1);
}

// A writer whose rotation semaphore is refused (the set was handed to
// another user after the others had opened it) does not rotate, yet the
// others' rotations cut none of its lines; its message names the key file.
TEST_F(RotationStressTest, WriterWithARefusedSemaphoreLosesNoLine)
{
    if (geteuid() == vtest::kAttackerId)
        GTEST_SKIP() << "the set's other owner is this user";
    const std::string b = base("many");
    const std::string semName = b + "_rotationSem";
    const int refused = 2;
    vtest::Pipe armed, handedOver, go;
    const std::string errFile = semDir.file("refused.err");
    asUser = [&](int p) {
        if (p != refused)
            return true;
        // Its standard error goes to a file the test reads.
        const int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        return handedOver.receive(60000) == '+' && fd >= 0 && ::dup2(fd, 2) == 2 && ::close(fd) == 0;
    };
    afterArming = [&](int) {
        armed.send();
        return go.receive(60000) == '+';
    };
    startWriters(b, 0, 3, 2, 15000);
    EXPECT_EQ(armed.receive(), '+');
    EXPECT_EQ(armed.receive(), '+');
    struct semid_ds ds;
    const int semId = vtest::semIdOf(semName);
    EXPECT_EQ(semctl(semId, 0, IPC_STAT, &ds), 0);
    ds.sem_perm.uid = ds.sem_perm.gid = vtest::kAttackerId;
    EXPECT_EQ(semctl(semId, 0, IPC_SET, &ds), 0);
    handedOver.send();
    EXPECT_EQ(armed.receive(), '+');
    for (int p = 0; p < 3; ++p)
        go.send();
    checkAllLines(b, 3);
    EXPECT_NE(vtest::readFile(errFile).find("VDebug::setRotationSize: rotation semaphore for " + path + " (key file " +
                                            semDir.file("vsemfile_" + semName) + ") failed: semaphore owned by uid"),
              std::string::npos)
        << vtest::readFile(errFile);
}

TEST_F(RotationTest, SameSecondCopyWaitsForTheNextSecond)
{
    TestClock clock;
    const std::string b = base();
    open(b + ".log");
    VDebug::setRotationSize(id, 1);
    vtest::writeFile(logs.file(b + "_051226_235001.log"), "older copy");
    const int before = VDebugTestAccess::rotationAttempts();
    for (int i = 0; i < 1100; ++i)
        line(1000);
    // One attempt, then nothing until the clock moves on.
    EXPECT_EQ(VDebugTestAccess::rotationAttempts(), before + 1);
    EXPECT_EQ(size(path), 1100 * 1000);
    EXPECT_EQ(vtest::readFile(logs.file(b + "_051226_235001.log")), "older copy");

    g_sec = g_sec + 1;
    line(1000);
    EXPECT_EQ(size(logs.file(b + "_051226_235002.log")), 1101 * 1000);
    EXPECT_EQ(size(path), 0);
}

TEST_F(RotationTest, WritersWaitWhileAnotherProcessHoldsTheUnit)
{
    const std::string b = base();
    open(b + ".log");
    VDebug::setRotationSize(id, 1);
    const std::string semName = b + "_rotationSem";
    vtest::Pipe held;
    const pid_t holder = vtest::forkChild([&] {
        VSemaphore s(1, semName.c_str());
        if (!s.acquire(1))
            return 1;
        held.send();
        for (;;)
            pause();
    });
    ASSERT_EQ(held.receive(), '+');
    std::atomic<bool> written{false};
    std::thread writer([&] {
        line(MB + 10);
        written = true;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return vtest::semWaiters(semName) == 1; }));
    EXPECT_FALSE(written);
    // Killed, its unit comes back and the writer goes on and rotates.
    kill(holder, SIGKILL);
    vtest::waitChild(holder);
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_EQ(size(path), 0);
}

TEST_F(RotationTest, UnitTakenForGoodDelaysLoggingOnlyOnce)
{
    const std::string b = base();
    open(b + ".log");
    VDebug::setRotationSize(id, 1);
    const std::string semName = b + "_rotationSem";
    // A set stuck at 0, as after a creator that died before setting it.
    VSemaphore sem(1, semName.c_str());
    ASSERT_TRUE(sem.tryAcquire(1));
    VDebugTestAccess::setRotationWait(100);
    std::string text;
    {
        vtest::CaptureFd err(2);
        line(MB + 10);
        for (int i = 0; i < 100; ++i)
            line(100);
        text = err.text();
    }
    VDebugTestAccess::setRotationWait(0);
    EXPECT_EQ(text, "VDebug: rotation semaphore of " + path +
                        " taken for more than 100 ms; lines are written without it and not rotated while it stays "
                        "taken\n");
    EXPECT_EQ(size(path), MB + 10 + 100 * 100);
    EXPECT_TRUE(copies().empty());

    // Free again: the next line takes it and rotates.
    ASSERT_TRUE(sem.release(1));
    line(100);
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_EQ(size(path), 0);
}

namespace {

// A lock on the whole file through a description of the test's own, as
// another program would hold it.
struct OutsideLock
{
    OutsideLock(const std::string& path, short type) : fd(::open(path.c_str(), O_RDWR | O_CLOEXEC))
    {
        struct flock fl = {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        locked = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
    }
    ~OutsideLock() { ::close(fd); }
    int fd;
    bool locked;
};

} // namespace

// An outside exclusive lock on the log while the rotation unit is taken
// elsewhere: a line waits for the lock at most the rotation wait, once, and
// then goes out without it.
TEST_F(RotationTest, OutsideExclusiveLockDoesNotStopLogging)
{
    const std::string b = base();
    open(b + ".log");
    VDebug::setRotationSize(id, 1);
    VSemaphore sem(1, (b + "_rotationSem").c_str());
    ASSERT_TRUE(sem.tryAcquire(1));
    std::unique_ptr<OutsideLock> outside(new OutsideLock(path, F_WRLCK));
    ASSERT_TRUE(outside->locked);
    VDebugTestAccess::setRotationWait(100);
    std::atomic<int> written{0};
    vtest::CaptureFd err(2);
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            line(100);
            ++written;
        }
    });
    // Lines that each waited 100 ms would take 20 s.
    const bool done = vtest::waitFor([&] { return written == 200; }, std::chrono::seconds(8));
    outside.reset(); // lets a writer blocked for good go on
    writer.join();
    VDebugTestAccess::setRotationWait(0);
    EXPECT_TRUE(done);
    EXPECT_EQ(size(path), 200 * 100);
}

// An outside shared lock keeps a rotation from locking: it is tried once,
// said once, and not again for six times the wait, while lines go on.
TEST_F(RotationTest, OutsideSharedLockStopsRotationOnceNotLogging)
{
    TestClock clock;
    const std::string b = base();
    open(b + ".log");
    VDebug::setRotationSize(id, 1);
    std::unique_ptr<OutsideLock> outside(new OutsideLock(path, F_RDLCK));
    ASSERT_TRUE(outside->locked);
    VDebugTestAccess::setRotationWait(1000);
    const int before = VDebugTestAccess::rotationAttempts();
    std::string text;
    {
        vtest::CaptureFd err(2);
        line(MB + 10);
        // Four seconds on, within the back-off.
        for (int i = 0; i < 20; ++i) {
            if (i % 5 == 0)
                g_sec = g_sec + 1;
            line(100);
        }
        text = err.text();
    }
    VDebugTestAccess::setRotationWait(0);
    EXPECT_EQ(VDebugTestAccess::rotationAttempts(), before + 1);
    EXPECT_EQ(text, "VDebug: rotation of " + path + " failed: file locked by another process for more than 1000 ms: " +
                        strerror(EAGAIN) + "\n");
    EXPECT_EQ(size(path), MB + 10 + 20 * 100);
    EXPECT_EQ(QDir(logs.qpath()).entryList(QDir::Files | QDir::Hidden).size(), 1);

    // Unlocked, the attempt after the back-off rotates.
    outside.reset();
    g_sec = g_sec + 2;
    line(100);
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_EQ(size(path), 0);
}

// Where neither rename-without-replace nor hard links work the copy is
// named by a plain rename, at the first attempt; a dead rotator's temporary
// copy goes, a live one's (locked) stays.
TEST_F(RotationTest, RotatesWithoutLinksOrNoReplaceRename)
{
    TestClock clock;
    const std::string b = base();
    open(b + ".log");
    VDebug::setRotationSize(id, 1);
    const std::string dead = logs.file("." + b + ".log.rotating.0123456789ab");
    const std::string live = logs.file("." + b + ".log.rotating.ba9876543210");
    vtest::writeFile(dead, "dead");
    vtest::writeFile(live, "live");
    const OutsideLock writing(live, F_WRLCK);
    ASSERT_TRUE(writing.locked);
    const int before = VDebugTestAccess::rotationAttempts();
    VDebugTestAccess::refuseLinks(true);
    line(MB + 10);
    VDebugTestAccess::refuseLinks(false);
    EXPECT_EQ(VDebugTestAccess::rotationAttempts(), before + 1);
    EXPECT_EQ(copies(), std::vector<std::string>{b + "_051226_235001.log"});
    EXPECT_EQ(size(logs.file(b + "_051226_235001.log")), MB + 10);
    EXPECT_EQ(size(path), 0);
    EXPECT_EQ(size(dead), -1);
    EXPECT_EQ(QDir(logs.qpath()).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

// Another user's files where a copy might be written, in a sticky
// world-writable folder, do not stop an unprivileged rotator.
TEST_F(RotationTest, AnotherUsersFilesBesideTheLogDoNotStopRotation)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root to switch users";
    ASSERT_EQ(chmod(logs.path().c_str(), 01777), 0);
    ASSERT_EQ(chmod(semDir.path().c_str(), 01777), 0);
    const std::string b = base();
    path = logs.file(b + ".log");
    const std::string planted[] = {logs.file("." + b + ".log.rotating"),
                                   logs.file("." + b + ".log.rotating.0123456789ab")};
    ASSERT_EQ(vtest::waitChild(vtest::forkAttacker([&] {
                  for (const std::string& p : planted)
                      vtest::writeFile(p, "mine");
                  return 0;
              })),
              0);
    EXPECT_EQ(vtest::waitChild(vtest::forkAs(vtest::kAttackerId - 1, vtest::kAttackerId - 1, [&] {
                  TestClock clock;
                  open(b + ".log");
                  VDebug::setRotationSize(id, 1);
                  line(MB + 10);
                  return 0;
              })),
              0);
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_EQ(size(path), 0);
    for (const std::string& p : planted)
        EXPECT_EQ(size(p), 4);
}

TEST_F(RotationTest, ChildForkedWhileAThreadWritesCanLog)
{
    open(base() + ".log");
    VDebug::setRotationSize(id, 1);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop)
            line(100);
    });
    int ok = 0;
    for (int i = 0; i < 20; ++i) {
        const pid_t child = vtest::forkChild([&] {
            VNOTICE(id) << "from the child" << endl;
            return 0;
        });
        ok += vtest::waitChild(child, std::chrono::seconds(10)) == 0;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(ok, 20);
}

TEST_F(RotationTest, BadSetUpsSayWhyAndKeepLogging)
{
    // A base name the semaphore refuses.
    open("my log.log");
    {
        vtest::CaptureFd err(2);
        VDebug::setRotationSize(id, 1);
        EXPECT_EQ(err.text(), "VSemaphore: invalid semaphore name my log_rotationSem\n");
    }
    line(MB + 10);
    line(100);
    EXPECT_TRUE(copies().empty());
    EXPECT_EQ(size(path), MB + 110);
    VDebug::unregisterStream(id);

    // No directory for the semaphore's key file.
    setenv("VORN_TMPDIR", semDir.file("missing").c_str(), 1);
    const std::string b = base();
    open(b + ".log");
    {
        vtest::CaptureFd err(2);
        VDebug::setRotationSize(id, 1);
        const std::string text = err.text();
        EXPECT_NE(text.find("VSemaphoreImpl::constructor: failed to open file"), std::string::npos);
        EXPECT_NE(text.find("VDebug::setRotationSize: rotation semaphore for " + path + " (key file " +
                            semDir.file("missing/vsemfile_" + b + "_rotationSem") + ") failed: " +
                            strerror(ENOENT) + "; rotation stays off\n"),
                  std::string::npos)
            << text;
    }
    setenv("VORN_TMPDIR", semDir.path().c_str(), 1);
    line(MB + 10);
    EXPECT_EQ(copies(), std::vector<std::string>{"my log.log"});
    VDebug::unregisterStream(id);

    // A FIFO is no regular file.
    const std::string fifo = logs.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    id = VDebug::registerStream("fifo", fifo.c_str());
    vtest::CaptureFd err(2);
    VDebug::setRotationSize(id, 1);
    EXPECT_EQ(err.text(), "VDebug::setRotationSize: " + fifo + " is not a regular file; rotation stays off\n");
    EXPECT_EQ(VDebugTestAccess::rotationSize(id), 0);
    ::close(reader);

    // A stream that fell back to standard output.
    VDebug::unregisterStream(id);
    vtest::CaptureFd err2(2);
    id = VDebug::registerStream("lost", logs.file("no/such/dir.log").c_str());
    VDebug::setRotationSize(id, 1);
    EXPECT_NE(err2.text().find("VDebug::setRotationSize: stream lost has no log file of its own; rotation stays off\n"),
              std::string::npos);
}

TEST_F(RotationTest, FailedCopyOrTruncationIsReportedOnceAndNotRetriedPerLine)
{
    TestClock clock;
    const std::string b = base();
    open(b + ".log");
    VDebug::setRotationSize(id, 1);
    // An append-only file cannot be truncated, even by root.
    if (std::system(("chattr +a '" + path + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr not available here";
    const int before = VDebugTestAccess::rotationAttempts();
    std::string text;
    {
        vtest::CaptureFd err(2);
        for (int i = 0; i < 1100; ++i)
            line(1000);
        text = err.text();
    }
    EXPECT_EQ(std::system(("chattr -a '" + path + "'").c_str()), 0);
    EXPECT_EQ(text, "VDebug: rotation of " + path + " failed: cannot truncate: " + strerror(EPERM) + "\n");
    EXPECT_EQ(VDebugTestAccess::rotationAttempts(), before + 1);
    EXPECT_TRUE(copies().empty());
    EXPECT_EQ(size(path), 1100 * 1000);

    // An unwritable directory: the copy fails.
    g_sec = g_sec + 60;
    ASSERT_EQ(std::system(("chattr +i '" + logs.path() + "'").c_str()), 0);
    {
        vtest::CaptureFd err(2);
        for (int i = 0; i < 10; ++i)
            line(1000);
        text = err.text();
    }
    EXPECT_EQ(std::system(("chattr -i '" + logs.path() + "'").c_str()), 0);
    // Reported once per stream: the first failure already was.
    EXPECT_EQ(text, "");
    EXPECT_EQ(VDebugTestAccess::rotationAttempts(), before + 2);
    EXPECT_TRUE(copies().empty());

    g_sec = g_sec + 60;
    line(1000);
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_EQ(size(path), 0);
}

// A copy whose closing fails (where write errors only show then, as on NFS)
// is not known whole: the log is not emptied.
TEST_F(RotationTest, CopyThatFailsToCloseLeavesTheLogWhole)
{
    const std::string b = base();
    path = logs.file(b + ".log");
    EXPECT_EQ(vtest::waitChild(vtest::forkChild([&] {
                  TestClock clock;
                  open(b + ".log");
                  VDebug::setRotationSize(id, 1);
                  line(MB);
                  // From here on every close(2) fails with EIO.
                  struct sock_filter filter[] = {
                      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 1),
                      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
                      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                  };
                  struct sock_fprog prog = {sizeof filter / sizeof filter[0], filter};
                  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
                      return 2;
                  line(100);
                  return 0;
              })),
              0);
    EXPECT_EQ(size(path), MB + 100);
    EXPECT_TRUE(copies().empty());
}

TEST_F(RotationTest, RelativePathStillRotatesAfterChdir)
{
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(logs.path().c_str()), 0);
    const std::string b = base();
    path = logs.file(b + ".log");
    id = VDebug::registerStream("app", (b + ".log").c_str());
    VDebug::setDebugLevel(id, VDebug::VNOTICE);
    VDebug::setRotationSize(id, 1);
    ASSERT_EQ(chdir(semDir.path().c_str()), 0);
    line(MB + 10);
    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_EQ(size(path), 0);
}

// A file that cannot grow (here by the file-size limit, as on a full disk):
// lines are dropped whole and counted, a line cut short is taken back when
// the writer holds the rotation unit and is otherwise ended by a line feed,
// and standard error says when dropping starts and when writing works again.
TEST_F(RotationTest, FullDiskDropsWholeLinesAndSaysSo)
{
    const std::string b = base();
    const std::string plain = logs.file("plain.log");
    path = logs.file(b + ".log");
    const pid_t kid = vtest::forkChild([&] {
        TestClock clock;
        const VDebug::StreamId p = VDebug::registerStream("app", plain.c_str());
        VDebug::setDebugLevel(p, VDebug::VNOTICE);
        open(b + ".log");
        VDebug::setRotationSize(id, 1);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim;
        getrlimit(RLIMIT_FSIZE, &lim);
        const rlim_t hard = lim.rlim_max;
        lim.rlim_cur = 10000; // 66 lines of 150 bytes, then 100 bytes of the next
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
            return 2;
        std::string err;
        {
            vtest::CaptureFd capture(2);
            for (int i = 0; i < 100; ++i) {
                line(150, char('a' + i % 26));
                VNOTICE(p) << std::string(115, char('a' + i % 26)).c_str() << endl;
            }
            lim.rlim_cur = hard;
            setrlimit(RLIMIT_FSIZE, &lim);
            line(100, 'Z');
            VNOTICE(p) << "after" << endl;
            err = capture.text();
        }
        const std::string dropped = " are being dropped: " + std::string(strerror(EFBIG)) + "\n";
        const std::string again = " works again; 34 lines dropped\n";
        if (err != "VDebug: lines to " + path + dropped + "VDebug: lines to " + plain + dropped +
                       "VDebug: writing to " + path + again + "VDebug: writing to " + plain + again) {
            std::fprintf(stdout, "stderr: %s\n", err.c_str());
            return 3;
        }
        return 0;
    });
    ASSERT_EQ(vtest::waitChild(kid), 0);

    // The armed stream took its fragment back: whole lines only.
    const std::string armed = vtest::readFile(path);
    EXPECT_EQ(armed.size(), 66u * 150 + 100);
    EXPECT_EQ(armed.substr(66 * 150), "[app 05.12.2026 23:50:01 NOTICE] " + std::string(65, 'Z') + " \n");
    // The plain stream ends its fragment before the next line.
    const std::string text = vtest::readFile(plain);
    const std::string fragment = text.substr(66 * 150, 100);
    EXPECT_EQ(fragment, ("[app 05.12.2026 23:50:01 NOTICE] " + std::string(115, 'o')).substr(0, 100));
    EXPECT_EQ(text.substr(66 * 150 + 100), "\n[app 05.12.2026 23:50:01 NOTICE] after \n");
}

// Another user plants a FIFO as the rotation semaphore's id file: arming
// rotation may wait on it, but registrations of other streams go on.
TEST_F(RotationTest, PlantedIdFifoBlocksNoRegistration)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root to run the attacker";
    const std::string b = base();
    open(b + ".log");
    const std::string fifo = semDir.file("vsemfile_" + b + "_rotationSem_semid");
    ASSERT_EQ(chmod(semDir.path().c_str(), 0777), 0);
    ASSERT_EQ(vtest::waitChild(vtest::forkAttacker([&] { return mkfifo(fifo.c_str(), 0666) == 0 ? 0 : 1; })), 0);

    std::atomic<bool> armed{false};
    std::thread arming([&] {
        VDebug::setRotationSize(id, 1);
        armed = true;
    });
    std::atomic<bool> registered{false};
    std::thread registering([&] {
        VDebug::unregisterStream(VDebug::registerStream("other", logs.file("other.log").c_str()));
        registered = true;
    });
    EXPECT_TRUE(vtest::waitFor([&] { return registered.load(); }, std::chrono::seconds(5)));
    // Lets an arming that waits on the FIFO go on.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    arming.join();
    registering.join();
    if (reader >= 0)
        ::close(reader);
    ::unlink(fifo.c_str());
    EXPECT_TRUE(armed);
}

// A rotator killed at random moments of its copies: a copy under a copy's
// name is always whole, and a line is in two files only when the kill fell
// after the copy got its name and before the log was emptied (the copy is
// then the head of the file after it). The next rotation clears what a
// killed one left.
TEST_F(RotationTest, KilledRotatorLeavesNoTornCopy)
{
    const std::string b = base();
    path = logs.file(b + ".log");
    vtest::writeFile(path, "");
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, logs.path().c_str(), IN_CREATE), 0);
    // True once a file other than the log appears (a copy is being written).
    auto copyStarted = [&](int timeoutMs) {
        alignas(struct inotify_event) char buf[4096];
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            struct pollfd p = {watch, POLLIN, 0};
            if (::poll(&p, 1, 10) != 1)
                continue;
            const ssize_t n = ::read(watch, buf, sizeof buf);
            for (ssize_t off = 0; off < n;) {
                const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
                if (ev->len > 0 && b + ".log" != ev->name)
                    return true;
                off += ssize_t(sizeof(struct inotify_event) + ev->len);
            }
        }
        return false;
    };
    auto drain = [&] {
        char buf[4096];
        while (::read(watch, buf, sizeof buf) > 0) {
        }
    };
    // 64-byte lines ("[app <stamp> NOTICE] " is 33): whole lines fill whole
    // pages, so a kill never cuts a line's own write.
    const int kTrials = 12;
    const int kPerCopy = int(MB / 64) + 1;
    std::mt19937 rnd(27);
    for (int trial = 0; trial <= kTrials; ++trial) {
        const bool last = trial == kTrials;
        const pid_t child = vtest::forkChild([&] {
            TestClock clock(vtest::sampleTime() + trial * 100000, true);
            const VDebug::StreamId s = VDebug::registerStream("app", path.c_str());
            VDebug::setDebugLevel(s, VDebug::VNOTICE);
            VDebug::setRotationSize(s, 1);
            char item[32];
            for (int i = 0; i < (last ? kPerCopy + 100 : 4 * kPerCopy); ++i) {
                std::snprintf(item, sizeof item, "%03d-%025d", trial, i);
                VNOTICE(s) << item << endl;
            }
            return 0;
        });
        if (!last) {
            EXPECT_TRUE(copyStarted(20000));
            // A moment within about the time a 1 MB copy takes.
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(rnd() % 1500);
            while (std::chrono::steady_clock::now() < until) {
            }
            ::kill(child, SIGKILL);
            vtest::waitChild(child);
        } else {
            EXPECT_EQ(vtest::waitChild(child), 0);
        }
        drain();
    }
    ::close(watch);

    // Only the log and copies: nothing left under another name.
    std::vector<std::pair<std::string, std::string>> files; // first line's key, content
    std::string logText;
    for (const QString& f : QDir(logs.qpath()).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const std::string name = f.toStdString();
        if (name == b + ".log") {
            logText = vtest::readFile(path);
            continue;
        }
        EXPECT_TRUE(std::regex_match(name, std::regex(b + R"(_\d{6}_\d{6}\.log)"))) << name;
        const std::string text = vtest::readFile(logs.file(name));
        files.emplace_back(text.size() >= 62 ? text.substr(33, 29) : std::string(), text);
    }
    std::sort(files.begin(), files.end());
    files.emplace_back("", logText);
    std::map<std::string, int> seen;
    int torn = 0;
    for (size_t k = 0; k < files.size(); ++k) {
        const std::string& text = files[k].second;
        // A whole copy whose log was not emptied heads the next file, where
        // the next process's lines follow it (a torn one is followed by the
        // rest of its own process's lines).
        const std::string& next = k + 1 < files.size() ? files[k + 1].second : std::string();
        if (!text.empty() && text.size() % 64 == 0 && next.size() > text.size() &&
            next.compare(0, text.size(), text) == 0 &&
            std::atoi(next.c_str() + text.size() + 33) > std::atoi(text.c_str() + text.size() - 31))
            continue;
        // An empty copy is torn too; the log may be empty.
        torn += (k + 1 < files.size() && text.empty()) || text.size() % 64 != 0;
        for (size_t at = 0; at + 64 <= text.size(); at += 64) {
            int t = -1, i = -1;
            char item[32] = "";
            if (std::sscanf(text.c_str() + at + 33, "%d-%d", &t, &i) == 2)
                std::snprintf(item, sizeof item, "%03d-%025d", t, i);
            if (text.compare(at, 5, "[app ") != 0 || text.compare(at + 24, 9, " NOTICE] ") != 0 ||
                text.compare(at + 33, 31, std::string(item) + " \n") != 0) {
                ++torn;
                continue;
            }
            ++seen[item];
        }
    }
    EXPECT_EQ(torn, 0);
    // Per trial the lines 0..n, each once.
    std::map<int, int> count, last;
    int twice = 0;
    for (const auto& kv : seen) {
        const int t = std::atoi(kv.first.c_str()), i = std::atoi(kv.first.c_str() + 4);
        ++count[t];
        last[t] = std::max(last[t], i);
        twice += kv.second != 1;
    }
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(count.size(), size_t(kTrials + 1));
    for (const auto& kv : count)
        EXPECT_EQ(kv.second, last[kv.first] + 1) << "trial " << kv.first;
}
