#include <gtest/gtest.h>

#include <dirent.h>
#include <pwd.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <VCore/thread.h>

#include "testutil.h"

namespace {

int taskCount()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

QString titleOf(VThreadId id)
{
    return QStringLiteral("Event Backtrace for thread%1").arg(static_cast<quint64>(id));
}

// Runs a function object as the thread's work.
class FnRunnable : public VRunnable
{
public:
    explicit FnRunnable(std::function<void()> fn) : _fn(std::move(fn)) {}
    void run() override { _fn(); }

private:
    std::function<void()> _fn;
};

} // namespace

TEST(VTraceElement, DefaultPrintsEmptyNamesAndLineMinusOne)
{
    EXPECT_EQ(VTraceElement().toString(), QStringLiteral(" (:-1) []"));
    VTraceElement e("f", "a.cpp", 12, QStringLiteral("text"));
    EXPECT_EQ(e.toString(), QStringLiteral("f (a.cpp:12) [text]"));
    QString out;
    QTextStream s(&out);
    s << e;
    s.flush();
    EXPECT_EQ(out, e.toString());
}

TEST(VThread, EntryExistsBeforeWorkBeginsAndGoesAtJoin)
{
    std::atomic<bool> pushed{false};
    const VThread* seen = nullptr;
    QString ownTrace;
    FnRunnable work([&] {
        VThread::pushTraceElement(VTraceElement("work", "t.cpp", 1, QStringLiteral("first")));
        pushed = true;
        seen = VThread::getCurrentThread();
        ownTrace = VThread::getStackTrace(false);
    });
    VThread t(&work, "entry");
    EXPECT_EQ(t.getId(), VThreadId(0));
    EXPECT_EQ(t.getName(), QStringLiteral("entry"));
    t.start();
    const VThreadId id = t.getId();
    EXPECT_NE(id, VThreadId(0));
    t.join();
    EXPECT_TRUE(pushed);
    EXPECT_EQ(seen, &t);
    EXPECT_TRUE(ownTrace.contains(titleOf(id) + "- CURRENT THREAD\n"));
    EXPECT_EQ(t.getId(), VThreadId(0));
    EXPECT_FALSE(VThread::getStackTrace(true).contains(titleOf(id)));
    // Joining again does nothing; starting again is refused.
    EXPECT_NO_THROW(t.join());
    EXPECT_THROW(t.start(), VException);
}

TEST(VThread, StackTraceTextListsNewestEventFirst)
{
    QString withEvents, empty, afterPop;
    int count = -1;
    VThreadId id = 0;
    FnRunnable work([&] {
        id = vThreadSelf();
        empty = VThread::getStackTrace(false);
        VThread::pushTraceElement(VTraceElement("fa", "a.cpp", 1, QStringLiteral("A")));
        VThread::pushTraceElement(VTraceElement("fb", "b.cpp", -2, QStringLiteral("B")));
        count = VThread::getTraceCount();
        withEvents = VThread::getStackTrace(false);
        VThread::popTraceElement();
        afterPop = VThread::getStackTrace(false);
        VThread::clearStackTrace();
        VThread::popTraceElement(); // on an empty stack: nothing happens
    });
    VThread t(&work, "trace");
    t.start();
    t.join();

    const QString head = "\n" + titleOf(id) + "- CURRENT THREAD\n"
                         + "-----------------------------------\n";
    EXPECT_EQ(count, 2);
    EXPECT_EQ(empty, head + "No events\n\n");
    EXPECT_EQ(withEvents, head + "(2)\nfb (b.cpp:-2) [B]\n(1)\nfa (a.cpp:1) [A]\n\n");
    EXPECT_EQ(afterPop, head + "(1)\nfa (a.cpp:1) [A]\n\n");
}

TEST(VThread, AllThreadsAreListedByName)
{
    std::atomic<int> ready{0};
    std::atomic<bool> release{false};
    FnRunnable work([&] {
        ++ready;
        while (!release)
            VThread::sleepMilli(1);
    });
    VThread b(&work, "zz_listed_b");
    VThread a(&work, "zz_listed_a");
    b.start();
    a.start();
    ASSERT_TRUE(vtest::waitFor([&] { return ready == 2; }));
    const QString all = VThread::getStackTrace(true);
    const int posA = all.indexOf(titleOf(a.getId()) + "\n");
    const int posB = all.indexOf(titleOf(b.getId()) + "\n");
    EXPECT_GE(posA, 0);
    EXPECT_GT(posB, posA);
    release = true;
    a.join();
    b.join();
}

