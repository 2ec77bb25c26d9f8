#include <chrono>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include <VIO/json_reader.h>
#include <VIO/json_value.h>

// Readable QString values in failure messages.
static void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

// A short form of a tree that shows every kind: A[I1,U2,D0.5,S"x",N,B1,O{k:E}].
std::string brief(const VJsonValue& v)
{
    switch (v.getType()) {
    case VJSONTYPE_EMPTY: return "E";
    case VJSONTYPE_NULL: return "N";
    case VJSONTYPE_INT: return "I" + std::to_string(v.asInt());
    case VJSONTYPE_UINT: return "U" + std::to_string(v.asUInt());
    case VJSONTYPE_DOUBLE: return "D" + v.asString().toStdString();
    case VJSONTYPE_BOOL: return v.asBool() ? "B1" : "B0";
    case VJSONTYPE_STRING: return "S\"" + v.asString().toStdString() + "\"";
    case VJSONTYPE_ARRAY: {
        std::string s = "A[";
        for (int i = 0; i < v.size(); ++i)
            s += (i ? "," : "") + brief(v.itemAt(unsigned(i)));
        return s + "]";
    }
    case VJSONTYPE_OBJECT: {
        std::string s = "O{";
        const QStringList keys = v.getMemberNames();
        for (int i = 0; i < keys.size(); ++i)
            s += (i ? "," : "") + keys.at(i).toStdString() + ":" + brief(v.itemAt(keys.at(i)));
        return s + "}";
    }
    default: return "?";
    }
}

struct Parsed
{
    int n;
    std::string tree;
    QStringList errors;
    QStringList warnings;
    VJsonValue value;
};

Parsed parse(const QString& text, int flags = 0, int maxErrors = 100)
{
    VJsonReader reader(flags, maxErrors);
    Parsed p;
    p.n = reader.parse(text, &p.value);
    p.tree = brief(p.value);
    p.errors = reader.getErrors();
    p.warnings = reader.getWarnings();
    EXPECT_EQ(p.n, p.errors.size());
    return p;
}

QString err(int line, int col, const char* msg)
{
    return QStringLiteral("Error: line %1, col %2 - %3").arg(line).arg(col).arg(QLatin1String(msg));
}

QString warn(int line, int col, const char* msg)
{
    return QStringLiteral("Warning: line %1, col %2 - %3").arg(line).arg(col).arg(QLatin1String(msg));
}

} // namespace

TEST(VJsonReader, AcceptsToleratedLayout)
{
    for (const char* text : {"[1, 2,]", "[]", "{}", "  text before [1]", "[1] trailing", "\t[\r\n1\r\n]"}) {
        Parsed p = parse(QString::fromLatin1(text));
        EXPECT_EQ(p.n, 0) << text;
        EXPECT_TRUE(p.warnings.isEmpty()) << text;
    }
    EXPECT_EQ(parse("[1, 2,]").tree, "A[I1,I2]");
}

TEST(VJsonReader, MissingValuesAndStart)
{
    Parsed p = parse("[1,,2]");
    EXPECT_EQ(p.tree, "A[I1,I2]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 5, "key or value is missing for JSON value"));
    EXPECT_EQ(parse("[,1]").errors, QStringList() << err(1, 3, "key or value is missing for JSON value"));

    p = parse("42");
    EXPECT_EQ(p.errors, QStringList() << err(1, 3, "Cannot find a start object/array character"));
    EXPECT_EQ(p.tree, "N");
}

TEST(VJsonReader, NumberKinds)
{
    Parsed p = parse("[2147483647, 2147483648, 4294967295, 4294967296, -2147483648, -2147483649, +7, 1e3, 01, -0, "
                     "0.5, -1.25e-3]");
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.tree, "A[I2147483647,U2147483648,U4294967295,D4.29497e+09,I-2147483648,D-2.14748e+09,U7,D1000,I1,I0,"
                      "D0.5,D-0.00125]");
    EXPECT_EQ(p.value.itemAt(3u).asDouble(), 4294967296.0);

    EXPECT_EQ(parse("[0x10]").errors, QStringList() << err(1, 7, "Value '0x10' is incorrect (did you forget quotes?)"));
    EXPECT_EQ(parse("[0x10]").tree, "A[]");
    // No infinities: JSON cannot hold them.
    EXPECT_EQ(parse("[-inf]").errors, QStringList() << err(1, 7, "Value '-inf' is incorrect (did you forget quotes?)"));
    EXPECT_EQ(parse("[inf]").errors,
              QStringList() << err(1, 6, "Unrecognized literal 'inf' (did you forget quotes?)"));
    EXPECT_EQ(parse("[1e999]").errors, QStringList() << err(1, 8, "Value '1e999' is incorrect (did you forget quotes?)"));
    EXPECT_EQ(parse("[+-1]").n, 1);

    // A long token is quoted cut to 64 characters.
    const QString nines(1000, QLatin1Char('9'));
    p = parse("[" + nines + "]");
    ASSERT_EQ(p.n, 1);
    EXPECT_EQ(p.errors.at(0), err(1, 1003, "Value '' is incorrect (did you forget quotes?)")
                                  .replace("''", "'" + nines.left(64) + "...'"));
}

