// Pooled connections through server failures, against the real MariaDB:
// sessions killed between and under statements, the server stopped and
// started again, the pool destroyed under a running query. Every test reads
// the table back: a call's result is not evidence.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>

#include "exception_text.h"
#include "mariadb_fixture.h"

namespace {

using vdbtest::InitData;
using vdbtest::scalar;

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Runs a statement as root on a server started by the test scripts.
void rootExec(const vdbtest::Server& s, const QString& sql)
{
    const QString name = QString::fromStdString(vtest::uniqueName("root"));
    {
        QSqlDatabase root = QSqlDatabase::addDatabase("QMYSQL", name);
        root.setHostName("localhost");
        root.setUserName("root");
        root.setConnectOptions("UNIX_SOCKET=" + s.socket());
        ASSERT_TRUE(root.open()) << root.lastError().text().toStdString();
        QSqlQuery(root).exec(sql);
    }
    QSqlDatabase::removeDatabase(name);
}

// A connection not from a pool, to the test database of a server.
QSqlDatabase addOwn(const QString& name, const vdbtest::Server& s)
{
    QSqlDatabase db = QSqlDatabase::addDatabase("QMYSQL", name);
    db.setHostName(s.host());
    db.setPort(int(s.port()));
    db.setDatabaseName(s.get("VORN_MYSQL_DB"));
    db.setUserName(s.get("VORN_MYSQL_USER"));
    db.setPassword(s.get("VORN_MYSQL_PASSWORD"));
    return db;
}

class Recovery : public vdbtest::MariaDb
{
protected:
    QString statements() const
    {
        return QString("<s>"
                       "<statement name='insert' sql='INSERT INTO %1 (id, v) VALUES (:id, :v)'/>"
                       "<statement name='twice' sql='INSERT INTO %1 (id, v) VALUES (:a, :a)'/>"
                       "<statement name='positional' sql='INSERT INTO %1 (id, v) VALUES (?, ?)'/>"
                       "<statement name='del' sql='DELETE FROM %1 WHERE id = :id'/>"
                       "<statement name='all' sql='SELECT id, v FROM %1 ORDER BY id'/>"
                       "<statement name='count' sql='SELECT COUNT(*) FROM %1'/>"
                       "<statement name='one' sql='SELECT 1'/>"
                       "<statement name='quoting' sql=\"SELECT FROM 'MySQL server has gone away'\"/>"
                       "</s>")
            .arg(table);
    }

    InitData settings()
    {
        InitData d = tcpSettings();
        d.xml = statements();
        return d;
    }

    // The table as "id:v" items in order, read on the given connection.
    QString tableText(QSqlDatabase db)
    {
        QSqlQuery q(db);
        if (!q.exec(QString("SELECT id, v FROM %1 ORDER BY id, v").arg(table)))
            return "<" + q.lastError().text() + ">";
        QStringList items;
        while (q.next())
            items << q.value(0).toString() + ":" + q.value(1).toString();
        return items.join(' ');
    }
    QString tableText() { return tableText(admin()); }

    // A pool on a server of the test's own, which the test may stop, and
    // one of its connections.
    struct OwnServer
    {
        vdbtest::PrivateServer priv;
        InitData init;
        std::unique_ptr<VDb> db;
        VDbConnectionPtr c;
    };

    // Opens the pool and the connection, and makes the test's table there
    // with the given rows, if any.
    void open(OwnServer& s, const QString& rows)
    {
        ASSERT_TRUE(s.priv.started);
        s.init = settings();
        s.init.port = s.priv.server.port();
        s.db.reset(new VDb(&s.init));
        s.c = s.db->getConnection();
        QSqlQuery q(s.c->getDatabase());
        ASSERT_TRUE(q.exec(QString("CREATE TABLE %1 (id INT, v VARCHAR(40)) ENGINE=InnoDB").arg(table)));
        if (!rows.isEmpty())
            ASSERT_TRUE(q.exec(QString("INSERT INTO %1 VALUES %2").arg(table, rows)));
    }

    // Over TCP the first statement after a kill reports 2013 (outcome
    // unknown), the next 2006 (never sent), which retries may repeat.
    static void failOnce(VDbConnectionPtr& c) { EXPECT_FALSE(QSqlQuery(c->getDatabase()).exec("SELECT 1")); }

