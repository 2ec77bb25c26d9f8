// VDebug: one log statement on a numbered debug stream, and the process-wide
// table of at most 50 streams (slots 0 and 1 are standard output and error).
// Thread-safety: a statement belongs to its thread; streams take lines from any thread and process.
// Each line is one write(2) on an O_APPEND descriptor. unregisterStream and
// the setters may run while other threads log to other streams.
// A write that fails (a full disk) drops the line whole and says so once on
// standard error, and again with the count when writing works; a fragment it
// left stays only when its writer could not take it back, and the next line
// then starts with a line feed.
// fork() waits while another thread holds the stream table or stamps a line
// (the library's localtime_r calls run under a lock of its own), so a child
// logs at once. An application thread inside localtime/mktime at the fork can
// still leave glibc's time-zone lock held in the child, whose first line then
// blocks. Nothing may log from inside a fork handler.
// Log files are created 0666 minus the umask; a new file is never created
// through a symbolic link.
#ifndef VORNLIB_VDEBUG_DEBUG_H
#define VORNLIB_VDEBUG_DEBUG_H

#include "VCore/vornlib_export.h"

#include <cstdio>

#include <QByteArray>
#include <QChar>
#include <QLatin1String>
#include <QString>

#include "VCore/printable.h"
#include "VCore/vexception.h"

class VDebug;

// The id of a debug stream: the index of its slot. Built only by VDebug.
struct VORN_EXPORT VDebugStreamId
{
    int id;
    constexpr VDebugStreamId() : id(-1) {}
    int getId() const { return id; }
    bool operator==(const VDebugStreamId& o) const { return id == o.id; }
    bool operator!=(const VDebugStreamId& o) const { return id != o.id; }

private:
    friend class VDebug;
    constexpr explicit VDebugStreamId(int i) : id(i) {}
};

class VORN_EXPORT VDebug
{
public:
    enum debug_level_t : qint32 {
        VSYSTEM = -1,
        VERROR = 0,
        VWARNING = 1,
        VNOTICE = 2,
        VDBG1 = 3,
        VDBG2 = 4,
        VDBG3 = 5,
        DBG_LAST = 6
    };

    typedef VDebugStreamId StreamId;

    // Constant-initialised: valid during every component's static init.
    static constexpr StreamId STDOUT{0};
    static constexpr StreamId STDERR{1};
    static constexpr int MAX_STREAMS = 50;

    static VDebug vDebugSystem(StreamId id) { return VDebug(id, VSYSTEM); }
    static VDebug vDebugError(StreamId id) { return VDebug(id, VERROR); }
    static VDebug vDebugWarning(StreamId id) { return VDebug(id, VWARNING); }
    static VDebug vDebugNotice(StreamId id) { return VDebug(id, VNOTICE); }
    static VDebug vDebug1(StreamId id) { return VDebug(id, VDBG1); }
    static VDebug vDebug2(StreamId id) { return VDebug(id, VDBG2); }
    static VDebug vDebug3(StreamId id) { return VDebug(id, VDBG3); }

    ~VDebug() {}

    typedef VDebug& (*VDebugFunction)(VDebug&);

    VDebug& operator<<(VDebugFunction f) { return f(*this); }
    VDebug& operator<<(const char* t) { if (_active) appendText(t); return *this; }
    VDebug& operator<<(const QString& t) { if (_active) appendText(t); return *this; }
    VDebug& operator<<(const QLatin1String& t) { if (_active) appendText(t); return *this; }
    VDebug& operator<<(const QByteArray& t) { if (_active) appendText(t); return *this; }
    VDebug& operator<<(const VPrintable& t) { if (_active) appendText(t.toString()); return *this; }
    VDebug& operator<<(QChar t) { if (_active) appendChar(t.toLatin1() ? t.toLatin1() : '?'); return *this; }
    VDebug& operator<<(char t) { if (_active) appendChar(t); return *this; }
    VDebug& operator<<(bool t) { if (_active) appendText(t ? "true" : "false"); return *this; }
    VDebug& operator<<(short t) { if (_active) appendSigned(t); return *this; }
    VDebug& operator<<(unsigned short t) { if (_active) appendUnsigned(t); return *this; }
    VDebug& operator<<(int t) { if (_active) appendSigned(t); return *this; }
    VDebug& operator<<(unsigned int t) { if (_active) appendUnsigned(t); return *this; }
    VDebug& operator<<(long t) { if (_active) appendSigned(t); return *this; }
    VDebug& operator<<(unsigned long t) { if (_active) appendUnsigned(t); return *this; }
    VDebug& operator<<(long long t) { if (_active) appendSigned(t); return *this; }
    VDebug& operator<<(unsigned long long t) { if (_active) appendUnsigned(t); return *this; }
    VDebug& operator<<(float t) { if (_active) appendDouble(t); return *this; }
    VDebug& operator<<(double t) { if (_active) appendDouble(t); return *this; }
    VDebug& operator<<(const void* t) { if (_active) appendPointer(t); return *this; }

