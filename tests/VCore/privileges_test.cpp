#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testutil.h"
#include <VCore/privilegesdropper.h>
#include <VCore/vexception.h>

namespace {

const uid_t NOBODY = 65534;

// Id changes are process-wide: every case runs in a child of its own.
int inChild(const std::function<int()>& body)
{
    return vtest::waitChild(vtest::forkChild(body));
}

std::vector<gid_t> groups()
{
    std::vector<gid_t> g(static_cast<size_t>(getgroups(0, nullptr)));
    if (!g.empty())
        getgroups(static_cast<int>(g.size()), g.data());
    return g;
}

bool becomeNobody()
{
    return setgroups(0, nullptr) == 0 && setresgid(NOBODY, NOBODY, NOBODY) == 0 &&
           setresuid(NOBODY, NOBODY, NOBODY) == 0;
}

} // namespace

class VPrivilegesDropperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to change ids";
    }
};

TEST_F(VPrivilegesDropperTest, DropsForEveryThreadAndRestores)
{
    EXPECT_EQ(0, inChild([] {
        std::atomic<int> step{0};
        uid_t seenUid = 0;
        gid_t seenGid = 0;
        // Started before the drop: the change must reach it too.
        std::thread other([&] {
            vtest::waitFor([&] { return step.load() == 1; });
            seenUid = geteuid();
            seenGid = getegid();
            step = 2;
        });
        int rc = 0;
        {
            VPrivilegesDropper dropper(NOBODY, NOBODY);
            if (geteuid() != NOBODY || getegid() != NOBODY || getuid() != 0 || getgid() != 0)
                rc = 1;
            if (groups() != std::vector<gid_t>{NOBODY})
                rc = 2;
            step = 1;
            vtest::waitFor([&] { return step.load() == 2; });
            if (seenUid != NOBODY || seenGid != NOBODY)
                rc = 3;
        }
        other.join();
        if (geteuid() != 0 || getegid() != 0 || !groups().empty())
            rc = 4;
        return rc;
    }));
}

TEST_F(VPrivilegesDropperTest, RevertTwiceAndDropAgain)
{
    EXPECT_EQ(0, inChild([] {
        VPrivilegesDropper dropper(NOBODY, NOBODY);
        dropper.revertToSelf();
        dropper.revertToSelf();
        if (geteuid() != 0)
            return 1;
        dropper.dropPrivileges();
        dropper.dropPrivileges();
        if (geteuid() != NOBODY)
            return 2;
        dropper.revertToSelf();
        return geteuid() == 0 && getegid() == 0 ? 0 : 3;
    }));
}

TEST_F(VPrivilegesDropperTest, UnprivilegedProcessGetsTheGidText)
{
    EXPECT_EQ(0, inChild([] {
        if (!becomeNobody())
            return 10;
        try {
            VPrivilegesDropper dropper(12345, 12345);
        } catch (const VException& e) {
            return std::string(e.what()) == "Error setting effective gid to 12345 (Operation not permitted)"
                       ? 0
                       : 1;
        }
        return 2;
    }));
}

TEST_F(VPrivilegesDropperTest, UnprivilegedProcessMayKeepItsIds)
{
    EXPECT_EQ(0, inChild([] {
        if (!becomeNobody())
            return 10;
        VPrivilegesDropper dropper(NOBODY, NOBODY);
        return geteuid() == NOBODY ? 0 : 1;
    }));
}

TEST_F(VPrivilegesDropperTest, FailedUidSwitchPutsTheGroupBack)
{
    EXPECT_EQ(0, inChild([] {
        // Keep root's uid but lose the right to change it.
        if (setgroups(0, nullptr) != 0 || setresgid(NOBODY, NOBODY, NOBODY) != 0)
            return 10;
        if (setresuid(NOBODY, NOBODY, NOBODY) != 0)
            return 11;
        try {
            VPrivilegesDropper dropper(12345, NOBODY); // same gid: setegid works
        } catch (const VException& e) {
            if (std::string(e.what()) != "Error setting effective uid to 12345 (Operation not permitted)")
                return 1;
            return getegid() == NOBODY ? 0 : 2;
        }
        return 3;
    }));
}

TEST_F(VPrivilegesDropperTest, FailedRevertIsLoggedByTheDestructor)
{
    vtest::CaptureFd err(2); // the child writes through the inherited descriptor
    const int rc = inChild([] {
        VPrivilegesDropper dropper(NOBODY, NOBODY);
        // Lose root's saved uid: the way back is closed.
        return setresuid(NOBODY, -1, NOBODY) == 0 ? 0 : 10;
    });
    const std::string text = err.text();
    EXPECT_EQ(0, rc);
    EXPECT_NE(std::string::npos, text.find("ERROR] Error reverting to original uid 0 (Operation not permitted) \n"))
        << text;
}

TEST_F(VPrivilegesDropperTest, SupplementaryGroupsGiveNoAccessWhileDropped)
{
    vtest::TempDir dir;
    const std::string secret = dir.file("secret");
    vtest::writeFile(secret, "x");
    ASSERT_EQ(0, chown(secret.c_str(), 0, 4242));
    ASSERT_EQ(0, chmod(secret.c_str(), 0040));
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(0, inChild([&] {
        const gid_t extra = 4242;
        if (setgroups(1, &extra) != 0)
            return 10;
        int rc = 0;
        {
            VPrivilegesDropper dropper(NOBODY, NOBODY);
            const int fd = open(secret.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                close(fd);
                rc = 1;
            }
        }
        if (groups() != std::vector<gid_t>{extra})
            rc = 2;
        return rc;
    }));
}
