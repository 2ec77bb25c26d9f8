#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include <VCore/vexception.h>
#include <exception_text.h>
#include <VIO/json_value.h>

namespace {

// An array nested depth levels deep, built in code.
VJsonValue nested(int depth)
{
    VJsonValue v;
    for (int i = 0; i < depth; ++i) {
        VJsonValue outer(VJSONTYPE_ARRAY);
        outer.append(v);
        v = outer;
    }
    return v;
}

} // namespace

TEST(VJsonValue, ConversionsAndTheirExceptions)
{
    EXPECT_EQ(VJsonValue(true).asInt(), 1);
    EXPECT_EQ(VJsonValue(-1).asUInt(), 4294967295u);
    EXPECT_EQ(VJsonValue(7u).asDouble(), 7.0);
    EXPECT_EQ(vtest::exceptionText([] { VJsonValue(5u).asInt(); }),
              "VIO/json_value:521 VJsonValue::asInt() - value type is unsigned");
    EXPECT_EQ(vtest::exceptionText([] { VJsonValue("x").asInt(); }),
              "VIO/json_value:527 VJsonValue::asInt() - the value is not compatible with INT");
    EXPECT_EQ(vtest::exceptionText([] { VJsonValue("x").asUInt(); }),
              "VIO/json_value:730 VJsonValue::AsUInt() - the value is not compatible with UInt");
    EXPECT_EQ(vtest::exceptionText([] { VJsonValue("1").asDouble(); }),
              "VIO/json_value:581 VJsonValue::asDouble() - the value is not compatible with DOUBLE");
    EXPECT_EQ(vtest::exceptionText([] { VJsonValue(VJSONTYPE_ARRAY).asString(); }),
              "VIO/json_value:644 VJsonValue::asString() - the value is not compatible with STRING");
    EXPECT_EQ(vtest::exceptionText([] { VJsonValue(VJSONTYPE_INT64).asString(); }),
              "VIO/json_value:644 VJsonValue::asString() - the value is not compatible with STRING");
    EXPECT_EQ(vtest::exceptionText([] { VJsonValue(VJsonType(20)).toString(); }),
              "VIO/json_value:1589 VJsonValue::toString(): Unknown type (received \"\")");
}

TEST(VJsonValue, AsStringByKind)
{
    EXPECT_EQ(VJsonValue(0.1 + 0.2).asString(), "0.3");
    EXPECT_EQ(VJsonValue(1e6).asString(), "1e+06");
    EXPECT_EQ(VJsonValue(4294967295u).asString(), "4294967295");
    EXPECT_EQ(VJsonValue(-12).asString(), "-12");
    EXPECT_EQ(VJsonValue(VJSONTYPE_EMPTY).asString(), "<empty>");
    EXPECT_EQ(VJsonValue().asString(), "null");
    EXPECT_EQ(VJsonValue(false).asString(), "false");
    EXPECT_EQ(VJsonValue(VJSONTYPE_CSTRING).asString(), "");
    // const char* is Latin-1: the two UTF-8 bytes of 'é' stay two characters.
    EXPECT_EQ(VJsonValue("\xc3\xa9").asString().size(), 2);
}

TEST(VJsonValue, AsBoolAnswersByKind)
{
    VJsonValue v(true);
    v = 0; // the old bool field must not show through
    EXPECT_FALSE(v.asBool());
    v = 5;
    EXPECT_TRUE(v.asBool());
    EXPECT_TRUE(VJsonValue(0.5).asBool());
    EXPECT_FALSE(VJsonValue(0u).asBool());
    EXPECT_FALSE(VJsonValue("true").asBool());
    EXPECT_FALSE(VJsonValue().asBool());
    EXPECT_TRUE(VJsonValue(true).asBool());
}

