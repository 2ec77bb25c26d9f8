// Named System V semaphores shared between processes: one semaphore per name,
// reached through a key file "vsemfile_<name><INSTALLATION_UID>" in
// VORN_TMPDIR (else TMPDIR, else /tmp). Units are taken and given back with
// SEM_UNDO, so the system returns what a process holds when it exits.
//
// Contract: every process that names a semaphore must construct it with the
// same count; only the creating process sets the value, and getMaxCount()
// reports the local count (the reader/writer lockers rely on it).
// Units taken before a fork() or daemon() are not held by the child.
//
// Set-up window: the creator makes the set (value 0) and then sets its value;
// a process that opens the set in between sees 0 for that moment (tryAcquire
// fails with EAGAIN, acquire waits until the value is set). The id file is
// written only after the value is set.
//
// Shared directory and namespace: the key and id files are opened without
// following links and only as regular files; a set made by someone else is
// used only when its owner and creator are this effective user, or its group
// is this effective group and it grants nothing to others (not OK otherwise).
//
// Users of one group: the key file is created 0660 less the umask. A key file
// that cannot be opened for writing is opened read-only (only its identity
// matters), so a set made under umask 022 is shared too, but the group's
// other users then leave the id file as its creator wrote it. Such a reader
// only attaches: with no set yet it is not OK ("no semaphore yet ..."), and
// it makes neither the set nor the id file. Sharing across
// the users of a group, id file included, needs a umask that leaves the group
// write bit (002 or 007).
#ifndef VORNLIB_VCORE_SEMUNIX_H
#define VORNLIB_VCORE_SEMUNIX_H

#include "VCore/vornlib_export.h"

#include <atomic>
#include <mutex>

#include <QString>

class VSemaphore;

// Thread-safe: one object may be used by several threads at once (the error text is guarded).
class VORN_EXPORT VSemaphoreImpl
{
public:
    // Never throws; check isOk().
    VSemaphoreImpl(quint32 initialCount, const char* name);
    virtual ~VSemaphoreImpl();

    VSemaphoreImpl(const VSemaphoreImpl&) = delete;
    VSemaphoreImpl& operator=(const VSemaphoreImpl&) = delete;

    // Waits for count units, taken one at a time; on failure the units
    // already taken are given back, so false means nothing is held.
    // A cancellation point (tested at least every 100 ms): a thread cancelled
    // while it waits gives back every unit it took here.
    bool acquire(quint32 count) { return doAcquire(count, true); }
    // Takes count units at once, or none (one atomic semop). Never waits, so
    // not a cancellation point.
    bool tryAcquire(quint32 count) { return doAcquire(count, false); }
    bool release(quint32 count);
    // Removes the System V semaphore from the system.
    void remove();

    quint32 getMaxCount() const { return m_initialCount; }
    qint32 getCurrentCount();
    bool isOk() const { return m_isOk; }

    virtual QString errorString();
    void setErrorString(const QString& text)
    {
        std::lock_guard<std::mutex> lock(_errorLock);
        _lastError = text;
    }

    // The largest count one operation accepts (sem_op is a short).
    static const quint32 MAX_UNITS = 32767;

protected:
    void initialize(const char* name);
    bool doAcquire(quint32 count, bool block);

private:
    friend bool vAcquireOneWithin(VSemaphore* sem, int timeoutMs, bool* timedOut);
    bool acquireOneWithin(int timeoutMs, bool* timedOut);
    bool semOp(int delta, bool block);
    void setUpFailed(const char* what, const char* call, int err);
    // Rewrites the id file; makes it only when create is set.
    void writeIdFile(const QByteArray& keyPath, bool create);
    bool checkCount(quint32 count, const char* op);

    // Atomic: remove() may run while other threads acquire and release.
    std::atomic<int> m_semid;
    bool m_isOk;
    quint32 m_initialCount;
    QString _lastError;
    std::mutex _errorLock;
};

// A named counting semaphore.
// Thread-safe, like VSemaphoreImpl. acquire() is a cancellation point.
class VORN_EXPORT VSemaphore
{
public:
    // Only VException leaves it: "VSemaphore: invalid semaphore name %1"
    // unless the name is one or more of [0-9a-zA-Z_.-].
    VSemaphore(quint32 initialCount, const char* name);
    ~VSemaphore() { delete m_semImpl; }

    VSemaphore(const VSemaphore&) = delete;
    VSemaphore& operator=(const VSemaphore&) = delete;

    bool acquire(quint32 count) { return m_semImpl->acquire(count); }
    bool tryAcquire(quint32 count) { return m_semImpl->tryAcquire(count); }
    bool release(quint32 count) { return m_semImpl->release(count); }
    quint32 getMaxCount() { return m_semImpl->getMaxCount(); }
    qint32 getCurrentCount() { return m_semImpl->getCurrentCount(); }
    void remove() { m_semImpl->remove(); }
    bool isOk() const { return m_semImpl->isOk(); }

    // One error text per semaphore: the last one set, by a failing operation
    // or by setErrorString.
    QString errorString() { return m_semImpl->errorString(); }
    void setErrorString(const QString& text) { m_semImpl->setErrorString(text); }

    // Throws the invalid-name VException unless name is valid.
    static void checkName(const char* name, const char* className);

private:
    friend bool vAcquireOneWithin(VSemaphore* sem, int timeoutMs, bool* timedOut);
    VSemaphoreImpl* m_semImpl;
};

// A named semaphore with one unit: a lock between processes.
// Thread-safe, like VSemaphoreImpl; not recursive. acquire() is a
// cancellation point, like VSemaphoreImpl::acquire.
class VORN_EXPORT VOneLockSemaphore
{
public:
    // Only VException leaves it: the same name check as VSemaphore.
    explicit VOneLockSemaphore(const char* name)
        : m_semImpl((VSemaphore::checkName(name, "VOneLockSemaphore"), new VSemaphoreImpl(1, name)))
    {
    }
    ~VOneLockSemaphore() { delete m_semImpl; }

    VOneLockSemaphore(const VOneLockSemaphore&) = delete;
    VOneLockSemaphore& operator=(const VOneLockSemaphore&) = delete;

    bool acquire() { return m_semImpl->acquire(1); }
    bool release() { return m_semImpl->release(1); }
    quint32 getMaxCount() { return m_semImpl->getMaxCount(); }
    bool isOk() const { return m_semImpl->isOk(); }
    QString errorString() { return m_semImpl->errorString(); }

private:
    VSemaphoreImpl* m_semImpl;
};

#endif
