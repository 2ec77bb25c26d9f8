// The steps of a ctest run around its tests (see suite_run.h); each acts on
// the run of the ctest process that started it, never on another live run:
//   vorn_suite_tmpdir setup          makes the run's directories, after
//                                    removing those of runs that are gone
//   vorn_suite_tmpdir check          fails on each semaphore set whose key
//                                    file is still in the run's directory,
//                                    then removes the sets and directories
//   vorn_suite_tmpdir run <cmd...>   runs cmd with TMPDIR and VORN_TEST_RUN
//                                    of the run; "@RUN@" in an argument
//                                    stands for the run's folder
// A test that ends normally leaves no set (TempDir and SemCleanup remove
// them); a set found here belongs to a test that forgot its owner or did not
// end.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "suite_run.h"

namespace {

int runCommand(const vtest::SuiteRun& run, int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        for (size_t at; (at = a.find("@RUN@")) != std::string::npos;)
            a.replace(at, 5, run.folder);
        args.push_back(a);
    }
    std::vector<char*> list;
    for (std::string& a : args)
        list.push_back(&a[0]);
    list.push_back(nullptr);
    setenv("TMPDIR", run.tmpdir.c_str(), 1);
    setenv("VORN_TEST_RUN", run.folder.c_str(), 1);
    execvp(list[0], list.data());
    std::fprintf(stderr, "%s: %s\n", list[0], std::strerror(errno));
    return 127;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (!(argc == 2 && (cmd == "setup" || cmd == "check")) && !(argc > 2 && cmd == "run")) {
        std::fprintf(stderr, "usage: %s setup|check|run <command...>\n", argv[0]);
        return 2;
    }
    const std::string id = vtest::runIdOf(getppid());
    try {
        if (cmd == "setup") {
            vtest::reapDeadRuns();
            const vtest::SuiteRun run = vtest::openRun(id);
            std::printf("run %s: %s, %s\n", id.c_str(), run.folder.c_str(), run.tmpdir.c_str());
            return 0;
        }
        if (cmd == "run")
            return runCommand(vtest::openRun(id), argc - 2, argv + 2);
        const std::vector<std::string> left = vtest::removeRun(id);
        for (const std::string& l : left)
            std::printf("left behind (now removed): %s\n", l.c_str());
        return left.empty() ? 0 : 1;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "the tests' directories: %s\n", e.what());
        return 1;
    }
}
