// The pool's decisions on driver errors, through a scripted in-process
// driver: which failures reopen, how often, and what is run again.
#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlDriverCreator>
#include <QSqlError>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVariant>

#include "VDB/vdbconfigreader.h"
#include "dbtestutil.h"
#include "exception_text.h"

namespace {

struct Failure
{
    int times = 0;
    QString text;
    QString code;
};

struct FakeState
{
    int opens = 0, begins = 0, commits = 0, rollbacks = 0, prepares = 0, execs = 0;
    Failure begin, commit, prepare, exec;
    bool openFails = false;
    QVector<QVariant> lastBound;
};

FakeState& state()
{
    static FakeState s;
    return s;
}

// Consumes one scripted failure; true when the call fails.
bool fails(Failure& f, QSqlError& error)
{
    if (f.times <= 0)
        return false;
    --f.times;
    error = QSqlError("fake driver", f.text, QSqlError::StatementError, f.code);
    return true;
}

class FakeResult : public QSqlResult
{
public:
    explicit FakeResult(const QSqlDriver* d) : QSqlResult(d) {}

protected:
    QVariant data(int) override { return 1; }
    bool isNull(int) override { return false; }
    bool reset(const QString&) override { return run(); }
    bool prepare(const QString&) override
    {
        ++state().prepares;
        QSqlError e;
        if (fails(state().prepare, e)) {
            setLastError(e);
            return false;
        }
        return true;
    }
    bool exec() override { return run(); }
    bool fetch(int) override { return false; }
    bool fetchFirst() override { return false; }
    bool fetchLast() override { return false; }
    int size() override { return 0; }
    int numRowsAffected() override { return 0; }
    QSqlRecord record() const override { return QSqlRecord(); }

private:
    bool run()
    {
        ++state().execs;
        state().lastBound = boundValues();
        QSqlError e;
        if (fails(state().exec, e)) {
            setLastError(e);
            return false;
        }
        setActive(true);
        setSelect(false);
        return true;
    }
};

class FakeDriver : public QSqlDriver
{
public:
    bool hasFeature(DriverFeature f) const override
    {
        return f == Transactions || f == PreparedQueries;
    }
    bool open(const QString&, const QString&, const QString&, const QString&, int,
              const QString&) override
    {
        ++state().opens;
        if (state().openFails) {
            setLastError(QSqlError("QFAKE: Unable to connect", "Access denied, this account is locked",
                                   QSqlError::ConnectionError, "4151"));
            setOpen(false);
            setOpenError(true);
            return false;
        }
        setOpen(true);
        setOpenError(false);
        return true;
    }
    void close() override { setOpen(false); }
    QSqlResult* createResult() const override { return new FakeResult(this); }
    // Like the MySQL driver: a closed connection fails without a new error.
    bool beginTransaction() override { return step(state().begins, state().begin); }
    bool commitTransaction() override { return step(state().commits, state().commit); }
    bool rollbackTransaction() override
    {
        ++state().rollbacks;
        return isOpen();
    }

private:
    bool step(int& counter, Failure& f)
    {
        ++counter;
        if (!isOpen())
            return false;
        QSqlError e;
        if (fails(f, e)) {
            setLastError(e);
            return false;
        }
        return true;
    }
};

void registerFakes()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    QSqlDatabase::registerSqlDriver("QVORNFAKE", new QSqlDriverCreator<FakeDriver>);
    QSqlDatabase::registerSqlDriver("QDB2", new QSqlDriverCreator<FakeDriver>);
}

class VDbFakeDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerFakes();
        state() = FakeState();
        init.type = "QVORNFAKE";
        init.name = "db";
        init.user = "u";
        init.password = "p";
        init.host = "h";
        init.port = 3306;
        init.options = "OPT=1";
        init.xml = "<r><statement name='q' sql='SELECT :a'/></r>";
        pool.reset(new VDb(&init));
        conn = pool->getConnection();
        state().opens = 0;
    }
    void TearDown() override
    {
        conn = VDbConnectionPtr();
        pool.reset();
    }
    static Failure lost(int times, const char* code = "2006")
    {
        Failure f;
        f.times = times;
        f.text = code == QLatin1String("2013") ? "Lost connection to server during query"
                                              : "Server has gone away";
        f.code = code;
        return f;
    }

    vdbtest::InitData init;
    std::unique_ptr<VDb> pool;
    VDbConnectionPtr conn;
};

