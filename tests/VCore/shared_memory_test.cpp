#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testutil.h"
#include <VCore/QtShareMemory/qtsharedmemory.h>
#include <VCore/vservice.h>

namespace {

std::string keyFileOf(const QString& key)
{
    std::string name = "/tmp/qtsharedmemory-";
    char hex[3];
    for (const QChar c : key) {
        std::snprintf(hex, sizeof hex, "%02x", c.unicode() & 0xff);
        name += hex;
    }
    return name;
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// A unique key whose segment, semaphore and key file are removed at the end.
class Key
{
public:
    explicit Key(const QString& k = QString()) :
        _key(k.isEmpty() ? QString::fromStdString(vtest::uniqueName("shmtest")) : k) {}
    ~Key()
    {
        const std::string file = keyFileOf(_key);
        const key_t h = ftok(file.c_str(), 'Q');
        if (h != -1) {
            const int shm = shmget(h, 0, 0);
            if (shm != -1)
                shmctl(shm, IPC_RMID, nullptr);
            const int sem = semget(h, 0, 0);
            if (sem != -1)
                semctl(sem, 0, IPC_RMID);
        }
        unlink(file.c_str());
    }
    operator const QString&() const { return _key; }
    const QString& str() const { return _key; }

private:
    QString _key;
};

int semValue(int handle)
{
    return semctl(semget(handle, 0, 0), 0, GETVAL);
}

int semWaiters(int handle)
{
    return semctl(semget(handle, 0, 0), 0, GETNCNT);
}

// Runs body as the service's main work in daemon mode; the daemon writes
// body's answer to a file.
class DaemonRun : public VService
{
public:
    DaemonRun(std::function<std::string()> body, std::string resultFile)
        : VService(QStringLiteral("shmtest"), 0, nullptr, false, false, false, false), _body(std::move(body)),
          _resultFile(std::move(resultFile))
    {
    }
    void serviceMain(int, char**) override { vtest::writeFile(_resultFile, _body()); }

private:
    std::function<std::string()> _body;
    std::string _resultFile;
};

} // namespace

TEST(QtSharedMemory, NewObjectState)
{
    QtSharedMemory plain;
    EXPECT_EQ(QtSharedMemory::UnknownError, plain.error());
    EXPECT_EQ(QStringLiteral("permission denied"), plain.errorString());
    EXPECT_EQ(0, plain.size());
    EXPECT_EQ(0, plain.handle());
    EXPECT_EQ(nullptr, plain.data());

    QtSharedMemory keyed(QStringLiteral("k1"));
    EXPECT_EQ(QStringLiteral("permission denied with key k1"), keyed.errorString());
    EXPECT_EQ(QStringLiteral("k1"), keyed.key());
    EXPECT_EQ(0, keyed.size());
    EXPECT_EQ(VDebug::STDERR, QtSharedMemory::LOG);
}

TEST(QtSharedMemory, KeyFileNameUsesLowBytesInHex)
{
    Key ab(QStringLiteral("ab"));
    QtSharedMemory m(ab);
    EXPECT_FALSE(m.exists());
    EXPECT_TRUE(exists("/tmp/qtsharedmemory-6162"));
    EXPECT_NE(0, m.handle());

    Key wide(QString(QChar(0x141)) + QString::fromStdString(vtest::uniqueName("w")));
    QtSharedMemory w(wide);
    w.exists();
    EXPECT_EQ("/tmp/qtsharedmemory-41", keyFileOf(wide).substr(0, 22));
    EXPECT_TRUE(exists(keyFileOf(wide)));
}

TEST(QtSharedMemory, CreateAttachAndErrorTexts)
{
    Key key;
    QtSharedMemory a(key);
    EXPECT_FALSE(a.create(0));
    EXPECT_EQ(QtSharedMemory::InvalidSize, a.error());

    ASSERT_TRUE(a.create(4096)) << a.errorString().toStdString();
    EXPECT_TRUE(a.exists());
    EXPECT_EQ(nullptr, a.data()); // create does not attach
    EXPECT_FALSE(a.isValid());

    QtSharedMemory b(key);
    EXPECT_FALSE(b.create(4096));
    EXPECT_EQ(QtSharedMemory::AlreadyExists, b.error());
    EXPECT_EQ(QStringLiteral("shared memory segment: already exists"), b.errorString());

    EXPECT_FALSE(b.detach());
    EXPECT_EQ(QtSharedMemory::NotFound, b.error());
    EXPECT_EQ(QStringLiteral("not attached"), b.errorString());

    ASSERT_TRUE(b.attach());
    EXPECT_EQ(4096, b.size());
    EXPECT_TRUE(b.isValid());
    EXPECT_EQ(1, b.numAttachments());
    void* mapped = b.data();
    EXPECT_FALSE(b.attach()); // would lose the mapping
    EXPECT_EQ(QtSharedMemory::AlreadyExists, b.error());
    EXPECT_EQ(mapped, b.data());
    EXPECT_TRUE(b.detach());
    EXPECT_EQ(nullptr, b.data());
    EXPECT_TRUE(a.destroy());
}

TEST(QtSharedMemory, AttachToMissingKeyFailsInTheLock)
{
    Key key;
    QtSharedMemory m(key);
    EXPECT_FALSE(m.attach());
    EXPECT_EQ(QtSharedMemory::LockError, m.error());
    EXPECT_EQ(QStringLiteral("shared memory lock: does not exist"), m.errorString());
    EXPECT_EQ(nullptr, m.data());
    m.unlock(); // holds nothing: must not release anything
    EXPECT_FALSE(m.exists());
}

TEST(QtSharedMemory, LockIsRecursiveAndUnlockWithoutLockDoesNothing)
{
    Key key;
    QtSharedMemory m(key);
    ASSERT_TRUE(m.create(64));
    m.unlock();
    EXPECT_EQ(1, semValue(m.handle()));
    ASSERT_TRUE(m.lock());
    ASSERT_TRUE(m.lock());
    m.unlock();
    EXPECT_EQ(0, semValue(m.handle()));
    m.unlock();
    EXPECT_EQ(1, semValue(m.handle()));
    m.unlock();
    EXPECT_EQ(1, semValue(m.handle()));
    EXPECT_TRUE(m.destroy(QtSharedMemory::ForceNoWait));
}

TEST(QtSharedMemory, ProcessesShareDataUnderTheLock)
{
    Key key;
    vtest::TempDir dir;
    const std::string locked = dir.file("locked");
    const std::string release = dir.file("release");
    QtSharedMemory parent(key);
    ASSERT_TRUE(parent.create(4096));
    ASSERT_TRUE(parent.attach());

    const pid_t child = vtest::forkChild([&] {
        QtSharedMemory m(key);
        if (!m.attach() || !m.lock())
            return 1;
        std::strcpy(static_cast<char*>(m.data()), "hello from child");
        vtest::writeFile(locked, "1");
        vtest::waitFor([&] { return exists(release); });
        m.unlock();
        return m.detach() ? 0 : 2;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return exists(locked); }));

