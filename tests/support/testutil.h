// Helpers shared by the tests: unique temporary directories, capture of a
// standard descriptor, bounded waits and child processes.
#ifndef VORNLIB_TESTS_TESTUTIL_H
#define VORNLIB_TESTS_TESTUTIL_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <QByteArray>
#include <QString>

namespace vtest {

// Where a TempDir lies: under $TMPDIR, which may be a small memory file
// system, or, for large files (logs of stress tests, database servers), in
// the run's folder on disk ($VORN_TEST_RUN, see suite_run.h).
enum class Space { Small, Large };

// A fresh directory under $TMPDIR (or /tmp), removed with its content at the
// end of the scope, together with the semaphore sets of the key files in it
// (see removeSemaphoreSets). With setVornTmpDir it is also VORN_TMPDIR
// meanwhile. Moving one into another hands over its directory alone (after
// removing the other's).
class TempDir
{
public:
    explicit TempDir(bool setVornTmpDir = false, Space space = Space::Small);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir& operator=(TempDir&& other);

    const std::string& path() const { return _path; }
    QString qpath() const { return QString::fromStdString(_path); }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    void removeDir();
    std::string _path;
    bool _setEnv;
    std::string _oldEnv;
    bool _hadOldEnv;
};

// Redirects descriptor fd (1 or 2) into a file until text() or the end of
// the scope; stdio buffers are flushed on both sides.
class CaptureFd
{
public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    CaptureFd(const CaptureFd&) = delete;
    CaptureFd& operator=(const CaptureFd&) = delete;
    // Stops capturing and returns what was written.
    std::string text();

private:
    void restore();
    int _fd;
    int _saved;
    std::string _file;
};

// A name unique to this process and call, for semaphores, streams, keys.
std::string uniqueName(const std::string& prefix);

// Polls pred every millisecond until it holds or the timeout passes.
bool waitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Forks a child that runs body and exits with its return value (0-255);
// the child never returns into the test framework.
pid_t forkChild(const std::function<int()>& body);
// Waits at most timeout for the child; returns its exit status, or -1 when it
// crashed or did not end in time (then it is killed).
int waitChild(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The unprivileged local user that attacks in the multi-user tests.
constexpr uid_t kAttackerId = 65534;
// True when this process may switch to kAttackerId (it runs as root).
bool canRunAttacker();
// Like forkChild, but the child first drops to uid and gid kAttackerId with
// no supplementary groups; exits 253 when it cannot drop.
pid_t forkAttacker(const std::function<int()>& body);
// Like forkAttacker, for another user: uid and gid, no supplementary groups.
pid_t forkAs(uid_t uid, gid_t gid, const std::function<int()>& body);
// The same with these supplementary groups.
pid_t forkAs(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<int()>& body);

// Removes the semaphore set that the library made for a key file, found
// through the id file beside it ("<key file>_semid") and only when its key is
// the key file's, so no set of another key file with a colliding key is
// touched; without an id file, the set of the key file's key. Then removes
// both files. Returns the id of the set removed, or -1.
int removeSemaphoreSet(const std::string& keyFile);
// The same for every library key file ("vsemfile_...") under dir that still
// has its set, through its id file only: a key file that is a regular file
// (not a link) whose owner made the set under its key; returns
// "<key file>: set <id>" for each set removed.
std::vector<std::string> removeSemaphoreSets(const std::string& dir);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

} // namespace vtest

#endif
