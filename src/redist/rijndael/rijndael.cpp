#include "rijndael.h"

#include <limits.h>
#include <string.h>

#include "../cpu_features_p.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VORN_AES_X86 1
#endif

namespace {

// ---- Tables, generated at compile time from GF(2^8) arithmetic ----------

constexpr quint8 xtime(quint8 x)
{
    return quint8((x << 1) ^ ((x & 0x80) ? 0x1B : 0));
}

constexpr quint8 gmul(quint8 a, quint8 b)
{
    quint8 p = 0;
    while (b) {
        if (b & 1)
            p ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return p;
}

constexpr quint32 rotl32(quint32 x, int n)
{
    return n == 0 ? x : (x << n) | (x >> (32 - n));
}

constexpr quint32 pack(quint8 r0, quint8 r1, quint8 r2, quint8 r3)
{
    return quint32(r0) | quint32(r1) << 8 | quint32(r2) << 16 | quint32(r3) << 24;
}

// A column is one 32-bit word with row 0 in the low byte.
struct Tables
{
    quint8 sbox[256];
    quint8 isbox[256];
    quint32 te[4][256]; // SubBytes + MixColumns, input byte in row k
    quint32 td[4][256]; // InvSubBytes + InvMixColumns
    quint32 u[4][256];  // InvMixColumns alone, for round keys
    quint32 sw[4][256]; // SubBytes alone, byte in row k (final round)
    quint32 isw[4][256];
    quint32 rcon[10];
};

constexpr Tables makeTables()
{
    Tables t {};
    quint8 exp[256] = {};
    quint8 log[256] = {};
    quint8 p = 1;
    for (int i = 0; i < 255; ++i) { // 3 generates the multiplicative group
        exp[i] = p;
        log[p] = quint8(i);
        p = quint8(p ^ xtime(p));
    }
    for (int x = 0; x < 256; ++x) {
        const quint8 inv = x == 0 ? 0 : exp[(255 - log[x]) % 255];
        quint8 s = inv;
        for (int r = 1; r <= 4; ++r)
            s ^= quint8((inv << r) | (inv >> (8 - r)));
        s ^= 0x63;
        t.sbox[x] = s;
        t.isbox[s] = quint8(x);
    }
    for (int x = 0; x < 256; ++x) {
        const quint8 s = t.sbox[x];
        const quint8 i = t.isbox[x];
        const quint8 b = quint8(x);
        const quint32 te0 = pack(gmul(s, 2), s, s, gmul(s, 3));
        const quint32 td0 = pack(gmul(i, 14), gmul(i, 9), gmul(i, 13), gmul(i, 11));
        const quint32 u0 = pack(gmul(b, 14), gmul(b, 9), gmul(b, 13), gmul(b, 11));
        for (int k = 0; k < 4; ++k) {
            t.te[k][x] = rotl32(te0, 8 * k);
            t.td[k][x] = rotl32(td0, 8 * k);
            t.u[k][x] = rotl32(u0, 8 * k);
            t.sw[k][x] = quint32(s) << (8 * k);
            t.isw[k][x] = quint32(i) << (8 * k);
        }
    }
    quint8 rc = 1;
    for (int i = 0; i < 10; ++i) {
        t.rcon[i] = rc;
        rc = xtime(rc);
    }
    return t;
}

constexpr Tables T = makeTables();

inline quint32 ld32(const quint8* p)
{
    quint32 w;
    memcpy(&w, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w;
}

inline void st32(quint8* p, quint32 w)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    memcpy(p, &w, 4);
}

inline quint8 b(quint32 w, int row)
{
    return quint8(w >> (8 * row));
}

inline quint32 subWord(quint32 w)
{
    return pack(T.sbox[b(w, 0)], T.sbox[b(w, 1)], T.sbox[b(w, 2)], T.sbox[b(w, 3)]);
}

// ---- Portable block functions ----------------------------------------
// The state of each block is four column words; the mode loops keep it in
// registers from load to store, so no block is copied on the way.

// Round keys as words: rounds + 1 keys of four words, read from the byte
// schedule once per call.
struct WordKeys
{
    quint32 w[60];

    WordKeys(const quint8* rk, unsigned rounds)
    {
        for (unsigned i = 0; i < 4 * (rounds + 1); ++i)
            w[i] = ld32(rk + 4 * i);
    }
};

inline void loadBlock(const quint8* p, quint32* s)
{
    for (int c = 0; c < 4; ++c)
        s[c] = ld32(p + 4 * c);
}

inline void storeBlock(quint8* p, const quint32* s)
{
    for (int c = 0; c < 4; ++c)
        st32(p + 4 * c, s[c]);
}

using WordTable = quint32[4][256];

// XORs the table words of the four bytes of column w into the output
// columns they feed. Working input column by input column lets each column
// be taken apart once, which saves register copies.
inline void spread(const WordTable& t, quint32 w, quint32& o0, quint32& o1, quint32& o2, quint32& o3)
{
    o0 ^= t[0][w & 0xFFu];
    o1 ^= t[1][(w >> 8) & 0xFFu];
    o2 ^= t[2][(w >> 16) & 0xFFu];
    o3 ^= t[3][w >> 24];
}

// One round on one block: with te / td a full round, with sw / isw the
// final one. Byte r of column c feeds column c - r (cipher, ShiftRows) or
// c + r (inverse cipher).
template <bool Dec>
inline void aesRound(const WordTable& t, const quint32* k, quint32 (&s)[4])
{
    quint32 n0 = k[0], n1 = k[1], n2 = k[2], n3 = k[3];
    if (Dec) {
        spread(t, s[0], n0, n1, n2, n3);
        spread(t, s[1], n1, n2, n3, n0);
        spread(t, s[2], n2, n3, n0, n1);
        spread(t, s[3], n3, n0, n1, n2);
    } else {
        spread(t, s[0], n0, n3, n2, n1);
        spread(t, s[1], n1, n0, n3, n2);
        spread(t, s[2], n2, n1, n0, n3);
        spread(t, s[3], n3, n2, n1, n0);
    }
    s[0] = n0;
    s[1] = n1;
    s[2] = n2;
    s[3] = n3;
}

// The lane loops must be unrolled, or the state goes to memory.
#if defined(__GNUC__)
#define VORN_UNROLL _Pragma("GCC unroll 8")
#else
#define VORN_UNROLL
#endif

// N independent blocks at once: their table look-ups interleave, which
// hides the load latency of one block's serial rounds. The inverse cipher
// is the equivalent one: k holds the decryption schedule, used from the
// last round key down.
template <bool Dec, int N>
inline void cryptWords(const quint32* __restrict k, unsigned rounds, quint32 (&s)[N][4])
{
    const WordTable& t = Dec ? T.td : T.te;
    const int step = Dec ? -4 : 4;
    const quint32* kr = Dec ? k + 4 * rounds : k;
    for (int j = 0; j < N; ++j)
        for (int c = 0; c < 4; ++c)
            s[j][c] ^= kr[c];
    for (unsigned r = 1; r < rounds; ++r) {
        kr += step;
        VORN_UNROLL
        for (int j = 0; j < N; ++j)
            aesRound<Dec>(t, kr, s[j]);
    }
    kr += step;
    VORN_UNROLL
    for (int j = 0; j < N; ++j)
        aesRound<Dec>(Dec ? T.isw : T.sw, kr, s[j]);
}

// Blocks per pass of the portable ECB and CBC-decrypt loops.
const int kPortableLanes = 2;

// Every pass loads all its input blocks before storing any output, so
// in == out works.
template <bool Dec>
void ecbPortable(const quint8* rk, unsigned rounds, const quint8* in, quint8* out, size_t n)
{
    const WordKeys keys(rk, rounds);
    size_t i = 0;
    for (; i + kPortableLanes <= n; i += kPortableLanes, in += 16 * kPortableLanes, out += 16 * kPortableLanes) {
        quint32 s[kPortableLanes][4];
        for (int j = 0; j < kPortableLanes; ++j)
            loadBlock(in + 16 * j, s[j]);
        cryptWords<Dec, kPortableLanes>(keys.w, rounds, s);
        for (int j = 0; j < kPortableLanes; ++j)
            storeBlock(out + 16 * j, s[j]);
    }
    for (; i < n; ++i, in += 16, out += 16) {
        quint32 s[1][4];
        loadBlock(in, s[0]);
        cryptWords<Dec, 1>(keys.w, rounds, s);
        storeBlock(out, s[0]);
    }
}

void cbcEncPortable(const quint8* rk, unsigned rounds, quint8* chain, const quint8* in,
                    quint8* out, size_t n)
{
    const WordKeys keys(rk, rounds);
    quint32 s[1][4];
    loadBlock(chain, s[0]);
    for (size_t i = 0; i < n; ++i, in += 16, out += 16) {
        for (int c = 0; c < 4; ++c)
            s[0][c] ^= ld32(in + 4 * c);
        cryptWords<false, 1>(keys.w, rounds, s);
        storeBlock(out, s[0]);
    }
    storeBlock(chain, s[0]);
}

void cbcDecPortable(const quint8* rk, unsigned rounds, quint8* chain, const quint8* in,
                    quint8* out, size_t n)
{
    const WordKeys keys(rk, rounds);
    quint32 prev[4];
    loadBlock(chain, prev);
    size_t i = 0;
    for (; i + kPortableLanes <= n; i += kPortableLanes, in += 16 * kPortableLanes, out += 16 * kPortableLanes) {
        // The cipher blocks are kept, since out may be in.
        quint32 c[kPortableLanes][4], s[kPortableLanes][4];
        for (int j = 0; j < kPortableLanes; ++j) {
            loadBlock(in + 16 * j, c[j]);
            for (int w = 0; w < 4; ++w)
                s[j][w] = c[j][w];
        }
        cryptWords<true, kPortableLanes>(keys.w, rounds, s);
        for (int j = 0; j < kPortableLanes; ++j) {
            for (int w = 0; w < 4; ++w) {
                st32(out + 16 * j + 4 * w, s[j][w] ^ prev[w]);
                prev[w] = c[j][w];
            }
        }
    }
    for (; i < n; ++i, in += 16, out += 16) {
        quint32 c[4], s[1][4];
        loadBlock(in, c);
        for (int w = 0; w < 4; ++w)
            s[0][w] = c[w];
        cryptWords<true, 1>(keys.w, rounds, s);
        for (int w = 0; w < 4; ++w) {
            st32(out + 4 * w, s[0][w] ^ prev[w]);
            prev[w] = c[w];
        }
    }
    storeBlock(chain, prev);
}

// Four register bytes, the first in the high bits, as a column word (the
// first in row 0).
inline quint32 column(quint32 v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// CFB1 key stream, one forward block per bit; the register is kept as two
// big-endian halves so the one-bit shift is cheap.
void cfb1Portable(const quint8* rk, unsigned rounds, bool dec, quint8* reg, const quint8* in,
                  quint8* out, size_t n)
{
    const WordKeys keys(rk, rounds);
    quint64 hi = 0, lo = 0;
    for (int i = 0; i < 8; ++i) {
        hi = (hi << 8) | reg[i];
        lo = (lo << 8) | reg[8 + i];
    }
    for (size_t blk = 0; blk < n; ++blk, in += 16, out += 16) {
        quint8 buf[16];
        memcpy(buf, in, 16);
        for (int i = 0; i < 128; ++i) {
            quint32 s[1][4] = { { column(quint32(hi >> 32)), column(quint32(hi)),
                                  column(quint32(lo >> 32)), column(quint32(lo)) } };
            cryptWords<false, 1>(keys.w, rounds, s);
            const int byte = i >> 3, shift = 7 - (i & 7);
            const unsigned inBit = (buf[byte] >> shift) & 1u;
            const unsigned outBit = inBit ^ ((s[0][0] >> 7) & 1u);
            buf[byte] = quint8((buf[byte] & ~(1u << shift)) | (outBit << shift));
            const unsigned cipherBit = dec ? inBit : outBit;
            hi = (hi << 1) | (lo >> 63);
            lo = (lo << 1) | cipherBit;
        }
        memcpy(out, buf, 16);
    }
    for (int i = 0; i < 8; ++i) {
        reg[i] = quint8(hi >> (56 - 8 * i));
        reg[8 + i] = quint8(lo >> (56 - 8 * i));
    }
}

// ---- AES-NI ---------------------------------------------------------------
// The byte layout of m_expandedKey is the standard round-key layout, and the
// decryption schedule is the one AESDEC expects (InvMixColumns applied).

#ifdef VORN_AES_X86
#define VORN_AES_TARGET __attribute__((target("aes,sse2,ssse3")))

// A copy of the round keys on the stack: wiped when it goes.
struct NiKeys
{
    __m128i k[15];
    ~NiKeys() { explicit_bzero(k, sizeof k); }
};

VORN_AES_TARGET inline void loadKeys(const quint8* rk, unsigned rounds, NiKeys& nk)
{
    for (unsigned r = 0; r <= rounds; ++r)
        nk.k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rk + 16 * r));
}

VORN_AES_TARGET inline __m128i encNi(const NiKeys& nk, unsigned rounds, __m128i x)
{
    x = _mm_xor_si128(x, nk.k[0]);
    for (unsigned r = 1; r < rounds; ++r)
        x = _mm_aesenc_si128(x, nk.k[r]);
    return _mm_aesenclast_si128(x, nk.k[rounds]);
}

VORN_AES_TARGET inline __m128i decNi(const NiKeys& nk, unsigned rounds, __m128i x)
{
    x = _mm_xor_si128(x, nk.k[rounds]);
    for (unsigned r = rounds - 1; r > 0; --r)
        x = _mm_aesdec_si128(x, nk.k[r]);
    return _mm_aesdeclast_si128(x, nk.k[0]);
}

inline __m128i ldu(const quint8* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void stu(quint8* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Eight independent blocks per pass keep the AES units busy.
const int kLanes = 8;

VORN_AES_TARGET inline void encLanes(const NiKeys& nk, unsigned rounds, __m128i* x)
{
    for (int i = 0; i < kLanes; ++i)
        x[i] = _mm_xor_si128(x[i], nk.k[0]);
    for (unsigned r = 1; r < rounds; ++r) {
        const __m128i k = nk.k[r];
        for (int i = 0; i < kLanes; ++i)
            x[i] = _mm_aesenc_si128(x[i], k);
    }
    for (int i = 0; i < kLanes; ++i)
        x[i] = _mm_aesenclast_si128(x[i], nk.k[rounds]);
}

VORN_AES_TARGET inline void decLanes(const NiKeys& nk, unsigned rounds, __m128i* x)
{
    for (int i = 0; i < kLanes; ++i)
        x[i] = _mm_xor_si128(x[i], nk.k[rounds]);
    for (unsigned r = rounds - 1; r > 0; --r) {
        const __m128i k = nk.k[r];
        for (int i = 0; i < kLanes; ++i)
            x[i] = _mm_aesdec_si128(x[i], k);
    }
    for (int i = 0; i < kLanes; ++i)
        x[i] = _mm_aesdeclast_si128(x[i], nk.k[0]);
}

VORN_AES_TARGET void ecbNi(const quint8* rk, unsigned rounds, bool dec, const quint8* in,
                           quint8* out, size_t n)
{
    NiKeys nk;
    loadKeys(rk, rounds, nk);
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes, in += 16 * kLanes, out += 16 * kLanes) {
        __m128i x[kLanes];
        for (int j = 0; j < kLanes; ++j)
            x[j] = ldu(in + 16 * j);
        if (dec)
            decLanes(nk, rounds, x);
        else
            encLanes(nk, rounds, x);
        for (int j = 0; j < kLanes; ++j)
            stu(out + 16 * j, x[j]);
    }
    for (; i < n; ++i, in += 16, out += 16)
        stu(out, dec ? decNi(nk, rounds, ldu(in)) : encNi(nk, rounds, ldu(in)));
}

VORN_AES_TARGET void cbcEncNi(const quint8* rk, unsigned rounds, quint8* chain,
                              const quint8* in, quint8* out, size_t n)
{
    NiKeys nk;
    loadKeys(rk, rounds, nk);
    __m128i c = ldu(chain);
    for (size_t i = 0; i < n; ++i, in += 16, out += 16) {
        c = encNi(nk, rounds, _mm_xor_si128(ldu(in), c));
        stu(out, c);
    }
    stu(chain, c);
}

VORN_AES_TARGET void cbcDecNi(const quint8* rk, unsigned rounds, quint8* chain,
                              const quint8* in, quint8* out, size_t n)
{
    NiKeys nk;
    loadKeys(rk, rounds, nk);
    __m128i prev = ldu(chain);
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes, in += 16 * kLanes, out += 16 * kLanes) {
        // All inputs of the pass are read before any output is stored, so
        // decrypting in place works.
        __m128i c[kLanes], x[kLanes];
        for (int j = 0; j < kLanes; ++j)
            x[j] = c[j] = ldu(in + 16 * j);
        decLanes(nk, rounds, x);
        stu(out, _mm_xor_si128(x[0], prev));
        for (int j = 1; j < kLanes; ++j)
            stu(out + 16 * j, _mm_xor_si128(x[j], c[j - 1]));
        prev = c[kLanes - 1];
    }
    for (; i < n; ++i, in += 16, out += 16) {
        const __m128i c = ldu(in);
        stu(out, _mm_xor_si128(decNi(nk, rounds, c), prev));
        prev = c;
    }
    stu(chain, prev);
}

// CFB1 key stream: one forward block per bit, register kept as two
// big-endian halves so the one-bit shift is cheap.
VORN_AES_TARGET void cfb1Ni(const quint8* rk, unsigned rounds, bool dec, quint8* reg,
                            const quint8* in, quint8* out, size_t n)
{
    NiKeys nk;
    loadKeys(rk, rounds, nk);
    quint64 hi, lo;
    memcpy(&hi, reg, 8);
    memcpy(&lo, reg + 8, 8);
    hi = __builtin_bswap64(hi);
    lo = __builtin_bswap64(lo);
    for (size_t blk = 0; blk < n; ++blk, in += 16, out += 16) {
        quint8 buf[16];
        memcpy(buf, in, 16);
        for (int i = 0; i < 128; ++i) {
            const __m128i r = _mm_set_epi64x(qint64(__builtin_bswap64(lo)),
                                             qint64(__builtin_bswap64(hi)));
            const unsigned ks = unsigned(_mm_cvtsi128_si32(encNi(nk, rounds, r)) & 0x80) >> 7;
            const int byte = i >> 3, shift = 7 - (i & 7);
            const unsigned inBit = (buf[byte] >> shift) & 1u;
            const unsigned outBit = inBit ^ ks;
            buf[byte] = quint8((buf[byte] & ~(1u << shift)) | (outBit << shift));
            const unsigned cipherBit = dec ? inBit : outBit;
            hi = (hi << 1) | (lo >> 63);
            lo = (lo << 1) | cipherBit;
        }
        memcpy(out, buf, 16);
    }
    hi = __builtin_bswap64(hi);
    lo = __builtin_bswap64(lo);
    memcpy(reg, &hi, 8);
    memcpy(reg + 8, &lo, 8);
}
#endif

// ---- Mode loops (portable, or AES-NI when the CPU has it) -----------------

void ecbRun(const quint8* rk, unsigned rounds, bool dec, const quint8* in, quint8* out, size_t n)
{
#ifdef VORN_AES_X86
    if (VCryptoCpu::useAesNi()) {
        ecbNi(rk, rounds, dec, in, out, n);
        return;
    }
#endif
    if (dec)
        ecbPortable<true>(rk, rounds, in, out, n);
    else
        ecbPortable<false>(rk, rounds, in, out, n);
}

// chain: the previous cipher block on entry, the last one on return.
void cbcEncRun(const quint8* rk, unsigned rounds, quint8* chain, const quint8* in, quint8* out,
               size_t n)
{
#ifdef VORN_AES_X86
    if (VCryptoCpu::useAesNi()) {
        cbcEncNi(rk, rounds, chain, in, out, n);
        return;
    }
#endif
    cbcEncPortable(rk, rounds, chain, in, out, n);
}

void cbcDecRun(const quint8* rk, unsigned rounds, quint8* chain, const quint8* in, quint8* out,
               size_t n)
{
#ifdef VORN_AES_X86
    if (VCryptoCpu::useAesNi()) {
        cbcDecNi(rk, rounds, chain, in, out, n);
        return;
    }
#endif
    cbcDecPortable(rk, rounds, chain, in, out, n);
}

void cfb1Run(const quint8* rk, unsigned rounds, bool dec, quint8* reg, const quint8* in,
             quint8* out, size_t n)
{
#ifdef VORN_AES_X86
    if (VCryptoCpu::useAesNi()) {
        cfb1Ni(rk, rounds, dec, reg, in, out, n);
        return;
    }
#endif
    cfb1Portable(rk, rounds, dec, reg, in, out, n);
}

}

