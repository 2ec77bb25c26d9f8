#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "VCore/readerswriterlock.h"
#include "VCore/thread.h"
#include "VDebug/debug.h"
#include "ipctest.h"
#include "testutil.h"

namespace {

// A child process that takes a reader or writer lock on the pair, reports
// '+' (locked) or '-' (not locked) on its pipe, and holds the lock until the
// parent says go.
class Holder
{
public:
    Holder(bool writer, const std::string& sem, const std::string& writerSem, quint32 n)
    {
        _pid = vtest::forkChild([&] {
            VSemaphore s(n, sem.c_str());
            VOneLockSemaphore w(writerSem.c_str());
            if (writer) {
                VWriterLocker lock(&s, &w);
                _locked.send(lock.isLocked() ? '+' : '-');
                _go.receive(60000);
            } else {
                VReaderLocker lock(&s, &w);
                _locked.send(lock.isLocked() ? '+' : '-');
                _go.receive(60000);
            }
            return 0;
        });
    }
    ~Holder()
    {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            vtest::waitChild(_pid);
        }
    }

    char waitLocked() { return _locked.receive(); }
    bool hasLocked() { return _locked.ready(); }
    // Lets the child unlock and end.
    int finish()
    {
        _go.send();
        const int rc = vtest::waitChild(_pid);
        _pid = -1;
        return rc;
    }
    void killHard()
    {
        kill(_pid, SIGKILL);
        vtest::waitChild(_pid);
        _pid = -1;
    }

private:
    vtest::Pipe _locked;
    vtest::Pipe _go;
    pid_t _pid;
};

class VLockersTest : public ::testing::Test
{
protected:
    VLockersTest()
        : semName(sems.add(vtest::uniqueName("rw"))), writerName(sems.add(vtest::uniqueName("rww")))
    {
    }

    std::unique_ptr<Holder> reader() { return std::make_unique<Holder>(false, semName, writerName, N); }
    std::unique_ptr<Holder> writer() { return std::make_unique<Holder>(true, semName, writerName, N); }
    bool waiters(const std::string& name, int n)
    {
        return vtest::waitFor([&] { return vtest::semWaiters(name) == n; });
    }

    static constexpr quint32 N = 3;
    vtest::TempDir dir{true};
    vtest::SemCleanup sems;
    std::string semName;
    std::string writerName;
    // Made here first, so the children only open the sets.
    VSemaphore sem{N, semName.c_str()};
    VOneLockSemaphore writerSem{writerName.c_str()};
};

} // namespace

TEST_F(VLockersTest, NReadersShareAndTheNextWaits)
{
    std::vector<std::unique_ptr<Holder>> readers;
    for (quint32 i = 0; i < N; ++i) {
        readers.push_back(reader());
        ASSERT_EQ(readers.back()->waitLocked(), '+');
    }
    EXPECT_EQ(sem.getCurrentCount(), 0);
    auto fourth = reader();
    ASSERT_TRUE(waiters(semName, 1));
    EXPECT_FALSE(fourth->hasLocked());
    EXPECT_EQ(readers[0]->finish(), 0);
    EXPECT_EQ(fourth->waitLocked(), '+');
    EXPECT_EQ(fourth->finish(), 0);
    for (quint32 i = 1; i < N; ++i)
        EXPECT_EQ(readers[i]->finish(), 0);
    EXPECT_EQ(sem.getCurrentCount(), int(N));
}