TEST(VThread, OutsideThreadsNeedRegistration)
{
    std::string notRegistered;
    QString emptyTrace = QStringLiteral("unset");
    int countAfterReRegister = -1;
    bool objectIsNull = false;
    QString trace;
    VThreadId id = 0;
    std::thread outside([&] {
        id = vThreadSelf();
        try {
            VThread::pushTraceElement(VTraceElement());
        } catch (const VException& e) {
            notRegistered = e.what();
        }
        emptyTrace = VThread::getStackTrace(false);
        VThread::registerExternalThread(vThreadSelf());
        VThread::pushTraceElement(VTraceElement("f", "x.cpp", 3, QString()));
        objectIsNull = VThread::getCurrentThread() == nullptr;
        // Registering again replaces the entry and its events.
        VThread::registerExternalThread(vThreadSelf());
        countAfterReRegister = VThread::getTraceCount();
        trace = VThread::getStackTrace(false);
    });
    outside.join();
    EXPECT_EQ(notRegistered, "Thread " + std::to_string(static_cast<qint64>(id))
                                 + " was not registered. Please call the developers");
    EXPECT_TRUE(emptyTrace.isEmpty());
    EXPECT_TRUE(objectIsNull);
    EXPECT_EQ(countAfterReRegister, 0);
    EXPECT_EQ(trace.count(titleOf(id)), 1);
    EXPECT_TRUE(trace.endsWith("No events\n\n"));
    // The outside thread's entry stays (nothing removes it).
    EXPECT_TRUE(VThread::getStackTrace(true).contains(titleOf(id) + "\n"));
}

TEST(VThread, NeverStartedObjectTouchesNothing)
{
    const QString before = VThread::getStackTrace(true);
    {
        VThread t("idle");
    }
    {
        VThread t("joined-unstarted");
        t.join();
        EXPECT_THROW(t.start(), VException);
    }
    EXPECT_EQ(VThread::getStackTrace(true), before);
}

TEST(VThread, StartingTwiceIsRefused)
{
    std::atomic<bool> release{false};
    FnRunnable work([&] {
        while (!release)
            VThread::sleepMilli(1);
    });
    VThread t(&work, "twice");
    t.start();
    const VThreadId id = t.getId();
    try {
        t.start();
        ADD_FAILURE() << "second start() did not throw";
    } catch (const VException& e) {
        EXPECT_STREQ(e.what(), "VThread::start() failed: thread twice was already started or joined");
    }
    EXPECT_EQ(t.getId(), id);
    release = true;
    t.join();
}

TEST(VThread, DestroyingRunningThreadCancelsAndWaits)
{
    // ThreadSanitizer adds a helper thread on the first thread creation:
    // let that happen before the count is taken.
    std::thread([] {}).join();
    const int tasksBefore = taskCount();
    // The runnable outlives the thread object; the work touches it until it
    // is cancelled at the sleep.
    struct Busy : VRunnable
    {
        std::atomic<long> rounds{0};
        std::vector<int> data = std::vector<int>(64, 1);
        void run() override
        {
            for (;;) {
                for (int& v : data)
                    ++v;
                ++rounds;
                VThread::sleepMilli(1);
            }
        }
    } busy;
    VThreadId id = 0;
    {
        VThread t(&busy, "busy");
        t.start();
        id = t.getId();
        ASSERT_TRUE(vtest::waitFor([&] { return busy.rounds > 3; }));
    }
    // The thread is gone once the destructor returns.
    const long rounds = busy.rounds;
    EXPECT_EQ(taskCount(), tasksBefore);
    VThread::sleepMilli(5);
    EXPECT_EQ(busy.rounds, rounds);
    EXPECT_FALSE(VThread::getStackTrace(true).contains(titleOf(id) + "\n"));
}

TEST(VThread, CancelledThreadReleasesRegistryLock)
{
    // A thread cancelled while it keeps using the registry must not leave the
    // registry lock held.
    struct Pusher : VRunnable
    {
        std::atomic<long> rounds{0};
        void run() override
        {
            for (;;) {
                VThread::pushTraceElement(VTraceElement("p", "p.cpp", 1, QStringLiteral("x")));
                VThread::popTraceElement();
                ++rounds;
                pthread_testcancel();
            }
        }
    } pusher;
    for (int i = 0; i < 20; ++i) {
        VThread t(&pusher, "pusher");
        t.start();
        ASSERT_TRUE(vtest::waitFor([&] { return pusher.rounds > 0; }));
    }
    std::atomic<bool> done{false};
    std::thread probe([&] {
        VThread::getStackTrace(true);
        done = true;
    });
    EXPECT_TRUE(vtest::waitFor([&] { return done.load(); }, std::chrono::seconds(10)));
    probe.join();
}

