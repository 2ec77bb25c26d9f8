#include "VDebug/periodic_log_rotator.h"

#include <cerrno>

#include <QDir>
#include <QFile>

#include "VCore/mutex.h"
#include "VDebug/debug_sink_p.h"

const QString VPeriodicLogRotator::_fileExtension = QStringLiteral(".log");
// Never destroyed: the rotation threads outlive static destruction.
VMutex& VPeriodicLogRotator::_mutex = *new VMutex;
QSet<QString>& VPeriodicLogRotator::_registeredFileNames = *new QSet<QString>;
void (*VPeriodicLogRotator::_sleep)(quint32) = &VThread::sleep;

VPeriodicLogRotator::VPeriodicLogRotator(VDebug::StreamId id, const char* dirName, const char* fileName,
                                         qint64 size, quint32 sleepInterval)
    : _id(id), _fileName(QString::fromLatin1(fileName ? fileName : "")),
      _dirName(QString::fromLatin1(dirName ? dirName : "")), _size(size),
      _sleepInterval(sleepInterval ? sleepInterval : 1), _enabled(false), _sinkSerial(0)
{
    if (_fileName.endsWith(_fileExtension))
        _fileName.chop(_fileExtension.size());
    _info.setFile(_dirName + QDir::separator() + _fileName + _fileExtension);
    _info.setCaching(false);
    // Absolute from here on: the process may change directory later.
    const QString path = _info.absoluteFilePath();
    _info.setFile(path);

    VDebug::VDebugSink& sink = VDebug::getSink(id);
    if (id == VDebug::STDOUT || id == VDebug::STDERR || !sink._ownsFile) {
        vReportToStderr(QStringLiteral("VPeriodicLogRotator: stream %1 has no log file of its own; "
                                       "%2 is not rotated")
                            .arg(id.getId())
                            .arg(path));
        return;
    }
    {
        VMutexLocker lock(&_mutex);
        if (_registeredFileNames.contains(path))
            throw VException(QStringLiteral("File \"%1\" is already handled by a log rotator").arg(path));
        _registeredFileNames.insert(path);
    }
    _enabled = true;
    _sinkSerial = sink.serial();
    if (!sink.initSink(QFile::encodeName(path).constData()))
        reportOpenFailed(path);
}

void VPeriodicLogRotator::reportOpenFailed(const QString& path)
{
    vReportToStderr(
        vSysError(QStringLiteral("VPeriodicLogRotator: cannot open %1; the stream keeps its file").arg(path), errno));
}

void VPeriodicLogRotator::start()
{
    if (!_enabled)
        return;
    // Runs for the life of the process: never joined nor deleted.
    LogRotationTask* task = new LogRotationTask(this);
    task->start();
}

void VPeriodicLogRotator::LogRotationTask::run()
{
    for (;;) {
        _outer->rotateLog(true);
        _sleep(_outer->_sleepInterval);
    }
}

void VPeriodicLogRotator::rotateLog(bool checkLogFileSize)
{
    if (!_enabled)
        return;
    // Compared in kilobytes: _size * 1024 overflows for a huge limit.
    if (checkLogFileSize && _info.size() / 1024 < _size)
        return;
    struct timespec now;
    vDebugClockNow(&now);
    const QString dir = _info.absolutePath();
    const QString oldName = _info.absoluteFilePath();
    // Beside the file, whatever folder part the given name had.
    const QString base = _info.fileName().left(_info.fileName().size() - _fileExtension.size());
    const QString newName = dir + QDir::separator() + base + QLatin1Char('_') + vRotationStamp(now) + _fileExtension;
    bool renamed = false;
    const bool current = vRepointSink(_id, _sinkSerial, [&](VDebug::VDebugSink& sink) {
        // Not Qt's rename: it falls back to copy and remove, which would
        // lose lines written meanwhile.
        renamed = vRenameNoReplace(QFile::encodeName(oldName), QFile::encodeName(newName));
        // No truncation of the old name here: another process may have made
        // a fresh file there already. The sink opens it for appending.
        if (renamed && !sink.initSink(QFile::encodeName(oldName).constData()))
            reportOpenFailed(oldName);
        return true;
    });
    if (!current) {
        // The stream went: this rotator has nothing left to act on.
        _enabled = false;
        return;
    }
    if (renamed)
        return;
    VWARNING(_id) << "[" << "VDebug/periodic_log_rotator" << ":" << 58 << "(" << "rotateLog" << ")"
                  << "]"
                  << "failed to rename" << oldName << "to" << newName << endl
                  << "rotation of log failed" << endl;
}
