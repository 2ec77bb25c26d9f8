#include "VDebug/debug.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "VArch/arch_unix.h"
#include "VCore/cancel_guard_p.h"
#include "VCore/eintr_p.h"
#include "VCore/fork_lock_p.h"
#include "VCore/mutex.h"
#include "VCore/runtime_dir_p.h"
#include "VCore/semunix.h"
#include "VCore/semunix_p.h"
#include "VCore/thread.h"
#include "VCore/unique_fd_p.h"
#include "VDebug/debug_sink_p.h"

constexpr VDebug::StreamId VDebug::STDOUT;
constexpr VDebug::StreamId VDebug::STDERR;

const char* const VDebug::_TIMESTAMP_FORMAT_WITHOUT_MILLISECONDS = "dd.MM.yyyy hh:mm:ss";
const char* const VDebug::_TIMESTAMP_FORMAT_WITH_MILLISECONDS = "dd.MM.yyyy hh:mm:ss.zzz";
const char* const VDebug::_debugLevelStrings[8] = {
    "SYSTEM", "ERROR", "WARNING", "NOTICE", "DBG1", "DBG2", "DBG3",
    "THE_LAST_DEBUG_LEVEL_SHOULD_NOT_BE_USED"};

namespace {

void realClock(struct timespec* ts) { clock_gettime(CLOCK_REALTIME, ts); }

std::atomic<VDebugTestAccess::Clock> g_clock{&realClock};
std::atomic<bool> g_withMilliseconds{false};
std::atomic<bool> g_printIds{false};

void initGate(pthread_mutex_t* m)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
}

void lockForFork();
void unlockAfterFork();
void resetAfterFork();

// The stream table. Created on first use and never destroyed, so that
// threads still logging while the process exits find it intact.
struct SinkTable
{
    std::atomic<VDebug::VDebugSink*> sinks[VDebug::MAX_STREAMS];
    int nextSink;
    VMutex mutex;

    SinkTable() : nextSink(2)
    {
        for (auto& s : sinks)
            s.store(nullptr, std::memory_order_relaxed);
        sinks[0].store(new VDebug::VDebugSink(stdout, VDebug::VWARNING, QByteArray()));
        sinks[1].store(new VDebug::VDebugSink(stderr, VDebug::VWARNING, QByteArray()));
        pthread_atfork(&lockForFork, &unlockAfterFork, &resetAfterFork);
    }
};

SinkTable& table()
{
    static SinkTable* t = new SinkTable;
    return *t;
}

template <class F>
void forEachSink(F f)
{
    for (auto& slot : table().sinks) {
        if (VDebug::VDebugSink* s = slot.load(std::memory_order_acquire))
            f(s);
    }
}

// A child made by fork() while another thread held the table's mutex or a
// stream's gate would find it locked for good: fork waits until neither is
// held. The table's mutex is taken first and kept until after the fork, so
// no stream is unregistered between the handlers' walks of the table.
// Nothing here logs.
void lockForFork()
{
    VForkLock::prepare(table().mutex);
    forEachSink([](VDebug::VDebugSink* s) { pthread_mutex_lock(&s->_rotationGate); });
}

void unlockAfterFork()
{
    forEachSink([](VDebug::VDebugSink* s) { pthread_mutex_unlock(&s->_rotationGate); });
    VForkLock::parent(table().mutex);
}

// In the child the forking thread holds every gate; it lets them go, and the
// rotation unit is not held there: System V undo entries are not inherited.
void resetAfterFork()
{
    forEachSink([](VDebug::VDebugSink* s) {
        pthread_mutex_unlock(&s->_rotationGate);
        s->_unitHeld = false;
        s->_leaseLines = 0;
    });
    VForkLock::child(table().mutex);
}

// glibc's time-zone lock, taken inside localtime_r, stays locked in a child
// forked while another thread is inside it. The library's own calls run
// under this lock, which fork takes first, so none is inside localtime_r
// across a fork. Application threads calling localtime/mktime are not
// covered.
pthread_mutex_t g_localTimeLock = PTHREAD_MUTEX_INITIALIZER;
void lockLocalTime() { pthread_mutex_lock(&g_localTimeLock); }
void unlockLocalTime() { pthread_mutex_unlock(&g_localTimeLock); }
[[maybe_unused]] const int g_localTimeAtFork = pthread_atfork(&lockLocalTime, &unlockLocalTime, &unlockLocalTime);

void localTime(time_t sec, struct tm* out)
{
    // localtime_r may read the zone file: no cancellation with the lock held.
    VCancelGuard noCancel;
    lockLocalTime();
    localtime_r(&sec, out);
    unlockLocalTime();
}

// Answers for ids that name no live stream: never active, never written.
VDebug::VDebugSink& nullSink()
{
    static VDebug::VDebugSink* s = new VDebug::VDebugSink();
    return *s;
}

std::atomic<int> g_rotationAttempts{0};
std::atomic<int> g_rotationWaitMs{10000};
// The bypassing lines' wait for their shared lock; the rotation wait too,
// except where a test sets it apart.
std::atomic<int> g_lineLockWaitMs{10000};

} // namespace

