#include "VDB/vsafesqlquery.h"

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
} // namespace

VSafeSqlQuery::VSafeSqlQuery() : _generation(0), _stale(false), _closuresSeen(0), _untrusted(false) {}

VSafeSqlQuery::VSafeSqlQuery(QSqlDatabase db)
    : VSafeSqlQuery(db, vdbFindState(db.connectionName()))
{
}

VSafeSqlQuery::VSafeSqlQuery(QSqlDatabase db, const std::shared_ptr<VDbConnectionState>& state)
    : QSqlQuery(db), _database(db), _state(state), _generation(state ? state->generation : 0), _stale(false),
      _closuresSeen(state ? state->closures : 0), _untrusted(false)
{
}

VSafeSqlQuery::~VSafeSqlQuery() {}

bool VSafeSqlQuery::prepare(const QString& query)
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
    _leftError.clear();
    _stale = false;
    _untrusted = false;
    if (_state) {
        _generation = _state->generation;
        _closuresSeen = _state->closures;
    }
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

void VSafeSqlQuery::checkClosures()
{
    if (!_state)
        return;
    // A QSqlQuery::prepare on a closed connection fails leaving the older
    // statement and no error. The error this query left when it failed on
    // the closed connection is cleared by any such call: while it is still
    // there, no prepare went past this class.
    const bool untouched = !_leftError.isEmpty() && lastError().text() == _leftError;
    _untrusted = !untouched && (!vdbIsUsable(_database) || _state->closures != _closuresSeen);
    if (!_untrusted)
        _closuresSeen = _state->closures;
}

bool VSafeSqlQuery::runPrepared()
{
    // A statement prepared before its connection was reopened is dead on the
    // server: prepare the last prepared text again with the values bound so
    // far (Qt forgets them on prepare), position by position, as Qt holds
    // them whether they were bound by name or by position.
    const bool reopened = _stale || (_state && _generation != _state->generation);
    if (reopened && (neverPrepared() || _untrusted)) {
        // Qt may still hold an older statement, and the values bound since
        // went to its placeholders: run neither.
        setError(NOT_PREPARED, NOT_PREPARED_DRIVER);
        return false;
    }
    const QString sql = reopened ? lastQuery() : QString();
    if (!sql.isEmpty()) {
        const QSqlResult* result = QSqlQuery::result();
        const int count = (result->*(&ResultAccess::boundValueCount))();
        QVector<QVariant> values;
        for (int i = 0; i < count; ++i)
            values << boundValue(i);
        // Bound again even when the prepare fails: Qt dropped them all the
        // same, and the next attempt must not run with nulls.
        const bool prepared = prepare(sql);
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
    _leftError = vdbIsUsable(_database) ? QString() : lastError().text();
    if (_state && (vdbSessionLost(lastError()) || !vdbIsUsable(_database)))
        _state->markLostIfInTransaction(reason);
}

bool VSafeSqlQuery::exec(const QString& query)
{
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
    checkClosures();
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
    if (_state) {
        ++_state->generation;
        if (!vdbIsUsable(_database))
            ++_state->closures;
        if (!_untrusted)
            _closuresSeen = _state->closures;
    }
    QString reason;
    if (!vdbReopen(_database, &reason))
        VWARNING(stream) << "Reopening the database connection failed:" << reason << endl;
    else if (_state)
        vdbSessionOpened(*_state, _database);
}

bool VSafeSqlQuery::execWithRetries(const QString& query, VDebug::StreamId stream, int attempts)
{
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
    checkClosures();
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
