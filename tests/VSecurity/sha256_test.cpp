#include <VSecurity/sha256.h>

#include "../redist/crypto_test_util.h"

using namespace ctest;

TEST(VSHA256, HashIsFirst40LowerCaseCharacters)
{
    forEachPath([] {
        EXPECT_EQ(VSHA256::hash("abc"), QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a3"));
        std::mt19937 rng(6);
        for (int i = 0; i < 50; ++i) {
            const Bytes b = randomBytes(rng, rng() % 5000);
            const QByteArray a(reinterpret_cast<const char*>(b.data()), int(b.size()));
            VSHA256 s;
            s.appendBlock(a.left(a.size() / 2));
            s.appendBlock(a.mid(a.size() / 2));
            ASSERT_EQ(s.completedHash().toStdString(),
                      toHex(opensslDigest(EVP_sha256(), b.data(), b.size())).substr(0, 40));
        }
    }, false);
}

TEST(VSHA256, CopyAndAssignContinueIndependently)
{
    VSHA256 a;
    a.appendBlock("hello ");
    VSHA256 b(a);
    VSHA256 c;
    c = a;
    a.appendBlock("world");
    b.appendBlock("there");
    EXPECT_EQ(a.completedHash(), VSHA256::hash("hello world"));
    EXPECT_EQ(b.completedHash(), VSHA256::hash("hello there"));
    EXPECT_EQ(c.completedHash(), VSHA256::hash("hello "));
}

// 63 bytes leave no room for the length; a second completedHash and an
// appendBlock after it must stay in bounds.
TEST(VSHA256, CompletedHashTwiceThenAppend)
{
    VSHA256 s;
    s.appendBlock(QByteArray(63, 'z'));
    const QByteArray first = s.completedHash();
    const QByteArray second = s.completedHash();
    EXPECT_NE(first, second);
    s.appendBlock(QByteArray(100, 'y'));
    EXPECT_EQ(s.completedHash().size(), 40);
}
