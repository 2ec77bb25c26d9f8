// VDbConnection: one open database connection of a pool, with transactions
// and named statements from the statements reader.
// Thread-safety: one thread at a time (Qt SQL connections are not shared).
//
// "Inside a transaction" means between a successful beginTransaction() and
// commit()/rollback(); a BEGIN sent as plain SQL is not tracked. A lost MySQL
// connection, or one that is not open (a reopen failed, or it was closed), is
// reopened once per call by beginTransaction() and createQuery(), but never
// inside a transaction: then the call fails and commit() fails too, as the
// transaction's work died with the session. Every VSafeSqlQuery made on
// getDatabase() knows that transaction, whatever constructor made it.
//
// Autocommit: the library leaves the server's setting alone. A session that
// runs with autocommit off (read when the connection opens or reopens)
// holds uncommitted work at any time, so it counts as inside a transaction
// all along: losing it is a failure (the call fails, and so does the next
// commit()), never a silent reopen. Once commit() or rollback() has
// reported that failure (releasing the connection to the pool rolls back
// too), the next call reopens.
#ifndef VORNLIB_VDB_VDBCONNECTION_H
#define VORNLIB_VDB_VDBCONNECTION_H

#include "VCore/vornlib_export.h"

#include <memory>

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

#include "VDB/vsafesqlquery.h"

class QTextStream;
class VDb;
class VDbConfigReader;
struct VDbConnectionState;
struct VDbPoolLink;

class VORN_EXPORT VDbConnection
{
public:
    VDbConnection(QSqlDatabase qdb, VDb* conn, VDbConfigReader* configReader, bool autoCommit);
    // When open: commit (autoCommit) or roll back a pending transaction,
    // then close.
    ~VDbConnection();

    void makeTemporary(bool b) { m_isTempConnection = b ? 1 : 0; }
    bool isTemporary() const { return m_isTempConnection != 0; }

    QSqlDatabase getDatabase() { return m_conn; }
    // The owning pool; null once it is destroyed.
    VDb* getVdb();

    // Only VException leaves beginTransaction() and commit().
    void beginTransaction();
    void commit();
    void rollback();

    QSqlError lastError() { return m_conn.lastError(); }

    void readDbConfig(QTextStream* xmlStream);

    // The named statement, prepared on this connection; only VException
    // leaves it.
    VSafeSqlQuery createQuery(const QString& queryName);

private:
    friend class VDb;
    friend struct VDbTestAccess;
    VDbConnection(const VDbConnection&) = delete;
    VDbConnection& operator=(const VDbConnection&) = delete;

    // Reopens for a call that failed on a lost or closed connection outside
    // a transaction; throws prefix + the reason when that fails. Inside a
    // transaction throws prefix + reason at once and marks the work lost.
    void reopenOutsideTransaction(const QString& prefix, const QString& reason);
    // Between a successful beginTransaction() and commit()/rollback().
    bool inTransaction() const;

    VDb* m_vdb;
    QSqlDatabase m_conn;
    bool m_autoCommit;
    VDbConfigReader* m_configReader;
    int m_isTempConnection;
    std::shared_ptr<VDbConnectionState> m_state;
    std::shared_ptr<VDbPoolLink> m_link;
};

#endif
