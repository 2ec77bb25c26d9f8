#include "cpu_features_p.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

struct Features
{
    bool sha = false;
    bool aes = false;
};

Features detect()
{
    Features f;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return f;
    const bool ssse3 = c & (1u << 9);
    const bool sse41 = c & (1u << 19);
    f.aes = ssse3 && (c & (1u << 25));
    if (__get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        f.sha = ssse3 && sse41 && (b & (1u << 29));
    }
#endif
    return f;
}

const Features& features()
{
    static const Features f = detect();
    return f;
}

std::atomic<bool> g_forcePortable(false);

}

namespace VCryptoCpu {

bool cpuHasShaNi() { return features().sha; }
bool cpuHasAesNi() { return features().aes; }

bool useShaNi()
{
    return features().sha && !g_forcePortable.load(std::memory_order_relaxed);
}

bool useAesNi()
{
    return features().aes && !g_forcePortable.load(std::memory_order_relaxed);
}

void forcePortable(bool on)
{
    g_forcePortable.store(on, std::memory_order_relaxed);
}

}
