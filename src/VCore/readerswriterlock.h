// Scoped reader and writer locks between processes and threads, built on a
// counting VSemaphore of N units (N readers at once) and a VOneLockSemaphore
// that lets one writer at a time collect all N units.
//
// The constructors lock and wait without limit; isLocked() tells whether it
// worked, and the destructor gives back exactly what was taken. Every process
// must create the counting semaphore with the same N. Take these locks after
// VService::run(): units taken before daemon() stay with the parent. A thread
// that takes a writer lock while it holds a reader lock (or the reverse) on
// the same pair deadlocks itself.
//
// Both constructors are cancellation points (their waits are those of
// VSemaphore::acquire): a thread cancelled inside one holds nothing
// afterwards. The destructors never wait.
#ifndef VORNLIB_VCORE_READERSWRITERLOCK_H
#define VORNLIB_VCORE_READERSWRITERLOCK_H

#include "VCore/vornlib_export.h"

#include "VCore/semunix.h"

// Not thread-safe: a locker belongs to one thread and one scope.
class VORN_EXPORT VReaderLocker
{
public:
    VReaderLocker(VSemaphore* sem, VOneLockSemaphore* writerSem);
    virtual ~VReaderLocker();

    VReaderLocker(const VReaderLocker&) = delete;
    VReaderLocker& operator=(const VReaderLocker&) = delete;

    bool isLocked() const { return m_isSemLocked; }

private:
    VSemaphore* m_sem;
    [[maybe_unused]] VOneLockSemaphore* m_writerSem;
    bool m_isSemLocked;
    [[maybe_unused]] bool m_isWriteSemLocked;
};

// Not thread-safe: a locker belongs to one thread and one scope.
class VORN_EXPORT VWriterLocker
{
public:
    VWriterLocker(VSemaphore* sem, VOneLockSemaphore* writerSem);
    virtual ~VWriterLocker();

    VWriterLocker(const VWriterLocker&) = delete;
    VWriterLocker& operator=(const VWriterLocker&) = delete;

    bool isLocked() const { return m_isWriteSemLocked && m_isSemLocked; }

private:
    VSemaphore* m_sem;
    VOneLockSemaphore* m_writerSem;
    bool m_isSemLocked;
    bool m_isWriteSemLocked;
};

#endif