Rijndael::Rijndael()
    : m_state(Invalid)
{
}

Rijndael::~Rijndael()
{
    // explicit_bzero: a store the optimiser may not drop as dead.
    explicit_bzero(m_expandedKey, sizeof m_expandedKey);
    explicit_bzero(m_initVector, sizeof m_initVector);
}

int Rijndael::init(Mode mode, Direction dir, const quint8* key, KeyLength keyLen,
                   quint8* initVector)
{
    m_state = Invalid;
    if (mode < ECB || mode > CFB1)
        return -1;
    m_mode = mode;
    if (dir < Encrypt || dir > Decrypt)
        return -2;
    m_direction = dir;
    if (initVector)
        memcpy(m_initVector, initVector, 16);
    else
        memset(m_initVector, 0, 16);
    int keyBytes;
    switch (keyLen) {
    case Key16Bytes:
        m_uRounds = 10;
        keyBytes = 16;
        break;
    case Key24Bytes:
        m_uRounds = 12;
        keyBytes = 24;
        break;
    case Key32Bytes:
        m_uRounds = 14;
        keyBytes = 32;
        break;
    default:
        return -3;
    }
    if (!key)
        return -4;
    quint8 columns[8][4];
    for (int i = 0; i < keyBytes; ++i)
        columns[i / 4][i % 4] = key[i];
    keySched(columns);
    // CFB1 runs the forward cipher in both directions, so it keeps the
    // encryption schedule even on an object made for Decrypt.
    if (m_direction == Decrypt && m_mode != CFB1)
        keyEncToDec();
    explicit_bzero(columns, sizeof columns);
    m_state = Valid;
    return 0;
}

