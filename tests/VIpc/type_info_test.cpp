#include <VIpc/type_info.h>
#include <VIpc/type_registry.h>

#include <gtest/gtest.h>

#include "exception_text.h"

using vtest::exceptionText;

namespace {

// A digest producer that keeps the bytes it is fed.
struct Recorder
{
    QByteArray bytes;
    void appendBlock(const QByteArray& b) { bytes += b; }
    QByteArray completedHash() { return VMD5::hash(bytes); }
};

VTypeInfo exampleType()
{
    VTypeInfo t("T");
    t.addField32("a");
    t.finalize();
    return t;
}

}

TEST(VTypeInfo, WorkedExampleDigests)
{
    const VTypeInfo t = exampleType();
    EXPECT_EQ(t.getTypeDigest(), QByteArray("A5A286FCE14F74E478D10FF308ED8CF0"));
    EXPECT_EQ(t.getSize(), 80u);
    EXPECT_EQ(t.getMinimalSize(), 80u);
    EXPECT_EQ(t.getFieldsCount(), 4u);
    EXPECT_EQ(t.getOffsetsFieldOffset(), 36u);
    EXPECT_EQ(t.getFieldInfoByOrder(3).getName(), "a");
    EXPECT_EQ(t.getFieldInfoByName("Offsets").getSize(), 40u);
    EXPECT_EQ(t.getFieldsNames(), (QList<QString>{ "ContentDigest", "TypeDigest", "Offsets", "a" }));

    VTypeInfo empty("T");
    empty.finalize();
    EXPECT_EQ(empty.getTypeDigest(), QByteArray("58989585F059168A3E4E2CC12072AD24"));
    EXPECT_EQ(empty.getSize(), 68u);
    EXPECT_EQ(empty.getOffsetsFieldOffset(), 36u);
}

TEST(VTypeInfo, DigestInputByteForByte)
{
    VTypeInfo_t<Recorder> t("T");
    t.addField32("a");
    t.finalize();
    const QByteArray expected = QByteArray::fromHex(
        "54"
        "61000000030000000400000000" "00000003"
        "436f6e74656e74446967657374" "00000003000000040000000100000000"
        "54797065446967657374" "00000065000000200000000100000001"
        "4f666673657473" "00000065000000280000000100000002");
    EXPECT_EQ(expected.size(), 96);
    EXPECT_EQ(t.getTypeDigest(), VMD5::hash(expected));
    EXPECT_EQ(t.getTypeDigest(), QByteArray("A5A286FCE14F74E478D10FF308ED8CF0"));
}

TEST(VTypeInfo, ErrorTextsWithLocation)
{
    VTypeInfo t("T");
    t.addField32("a");
    EXPECT_EQ(exceptionText([&] { t.addField8("a"); }), "VIpc/type_info:337 [T] field already defined: a.");
    EXPECT_EQ(exceptionText([&] { t.getFieldInfoByOrder(0); }), "VIpc/type_info:237 type not finalized: T");
    EXPECT_EQ(exceptionText([&] { t.getTypeDigest(); }), "VIpc/type_info:259 type not finalized: T");
    EXPECT_EQ(exceptionText([&] { t.getOffsetsFieldOffset(); }), "VIpc/type_info:374 type not finalized: T");
    EXPECT_EQ(exceptionText([&] { t.getFieldInfoByName("zz"); }), "VIpc/type_info:223 undefined field: zz");
    EXPECT_NE(exceptionText([&] { t.addField32("ContentDigest"); })
                  .find("VIpc/field_info:196 The internal field parameters are not as expected(is ["),
              std::string::npos);
    EXPECT_EQ(t.getFieldsCount(), 1u); // failed adds changed nothing
    t.finalize();
    EXPECT_EQ(exceptionText([&] { t.finalize(); }), "VIpc/type_info:209 type T is already finalized");
    EXPECT_EQ(exceptionText([&] { t.addField8("b"); }), "VIpc/type_info:337 Type already finalized: T.");
    EXPECT_EQ(exceptionText([&] { t.addField8("a"); }),
              "VIpc/type_info:337 [T] field already defined: a.Type already finalized: T.");
    EXPECT_EQ(exceptionText([&] { t.getFieldInfoByOrder(4); }),
              ("VIpc/type_info:245 illegal field order was requested: 4 (should be [0, 3], " + t.toString() + ")")
                  .toStdString());
    EXPECT_EQ(t.getTypeDigest(), exampleType().getTypeDigest());
}

TEST(VTypeInfo, VariableSizeAndToString)
{
    VTypeInfo t("T");
    EXPECT_EQ(t.toString(), "Type: Name T, Digest <the type is not finalized yet>, Size 0 [  ]");
    t.addFieldVariableSize("v");
    t.addField32("a");
    EXPECT_TRUE(t.isOfVariableSize());
    EXPECT_EQ(t.getSize(), 0u);
    EXPECT_EQ(t.getMinimalSize(), 4u);
    EXPECT_EQ(t.getFieldsNames(), (QList<QString>{ "v", "a" }));
    EXPECT_EQ(t.toString(), "Type: Name T, Digest <the type is not finalized yet>, Size 0 [ Field: Name v, "
                            "Type FT_VARIABLE_SIZE, Size 0, Properties FP_NOTHING, Order 3, Field: Name a, "
                            "Type FT_32, Size 4, Properties FP_NOTHING, Order 4 ]");
    t.finalize();
    EXPECT_EQ(t.getSize(), 0u);
    EXPECT_EQ(t.getMinimalSize(), 4u + 4 + 32 + 48);

    VTypeInfo one("T");
    one.addField32("a");
    EXPECT_EQ(one.toString(), "Type: Name T, Digest <the type is not finalized yet>, Size 4 [ Field: Name a, "
                              "Type FT_32, Size 4, Properties FP_NOTHING, Order 3 ]");
    EXPECT_EQ(exampleType().toString().left(62),
              "Type: Name T, Digest A5A286FCE14F74E478D10FF308ED8CF0, Size 80");
}

