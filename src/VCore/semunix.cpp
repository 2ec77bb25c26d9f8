#include "VCore/semunix.h"
#include "VCore/semunix_p.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "VArch/arch_unix.h"
#include "VCore/eintr_p.h"
#include "VCore/runtime_dir_p.h"
#include "VCore/sysv_trust_p.h"
#include "VCore/unique_fd_p.h"
#include "VCore/vexception.h"
#include "VDebug/debug.h"

namespace {

// glibc leaves union semun to the caller.
union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// One attempt at op that does not wait, for the uncontended case: cheaper
// than the timed wait that follows when it fails (with whatever error; the
// wait sees it again).
bool semOpNoWait(int semid, struct sembuf op)
{
    op.sem_flg = short(op.sem_flg | IPC_NOWAIT);
    return ::semop(semid, &op, 1) == 0;
}

bool isNameChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           c == '.' || c == '-';
}

} // namespace

// ---- VSemaphoreImpl ----

VSemaphoreImpl::VSemaphoreImpl(quint32 initialCount, const char* name)
    : m_semid(-1), m_isOk(false), m_initialCount(initialCount)
{
    initialize(name);
}

VSemaphoreImpl::~VSemaphoreImpl() {}

QString VSemaphoreImpl::errorString()
{
    std::lock_guard<std::mutex> lock(_errorLock);
    return _lastError;
}

// The error text is "call: strerror"; the log line has what and strerror, or
// when what is null, the error text itself.
void VSemaphoreImpl::setUpFailed(const char* what, const char* call, int err)
{
    const QString text = vSysError(QString::fromLatin1(call), err);
    if (what)
        VWARNING(VDebug::STDERR) << what << vStrError(err) << endl;
    else
        VWARNING(VDebug::STDERR) << "VSemaphoreImpl::constructor:" << text << endl;
    setErrorString(text);
}

void VSemaphoreImpl::writeIdFile(const QByteArray& keyPath, bool create)
{
    const QByteArray idPath = keyPath + "_semid";
    // The directory may be shared with other users: no links, no FIFOs.
    QString reason;
    VUniqueFd fd(vOpenSharedFile(idPath, O_WRONLY | (create ? O_CREAT : 0), 0660, &reason));
    if (!fd.isValid() || ::ftruncate(fd.get(), 0) != 0)
        return;
    FILE* f = ::fdopen(fd.get(), "wb");
    if (!f)
        return;
    fd.release(); // the FILE owns it now
    std::fprintf(f, "%d\n", m_semid.load());
    std::fclose(f);
}