TEST(VJsonReader, LiteralCase)
{
    Parsed p = parse("[NULL]", VJSONREAD_ALLOW_LITERAL_CASE);
    EXPECT_EQ(p.tree, "A[N]");
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.warnings, QStringList() << warn(1, 7, "the 'null' literal must be lowercase"));
    p = parse("[NULL]");
    EXPECT_EQ(p.tree, "A[N]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 7, "the 'null' literal must be lowercase"));

    p = parse("[true, TRUE, False]", VJSONREAD_ALLOW_LITERAL_CASE);
    EXPECT_EQ(p.tree, "A[B1,B1,B0]");
    EXPECT_EQ(p.warnings, QStringList() << warn(1, 13, "the 'true' literal must be lowercase")
                                        << warn(1, 20, "the 'false' literal must be lowercase"));
    // A backspace between tokens is a token of its own (once, this looped forever).
    EXPECT_EQ(parse("[\b1]").errors, QStringList() << err(1, 5, "Unrecognized literal '\b1' (did you forget quotes?)"));
    EXPECT_EQ(parse("[1,\b]").n, 1);
    EXPECT_EQ(parse("[nul]").errors, QStringList() << err(1, 6, "Unrecognized literal 'nul' (did you forget quotes?)"));
}

TEST(VJsonReader, MisplacedTokens)
{
    Parsed p = parse("{\"a\": 1 \"b\": 2}");
    EXPECT_EQ(p.tree, "O{a:I1}");
    EXPECT_EQ(p.errors, QStringList() << err(1, 12, "String value 'b' cannot follow another value")
                                      << err(1, 13, "':' follows a value which is not of type 'string'")
                                      << err(1, 16, "Value '2' cannot follow a value: ',' or ':' missing?"));

    p = parse("{\"a\": 1, \"a\": 2}");
    EXPECT_EQ(p.tree, "O{a:I2}");
    EXPECT_EQ(p.n, 0);
    p = parse("{\"\": 1}");
    EXPECT_EQ(p.tree, "O{}");
    EXPECT_EQ(p.errors, QStringList() << err(1, 8, "cannot store the value: 'key' is missing for JSON object type"));

    p = parse("{[1]}");
    EXPECT_EQ(p.tree, "O{}");
    EXPECT_EQ(p.errors, QStringList() << err(1, 3, "'[' is not allowed here ('name' is missing")
                                      << err(1, 6, "cannot store the value: 'key' is missing for JSON object type"));
    p = parse("[\"a\":1]");
    EXPECT_EQ(p.tree, "A[S\"a\"]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 6, "':' cannot be used in array's values")
                                      << err(1, 8, "Value '1' cannot follow a value: ',' or ':' missing?"));
    p = parse("[[1][2]]");
    EXPECT_EQ(p.tree, "A[A[I1,I2]]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 6, "'[' cannot follow a 'value'"));
    p = parse("{\"a\":1:}");
    EXPECT_EQ(p.errors, QStringList() << err(1, 8, "':' follows a value which is not of type 'string'"));
    p = parse("{\"a\":\"b\":1}");
    EXPECT_EQ(p.errors.value(0), err(1, 10, "':' not allowed where a 'name' string was already available"));
}

TEST(VJsonReader, ClosingBrackets)
{
    Parsed p = parse("[");
    EXPECT_EQ(p.errors, QStringList() << err(1, 2, "']' missing at end of file")
                                      << err(1, 2, "key or value is missing for JSON value"));
    p = parse("[", VJSONREAD_ALLOW_BAD_CLOSING);
    EXPECT_EQ(p.n, 1);
    EXPECT_EQ(p.warnings, QStringList() << warn(1, 2, "']' missing at end of file"));

    p = parse("[1}");
    EXPECT_EQ(p.tree, "A[I1]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 4, "Trying to close an array using the '}' (close-object) char"));
    p = parse("[1}", VJSONREAD_ALLOW_BAD_CLOSING);
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.warnings.size(), 1);
    p = parse("{\"a\":1]", VJSONREAD_ALLOW_BAD_CLOSING);
    EXPECT_EQ(p.tree, "O{a:I1}");
    EXPECT_EQ(p.warnings, QStringList() << warn(1, 8, "Trying to close an object using the ']' (close-array) char"));

    p = parse("[[1", VJSONREAD_ALLOW_BAD_CLOSING);
    EXPECT_EQ(p.tree, "A[A[I1]]");
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.warnings, QStringList() << warn(1, 4, "']' missing at end of file") << warn(1, 4, "']' missing at end of file"));
    EXPECT_EQ(parse("[[1").n, 2);
    EXPECT_EQ(parse("{\"a\":1").errors, QStringList() << err(1, 7, "'}' missing at end of file"));
}

