// Parse and write throughput of VJsonReader/VJsonWriter against QJsonDocument,
// nlohmann/json and RapidJSON on three generated ASCII documents, with a
// count of heap allocations per value.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

#include <VIO/json_reader.h>
#include <VIO/json_value.h>
#include <VIO/json_writer.h>

// Counts every allocation of the process (the libraries' included).
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
static unsigned long long g_allocations = 0;
extern "C" void* malloc(size_t n)
{
    ++g_allocations;
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m)
{
    ++g_allocations;
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n)
{
    ++g_allocations;
    return __libc_realloc(p, n);
}

namespace {

struct Document
{
    const char* name;
    std::string text;
    long values = 0;
};

// Doubles with twelve decimals and integers, in rows of ten.
Document numbers(size_t size)
{
    Document d{"numbers", "[", 1};
    std::mt19937_64 rng(1);
    char buf[64];
    while (d.text.size() < size) {
        d.text += d.values > 1 ? ",[" : "[";
        for (int i = 0; i < 10; ++i) {
            if (i % 2)
                std::snprintf(buf, sizeof buf, "%.12f", double(rng() % 2000000) / 1000.0 - 1000.0 + 1e-12 * double(rng() % 1000));
            else
                std::snprintf(buf, sizeof buf, "%d", int(rng() % 2000000) - 1000000);
            d.text += (i ? "," : "");
            d.text += buf;
        }
        d.text += "]";
        d.values += 11;
    }
    d.text += "]";
    return d;
}

// Strings of words with some escapes.
Document strings(size_t size)
{
    Document d{"strings", "[", 1};
    std::mt19937_64 rng(2);
    static const char* const words[] = {"alpha", "beta", "gamma", "delta", "x", "lorem ipsum", "\\n", "\\\"q\\\"",
                                        "\\\\", "\\t", "path\\/to", "\\u0041"};
    while (d.text.size() < size) {
        d.text += d.values > 1 ? ",\"" : "\"";
        for (int i = int(rng() % 12) + 2; i > 0; --i) {
            d.text += words[rng() % 12];
            d.text += ' ';
        }
        d.text += "\"";
        ++d.values;
    }
    d.text += "]";
    return d;
}

// Records: objects with nested objects and arrays, four levels deep.
Document records(size_t size)
{
    Document d{"records", "[", 1};
    std::mt19937_64 rng(3);
    char buf[512];
    while (d.text.size() < size) {
        std::snprintf(buf, sizeof buf,
                      "%s{\"id\":%d,\"name\":\"user%d\",\"active\":%s,\"score\":%.3f,\"tags\":[\"a\",\"b%d\"],"
                      "\"address\":{\"city\":\"City%d\",\"zip\":\"%05d\",\"geo\":{\"lat\":%.4f,\"lon\":%.4f}},"
                      "\"parent\":null}",
                      d.values > 1 ? "," : "", int(rng() % 1000000), int(rng() % 10000), rng() % 2 ? "true" : "false",
                      double(rng() % 100000) / 1000.0, int(rng() % 100), int(rng() % 500), int(rng() % 100000),
                      double(rng() % 180000) / 1000.0 - 90.0, double(rng() % 360000) / 1000.0 - 180.0);
        d.text += buf;
        d.values += 17;
    }
    d.text += "]";
    return d;
}

const size_t kSize = 4 << 20;

Document& doc(int which)
{
    static Document* docs[3] = {};
    if (!docs[which])
        docs[which] = new Document(which == 0 ? numbers(kSize) : which == 1 ? strings(kSize) : records(kSize));
    return *docs[which];
}

// Allocations of one run of f, per value of the document.
template <class F>
double allocationsPerValue(const Document& d, F f)
{
    const unsigned long long before = g_allocations;
    f();
    return double(g_allocations - before) / double(d.values);
}

void finish(benchmark::State& state, const Document& d, double allocations)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.text.size()));
    state.counters["allocs/value"] = allocations;
}

// ---------------------------------------------------------------- parse

void parseVorn(benchmark::State& state, int which, bool decode)
{
    const Document& d = doc(which);
    const QString text = QString::fromLatin1(d.text.data(), int(d.text.size()));
    const QByteArray bytes(d.text.data(), int(d.text.size()));
    auto once = [&] {
        VJsonReader reader(0, 10);
        VJsonValue v;
        int errors = decode ? reader.parse(QString::fromUtf8(bytes), &v) : reader.parse(text, &v);
        if (errors)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(v.size());
    };
    for (auto _ : state)
        once();
    finish(state, d, allocationsPerValue(d, once));
}