    // One thread at a time per object: the key is read before the waiter
    // starts using the object.
    const int handle = parent.handle();
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        got = parent.lock();
    });
    // The parent's lock() waits on the semaphore while the child holds it.
    EXPECT_TRUE(vtest::waitFor([&] { return semWaiters(handle) == 1; }));
    EXPECT_FALSE(got.load());
    vtest::writeFile(release, "1");
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_STREQ("hello from child", static_cast<const char*>(parent.data()));
    parent.unlock();
    EXPECT_EQ(0, vtest::waitChild(child));
    EXPECT_TRUE(parent.detach());
    EXPECT_TRUE(parent.destroy(QtSharedMemory::Wait));
    EXPECT_FALSE(exists(keyFileOf(key)));
}

TEST(QtSharedMemory, KilledHolderDoesNotBlockTheNextLocker)
{
    Key key;
    vtest::TempDir dir;
    const std::string locked = dir.file("locked");
    QtSharedMemory parent(key);
    ASSERT_TRUE(parent.create(128));
    const pid_t child = vtest::forkChild([&] {
        QtSharedMemory m(key);
        if (!m.lock())
            return 1;
        vtest::writeFile(locked, "1");
        pause();
        return 0;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return exists(locked); }));
    EXPECT_EQ(0, semValue(parent.handle()));
    kill(child, SIGKILL);
    EXPECT_EQ(-1, vtest::waitChild(child));
    ASSERT_TRUE(vtest::waitFor([&] { return semValue(parent.handle()) == 1; }, std::chrono::seconds(2)));
    EXPECT_TRUE(parent.lock());
    parent.unlock();
    EXPECT_TRUE(parent.destroy());
}

