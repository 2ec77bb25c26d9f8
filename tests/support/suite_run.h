// The directories of one run of the suite. ctest gives a test no run id,
// but every test program and fixture step is a child of the ctest process:
// a run is that process, named "<pid>-<start time>" (the start time from
// /proc, so a reused pid names another run). Its record is a folder of the
// build tree, <build>/tests/runs/<run>, for the large files (logs of the
// stress tests, database servers); it names in its file "tmpdir" the run's
// small directory, made fresh by mkdtemp in /dev/shm (else /tmp), TMPDIR of
// every test and home of the semaphores' key files.
#ifndef VORNLIB_TESTS_SUITE_RUN_H
#define VORNLIB_TESTS_SUITE_RUN_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace vtest {

struct SuiteRun
{
    std::string folder; // on disk, in the build tree
    std::string tmpdir; // small files
};

// "<pid>-<start time>" of a live process, empty when there is none.
std::string runIdOf(pid_t pid);

// The run of process id: its record, made (with its small directory) when
// missing. Throws std::runtime_error with the reason when a directory is not
// one this user made (a link, another owner, open to writers).
SuiteRun openRun(const std::string& id);

// Removes the run's directories and what they hold: the semaphore sets of
// its key files, the database servers started in its folder. Returns the
// sets removed ("<key file>: set <id>").
std::vector<std::string> removeRun(const std::string& id);

// Removes the runs whose process is gone (not those of another pid
// namespace, whose pids tell nothing here).
void reapDeadRuns();

// Sets TMPDIR and VORN_TEST_RUN (the run's folder) for a test program: the
// run of its parent when that is ctest, else the one a test program that
// started it passed on; else a run of its own, which endOwnRun removes.
void enterRun();
// Removes the run of this process's own, if it made one; false when
// semaphore sets were left in it.
bool endOwnRun();

} // namespace vtest

#endif