    // A pool on a server of the test's own, and a temporary connection of
    // it, `reader`, that made the test's table there.
    struct OwnPool
    {
        vdbtest::PrivateServer server;
        InitData init;
        std::unique_ptr<VDb> db;
        VDbConnectionPtr reader;
    };
    void open(OwnPool& own, const QString& globalSql = QString())
    {
        ASSERT_TRUE(own.server.started);
        if (!globalSql.isEmpty())
            rootExec(own.server.server, globalSql);
        own.init = settings();
        own.init.port = own.server.server.port();
        own.db.reset(new VDb(&own.init));
        own.reader = own.db->getTemporaryConnection();
        ASSERT_TRUE(QSqlQuery(own.reader->getDatabase())
                        .exec(QString("CREATE TABLE %1 (id INT, v VARCHAR(40)) ENGINE=InnoDB").arg(table)));
    }
    // Kills a session of that server, or waits for its end, through reader.
    static void endSession(OwnPool& own, qlonglong id, bool kill)
    {
        QSqlDatabase db = own.reader->getDatabase();
        if (kill)
            ASSERT_TRUE(QSqlQuery(db).exec(QString("KILL CONNECTION %1").arg(id)));
        const QString alive = QString("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = %1").arg(id);
        ASSERT_TRUE(vtest::waitFor([&] { return scalar(db, alive).toInt() == 0; }, std::chrono::seconds(30)));
    }
};

// Stops a server started by the test scripts with SHUTDOWN and waits until
// its process is gone; "restart" then brings it back on the same port.
void shutdownServer(const vdbtest::Server& s, const QString& dir)
{
    rootExec(s, "SHUTDOWN");
    const pid_t pid = QString::fromStdString(vtest::readFile(dir.toStdString() + "/server.pid")).trimmed().toInt();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(vtest::waitFor([&] { return ::kill(pid, 0) != 0; }, std::chrono::seconds(30)));
}

TEST_F(Recovery, ConnectionServesAgainAfterAFailedReopen)
{
    vdbtest::PrivateServer priv;
    ASSERT_TRUE(priv.started);
    const QString sdir = priv.path;
    const vdbtest::Server& own = priv.server;
    InitData init = settings();
    init.port = own.port();
    VDb db(&init);
    VDbConnectionPtr a = db.getConnection();
    VDbConnectionPtr b = db.getConnection();
    VDbConnectionPtr e = db.getConnection();
    VDbConnection* const first = a.Get();
    ASSERT_TRUE(QSqlQuery(a->getDatabase())
                    .exec(QString("CREATE TABLE %1 (id INT, v VARCHAR(40)) ENGINE=InnoDB").arg(table)));
    VSafeSqlQuery kept = e->createQuery("insert");

    shutdownServer(own, sdir);
    // Each request tries to reopen, and fails with the driver's reason.
    for (int i = 0; i < 2; ++i) {
        const std::string begin = vtest::exceptionText([&] { a->beginTransaction(); });
        EXPECT_TRUE(startsWith(begin, "Begin transaction operation failed, reason: Can't connect to server"))
            << begin;
        const std::string prepare = vtest::exceptionText([&] { b->createQuery("one"); });
        EXPECT_TRUE(startsWith(prepare, "Sql query prepared failed: Can't connect to server")) << prepare;
        // The reason is in the query's error, not only in the log.
        EXPECT_FALSE(kept.execWithRetries(VDb::VDbLog, 2));
        EXPECT_FALSE(kept.lastError().text().isEmpty()) << i;
        EXPECT_FALSE(kept.exec());
        EXPECT_FALSE(kept.lastError().text().isEmpty()) << i;
    }
    b = VDbConnectionPtr();
    a = VDbConnectionPtr();
    ASSERT_TRUE(vdbtest::serverScript("restart", sdir));

    // The last released connection, which failed to reopen, serves again.
    VDbConnectionPtr c = db.getConnection();
    ASSERT_EQ(c.Get(), first);
    ASSERT_NO_THROW(c->beginTransaction());
    insert(c, 1);
    c->commit();
    VDbConnectionPtr d = db.getConnection();
    {
        VSafeSqlQuery q;
        ASSERT_NO_THROW(q = d->createQuery("one"));
        ASSERT_TRUE(q.exec());
        EXPECT_EQ(selectOne(q), 1);
    }
    // So does a statement made before, through its own retries.
    kept.bindValue(":id", 2);
    kept.bindValue(":v", "kept");
    EXPECT_TRUE(kept.execWithRetries(VDb::VDbLog, 2)) << kept.lastError().text().toStdString();
    VDbConnectionPtr reader = db.getTemporaryConnection();
    EXPECT_EQ(tableText(reader->getDatabase()), "1:row 1 2:kept");
}

TEST_F(Recovery, KeptStatementsRunAgainAfterTheServerRestarts)
{
    OwnServer own;
    ASSERT_NO_FATAL_FAILURE(open(own, ""));
    VDbConnectionPtr& c = own.c;
    VSafeSqlQuery a = c->createQuery("insert");
    VSafeSqlQuery b = c->createQuery("positional");
    a.bindValue(":id", 1);
    a.bindValue(":v", "a1");
    ASSERT_TRUE(a.exec());
    b.bindValue(0, 2);
    b.bindValue(1, "b2"); // bound, not run before the outage

    // First outage: calls through A; second: only calls that reopen.
    for (int phase = 1; phase <= 2; ++phase) {
        shutdownServer(own.priv.server, own.priv.path);
        a.bindValue(":id", 2 * phase + 1);
        a.bindValue(":v", QString("a%1").arg(2 * phase + 1));
        for (int i = 0; i < 2; ++i) {
            if (phase == 1) {
                EXPECT_FALSE(a.execWithRetries(VDb::VDbLog, 2));
                EXPECT_FALSE(a.exec());
            } else {
                EXPECT_ANY_THROW(c->createQuery("one"));
                EXPECT_ANY_THROW(c->beginTransaction());
            }
        }
        ASSERT_TRUE(vdbtest::serverScript("restart", own.priv.path));
        EXPECT_TRUE(a.execWithRetries(VDb::VDbLog, 3)) << phase << ": " << a.lastError().text().toStdString();
        EXPECT_TRUE(b.exec()) << phase << ": " << b.lastError().text().toStdString();
        b.bindValue(0, 4);
        b.bindValue(1, "b4");
    }
    VDbConnectionPtr reader = own.db->getTemporaryConnection();
    EXPECT_EQ(tableText(reader->getDatabase()).toStdString(), "1:a1 2:b2 3:a3 4:b4 5:a5");
}

TEST_F(Recovery, PrepareThroughTheBaseClassDuringAnOutageStaysRefused)
{
    OwnServer own;
    ASSERT_NO_FATAL_FAILURE(open(own, "(1, 'a'), (2, 'b'), (3, 'c')"));
    VDbConnectionPtr& c = own.c;
    VSafeSqlQuery q = c->createQuery("del");
    shutdownServer(own.priv.server, own.priv.path);
    EXPECT_ANY_THROW(c->beginTransaction()); // the reopen fails: the connection is closed
    const QString insert = QString("INSERT INTO %1 (id, v) VALUES (:id, 'new')").arg(table);
    QSqlQuery& plain = q;
    EXPECT_FALSE(plain.prepare(insert));
    plain.bindValue(":id", 3);
    const std::string refused = "its prepare failed: prepare it again and bind its values statement not prepared";
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 3));
    EXPECT_EQ(q.lastError().text().toStdString(), refused);

    // Refused still once the server is back, until prepared again.
    ASSERT_TRUE(vdbtest::serverScript("restart", own.priv.path));
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 3));
    EXPECT_EQ(q.lastError().text().toStdString(), refused);
    ASSERT_TRUE(q.prepare(insert));
    q.bindValue(":id", 4);
    EXPECT_TRUE(q.exec()) << q.lastError().text().toStdString();
    VDbConnectionPtr reader = own.db->getTemporaryConnection();
    EXPECT_EQ(tableText(reader->getDatabase()).toStdString(), "1:a 2:b 3:c 4:new");
}

