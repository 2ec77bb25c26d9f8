#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <QDir>

#include "VDebug/debug.h"
#include "VDebug/debug_sink_p.h"
#include "VDebug/periodic_log_rotator.h"
#include "ipctest.h"
#include "sampletime.h"
#include "testutil.h"

struct VPeriodicLogRotatorTestAccess
{
    static void setSleep(void (*f)(quint32)) { VPeriodicLogRotator::_sleep = f ? f : &VThread::sleep; }
    static quint32 interval(const VPeriodicLogRotator& r) { return r._sleepInterval; }
};

namespace {

std::atomic<time_t> g_sec{0};

void testClock(struct timespec* ts)
{
    ts->tv_sec = g_sec;
    ts->tv_nsec = 0;
}

// "[app 05.12.2026 23:50:01 NOTICE] " is 33 bytes.
const size_t HEADER = 33;

class PeriodicRotatorTest : public ::testing::Test
{
protected:
    PeriodicRotatorTest()
    {
        g_sec = vtest::sampleTime();
        VDebugTestAccess::setClock(&testClock);
        id = VDebug::registerStream("app", dir.file("registered.log").c_str());
        VDebug::setDebugLevel(id, VDebug::VNOTICE);
    }
    ~PeriodicRotatorTest() override
    {
        VDebug::unregisterStream(id);
        VDebugTestAccess::setClock(nullptr);
    }

    // A line of exactly len bytes.
    void line(size_t len) { VNOTICE(id) << std::string(len - HEADER - 2, 'x').c_str() << endl; }
    std::vector<std::string> files() const
    {
        std::vector<std::string> out;
        for (const QString& f : QDir(dir.qpath()).entryList(QDir::Files, QDir::Name))
            out.push_back(f.toStdString());
        return out;
    }

    vtest::TempDir dir;
    VDebug::StreamId id;
};

int openDescriptors()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d && readdir(d))
        ++n;
    if (d)
        closedir(d);
    return n;
}

} // namespace

TEST_F(PeriodicRotatorTest, RotatesAtTheSizeOrWhenAsked)
{
    VPeriodicLogRotator rotator(id, dir.path().c_str(), "app", 10, 3600);
    for (int i = 0; i < 9; ++i)
        line(1024);
    line(1023);
    rotator.rotateLog(true);
    EXPECT_EQ(files(), (std::vector<std::string>{"app.log", "registered.log"}));
    EXPECT_EQ(vtest::readFile(dir.file("app.log")).size(), 10239u);

    FILE* f = std::fopen(dir.file("app.log").c_str(), "a");
    std::fputc('\n', f);
    std::fclose(f);
    rotator.rotateLog(true);
    EXPECT_EQ(files(), (std::vector<std::string>{"app.log", "app_051226_235001.log", "registered.log"}));
    EXPECT_EQ(vtest::readFile(dir.file("app_051226_235001.log")).size(), 10240u);
    VNOTICE(id) << "fresh" << endl;
    EXPECT_EQ(vtest::readFile(dir.file("app.log")), "[app 05.12.2026 23:50:01 NOTICE] fresh \n");

    // Asked: whatever the size.
    g_sec = g_sec + 1;
    rotator.rotateLog(false);
    EXPECT_EQ(vtest::readFile(dir.file("app_051226_235002.log")), "[app 05.12.2026 23:50:01 NOTICE] fresh \n");
    VNOTICE(id) << "after" << endl;
    EXPECT_EQ(vtest::readFile(dir.file("app.log")), "[app 05.12.2026 23:50:02 NOTICE] after \n");
}

TEST_F(PeriodicRotatorTest, SizeZeroRotatesAtEveryCheck)
{
    VPeriodicLogRotator rotator(id, dir.path().c_str(), "zero.log", 0, 0);
    EXPECT_EQ(VPeriodicLogRotatorTestAccess::interval(rotator), 1u);
    VNOTICE(id) << "one" << endl;
    rotator.rotateLog(true);
    EXPECT_EQ(vtest::readFile(dir.file("zero_051226_235001.log")), "[app 05.12.2026 23:50:01 NOTICE] one \n");
}

