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
#ifndef VORNLIB_VCORE_FILELOCKER_H
#define VORNLIB_VCORE_FILELOCKER_H

#include "VCore/vornlib_export.h"

#include <pthread.h>

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

    // Whether the last readLock()/writeLock() got the file lock.
    bool isLocked() const { return m_locked.load(); }

private:
    void lock(short type);
    bool heldByCaller() const;
    int openLockFile();

    QByteArray m_fileName;
    int m_fd;
    VMutex m_mutex;
    std::atomic<int> m_depth;
    std::atomic<pthread_t> m_owner;
    std::atomic<bool> m_locked;
};

#endif
