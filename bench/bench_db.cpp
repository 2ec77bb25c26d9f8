// A named statement through the pool (take a connection, prepare, bind,
// run, read, give back) against the same work on a bare QSqlQuery, on an
// SQLite file; and the cost of taking and giving back a warm connection.
// Compare both sides in one run, interleaved, e.g.
//   bench_db --benchmark_repetitions=12 --benchmark_enable_random_interleaving=true
//            --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextStream>
#include <QVariant>

#include <VDB/vdb.h>

namespace {

const int ROWS = 1000;
const char* const SELECT_SQL = "SELECT v FROM t WHERE id = :id";

struct Fixture : VDbInitData
{
    std::string dir;
    QString file;
    QString xml;
    QTextStream stream;
    std::unique_ptr<VDb> pool;

    Fixture() : stream(&xml, QIODevice::ReadOnly)
    {
        std::string tmpl = "/tmp/vornbench.XXXXXX";
        if (!mkdtemp(&tmpl[0]))
            std::abort();
        dir = tmpl;
        file = QString::fromStdString(dir + "/bench.sqlite");
        xml = QString("<s><statement name='byId' sql='%1'/></s>").arg(SELECT_SQL);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bench_fill");
            db.setDatabaseName(file);
            db.open();
            QSqlQuery q(db);
            q.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
            db.transaction();
            q.prepare("INSERT INTO t VALUES (?, ?)");
            for (int i = 0; i < ROWS; ++i) {
                q.addBindValue(i);
                q.addBindValue(QString("value %1").arg(i));
                q.exec();
            }
            db.commit();
        }
        QSqlDatabase::removeDatabase("bench_fill");
        pool.reset(new VDb(this));
        pool->getConnection(); // warm: one connection in the free list
    }
    ~Fixture()
    {
        pool.reset();
        QDir(QString::fromStdString(dir)).removeRecursively();
    }
    QString getDbType() override { return "QSQLITE"; }
    QString getDbName() override { return file; }
    QTextStream* getQueriesXml() override { return &stream; }
};

Fixture* fixture;

// The fastest repetition: on a busy machine the least disturbed one.
double fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

void BM_PoolNamedStatement(benchmark::State& state)
{
    int i = 0;
    for (auto _ : state) {
        VDbConnectionPtr c = fixture->pool->getConnection();
        VSafeSqlQuery q = c->createQuery("byId");
        q.bindValue(":id", i++ % ROWS);
        q.exec();
        q.next();
        benchmark::DoNotOptimize(q.value(0));
    }
}
BENCHMARK(BM_PoolNamedStatement)->ComputeStatistics("min", fastest);

void BM_BareQSqlQuery(benchmark::State& state)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bench_bare");
        db.setDatabaseName(fixture->file);
        db.open();
        int i = 0;
        for (auto _ : state) {
            QSqlQuery q(db);
            q.prepare(SELECT_SQL);
            q.bindValue(":id", i++ % ROWS);
            q.exec();
            q.next();
            benchmark::DoNotOptimize(q.value(0));
        }
    }
    QSqlDatabase::removeDatabase("bench_bare");
}
BENCHMARK(BM_BareQSqlQuery)->ComputeStatistics("min", fastest);

void BM_PoolTakeAndGiveBack(benchmark::State& state)
{
    for (auto _ : state) {
        VDbConnectionPtr c = fixture->pool->getConnection();
        benchmark::DoNotOptimize(c.Get());
    }
}
BENCHMARK(BM_PoolTakeAndGiveBack);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    fixture = new Fixture;
    benchmark::RunSpecifiedBenchmarks();
    delete fixture;
    benchmark::Shutdown();
    return 0;
}
