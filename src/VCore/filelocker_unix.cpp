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

VFileLockerPrivate::VFileLockerPrivate(const char* fileName)
    : m_fileName(fileName), m_fd(-1), m_mutex(new VMutex), m_depth(0), m_owner(pthread_t()), m_ownerPid(0), m_locked(false), m_fileLocked(false), m_type(F_UNLCK), m_refusedAt(0)
{
}

bool VFileLockerPrivate::heldByCaller() const
{
    return m_depth.load() > 0 && m_ownerPid.load() == getpid() && pthread_equal(m_owner.load(), pthread_self());
}

// In a process forked from the holder: the file lock belongs to the shared
// description and stays with the parent, so only our copy of the descriptor
// goes. The mutex copy is held by a thread that does not exist here: it can
// be neither unlocked nor destroyed (nor initialised again), so it is left
// as it is and a fresh one replaces it.
void VFileLockerPrivate::forgetInheritedLock()
{
    if (m_depth.load() == 0 || m_ownerPid.load() == getpid())
        return;
    m_mutex = new VMutex;
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_locked = m_fileLocked = false;
    m_refusedAt = 0;
    m_depth = 0;
    m_ownerPid = 0;
}

VFileLockerPrivate::~VFileLockerPrivate()
{
    forgetInheritedLock();
    try {
        while (heldByCaller())
            unlock();
    } catch (const VException& e) {
        VERROR(VDebug::STDOUT) << "Fatal: " << e.what() << endl;
    }
    delete m_mutex;
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
    forgetInheritedLock();
    m_mutex->lock();
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
    if (m_depth.load() > 0 && m_ownerPid.load() != getpid()) {
        forgetInheritedLock();
        return;
    }
    if (!heldByCaller()) {
        // Not ours to release: VMutex reports the misuse.
        m_mutex->unlock();
        return;
    }
    if (m_depth > 1) {
        if (m_depth == m_refusedAt) {
            m_refusedAt = 0;
            m_locked = m_fileLocked;
        }
        --m_depth;
        m_mutex->unlock();
        return;
    }
    if (m_fd >= 0) {
        if (m_fileLocked && fcntlOp(m_fd, F_OFD_SETLK, F_UNLCK) != 0)
            logFcntlFailure(errno);
        close(m_fd);
        m_fd = -1;
    }
    m_locked = m_fileLocked = false;
    m_refusedAt = 0;
    m_depth = 0;
    m_mutex->unlock();
}
