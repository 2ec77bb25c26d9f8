#include "VDB/vsafesqlquery.h"

#include <algorithm>

#include <QSqlResult>
#include <QThread>
#include <QVariant>
#include <QVector>

#include "VDB/vdbconnection_p.h"

namespace {
const int RETRY_PAUSE_MS = 100;

// Reaches protected members of QSqlResult (QSqlQuery has no setter, nor a
// count of the values bound).
struct ResultAccess : QSqlResult
{
    using QSqlResult::boundValueCount;
    using QSqlResult::setLastError;
};

const QLatin1String NOT_PREPARED_DRIVER("statement not prepared");
const QLatin1String NOT_PREPARED("its prepare failed: prepare it again and bind its values");
const QLatin1String ROWS_DROPPED("the connection was reopened or closed before all rows were read");

// A second handle on the query's result: while it lives, QSqlQuery::prepare
// and exec with a text give the query a new result instead of changing it.
// That sharing is why Qt 6 deprecates copying a QSqlQuery.
QSqlQuery* share(const QSqlQuery& q)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return new QSqlQuery(q);
    QT_WARNING_POP
}
} // namespace

VSafeSqlQuery::VSafeSqlQuery() {}

VSafeSqlQuery::VSafeSqlQuery(QSqlDatabase db)
    : VSafeSqlQuery(db, vdbStateOf(db))
{
}

VSafeSqlQuery::VSafeSqlQuery(QSqlDatabase db, const std::shared_ptr<VDbConnectionState>& state)
    : QSqlQuery(db), _database(db), _state(state), _generation(state ? state->generation : 0)
{
    track();
}

VSafeSqlQuery::~VSafeSqlQuery() { untrack(); }

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
VSafeSqlQuery::VSafeSqlQuery(VSafeSqlQuery&& other) : QSqlQuery(std::move(other))
{
    take(other);
    other.leave();
}

VSafeSqlQuery& VSafeSqlQuery::operator=(VSafeSqlQuery&& other)
{
    if (this != &other) {
        QSqlQuery::operator=(std::move(other));
        take(other);
        other.leave();
    }
    return *this;
}

void VSafeSqlQuery::leave()
{
    untrack();
    _state.reset();
    _watch.reset();
}
#else
VSafeSqlQuery::VSafeSqlQuery(const VSafeSqlQuery& other) : QSqlQuery(other) { take(other); }

VSafeSqlQuery& VSafeSqlQuery::operator=(const VSafeSqlQuery& other)
{
    if (this != &other) {
        QSqlQuery::operator=(other);
        take(other);
    }
    return *this;
}
#endif

void VSafeSqlQuery::take(const VSafeSqlQuery& other)
{
    untrack();
    _database = other._database;
    _state = other._state;
    _generation = other._generation;
    _stale = other._stale;
    _failedSql = other._failedSql;
    _lastQueryAtFailure = other._lastQueryAtFailure;
    _replaced = other._replaced;
    _watch.reset(other._watch ? share(*other._watch) : nullptr);
    track();
}

void VSafeSqlQuery::track()
{
    if (_state)
        _state->queries.push_back(this);
}

void VSafeSqlQuery::untrack()
{
    if (!_state)
        return;
    std::vector<VSafeSqlQuery*>& live = _state->queries;
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
}

bool VSafeSqlQuery::closed() const { return _database.isValid() && !vdbIsUsable(_database); }

// One call of the library on the query, from start to end.
struct VSafeSqlQuery::Call
{
    explicit Call(VSafeSqlQuery* query) : q(query) { q->beginCall(); }
    ~Call() { q->endCall(); }
    VSafeSqlQuery* q;
};

void VSafeSqlQuery::beginCall()
{
    // A new result: replaced through QSqlQuery while closed. Closed without
    // the library's handle: closed behind its back, and a QSqlQuery::prepare
    // may have failed since, leaving the older statement.
    if (_watch ? _watch->result() != QSqlQuery::result() : closed())
        _replaced = true;
    // The library's own prepare must not be taken for a replacement.
    _watch.reset();
}

void VSafeSqlQuery::endCall()
{
    // Left closed: from now on a QSqlQuery::prepare gives the query a new
    // result instead of keeping the older statement.
    if (closed())
        _watch.reset(share(*this));
}

bool VSafeSqlQuery::reopenWatched(QSqlDatabase& db, VDbConnectionState* state, const VSafeSqlQuery* caller,
                                  QString* reason)
{
    if (!state)
        return vdbReopen(db, reason);
    // Statements prepared before are dead, whether or not this succeeds.
    ++state->generation;
    endRows(*state);
    // A call of the library on every other live query of the connection
    // too: the caller's own call does that for itself.
    for (VSafeSqlQuery* q : state->queries)
        if (q != caller)
            q->beginCall();
    const bool opened = vdbReopen(db, reason);
    for (VSafeSqlQuery* q : state->queries)
        if (q != caller)
            q->endCall();
    return opened;
}

void VSafeSqlQuery::endRows(const VDbConnectionState& state)
{
    // The client library frees what a prepared statement's rows point to
    // when its connection closes: fetching one later crashes. finish()
    // keeps the text and the bound values.
    for (VSafeSqlQuery* q : state.queries) {
        // Read to its last row (or none came) is no loss, though next() was
        // not called past it.
        const bool allRead = q->at() == QSql::AfterLastRow || (q->size() >= 0 && q->at() + 1 >= q->size());
        const bool unread = q->isActive() && q->isSelect() && !allRead;
        q->finish();
        // So that a loop over next() can tell the end from a loss.
        if (unread)
            q->setError(ROWS_DROPPED, QString());
    }
}