TEST_F(Recovery, KeptStatementSharedWithACopyRunsAgainAfterTheServerRestarts)
{
    OwnServer own;
    ASSERT_NO_FATAL_FAILURE(open(own, ""));
    VSafeSqlQuery q = own.c->createQuery("insert");
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const QSqlQuery copy(q); // shares q's result, as a VSafeSqlQuery copy does on Qt 5
    QT_WARNING_POP
    q.bindValue(":id", 1);
    q.bindValue(":v", "a");
    shutdownServer(own.priv.server, own.priv.path);
    EXPECT_ANY_THROW(own.c->beginTransaction()); // the reopen fails: the connection is closed
    EXPECT_FALSE(q.exec());
    ASSERT_TRUE(vdbtest::serverScript("restart", own.priv.path));
    EXPECT_TRUE(q.execWithRetries(VDb::VDbLog, 3)) << q.lastError().text().toStdString();
    EXPECT_EQ(tableText(own.c->getDatabase()).toStdString(), "1:a");
}

TEST_F(Recovery, RowsLeftWhenTheLibraryClosesTheConnectionAreDropped)
{
    OwnServer own;
    ASSERT_NO_FATAL_FAILURE(open(own, "(1, 'a'), (2, 'b')"));
    VDbConnectionPtr& c = own.c;
    VSafeSqlQuery all = c->createQuery("all");
    ASSERT_TRUE(all.exec());
    ASSERT_TRUE(all.next());
    shutdownServer(own.priv.server, own.priv.path);
    EXPECT_ANY_THROW(c->beginTransaction()); // the reopen closes the connection
    EXPECT_FALSE(all.next());
    EXPECT_EQ(all.lastError().text().toStdString(), "the connection was reopened or closed before all rows were read");
    ASSERT_TRUE(vdbtest::serverScript("restart", own.priv.path));
    ASSERT_TRUE(all.execWithRetries(VDb::VDbLog, 3)) << all.lastError().text().toStdString();
    QStringList rows;
    while (all.next())
        rows << all.value(0).toString() + ":" + all.value(1).toString();
    EXPECT_EQ(rows.join(' ').toStdString(), "1:a 2:b");
}

