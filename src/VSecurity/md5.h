// VMD5: MD5 digest of byte arrays with an upper-case hexadecimal result,
// and digest(), the raw 16-byte MD5 of one array.
// Thread-safety: no shared state; each object belongs to one thread at a time.
#ifndef VORNLIB_VSECURITY_MD5_H
#define VORNLIB_VSECURITY_MD5_H

#include "VCore/vornlib_export.h"

#include <QByteArray>

class VMD5Private;

class VORN_EXPORT VMD5
{
public:
    static const quint32 DigestSize = 16; // bytes of a raw digest
    static const quint32 HashSize = 32;   // characters of the hex digest

    VMD5();
    // A copy owns its own state and continues from where the source was.
    VMD5(const VMD5& other);
    VMD5& operator=(const VMD5& other);
    ~VMD5();

    void appendBlock(const QByteArray& block);
    // 32 upper-case hex characters. A second call (or appending after it)
    // continues from the padded message and gives a different result.
    QByteArray completedHash();

    static QByteArray hash(const QByteArray& key);

private:
    VMD5Private* d;
};

// The raw MD5 of key: result becomes the 16 digest bytes. A global
// function with a plain name: code that defines its own digest(const
// QByteArray&, QByteArray&) clashes with it.
VORN_EXPORT void digest(const QByteArray& key, QByteArray& result);

#endif
