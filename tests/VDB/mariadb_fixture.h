// The MariaDB fixture of the database tests: the server the VornMariaDb
// fixture (scripts/mariadb-test-server.sh) started, an admin session, a
// table of the test's own and ways to drop sessions for real.
#ifndef VORNLIB_TESTS_VDB_MARIADB_FIXTURE_H
#define VORNLIB_TESTS_VDB_MARIADB_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>

#include "dbtestutil.h"

namespace vdbtest {


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
inline Server loadServer(const std::string& dir)
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
inline bool serverScript(const QString& command, const QString& dir)
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

// A server of the test's own, for tests that stop or reconfigure it;
// stopped when it goes. Its data lies on disk, not in TMPDIR.
struct PrivateServer
{
    vtest::TempDir dir{false, vtest::Space::Large};
    QString path = dir.qpath() + "/server";
    bool started = serverScript("start", path);
    Server server = loadServer(path.toStdString());
    ~PrivateServer() { serverScript("stop", path); }
};

class MariaDb : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The server of this ctest run's fixture; the environment may name
        // another.
        const char* named = std::getenv("VORN_MARIADB_DIR");
        const char* run = std::getenv("VORN_TEST_RUN");
        const std::string dir = named ? named : std::string(run ? run : ".") + "/mariadb";
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
            for (const QString& user : users)
                QSqlQuery(admin()).exec(QString("DROP USER '%1'@'127.0.0.1'").arg(user));
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

    // A user of this test alone, over TCP, so that its sessions can be
    // killed without touching another test's; dropped by TearDown.
    QString privateUser()
    {
        const QString user = QString::fromStdString(vtest::uniqueName("u"));
        adminExec(QString("CREATE USER '%1'@'127.0.0.1' IDENTIFIED BY 'pw'").arg(user));
        adminExec(QString("GRANT ALL PRIVILEGES ON vorntest.* TO '%1'@'127.0.0.1'").arg(user));
        users << user;
        return user;
    }

    InitData userSettings(const QString& user)
    {
        InitData d = tcpSettings();
        d.user = user;
        d.password = "pw";
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
    QStringList users;
};

} // namespace vdbtest

#endif
