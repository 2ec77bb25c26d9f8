#include "VDebug/debug.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <QFileInfo>

#include "VArch/arch_unix.h"
#include "VCore/mutex.h"
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
    }
};

SinkTable& table()
{
    static SinkTable* t = new SinkTable;
    return *t;
}

// Answers for ids that name no live stream: never active, never written.
VDebug::VDebugSink& nullSink()
{
    static VDebug::VDebugSink* s = new VDebug::VDebugSink();
    return *s;
}

// Disables cancellation for a scope: a thread cancelled inside a line write
// must not leave the FILE lock held.
struct NoCancel
{
    int old;
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old); }
    ~NoCancel() { pthread_setcancelstate(old, nullptr); }
};

} // namespace

void VDebugTestAccess::setClock(Clock clock)
{
    g_clock.store(clock ? clock : &realClock);
}

// ---- sink ----

VDebug::VDebugSink::VDebugSink(FILE* fstream, debug_level_t debugLevel, const QByteArray& streamName)
    : _globalDebugLevel(debugLevel), _fstream(fstream), _ownsFile(false), _streamName(streamName),
      _rotatable(false), _maxSize(0), _rotationSem(nullptr), _isDummy(false)
{
}

VDebug::VDebugSink::VDebugSink()
    : _globalDebugLevel(VSYSTEM), _fstream(nullptr), _ownsFile(false), _rotatable(false),
      _maxSize(0), _rotationSem(nullptr), _isDummy(true)
{
}

VDebug::VDebugSink::~VDebugSink()
{
    closeSink();
}

bool VDebug::VDebugSink::initSink(const char* filename)
{
    // "e": the descriptor does not leak into exec'd children.
    FILE* f = std::fopen(filename, "ae");
    if (!f)
        return false;
    if (_ownsFile && _fstream)
        std::fclose(_fstream);
    _fstream = f;
    _ownsFile = true;
    // Absolute, so that rotation still finds the file after a chdir.
    _sinkFilePath = QFileInfo(QString::fromLocal8Bit(filename)).absoluteFilePath().toLocal8Bit();
    return true;
}

void VDebug::VDebugSink::closeSink()
{
    if (_fstream && _ownsFile)
        std::fclose(_fstream);
    if (_ownsFile)
        _fstream = nullptr;
    _ownsFile = false;
}

qint64 VDebug::VDebugSink::getLogSize()
{
    return _handleToCheckSize.size();
}

void VDebug::VDebugSink::writeLine(const char* data, size_t len)
{
    FILE* f = _fstream;
    if (!f)
        return;
    NoCancel nc;
    // One write(2) of the whole line on the O_APPEND descriptor: lines from
    // several threads and processes never interleave, whatever their length.
    // The FILE lock orders it after anything buffered through stdio.
    flockfile(f);
    fflush_unlocked(f);
    const int fd = fileno_unlocked(f);
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        data += n;
        len -= size_t(n);
    }
    funlockfile(f);
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
        localtime_r(&ts.tv_sec, &t);
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
    _sink->writeLine(_content.constData(), size_t(_content.size()));
    _content.clear();
    _sink->reportFlushed();
}

VDebug& endl(VDebug& d)
{
    d.flush();
    return d;
}

// ---- registry ----

VDebug::StreamId VDebug::registerStream(const QByteArray& streamName, const char* filename)
{
    SinkTable& t = table();
    VMutexLocker lock(&t.mutex);

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

    VDebugSink* sink = new VDebugSink(stdout, VERROR, streamName);
    if (!sink->initSink(filename)) {
        const int err = errno;
        // The stream falls back to standard output; say so once.
        std::fprintf(stderr, "%s\n",
                     vSysError(QStringLiteral("cannot open log file %1")
                                   .arg(QString::fromLocal8Bit(filename ? filename : "")),
                               err)
                         .toLocal8Bit()
                         .constData());
    }
    VDebugSink* old = t.sinks[slot].exchange(sink, std::memory_order_acq_rel);
    delete old; // a placeholder: no file, no thread uses it
    initCrashHandler();
    return StreamId(slot);
}

void VDebug::unregisterStream(StreamId id)
{
    if (id.id < 2 || id.id >= MAX_STREAMS)
        return;
    SinkTable& t = table();
    VMutexLocker lock(&t.mutex);
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
    s._maxSize = logRotationSize;
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
