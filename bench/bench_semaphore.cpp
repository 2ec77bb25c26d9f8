// Uncontended lock/unlock: VOneLockSemaphore against the two raw semop
// calls, and VMutexLocker against a raw recursive pthread mutex.
#include <benchmark/benchmark.h>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <QDir>

#include "VCore/mutex.h"
#include "VCore/semunix.h"

namespace {

struct SemDir
{
    std::string path;
    SemDir()
    {
        char tmpl[] = "/tmp/vornbench.XXXXXX";
        path = mkdtemp(tmpl);
        setenv("VORN_TMPDIR", path.c_str(), 1);
    }
    ~SemDir() { QDir(QString::fromStdString(path)).removeRecursively(); }
};

std::string benchName() { return "bench_" + std::to_string(getpid()); }

void BM_OneLockSemaphore(benchmark::State& state)
{
    SemDir dir;
    VOneLockSemaphore sem(benchName().c_str());
    for (auto _ : state) {
        sem.acquire();
        sem.release();
    }
    VSemaphore(1, benchName().c_str()).remove();
}
BENCHMARK(BM_OneLockSemaphore);

void BM_RawSemop(benchmark::State& state)
{
    const int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    semctl(id, 0, SETVAL, 1);
    struct sembuf down = {0, -1, SEM_UNDO};
    struct sembuf up = {0, 1, SEM_UNDO};
    for (auto _ : state) {
        semop(id, &down, 1);
        semop(id, &up, 1);
    }
    semctl(id, 0, IPC_RMID);
}
BENCHMARK(BM_RawSemop);

void BM_VMutexLocker(benchmark::State& state)
{
    VMutex m;
    for (auto _ : state) {
        VMutexLocker lock(&m);
        benchmark::DoNotOptimize(&m);
    }
}
BENCHMARK(BM_VMutexLocker);

void BM_RawRecursiveMutex(benchmark::State& state)
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t m;
    pthread_mutex_init(&m, &a);
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        benchmark::DoNotOptimize(&m);
        pthread_mutex_unlock(&m);
    }
    pthread_mutex_destroy(&m);
    pthread_mutexattr_destroy(&a);
}
BENCHMARK(BM_RawRecursiveMutex);

} // namespace

BENCHMARK_MAIN();