TEST(VTypeInfo, CopyOnWriteKeepsDigestsIndependent)
{
    VTypeInfo a("T");
    a.addField16("x");
    VTypeInfo b = a;
    EXPECT_TRUE(a == b);
    a.addField32("a");
    b.addField64("b");
    EXPECT_FALSE(a == b);
    a.finalize();
    b.finalize();

    VTypeInfo a2("T");
    a2.addField16("x");
    a2.addField32("a");
    a2.finalize();
    VTypeInfo b2("T");
    b2.addField16("x");
    b2.addField64("b");
    b2.finalize();
    EXPECT_EQ(a.getTypeDigest(), a2.getTypeDigest());
    EXPECT_EQ(b.getTypeDigest(), b2.getTypeDigest());
    EXPECT_NE(a.getTypeDigest(), b.getTypeDigest());
    EXPECT_FALSE(a == a2);
    EXPECT_TRUE(a.isIdenticalTo(a2));

    VTypeInfo renamed("U");
    renamed.addField16("x");
    renamed.addField32("a");
    renamed.finalize();
    EXPECT_TRUE(renamed.isIdenticalTo(a));
    EXPECT_NE(renamed.getTypeDigest(), a.getTypeDigest());
}

TEST(VTypeInfo, NonLatin1NamesDigestAsQuestionMark)
{
    VTypeInfo euro(QString::fromUtf8("T\u20ac"));
    euro.finalize();
    VTypeInfo question("T?");
    question.finalize();
    EXPECT_EQ(euro.getTypeDigest(), question.getTypeDigest());
}

TEST(VTypeRegistry, RegisterLookUpAndUnregister)
{
    VTypeRegistry* reg = VTypeRegistry::getInstance();
    ASSERT_EQ(reg, VTypeRegistry::getInstance());
    VTypeInfo open("RegT");
    EXPECT_EQ(exceptionText([&] { reg->registerType(open); }), "VIpc/type_registry:80 type not finalized: RegT");

    VTypeInfo t("RegT");
    t.addField32("a");
    t.finalize();
    reg->registerType(t);
    EXPECT_TRUE(reg->isTypeRegistered(QString("RegT")));
    EXPECT_TRUE(reg->isTypeRegistered(t.getTypeDigest()));
    EXPECT_TRUE(reg->getTypeInfoByName("RegT") == t);
    EXPECT_TRUE(reg->getTypeInfoByDigest(t.getTypeDigest()) == t);

    VTypeInfo again("RegT");
    again.finalize();
    EXPECT_EQ(exceptionText([&] { reg->registerType(again); }), "VIpc/type_registry:82 type already defined: RegT");

    reg->unregisterTypeByDigest(t.getTypeDigest());
    EXPECT_FALSE(reg->isTypeRegistered(QString("RegT")));
    EXPECT_FALSE(reg->isTypeRegistered(t.getTypeDigest()));
    reg->registerType(t);
    reg->unregisterTypeByName("RegT");
    EXPECT_FALSE(reg->isTypeRegistered(t.getTypeDigest()));
    reg->registerType(t);
    reg->unregisterTypeByTypeInfo(t);
    EXPECT_FALSE(reg->isTypeRegistered(QString("RegT")));

    EXPECT_EQ(exceptionText([&] { reg->getTypeInfoByName("RegT"); }), "VIpc/type_registry:107 unrecognized type, named RegT");
    EXPECT_EQ(exceptionText([&] { reg->getTypeInfoByDigest("ABC"); }),
              "VIpc/type_registry:129 unrecognized type with digest ABC");
    EXPECT_EQ(exceptionText([&] { reg->unregisterTypeByName("RegT"); }),
              "VIpc/type_registry:31 unrecognized type, named RegT");
    EXPECT_EQ(exceptionText([&] { reg->unregisterTypeByDigest("ABC"); }),
              "VIpc/type_registry:57 unrecognized type with digest ABC");
}

// Two names that differ only in a character Latin-1 lacks share a digest:
// the second is refused instead of taking over the first one's entry.
TEST(VTypeRegistry, RefusesSecondTypeWithSameDigest)
{
    VTypeRegistry* reg = VTypeRegistry::getInstance();
    VTypeInfo a(QString::fromUtf8("Coll\u20ac"));
    a.finalize();
    VTypeInfo b(QString::fromUtf8("Coll\u0152"));
    b.finalize();
    ASSERT_EQ(a.getTypeDigest(), b.getTypeDigest());
    reg->registerType(a);
    const std::string w = exceptionText([&] { reg->registerType(b); });
    EXPECT_EQ(w.substr(0, 23), "VIpc/type_registry:84 t");
    EXPECT_NE(w.find("type already defined"), std::string::npos);
    EXPECT_FALSE(reg->isTypeRegistered(b.getName()));
    EXPECT_EQ(reg->getTypeInfoByDigest(a.getTypeDigest()).getName(), a.getName());
    reg->unregisterTypeByName(a.getName());
    EXPECT_FALSE(reg->isTypeRegistered(a.getTypeDigest()));
}
