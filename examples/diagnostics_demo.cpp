// Assertion handlers, message formats from XML, a debug console fed from a
// pipe (never the real standard input) and a scratch directory emptied.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include <QDir>
#include <QFile>

#include <VDebug/console.h>
#include <VDebug/message_formatter.h>
#include <VDebug/vassert.h>
#include <VTest/test_dir.h>

namespace {

class PrintingHandler : public VAssertionFailedHandler
{
public:
    explicit PrintingHandler(const char* name) : _name(name) {}
    void handle() override { std::cout << "assertion handler " << _name << " ran" << std::endl; }

private:
    const char* _name;
};

class DemoConsole : public VDebugConsole
{
    Q_OBJECT

public:
    DemoConsole() : VDebugConsole(QStringLiteral("demo")) {}

protected slots:
    int add(int a, int b) { return a + b; }
    QString greet(QString name) { return QStringLiteral("hello, %1").arg(name); }
    bool isEven(int n) { return n % 2 == 0; }
};

// Makes a pipe holding text the standard input of this process.
bool feedStdin(const char* text)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const ssize_t len = static_cast<ssize_t>(std::strlen(text));
    const bool ok = write(fds[1], text, static_cast<size_t>(len)) == len;
    close(fds[1]);
    dup2(fds[0], 0);
    close(fds[0]);
    clearerr(stdin);
    return ok;
}

} // namespace

int main()
{
    static PrintingHandler first("first"), second("second");
    VAssert::registerAssertionFailedHandler(&first);
    VAssert::registerAssertionFailedHandler(&second);
    VAssert::handleFailedAssertion();

    VMessageFormatter::initFromXml(
        "<messages><errors>"
        "<message name='DiskFull' id='507' format='disk %1 is full'/>"
        "</errors></messages>");
    const VMessageFormatter* formats = VMessageFormatter::getInstance();
    std::cout << "message 507: "
              << qPrintable(formats->resolveMessageFormat(507u).arg(QStringLiteral("/var")))
              << ", by name: " << qPrintable(formats->resolveMessageFormat(QStringLiteral("diskfull")))
              << std::endl;

    std::cout << "console session:" << std::endl;
    if (feedStdin("help\nadd(2, 3)\n2:isEven(4)\ngreet(world)\nthread:add(40, 2)\nretval(0)\nnope()\n")) {
        DemoConsole console;
        console.run();
    }
    std::cout << std::endl;

    const QString root = QDir::tempPath() + QStringLiteral("/vornlib_diagnostics_demo");
    VTestDir scratch(root.toLocal8Bit().constData(), "demo", "clean");
    QFile f(scratch.getAbsoluteFileName("data.txt"));
    if (f.open(QIODevice::WriteOnly))
        f.write("x");
    f.close();
    QFile keep(scratch.getAbsoluteFileName(".keep"));
    if (keep.open(QIODevice::WriteOnly))
        keep.close();
    scratch.clean();
    std::cout << "scratch " << qPrintable(scratch.getAbsoluteDirName()) << " after clean: "
              << qPrintable(QDir(scratch.getAbsoluteDirName())
                                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                                .join(QStringLiteral(", ")))
              << std::endl;
    QDir(root).removeRecursively();
    return 0;
}

#include "diagnostics_demo.moc"
