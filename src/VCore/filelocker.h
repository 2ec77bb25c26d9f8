// VFileLockerPrivate: a reader/writer lock between processes over a whole
// lock file, exclusive between the threads of one process.
// Thread-safe: threads share one locker; the thread that locked it unlocks it.
//
// The file lock is an open-file-description lock (F_OFD_SETLKW): it conflicts
// with other processes' classic fcntl locks on the same file, is not dropped
// when some other descriptor of the file is closed, and survives daemon().
// Because it belongs to the descriptor, two locker objects for one file
// exclude each other even in one thread: use one locker per file.
// Nested readLock()/writeLock() calls in the thread that holds the lock only
// count; the lock keeps its first type and is released by the last unlock().
// A writeLock() nested in a readLock() is refused: the read lock stays, and
// isLocked() is false until the matching unlock() (other processes may still
// read; upgrading would deadlock two processes that upgrade at once).
//
// fork() and daemon(): the child shares the locked description, so the lock
// belongs to both. The locker remembers the process that locked; in any other
// process unlock() and the destructor only close the inherited descriptor
// (the lock stays with the parent; after daemon() the parent's copy is gone,
// so the daemon's unlock() releases it), and the child may lock afresh, even
// when it was forked while another thread was locking or unlocking.
// A worker forked while the lock is held keeps it alive until that worker
// closes its copy (unlock(), exit or exec), even after the locker died.
#ifndef VORNLIB_VCORE_FILELOCKER_H
#define VORNLIB_VCORE_FILELOCKER_H

#include "VCore/vornlib_export.h"

#include <pthread.h>
#include <sys/types.h>

#include <atomic>

#include <QByteArray>

#include "VCore/mutex.h"

class VORN_EXPORT VFileLockerPrivate
{
public:
    // Copies the path; no file is touched.
    explicit VFileLockerPrivate(const char* fileName);
    // Releases a lock still held by the destroying thread.
    ~VFileLockerPrivate();

    VFileLockerPrivate(const VFileLockerPrivate&) = delete;
    VFileLockerPrivate& operator=(const VFileLockerPrivate&) = delete;

    // Wait for the lock. Every failure is logged on VDebug::STDOUT and leaves
    // isLocked() false; the caller still ends with unlock().
    void readLock();
    void writeLock();
    void unlock();

    // Whether the last readLock()/writeLock() got the file lock of its type.
    bool isLocked() const { return m_locked.load(); }

private:
    struct Mutex; // a VMutex and the process that made it

    void lock(short type);
    bool heldByCaller() const;
    bool replaceInheritedMutex();
    int openLockFile();

    QByteArray m_fileName;
    int m_fd;
    std::atomic<Mutex*> m_mutex; // owned; a forked child leaks its inherited copy
    std::atomic<int> m_depth;
    std::atomic<pthread_t> m_owner;
    std::atomic<pid_t> m_ownerPid;
    std::atomic<bool> m_locked;
    // Touched only by the thread that holds the mutex.
    bool m_fileLocked;
    short m_type;
    int m_refusedAt; // depth of a refused upgrade, 0 when none
};

#endif
