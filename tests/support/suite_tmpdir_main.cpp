// The suite's own temporary directory, TMPDIR of every test:
//   vorn_suite_tmpdir setup <dir>  makes it, open to every user as /tmp is
//   vorn_suite_tmpdir check <dir>  fails on each semaphore set whose key file
//                                  is still in it, and removes the set
// A test that ends normally leaves none (TempDir and SemCleanup remove
// them); a set found here belongs to a test that forgot its owner or did
// not end.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "testutil.h"

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "setup") != 0 && std::strcmp(argv[1], "check") != 0)) {
        std::fprintf(stderr, "usage: %s setup|check <dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[2];
    if (std::strcmp(argv[1], "setup") == 0) {
        if ((::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) || ::chmod(dir.c_str(), 01777) != 0) {
            std::fprintf(stderr, "%s: %s\n", dir.c_str(), std::strerror(errno));
            return 1;
        }
        return 0;
    }
    const std::vector<std::string> left = vtest::removeSemaphoreSets(dir);
    for (const std::string& l : left)
        std::printf("left behind (now removed): %s\n", l.c_str());
    return left.empty() ? 0 : 1;
}
