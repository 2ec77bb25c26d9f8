#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "VCore/mutex.h"
#include "testutil.h"

struct VMutexTestAccess
{
    static const char* errorStr(int code) { return VMutex::getErrorStr(code); }
    // Whether another thread could take the mutex now; it does not wait.
    static bool freeForAnotherThread(VMutex& m)
    {
        bool free = false;
        std::thread([&] {
            free = pthread_mutex_trylock(&m._mutex) == 0;
            if (free)
                pthread_mutex_unlock(&m._mutex);
        }).join();
        return free;
    }
};

TEST(VMutex, RecursiveLockingBlocksOthersUntilLastUnlock)
{
    VMutex m;
    m.lock();
    m.lock();
    std::atomic<bool> acquired{false};
    std::thread t([&] {
        m.lock();
        acquired = true;
        m.unlock();
    });
    m.unlock();
    // Still held once: the other thread must not get in.
    EXPECT_FALSE(VMutexTestAccess::freeForAnotherThread(m));
    EXPECT_FALSE(acquired.load());
    m.unlock();
    EXPECT_TRUE(vtest::waitFor([&] { return acquired.load(); }));
    t.join();
}

TEST(VMutex, UnlockByNonOwnerThrowsEperm)
{
    VMutex m;
    try {
        m.unlock();
        FAIL() << "unlock of a free mutex must throw";
    } catch (const VException& e) {
        EXPECT_STREQ(e.what(), "failed to unlock() VMutex: EPERM");
    }
    m.lock();
    std::string text;
    std::thread t([&] {
        try {
            m.unlock();
        } catch (const VException& e) {
            text = e.what();
        }
    });
    t.join();
    EXPECT_EQ(text, "failed to unlock() VMutex: EPERM");
    m.unlock();
}

TEST(VMutex, ErrorNamesAndText)
{
    EXPECT_STREQ(VMutexTestAccess::errorStr(1), "EPERM");
    EXPECT_STREQ(VMutexTestAccess::errorStr(11), "EAGAIN");
    EXPECT_STREQ(VMutexTestAccess::errorStr(12), "ENOMEM");
    EXPECT_STREQ(VMutexTestAccess::errorStr(16), "EBUSY");
    EXPECT_STREQ(VMutexTestAccess::errorStr(22), "EINVAL");
    EXPECT_STREQ(VMutexTestAccess::errorStr(35), "EDEADLK");
    EXPECT_STREQ(VMutexTestAccess::errorStr(4), "4");
    EXPECT_EQ(VMutex().toString(), QString("instance of VMutex"));
}

TEST(VMutex, DestroyingALockedMutexReportsOnStderr)
{
    vtest::CaptureFd cap(2);
    {
        VMutex m;
        m.lock();
    }
    VMutex::setIgnoreErrorsInDtor(true);
    {
        VMutex m;
        m.lock();
    }
    VMutex::setIgnoreErrorsInDtor(false);
    EXPECT_EQ(cap.text(), "pthread_mutex_destroy() failed: EBUSY\n");
}

TEST(VMutexLocker, EarlyUnlockAndRelock)
{
    VMutex m;
    {
        VMutexLocker locker(&m);
        EXPECT_EQ(locker.lock(), &m);
        EXPECT_FALSE(VMutexTestAccess::freeForAnotherThread(m));
        locker.unlock();
        EXPECT_TRUE(VMutexTestAccess::freeForAnotherThread(m));
        locker.relock();
        locker.relock(); // does nothing while held
        EXPECT_FALSE(VMutexTestAccess::freeForAnotherThread(m));
    }
    // The scope's single unlock balanced the locker: the mutex is free.
    EXPECT_TRUE(VMutexTestAccess::freeForAnotherThread(m));
}
