// Helpers of the record-type tests.
#ifndef VORNLIB_TESTS_VIPC_TEST_UTIL_H
#define VORNLIB_TESTS_VIPC_TEST_UTIL_H

#include <VCore/vexception.h>

#include <functional>
#include <string>

namespace vipctest {

// what() of the VException that f throws, or "<no exception>".
inline std::string whatOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const VException& e) {
        return e.what();
    }
    return "<no exception>";
}

}

#endif
