#include "VCore/QtShareMemory/qtsharedmemory.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include <QMap>
#include <QMutex>

#include "VCore/cancel_guard_p.h"
#include "VArch/arch_unix.h"
#include "VCore/eintr_p.h"
#include "VCore/sysv_trust_p.h"
#include "VCore/unique_fd_p.h"

namespace {

// One QMutex per key for the life of the process: objects of a key borrow
// it, so it is never deleted (another object may still point to it).
pthread_mutex_t mutexPoolLock = PTHREAD_MUTEX_INITIALIZER;
QMap<QString, QMutex*>* mutexPool = nullptr;

void lockPool()
{
    pthread_mutex_lock(&mutexPoolLock);
}

void unlockPool()
{
    pthread_mutex_unlock(&mutexPoolLock);
}

// A child is forked with copies of the pooled mutexes as they were, some held
// by threads that do not exist in it; none of its objects holds the lock
// (that stays with the process that took the unit), so all start unlocked.
// The old state is overwritten, not destroyed: a held QMutex cannot be.
void rearmPoolInChild()
{
    if (mutexPool)
        for (QMutex* m : *mutexPool)
            new (m) QMutex;
    unlockPool();
}

QMutex* pooledMutex(const QString& key)
{
    static const int forkHandler = pthread_atfork(&lockPool, &unlockPool, &rearmPoolInChild);
    (void)forkHandler;
    pthread_mutex_lock(&mutexPoolLock);
    if (!mutexPool)
        mutexPool = new QMap<QString, QMutex*>;
    QMutex*& m = (*mutexPool)[key];
    if (!m)
        m = new QMutex;
    QMutex* result = m;
    pthread_mutex_unlock(&mutexPoolLock);
    return result;
}

QString keyToTempFile(const QString& key)
{
    QString name = QStringLiteral("/tmp/qtsharedmemory-");
    for (const QChar c : key)
        name += QStringLiteral("%1").arg(c.unicode() & 0xff, 2, 16, QChar('0'));
    return name;
}

void getErrorString(const QString& context, int errn, QString* message, QtSharedMemory::Error* code)
{
    const char* reason;
    switch (errn) {
    case EPERM:
        reason = "operation not permitted";
        *code = QtSharedMemory::PermissionDenied;
        break;
    case ENOENT:
        reason = "does not exist";
        *code = QtSharedMemory::NotFound;
        break;
    case ENOMEM:
    case EMFILE:
    case ENOSPC:
        reason = "out of resources";
        *code = QtSharedMemory::OutOfResources;
        break;
    case EACCES:
    case EROFS:
        reason = "permission denied";
        *code = QtSharedMemory::PermissionDenied;
        break;
    case EEXIST:
        reason = "already exists";
        *code = QtSharedMemory::AlreadyExists;
        break;
    case EINVAL:
        reason = "invalid arguments";
        *code = QtSharedMemory::NotFound;
        break;
    default:
        reason = "unknown error";
        *code = QtSharedMemory::UnknownError;
        break;
    }
    *message = QStringLiteral("%1: %2").arg(context, QLatin1String(reason));
}

// glibc leaves union semun to the caller.
union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// SEM_UNDO: the kernel gives back the unit of a holder that dies, so a
// crashed process does not block every other one. Holders always release in
// the process that took the unit, so the adjustments cancel out.
int semAdjust(int sema, short delta, const struct timespec* timeout = nullptr)
{
    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = SEM_UNDO;
    if (!timeout)
        return vRetryOnEintr([&] { return semop(sema, &op, 1); });
    return vRetryOnEintrWithin(*timeout, [&](const struct timespec* left) { return semtimedop(sema, &op, 1, left); });
}

// Value 0 and no process ever operated on it: SETVAL records its caller as
// the last process (GETPID), so only a set nobody initialised looks so.
bool neverSet(int sema)
{
    return semctl(sema, 0, GETVAL) == 0 && semctl(sema, 0, GETPID) == 0;
}

constexpr time_t kNeverSetWaitSeconds = 1;

} // namespace

