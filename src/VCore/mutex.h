// VMutex: recursive in-process mutex; every failure throws VException.
// Thread-safe.
// Library-internal static mutexes are allocated once and never destroyed, so
// threads still running at exit() never meet a dead mutex.
#ifndef VORNLIB_VCORE_MUTEX_H
#define VORNLIB_VCORE_MUTEX_H

#include "VCore/vornlib_export.h"

#include <pthread.h>

#include <atomic>

#include <QtGlobal>

#include "VCore/locker.h"
#include "VCore/printable.h"
#include "VCore/vexception.h"

class VORN_EXPORT VMutex : public VPrintable
{
public:
    // Only VException leaves it.
    VMutex();
    virtual ~VMutex();

    VMutex(const VMutex&) = delete;
    VMutex& operator=(const VMutex&) = delete;

    // Only VException leaves lock() and unlock(). Inline: the fast path is
    // the pthread call alone.
    void lock()
    {
        const int rc = pthread_mutex_lock(&_mutex);
        if (Q_UNLIKELY(rc != 0))
            throwError("failed to lock() VMutex: %1", rc);
    }
    void unlock()
    {
        const int rc = pthread_mutex_unlock(&_mutex);
        if (Q_UNLIKELY(rc != 0))
            throwError("failed to unlock() VMutex: %1", rc);
    }

    virtual QString toString() const;

    static void setIgnoreErrorsInDtor(bool ignore) { _ignoreErrorsInDtor.store(ignore, std::memory_order_relaxed); }

private:
    friend struct VMutexTestAccess;
    static const char* getErrorStr(int errorCode);
    [[noreturn]] static void throwError(const char* format, int errorCode);

    pthread_mutex_t _mutex;
    qint16 _lockCounter;
    static std::atomic<bool> _ignoreErrorsInDtor;
};

typedef VLocker<VMutex> VMutexLocker;

#endif