void Rijndael::keySched(quint8 key[][4])
{
    const unsigned nk = m_uRounds - 6; // 4, 6 or 8 key columns
    const unsigned total = 4 * (m_uRounds + 1);
    quint32 w[60];
    for (unsigned i = 0; i < nk; ++i)
        w[i] = pack(key[i][0], key[i][1], key[i][2], key[i][3]);
    for (unsigned i = nk; i < total; ++i) {
        quint32 t = w[i - 1];
        if (i % nk == 0)
            t = subWord(rotl32(t, 24)) ^ T.rcon[i / nk - 1]; // RotWord, then SubWord
        else if (nk > 6 && i % nk == 4)
            t = subWord(t);
        w[i] = w[i - nk] ^ t;
    }
    for (unsigned i = 0; i < total; ++i)
        st32(m_expandedKey[i / 4][i % 4], w[i]);
    explicit_bzero(w, sizeof w);
}

void Rijndael::keyEncToDec()
{
    for (unsigned r = 1; r < m_uRounds; ++r) {
        for (int c = 0; c < 4; ++c) {
            const quint32 w = ld32(m_expandedKey[r][c]);
            st32(m_expandedKey[r][c],
                 T.u[0][b(w, 0)] ^ T.u[1][b(w, 1)] ^ T.u[2][b(w, 2)] ^ T.u[3][b(w, 3)]);
        }
    }
}

