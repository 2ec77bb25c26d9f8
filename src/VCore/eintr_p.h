// Retry helper for system calls that fail with EINTR.
// Thread-safe: stateless.
#ifndef VORNLIB_VCORE_EINTR_P_H
#define VORNLIB_VCORE_EINTR_P_H

#include <cerrno>

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

#endif
