#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "VCore/semunix.h"
#include "VDebug/debug.h"
#include "ipctest.h"
#include "suite_run.h"
#include "testutil.h"

namespace {

// Raises VDebug::STDERR to VDBG1 for a scope.
struct VerboseStderr
{
    VDebug::debug_level_t old = VDebug::getDebugLevel(VDebug::STDERR);
    VerboseStderr() { VDebug::setDebugLevel(VDebug::STDERR, VDebug::VDBG1); }
    ~VerboseStderr() { VDebug::setDebugLevel(VDebug::STDERR, old); }
};

class VSemaphoreTest : public ::testing::Test
{
protected:
    std::string name(const char* prefix = "sem") { return sems.add(vtest::uniqueName(prefix)); }

    vtest::TempDir dir{true};
    vtest::SemCleanup sems;
};

} // namespace

TEST_F(VSemaphoreTest, SecondProcessOpensTheSetAndLeavesTheValue)
{
    const std::string n = name();
    VSemaphore sem(3, n.c_str());
    ASSERT_TRUE(sem.isOk());
    const int id = vtest::semIdOf(n);
    ASSERT_GE(id, 0);
    EXPECT_EQ(vtest::readFile(dir.file("vsemfile_" + n + "_semid")), std::to_string(id) + "\n");
    EXPECT_TRUE(vtest::readFile(dir.file("vsemfile_" + n)).empty());
    ASSERT_TRUE(sem.acquire(1));

    const pid_t child = vtest::forkChild([&] {
        VSemaphore other(3, n.c_str());
        if (!other.isOk())
            return 1;
        if (other.getCurrentCount() != 2)
            return 2;
        return vtest::semIdOf(n) == id ? 0 : 3;
    });
    EXPECT_EQ(vtest::waitChild(child), 0);
    EXPECT_EQ(sem.getCurrentCount(), 2);
    EXPECT_EQ(sem.getMaxCount(), 3u);
    EXPECT_TRUE(sem.release(1));
    EXPECT_EQ(sem.getCurrentCount(), 3);
}

TEST_F(VSemaphoreTest, UnitsOfAnEndedProcessComeBack)
{
    const std::string n = name();
    VSemaphore sem(3, n.c_str());
    ASSERT_TRUE(sem.isOk());

    pid_t child = vtest::forkChild([&] {
        VSemaphore s(3, n.c_str());
        return s.acquire(2) ? 0 : 1;
    });
    EXPECT_EQ(vtest::waitChild(child), 0);
    EXPECT_EQ(sem.getCurrentCount(), 3);

    // A release is undone at exit as well.
    child = vtest::forkChild([&] {
        VSemaphore s(3, n.c_str());
        return s.release(1) && s.getCurrentCount() == 4 ? 0 : 1;
    });
    EXPECT_EQ(vtest::waitChild(child), 0);
    EXPECT_EQ(sem.getCurrentCount(), 3);

    // Killed while holding.
    vtest::Pipe held;
    child = vtest::forkChild([&] {
        VSemaphore s(3, n.c_str());
        if (!s.acquire(3))
            return 1;
        held.send();
        for (;;)
            pause();
    });
    ASSERT_EQ(held.receive(), '+');
    EXPECT_EQ(sem.getCurrentCount(), 0);
    kill(child, SIGKILL);
    EXPECT_EQ(vtest::waitChild(child), -1);
    EXPECT_EQ(sem.getCurrentCount(), 3);
}

TEST_F(VSemaphoreTest, FailedTryAcquireTakesNothingAndLogsNothing)
{
    const std::string n = name();
    VSemaphore sem(2, n.c_str());
    ASSERT_TRUE(sem.isOk());
    VerboseStderr verbose;
    vtest::CaptureFd err(2);
    EXPECT_FALSE(sem.tryAcquire(3));
    EXPECT_EQ(sem.getCurrentCount(), 2);
    EXPECT_EQ(sem.errorString(), QString::fromLatin1(strerror(EAGAIN)));
    EXPECT_TRUE(sem.tryAcquire(2));
    EXPECT_FALSE(sem.tryAcquire(1));
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(sem.release(2));
}