void VSemaphoreImpl::initialize(const char* name)
{
    const QByteArray path = vRuntimeFilePath("vsemfile_" + QByteArray(name ? name : ""));
    QString reason;
    VUniqueFd fd(vOpenSharedFile(path, O_RDWR | O_CREAT, 0660, &reason));
    bool readOnly = false;
    if (!fd.isValid()) {
        // Another user's key file under umask 022 is 0640: the key needs
        // only the file's identity, so reading will do to attach. Only the
        // file's writers create the set (and the id file): a set made by a
        // mere reader would be refused to them.
        QString readOnlyReason;
        fd.reset(vOpenSharedFile(path, O_RDONLY, 0, &readOnlyReason));
        readOnly = fd.isValid();
    }
    if (!fd.isValid()) {
        VWARNING(VDebug::STDERR) << "VSemaphoreImpl::constructor: failed to open file" << path << ":" << reason
                                 << endl;
        setErrorString(reason);
        return;
    }
    // The key of the file opened, not of whatever the path names by now.
    const key_t key = vKeyOfFile(fd.get(), 1);
    fd.reset();
    if (key == key_t(-1)) {
        setUpFailed(nullptr, "ftok", errno);
        return;
    }

    int id = readOnly ? -1 : ::semget(key, 1, IPC_CREAT | IPC_EXCL | 0660);
    if (id >= 0) {
        m_semid = id;
        semun arg;
        arg.val = int(m_initialCount);
        if (::semctl(id, 0, SETVAL, arg) < 0) {
            const int err = errno;
            // A new set left at 0 would block every later process for good.
            ::semctl(id, 0, IPC_RMID);
            m_semid = -1;
            setUpFailed("VSemaphoreImpl::constructor: failed to initialize semaphore:", "semctl(SETVAL)", err);
            return;
        }
        // Only now: the set is at its value before anyone can wait on the
        // file, and the gap after semget stays as short as it can be.
        writeIdFile(path, true);
        m_isOk = true;
        return;
    }
    if (!readOnly && errno != EEXIST) {
        setUpFailed(nullptr, "semget", errno);
        return;
    }
    // Another process created it: only the creator sets the value.
    id = ::semget(key, 1, readOnly ? 0 : IPC_CREAT | 0660);
    if (id < 0 && readOnly && errno == ENOENT) {
        const QString text = QStringLiteral("no semaphore yet for %1: this user may only read the key file, "
                                            "and only its writers create the semaphore")
                                 .arg(QString::fromLocal8Bit(path));
        VWARNING(VDebug::STDERR) << "VSemaphoreImpl::constructor:" << text << endl;
        setErrorString(text);
        return;
    }
    if (id < 0) {
        setUpFailed("VSemaphoreImpl::constructor: failed to get semaphore id:", "semget", errno);
        return;
    }
    // Another local user may have made a set under our key first.
    struct semid_ds ds;
    semun statArg;
    statArg.buf = &ds;
    if (::semctl(id, 0, IPC_STAT, statArg) != 0) {
        setUpFailed("VSemaphoreImpl::constructor: failed to get semaphore id:", "semctl(IPC_STAT)", errno);
        return;
    }
    if (!vTrustIpcObject(ds.sem_perm, "semaphore", &reason)) {
        VWARNING(VDebug::STDERR) << "VSemaphoreImpl::constructor:" << reason << endl;
        setErrorString(reason);
        return;
    }
    m_semid = id;
    writeIdFile(path, !readOnly);
    m_isOk = true;
}

// One semop of delta units on semaphore 0 with SEM_UNDO; retries EINTR.
// A blocking wait is a cancellation point: semop is not one, so the wait runs
// in slices of at most kCancelSliceMs and tests for cancellation in between.
bool VSemaphoreImpl::semOp(int delta, bool block)
{
    static const long kCancelSliceMs = 100;
    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = short(delta);
    op.sem_flg = short(SEM_UNDO | (block ? 0 : IPC_NOWAIT));
    const bool sliced = block && delta < 0;
    const struct timespec slice = {0, kCancelSliceMs * 1000000L};
    if (sliced && semOpNoWait(m_semid, op))
        return true;
    for (;;) {
        if ((sliced ? ::semtimedop(m_semid, &op, 1, &slice) : ::semop(m_semid, &op, 1)) == 0)
            return true;
        if (sliced && errno == EAGAIN) {
            pthread_testcancel();
            continue;
        }
        if (errno != EINTR)
            return false;
        VDBG1(VDebug::STDERR) << "VSemaphoreImpl::acquire : "
                              << "skipping interrupted system call" << endl;
    }
}

bool VSemaphoreImpl::checkCount(quint32 count, const char* op)
{
    if (count <= MAX_UNITS)
        return true;
    VDBG1(VDebug::STDERR) << "VSemaphoreImpl::" << op << ": invalid count" << count << endl;
    setErrorString(QStringLiteral("invalid count %1").arg(count));
    return false;
}