TEST(VJsonReader, StringsAndEscapes)
{
    Parsed p = parse("[\"a\" \"b\"]");
    EXPECT_EQ(p.tree, "A[S\"ab\"]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 9, "Multiline strings are not allowed by JSON syntax"));
    p = parse("[\"a\" \"b\"]", VJSONREAD_ALLOW_MULTILINE_STRINGS);
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.warnings.size(), 1);

    p = parse("[\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\"]");
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.value.itemAt(0u).asString(), QString::fromUtf16(u"\"\\/\b\f\n\r\t\u00e9"));

    p = parse("[\"\\u20AC\\ud83d\\ude00\"]");
    EXPECT_EQ(p.value.itemAt(0u).asString(), QString::fromUtf16(u"\u20ac\U0001F600"));

    p = parse("[\"a\\qb\"]");
    EXPECT_EQ(p.tree, "A[S\"ab\"]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 6, "Unknown escaped character '\\q'"));

    // A broken \u sequence is reported; the character that broke it counts.
    p = parse("[\"\\u12\"]");
    EXPECT_EQ(p.tree, "A[S\"\"]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 8, "unicode sequence must contain 4 hex digits"));
    for (const char* bad : {"[\"\\u+123\"]", "[\"\\u 12a\"]", "[\"\\u0x12\"]", "[\"\\u-002\"]"})
        EXPECT_EQ(parse(QString::fromLatin1(bad)).n, 1) << bad;

    // NUL ends a string; between tokens it is skipped.
    p = parse(QString::fromLatin1("[\"ab\0cd\"]", 9));
    EXPECT_EQ(p.tree, "A[S\"ab\"]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 10, "Value 'cd\"' cannot follow a value: ',' or ':' missing?"));
    p = parse(QString::fromLatin1("[1,\0 2]", 7));
    EXPECT_EQ(p.tree, "A[I1,I2]");
    EXPECT_EQ(p.n, 0);
}

TEST(VJsonReader, CharactersAboveLatin1)
{
    // Kept inside strings, read as NUL (skipped) between tokens.
    Parsed p = parse(QString::fromUtf16(u"[\"a\u20acb\", 1,\u20ac2]"));
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.value.itemAt(0u).asString(), QString::fromUtf16(u"a\u20acb"));
    EXPECT_EQ(p.value.itemAt(2u).asInt(), 2);
    p = parse(QString::fromUtf16(u"{\"k\u0101\": \"\u00e9\"}"));
    EXPECT_EQ(p.value.itemAt(QString::fromUtf16(u"k\u0101")).asString(), QString::fromUtf16(u"\u00e9"));
}

TEST(VJsonReader, TruncatedTextIsAlwaysAnError)
{
    const int all = 63;
    Parsed p = parse("[\"abc", VJSONREAD_ALLOW_BAD_CLOSING);
    EXPECT_EQ(p.tree, "A[S\"abc\"]");
    EXPECT_EQ(p.errors, QStringList() << err(1, 6, "unterminated string at end of file"));
    EXPECT_EQ(p.warnings, QStringList() << warn(1, 6, "']' missing at end of file"));

    p = parse("[1 /* c", VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS | VJSONREAD_ALLOW_BAD_CLOSING);
    EXPECT_EQ(p.errors, QStringList() << err(1, 8, "unterminated comment at end of file"));
    EXPECT_EQ(p.value.itemAt(0u).getCommentCount(), 0);

    // Every cut of a valid text fails unless missing brackets are tolerated;
    // a cut inside a string or a comment fails whatever the flags.
    const QString text = QStringLiteral("{\"a\": [1, \"x y\", {\"b\": null}], /* c */ \"d\": \"e\"}");
    for (int len = 0; len < text.size(); ++len)
        EXPECT_GT(parse(text.left(len), all & ~VJSONREAD_ALLOW_BAD_CLOSING).n, 0) << len;
    for (int len : {12, 14, 22, 33, 36, 45})
        EXPECT_GT(parse(text.left(len), all).n, 0) << len;
    EXPECT_EQ(parse(text, all).n, 0);
}

TEST(VJsonReader, CommentFlags)
{
    const char* tolerated = "Comments may be tolerated in JSON text but they are not part of JSON syntax";
    Parsed p = parse("[1, // c\n2]", VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS);
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.warnings, QStringList() << warn(1, 7, tolerated));
    EXPECT_EQ(p.value.itemAt(0u).getCommentArray(), QStringList() << "// c\n");
    EXPECT_EQ(p.value.itemAt(0u).getCommentPos(), VJSONCOMMENT_SAME_LINE);

    p = parse("[1, // c\n2]", VJSONREAD_KEEP_COMMENTS);
    EXPECT_EQ(p.errors, QStringList() << err(1, 7, tolerated));
    EXPECT_EQ(p.value.itemAt(0u).getCommentCount(), 1);

    p = parse("[1, // c\n2]", VJSONREAD_ALLOW_COMMENTS);
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.value.itemAt(0u).getCommentCount(), 0);

    p = parse("[1 / 2]");
    EXPECT_EQ(p.errors.value(0), err(1, 6, "Strange '/' (did you want to insert a comment?)"));
}

