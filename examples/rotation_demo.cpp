// Size rotation of a log file: the stream is armed at 1 MB; the line that
// takes the file past it has the file copied to a time-stamped name and
// emptied in place.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <QDir>
#include <QFileInfo>

#include <VCore/semunix.h>
#include <VDebug/debug.h>

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

    VDebug::unregisterStream(id);
    VSemaphore(1, "demo_rotationSem").remove();
    QDir(dir).removeRecursively();
    return 0;
}