TEST_F(PeriodicRotatorTest, HugeSizeNeverRotates)
{
    VPeriodicLogRotator rotator(id, dir.path().c_str(), "huge", std::numeric_limits<qint64>::max(), 1);
    VNOTICE(id) << "one" << endl;
    rotator.rotateLog(true);
    EXPECT_EQ(files(), (std::vector<std::string>{"huge.log", "registered.log"}));
}

TEST_F(PeriodicRotatorTest, OneRotatorPerFileInAProcess)
{
    VPeriodicLogRotator first(id, dir.path().c_str(), "app.log", 0, 1);
    const std::string abs = QDir(dir.qpath()).absoluteFilePath("app.log").toStdString();
    try {
        VPeriodicLogRotator second(id, dir.path().c_str(), "app", 0, 1);
        ADD_FAILURE() << "no exception";
    } catch (const VException& e) {
        EXPECT_EQ(std::string(e.what()), "File \"" + abs + "\" is already handled by a log rotator");
    }
    VPeriodicLogRotator upper(id, dir.path().c_str(), "app.LOG", 0, 1);
    VNOTICE(id) << "x" << endl;
    EXPECT_FALSE(vtest::readFile(dir.file("app.LOG.log")).empty());

    vtest::TempDir other;
    VPeriodicLogRotator elsewhere(id, other.path().c_str(), "app", 0, 1);
}

TEST_F(PeriodicRotatorTest, RenameCollisionWritesTheTwoWarningLines)
{
    VPeriodicLogRotator rotator(id, dir.path().c_str(), "app", 0, 1);
    vtest::writeFile(dir.file("app_051226_235001.log"), "older");
    rotator.rotateLog(false);
    const std::string old = dir.file("app.log"), copy = dir.file("app_051226_235001.log");
    EXPECT_EQ(vtest::readFile(old), "[app 05.12.2026 23:50:01 WARNING] [ VDebug/periodic_log_rotator : 58 ( rotateLog ) ] "
                                    "failed to rename " + old + " to " + copy + " \nrotation of log failed \n");
    EXPECT_EQ(vtest::readFile(copy), "older");

    g_sec = g_sec + 1;
    rotator.rotateLog(false);
    EXPECT_NE(vtest::readFile(dir.file("app_051226_235002.log")).find("rotation of log failed"), std::string::npos);
}

// Without rename-without-replace and hard links the file is still renamed,
// and a time-stamped name that exists is still refused.
TEST_F(PeriodicRotatorTest, RotatesWithoutLinksOrNoReplaceRename)
{
    VPeriodicLogRotator rotator(id, dir.path().c_str(), "app", 0, 1);
    vtest::writeFile(dir.file("app_051226_235001.log"), "older");
    VDebugTestAccess::refuseLinks(true);
    rotator.rotateLog(false);
    g_sec = g_sec + 1;
    rotator.rotateLog(false);
    VDebugTestAccess::refuseLinks(false);
    EXPECT_EQ(vtest::readFile(dir.file("app_051226_235001.log")), "older");
    EXPECT_NE(vtest::readFile(dir.file("app_051226_235002.log")).find("rotation of log failed"), std::string::npos);
    EXPECT_EQ(files().size(), 4u);
}

TEST_F(PeriodicRotatorTest, NoLineLostAndNoDescriptorLeakedUnderLoad)
{
    VPeriodicLogRotator rotator(id, dir.path().c_str(), "load", 0, 1);
    VNOTICE(id) << "warm" << endl;
    const int fds = openDescriptors();
    const int threads = 4, lines = 25000, rotations = 200;
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < lines; ++i) {
                VNOTICE(id) << "t" << t << "n" << i << "end" << endl;
                ++written;
            }
        });
    // Spread over the whole run.
    for (int r = 0; r < rotations; ++r) {
        vtest::waitFor([&] { return written >= (r + 1) * threads * lines / (rotations + 1); });
        g_sec = g_sec + 1;
        rotator.rotateLog(false);
    }
    for (auto& w : writers)
        w.join();
    EXPECT_EQ(openDescriptors(), fds);

    std::vector<int> seen(threads * lines, 0);
    int torn = 0, copies = 0;
    for (const std::string& f : files()) {
        if (f.rfind("load", 0) != 0)
            continue;
        copies += f != "load.log";
        std::istringstream in(vtest::readFile(dir.file(f)));
        std::string l;
        while (std::getline(in, l)) {
            int t = -1, i = -1;
            char end[4] = {};
            if (l.find("warm") != std::string::npos)
                continue;
            if (l.size() < HEADER || std::sscanf(l.c_str() + HEADER, "t %d n %d %3s ", &t, &i, end) != 3 ||
                std::string(end) != "end" || t < 0 || t >= threads || i < 0 || i >= lines)
                ++torn;
            else
                ++seen[t * lines + i];
        }
    }
    EXPECT_EQ(copies, rotations);
    EXPECT_EQ(torn, 0);
    int wrong = 0;
    for (int n : seen)
        wrong += n != 1;
    EXPECT_EQ(wrong, 0);
}

