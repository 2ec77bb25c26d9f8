#include "suite_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <QDir>
#include <QDirIterator>

#include "sockutil.h"
#include "testutil.h"

namespace vtest {

namespace {

const std::string kRunsRoot = VORN_TEST_RUNS;

std::runtime_error failure(const std::string& path, const std::string& what)
{
    return std::runtime_error(path + ": " + what);
}

// A directory this user made and no one else may write: never a link (lstat),
// never another's, never open to writers, whatever its name.
void checkOwnDir(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        throw failure(path, std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        throw failure(path, "not a directory (a link?); refusing to use it");
    if (st.st_uid != geteuid())
        throw failure(path, "owned by uid " + std::to_string(st.st_uid) + ", not by this user; refusing to use it");
    if (st.st_mode & 022)
        throw failure(path, "writable by others; refusing to use it");
}

// Opens to others only for search, so that the tests' other users reach
// the directories the tests open to them inside.
void makeSearchable(const std::string& path)
{
    const Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid() || fchmod(fd.get(), 0711) != 0)
        throw failure(path, std::strerror(errno));
    checkOwnDir(path);
}

// A fresh directory for the small files: /dev/shm when it is there and
// writable, a file system apart from /tmp's (a semaphore key holds only the
// low byte of the device and 16 bits of the inode, so on /tmp's file system
// the suite's keys could meet sets other programs made from /tmp files).
std::string makeSmallDir()
{
    std::string reasons;
    for (const char* base : {"/dev/shm", "/tmp"}) {
        std::string tmpl = std::string(base) + "/vornsuite.XXXXXX";
        if (mkdtemp(&tmpl[0])) {
            makeSearchable(tmpl);
            return tmpl;
        }
        reasons += std::string(reasons.empty() ? "" : ", ") + base + ": " + std::strerror(errno);
    }
    throw std::runtime_error("no temporary directory for the tests (" + reasons + ")");
}

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string folderOf(const std::string& id)
{
    return kRunsRoot + "/" + id;
}

// The run's small directory, once its maker has named it.
std::string recordedTmpdir(const std::string& folder, std::chrono::milliseconds wait)
{
    std::string dir;
    waitFor([&] { return !(dir = trimmed(readFile(folder + "/tmpdir"))).empty(); }, wait);
    if (dir.empty())
        throw failure(folder, "names no temporary directory");
    checkOwnDir(dir);
    return dir;
}

// Stops each database server started in the folder of a run (the script
// signals a pid only while it still runs on that server's data).
void stopServers(const std::string& folder)
{
    QDirIterator it(QString::fromStdString(folder), QStringList() << QStringLiteral("server.pid"), QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const std::string server = it.next().section('/', 0, -2).toStdString();
        const pid_t pid = forkChild([&] {
            execlp("bash", "bash", VORN_MARIADB_SCRIPT, "stop", server.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        waitChild(pid, std::chrono::seconds(90));
    }
}

// The pid namespace of this process ("pid:[<inode>]"), empty when unknown.
std::string pidNamespace()
{
    char link[64];
    const ssize_t n = readlink("/proc/self/ns/pid", link, sizeof link);
    return n > 0 && size_t(n) < sizeof link ? std::string(link, size_t(n)) : std::string();
}

// Writes a file of the run's record whole, so that readers see all or none.
void writeRecord(const std::string& folder, const std::string& name, const std::string& text)
{
    writeFile(folder + "/" + name + ".new", text + "\n");
    if (rename((folder + "/" + name + ".new").c_str(), (folder + "/" + name).c_str()) != 0)
        throw failure(folder, std::strerror(errno));
}

bool isCtest(pid_t pid)
{
    return readFile("/proc/" + std::to_string(pid) + "/comm") == "ctest\n";
}

std::string ownRun;
pid_t ownRunMaker = 0;

} // namespace

std::string runIdOf(pid_t pid)
{
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses; the
    // start time is the 22nd field, the 20th after comm.
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return std::string();
    std::istringstream rest(stat.substr(end + 1));
    std::string field;
    for (int i = 0; i < 20 && rest >> field; ++i) {
    }
    return rest ? std::to_string(pid) + "-" + field : std::string();
}

SuiteRun openRun(const std::string& id)
{
    if (id.empty())
        throw std::runtime_error("no run: the process is gone");
    if (mkdir(kRunsRoot.c_str(), 0755) != 0 && errno != EEXIST)
        throw failure(kRunsRoot, std::strerror(errno));
    checkOwnDir(kRunsRoot);
    SuiteRun run;
    run.folder = folderOf(id);
    // The first process of a run makes it; the others wait for its record.
    if (mkdir(run.folder.c_str(), 0700) == 0) {
        makeSearchable(run.folder);
        writeRecord(run.folder, "pidns", pidNamespace());
        run.tmpdir = makeSmallDir();
        writeRecord(run.folder, "tmpdir", run.tmpdir);
        return run;
    }
    if (errno != EEXIST)
        throw failure(run.folder, std::strerror(errno));
    checkOwnDir(run.folder);
    run.tmpdir = recordedTmpdir(run.folder, std::chrono::seconds(20));
    return run;
}

std::vector<std::string> removeRun(const std::string& id)
{
    const std::string folder = folderOf(id);
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0)
        return {};
    checkOwnDir(folder);
    std::vector<std::string> removed;
    std::string tmpdir;
    try {
        tmpdir = recordedTmpdir(folder, std::chrono::milliseconds(0));
    } catch (const std::runtime_error&) {
        // A run whose maker died before naming it has none.
    }
    if (!tmpdir.empty()) {
        removed = removeSemaphoreSets(tmpdir);
        QDir(QString::fromStdString(tmpdir)).removeRecursively();
    }
    stopServers(folder);
    QDir(QString::fromStdString(folder)).removeRecursively();
    return removed;
}

void reapDeadRuns()
{
    const std::string ns = pidNamespace();
    for (const QString& name : QDir(QString::fromStdString(kRunsRoot)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const std::string id = name.toStdString();
        const pid_t pid = std::atoi(id.c_str());
        if (pid <= 0 || runIdOf(pid) == id)
            continue;
        try {
            checkOwnDir(folderOf(id));
            // Its pid names another process here when the run is of another
            // pid namespace (a container sharing the build tree): alive or
            // not, it cannot be told from here.
            const std::string itsNs = trimmed(readFile(folderOf(id) + "/pidns"));
            if (!itsNs.empty() && itsNs != ns)
                throw failure(folderOf(id), "a run of another pid namespace (" + itsNs + ")");
            removeRun(id);
        } catch (const std::runtime_error& e) {
            std::fprintf(stderr, "left in place: %s\n", e.what());
        }
    }
}

void enterRun()
{
    SuiteRun run;
    try {
        const pid_t parent = getppid();
        const char* passed = std::getenv("VORN_TEST_RUN");
        struct stat st;
        if (isCtest(parent)) {
            run = openRun(runIdOf(parent));
        } else if (passed && *passed && lstat(passed, &st) == 0) {
            return;
        } else {
            ownRun = runIdOf(getpid());
            ownRunMaker = getpid();
            run = openRun(ownRun);
        }
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "the tests' directories: %s\n", e.what());
        std::exit(1);
    }
    setenv("TMPDIR", run.tmpdir.c_str(), 1);
    setenv("VORN_TEST_RUN", run.folder.c_str(), 1);
}

bool endOwnRun()
{
    if (ownRun.empty() || ownRunMaker != getpid())
        return true;
    std::vector<std::string> left;
    try {
        left = removeRun(ownRun);
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "left in place: %s\n", e.what());
    }
    for (const std::string& l : left)
        std::fprintf(stderr, "semaphore set left behind (now removed): %s\n", l.c_str());
    ownRun.clear();
    return left.empty();
}

} // namespace vtest
