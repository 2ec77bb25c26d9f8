#include "VCore/stateful_iterative_thread.h"

#include "VDebug/debug.h"

VStatefulIterativeThread::~VStatefulIterativeThread()
{
    // Stop the loop before the object goes: it calls this object's hooks.
    stop();
    try {
        join();
    } catch (const VException& e) {
        VERROR(VDebug::STDERR) << e.what() << endl;
    }
}

void VStatefulIterativeThread::handleError(const VException& e)
{
    throw VException(e);
}

void VStatefulIterativeThread::run()
{
    _state.store(TS_RUNNING);
    try {
        preProcess();
        // The flag is read before every iteration, the first included.
        while (!_shouldStop.load())
            processIteration();
        postProcess();
        _state.store(TS_STOPPED);
    } catch (const VException& e) {
        handleError(e);
    }
}
