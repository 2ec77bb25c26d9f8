#include "sha256_impl.h"

#include <string.h>

#include "../cpu_features_p.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VORN_SHA_X86 1
#endif

extern "C" {
sha256_word32_t H[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};
}

namespace {

alignas(16) const sha256_word32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline sha256_word32_t rotr(sha256_word32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void convert_to_bigendian(void* data, int len)
{
    const int one = 1;
    if (*reinterpret_cast<const unsigned char*>(&one) == 0)
        return; // big-endian host: native loads already read big-endian
    unsigned char* p = static_cast<unsigned char*>(data);
    for (int i = 0; i + 4 <= len; i += 4) {
        sha256_word32_t w;
        memcpy(&w, p + i, 4);
        w = __builtin_bswap32(w);
        memcpy(p + i, &w, 4);
    }
}

inline sha256_word32_t blockWord(const vorn_SHA256_ctx* ctx, int i)
{
    sha256_word32_t w;
    memcpy(&w, ctx->M + 4 * i, 4);
    return w;
}

void transformPortable(vorn_SHA256_ctx* ctx)
{
    sha256_word32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = blockWord(ctx, i);
    for (int i = 16; i < 64; ++i) {
        const sha256_word32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const sha256_word32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    sha256_word32_t a = ctx->H[0], b = ctx->H[1], c = ctx->H[2], d = ctx->H[3];
    sha256_word32_t e = ctx->H[4], f = ctx->H[5], g = ctx->H[6], h = ctx->H[7];
    // Eight rounds per pass with the variables renamed instead of shifted.
#define SHA_ROUND(a, b, c, d, e, f, g, h, i)                                     \
    do {                                                                          \
        const sha256_word32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25))    \
                                   + (g ^ (e & (f ^ g))) + K[i] + w[i];            \
        const sha256_word32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22))        \
                                   + ((a & b) | (c & (a | b)));                    \
        d += t1;                                                                  \
        h = t1 + t2;                                                              \
    } while (0)
    for (int i = 0; i < 64; i += 8) {
        SHA_ROUND(a, b, c, d, e, f, g, h, i);
        SHA_ROUND(h, a, b, c, d, e, f, g, i + 1);
        SHA_ROUND(g, h, a, b, c, d, e, f, i + 2);
        SHA_ROUND(f, g, h, a, b, c, d, e, i + 3);
        SHA_ROUND(e, f, g, h, a, b, c, d, i + 4);
        SHA_ROUND(d, e, f, g, h, a, b, c, i + 5);
        SHA_ROUND(c, d, e, f, g, h, a, b, i + 6);
        SHA_ROUND(b, c, d, e, f, g, h, a, i + 7);
    }
#undef SHA_ROUND
    ctx->H[0] += a;
    ctx->H[1] += b;
    ctx->H[2] += c;
    ctx->H[3] += d;
    ctx->H[4] += e;
    ctx->H[5] += f;
    ctx->H[6] += g;
    ctx->H[7] += h;
}

#ifdef VORN_SHA_X86
// Compresses n blocks into h. Blocks from M are already host-order words;
// raw message blocks (fromMessage) are byte-swapped on load.
// State registers: abef = {A,B,E,F} and cdgh = {C,D,G,H}, lane 3 first.
__attribute__((target("sha,sse4.1,ssse3"))) void shaNiBlocks(sha256_word32_t* h,
                                                           const sha256_byte_t* data,
                                                           size_t n, bool fromMessage)
{
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    const __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0xB1);
    __m128i abef = _mm_unpacklo_epi64(efgh, abcd);
    __m128i cdgh = _mm_unpackhi_epi64(efgh, abcd);

    for (; n > 0; --n, data += 64) {
        const __m128i abef0 = abef, cdgh0 = cdgh;
        __m128i w[4];
        for (int i = 0; i < 4; ++i) {
            w[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i));
            if (fromMessage)
                w[i] = _mm_shuffle_epi8(w[i], swap);
        }
        for (int r = 0; r < 16; ++r) {
            __m128i& cur = w[r & 3];
            if (r >= 4) {
                // W[t..t+3] from the four groups before it.
                const __m128i prev4 = w[(r - 1) & 3], prev8 = w[(r - 2) & 3];
                __m128i t = _mm_sha256msg1_epu32(cur, w[(r - 3) & 3]);
                t = _mm_add_epi32(t, _mm_alignr_epi8(prev4, prev8, 4));
                cur = _mm_sha256msg2_epu32(t, prev4);
            }
            __m128i wk = _mm_add_epi32(cur, _mm_load_si128(reinterpret_cast<const __m128i*>(K + 4 * r)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            wk = _mm_shuffle_epi32(wk, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
        }
        abef = _mm_add_epi32(abef, abef0);
        cdgh = _mm_add_epi32(cdgh, cdgh0);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h),
                     _mm_shuffle_epi32(_mm_unpackhi_epi64(abef, cdgh), 0xB1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4),
                     _mm_shuffle_epi32(_mm_unpacklo_epi64(abef, cdgh), 0xB1));
}
#endif