void Rijndael::encrypt(const quint8* a, quint8* out)
{
    ecbRun(&m_expandedKey[0][0][0], m_uRounds, false, a, out, 1);
}

void Rijndael::decrypt(const quint8* a, quint8* out)
{
    ecbRun(&m_expandedKey[0][0][0], m_uRounds, true, a, out, 1);
}

namespace {

// The three modes over n whole blocks; the chain starts from iv every call.
int blockRun(const quint8* rk, unsigned rounds, Rijndael::Mode mode, const quint8* iv, bool dec,
             const quint8* input, int inputLen, quint8* outBuffer)
{
    const int n = inputLen / 128;
    quint8 chain[16];
    memcpy(chain, iv, 16);
    switch (mode) {
    case Rijndael::ECB:
        ecbRun(rk, rounds, dec, input, outBuffer, size_t(n));
        break;
    case Rijndael::CBC:
        if (dec)
            cbcDecRun(rk, rounds, chain, input, outBuffer, size_t(n));
        else
            cbcEncRun(rk, rounds, chain, input, outBuffer, size_t(n));
        break;
    case Rijndael::CFB1:
        cfb1Run(rk, rounds, dec, chain, input, outBuffer, size_t(n));
        break;
    default:
        return -1;
    }
    return n * 128;
}

}

