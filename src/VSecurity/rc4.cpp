#include "rc4.h"
#include "rc4_p.h"

#include <atomic>
#include <climits>
#include <string.h>

namespace {

std::atomic<long> g_chunkLimit(INT_MAX);

}

void VRc4Internal::setChunkLimit(long limit)
{
    g_chunkLimit.store(limit > 0 && limit <= INT_MAX ? limit : INT_MAX);
}

VRc4::VRc4(const QByteArray& password)
    : _secret(password)
{
    reset();
}

VRc4::VRc4()
{
    reset();
}

VRc4::VRc4(const VRc4& other)
    : _ctx(other._ctx), _secret(other._secret)
{
}

VRc4::~VRc4()
{
    // explicit_bzero: stores the optimiser may not drop as dead.
    explicit_bzero(&_ctx, sizeof _ctx);
    wipeSecret();
}

// The bytes are wiped in place only while this array is their sole owner:
// data() would otherwise make a copy and wipe that.
void VRc4::wipeSecret()
{
    if (_secret.isDetached())
        explicit_bzero(_secret.data(), size_t(_secret.size()));
}

void VRc4::setPassword(const QByteArray& password)
{
    if (_secret.constData() != password.constData())
        wipeSecret();
    _secret = password;
    reset();
}

void VRc4::reset()
{
    // constData() of an empty array is a readable "\0", which arc4_setup
    // uses as the one key byte; it never writes through the pointer.
    arc4_setup(&_ctx, reinterpret_cast<unsigned char*>(const_cast<char*>(_secret.constData())),
               _secret.size());
}

void VRc4::rc4(unsigned char* buffer, long buflen)
{
    const long limit = g_chunkLimit.load(std::memory_order_relaxed);
    while (buflen > 0) {
        const long n = buflen > limit ? limit : buflen;
        arc4_crypt(&_ctx, buffer, int(n));
        buffer += n;
        buflen -= n;
    }
}