    VDebug& space() { _space = true; return *this; }
    VDebug& nospace() { _space = false; return *this; }
    void setHexMode(bool hex) { _hex = hex; }

    // Writes the gathered text and a newline as one line.
    void flush();

    // Stream registry. registerStream: only VException leaves it.
    static StreamId registerStream(const QByteArray& streamName, const char* filename);
    static void unregisterStream(StreamId id);
    static void setDebugLevel(StreamId id, int newDebugLevel);
    static debug_level_t getDebugLevel(StreamId id);
    // Arms size rotation of a stream that writes to a regular file of its
    // own, in megabytes (0 or less: off): the line that takes the file past
    // the size has it copied to "<base>_ddMMyy_hhmmss.<suffix>" beside it and
    // emptied in place. The copy gets its name only once whole: until then
    // it has none, or where the file system cannot make unnamed files a
    // hidden temporary name with a random part, which a later rotation
    // removes once its writer is dead. Where the file system can neither
    // rename without replacing nor link, the copy is renamed after a check
    // that the name is free (a file made there in between is replaced).
    // Processes logging to files of one base name share the semaphore
    // "<base>_rotationSem"; each line holds it while it is written, so no
    // line is lost to a rotation. A line that waited the rotation wait
    // (10 s) for it, and a line of a process whose semaphore was refused (the
    // message names its key file), holds a shared lock on the file instead,
    // waited for as long at most; one that does not get it goes out anyway,
    // said once on standard error. A rotation still copies such lines: its
    // last look at the file comes after every step that may stall, just
    // before the truncation; only lines written between the two are lost: a
    // few where the truncation is slow (FUSE, network file systems), all
    // that come while a rotator is stopped exactly there. A rotation that
    // cannot lock the file in that time is retried a minute later. A process
    // that has not armed rotation on the file cannot know that others rotate
    // it: its lines written during their rotations may be lost. Refusals and
    // failures are written to standard error; the stream keeps logging.
    static void setRotationSize(StreamId id, int logRotationSize);
    static void setTimestampWithMilliseconds(bool withMilliseconds);
    static void setPrintProcessIdAndThreadId(bool print);
    static bool getPrintProcessIdAndThreadId();

    class VDebugSink;

private:
    friend struct VDebugTestAccess;
    friend class VPeriodicLogRotator;

    VDebug(StreamId id, debug_level_t level);

    static VDebugSink& getSink(StreamId id);
    static void initCrashHandler() {}

    void printNewLineHeader();
    void printTimestamp();
    void printProcessIdAndThreadId();
    void printDebugLevel();

    void beginItem() { if (_movedToNewLine) printNewLineHeader(); }
    void endItem() { if (_space) _content.append(' '); }
    void appendText(const char* t);
    void appendText(const QString& t);
    void appendText(const QLatin1String& t);
    void appendText(const QByteArray& t);
    void appendBytes(const char* data, int len);
    void appendChar(char c);
    void appendSigned(qint64 v);
    void appendUnsigned(quint64 v);
    void appendDouble(double v);
    void appendPointer(const void* p);

    VDebugSink* _sink;
    debug_level_t _debugLevel;
    bool _movedToNewLine;
    bool _space;
    QByteArray _content;
    bool _active;
    bool _hex;

    static const char* const _TIMESTAMP_FORMAT_WITHOUT_MILLISECONDS;
    static const char* const _TIMESTAMP_FORMAT_WITH_MILLISECONDS;
    static const char* const _debugLevelStrings[8];
};

// Writes the statement's line.
VORN_EXPORT VDebug& endl(VDebug& d);

inline VDebug VERROR(VDebug::StreamId id) { return VDebug::vDebugError(id); }
inline VDebug VWARNING(VDebug::StreamId id) { return VDebug::vDebugWarning(id); }
inline VDebug VNOTICE(VDebug::StreamId id) { return VDebug::vDebugNotice(id); }
inline VDebug VDBG1(VDebug::StreamId id) { return VDebug::vDebug1(id); }
inline VDebug VDBG3(VDebug::StreamId id) { return VDebug::vDebug3(id); }

#endif
