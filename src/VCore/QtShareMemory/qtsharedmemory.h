// QtSharedMemory: a System V shared-memory segment named by a string key,
// with a lock (one System V semaphore per segment between processes, one
// pooled QMutex per key between the threads of a process).
// Thread-safety: one object is used by one thread at a time; any objects, threads and processes may share a key.
//
// The key file is "/tmp/qtsharedmemory-" followed by two lower-case hex
// digits of the low byte of each key character, so keys that differ only in
// the high bytes (U+0141 and "A") share a segment; ftok collisions between
// key files are possible too. The lock's semaphore operations use SEM_UNDO:
// a holder that dies releases the lock. Two objects of one key must not be
// locked by one thread at once (the pooled QMutex is not recursive, so the
// second lock() deadlocks; attach(), detach() and destroy() lock too).
// Detach and unlock before destroying an object: the destructor does neither.
// The lock belongs to the process that took it: in a child made by fork() or
// daemon() the object counts as unlocked (its unlock() gives nothing back), so
// locks taken before VService::run() in daemon mode do not survive.
// The key file is opened without following links and must be a regular file.
// A segment or semaphore found under the key is used only when its owner and
// creator are this effective user, or its group is this effective group and it
// grants nothing to others; otherwise PermissionDenied (LockError from
// attach()) with a text naming its owner and mode.
// size() is an int: segments of 2 GiB or more report a wrong size.
#ifndef VORNLIB_VCORE_QTSHAREMEMORY_QTSHAREDMEMORY_H
#define VORNLIB_VCORE_QTSHAREMEMORY_QTSHAREDMEMORY_H

#include <sys/types.h>

#include "VCore/vornlib_export.h"

#include <QString>

#include "VDebug/debug.h"

class QMutex;
struct ipc_perm;

class VORN_EXPORT QtSharedMemory
{
public:
    enum Mode { ReadOnly = 0, ReadWrite = 1 };
    enum DestroyMode { NoWait = 0, ForceNoWait = 1, Wait = 2 };
    enum Error {
        InvalidSize = 0,
        KeyError = 1,
        AlreadyExists = 2,
        OutOfMemory = 3,
        OutOfResources = 4,
        NotFound = 5,
        PermissionDenied = 6,
        LockError = 7,
        UnknownError = 8
    };

    static VDebug::StreamId LOG;

    QtSharedMemory();
    explicit QtSharedMemory(const QString& key);
    ~QtSharedMemory();

    // For an object that is neither attached nor locked.
    void setKey(const QString& key);
    QString key() const { return k; }
    int handle() const { return hand; }
    void* data() const { return sharedMemoryPtr; }
    int size() const { return siz; }
    Error error() const { return err; }
    QString errorString() const { return errStr; }

    // Makes a new segment and its semaphore (all or nothing); does not attach.
    bool create(int size);
    bool exists();
    // Fails on an object that is already attached.
    bool attach(Mode mode = ReadWrite);
    // Also unmaps when the segment or its lock was removed meanwhile.
    bool detach();
    // Recursive per object. unlock() without the lock does nothing.
    bool lock();
    void unlock();
    // Attachments of all processes; 0 when unknown.
    int numAttachments();
    // Removes segment, semaphore and key file; attachments stay usable.
    bool markForDeletion();
    // Removes segment, semaphore and key file and resets the object. Detach
    // first: an attachment is forgotten, not unmapped. Wait polls once a
    // second until no process is attached (an object that never created or
    // attached sees no attachments and does not wait).
    bool destroy(DestroyMode mode = NoWait);
    bool isValid();

private:
    QtSharedMemory(const QtSharedMemory&);
    QtSharedMemory& operator=(const QtSharedMemory&);

    void platformInit();
    bool initHandle(bool createFile = true);
    void closeHandle();
    bool makeHandleFor(const char* failureText, bool createFile = true);
    void setSystemError(const char* context, int errn);
    bool removeAll();
    void releaseLock();
    void forgetInheritedLock();
    bool takeUnit();
    bool makeSemaphore();
    bool reclaimAbandoned();
    bool trusted(const struct ipc_perm& perm, const char* context, const char* what);

    Error err;
    QString errStr;
    void* sharedMemoryPtr;
    int siz;
    QString k;
    int lockRecursions;
    pid_t lockPid;
    QMutex* mutex;
    int shmId;
    int sema;
    int hand;
};

#endif
