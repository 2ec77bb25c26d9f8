// VDbConnection: one open database connection of a pool, with transactions
// and named statements from the statements reader.
// Thread-safety: one thread at a time (Qt SQL connections are not shared).
//
// A lost MySQL connection, or one that is not open (a reopen failed, or it
// was closed), is reopened once per call by beginTransaction() and
// createQuery(), but never while the session holds work: then the call
// fails and commit() fails too, as that work died with the session. Every
// VSafeSqlQuery made on getDatabase() knows that state, whatever
// constructor made it. Once commit() or rollback() has reported the
// failure (releasing the connection to the pool rolls back too), the next
// call reopens.
//
// Holding work: between a successful beginTransaction() and
// commit()/rollback(). With Qt's MySQL driver on MariaDB Connector/C 3.x
// (libmariadb.so.3, which Debian's Qt 5 and Qt 6 plugins use) also
// whenever the server reported a transaction open after the session's last
// statement: START TRANSACTION or BEGIN sent as SQL text, or any statement
// with autocommit off, a SELECT of a table too (the server does not say
// whether only reads are pending). Also when the session's autocommit
// flag differs from the one it opened with (SET autocommit changed it): a
// new session would start with the server's default, and the caller's
// later statements would commit at once, or wait for a commit. The
// library reads these flags from the client library at the start of each
// of its calls and after each statement it runs: about 0.05 us per read,
// no round trip; a connection opened costs about 1 us to check the client
// library, in place of an @@autocommit query (about 80 us). A statement
// run through a plain QSqlQuery on getDatabase() is seen at the next call
// of the library, if the session is still connected then: the client
// library clears the flags once it has lost the session. A session whose
// last statement left no transaction open and whose autocommit setting is
// the one it opened with (the server's default, on or off) is reopened
// silently.
//
// Where the client library cannot be confirmed as that one (another
// driver's handle, another client library), the library does not read
// it: a MySQL session then counts as holding work all along when it runs
// with autocommit off (@@autocommit, read in one round trip when the
// connection opens or reopens), and a transaction opened in SQL text is
// not seen. The library leaves the server's autocommit setting alone.
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
