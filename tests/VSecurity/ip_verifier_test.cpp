// VIpVerifier: loopback, joker, mask syntax and meaning, cache, threads.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "VDebug/debug.h"
#include "VSecurity/ip_verifier.h"
#include "sockutil.h"
#include "testutil.h"

namespace {

in_addr_t ip(const char* text)
{
    in_addr a;
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;
}

// Raises VDebug::STDOUT to VNOTICE and captures standard output meanwhile.
class StdoutLog
{
public:
    StdoutLog() : _old(VDebug::getDebugLevel(VDebug::STDOUT)), _capture(1)
    {
        VDebug::setDebugLevel(VDebug::STDOUT, VDebug::VNOTICE);
    }
    ~StdoutLog() { VDebug::setDebugLevel(VDebug::STDOUT, _old); }
    std::string text() { return _capture.text(); }

private:
    VDebug::debug_level_t _old;
    vtest::CaptureFd _capture;
};

} // namespace

TEST(VIpVerifier, LoopbackIsAlwaysAllowed)
{
    VIpVerifier v(QStringList(), false);
    EXPECT_TRUE(v.verify(ip("127.0.0.1")));
    EXPECT_TRUE(v.verify(ip("127.5.6.7")));
    EXPECT_FALSE(v.verify(ip("10.0.0.1")));
    EXPECT_FALSE(v.verify(ip("128.0.0.127")));
    EXPECT_EQ(v.getConfigString(), QStringLiteral("no IPs are allowed to communicate with this machine!"));
}

TEST(VIpVerifier, JokerAllowsEveryAddressUnlessMasksRemain)
{
    for (const char* joker : {"*", "*.*.*.*", " * "}) {
        VIpVerifier v(QStringList() << QString::fromLatin1(joker), false);
        EXPECT_TRUE(v.verify(ip("10.0.0.1")));
        EXPECT_TRUE(v.verify(ip("203.0.113.9")));
        EXPECT_EQ(v.getConfigString(), QStringLiteral("joker (*) specified - ALL IPs ARE ALLOWED to connect"));
    }
    std::string log;
    {
        StdoutLog out;
        VIpVerifier a(QStringList() << "*" << "10.0.0.1", false);
        VIpVerifier b(QStringList() << "10.0.0.1", true);
        for (VIpVerifier* v : {&a, &b}) {
            EXPECT_TRUE(v->verify(ip("10.0.0.1")));
            EXPECT_FALSE(v->verify(ip("10.0.0.2")));
        }
        log = out.text();
    }
    EXPECT_EQ(vtest::countOf(log, " NOTICE] joker (*) was IGNORED in allowed IPs \n"), 2) << log;
}

TEST(VIpVerifier, BadMasksAreLoggedAndSkipped)
{
    std::string log;
    QString config;
    {
        StdoutLog out;
        VIpVerifier v(QStringList() << " 10.0.0.1 " << "10.0.0" << "10.*.0.1" << "10.0.0.1/33" << "host"
                                    << "10.0.0.300",
                      false);
        config = v.getConfigString();
        EXPECT_TRUE(v.verify(ip("10.0.0.1")));
        log = out.text();
    }
    EXPECT_EQ(config, QStringLiteral("the following IPs/masks are allowed to communicate with this machine: "
                                     "10.0.0.1,10.0.0.300"));
    for (const char* bad : {"10.0.0", "10.*.0.1", "10.0.0.1/33", "host"})
        EXPECT_EQ(vtest::countOf(log, std::string(" WARNING] Error in parsing \" ") + bad
                                 + " \" for allowed IPs. Mask skipped. \n"),
                  1)
            << bad << "\n" << log;
    EXPECT_EQ(vtest::countOf(log, "Error in parsing"), 4);
}

