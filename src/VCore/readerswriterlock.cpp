#include "VCore/readerswriterlock.h"

#include "VDebug/debug.h"

// ---- VReaderLocker ----

VReaderLocker::VReaderLocker(VSemaphore* sem, VOneLockSemaphore* writerSem)
    : m_sem(sem), m_writerSem(writerSem), m_isSemLocked(true), m_isWriteSemLocked(true)
{
    if (!m_sem || !m_sem->acquire(1)) {
        m_isSemLocked = false;
        VDBG1(VDebug::STDERR) << "VReaderLocker : Error getting semaphore" << endl;
    }
}

VReaderLocker::~VReaderLocker()
{
    if (m_isSemLocked && !m_sem->release(1))
        VDBG1(VDebug::STDERR) << "VReaderLocker : Error releasing semaphore" << endl;
}

// ---- VWriterLocker ----

VWriterLocker::VWriterLocker(VSemaphore* sem, VOneLockSemaphore* writerSem)
    : m_sem(sem), m_writerSem(writerSem), m_isSemLocked(true), m_isWriteSemLocked(true)
{
    if (!m_writerSem || !m_writerSem->acquire()) {
        m_isSemLocked = false;
        m_isWriteSemLocked = false;
        VDBG1(VDebug::STDERR) << "VWriterLocker : Error getting writer semaphore" << endl;
        return;
    }
    // A thread cancelled while it collects the units never runs the
    // destructor: the writer semaphore goes back as the constructor unwinds
    // (the units it took are given back by acquire itself). SEM_UNDO would
    // help only at process exit.
    struct WriterSemOnCancel
    {
        VOneLockSemaphore* sem;
        ~WriterSemOnCancel()
        {
            if (sem)
                sem->release();
        }
    } onCancel{m_writerSem};
    // All N units, one after the other; the writer semaphore stays held on
    // failure until the destructor.
    if (!m_sem || !m_sem->acquire(m_sem->getMaxCount())) {
        m_isSemLocked = false;
        VDBG1(VDebug::STDERR) << "VWriterLocker : Error getting semaphore" << endl;
    }
    onCancel.sem = nullptr;
}

VWriterLocker::~VWriterLocker()
{
    if (m_isSemLocked && !m_sem->release(m_sem->getMaxCount()))
        VDBG1(VDebug::STDERR) << "~VWriterLocker : Error releasing semaphore" << endl;
    if (m_isWriteSemLocked && !m_writerSem->release())
        VDBG1(VDebug::STDERR) << "~VWriterLocker : Error releasing writer semaphore" << endl;
}