int Rijndael::blockEncrypt(const quint8* input, int inputLen, quint8* outBuffer)
{
    if (m_state != Valid)
        return -5;
    if (m_direction != Encrypt)
        return -6;
    if (!input || inputLen <= 0)
        return 0;
    return blockRun(&m_expandedKey[0][0][0], m_uRounds, m_mode, m_initVector, false, input,
                    inputLen, outBuffer);
}

int Rijndael::blockDecrypt(const quint8* input, int inputLen, quint8* outBuffer)
{
    if (m_state != Valid)
        return -5;
    // CFB1 decrypts with the forward cipher, which objects of either
    // direction hold in that mode.
    if (m_mode != CFB1 && m_direction != Decrypt)
        return -6;
    if (!input || inputLen <= 0)
        return 0;
    return blockRun(&m_expandedKey[0][0][0], m_uRounds, m_mode, m_initVector, true, input,
                    inputLen, outBuffer);
}

int Rijndael::padEncrypt(const quint8* input, int inputOctets, quint8* outBuffer)
{
    if (m_state != Valid || m_direction != Encrypt)
        return -5;
    if (!input || inputOctets <= 0)
        return 0;
    if (m_mode != ECB && m_mode != CBC)
        return -1;
    // 16 * (n + 1) must fit the int result.
    if (inputOctets / 16 >= INT_MAX / 16)
        return -8;
    const int n = inputOctets / 16;
    const quint8* rk = &m_expandedKey[0][0][0];
    quint8 chain[16];
    memcpy(chain, m_initVector, 16);
    quint8 last[16];
    const int rest = inputOctets - 16 * n;
    const int p = 16 - rest;
    memcpy(last, input + 16 * n, size_t(rest));
    memset(last + rest, p, size_t(p));
    quint8* lastOut = outBuffer + 16 * n;
    if (m_mode == ECB) {
        ecbRun(rk, m_uRounds, false, input, outBuffer, size_t(n));
        ecbRun(rk, m_uRounds, false, last, lastOut, 1);
    } else {
        cbcEncRun(rk, m_uRounds, chain, input, outBuffer, size_t(n));
        cbcEncRun(rk, m_uRounds, chain, last, lastOut, 1);
    }
    return 16 * (n + 1);
}