namespace {

std::mutex g_tickMutex;
std::condition_variable g_tickCv;
int g_ticks = 0;

// The rotator's sleep: returns when the test ticks.
void tickSleep(quint32)
{
    std::unique_lock<std::mutex> lock(g_tickMutex);
    g_tickCv.wait(lock, [] { return g_ticks > 0; });
    --g_ticks;
}

} // namespace

TEST_F(PeriodicRotatorTest, ThreadChecksAtOnceAndThenEveryInterval)
{
    // The thread runs until its process ends: a child process.
    const pid_t child = vtest::forkChild([&] {
        VPeriodicLogRotatorTestAccess::setSleep(&tickSleep);
        VPeriodicLogRotator* rotator = new VPeriodicLogRotator(id, dir.path().c_str(), "tick", 0, 3600);
        auto copies = [&] {
            int n = 0;
            for (const std::string& f : files())
                n += f.rfind("tick_", 0) == 0;
            return n;
        };
        rotator->start();
        if (!vtest::waitFor([&] { return copies() == 1; }, std::chrono::seconds(2)))
            return 1;
        for (int k = 2; k <= 4; ++k) {
            VNOTICE(id) << "before tick" << k << endl;
            {
                std::lock_guard<std::mutex> lock(g_tickMutex);
                g_sec = g_sec + 1;
                ++g_ticks;
            }
            g_tickCv.notify_one();
            if (!vtest::waitFor([&] { return copies() == k; }))
                return k;
        }
        return 0;
    });
    EXPECT_EQ(vtest::waitChild(child), 0);
}

TEST_F(PeriodicRotatorTest, RelativeDirectoryHoldsAfterChdir)
{
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    VPeriodicLogRotator rotator(id, ".", "rel", 0, 1);
    vtest::TempDir elsewhere;
    ASSERT_EQ(chdir(elsewhere.path().c_str()), 0);
    VNOTICE(id) << "kept" << endl;
    rotator.rotateLog(false);
    VNOTICE(id) << "next" << endl;
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(vtest::readFile(dir.file("rel_051226_235001.log")), "[app 05.12.2026 23:50:01 NOTICE] kept \n");
    EXPECT_EQ(vtest::readFile(dir.file("rel.log")), "[app 05.12.2026 23:50:01 NOTICE] next \n");
    EXPECT_TRUE(QDir(elsewhere.qpath()).entryList(QDir::Files).isEmpty());
}

TEST_F(PeriodicRotatorTest, SizeRotationFollowsTheSwappedFile)
{
    vtest::TempDir semDir(true);
    vtest::SemCleanup sems;
    const std::string name = vtest::uniqueName("both");
    sems.add(name + "_rotationSem");
    VPeriodicLogRotator rotator(id, dir.path().c_str(), name.c_str(), 0, 1);
    VDebug::setRotationSize(id, 1);
    VNOTICE(id) << "first" << endl;
    rotator.rotateLog(false);
    g_sec = g_sec + 1;
    line(1048576 + 10);
    const std::string periodic = dir.file(name + "_051226_235001.log");
    const std::string bySize = dir.file(name + "_051226_235002.log");
    EXPECT_EQ(vtest::readFile(periodic), "[app 05.12.2026 23:50:01 NOTICE] first \n");
    EXPECT_EQ(vtest::readFile(bySize).size(), 1048586u);
    EXPECT_EQ(vtest::readFile(dir.file(name + ".log")), "");
}