void parseQt(benchmark::State& state, int which)
{
    const Document& d = doc(which);
    const QByteArray bytes(d.text.data(), int(d.text.size()));
    auto once = [&] {
        QJsonDocument v = QJsonDocument::fromJson(bytes);
        if (v.isNull())
            state.SkipWithError("parse failed");
    };
    for (auto _ : state)
        once();
    finish(state, d, allocationsPerValue(d, once));
}

void parseNlohmann(benchmark::State& state, int which)
{
    const Document& d = doc(which);
    auto once = [&] {
        nlohmann::json v = nlohmann::json::parse(d.text);
        benchmark::DoNotOptimize(v.size());
    };
    for (auto _ : state)
        once();
    finish(state, d, allocationsPerValue(d, once));
}

void parseRapid(benchmark::State& state, int which)
{
    const Document& d = doc(which);
    auto once = [&] {
        rapidjson::Document v;
        v.Parse(d.text.c_str());
        if (v.HasParseError())
            state.SkipWithError("parse failed");
    };
    for (auto _ : state)
        once();
    finish(state, d, allocationsPerValue(d, once));
}

// ---------------------------------------------------------------- write
// Throughput is counted in bytes of the source document; output is UTF-8.

void writeVorn(benchmark::State& state, int which)
{
    const Document& d = doc(which);
    VJsonValue v;
    VJsonReader(0, 10).parse(QString::fromLatin1(d.text.data(), int(d.text.size())), &v);
    auto once = [&] {
        VJsonWriter writer(0, 0, 0);
        QString out;
        writer.write(v, out);
        benchmark::DoNotOptimize(out.toUtf8().size());
    };
    for (auto _ : state)
        once();
    finish(state, d, allocationsPerValue(d, once));
}

void writeQt(benchmark::State& state, int which)
{
    const Document& d = doc(which);
    const QJsonDocument v = QJsonDocument::fromJson(QByteArray(d.text.data(), int(d.text.size())));
    auto once = [&] { benchmark::DoNotOptimize(v.toJson(QJsonDocument::Compact).size()); };
    for (auto _ : state)
        once();
    finish(state, d, allocationsPerValue(d, once));
}

void writeNlohmann(benchmark::State& state, int which)
{
    const Document& d = doc(which);
    const nlohmann::json v = nlohmann::json::parse(d.text);
    auto once = [&] { benchmark::DoNotOptimize(v.dump().size()); };
    for (auto _ : state)
        once();
    finish(state, d, allocationsPerValue(d, once));
}

void writeRapid(benchmark::State& state, int which)
{
    const Document& d = doc(which);
    rapidjson::Document v;
    v.Parse(d.text.c_str());
    auto once = [&] {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        v.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetSize());
    };
    for (auto _ : state)
        once();
    finish(state, d, allocationsPerValue(d, once));
}

void registerAll()
{
    static const char* const names[] = {"numbers", "strings", "records"};
    for (int which = 0; which < 3; ++which) {
        const std::string n = names[which];
        benchmark::RegisterBenchmark(("parse/vorn/" + n).c_str(), parseVorn, which, false);
        benchmark::RegisterBenchmark(("parse/vorn+fromUtf8/" + n).c_str(), parseVorn, which, true);
        benchmark::RegisterBenchmark(("parse/qt/" + n).c_str(), parseQt, which);
        benchmark::RegisterBenchmark(("parse/nlohmann/" + n).c_str(), parseNlohmann, which);
        benchmark::RegisterBenchmark(("parse/rapidjson/" + n).c_str(), parseRapid, which);
        benchmark::RegisterBenchmark(("write/vorn/" + n).c_str(), writeVorn, which);
        benchmark::RegisterBenchmark(("write/qt/" + n).c_str(), writeQt, which);
        benchmark::RegisterBenchmark(("write/nlohmann/" + n).c_str(), writeNlohmann, which);
        benchmark::RegisterBenchmark(("write/rapidjson/" + n).c_str(), writeRapid, which);
    }
}

} // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
