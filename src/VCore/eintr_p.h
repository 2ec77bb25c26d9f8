// Retry helper for system calls that fail with EINTR.
// Thread-safe: stateless.
#ifndef VORNLIB_VCORE_EINTR_P_H
#define VORNLIB_VCORE_EINTR_P_H

#include <cerrno>
#include <ctime>

// Calls f() until it does not fail with -1/EINTR; returns its last result.
// errno is left as the last call set it.
template <typename F>
inline auto vRetryOnEintr(F f) -> decltype(f())
{
    decltype(f()) rc;
    do {
        rc = f();
    } while (rc == -1 && errno == EINTR);
    return rc;
}

// For calls that take a relative timeout (semtimedop): calls f(left) with
// the time left of `timeout` and, after EINTR, again with what is left then,
// so that interruptions do not stretch the wait. Fails with EAGAIN once the
// time is up.
template <typename F>
inline int vRetryOnEintrWithin(const struct timespec& timeout, F f)
{
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += timeout.tv_sec;
    end.tv_nsec += timeout.tv_nsec;
    if (end.tv_nsec >= 1000000000L) {
        ++end.tv_sec;
        end.tv_nsec -= 1000000000L;
    }
    struct timespec left = timeout;
    for (;;) {
        const int rc = f(&left);
        if (rc != -1 || errno != EINTR)
            return rc;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = end.tv_sec - now.tv_sec;
        left.tv_nsec = end.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            --left.tv_sec;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec < 0) {
            errno = EAGAIN;
            return -1;
        }
    }
}

#endif
