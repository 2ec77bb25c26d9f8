#define OPENSSL_SUPPRESS_DEPRECATED
#include <redist/arc4/arc4.h>

#include "crypto_test_util.h"
#include "testutil.h"

#include <cstring>

#include <openssl/rc4.h>

using namespace ctest;

namespace {

Bytes keystream(const Bytes& key, size_t n)
{
    Bytes k = key;
    Bytes out(n, 0);
    arc4_context ctx;
    arc4_setup(&ctx, k.data(), int(k.size()));
    arc4_crypt(&ctx, out.data(), int(n));
    return out;
}

Bytes opensslKeystream(const Bytes& key, size_t n)
{
    RC4_KEY rk;
    RC4_set_key(&rk, int(key.size()), key.data());
    Bytes zero(n, 0), out(n);
    RC4(&rk, n, zero.data(), out.data());
    return out;
}

}

TEST(Arc4, PublishedVectors)
{
    const Bytes key = fromHex("0123456789abcdef");
    Bytes buf = fromHex("0123456789abcdef");
    arc4_context ctx;
    Bytes k = key;
    arc4_setup(&ctx, k.data(), 8);
    arc4_crypt(&ctx, buf.data(), 8);
    EXPECT_EQ(toHex(buf), "75b7878099e0c596");
    EXPECT_EQ(toHex(keystream(key, 8)), "7494c2e7104b0879");
    EXPECT_EQ(toHex(keystream(Bytes(8, 0), 8)), "de188941a3375d3a");
}

// RFC 6229: keys 01 02 03 ... of 5 to 32 bytes, key stream at the offsets
// 0, 16, 240, 256, ... 4096 (checked in full against OpenSSL).
TEST(Arc4, Rfc6229KeyStreams)
{
    EXPECT_EQ(toHex(keystream(fromHex("0102030405"), 16)), "b2396305f03dc027ccc3524a0a1118a8");
    for (size_t len : { 5, 7, 8, 10, 16, 24, 32 }) {
        Bytes key(len);
        for (size_t i = 0; i < len; ++i)
            key[i] = uint8_t(i + 1);
        const Bytes ours = keystream(key, 4112);
        const Bytes ref = opensslKeystream(key, 4112);
        for (size_t off : { 0, 16, 240, 256, 496, 512, 752, 768, 1008, 1024, 1520, 1536, 2032,
                            2048, 3056, 3072, 4080, 4096 })
            ASSERT_EQ(toHex(ours.data() + off, 16), toHex(ref.data() + off, 16))
                << "key " << len << " offset " << off;
    }
}

TEST(Arc4, MatchesOpenSslOnRandomKeysAndLengths)
{
    std::mt19937 rng(4);
    for (int i = 0; i < 100; ++i) {
        Bytes key = randomBytes(rng, 1 + rng() % 256);
        const size_t n = 1 + rng() % 10000;
        Bytes data = randomBytes(rng, n);
        Bytes ref(n);
        RC4_KEY rk;
        RC4_set_key(&rk, int(key.size()), key.data());
        RC4(&rk, n, data.data(), ref.data());
        arc4_context ctx;
        arc4_setup(&ctx, key.data(), int(key.size()));
        arc4_crypt(&ctx, data.data(), int(n));
        ASSERT_EQ(data, ref) << i;
    }
}

TEST(Arc4, StreamContinuesAcrossCallsAndRestoresBuffer)
{
    Bytes key = fromHex("0102030405060708");
    std::mt19937 rng(9);
    const Bytes plain = randomBytes(rng, 16);

    Bytes once = plain;
    arc4_context ctx;
    arc4_setup(&ctx, key.data(), 8);
    arc4_crypt(&ctx, once.data(), 16);

    for (int first : { 8, 10 }) {
        Bytes split = plain;
        arc4_setup(&ctx, key.data(), 8);
        arc4_crypt(&ctx, split.data(), first);
        arc4_crypt(&ctx, split.data() + first, 0);
        arc4_crypt(&ctx, split.data() + first, -3);
        arc4_crypt(&ctx, split.data() + first, 16 - first);
        EXPECT_EQ(split, once) << first;
    }
    arc4_setup(&ctx, key.data(), 8);
    arc4_crypt(&ctx, once.data(), 16);
    EXPECT_EQ(once, plain);
}

TEST(Arc4, ShortKeysUseTheFirstByteOnly)
{
    unsigned char zero = 0;
    arc4_context a, b;
    arc4_setup(&a, &zero, 0);
    arc4_setup(&b, &zero, 1);
    EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
    arc4_setup(&b, &zero, -7);
    EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(keystream(Bytes(1, 0), 64), opensslKeystream(Bytes(1, 0), 64));
}

// A context holding garbage must not index outside its table.
TEST(Arc4, GarbageContextStaysInBounds)
{
    arc4_context ctx;
    memset(&ctx, 0xFF, sizeof ctx);
    unsigned char buf[64] = {};
    arc4_crypt(&ctx, buf, 64);
    EXPECT_GE(ctx.x, 0);
    EXPECT_LE(ctx.x, 255);
    EXPECT_GE(ctx.y, 0);
    EXPECT_LE(ctx.y, 255);
}

TEST(Arc4, SelfTestPrintsReport)
{
    vtest::CaptureFd out(1);
    const int rc = arc4_self_test();
    EXPECT_EQ(out.text(),
              "  ARC4 test #1: passed\n  ARC4 test #2: passed\n  ARC4 test #3: passed\n\n");
    EXPECT_EQ(rc, 0);
}
