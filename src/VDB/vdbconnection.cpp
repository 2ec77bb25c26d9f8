#include "VDB/vdbconnection.h"

#include <mutex>

#include <QCoreApplication>
#include <QHash>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QVariant>

#include "VCore/cancel_guard_p.h"
#include "VCore/vexception.h"
#include "VDB/vdb.h"
#include "VDB/vdbconfigreader.h"
#include "VDB/vdbconnection_p.h"

namespace {

const QLatin1String NOT_OPEN("connection is not open");

// Qt connection name -> state of the connection registered under it. Never
// destroyed: connections may still go at exit.
std::mutex& statesMutex()
{
    static std::mutex& m = *new std::mutex;
    return m;
}

QHash<QString, std::weak_ptr<VDbConnectionState>>& states()
{
    static auto& table = *new QHash<QString, std::weak_ptr<VDbConnectionState>>;
    return table;
}

} // namespace

std::shared_ptr<VDbConnectionState> vdbStateOf(const QSqlDatabase& db)
{
    const QString connectionName = db.connectionName();
    if (connectionName.isEmpty())
        return nullptr;
    std::shared_ptr<VDbConnectionState> state;
    {
        VCancelSafeLocker<std::mutex> lock(&statesMutex());
        state = states().value(connectionName).lock();
        if (state)
            return state;
        // Its entry goes with the last query: names may be made per task.
        state.reset(new VDbConnectionState, [connectionName](VDbConnectionState* gone) {
            {
                VCancelSafeLocker<std::mutex> lock(&statesMutex());
                auto it = states().find(connectionName);
                if (it != states().end() && it->expired())
                    states().erase(it);
            }
            delete gone;
        });
        states().insert(connectionName, state);
    }
    // The session opened before any query of the library saw it: what it
    // shows now stands for its start, so that its first loss is judged as
    // the later ones. No statement is run for it.
    bool inTransaction = false;
    if (vdbIsUsable(db) && vdbServerStatusReadable(db))
        state->statusReadable = vdbServerStatus(db, &inTransaction, &state->autocommitAtOpen);
    return state;
}

QString vdbFailureReason(const QSqlError& error, const QSqlDatabase& db)
{
    if (!error.text().trimmed().isEmpty())
        return error.text();
    if (!vdbIsUsable(db))
        return NOT_OPEN;
    return QStringLiteral("the driver gave no reason");
}

namespace {
bool isLostCode(const QString& code)
{
    return code == QLatin1String("2006") || code == QLatin1String("2013") || code == QLatin1String("2055") ||
           code == QLatin1String("1927");
}

// Qt's MySQL driver fails a prepared statement with its own text after a
// prefix; at these steps the statement has not been sent yet.
bool failedBeforeExecution(const QSqlError& error)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QLatin1String prefix("QMYSQL: ");
#else
    const QLatin1String prefix("QMYSQL3: ");
#endif
    const QString text = error.driverText();
    if (!text.startsWith(prefix))
        return false;
    const QString step = text.mid(prefix.size());
    return step == QCoreApplication::translate("QMYSQLResult", "Unable to reset statement") ||
           step == QCoreApplication::translate("QMYSQLResult", "Unable to bind value");
}

bool isMySql(const QSqlDatabase& db)
{
    const QSqlDriver* driver = db.driver();
    return driver && driver->dbmsType() == QSqlDriver::MySqlServer;
}
} // namespace

bool vdbSessionLost(const QSqlError& error)
{
    const QString code = error.nativeErrorCode();
    return code.isEmpty() ? vdbIsLostConnection(error) : isLostCode(code);
}

bool vdbNeverReachedServer(const QSqlError& error)
{
    const QString code = error.nativeErrorCode();
    if (code.isEmpty())
        return vdbIsLostConnection(error);
    return code == QLatin1String("2006") || (isLostCode(code) && failedBeforeExecution(error));
}

