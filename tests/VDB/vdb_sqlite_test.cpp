#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "VDB/vdbconfigreader.h"
#include "dbtestutil.h"

namespace {

using vdbtest::InitData;
using vdbtest::LogCapture;
using vdbtest::SqlitePool;
using vdbtest::scalar;

int rowCount(const QString& file)
{
    const QString name = QString::fromStdString(vtest::uniqueName("check"));
    int n = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(file);
        if (db.open())
            n = scalar(db, "SELECT COUNT(*) FROM t").toInt();
    }
    QSqlDatabase::removeDatabase(name);
    return n;
}

void createTable(VDb& pool)
{
    VDbConnectionPtr c = pool.getConnection();
    VSafeSqlQuery q = c->createQuery("create");
    ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
}

TEST(VDb, ReleasedConnectionsAreReusedLastFirst)
{
    SqlitePool p;
    VDb& db = *p.pool;
    VDbConnection* a;
    VDbConnection* b;
    {
        VDbConnectionPtr ha = db.getConnection();
        VDbConnectionPtr hb = db.getConnection();
        a = ha.Get();
        b = hb.Get();
        EXPECT_NE(a, b);
        EXPECT_EQ(VDbTestAccess::usedCount(db), 2);
        ha = VDbConnectionPtr();
        hb = VDbConnectionPtr();
    }
    EXPECT_EQ(VDbTestAccess::freeCount(db), 2);
    VDbConnectionPtr first = db.getConnection();
    VDbConnectionPtr second = db.getConnection();
    EXPECT_EQ(first.Get(), b);
    EXPECT_EQ(second.Get(), a);
    EXPECT_EQ(VDbTestAccess::freeCount(db), 0);

    // Releasing a free or unknown connection changes nothing.
    second = VDbConnectionPtr();
    VDbConnection stray(QSqlDatabase(), &db, nullptr, false);
    LogCapture log;
    db.releaseConnection(a);
    db.releaseConnection(nullptr);
    db.releaseConnection(&stray);
    EXPECT_EQ(VDbTestAccess::freeCount(db), 1);
    EXPECT_EQ(VDbTestAccess::usedCount(db), 1);
    EXPECT_NE(log.text().find("Connection released twice:"), std::string::npos);
}

TEST(VDb, ConnectionNamesCountAcrossPools)
{
    LogCapture log;
    SqlitePool p1;
    SqlitePool p2;
    VDbConnectionPtr a = p1.pool->getConnection();
    VDbConnectionPtr b = p2.pool->getConnection();
    const QString na = a->getDatabase().connectionName();
    const QString nb = b->getDatabase().connectionName();
    ASSERT_TRUE(na.startsWith("VDb_Connection_"));
    EXPECT_EQ(nb, "VDb_Connection_" + QString::number(na.mid(15).toInt() + 1));
    const std::string text = log.text();
    EXPECT_NE(text.find("DBG1] " + nb.toStdString() + " \n"), std::string::npos) << text;
    EXPECT_TRUE(p1.pool->getBaseConnName().startsWith("baseConnection"));
    EXPECT_NE(p1.pool->getBaseConnName(), p2.pool->getBaseConnName());
}