int Rijndael::padDecrypt(const quint8* input, int inputOctets, quint8* outBuffer)
{
    if (m_state != Valid)
        return -5;
    if (m_direction != Decrypt)
        return -6;
    if (!input || inputOctets <= 0)
        return 0;
    if (inputOctets % 16 != 0)
        return -7;
    if (m_mode != ECB && m_mode != CBC)
        return -1;
    const int n = inputOctets / 16;
    const quint8* rk = &m_expandedKey[0][0][0];
    quint8 chain[16];
    memcpy(chain, m_initVector, 16);
    quint8 last[16];
    const quint8* lastIn = input + 16 * (n - 1);
    if (m_mode == ECB) {
        ecbRun(rk, m_uRounds, true, input, outBuffer, size_t(n - 1));
        ecbRun(rk, m_uRounds, true, lastIn, last, 1);
    } else {
        cbcDecRun(rk, m_uRounds, chain, input, outBuffer, size_t(n - 1));
        cbcDecRun(rk, m_uRounds, chain, lastIn, last, 1);
    }
    const int p = last[15];
    if (p < 1 || p > 16)
        return -7;
    for (int i = 16 - p; i < 16; ++i) {
        if (last[i] != p)
            return -7;
    }
    memcpy(outBuffer + 16 * (n - 1), last, size_t(16 - p));
    return 16 * n - p;
}