bool VSafeSqlQuery::prepare(const QString& query)
{
    const Call call(this);
    return prepareStatement(query);
}

bool VSafeSqlQuery::prepareStatement(const QString& query)
{
    if (!QSqlQuery::prepare(query)) {
        // Nothing new is prepared; on a closed connection Qt even keeps the
        // older statement and its placeholders.
        _failedSql = query;
        _lastQueryAtFailure = lastQuery();
        _stale = true;
        return false;
    }
    _failedSql.clear();
    _lastQueryAtFailure.clear();
    _stale = false;
    _replaced = false;
    if (_state)
        _generation = _state->generation;
    return true;
}

bool VSafeSqlQuery::neverPrepared() const
{
    return !_failedSql.isEmpty() && _failedSql != _lastQueryAtFailure && lastQuery() == _lastQueryAtFailure;
}

void VSafeSqlQuery::setError(const QString& text, const QString& driverText)
{
    QSqlResult* result = const_cast<QSqlResult*>(QSqlQuery::result());
    (result->*(&ResultAccess::setLastError))(QSqlError(driverText, text, QSqlError::StatementError));
}

bool VSafeSqlQuery::runPrepared()
{
    // A statement prepared before its connection was reopened is dead on the
    // server: prepare the last prepared text again with the values bound so
    // far (Qt forgets them on prepare), position by position, as Qt holds
    // them whether they were bound by name or by position.
    const bool reopened = _stale || (_state && _generation != _state->generation);
    if (_replaced || (reopened && neverPrepared())) {
        // Qt may still hold an older statement, and the values bound since
        // went to its placeholders: run neither.
        setError(NOT_PREPARED, NOT_PREPARED_DRIVER);
        return false;
    }
    const QString sql = reopened ? lastQuery() : QString();
    if (!sql.isEmpty()) {
        if (!vdbIsUsable(_database)) {
            // QSqlQuery::prepare would fail, and on a result shared with a
            // copy it first gives this query an empty one: the text is lost.
            setError(vdbFailureReason(QSqlError(), _database), QString());
            return false;
        }
        const QSqlResult* result = QSqlQuery::result();
        const int count = (result->*(&ResultAccess::boundValueCount))();
        QVector<QVariant> values;
        for (int i = 0; i < count; ++i)
            values << boundValue(i);
        // Bound again even when the prepare fails: Qt dropped them all the
        // same, and the next attempt must not run with nulls.
        const bool prepared = prepareStatement(sql);
        for (int i = 0; i < values.size(); ++i)
            bindValue(i, values.at(i));
        if (!prepared)
            return false;
    }
    if (QSqlQuery::exec())
        return true;
    // Qt fails without an error when no statement is prepared: the last
    // prepare, through this class or QSqlQuery, failed.
    if (lastError().text().trimmed().isEmpty() && vdbIsUsable(_database))
        setError(NOT_PREPARED, NOT_PREPARED_DRIVER);
    return false;
}

void VSafeSqlQuery::noteFailure()
{
    // The reason goes into the query's error, which Qt leaves empty on a
    // closed connection.
    const QString reason = vdbFailureReason(lastError(), _database);
    if (lastError().text().trimmed().isEmpty())
        setError(reason, QString());
    if (_state && (vdbSessionLost(lastError()) || !vdbIsUsable(_database)))
        _state->markLostIfInTransaction(reason);
}

bool VSafeSqlQuery::exec(const QString& query)
{
    const Call call(this);
    vdbNoteSession(_state.get(), _database);
    if (QSqlQuery::exec(query)) {
        vdbNoteSession(_state.get(), _database);
        return true;
    }
    noteFailure();
    return false;
}

bool VSafeSqlQuery::exec()
{
    const Call call(this);
    vdbNoteSession(_state.get(), _database);
    if (runPrepared()) {
        vdbNoteSession(_state.get(), _database);
        return true;
    }
    noteFailure();
    return false;
}

bool VSafeSqlQuery::retryable(int attempt, int attempts) const
{
    if (attempt >= attempts)
        return false;
    if (!vdbNeverReachedServer(lastError()) && vdbIsUsable(_database))
        return false;
    return !(_state && _state->holdsWork());
}

void VSafeSqlQuery::reopen(VDebug::StreamId stream, int attempt, int attempts)
{
    VWARNING(stream) << "Lost database connection, attempt" << attempt << "of" << attempts
                     << "failed:" << vdbFailureReason(lastError(), _database) << "- reopening" << endl;
    QThread::msleep(RETRY_PAUSE_MS);
    _stale = true;
    QString reason;
    if (!reopenWatched(_database, _state.get(), this, &reason))
        VWARNING(stream) << "Reopening the database connection failed:" << reason << endl;
    else if (_state)
        vdbSessionOpened(*_state, _database);
}

bool VSafeSqlQuery::execWithRetries(const QString& query, VDebug::StreamId stream, int attempts)
{
    const Call call(this);
    vdbNoteSession(_state.get(), _database);
    for (int attempt = 1;; ++attempt) {
        if (QSqlQuery::exec(query)) {
            vdbNoteSession(_state.get(), _database);
            return true;
        }
        if (!retryable(attempt, attempts)) {
            noteFailure();
            return false;
        }
        reopen(stream, attempt, attempts);
    }
}

bool VSafeSqlQuery::execWithRetries(VDebug::StreamId stream, int attempts)
{
    const Call call(this);
    vdbNoteSession(_state.get(), _database);
    for (int attempt = 1;; ++attempt) {
        if (runPrepared()) {
            vdbNoteSession(_state.get(), _database);
            return true;
        }
        if (!retryable(attempt, attempts)) {
            noteFailure();
            return false;
        }
        reopen(stream, attempt, attempts);
    }
}
