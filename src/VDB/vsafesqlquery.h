// VSafeSqlQuery: a QSqlQuery that knows its connection, prepares a statement
// again after that connection was reopened, and can retry a statement whose
// connection to a MySQL server was lost.
// Thread-safety: one thread at a time, like the connection it came from.
//
// Lifetime: a query must not outlive the VDbConnectionPtr it came from. Once
// the connection's Qt registration is removed, Qt 5 crashes when the query is
// used. Destroy queries first, then the handle.
//
// Reopening: after a reopen the statement the query was last prepared with
// (lastQuery(), however it was prepared) is prepared again and every value
// bound so far is bound again position by position, as Qt holds them
// whether they were bound by name or by position.
//
// A prepare through QSqlQuery (a QSqlQuery& to this query) is not seen by
// this class. When it fails on an open connection Qt keeps its text, and
// running the query fails. When it fails on a closed connection it leaves
// no trace: Qt keeps the older statement and no error. So once the
// connection was closed, a query prepared before is not prepared again
// after the reopen, unless it failed on the closed connection itself and
// nothing went through QSqlQuery since (that would clear the error it
// left). Either way it fails with "its prepare failed: prepare it again
// and bind its values" until it is prepared again through
// VSafeSqlQuery::prepare: a query whose last prepare failed never runs an
// older statement.
//
// A failed run always leaves its reason in lastError(): the driver's text,
// or "connection is not open".
//
// A plain QSqlQuery made on VDbConnection::getDatabase() is not
// seen by the library: do not keep one across a call that may reopen
// (beginTransaction, createQuery, execWithRetries); a statement it prepared
// before is dead afterwards, and Qt's MySQL driver may leave it pointing at
// freed memory when a reopen fails.
//
// exec(const QString&) runs caller-built SQL text: bind values to a prepared
// statement instead of pasting them into the text.
#ifndef VORNLIB_VDB_VSAFESQLQUERY_H
#define VORNLIB_VDB_VSAFESQLQUERY_H

#include "VCore/vornlib_export.h"

#include <memory>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include "VDebug/debug.h"

struct VDbConnectionState;

// True when the error says the connection to a MySQL server was lost: the
// client error codes 2006 (server gone away), 2013 and 2055 (lost during a
// query), the server's 1927 (connection killed), or the text "server has
// gone away" in any letter case, whatever the code. A server error may
// quote that text from user data: the library's own decisions judge an
// error that has a native code by the code alone.
inline bool vdbIsLostConnection(const QSqlError& error)
{
    const QString code = error.nativeErrorCode();
    if (code == QLatin1String("2006") || code == QLatin1String("2013") ||
        code == QLatin1String("2055") || code == QLatin1String("1927"))
        return true;
    // Also catches the older client text "MySQL server has gone away".
    return error.text().indexOf(QLatin1String("server has gone away"), 0, Qt::CaseInsensitive) >= 0;
}

class VORN_EXPORT VSafeSqlQuery : public QSqlQuery
{
public:
    VSafeSqlQuery();
    explicit VSafeSqlQuery(QSqlDatabase db);
    // Used by VDbConnection: the query shares the connection's state (open
    // transaction, reopen count).
    VSafeSqlQuery(QSqlDatabase db, const std::shared_ptr<VDbConnectionState>& state);
    ~VSafeSqlQuery();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Move-only on Qt 6, whose QSqlQuery copy is deprecated (or deleted);
    // on Qt 5 a query copies as a QSqlQuery does.
    VSafeSqlQuery(VSafeSqlQuery&&) = default;
    VSafeSqlQuery& operator=(VSafeSqlQuery&&) = default;
#endif

    // QSqlQuery::prepare, noting the connection's reopen count. When it
    // fails on a closed connection, exec() fails too ("statement not
    // prepared") instead of running the statement prepared before.
    bool prepare(const QString& query);

    // Run once; no retry. A lost connection inside an open transaction marks
    // the transaction lost, so the connection's commit() fails.
    bool exec(const QString& query);
    bool exec();

    // For idempotent statements only. At most `attempts` runs in total (at
    // least one); a further run happens only when the server never got the
    // statement (error 2006, "server has gone away" from a driver without
    // codes, the connection is not open, or Qt's MySQL driver lost the
    // session while resetting the statement or binding its values, before
    // running it) and the session holds no work (see vdbconnection.h): the
    // connection is reopened, the statement prepared and its values bound
    // again. Each retry logs a warning on `stream`. After 2013 ("lost
    // connection during query") at execution the outcome is unknown and
    // the failure is reported as it is.
    bool execWithRetries(const QString& query, VDebug::StreamId stream, int attempts);
    bool execWithRetries(VDebug::StreamId stream, int attempts);

private:
    bool runPrepared();
    // The last prepare() failed before Qt took its text.
    bool neverPrepared() const;
    // Whether a QSqlQuery::prepare may have gone past this class unseen.
    void checkClosures();
    bool retryable(int attempt, int attempts) const;
    void reopen(VDebug::StreamId stream, int attempt, int attempts);
    void noteFailure();
    void setError(const QString& text, const QString& driverText);

    QSqlDatabase _database;
    std::shared_ptr<VDbConnectionState> _state;
    quint64 _generation;
    // Reopened by this query's own retry, or its last prepare failed:
    // prepare again before running.
    bool _stale;
    QString _failedSql;
    QString _lastQueryAtFailure;
    // The connection's count of closures this query has accounted for.
    quint64 _closuresSeen;
    // The connection was closed since, and this query cannot tell whether
    // a QSqlQuery::prepare failed on it meanwhile: never prepared again.
    bool _untrusted;
    // The error this query left when it failed on a closed connection.
    QString _leftError;
};

#endif