inline void SHA256_transform(vorn_SHA256_ctx* ctx, bool accel)
{
#ifdef VORN_SHA_X86
    if (accel) {
        shaNiBlocks(ctx->H, ctx->M, 1, false);
        return;
    }
#endif
    transformPortable(ctx);
}

}

extern "C" void SHA256_init(vorn_SHA256_ctx* ctx)
{
    memcpy(ctx->H, H, sizeof ctx->H);
    ctx->hbits = ctx->lbits = 0;
    ctx->mlen = 0;
}

extern "C" void SHA256_update(vorn_SHA256_ctx* ctx, const void* vdata, sha256_word32_t data_len)
{
    if (data_len == 0)
        return;
    const sha256_byte_t* data = static_cast<const sha256_byte_t*>(vdata);
    const sha256_word32_t nbits = data_len << 3;
    ctx->hbits += data_len >> 29;
    ctx->lbits += nbits;
    if (ctx->lbits < nbits)
        ++ctx->hbits;

    // mlen stays below 64 between calls (final resets it), so this never
    // indexes past M.
    sha256_word32_t n = 64u - ctx->mlen;
    if (n > data_len)
        n = data_len;
    memcpy(ctx->M + ctx->mlen, data, n);
    ctx->mlen = sha256_byte_t(ctx->mlen + n);
    data += n;
    data_len -= n;
    if (ctx->mlen < 64)
        return;

    const bool accel = VCryptoCpu::useShaNi();
    convert_to_bigendian(ctx->M, 64);
    SHA256_transform(ctx, accel);
#ifdef VORN_SHA_X86
    if (accel && data_len >= 64) {
        // Whole blocks go straight from the caller's buffer to the SHA unit.
        const sha256_word32_t blocks = data_len / 64;
        shaNiBlocks(ctx->H, data, blocks, true);
        data += 64 * size_t(blocks);
        data_len -= 64 * blocks;
    }
#endif
    for (;;) {
        n = data_len < 64 ? data_len : 64;
        memcpy(ctx->M, data, n);
        data += n;
        data_len -= n;
        if (n < 64) {
            ctx->mlen = sha256_byte_t(n);
            return;
        }
        convert_to_bigendian(ctx->M, 64);
        SHA256_transform(ctx, accel);
    }
}

extern "C" void SHA256_final(vorn_SHA256_ctx* ctx)
{
    const bool accel = VCryptoCpu::useShaNi();
    const unsigned p = ctx->mlen & 63;
    ctx->M[p] = 0x80;
    if (p > 55) {
        memset(ctx->M + p + 1, 0, 63 - p);
        convert_to_bigendian(ctx->M, 64);
        SHA256_transform(ctx, accel);
        memset(ctx->M, 0, 56);
    } else {
        memset(ctx->M + p + 1, 0, 55 - p);
        convert_to_bigendian(ctx->M, 56);
    }
    memcpy(ctx->M + 56, &ctx->hbits, 4);
    memcpy(ctx->M + 60, &ctx->lbits, 4);
    SHA256_transform(ctx, accel);
    // The padded block is consumed: a later update or final starts a fresh
    // block instead of writing past M.
    ctx->mlen = 0;
}

extern "C" void SHA256_digest(vorn_SHA256_ctx* ctx, sha256_byte_t* digest)
{
    if (!digest)
        return;
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = sha256_byte_t(ctx->H[i] >> 24);
        digest[4 * i + 1] = sha256_byte_t(ctx->H[i] >> 16);
        digest[4 * i + 2] = sha256_byte_t(ctx->H[i] >> 8);
        digest[4 * i + 3] = sha256_byte_t(ctx->H[i]);
    }
}
