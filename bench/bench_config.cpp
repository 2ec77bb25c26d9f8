// Loading a 10,000-key php.ini file: plain text read (baseline), the parser,
// and a values manager with as many declared defaults; setting again keys
// that already have a value, in a parser and through a values manager.
#include <unistd.h>

#include <cstdio>
#include <string>

#include <QFile>
#include <QTextStream>

#include <benchmark/benchmark.h>

#include <VIO/ini_file_values_manager.h>
#include <VIO/php_ini_parser.h>

namespace {

const int KEYS = 10000;

struct IniFile
{
    QString path;
    IniFile()
    {
        char tmpl[] = "/tmp/bench_config_XXXXXX";
        const int fd = mkstemp(tmpl);
        path = QString::fromLatin1(tmpl);
        std::string text = "; generated\n[section]\n";
        for (int i = 0; i < KEYS; ++i)
            text += "section.key" + std::to_string(i) + " = \"value number " + std::to_string(i)
                    + "\" ; comment\n";
        if (fd >= 0) {
            if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                std::perror("write");
            close(fd);
        }
    }
    ~IniFile() { QFile::remove(path); }
};

IniFile& iniFile()
{
    static IniFile file;
    return file;
}

void BM_ReadTextOnly(benchmark::State& state)
{
    for (auto _ : state) {
        QFile f(iniFile().path);
        f.open(QIODevice::ReadOnly | QIODevice::Text);
        QTextStream s(&f);
        QString text = s.readAll();
        benchmark::DoNotOptimize(text.split(QChar('\n')).size());
    }
}
BENCHMARK(BM_ReadTextOnly)->Unit(benchmark::kMillisecond);

void BM_ParserAddFile(benchmark::State& state)
{
    for (auto _ : state) {
        VPhpIniParser parser(QStringList(QString("")), nullptr);
        parser.addFile(iniFile().path);
        benchmark::DoNotOptimize(parser.value("section.key9999"));
    }
}
BENCHMARK(BM_ParserAddFile)->Unit(benchmark::kMillisecond);

void BM_ValuesManager(benchmark::State& state)
{
    QHash<QString, VParameterDescriptor> descriptors;
    for (int i = 0; i < KEYS; ++i) {
        const QString name = QString("declared%1").arg(i);
        descriptors.insert(name, VParameterDescriptor(QVariant::String, name, "d"));
    }
    for (auto _ : state) {
        VIniFileValuesManager manager(QStringList(iniFile().path), descriptors);
        benchmark::DoNotOptimize(manager.getValuesList().size());
    }
}
BENCHMARK(BM_ValuesManager)->Unit(benchmark::kMillisecond);

void BM_ParserSetStoredKeys(benchmark::State& state)
{
    const int keys = int(state.range(0));
    QStringList names;
    for (int i = 0; i < keys; ++i)
        names.append(QString("key%1").arg(i));
    for (auto _ : state) {
        state.PauseTiming();
        VPhpIniParser parser(QStringList(QString("")), nullptr);
        for (const QString& name : names)
            parser.setString(name, "old");
        state.ResumeTiming();
        for (const QString& name : names)
            parser.setString(name, "new");
        benchmark::DoNotOptimize(parser.value(names.last()));
    }
}
BENCHMARK(BM_ParserSetStoredKeys)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_ManagerSetFileKeys(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        VIniFileValuesManager manager(QStringList(iniFile().path), QHash<QString, VParameterDescriptor>());
        state.ResumeTiming();
        for (int i = 0; i < KEYS; ++i)
            manager.setValue(QString("section.key%1").arg(i), "set");
        benchmark::DoNotOptimize(manager.getValue("section.key0"));
    }
}
BENCHMARK(BM_ManagerSetFileKeys)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
