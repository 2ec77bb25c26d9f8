// A main() for the fuzz targets without libFuzzer: runs every file of the
// corpus directories (or the single files) given, then a bounded number of
// deterministic mutations of them. A crash, a hang or an exception other
// than VException leaves the input that caused it in "crash-replay-<target>"
// (a leak is only reported at exit, without its input).
//
//   fuzz_<name> [--runs=N] [--seconds=S] [--seed=N] <dir or file>...
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <VCore/eintr_p.h>
#include <VCore/vexception.h>

#include "fuzz_target.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VFUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VFUZZ_ASAN 1
#endif
#ifdef VFUZZ_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

typedef std::vector<uint8_t> Input;

// splitmix64: the same sequence on every platform and library.
class Rng
{
public:
    explicit Rng(uint64_t seed) : _state(seed) {}
    uint64_t next()
    {
        uint64_t z = (_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return n ? size_t(next() % n) : 0; }

private:
    uint64_t _state;
};

// Bytes the text parsers treat specially, inserted more often than noise.
const char INTERESTING[] = "<>/=\"';[]{}:,\\&#!?-\n\r\t \0\xEF\xBB\xBF\xC3\xFF";

std::string g_target;
const Input* g_current = nullptr;

std::string g_crashFile;

// Also runs from signal handlers: only async-signal-safe calls.
void saveCurrent()
{
    const Input* input = g_current;
    if (!input)
        return;
    g_current = nullptr;
    const int fd
        = vRetryOnEintr([] { return ::open(g_crashFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); });
    if (fd < 0)
        return;
    size_t done = 0;
    while (done < input->size()) {
        const ssize_t n
            = vRetryOnEintr([&] { return ::write(fd, input->data() + done, input->size() - done); });
        if (n <= 0)
            break;
        done += size_t(n);
    }
    ::close(fd);
    static const char note[] = "replay: the failing input is saved in ";
    (void)!::write(2, note, sizeof note - 1);
    (void)!::write(2, g_crashFile.c_str(), g_crashFile.size());
    (void)!::write(2, "\n", 1);
}

// One input running this long counts as a hang (VFUZZ_HANG_SECONDS per target).
#ifdef VFUZZ_HANG_SECONDS
constexpr unsigned HANG_SECONDS = VFUZZ_HANG_SECONDS;
#else
constexpr unsigned HANG_SECONDS = 10;
#endif

void onHang(int)
{
    static const char note[] = "replay: one input ran for more than the hang limit\n";
    (void)!::write(2, note, sizeof note - 1);
    saveCurrent();
    ::_exit(1);
}

void onFatalSignal(int sig)
{
    saveCurrent();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// QFile opens close-on-exec, unlike std::ifstream.
bool readFile(const QString& path, Input* out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    out->assign(data.constBegin(), data.constEnd());
    return true;
}

void collect(const std::string& path, std::vector<Input>* corpus)
{
    const QFileInfo info(QString::fromLocal8Bit(path.c_str()));
    QStringList files;
    if (info.isDir()) {
        const QDir dir(info.filePath());
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name))
            files << dir.filePath(name);
    } else {
        files << info.filePath();
    }
    for (const QString& file : files) {
        Input input;
        if (!readFile(file, &input)) {
            std::fprintf(stderr, "replay: can't read %s\n", qPrintable(file));
            std::exit(2);
        }
        corpus->push_back(input);
    }
}

void runOne(const Input& input)
{
    g_current = &input;
    ::alarm(HANG_SECONDS);
    try {
        LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    } catch (const VException&) {
        // The one exception the library may throw on bad input.
    } catch (const std::exception& e) {
        std::fprintf(stderr, "replay: unexpected exception: %s\n", e.what());
        saveCurrent();
        std::exit(1);
    } catch (...) {
        std::fprintf(stderr, "replay: unexpected exception of unknown type\n");
        saveCurrent();
        std::exit(1);
    }
    ::alarm(0);
    g_current = nullptr;
}

