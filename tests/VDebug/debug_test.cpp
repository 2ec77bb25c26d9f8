#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "VCore/printable.h"
#include "VCore/thread_p.h"
#include "VDebug/debug.h"
#include "VDebug/debug_sink_p.h"
#include "sampletime.h"
#include "testutil.h"

namespace {

time_t g_fixedSec;
long g_fixedNsec;
std::atomic<int> g_clockCalls{0};

void fixedClock(struct timespec* ts)
{
    ++g_clockCalls;
    ts->tv_sec = g_fixedSec;
    ts->tv_nsec = g_fixedNsec;
}

// Pins the log clock to 05.12.2026 23:50:01.123 local time for a scope.
struct FixedClock
{
    FixedClock()
    {
        g_fixedSec = vtest::sampleTime();
        g_fixedNsec = 123456789;
        VDebugTestAccess::setClock(&fixedClock);
    }
    ~FixedClock()
    {
        VDebugTestAccess::setClock(nullptr);
        VDebug::setTimestampWithMilliseconds(false);
        VDebug::setPrintProcessIdAndThreadId(false);
    }
};

// A registered stream on a file of its own, unregistered at the end.
struct FileStream
{
    vtest::TempDir dir;
    std::string path;
    VDebug::StreamId id;
    explicit FileStream(const char* name = "mydb", int level = VDebug::VDBG3)
        : path(dir.file("log.txt"))
    {
        id = VDebug::registerStream(name, path.c_str());
        VDebug::setDebugLevel(id, level);
    }
    ~FileStream() { VDebug::unregisterStream(id); }
    std::string text() const { return vtest::readFile(path); }
};

class Named : public VPrintable
{
public:
    QString toString() const override { return "named-object"; }
};

} // namespace

TEST(VDebug, LineFormatOnAStandardAndARegisteredStream)
{
    FixedClock clock;
    {
        vtest::CaptureFd cap(2);
        VERROR(VDebug::STDERR) << "Failed to open" << "/var/run/x" << endl;
        EXPECT_EQ(cap.text(), "[ 05.12.2026 23:50:01 ERROR] Failed to open /var/run/x \n");
    }
    FileStream s;
    VERROR(s.id) << "Failed to open" << "/var/run/x" << endl;
    VDebug::setTimestampWithMilliseconds(true);
    VWARNING(s.id) << QString("w") << endl;
    VDebug::setPrintProcessIdAndThreadId(true);
    VNOTICE(s.id) << "n" << endl;
    VDebug::setTimestampWithMilliseconds(false);
    VDebug::setPrintProcessIdAndThreadId(false);
    VDBG1(s.id) << 1 << endl;
    VDebug::vDebug2(s.id) << 2u << endl;
    VDBG3(s.id) << "three" << endl;
    VDebug::vDebugSystem(s.id) << "sys" << endl;

    std::ostringstream ids;
    ids << "p" << getpid() << "/t" << static_cast<unsigned long>(pthread_self()) << " ";
    EXPECT_EQ(s.text(),
              "[mydb 05.12.2026 23:50:01 ERROR] Failed to open /var/run/x \n"
              "[mydb 05.12.2026 23:50:01.123 WARNING] w \n"
              "[mydb 05.12.2026 23:50:01.123 " + ids.str() + "NOTICE] n \n"
              "[mydb 05.12.2026 23:50:01 DBG1] 1 \n"
              "[mydb 05.12.2026 23:50:01 DBG2] 2 \n"
              "[mydb 05.12.2026 23:50:01 DBG3] three \n"
              "[mydb 05.12.2026 23:50:01 SYSTEM] sys \n");
}

TEST(VDebug, ItemsSpacingHexAndNewlines)
{
    FixedClock clock;
    FileStream s;
    const std::string h = "[mydb 05.12.2026 23:50:01 ERROR] ";

    VERROR(s.id).nospace() << "a" << "b" << endl; // header turns spacing back on
    VERROR(s.id) << "a" << endl;
    EXPECT_EQ(s.text(), h + "a b \n" + h + "a \n");
    vtest::writeFile(s.path, "");

    {
        VDebug d = VDebug::vDebugError(s.id);
        d << "a";
        d.nospace();
        d << "b" << "c" << endl;
    }
    {
        VDebug d = VDebug::vDebugError(s.id);
        d.setHexMode(true);
        d << 255 << -1 << 16u << endl;
    }
    VERROR(s.id) << "first\n" << "second" << endl;
    VERROR(s.id) << true << 'c' << QChar(0x20AC) << QString::fromUtf8("\xe2\x82\xac") << 1.5
                 << QByteArray("ba") << QLatin1String("l1") << Named() << (long long)-5 << endl;
    EXPECT_EQ(s.text(), h + "a bc\n" + h + "0xff 0xffffffffffffffff 0x10 \n" + h + "first\n " + h +
                            "second \n" + h + "true c ? ? 1.5 ba l1 named-object -5 \n");
}

