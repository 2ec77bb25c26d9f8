// The time the log tests stamp their lines with.
#ifndef VORNLIB_TESTS_SAMPLETIME_H
#define VORNLIB_TESTS_SAMPLETIME_H

#include <ctime>

namespace vtest {

// 05.12.2026 23:50:01 local time.
inline time_t sampleTime()
{
    struct tm t = {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 5;
    t.tm_hour = 23;
    t.tm_min = 50;
    t.tm_sec = 1;
    t.tm_isdst = -1;
    return mktime(&t);
}

} // namespace vtest

#endif
