#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>

#include <VCore/stateful_iterative_thread.h>

#include "testutil.h"

namespace {

// Counts the hooks; can throw from any of them.
class Worker : public VStatefulIterativeThread
{
public:
    enum Step { None, Pre, Iteration, Post };

    explicit Worker(Step throwIn = None, bool absorb = true)
        : VStatefulIterativeThread("worker"), _throwIn(throwIn), _absorb(absorb) {}
    ~Worker() override
    {
        stop();
        join();
    }

    void preProcess() override
    {
        ++pre;
        if (_throwIn == Pre)
            throw VException("pre failed");
    }
    void processIteration() override
    {
        ++iterations;
        if (_throwIn == Iteration)
            throw VException("iteration failed", "VCore/worker", 42);
    }
    void postProcess() override
    {
        ++post;
        if (onPost)
            ++*onPost;
        if (_throwIn == Post)
            throw VException("post failed");
    }
    void handleError(const VException& e) override
    {
        error = e.what();
        ++errors;
        if (!_absorb)
            VStatefulIterativeThread::handleError(e);
    }

    std::atomic<int> pre{0}, iterations{0}, post{0}, errors{0};
    std::string error;
    // Counted outside the object too, so it can be read after the delete.
    std::atomic<int>* onPost = nullptr;

private:
    Step _throwIn;
    bool _absorb;
};

} // namespace

TEST(VStatefulIterativeThread, StopBeforeStartRunsOnlyTheHooks)
{
    Worker w;
    EXPECT_EQ(w.getState(), VStatefulIterativeThread::TS_INITED);
    EXPECT_FALSE(w.isStopping());
    w.stop();
    EXPECT_TRUE(w.isStopping());
    w.start();
    w.join();
    EXPECT_EQ(w.pre, 1);
    EXPECT_EQ(w.iterations, 0);
    EXPECT_EQ(w.post, 1);
    EXPECT_EQ(w.getState(), VStatefulIterativeThread::TS_STOPPED);
}

TEST(VStatefulIterativeThread, ErrorsEndTheRunInRunningState)
{
    // An error in any step goes to handleError(); nothing runs after it and
    // the state stays TS_RUNNING.
    struct Case
    {
        Worker::Step step;
        bool stopFirst;
        int iterations, post;
        const char* error;
    };
    const Case cases[] = {
        {Worker::Pre, false, 0, 0, "pre failed"},
        {Worker::Iteration, false, 1, 0, "VCore/worker:42 iteration failed"},
        {Worker::Post, true, 0, 1, "post failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        Worker w(c.step);
        if (c.stopFirst)
            w.stop();
        w.start();
        w.join();
        EXPECT_EQ(w.pre, 1);
        EXPECT_EQ(w.iterations, c.iterations);
        EXPECT_EQ(w.post, c.post);
        EXPECT_EQ(w.errors, 1);
        EXPECT_EQ(w.error, c.error);
        EXPECT_EQ(w.getState(), VStatefulIterativeThread::TS_RUNNING);
    }
}

TEST(VStatefulIterativeThread, DefaultHandlerRethrowsACopy)
{
    Worker w(Worker::None, false);
    const VException e("original", "VCore/x", 5);
    try {
        w.VStatefulIterativeThread::handleError(e);
        ADD_FAILURE() << "no exception";
    } catch (const VException& copy) {
        EXPECT_STREQ(copy.what(), e.what());
        EXPECT_EQ(copy.getLine(), 5u);
    }
}

TEST(VStatefulIterativeThread, DefaultHandlerInThreadDoesNotEndProcess)
{
    const pid_t pid = vtest::forkChild([] {
        std::string text;
        {
            vtest::CaptureFd err(2);
            Worker w(Worker::Iteration, false);
            w.start();
            w.join();
            text = err.text();
        }
        return text.find("VCore/worker:42 iteration failed") != std::string::npos ? 0 : 1;
    });
    EXPECT_EQ(vtest::waitChild(pid), 0);
}

TEST(VStatefulIterativeThread, StopEndsABusyLoopPromptly)
{
    Worker w;
    w.start();
    ASSERT_TRUE(vtest::waitFor([&] { return w.iterations > 1000; }));
    EXPECT_EQ(w.getState(), VStatefulIterativeThread::TS_RUNNING);
    w.stop();
    EXPECT_TRUE(vtest::waitFor(
        [&] { return w.getState() == VStatefulIterativeThread::TS_STOPPED; },
        std::chrono::seconds(1)));
    w.join();
    EXPECT_EQ(w.post, 1);
}

TEST(VStatefulIterativeThread, DestroyingRunningWorkerStopsAndJoins)
{
    // A worker with members stops and joins in its own destructor.
    {
        Worker w;
        w.start();
        ASSERT_TRUE(vtest::waitFor([&] { return w.iterations > 10; }));
    }
    // One without a destructor of its own may only be destroyed once its loop
    // has ended (the base destructor runs after the subclass is gone); the
    // base destructor then joins it.
    struct Plain : VStatefulIterativeThread
    {
        std::atomic<int>& n;
        explicit Plain(std::atomic<int>& c) : VStatefulIterativeThread("plain"), n(c) {}
        void processIteration() override { ++n; }
    };
    std::atomic<int> count{0};
    Plain* p = new Plain(count);
    p->start();
    ASSERT_TRUE(vtest::waitFor([&] { return count > 10; }));
    p->stop();
    ASSERT_TRUE(vtest::waitFor([&] { return p->getState() == VStatefulIterativeThread::TS_STOPPED; }));
    delete p;
    const int n = count;
    VThread::sleepMilli(5);
    EXPECT_EQ(count, n);
}

// Deleted while running, many times over: a subclass that stops and joins in
// its own destructor always finishes its loop through its own postProcess.
TEST(VStatefulIterativeThread, SubclassStoppingInItsDestructorEndsThroughItsOwnHooks)
{
    std::string text;
    int posts = 0;
    const int rounds = 300;
    {
        vtest::CaptureFd err(2);
        for (int i = 0; i < rounds; ++i) {
            Worker* w = new Worker;
            w->start();
            ASSERT_TRUE(vtest::waitFor([&] { return w->iterations >= 3; }));
            std::atomic<int>* post = new std::atomic<int>(0);
            w->onPost = post;
            delete w;
            posts += *post;
            delete post;
        }
        text = err.text();
    }
    EXPECT_EQ(posts, rounds);
    EXPECT_EQ(text, "");
}

// A subclass that breaks the rule: the base destructor names the thread and
// the rule, then stops and joins the worker (here parked inside an iteration
// until the stop request, so it never calls the pure hook).
TEST(VStatefulIterativeThread, BaseDestructorFindingTheWorkerRunningSaysSo)
{
    struct Parked : VStatefulIterativeThread
    {
        std::atomic<bool>& inside;
        explicit Parked(std::atomic<bool>& in) : VStatefulIterativeThread("parked-worker"), inside(in) {}
        void processIteration() override
        {
            inside = true;
            while (!isStopping())
                VThread::sleepMilli(1);
        }
    };
    std::string text;
    {
        vtest::CaptureFd err(2);
        std::atomic<bool> inside{false};
        Parked* p = new Parked(inside);
        p->start();
        ASSERT_TRUE(vtest::waitFor([&] { return inside.load(); }));
        delete p;
        text = err.text();
    }
    EXPECT_NE(text.find("ERROR] VStatefulIterativeThread parked-worker destroyed while its worker runs: a subclass "
                        "must call stop() and join() in its own destructor"),
              std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}