TEST(VDebug, StatementsBelowThresholdWriteNothing)
{
    FixedClock clock;
    FileStream s("t", VDebug::VWARNING);
    g_clockCalls = 0;
    VDBG1(s.id) << "invisible" << 42 << endl;
    EXPECT_EQ(g_clockCalls.load(), 0); // inactive statements format nothing
    VDebug::vDebugSystem(s.id) << "always" << endl;
    EXPECT_EQ(s.text(), "[t 05.12.2026 23:50:01 SYSTEM] always \n");

    VDebug::setDebugLevel(s.id, 9);
    EXPECT_EQ(VDebug::getDebugLevel(s.id), VDebug::VERROR);
    VDebug::setDebugLevel(s.id, -1);
    EXPECT_EQ(VDebug::getDebugLevel(s.id), VDebug::VERROR);
    VDebug::setDebugLevel(s.id, VDebug::VDBG2);
    EXPECT_EQ(VDebug::getDebugLevel(s.id), VDebug::VDBG2);
}

TEST(VDebug, StatementWithoutEndlWritesNothingAndEmptyEndlWritesEmptyLine)
{
    FileStream s;
    {
        VERROR(s.id) << "never flushed";
    }
    EXPECT_EQ(s.text(), "");
    VERROR(s.id) << endl;
    EXPECT_EQ(s.text(), "\n");
}

TEST(VDebug, EmbeddedNulCutsTheLine)
{
    FixedClock clock;
    FileStream s;
    VERROR(s.id) << QByteArray("ab\0cd", 5) << "after" << endl;
    EXPECT_EQ(s.text(), "[mydb 05.12.2026 23:50:01 ERROR] ab\n");
}

TEST(VDebug, RegistryFillsToFiftySlotsAndReusesHighestPlaceholder)
{
    vtest::TempDir dir;
    std::vector<VDebug::StreamId> ids;
    std::string error;
    for (int i = 0; i < 60; ++i) {
        try {
            ids.push_back(VDebug::registerStream("s", dir.file("f" + std::to_string(i)).c_str()));
        } catch (const VException& e) {
            error = e.what();
            break;
        }
    }
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.back().getId(), 49);
    EXPECT_EQ(error, "Maximum number of VDebug streams (50) exceeded");
    // In a fresh process the table starts at slot 2: 48 registrations fit.
    if (ids.front().getId() == 2)
        EXPECT_EQ(ids.size(), 48u);

    // The registry lock was released by the throw: another thread can register
    // once a slot is free again.
    VDebug::unregisterStream(ids[3]);
    VDebug::unregisterStream(ids[7]);
    VDebug::StreamId reused;
    std::thread t([&] { reused = VDebug::registerStream("again", dir.file("g").c_str()); });
    t.join();
    EXPECT_EQ(reused.getId(), ids[7].getId());
    EXPECT_EQ(VDebug::registerStream("again2", dir.file("h").c_str()).getId(), ids[3].getId());

    for (const auto& id : ids)
        VDebug::unregisterStream(id);
}

TEST(VDebug, StandardStreamsCannotBeUnregisteredAndBadIdsAreHarmless)
{
    VDebug::unregisterStream(VDebug::STDOUT);
    VDebug::unregisterStream(VDebug::STDERR);
    EXPECT_EQ(VDebug::STDOUT.getId(), 0);
    EXPECT_EQ(VDebug::STDERR.getId(), 1);
    EXPECT_EQ(VDebug::getDebugLevel(VDebug::STDERR), VDebug::VWARNING);

    FileStream s;
    const VDebug::StreamId gone = s.id;
    VDebug::unregisterStream(gone);
    VDebug::unregisterStream(gone); // twice: nothing
    // Statements on a placeholder, a never-used slot and an out-of-range id.
    VDebug::vDebugSystem(gone) << "x" << endl;
    VDebug::vDebugSystem(VDebug::StreamId()) << "x" << endl;
    VDebug::setDebugLevel(VDebug::StreamId(), 3);
    VDebug::setRotationSize(VDebug::StreamId(), 10);
    EXPECT_EQ(s.text(), "");
    s.id = VDebug::registerStream("back", s.path.c_str()); // for the destructor
}

