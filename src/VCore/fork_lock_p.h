// Fork handlers' steps for a library VMutex: taken before fork() so that no
// other thread holds it across the fork, given back afterwards. Not installed.
#ifndef VORNLIB_VCORE_FORK_LOCK_P_H
#define VORNLIB_VCORE_FORK_LOCK_P_H

#include <new>

#include "VCore/mutex.h"

// Thread-safe: called only by fork handlers. Nothing here logs or throws.
struct VForkLock
{
    static void prepare(VMutex& m)
    {
        try {
            m.lock();
        } catch (const VException&) {
        }
    }
    static void parent(VMutex& m)
    {
        try {
            m.unlock();
        } catch (const VException&) {
        }
    }
    // The child's only thread holds the lock under the forking thread's
    // old id, and a recursive mutex refuses that unlock: it is made anew
    // (the old one is not destroyed, it is locked).
    static void child(VMutex& m)
    {
        try {
            new (&m) VMutex;
        } catch (const VException&) {
        }
    }
};

#endif