TEST(QtSharedMemory, ReadOnlyAttachmentCannotBeWritten)
{
    Key key;
    QtSharedMemory writer(key);
    ASSERT_TRUE(writer.create(4096));
    ASSERT_TRUE(writer.attach(QtSharedMemory::ReadWrite));
    std::strcpy(static_cast<char*>(writer.data()), "abc");

    QtSharedMemory reader(key);
    ASSERT_TRUE(reader.attach(QtSharedMemory::ReadOnly));
    EXPECT_STREQ("abc", static_cast<const char*>(reader.data()));
    // The kernel refuses to store into the mapping (no signal involved).
    int p[2];
    ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
    ASSERT_EQ(3, write(p[1], "xyz", 3));
    EXPECT_EQ(-1, read(p[0], reader.data(), 3));
    EXPECT_EQ(EFAULT, errno);
    close(p[0]);
    close(p[1]);
    EXPECT_STREQ("abc", static_cast<const char*>(reader.data()));
    EXPECT_EQ(2, writer.numAttachments());

    EXPECT_TRUE(reader.detach());
    EXPECT_TRUE(writer.detach());
    EXPECT_TRUE(writer.destroy());
}

TEST(QtSharedMemory, StaleSemaphoreLeavesNoSegmentBehind)
{
    Key key;
    QtSharedMemory m(key);
    m.exists(); // makes the handle
    ASSERT_NE(-1, semget(m.handle(), 1, IPC_CREAT | 0660));
    EXPECT_FALSE(m.create(256));
    EXPECT_EQ(QtSharedMemory::AlreadyExists, m.error());
    EXPECT_EQ(QStringLiteral("shared memory lock: already exists"), m.errorString());
    EXPECT_FALSE(m.exists());
}

TEST(QtSharedMemory, DestroyLeavesOtherObjectsOfTheKeyUsable)
{
    Key key;
    QtSharedMemory a(key);
    QtSharedMemory b(key);
    ASSERT_TRUE(a.create(256));
    ASSERT_TRUE(b.lock()); // borrows the key's mutex
    b.unlock();
    ASSERT_TRUE(a.attach());
    ASSERT_TRUE(a.detach());
    EXPECT_TRUE(a.destroy(QtSharedMemory::NoWait));
    EXPECT_EQ(nullptr, a.data());
    EXPECT_EQ(0, a.size());
    EXPECT_FALSE(b.lock());
    EXPECT_FALSE(exists(keyFileOf(key)));

    // The pooled mutex is still alive for a fresh object of the key.
    ASSERT_TRUE(a.create(256));
    QtSharedMemory c(key);
    EXPECT_TRUE(c.lock()) << c.errorString().toStdString();
    c.unlock();
    EXPECT_TRUE(a.destroy(QtSharedMemory::ForceNoWait));
}

TEST(QtSharedMemory, ForceNoWaitAndMarkForDeletion)
{
    Key key;
    QtSharedMemory a(key);
    ASSERT_TRUE(a.create(256));
    EXPECT_TRUE(a.destroy(QtSharedMemory::ForceNoWait));
    EXPECT_FALSE(exists(keyFileOf(key)));
    EXPECT_FALSE(a.exists()); // and makes the key file again

    ASSERT_TRUE(a.create(256));
    QtSharedMemory b(key);
    ASSERT_TRUE(b.attach());
    ASSERT_TRUE(a.markForDeletion());
    EXPECT_EQ(-1, semget(a.handle(), 0, 0)); // semaphore gone
    EXPECT_FALSE(a.lock());
    EXPECT_FALSE(QtSharedMemory(key).lock());
    // Still mapped; detaching works although the lock is gone.
    static_cast<char*>(b.data())[0] = 'x';
    EXPECT_TRUE(b.detach());
    EXPECT_EQ(nullptr, b.data());
}

