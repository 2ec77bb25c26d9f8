#include "VDB/vsafesqlquery.h"

#include <QSqlResult>
#include <QStringList>
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

// Reaches the protected QSqlResult::setLastError (QSqlQuery has no setter).
struct ResultAccess : QSqlResult
{
    using QSqlResult::setLastError;
};

bool isNameChar(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_';
}

// The placeholders of a statement as Qt's SQL layer reads them: a name is
// ':' (not after another ':') followed by letters, digits or '_'; quoted
// text ('', "", ``, []) holds none. Each name once, in order of first use.
struct Placeholders
{
    QStringList names;
    int positional = 0;
};

Placeholders placeholdersOf(const QString& sql)
{
    Placeholders p;
    QChar closing;
    const int n = sql.size();
    for (int i = 0; i < n; ++i) {
        const QChar ch = sql.at(i);
        if (!closing.isNull()) {
            if (ch == closing) {
                if (closing == QLatin1Char(']') && i + 1 < n && sql.at(i + 1) == closing)
                    ++i;
                else
                    closing = QChar();
            }
        } else if (ch == QLatin1Char(':') && (i == 0 || sql.at(i - 1) != QLatin1Char(':')) && i + 1 < n &&
                   isNameChar(sql.at(i + 1))) {
            int end = i + 1;
            while (end < n && isNameChar(sql.at(end)))
                ++end;
            const QString name = sql.mid(i, end - i);
            if (!p.names.contains(name))
                p.names << name;
            i = end - 1;
        } else if (ch == QLatin1Char('?')) {
            ++p.positional;
        } else if (ch == QLatin1Char('\'') || ch == QLatin1Char('"') || ch == QLatin1Char('`')) {
            closing = ch;
        } else if (ch == QLatin1Char('[')) {
            closing = QLatin1Char(']');
        }
    }
    return p;
}
} // namespace

VSafeSqlQuery::VSafeSqlQuery() : _generation(0), _stale(false) {}

VSafeSqlQuery::VSafeSqlQuery(QSqlDatabase db)
    : VSafeSqlQuery(db, vdbFindState(db.connectionName()))
{
}

VSafeSqlQuery::VSafeSqlQuery(QSqlDatabase db, const std::shared_ptr<VDbConnectionState>& state)
    : QSqlQuery(db), _database(db), _state(state), _generation(state ? state->generation : 0), _stale(false)
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
    _stale = false;
    if (_state)
        _generation = _state->generation;
    return true;
}

bool VSafeSqlQuery::neverPrepared() const
{
    return !_failedSql.isEmpty() && _failedSql != _lastQueryAtFailure && lastQuery() == _lastQueryAtFailure;
}

bool VSafeSqlQuery::runPrepared()
{
    // A statement prepared before its connection was reopened is dead on the
    // server: prepare the last prepared text again with the values bound so
    // far (Qt forgets them on prepare). Names are bound by name, so a name
    // used twice gets its value in both places.
    const bool reopened = _stale || (_state && _generation != _state->generation);
    if (reopened && neverPrepared()) {
        // Qt still holds the older statement, and the values bound since
        // went to its placeholders: run neither.
        QSqlResult* result = const_cast<QSqlResult*>(QSqlQuery::result());
        (result->*(&ResultAccess::setLastError))(QSqlError(
            QStringLiteral("statement not prepared"),
            QStringLiteral("its prepare failed: prepare it again and bind its values"), QSqlError::StatementError));
        return false;
    }
    const QString sql = reopened ? lastQuery() : QString();
    if (!sql.isEmpty()) {
        const Placeholders holders = placeholdersOf(sql);
        QVector<QVariant> values;
        if (!holders.names.isEmpty()) {
            for (const QString& name : holders.names)
                values << boundValue(name);
        } else {
            for (int i = 0; i < holders.positional; ++i)
                values << boundValue(i);
        }
        // Bound again even when the prepare fails: Qt dropped them all the
        // same, and the next attempt must not run with nulls.
        const bool prepared = prepare(sql);
        for (int i = 0; i < values.size(); ++i) {
            if (!holders.names.isEmpty())
                bindValue(holders.names.at(i), values.at(i));
            else
                bindValue(i, values.at(i));
        }
        if (!prepared)
            return false;
    }
    return QSqlQuery::exec();
}

void VSafeSqlQuery::noteFailure()
{
    if (_state && (vdbIsLostConnection(lastError()) || !vdbIsUsable(_database)))
        _state->markLostIfInTransaction(vdbFailureReason(lastError(), _database));
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
    if (attempt >= attempts)
        return false;
    if (!neverReachedServer(lastError()) && vdbIsUsable(_database))
        return false;
    return !(_state && _state->inTransaction);
}

void VSafeSqlQuery::reopen(VDebug::StreamId stream, int attempt, int attempts)
{
    VWARNING(stream) << "Lost database connection, attempt" << attempt << "of" << attempts
                     << "failed:" << vdbFailureReason(lastError(), _database) << "- reopening" << endl;
    QThread::msleep(RETRY_PAUSE_MS);
    _stale = true;
    if (_state)
        ++_state->generation;
    QString reason;
    if (!vdbReopen(_database, &reason))
        VWARNING(stream) << "Reopening the database connection failed:" << reason << endl;
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
