#include "VCore/stateful_iterative_thread.h"

#include "VDebug/debug.h"

VStatefulIterativeThread::~VStatefulIterativeThread()
{
    // Too late to stop safely (see the header); still never free the object
    // under its worker.
    if (getId() != 0 && !_runEnded.load())
        VERROR(VDebug::STDERR) << "VStatefulIterativeThread" << getName()
                               << "destroyed while its worker runs: a subclass must call stop() and join() in "
                                  "its own destructor"
                               << endl;
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
    struct EndMark
    {
        std::atomic<bool>& ended;
        ~EndMark() { ended.store(true); }
    } endMark{_runEnded};
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
