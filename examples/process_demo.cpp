// Process-level services: a whole-file lock, the single-instance guard, file
// helpers and time stamps, a shared-memory segment, the privileges dropper
// and a service run as a terminal application.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <QDir>

#include <VCore/QtShareMemory/qtsharedmemory.h>
#include <VCore/filelocker.h>
#include <VCore/filesystem.h>
#include <VCore/filetimestamp.h>
#include <VCore/privilegesdropper.h>
#include <VCore/singleinstancechecker.h>
#include <VCore/vexception.h>
#include <VCore/vservice.h>

namespace {

class DemoService : public VService
{
public:
    DemoService(int argc, char** argv) : VService("demo", argc, argv, true, false, true, true) {}
    bool serviceInit(int argc, char** argv) override
    {
        std::cout << "  serviceInit with " << argc << " argument(s), first " << argv[0] << std::endl;
        return true;
    }
    void serviceMain(int, char**) override
    {
        std::cout << "  serviceMain in session " << getsid(0) << " (pid " << getpid() << ")" << std::endl;
    }
};

} // namespace

int main(int argc, char** argv)
{
    char tmpl[] = "/tmp/process_demo.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir)
        return 1;
    setenv("VORN_TMPDIR", dir, 1);
    const QByteArray base(dir);

    // Whole-file lock.
    const QByteArray lockPath = base + "/demo.lock";
    VFileLockerPrivate locker(lockPath.constData());
    locker.writeLock();
    std::cout << "write lock on " << lockPath.constData() << ": " << (locker.isLocked() ? "held" : "failed")
              << std::endl;
    locker.unlock();

    // Single instance.
    {
        VSingleInstanceChecker first("demo");
        VSingleInstanceChecker second("demo");
        std::cout << "first instance marks itself running: " << first.markAsRunning() << std::endl;
        std::cout << "second sees another running: " << second.isAnotherRunning() << std::endl;
    }

    // File helpers and time stamps.
    VFileSystemImpl fs;
    const QByteArray deep = fs.makePath(base, "/a/b/c");
    std::cout << "made path " << deep.constData() << std::endl;
    const QByteArray file = deep + "/hello.txt";
    if (FILE* f = std::fopen(file.constData(), "we")) {
        std::fputs("hello, file", f);
        std::fclose(f);
    }
    size_t size = 0;
    char* text = fs.readFromFile(file.constData(), &size);
    std::cout << "read " << size << " bytes: " << std::string(text ? text : "", size) << std::endl;
    std::free(text);
    VFileTimeStamp ts;
    ts.setFileTimeStamp(file.constData(), 1000);
    std::cout << "modification time now " << ts.getFileTimeStamp(file.constData()) << std::endl;

    // Shared memory.
    const QString key = QStringLiteral("process_demo_%1").arg(getpid());
    QtSharedMemory owner(key);
    if (owner.create(1024) && owner.attach()) {
        owner.lock();
        std::strcpy(static_cast<char*>(owner.data()), "shared greeting");
        owner.unlock();
        QtSharedMemory peer(key);
        peer.attach(QtSharedMemory::ReadOnly);
        std::cout << "segment of " << peer.size() << " bytes, " << peer.numAttachments()
                  << " attachments, says: " << static_cast<const char*>(peer.data()) << std::endl;
        peer.detach();
        owner.detach();
        std::cout << "destroyed: " << owner.destroy() << std::endl;
    } else {
        std::cout << "shared memory: " << owner.errorString().toStdString() << std::endl;
    }

    // Privileges dropper.
    try {
        VPrivilegesDropper dropper(65534, 65534);
        std::cout << "dropped to euid " << geteuid() << ", egid " << getegid() << std::endl;
    } catch (const VException& e) {
        std::cout << "dropper: " << e.what() << std::endl;
    }
    std::cout << "back at euid " << geteuid() << std::endl;

    // A service as a terminal application, in a child of its own.
    std::cout << "service in a child:" << std::endl;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        DemoService service(argc, argv);
        _exit(service.run() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::cout << "service ran: " << (WIFEXITED(status) && WEXITSTATUS(status) == 0) << std::endl;

    QDir(QString::fromLocal8Bit(dir)).removeRecursively();
    return 0;
}
