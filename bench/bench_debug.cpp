// Log lines per second: a registered VDebug file stream against spdlog's
// basic file sink writing the same text with a flush after every line.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <VCore/semunix.h>
#include <VDebug/debug.h>

namespace {

std::string benchDir()
{
    static std::string dir = [] {
        std::string tmpl = "/tmp/vornbench.XXXXXX";
        if (!mkdtemp(&tmpl[0]))
            std::abort();
        return tmpl;
    }();
    return dir;
}

const char* kItem1 = "request";
const char* kItem2 = "served from cache for client";
const int kItem3 = 123456;

void BM_VDebugFileLine(benchmark::State& state)
{
    static VDebug::StreamId id = [] {
        VDebug::StreamId s = VDebug::registerStream("bench", (benchDir() + "/vdebug.log").c_str());
        VDebug::setDebugLevel(s, VDebug::VNOTICE);
        return s;
    }();
    for (auto _ : state)
        VNOTICE(id) << kItem1 << kItem2 << kItem3 << endl;
    state.SetItemsProcessed(state.iterations());
}

// The same stream with size rotation armed at a limit it never reaches.
void BM_VDebugFileLineRotationArmed(benchmark::State& state)
{
    static VDebug::StreamId id = [] {
        setenv("VORN_TMPDIR", benchDir().c_str(), 1);
        VDebug::StreamId s = VDebug::registerStream("bench", (benchDir() + "/armed.log").c_str());
        VDebug::setDebugLevel(s, VDebug::VNOTICE);
        VDebug::setRotationSize(s, 1 << 20);
        std::atexit([] { VSemaphore(1, "armed_rotationSem").remove(); });
        return s;
    }();
    for (auto _ : state)
        VNOTICE(id) << kItem1 << kItem2 << kItem3 << endl;
    state.SetItemsProcessed(state.iterations());
}

std::shared_ptr<spdlog::logger> makeLogger(const char* name, bool mt)
{
    const std::string path = benchDir() + "/" + name + ".log";
    std::shared_ptr<spdlog::logger> l;
    if (mt)
        l = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::basic_file_sink_mt>(path));
    else
        l = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::basic_file_sink_st>(path));
    l->set_pattern("[%n %d.%m.%Y %H:%M:%S %l] %v");
    l->flush_on(spdlog::level::trace);
    return l;
}

void BM_SpdlogFileLine(benchmark::State& state)
{
    static auto st = makeLogger("spdlog_st", false);
    static auto mt = makeLogger("spdlog_mt", true);
    spdlog::logger* l = state.threads() == 1 ? st.get() : mt.get();
    for (auto _ : state)
        l->info("{} {} {} ", kItem1, kItem2, kItem3);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_VDebugFileLine)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_VDebugFileLineRotationArmed)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_SpdlogFileLine)->Threads(1)->Threads(4)->UseRealTime();

BENCHMARK_MAIN();
