// State of one pooled connection, shared with every query made on it; the
// link from connections to their pool; helpers for reopening.
// Thread-safety: a state is used by one thread at a time, like its
// connection; the table of states and the pool link are locked.
#ifndef VORNLIB_VDB_VDBCONNECTION_P_H
#define VORNLIB_VDB_VDBCONNECTION_P_H

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <vector>

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QtGlobal>

class VDb;
class VSafeSqlQuery;

struct VDbConnectionState
{
    // Between a successful beginTransaction() and commit()/rollback().
    bool inTransaction = false;
    // The client library's record of the session can be read
    // (vdbServerStatusReadable): sessionWork follows the server.
    bool statusReadable = false;
    // The session holds work of its own: its last statement seen while it
    // was healthy left a transaction open or its autocommit setting other
    // than it opened with; where that cannot be read, it runs with
    // autocommit off (read when it opened).
    bool sessionWork = false;
    // The server's autocommit flag for the session when it opened.
    bool autocommitAtOpen = true;
    // The session was lost while holding work: that work is gone.
    bool transactionLost = false;
    QString lostText;
    // The caller has heard of that loss (commit() failed, or rollback()):
    // the session may be reopened.
    bool lossReported = false;
    // Counts reopens: statements prepared before one are prepared again.
    quint64 generation = 0;
    // The live VSafeSqlQuery objects made on this connection.
    std::vector<VSafeSqlQuery*> queries;

    // Whether losing the session now loses work of the caller's.
    bool holdsWork() const { return inTransaction || (sessionWork && !lossReported); }

    void markLostIfInTransaction(const QString& text)
    {
        if (holdsWork() && !transactionLost) {
            transactionLost = true;
            lostText = text;
        }
    }
    void endTransaction()
    {
        if (transactionLost)
            lossReported = true;
        inTransaction = false;
        transactionLost = false;
        lostText.clear();
    }
    // A new session: nothing of it is lost yet.
    void opened(bool holdsWorkAllAlong)
    {
        sessionWork = holdsWorkAllAlong;
        lossReported = false;
    }
};

// The state of the pooled connection registered under a Qt connection name,
// so a query made on that connection's QSqlDatabase by any constructor sees
// its transaction. For a connection not from a pool, one state its queries
// share while any lives (they reopen it alike). Null for an empty name.
std::shared_ptr<VDbConnectionState> vdbStateOf(const QSqlDatabase& db);

inline bool vdbIsUsable(const QSqlDatabase& db) { return db.isOpen() && !db.isOpenError(); }

// The library's own test for a lost session. Server errors repeat user data
// in their text, so an error that carries a native code is judged by it:
// 2006 (server gone away), 2013 and 2055 (lost during a query), 1927
// (connection killed). MySQL's 4031 (idle session closed) is not among
// them: on MariaDB it names a missing trigger. Only an error without a code
// is judged by its text (vdbIsLostConnection).
bool vdbSessionLost(const QSqlError& error);

// Lost before the server got the statement, so running it again cannot
// run it twice: 2006, or a lost session reported by Qt's MySQL driver at a
// step before it executes a prepared statement (its reset, binding
// values). Judged as vdbSessionLost otherwise.
bool vdbNeverReachedServer(const QSqlError& error);

// Whether the session of an open connection runs with autocommit off; true
// when that cannot be read, as work may then be pending. False for drivers
// other than MySQL's.
bool vdbAutocommitOff(QSqlDatabase& db);

// Whether db's driver is Qt's MySQL driver on MariaDB Connector/C 3.x
// (libmariadb.so.3, already loaded for its plugin), whose record of the
// server status flags after each statement can then be read.
bool vdbServerStatusReadable(const QSqlDatabase& db);
// The "in transaction" and "autocommit" flags of db's session after its
// last statement; false when they cannot be read, or when the client
// library has dropped the session (a failure cleared the flags). Only for
// a readable driver.
bool vdbServerStatus(const QSqlDatabase& db, bool* inTransaction, bool* autocommit);

// Whether the server reported a transaction open (one begun in SQL text,
// or any statement with autocommit off) after the session's last
// statement; false when that cannot be read.
bool vdbServerTransactionOpen(const VDbConnectionState& state, const QSqlDatabase& db);

// Notes whether the session holds work (a transaction, or an autocommit
// setting other than it opened with), whoever ran its last statement;
// nothing when that cannot be read.
void vdbNoteSession(VDbConnectionState* state, const QSqlDatabase& db);
// A new session on db: nothing of it is lost yet.
void vdbSessionOpened(VDbConnectionState& state, QSqlDatabase& db);

// The text of a failure: the driver's, else "connection is not open" for a
// closed connection, else a generic text. Never empty.
QString vdbFailureReason(const QSqlError& error, const QSqlDatabase& db);

// Opens db again; on failure returns false with the reason.
bool vdbReopen(QSqlDatabase& db, QString* reason);

// Between a pool and its connections. A release holds the lock shared for
// its whole run; the pool's destructor takes it alone to clear `pool`, so a
// release either ends before the pool goes or finds it gone.
struct VDbPoolLink
{
    explicit VDbPoolLink(VDb* p) : pool(p) {}
    std::shared_mutex lock;
    std::atomic<VDb*> pool;
};

#endif
