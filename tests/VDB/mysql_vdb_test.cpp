// The pool against a real MariaDB server, started for the test run by the
// VornMariaDb fixture (scripts/mariadb-test-server.sh). Connections are
// dropped for real, with KILL CONNECTION from a second session, an idle
// timeout or a server restart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "dbtestutil.h"
#include "exception_text.h"

namespace {

using vdbtest::InitData;
using vdbtest::scalar;

struct Server
{
    std::map<std::string, std::string> env;
    QString get(const char* key) const
    {
        auto it = env.find(key);
        return it == env.end() ? QString() : QString::fromStdString(it->second);
    }
    QString host() const { return get("VORN_MYSQL_HOST"); }
    uint port() const { return get("VORN_MYSQL_PORT").toUInt(); }
    QString socket() const { return get("VORN_MYSQL_SOCKET"); }
};

// Reads the KEY=value lines the server script wrote; empty when none.
Server loadServer(const std::string& dir)
{
    Server s;
    std::ifstream in(dir + "/env");
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            s.env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return s;
}

// Runs the server script; true when it succeeded within 90 s.
bool serverScript(const QString& command, const QString& dir)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start("bash", {QStringLiteral(VORN_MARIADB_SCRIPT), command, dir});
    if (!p.waitForFinished(90000)) {
        p.kill();
        p.waitForFinished(5000);
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

class MariaDb : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The fixture's server folder; the environment may name another.
        const char* dir = std::getenv("VORN_MARIADB_DIR");
        if (!dir)
            dir = VORN_MARIADB_DIR;
        server = loadServer(dir);
        ASSERT_FALSE(server.socket().isEmpty())
            << "the MariaDB test server is not running (no " << dir
            << "/env): see the output of the VDB.MariaDbServerStart test";
        table = QString::fromStdString(vtest::uniqueName("t"));
        adminName = QString::fromStdString(vtest::uniqueName("admin"));
        {
            QSqlDatabase a = QSqlDatabase::addDatabase("QMYSQL", adminName);
            a.setHostName("localhost");
            a.setUserName("root");
            a.setDatabaseName("vorntest");
            a.setConnectOptions("UNIX_SOCKET=" + server.socket());
            ASSERT_TRUE(a.open()) << a.lastError().text().toStdString();
        }
        adminExec(QString("CREATE TABLE %1 (id INT, v VARCHAR(40)) ENGINE=InnoDB").arg(table));
    }

    void TearDown() override
    {
        if (QSqlDatabase::contains(adminName)) {
            if (!table.isEmpty())
                QSqlQuery(admin()).exec("DROP TABLE IF EXISTS " + table);
            QSqlDatabase::removeDatabase(adminName);
        }
    }

    QSqlDatabase admin() { return QSqlDatabase::database(adminName, false); }

    void adminExec(const QString& sql)
    {
        QSqlQuery q(admin());
        ASSERT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    }

    int rows() { return scalar(admin(), "SELECT COUNT(*) FROM " + table).toInt(); }

    bool sessionExists(qlonglong id)
    {
        return scalar(admin(), QString("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = %1")
                                   .arg(id))
                   .toInt() > 0;
    }

    // Kills a session server-side and waits until it is gone.
    void kill(qlonglong id)
    {
        adminExec(QString("KILL CONNECTION %1").arg(id));
        ASSERT_TRUE(vtest::waitFor([&] { return !sessionExists(id); }, std::chrono::seconds(10)));
    }

    static qlonglong connectionId(VDbConnectionPtr& c)
    {
        return scalar(c->getDatabase(), "SELECT CONNECTION_ID()").toLongLong();
    }

    InitData tcpSettings()
    {
        InitData d;
        d.type = "QMYSQL";
        d.host = server.host();
        d.port = server.port();
        d.user = server.get("VORN_MYSQL_USER");
        d.password = server.get("VORN_MYSQL_PASSWORD");
        d.name = server.get("VORN_MYSQL_DB");
        d.xml = xml();
        return d;
    }