TEST_F(VSemaphoreTest, FailedBlockingAcquireGivesUnitsBack)
{
    // The kernel refuses a unit once this process's undo adjustment would
    // pass 32767: with 32766 held, acquire(3) gets one unit and then fails.
    const std::string n = name();
    VSemaphore sem(32767, n.c_str());
    ASSERT_TRUE(sem.isOk());
    ASSERT_TRUE(sem.tryAcquire(32766));

    vtest::Pipe ready, done;
    const pid_t helper = vtest::forkChild([&] {
        VSemaphore s(32767, n.c_str());
        if (!s.release(2))
            return 1;
        ready.send();
        done.receive(60000);
        return 0;
    });
    ASSERT_EQ(ready.receive(), '+');
    ASSERT_EQ(sem.getCurrentCount(), 3);
    EXPECT_FALSE(sem.acquire(3));
    EXPECT_EQ(sem.errorString(), QString::fromLatin1(strerror(ERANGE)));
    EXPECT_EQ(sem.getCurrentCount(), 3);
    done.send();
    EXPECT_EQ(vtest::waitChild(helper), 0);
    EXPECT_TRUE(sem.release(32766));
}

TEST_F(VSemaphoreTest, CountsOutsideTheRangeAreRefused)
{
    const std::string n = name();
    VSemaphore sem(2, n.c_str());
    ASSERT_TRUE(sem.isOk());
    EXPECT_FALSE(sem.acquire(0));
    EXPECT_EQ(sem.errorString(), QString());
    EXPECT_FALSE(sem.tryAcquire(0));
    EXPECT_FALSE(sem.release(0));
    EXPECT_FALSE(sem.release(32768));
    EXPECT_EQ(sem.errorString(), QStringLiteral("invalid count 32768"));
    EXPECT_FALSE(sem.release(65535));
    EXPECT_FALSE(sem.acquire(quint32(-1)));
    EXPECT_FALSE(sem.tryAcquire(40000));
    EXPECT_EQ(sem.getCurrentCount(), 2);
}

TEST_F(VSemaphoreTest, NamesAreChecked)
{
    for (const char* bad : {"", "a b", "a/b", "../x", "n\xe9"}) {
        try {
            VSemaphore s(1, bad);
            ADD_FAILURE() << bad;
        } catch (const VException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("VSemaphore: invalid semaphore name ") + bad);
        }
    }
    EXPECT_THROW(VSemaphore(1, nullptr), VException);
    EXPECT_THROW(VOneLockSemaphore("a/b"), VException);
    EXPECT_THROW(VOneLockSemaphore(nullptr), VException);

    const std::string dots = sems.add("..--" + vtest::uniqueName("").substr(1));
    VSemaphore a(1, dots.c_str());
    EXPECT_TRUE(a.isOk());
    const std::string mixed = name("ok_1.2-3");
    VOneLockSemaphore b(mixed.c_str());
    EXPECT_TRUE(b.isOk());
    EXPECT_EQ(b.getMaxCount(), 1u);
    EXPECT_TRUE(b.acquire());
    EXPECT_EQ(vtest::semValue(mixed), 0);
    EXPECT_TRUE(b.release());
}

TEST_F(VSemaphoreTest, InstallationSuffixSeparatesSemaphores)
{
    const std::string n = vtest::uniqueName("inst");
    setenv("INSTALLATION_UID", "7", 1);
    VSemaphore seven(1, n.c_str());
    setenv("INSTALLATION_UID", "8", 1);
    VSemaphore eight(5, n.c_str());
    unsetenv("INSTALLATION_UID");
    sems.add(n + "7");
    sems.add(n + "8");

    ASSERT_TRUE(seven.isOk());
    ASSERT_TRUE(eight.isOk());
    EXPECT_EQ(access(dir.file("vsemfile_" + n + "7").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("vsemfile_" + n).c_str(), F_OK), 0);
    EXPECT_NE(vtest::semIdOf(n + "7"), vtest::semIdOf(n + "8"));
    EXPECT_EQ(seven.getCurrentCount(), 1);
    EXPECT_EQ(eight.getCurrentCount(), 5);
}