void vReportToStderr(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

void VDebugTestAccess::setClock(Clock clock)
{
    g_clock.store(clock ? clock : &realClock);
}

void vDebugClockNow(struct timespec* ts)
{
    g_clock.load(std::memory_order_relaxed)(ts);
}

QString vRotationStamp(const struct timespec& ts)
{
    struct tm t;
    localTime(ts.tv_sec, &t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d_%02d%02d%02d", t.tm_mday, t.tm_mon + 1,
                  t.tm_year % 100, t.tm_hour, t.tm_min, t.tm_sec);
    return QString::fromLatin1(buf);
}

namespace {

std::atomic<bool> g_refuseLinks{false};
std::atomic<int> g_namingStallMs{0};

enum RenameWay { kRenameWayUnknown, kRenameNoReplace, kRenameByLink, kRenameAfterCheck };

int renameNoReplace(const char* from, const char* to)
{
    if (g_refuseLinks.load(std::memory_order_relaxed)) {
        errno = EINVAL;
        return -1;
    }
    return vRetryOnEintr([&] { return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE); });
}

int hardLink(int fromDir, const char* from, const char* to, int flags)
{
    if (g_refuseLinks.load(std::memory_order_relaxed)) {
        errno = EPERM;
        return -1;
    }
    return vRetryOnEintr([&] { return ::linkat(fromDir, from, AT_FDCWD, to, flags); });
}

} // namespace

void VDebugTestAccess::refuseLinks(bool refuse)
{
    g_refuseLinks.store(refuse);
}

void VDebugTestAccess::stallNaming(int ms)
{
    g_namingStallMs.store(ms);
}

