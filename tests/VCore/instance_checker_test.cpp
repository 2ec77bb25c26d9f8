#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "testutil.h"
#include <VCore/singleinstancechecker.h>

namespace {

// Sets or clears an environment variable for a scope.
class EnvScope
{
public:
    EnvScope(const char* name, const char* value) : _name(name), _had(false)
    {
        if (const char* old = std::getenv(name)) {
            _had = true;
            _old = old;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvScope()
    {
        if (_had)
            setenv(_name, _old.c_str(), 1);
        else
            unsetenv(_name);
    }

private:
    const char* _name;
    bool _had;
    std::string _old;
};

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

} // namespace

TEST(VSingleInstanceChecker, SecondProcessSeesTheFirst)
{
    vtest::TempDir dir(true);
    EnvScope noSuffix("INSTALLATION_UID", nullptr);
    const QString name = QString::fromStdString(vtest::uniqueName("inst"));

    VSingleInstanceChecker a(name);
    ASSERT_TRUE(a.markAsRunning());
    EXPECT_TRUE(a.markAsRunning()); // repeated calls on one checker succeed

    auto otherSees = [&](bool running) {
        const pid_t pid = vtest::forkChild([&] {
            VSingleInstanceChecker b(name);
            if (b.isAnotherRunning() != running)
                return 1;
            return b.markAsRunning() == !running ? 0 : 2;
        });
        return vtest::waitChild(pid);
    };
    EXPECT_EQ(0, otherSees(true));

    // The holder asking does not drop its own lock.
    EXPECT_FALSE(a.isAnotherRunning());
    EXPECT_EQ(0, otherSees(true));

    EXPECT_TRUE(a.markAsNotRunning());
    EXPECT_EQ(0, otherSees(false));
}

TEST(VSingleInstanceChecker, LockGoesWithAKilledHolder)
{
    vtest::TempDir dir(true);
    EnvScope noSuffix("INSTALLATION_UID", nullptr);
    const QString name = QString::fromStdString(vtest::uniqueName("inst"));
    const std::string ready = dir.file("ready");

    const pid_t holder = vtest::forkChild([&] {
        VSingleInstanceChecker a(name);
        if (!a.markAsRunning())
            return 1;
        vtest::writeFile(ready, "1");
        pause();
        return 0;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return exists(ready); }));
    VSingleInstanceChecker b(name);
    EXPECT_TRUE(b.isAnotherRunning());
    EXPECT_FALSE(b.markAsRunning());
    kill(holder, SIGKILL);
    EXPECT_EQ(-1, vtest::waitChild(holder));
    EXPECT_FALSE(b.isAnotherRunning());
    EXPECT_TRUE(b.markAsRunning());
}

TEST(VSingleInstanceChecker, TwoCheckersInOneProcessExclude)
{
    vtest::TempDir dir(true);
    EnvScope noSuffix("INSTALLATION_UID", nullptr);
    const QString name = QString::fromStdString(vtest::uniqueName("inst"));
    VSingleInstanceChecker a(name);
    VSingleInstanceChecker b(name);
    EXPECT_TRUE(a.markAsRunning());
    EXPECT_TRUE(b.isAnotherRunning());
    EXPECT_FALSE(b.markAsRunning());
}

TEST(VSingleInstanceChecker, FileNameCarriesSuffixAndMode0660)
{
    vtest::TempDir dir(true);
    EnvScope suffix("INSTALLATION_UID", "7");
    const mode_t oldMask = umask(077);
    {
        VSingleInstanceChecker checker(QStringLiteral("app"));
        EXPECT_TRUE(checker.markAsRunning());
    }
    umask(oldMask);
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("app7").c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 07777);
}

TEST(VSingleInstanceChecker, TmpdirIsUsedWithoutVornTmpdir)
{
    vtest::TempDir dir;
    EnvScope noVorn("VORN_TMPDIR", nullptr);
    EnvScope tmp("TMPDIR", dir.path().c_str());
    EnvScope noSuffix("INSTALLATION_UID", nullptr);
    VSingleInstanceChecker checker(QStringLiteral("tool"));
    EXPECT_TRUE(exists(dir.file("tool")));
}

TEST(VSingleInstanceChecker, MissingDirectoryFailsOpenWithWarnings)
{
    vtest::TempDir dir;
    const std::string missing = dir.file("nowhere");
    EnvScope vorn("VORN_TMPDIR", missing.c_str());
    EnvScope noSuffix("INSTALLATION_UID", nullptr);
    const std::string path = missing + "/app";

    vtest::CaptureFd err(2);
    VSingleInstanceChecker checker(QStringLiteral("app"));
    const bool running = checker.markAsRunning();
    const bool another = checker.isAnotherRunning();
    const std::string text = err.text();

    EXPECT_TRUE(running);
    EXPECT_FALSE(another);
    EXPECT_NE(std::string::npos,
              text.find("WARNING] VSingleInstanceChecker:: Failed to open lock file: " + path +
                        " ( No such file or directory ) "))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("VSingleInstanceChecker::markAsRunning: invalid file descriptor (-1) for file  " +
                        path + " , returning success"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("VSingleInstanceChecker::isAnotherRunning: invalid file descriptor (-1) for file  " +
                        path + " , returning success"))
        << text;
}

TEST(VSingleInstanceChecker, PlantedSymlinkIsNotFollowed)
{
    vtest::TempDir dir(true);
    EnvScope noSuffix("INSTALLATION_UID", nullptr);
    const std::string target = dir.file("precious");
    vtest::writeFile(target, "data");
    chmod(target.c_str(), 0600);
    ASSERT_EQ(0, symlink(target.c_str(), dir.file("app").c_str()));

    vtest::CaptureFd err(2);
    VSingleInstanceChecker checker(QStringLiteral("app"));
    EXPECT_TRUE(checker.markAsRunning()); // fails open
    err.text();

    struct stat st;
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST(VSingleInstanceChecker, FileSquattedByAnotherUserCannotDecide)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    vtest::TempDir dir(true);
    EnvScope noSuffix("INSTALLATION_UID", nullptr);
    chmod(dir.path().c_str(), 01777);
    const std::string path = dir.file("app");
    const std::string holding = dir.file("holding");
    const std::string release = dir.file("release");
    const pid_t attacker = vtest::forkAttacker([&] {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            return 1;
        vtest::writeFile(holding, "1");
        vtest::waitFor([&] { return exists(release); });
        return 0;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return exists(holding); }));

    vtest::CaptureFd err(2);
    VSingleInstanceChecker checker(QStringLiteral("app"));
    const bool running = checker.markAsRunning();
    const bool another = checker.isAnotherRunning();
    const std::string text = err.text();
    vtest::writeFile(release, "1");
    EXPECT_EQ(0, vtest::waitChild(attacker));
    EXPECT_TRUE(running);
    EXPECT_FALSE(another);
    EXPECT_NE(std::string::npos, text.find("uid 65534")) << text;
    EXPECT_NE(std::string::npos, text.find("markAsRunning: invalid file descriptor (-1)")) << text;
}
