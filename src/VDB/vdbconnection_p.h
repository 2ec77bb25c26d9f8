// State of one pooled connection, shared with every query made on it; the
// link from connections to their pool; helpers for reopening.
// Thread-safety: a state is used by one thread at a time, like its
// connection; the table of states and the pool link are locked.
#ifndef VORNLIB_VDB_VDBCONNECTION_P_H
#define VORNLIB_VDB_VDBCONNECTION_P_H

#include <atomic>
#include <memory>
#include <shared_mutex>

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QtGlobal>

class VDb;

struct VDbConnectionState
{
    // Between a successful beginTransaction() and commit()/rollback().
    bool inTransaction = false;
    // The connection was lost inside that transaction: its work is gone.
    bool transactionLost = false;
    QString lostText;
    // Counts reopens: statements prepared before one are prepared again.
    quint64 generation = 0;

    void markLostIfInTransaction(const QString& text)
    {
        if (inTransaction && !transactionLost) {
            transactionLost = true;
            lostText = text;
        }
    }
    void endTransaction()
    {
        inTransaction = false;
        transactionLost = false;
        lostText.clear();
    }
};

// The state of the pooled connection registered under a Qt connection name,
// or null: so a query made on that connection's QSqlDatabase by any
// constructor sees its transaction.
std::shared_ptr<VDbConnectionState> vdbFindState(const QString& connectionName);

inline bool vdbIsUsable(const QSqlDatabase& db) { return db.isOpen() && !db.isOpenError(); }

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