TEST(VIpVerifier, MasksMeanWhatTheirExamplesSay)
{
    struct Case
    {
        const char* mask;
        const char* address;
        bool allowed;
    };
    const Case cases[] = {
        {"192.168.1.*", "192.168.1.0", true},     {"192.168.1.*", "192.168.1.255", true},
        {"192.168.1.*", "192.168.2.1", false},    {"192.168.1.255", "192.168.1.77", true},
        {"192.168.1.255", "192.168.0.77", false}, {"10.1.*.*", "10.1.200.3", true},
        {"10.*.*.*", "10.99.0.1", true},          {"10.*.*.*", "11.0.0.1", false},
        {"10.0.0.0/8", "10.250.1.1", true},       {"10.0.0.0/8", "11.0.0.0", false},
        {"10.1.2.3", "10.1.2.3", true},           {"10.1.2.3", "10.1.2.4", false},
        {"10.1.2.255/24", "10.1.2.9", true},      {"10.1.2.255/24", "10.1.3.9", false},
        {"0.0.0.0/0", "203.0.113.5", true},       {"10.1.2.3/32", "10.1.2.3", true},
        {"10.1.2.128/25", "10.1.2.200", true},    {"10.1.2.128/25", "10.1.2.100", false},
        // 255 is a wildcard only in a trailing run after a plain octet.
        {"10.255.1.1", "10.255.1.1", true},       {"10.255.1.1", "10.255.1.2", false},
        {"10.255.1.*", "10.255.1.7", true},       {"10.255.1.*", "10.255.7.7", false},
        {"10.255.255.255", "10.3.4.5", true},     {"255.255.255.255", "1.2.3.4", false},
        {"255.1.1.1", "255.1.1.1", false},        {"255.0.0.0/8", "255.1.2.3", false},
        // Octets are decimal, never octal.
        {"192.168.010.1", "192.168.10.1", true},  {"192.168.010.1", "192.168.8.1", false},
        {"10.0.0.300", "10.0.0.44", false},       {"10.0.0.99999999999", "10.0.0.1", false},
    };
    for (const Case& c : cases) {
        VIpVerifier v(QStringList() << QString::fromLatin1(c.mask), false);
        EXPECT_EQ(v.verify(ip(c.address)), c.allowed) << c.mask << " / " << c.address;
    }
    VIpVerifier first(QStringList() << "10.0.0.1" << "10.0.0.2", false);
    EXPECT_TRUE(first.verify(ip("10.0.0.2")));
    EXPECT_EQ(first.getConfigString(), QStringLiteral("the following IPs/masks are allowed to communicate with "
                                                      "this machine: 10.0.0.1,10.0.0.2"));
}

TEST(VIpVerifier, MaskChangesEmptyTheCache)
{
    VIpVerifier v(QStringList() << "10.0.0.1", false);
    EXPECT_FALSE(v.verify(ip("10.0.0.2")));
    EXPECT_FALSE(v.verify(ip("10.0.0.2"))); // cached
    v.addMask(QStringLiteral("10.0.0.2"));
    EXPECT_TRUE(v.verify(ip("10.0.0.2")));
    v.resetMasks(QStringList() << "10.0.0.3");
    EXPECT_FALSE(v.verify(ip("10.0.0.1")));
    EXPECT_FALSE(v.verify(ip("10.0.0.2")));
    EXPECT_TRUE(v.verify(ip("10.0.0.3")));
    v.addMasks(QStringList() << "*");
    EXPECT_FALSE(v.verify(ip("10.0.0.9"))); // the joker does not stand beside masks
    v.clear();
    EXPECT_FALSE(v.verify(ip("10.0.0.3")));
    EXPECT_TRUE(v.verify(ip("127.0.0.1")));
    v.addMask(QStringLiteral("*"));
    EXPECT_TRUE(v.verify(ip("10.0.0.9")));
}

TEST(VIpVerifier, ConcurrentVerifyAndMaskChangesAgree)
{
    VIpVerifier v(QStringList() << "10.0.0.0/8", false);
    std::atomic<bool> stop(false);
    std::atomic<int> wrong(0);
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937 rng(t);
            while (!stop) {
                const quint32 host = (10u << 24) | (rng() & 0x3FFFF);
                // 10.x is allowed under every mask list the writer sets.
                if (!v.verify(htonl(host)))
                    ++wrong;
                v.verify(htonl(0xC0000200u | (rng() & 0xFF)));
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        v.resetMasks(QStringList() << "10.*.*.*");
        v.addMask(QStringLiteral("192.0.2.*"));
        v.resetMasks(QStringList() << "10.0.0.0/8");
    }
    stop = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(VIpVerifier, DroppedJokerNeverAllowsOthersWhileMasksChange)
{
    VIpVerifier v(QStringList() << "10.0.0.1", false);
    std::atomic<bool> stop(false);
    std::atomic<int> wrong(0);
    std::thread reader([&] {
        while (!stop) {
            // Verdicts are cached: ask for a fresh address each time.
            for (quint32 i = 0; i < 256 && !stop; ++i)
                if (v.verify(htonl(0xC0000200u | i)))
                    ++wrong;
        }
    });
    // The joker comes first but a mask drops it: 192.0.2.x is never allowed.
    for (int i = 0; i < 2000; ++i)
        v.resetMasks(QStringList() << "*" << "10.0.0.1");
    stop = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(v.verify(htonl(0xC0000201u)));
}
