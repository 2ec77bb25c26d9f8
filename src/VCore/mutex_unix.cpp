#include "VCore/mutex.h"

#include <cerrno>
#include <cstdio>

std::atomic<bool> VMutex::_ignoreErrorsInDtor{false};

namespace {

// Frees the attribute object on every path out of the constructor.
struct MutexAttr
{
    pthread_mutexattr_t attr;
    MutexAttr() { pthread_mutexattr_init(&attr); }
    ~MutexAttr() { pthread_mutexattr_destroy(&attr); }
};

} // namespace

VMutex::VMutex() : _lockCounter(0)
{
    MutexAttr a;
    pthread_mutexattr_settype(&a.attr, PTHREAD_MUTEX_RECURSIVE);
    const int rc = pthread_mutex_init(&_mutex, &a.attr);
    if (rc != 0)
        throwError("pthread_mutex_init() failed: %1", rc);
}

VMutex::~VMutex()
{
    const int rc = pthread_mutex_destroy(&_mutex);
    // Written with stdio, not a debug stream: this may run during static
    // destruction, after the stream table is gone.
    if (rc != 0 && !_ignoreErrorsInDtor.load(std::memory_order_relaxed))
        std::fprintf(stderr, "pthread_mutex_destroy() failed: %s\n", getErrorStr(rc));
}

void VMutex::throwError(const char* format, int errorCode)
{
    throw VException(QString::fromLatin1(format).arg(QLatin1String(getErrorStr(errorCode))));
}

QString VMutex::toString() const
{
    return QStringLiteral("instance of VMutex");
}

const char* VMutex::getErrorStr(int errorCode)
{
    switch (errorCode) {
    case EPERM: return "EPERM";
    case EAGAIN: return "EAGAIN";
    case ENOMEM: return "ENOMEM";
    case EBUSY: return "EBUSY";
    case EINVAL: return "EINVAL";
    case EDEADLK: return "EDEADLK";
    default: break;
    }
    thread_local char buf[16];
    std::snprintf(buf, sizeof buf, "%d", errorCode);
    return buf;
}