    InitData socketSettings()
    {
        InitData d = tcpSettings();
        d.host = "localhost";
        d.port = 0;
        d.options = "UNIX_SOCKET=" + server.socket();
        return d;
    }

    QString xml() const
    {
        return QString("<s><statement name='insert' sql='INSERT INTO %1 (id, v) VALUES (:id, :v)'/>"
                       "<statement name='one' sql='SELECT 1'/></s>")
            .arg(table);
    }

    static void insert(VDbConnectionPtr& c, int id)
    {
        VSafeSqlQuery q = c->createQuery("insert");
        q.bindValue(":id", id);
        q.bindValue(":v", QString("row %1").arg(id));
        ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
    }

    static int selectOne(VSafeSqlQuery& q) { return q.next() ? q.value(0).toInt() : -1; }

    Server server;
    QString table;
    QString adminName;
};

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

TEST_F(MariaDb, KilledConnectionIsReopenedByBeginTransaction)
{
    InitData init = tcpSettings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    const qlonglong before = connectionId(c);
    kill(before);
    ASSERT_NO_THROW(c->beginTransaction());
    EXPECT_NE(connectionId(c), before);
    insert(c, 1);
    c->commit();
    EXPECT_EQ(rows(), 1);
}

TEST_F(MariaDb, KilledConnectionIsReopenedByCreateQuery)
{
    for (bool socket : {false, true}) {
        InitData init = socket ? socketSettings() : tcpSettings();
        VDb db(&init);
        VDbConnectionPtr c = db.getConnection();
        const qlonglong before = connectionId(c);
        kill(before);
        VSafeSqlQuery q = c->createQuery("one");
        ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
        EXPECT_EQ(selectOne(q), 1);
        q = VSafeSqlQuery();
        EXPECT_NE(connectionId(c), before) << (socket ? "socket" : "tcp");
    }
}

TEST_F(MariaDb, FailedReopenReportsTheReopensError)
{
    const QString user = QString::fromStdString(vtest::uniqueName("lk"));
    adminExec(QString("CREATE USER '%1'@'127.0.0.1' IDENTIFIED BY 'pw'").arg(user));
    adminExec(QString("GRANT ALL PRIVILEGES ON vorntest.* TO '%1'@'127.0.0.1'").arg(user));
    {
        InitData init = tcpSettings();
        init.user = user;
        init.password = "pw";
        VDb db(&init);
        VDbConnectionPtr c = db.getConnection();
        const qlonglong id = connectionId(c);
        adminExec(QString("ALTER USER '%1'@'127.0.0.1' ACCOUNT LOCK").arg(user));
        kill(id);
        EXPECT_EQ(vtest::exceptionText([&] { c->beginTransaction(); }),
                  "Begin transaction operation failed, reason: Access denied, this account is locked "
                  "QMYSQL: Unable to connect");
    }
    adminExec(QString("DROP USER '%1'@'127.0.0.1'").arg(user));
}

TEST_F(MariaDb, LostTransactionFailsAndKeepsNothing)
{
    InitData init = tcpSettings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();

    // Lost before commit.
    c->beginTransaction();
    insert(c, 1);
    kill(connectionId(c));
    EXPECT_TRUE(startsWith(vtest::exceptionText([&] { c->commit(); }), "Commit operation failed, reason: "));
    EXPECT_EQ(rows(), 0);

    // Lost before the next statement: no silent reopen, and commit fails.
    c->beginTransaction();
    insert(c, 2);
    kill(connectionId(c));
    EXPECT_TRUE(startsWith(vtest::exceptionText([&] { c->createQuery("insert"); }), "Sql query prepared failed: "));
    EXPECT_TRUE(startsWith(vtest::exceptionText([&] { c->commit(); }), "Commit operation failed, reason: "));
    EXPECT_EQ(rows(), 0) << "nothing autocommitted on a new session";

    // The connection serves again afterwards.
    c->beginTransaction();
    insert(c, 3);
    c->commit();
    EXPECT_EQ(rows(), 1);
}

