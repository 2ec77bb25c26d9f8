#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>

#include <VTest/test_dir.h>

#include "VTest/test_dir_p.h"

#include "testutil.h"

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void makeFile(const std::string& path)
{
    vtest::writeFile(path, "x");
}

// Binds a directory outside onto "m" in the scratch directory, in a child's
// own mount namespace, and cleans there with these ways of finding mounts
// missing. 0 when the outside file survives, "m" stays, the file beside it
// goes and the plain directory "d" goes or stays as dirGoes says; 77 when no
// mount namespace can be had.
int cleanAroundBindMount(int missing, bool dirGoes)
{
    vtest::TempDir root, outside;
    makeFile(outside.file("precious"));
    VTestDir dir(root.path().c_str(), "s", "t");
    const std::string s = dir.getAbsoluteDirName().toStdString();
    makeFile(s + "/f");
    mkdir((s + "/d").c_str(), 0700);
    makeFile(s + "/d/e");
    mkdir((s + "/m").c_str(), 0700);
    const std::string from = outside.path();
    const pid_t pid = vtest::forkChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 77;
        if (mount(from.c_str(), (s + "/m").c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 77;
        VTestDirTestAccess::setMissing(missing);
        vtest::CaptureFd err(2);
        dir.clean();
        if (!err.text().empty())
            return 10;
        if (!exists(from + "/precious"))
            return 11;
        return !exists(s + "/f") && exists(s + "/m") && exists(s + "/d") != dirGoes ? 0 : 12;
    });
    const int status = vtest::waitChild(pid);
    return status == 0 && !exists(outside.file("precious")) ? 13 : status;
}

} // namespace

TEST(VTestDir, NamesItsDirectories)
{
    vtest::TempDir root;
    VTestDir dir(root.path().c_str(), "suite", "case");
    const QString scratch = root.qpath() + "/output/suite/case";
    EXPECT_TRUE(QFileInfo(scratch).isDir());
    EXPECT_EQ(dir.getAbsoluteDirName(), scratch);
    EXPECT_EQ(dir.getAbsoluteFileName("f.txt"), scratch + "/f.txt");
    EXPECT_EQ(VTestDir::getUnittestsDirName(root.qpath()), root.qpath());
    EXPECT_EQ(VTestDir::getInputDirName(root.qpath()), root.qpath() + "/input");
    EXPECT_EQ(VTestDir::getOutputDirName(root.qpath()), root.qpath() + "/output");
}

TEST(VTestDir, CleanKeepsHiddenEntries)
{
    vtest::TempDir root;
    VTestDir dir(root.path().c_str(), "s", "t");
    const std::string s = dir.getAbsoluteDirName().toStdString();
    makeFile(s + "/a");
    makeFile(s + "/b");
    mkdir((s + "/d").c_str(), 0700);
    makeFile(s + "/d/e");
    mkdir((s + "/h").c_str(), 0700);
    makeFile(s + "/h/.hidden");
    makeFile(s + "/h/gone");
    makeFile(s + "/.keep");

    dir.clean();
    EXPECT_FALSE(exists(s + "/a"));
    EXPECT_FALSE(exists(s + "/b"));
    EXPECT_FALSE(exists(s + "/d"));
    EXPECT_FALSE(exists(s + "/h/gone"));
    EXPECT_TRUE(exists(s + "/h/.hidden"));
    EXPECT_TRUE(exists(s + "/.keep"));
}

TEST(VTestDir, LinksAreRemovedNotFollowed)
{
    vtest::TempDir root, outside;
    makeFile(outside.file("precious"));
    mkdir(outside.file("sub").c_str(), 0700);
    makeFile(outside.file("sub/precious2"));
    VTestDir dir(root.path().c_str(), "s", "t");
    const std::string s = dir.getAbsoluteDirName().toStdString();
    makeFile(s + "/.keep");
    ASSERT_EQ(symlink(outside.path().c_str(), (s + "/dirlink").c_str()), 0);
    ASSERT_EQ(symlink(outside.file("precious").c_str(), (s + "/filelink").c_str()), 0);
    mkdir((s + "/d").c_str(), 0700);
    ASSERT_EQ(symlink(outside.file("sub").c_str(), (s + "/d/nested").c_str()), 0);

    dir.clean();
    EXPECT_TRUE(exists(outside.file("precious")));
    EXPECT_TRUE(exists(outside.file("sub/precious2")));
    EXPECT_FALSE(exists(s + "/dirlink"));
    EXPECT_FALSE(exists(s + "/filelink"));
    EXPECT_FALSE(exists(s + "/d"));
}

TEST(VTestDir, EmptiedScratchGoesWithEmptyParents)
{
    // The emptied scratch directory and each parent left empty are removed,
    // up to the first that is not empty.
    vtest::TempDir root;
    makeFile(root.file("sentinel"));
    VTestDir dir(root.path().c_str(), "s", "t");
    const std::string s = dir.getAbsoluteDirName().toStdString();
    mkdir((s + "/d").c_str(), 0700);
    makeFile(s + "/d/e");
    dir.clean();
    EXPECT_FALSE(exists(root.file("output")));
    EXPECT_TRUE(exists(root.file("sentinel")));
    // Cleaning a directory that is gone does nothing.
    dir.clean();
    EXPECT_TRUE(exists(root.file("sentinel")));
}

