#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <VDebug/vassert.h>

#include "testutil.h"

namespace {

// Handlers live until the process ends and stay registered, so each test
// records only the calls of its own generation.
std::mutex logMutex;
std::vector<std::string> callLog;
std::atomic<int> generation{0};

struct Recorder : VAssertionFailedHandler
{
    Recorder(std::string n) : name(std::move(n)), gen(generation.load()) {}
    void handle() override
    {
        if (gen != generation)
            return;
        std::lock_guard<std::mutex> lock(logMutex);
        callLog.push_back(name);
    }
    std::string name;
    int gen;
};

void newGeneration()
{
    ++generation;
    std::lock_guard<std::mutex> lock(logMutex);
    callLog.clear();
}

std::vector<std::string> calls()
{
    std::lock_guard<std::mutex> lock(logMutex);
    return callLog;
}

} // namespace

TEST(VAssert, HandlersRunInRegistrationOrder)
{
    newGeneration();
    vtest::CaptureFd out(1), err(2);
    VAssert::handleFailedAssertion();
    EXPECT_TRUE(calls().empty());

    Recorder* a = new Recorder("A");
    Recorder* b = new Recorder("B");
    VAssert::registerAssertionFailedHandler(a);
    VAssert::registerAssertionFailedHandler(b);
    VAssert::registerAssertionFailedHandler(a);
    VAssert::handleFailedAssertion();
    EXPECT_EQ(calls(), (std::vector<std::string>{"A", "B", "A"}));
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
}

TEST(VAssert, HandlerMayRegisterAndReportAgain)
{
    newGeneration();
    struct Registering : Recorder
    {
        Registering() : Recorder("R") {}
        void handle() override
        {
            Recorder::handle();
            if (!registered) {
                registered = true;
                VAssert::registerAssertionFailedHandler(new Recorder("late"));
                // Same thread, recursive lock: no deadlock.
                VAssert::handleFailedAssertion();
            }
        }
        bool registered = false;
    };
    VAssert::registerAssertionFailedHandler(new Registering);
    VAssert::handleFailedAssertion();
    // The inner report already sees the new handler; the outer walk does not.
    EXPECT_EQ(calls(), (std::vector<std::string>{"R", "R", "late"}));
    newGeneration();
}

TEST(VAssert, OtherThreadsWaitForRunningHandlers)
{
    newGeneration();
    struct Blocking : VAssertionFailedHandler
    {
        std::atomic<bool> entered{false}, release{false};
        bool armed = true;
        void handle() override
        {
            if (!armed)
                return;
            armed = false;
            entered = true;
            while (!release)
                std::this_thread::yield();
        }
    };
    Blocking* blocking = new Blocking;
    VAssert::registerAssertionFailedHandler(blocking);

    std::thread a([] { VAssert::handleFailedAssertion(); });
    ASSERT_TRUE(vtest::waitFor([&] { return blocking->entered.load(); }));
    std::atomic<bool> bDone{false}, cDone{false};
    std::thread b([&] {
        VAssert::handleFailedAssertion();
        bDone = true;
    });
    std::thread c([&] {
        VAssert::registerAssertionFailedHandler(new Recorder("C"));
        cDone = true;
    });
    // Both stay blocked while the handler runs.
    EXPECT_FALSE(vtest::waitFor([&] { return bDone || cDone; }, std::chrono::milliseconds(100)));
    blocking->release = true;
    a.join();
    b.join();
    c.join();
    EXPECT_TRUE(bDone && cDone);
    newGeneration();
}
