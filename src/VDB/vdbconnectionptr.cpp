#include "VDB/vdbconnectionptr.h"

#include "VDB/vdb.h"
#include "VDB/vdbconnection.h"

VDbConnectionPtr::SmartPtrRef::~SmartPtrRef()
{
    if (m_data) {
        VDb::releaseFromHandle(m_data);
        m_data = nullptr;
    }
}

VDbConnectionPtr::VDbConnectionPtr(const VDbConnectionPtr& other) : m_ref(other.m_ref)
{
    if (m_ref)
        m_ref->IncRef();
}

VDbConnectionPtr::~VDbConnectionPtr()
{
    DeleteRefCount();
}

VDbConnectionPtr& VDbConnectionPtr::operator=(const VDbConnectionPtr& rhs)
{
    if (m_ref == rhs.m_ref)
        return *this;
    DeleteRefCount();
    if (rhs.m_ref) {
        rhs.m_ref->IncRef();
        m_ref = rhs.m_ref;
    }
    return *this;
}

void VDbConnectionPtr::Reset(VDbConnection* ptr)
{
    DeleteRefCount();
    CreateFresh(ptr);
}

void VDbConnectionPtr::DeleteRefCount()
{
    if (!m_ref)
        return;
    if (m_ref->DecRef() == 0)
        delete m_ref;
    m_ref = nullptr;
}

void VDbConnectionPtr::CreateFresh(VDbConnection* ptr)
{
    m_ref = new SmartPtrRef(ptr);
}