TEST_F(Recovery, QueriesOfAConnectionNotFromAPoolAreReopenedTogether)
{
    vdbtest::PrivateServer priv;
    ASSERT_TRUE(priv.started);
    const QString name = QString::fromStdString(vtest::uniqueName("own"));
    {
        QSqlDatabase db = addOwn(name, priv.server);
        ASSERT_TRUE(db.open());
        VSafeSqlQuery rows(db);
        VSafeSqlQuery one(db);
        ASSERT_TRUE(rows.prepare("SELECT 1 UNION SELECT 2"));
        ASSERT_TRUE(one.prepare("SELECT 1"));
        ASSERT_TRUE(rows.exec());
        ASSERT_TRUE(rows.next());
        shutdownServer(priv.server, priv.path);
        EXPECT_FALSE(one.exec()); // 2013: not retried
        EXPECT_FALSE(one.execWithRetries(VDb::VDbLog, 2)); // the reopen fails: the connection is closed
        EXPECT_FALSE(rows.next());
        ASSERT_TRUE(vdbtest::serverScript("restart", priv.path));
        EXPECT_TRUE(one.execWithRetries(VDb::VDbLog, 3)) << one.lastError().text().toStdString();
        // Prepared again after the other query's reopen.
        EXPECT_TRUE(rows.exec()) << rows.lastError().text().toStdString();
        EXPECT_EQ(rows.size(), 2);
    }
    QSqlDatabase::removeDatabase(name);
}

TEST_F(Recovery, OwnConnectionsFirstSessionWithAutocommitTurnedOffIsLostAsAFailure)
{
    const QString name = QString::fromStdString(vtest::uniqueName("own"));
    {
        QSqlDatabase db = addOwn(name, server);
        ASSERT_TRUE(db.open());
        VSafeSqlQuery q(db);
        ASSERT_TRUE(q.exec("SET autocommit = 0"));
        ASSERT_TRUE(q.exec(QString("INSERT INTO %1 (id, v) VALUES (1, 'a')").arg(table)));
        kill(scalar(db, "SELECT CONNECTION_ID()").toLongLong());
        EXPECT_FALSE(q.exec("SELECT 1")); // 2013
        EXPECT_FALSE(q.execWithRetries(QString("INSERT INTO %1 (id, v) VALUES (2, 'b')").arg(table), VDb::VDbLog, 3));
    }
    QSqlDatabase::removeDatabase(name);
    EXPECT_EQ(tableText().toStdString(), "");
}

TEST_F(Recovery, LostSessionWithAutocommitOffIsAFailure)
{
    // A server whose sessions start with autocommit off.
    OwnPool own;
    ASSERT_NO_FATAL_FAILURE(open(own, "SET GLOBAL autocommit = 0"));
    VDbConnectionPtr& reader = own.reader;
    VDbConnectionPtr c = own.db->getConnection();
    insert(c, 1);
    VSafeSqlQuery q = c->createQuery("insert");
    ASSERT_NO_FATAL_FAILURE(endSession(own, connectionId(c), true));
    failOnce(c);
    q.bindValue(":id", 2);
    q.bindValue(":v", "row 2");
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 3));
    EXPECT_TRUE(startsWith(vtest::exceptionText([&] { c->commit(); }), "Commit operation failed, reason: "));

    // Reported once: the connection serves again, still without autocommit.
    insert(c, 3);
    c->commit();
    QSqlQuery(reader->getDatabase()).exec("ROLLBACK");
    EXPECT_EQ(tableText(reader->getDatabase()).toStdString(), "3:row 3");
}

