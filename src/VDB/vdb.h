// VDb: a pool of SQL connections to one database over Qt SQL, described by
// the application's VDbInitData. Pooled connections are handed out as
// VDbConnectionPtr handles and come back to the free list (last released,
// first reused) when the last handle goes; temporary connections are closed
// when their last handle goes. The pool has no size limit.
// Thread-safe: any thread may take and give back connections; each connection is used by one thread at a time.
// Construction and destruction happen in one thread.
//
// Handles may outlive the pool: a connection still held when the pool is
// destroyed is logged and left to its last handle, which rolls it back,
// closes and deletes it in the thread that holds it. Queries must not
// outlive their handle (see VSafeSqlQuery).
#ifndef VORNLIB_VDB_VDB_H
#define VORNLIB_VDB_VDB_H

#include "VCore/vornlib_export.h"

#include <memory>
#include <mutex>

#include <QList>
#include <QString>

#include "VDB/vdbconnection.h"
#include "VDB/vdbconnectionptr.h"
#include "VDB/vdbinitdata.h"
#include "VDebug/debug.h"

class QTextStream;
class QThread;
struct VDbPoolLink;

class VORN_EXPORT VDb
{
public:
    typedef QList<VDbConnection*> ConnectionList;

    // The stream on which the whole database layer logs.
    static VDebug::StreamId VDbLog;

    explicit VDb(VDbInitData* config);
    ~VDb();

    // Only VException leaves these two.
    VDbConnectionPtr getConnection();
    VDbConnectionPtr getTemporaryConnection();

    // Called by the last handle of a connection. A pooled connection with a
    // transaction still open (also one begun in SQL text, where the server's
    // flags can be read: see VDbConnection) is rolled back before it goes
    // to the free list.
    void releaseConnection(VDbConnection* conn);

    // Whether a new connection can be opened now.
    bool testConnection();

    const QString& getBaseConnName() const { return m_baseConnName; }
    const QString& getConnectOpts() const { return m_connectOpts; }
    const QString& getDbName() const { return m_dbName; }
    const QString& getDbType() const { return m_dbType; }
    const QString& getHostName() const { return m_hostName; }
    const QString& getPassword() const { return m_password; }
    const QString& getUserName() const { return m_userName; }
    uint getPort() const { return m_port; }

private:
    friend class VDbConnection;
    friend class VDbConnectionPtr::SmartPtrRef;
    friend struct VDbTestAccess;

    VDb(const VDb&) = delete;
    VDb& operator=(const VDb&) = delete;

    static QString nextName();
    bool init(VDbInitData* config);
    VDbConnection* newConnection();
    // Deletes a connection and removes its Qt registration.
    static void destroyConnection(VDbConnection* conn);
    // The last handle of conn went: back to its pool, or, when the pool is
    // gone, deleted here.
    static void releaseFromHandle(VDbConnection* conn);

    ConnectionList m_freeConnections;
    ConnectionList m_usedConnections;
    QString m_userName;
    QString m_password;
    QTextStream* m_dbConfigXml;
    QString m_baseConnName;
    QString m_dbName;
    QString m_dbType;
    uint m_port;
    QString m_connectOpts;
    QString m_hostName;

    std::mutex m_mutex;
    std::shared_ptr<VDbPoolLink> m_link;
    // Qt hands out a registered connection only to the thread that made it.
    QThread* m_ownerThread;
};

#endif
