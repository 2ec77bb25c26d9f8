// A pool of SQLite connections: named statements from XML, a transaction,
// connection handles going back to the pool, and a temporary connection.
#include <iostream>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTextStream>

#include <VCore/vexception.h>
#include <VDB/vdb.h>

namespace {

class DemoSettings : public VDbInitData
{
public:
    DemoSettings(const QString& file, QString* xml) : _file(file), _xml(xml, QIODevice::ReadOnly) {}
    QString getDbType() override { return "QSQLITE"; }
    QString getDbName() override { return _file; }
    QTextStream* getQueriesXml() override { return &_xml; }

private:
    QString _file;
    QTextStream _xml;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv); // Qt loads its SQL drivers through it
    QTemporaryDir dir;
    QString statements(
        "<statements>"
        "  <statement name='create' sql='CREATE TABLE fruit (name TEXT, count INTEGER)'/>"
        "  <statement name='add' sql='INSERT INTO fruit VALUES (:name, :count)'/>"
        "  <statement name='list' sql='SELECT name, count FROM fruit ORDER BY name'/>"
        "</statements>");
    DemoSettings settings(dir.filePath("demo.sqlite"), &statements);
    VDb pool(&settings);

    try {
        {
            VDbConnectionPtr conn = pool.getConnection();
            std::cout << "got " << conn->getDatabase().connectionName().toStdString() << std::endl;
            conn->createQuery("create").exec();

            conn->beginTransaction();
            const char* names[] = {"pear", "apple", "plum"};
            for (int i = 0; i < 3; ++i) {
                VSafeSqlQuery add = conn->createQuery("add");
                add.bindValue(":name", names[i]);
                add.bindValue(":count", i + 1);
                add.exec();
            }
            conn->commit();

            conn->beginTransaction();
            VSafeSqlQuery add = conn->createQuery("add");
            add.bindValue(":name", "lost");
            add.bindValue(":count", 0);
            add.exec();
            std::cout << "leaving a transaction open; the pool rolls it back" << std::endl;
        }

        VDbConnectionPtr again = pool.getConnection();
        std::cout << "got " << again->getDatabase().connectionName().toStdString()
                  << " again from the free list" << std::endl;
        VSafeSqlQuery list = again->createQuery("list");
        list.exec();
        while (list.next())
            std::cout << "  " << list.value(0).toString().toStdString() << " = "
                      << list.value(1).toInt() << std::endl;
        list = VSafeSqlQuery(); // queries go before their handle

        VDbConnectionPtr temp = pool.getTemporaryConnection();
        std::cout << "temporary " << temp->getDatabase().connectionName().toStdString()
                  << " is closed with its last handle" << std::endl;

        again->createQuery("nonexistent");
    } catch (const VException& e) {
        std::cout << "caught: " << e.what() << std::endl;
    }
    return 0;
}