TEST(QtSharedMemory, DestroyWaitsForOtherProcessesToDetach)
{
    Key key;
    vtest::TempDir dir;
    const std::string attached = dir.file("attached");
    const std::string go = dir.file("go");
    QtSharedMemory maker(key);
    ASSERT_TRUE(maker.create(256));
    const pid_t child = vtest::forkChild([&] {
        QtSharedMemory m(key);
        if (!m.attach())
            return 1;
        vtest::writeFile(attached, "1");
        vtest::waitFor([&] { return exists(go); });
        return m.detach() ? 0 : 2;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return exists(attached); }));

    std::atomic<bool> done{false};
    bool destroyed = false;
    std::thread t([&] {
        destroyed = maker.destroy(QtSharedMemory::Wait);
        done = true;
    });
    EXPECT_FALSE(vtest::waitFor([&] { return done.load(); }, std::chrono::milliseconds(1500)));
    vtest::writeFile(go, "1");
    EXPECT_TRUE(vtest::waitFor([&] { return done.load(); }, std::chrono::seconds(10)));
    t.join();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(0, vtest::waitChild(child));
    EXPECT_FALSE(QtSharedMemory(key).exists());
}

TEST(QtSharedMemory, SetKeySwitchesToAnotherSegment)
{
    Key first, second;
    QtSharedMemory a(first);
    ASSERT_TRUE(a.create(100));
    QtSharedMemory b(second);
    ASSERT_TRUE(b.create(200));
    QtSharedMemory m(first);
    ASSERT_TRUE(m.attach());
    EXPECT_EQ(100, m.size());
    ASSERT_TRUE(m.detach());
    m.setKey(second);
    EXPECT_EQ(0, m.handle());
    ASSERT_TRUE(m.attach());
    EXPECT_EQ(200, m.size());
    ASSERT_TRUE(m.detach());
    EXPECT_TRUE(a.destroy());
    EXPECT_TRUE(b.destroy());
}

TEST(QtSharedMemory, LockStaysWithTheProcessThatTookIt)
{
    Key key;
    vtest::TempDir dir;
    QtSharedMemory m(key);
    ASSERT_TRUE(m.create(128));
    ASSERT_TRUE(m.lock());

    // A forked child's copy counts as unlocked: its unlock() gives nothing
    // back, and a new object in the child waits for the parent's unit.
    const std::string waiting = dir.file("waiting");
    const pid_t child = vtest::forkChild([&] {
        m.unlock();
        if (semValue(m.handle()) != 0)
            return 1;
        QtSharedMemory other(key);
        vtest::writeFile(waiting, "1");
        if (!other.lock())
            return 2;
        other.unlock();
        return m.lock() ? (m.unlock(), 0) : 3;
    });
    EXPECT_TRUE(vtest::waitFor([&] { return exists(waiting) && semWaiters(m.handle()) == 1; }));
    EXPECT_EQ(0, semValue(m.handle()));
    m.unlock();
    EXPECT_EQ(0, vtest::waitChild(child, std::chrono::seconds(10)));
    EXPECT_EQ(1, semValue(m.handle()));

    // Daemon mode: the intermediate process's exit returns its unit; the
    // daemon's unlock() adds none, and the daemon can lock again.
    const std::string result = dir.file("result");
    const pid_t starter = vtest::forkChild([&] {
        QtSharedMemory d(key);
        if (!d.lock())
            return 2;
        const pid_t intermediate = getpid();
        DaemonRun svc([&] {
            vtest::waitFor([&] { return getppid() != intermediate; });
            d.unlock();
            const int after = semValue(d.handle());
            const bool again = d.lock();
            const int locked = semValue(d.handle());
            d.unlock();
            return std::to_string(after) + (again ? " 1 " : " 0 ") + std::to_string(locked) + ".";
        }, result);
        return svc.run() ? 0 : 1;
    });
    EXPECT_EQ(0, vtest::waitChild(starter));
    ASSERT_TRUE(vtest::waitFor([&] { return vtest::readFile(result).find('.') != std::string::npos; }));
    EXPECT_EQ("1 1 0.", vtest::readFile(result));
    EXPECT_EQ(1, semValue(m.handle()));
    EXPECT_TRUE(m.destroy());
}