bool vRenameNoReplace(const QByteArray& from, const QByteArray& to, int* way)
{
    int known = kRenameWayUnknown;
    int& w = way ? *way : known;
    if (w == kRenameWayUnknown || w == kRenameNoReplace) {
        if (renameNoReplace(from.constData(), to.constData()) == 0) {
            w = kRenameNoReplace;
            return true;
        }
        if (w == kRenameNoReplace || (errno != EINVAL && errno != ENOSYS))
            return false;
    }
    if (w == kRenameWayUnknown || w == kRenameByLink) {
        // link refuses an existing name.
        if (hardLink(AT_FDCWD, from.constData(), to.constData(), 0) == 0) {
            ::unlink(from.constData());
            w = kRenameByLink;
            return true;
        }
        if (w == kRenameByLink || (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS))
            return false;
    }
    // Neither (some FUSE and network file systems): every file system has
    // rename, which replaces a name made after the check.
    struct stat st;
    if (::lstat(to.constData(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    if (errno != ENOENT || vRetryOnEintr([&] { return ::rename(from.constData(), to.constData()); }) != 0)
        return false;
    w = kRenameAfterCheck;
    return true;
}

void VDebugTestAccess::setRotationWait(int ms, int lineLockMs)
{
    g_rotationWaitMs.store(ms > 0 ? ms : 10000);
    g_lineLockWaitMs.store(lineLockMs > 0 ? lineLockMs : g_rotationWaitMs.load());
}

VMutex& VDebugTestAccess::streamTableLock()
{
    return table().mutex;
}

bool vRepointSink(VDebug::StreamId id, quint64 serial, const std::function<bool(VDebug::VDebugSink&)>& step)
{
    SinkTable& t = table();
    VCancelSafeLocker<VMutex> lock(&t.mutex);
    const int slot = id.getId();
    VDebug::VDebugSink* s = slot >= 0 && slot < VDebug::MAX_STREAMS ? t.sinks[slot].load() : nullptr;
    if (!s || s->serial() != serial || s->isDummy())
        return false;
    return step(*s);
}

int VDebugTestAccess::rotationAttempts()
{
    return g_rotationAttempts.load();
}

// ---- sink ----

namespace {
std::atomic<quint64> g_nextSerial{1};
} // namespace

VDebug::VDebugSink::VDebugSink(FILE* fstream, debug_level_t debugLevel, const QByteArray& streamName)
    : _globalDebugLevel(debugLevel), _fstream(fstream), _ownsFile(false), _streamName(streamName),
      _rotatable(false), _maxSize(0), _rotationSem(nullptr), _retryAfter(0), _failureReported(false),
      _semFailureReported(false), _semStalled(false), _gateWaiters(0), _unitHeld(false),
      _leaseLines(0), _isDummy(false), _serial(g_nextSerial++)
{
    initGate(&_rotationGate);
}

VDebug::VDebugSink::VDebugSink()
    : _globalDebugLevel(VSYSTEM), _fstream(nullptr), _ownsFile(false), _rotatable(false),
      _maxSize(0), _rotationSem(nullptr), _retryAfter(0), _failureReported(false),
      _semFailureReported(false), _semStalled(false), _gateWaiters(0), _unitHeld(false),
      _leaseLines(0), _isDummy(true), _serial(g_nextSerial++)
{
    initGate(&_rotationGate);
}

VDebug::VDebugSink::~VDebugSink()
{
    closeSink();
    pthread_mutex_destroy(&_rotationGate);
}

namespace {

// Opens a log file for appending. A new file is made with O_EXCL and never
// through a link; when reopen is set (the name is being re-pointed, in a
// directory others may write) an existing file must be a regular file and
// not a link, and a name that vanishes between the two opens is tried again.
int openLogFile(const char* filename, bool reopen)
{
    const int append = O_WRONLY | O_APPEND | O_CLOEXEC;
    for (int attempt = 0; attempt < 16; ++attempt) {
        int fd = vRetryOnEintr([&] { return ::open(filename, append | O_CREAT | O_EXCL | O_NOFOLLOW, 0666); });
        if (fd >= 0 || errno != EEXIST)
            return fd;
        if (!reopen)
            return vRetryOnEintr([&] { return ::open(filename, append); });
        fd = vRetryOnEintr([&] { return ::open(filename, append | O_NOFOLLOW | O_NONBLOCK); });
        if (fd < 0) {
            if (errno == ENOENT)
                continue;
            return -1;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            errno = EINVAL;
            return -1;
        }
        ::fcntl(fd, F_SETFL, O_APPEND); // blocking again
        return fd;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

bool VDebug::VDebugSink::initSink(const char* filename)
{
    if (!filename)
        return false;
    FILE* old = _fstream.load();
    if (_ownsFile && old) {
        // Re-pointed while other threads may be writing: the new file takes
        // over the old descriptor number, so the FILE they hold stays valid.
        const VUniqueFd fd(openLogFile(filename, true));
        if (!fd.isValid() || vRetryOnEintr([&] { return ::dup3(fd.get(), fileno(old), O_CLOEXEC); }) < 0)
            return false;
    } else {
        // A standard FILE (the fallback) is never closed: other threads may
        // hold it.
        VUniqueFd fd(openLogFile(filename, false));
        FILE* f = fd.isValid() ? ::fdopen(fd.get(), "a") : nullptr;
        if (!f)
            return false;
        fd.release(); // the FILE owns it now
        _fstream.store(f, std::memory_order_release);
        _ownsFile = true;
    }
    // Absolute, so that rotation still finds the file after a chdir.
    const QByteArray path =
        QFileInfo(QString::fromLocal8Bit(filename)).absoluteFilePath().toLocal8Bit();
    if (path != _sinkFilePath)
        _sinkFilePath = path;
    return true;
}

void VDebug::VDebugSink::closeSink()
{
    FILE* f = _fstream.load();
    if (f && _ownsFile) {
        std::fclose(f);
        _fstream.store(nullptr);
    }
    _ownsFile = false;
    _rotatable.store(false);
    delete _rotationSem.exchange(nullptr);
    if (_bypassFd >= 0 && _bypassPid == ::getpid())
        ::close(_bypassFd);
    _bypassFd = -1;
}

qint64 VDebug::VDebugSink::getLogSize()
{
    FILE* f = _fstream.load(std::memory_order_acquire);
    struct stat st;
    if (!f || ::fstat(fileno(f), &st) != 0)
        return -1;
    return st.st_size;
}

namespace {

// Open-file-description locks on the whole log file. They belong to the open
// file, not the process, so threads and processes that share one descriptor
// share one lock: each party locks through a description of its own.
// Never waits: waits are bounded by the caller (lockWithin).
struct flock wholeFile(short type)
{
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return fl;
}

bool ofdLock(int fd, short type)
{
    struct flock fl = wholeFile(type);
    return vRetryOnEintr([&] { return ::fcntl(fd, F_OFD_SETLK, &fl); }) == 0;
}

// The name under /proc of the file fd stands for: it reaches the same file
// even after that is renamed or has no name.
QByteArray procPathOf(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// A description of its own on the file that fd writes to (reopened through
// /proc, so a file renamed meanwhile is still the same file); -1 on failure.
int reopenOwnFile(int fd, int flags)
{
    const QByteArray self = procPathOf(fd);
    return vRetryOnEintr([&] { return ::open(self.constData(), flags | O_CLOEXEC); });
}

bool isLockConflict(int err) { return err == EAGAIN || err == EACCES; }

// Takes a lock of type through lockFd, trying for at most waitMs: whoever
// holds it (another program, a stopped process) never stops a line or a
// rotation for longer. On false errno tells why.
bool lockWithin(int lockFd, short type, int waitMs)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (ofdLock(lockFd, type))
            return true;
        const int err = errno;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long waited = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (!isLockConflict(err) || waited >= waitMs) {
            errno = err;
            return false;
        }
        VThread::sleepMilli(1);
    }
}

QString sinkName(const VDebug::VDebugSink& s)
{
    if (!s.getSinkFilePath().isEmpty())
        return QString::fromLocal8Bit(s.getSinkFilePath());
    return s.getFStream() == stderr ? QStringLiteral("standard error") : QStringLiteral("standard output");
}

} // namespace

// One write(2) of the whole line on the O_APPEND descriptor: lines from
// several threads and processes never interleave, whatever their length.
// The FILE lock orders it after anything buffered through stdio and guards
// the fragment and drop bookkeeping.
void VDebug::VDebugSink::writeWhole(FILE* f, const char* data, size_t len, bool holdsUnit)
{
    flockfile(f);
    fflush_unlocked(f);
    const int fd = fileno_unlocked(f);
    // A fragment left by a failed write is ended first, so no line is glued
    // to it.
    QByteArray joined;
    const size_t prefix = _fragmentLeft.load(std::memory_order_relaxed) ? 1 : 0;
    if (prefix) {
        joined.reserve(int(len + 1));
        joined.append('\n');
        joined.append(data, int(len));
        data = joined.constData();
        len += 1;
    }
    size_t done = 0;
    int err = 0;
    while (done < len) {
        const ssize_t n = ::write(fd, data + done, len - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            break;
        }
        done += size_t(n);
    }
    if (prefix && done >= prefix)
        _fragmentLeft.store(false, std::memory_order_relaxed);
    if (done == len) {
        if (_dropped.load(std::memory_order_relaxed) > 0) {
            vReportToStderr(QStringLiteral("VDebug: writing to %1 works again; %2 lines dropped")
                                .arg(sinkName(*this))
                                .arg(_dropped.load(std::memory_order_relaxed)));
            _dropped.store(0, std::memory_order_relaxed);
        }
    } else {
        if (done > prefix && !(holdsUnit && cutFragment(fd, done - prefix)))
            _fragmentLeft.store(true, std::memory_order_relaxed);
        if (_dropped.fetch_add(1, std::memory_order_relaxed) == 0)
            vReportToStderr(vSysError(QStringLiteral("VDebug: lines to %1 are being dropped").arg(sinkName(*this)),
                                      err ? err : ENOSPC));
    }
    funlockfile(f);
}

// Takes back the n bytes of a line cut short, when they are still the file's
// end. Only a holder of the rotation unit does it (no other writer then
// appends but one that bypasses the unit, which the exclusive lock holds
// off).
bool VDebug::VDebugSink::cutFragment(int fd, size_t n)
{
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    const VUniqueFd lockFd(reopenOwnFile(fd, O_RDWR | O_APPEND));
    if (end < off_t(n) || !lockFd.isValid() || !ofdLock(lockFd.get(), F_WRLCK))
        return false;
    struct stat st;
    const bool cut = ::fstat(fd, &st) == 0 && st.st_size == end && ::ftruncate(fd, end - off_t(n)) == 0;
    ofdLock(lockFd.get(), F_UNLCK);
    return cut;
}

// A line written without the rotation unit holds a shared lock on the file
// around its write, so that a rotation never copies and truncates across it.
int VDebug::VDebugSink::bypassLockFd(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return -1;
    // Per process and per file: a forked child shares the parent's
    // descriptions, and one party's unlock would free the other's lock.
    if (_bypassFd >= 0 && (_bypassPid != ::getpid() || _bypassIno != st.st_ino || _bypassDev != st.st_dev)) {
        if (_bypassPid == ::getpid())
            ::close(_bypassFd);
        _bypassFd = -1;
    }
    if (_bypassFd < 0) {
        // A file this process may only write takes an exclusive lock instead:
        // a shared one needs read access.
        _bypassFd = reopenOwnFile(fd, O_RDWR | O_APPEND);
        _bypassLockType = F_RDLCK;
        if (_bypassFd < 0) {
            _bypassFd = reopenOwnFile(fd, O_WRONLY | O_APPEND);
            _bypassLockType = F_WRLCK;
        }
        _bypassPid = ::getpid();
        _bypassIno = st.st_ino;
        _bypassDev = st.st_dev;
    }
    return _bypassFd;
}

void VDebug::VDebugSink::writeLine(const char* data, size_t len)
{
    FILE* f = _fstream.load(std::memory_order_acquire);
    if (!f)
        return;
    // Cancellation stays off while the FILE lock or the rotation unit is held.
    VCancelGuard noCancel;
    VSemaphore* sem = _rotatable.load(std::memory_order_acquire) ? _rotationSem.load() : nullptr;
    if (!sem && !_lockOnly.load(std::memory_order_relaxed)) {
        writeWhole(f, data, len, false);
        return;
    }
    // Held around the write: a rotation in any process copies and truncates
    // only while no writer is between its write and its release.
    _gateWaiters.fetch_add(1, std::memory_order_relaxed);
    pthread_mutex_lock(&_rotationGate);
    _gateWaiters.fetch_sub(1, std::memory_order_relaxed);
    const bool held = sem && (_unitHeld || takeRotationUnit(sem));
    if (held) {
        writeWhole(f, data, len, true);
        reportFlushed();
        // While threads of this process queue at the gate, the unit passes
        // among them without two semop calls per line; it goes back when no
        // thread waits, or after kLeaseLines lines so other processes get
        // their turn.
        if (_gateWaiters.load(std::memory_order_relaxed) == 0 || ++_leaseLines >= kLeaseLines) {
            sem->release(1);
            _unitHeld = false;
            _leaseLines = 0;
        } else {
            _unitHeld = true;
        }
    } else {
        // The unit's holder is stopped or slow, or this process has none.
        writeBypassing(f, data, len);
    }
    pthread_mutex_unlock(&_rotationGate);
}

// The line goes out under a shared lock that a rotation's last step waits
// for. A lock not had within the rotation wait (another program's, or a
// rotator stalled in that step) is not waited for again until it is free:
// the line goes out anyway, and the rotation's last look at the file before
// it empties it still copies the line, unless it lands just between the two.
void VDebug::VDebugSink::writeBypassing(FILE* f, const char* data, size_t len)
{
    const int lockFd = bypassLockFd(fileno(f));
    const int waitMs = g_lineLockWaitMs.load(std::memory_order_relaxed);
    int err = errno;
    bool locked = false;
    if (lockFd >= 0) {
        locked = _lockStalled ? ofdLock(lockFd, _bypassLockType) : lockWithin(lockFd, _bypassLockType, waitMs);
        err = errno;
        _lockStalled = !locked && isLockConflict(err);
    }
    writeWhole(f, data, len, false);
    if (locked) {
        ofdLock(lockFd, F_UNLCK);
    } else if (!_unlockedReported) {
        _unlockedReported = true;
        const QString path = QString::fromLocal8Bit(_sinkFilePath);
        vReportToStderr(
            _lockStalled
                ? QStringLiteral("VDebug: %1 locked for more than %2 ms; lines are written without the lock")
                      .arg(path)
                      .arg(waitMs)
                : vSysError(QStringLiteral("VDebug: cannot lock %1; lines are written without the lock").arg(path),
                            err));
    }
}

bool VDebug::VDebugSink::takeRotationUnit(VSemaphore* sem)
{
    if (_semStalled) {
        // After a timeout lines do not wait again until the unit is free.
        if (!sem->tryAcquire(1))
            return false;
        _semStalled = false;
        return true;
    }
    // Bounded: a process stopped while holding the unit, or a set stuck at
    // 0, must not stop every logging process for good.
    bool timedOut = false;
    const int waitMs = g_rotationWaitMs.load(std::memory_order_relaxed);
    if (vAcquireOneWithin(sem, waitMs, &timedOut))
        return true;
    _semStalled = timedOut;
    if (!_semFailureReported.exchange(true)) {
        const QString path = QString::fromLocal8Bit(_sinkFilePath);
        vReportToStderr(timedOut ? QStringLiteral("VDebug: rotation semaphore of %1 taken for more than %2 ms; "
                                                 "lines are written without it and not rotated while it stays taken")
                                      .arg(path)
                                      .arg(waitMs)
                                : QStringLiteral("VDebug: rotation of %1 suspended: semaphore: %2")
                                      .arg(path, sem->errorString()));
    }
    return false;
}

void VDebug::VDebugSink::reportFlushed()
{
    const long maxSize = _maxSize.load(std::memory_order_relaxed);
    if (maxSize <= 0)
        return;
    // Every writer holds the unit, so the offset our append left is the
    // file's size (cheaper than fstat).
    FILE* f = _fstream.load(std::memory_order_acquire);
    if (f && ::lseek(fileno(f), 0, SEEK_CUR) > maxSize)
        rotateLogFile();
}

namespace {

// Appends what src holds from offset *from to its end onto dst; false with
// errno on a failure.
bool copyTail(int src, int dst, off_t* from)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = vRetryOnEintr([&] { return ::pread(src, buf, sizeof buf, *from); });
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = vRetryOnEintr([&] { return ::write(dst, buf + done, size_t(n - done)); });
            if (w < 0)
                return false;
            done += w;
        }
        *from += n;
    }
}

} // namespace

namespace {

const int kRandomPartLength = 12;

// Hexadecimal digits, random: names that neither another process (pids are
// reused across containers that share a folder) nor another user can
// foresee.
QByteArray randomPart()
{
    quint64 r = 0;
    if (vRetryOnEintr([&] { return ::getrandom(&r, sizeof r, GRND_NONBLOCK); }) != ssize_t(sizeof r)) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        r = (quint64(ts.tv_nsec) ^ quint64(quintptr(&r)) << 16 ^ quint64(ts.tv_sec)) * 0x9E3779B97F4A7C15ULL;
    }
    return QByteArray::number(r & 0xffffffffffffULL, 16).rightJustified(kRandomPartLength, '0');
}

// Links the unnamed file fd under name, refusing an existing one. By the
// descriptor alone only with CAP_DAC_READ_SEARCH before Linux 6.10; through
// /proc for any owner.
int linkUnnamed(int fd, const char* name)
{
    if (hardLink(fd, "", name, AT_EMPTY_PATH) == 0)
        return 0;
    if (errno != ENOENT && errno != EPERM)
        return -1;
    return hardLink(AT_FDCWD, procPathOf(fd).constData(), name, AT_SYMLINK_FOLLOW);
}

// Removes the temporary copies that rotators left when they died: a live
// one holds a lock on its copy while it writes it. Not opened: anything but
// a regular file, and what this user may not read.
void removeDeadCopies(const QByteArray& prefix)
{
    const QFileInfo info(QFile::decodeName(prefix));
    const QString start = info.fileName();
    const QStringList names = QDir(info.absolutePath()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (!name.startsWith(start) || name.size() != start.size() + kRandomPartLength)
            continue;
        const QByteArray p = QFile::encodeName(info.absolutePath() + QLatin1Char('/') + name);
        struct stat st, again;
        if (::lstat(p.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const VUniqueFd fd(
            vRetryOnEintr([&] { return ::open(p.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
        struct flock fl = wholeFile(F_WRLCK);
        if (!fd.isValid() || ::fcntl(fd.get(), F_OFD_GETLK, &fl) != 0 || fl.l_type != F_UNLCK)
            continue;
        // Still the file looked at, not one put in its place meanwhile.
        if (::fstat(fd.get(), &again) == 0 && ::lstat(p.constData(), &st) == 0 && st.st_ino == again.st_ino &&
            st.st_dev == again.st_dev)
            ::unlink(p.constData());
    }
}

bool lacksUnnamedFiles(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

} // namespace

// A copy has no name until it is whole, where the file system can do that:
// a rotator killed in the copy leaves nothing behind, and no file another
// user made beside the log can stand in its way. Elsewhere it is written
// under a temporary name with a random part and locked meanwhile, so that
// the next rotation can tell a dead rotator's leftover from a live one's.
// Rotators of one file are kept apart by the rotation unit.
int VDebug::VDebugSink::openCopy(QByteArray* tempName)
{
    tempName->clear();
    const QByteArray dir = QFile::encodeName(_copyDir);
    auto openUnnamed = [&] {
        return vRetryOnEintr([&] { return ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600); });
    };
    const bool probing = _copyWay == kCopyWayUnknown;
    if (probing) {
        // Found once, before any copy is made: whether an unnamed file can
        // be made here and given a name (a file once linked cannot be
        // linked again after its name goes, so the probe is not the copy).
        // Named like a temporary copy and locked, so that the probe of a
        // rotator killed here is removed as one.
        removeDeadCopies(_copyTemp);
        const VUniqueFd probe(openUnnamed());
        const QByteArray name = _copyTemp + randomPart();
        if (probe.isValid() && ofdLock(probe.get(), F_WRLCK) && linkUnnamed(probe.get(), name.constData()) == 0) {
            ::unlink(name.constData());
            _copyWay = kCopyUnnamed;
        } else if (probe.isValid() || lacksUnnamedFiles(errno)) {
            _copyWay = kCopyTempName;
        }
    }
    if (_copyWay == kCopyUnnamed)
        return openUnnamed();
    if (!probing)
        removeDeadCopies(_copyTemp);
    for (int attempt = 0; attempt < 8; ++attempt) {
        *tempName = _copyTemp + randomPart();
        VUniqueFd fd(vRetryOnEintr([&] {
            return ::open(tempName->constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }));
        if (!fd.isValid() && errno == EEXIST)
            continue;
        if (fd.isValid() && ofdLock(fd.get(), F_WRLCK))
            return fd.release();
        const int err = errno;
        if (fd.isValid())
            ::unlink(tempName->constData());
        tempName->clear();
        errno = err;
        return -1;
    }
    tempName->clear();
    errno = EEXIST;
    return -1;
}

bool VDebug::VDebugSink::rotateLogFile()
{
    struct timespec now;
    vDebugClockNow(&now);
    if (now.tv_sec < _retryAfter)
        return false;
    ++g_rotationAttempts;

    const QString path = QString::fromLocal8Bit(_sinkFilePath);
    const QString copyName =
        _copyDir + QLatin1Char('/') + _copyBase + QLatin1Char('_') + vRotationStamp(now) + QLatin1Char('.') + _copySuffix;
    const QByteArray copyPath = QFile::encodeName(copyName);
    // What a failure removes: the copy being written, or once renamed the copy.
    const QByteArray* written = nullptr;
    auto fail = [&](const QString& what, int err, int retrySeconds = 60) {
        if (written)
            ::unlink(written->constData());
        // A copy of that name exists when two rotations fall in one second:
        // try again in the next. Anything else waits a minute.
        const bool collision = err == EEXIST;
        _retryAfter = now.tv_sec + (collision ? 1 : retrySeconds);
        if (!collision && !_failureReported) {
            _failureReported = true;
            vReportToStderr(vSysError(QStringLiteral("VDebug: rotation of %1 failed: %2").arg(path, what), err));
        }
        return false;
    };
    const QString cannotCopy = QStringLiteral("cannot copy to %1").arg(copyName);
    struct stat st;
    if (::lstat(copyPath.constData(), &st) == 0)
        return fail(cannotCopy, EEXIST);
    FILE* f = _fstream.load(std::memory_order_acquire);
    const int fd = fileno(f);
    // Copied through a description of our own on the file we truncate below,
    // even when its name was taken away meanwhile; its exclusive lock holds
    // off lines that bypass the rotation unit.
    VUniqueFd src(reopenOwnFile(fd, O_RDWR | O_APPEND));
    if (!src.isValid())
        src.reset(reopenOwnFile(fd, O_RDONLY));
    if (!src.isValid())
        return fail(cannotCopy, errno);
    QByteArray temp;
    VUniqueFd dst(openCopy(&temp));
    if (!dst.isValid())
        return fail(cannotCopy, errno);
    written = temp.isEmpty() ? nullptr : &temp;
    // Most of the file is copied while lines that bypass the unit may still
    // come; the lock is held only for what they appended since, the naming
    // and the truncation.
    off_t copied = 0;
    if (!copyTail(src.get(), dst.get(), &copied))
        return fail(cannotCopy, errno);
    const int lockFd = src.get();
    const int waitMs = g_rotationWaitMs.load(std::memory_order_relaxed);
    if (!lockWithin(lockFd, F_WRLCK, waitMs)) {
        // Not a wait (a read-only description cannot lock for writing):
        // like any failure.
        const int err = errno;
        if (!isLockConflict(err))
            return fail(QStringLiteral("cannot lock"), err);
        // Another program's lock, or a bypassing writer stopped inside its
        // write: said once, and tried again only after six times the wait
        // (1 s to a minute), the unit given back meanwhile, so that lines
        // wait for it a seventh of the time at most.
        return fail(QStringLiteral("file locked by another process for more than %1 ms").arg(waitMs), EAGAIN,
                    qBound(1, 6 * waitMs / 1000, 60));
    }
    struct Unlock
    {
        int fd;
        ~Unlock() { ofdLock(fd, F_UNLCK); }
    } unlock{lockFd};
    if (!copyTail(src.get(), dst.get(), &copied))
        return fail(cannotCopy, errno);
    if (::fstat(fd, &st) == 0)
        ::fchmod(dst.get(), st.st_mode & 07777);
    if (const int ms = g_namingStallMs.exchange(0))
        VThread::sleepMilli(ms);
    const bool named = temp.isEmpty() ? linkUnnamed(dst.get(), copyPath.constData()) == 0
                                      : vRenameNoReplace(temp, copyPath, &_renameWay);
    if (!named)
        return fail(cannotCopy, errno);
    // Killed from here to the truncation, the lines are in the copy and
    // stay in the log: twice, never lost.
    written = &copyPath;
    // The last look, after every step that may stall: writers that gave up
    // waiting for the lock meanwhile wrote without it, and what they
    // appended goes into the copy still open here. Only a line written
    // between this read and the truncation is lost.
    if (!copyTail(src.get(), dst.get(), &copied))
        return fail(cannotCopy, errno);
    // Some file systems (NFS) report a failed write only at the close: a
    // copy not known whole empties nothing.
    if (::close(dst.release()) != 0)
        return fail(cannotCopy, errno);
    // Emptied in place: every process's append-mode descriptor goes on at
    // the start of the same file.
    if (::ftruncate(fd, 0) != 0)
        return fail(QStringLiteral("cannot truncate"), errno);
    _failureReported = false;
    return true;
}

void VDebug::VDebugSink::setRotationSize(int size)
{
    const QString path = QString::fromLocal8Bit(_sinkFilePath);
    FILE* f = _fstream.load();
    if (!_ownsFile || !f || _sinkFilePath.isEmpty()) {
        vReportToStderr(QStringLiteral("VDebug::setRotationSize: stream %1 has no log file of its own; "
                                      "rotation stays off")
                           .arg(QString::fromLatin1(_streamName)));
        return;
    }
    struct stat st;
    if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        _rotatable.store(false);
        vReportToStderr(QStringLiteral("VDebug::setRotationSize: %1 is not a regular file; rotation stays off")
                           .arg(path));
        return;
    }
    _maxSize.store(size > 0 ? long(size) * 1048576L : 0L);
    if (size <= 0 || _rotationSem.load())
        return;

    const QFileInfo info(path);
    // Made before the stream table is locked: setting a semaphore up touches
    // files in a shared directory and may be slow, and registrations and
    // fork() wait for that lock. Throws on a base name the semaphore
    // refuses; rotation then stays off.
    const QByteArray semName = info.baseName().toLocal8Bit() + "_rotationSem";
    std::unique_ptr<VSemaphore> sem(new VSemaphore(1, semName.constData()));
    if (!sem->isOk()) {
        // Others may still rotate the file: this process's lines hold the
        // shared lock that their rotations wait for. The key file is named
        // so that it can be removed, or another directory or suffix chosen.
        _lockOnly.store(true);
        vReportToStderr(QStringLiteral("VDebug::setRotationSize: rotation semaphore for %1 (key file %2) failed: "
                                      "%3; rotation stays off")
                           .arg(path, QFile::decodeName(vRuntimeFilePath("vsemfile_" + semName)),
                                sem->errorString()));
        return;
    }
    VCancelSafeLocker<VMutex> lock(&table().mutex);
    if (_rotationSem.load())
        return; // armed meanwhile by another thread
    _copyDir = info.absolutePath();
    _copyBase = info.baseName();
    _copySuffix = info.completeSuffix();
    // Hidden: no rotated copy's name starts with a dot.
    _copyTemp = QFile::encodeName(_copyDir + QStringLiteral("/.") + info.fileName() + QStringLiteral(".rotating."));
    _copyWay = kCopyWayUnknown;
    _renameWay = 0;
    _lockOnly.store(false);
    // Published once and kept until the stream goes: writers may hold it.
    _rotationSem.store(sem.release(), std::memory_order_release);
    _rotatable.store(true, std::memory_order_release);
}

// ---- statement ----

VDebug::VDebug(StreamId id, debug_level_t level)
    : _sink(&getSink(id)), _debugLevel(level), _movedToNewLine(true), _space(true),
      _active(level <= _sink->level()), _hex(false)
{
}

VDebug::VDebugSink& VDebug::getSink(StreamId id)
{
    if (id.id < 0 || id.id >= MAX_STREAMS)
        return nullSink();
    VDebugSink* s = table().sinks[id.id].load(std::memory_order_acquire);
    if (!s || s->isDummy())
        return nullSink();
    return *s;
}

void VDebug::printNewLineHeader()
{
    _space = false;
    _content.reserve(256);
    _content.append('[');
    _content.append(_sink->getStreamName());
    _content.append(' ');
    printTimestamp();
    printProcessIdAndThreadId();
    printDebugLevel();
    _content.append(']');
    _space = true;
    _content.append(' ');
    _movedToNewLine = false;
}

void VDebug::printTimestamp()
{
    // The "dd.MM.yyyy hh:mm:ss" text is cached per thread for the current
    // second; the milliseconds are appended by hand.
    struct StampCache
    {
        time_t sec = -1;
        char text[40];
        int len = 0;
    };
    thread_local StampCache cache;
    struct timespec ts;
    g_clock.load(std::memory_order_relaxed)(&ts);
    if (ts.tv_sec != cache.sec) {
        struct tm t;
        localTime(ts.tv_sec, &t);
        cache.len = std::snprintf(cache.text, sizeof cache.text, "%02d.%02d.%04d %02d:%02d:%02d",
                                  t.tm_mday, t.tm_mon + 1, t.tm_year + 1900, t.tm_hour, t.tm_min,
                                  t.tm_sec);
        cache.sec = ts.tv_sec;
    }
    _content.append(cache.text, cache.len);
    if (g_withMilliseconds.load(std::memory_order_relaxed)) {
        const int ms = int(ts.tv_nsec / 1000000);
        const char buf[4] = {'.', char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10)};
        _content.append(buf, 4);
    }
    _content.append(' ');
}

void VDebug::printProcessIdAndThreadId()
{
    if (!g_printIds.load(std::memory_order_relaxed))
        return;
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "p%ld/t%lu ", long(vProcessSelf()),
                                static_cast<unsigned long>(vThreadSelf()));
    _content.append(buf, n);
}

void VDebug::printDebugLevel()
{
    int idx = int(_debugLevel) + 1;
    if (idx < 0 || idx > 7)
        idx = 7;
    _content.append(_debugLevelStrings[idx]);
}

void VDebug::appendBytes(const char* data, int len)
{
    beginItem();
    _content.append(data, len);
    if (len > 0 && data[len - 1] == '\n')
        _movedToNewLine = true;
    endItem();
}

void VDebug::appendText(const char* t)
{
    if (!t) {
        beginItem();
        endItem();
        return;
    }
    appendBytes(t, int(std::strlen(t)));
}

void VDebug::appendText(const QString& t)
{
    // Latin-1: characters outside it become '?'.
    const QByteArray b = t.toLatin1();
    appendBytes(b.constData(), b.size());
}

void VDebug::appendText(const QLatin1String& t)
{
    appendBytes(t.data(), t.size());
}

void VDebug::appendText(const QByteArray& t)
{
    appendBytes(t.constData(), t.size());
}

void VDebug::appendChar(char c)
{
    appendBytes(&c, 1);
}

namespace {

// Digits of v in base 10 or 16 (lower case), written backwards from end.
char* formatUnsigned(quint64 v, int base, char* end)
{
    char* p = end;
    do {
        const int d = int(v % unsigned(base));
        *--p = char(d < 10 ? '0' + d : 'a' + d - 10);
        v /= unsigned(base);
    } while (v);
    return p;
}

} // namespace

void VDebug::appendSigned(qint64 v)
{
    if (_hex || v >= 0) {
        // Negative values in hex show their 64-bit two's complement.
        appendUnsigned(quint64(v));
        return;
    }
    beginItem();
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = formatUnsigned(0 - quint64(v), 10, end);
    *--p = '-';
    _content.append(p, int(end - p));
    endItem();
}

void VDebug::appendUnsigned(quint64 v)
{
    beginItem();
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = formatUnsigned(v, _hex ? 16 : 10, end);
    if (_hex) {
        *--p = 'x';
        *--p = '0';
    }
    _content.append(p, int(end - p));
    endItem();
}

void VDebug::appendDouble(double v)
{
    beginItem();
    _content.append(QByteArray::number(v));
    endItem();
}

void VDebug::appendPointer(const void* p)
{
    beginItem();
    _content.append("0x");
    _content.append(QByteArray::number(quint64(reinterpret_cast<quintptr>(p)), 16));
    endItem();
}

void VDebug::flush()
{
    if (!_active)
        return;
    // The line is written as a C string: an item holding a zero byte cuts it.
    const int nul = _content.indexOf('\0');
    if (nul >= 0)
        _content.truncate(nul);
    _content.append('\n');
    // On a stream with size rotation this also checks the size.
    _sink->writeLine(_content.constData(), size_t(_content.size()));
    _content.clear();
}

VDebug& endl(VDebug& d)
{
    d.flush();
    return d;
}

// ---- registry ----

VDebug::StreamId VDebug::registerStream(const QByteArray& streamName, const char* filename)
{
    // Opened before the table is locked: opening may block (a FIFO, a slow
    // mount), and fork() waits for the table's lock.
    std::unique_ptr<VDebugSink> sink(new VDebugSink(stdout, VERROR, streamName));
    bool opened;
    {
        VCancelGuard noCancel;
        opened = sink->initSink(filename);
    }
    if (!opened) {
        const int err = errno;
        // The stream falls back to standard output; say so once.
        vReportToStderr(vSysError(
            QStringLiteral("cannot open log file %1").arg(QString::fromLocal8Bit(filename ? filename : "")), err));
    }
    SinkTable& t = table();
    VCancelSafeLocker<VMutex> lock(&t.mutex);

    int slot = -1;
    for (int i = t.nextSink - 1; i >= 2; --i) {
        VDebugSink* s = t.sinks[i].load(std::memory_order_relaxed);
        if (s && s->isDummy()) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        if (t.nextSink == MAX_STREAMS)
            throw VException(QStringLiteral("Maximum number of VDebug streams (%1) exceeded")
                                 .arg(MAX_STREAMS));
        slot = t.nextSink++;
    }

    VDebugSink* old = t.sinks[slot].exchange(sink.release(), std::memory_order_acq_rel);
    delete old; // a placeholder: no file, no thread uses it
    initCrashHandler();
    return StreamId(slot);
}

void VDebug::unregisterStream(StreamId id)
{
    if (id.id < 2 || id.id >= MAX_STREAMS)
        return;
    SinkTable& t = table();
    VCancelSafeLocker<VMutex> lock(&t.mutex); // fclose is a cancellation point
    VDebugSink* s = t.sinks[id.id].load(std::memory_order_relaxed);
    if (!s || s->isDummy())
        return;
    t.sinks[id.id].store(new VDebugSink(), std::memory_order_release);
    s->closeSink();
    delete s;
}

void VDebug::setDebugLevel(StreamId id, int newDebugLevel)
{
    VDebugSink& s = getSink(id);
    if (&s == &nullSink())
        return;
    if (unsigned(newDebugLevel) > unsigned(VDBG3))
        newDebugLevel = VERROR;
    s.setLevel(debug_level_t(newDebugLevel));
}

VDebug::debug_level_t VDebug::getDebugLevel(StreamId id)
{
    return getSink(id).level();
}

void VDebug::setRotationSize(StreamId id, int logRotationSize)
{
    VDebugSink& s = getSink(id);
    if (&s == &nullSink())
        return;
    if (id == STDOUT || id == STDERR) {
        // Never on the standard streams: the semaphore reports on STDERR.
        vReportToStderr(QStringLiteral("VDebug::setRotationSize: the standard streams do not rotate"));
        return;
    }
    try {
        s.setRotationSize(logRotationSize);
    } catch (const VException& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
}

void VDebug::setTimestampWithMilliseconds(bool withMilliseconds)
{
    g_withMilliseconds.store(withMilliseconds, std::memory_order_relaxed);
}

void VDebug::setPrintProcessIdAndThreadId(bool print)
{
    g_printIds.store(print, std::memory_order_relaxed);
}

bool VDebug::getPrintProcessIdAndThreadId()
{
    return g_printIds.load(std::memory_order_relaxed);
}
