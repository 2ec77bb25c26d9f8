// VDbConnectionPtr: a counted handle on a pool's connection; the connection
// goes back to its pool when the last handle on it goes.
// Thread-safety: handles sharing one connection may be copied and dropped in any thread (atomic count).
// The connection itself is used by one thread at a time. Reset() with a
// connection that another handle holds makes a second count for it: the pool
// would then hand it out twice.
#ifndef VORNLIB_VDB_VDBCONNECTIONPTR_H
#define VORNLIB_VDB_VDBCONNECTIONPTR_H

#include "VCore/vornlib_export.h"

#include <atomic>

class VDbConnection;

class VORN_EXPORT VDbConnectionPtr
{
public:
    class SmartPtrRef
    {
    public:
        explicit SmartPtrRef(VDbConnection* data) : m_data(data), m_refCount(1) {}
        // Gives the connection back to its pool (or deletes it when the pool
        // is gone).
        virtual ~SmartPtrRef();

        VDbConnection* GetData() { return m_data; }
        void IncRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
        // The count after the decrement.
        int DecRef() { return m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }
        int GetRefCount() { return m_refCount.load(std::memory_order_acquire); }

    private:
        SmartPtrRef(const SmartPtrRef&) = delete;
        SmartPtrRef& operator=(const SmartPtrRef&) = delete;

        VDbConnection* m_data;
        std::atomic<int> m_refCount;
    };

    VDbConnectionPtr() : m_ref(nullptr) {}
    explicit VDbConnectionPtr(VDbConnection* ptr) : m_ref(nullptr) { CreateFresh(ptr); }
    VDbConnectionPtr(const VDbConnectionPtr& other);
    virtual ~VDbConnectionPtr();

    VDbConnectionPtr& operator=(const VDbConnectionPtr& rhs);
    void Reset(VDbConnection* ptr);

    // Null for an empty handle.
    VDbConnection* Get() const { return m_ref ? m_ref->GetData() : nullptr; }
    VDbConnection* operator->() const { return Get(); }
    // Empty: no record, or a record without a connection (Reset(0)).
    bool operator!() const { return Get() == nullptr; }
    operator bool() const { return Get() != nullptr; }

private:
    friend struct VDbConnectionPtrTestAccess;

    void DeleteRefCount();
    void CreateFresh(VDbConnection* ptr);

    SmartPtrRef* m_ref;
};

#endif
