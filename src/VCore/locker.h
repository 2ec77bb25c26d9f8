// VLocker: holds a lock for a scope.
// Not thread-safe: a locker belongs to one thread and one scope.
#ifndef VORNLIB_VCORE_LOCKER_H
#define VORNLIB_VCORE_LOCKER_H

template <class T>
class VLocker
{
public:
    // Locks; only VException leaves it (and then nothing is held).
    explicit VLocker(T* lock) : _lock(lock), _lockSucceeded(false) { relock(); }
    ~VLocker() { unlock(); }

    VLocker(const VLocker&) = delete;
    VLocker& operator=(const VLocker&) = delete;

    void unlock()
    {
        if (_lockSucceeded) {
            _lockSucceeded = false;
            _lock->unlock();
        }
    }

    // Takes the lock again after an early unlock(); does nothing while held,
    // so the destructor's single unlock always balances.
    void relock()
    {
        if (_lockSucceeded)
            return;
        _lock->lock();
        _lockSucceeded = true;
    }

    T* lock() const { return _lock; }

private:
    T* const _lock;
    bool _lockSucceeded;
};

#endif
