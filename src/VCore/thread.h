// VThread: a named POSIX thread with an entry in the process-wide thread
// registry, and VTraceElement: one event of a thread's event backtrace.
#ifndef VORNLIB_VCORE_THREAD_H
#define VORNLIB_VCORE_THREAD_H

#include "VCore/vornlib_export.h"

#include <QString>
#include <QTextStream>

#include "VArch/arch_unix.h"
#include "VCore/runnable.h"
#include "VCore/vexception.h"

class VMutex;
class VThreadPrivate;

// One event of a thread's backtrace: function, file, line and a free text.
// Not thread-safe: a value, copied into the registry under its lock.
class VORN_EXPORT VTraceElement
{
public:
    VTraceElement() : _funcName(nullptr), _fileName(nullptr), _lineNum(-1) {}
    // The two names are stored as pointers, not copied: pass literals
    // (__FUNCTION__, __FILE__) or text that outlives the event.
    VTraceElement(const char* funcName, const char* fileName, int lineNum, const QString& freeText)
        : _funcName(funcName), _fileName(fileName), _lineNum(lineNum), _freeText(freeText) {}
    VTraceElement(const VTraceElement& other) = default;
    VTraceElement& operator=(const VTraceElement& other) = default;

    // "function (file:line) [free text]"
    QString toString() const;

private:
    const char* _funcName;
    const char* _fileName;
    int _lineNum;
    QString _freeText;
};

inline QTextStream& operator<<(QTextStream& s, const VTraceElement& e)
{
    return s << e.toString();
}

// A thread that runs a VRunnable or its own run(); started at most once.
// Thread-safety: static operations from any thread; start(), join() and the destructor from one controlling thread.
//
// The destructor of a started, unjoined thread cancels it and then waits for
// it to end, so the object is never freed under a running thread. A thread
// that never reaches a cancellation point makes the destructor wait for it.
// The waits of VSemaphore::acquire, VOneLockSemaphore::acquire and the
// reader/writer lockers' constructors are cancellation points; the file
// locker's and the shared-memory lock's waits are not.
// A subclass whose run() uses the subclass's own members must stop and join
// the thread in its own destructor: those members are gone by the time
// ~VThread runs.
//
// A VException that leaves run() is logged at VERROR on VDebug::STDERR and
// ends the thread; the process goes on.
//
// The main thread is not in the registry: the event operations and
// getCurrentThread() throw there until registerExternalThread(vThreadSelf())
// is called. Entries of outside threads are never removed; a thread id that
// the system reuses for a later outside thread keeps the old entry's events
// unless it is registered again.
class VORN_EXPORT VThread
{
public:
    struct VThreadEntryPrivate;

    explicit VThread(const char* name);
    VThread(VRunnable* runnable, const char* name);
    virtual ~VThread();

    // Only VException leaves it: a failed pthread_create(), or an object
    // that was already started (or joined).
    void start();
    // Only VException leaves it. Waits for the thread to end and removes its
    // registry entry; returns at once on an object already joined.
    void join();

    QString getName() const { return _name; }
    // The started thread's id; 0 before start() and after join().
    VThreadId getId() const;

    static void sleep(quint32 seconds);
    // Sleeps the whole time, resuming after signals.
    static void sleepMilli(quint32 milliseconds);

    // The object of the calling thread's registry entry (null for a
    // registered outside thread). Only VException leaves the operations
    // below, which throw in a thread that has no registry entry.
    static const VThread* getCurrentThread();
    static void pushTraceElement(const VTraceElement& element);
    static void popTraceElement();
    static void clearStackTrace();
    static int getTraceCount();

    // The event backtraces of the calling thread, or of every registered
    // thread (ordered by thread name, then id). Empty text when the calling
    // thread is not registered and allThreads is false.
    static QString getStackTrace(bool allThreads);

    // Gives a thread not started by VThread (the main thread, or one made by
    // other code) a registry entry with an empty event stack; replaces an
    // existing entry of that id.
    static void registerExternalThread(VThreadId id);

protected:
    // The thread's work when no runnable was given; the default does nothing.
    virtual void run() {}

private:
    friend struct VThreadRegistryAccess;
    VThread(const VThread&);
    VThread& operator=(const VThread&);

    static VThreadEntryPrivate getCurrentThreadEntry();
    static void* entry(void* arg);
    // Removes the registry entry of id when it is this object's.
    void removeEntry(VThreadId id) const;

    VThreadPrivate* _d;
    VRunnable* _runnable;
    QString _name;

    // The registry's lock; allocated once and never destroyed, so threads
    // still running at exit never meet a dead mutex.
    static VMutex& _stackTraceLock;
};

#endif
