// Rotation of log files. By size: the stream is armed at 1 MB; the line that
// takes the file past it has the file copied to a time-stamped name and
// emptied in place. By period: a rotator renames its file to a time-stamped
// name and the stream goes on in a fresh one (here asked for at once; once
// started, its thread checks every interval).
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <QDir>
#include <QFileInfo>

#include <VCore/semunix.h>
#include <VDebug/debug.h>
#include <VDebug/periodic_log_rotator.h>

int main()
{
    char tmpl[] = "/tmp/vornlib_rotation_demo.XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const QString dir = QString::fromLatin1(tmpl);
    // The rotation semaphore's key file goes here too.
    setenv("VORN_TMPDIR", tmpl, 1);

    const QByteArray path = (dir + "/demo.trace.log").toLocal8Bit();
    VDebug::StreamId id = VDebug::registerStream("demo", path.constData());
    VDebug::setDebugLevel(id, VDebug::VNOTICE);
    VDebug::setRotationSize(id, 1);

    const QByteArray filler(80, '.');
    int lines = 0;
    while (QDir(dir).entryList({"demo_*"}, QDir::Files).isEmpty() && lines < 100000)
        VNOTICE(id) << "line" << ++lines << filler << endl;
    VNOTICE(id) << "first line after the rotation" << endl;

    std::printf("wrote %d lines; files in %s:\n", lines, tmpl);
    for (const QFileInfo& f : QDir(dir).entryInfoList({"demo*"}, QDir::Files, QDir::Name))
        std::printf("  %-40s %8lld bytes\n", f.fileName().toLocal8Bit().constData(), f.size());

    VDebug::StreamId periodic = VDebug::registerStream("periodic", (dir + "/start.log").toLocal8Bit().constData());
    VDebug::setDebugLevel(periodic, VDebug::VNOTICE);
    VPeriodicLogRotator rotator(periodic, tmpl, "service", 0, 60);
    VNOTICE(periodic) << "written before the rotation" << endl;
    rotator.rotateLog(false);
    VNOTICE(periodic) << "written after the rotation" << endl;
    std::printf("periodic rotation; files:\n");
    for (const QFileInfo& f : QDir(dir).entryInfoList({"service*"}, QDir::Files, QDir::Name))
        std::printf("  %-40s %8lld bytes\n", f.fileName().toLocal8Bit().constData(), f.size());

    VDebug::unregisterStream(periodic);
    VDebug::unregisterStream(id);
    VSemaphore(1, "demo_rotationSem").remove();
    QDir(dir).removeRecursively();
    return 0;
}