void QtSharedMemory::platformInit()
{
    hand = 0;
    shmId = -1;
    sema = -1;
}

// Opens (or re-creates) the key file on every call: another process's
// destroy() may have removed it, and a segment made under the old key would be
// one nobody else can find. On failure errStr holds the reason.
bool QtSharedMemory::initHandle(bool createFile)
{
    const QByteArray file = keyToTempFile(k).toLocal8Bit();
    QString reason;
    // Read access is enough for the file's identity (a peer's file may be 0640).
    VUniqueFd fd(vOpenSharedFile(file, O_RDONLY | (createFile ? O_CREAT : 0), 0660, &reason));
    key_t key = fd.isValid() ? vKeyOfFile(fd.get(), 'Q') : key_t(-1);
    if (key == key_t(-1) && reason.isEmpty())
        reason = vStrError(errno);
    if (key == key_t(-1))
        key = 0;
    if (key != 0 && key != hand) {
        // Ids found under another key belong to another segment.
        if (lockRecursions == 0)
            sema = -1;
        if (!sharedMemoryPtr)
            shmId = -1;
    }
    hand = key;
    if (hand == 0)
        errStr = QString::fromLocal8Bit(file) + QStringLiteral(": ") + reason;
    return hand != 0;
}

void QtSharedMemory::closeHandle()
{
    hand = 0;
}

void QtSharedMemory::setSystemError(const char* context, int errn)
{
    getErrorString(QLatin1String(context), errn, &errStr, &err);
}

bool QtSharedMemory::create(int size)
{
    if (!makeHandleFor("unable to allocate memory to the shared memory handle: invalid key"))
        return false;
    if (size <= 0) {
        setSystemError("shared memory segment", EINVAL);
        err = InvalidSize;
        return false;
    }
    shmId = shmget(hand, static_cast<size_t>(size), IPC_CREAT | IPC_EXCL | 0660);
    // Taken at once: the reclaim's own calls change errno.
    int shmErr = errno;
    if (shmId == -1 && shmErr == EEXIST && reclaimAbandoned()) {
        shmId = shmget(hand, static_cast<size_t>(size), IPC_CREAT | IPC_EXCL | 0660);
        shmErr = errno;
    }
    if (shmId == -1) {
        setSystemError("shared memory segment", shmErr);
        return false;
    }
    // A semaphore id kept from earlier is reused only while it still exists.
    if ((sema != -1 && semctl(sema, 0, GETVAL) != -1) || makeSemaphore()) {
        siz = size;
        return true;
    }

    // All or nothing: remove what this call made.
    setSystemError("shared memory lock", errno);
    shmctl(shmId, IPC_RMID, nullptr);
    shmId = -1;
    return false;
}

bool QtSharedMemory::makeSemaphore()
{
    sema = semget(hand, 1, IPC_CREAT | IPC_EXCL | 0660);
    if (sema != -1 && semctl(sema, 0, SETVAL, 1) == 0)
        return true;
    const int err = errno;
    if (sema != -1)
        semctl(sema, 0, IPC_RMID);
    sema = -1;
    errno = err;
    return false;
}

// A creator killed between making the segment and setting its semaphore
// leaves a segment whose semaphore is missing or was never set: nobody could
// ever lock it. Such leftovers of a dead creator, unattached, are removed.
bool QtSharedMemory::reclaimAbandoned()
{
    const int shm = shmget(hand, 0, 0);
    struct shmid_ds ds;
    QString reason;
    if (shm == -1 || shmctl(shm, IPC_STAT, &ds) != 0 || ds.shm_nattch != 0 ||
        !vTrustIpcObject(ds.shm_perm, "segment", &reason))
        return false;
    if (kill(ds.shm_cpid, 0) == 0 || errno != ESRCH)
        return false;
    const int sem = semget(hand, 0, 0);
    if (sem != -1) {
        struct semid_ds sds;
        semun arg;
        arg.buf = &sds;
        if (!neverSet(sem) || semctl(sem, 0, IPC_STAT, arg) != 0 || !vTrustIpcObject(sds.sem_perm, "semaphore", &reason))
            return false;
    }
    if (sem != -1)
        semctl(sem, 0, IPC_RMID);
    shmctl(shm, IPC_RMID, nullptr);
    return true;
}

