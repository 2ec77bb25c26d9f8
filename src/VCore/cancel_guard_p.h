// Disables thread cancellation for a scope, so a thread cancelled while it
// holds a library lock never leaves the lock held. Not installed.
#ifndef VORNLIB_VCORE_CANCEL_GUARD_P_H
#define VORNLIB_VCORE_CANCEL_GUARD_P_H

#include <pthread.h>

// Not thread-safe: a scoped guard of the calling thread.
class VCancelGuard
{
public:
    VCancelGuard() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &_oldState); }
    ~VCancelGuard() { pthread_setcancelstate(_oldState, nullptr); }
    VCancelGuard(const VCancelGuard&) = delete;
    VCancelGuard& operator=(const VCancelGuard&) = delete;

private:
    int _oldState;
};

// Takes a lock with cancellation disabled and keeps both for a scope.
template <class T>
class VCancelSafeLocker
{
public:
    explicit VCancelSafeLocker(T* lock) : _lock(lock) { _lock->lock(); }
    ~VCancelSafeLocker() { _lock->unlock(); }
    VCancelSafeLocker(const VCancelSafeLocker&) = delete;
    VCancelSafeLocker& operator=(const VCancelSafeLocker&) = delete;

private:
    VCancelGuard _guard; // declared first: disabled before locking, restored after unlocking
    T* const _lock;
};

#endif
