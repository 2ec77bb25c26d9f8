#include "VDB/vsafesqlquery.h"

#include <QMap>
#include <QThread>
#include <QVariant>
#include <QVector>

#include "VDB/vdbconnection_p.h"

namespace {
// The client's "server has gone away": the statement never reached the
// server, so running it again cannot run it twice.
bool neverReachedServer(const QSqlError& error)
{
    const QString code = error.nativeErrorCode();
    if (code == QLatin1String("2006"))
        return true;
    return vdbIsLostConnection(error) && code != QLatin1String("2013") &&
           code != QLatin1String("2055") && code != QLatin1String("1927");
}

const int RETRY_PAUSE_MS = 100;
}

VSafeSqlQuery::VSafeSqlQuery() : _generation(0), _stale(false) {}

VSafeSqlQuery::VSafeSqlQuery(QSqlDatabase db)
    : QSqlQuery(db), _database(db), _generation(0), _stale(false)
{
}

VSafeSqlQuery::VSafeSqlQuery(QSqlDatabase db, const std::shared_ptr<VDbConnectionState>& state)
    : QSqlQuery(db), _database(db), _state(state), _generation(state ? state->generation : 0), _stale(false)
{
}

VSafeSqlQuery::~VSafeSqlQuery() {}

bool VSafeSqlQuery::prepare(const QString& query)
{
    _sql = query;
    _stale = false;
    if (_state)
        _generation = _state->generation;
    return QSqlQuery::prepare(query);
}

bool VSafeSqlQuery::runPrepared()
{
    // A statement prepared before its connection was reopened is dead on the
    // server: prepare it again with the values bound so far.
    const bool reopened = _stale || (_state && _generation != _state->generation);
    if (reopened && !_sql.isEmpty()) {
        const int count = boundValues().size();
        QVector<QVariant> values(count);
        for (int i = 0; i < count; ++i)
            values[i] = boundValue(i);
        if (!prepare(_sql))
            return false;
        for (int i = 0; i < count; ++i)
            bindValue(i, values.at(i));
    }
    return QSqlQuery::exec();
}

void VSafeSqlQuery::noteFailure()
{
    if (_state && vdbIsLostConnection(lastError()))
        _state->markLostIfInTransaction(lastError().text());
}

bool VSafeSqlQuery::exec(const QString& query)
{
    if (QSqlQuery::exec(query))
        return true;
    noteFailure();
    return false;
}

bool VSafeSqlQuery::exec()
{
    if (runPrepared())
        return true;
    noteFailure();
    return false;
}

bool VSafeSqlQuery::retryable(int attempt, int attempts) const
{
    if (attempt >= attempts || !neverReachedServer(lastError()))
        return false;
    return !(_state && _state->inTransaction);
}

void VSafeSqlQuery::reopen(VDebug::StreamId stream, int attempt, int attempts)
{
    VWARNING(stream) << "Lost database connection, attempt" << attempt << "of" << attempts
                     << "failed:" << lastError().text() << "- reopening" << endl;
    QThread::msleep(RETRY_PAUSE_MS);
    _database.open();
    _stale = true;
    if (_state)
        ++_state->generation;
}

bool VSafeSqlQuery::execWithRetries(const QString& query, VDebug::StreamId stream, int attempts)
{
    for (int attempt = 1;; ++attempt) {
        if (QSqlQuery::exec(query))
            return true;
        if (!retryable(attempt, attempts)) {
            noteFailure();
            return false;
        }
        reopen(stream, attempt, attempts);
    }
}

bool VSafeSqlQuery::execWithRetries(VDebug::StreamId stream, int attempts)
{
    for (int attempt = 1;; ++attempt) {
        if (runPrepared())
            return true;
        if (!retryable(attempt, attempts)) {
            noteFailure();
            return false;
        }
        reopen(stream, attempt, attempts);
    }
}