TEST_F(VSemaphoreTest, RemovedSemaphoreFailsWithTheDetailedLine)
{
    const std::string n = name();
    VSemaphore sem(1, n.c_str());
    ASSERT_TRUE(sem.isOk());
    sem.remove();
    EXPECT_TRUE(sem.isOk());
    VerboseStderr verbose;
    vtest::CaptureFd err(2);
    EXPECT_FALSE(sem.acquire(1));
    const std::string text = err.text();
    const std::string expected = std::to_string(getpid()) + " : VSemaphoreImpl::acquire: semid:  -1  uid: " +
                                 std::to_string(getuid()) + " gid:  " + std::to_string(getgid()) + " " +
                                 strerror(EINVAL) + " \n";
    EXPECT_NE(text.find("DBG1] " + expected), std::string::npos) << text;
    EXPECT_EQ(sem.errorString(), QString::fromLatin1(strerror(EINVAL)));
}

TEST_F(VSemaphoreTest, SetUpFailuresAreReported)
{
    // The key file cannot be made.
    const std::string missing = dir.file("missing");
    setenv("VORN_TMPDIR", missing.c_str(), 1);
    {
        vtest::CaptureFd err(2);
        VSemaphore sem(1, "x");
        EXPECT_FALSE(sem.isOk());
        EXPECT_EQ(sem.errorString(), QString::fromLatin1(strerror(ENOENT)));
        const std::string text = err.text();
        EXPECT_NE(text.find("WARNING] VSemaphoreImpl::constructor: failed to open file " + missing +
                            "/vsemfile_x : " + strerror(ENOENT) + " \n"),
                  std::string::npos)
            << text;
        VerboseStderr verbose;
        vtest::CaptureFd err2(2);
        EXPECT_FALSE(sem.acquire(1));
        EXPECT_FALSE(sem.release(1));
        EXPECT_EQ(sem.errorString(), QStringLiteral("invalid semaphore"));
        const std::string text2 = err2.text();
        EXPECT_NE(text2.find("VSemaphoreImpl::acquire : invalid semaphore \n"), std::string::npos);
        EXPECT_NE(text2.find("VSemaphoreImpl::release : invalid semaphore \n"), std::string::npos);
    }
    setenv("VORN_TMPDIR", dir.path().c_str(), 1);

    // SETVAL refuses a value above 32767: the new set is removed again, so a
    // later process creates it afresh instead of blocking on a value of 0.
    const std::string n = name();
    {
        vtest::CaptureFd err(2);
        VSemaphore big(40000, n.c_str());
        EXPECT_FALSE(big.isOk());
        EXPECT_EQ(big.errorString(), QString::fromLatin1("semctl(SETVAL): ") + strerror(ERANGE));
        EXPECT_NE(err.text().find("VSemaphoreImpl::constructor: failed to initialize semaphore: "),
                  std::string::npos);
    }
    const int stale = vtest::semIdOf(n);
    EXPECT_EQ(semctl(stale, 0, GETVAL), -1);
    VSemaphore sem(2, n.c_str());
    ASSERT_TRUE(sem.isOk());
    EXPECT_EQ(sem.getCurrentCount(), 2);
}

TEST_F(VSemaphoreTest, OpeningAnotherUsersSetIsReported)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const std::string n = name();
    VSemaphore sem(1, n.c_str());
    ASSERT_TRUE(sem.isOk());
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.file("vsemfile_" + n).c_str(), 0666), 0);
    // An unprivileged process may open the key file but not the set (0660).
    vtest::Pipe out;
    const pid_t child = vtest::forkChild([&] {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            return 1;
        vtest::CaptureFd err(2);
        VSemaphore other(1, n.c_str());
        const std::string text = err.text();
        if (other.isOk() || other.errorString() != QString::fromLatin1("semget: ") + strerror(EACCES))
            return 2;
        return text.find("WARNING] VSemaphoreImpl::constructor: failed to get semaphore id: " +
                         std::string(strerror(EACCES)) + " \n") != std::string::npos
                   ? 0
                   : 3;
    });
    EXPECT_EQ(vtest::waitChild(child), 0);
}

