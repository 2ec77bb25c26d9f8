// VStatefulIterativeThread: a VThread whose work is a loop of iterations
// between a set-up and a tear-down step, ended by a stop request.
#ifndef VORNLIB_VCORE_STATEFUL_ITERATIVE_THREAD_H
#define VORNLIB_VCORE_STATEFUL_ITERATIVE_THREAD_H

#include "VCore/vornlib_export.h"

#include <atomic>

#include "VCore/thread.h"
#include "VCore/vexception.h"

// Thread-safety: stop(), isStopping() and getState() from any thread; the rest as VThread; hooks run in the worker.
//
// A VException from preProcess(), processIteration() or postProcess() ends
// the loop and goes to handleError(); when handleError() returns, the state
// stays TS_RUNNING: no state marks a run ended by an error, so a supervisor
// must not wait for TS_STOPPED after an error it let handleError() absorb.
// The default handleError() throws the exception on; the thread then logs it
// and ends.
//
// Every subclass must call stop() and join() in its own destructor. By the
// time this destructor runs the object is no longer the subclass: a worker
// still looping would call the pure processIteration() (the process aborts)
// and never reach the subclass's postProcess(). When this destructor still
// finds the worker running it writes one VERROR line on VDebug::STDERR naming
// the thread, then stops and joins it.
class VORN_EXPORT VStatefulIterativeThread : public VThread
{
public:
    enum thread_state_t {
        TS_INITED = 0,
        TS_RUNNING = 1,
        TS_STOPPED = 2
    };

    explicit VStatefulIterativeThread(const char* name)
        : VThread(name), _shouldStop(false), _state(TS_INITED), _runEnded(false) {}
    virtual ~VStatefulIterativeThread();

    // Asks the loop to end before its next iteration; does not wait.
    void stop() { _shouldStop.store(true); }
    thread_state_t getState() const { return _state.load(); }
    bool isStopping() const { return _shouldStop.load(); }

    virtual void processIteration() = 0;
    virtual void preProcess() {}
    virtual void postProcess() {}
    // The default throws a copy of e.
    virtual void handleError(const VException& e);

protected:
    virtual void run();

private:
    std::atomic<bool> _shouldStop;
    std::atomic<thread_state_t> _state;
    // run() has returned or thrown: the worker calls no hook any more.
    std::atomic<bool> _runEnded;
};

#endif