TEST_F(MariaDb, ReleaseRollsBackAnOpenTransaction)
{
    InitData init = tcpSettings();
    VDb db(&init);
    VDbConnection* first;
    {
        VDbConnectionPtr c = db.getConnection();
        first = c.Get();
        c->beginTransaction();
        insert(c, 1);
    }
    VDbConnectionPtr next = db.getConnection();
    ASSERT_EQ(next.Get(), first);
    next->beginTransaction(); // on MariaDB a BEGIN commits what is pending
    insert(next, 2);
    next->rollback();
    EXPECT_EQ(rows(), 0);
}

TEST_F(MariaDb, ExecWithRetriesRunsAStatementAtMostOnce)
{
    InitData init = tcpSettings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    VSafeSqlQuery q = c->createQuery("one");

    // Over TCP the first call after a kill gives 2013 (outcome unknown), the
    // next 2006 (never sent), which is retried on a new session.
    kill(connectionId(c));
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 3));
    EXPECT_EQ(q.lastError().nativeErrorCode(), "2013");
    {
        vdbtest::LogCapture log;
        EXPECT_TRUE(q.execWithRetries(VDb::VDbLog, 3)) << q.lastError().text().toStdString();
        EXPECT_NE(log.text().find("WARNING] Lost database connection, attempt 1 of 3 failed:"),
                  std::string::npos);
    }
    EXPECT_EQ(selectOne(q), 1);

    // Inside a transaction nothing is retried.
    c->beginTransaction();
    insert(c, 1);
    kill(connectionId(c));
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 3));
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 3));
    EXPECT_THROW(c->commit(), VException);
    EXPECT_EQ(rows(), 0);

    // A statement killed while it runs has had its effect: never run again.
    const QString sideTable = table + "_m";
    const QString fn = table + "_f";
    adminExec(QString("CREATE TABLE %1 (n INT) ENGINE=MyISAM").arg(sideTable));
    adminExec(QString("CREATE FUNCTION %1() RETURNS INT NOT DETERMINISTIC MODIFIES SQL DATA "
                      "BEGIN INSERT INTO %2 VALUES (1); DO SLEEP(20); RETURN 1; END")
                  .arg(fn, sideTable));
    c->beginTransaction(); // the reopen, so the session id is readable
    c->rollback();
    const qlonglong id = connectionId(c);
    std::thread killer([&] {
        const QString name = QString::fromStdString(vtest::uniqueName("killer"));
        {
            QSqlDatabase k = QSqlDatabase::cloneDatabase(adminName, name);
            if (k.open()) {
                // Killed once its insert is done, while it sleeps.
                const QString sleeping = QString("SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                                                 "WHERE ID = %1 AND STATE = 'User sleep'")
                                             .arg(id);
                vtest::waitFor([&] { return scalar(k, sleeping).toInt() > 0; }, std::chrono::seconds(10));
                QSqlQuery(k).exec(QString("KILL CONNECTION %1").arg(id));
            }
        }
        QSqlDatabase::removeDatabase(name);
    });
    const bool ran = q.execWithRetries(QString("SELECT %1()").arg(fn), VDb::VDbLog, 3);
    killer.join();
    EXPECT_FALSE(ran);
    EXPECT_EQ(q.lastError().nativeErrorCode(), "2013");
    EXPECT_EQ(scalar(admin(), "SELECT COUNT(*) FROM " + sideTable).toInt(), 1);
    adminExec("DROP FUNCTION " + fn);
    adminExec("DROP TABLE " + sideTable);
}