// Checks in a fresh child process (this test once more, marked by the
// environment), where no pool has made a name yet.
TEST(VDb, FirstNameOfAProcessIsOne)
{
    if (std::getenv("VORN_VDB_FRESH_CHILD")) {
        SqlitePool p;
        VDbConnectionPtr c = p.pool->getConnection();
        EXPECT_EQ(c->getDatabase().connectionName(), "VDb_Connection_1");
        return;
    }
    const char* bin = std::getenv("VORN_TEST_BIN");
    ASSERT_NE(bin, nullptr) << "VORN_TEST_BIN not set";
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VORN_VDB_FRESH_CHILD", "1");
    child.setProcessEnvironment(env);
    child.start(QString::fromLocal8Bit(bin), {"--gtest_filter=VDb.FirstNameOfAProcessIsOne"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray out = child.readAllStandardOutput();
    EXPECT_EQ(child.exitCode(), 0) << out.constData();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.constData();
}

TEST(VDb, FailedOpenNamesTheFileAndLeavesNothingBehind)
{
    InitData init;
    init.type = "QSQLITE";
    init.name = "/nonexistent-dir/x.sqlite";
    init.xml = vdbtest::statementsXml();
    VDb db(&init);
    const int names = QSqlDatabase::connectionNames().size();
    try {
        db.getConnection();
        FAIL() << "no exception";
    } catch (const VException& e) {
        EXPECT_STREQ(e.what(), "Failed to allocate connection, reason: unable to open database file "
                               "Error opening database in db /nonexistent-dir/x.sqlite");
        EXPECT_EQ(e.getLine(), 0u);
    }
    EXPECT_FALSE(db.testConnection());
    EXPECT_THROW(db.getTemporaryConnection(), VException);
    EXPECT_EQ(VDbTestAccess::freeCount(db), 0);
    EXPECT_EQ(VDbTestAccess::usedCount(db), 0);
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), names);
}

TEST(VDb, TestConnectionLeavesNoRegistration)
{
    SqlitePool p;
    const int names = QSqlDatabase::connectionNames().size();
    EXPECT_TRUE(p.pool->testConnection());
    EXPECT_TRUE(p.pool->testConnection());
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), names);
    EXPECT_EQ(VDbTestAccess::freeCount(*p.pool), 0);
}

TEST(VDb, TemporaryConnectionIsOutsideThePoolAndRollsBack)
{
    SqlitePool p;
    createTable(*p.pool);
    LogCapture log;
    QString name;
    {
        VDbConnectionPtr t = p.pool->getTemporaryConnection();
        name = t->getDatabase().connectionName();
        EXPECT_TRUE(t->isTemporary());
        EXPECT_EQ(VDbTestAccess::usedCount(*p.pool), 0);
        EXPECT_EQ(VDbTestAccess::freeCount(*p.pool), 1);
        t->beginTransaction();
        VSafeSqlQuery q = t->createQuery("insert");
        q.bindValue(":id", 1);
        q.bindValue(":v", "uncommitted");
        ASSERT_TRUE(q.exec());
        // The query goes before its handle: after that Qt forgets the name.
    }
    const std::string text = log.text();
    EXPECT_NE(text.find("DBG3] Allocating temporary connection " + name.toStdString()), std::string::npos) << text;
    EXPECT_NE(text.find("DBG3] Deleting temporary connection " + name.toStdString()), std::string::npos) << text;
    EXPECT_FALSE(QSqlDatabase::contains(name));
    EXPECT_EQ(rowCount(p.init.name), 0);
    EXPECT_EQ(VDbTestAccess::freeCount(*p.pool), 1);
}

TEST(VDb, NamedStatementsBindAndRun)
{
    SqlitePool p;
    createTable(*p.pool);
    VDbConnectionPtr c = p.pool->getConnection();
    c->beginTransaction();
    for (int i = 1; i <= 3; ++i) {
        VSafeSqlQuery q = c->createQuery("insert");
        q.bindValue(":id", i);
        q.bindValue(":v", QString("v%1").arg(i));
        ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
    }
    c->commit();
    VSafeSqlQuery q = c->createQuery("byId");
    q.bindValue(":id", 2);
    ASSERT_TRUE(q.exec());
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toString(), "v2");

    try {
        c->createQuery("x");
        FAIL();
    } catch (const VException& e) {
        EXPECT_STREQ(e.what(), "No such query: x");
    }
    VDbConnection bare(c->getDatabase(), p.pool.get(), nullptr, false);
    try {
        bare.createQuery("x");
        FAIL();
    } catch (const VException& e) {
        EXPECT_STREQ(e.what(), "NULL ConfigReader, can not create SqlQuery");
    }
}