TEST_F(Recovery, IdleSessionWithAutocommitOffThatCommittedEverythingReopens)
{
    OwnPool own;
    ASSERT_NO_FATAL_FAILURE(open(own, "SET GLOBAL autocommit = 0"));
    {
        VDbConnectionPtr c = own.db->getConnection();
        const qlonglong id = connectionId(c);
        ASSERT_TRUE(QSqlQuery(c->getDatabase()).exec("SET SESSION wait_timeout = 1"));
        c->beginTransaction();
        insert(c, 1);
        c->commit();
        ASSERT_NO_FATAL_FAILURE(endSession(own, id, false));
    }
    VDbConnectionPtr next = own.db->getConnection();
    ASSERT_NO_THROW(next->beginTransaction());
    insert(next, 2);
    next->commit();
    QSqlQuery(own.reader->getDatabase()).exec("ROLLBACK");
    EXPECT_EQ(tableText(own.reader->getDatabase()).toStdString(), "1:row 1 2:row 2");
}

TEST_F(Recovery, TransactionOpenedInSqlIsLostWithItsSession)
{
    OwnPool own;
    ASSERT_NO_FATAL_FAILURE(open(own));
    for (const char* sql : {"SET autocommit = 0", "START TRANSACTION"}) {
        VDbConnectionPtr c = own.db->getTemporaryConnection();
        ASSERT_TRUE(QSqlQuery(c->getDatabase()).exec(sql));
        insert(c, 1);
        ASSERT_NO_FATAL_FAILURE(endSession(own, connectionId(c), true));
        EXPECT_THROW(c->beginTransaction(), VException) << sql;
        EXPECT_TRUE(startsWith(vtest::exceptionText([&] { c->commit(); }), "Commit operation failed, reason: "))
            << sql;
    }
    // Autocommit turned off, nothing written yet: the setting dies too.
    VDbConnectionPtr c = own.db->getTemporaryConnection();
    ASSERT_TRUE(VSafeSqlQuery(c->getDatabase()).exec("SET autocommit = 0"));
    ASSERT_NO_FATAL_FAILURE(endSession(own, connectionId(c), true));
    EXPECT_THROW(c->beginTransaction(), VException);
    EXPECT_THROW(c->commit(), VException);
    EXPECT_EQ(tableText(own.reader->getDatabase()), "");
}

TEST_F(Recovery, KeptStatementOfASessionKilledWhileIdleRunsAgain)
{
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    VSafeSqlQuery q = c->createQuery("insert");
    q.bindValue(":id", 4);
    q.bindValue(":v", "four");
    kill(connectionId(c));
    EXPECT_TRUE(q.execWithRetries(VDb::VDbLog, 3)) << q.lastError().text().toStdString();
    EXPECT_EQ(tableText().toStdString(), "4:four");
}

TEST_F(Recovery, QueriesOnTheConnectionsDatabaseKnowItsTransaction)
{
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    const QString insertB = QString("INSERT INTO %1 (id, v) VALUES (2, 'B')").arg(table);
    for (bool prepared : {false, true}) {
        c->beginTransaction();
        insert(c, 1);
        VSafeSqlQuery q(c->getDatabase());
        if (prepared)
            ASSERT_TRUE(q.prepare(insertB));
        kill(connectionId(c));
        failOnce(c);
        const bool ran = prepared ? q.execWithRetries(VDb::VDbLog, 3)
                                  : q.execWithRetries(insertB, VDb::VDbLog, 3);
        EXPECT_FALSE(ran) << (prepared ? "prepared" : "text");
        EXPECT_TRUE(startsWith(vtest::exceptionText([&] { c->commit(); }), "Commit operation failed, reason: "));
        EXPECT_EQ(tableText(), "") << (prepared ? "prepared" : "text");
    }
}

TEST_F(Recovery, ReopenKeepsEveryBoundValue)
{
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    VSafeSqlQuery twice = c->createQuery("twice");
    twice.bindValue(":a", 7);
    VSafeSqlQuery named = c->createQuery("insert");
    named.bindValue(":v", "eight");
    named.bindValue(":id", 8);
    VSafeSqlQuery positional = c->createQuery("positional");
    positional.addBindValue(9);
    positional.addBindValue("nine");
    VSafeSqlQuery mixed = c->createQuery("insert");
    mixed.bindValue(0, 10);
    mixed.bindValue(1, "ten");
    kill(connectionId(c));
    ASSERT_NO_THROW(c->beginTransaction()); // reopens
    for (VSafeSqlQuery* q : {&twice, &named, &positional, &mixed})
        EXPECT_TRUE(q->exec()) << q->lastQuery().toStdString() << ": " << q->lastError().text().toStdString();
    c->commit();
    EXPECT_EQ(tableText(), "7:7 8:eight 9:nine 10:ten");
}

