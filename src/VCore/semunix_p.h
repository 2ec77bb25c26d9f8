// Private: a bounded wait for one unit of a semaphore, for library code that
// must not wait for ever on a semaphore another process may hold.
#ifndef VORNLIB_VCORE_SEMUNIX_P_H
#define VORNLIB_VCORE_SEMUNIX_P_H

#include "VCore/semunix.h"

// Takes one unit (SEM_UNDO), waiting at most timeoutMs. On false, timedOut
// tells whether the time ran out (EAGAIN as error text) rather than the call
// failing.
bool vAcquireOneWithin(VSemaphore* sem, int timeoutMs, bool* timedOut);

#endif
