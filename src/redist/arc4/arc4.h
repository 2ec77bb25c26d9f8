// ARC4 (the RC4 stream cipher) over a caller-owned context.
// Thread-safety: no shared state; one context per thread at a time.
#ifndef VORNLIB_REDIST_ARC4_H
#define VORNLIB_REDIST_ARC4_H

#include "VCore/vornlib_export.h"

typedef struct
{
    int m[256]; // the permutation, entries 0..255
    int x;      // first index, 0..255
    int y;      // second index, 0..255
} arc4_context;

#ifdef __cplusplus
extern "C" {
#endif

// Key schedule. The key bytes repeat every keylen bytes; with keylen <= 1
// key[0] is used at every step, so at least one byte must be readable.
VORN_EXPORT void arc4_setup(arc4_context* ctx, unsigned char* key, int keylen);
// XORs the next buflen key-stream bytes into buf (encrypts and decrypts);
// buflen <= 0 does nothing. Consecutive calls continue one stream.
VORN_EXPORT void arc4_crypt(arc4_context* ctx, unsigned char* buf, int buflen);
// Runs three published vectors, prints a report on standard output;
// 0 when all pass, 1 at the first failure.
VORN_EXPORT int arc4_self_test();

#ifdef __cplusplus
}
#endif

#endif