TEST_F(PeriodicRotatorTest, StandardStreamsAreRefused)
{
    vtest::CaptureFd err(2);
    VPeriodicLogRotator rotator(VDebug::STDERR, dir.path().c_str(), "std", 0, 1);
    rotator.start();
    rotator.rotateLog(false);
    const std::string text = err.text();
    EXPECT_EQ(text, "VPeriodicLogRotator: stream 1 has no log file of its own; " + dir.file("std.log") +
                        " is not rotated\n");
    EXPECT_EQ(files(), std::vector<std::string>{"registered.log"});
}

TEST_F(PeriodicRotatorTest, FileInASubFolderRotatesBesideItself)
{
    ASSERT_TRUE(QDir(dir.qpath()).mkdir("sub"));
    VPeriodicLogRotator rotator(id, dir.path().c_str(), "sub/app", 0, 3600);
    VNOTICE(id) << "first" << endl;
    vtest::CaptureFd out(1);
    rotator.rotateLog(true);
    VNOTICE(id) << "second" << endl;
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(vtest::readFile(dir.file("sub/app_051226_235001.log")), "[app 05.12.2026 23:50:01 NOTICE] first \n");
    EXPECT_EQ(vtest::readFile(dir.file("sub/app.log")), "[app 05.12.2026 23:50:01 NOTICE] second \n");
}

// The stream's slot goes to another stream: the old rotator leaves it alone.
TEST_F(PeriodicRotatorTest, RotatorOfAnUnregisteredStreamLeavesTheNextStreamAlone)
{
    VPeriodicLogRotator rotator(id, dir.path().c_str(), "a", 0, 3600);
    VNOTICE(id) << "to a" << endl;
    VDebug::unregisterStream(id);
    const VDebug::StreamId b = VDebug::registerStream("app", dir.file("b.log").c_str());
    ASSERT_EQ(b.getId(), id.getId());
    VDebug::setDebugLevel(b, VDebug::VNOTICE);
    rotator.rotateLog(false);
    VNOTICE(b) << "to b" << endl;
    EXPECT_EQ(files(), (std::vector<std::string>{"a.log", "b.log", "registered.log"}));
    EXPECT_EQ(vtest::readFile(dir.file("b.log")), "[app 05.12.2026 23:50:01 NOTICE] to b \n");
    EXPECT_EQ(vtest::readFile(dir.file("a.log")), "[app 05.12.2026 23:50:01 NOTICE] to a \n");
}

// Another local user who can write the log's directory plants a link to a
// root-only file, or a FIFO, under the name the rotator opens: refused at
// once, and the stream keeps its file.
TEST_F(PeriodicRotatorTest, PlantedLinkOrFifoIsRefused)
{
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root to run the attacker";
    vtest::TempDir secretDir;
    const std::string secret = secretDir.file("secret");
    vtest::writeFile(secret, "secret\n");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const pid_t attacker = vtest::forkAttacker([&] {
        return symlink(secret.c_str(), dir.file("app.log").c_str()) == 0 &&
                       mkfifo(dir.file("pipe.log").c_str(), 0666) == 0
                   ? 0
                   : 1;
    });
    ASSERT_EQ(vtest::waitChild(attacker), 0);

    std::string err;
    {
        vtest::CaptureFd capture(2);
        VPeriodicLogRotator linked(id, dir.path().c_str(), "app", 0, 3600);
        VPeriodicLogRotator fifo(id, dir.path().c_str(), "pipe", 0, 3600);
        VNOTICE(id) << "kept" << endl;
        err = capture.text();
    }
    EXPECT_EQ(vtest::readFile(secret), "secret\n");
    EXPECT_EQ(vtest::readFile(dir.file("registered.log")), "[app 05.12.2026 23:50:01 NOTICE] kept \n");
    EXPECT_NE(err.find("VPeriodicLogRotator: cannot open " + dir.file("app.log") + "; the stream keeps its file: "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("VPeriodicLogRotator: cannot open " + dir.file("pipe.log")), std::string::npos) << err;
}