TEST(VDb, BadStatementTextFailsToPrepare)
{
    SqlitePool p;
    QString xml("<r><statement name='bad' sql='SELEKT nothing'/></r>");
    QTextStream s(&xml, QIODevice::ReadOnly);
    VDbConfigReader::instance()->parse(&s);
    VDbConnectionPtr c = p.pool->getConnection();
    try {
        c->createQuery("bad");
        FAIL();
    } catch (const VException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Sql query prepared failed: ", 0), 0u) << e.what();
    }
}

TEST(VDb, TransactionsCommitAndRollBack)
{
    SqlitePool p;
    createTable(*p.pool);
    VDbConnectionPtr c = p.pool->getConnection();
    c->beginTransaction();
    EXPECT_TRUE(VDbTestAccess::inTransaction(c));
    VSafeSqlQuery q = c->createQuery("insert");
    q.bindValue(":id", 1);
    q.bindValue(":v", "kept");
    ASSERT_TRUE(q.exec());
    c->commit();
    EXPECT_FALSE(VDbTestAccess::inTransaction(c));
    c->beginTransaction();
    q.bindValue(":id", 2);
    q.bindValue(":v", "dropped");
    ASSERT_TRUE(q.exec());
    c->rollback();
    EXPECT_EQ(rowCount(p.init.name), 1);

    try {
        c->commit();
        FAIL() << "commit without a transaction";
    } catch (const VException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Commit operation failed, reason: ", 0), 0u) << e.what();
    }
    c->beginTransaction();
    try {
        c->beginTransaction();
        FAIL();
    } catch (const VException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Begin transaction operation failed, reason: cannot start a transaction within a "
                  "transaction Unable to begin transaction");
    }
    c->rollback();
}

TEST(VDb, ReleaseRollsBackAnOpenTransaction)
{
    SqlitePool p;
    createTable(*p.pool);
    VDbConnection* first;
    {
        VDbConnectionPtr c = p.pool->getConnection();
        first = c.Get();
        c->beginTransaction();
        VSafeSqlQuery q = c->createQuery("insert");
        q.bindValue(":id", 1);
        q.bindValue(":v", "half done");
        ASSERT_TRUE(q.exec());
    }
    VDbConnectionPtr next = p.pool->getConnection();
    ASSERT_EQ(next.Get(), first);
    EXPECT_FALSE(VDbTestAccess::inTransaction(next));
    EXPECT_NO_THROW(next->beginTransaction());
    next->commit();
    EXPECT_EQ(rowCount(p.init.name), 0);
}

TEST(VDb, DestructionRemovesEveryRegistration)
{
    const int names = QSqlDatabase::connectionNames().size();
    {
        SqlitePool p;
        createTable(*p.pool);
        VDbConnectionPtr a = p.pool->getConnection();
        VDbConnectionPtr b = p.pool->getConnection();
        EXPECT_TRUE(QSqlDatabase::contains(p.pool->getBaseConnName()));
        EXPECT_EQ(QSqlDatabase::connectionNames().size(), names + 3);
    }
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), names);
}

TEST(VDb, HandleThatOutlivesItsPoolIsSafe)
{
    const int names = QSqlDatabase::connectionNames().size();
    SqlitePool p;
    createTable(*p.pool);
    VDbConnectionPtr late = p.pool->getConnection();
    VDbConnectionPtr temporary = p.pool->getTemporaryConnection();
    late->beginTransaction();
    {
        VSafeSqlQuery q = late->createQuery("insert");
        q.bindValue(":id", 1);
        q.bindValue(":v", "orphan");
        ASSERT_TRUE(q.exec());
    }
    {
        vtest::CaptureFd err(2);
        p.pool.reset();
        EXPECT_NE(err.text().find("ERROR] Connection still held when its pool is destroyed:"),
                  std::string::npos);
    }
    EXPECT_EQ(late->getVdb(), nullptr);
    EXPECT_EQ(temporary->getVdb(), nullptr);
    {
        // Both still work until their last handle goes.
        VSafeSqlQuery q = late->createQuery("count");
        ASSERT_TRUE(q.exec() && q.next());
        EXPECT_EQ(q.value(0).toInt(), 1);
    }
    EXPECT_EQ(scalar(temporary->getDatabase(), "SELECT COUNT(*) FROM t").toInt(), 0);
    late = VDbConnectionPtr();
    temporary = VDbConnectionPtr();
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), names);
    EXPECT_EQ(rowCount(p.init.name), 0);
}