bool vdbAutocommitOff(QSqlDatabase& db)
{
    if (!isMySql(db))
        return false;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT @@autocommit")) || !q.next())
        return true;
    return q.value(0).toInt() == 0;
}

bool vdbServerTransactionOpen(const VDbConnectionState& state, const QSqlDatabase& db)
{
    bool inTransaction = false;
    bool autocommit = false;
    return state.statusReadable && vdbServerStatus(db, &inTransaction, &autocommit) && inTransaction;
}

void vdbNoteSession(VDbConnectionState* state, const QSqlDatabase& db)
{
    bool inTransaction = false;
    bool autocommit = false;
    // A setting the user changed dies with the session: a new one would
    // silently commit (or hold) what the user expects otherwise.
    if (state && state->statusReadable && vdbServerStatus(db, &inTransaction, &autocommit))
        state->sessionWork = inTransaction || autocommit != state->autocommitAtOpen;
}

void vdbSessionOpened(VDbConnectionState& state, QSqlDatabase& db)
{
    bool inTransaction = false;
    state.statusReadable =
        vdbServerStatusReadable(db) && vdbServerStatus(db, &inTransaction, &state.autocommitAtOpen);
    // A new session holds nothing yet. Where the server's flags cannot be
    // read, one running with autocommit off holds work all along.
    state.opened(!state.statusReadable && vdbAutocommitOff(db));
}

bool vdbReopen(QSqlDatabase& db, QString* reason)
{
    const QString name = db.databaseName();
    if (!isMySql(db) || name.isEmpty()) {
        if (db.open())
            return true;
        *reason = vdbFailureReason(db.lastError(), db);
        return false;
    }
    // Qt's MySQL driver, when selecting the database fails after the connect
    // succeeded (the new session killed in between), frees its handle but
    // keeps pointing at it: every query on the connection then writes into
    // freed memory. So the database is selected here, and a failure closes
    // the connection properly.
    db.setDatabaseName(QString());
    const bool opened = db.open();
    db.setDatabaseName(name);
    if (!opened) {
        *reason = vdbFailureReason(db.lastError(), db);
        return false;
    }
    QSqlError error;
    {
        QSqlQuery use(db);
        // Quoted by hand: the driver's escaping splits names at '.'.
        QString quoted = name;
        quoted.replace(QLatin1Char('`'), QLatin1String("``"));
        if (use.exec(QStringLiteral("USE `") + quoted + QLatin1Char('`')))
            return true;
        error = use.lastError();
    }
    db.close();
    *reason = vdbFailureReason(error, db);
    return false;
}

VDbConnection::VDbConnection(QSqlDatabase qdb, VDb* conn, VDbConfigReader* configReader,
                             bool autoCommit)
    : m_vdb(conn), m_conn(qdb), m_autoCommit(autoCommit), m_configReader(configReader),
      m_isTempConnection(0), m_state(std::make_shared<VDbConnectionState>()),
      m_link(conn ? conn->m_link : nullptr)
{
    const QString name = m_conn.connectionName();
    if (!name.isEmpty()) {
        VCancelSafeLocker<std::mutex> lock(&statesMutex());
        states().insert(name, m_state);
    }
    if (vdbIsUsable(m_conn))
        vdbSessionOpened(*m_state, m_conn);
}

VDbConnection::~VDbConnection()
{
    const QString name = m_conn.connectionName();
    if (!name.isEmpty()) {
        VCancelSafeLocker<std::mutex> lock(&statesMutex());
        auto it = states().find(name);
        if (it != states().end() && it->lock() == m_state)
            states().erase(it);
    }
    if (m_conn.isOpen()) {
        VSafeSqlQuery::endRows(*m_state);
        if (m_autoCommit && !m_state->transactionLost)
            m_conn.commit();
        else
            m_conn.rollback();
        m_conn.close();
    }
}

VDb* VDbConnection::getVdb()
{
    return m_link ? m_link->pool.load() : m_vdb;
}