TEST(VJsonValue, CommentsAreCheckedAndStored)
{
    VJsonValue v;
    EXPECT_EQ(v.addComment(QStringLiteral("// x"), 0), 1);
    EXPECT_EQ(v.getComment(0), "// x\n");
    EXPECT_EQ(v.getCommentPos(), VJSONCOMMENT_BEFORE);
    EXPECT_EQ(v.addComment(QStringLiteral("/* x */  "), 2), 2);
    EXPECT_EQ(v.getComment(1), "/* x */  ");
    EXPECT_EQ(v.getCommentPos(), VJSONCOMMENT_AFTER);
    EXPECT_EQ(v.addComment(QStringLiteral("# x"), 1), -1);
    EXPECT_EQ(v.addComment(QStringLiteral("/* x"), 1), -1);
    EXPECT_EQ(v.addComment(QStringLiteral("/"), 1), -1);
    EXPECT_EQ(v.addComment(QStringLiteral("/**/"), 3), 3);
    EXPECT_EQ(v.getComment(99), "");
    EXPECT_EQ(v.getComment(-1), "// x\n/* x */  /**/");
    EXPECT_EQ(v.getCommentCount(), 3);

    // Texts that would not stay one comment when written back.
    EXPECT_EQ(v.addComment(QStringLiteral("// a\n5,\n"), 1), -1);
    EXPECT_EQ(v.addComment(QStringLiteral("/**/ 1, 2 /**/"), 1), -1);
    EXPECT_EQ(v.addComment(QStringLiteral("/*/"), 1), -1);
    EXPECT_EQ(v.getCommentPos(), 3);
    EXPECT_EQ(v.addComment(QStringLiteral("// a\n// b\n"), 1), 4);

    VJsonValue w;
    EXPECT_EQ(w.addComment(QStringList() << "// a" << "x" << "/* b */", 3), 2);
    w.clearComments();
    EXPECT_EQ(w.getCommentCount(), 0);
    EXPECT_EQ(w.getCommentPos(), 3);
}

TEST(VJsonValue, ContainerOperations)
{
    VJsonValue v;
    v.item(3u);
    ASSERT_EQ(v.size(), 4);
    EXPECT_TRUE(v.itemAt(0u).isNull());
    EXPECT_EQ(v.itemAt(0u).getRefData()->getRefCount(), 5); // four elements and the copy

    VJsonValue s("t");
    s.append(1);
    ASSERT_TRUE(s.isArray());
    EXPECT_EQ(s.size(), 1);
    EXPECT_EQ(s.itemAt(0u).asInt(), 1);

    EXPECT_EQ(VJsonValue(3).size(), -1);
    VJsonValue o;
    o["a"] = 1;
    EXPECT_FALSE(o.hasMember(0u));
    EXPECT_TRUE(o.hasMember(QStringLiteral("a")));
    EXPECT_TRUE(o.itemAt(QStringLiteral("b")).isEmpty());
    EXPECT_TRUE(s.itemAt(9u).isEmpty());
    EXPECT_EQ(o.get(QStringLiteral("b"), VJsonValue(7)).asInt(), 7);
    EXPECT_EQ(o.get(QStringLiteral("a"), VJsonValue(7)).asInt(), 1);

    EXPECT_TRUE(s.remove(0));
    EXPECT_FALSE(s.remove(0));
    EXPECT_FALSE(s.remove(-1));
    EXPECT_FALSE(o.remove(QStringLiteral("b")));
    EXPECT_TRUE(o.remove(QStringLiteral("a")));

    VJsonValue t("ab");
    EXPECT_TRUE(t.cat("cd"));
    EXPECT_EQ(t.asString(), "abcd");
    EXPECT_FALSE(o.cat("x"));

    t.setType(VJSONTYPE_CSTRING);
    EXPECT_TRUE(t.isString());
    EXPECT_EQ(t.asString(), "");
    t.setType(VJSONTYPE_INT64);
    EXPECT_TRUE(t.isEmpty());

    t = "xyz";
    EXPECT_TRUE(t.isString());
    EXPECT_EQ(t.asString(), "xyz");

    t.addComment(QStringLiteral("// c"), 1);
    t.setLineNo(4);
    t.clear();
    EXPECT_TRUE(t.isEmpty());
    EXPECT_EQ(t.getCommentCount(), 0);
    EXPECT_EQ(t.getLineNo(), -1);
}

TEST(VJsonValue, MemberNamesAreSorted)
{
    VJsonValue o;
    for (const char* key : {"delta", "alpha", "charlie", "bravo"})
        o[QString::fromLatin1(key)] = 1;
    EXPECT_EQ(o.getMemberNames(), QStringList() << "alpha" << "bravo" << "charlie" << "delta");
    EXPECT_EQ(o.getInfo(), "Object: Type=VJSONTYPE_OBJECT Size=4 comments=0\n"
                           "    Member name: alpha\n    Member name: bravo\n"
                           "    Member name: charlie\n    Member name: delta\n");
    EXPECT_TRUE(VJsonValue(1).getMemberNames().isEmpty());
}

TEST(VJsonValue, IndexTooLargeThrows)
{
    VJsonValue v;
    EXPECT_EQ(vtest::exceptionText([&v] { v.item(4000000000u); }), "VJsonValue::item() - index too large");
    EXPECT_EQ(vtest::exceptionText([&v] { v.item(1u << 28); }), "VJsonValue::item() - index too large");
    EXPECT_TRUE(v.isNull());
}