TEST(VJsonReader, CommentPositions)
{
    const int keep = VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS;
    Parsed p = parse("[1,\n// c\n2]", keep);
    EXPECT_EQ(p.warnings.value(0), warn(2, 3, "Comments may be tolerated in JSON text but they are not part of JSON syntax"));
    EXPECT_EQ(p.value.itemAt(1u).getCommentPos(), VJSONCOMMENT_BEFORE);
    EXPECT_EQ(p.value.itemAt(1u).getComment(0), "// c\n");

    p = parse("[1,\n// c\n2]", keep | VJSONREAD_COMMENTS_AFTER);
    EXPECT_EQ(p.value.itemAt(0u).getCommentPos(), VJSONCOMMENT_AFTER);
    EXPECT_EQ(p.value.itemAt(1u).getCommentCount(), 0);

    p = parse("// head\n[1]", keep);
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.value.getComment(0), "// head\n");
    EXPECT_EQ(p.value.getCommentPos(), VJSONCOMMENT_BEFORE);
    // A header comment goes to the root also when comments belong to the value before.
    p = parse("// head\n[1]", keep | VJSONREAD_COMMENTS_AFTER);
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.value.getComment(0), "// head\n");

    p = parse("[ // c\n1]", keep);
    EXPECT_EQ(p.value.getCommentPos(), VJSONCOMMENT_SAME_LINE);
    EXPECT_EQ(p.warnings.value(0), warn(1, 5, "Comments may be tolerated in JSON text but they are not part of JSON syntax"));
    p = parse("[1 /* c */, 2]", keep);
    EXPECT_EQ(p.value.itemAt(0u).getCommentArray(), QStringList() << "/* c */");
    EXPECT_EQ(p.value.itemAt(0u).getCommentPos(), VJSONCOMMENT_SAME_LINE);

    p = parse("{\n  \"a\": 1, // one\n  // two\n  \"b\": 2\n}", keep);
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.value.itemAt(QStringLiteral("a")).getComment(-1), "// one\n");
    EXPECT_EQ(p.value.itemAt(QStringLiteral("b")).getComment(-1), "// two\n");

    p = parse("[\n// c\n1]", keep | VJSONREAD_COMMENTS_AFTER);
    EXPECT_EQ(p.errors, QStringList() << err(3, 1, "Cannot find a value for storing the comment (flag AFTER)"));
}