TEST_F(Recovery, ReopenRunsTheStatementLastPrepared)
{
    adminExec(QString("INSERT INTO %1 VALUES (1, 'a'), (2, 'b'), (3, 'c')").arg(table));
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    VSafeSqlQuery q = c->createQuery("del");
    // A helper working on any QSqlQuery prepares it anew.
    QSqlQuery& plain = q;
    ASSERT_TRUE(plain.prepare(QString("INSERT INTO %1 (id, v) VALUES (:id, 'added')").arg(table)));
    plain.bindValue(":id", 2);
    kill(connectionId(c));
    ASSERT_NO_THROW(c->beginTransaction());
    EXPECT_TRUE(q.exec()) << q.lastError().text().toStdString();
    c->commit();
    EXPECT_EQ(tableText(), "1:a 2:added 2:b 3:c");

    // A prepare that failed on a closed connection leaves Qt with the older
    // statement: after the reopen nothing runs, neither statement.
    VSafeSqlQuery del = c->createQuery("del");
    c->getDatabase().close();
    EXPECT_FALSE(del.prepare(QString("INSERT INTO %1 (id, v) VALUES (:id, 'late')").arg(table)));
    del.bindValue(":id", 3);
    EXPECT_FALSE(del.execWithRetries(VDb::VDbLog, 2));
    EXPECT_EQ(del.lastError().text(), "its prepare failed: prepare it again and bind its values statement not prepared");
    EXPECT_TRUE(c->getDatabase().isOpen());
    EXPECT_EQ(tableText(), "1:a 2:added 2:b 3:c");
}

TEST_F(Recovery, PrepareThroughTheBaseClassNeverRunsTheOlderStatement)
{
    adminExec(QString("INSERT INTO %1 VALUES (1, 'a'), (2, 'b'), (3, 'c')").arg(table));
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    for (bool killed : {true, false}) {
        VSafeSqlQuery q = c->createQuery("del");
        if (killed)
            kill(connectionId(c));
        else
            c->getDatabase().close();
        // A helper working on any QSqlQuery: its prepare fails, and on the
        // closed connection Qt keeps the older statement without an error.
        QSqlQuery& plain = q;
        EXPECT_FALSE(plain.prepare(QString("INSERT INTO %1 (id, v) VALUES (:id, 'late')").arg(table)));
        plain.bindValue(":id", 3);
        EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 2));
        EXPECT_EQ(q.lastError().text().toStdString(),
                  "its prepare failed: prepare it again and bind its values statement not prepared");
        EXPECT_EQ(tableText().toStdString(), "1:a 2:b 3:c") << (killed ? "killed" : "closed");
    }
}

TEST_F(Recovery, ValuesBoundByPositionAreBoundAgainByPosition)
{
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    VSafeSqlQuery q(c->getDatabase());
    ASSERT_TRUE(q.prepare(QString("INSERT INTO %1 (id, v) VALUES (1, CONCAT_WS('|', :x, :y, :x))").arg(table)));
    q.bindValue(0, "first");
    q.bindValue(1, "second");
    q.bindValue(2, "third");
    ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
    kill(connectionId(c));
    failOnce(c);
    EXPECT_TRUE(q.execWithRetries(VDb::VDbLog, 3)) << q.lastError().text().toStdString();
    EXPECT_EQ(tableText().toStdString(), "1:first|second|third 1:first|second|third");
}

// Server errors whose text repeats the client's lost-connection message.
TEST_F(Recovery, ServerErrorQuotingTheLostConnectionTextIsNoLoss)
{
    const QString gone = "MySQL server has gone away";
    const QString proc = table + "_p";
    adminExec(QString("ALTER TABLE %1 ADD UNIQUE (v)").arg(table));
    adminExec(QString("INSERT INTO %1 VALUES (0, '%2')").arg(table, gone));
    adminExec(QString("CREATE PROCEDURE %1() BEGIN INSERT INTO %2 VALUES (9, NULL); "
                      "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'upstream server has gone away'; END")
                  .arg(proc, table));
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    VSafeSqlQuery dup = c->createQuery("insert");
    dup.bindValue(":id", 2);
    dup.bindValue(":v", gone);

    // Inside a transaction: the transaction goes on.
    c->beginTransaction();
    insert(c, 1);
    EXPECT_FALSE(dup.exec());
    EXPECT_EQ(dup.lastError().nativeErrorCode(), "1062");
    const std::string prepare = vtest::exceptionText([&] { c->createQuery("quoting"); });
    EXPECT_TRUE(startsWith(prepare, "Sql query prepared failed: You have an error in your SQL syntax")) << prepare;
    EXPECT_NO_THROW(c->commit());

    // A statement the server ran is not run again.
    VSafeSqlQuery call(c->getDatabase());
    EXPECT_FALSE(call.execWithRetries(QString("CALL %1()").arg(proc), VDb::VDbLog, 3));

    // Outside a transaction: the session is kept.
    const qlonglong id = connectionId(c);
    ASSERT_TRUE(QSqlQuery(c->getDatabase()).exec("SET @kept = 5"));
    EXPECT_FALSE(dup.execWithRetries(VDb::VDbLog, 3));
    EXPECT_EQ(connectionId(c), id);
    EXPECT_EQ(scalar(c->getDatabase(), "SELECT @kept").toInt(), 5);

    EXPECT_EQ(tableText().toStdString(), ("0:" + gone + " 1:row 1 9:").toStdString());
    adminExec("DROP PROCEDURE " + proc);
}

