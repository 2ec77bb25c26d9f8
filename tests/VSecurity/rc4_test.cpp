#define OPENSSL_SUPPRESS_DEPRECATED
#include <VSecurity/rc4.h>
#include <VSecurity/rc4_p.h>

#include "../redist/crypto_test_util.h"

#include <openssl/rc4.h>

#include <cstring>
#include <new>

using namespace ctest;

namespace {

Bytes crypt(VRc4& c, Bytes b)
{
    c.rc4(b.data(), long(b.size()));
    return b;
}

}

TEST(VRc4, ResetRestartsTheStream)
{
    std::mt19937 rng(8);
    const Bytes plain = randomBytes(rng, 16);
    VRc4 c("Key");
    const Bytes enc = crypt(c, plain);
    RC4_KEY rk;
    RC4_set_key(&rk, 3, reinterpret_cast<const unsigned char*>("Key"));
    Bytes ref(16);
    RC4(&rk, 16, plain.data(), ref.data());
    EXPECT_EQ(enc, ref);
    c.reset();
    EXPECT_EQ(crypt(c, enc), plain);

    c.reset();
    Bytes split = plain;
    c.rc4(split.data(), 10);
    c.rc4(split.data() + 10, 0);
    c.rc4(split.data() + 10, 6);
    EXPECT_EQ(split, enc);
}

TEST(VRc4, CopyContinuesFromSamePosition)
{
    VRc4 a("secret");
    Bytes skip(7, 0);
    a.rc4(skip.data(), 7);
    VRc4 b(a);
    VRc4 c;
    c = a;
    const Bytes zeros(32, 0);
    const Bytes sa = crypt(a, zeros);
    EXPECT_EQ(crypt(b, zeros), sa);
    EXPECT_EQ(crypt(c, zeros), sa);
    b.reset();
    Bytes whole(39, 0);
    b.rc4(whole.data(), 39);
    EXPECT_EQ(Bytes(whole.begin() + 7, whole.end()), sa);
}

TEST(VRc4, EmptyAndDefaultKeysActAsZeroByte)
{
    const Bytes zeros(64, 0);
    VRc4 zeroKey(QByteArray(1, '\0'));
    const Bytes ref = crypt(zeroKey, zeros);
    VRc4 empty((QByteArray()));
    EXPECT_EQ(crypt(empty, zeros), ref);
    VRc4 def;
    EXPECT_EQ(crypt(def, zeros), ref);
    VRc4 other("x");
    other.setPassword(QByteArray(""));
    EXPECT_EQ(crypt(other, zeros), ref);
    other.setPassword("Key");
    VRc4 direct("Key");
    EXPECT_EQ(crypt(other, zeros), crypt(direct, zeros));
}

// Long buffers go to the primitive in pieces; the result is one stream.
TEST(VRc4, LongBuffersAreProcessedInPieces)
{
    std::mt19937 rng(10);
    const Bytes plain = randomBytes(rng, 1000);
    VRc4 whole("pieces");
    const Bytes ref = crypt(whole, plain);
    VRc4Internal::setChunkLimit(7);
    VRc4 pieces("pieces");
    const Bytes got = crypt(pieces, plain);
    VRc4Internal::setChunkLimit(0);
    EXPECT_EQ(got, ref);
}

TEST(VRc4, DestructorWipesTheCipherState)
{
    alignas(VRc4) unsigned char storage[sizeof(VRc4)];
    VRc4* c = new (storage) VRc4(QByteArray("Key"));
    unsigned char state[64];
    std::memcpy(state, storage, sizeof state); // the start of the permutation
    c->~VRc4();
    EXPECT_EQ(nullptr, memmem(storage, sizeof storage, state, sizeof state));
    for (size_t i = 0; i < sizeof(arc4_context); ++i)
        ASSERT_EQ(0, storage[i]) << i;
}