bool VDbConnection::inTransaction() const
{
    return m_state->inTransaction;
}

void VDbConnection::reopenOutsideTransaction(const QString& prefix, const QString& reason)
{
    if (m_state->holdsWork()) {
        // Reopening would drop the session's pending work unseen.
        m_state->markLostIfInTransaction(reason);
        throw VException(prefix + reason);
    }
    QString failure;
    if (!VSafeSqlQuery::reopenWatched(m_conn, m_state.get(), nullptr, &failure))
        throw VException(prefix + failure);
    vdbSessionOpened(*m_state, m_conn);
}

void VDbConnection::beginTransaction()
{
    const QString prefix = QStringLiteral("Begin transaction operation failed, reason: ");
    vdbNoteSession(m_state.get(), m_conn);
    bool reopened = false;
    if (!vdbIsUsable(m_conn)) {
        reopenOutsideTransaction(prefix, NOT_OPEN);
        reopened = true;
    }
    if (!m_conn.transaction()) {
        const QSqlError error = m_conn.lastError();
        if (reopened || !vdbSessionLost(error))
            throw VException(prefix + vdbFailureReason(error, m_conn));
        reopenOutsideTransaction(prefix, error.text());
        if (!m_conn.transaction())
            throw VException(prefix + vdbFailureReason(m_conn.lastError(), m_conn));
    }
    m_state->inTransaction = true;
    vdbNoteSession(m_state.get(), m_conn);
}

void VDbConnection::commit()
{
    const QString prefix = QStringLiteral("Commit operation failed, reason: ");
    vdbNoteSession(m_state.get(), m_conn);
    if (m_state->transactionLost) {
        const QString text = m_state->lostText;
        m_conn.rollback();
        m_state->endTransaction();
        throw VException(prefix + text);
    }
    if (!m_conn.commit()) {
        const QSqlError error = m_conn.lastError();
        const QString reason = vdbFailureReason(error, m_conn);
        // A lost or closed session took its work along; otherwise it is
        // still open and the caller may roll it back.
        if (vdbSessionLost(error) || !vdbIsUsable(m_conn)) {
            m_state->markLostIfInTransaction(reason);
            m_state->endTransaction();
        }
        throw VException(prefix + reason);
    }
    m_state->endTransaction();
    vdbNoteSession(m_state.get(), m_conn);
}

void VDbConnection::rollback()
{
    vdbNoteSession(m_state.get(), m_conn);
    if (!m_conn.rollback() && (vdbSessionLost(m_conn.lastError()) || !vdbIsUsable(m_conn)))
        m_state->markLostIfInTransaction(vdbFailureReason(m_conn.lastError(), m_conn));
    m_state->endTransaction();
    vdbNoteSession(m_state.get(), m_conn);
}

void VDbConnection::readDbConfig(QTextStream* xmlStream)
{
    if (m_configReader && xmlStream)
        m_configReader->parse(xmlStream);
}

VSafeSqlQuery VDbConnection::createQuery(const QString& queryName)
{
    if (!m_configReader)
        throw VException("NULL ConfigReader, can not create SqlQuery");
    const QString sql = m_configReader->getStatement(queryName);
    if (sql.isEmpty())
        throw VException(QStringLiteral("No such query: ") + queryName);
    const QString prefix = QStringLiteral("Sql query prepared failed: ");
    vdbNoteSession(m_state.get(), m_conn);
    bool reopened = false;
    if (!vdbIsUsable(m_conn)) {
        reopenOutsideTransaction(prefix, NOT_OPEN);
        reopened = true;
    }
    VSafeSqlQuery q(getDatabase(), m_state);
    if (q.prepare(sql))
        return q;
    if (!reopened && vdbSessionLost(q.lastError())) {
        reopenOutsideTransaction(prefix, q.lastError().text());
        if (q.prepare(sql))
            return q;
    }
    throw VException(QString("Sql query prepared failed: %1").arg(vdbFailureReason(q.lastError(), m_conn)));
}