TEST_F(VSemaphoreTest, PlantedLinksAreNotFollowed)
{
    const std::string victim = dir.file("victim");
    vtest::writeFile(victim, "keep me");

    const std::string n = name();
    ASSERT_EQ(symlink(victim.c_str(), dir.file("vsemfile_" + n + "_semid").c_str()), 0);
    VSemaphore sem(1, n.c_str());
    EXPECT_TRUE(sem.isOk());
    EXPECT_EQ(vtest::readFile(victim), "keep me");
    {
        // Remove it through a known id: the id file could not be written.
        struct stat st;
        ASSERT_EQ(stat(dir.file("vsemfile_" + n).c_str(), &st), 0);
        semctl(semget(ftok(dir.file("vsemfile_" + n).c_str(), 1), 1, 0), 0, IPC_RMID);
    }

    const std::string m = vtest::uniqueName("link");
    ASSERT_EQ(symlink(victim.c_str(), dir.file("vsemfile_" + m).c_str()), 0);
    vtest::CaptureFd err(2);
    VSemaphore other(1, m.c_str());
    EXPECT_FALSE(other.isOk());
    EXPECT_EQ(other.errorString(), QString::fromLatin1(strerror(ELOOP)));
    err.text();
}

// The suite's last step sweeps the key files left in its directory: a link,
// or a file another user planted, beside an id file naming a set costs that
// set nothing.
TEST(SuiteTmpDir, PlantedKeyFilesCostNoForeignSet)
{
    vtest::TempDir dir;
    const int foreign = semget(IPC_PRIVATE, 1, 0600);
    ASSERT_GE(foreign, 0);
    ASSERT_EQ(symlink("/nowhere", dir.file("vsemfile_link").c_str()), 0);
    vtest::writeFile(dir.file("vsemfile_link_semid"), std::to_string(foreign));
    int keyed = -1;
    if (vtest::canRunAttacker()) {
        const std::string planted = dir.file("vsemfile_planted");
        vtest::writeFile(planted, "");
        ASSERT_EQ(chown(planted.c_str(), vtest::kAttackerId, vtest::kAttackerId), 0);
        keyed = semget(ftok(planted.c_str(), 1), 1, IPC_CREAT | IPC_EXCL | 0600);
        EXPECT_GE(keyed, 0);
        vtest::writeFile(planted + "_semid", std::to_string(keyed));
    }
    EXPECT_EQ(vtest::removeSemaphoreSets(dir.path()), std::vector<std::string>());
    struct semid_ds ds;
    EXPECT_EQ(semctl(foreign, 0, IPC_STAT, &ds), 0);
    EXPECT_EQ(semctl(foreign, 0, IPC_RMID), 0);
    if (keyed >= 0) {
        EXPECT_EQ(semctl(keyed, 0, IPC_STAT, &ds), 0);
        EXPECT_EQ(semctl(keyed, 0, IPC_RMID), 0);
    }
}

// A ctest run in another pid namespace (a container sharing the build tree)
// cannot be seen alive from here: the first step of a run leaves it alone.
TEST(SuiteTmpDir, RunOfAnotherPidNamespaceIsNotReaped)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    vtest::TempDir dir;
    vtest::Pipe made, done;
    const pid_t outer = vtest::forkChild([&] {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
            made.send('-');
            return 77;
        }
        // pid 1 of the new namespace, with a /proc of its own.
        return vtest::waitChild(vtest::forkChild([&] {
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || mount("proc", "/proc", "proc", 0, nullptr) != 0) {
                made.send('-');
                return 77;
            }
            const std::string id = vtest::runIdOf(getpid());
            vtest::openRun(id);
            vtest::writeFile(dir.file("id"), id);
            made.send();
            done.receive(60000);
            vtest::removeRun(id);
            return 0;
        }));
    });
    const char state = made.receive(60000);
    if (state == '-' && vtest::waitChild(outer) == 77)
        GTEST_SKIP() << "no pid namespace";
    ASSERT_EQ(state, '+');
    const std::string ownRun = std::getenv("VORN_TEST_RUN");
    const std::string folder = ownRun.substr(0, ownRun.rfind('/') + 1) + vtest::readFile(dir.file("id"));
    vtest::reapDeadRuns();
    struct stat st;
    EXPECT_EQ(lstat(folder.c_str(), &st), 0) << folder;
    done.send();
    EXPECT_EQ(vtest::waitChild(outer), 0);
}

