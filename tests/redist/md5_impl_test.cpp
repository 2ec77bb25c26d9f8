#include <redist/md5/md5_impl.h>

#include "crypto_test_util.h"

#include <cstring>

using namespace ctest;

namespace {

std::string md5Hex(const uint8_t* p, size_t n)
{
    md5_state_t st;
    md5_byte_t out[16];
    vornlib_md5_init(&st);
    vornlib_md5_append(&st, p, int(n));
    vornlib_md5_finish(&st, out);
    return toHex(out, 16);
}

std::string md5Hex(const std::string& s)
{
    return md5Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

}

TEST(Md5Impl, Rfc1321Suite)
{
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    std::string eight;
    for (int i = 0; i < 8; ++i)
        eight += "1234567890";
    EXPECT_EQ(md5Hex(eight), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Impl, MatchesOpenSslAtBlockBoundariesAndRandomLengths)
{
    std::mt19937 rng(1321);
    const Bytes data = randomBytes(rng, 10001);
    for (size_t n = 0; n <= 200; ++n)
        ASSERT_EQ(md5Hex(data.data(), n), toHex(opensslDigest(EVP_md5(), data.data(), n))) << n;
    for (int i = 0; i < 200; ++i) {
        const size_t n = 1 + rng() % 10000;
        ASSERT_EQ(md5Hex(data.data(), n), toHex(opensslDigest(EVP_md5(), data.data(), n))) << n;
    }
    // Unaligned input.
    EXPECT_EQ(md5Hex(data.data() + 1, 1000), toHex(opensslDigest(EVP_md5(), data.data() + 1, 1000)));
}

TEST(Md5Impl, SplitFeedingEqualsOneShot)
{
    std::mt19937 rng(7);
    const Bytes data = randomBytes(rng, 300);
    const std::string whole = md5Hex(data.data(), data.size());
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        md5_state_t st;
        md5_byte_t out[16];
        vornlib_md5_init(&st);
        vornlib_md5_append(&st, data.data(), int(cut));
        vornlib_md5_append(&st, data.data() + cut, 0);
        vornlib_md5_append(&st, data.data() + cut, int(data.size() - cut));
        vornlib_md5_finish(&st, out);
        ASSERT_EQ(toHex(out, 16), whole) << cut;
    }
    // Random pieces, including empty ones and pieces ending on block edges.
    const Bytes big = randomBytes(rng, 1000);
    for (int round = 0; round < 200; ++round) {
        const size_t len = rng() % 1001;
        md5_state_t st;
        md5_byte_t out[16];
        vornlib_md5_init(&st);
        for (size_t pos = 0; pos < len;) {
            size_t piece = rng() % 3 == 0 ? 64 - pos % 64 : rng() % 130;
            piece = std::min(piece, len - pos);
            vornlib_md5_append(&st, big.data() + pos, int(piece));
            pos += piece;
        }
        vornlib_md5_finish(&st, out);
        ASSERT_EQ(toHex(out, 16), md5Hex(big.data(), len)) << len;
    }
}

TEST(Md5Impl, NonPositiveLengthChangesNothing)
{
    md5_state_t st;
    memset(&st, 0xA5, sizeof st);
    vornlib_md5_init(&st);
    vornlib_md5_append(&st, reinterpret_cast<const md5_byte_t*>("xyz"), 3);
    md5_state_t before = st;
    vornlib_md5_append(&st, reinterpret_cast<const md5_byte_t*>("abc"), -5);
    vornlib_md5_append(&st, nullptr, 0);
    EXPECT_EQ(memcmp(&before, &st, sizeof st), 0);
}

TEST(Md5Impl, FinishTwiceContinuesFromPaddedState)
{
    md5_state_t st;
    md5_byte_t first[16], second[16];
    vornlib_md5_init(&st);
    vornlib_md5_append(&st, reinterpret_cast<const md5_byte_t*>("abc"), 3);
    vornlib_md5_finish(&st, first);
    vornlib_md5_finish(&st, second);
    EXPECT_EQ(toHex(first, 16), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_NE(toHex(second, 16), toHex(first, 16));
}

// 2^29 + 1 bytes: the bit count carries into the high word.
TEST(Md5Impl, LengthCarryPastTwoToThe32Bits)
{
    const Bytes chunk(1 << 20, 'q');
    md5_state_t st;
    md5_byte_t out[16];
    vornlib_md5_init(&st);
    EVP_MD_CTX* ref = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ref, EVP_md5(), nullptr);
    for (int i = 0; i < 512; ++i) {
        vornlib_md5_append(&st, chunk.data(), int(chunk.size()));
        EVP_DigestUpdate(ref, chunk.data(), chunk.size());
    }
    vornlib_md5_append(&st, chunk.data(), 1);
    EVP_DigestUpdate(ref, chunk.data(), 1);
    EXPECT_EQ(st.count[1], 1u);
    EXPECT_EQ(st.count[0], 8u);
    vornlib_md5_finish(&st, out);
    uint8_t expect[16];
    EVP_DigestFinal_ex(ref, expect, nullptr);
    EVP_MD_CTX_free(ref);
    EXPECT_EQ(toHex(out, 16), toHex(expect, 16));
}
