// The text of the VException a call throws, or "<no exception>".
#ifndef VORNLIB_TESTS_SUPPORT_EXCEPTION_TEXT_H
#define VORNLIB_TESTS_SUPPORT_EXCEPTION_TEXT_H

#include <functional>
#include <string>

#include <VCore/vexception.h>

namespace vtest {

inline std::string exceptionText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const VException& e) {
        return e.what();
    }
    return "<no exception>";
}

} // namespace vtest

#endif