TEST(QtSharedMemory, CreateAfterAnotherProcessDestroyedIsFoundByPeers)
{
    Key key;
    QtSharedMemory a(key);
    ASSERT_TRUE(a.create(64));
    pid_t child = vtest::forkChild([&] {
        QtSharedMemory b(key);
        return b.destroy() ? 0 : 1;
    });
    ASSERT_EQ(0, vtest::waitChild(child));
    EXPECT_FALSE(exists(keyFileOf(key)));

    // The key file comes back, and a fresh peer finds the new segment.
    ASSERT_TRUE(a.create(64));
    EXPECT_TRUE(exists(keyFileOf(key)));
    ASSERT_TRUE(a.attach());
    std::strcpy(static_cast<char*>(a.data()), "second");
    child = vtest::forkChild([&] {
        QtSharedMemory c(key);
        if (!c.attach())
            return 1;
        const bool same = std::strcmp(static_cast<const char*>(c.data()), "second") == 0;
        c.detach();
        return same ? 0 : 2;
    });
    EXPECT_EQ(0, vtest::waitChild(child));
    EXPECT_TRUE(a.detach());
    EXPECT_TRUE(a.destroy());
}

// A creator killed between making the semaphore and setting it leaves a set of
// value 0 that nobody ever set.
TEST(QtSharedMemory, CreatorKilledHalfWayDoesNotWedgeTheKey)
{
    Key key;
    const std::string file = keyFileOf(key);
    const pid_t creator = vtest::forkChild([&] {
        close(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660));
        const key_t h = ftok(file.c_str(), 'Q');
        if (shmget(h, 64, IPC_CREAT | IPC_EXCL | 0660) == -1 || semget(h, 1, IPC_CREAT | IPC_EXCL | 0660) == -1)
            return 1;
        raise(SIGKILL);
        return 2;
    });
    ASSERT_EQ(-1, vtest::waitChild(creator));

    // lock() and attach() give up with LockError instead of waiting for ever,
    // also while signals keep interrupting their wait.
    const pid_t user = vtest::forkChild([&] {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr);
        const struct itimerval every2ms = {{0, 2000}, {0, 2000}};
        setitimer(ITIMER_REAL, &every2ms, nullptr);
        QtSharedMemory m(key);
        if (m.lock() || m.error() != QtSharedMemory::LockError)
            return 1;
        return !m.attach() && m.error() == QtSharedMemory::LockError && !m.data() ? 0 : 2;
    });
    EXPECT_EQ(0, vtest::waitChild(user, std::chrono::seconds(10)));

    // create() reclaims the leftovers.
    QtSharedMemory m(key);
    ASSERT_TRUE(m.create(64)) << m.errorString().toStdString();
    EXPECT_TRUE(m.attach());
    EXPECT_TRUE(m.lock());
    m.unlock();
    EXPECT_TRUE(m.detach());
    EXPECT_TRUE(m.destroy());
}

TEST(QtSharedMemory, FailedCreateKeepsTheSize)
{
    Key key;
    QtSharedMemory m(key);
    EXPECT_FALSE(m.create(-5));
    EXPECT_EQ(0, m.size());
    QtSharedMemory owner(key);
    ASSERT_TRUE(owner.create(4096));
    ASSERT_TRUE(m.attach());
    EXPECT_EQ(4096, m.size());
    EXPECT_FALSE(m.create(1 << 30));
    EXPECT_EQ(QtSharedMemory::AlreadyExists, m.error());
    EXPECT_EQ(4096, m.size());
    EXPECT_TRUE(m.detach());
    EXPECT_TRUE(owner.destroy());
}