TEST_F(Recovery, ReopenSelectsTheDatabaseWhateverItsName)
{
    const QString odd = QString::fromStdString(vtest::uniqueName("v.t`x"));
    QString quoted = odd;
    quoted = "`" + quoted.replace("`", "``") + "`";
    adminExec("CREATE DATABASE " + quoted);
    const QString user = privateUser();
    adminExec(QString("GRANT ALL PRIVILEGES ON %1.* TO '%2'@'127.0.0.1'").arg(quoted, user));
    {
        InitData init = userSettings(user);
        init.name = odd;
        init.xml = QString("<s><statement name='put' sql='INSERT INTO t VALUES (:id)'/></s>");
        VDb db(&init);
        VDbConnectionPtr c = db.getConnection();
        ASSERT_TRUE(QSqlQuery(c->getDatabase()).exec("CREATE TABLE t (id INT) ENGINE=InnoDB"));
        kill(connectionId(c));
        ASSERT_NO_THROW(c->beginTransaction());
        EXPECT_EQ(scalar(c->getDatabase(), "SELECT DATABASE()").toString(), odd);
        VSafeSqlQuery q = c->createQuery("put");
        q.bindValue(":id", 5);
        EXPECT_TRUE(q.exec());
        c->commit();
        EXPECT_EQ(c->getDatabase().databaseName(), odd);
    }
    EXPECT_EQ(scalar(admin(), QString("SELECT GROUP_CONCAT(id) FROM %1.t").arg(quoted)).toString(), "5");
    adminExec("DROP DATABASE " + quoted);
}

TEST_F(Recovery, SessionsKilledUnderLoadCorruptNothing)
{
    const QString user = privateUser();
    InitData init = userSettings(user);
    init.xml = statements();
    VDb db(&init);
    const VDebug::debug_level_t level = VDebug::getDebugLevel(VDb::VDbLog);
    VDebug::setDebugLevel(VDb::VDbLog, VDebug::VERROR); // one warning per retry otherwise

    const int threads = 8;
    std::atomic<bool> stop{false};
    std::atomic<int> kills{0};
    std::vector<std::set<int>> stored(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            int n = 0;
            while (!stop) {
                try {
                    VDbConnectionPtr c = db.getConnection();
                    VSafeSqlQuery q = c->createQuery("insert");
                    for (int k = 0; k < 10 && !stop; ++k) {
                        const int id = t * 1000000 + n++;
                        q.bindValue(":id", id);
                        q.bindValue(":v", "p");
                        if (q.execWithRetries(VDb::VDbLog, 3))
                            stored[t].insert(id);
                    }
                    const int id = t * 1000000 + n++;
                    VSafeSqlQuery text(c->getDatabase());
                    if (text.execWithRetries(QString("INSERT INTO %1 (id, v) VALUES (%2, 't')").arg(table).arg(id),
                                             VDb::VDbLog, 3))
                        stored[t].insert(id);
                } catch (const VException&) {
                    // A failed reopen: the next round tries again.
                }
            }
        });
    }
    std::thread killer([&] {
        const QString name = QString::fromStdString(vtest::uniqueName("killer"));
        {
            QSqlDatabase k = QSqlDatabase::cloneDatabase(adminName, name);
            if (k.open()) {
                QSqlQuery list(k);
                const QString sql =
                    QString("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = '%1'").arg(user);
                for (unsigned turn = 0; !stop; ++turn) {
                    std::vector<qlonglong> ids;
                    if (list.exec(sql))
                        while (list.next())
                            ids.push_back(list.value(0).toLongLong());
                    if (!ids.empty() &&
                        QSqlQuery(k).exec(QString("KILL CONNECTION %1").arg(ids[turn % ids.size()])))
                        ++kills;
                    std::this_thread::sleep_for(std::chrono::milliseconds(3)); // the kill rate
                }
            }
        }
        QSqlDatabase::removeDatabase(name);
    });
    const bool enough = vtest::waitFor([&] { return kills >= 300; }, std::chrono::seconds(60));
    stop = true;
    killer.join();
    for (std::thread& w : workers)
        w.join();
    VDebug::setDebugLevel(VDb::VDbLog, level);
    EXPECT_TRUE(enough) << kills.load() << " kills";

    // Every insert reported done is stored once; none is stored twice.
    std::map<int, int> found;
    QSqlQuery q(admin());
    ASSERT_TRUE(q.exec(QString("SELECT id, COUNT(*) FROM %1 GROUP BY id").arg(table)));
    while (q.next())
        found[q.value(0).toInt()] = q.value(1).toInt();
    size_t done = 0;
    for (int t = 0; t < threads; ++t) {
        done += stored[t].size();
        for (int id : stored[t])
            EXPECT_EQ(found.count(id), 1u) << "id " << id << " reported stored";
    }
    for (const auto& row : found)
        EXPECT_EQ(row.second, 1) << "id " << row.first;
    EXPECT_GT(done, 0u);
}

