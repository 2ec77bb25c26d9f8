#include <VSecurity/md5.h>

#include "../redist/crypto_test_util.h"

using namespace ctest;

TEST(VMD5, HashFormsAndRawDigest)
{
    EXPECT_EQ(VMD5::hash(""), QByteArray("D41D8CD98F00B204E9800998ECF8427E"));
    QByteArray raw("garbage");
    digest(QByteArray(), raw);
    EXPECT_EQ(raw.toHex().toUpper(), QByteArray("D41D8CD98F00B204E9800998ECF8427E"));
    EXPECT_EQ(raw.size(), int(VMD5::DigestSize));

    VMD5 m;
    m.appendBlock("a");
    m.appendBlock(QByteArray());
    m.appendBlock("bc");
    const QByteArray h = m.completedHash();
    EXPECT_EQ(h, QByteArray("900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_EQ(h.size(), int(VMD5::HashSize));
    EXPECT_EQ(VMD5::hash("abc"), h);
}

TEST(VMD5, MatchesOpenSslOnRandomInput)
{
    std::mt19937 rng(5);
    for (int i = 0; i < 50; ++i) {
        const Bytes b = randomBytes(rng, rng() % 5000);
        const QByteArray a(reinterpret_cast<const char*>(b.data()), int(b.size()));
        ASSERT_EQ(VMD5::hash(a).toStdString(),
                  QByteArray::fromStdString(toHex(opensslDigest(EVP_md5(), b.data(), b.size())))
                      .toUpper().toStdString());
    }
}

// Copies own their state: a copy taken mid-stream continues on its own.
TEST(VMD5, CopyAndAssignContinueIndependently)
{
    VMD5 a;
    a.appendBlock("hello ");
    VMD5 b(a);
    VMD5 c;
    c.appendBlock("something else");
    c = a;
    c = c;
    a.appendBlock("world");
    b.appendBlock("there");
    EXPECT_EQ(a.completedHash(), VMD5::hash("hello world"));
    EXPECT_EQ(b.completedHash(), VMD5::hash("hello there"));
    EXPECT_EQ(c.completedHash(), VMD5::hash("hello "));
}

TEST(VMD5, SecondCompletedHashContinues)
{
    VMD5 m;
    m.appendBlock("abc");
    const QByteArray first = m.completedHash();
    EXPECT_NE(m.completedHash(), first);
    m.appendBlock("more");
    EXPECT_EQ(m.completedHash().size(), 32);
}