bool VSemaphoreImpl::doAcquire(quint32 count, bool block)
{
    if (!m_isOk) {
        VDBG1(VDebug::STDERR) << "VSemaphoreImpl::acquire : invalid semaphore" << endl;
        setErrorString(QStringLiteral("invalid semaphore"));
        return false;
    }
    if (count == 0)
        return false;
    if (!checkCount(count, "acquire"))
        return false;

    int err = 0;
    if (!block) {
        // All or nothing in one operation: no partial state to undo.
        if (semOp(-int(count), false))
            return true;
        err = errno;
        if (err == EAGAIN) {
            setErrorString(vStrError(err));
            return false;
        }
    } else {
        // One unit at a time, so that a waiting writer collects units as
        // readers give them back instead of starving behind them.
        // Callers read false as "nothing taken", and a cancelled thread holds
        // nothing either: the units taken so far go back when this frame is
        // left early, by a failure or by cancellation unwinding it.
        struct TakenUnits
        {
            VSemaphoreImpl* sem;
            quint32 n;
            ~TakenUnits()
            {
                if (n > 0)
                    sem->semOp(int(n), true);
            }
        } taken{this, 0};
        for (; taken.n < count; ++taken.n) {
            if (!semOp(-1, true))
                break;
        }
        if (taken.n == count) {
            taken.n = 0;
            return true;
        }
        err = errno;
    }
    VDBG1(VDebug::STDERR) << qint64(::getpid()) << ": VSemaphoreImpl::acquire: semid: " << m_semid.load()
                          << " uid:" << quint64(::getuid()) << "gid: " << quint64(::getgid())
                          << vStrError(err) << endl;
    setErrorString(vStrError(err));
    return false;
}

bool VSemaphoreImpl::acquireOneWithin(int timeoutMs, bool* timedOut)
{
    *timedOut = false;
    if (!m_isOk)
        return doAcquire(1, true);
    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = -1;
    op.sem_flg = SEM_UNDO;
    if (semOpNoWait(m_semid, op))
        return true;
    const struct timespec timeout = {timeoutMs / 1000, long(timeoutMs % 1000) * 1000000L};
    if (vRetryOnEintrWithin(timeout, [&](const struct timespec* left) { return ::semtimedop(m_semid, &op, 1, left); }) == 0)
        return true;
    const int err = errno;
    *timedOut = err == EAGAIN;
    setErrorString(vStrError(err));
    return false;
}

bool vAcquireOneWithin(VSemaphore* sem, int timeoutMs, bool* timedOut)
{
    return sem->m_semImpl->acquireOneWithin(timeoutMs, timedOut);
}

bool VSemaphoreImpl::release(quint32 count)
{
    if (!m_isOk) {
        VDBG1(VDebug::STDERR) << "VSemaphoreImpl::release : invalid semaphore" << endl;
        setErrorString(QStringLiteral("invalid semaphore"));
        return false;
    }
    if (count == 0) {
        setErrorString(QStringLiteral("invalid count 0"));
        return false;
    }
    if (!checkCount(count, "release"))
        return false;

    struct sembuf op;
    op.sem_num = 0;
    op.sem_op = short(count);
    op.sem_flg = SEM_UNDO;
    for (;;) {
        if (::semop(m_semid, &op, 1) == 0)
            return true;
        const int err = errno;
        if (err == EINTR || err == EAGAIN) {
            VDBG1(VDebug::STDERR) << "VSemaphoreImpl::release : "
                                  << "skipping interrupted system call" << endl;
            continue;
        }
        VDBG1(VDebug::STDERR) << "VSemaphoreImpl::release : " << vStrError(err) << endl;
        setErrorString(vStrError(err));
        return false;
    }
}

void VSemaphoreImpl::remove()
{
    const int id = m_semid.exchange(-1);
    if (id >= 0)
        ::semctl(id, 0, IPC_RMID);
}

qint32 VSemaphoreImpl::getCurrentCount()
{
    const int v = ::semctl(m_semid, 0, GETVAL);
    if (v == -1) {
        VWARNING(VDebug::STDERR)
            << "VSemaphoreImpl::getCurrentCount: failed to get current value for semaphore"
            << vStrError(errno) << endl;
        return -1;
    }
    return v;
}

// ---- VSemaphore ----

void VSemaphore::checkName(const char* name, const char* className)
{
    bool ok = name && *name;
    for (const char* p = name; ok && *p; ++p)
        ok = isNameChar(*p);
    if (!ok)
        throw VException(QStringLiteral("%1: invalid semaphore name %2")
                             .arg(QLatin1String(className), QString::fromLatin1(name ? name : "")));
}

VSemaphore::VSemaphore(quint32 initialCount, const char* name) : m_semImpl(nullptr)
{
    checkName(name, "VSemaphore");
    m_semImpl = new VSemaphoreImpl(initialCount, name);
}
