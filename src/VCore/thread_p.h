// Private parts of VThread: the POSIX thread handle, registry entries and the
// registry itself. Not installed.
#ifndef VORNLIB_VCORE_THREAD_P_H
#define VORNLIB_VCORE_THREAD_P_H

#include <pthread.h>
#include <time.h>

#include <cerrno>

#include <QHash>
#include <QStack>

#include "VCore/cancel_guard_p.h"
#include "VCore/mutex.h"
#include "VCore/thread.h"

// The POSIX thread behind a VThread; 0 when no thread is recorded.
// Not thread-safe: owned and used by the VThread's controlling thread.
class VThreadPrivate
{
public:
    VThreadPrivate() : _threadId(0) {}
    // Cancels a thread that is still recorded and waits for it to end.
    // Only VException leaves it.
    ~VThreadPrivate() noexcept(false);

    int start(void* (*routine)(void*), void* argument)
    {
        return pthread_create(&_threadId, nullptr, routine, argument);
    }
    int join() { return pthread_join(_threadId, nullptr); }
    int cancel() { return pthread_cancel(_threadId); }
    VThreadId getThreadId() const { return _threadId; }
    void clearThreadId() { _threadId = 0; }

    static VThreadId getCurrentThreadId() { return pthread_self(); }
    static void sleep(int seconds) { sleepFor(seconds, 0); }
    static void sleepMilli(int milliseconds)
    {
        sleepFor(milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L);
    }
    // A signal handled meanwhile does not cut the sleep short (sleep(3)
    // would return early, with the rest rounded to whole seconds).
    static void sleepFor(time_t seconds, long nanoseconds)
    {
        struct timespec req;
        req.tv_sec = seconds;
        req.tv_nsec = nanoseconds;
        struct timespec rem;
        while (nanosleep(&req, &rem) != 0 && errno == EINTR)
            req = rem;
    }

private:
    VThreadPrivate(const VThreadPrivate&);
    VThreadPrivate& operator=(const VThreadPrivate&);

    pthread_t _threadId;
};

// One registry entry: the thread's object and its events, newest on top.
// Not thread-safe: entries are read and changed under the registry's lock.
struct VThread::VThreadEntryPrivate
{
    explicit VThreadEntryPrivate(const VThread* thread) : _thread(thread) {}

    const VThread* getThread() const { return _thread; }
    void pushTraceElement(const VTraceElement& e) { _stackTrace.push(e); }
    void popTraceElement() { if (!_stackTrace.isEmpty()) _stackTrace.pop(); }
    void clearStackTrace() { _stackTrace.clear(); }
    int getTraceCount() const { return _stackTrace.count(); }
    const QStack<VTraceElement>& getStackTrace() const { return _stackTrace; }

    const VThread* _thread;
    QStack<VTraceElement> _stackTrace;
};

// The process-wide thread registry, created on first use and kept until the
// process ends. Not thread-safe: every access holds VThread's registry lock.
class ThreadsHouse
{
public:
    typedef QHash<VThreadId, VThread::VThreadEntryPrivate> Hash;

    static ThreadsHouse* instance()
    {
        if (!_instance)
            _instance = new ThreadsHouse;
        return _instance;
    }
    static void free()
    {
        delete _instance;
        _instance = nullptr;
    }

    void insert(VThreadId id, const VThread::VThreadEntryPrivate& entry) { _tid2Obj.insert(id, entry); }
    VThread::VThreadEntryPrivate value(VThreadId id) const { return _tid2Obj.value(id, VThread::VThreadEntryPrivate(nullptr)); }
    void remove(VThreadId id) { _tid2Obj.remove(id); }
    bool contains(VThreadId id) const { return _tid2Obj.contains(id); }
    Hash& getHash() { return _tid2Obj; }

private:
    ThreadsHouse() {}
    ~ThreadsHouse() {}

    static ThreadsHouse* _instance;
    Hash _tid2Obj;
};

// The registry's lock, for the fork handlers and the tests.
struct VThreadRegistryAccess
{
    static VMutex& registryLock() { return VThread::_stackTraceLock; }
};

// VThread's registry lock, taken with cancellation disabled.
typedef VCancelSafeLocker<VMutex> VThreadRegistryLock;

// Bookkeeping shared by thread-local storage slots: slot keys, and how many
// users each key has. Thread-safe through _mutex.
class VThreadStoragePrivate
{
public:
    static QHash<int, unsigned int> _keys;
    static QHash<unsigned int, int> _usersPerKey;
    static VMutex _mutex;
};

#endif
