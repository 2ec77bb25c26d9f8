#include "md5.h"

#include <redist/md5/md5_impl.h>

#include <climits>

const quint32 VMD5::DigestSize;
const quint32 VMD5::HashSize;

class VMD5Private
{
public:
    md5_state_t _state;
    md5_byte_t _digestString[17];
};

namespace {

void appendAll(md5_state_t* state, const char* data, qint64 size)
{
    // The primitive takes an int count: feed longer arrays in pieces.
    while (size > 0) {
        const int n = size > INT_MAX ? INT_MAX : int(size);
        vornlib_md5_append(state, reinterpret_cast<const md5_byte_t*>(data), n);
        data += n;
        size -= n;
    }
}

const char hexUpper[] = "0123456789ABCDEF";

}

VMD5::VMD5()
    : d(new VMD5Private)
{
    d->_digestString[16] = 0;
    vornlib_md5_init(&d->_state);
}

VMD5::VMD5(const VMD5& other)
    : d(new VMD5Private(*other.d))
{
}

VMD5& VMD5::operator=(const VMD5& other)
{
    if (this != &other)
        *d = *other.d;
    return *this;
}

VMD5::~VMD5()
{
    delete d;
}

void VMD5::appendBlock(const QByteArray& block)
{
    appendAll(&d->_state, block.constData(), block.size());
}

QByteArray VMD5::completedHash()
{
    vornlib_md5_finish(&d->_state, d->_digestString);
    QByteArray text(int(HashSize), Qt::Uninitialized);
    for (quint32 i = 0; i < DigestSize; ++i) {
        text[int(2 * i)] = hexUpper[d->_digestString[i] >> 4];
        text[int(2 * i + 1)] = hexUpper[d->_digestString[i] & 0x0F];
    }
    return text;
}

QByteArray VMD5::hash(const QByteArray& key)
{
    QByteArray raw;
    digest(key, raw);
    return raw.toHex().toUpper();
}

void digest(const QByteArray& key, QByteArray& result)
{
    md5_state_t state;
    md5_byte_t bytes[16];
    vornlib_md5_init(&state);
    appendAll(&state, key.constData(), key.size());
    vornlib_md5_finish(&state, bytes);
    result = QByteArray(reinterpret_cast<const char*>(bytes), 16);
}