bool QtSharedMemory::exists()
{
    if (!makeHandleFor("unable to create a shared memory handle from the key"))
        return false;
    return shmget(hand, 0, 0660) != -1;
}

bool QtSharedMemory::lock()
{
    forgetInheritedLock();
    if (lockRecursions > 0) {
        ++lockRecursions;
        return true;
    }
    // Without its key file no semaphore can be found: do not leave a new one.
    if (!makeHandleFor("unable to lock the shared memory segment: invalid key", false))
        return false;
    if (sema == -1) {
        const int found = semget(hand, 1, 0660);
        if (found == -1) {
            setSystemError("shared memory lock", errno);
            return false;
        }
        struct semid_ds ds;
        semun arg;
        arg.buf = &ds;
        if (semctl(found, 0, IPC_STAT, arg) != 0) {
            setSystemError("shared memory lock", errno);
            return false;
        }
        if (!trusted(ds.sem_perm, "shared memory lock", "semaphore"))
            return false;
        sema = found;
    }
    if (!mutex)
        mutex = pooledMutex(k);

    {
        // A thread cancelled while waiting must not keep the mutex.
        VCancelGuard noCancel;
        mutex->lock();
        if (!takeUnit()) {
            mutex->unlock();
            return false;
        }
    }
    lockRecursions = 1;
    lockPid = getpid();
    if (!exists()) {
        unlock();
        return false;
    }
    return true;
}

// Another local user may have made the object under our key first.
bool QtSharedMemory::trusted(const struct ipc_perm& perm, const char* context, const char* what)
{
    QString reason;
    if (vTrustIpcObject(perm, what, &reason))
        return true;
    err = PermissionDenied;
    errStr = QStringLiteral("%1: %2").arg(QLatin1String(context), reason);
    return false;
}

// Waits for the lock's unit. A semaphore that its creator never set (killed
// between semget and SETVAL) would block for ever: it gets a bounded wait.
bool QtSharedMemory::takeUnit()
{
    for (;;) {
        if (!neverSet(sema)) {
            if (semAdjust(sema, -1) == 0)
                return true;
            break;
        }
        struct timespec limit = {kNeverSetWaitSeconds, 0};
        if (semAdjust(sema, -1, &limit) == 0)
            return true;
        if (errno != EAGAIN)
            break;
        if (neverSet(sema)) {
            err = LockError;
            errStr = QStringLiteral("shared memory lock: never initialised by its creator");
            return false;
        }
    }
    setSystemError("shared memory lock", errno);
    return false;
}

// The unit belongs to the process that took it: a copy made by fork() or
// daemon() holds nothing (the pool's fork handler re-armed the mutex).
void QtSharedMemory::forgetInheritedLock()
{
    if (lockRecursions > 0 && lockPid != getpid())
        lockRecursions = 0;
}

void QtSharedMemory::unlock()
{
    forgetInheritedLock();
    if (lockRecursions == 0)
        return; // never push the semaphore above 1
    if (lockRecursions > 1) {
        --lockRecursions;
        return;
    }
    releaseLock();
}

// Gives the unit back (failing quietly once the semaphore is gone) and
// unlocks the pooled mutex.
void QtSharedMemory::releaseLock()
{
    if (sema != -1)
        semAdjust(sema, 1);
    if (mutex)
        mutex->unlock();
    lockRecursions = 0;
}

