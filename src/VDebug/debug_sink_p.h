// Private: one output stream of the debug-stream table.
// Thread-safety: the threshold is atomic; the file is replaced only by
// registration, unregistration and rotation.
#ifndef VORNLIB_VDEBUG_DEBUG_SINK_P_H
#define VORNLIB_VDEBUG_DEBUG_SINK_P_H

#include <atomic>
#include <ctime>

#include <QFile>

#include "VDebug/debug.h"

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

    bool initSink(const char* filename);
    void closeSink();

    FILE* getFStream() const { return _fstream; }
    const QByteArray& getStreamName() const { return _streamName; }
    const QByteArray& getSinkFilePath() const { return _sinkFilePath; }
    bool isDummy() const { return _isDummy; }
    qint64 getLogSize();

    debug_level_t level() const { return _globalDebugLevel.load(std::memory_order_relaxed); }
    void setLevel(debug_level_t l) { _globalDebugLevel.store(l, std::memory_order_relaxed); }

    // Writes one whole line (data must end with its newline).
    void writeLine(const char* data, size_t len);
    // Called after every line; size rotation hooks in here.
    void reportFlushed() {}

    std::atomic<debug_level_t> _globalDebugLevel;
    FILE* _fstream;
    bool _ownsFile;
    QByteArray _streamName;
    QByteArray _sinkFilePath;
    bool _rotatable;
    long _maxSize;
    QFile _handleToCheckSize;
    VSemaphore* _rotationSem;
    bool _isDummy;
};

// Test seam: the clock that stamps log lines.
struct VDebugTestAccess
{
    typedef void (*Clock)(struct timespec*);
    static void setClock(Clock clock);
    static bool isActive(const VDebug& d) { return d._active; }
};

#endif
