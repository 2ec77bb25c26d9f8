// SHA-256 (FIPS 180-2) over a caller-owned context, with plain C entry points.
// Thread-safety: separate contexts in separate threads; one context per thread at a time.
// Contexts are not wiped after finishing: digest state stays in memory.
#ifndef VORNLIB_REDIST_SHA256_IMPL_H
#define VORNLIB_REDIST_SHA256_IMPL_H

#include "VCore/vornlib_export.h"

#include <QtGlobal>

typedef quint32 sha256_word32_t;
typedef quint8 sha256_byte_t;

typedef struct
{
    sha256_word32_t H[8];  // hash words H0..H7, host order
    sha256_word32_t hbits; // message length in bits, high word
    sha256_word32_t lbits; // message length in bits, low word
    sha256_byte_t M[64];   // pending block
    sha256_byte_t mlen;    // pending bytes in M, 0..63 between calls
} vorn_SHA256_ctx;

#ifdef __cplusplus
extern "C" {
#endif

// The initial hash value, copied by every SHA256_init. The library exports
// this writable symbol under the plain name "H": a caller that writes it
// changes every later SHA256_init in the process, and a program that
// defines a global of its own named H takes its place.
extern VORN_EXPORT sha256_word32_t H[8];

// Starts a digest (M is left as it is).
VORN_EXPORT void SHA256_init(vorn_SHA256_ctx* ctx);
// Feeds data_len bytes; 0 changes nothing.
VORN_EXPORT void SHA256_update(vorn_SHA256_ctx* ctx, const void* vdata, sha256_word32_t data_len);
// Pads and leaves the result in ctx->H (host-order words). A second final,
// or an update after it, continues from the padded message.
VORN_EXPORT void SHA256_final(vorn_SHA256_ctx* ctx);
// Writes ctx->H as 32 big-endian bytes, H0 first; a null digest does nothing.
VORN_EXPORT void SHA256_digest(vorn_SHA256_ctx* ctx, sha256_byte_t* digest);

#ifdef __cplusplus
}
#endif

#endif
