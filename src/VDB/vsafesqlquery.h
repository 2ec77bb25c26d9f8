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
// whether they were bound by name or by position. Rows a query has not
// read when the library reopens or closes its connection are dropped, as
// by finish(): next() returns false, and lastError() says "the connection
// was reopened or closed before all rows were read".
//
// Calls through QSqlQuery (a QSqlQuery& to this query) are not seen by this
// class. bindValue, exec() and finish() that way change no statement. A
// QSqlQuery::prepare that fails on an open connection keeps its text, and
// running the query fails. One that fails on a closed connection leaves no
// trace in the query: Qt keeps the older statement and no error. So when a
// reopen by the library fails and leaves the connection closed, the library
// holds a second handle on the statement of each live query of that
// connection until the reopen. A QSqlQuery::prepare, exec with a text,
// clear() or assignment meanwhile gives the query a new result, which its
// next call sees: such a query fails with "its prepare failed: prepare it
// again and bind its values" from then on, whatever runs in between, until
// VSafeSqlQuery::prepare succeeds. The other queries run their statements
// again after the reopen. A close the library does not make
// (QSqlDatabase::close() on getDatabase()) leaves no handle: every query
// that then finds its connection closed, or whose connection the library
// then reopens, is refused the same way until prepared again. The handles
// cost no server round trip; each call checks a pointer and whether the
// connection is open. A query whose last VSafeSqlQuery::prepare failed never
// runs an older statement either.
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
    // transaction, reopen count, live queries). The constructor above finds
    // it by the connection's name; queries of a connection not from a pool
    // share one too, which takes the session's autocommit setting when the
    // first of them is made as the one it opened with (see VDbConnection
    // for what a session lost then holds).
    VSafeSqlQuery(QSqlDatabase db, const std::shared_ptr<VDbConnectionState>& state);
    ~VSafeSqlQuery();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Move-only on Qt 6, whose QSqlQuery copy is deprecated (or deleted);
    // on Qt 5 a query copies as a QSqlQuery does.
    VSafeSqlQuery(VSafeSqlQuery&& other);
    VSafeSqlQuery& operator=(VSafeSqlQuery&& other);
#else
    VSafeSqlQuery(const VSafeSqlQuery& other);
    VSafeSqlQuery& operator=(const VSafeSqlQuery& other);
#endif

    // QSqlQuery::prepare, noting the connection's reopen count. When it
    // fails on a closed connection, exec() fails too ("statement not
    // prepared") instead of running the statement prepared before. When it
    // succeeds, the query runs again however it was refused before.
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
    friend class VDbConnection;
    // vdbReopen of a connection whose live queries share `state`: all but
    // the caller learn whether their statement may have been replaced
    // while it was closed.
    static bool reopenWatched(QSqlDatabase& db, VDbConnectionState* state, const VSafeSqlQuery* caller,
                              QString* reason);
    // Before the library closes the connection that `state` belongs to:
    // the rows its live queries have not read yet are dropped.
    static void endRows(const VDbConnectionState& state);
    bool runPrepared();
    bool prepareStatement(const QString& query);
    // The last prepare() failed before Qt took its text.
    bool neverPrepared() const;
    // Start and end of each call: whether a QSqlQuery call replaced the
    // statement while the connection was closed.
    struct Call;
    void beginCall();
    void endCall();
    // Its connection is known and not usable.
    bool closed() const;
    // Copies the library's fields of another query; in the connection's
    // list of live queries.
    void take(const VSafeSqlQuery& other);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Of a moved-from query: out of the list, no handle.
    void leave();
#endif
    void track();
    void untrack();
    bool retryable(int attempt, int attempts) const;
    void reopen(VDebug::StreamId stream, int attempt, int attempts);
    void noteFailure();
    void setError(const QString& text, const QString& driverText);

    QSqlDatabase _database;
    std::shared_ptr<VDbConnectionState> _state;
    quint64 _generation = 0;
    // Reopened by this query's own retry, or its last prepare failed:
    // prepare again before running.
    bool _stale = false;
    QString _failedSql;
    QString _lastQueryAtFailure;
    // Its statement may have been replaced through QSqlQuery on a closed
    // connection: never run until prepared again through this class.
    bool _replaced = false;
    // Between calls, while the connection is closed: a second handle on
    // the query's result.
    std::unique_ptr<QSqlQuery> _watch;
};

#endif
