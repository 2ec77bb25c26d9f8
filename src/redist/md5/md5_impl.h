// MD5 (RFC 1321) over a caller-owned context, with plain C entry points.
// Thread-safety: no shared state; one context per thread at a time.
// Contexts are not wiped after finishing: digest state stays in memory.
#ifndef VORNLIB_REDIST_MD5_IMPL_H
#define VORNLIB_REDIST_MD5_IMPL_H

#include "VCore/vornlib_export.h"

typedef unsigned int md5_word_t;   // 32 bits
typedef unsigned char md5_byte_t;  // 8 bits

typedef struct md5_state_s
{
    md5_word_t count[2]; // message length in bits, low word first
    md5_word_t abcd[4];  // chaining words A, B, C, D
    md5_byte_t buf[64];  // pending bytes of the current block
} md5_state_t;

#ifdef __cplusplus
extern "C" {
#endif

// Starts a digest (buf is left as it is).
VORN_EXPORT void vornlib_md5_init(md5_state_t* pms);
// Feeds nbytes bytes; nbytes <= 0 does nothing. Longer messages than
// 2^31 - 1 bytes are fed in several calls.
VORN_EXPORT void vornlib_md5_append(md5_state_t* pms, const md5_byte_t* data, int nbytes);
// Pads, writes the 16 digest bytes; the state is neither reset nor wiped,
// so appending afterwards continues from the padded message.
VORN_EXPORT void vornlib_md5_finish(md5_state_t* pms, md5_byte_t digest[16]);

#ifdef __cplusplus
}
#endif

#endif