TEST_F(VLockersTest, WriterWaitsForReadersAndExcludesThem)
{
    auto r1 = reader();
    auto r2 = reader();
    ASSERT_EQ(r1->waitLocked(), '+');
    ASSERT_EQ(r2->waitLocked(), '+');

    auto w = writer();
    // It holds the writer semaphore and the one free unit, and waits.
    ASSERT_TRUE(waiters(semName, 1));
    EXPECT_EQ(writerSem.isOk(), true);
    EXPECT_EQ(vtest::semValue(writerName), 0);
    EXPECT_EQ(r1->finish(), 0);
    EXPECT_FALSE(w->hasLocked());
    EXPECT_EQ(r2->finish(), 0);
    ASSERT_EQ(w->waitLocked(), '+');
    EXPECT_EQ(sem.getCurrentCount(), 0);

    // Readers arriving while the writer holds every unit wait for it.
    auto late = reader();
    ASSERT_TRUE(waiters(semName, 1));
    EXPECT_FALSE(late->hasLocked());
    EXPECT_EQ(w->finish(), 0);
    EXPECT_EQ(late->waitLocked(), '+');
    EXPECT_EQ(late->finish(), 0);
    EXPECT_EQ(sem.getCurrentCount(), int(N));
    EXPECT_EQ(vtest::semValue(writerName), 1);
}

TEST_F(VLockersTest, WritersAreSerialised)
{
    auto w1 = writer();
    ASSERT_EQ(w1->waitLocked(), '+');
    auto w2 = writer();
    ASSERT_TRUE(waiters(writerName, 1));
    EXPECT_FALSE(w2->hasLocked());
    EXPECT_EQ(w1->finish(), 0);
    EXPECT_EQ(w2->waitLocked(), '+');
    EXPECT_EQ(w2->finish(), 0);
}

TEST_F(VLockersTest, KilledWriterGivesTheLockBack)
{
    auto w1 = writer();
    ASSERT_EQ(w1->waitLocked(), '+');
    auto w2 = writer();
    ASSERT_TRUE(waiters(writerName, 1));
    w1->killHard();
    EXPECT_EQ(w2->waitLocked(), '+');
    EXPECT_EQ(w2->finish(), 0);
    EXPECT_EQ(sem.getCurrentCount(), int(N));
}

TEST_F(VLockersTest, WriterSeesItsSetRemovedWhileWaiting)
{
    auto r = reader();
    ASSERT_EQ(r->waitLocked(), '+');
    auto w = writer();
    ASSERT_TRUE(waiters(semName, 1));
    sem.remove();
    // The constructor returns unlocked and the destructor gives the writer
    // semaphore back.
    EXPECT_EQ(w->waitLocked(), '-');
    EXPECT_EQ(w->finish(), 0);
    EXPECT_EQ(vtest::semValue(writerName), 1);
    EXPECT_EQ(r->finish(), 0);
}

TEST_F(VLockersTest, InThreadsOfOneProcess)
{
    {
        VReaderLocker a(&sem, &writerSem);
        VReaderLocker b(&sem, &writerSem);
        EXPECT_TRUE(a.isLocked());
        EXPECT_TRUE(b.isLocked());
        EXPECT_EQ(sem.getCurrentCount(), 1);
    }
    {
        VWriterLocker w(&sem, &writerSem);
        EXPECT_TRUE(w.isLocked());
        EXPECT_EQ(sem.getCurrentCount(), 0);
        EXPECT_EQ(vtest::semValue(writerName), 0);
    }
    EXPECT_EQ(sem.getCurrentCount(), int(N));
    EXPECT_EQ(vtest::semValue(writerName), 1);
}

