#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <QFile>

#include <gtest/gtest.h>

#include "testutil.h"
#include <VCore/filelocker.h>

namespace {

using std::chrono::milliseconds;

// Whether a classic whole-file lock of this type could be taken now (as
// another program would try); probes from a fresh descriptor.
bool classicLockFree(const std::string& path, short type)
{
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    const bool ok = fcntl(fd, F_SETLK, &fl) == 0;
    close(fd);
    return ok;
}

// Probe from a separate process: classic locks of one process never
// conflict with each other.
bool lockFreeFromChild(const std::string& path, short type)
{
    const pid_t pid = vtest::forkChild([&] { return classicLockFree(path, type) ? 0 : 1; });
    return vtest::waitChild(pid) == 0;
}

// Whether some process waits in a lock request on the file (/proc/locks
// marks blocked requests with "->").
bool someoneBlockedOn(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    std::ifstream in("/proc/locks");
    const std::string ino = ":" + std::to_string(st.st_ino) + " ";
    for (std::string line; std::getline(in, line);)
        if (line.find("->") != std::string::npos && line.find(ino) != std::string::npos)
            return true;
    return false;
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

} // namespace

TEST(VFileLockerPrivate, WriteLockMakesOtherProcessReaderWait)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    const std::string got = dir.file("got");

    VFileLockerPrivate locker(lockFile.c_str());
    locker.writeLock();
    ASSERT_TRUE(locker.isLocked());

    const pid_t child = vtest::forkChild([&] {
        VFileLockerPrivate reader(lockFile.c_str());
        reader.readLock();
        const bool ok = reader.isLocked();
        vtest::writeFile(got, "1");
        reader.unlock();
        return ok ? 0 : 1;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return someoneBlockedOn(lockFile); }));
    EXPECT_FALSE(exists(got));
    locker.unlock();
    EXPECT_FALSE(locker.isLocked());
    EXPECT_EQ(0, vtest::waitChild(child));
    EXPECT_TRUE(exists(got));
}

TEST(VFileLockerPrivate, ReadersInTwoProcessesShare)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    VFileLockerPrivate locker(lockFile.c_str());
    locker.readLock();
    ASSERT_TRUE(locker.isLocked());
    const pid_t child = vtest::forkChild([&] {
        VFileLockerPrivate reader(lockFile.c_str());
        reader.readLock();
        const bool ok = reader.isLocked();
        reader.unlock();
        return ok ? 0 : 1;
    });
    EXPECT_EQ(0, vtest::waitChild(child, std::chrono::seconds(20)));
    // A writer elsewhere is kept out while we read.
    EXPECT_FALSE(lockFreeFromChild(lockFile, F_WRLCK));
    locker.unlock();
    EXPECT_TRUE(lockFreeFromChild(lockFile, F_WRLCK));
}

TEST(VFileLockerPrivate, LockSurvivesClosingAnotherDescriptorOfTheFile)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    VFileLockerPrivate locker(lockFile.c_str());
    locker.writeLock();
    {
        QFile other(QString::fromStdString(lockFile));
        ASSERT_TRUE(other.open(QIODevice::ReadOnly));
        other.close();
    }
    EXPECT_FALSE(lockFreeFromChild(lockFile, F_RDLCK));
    locker.unlock();
    EXPECT_TRUE(lockFreeFromChild(lockFile, F_WRLCK));
}

TEST(VFileLockerPrivate, ThreadsOfOneProcessExcludeEachOther)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    VFileLockerPrivate locker(lockFile.c_str());
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    auto work = [&] {
        for (int i = 0; i < 200; ++i) {
            locker.readLock(); // within a process even reads are exclusive
            if (inside.fetch_add(1) != 0)
                overlap = true;
            inside.fetch_sub(1);
            locker.unlock();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_FALSE(overlap.load());
}

TEST(VFileLockerPrivate, NestedLockCountsAndDestructorReleases)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    {
        VFileLockerPrivate locker(lockFile.c_str());
        locker.writeLock();
        locker.writeLock();
        locker.unlock();
        EXPECT_TRUE(locker.isLocked());
        EXPECT_FALSE(lockFreeFromChild(lockFile, F_RDLCK));
        locker.unlock();
        EXPECT_FALSE(locker.isLocked());
        EXPECT_TRUE(lockFreeFromChild(lockFile, F_WRLCK));
        locker.writeLock();
        EXPECT_FALSE(lockFreeFromChild(lockFile, F_RDLCK));
    }
    EXPECT_TRUE(lockFreeFromChild(lockFile, F_WRLCK));
}

TEST(VFileLockerPrivate, UnlockWithoutLockThrows)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    VFileLockerPrivate locker(lockFile.c_str());
    EXPECT_THROW(locker.unlock(), VException);
}

TEST(VFileLockerPrivate, MissingDirectoryIsLoggedAndNotLocked)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("missing/lock");
    VFileLockerPrivate locker(lockFile.c_str());
    vtest::CaptureFd out(1);
    locker.writeLock();
    const bool locked = locker.isLocked();
    locker.unlock();
    const std::string text = out.text();
    EXPECT_FALSE(locked);
    EXPECT_NE(std::string::npos, text.find("ERROR] Fatal error: Failed to open lock file  " + lockFile))
        << text;
}

