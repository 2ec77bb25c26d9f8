// Named threads in the registry with event backtraces, and a stateful worker
// that loops until it is stopped.
#include <atomic>
#include <iostream>

#include <VCore/stateful_iterative_thread.h>
#include <VCore/thread.h>

namespace {

class Greeter : public VRunnable
{
public:
    void run() override
    {
        VThread::pushTraceElement(VTraceElement("Greeter::run", "threads_demo", 17, "greeting"));
        VThread::pushTraceElement(VTraceElement("Greeter::run", "threads_demo", 18, "about to print"));
        std::cout << "hello from thread " << qPrintable(VThread::getCurrentThread()->getName())
                  << ", its backtrace:" << qPrintable(VThread::getStackTrace(false));
        VThread::popTraceElement();
    }
};

class Counter : public VStatefulIterativeThread
{
public:
    Counter() : VStatefulIterativeThread("counter") {}
    ~Counter() override
    {
        stop();
        join();
    }
    void preProcess() override { std::cout << "counter: starting" << std::endl; }
    void processIteration() override
    {
        if (++_count == 5)
            stop();
        VThread::sleepMilli(2);
    }
    void postProcess() override { std::cout << "counter: stopped after " << _count << " iterations" << std::endl; }

private:
    std::atomic<int> _count{0};
};

} // namespace

int main()
{
    // The main thread is not registered until it asks to be.
    VThread::registerExternalThread(vThreadSelf());
    VThread::pushTraceElement(VTraceElement("main", "threads_demo", 50, "demo started"));

    Greeter greeter;
    VThread t(&greeter, "greeter");
    t.start();
    t.join();

    Counter counter;
    counter.start();
    counter.join();
    std::cout << "counter state: " << counter.getState() << " (2 = TS_STOPPED)" << std::endl;

    std::cout << "main thread's backtrace:" << qPrintable(VThread::getStackTrace(false));
    return 0;
}