TEST_F(VLockersTest, BrokenSemaphoresLockNothing)
{
    const VDebug::debug_level_t old = VDebug::getDebugLevel(VDebug::STDERR);
    VDebug::setDebugLevel(VDebug::STDERR, VDebug::VDBG1);
    vtest::CaptureFd err(2);
    {
        VReaderLocker r(nullptr, nullptr);
        EXPECT_FALSE(r.isLocked());
        VWriterLocker w(nullptr, nullptr);
        EXPECT_FALSE(w.isLocked());
        VWriterLocker w2(nullptr, &writerSem);
        EXPECT_FALSE(w2.isLocked());
        EXPECT_EQ(vtest::semValue(writerName), 0);
    }
    EXPECT_EQ(vtest::semValue(writerName), 1);

    // A counting semaphore that is not OK.
    setenv("VORN_TMPDIR", dir.file("missing").c_str(), 1);
    VSemaphore broken(N, "broken");
    setenv("VORN_TMPDIR", dir.path().c_str(), 1);
    ASSERT_FALSE(broken.isOk());
    {
        VReaderLocker r(&broken, &writerSem);
        EXPECT_FALSE(r.isLocked());
    }
    EXPECT_EQ(broken.errorString(), QStringLiteral("invalid semaphore"));
    VDebug::setDebugLevel(VDebug::STDERR, old);
    const std::string text = err.text();
    EXPECT_NE(text.find("DBG1] VReaderLocker : Error getting semaphore \n"), std::string::npos) << text;
    EXPECT_NE(text.find("DBG1] VWriterLocker : Error getting writer semaphore \n"), std::string::npos);
    EXPECT_NE(text.find("DBG1] VWriterLocker : Error getting semaphore \n"), std::string::npos);
    EXPECT_EQ(text.find("Error releasing"), std::string::npos);
}

namespace {

// A thread whose work is a function; deleting it cancels it.
class FnThread : public VThread
{
public:
    explicit FnThread(std::function<void()> f) : VThread("waiter"), _f(std::move(f)) {}

protected:
    void run() override { _f(); }

private:
    std::function<void()> _f;
};

// Deletes a thread blocked in a wait on semaphore name; true when the delete
// returned within seconds (a wait that ignores the cancellation never ends).
bool deleteBlocked(FnThread* t, const std::string& name)
{
    t->start();
    if (!vtest::waitFor([&] { return vtest::semWaiters(name) >= 1; }))
        return false;
    const auto begin = std::chrono::steady_clock::now();
    delete t;
    return std::chrono::steady_clock::now() - begin < std::chrono::seconds(5);
}

} // namespace

// Each wait in the library's semaphores and lockers ends when its thread is
// cancelled, and the cancelled thread holds no unit afterwards.
TEST_F(VLockersTest, DeletingAThreadBlockedInAWaitReturnsAndHoldsNothing)
{
    // The one-unit lock.
    ASSERT_TRUE(writerSem.acquire());
    EXPECT_TRUE(deleteBlocked(new FnThread([&] { writerSem.acquire(); }), writerName));
    EXPECT_TRUE(writerSem.release());
    EXPECT_EQ(vtest::semValue(writerName), 1);

    // A multi-unit acquire cancelled after it took some units.
    ASSERT_TRUE(sem.acquire(1));
    EXPECT_TRUE(deleteBlocked(new FnThread([&] { sem.acquire(N); }), semName));
    EXPECT_EQ(vtest::semValue(semName), int(N) - 1);
    EXPECT_TRUE(sem.release(1));
    ASSERT_TRUE(sem.acquire(N));
    EXPECT_TRUE(sem.release(N));

    // A reader waiting for a writer to go.
    {
        VWriterLocker w(&sem, &writerSem);
        ASSERT_TRUE(w.isLocked());
        EXPECT_TRUE(deleteBlocked(new FnThread([&] { VReaderLocker r(&sem, &writerSem); }), semName));
    }
    EXPECT_EQ(vtest::semValue(semName), int(N));
    EXPECT_EQ(vtest::semValue(writerName), 1);

    // A writer waiting for the reader lock that the deleting thread holds:
    // it gives back the writer semaphore and the units it had collected.
    {
        VReaderLocker r(&sem, &writerSem);
        ASSERT_TRUE(r.isLocked());
        EXPECT_TRUE(deleteBlocked(new FnThread([&] { VWriterLocker w(&sem, &writerSem); }), semName));
        EXPECT_EQ(vtest::semValue(writerName), 1);
        EXPECT_EQ(vtest::semValue(semName), int(N) - 1);
    }
    VWriterLocker w(&sem, &writerSem);
    EXPECT_TRUE(w.isLocked());
    EXPECT_EQ(vtest::semValue(semName), 0);
}