TEST(VDb, HandlesMayGoWhileThePoolIsDestroyed)
{
    const int names = QSqlDatabase::connectionNames().size();
    for (int round = 0; round < 20; ++round) {
        SqlitePool p;
        createTable(*p.pool);
        const int threads = 4;
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::atomic<int> failures{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                VDbConnectionPtr c = t == 0 ? p.pool->getTemporaryConnection() : p.pool->getConnection();
                c->beginTransaction();
                {
                    // One writer: SQLite lets the readers share the file.
                    VSafeSqlQuery q = c->createQuery(t == 1 ? "insert" : "count");
                    q.bindValue(":id", round);
                    q.bindValue(":v", "held");
                    if (!q.exec())
                        ++failures;
                }
                ++ready;
                while (!go)
                    std::this_thread::yield();
                c = VDbConnectionPtr();
            });
        }
        const bool all = vtest::waitFor([&] { return ready == threads; });
        {
            vtest::CaptureFd err(2);
            go = true;
            p.pool.reset();
        }
        for (std::thread& w : workers)
            w.join();
        ASSERT_TRUE(all);
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(rowCount(p.init.name), 0) << "every transaction rolled back";
        EXPECT_EQ(QSqlDatabase::connectionNames().size(), names);
    }
}

TEST(VDb, ThrowingSettingsAreLoggedAndLaterRequestsThrow)
{
    InitData init;
    init.type = "QSQLITE";
    init.name = "/tmp/never.sqlite";
    init.throwIn = "getDbName";
    vtest::CaptureFd err(2);
    VDb db(&init);
    const std::string text = err.text();
    EXPECT_NE(text.find("ERROR] Failed to initialize database layer, reason:  settings unavailable \n"),
              std::string::npos)
        << text;
    EXPECT_EQ(db.getDbType(), "QSQLITE");
    EXPECT_TRUE(db.getDbName().isNull());
    EXPECT_THROW(db.getConnection(), VException);
    EXPECT_FALSE(db.testConnection());
}

TEST(VDb, PoolWithoutStatementsStreamStillConnects)
{
    vtest::TempDir dir;
    struct NoXml : InitData
    {
        QTextStream* getQueriesXml() override { return nullptr; }
    } init;
    init.type = "QSQLITE";
    init.name = QString::fromStdString(dir.file("n.sqlite"));
    VDb db(&init);
    VDbConnectionPtr c = db.getConnection();
    EXPECT_TRUE(c->getDatabase().isOpen());
}

TEST(VDb, ThreadsTakeAndGiveBackConcurrently)
{
    SqlitePool p;
    createTable(*p.pool);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                try {
                    VDbConnectionPtr c = p.pool->getConnection();
                    VSafeSqlQuery q = c->createQuery("one");
                    if (!q.exec() || !q.next() || q.value(0).toInt() != 1)
                        ++failures;
                } catch (const VException&) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(VDbTestAccess::usedCount(*p.pool), 0);
    EXPECT_LE(VDbTestAccess::freeCount(*p.pool), 8);
    EXPECT_GE(VDbTestAccess::freeCount(*p.pool), 1);
}

TEST(VDb, ConnectionsCanBeMadeInAnotherThread)
{
    SqlitePool p;
    createTable(*p.pool);
    bool ok = false;
    std::thread worker([&] {
        VDbConnectionPtr c = p.pool->getConnection();
        VSafeSqlQuery q = c->createQuery("count");
        ok = q.exec() && q.next() && q.value(0).toInt() == 0;
    });
    worker.join();
    EXPECT_TRUE(ok);
}

} // namespace