TEST_F(VDbFakeDriver, LostConnectionIsRecognisedByCodeOrText)
{
    EXPECT_TRUE(vdbIsLostConnection(QSqlError("", "Server has gone away", QSqlError::StatementError, "2006")));
    EXPECT_TRUE(vdbIsLostConnection(
        QSqlError("", "Lost connection to server during query", QSqlError::StatementError, "2013")));
    EXPECT_TRUE(vdbIsLostConnection(QSqlError("x", "MYSQL SERVER HAS GONE AWAY", QSqlError::StatementError)));
    EXPECT_TRUE(vdbIsLostConnection(QSqlError("x", "mysql Server Has Gone Away", QSqlError::StatementError, "99")));
    EXPECT_FALSE(vdbIsLostConnection(QSqlError("", "Access denied for user 'vorn'@'127.0.0.1'",
                                               QSqlError::ConnectionError, "1045")));
    EXPECT_FALSE(vdbIsLostConnection(QSqlError("", "database is locked", QSqlError::StatementError, "5")));
    EXPECT_FALSE(vdbIsLostConnection(
        QSqlError("", "unable to open database file", QSqlError::ConnectionError, "14")));
    EXPECT_FALSE(vdbIsLostConnection(QSqlError()));
}

TEST_F(VDbFakeDriver, BeginTransactionReopensOnceOnALostConnection)
{
    Failure f = lost(1);
    f.code = "";
    f.text = "MYSQL SERVER HAS GONE AWAY";
    state().begin = f;
    EXPECT_NO_THROW(conn->beginTransaction());
    EXPECT_EQ(state().opens, 1);
    EXPECT_EQ(state().begins, 2);
    conn->rollback();

    state() = FakeState();
    state().begin = lost(2, "2013");
    EXPECT_EQ(vtest::exceptionText([&] { conn->beginTransaction(); }),
              "Begin transaction operation failed, reason: Lost connection to server during query fake driver");
    EXPECT_EQ(state().opens, 1);
    EXPECT_EQ(state().begins, 2);

    state() = FakeState();
    state().begin.times = 1;
    state().begin.text = "Deadlock found";
    state().begin.code = "1213";
    EXPECT_EQ(vtest::exceptionText([&] { conn->beginTransaction(); }),
              "Begin transaction operation failed, reason: Deadlock found fake driver");
    EXPECT_EQ(state().opens, 0);
    EXPECT_EQ(state().begins, 1);
}

TEST_F(VDbFakeDriver, FailedReopenIsTheLatestError)
{
    state().begin = lost(1);
    state().openFails = true;
    EXPECT_EQ(vtest::exceptionText([&] { conn->beginTransaction(); }),
              "Begin transaction operation failed, reason: Access denied, this account is locked "
              "QFAKE: Unable to connect");
    EXPECT_EQ(state().opens, 1);
}

TEST_F(VDbFakeDriver, CommitNeverRetries)
{
    conn->beginTransaction();
    state().commit = lost(1);
    EXPECT_EQ(vtest::exceptionText([&] { conn->commit(); }),
              "Commit operation failed, reason: Server has gone away fake driver");
    EXPECT_EQ(state().commits, 1);
    EXPECT_EQ(state().opens, 0);
    EXPECT_FALSE(VDbTestAccess::inTransaction(conn));
}

TEST_F(VDbFakeDriver, CreateQueryReopensOnceOutsideTransactions)
{
    state().prepare = lost(1, "2013");
    VSafeSqlQuery q = conn->createQuery("q");
    EXPECT_EQ(state().opens, 1);
    EXPECT_EQ(state().prepares, 2);

    state() = FakeState();
    state().prepare = lost(2);
    EXPECT_EQ(vtest::exceptionText([&] { conn->createQuery("q"); }),
              "Sql query prepared failed: Server has gone away fake driver");
    EXPECT_EQ(state().opens, 1);
}

TEST_F(VDbFakeDriver, LostTransactionIsNeverReopenedAndCommitFails)
{
    conn->beginTransaction();
    state().prepare = lost(1);
    EXPECT_EQ(vtest::exceptionText([&] { conn->createQuery("q"); }),
              "Sql query prepared failed: Server has gone away fake driver");
    EXPECT_EQ(state().opens, 0) << "no silent reopen inside a transaction";
    // Even a commit the server would accept reports the lost work.
    EXPECT_EQ(vtest::exceptionText([&] { conn->commit(); }),
              "Commit operation failed, reason: Server has gone away fake driver");
    EXPECT_EQ(state().commits, 0);
    EXPECT_FALSE(VDbTestAccess::inTransaction(conn));

    // The same through a statement's own run, and through a second BEGIN.
    VSafeSqlQuery q = conn->createQuery("q");
    conn->beginTransaction();
    state().exec = lost(1);
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 5));
    EXPECT_EQ(state().opens, 0);
    state().begin = lost(1);
    EXPECT_THROW(conn->beginTransaction(), VException);
    EXPECT_EQ(state().opens, 0);
    EXPECT_THROW(conn->commit(), VException);
}

