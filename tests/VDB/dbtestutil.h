// Helpers of the database tests: settings objects, access to a pool's
// lists, capture of the database log.
#ifndef VORNLIB_TESTS_VDB_DBTESTUTIL_H
#define VORNLIB_TESTS_VDB_DBTESTUTIL_H

#include <memory>
#include <string>

#include <QString>
#include <QIODevice>
#include <QTextStream>

#include "VDB/vdb.h"
#include "testutil.h"

struct VDbTestAccess
{
    static int freeCount(VDb& db)
    {
        std::lock_guard<std::mutex> lock(db.m_mutex);
        return db.m_freeConnections.size();
    }
    static int usedCount(VDb& db)
    {
        std::lock_guard<std::mutex> lock(db.m_mutex);
        return db.m_usedConnections.size();
    }
    static bool inTransaction(const VDbConnectionPtr& c) { return c->inTransaction(); }
    static bool isFree(VDb& db, VDbConnection* c)
    {
        std::lock_guard<std::mutex> lock(db.m_mutex);
        return db.m_freeConnections.contains(c);
    }
    static bool isUsed(VDb& db, VDbConnection* c)
    {
        std::lock_guard<std::mutex> lock(db.m_mutex);
        return db.m_usedConnections.contains(c);
    }
};

struct VDbConnectionPtrTestAccess
{
    static int count(const VDbConnectionPtr& p) { return p.m_ref ? p.m_ref->GetRefCount() : 0; }
    static const void* record(const VDbConnectionPtr& p) { return p.m_ref; }
};

namespace vdbtest {

// Settings with public fields; the statements XML lives in the object.
class InitData : public VDbInitData
{
public:
    QString type, name, user, password, options, host;
    uint port = 0;
    QString xml;
    // Getter that throws, by name ("getDbName" ...), empty for none.
    QString throwIn;

    QString getUserName() override { check("getUserName"); return user; }
    QString getDbType() override { check("getDbType"); return type; }
    QString getDbName() override { check("getDbName"); return name; }
    QString getPassword() override { check("getPassword"); return password; }
    QString getConnectOptions() override { check("getConnectOptions"); return options; }
    QString getHostName() override { check("getHostName"); return host; }
    uint getPort() override { check("getPort"); return port; }
    QTextStream* getQueriesXml() override
    {
        check("getQueriesXml");
        stream.reset(new QTextStream(&xml, QIODevice::ReadOnly));
        return stream.get();
    }

private:
    void check(const char* getter)
    {
        if (throwIn == QLatin1String(getter))
            throw VException(QStringLiteral("settings unavailable"));
    }
    std::unique_ptr<QTextStream> stream;
};

// Statements of the SQLite and MariaDB tests.
inline QString statementsXml()
{
    return QStringLiteral(
        "<statements>"
        "<statement name='create' sql='CREATE TABLE IF NOT EXISTS t (id INTEGER, v TEXT)'/>"
        "<statement name='insert' sql='INSERT INTO t (id, v) VALUES (:id, :v)'/>"
        "<statement name='count' sql='SELECT COUNT(*) FROM t'/>"
        "<statement name='byId' sql='SELECT v FROM t WHERE id = :id'/>"
        "<statement name='one' sql='SELECT 1'/>"
        "</statements>");
}

// A pool on a fresh SQLite file in its own temporary directory.
struct SqlitePool
{
    vtest::TempDir dir;
    InitData init;
    std::unique_ptr<VDb> pool;

    SqlitePool()
    {
        init.type = QStringLiteral("QSQLITE");
        init.name = QString::fromStdString(dir.file("test.sqlite"));
        init.xml = statementsXml();
        pool.reset(new VDb(&init));
    }
};

// Raises the database log to VDBG3 on standard error and captures it.
class LogCapture
{
public:
    LogCapture() : _old(VDebug::getDebugLevel(VDb::VDbLog)), _capture(2)
    {
        VDebug::setDebugLevel(VDb::VDbLog, VDebug::VDBG3);
    }
    ~LogCapture() { VDebug::setDebugLevel(VDb::VDbLog, _old); }
    std::string text() { return _capture.text(); }

private:
    VDebug::debug_level_t _old;
    vtest::CaptureFd _capture;
};

// One value of a single-row query on the connection, or an invalid QVariant.
inline QVariant scalar(QSqlDatabase db, const QString& sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql) || !q.next())
        return QVariant();
    return q.value(0);
}

} // namespace vdbtest

#endif