TEST(VDebug, UnopenableFileFallsBackToStdoutAndSaysSo)
{
    FixedClock clock;
    vtest::CaptureFd err(2);
    VDebug::StreamId id;
    std::string out;
    {
        vtest::CaptureFd cap(1);
        id = VDebug::registerStream("fallback", "/nonexistent/d/x.log");
        VERROR(id) << "to stdout" << endl;
        out = cap.text();
    }
    VDebug::unregisterStream(id);
    EXPECT_EQ(out, "[fallback 05.12.2026 23:50:01 ERROR] to stdout \n");
    EXPECT_EQ(err.text(), "cannot open log file /nonexistent/d/x.log: No such file or directory\n");
}

TEST(VDebug, FullDeviceNeitherCrashesNorHangs)
{
    struct stat st;
    if (stat("/dev/full", &st) != 0)
        GTEST_SKIP() << "no /dev/full";
    VDebug::StreamId id = VDebug::registerStream("full", "/dev/full");
    VERROR(id) << "lost" << endl;
    VDebug::unregisterStream(id);
}

TEST(VDebug, LongLinesFromSeveralProcessesAndThreadsNeverTear)
{
    FileStream s("mp", VDebug::VERROR);
    const int procs = 4, threads = 2, lines = 500, len = 5000;
    std::vector<pid_t> kids;
    for (int p = 0; p < procs; ++p)
        kids.push_back(vtest::forkChild([&, p] {
            std::vector<std::thread> ts;
            for (int t = 0; t < threads; ++t)
                ts.emplace_back([&, t] {
                    const QByteArray fill(len, char('a' + p * threads + t));
                    for (int i = 0; i < lines; ++i)
                        VERROR(s.id) << fill << endl;
                });
            for (auto& t : ts)
                t.join();
            return 0;
        }));
    for (pid_t k : kids)
        ASSERT_EQ(vtest::waitChild(k), 0);

    std::istringstream in(s.text());
    std::string line;
    int count = 0, torn = 0;
    while (std::getline(in, line)) {
        ++count;
        const size_t close = line.find("] ");
        if (close == std::string::npos || line.size() != close + 2 + len + 1) {
            ++torn;
            continue;
        }
        const std::string payload = line.substr(close + 2, len);
        if (payload.find_first_not_of(payload[0]) != std::string::npos || line.back() != ' ')
            ++torn;
    }
    EXPECT_EQ(count, procs * threads * lines);
    EXPECT_EQ(torn, 0);
}

TEST(VDebug, CancelledWriterLeavesNoLockHeld)
{
    FileStream s("cancel", VDebug::VERROR);
    const pid_t kid = vtest::forkChild([&] {
        std::atomic<bool> running{false};
        pthread_t th;
        auto body = [](void* arg) -> void* {
            auto* r = static_cast<std::pair<std::atomic<bool>*, VDebug::StreamId>*>(arg);
            for (;;) {
                VERROR(r->second) << "from the thread" << endl;
                r->first->store(true);
                pthread_testcancel();
            }
            return nullptr;
        };
        std::pair<std::atomic<bool>*, VDebug::StreamId> arg(&running, s.id);
        pthread_create(&th, nullptr, body, &arg);
        if (!vtest::waitFor([&] { return running.load(); }))
            return 2;
        pthread_cancel(th);
        pthread_join(th, nullptr);
        VERROR(s.id) << "after cancel" << endl; // would deadlock on a held lock
        return 0;
    });
    EXPECT_EQ(vtest::waitChild(kid, std::chrono::seconds(30)), 0);
    EXPECT_NE(s.text().find("after cancel"), std::string::npos);
}

