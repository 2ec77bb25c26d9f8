// The resident memory of the running test process, for bounds on growth.
#ifndef VORNLIB_TESTS_RESIDENT_MEMORY_H
#define VORNLIB_TESTS_RESIDENT_MEMORY_H

#include <cstdlib>
#include <fstream>
#include <string>

namespace vtest {

// VmRSS of this process in KiB, or -1 when /proc cannot tell.
inline long residentKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

} // namespace vtest

#endif