TEST_F(MariaDb, IdleTimeoutIsRecovered)
{
    InitData init = socketSettings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    const qlonglong id = connectionId(c);
    ASSERT_TRUE(QSqlQuery(c->getDatabase()).exec("SET SESSION wait_timeout=1"));
    ASSERT_TRUE(vtest::waitFor([&] { return !sessionExists(id); }, std::chrono::seconds(15)));
    VSafeSqlQuery q = c->createQuery("one");
    ASSERT_TRUE(q.exec());
    EXPECT_EQ(selectOne(q), 1);
}

TEST_F(MariaDb, BadSettingsGiveThePoolsTexts)
{
    InitData init = tcpSettings();
    init.password = "wrong";
    VDb db(&init);
    const std::string what = vtest::exceptionText([&] { db.getConnection(); });
    EXPECT_EQ(what, "Failed to allocate connection, reason: Access denied for user 'vorn'@'127.0.0.1' "
                    "(using password: YES) QMYSQL: Unable to connect");
    const int names = QSqlDatabase::connectionNames().size();
    EXPECT_FALSE(db.testConnection());
    EXPECT_FALSE(db.testConnection());
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), names);
    EXPECT_EQ(VDbTestAccess::freeCount(db), 0);
    EXPECT_EQ(VDbTestAccess::usedCount(db), 0);

    InitData closed = tcpSettings();
    closed.port = 1;
    VDb nobody(&closed);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(nobody.testConnection());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(startsWith(vtest::exceptionText([&] { nobody.getConnection(); }),
                           "Failed to allocate connection, reason: Can't connect to server on '127.0.0.1'"));

    InitData unknown = tcpSettings();
    unknown.host = "no-such-host.invalid";
    VDb lost(&unknown);
    const std::string u = vtest::exceptionText([&] { lost.getTemporaryConnection(); });
    EXPECT_TRUE(startsWith(u, "Failed to allocate connection, reason: ")) << u;
    EXPECT_NE(u.find("no-such-host.invalid"), std::string::npos) << u;
}

TEST_F(MariaDb, ThreadsShareOnePool)
{
    InitData init = tcpSettings();
    VDb db(&init); // made here, used only by the workers
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                try {
                    VDbConnectionPtr c = db.getConnection();
                    c->beginTransaction();
                    VSafeSqlQuery q = c->createQuery("insert");
                    q.bindValue(":id", t * 100 + i);
                    q.bindValue(":v", "x");
                    if (!q.exec())
                        ++failures;
                    c->commit();
                } catch (const VException&) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(rows(), 200);
    EXPECT_EQ(VDbTestAccess::usedCount(db), 0);
    EXPECT_LE(VDbTestAccess::freeCount(db), 8);
}

TEST_F(MariaDb, RestartedServerIsReconnected)
{
    // A private server: restarting the shared one would break other tests.
    vtest::TempDir dir;
    const QString sdir = dir.qpath() + "/server";
    ASSERT_TRUE(serverScript("start", sdir));
    struct Stop
    {
        QString d;
        ~Stop() { serverScript("stop", d); }
    } stop{sdir};
    const Server own = loadServer(sdir.toStdString());
    InitData init = tcpSettings();
    init.port = own.port();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    ASSERT_TRUE(QSqlQuery(c->getDatabase()).exec(
        QString("CREATE TABLE %1 (id INT, v VARCHAR(40)) ENGINE=InnoDB").arg(table)));
    ASSERT_TRUE(serverScript("restart", sdir));
    VSafeSqlQuery q = c->createQuery("one");
    ASSERT_TRUE(q.exec());
    EXPECT_EQ(selectOne(q), 1);
    ASSERT_TRUE(serverScript("restart", sdir));
    ASSERT_NO_THROW(c->beginTransaction());
    insert(c, 1);
    c->commit();
    EXPECT_EQ(scalar(c->getDatabase(), "SELECT COUNT(*) FROM " + table).toInt(), 1);
}

} // namespace