bool QtSharedMemory::attach(Mode mode)
{
    if (sharedMemoryPtr) {
        // Attaching again would lose the current mapping.
        setSystemError("shared memory segment attach", EEXIST);
        return false;
    }
    if (!makeHandleFor("unable to create a shared memory handle from the key"))
        return false;
    if (!lock()) {
        err = LockError;
        return false;
    }
    const bool readOnly = mode == ReadOnly;
    shmId = shmget(hand, 0, readOnly ? 0440 : 0660);
    struct shmid_ds ds;
    if (shmId == -1 || shmctl(shmId, IPC_STAT, &ds) != 0) {
        setSystemError("shared memory segment get", errno);
        unlock();
        return false;
    }
    if (!trusted(ds.shm_perm, "shared memory segment get", "segment")) {
        unlock();
        return false;
    }
    void* address = shmat(shmId, nullptr, readOnly ? SHM_RDONLY : 0);
    if (address == reinterpret_cast<void*>(-1)) {
        setSystemError("shared memory segment attach", errno);
        unlock();
        return false;
    }
    sharedMemoryPtr = address;
    siz = static_cast<int>(ds.shm_segsz);
    unlock();
    return true;
}

bool QtSharedMemory::detach()
{
    if (!sharedMemoryPtr) {
        err = NotFound;
        errStr = QStringLiteral("not attached");
        return false;
    }
    const bool locked = lock();
    if (!locked) {
        err = LockError;
        // Once the segment or its semaphore is removed nobody counts the
        // attachments any more: unmap without the lock rather than keep the
        // removed segment alive for the rest of the process.
        struct shmid_ds ds;
        const bool segmentGone = shmctl(shmId, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST);
        const bool lockGone = sema == -1 || semctl(sema, 0, GETVAL) == -1;
        if (!segmentGone && !lockGone)
            return false;
    }
    const bool ok = shmdt(sharedMemoryPtr) == 0;
    sharedMemoryPtr = nullptr;
    if (locked)
        unlock();
    return ok;
}

int QtSharedMemory::numAttachments()
{
    struct shmid_ds ds;
    if (shmId == -1 || shmctl(shmId, IPC_STAT, &ds) != 0)
        return 0;
    return static_cast<int>(ds.shm_nattch);
}

// Removes segment, semaphore and key file; stops at the first failure.
bool QtSharedMemory::removeAll()
{
    if (shmctl(shmget(hand, 0, 0660), IPC_RMID, nullptr) != 0) {
        setSystemError("shared memory segment", errno);
        return false;
    }
    if (semctl(semget(hand, 0, 0660), 0, IPC_RMID) != 0) {
        setSystemError("shared memory lock", errno);
        return false;
    }
    if (unlink(keyToTempFile(k).toLocal8Bit().constData()) != 0) {
        setSystemError("shared memory key", errno);
        return false;
    }
    return true;
}

bool QtSharedMemory::markForDeletion()
{
    if (!lock()) {
        err = LockError;
        return false;
    }
    const bool ok = removeAll();
    unlock();
    return ok;
}

bool QtSharedMemory::destroy(DestroyMode mode)
{
    if (!makeHandleFor("unable to create a shared memory handle from the key"))
        return false;
    if (mode == Wait) {
        for (;;) {
            if (!lock()) {
                err = LockError;
                return false;
            }
            // Counts through this object's own id: one that never created
            // or attached reads 0 and does not wait.
            if (numAttachments() == 0)
                break;
            unlock();
            sleep(1);
        }
    } else if (mode != ForceNoWait) {
        if (!lock()) {
            err = LockError;
            errStr = QStringLiteral("unable to acquire lock");
            return false;
        }
    }

    if (!removeAll()) {
        unlock();
        return false;
    }

    // The semaphore is gone; only the pooled mutex is still held (it stays
    // in the pool for other objects of the key).
    if (lockRecursions > 0 && mutex)
        mutex->unlock();
    lockRecursions = 0;
    mutex = nullptr;
    // The mapping itself stays until the process ends (detach first).
    sharedMemoryPtr = nullptr;
    siz = 0;
    shmId = -1;
    sema = -1;
    hand = 0;
    return true;
}