// Each member's trailing comment reaches that member while the object keeps
// growing (and its hash keeps regrowing) around the stored ones.
TEST(VJsonReader, CommentsReachTheirMembersInGrowingObjects)
{
    const int count = 600;
    QString text = QStringLiteral("{\n");
    for (int i = 0; i < count; ++i) {
        text += QStringLiteral("\"k%1\": %2 /* s%1 */,\n// a%1\n").arg(i).arg(i % 2 ? i : -i);
        if (i % 50 == 0)
            text += QStringLiteral("\"o%1\": {\"x\": [%1, {\"y\": %1}] // i%1\n},\n// b%1\n").arg(i);
    }
    text += QStringLiteral("\"end\": 0\n}");
    Parsed p = parse(text, VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS | VJSONREAD_COMMENTS_AFTER);
    ASSERT_EQ(p.n, 0) << p.errors.value(0).toStdString();
    for (int i = 0; i < count; ++i) {
        const VJsonValue& v = p.value.itemAt(QStringLiteral("k%1").arg(i));
        ASSERT_EQ(v.getCommentArray(), QStringList() << QStringLiteral("/* s%1 */").arg(i)
                                                     << QStringLiteral("// a%1\n").arg(i)) << i;
        ASSERT_EQ(v.asInt(), i % 2 ? i : -i);
        if (i % 50 == 0) {
            const VJsonValue& inner = p.value.itemAt(QStringLiteral("o%1").arg(i));
            EXPECT_EQ(inner.itemAt(QStringLiteral("x")).getCommentArray(),
                      QStringList() << QStringLiteral("// i%1\n").arg(i));
            EXPECT_EQ(inner.getCommentArray(), QStringList() << QStringLiteral("// b%1\n").arg(i));
        }
    }
    EXPECT_EQ(p.value.itemAt(QStringLiteral("end")).getCommentCount(), 0);
}

TEST(VJsonReader, ErrorCutOff)
{
    VJsonReader two(0, 2);
    EXPECT_EQ(two.parse("[x y z]", nullptr), 3);
    EXPECT_EQ(two.getErrors(), QStringList() << err(1, 4, "Unrecognized literal 'x' (did you forget quotes?)")
                                             << err(1, 6, "Unrecognized literal 'y' (did you forget quotes?)")
                                             << "Error: too many error messages - ignoring further errors");
    VJsonReader none(0, 0);
    EXPECT_EQ(none.parse("[x y z]", nullptr), 1);
    EXPECT_EQ(none.getErrors(), QStringList() << "Error: too many error messages - ignoring further errors");

    VJsonReader warnings(VJSONREAD_ALLOW_LITERAL_CASE, 1);
    EXPECT_EQ(warnings.parse("[NULL, NULL, NULL]", nullptr), 0);
    EXPECT_EQ(warnings.getWarningCount(), 2);
    EXPECT_EQ(warnings.getWarnings().last(), "Error: too many warning messages - ignoring further warnings");

    // A negative limit keeps everything and never reports success on bad text.
    VJsonReader unlimited(0, -1);
    EXPECT_EQ(unlimited.parse("[x y z]", nullptr), 3);
    EXPECT_EQ(unlimited.parse("[1]", nullptr), 0);
}

TEST(VJsonReader, LinesAndColumns)
{
    EXPECT_EQ(parse("[1,\nx]").errors.value(0), err(2, 3, "Unrecognized literal 'x' (did you forget quotes?)"));
    EXPECT_EQ(parse("[1,\r\nx]").errors.value(0), err(2, 3, "Unrecognized literal 'x' (did you forget quotes?)"));
    EXPECT_EQ(parse("[1,\rx]").errors.value(0), err(1, 4, "Unrecognized literal 'x' (did you forget quotes?)"));
    Parsed p = parse("[\r\n  x");
    ASSERT_EQ(p.n, 3);
    for (const QString& e : p.errors)
        EXPECT_TRUE(e.startsWith("Error: line 2, col 4 - ")) << e.toStdString();

    p = parse("[1,\n2\n]");
    EXPECT_EQ(p.value.getLineNo(), 3);
    EXPECT_EQ(p.value.itemAt(0u).getLineNo(), 1);
    EXPECT_EQ(p.value.itemAt(1u).getLineNo(), 3);
}

