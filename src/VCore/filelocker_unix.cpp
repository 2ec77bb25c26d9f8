#include "VCore/filelocker.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "VArch/arch_unix.h"
#include "VCore/cancel_guard_p.h"
#include "VCore/eintr_p.h"
#include "VDebug/debug.h"

namespace {

// Whole-file lock (start 0, length 0 covers any later growth).
int fcntlOp(int fd, int cmd, int type)
{
    struct flock lock = {};
    lock.l_type = static_cast<short>(type);
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = 0; // required for OFD locks
    return vRetryOnEintr([&] { return fcntl(fd, cmd, &lock); });
}

void logFcntlFailure(int err)
{
    VERROR(VDebug::STDOUT) << "Fatal: " << vStrError(err) << endl;
}

} // namespace

struct VFileLockerPrivate::Mutex
{
    VMutex mutex;
    const pid_t pid = getpid();
};

VFileLockerPrivate::VFileLockerPrivate(const char* fileName)
    : m_fileName(fileName), m_fd(-1), m_mutex(new Mutex), m_depth(0), m_owner(pthread_t()), m_ownerPid(0), m_locked(false), m_fileLocked(false), m_type(F_UNLCK), m_refusedAt(0)
{
}

bool VFileLockerPrivate::heldByCaller() const
{
    return m_depth.load() > 0 && m_ownerPid.load() == getpid() && pthread_equal(m_owner.load(), pthread_self());
}

// In a process forked from another, the mutex may be held by a thread that
// does not exist here, at any moment of a lock or unlock (m_depth cannot
// tell): it can be neither unlocked nor destroyed (nor initialised again), so
// it is left as it is and a fresh one replaces it. The fresh one is taken
// before it is published, so the inherited state is reset under it. The file
// lock belongs to the shared description and stays with the parent: only our
// copy of the descriptor goes. True when this call replaced the mutex; the
// caller then holds the new one.
bool VFileLockerPrivate::replaceInheritedMutex()
{
    Mutex* inherited = m_mutex.load();
    if (inherited->pid == getpid())
        return false;
    Mutex* fresh = new Mutex;
    fresh->mutex.lock();
    if (!m_mutex.compare_exchange_strong(inherited, fresh)) {
        // Another thread of this process replaced it first.
        fresh->mutex.unlock();
        delete fresh;
        return false;
    }
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_locked = m_fileLocked = false;
    m_refusedAt = 0;
    m_depth = 0;
    m_ownerPid = 0;
    return true;
}

VFileLockerPrivate::~VFileLockerPrivate()
{
    try {
        if (replaceInheritedMutex())
            m_mutex.load()->mutex.unlock();
        while (heldByCaller())
            unlock();
    } catch (const VException& e) {
        VERROR(VDebug::STDOUT) << "Fatal: " << e.what() << endl;
    }
    delete m_mutex.load();
}

int VFileLockerPrivate::openLockFile()
{
    const char* path = m_fileName.constData();
    int fd = vRetryOnEintr([&] { return open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
    if (fd >= 0)
        return fd;
    if (errno == EEXIST)
        fd = vRetryOnEintr([&] { return open(path, O_RDWR | O_CLOEXEC, 0666); });
    if (fd < 0)
        VERROR(VDebug::STDOUT) << "Fatal error: Failed to open lock file " << m_fileName << endl;
    return fd;
}

void VFileLockerPrivate::lock(short type)
{
    VCancelGuard noCancel;
    if (!replaceInheritedMutex())
        m_mutex.load()->mutex.lock();
    if (m_depth > 0) {
        // This thread already holds the lock (the mutex is recursive).
        ++m_depth;
        // Upgrading would wait for the other processes' readers, and two
        // processes upgrading at once would wait for each other for ever:
        // refused, the read lock stays.
        if (type == F_WRLCK && m_type == F_RDLCK && m_refusedAt == 0) {
            m_refusedAt = m_depth;
            m_locked = false;
        }
        return;
    }
    m_type = type;
    m_owner = pthread_self();
    m_ownerPid = getpid();
    m_depth = 1;
    m_fd = openLockFile();
    if (m_fd < 0)
        return;
    if (fcntlOp(m_fd, F_OFD_SETLKW, type) == 0)
        m_locked = m_fileLocked = true;
    else
        logFcntlFailure(errno);
}

void VFileLockerPrivate::readLock()
{
    lock(F_RDLCK);
}

void VFileLockerPrivate::writeLock()
{
    lock(F_WRLCK);
}

void VFileLockerPrivate::unlock()
{
    if (replaceInheritedMutex()) {
        // An inherited lock is only forgotten here.
        m_mutex.load()->mutex.unlock();
        return;
    }
    VMutex& mutex = m_mutex.load()->mutex;
    if (!heldByCaller()) {
        // Not ours to release: VMutex reports the misuse.
        mutex.unlock();
        return;
    }
    if (m_depth > 1) {
        if (m_depth == m_refusedAt) {
            m_refusedAt = 0;
            m_locked = m_fileLocked;
        }
        --m_depth;
        mutex.unlock();
        return;
    }
    if (m_fd >= 0) {
        if (m_fileLocked && fcntlOp(m_fd, F_OFD_SETLK, F_UNLCK) != 0)
            logFcntlFailure(errno);
        // Forgotten before it is closed: a child forked in between must not
        // close a number that its own files may reuse.
        const int fd = m_fd;
        m_fd = -1;
        close(fd);
    }
    m_locked = m_fileLocked = false;
    m_refusedAt = 0;
    m_depth = 0;
    mutex.unlock();
}