void mutate(Input& in, const std::vector<Input>& corpus, Rng& rng)
{
    const int edits = 1 + int(rng.below(6));
    for (int i = 0; i < edits; ++i) {
        const size_t at = rng.below(in.size() + 1);
        // One edit in 1024 repeats a range, for targets with a raised size limit
        // only (the others keep their sequence of mutations).
        const bool big = vfuzz::MAX_INPUT_BYTES > vfuzz::DEFAULT_MAX_INPUT_BYTES;
        switch (big && rng.below(1024) == 0 ? 6 : rng.below(6)) {
        case 0: // flip one bit
            if (!in.empty())
                in[rng.below(in.size())] ^= uint8_t(1u << rng.below(8));
            break;
        case 1: // truncate
            in.resize(rng.below(in.size() + 1));
            break;
        case 2: // insert a special or random byte
            in.insert(in.begin() + at, rng.below(2) ? uint8_t(INTERESTING[rng.below(sizeof INTERESTING - 1)])
                                                    : uint8_t(rng.next()));
            break;
        case 3: { // duplicate a range at a random place
            if (in.empty())
                break;
            const size_t from = rng.below(in.size());
            const size_t len = 1 + rng.below(std::min<size_t>(in.size() - from, 64));
            const Input chunk(in.begin() + from, in.begin() + from + len);
            in.insert(in.begin() + rng.below(in.size() + 1), chunk.begin(), chunk.end());
            break;
        }
        case 4: { // erase a range
            if (in.empty())
                break;
            const size_t from = rng.below(in.size());
            in.erase(in.begin() + from, in.begin() + from + 1 + rng.below(std::min<size_t>(in.size() - from, 16)));
            break;
        }
        case 5: { // splice in a piece of another corpus file
            const Input& other = corpus[rng.below(corpus.size())];
            if (other.empty())
                break;
            const size_t from = rng.below(other.size());
            const size_t len = 1 + rng.below(std::min<size_t>(other.size() - from, 64));
            in.insert(in.begin() + at, other.begin() + from, other.begin() + from + len);
            break;
        }
        default: { // repeat a short range up to the size limit: costs that grow faster than the input show
            if (in.empty())
                break;
            const size_t from = rng.below(in.size());
            const size_t len = 1 + rng.below(std::min<size_t>(in.size() - from, 16));
            const Input chunk(in.begin() + from, in.begin() + from + len);
            const size_t times = 1 + rng.below((vfuzz::MAX_INPUT_BYTES - std::min(in.size(), vfuzz::MAX_INPUT_BYTES)) / len / 2 + 1);
            Input repeated;
            repeated.reserve(len * times);
            for (size_t t = 0; t < times; ++t)
                repeated.insert(repeated.end(), chunk.begin(), chunk.end());
            in.insert(in.begin() + from + len, repeated.begin(), repeated.end());
            break;
        }
        }
    }
    if (in.size() > vfuzz::MAX_INPUT_BYTES)
        in.resize(vfuzz::MAX_INPUT_BYTES);
}

bool option(const char* arg, const char* name, unsigned long long* value)
{
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0)
        return false;
    char* end = nullptr;
    *value = std::strtoull(arg + n, &end, 10);
    if (!*(arg + n) || *end) {
        std::fprintf(stderr, "replay: bad option %s\n", arg);
        std::exit(2);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    g_target = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName().toStdString();
    g_crashFile = "crash-replay-" + g_target;
#ifdef VFUZZ_ASAN
    __sanitizer_set_death_callback(saveCurrent);
#endif
    // ASan reports SIGSEGV itself and then calls saveCurrent.
    for (int sig : {SIGABRT, SIGILL, SIGFPE, SIGBUS})
        ::signal(sig, onFatalSignal);
#ifndef VFUZZ_ASAN
    ::signal(SIGSEGV, onFatalSignal);
#endif
    ::signal(SIGALRM, onHang);
    unsigned long long runs = 20000;
    unsigned long long seconds = 5;
    unsigned long long seed = 0x5EED;
    std::vector<Input> corpus;
    for (int i = 1; i < argc; ++i) {
        if (option(argv[i], "--runs=", &runs) || option(argv[i], "--seconds=", &seconds)
            || option(argv[i], "--seed=", &seed))
            continue;
        collect(argv[i], &corpus);
    }
    if (corpus.empty())
        corpus.push_back(Input());
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);

    for (const Input& input : corpus)
        runOne(input);

    // Mutations start from the short inputs: a long one (a seed that shows
    // reading time) runs once above, and long repeats come from the mutator.
    std::vector<const Input*> bases;
    for (const Input& input : corpus) {
        if (input.size() <= vfuzz::DEFAULT_MAX_INPUT_BYTES)
            bases.push_back(&input);
    }
    if (bases.empty())
        bases.push_back(&corpus.front());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    Rng rng(seed);
    unsigned long long done = 0;
    for (; done < runs && std::chrono::steady_clock::now() < deadline; ++done) {
        Input input = *bases[rng.below(bases.size())];
        mutate(input, corpus, rng);
        runOne(input);
    }
    std::printf("%s: %zu corpus inputs, %llu mutations, no failure\n", g_target.c_str(), corpus.size(), done);
    return 0;
}