TEST(VFileLockerPrivate, DescriptorZeroIsAValidLockFile)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    const pid_t child = vtest::forkChild([&] {
        close(0); // the lock file gets descriptor 0
        VFileLockerPrivate locker(lockFile.c_str());
        locker.writeLock();
        if (!locker.isLocked() || fcntl(0, F_GETFD) == -1)
            return 1;
        const int rc = lockFreeFromChild(lockFile, F_RDLCK) ? 2 : 0;
        locker.unlock();
        return rc;
    });
    EXPECT_EQ(0, vtest::waitChild(child));
}

TEST(VFileLockerPrivate, LockSurvivesDaemon)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    const std::string ready = dir.file("ready");
    const std::string release = dir.file("release");
    const pid_t child = vtest::forkChild([&] {
        VFileLockerPrivate locker(lockFile.c_str());
        locker.writeLock();
        if (daemon(0, 1) != 0) // the caller exits 0 here
            return 1;
        vtest::writeFile(ready, "1");
        vtest::waitFor([&] { return exists(release); }, std::chrono::seconds(30));
        locker.unlock();
        return 0;
    });
    ASSERT_EQ(0, vtest::waitChild(child));
    ASSERT_TRUE(vtest::waitFor([&] { return exists(ready); }));
    EXPECT_FALSE(classicLockFree(lockFile, F_RDLCK));
    vtest::writeFile(release, "1");
    EXPECT_TRUE(vtest::waitFor([&] { return classicLockFree(lockFile, F_WRLCK); }));
}

TEST(VFileLockerPrivate, PathOfATemporaryStaysValid)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    VFileLockerPrivate* locker;
    {
        const QByteArray temporary = QString::fromStdString(lockFile).toLocal8Bit();
        locker = new VFileLockerPrivate(temporary.constData());
    }
    locker->writeLock();
    EXPECT_TRUE(locker->isLocked());
    locker->unlock();
    delete locker;
    EXPECT_TRUE(exists(lockFile));
}

TEST(VFileLockerPrivate, ForkedChildLeavesTheParentsLockAlone)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    auto* locker = new VFileLockerPrivate(lockFile.c_str());

    // Locked by the forking thread: the child's unlock() must not free it.
    locker->writeLock();
    pid_t child = vtest::forkChild([&] {
        locker->unlock();
        return locker->isLocked() ? 1 : 0;
    });
    EXPECT_EQ(0, vtest::waitChild(child));
    EXPECT_FALSE(lockFreeFromChild(lockFile, F_RDLCK));
    locker->unlock();
    EXPECT_TRUE(lockFreeFromChild(lockFile, F_WRLCK));

    // Locked by another thread: the child's unlock() and destructor neither
    // throw nor free it.
    std::atomic<bool> locked{false}, done{false};
    std::thread holder([&] {
        locker->writeLock();
        locked = true;
        vtest::waitFor([&] { return done.load(); });
        locker->unlock();
    });
    ASSERT_TRUE(vtest::waitFor([&] { return locked.load(); }));
    child = vtest::forkChild([&] {
        locker->unlock();
        delete locker;
        return 0;
    });
    EXPECT_EQ(0, vtest::waitChild(child));
    EXPECT_FALSE(lockFreeFromChild(lockFile, F_RDLCK));
    done = true;
    holder.join();
    EXPECT_TRUE(lockFreeFromChild(lockFile, F_WRLCK));
    delete locker;
}

TEST(VFileLockerPrivate, UpgradeWhileOthersReadIsRefused)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    const std::string reading = dir.file("reading");
    const std::string release = dir.file("release");
    const pid_t reader = vtest::forkChild([&] {
        VFileLockerPrivate other(lockFile.c_str());
        other.readLock();
        vtest::writeFile(reading, "1");
        vtest::waitFor([&] { return exists(release); });
        other.unlock();
        return 0;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return exists(reading); }));
    VFileLockerPrivate locker(lockFile.c_str());
    locker.readLock();
    EXPECT_TRUE(locker.isLocked());
    locker.writeLock();
    EXPECT_FALSE(locker.isLocked());
    locker.readLock(); // nested inside the refused level: still not a write
    EXPECT_FALSE(locker.isLocked());
    locker.unlock();
    locker.unlock();
    EXPECT_TRUE(locker.isLocked()); // the read lock is still held
    EXPECT_FALSE(lockFreeFromChild(lockFile, F_WRLCK));
    locker.unlock();
    EXPECT_FALSE(locker.isLocked());
    vtest::writeFile(release, "1");
    EXPECT_EQ(0, vtest::waitChild(reader));
}

TEST(VFileLockerPrivate, ChildForkedWhileThreadsLockCanLock)
{
    vtest::TempDir dir;
    const std::string lockFile = dir.file("lock");
    VFileLockerPrivate locker(lockFile.c_str());
    // Readers only: the children never wait for the file lock, only for the
    // in-process mutex, which no thread of theirs holds.
    std::atomic<bool> stop{false};
    auto churn = [&] {
        while (!stop.load()) {
            locker.readLock();
            locker.unlock();
        }
    };
    std::thread a(churn), b(churn);
    std::vector<pid_t> children;
    for (int i = 0; i < 200; ++i)
        children.push_back(vtest::forkChild([&] {
            locker.readLock();
            const bool ok = locker.isLocked();
            locker.unlock();
            return ok ? 0 : 1;
        }));
    stop = true;
    a.join();
    b.join();
    // A child that did not lock in time is killed and counted.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int failed = 0;
    for (pid_t pid : children) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
        failed += vtest::waitChild(pid, std::max(left, milliseconds(1000))) != 0;
    }
    EXPECT_EQ(0, failed);
}