TEST(VTestDir, RootIsNeverCleaned)
{
    // In a child confined to a temporary root: a scratch path that resolves
    // to "/" is refused with a warning.
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    vtest::TempDir jail;
    makeFile(jail.file("sentinel"));
    mkdir(jail.file("tmp").c_str(), 0700); // for the output capture
    const std::string jailPath = jail.path();
    const pid_t pid = vtest::forkChild([jailPath] {
        if (chroot(jailPath.c_str()) != 0 || chdir("/") != 0)
            return 10;
        std::string err;
        {
            vtest::CaptureFd capture(2);
            VTestDir dir("", "..", "");
            dir.clean();
            err = capture.text();
        }
        if (access("/sentinel", F_OK) != 0)
            return 11;
        return err.find("WARNING] VTestDir::clean: refusing to clean") != std::string::npos ? 0 : 12;
    });
    EXPECT_EQ(vtest::waitChild(pid), 0);
}

TEST(VTestDir, OddNamesAndDeepTreesAreRemoved)
{
    vtest::TempDir root;
    VTestDir dir(root.path().c_str(), "s", "t");
    const std::string s = dir.getAbsoluteDirName().toStdString();
    makeFile(s + "/.keep");
    makeFile(s + "/bad\377\376");
    mkdir((s + "/dir\377").c_str(), 0700);
    makeFile(s + "/dir\377/x");
    // Deeper than PATH_MAX, and than the descriptor limit.
    int fd = open(s.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < 1500 && fd >= 0; ++i) {
        mkdirat(fd, "level", 0700);
        const int next = openat(fd, "level", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    close(fd);

    dir.clean();
    EXPECT_FALSE(exists(s + "/bad\377\376"));
    EXPECT_FALSE(exists(s + "/dir\377"));
    EXPECT_FALSE(exists(s + "/level"));
    EXPECT_TRUE(exists(s + "/.keep"));
}

TEST(VTestDir, ScratchTreeOfAnotherUserIsRefused)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    vtest::TempDir root;
    chmod(root.path().c_str(), 0777);
    const std::string s = root.path() + "/output/s/t";
    const pid_t attacker = vtest::forkAttacker([&] {
        if (!QDir().mkpath(QString::fromStdString(s)))
            return 1;
        makeFile(s + "/planted");
        return 0;
    });
    ASSERT_EQ(0, vtest::waitChild(attacker));

    VTestDir dir(root.path().c_str(), "s", "t");
    vtest::CaptureFd err(2);
    dir.clean();
    const std::string text = err.text();
    EXPECT_TRUE(exists(s + "/planted"));
    EXPECT_NE(std::string::npos, text.find("WARNING] VTestDir::clean: refusing to clean")) << text;
}

TEST(VTestDir, MountPointsAreNotCrossed)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    const int status = cleanAroundBindMount(0, true);
    if (status == 77)
        GTEST_SKIP() << "no mount namespace";
    EXPECT_EQ(0, status);
}

TEST(VTestDir, MountPointsAreFoundWithoutTheMountIdOfStatx)
{
    // Older kernels and seccomp filters: the mount is found by file handle,
    // else through fdinfo; with no way left, no directory is entered.
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    typedef VTestDirTestAccess A;
    for (int missing : {int(A::StatxMountId), A::Statx | A::FileHandles, A::Statx | A::FileHandles | A::FdInfo}) {
        const int status = cleanAroundBindMount(missing, !(missing & A::FdInfo));
        if (status == 77)
            GTEST_SKIP() << "no mount namespace";
        EXPECT_EQ(0, status) << "missing ways " << missing;
    }
}

TEST(VTestDir, UnsearchableDirectoryIsKeptAndTheRestGoes)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    vtest::TempDir root;
    chmod(root.path().c_str(), 0777);
    const std::string rootPath = root.path();
    const pid_t pid = vtest::forkAttacker([&] {
        VTestDir dir(rootPath.c_str(), "s", "t");
        const std::string s = dir.getAbsoluteDirName().toStdString();
        makeFile(s + "/.keep");
        for (const char* d : {"a", "b", "locked", "y", "z"}) {
            mkdir((s + "/" + d).c_str(), 0700);
            makeFile(s + "/" + d + "/f");
            makeFile(s + "/" + d + "g");
        }
        chmod((s + "/locked").c_str(), 0400); // may be listed, not searched
        vtest::CaptureFd err(2);
        dir.clean();
        const std::string text = err.text();
        if (!text.empty())
            return 10;
        for (const char* gone : {"a", "b", "y", "z", "ag", "lockedg", "zg"})
            if (exists(s + "/" + gone))
                return 11;
        return exists(s + "/locked") ? 0 : 12;
    });
    EXPECT_EQ(0, vtest::waitChild(pid));
}
