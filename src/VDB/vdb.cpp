#include "VDB/vdb.h"

#include <atomic>
#include <shared_mutex>

#include <QSqlDatabase>
#include <QStringList>
#include <QThread>

#include "VArch/arch_unix.h"
#include "VCore/cancel_guard_p.h"
#include "VCore/vexception.h"
#include "VDB/vdbconfigreader.h"
#include "VDB/vdbconnection_p.h"

VDebug::StreamId VDb::VDbLog = VDebug::STDERR;

namespace {
std::atomic<int> g_connectionCounter{0};
std::atomic<int> g_baseCounter{0};

const QLatin1String SQLITE("QSQLITE");
}

VDb::VDb(VDbInitData* config)
    : m_dbConfigXml(nullptr), m_port(0), m_link(std::make_shared<VDbPoolLink>(this)),
      m_ownerThread(QThread::currentThread())
{
    init(config);
}

VDb::~VDb()
{
    QStringList held;
    {
        // Waits for releases under way; later ones find the pool gone and
        // delete their connection themselves, so a held one is not touched
        // after this block: another thread may be running a query on it.
        VCancelSafeLocker<std::shared_mutex> lock(&m_link->lock);
        m_link->pool = nullptr;
        for (VDbConnection* conn : m_usedConnections)
            held << conn->m_conn.connectionName();
    }
    for (const QString& name : held)
        VERROR(VDbLog) << "Connection still held when its pool is destroyed:" << name << endl;
    for (VDbConnection* conn : m_freeConnections)
        destroyConnection(conn);
    m_freeConnections.clear();
    m_usedConnections.clear();
    QSqlDatabase::removeDatabase(m_baseConnName);
}

QString VDb::nextName()
{
    const QString name = QStringLiteral("VDb_Connection_") + QString::number(++g_connectionCounter);
    VDBG1(VDbLog) << name << endl;
    return name;
}

bool VDb::init(VDbInitData* config)
{
    try {
        m_dbType = config->getDbType();
        m_dbName = config->getDbName();
        m_userName = config->getUserName();
        m_password = config->getPassword();
        m_port = config->getPort();
        m_connectOpts = config->getConnectOptions();
        m_hostName = config->getHostName();

        // Unique within the process, which is all Qt's registry needs.
        m_baseConnName = QStringLiteral("baseConnection_%1_%2")
                             .arg(vProcessSelf())
                             .arg(++g_baseCounter);
        QSqlDatabase base = QSqlDatabase::addDatabase(m_dbType, m_baseConnName);
        if (m_dbType == SQLITE) {
            base.setDatabaseName(m_dbName);
        } else if (m_dbType == QLatin1String("QDB2")) {
            base.setDatabaseName(m_dbName);
            base.setPassword(m_password);
            base.setUserName(m_userName);
            base.setPort(int(m_port));
            base.setHostName(m_hostName);
        } else {
            base.setDatabaseName(m_dbName);
            base.setPassword(m_password);
            base.setUserName(m_userName);
            base.setConnectOptions(m_connectOpts);
            base.setPort(int(m_port));
            base.setHostName(m_hostName);
        }
        m_dbConfigXml = config->getQueriesXml();
        return true;
    } catch (const VException& e) {
        VERROR(VDbLog) << "Failed to initialize database layer, reason: " << e.what() << endl;
        return false;
    }
}

VDbConnection* VDb::newConnection()
{
    const QString name = nextName();
    if (QThread::currentThread() == m_ownerThread)
        QSqlDatabase::database(m_baseConnName, true);
    QString error;
    {
        // Cloning by name works from any thread.
        QSqlDatabase db = QSqlDatabase::cloneDatabase(m_baseConnName, name);
        const bool opened = m_dbType == SQLITE ? db.open() : db.open(m_userName, m_password);
        if (opened) {
            VDbConnection* conn = new VDbConnection(db, this, VDbConfigReader::instance(), false);
            conn->readDbConfig(m_dbConfigXml);
            return conn;
        }
        error = db.lastError().text();
    }
    // The name is never used again: keep Qt's registry from growing.
    QSqlDatabase::removeDatabase(name);
    QString message = QStringLiteral("Failed to allocate connection, reason: ") + error;
    if (m_dbType == SQLITE)
        message += QStringLiteral(" in db ") + m_dbName;
    throw VException(message);
}

void VDb::destroyConnection(VDbConnection* conn)
{
    const QString name = conn->m_conn.connectionName();
    delete conn;
    QSqlDatabase::removeDatabase(name);
}

void VDb::releaseFromHandle(VDbConnection* conn)
{
    const std::shared_ptr<VDbPoolLink> link = conn->m_link;
    if (link) {
        VCancelGuard guard;
        std::shared_lock<std::shared_mutex> lock(link->lock);
        if (VDb* pool = link->pool.load()) {
            pool->releaseConnection(conn);
            return;
        }
    }
    destroyConnection(conn);
}

VDbConnectionPtr VDb::getConnection()
{
    VDbConnection* conn = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_freeConnections.isEmpty())
            conn = m_freeConnections.takeLast();
    }
    if (!conn)
        conn = newConnection();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_usedConnections.append(conn);
    }
    return VDbConnectionPtr(conn);
}

VDbConnectionPtr VDb::getTemporaryConnection()
{
    VDbConnection* conn = newConnection();
    conn->makeTemporary(true);
    VDBG3(VDbLog) << "Allocating temporary connection" << conn->m_conn.connectionName() << endl;
    return VDbConnectionPtr(conn);
}

void VDb::releaseConnection(VDbConnection* conn)
{
    if (!conn)
        return;
    if (conn->isTemporary()) {
        VDBG3(VDbLog) << "Deleting temporary connection" << conn->m_conn.connectionName() << endl;
        destroyConnection(conn);
        return;
    }
    bool alreadyFree;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        alreadyFree = m_freeConnections.contains(conn);
        if (!alreadyFree && !m_usedConnections.contains(conn))
            return;
    }
    if (alreadyFree) {
        // Two records counted it (Reset with a held connection).
        VWARNING(VDbLog) << "Connection released twice:" << conn->m_conn.connectionName() << endl;
        return;
    }
    // Still in the used list, so no other thread can take it meanwhile. A
    // pending transaction must not leak into the next user's BEGIN, nor a
    // lost session's failure into the next user's commit.
    if (conn->inTransaction() || conn->m_state->transactionLost ||
        vdbServerTransactionOpen(*conn->m_state, conn->m_conn))
        conn->rollback();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_usedConnections.removeOne(conn))
        m_freeConnections.append(conn);
}

bool VDb::testConnection()
{
    try {
        VDbConnection* conn = newConnection();
        conn->getDatabase().close();
        destroyConnection(conn);
        return true;
    } catch (const VException&) {
        return false;
    }
}
