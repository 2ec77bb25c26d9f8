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

#include "mariadb_fixture.h"
#include "exception_text.h"

namespace {

using vdbtest::InitData;
using vdbtest::MariaDb;
using vdbtest::Server;
using vdbtest::scalar;
using vdbtest::serverScript;

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
    const QString user = privateUser();
    InitData init = userSettings(user);
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    const qlonglong id = connectionId(c);
    adminExec(QString("ALTER USER '%1'@'127.0.0.1' ACCOUNT LOCK").arg(user));
    kill(id);
    EXPECT_EQ(vtest::exceptionText([&] { c->beginTransaction(); }),
              "Begin transaction operation failed, reason: Access denied, this account is locked "
              "QMYSQL: Unable to connect");
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

TEST_F(MariaDb, ReleaseRollsBackATransactionOpenedInSql)
{
    InitData init = tcpSettings();
    VDb db(&init);
    {
        VDbConnectionPtr c = db.getConnection();
        ASSERT_TRUE(VSafeSqlQuery(c->getDatabase()).exec("START TRANSACTION"));
        insert(c, 1);
    }
    VDbConnectionPtr next = db.getConnection();
    next->beginTransaction();
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

    // A kill between statements is found at the statement's reset, before
    // it is sent: retried on a new session.
    kill(connectionId(c));
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
    vdbtest::PrivateServer priv;
    ASSERT_TRUE(priv.started);
    const QString sdir = priv.path;
    const Server& own = priv.server;
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
