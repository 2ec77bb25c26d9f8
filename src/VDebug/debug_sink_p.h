// Private: one output stream of the debug-stream table.
// Thread-safe, except that unregistration must not race with writers of the same stream.
// Re-pointing the file and arming rotation change it atomically or in place.
#ifndef VORNLIB_VDEBUG_DEBUG_SINK_P_H
#define VORNLIB_VDEBUG_DEBUG_SINK_P_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <ctime>
#include <functional>

#include <QString>

#include "VDebug/debug.h"

class VMutex;
class VSemaphore;

class VDebug::VDebugSink
{
public:
    VDebugSink(FILE* fstream, debug_level_t debugLevel, const QByteArray& streamName);
    // Placeholder left in a slot by unregisterStream: no file, no threshold.
    VDebugSink();
    ~VDebugSink();

    VDebugSink(const VDebugSink&) = delete;
    VDebugSink& operator=(const VDebugSink&) = delete;

    // Opens filename for appending. On a sink that already writes to a file
    // of its own the new file takes the old one's descriptor (dup3), so lines
    // in flight land whole in one of the two and no FILE is ever closed
    // under a writer.
    bool initSink(const char* filename);
    void closeSink();

    FILE* getFStream() const { return _fstream.load(std::memory_order_acquire); }
    const QByteArray& getStreamName() const { return _streamName; }
    const QByteArray& getSinkFilePath() const { return _sinkFilePath; }
    bool isDummy() const { return _isDummy; }
    // Unique to this sink in the process: a slot's next sink has another.
    quint64 serial() const { return _serial; }
    // Size of the file the stream writes to, -1 when unknown.
    qint64 getLogSize();

    debug_level_t level() const { return _globalDebugLevel.load(std::memory_order_relaxed); }
    void setLevel(debug_level_t l) { _globalDebugLevel.store(l, std::memory_order_relaxed); }

    // Writes one whole line (data must end with its newline). On a stream
    // with size rotation the writer holds the rotation semaphore around the
    // write and the size check, so that no line falls between a rotation's
    // copy and its truncation, in this process or another.
    void writeLine(const char* data, size_t len);
    // One write of the line (after a newline ending a fragment that an
    // earlier failed write left); a failed write counts a dropped line and
    // leaves no fragment when holdsUnit allows cutting it.
    void writeWhole(FILE* f, const char* data, size_t len, bool holdsUnit);
    bool cutFragment(int fd, size_t n);
    // The descriptor through which lines written without the rotation unit
    // take their shared lock, -1 when none can be opened.
    int bypassLockFd(int fd);
    // One line without the rotation unit, under the shared lock when it can
    // be had within the rotation wait (gate held).
    void writeBypassing(FILE* f, const char* data, size_t len);
    // Called with the rotation unit held, after a line: rotates when the
    // file has outgrown the limit.
    void reportFlushed();
    // Arms size rotation at size megabytes (0 or less: off). Only VException
    // leaves it (an invalid semaphore name).
    void setRotationSize(int size);
    // Takes the rotation unit for one line, waiting a bounded time; false:
    // the line goes out unguarded and unchecked.
    bool takeRotationUnit(VSemaphore* sem);
    // One rotation: copies the file beside itself and empties it.
    bool rotateLogFile();
    // Opens the file a rotation copies into; tempName is left empty when
    // the file has no name yet, else set to the name it has. -1 with errno.
    int openCopy(QByteArray* tempName);

