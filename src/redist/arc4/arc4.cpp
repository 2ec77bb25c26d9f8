#include "arc4.h"

#include <stdio.h>
#include <string.h>

#include <QtGlobal>

extern "C" void arc4_setup(arc4_context* ctx, unsigned char* key, int keylen)
{
    int* m = ctx->m;
    ctx->x = 0;
    ctx->y = 0;
    for (int i = 0; i < 256; ++i)
        m[i] = i;
    unsigned j = 0;
    int k = 0;
    for (int i = 0; i < 256; ++i) {
        const int a = m[i];
        j = (j + unsigned(a) + key[k]) & 0xFF;
        m[i] = m[j];
        m[j] = a;
        // ">=" rather than "==": keylen <= 0 must still stay on key[0].
        if (++k >= keylen)
            k = 0;
    }
}

namespace {

// One RC4 step. Taking the low byte of each entry (a byte load) keeps every
// index inside m even if the context was never set up.
inline unsigned char arc4Next(int* m, unsigned& x, unsigned& y)
{
    x = (x + 1) & 0xFF;
    const unsigned a = static_cast<unsigned char>(m[x]);
    y = (y + a) & 0xFF;
    const unsigned b = static_cast<unsigned char>(m[y]);
    m[x] = int(b);
    m[y] = int(a);
    return static_cast<unsigned char>(m[(a + b) & 0xFF]);
}

}

extern "C" void arc4_crypt(arc4_context* ctx, unsigned char* buf, int buflen)
{
    if (buflen <= 0)
        return;
    int* m = ctx->m;
    unsigned x = unsigned(ctx->x) & 0xFF;
    unsigned y = unsigned(ctx->y) & 0xFF;
    size_t left = size_t(buflen);
    // Eight key-stream bytes are gathered into one word and XORed at once.
    for (; left >= 8; left -= 8, buf += 8) {
        quint64 ks = 0;
        for (int k = 0; k < 8; ++k) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            ks |= quint64(arc4Next(m, x, y)) << (56 - 8 * k);
#else
            ks |= quint64(arc4Next(m, x, y)) << (8 * k);
#endif
        }
        quint64 v;
        memcpy(&v, buf, 8);
        v ^= ks;
        memcpy(buf, &v, 8);
    }
    for (; left > 0; --left, ++buf)
        *buf ^= arc4Next(m, x, y);
    ctx->x = int(x);
    ctx->y = int(y);
}

namespace {

const unsigned char testKey[3][8] = {
    { 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF },
    { 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF },
    { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00 },
};

const unsigned char testPlain[3][8] = {
    { 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF },
    { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00 },
    { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00 },
};

const unsigned char testCipher[3][8] = {
    { 0x75, 0xB7, 0x87, 0x80, 0x99, 0xE0, 0xC5, 0x96 },
    { 0x74, 0x94, 0xC2, 0xE7, 0x10, 0x4B, 0x08, 0x79 },
    { 0xDE, 0x18, 0x89, 0x41, 0xA3, 0x37, 0x5D, 0x3A },
};

}

extern "C" int arc4_self_test()
{
    for (int n = 0; n < 3; ++n) {
        printf("  ARC4 test #%d: ", n + 1);
        unsigned char key[8];
        unsigned char buf[8];
        memcpy(key, testKey[n], 8);
        memcpy(buf, testPlain[n], 8);
        arc4_context ctx;
        arc4_setup(&ctx, key, 8);
        arc4_crypt(&ctx, buf, 8);
        if (memcmp(buf, testCipher[n], 8) != 0) {
            puts("failed");
            return 1;
        }
        puts("passed");
    }
    putchar('\n');
    return 0;
}
