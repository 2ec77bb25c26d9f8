// VSHA256: SHA-256 of byte arrays; the text result is H0..H4 as 40
// lower-case hexadecimal characters (the first 160 bits of the digest).
// Thread-safety: no shared state; each object belongs to one thread at a time.
#ifndef VORNLIB_VSECURITY_SHA256_H
#define VORNLIB_VSECURITY_SHA256_H

#include "VCore/vornlib_export.h"

#include <QByteArray>

class VSHA256Private;

class VORN_EXPORT VSHA256
{
public:
    VSHA256();
    // A copy owns its own state and continues from where the source was.
    VSHA256(const VSHA256& other);
    VSHA256& operator=(const VSHA256& other);
    ~VSHA256();

    void appendBlock(const QByteArray& block);
    // 40 lower-case hex characters. A second call (or appending after it)
    // continues from the padded message and gives a different result.
    QByteArray completedHash();

    static QByteArray hash(const QByteArray& key);

private:
    VSHA256Private* d;
};

#endif
