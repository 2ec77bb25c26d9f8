#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include <QtGlobal>

#include <gtest/gtest.h>

#include "testutil.h"
#include <VCore/vservice.h>

namespace {

// Records what the frame calls into files (a daemon has no other way back).
class RecordingService : public VService
{
public:
    RecordingService(const std::string& dir, bool terminal, bool initResult = true, int argc = 0,
                     char** argv = nullptr)
        : VService(QStringLiteral("rec"), argc, argv, true, false, terminal, true), _dir(dir),
          _initResult(initResult)
    {
    }

    bool serviceInit(int, char**) override
    {
        vtest::writeFile(_dir + "/init", state());
        return _initResult;
    }
    void serviceMain(int, char**) override
    {
        const bool stdoutOpen = fcntl(1, F_GETFD) != -1 && fcntl(2, F_GETFD) != -1;
        vtest::writeFile(_dir + "/main.tmp", state() + (stdoutOpen ? " streams" : " closed"));
        rename((_dir + "/main.tmp").c_str(), (_dir + "/main").c_str());
    }
    void serviceShutdown() override { ++shutdowns; }

    // Flags as the constructor mapped them.
    std::string flags() const
    {
        return std::string() + (_canBeStopped ? "1" : "0") + (_canBePaused ? "1" : "0") +
               (_runAsTerminalApplication ? "1" : "0") + (_handleSigTerm ? "1" : "0") +
               (_handleSigInt ? "1" : "0");
    }
    char** args() { return _argv.data(); }

    int shutdowns = 0;

private:
    // "cwd pid sid"
    static std::string state()
    {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd))
            std::strcpy(cwd, "?");
        return std::string(cwd) + " " + std::to_string(getpid()) + " " + std::to_string(getsid(0));
    }

    std::string _dir;
    bool _initResult;
};

class PlainService : public VService
{
public:
    PlainService() : VService(QStringLiteral("plain"), 0, nullptr, false, false, true, false) {}
    void serviceMain(int, char**) override {}
};

QString g_captured;
void capture(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    g_captured += msg;
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

} // namespace

TEST(VService, DaemonModeRunsHooksInANewSessionAtRoot)
{
    vtest::TempDir dir;
    const pid_t child = vtest::forkChild([&] {
        RecordingService svc(dir.path(), false);
        // daemon() makes this process exit 0; the daemon goes on here.
        return svc.run() ? 0 : 1;
    });
    EXPECT_EQ(0, vtest::waitChild(child));
    ASSERT_TRUE(vtest::waitFor([&] { return exists(dir.file("main")); }));

    const std::string init = vtest::readFile(dir.file("init"));
    const std::string main = vtest::readFile(dir.file("main"));
    char cwd[PATH_MAX];
    int pid = 0, sid = 0;
    char streams[16];
    ASSERT_EQ(4, std::sscanf(main.c_str(), "%s %d %d %15s", cwd, &pid, &sid, streams)) << main;
    EXPECT_STREQ("/", cwd);
    EXPECT_EQ(pid, sid);
    EXPECT_NE(child, pid);
    EXPECT_STREQ("streams", streams);
    EXPECT_EQ(init.substr(0, init.size()), main.substr(0, init.size()));
}

TEST(VService, TerminalModeKeepsDirectoryAndStartsASession)
{
    vtest::TempDir dir;
    char here[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(here, sizeof here));
    const pid_t child = vtest::forkChild([&] {
        RecordingService svc(dir.path(), true);
        return svc.run() ? 0 : 1;
    });
    EXPECT_EQ(0, vtest::waitChild(child));
    const std::string main = vtest::readFile(dir.file("main"));
    EXPECT_EQ(std::string(here) + " " + std::to_string(child) + " " + std::to_string(child) + " streams",
              main);
}

TEST(VService, RefusedInitSkipsMain)
{
    vtest::TempDir dir;
    const pid_t child = vtest::forkChild([&] {
        qInstallMessageHandler(capture);
        RecordingService svc(dir.path(), true, false);
        const bool ran = svc.run();
        vtest::writeFile(dir.file("log"), g_captured.toStdString());
        return ran ? 1 : 0;
    });
    EXPECT_EQ(0, vtest::waitChild(child));
    EXPECT_EQ("rec: service is starting (as application) ...\n", vtest::readFile(dir.file("log")));
    EXPECT_TRUE(exists(dir.file("init")));
    EXPECT_FALSE(exists(dir.file("main")));
}

TEST(VService, CopiesArgumentsAndMapsFlags)
{
    char a0[] = "prog", a1[] = "-v", a2[] = "file";
    char* argv[] = {a0, a1, a2, nullptr};
    RecordingService svc("/nonexistent", true, true, 3, argv);
    a1[1] = 'x'; // copies, not the caller's strings
    char** copy = svc.args();
    EXPECT_STREQ("prog", copy[0]);
    EXPECT_STREQ("-v", copy[1]);
    EXPECT_STREQ("file", copy[2]);
    EXPECT_EQ(nullptr, copy[3]);
    EXPECT_NE(a0, copy[0]);
    EXPECT_EQ("10111", svc.flags());
    EXPECT_TRUE(svc.isRunningAsTerminalApplication());
    EXPECT_FALSE(svc.isRunningAsService());
    EXPECT_EQ(QStringLiteral("rec"), svc.getName());
}

TEST(VService, HooksAndInstance)
{
    EXPECT_EQ(nullptr, VService::getInstance());
    {
        RecordingService svc("/nonexistent", false);
        EXPECT_EQ(&svc, VService::getInstance());
        EXPECT_FALSE(svc.servicePause());
        EXPECT_FALSE(svc.serviceResume());
        svc.serviceSigTerm();
        svc.serviceSigInt();
        EXPECT_EQ(2, svc.shutdowns);
        EXPECT_TRUE(svc.isRunningAsService());
    }
    EXPECT_EQ(nullptr, VService::getInstance());
}

TEST(VService, DefaultShutdownExitsWithZero)
{
    const pid_t child = vtest::forkChild([] {
        PlainService svc;
        svc.serviceSigTerm();
        return 3;
    });
    EXPECT_EQ(0, vtest::waitChild(child));
}

TEST(VService, SvcDebugWritesNameAndMessage)
{
    g_captured.clear();
    QtMessageHandler old = qInstallMessageHandler(capture);
    VService::svcDebug(QStringLiteral("no service yet"));
    {
        PlainService svc;
        VService::svcDebug(QStringLiteral("hello"));
    }
    qInstallMessageHandler(old);
    EXPECT_EQ(QStringLiteral(": no service yet\nplain: hello\n"), g_captured);
}
