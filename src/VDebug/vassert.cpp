#include "VDebug/vassert.h"

#include "VCore/cancel_guard_p.h"
#include "VCore/mutex.h"

bool VAssert::_waitForDebugger = false;
VMutex& VAssert::_assertionFailedHandlersMutex = *new VMutex;
QList<VAssertionFailedHandler*>& VAssert::_assertionFailedHandlers =
    *new QList<VAssertionFailedHandler*>;

namespace {

// noexcept: an exception from a handler ends the process.
void runHandlers(const QList<VAssertionFailedHandler*>& handlers) noexcept
{
    for (VAssertionFailedHandler* h : handlers)
        h->handle();
}

} // namespace

void VAssert::registerAssertionFailedHandler(VAssertionFailedHandler* assertionFailedHandler)
{
    VCancelSafeLocker<VMutex> lock(&_assertionFailedHandlersMutex);
    _assertionFailedHandlers.append(assertionFailedHandler);
}

void VAssert::handleFailedAssertion()
{
    VCancelSafeLocker<VMutex> lock(&_assertionFailedHandlersMutex);
    // A copy (shared, not duplicated): a handler may register another one
    // while the list is walked.
    const QList<VAssertionFailedHandler*> snapshot = _assertionFailedHandlers;
    runHandlers(snapshot);
}
