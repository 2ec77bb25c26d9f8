// VRc4: an RC4 cipher object that keeps its key; rc4() encrypts and
// decrypts in place and continues one key stream across calls.
// Thread-safety: no shared state; each object belongs to one thread at a time.
#ifndef VORNLIB_VSECURITY_RC4_H
#define VORNLIB_VSECURITY_RC4_H

#include "VCore/vornlib_export.h"

#include <QByteArray>

#include <redist/arc4/arc4.h>

class VORN_EXPORT VRc4
{
public:
    // Keys the cipher with password; ready for rc4().
    explicit VRc4(const QByteArray& password);
    // Keys the cipher with the empty key (which acts as the one byte 0x00).
    VRc4();
    // Starts from the same key and stream position as other.
    VRc4(const VRc4& other);
    VRc4& operator=(const VRc4& other) = default;
    // Wipes the cipher state, and the key when no other array shares it.
    ~VRc4();

    // Sets the key and restarts the key stream from it.
    void setPassword(const QByteArray& password);
    // Restarts the key stream from the key.
    void reset();
    // XORs the next buflen key-stream bytes into buffer. Any length is
    // processed completely (in pieces of at most INT_MAX bytes).
    void rc4(unsigned char* buffer, long buflen);

protected:
    void wipeSecret();

    arc4_context _ctx;
    QByteArray _secret;
};

#endif