TEST_F(Recovery, PoolDestroyedWhileAWorkerRunsAQuery)
{
    InitData init = settings();
    std::unique_ptr<VDb> db(new VDb(&init));
    std::atomic<int> step{0}; // 1 iterating, 2 pool gone, 3 worker done
    std::atomic<qlonglong> id{0};
    int seen = 0;
    int counted = -1;
    std::thread worker([&] {
        VDbConnectionPtr c = db->getConnection();
        id = connectionId(c);
        c->beginTransaction();
        for (int i = 1; i <= 20; ++i)
            insert(c, i);
        {
            VSafeSqlQuery all = c->createQuery("all");
            if (all.exec() && all.next()) {
                seen = 1;
                step = 1;
                vtest::waitFor([&] { return step == 2; }, std::chrono::seconds(30));
                while (all.next())
                    ++seen;
            }
            VSafeSqlQuery count = c->createQuery("count");
            if (count.exec() && count.next())
                counted = count.value(0).toInt();
        }
        step = 3;
    });
    ASSERT_TRUE(vtest::waitFor([&] { return step == 1; }, std::chrono::seconds(30)));
    {
        vtest::CaptureFd err(2);
        db.reset();
        EXPECT_NE(err.text().find("ERROR] Connection still held when its pool is destroyed:"), std::string::npos);
    }
    step = 2;
    worker.join();
    EXPECT_EQ(step.load(), 3);
    EXPECT_EQ(seen, 20) << "the worker's query finishes";
    EXPECT_EQ(counted, 20) << "inside its transaction";
    // The worker's handle went with its thread: rolled back and closed.
    EXPECT_TRUE(vtest::waitFor([&] { return !sessionExists(id); }, std::chrono::seconds(10)));
    EXPECT_EQ(tableText(), "");
}

TEST_F(Recovery, EveryFailureTextGivesAReason)
{
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    c->beginTransaction();
    insert(c, 1);
    c->getDatabase().close();
    EXPECT_EQ(vtest::exceptionText([&] { c->createQuery("one"); }),
              "Sql query prepared failed: connection is not open");
    EXPECT_EQ(vtest::exceptionText([&] { c->beginTransaction(); }),
              "Begin transaction operation failed, reason: connection is not open");
    EXPECT_EQ(vtest::exceptionText([&] { c->commit(); }), "Commit operation failed, reason: connection is not open");
    // No transaction is open any more: the next request reopens.
    insert(c, 2);
    EXPECT_EQ(tableText(), "2:row 2");
}

} // namespace

TEST_F(Recovery, RowsAllReadAreNoLossAtAReopen)
{
    InitData init = settings();
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    VSafeSqlQuery count = c->createQuery("count"); // its one row read
    ASSERT_TRUE(count.exec());
    ASSERT_TRUE(count.next());
    VSafeSqlQuery none(c->getDatabase()); // no row to read
    ASSERT_TRUE(none.exec("SELECT 1 FROM DUAL WHERE 1 = 0"));
    VSafeSqlQuery q = c->createQuery("one");
    kill(connectionId(c));
    EXPECT_TRUE(q.execWithRetries(VDb::VDbLog, 3)) << q.lastError().text().toStdString();
    EXPECT_EQ(count.lastError().text().toStdString(), "");
    EXPECT_EQ(none.lastError().text().toStdString(), "");
}
