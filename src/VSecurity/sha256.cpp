#include "sha256.h"

#include <redist/sha256/sha256_impl.h>

#include <cstdio>

class VSHA256Private
{
public:
    vorn_SHA256_ctx ctx;
};

VSHA256::VSHA256()
    : d(new VSHA256Private)
{
    SHA256_init(&d->ctx);
}

VSHA256::VSHA256(const VSHA256& other)
    : d(new VSHA256Private(*other.d))
{
}

VSHA256& VSHA256::operator=(const VSHA256& other)
{
    if (this != &other)
        *d = *other.d;
    return *this;
}

VSHA256::~VSHA256()
{
    delete d;
}

void VSHA256::appendBlock(const QByteArray& block)
{
    // A QByteArray holds fewer than 2^31 bytes, within one update's limit.
    if (!block.isEmpty())
        SHA256_update(&d->ctx, block.constData(), sha256_word32_t(block.size()));
}

QByteArray VSHA256::completedHash()
{
    SHA256_final(&d->ctx);
    char text[41];
    for (int i = 0; i < 5; ++i)
        snprintf(text + 8 * i, 9, "%08x", unsigned(d->ctx.H[i]));
    return QByteArray(text, 40);
}

QByteArray VSHA256::hash(const QByteArray& key)
{
    VSHA256 sha;
    sha.appendBlock(key);
    return sha.completedHash();
}
