// VPeriodicLogRotator: gives a debug stream a log file "<name>.log" in a
// directory and, once started, a thread that checks it at a fixed interval
// and, when it has reached a size, renames it to "<name>_ddMMyy_hhmmss.log"
// and points the stream at a fresh file of the old name. Rotators of one
// process never share a file; those of different processes know nothing of
// each other.
#ifndef VORNLIB_VDEBUG_PERIODIC_LOG_ROTATOR_H
#define VORNLIB_VDEBUG_PERIODIC_LOG_ROTATOR_H

#include "VCore/vornlib_export.h"

#include <atomic>

#include <QFileInfo>
#include <QSet>
#include <QString>

#include "VCore/thread.h"
#include "VDebug/debug.h"

class VMutex;

// Thread-safe: rotateLog may run in the rotator's thread while any thread logs to the stream.
// A started rotator runs until the process ends and must live as long. It
// acts only on the stream it was made for: once that stream is unregistered
// it does nothing more, even when a new stream takes over the same id.
// The new file under the old name is made only as a new regular file (never
// through a link); a name taken meanwhile by anything else is refused, and
// the stream keeps writing to the renamed file. A time-stamped name that
// exists is never replaced, except where the file system can neither rename
// without replacing nor link: there it is checked and then renamed to, and
// a file made under it in between is replaced.
class VORN_EXPORT VPeriodicLogRotator
{
public:
    // size: kilobytes (0: rotate at every check); sleepInterval: seconds
    // between checks (0 counts as 1). A trailing ".log" of fileName is
    // dropped. Only VException leaves it: "File \"%1\" is already handled by
    // a log rotator" when this process rotates that file already. The
    // standard streams, and a stream that fell back to standard output, are
    // refused with a line on standard error: the rotator then does nothing.
    VPeriodicLogRotator(VDebug::StreamId id, const char* dirName, const char* fileName, qint64 size,
                        quint32 sleepInterval);

    // Starts the checking thread; only VException leaves it.
    void start();
    // One step: with checkLogFileSize, only when the file has reached the
    // size; without, at once.
    void rotateLog(bool checkLogFileSize);

private:
    VPeriodicLogRotator(const VPeriodicLogRotator&);
    VPeriodicLogRotator& operator=(const VPeriodicLogRotator&);
    friend struct VPeriodicLogRotatorTestAccess;
    static void reportOpenFailed(const QString& path);

    class LogRotationTask : public VThread
    {
    public:
        explicit LogRotationTask(VPeriodicLogRotator* outer) : VThread("thread"), _outer(outer) {}
        ~LogRotationTask() override {}

    protected:
        void run() override;

    private:
        VPeriodicLogRotator* _outer;
    };

    VDebug::StreamId _id;
    QFileInfo _info;
    QString _fileName;
    QString _dirName;
    qint64 _size;
    quint32 _sleepInterval;
    // False for a refused stream.
    std::atomic<bool> _enabled;
    // The sink of the stream this rotator was made for.
    quint64 _sinkSerial;

    static const QString _fileExtension;
    static VMutex& _mutex;
    static QSet<QString>& _registeredFileNames;
    // Sleeps between checks; tests replace it.
    static void (*_sleep)(quint32 seconds);
};

#endif