    std::atomic<debug_level_t> _globalDebugLevel;
    std::atomic<FILE*> _fstream;
    bool _ownsFile;
    QByteArray _streamName;
    QByteArray _sinkFilePath;
    std::atomic<bool> _rotatable;
    std::atomic<long> _maxSize;
    std::atomic<VSemaphore*> _rotationSem;
    // Parts of the rotated copies' names, and the name a copy is written
    // under until it is whole, fixed when rotation is armed.
    QString _copyDir;
    QString _copyBase;
    QString _copySuffix;
    // Where a copy cannot be unnamed, it is written under this prefix and a
    // random part until it is whole.
    QByteArray _copyTemp;
    // Guarded by the rotation unit: whether copies can be unnamed (found at
    // the first rotation), and how this folder renames without replacing.
    enum CopyWay { kCopyWayUnknown, kCopyUnnamed, kCopyTempName };
    CopyWay _copyWay = kCopyWayUnknown;
    int _renameWay = 0;
    // Guarded by the rotation unit: no copy is tried before this second of
    // the log clock; a failure is reported once.
    qint64 _retryAfter;
    bool _failureReported;
    std::atomic<bool> _semFailureReported;
    // The last wait for the unit timed out (guarded by _rotationGate).
    bool _semStalled;
    // This process cannot take part in rotation (its semaphore was refused),
    // but others may rotate the file: every line goes out as a bypassing one.
    std::atomic<bool> _lockOnly{false};
    // Threads of this process queue here rather than on the semaphore: a
    // hand-over inside the process is far cheaper than one in the kernel.
    pthread_mutex_t _rotationGate;
    // Threads waiting at the gate, and the rotation unit kept for them by the
    // last writer (guarded by _rotationGate) for at most kLeaseLines lines.
    std::atomic<int> _gateWaiters;
    bool _unitHeld;
    int _leaseLines;
    static constexpr int kLeaseLines = 64;
    bool _isDummy;
    const quint64 _serial;
    // Changed under the FILE's lock: an earlier write left part of a line
    // (atomic: read on every line), and the lines dropped since writing last
    // worked.
    std::atomic<bool> _fragmentLeft{false};
    std::atomic<quint64> _dropped{0};
    // Guarded by _rotationGate: this process's description for bypass locks.
    int _bypassFd = -1;
    short _bypassLockType = 0;
    // The last wait for the shared lock timed out: lines only try for it
    // until it is free again.
    bool _lockStalled = false;
    // A line went out without the lock, and standard error said so.
    bool _unlockedReported = false;
    pid_t _bypassPid = 0;
    ino_t _bypassIno = 0;
    dev_t _bypassDev = 0;
};
// Runs step on the stream's sink under the stream table's lock, only while
// the stream's slot still holds the sink of that serial; false otherwise.
bool vRepointSink(VDebug::StreamId id, quint64 serial, const std::function<bool(VDebug::VDebugSink&)>& step);
// One line on standard error: how the library complains about a stream's
// set-up and rotation (never through a stream, which may be the broken one).
void vReportToStderr(const QString& text);
// Renames without replacing an existing name; false with errno. Where the
// file system can neither rename so nor link, the name is checked and then
// renamed over: a file made there between the two is replaced. way, when
// given, keeps what worked (start at 0) so that later calls go straight to it.
bool vRenameNoReplace(const QByteArray& from, const QByteArray& to, int* way = nullptr);
// The log clock's time now: it stamps lines and names rotated copies.
void vDebugClockNow(struct timespec* ts);
// Its local time as "ddMMyy_hhmmss", the stamp in rotated copies' names.
QString vRotationStamp(const struct timespec& ts);

// Test seam: the clock that stamps log lines.
// Thread-safe: each call is one atomic load or store.
struct VDebugTestAccess
{
    typedef void (*Clock)(struct timespec*);
    static void setClock(Clock clock);
    // The stream table's lock (registration takes it).
    static VMutex& streamTableLock();
    // Counts copy attempts of size rotation in this process.
    static int rotationAttempts();
    // How long a line waits for the rotation unit and a rotation for its
    // lock (0: the default 10 s); how long a line that goes without the unit
    // waits for its shared lock (0: the same).
    static void setRotationWait(int ms, int lineLockMs = 0);
    // Makes rename-without-replace and hard links fail as on a file system
    // without them.
    static void refuseLinks(bool refuse);
    // The next naming of a rotated copy in this process first sleeps ms.
    static void stallNaming(int ms);
    // The armed rotation limit of a stream in bytes (0: off).
    static long rotationSize(VDebug::StreamId id) { return VDebug::getSink(id)._maxSize.load(); }
    static bool isActive(const VDebug& d) { return d._active; }
};

#endif
