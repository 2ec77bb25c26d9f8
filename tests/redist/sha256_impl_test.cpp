#include <redist/sha256/sha256_impl.h>

#include "crypto_test_util.h"

#include <cstring>

using namespace ctest;

namespace {

std::string shaHex(const uint8_t* p, size_t n)
{
    vorn_SHA256_ctx ctx;
    uint8_t out[32];
    SHA256_init(&ctx);
    SHA256_update(&ctx, p, sha256_word32_t(n));
    SHA256_final(&ctx);
    SHA256_digest(&ctx, out);
    return toHex(out, 32);
}

std::string shaHex(const std::string& s)
{
    return shaHex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

}

TEST(Sha256Impl, Fips180Examples)
{
    forEachPath([] {
        EXPECT_EQ(shaHex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        EXPECT_EQ(shaHex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_EQ(shaHex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
        const std::string million(1000000, 'a');
        EXPECT_EQ(shaHex(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }, false);
}

TEST(Sha256Impl, MatchesOpenSslAtBlockBoundariesAndRandomLengths)
{
    forEachPath([] {
        std::mt19937 rng(180);
        const Bytes data = randomBytes(rng, 10001);
        for (size_t n = 0; n <= 200; ++n)
            ASSERT_EQ(shaHex(data.data(), n), toHex(opensslDigest(EVP_sha256(), data.data(), n))) << n;
        for (int i = 0; i < 200; ++i) {
            const size_t n = 1 + rng() % 10000;
            ASSERT_EQ(shaHex(data.data(), n), toHex(opensslDigest(EVP_sha256(), data.data(), n))) << n;
        }
        EXPECT_EQ(shaHex(data.data() + 1, 999),
                  toHex(opensslDigest(EVP_sha256(), data.data() + 1, 999)));
    }, false);
}

TEST(Sha256Impl, SplitFeedingEqualsOneShotAndKeepsMlenBelow64)
{
    forEachPath([] {
        std::mt19937 rng(256);
        const Bytes data = randomBytes(rng, 1000);
        for (size_t cut = 0; cut <= 300; ++cut) {
            vorn_SHA256_ctx ctx;
            uint8_t out[32];
            SHA256_init(&ctx);
            SHA256_update(&ctx, data.data(), sha256_word32_t(cut));
            ASSERT_LT(ctx.mlen, 64);
            ASSERT_EQ(ctx.mlen, cut % 64);
            SHA256_update(&ctx, data.data() + cut, 0);
            SHA256_update(&ctx, data.data() + cut, sha256_word32_t(300 - cut));
            SHA256_final(&ctx);
            SHA256_digest(&ctx, out);
            ASSERT_EQ(toHex(out, 32), shaHex(data.data(), 300)) << cut;
        }
        for (int round = 0; round < 200; ++round) {
            const size_t len = rng() % 1001;
            vorn_SHA256_ctx ctx;
            uint8_t out[32];
            SHA256_init(&ctx);
            for (size_t pos = 0; pos < len;) {
                size_t piece = rng() % 3 == 0 ? 64 - pos % 64 : rng() % 130;
                piece = std::min(piece, len - pos);
                SHA256_update(&ctx, data.data() + pos, sha256_word32_t(piece));
                ASSERT_LT(ctx.mlen, 64);
                pos += piece;
            }
            SHA256_final(&ctx);
            SHA256_digest(&ctx, out);
            ASSERT_EQ(toHex(out, 32), shaHex(data.data(), len)) << len;
        }
    }, false);
}

TEST(Sha256Impl, DigestWritesBigEndianAndIgnoresNull)
{
    vorn_SHA256_ctx ctx;
    SHA256_init(&ctx);
    SHA256_update(&ctx, "abc", 3);
    SHA256_final(&ctx);
    const vorn_SHA256_ctx before = ctx;
    SHA256_digest(&ctx, nullptr);
    EXPECT_EQ(memcmp(&before, &ctx, sizeof ctx), 0);
    uint8_t out[32];
    SHA256_digest(&ctx, out);
    uint32_t first;
    memcpy(&first, out, 4);
    EXPECT_EQ(ctx.H[0], __builtin_bswap32(first)); // little-endian host
    EXPECT_EQ(ctx.H[0], 0xba7816bfu);
}

// A 63-byte message leaves no room after the marker; finishing twice and
// updating afterwards must stay inside M.
TEST(Sha256Impl, FinalTwiceThenUpdateStaysInBounds)
{
    forEachPath([] {
        const Bytes msg(63, 'x');
        const Bytes more(100, 'y');
        vorn_SHA256_ctx ctx;
        SHA256_init(&ctx);
        SHA256_update(&ctx, msg.data(), 63);
        SHA256_final(&ctx);
        uint8_t first[32], second[32];
        SHA256_digest(&ctx, first);
        EXPECT_EQ(toHex(first, 32), toHex(opensslDigest(EVP_sha256(), msg.data(), 63)));
        SHA256_final(&ctx);
        EXPECT_LT(ctx.mlen, 64);
        SHA256_digest(&ctx, second);
        EXPECT_NE(toHex(first, 32), toHex(second, 32));
        SHA256_update(&ctx, more.data(), 100);
        EXPECT_LT(ctx.mlen, 64);
        SHA256_final(&ctx);
    }, false);
}

TEST(Sha256Impl, InitCopiesTheWritableInitialValue)
{
    const sha256_word32_t saved = H[0];
    H[0] = 0x01020304;
    vorn_SHA256_ctx ctx;
    SHA256_init(&ctx);
    H[0] = saved;
    EXPECT_EQ(ctx.H[0], 0x01020304u);
    SHA256_init(&ctx);
    EXPECT_EQ(ctx.H[0], 0x6a09e667u);
}

// 2^29 + 1 bytes: the bit count carries into hbits.
TEST(Sha256Impl, LengthCarryPastTwoToThe32Bits)
{
    const Bytes chunk(1 << 20, 'q');
    vorn_SHA256_ctx ctx;
    SHA256_init(&ctx);
    EVP_MD_CTX* ref = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ref, EVP_sha256(), nullptr);
    for (int i = 0; i < 512; ++i) {
        SHA256_update(&ctx, chunk.data(), sha256_word32_t(chunk.size()));
        EVP_DigestUpdate(ref, chunk.data(), chunk.size());
    }
    SHA256_update(&ctx, chunk.data(), 1);
    EVP_DigestUpdate(ref, chunk.data(), 1);
    EXPECT_EQ(ctx.hbits, 1u);
    EXPECT_EQ(ctx.lbits, 8u);
    SHA256_final(&ctx);
    uint8_t out[32], expect[32];
    SHA256_digest(&ctx, out);
    EVP_DigestFinal_ex(ref, expect, nullptr);
    EVP_MD_CTX_free(ref);
    EXPECT_EQ(toHex(out, 32), toHex(expect, 32));
}