TEST(VThread, ExceptionLeavingRunIsLogged)
{
    struct Thrower : VThread
    {
        Thrower() : VThread("thrower") {}
        void run() override { throw VException("worker failed", "VCore/test", 7); }
    } t;
    vtest::CaptureFd err(2);
    t.start();
    t.join();
    const std::string text = err.text();
    EXPECT_NE(text.find(" ERROR] "), std::string::npos) << text;
    EXPECT_NE(text.find("VCore/test:7 worker failed"), std::string::npos) << text;
}

TEST(VThread, FailedJoinKeepsTheThread)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer aborts on a thread joining itself";
#endif
    VThread* self = nullptr;
    std::string joinError;
    std::atomic<bool> go{false};
    std::atomic<bool> joinFailed{false};
    FnRunnable work([&] {
        while (!go)
            VThread::sleepMilli(1);
        try {
            self->join();
        } catch (const VException& e) {
            joinError = e.what();
            joinFailed = true;
        }
    });
    VThread t(&work, "selfjoin");
    self = &t;
    t.start();
    const VThreadId id = t.getId();
    go = true;
    vtest::waitFor([&] { return joinFailed.load(); }, std::chrono::seconds(5));
    t.join();
    EXPECT_EQ(joinError, "pthread_join() failed: Resource deadlock avoided");
    EXPECT_NE(id, VThreadId(0));
}

TEST(VThread, FailedCreateThrowsAndAddsNoEntry)
{
    const pid_t pid = vtest::forkChild([] {
        // Root ignores RLIMIT_NPROC: drop to nobody, already at the limit
        // (another user is at it already).
        const passwd* nobody = getpwnam("nobody");
        if (!nobody)
            return 10;
        const rlimit one = {1, 1};
        if (setrlimit(RLIMIT_NPROC, &one) != 0)
            return 11;
        if (geteuid() == 0
            && (setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0
                || setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0))
            return 12;
        const QString before = VThread::getStackTrace(true);
        VThread t("doomed");
        try {
            t.start();
            return 13;
        } catch (const VException& e) {
            if (std::string(e.what()) != "pthread_create() failed: Resource temporarily unavailable")
                return 14;
        }
        if (t.getId() != 0 || VThread::getStackTrace(true) != before)
            return 15;
        return 0;
    });
    EXPECT_EQ(vtest::waitChild(pid), 0);
}

TEST(VThread, SleepMilliWaitsAtLeastTheTime)
{
    const auto start = std::chrono::steady_clock::now();
    VThread::sleepMilli(20);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

// Times past INT_MAX milliseconds still sleep (the thread is cancelled).
TEST(VThread, LongSleepMilliDoesNotReturnAtOnce)
{
    std::atomic<bool> woke{false};
    pthread_t th;
    auto body = [](void* arg) -> void* {
        VThread::sleepMilli(std::numeric_limits<quint32>::max());
        static_cast<std::atomic<bool>*>(arg)->store(true);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&th, nullptr, body, &woke), 0);
    EXPECT_FALSE(vtest::waitFor([&] { return woke.load(); }, std::chrono::milliseconds(200)));
    pthread_cancel(th);
    pthread_join(th, nullptr);
    EXPECT_FALSE(woke.load());
}

// Handled signals interrupt sleep(3): the rest of the time is slept anyway.
TEST(VThread, SleepOutlastsHandledSignals)
{
    struct sigaction sa = {};
    struct sigaction old = {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    const pthread_t sleeper = pthread_self();
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread pester([&] {
        while (!done.load()) {
            pthread_kill(sleeper, SIGUSR1);
            ++sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    VThread::sleep(1);
    const auto slept = std::chrono::steady_clock::now() - start;
    done = true;
    pester.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GT(sent.load(), 1);
    EXPECT_GE(slept, std::chrono::milliseconds(990));
}

TEST(VThread, ConcurrentEventsAndBacktraces)
{
    constexpr int kThreads = 6;
    std::atomic<bool> stop{false};
    std::atomic<int> errors{0};
    FnRunnable work([&] {
        while (!stop) {
            VThread::pushTraceElement(VTraceElement("w", "w.cpp", 1, QStringLiteral("e")));
            if (VThread::getTraceCount() != 1)
                ++errors;
            VThread::popTraceElement();
        }
    });
    std::vector<std::unique_ptr<VThread>> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(new VThread(&work, "conc"));
        threads.back()->start();
    }
    for (int i = 0; i < 200; ++i)
        VThread::getStackTrace(true);
    stop = true;
    for (auto& t : threads)
        t->join();
    EXPECT_EQ(errors, 0);
}