TEST_F(VSemaphoreTest, OneObjectServesManyThreads)
{
    const std::string n = name();
    VSemaphore sem(1, n.c_str());
    ASSERT_TRUE(sem.isOk());
    ASSERT_TRUE(sem.acquire(1));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (!sem.tryAcquire(1) && !sem.errorString().isEmpty())
                    ++failures;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 8000);
    EXPECT_TRUE(sem.release(1));

    // Mutual exclusion between threads of one process.
    int counter = 0;
    threads.clear();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ASSERT_TRUE(sem.acquire(1));
                const int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                ASSERT_TRUE(sem.release(1));
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 2000);
}

// The id file is written only once the creator has set the value: a process
// that finds the set while the creator is still writing that file (here a
// FIFO that holds its open until a reader comes) sees the value already.
TEST_F(VSemaphoreTest, ValueIsSetBeforeTheIdFileIsWritten)
{
    const std::string n = vtest::uniqueName("idorder");
    const std::string idPath = dir.file("vsemfile_" + n + "_semid");
    ASSERT_EQ(mkfifo(idPath.c_str(), 0600), 0);
    vtest::Pipe made;
    const pid_t creator = vtest::forkChild([&] {
        VSemaphore s(5, n.c_str());
        made.send(s.isOk() ? '+' : '-');
        return 0;
    });
    // Blocked in the open of the id file, or already done when that open
    // does not wait.
    const std::string syscallFile = "/proc/" + std::to_string(creator) + "/syscall";
    EXPECT_TRUE(vtest::waitFor([&] { return made.ready() || vtest::readFile(syscallFile).rfind("257 ", 0) == 0; }));
    // Looked at directly: the library's own open would write the FIFO too.
    const int id = semget(ftok(dir.file("vsemfile_" + n).c_str(), 1), 1, 0);
    ASSERT_GE(id, 0);
    EXPECT_EQ(semctl(id, 0, GETVAL), 5);
    // Lets a creator blocked on the FIFO go on.
    const int reader = open(idPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(made.receive(), '+');
    EXPECT_EQ(vtest::waitChild(creator), 0);
    if (reader >= 0)
        close(reader);
    semctl(id, 0, IPC_RMID);
    unlink(idPath.c_str());
}

// Another local user plants in the shared directory and the System V
// namespace before root's process sets a semaphore up.
TEST_F(VSemaphoreTest, AnotherUsersSetAndFilesAreRefused)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    chmod(dir.path().c_str(), 01777);
    const std::string planted = name("planted");
    const std::string keyFile = dir.file("vsemfile_" + planted);
    const pid_t attacker = vtest::forkAttacker([&] {
        close(open(keyFile.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        const int id = semget(ftok(keyFile.c_str(), 1), 1, IPC_CREAT | IPC_EXCL | 0666);
        if (id < 0)
            return 1;
        // A FIFO as key file, and one as the id file of a name not yet used.
        if (mkfifo(dir.file("vsemfile_fifokey").c_str(), 0666) != 0 ||
            mkfifo(dir.file("vsemfile_fifoid_semid").c_str(), 0666) != 0)
            return 2;
        return 0;
    });
    ASSERT_EQ(0, vtest::waitChild(attacker));
    struct Remove
    {
        std::string file;
        ~Remove() { semctl(semget(ftok(file.c_str(), 1), 0, 0), 0, IPC_RMID); }
    } removeAttackers{keyFile};

    // The attacker's set (value 0) would block acquire() for ever.
    VSemaphore sem(1, planted.c_str());
    EXPECT_FALSE(sem.isOk());
    EXPECT_NE(-1, sem.errorString().indexOf(QStringLiteral("uid 65534"))) << sem.errorString().toStdString();

    VSemaphore fifoKey(1, "fifokey");
    EXPECT_FALSE(fifoKey.isOk());
    EXPECT_EQ(QStringLiteral("not a regular file"), fifoKey.errorString());

    // The id file is skipped, set-up goes on without waiting for a reader.
    const pid_t user = vtest::forkChild([&] {
        VSemaphore fifoId(1, "fifoid");
        return fifoId.isOk() && fifoId.tryAcquire(1) ? 0 : 1;
    });
    EXPECT_EQ(0, vtest::waitChild(user, std::chrono::seconds(10)));
    for (const char* key : {"vsemfile_fifoid", "vsemfile_fifokey"})
        semctl(semget(ftok(dir.file(key).c_str(), 1), 0, 0), 0, IPC_RMID);
}

TEST_F(VSemaphoreTest, UsersOfOneGroupShareASet)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    chmod(dir.path().c_str(), 01777);
    const std::string n = name();
    const gid_t group = vtest::kAttackerId;
    pid_t user = vtest::forkAs(vtest::kAttackerId - 1, group, [&] {
        umask(007); // the key file must be writable by the group
        VSemaphore sem(3, n.c_str());
        return sem.isOk() && sem.tryAcquire(1) && sem.release(1) ? 0 : 1;
    });
    ASSERT_EQ(0, vtest::waitChild(user));
    user = vtest::forkAs(vtest::kAttackerId, group, [&] {
        umask(007);
        VSemaphore sem(3, n.c_str());
        return sem.isOk() && sem.getCurrentCount() == 3 && sem.tryAcquire(3) ? 0 : 1;
    });
    EXPECT_EQ(0, vtest::waitChild(user));
}

TEST_F(VSemaphoreTest, GroupShareWorksUnderUmask022)
{
    // The key file is then 0640: the group's other user opens it read-only.
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    chmod(dir.path().c_str(), 01777);
    const std::string n = name();
    const gid_t group = vtest::kAttackerId;
    pid_t user = vtest::forkAs(vtest::kAttackerId, group, [&] {
        umask(022);
        VSemaphore sem(1, n.c_str());
        return sem.isOk() ? 0 : 1;
    });
    ASSERT_EQ(0, vtest::waitChild(user));
    user = vtest::forkAs(vtest::kAttackerId - 1, group, [&] {
        umask(022);
        VSemaphore sem(1, n.c_str());
        return sem.isOk() && sem.acquire(1) && sem.release(1) ? 0 : 1;
    });
    EXPECT_EQ(0, vtest::waitChild(user));
}

TEST_F(VSemaphoreTest, ReaderOfAnotherUsersKeyFileCreatesNoSet)
{
    // Root's key file, 0640 root:<group>, with no set: a user who may only
    // read it (through a supplementary group) and comes first must not make
    // the set, which root would then refuse.
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    chmod(dir.path().c_str(), 01777);
    const std::string n = name();
    const std::string keyFile = vtest::semKeyFile(n);
    const gid_t group = vtest::kAttackerId - 1;
    vtest::writeFile(keyFile, "");
    ASSERT_EQ(0, chown(keyFile.c_str(), 0, group));
    ASSERT_EQ(0, chmod(keyFile.c_str(), 0640));
    const pid_t reader = vtest::forkAs(vtest::kAttackerId, vtest::kAttackerId, {group}, [&] {
        VSemaphore sem(1, n.c_str());
        return !sem.isOk() && sem.errorString().contains(QStringLiteral("no semaphore yet")) ? 0 : 1;
    });
    EXPECT_EQ(0, vtest::waitChild(reader));
    EXPECT_LT(semget(ftok(keyFile.c_str(), 1), 1, 0), 0);
    EXPECT_NE(0, access((keyFile + "_semid").c_str(), F_OK));

    VSemaphore owner(1, n.c_str());
    ASSERT_TRUE(owner.isOk()) << owner.errorString().toStdString();
    EXPECT_TRUE(owner.acquire(1) && owner.release(1));
}
