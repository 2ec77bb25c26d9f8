// Assertion handlers: a process-wide list of callbacks that the application
// registers and runs, in order, when it reports a failed assertion.
#ifndef VORNLIB_VDEBUG_VASSERT_H
#define VORNLIB_VDEBUG_VASSERT_H

#include "VCore/vornlib_export.h"

#include <QList>

class VMutex;

// A callback run on a failed assertion. It must not throw: an exception
// leaving handle() ends the process (std::terminate).
// Thread-safety is that of the implementing class.
class VORN_EXPORT VAssertionFailedHandler
{
public:
    virtual void handle() = 0;
    virtual ~VAssertionFailedHandler() {}
};

// Thread-safe: one recursive mutex serialises registration and handling, and is held while handlers run.
// A handler that waits for another thread which is itself reporting a failed
// assertion therefore deadlocks.
class VORN_EXPORT VAssert
{
public:
    // Appends the handler (not owned; it must live until the process ends).
    // The same handler registered twice runs twice. Only VException leaves it.
    static void registerAssertionFailedHandler(VAssertionFailedHandler* assertionFailedHandler);

    // Runs every registered handler, first registered first. A handler
    // registered meanwhile (by a handler) runs from the next call on.
    // Only VException leaves it.
    static void handleFailedAssertion();

private:
    VAssert();

    static bool _waitForDebugger;
    // Allocated once and never destroyed: threads may report at exit.
    static VMutex& _assertionFailedHandlersMutex;
    static QList<VAssertionFailedHandler*>& _assertionFailedHandlers;
};

#endif