TEST(VJsonValue, IsSameAs)
{
    auto array = [](std::initializer_list<int> items) {
        VJsonValue a(VJSONTYPE_ARRAY);
        for (int i : items)
            a.append(i);
        return a;
    };
    EXPECT_TRUE(array({1, 2, 2}).isSameAs(array({2, 1, 2})));
    EXPECT_FALSE(array({1, 2, 2}).isSameAs(array({1, 1, 2})));
    EXPECT_FALSE(array({1, 2}).isSameAs(array({1, 2, 3})));
    EXPECT_TRUE(VJsonValue(1).isSameAs(VJsonValue(1.0)));
    EXPECT_TRUE(VJsonValue(4294967295u).isSameAs(VJsonValue(4294967295.0)));
    EXPECT_FALSE(VJsonValue(true).isSameAs(VJsonValue(1)));
    EXPECT_TRUE(VJsonValue().isSameAs(VJsonValue()));
    EXPECT_FALSE(VJsonValue().isSameAs(VJsonValue(VJSONTYPE_EMPTY)));

    VJsonValue nan(std::nan(""));
    VJsonValue sameNan(nan);
    EXPECT_TRUE(nan.isSameAs(sameNan));
    EXPECT_FALSE(nan.isSameAs(VJsonValue(std::nan(""))));

    VJsonValue a, b;
    a["x"] = 1;
    b["y"] = 1;
    EXPECT_FALSE(a.isSameAs(b));
    b.remove(QStringLiteral("y"));
    b["x"] = 1.0;
    b.addComment(QStringLiteral("// ignored"), 2);
    EXPECT_TRUE(a.isSameAs(b));

    // Same order: linear; large arrays must not take quadratic time.
    VJsonValue big1(VJSONTYPE_ARRAY), big2(VJSONTYPE_ARRAY);
    for (int i = 0; i < 50000; ++i) {
        big1.append(i);
        big2.append(i);
    }
    EXPECT_TRUE(big1.isSameAs(big2));

    EXPECT_EQ(VJsonValue::typeToString(VJSONTYPE_INT32), "VJSONTYPE_INT32");
    EXPECT_EQ(VJsonValue::typeToString(VJsonType(14)), "");
}

TEST(VJsonValue, CopyOnWrite)
{
    VJsonValue a(5);
    VJsonValue b(a);
    EXPECT_EQ(a.getRefData(), b.getRefData());
    b = 6;
    EXPECT_NE(a.getRefData(), b.getRefData());
    EXPECT_EQ(a.asInt(), 5);

    VJsonValue tree;
    tree["list"].append(1);
    VJsonValue copy = tree;
    copy["list"].item(0u) = 2;
    EXPECT_EQ(tree.itemAt(QStringLiteral("list")).itemAt(0u).asInt(), 1);
    EXPECT_EQ(copy.itemAt(QStringLiteral("list")).itemAt(0u).asInt(), 2);

    VJsonValue c(tree);
    c.remove(QStringLiteral("missing"));
    EXPECT_NE(c.getRefData(), tree.getRefData());
    VJsonValue d(tree);
    d.addComment(QStringLiteral("# not a comment"), 1);
    EXPECT_NE(d.getRefData(), tree.getRefData());
    VJsonValue e(tree);
    e.setLineNo(3);
    EXPECT_EQ(tree.getLineNo(), -1);
}

TEST(VJsonValue, AppendingItselfMakesNoCycle)
{
    VJsonValue v;
    v.append(1);
    v.append(v);
    ASSERT_EQ(v.size(), 2);
    EXPECT_EQ(v.itemAt(1u).size(), 1);
    EXPECT_NO_THROW(v.toString());

    // An element appended to its own array.
    VJsonValue w;
    for (int i = 0; i < 100; ++i)
        w.append(w.item(0u));
    EXPECT_EQ(w.size(), 101);
}

TEST(VJsonValue, DeepTreesDieWithoutRecursion)
{
    {
        VJsonValue deep = nested(200000);
        EXPECT_TRUE(deep.isArray());
    } // destroyed here: must not overflow the stack

    VJsonValue a = nested(VJsonValue::MaxDepth + 5);
    VJsonValue b = nested(VJsonValue::MaxDepth + 5);
    EXPECT_THROW(a.isSameAs(b), VException);
    EXPECT_THROW(a.toString(), VException);
    EXPECT_THROW(a.dump(true), VException);
    EXPECT_TRUE(a.isSameAs(a));

    VJsonValue c = nested(100);
    VJsonValue d = nested(100);
    EXPECT_TRUE(c.isSameAs(d));
}