TEST(VJsonReader, TargetsAndSyntaxCheck)
{
    VJsonReader reader(0, 100);
    EXPECT_EQ(reader.parse("[1,,2]", nullptr), 1);

    VJsonValue array;
    array.append(0);
    EXPECT_EQ(reader.parse("[1]", &array), 0);
    EXPECT_EQ(brief(array), "A[I0,I1]");

    VJsonValue object;
    object["a"] = 0;
    object["b"] = 0;
    EXPECT_EQ(reader.parse("{\"a\":1}", &object), 0);
    EXPECT_EQ(brief(object), "O{a:I1,b:I0}");

    VJsonValue scalar(5);
    VJsonValue shared(scalar);
    EXPECT_EQ(reader.parse("[1]", &scalar), 0);
    EXPECT_EQ(brief(scalar), "A[I1]");
    EXPECT_EQ(shared.asInt(), 5);

    // The reader is reusable: each parse starts afresh.
    EXPECT_EQ(reader.parse("[x]", nullptr), 1);
    EXPECT_EQ(reader.parse("[1]", nullptr), 0);
    EXPECT_EQ(reader.getErrorCount(), 0);
}

TEST(VJsonReader, NestingDepthIsBounded)
{
    VJsonReader reader(0, 100);
    VJsonValue v;
    EXPECT_EQ(reader.parse(QString(1000000, QLatin1Char('[')), &v), 1);
    EXPECT_EQ(reader.getErrors().value(0), err(1, 1002, "maximum nesting depth (1000) exceeded"));

    QString objects;
    for (int i = 0; i < 100000; ++i)
        objects += QLatin1String("{\"a\":");
    EXPECT_EQ(reader.parse(objects, &v), 1);

    // 1000 levels are fine.
    const QString ok = QString(1000, QLatin1Char('[')) + QString(1000, QLatin1Char(']'));
    EXPECT_EQ(reader.parse(ok, &v), 0);
    EXPECT_EQ(reader.parse(QLatin1Char('[') + ok + QLatin1Char(']'), &v), 1);

    // A 1 MB number token.
    EXPECT_EQ(reader.parse("[" + QString(1 << 20, QLatin1Char('1')) + "]", &v), 1);
}

// Error recovery may re-enter one container again and again: reading stays
// linear in the text all the same.
TEST(VJsonReader, BadTextIsReadInLinearTime)
{
    const int n = 100000;
    struct Case
    {
        const char* open;
        const char* repeat;
        const char* close;
        int size; // of the container the repeats pile into
    };
    const Case cases[] = {
        {"[", "[1]", "]", n},            // one array re-entered
        {"[", "{\"k\":1}", "]", 1},      // one object re-entered
        {"{\"k\":", "[1]", "}", n},      // the array of a member
        {"[", "\"a\"", "]", -1},         // one string joined
        {"[1", " 2", "]", -1},            // values without commas
    };
    for (const Case& c : cases) {
        QString text = QLatin1String(c.open);
        text.reserve(text.size() + n * int(strlen(c.repeat)) + 1);
        for (int i = 0; i < n; ++i)
            text += QLatin1String(c.repeat);
        text += QLatin1String(c.close);
        VJsonReader reader(0, 20);
        VJsonValue v;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_GT(reader.parse(text, &v), 0) << c.repeat;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Linear takes well under a second even sanitized; quadratic, minutes.
        EXPECT_LT(seconds, 8.0) << c.repeat;
        if (c.size > 0) {
            VJsonValue inner = v.isArray() ? v.itemAt(0u) : v.itemAt(QStringLiteral("k"));
            EXPECT_EQ(inner.size(), c.size) << c.repeat;
        }
    }
}

TEST(VJsonReader, Utf8NumBytes)
{
    EXPECT_EQ(VJsonReader::UTF8NumBytes('a'), 1);
    EXPECT_EQ(VJsonReader::UTF8NumBytes(char(0x80)), 1);
    EXPECT_EQ(VJsonReader::UTF8NumBytes(char(0xC3)), 2);
    EXPECT_EQ(VJsonReader::UTF8NumBytes(char(0xE2)), 3);
    EXPECT_EQ(VJsonReader::UTF8NumBytes(char(0xF0)), 4);
    EXPECT_EQ(VJsonReader::UTF8NumBytes(char(0xFC)), 6);
    EXPECT_EQ(VJsonReader::UTF8NumBytes(char(0xFE)), -1);
    EXPECT_EQ(VJsonReader::UTF8NumBytes(char(0xFF)), -1);
}