TEST_F(VDbFakeDriver, ExecWithRetriesRetriesOnlyWhenTheServerNeverGotIt)
{
    VSafeSqlQuery q = conn->createQuery("q");
    q.bindValue(":a", 42);
    state().exec = lost(2);
    {
        vdbtest::LogCapture log;
        EXPECT_TRUE(q.execWithRetries(VDb::VDbLog, 3));
        const std::string text = log.text();
        EXPECT_NE(text.find("WARNING] Lost database connection, attempt 2 of 3 failed:"), std::string::npos)
            << text;
    }
    EXPECT_EQ(state().execs, 3);
    EXPECT_EQ(state().opens, 2);
    EXPECT_EQ(state().prepares, 3) << "prepared again after each reopen";
    ASSERT_EQ(state().lastBound.size(), 1);
    EXPECT_EQ(state().lastBound.at(0).toInt(), 42) << "and bound again";

    // A prepare that fails again after a reopen keeps the bound values.
    state() = FakeState();
    state().exec = lost(1);
    state().prepare = lost(1);
    EXPECT_TRUE(q.execWithRetries(VDb::VDbLog, 3));
    EXPECT_EQ(state().opens, 2);
    ASSERT_EQ(state().lastBound.size(), 1);
    EXPECT_EQ(state().lastBound.at(0).toInt(), 42);

    state() = FakeState();
    state().exec = lost(5);
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 2));
    EXPECT_EQ(state().execs, 2) << "attempts count the first run";

    state() = FakeState();
    state().exec = lost(1, "2013");
    EXPECT_FALSE(q.execWithRetries(VDb::VDbLog, 3));
    EXPECT_EQ(state().execs, 1) << "outcome unknown after 2013: never run twice";
    EXPECT_EQ(state().opens, 0);

    state() = FakeState();
    state().exec = lost(2);
    EXPECT_FALSE(q.exec());
    EXPECT_FALSE(q.exec("SELECT 2"));
    EXPECT_EQ(state().execs, 2);
    EXPECT_EQ(state().opens, 0) << "plain exec never retries";

    state() = FakeState();
    state().exec = lost(1);
    EXPECT_TRUE(q.execWithRetries("SELECT 3", VDb::VDbLog, 2));
    EXPECT_EQ(state().execs, 2);
}

TEST_F(VDbFakeDriver, StatementPreparedBeforeAReopenIsPreparedAgain)
{
    VSafeSqlQuery a = conn->createQuery("q");
    a.bindValue(":a", 7);
    state().prepare = lost(1);
    VSafeSqlQuery b = conn->createQuery("q"); // reopens the connection
    ASSERT_EQ(state().opens, 1);
    const int prepares = state().prepares;
    EXPECT_TRUE(a.exec());
    EXPECT_EQ(state().prepares, prepares + 1);
    ASSERT_EQ(state().lastBound.size(), 1);
    EXPECT_EQ(state().lastBound.at(0).toInt(), 7);
    EXPECT_TRUE(a.exec());
    EXPECT_EQ(state().prepares, prepares + 1) << "only once";
}

TEST_F(VDbFakeDriver, SettingsGoToTheBaseConnectionByDriver)
{
    QSqlDatabase base = QSqlDatabase::database(pool->getBaseConnName(), false);
    EXPECT_EQ(base.databaseName(), "db");
    EXPECT_EQ(base.userName(), "u");
    EXPECT_EQ(base.password(), "p");
    EXPECT_EQ(base.hostName(), "h");
    EXPECT_EQ(base.port(), 3306);
    EXPECT_EQ(base.connectOptions(), "OPT=1");
    EXPECT_EQ(pool->getConnectOpts(), "OPT=1");
    EXPECT_EQ(pool->getPort(), 3306u);

    init.type = "QDB2";
    {
        VDb db2(&init);
        QSqlDatabase b2 = QSqlDatabase::database(db2.getBaseConnName(), false);
        EXPECT_EQ(b2.databaseName(), "db");
        EXPECT_EQ(b2.userName(), "u");
        EXPECT_EQ(b2.hostName(), "h");
        EXPECT_EQ(b2.port(), 3306);
        EXPECT_EQ(b2.connectOptions(), "");
    }
    vtest::TempDir dir;
    init.type = "QSQLITE";
    init.name = QString::fromStdString(dir.file("s.sqlite"));
    {
        VDb lite(&init);
        QSqlDatabase b3 = QSqlDatabase::database(lite.getBaseConnName(), false);
        EXPECT_EQ(b3.databaseName(), init.name);
        EXPECT_EQ(b3.userName(), "");
        EXPECT_EQ(b3.hostName(), "");
        EXPECT_EQ(b3.port(), -1);
        EXPECT_EQ(b3.connectOptions(), "");
    }
}

} // namespace