TEST(QtSharedMemory, AnotherUsersKeyFileAndObjectsAreRefused)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    Key key;
    vtest::TempDir dir;
    chmod(dir.path().c_str(), 0777);
    const std::string file = keyFileOf(key);

    // A planted link is not followed.
    const std::string own = dir.file("own");
    pid_t attacker = vtest::forkAttacker([&] {
        vtest::writeFile(own, "");
        return symlink(own.c_str(), file.c_str()) == 0 ? 0 : 1;
    });
    ASSERT_EQ(0, vtest::waitChild(attacker));
    QtSharedMemory m(key);
    EXPECT_FALSE(m.create(4096));
    EXPECT_EQ(QtSharedMemory::KeyError, m.error());
    unlink(file.c_str());

    // The attacker's own key file, segment and semaphore, open to everyone.
    attacker = vtest::forkAttacker([&] {
        close(open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        const key_t h = ftok(file.c_str(), 'Q');
        const int sem = semget(h, 1, IPC_CREAT | IPC_EXCL | 0666);
        if (shmget(h, 4096, IPC_CREAT | IPC_EXCL | 0666) == -1 || sem == -1 || semctl(sem, 0, SETVAL, 1) != 0)
            return 1;
        return 0;
    });
    ASSERT_EQ(0, vtest::waitChild(attacker));
    EXPECT_FALSE(m.create(4096));
    EXPECT_FALSE(m.attach());
    EXPECT_EQ(nullptr, m.data());
    EXPECT_EQ(QtSharedMemory::LockError, m.error());
    EXPECT_NE(-1, m.errorString().indexOf(QStringLiteral("uid 65534")));
    EXPECT_NE(-1, m.errorString().indexOf(QStringLiteral("mode 0666"))) << m.errorString().toStdString();
    EXPECT_FALSE(m.lock());
    EXPECT_EQ(QtSharedMemory::PermissionDenied, m.error());

    // Handed to root with IPC_SET, they still belong to their creator.
    attacker = vtest::forkAttacker([&] {
        const key_t h = ftok(file.c_str(), 'Q');
        struct semid_ds sds = {};
        sds.sem_perm.uid = 0;
        sds.sem_perm.gid = 0;
        sds.sem_perm.mode = 0666;
        return semctl(semget(h, 0, 0), 0, IPC_SET, &sds) == 0 ? 0 : 1;
    });
    ASSERT_EQ(0, vtest::waitChild(attacker));
    EXPECT_FALSE(m.attach());
    EXPECT_NE(-1, m.errorString().indexOf(QStringLiteral("created by uid 65534"))) << m.errorString().toStdString();
}

TEST(QtSharedMemory, UsersOfOneGroupShareASegment)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    Key key;
    const gid_t group = vtest::kAttackerId;
    pid_t user = vtest::forkAs(vtest::kAttackerId - 1, group, [&] {
        QtSharedMemory m(key);
        if (!m.create(64) || !m.attach() || !m.lock())
            return 1;
        std::strcpy(static_cast<char*>(m.data()), "from the first user");
        m.unlock();
        return m.detach() ? 0 : 2;
    });
    ASSERT_EQ(0, vtest::waitChild(user));
    user = vtest::forkAs(vtest::kAttackerId, group, [&] {
        QtSharedMemory m(key);
        if (!m.attach())
            return 3;
        if (!m.lock())
            return 1;
        const bool same = std::strcmp(static_cast<const char*>(m.data()), "from the first user") == 0;
        m.unlock();
        return m.detach() && same ? 0 : 2;
    });
    EXPECT_EQ(0, vtest::waitChild(user));
}

TEST(QtSharedMemory, SegmentOfAnEndedCreatorAlreadyExists)
{
    Key key;
    const pid_t creator = vtest::forkChild([&] {
        QtSharedMemory m(key);
        return m.create(64) ? 0 : 1;
    });
    ASSERT_EQ(0, vtest::waitChild(creator));
    QtSharedMemory m(key);
    EXPECT_FALSE(m.create(64));
    EXPECT_EQ(QtSharedMemory::AlreadyExists, m.error());
    EXPECT_EQ("shared memory segment: already exists", m.errorString().toStdString());
    EXPECT_TRUE(m.attach());
    EXPECT_TRUE(m.detach());
}