// Registering a FIFO blocks in open() until a reader comes: a thread
// cancelled there must not leave the stream table locked.
TEST(VDebug, CancelledRegistrationLeavesNoLockHeld)
{
    vtest::TempDir dir;
    const std::string fifo = dir.file("fifo.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string plain = dir.file("plain.log");
    const pid_t kid = vtest::forkChild([&] {
        struct Arg
        {
            std::atomic<bool> started{false};
            const char* path;
        } arg;
        arg.path = fifo.c_str();
        auto body = [](void* p) -> void* {
            Arg* a = static_cast<Arg*>(p);
            a->started.store(true);
            VDebug::unregisterStream(VDebug::registerStream("fifo", a->path));
            return nullptr;
        };
        pthread_t th;
        if (pthread_create(&th, nullptr, body, &arg) != 0)
            return 2;
        if (!vtest::waitFor([&] { return arg.started.load(); }))
            return 3;
        pthread_cancel(th);
        // Lets a registration that still runs finish its open().
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        pthread_join(th, nullptr);
        if (reader >= 0)
            close(reader);
        const VDebug::StreamId id = VDebug::registerStream("plain", plain.c_str()); // would deadlock
        VDebug::unregisterStream(id);
        return 0;
    });
    EXPECT_EQ(vtest::waitChild(kid, std::chrono::seconds(10)), 0);
}

TEST(VDebug, SettersRaceFreeWithWriters)
{
    FileStream s("race", VDebug::VERROR);
    std::atomic<bool> stop{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 2000; ++i)
                VERROR(s.id) << "line" << i << endl;
        });
    std::thread toggler([&] {
        for (int i = 0; !stop; ++i) {
            VDebug::setTimestampWithMilliseconds(i & 1);
            VDebug::setPrintProcessIdAndThreadId(i & 2);
            VDebug::setDebugLevel(s.id, (i & 4) ? VDebug::VERROR : VDebug::VDBG3);
        }
    });
    for (auto& t : ts)
        t.join();
    stop = true;
    toggler.join();
    VDebug::setTimestampWithMilliseconds(false);
    VDebug::setPrintProcessIdAndThreadId(false);
    std::istringstream in(s.text());
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        EXPECT_EQ(line.rfind("[race ", 0), 0u);
    }
    EXPECT_EQ(count, 8000);
}

namespace {

// Each reading a new second, so every line's time stamp is converted afresh.
std::atomic<time_t> g_racingSec{0};
void racingClock(struct timespec* ts)
{
    ts->tv_sec = g_racingSec++;
    ts->tv_nsec = 0;
}

// Runs fork() while another thread holds lock for a moment; the child then
// calls childWork, which must not find the lock taken. Returns the child's
// status.
int forkWhileHeld(VMutex& lock, const std::function<int()>& childWork)
{
    std::atomic<bool> held{false};
    std::thread holder([&] {
        lock.lock();
        held = true;
        VThread::sleepMilli(200); // the fork falls inside this hold
        lock.unlock();
    });
    vtest::waitFor([&] { return held.load(); });
    const pid_t kid = vtest::forkChild(childWork);
    holder.join();
    return vtest::waitChild(kid, std::chrono::seconds(10));
}

} // namespace

// Children forked while other threads stamp lines, register streams or keep
// the stream table locked can log at once.
TEST(VDebugFork, ChildOfABusyProcessCanLog)
{
    FileStream s("forked", VDebug::VNOTICE);
    VDebugTestAccess::setClock(&racingClock);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&] {
            // Mostly statements never ended: only the stamp, no write.
            for (int n = 0; !stop; ++n) {
                VDebug d = VDebug::vDebugNotice(s.id);
                d << "parent";
                if (n % 64 == 0)
                    d << endl;
            }
        });
    int ok = 0;
    const int kids = 100;
    for (int i = 0; i < kids; ++i) {
        const pid_t kid = vtest::forkChild([&] {
            VNOTICE(s.id) << "child" << endl;
            return 0;
        });
        ok += vtest::waitChild(kid, std::chrono::seconds(5)) == 0;
    }
    stop = true;
    for (auto& w : writers)
        w.join();
    VDebugTestAccess::setClock(nullptr);
    EXPECT_EQ(ok, kids);

    vtest::TempDir dir;
    const std::string other = dir.file("other.log");
    EXPECT_EQ(forkWhileHeld(VDebugTestAccess::streamTableLock(), [&] {
                  const VDebug::StreamId id = VDebug::registerStream("other", other.c_str());
                  VDebug::unregisterStream(id);
                  return 0;
              }),
              0);
    EXPECT_EQ(forkWhileHeld(VThreadRegistryAccess::registryLock(), [&] {
                  VThread t("in-child");
                  t.start();
                  t.join();
                  return 0;
              }),
              0);
}