TEST(VJsonValue, DebugTexts)
{
    VJsonValue v;
    v.append(1);
    v.item(1u)["k"] = "s";
    EXPECT_EQ(v.toString(), "Type: VJSONTYPE_ARRAY, size: 2\n"
                            "0 :\n"
                            "   Type: VJSONTYPE_INT 1\n"
                            "1 :\n"
                            "   Type: VJSONTYPE_OBJECT, size: 1\n"
                            "      k :\n"
                            "      Type: VJSONTYPE_STRING s\n");
    const QString dump = v.dump(true, 0);
    EXPECT_TRUE(dump.startsWith("Object: Type=VJSONTYPE_ARRAY Size=2 comments=0\n      : RefData="));
    EXPECT_EQ(dump.count("Num shares=1\n"), 4);
    EXPECT_TRUE(dump.contains("\n   Object: Type=VJSONTYPE_INT Size=-1 comments=0\n   "));
    // Only the first line of getInfo(): no member names.
    EXPECT_FALSE(dump.contains("Member name"));
    EXPECT_TRUE(dump.contains("\n   Object: Type=VJSONTYPE_OBJECT Size=1 comments=0\n         : RefData="));
}

// A handle given its own child (or grandchild) must take the child before it
// lets go of the payload that holds it: copy and move alike.
TEST(VJsonValue, AssigningItsOwnChildKeepsTheChild)
{
    VJsonValue cur;
    cur["a"]["b"] = 7;
    cur = cur["a"];
    ASSERT_TRUE(cur.isObject());
    cur = cur[QStringLiteral("b")];
    EXPECT_EQ(cur.asInt(), 7);

    VJsonValue arr;
    arr[0u][0u] = QStringLiteral("first");
    arr.append(2);
    arr = arr[0u];
    ASSERT_TRUE(arr.isArray());
    EXPECT_EQ(arr.itemAt(0u).asString(), "first");
    arr = arr.item(0u);
    EXPECT_EQ(arr.asString(), "first");

    VJsonValue moved;
    moved["k"].append(5);
    moved = std::move(moved["k"]);
    ASSERT_TRUE(moved.isArray());
    EXPECT_EQ(moved.itemAt(0u).asInt(), 5);

    // A shared parent stays intact in its other handle.
    VJsonValue parent;
    parent["x"] = QStringLiteral("y");
    VJsonValue other = parent;
    VJsonValue walk = parent;
    walk = walk[QStringLiteral("x")];
    EXPECT_EQ(walk.asString(), "y");
    EXPECT_EQ(other.itemAt(QStringLiteral("x")).asString(), "y");
}

// A const char* assignment keeps a copy of the text, never the pointer: also
// on a value whose kind was given as CSTRING.
TEST(VJsonValue, CStringAssignmentEndsAsString)
{
    for (VJsonType kind : {VJSONTYPE_CSTRING, VJSONTYPE_STRING, VJSONTYPE_INT}) {
        VJsonValue v(kind);
        {
            std::string text = "abc";
            v = text.c_str();
        }
        EXPECT_EQ(v.getType(), VJSONTYPE_STRING) << kind;
        EXPECT_EQ(v.asString(), "abc") << kind;
        EXPECT_TRUE(v.isSameAs(VJsonValue("abc"))) << kind;
    }
    VJsonValue fresh(VJSONTYPE_CSTRING);
    fresh.setType(VJSONTYPE_CSTRING);
    EXPECT_TRUE(fresh.isString());
}

// Freeing a tree takes apart only what no other handle shares: a copied
// payload shares its containers with the original until either changes.
TEST(VJsonValue, FreeingATreeLeavesSharedPartsIntact)
{
    auto build = [] {
        VJsonValue tree;
        for (int i = 0; i < 50; ++i) {
            VJsonValue& record = tree.item(unsigned(i));
            record["id"] = i;
            record["tags"].append(QStringLiteral("t%1").arg(i));
            record["nested"]["deep"].append(i);
        }
        return tree;
    };
    for (int keep = 0; keep < 3; ++keep) {
        VJsonValue tree = build();
        VJsonValue copy = tree;
        copy.setLineNo(7); // its own payload; arrays and maps still shared
        VJsonValue member = tree.itemAt(10u).itemAt(QStringLiteral("nested"));
        if (keep == 0)
            tree = VJsonValue();
        else if (keep == 1)
            copy = VJsonValue();
        else
            member = VJsonValue();
        const VJsonValue& left = keep == 1 ? tree : copy;
        ASSERT_EQ(left.size(), 50);
        EXPECT_TRUE(left.isSameAs(build()));
        if (keep != 2)
            EXPECT_EQ(member.itemAt(QStringLiteral("deep")).itemAt(0u).asInt(), 10);
    }
}
