// Exceptions, a scoped mutex and log lines on a standard and a registered stream.
#include <cstdio>
#include <iostream>

#include <VCore/mutex.h>
#include <VCore/vexception.h>
#include <VDebug/debug.h>

int main()
{
    VMutex mutex;
    {
        VMutexLocker lock(&mutex);
        try {
            throw VException("something went wrong", "examples/core_demo", 14);
        } catch (const VException& e) {
            std::cout << "caught: " << e.what() << std::endl;
        }
    }

    VDebug::setDebugLevel(VDebug::STDOUT, VDebug::VNOTICE);
    VNOTICE(VDebug::STDOUT) << "hello from" << "VornLib" << 42 << endl;

    const char* path = "/tmp/vornlib_core_demo.log";
    std::remove(path);
    VDebug::StreamId id = VDebug::registerStream("demo", path);
    VDebug::setDebugLevel(id, VDebug::VDBG1);
    VDebug::setTimestampWithMilliseconds(true);
    VDBG1(id) << "a debug line with hex" << endl;
    VDebug d = VDebug::vDebugWarning(id);
    d.setHexMode(true);
    d << "value" << 255 << endl;
    VDebug::unregisterStream(id);

    std::cout << "log file " << path << ":" << std::endl;
    if (FILE* f = std::fopen(path, "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, f))
            std::cout << "  " << buf;
        std::fclose(f);
    }
    std::remove(path);
    return 0;
}
