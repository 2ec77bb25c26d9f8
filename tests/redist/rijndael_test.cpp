#include <redist/rijndael/rijndael.h>

#include "crypto_test_util.h"

#include <climits>
#include <cstring>
#include <new>

using namespace ctest;

namespace {

const char* const kPlain = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                           "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char* const kIv = "000102030405060708090a0b0c0d0e0f";
const char* const kKey128 = "2b7e151628aed2a6abf7158809cf4f3c";
const char* const kKey192 = "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b";
const char* const kKey256 = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";

Rijndael::KeyLength keyLength(size_t bytes)
{
    return bytes == 16 ? Rijndael::Key16Bytes
                       : bytes == 24 ? Rijndael::Key24Bytes : Rijndael::Key32Bytes;
}

const EVP_CIPHER* evpCipher(Rijndael::Mode mode, size_t keyBytes)
{
    switch (mode) {
    case Rijndael::ECB:
        return keyBytes == 16 ? EVP_aes_128_ecb() : keyBytes == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    case Rijndael::CBC:
        return keyBytes == 16 ? EVP_aes_128_cbc() : keyBytes == 24 ? EVP_aes_192_cbc() : EVP_aes_256_cbc();
    default:
        return keyBytes == 16 ? EVP_aes_128_cfb1() : keyBytes == 24 ? EVP_aes_192_cfb1() : EVP_aes_256_cfb1();
    }
}

Bytes openssl(Rijndael::Mode mode, bool enc, const Bytes& key, const Bytes& iv, const Bytes& in,
              bool pad)
{
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(c, evpCipher(mode, key.size()), nullptr, key.data(),
                      mode == Rijndael::ECB ? nullptr : iv.data(), enc ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(c, pad ? 1 : 0);
    Bytes out(in.size() + 32);
    int n = 0, m = 0;
    EVP_CipherUpdate(c, out.data(), &n, in.data(), int(in.size()));
    EVP_CipherFinal_ex(c, out.data() + n, &m);
    EVP_CIPHER_CTX_free(c);
    out.resize(size_t(n + m));
    return out;
}

Bytes run(Rijndael::Mode mode, Rijndael::Direction dir, const Bytes& key, const Bytes& iv,
          const Bytes& in)
{
    Rijndael r;
    Bytes ivCopy = iv;
    EXPECT_EQ(r.init(mode, dir, key.data(), keyLength(key.size()), ivCopy.empty() ? nullptr : ivCopy.data()), 0);
    Bytes out(in.size());
    const int bits = dir == Rijndael::Encrypt ? r.blockEncrypt(in.data(), int(in.size() * 8), out.data())
                                              : r.blockDecrypt(in.data(), int(in.size() * 8), out.data());
    EXPECT_EQ(bits, int(in.size() / 16 * 128));
    return out;
}

}

TEST(Rijndael, Fips197AppendixC)
{
    forEachPath([] {
        const Bytes plain = fromHex("00112233445566778899aabbccddeeff");
        const struct { const char* key; const char* cipher; } cases[] = {
            { "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a" },
            { "000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191" },
            { "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
              "8ea2b7ca516745bfeafc49904b496089" },
        };
        for (const auto& c : cases) {
            const Bytes key = fromHex(c.key);
            const Bytes enc = run(Rijndael::ECB, Rijndael::Encrypt, key, {}, plain);
            EXPECT_EQ(toHex(enc), c.cipher);
            EXPECT_EQ(run(Rijndael::ECB, Rijndael::Decrypt, key, {}, enc), plain);
        }
    }, true);
}

TEST(Rijndael, Sp80038aEcbCbcCfb1)
{
    forEachPath([] {
        const Bytes plain = fromHex(kPlain);
        const Bytes iv = fromHex(kIv);
        const Bytes k128 = fromHex(kKey128), k192 = fromHex(kKey192), k256 = fromHex(kKey256);
        // F.1.1 and F.2.1 in full.
        const Bytes ecb = run(Rijndael::ECB, Rijndael::Encrypt, k128, {}, plain);
        EXPECT_EQ(toHex(ecb), "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
                              "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4");
        const Bytes cbc = run(Rijndael::CBC, Rijndael::Encrypt, k128, iv, plain);
        EXPECT_EQ(toHex(cbc), "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                              "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
        EXPECT_EQ(run(Rijndael::CBC, Rijndael::Decrypt, k128, iv, cbc), plain);
        EXPECT_EQ(run(Rijndael::ECB, Rijndael::Decrypt, k128, {}, ecb), plain);
        // First blocks of F.1.3, F.1.5, F.2.3, F.2.5.
        EXPECT_EQ(toHex(run(Rijndael::ECB, Rijndael::Encrypt, k192, {}, plain)).substr(0, 32),
                  "bd334f1d6e45f25ff712a214571fa5cc");
        EXPECT_EQ(toHex(run(Rijndael::ECB, Rijndael::Encrypt, k256, {}, plain)).substr(0, 32),
                  "f3eed1bdb5d2a03c064b5a7e3db181f8");
        EXPECT_EQ(toHex(run(Rijndael::CBC, Rijndael::Encrypt, k192, iv, plain)).substr(0, 32),
                  "4f021db243bc633d7178183a9fa071e8");
        EXPECT_EQ(toHex(run(Rijndael::CBC, Rijndael::Encrypt, k256, iv, plain)).substr(0, 32),
                  "f58c4c04d6e5f1ba779eabfb5f7bfbd6");
        // F.3.1/3/5 (16 bits): 6b c1 first in a whole block.
        Bytes block = plain;
        block.resize(16);
        EXPECT_EQ(toHex(run(Rijndael::CFB1, Rijndael::Encrypt, k128, iv, block)).substr(0, 4), "68b3");
        EXPECT_EQ(toHex(run(Rijndael::CFB1, Rijndael::Encrypt, k192, iv, block)).substr(0, 4), "9359");
        EXPECT_EQ(toHex(run(Rijndael::CFB1, Rijndael::Encrypt, k256, iv, block)).substr(0, 4), "9029");
    }, true);
}

TEST(Rijndael, MatchesOpenSslOnRandomKeysAndLengths)
{
    forEachPath([] {
        std::mt19937 rng(197);
        for (int i = 0; i < 60; ++i) {
            const size_t keyBytes = 16 + 8 * (i % 3);
            const Bytes key = randomBytes(rng, keyBytes);
            const Bytes iv = randomBytes(rng, 16);
            const Rijndael::Mode mode = Rijndael::Mode(i / 3 % 3);
            const size_t blocks = 1 + rng() % (mode == Rijndael::CFB1 ? 8 : 600);
            const Bytes plain = randomBytes(rng, 16 * blocks);
            SCOPED_TRACE(i);
            const Bytes enc = run(mode, Rijndael::Encrypt, key, iv, plain);
            ASSERT_EQ(enc, openssl(mode, true, key, iv, plain, false));
            ASSERT_EQ(run(mode, Rijndael::Decrypt, key, iv, enc), plain);
            if (mode == Rijndael::CFB1) {
                // Decrypting with an Encrypt object works as before.
                Rijndael r;
                Bytes ivCopy = iv;
                r.init(mode, Rijndael::Encrypt, key.data(), keyLength(keyBytes), ivCopy.data());
                Bytes out(enc.size());
                r.blockDecrypt(enc.data(), int(enc.size() * 8), out.data());
                ASSERT_EQ(out, plain);
                continue;
            }
            // PKCS#7 padding against OpenSSL, lengths 1 to 10,000.
            const Bytes msg = randomBytes(rng, 1 + rng() % 10000);
            Rijndael r;
            Bytes ivCopy = iv;
            r.init(mode, Rijndael::Encrypt, key.data(), keyLength(keyBytes), ivCopy.data());
            Bytes padded(msg.size() + 16);
            const int n = r.padEncrypt(msg.data(), int(msg.size()), padded.data());
            ASSERT_EQ(n, int(16 * (msg.size() / 16 + 1)));
            padded.resize(size_t(n));
            ASSERT_EQ(padded, openssl(mode, true, key, iv, msg, true));
            Rijndael d;
            d.init(mode, Rijndael::Decrypt, key.data(), keyLength(keyBytes), ivCopy.data());
            Bytes back(padded.size());
            ASSERT_EQ(d.padDecrypt(padded.data(), n, back.data()), int(msg.size()));
            back.resize(msg.size());
            ASSERT_EQ(back, msg);
        }
    }, true);
}

TEST(Rijndael, ReturnCodes)
{
    const Bytes key = fromHex(kKey128);
    quint8 buf[64] = {}, out[64];
    Rijndael r;
    EXPECT_EQ(r.blockEncrypt(buf, 128, out), -5);
    EXPECT_EQ(r.padDecrypt(buf, 16, out), -5);
    EXPECT_EQ(r.init(Rijndael::Mode(3), Rijndael::Encrypt, key.data(), Rijndael::Key16Bytes), -1);
    EXPECT_EQ(r.init(Rijndael::ECB, Rijndael::Direction(2), key.data(), Rijndael::Key16Bytes), -2);
    EXPECT_EQ(r.init(Rijndael::ECB, Rijndael::Encrypt, key.data(), Rijndael::KeyLength(-1)), -3);
    EXPECT_EQ(r.init(Rijndael::ECB, Rijndael::Encrypt, nullptr, Rijndael::Key16Bytes), -4);
    EXPECT_EQ(r.blockEncrypt(buf, 128, out), -5);

    ASSERT_EQ(r.init(Rijndael::ECB, Rijndael::Encrypt, key.data(), Rijndael::Key16Bytes), 0);
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(r.blockEncrypt(buf, 127, out), 0);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(r.blockEncrypt(buf, 200, out), 128);
    EXPECT_EQ(out[16], 0xEE);
    EXPECT_EQ(r.blockEncrypt(nullptr, 128, out), 0);
    EXPECT_EQ(r.blockEncrypt(buf, -1, out), 0);
    EXPECT_EQ(r.blockDecrypt(buf, 128, out), -6);
    EXPECT_EQ(r.padDecrypt(buf, 16, out), -6);
    EXPECT_EQ(r.padEncrypt(buf, 0, out), 0);
    // The output length would not fit an int: refused before touching memory.
    EXPECT_EQ(r.padEncrypt(buf, INT_MAX - 3, out), -8);

    ASSERT_EQ(r.init(Rijndael::ECB, Rijndael::Decrypt, key.data(), Rijndael::Key16Bytes), 0);
    EXPECT_EQ(r.padEncrypt(buf, 16, out), -5);
    EXPECT_EQ(r.blockEncrypt(buf, 128, out), -6);

    ASSERT_EQ(r.init(Rijndael::CFB1, Rijndael::Encrypt, key.data(), Rijndael::Key16Bytes), 0);
    EXPECT_EQ(r.padEncrypt(buf, 16, out), -1);
    ASSERT_EQ(r.init(Rijndael::CFB1, Rijndael::Decrypt, key.data(), Rijndael::Key16Bytes), 0);
    EXPECT_EQ(r.padDecrypt(buf, 16, out), -1);
    EXPECT_EQ(r.blockEncrypt(buf, 128, out), -6);
}

TEST(Rijndael, PaddingRulesAndCorruptData)
{
    forEachPath([] {
        const Bytes key = fromHex(kKey128);
        Bytes iv = fromHex(kIv);
        for (Rijndael::Mode mode : { Rijndael::ECB, Rijndael::CBC }) {
            Rijndael enc, dec, raw;
            enc.init(mode, Rijndael::Encrypt, key.data(), Rijndael::Key16Bytes, iv.data());
            dec.init(mode, Rijndael::Decrypt, key.data(), Rijndael::Key16Bytes, iv.data());
            raw.init(mode, Rijndael::Encrypt, key.data(), Rijndael::Key16Bytes, iv.data());

            quint8 one = 0x42, out[48], back[48];
            ASSERT_EQ(enc.padEncrypt(&one, 1, out), 16);
            ASSERT_EQ(dec.blockDecrypt(out, 128, back), 128);
            EXPECT_EQ(back[0], 0x42);
            for (int i = 1; i < 16; ++i)
                EXPECT_EQ(back[i], 0x0F);

            const Bytes sixteen(16, 0x33);
            ASSERT_EQ(enc.padEncrypt(sixteen.data(), 16, out), 32);
            ASSERT_EQ(dec.padDecrypt(out, 32, back), 16);
            EXPECT_EQ(Bytes(back, back + 16), sixteen);

            EXPECT_EQ(dec.padDecrypt(out, 15, back), -7);
            EXPECT_EQ(dec.padDecrypt(out, 0, back), 0);

            // Hand-made final blocks with bad padding; the block before the
            // last is written out before the check fails.
            auto badPad = [&](const Bytes& lastPlain) {
                Bytes plain(16, 0x55);
                plain.insert(plain.end(), lastPlain.begin(), lastPlain.end());
                quint8 c[32], p[32];
                raw.blockEncrypt(plain.data(), 256, c);
                memset(p, 0, sizeof p);
                const int rc = dec.padDecrypt(c, 32, p);
                EXPECT_EQ(p[0], 0x55);
                return rc;
            };
            Bytes last(16, 0x01);
            EXPECT_EQ(badPad(last), 31);
            last[15] = 0;
            EXPECT_EQ(badPad(last), -7);
            last[15] = 17;
            EXPECT_EQ(badPad(last), -7);
            last.assign(16, 0x04);
            last[13] = 0x03;
            EXPECT_EQ(badPad(last), -7);
        }
    }, true);
}

TEST(Rijndael, CbcRestartsFromIvAndDecryptsInPlace)
{
    forEachPath([] {
        const Bytes key = fromHex(kKey256);
        Bytes iv = fromHex(kIv);
        std::mt19937 rng(3);
        const Bytes plain = randomBytes(rng, 16 * 37);
        Rijndael enc, dec;
        enc.init(Rijndael::CBC, Rijndael::Encrypt, key.data(), Rijndael::Key32Bytes, iv.data());
        dec.init(Rijndael::CBC, Rijndael::Decrypt, key.data(), Rijndael::Key32Bytes, iv.data());
        Bytes a(plain.size()), b(plain.size());
        enc.blockEncrypt(plain.data(), int(plain.size() * 8), a.data());
        enc.blockEncrypt(plain.data(), int(plain.size() * 8), b.data());
        EXPECT_EQ(a, b);
        ASSERT_EQ(dec.blockDecrypt(a.data(), int(a.size() * 8), a.data()), int(plain.size() * 8));
        EXPECT_EQ(a, plain);
        Bytes padded(plain.size() + 16);
        const int n = enc.padEncrypt(plain.data(), int(plain.size()), padded.data());
        EXPECT_EQ(dec.padDecrypt(padded.data(), n, padded.data()), int(plain.size()));
        EXPECT_EQ(Bytes(padded.begin(), padded.begin() + long(plain.size())), plain);
    }, true);
}

// An object made for Decrypt keeps the forward schedule in CFB1.
TEST(Rijndael, Cfb1DecryptObjectGivesPlaintext)
{
    forEachPath([] {
        const Bytes key = fromHex(kKey192);
        Bytes iv = fromHex(kIv);
        std::mt19937 rng(11);
        const Bytes plain = randomBytes(rng, 48);
        const Bytes enc = run(Rijndael::CFB1, Rijndael::Encrypt, key, iv, plain);
        EXPECT_EQ(enc, openssl(Rijndael::CFB1, true, key, iv, plain, false));
        EXPECT_EQ(run(Rijndael::CFB1, Rijndael::Decrypt, key, iv, enc), plain);
    }, true);
}

// Every mode, both directions, an odd block count: working in place gives
// the bytes of separate buffers (the multi-block passes read before they write).
TEST(Rijndael, InPlaceMatchesSeparateBuffers)
{
    forEachPath([] {
        const Bytes key = fromHex(kKey128);
        const Bytes iv = fromHex(kIv);
        std::mt19937 rng(5);
        const Bytes plain = randomBytes(rng, 16 * 7);
        for (int m = Rijndael::ECB; m <= Rijndael::CFB1; ++m) {
            const Rijndael::Mode mode = Rijndael::Mode(m);
            SCOPED_TRACE(m);
            const Bytes enc = run(mode, Rijndael::Encrypt, key, iv, plain);
            for (const Rijndael::Direction dir : { Rijndael::Encrypt, Rijndael::Decrypt }) {
                Rijndael r;
                Bytes ivCopy = iv;
                r.init(mode, dir, key.data(), Rijndael::Key16Bytes, ivCopy.data());
                Bytes buf = dir == Rijndael::Encrypt ? plain : enc;
                const int bits = int(buf.size() * 8);
                EXPECT_EQ(dir == Rijndael::Encrypt ? r.blockEncrypt(buf.data(), bits, buf.data())
                                                   : r.blockDecrypt(buf.data(), bits, buf.data()),
                          bits);
                EXPECT_EQ(buf, dir == Rijndael::Encrypt ? enc : plain);
            }
        }
    }, true);
}

TEST(Rijndael, DestructorWipesTheKeySchedule)
{
    const quint8 key[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                            0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                            0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
    for (const Rijndael::Direction dir : {Rijndael::Encrypt, Rijndael::Decrypt}) {
        alignas(Rijndael) unsigned char storage[sizeof(Rijndael)];
        Rijndael* r = new (storage) Rijndael;
        ASSERT_EQ(0, r->init(Rijndael::ECB, dir, key, Rijndael::Key32Bytes, nullptr));
        // Round key 0 is the key's first half.
        ASSERT_NE(nullptr, memmem(storage, sizeof storage, key, 16));
        r->~Rijndael();
        EXPECT_EQ(nullptr, memmem(storage, sizeof storage, key, 16));
        EXPECT_EQ(nullptr, memmem(storage, sizeof storage, key + 16, 16));
    }
}
