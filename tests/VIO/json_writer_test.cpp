#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <VCore/vexception.h>
#include <VIO/json_reader.h>
#include <VIO/json_value.h>
#include <VIO/json_writer.h>

static void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

QString written(const VJsonValue& v, int style = 0, int indent = 0, int step = 0)
{
    VJsonWriter writer(style, indent, step);
    QString out;
    writer.write(v, out);
    return out;
}

VJsonValue read(const QString& text, int flags = 0)
{
    VJsonReader reader(flags, 100);
    VJsonValue v;
    EXPECT_EQ(reader.parse(text, &v), 0) << text.toStdString() << "\n"
                                         << reader.getErrors().join("\n").toStdString();
    return v;
}

VJsonValue twoInts()
{
    VJsonValue a;
    a.append(1);
    a.append(2);
    return a;
}

// Random trees of ASCII strings, numbers, literals and containers.
class TreeMaker
{
public:
    explicit TreeMaker(unsigned seed) : m_rng(seed) {}

    VJsonValue make(int depth)
    {
        const int kind = int(m_rng() % (depth > 0 ? 9 : 6));
        switch (kind) {
        case 0: return VJsonValue(int(m_rng()));
        case 1: return VJsonValue(unsigned(m_rng()) | 0x80000000u);
        case 2: return VJsonValue(randomDouble());
        case 3: return VJsonValue(text());
        case 4: return VJsonValue(m_rng() % 2 == 0);
        case 5: return VJsonValue();
        case 6:
        case 7: {
            VJsonValue a(VJSONTYPE_ARRAY);
            for (int i = int(m_rng() % 5); i > 0; --i)
                a.append(make(depth - 1));
            return a;
        }
        default: {
            VJsonValue o(VJSONTYPE_OBJECT);
            for (int i = int(m_rng() % 5); i > 0; --i)
                o[text() + QLatin1Char('k')] = make(depth - 1);
            return o;
        }
        }
    }

    double randomDouble()
    {
        switch (m_rng() % 4) {
        case 0: return double(int(m_rng() % 2000000) - 1000000) / 64.0;
        case 1: return std::ldexp(double(m_rng() % (1ULL << 53)), int(m_rng() % 200) - 100);
        case 2: return 4294967296.0 * double(m_rng() % 100000 + 1);
        default: {
            double d;
            do {
                const unsigned long long bits = m_rng();
                std::memcpy(&d, &bits, sizeof d);
            } while (!std::isfinite(d));
            return d;
        }
        }
    }

    QString text()
    {
        static const char chars[] = "ab z\"\\/\b\f\n\r\t\x01\x1f~{}[],:";
        QString s;
        for (int i = int(m_rng() % 8); i > 0; --i)
            s += QLatin1Char(chars[m_rng() % (sizeof chars - 1)]);
        return s;
    }

    std::mt19937_64 m_rng;
};

} // namespace

TEST(VJsonWriter, LayoutOfStyles)
{
    VJsonValue v;
    v["a"].append(1);
    v["a"].append("x");
    EXPECT_EQ(written(v, VJSONWRITE_INDENT, 0, 2), "{\n  \"a\" : [\n    1,\n    \"x\"\n  ]\n}\n");
    EXPECT_EQ(written(v, 0, 7, 9), "{\n\"a\" : [\n1,\n\"x\"\n]\n}\n");

    EXPECT_EQ(written(VJsonValue(VJSONTYPE_ARRAY), VJSONWRITE_INDENT, 0, 2), "[\n]\n");
    VJsonValue nestedArray;
    nestedArray.append(VJsonValue(VJSONTYPE_ARRAY));
    EXPECT_EQ(written(nestedArray, VJSONWRITE_INDENT, 0, 2), "[\n  [\n  ]\n]\n");
    VJsonValue withObject;
    withObject.append(VJsonValue(VJSONTYPE_OBJECT));
    EXPECT_EQ(written(withObject, VJSONWRITE_INDENT, 4, 2), "    [\n      {\n      }\n    ]\n");
}

TEST(VJsonWriter, MembersInKeyOrder)
{
    VJsonValue o;
    for (const char* key : {"b", "a", "d", "c"})
        o[QString::fromLatin1(key)] = 1;
    EXPECT_EQ(written(o), "{\n\"a\" : 1,\n\"b\" : 1,\n\"c\" : 1,\n\"d\" : 1\n}\n");
}

TEST(VJsonWriter, StringEscapes)
{
    EXPECT_EQ(written(VJsonValue(QStringLiteral("q\"b\\s/t\tn\n"))), "\"q\\\"b\\\\s\\/t\\tn\\n\"\n");
    EXPECT_EQ(written(VJsonValue(QStringLiteral("\b\f\r"))), "\"\\b\\f\\r\"\n");
    // Above Latin-1 and other control characters become \u escapes.
    EXPECT_EQ(written(VJsonValue(QString(QChar(0x20AC)))), "\"\\u20ac\"\n");
    EXPECT_EQ(written(VJsonValue(QString(QChar(0x0001)))), "\"\\u0001\"\n");
    EXPECT_EQ(written(VJsonValue(QString(QChar(0)))), "\"\\u0000\"\n");
    EXPECT_EQ(written(VJsonValue(QString(QChar(0x00E9)))), QString(QLatin1String("\"\xe9\"\n")));

    VJsonValue keys;
    keys[QString::fromUtf16(u"a\u20ac")] = 1;
    keys[QString::fromUtf16(u"a\u20a4")] = 2;
    EXPECT_EQ(written(keys), "{\n\"a\\u20a4\" : 2,\n\"a\\u20ac\" : 1\n}\n");

    const QString wide = QString::fromUtf16(u"x\u20ac\U0001F600\u00e9\u0000\u001f\u007f/\"y");
    VJsonValue s;
    s.append(wide);
    EXPECT_EQ(read(written(s)).itemAt(0u).asString(), wide);
    EXPECT_EQ(read(written(keys)).getMemberNames(), keys.getMemberNames());
}

TEST(VJsonWriter, SplitStrings)
{
    VJsonValue v;
    v.append(QStringLiteral("a\nb"));
    const QString text = written(v, VJSONWRITE_INDENT | VJSONWRITE_SPLIT_STRINGS, 0, 2);
    EXPECT_EQ(text, "[\n  \"a\\n\"\n      \"b\"\n]\n");

    VJsonReader tolerant(VJSONREAD_ALLOW_MULTILINE_STRINGS, 100);
    VJsonValue back;
    EXPECT_EQ(tolerant.parse(text, &back), 0);
    EXPECT_EQ(tolerant.getWarningCount(), 1);
    EXPECT_EQ(back.itemAt(0u).asString(), "a\nb");
    VJsonReader strict(0, 100);
    EXPECT_EQ(strict.parse(text, nullptr), 1);

    // Without indentation nothing is split.
    EXPECT_EQ(written(v, VJSONWRITE_SPLIT_STRINGS, 0, 2), "[\n\"a\\nb\"\n]\n");
}

TEST(VJsonWriter, NumbersAndLiterals)
{
    EXPECT_EQ(written(VJsonValue(4294967295u)), "4294967295\n");
    EXPECT_EQ(written(VJsonValue(int(-2147483647 - 1))), "-2147483648\n");
    EXPECT_EQ(written(VJsonValue(0.1)), "0.1\n");
    EXPECT_EQ(written(VJsonValue(2.0)), "2\n");
    EXPECT_EQ(written(VJsonValue(1e20)), "1e+20\n");
    EXPECT_EQ(written(VJsonValue(1e6)), "1e+06\n");
    EXPECT_EQ(written(VJsonValue(0.5)), "0.5\n");
    EXPECT_EQ(written(VJsonValue(3.14159)), "3.14159\n");
    // More digits only where six would lose the value.
    EXPECT_EQ(written(VJsonValue(3.141592653589793)), "3.141592653589793\n");
    EXPECT_EQ(written(VJsonValue(4294967296.0)), "4294967296\n");
    EXPECT_EQ(written(VJsonValue(123456789012.0)), "123456789012\n");
    EXPECT_EQ(written(VJsonValue(1234567.0)), "1234567\n");
    EXPECT_EQ(written(VJsonValue(0.1 + 0.2)), "0.30000000000000004\n");
    EXPECT_EQ(written(VJsonValue(-0.0)), "-0.0\n");
    EXPECT_EQ(written(VJsonValue(0.0)), "0\n");
    EXPECT_EQ(written(VJsonValue(std::nan(""))), "null\n");
    EXPECT_EQ(written(VJsonValue(-std::numeric_limits<double>::infinity())), "null\n");
    EXPECT_EQ(written(VJsonValue()), "null\n");
    EXPECT_EQ(written(VJsonValue(true)), "true\n");
}

TEST(VJsonWriter, DoublesRoundTrip)
{
    TreeMaker maker(7);
    VJsonValue list(VJSONTYPE_ARRAY);
    for (int i = 0; i < 5000; ++i)
        list.append(maker.randomDouble());
    for (double d : {5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, -0.0, 1e-7, 123456.7})
        list.append(d);
    const VJsonValue back = read(written(list));
    ASSERT_EQ(back.size(), list.size());
    for (int i = 0; i < list.size(); ++i) {
        const double want = list.itemAt(unsigned(i)).asDouble();
        EXPECT_EQ(back.itemAt(unsigned(i)).asDouble(), want) << i << " " << want;
    }
}

// The significant digits of a number text without leading or trailing
// zeros, and the decimal exponent of the first.
static std::pair<std::string, int> digitsOf(const std::string& text)
{
    std::string digits;
    int point = -1;
    int exponent = 0;
    size_t i = text[0] == '-' ? 1 : 0;
    for (; i < text.size() && text[i] != 'e'; ++i) {
        if (text[i] == '.')
            point = int(digits.size());
        else
            digits += text[i];
    }
    if (i < text.size())
        exponent = std::atoi(text.c_str() + i + 1);
    if (point < 0)
        point = int(digits.size());
    exponent += point - 1;
    while (digits.size() > 1 && digits[0] == '0') {
        digits.erase(0, 1);
        --exponent;
    }
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    return {digits, exponent};
}

TEST(VJsonWriter, DoublesKeepTheirShortestDigits)
{
    // Around the limits of short forms: 14 to 17 significant digits, their
    // neighbours, powers of ten and 2^53, over the decimal exponents where
    // scaling by a power of ten is exact and past them.
    std::mt19937_64 rng(11);
    std::vector<double> values;
    for (int i = 0; i < 60000; ++i) {
        const int digits = 14 + int(rng() % 4);
        std::string text = std::to_string(1 + rng() % 9);
        for (int d = 1; d < digits; ++d)
            text += char('0' + rng() % 10);
        text += 'e' + std::to_string(int(rng() % 40) - 26);
        double v = 0;
        std::from_chars(text.data(), text.data() + text.size(), v);
        values.push_back(v);
        values.push_back(std::nextafter(v, rng() % 2 ? 0.0 : 1e300));
    }
    for (int e = -12; e <= 25; ++e) {
        const double p = std::pow(10.0, e);
        for (double v : {p, std::nextafter(p, 0.0), std::nextafter(p, 1e300), 9.99999999999999 * p, 1.00000000000001 * p})
            values.push_back(v);
    }
    for (int d = -8; d <= 8; ++d)
        values.push_back(9007199254740992.0 + 2 * d);
    VJsonValue list(VJSONTYPE_ARRAY);
    for (size_t i = 0; i < values.size(); ++i)
        list.append(i % 2 ? -values[i] : values[i]);

    const QStringList lines = written(list).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), list.size() + 3);
    for (int i = 0; i < list.size(); ++i) {
        const double value = list.itemAt(unsigned(i)).asDouble();
        std::string text = lines[i + 1].toStdString();
        if (!text.empty() && text.back() == ',')
            text.pop_back();
        char shortest[40];
        const std::string sci(shortest, std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific).ptr);
        const auto want = digitsOf(sci);
        const auto got = digitsOf(text);
        EXPECT_EQ(got, want) << text << " for " << sci;
        // The 'e' form where a 'g' form of max(digits, 6) would use it.
        const bool scientific = want.second < -4 || want.second >= std::max<int>(int(want.first.size()), 6);
        EXPECT_EQ(text.find('e') != std::string::npos, scientific) << text;
        EXPECT_EQ(text[0] == '-', value < 0) << text;
    }
}

// The compact text of v with members in getMemberNames() order.
static QString compactText(const VJsonValue& v, bool comma)
{
    QString out;
    if (v.isObject()) {
        out = QStringLiteral("{\n");
        const QStringList keys = v.getMemberNames();
        for (int i = 0; i < keys.size(); ++i)
            out += QLatin1Char('"') + keys[i] + QStringLiteral("\" : ") +
                   compactText(v.itemAt(keys[i]), i + 1 < keys.size());
        out += QLatin1Char('}');
    } else if (v.isArray()) {
        out = QStringLiteral("[\n");
        for (int i = 0; i < v.size(); ++i)
            out += compactText(v.itemAt(unsigned(i)), i + 1 < v.size());
        out += QLatin1Char(']');
    } else {
        out = QString::number(v.asInt());
    }
    return out + (comma ? QStringLiteral(",\n") : QStringLiteral("\n"));
}

TEST(VJsonWriter, ObjectsOfManyShapesInKeyOrder)
{
    // Neighbouring and nested objects whose keys differ in one key, in
    // number, in insertion order, or only in being other string instances.
    std::mt19937 rng(5);
    const char* const pool[] = {"a", "b", "c", "d", "aa", "ab", "b0", "\x7f"};
    std::function<VJsonValue(int)> object = [&](int depth) {
        VJsonValue o(VJSONTYPE_OBJECT);
        for (int i = int(rng() % 7); i > 0; --i) {
            const QString key = QString::fromLatin1(pool[rng() % 8]);
            if (depth < 3 && rng() % 4 == 0)
                o[QString(key.constData(), key.size())] = object(depth + 1);
            else
                o[key] = int(rng() % 100);
        }
        if (rng() % 5 == 0 && o.size() > 0)
            o.remove(o.getMemberNames().first());
        return o;
    };
    VJsonValue list(VJSONTYPE_ARRAY);
    for (int i = 0; i < 400; ++i) {
        VJsonValue o = object(0);
        list.append(o);
        if (rng() % 3 == 0) {
            // The same keys again, inserted in the reverse order.
            VJsonValue reversed(VJSONTYPE_OBJECT);
            const QStringList keys = o.getMemberNames();
            for (int k = keys.size() - 1; k >= 0; --k)
                reversed[keys[k]] = o.itemAt(keys[k]);
            list.append(reversed);
        }
    }
    EXPECT_EQ(written(list), compactText(list, false));
}

TEST(VJsonWriter, Comments)
{
    VJsonValue a = twoInts();
    a.item(0u).addComment(QStringLiteral("// c\n"), VJSONCOMMENT_SAME_LINE);
    EXPECT_EQ(written(a, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS, 0, 2), "[\n  1, // c\n  2\n]\n");
    EXPECT_EQ(written(a, VJSONWRITE_COMMENTS, 0, 2), "[\n1, \n2\n]\n");
    EXPECT_EQ(written(a, VJSONWRITE_INDENT, 0, 2), "[\n  1,\n  2\n]\n");
    EXPECT_EQ(written(a, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS | VJSONWRITE_COMMENTS_BEFORE, 0, 2),
              "[\n  // c\n  1,\n  2\n]\n");

    VJsonValue b = twoInts();
    b.item(1u).addComment(QStringLiteral("// c\n"), VJSONCOMMENT_BEFORE);
    EXPECT_EQ(written(b, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS, 0, 2), "[\n  1,\n  // c\n  2\n]\n");
    EXPECT_EQ(written(b, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS | VJSONWRITE_COMMENTS_AFTER, 0, 2),
              "[\n  1,\n  2\n  // c\n]\n");

    VJsonValue c = twoInts();
    c.item(0u).addComment(QStringLiteral("// c\n"), VJSONCOMMENT_AFTER);
    EXPECT_EQ(written(c, VJSONWRITE_COMMENTS, 0, 2), "[\n1,\n\n2\n]\n");

    VJsonValue root;
    root.append(1);
    root.addComment(QStringLiteral("// c\n"), VJSONCOMMENT_SAME_LINE);
    EXPECT_EQ(written(root, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS, 0, 2), "[ // c\n  1\n]\n");

    VJsonValue d = twoInts();
    d.item(1u).addComment(QStringLiteral("/* c */"), VJSONCOMMENT_SAME_LINE);
    EXPECT_EQ(written(d, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS, 0, 2), "[\n  1,\n  2 /* c */\n]\n");

    // No escapes exist in comments: a wide character is written as '?'.
    VJsonValue e(1);
    e.addComment(QString::fromUtf16(u"// \u20ac\n"), VJSONCOMMENT_BEFORE);
    EXPECT_EQ(written(e, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS, 0, 2), "// ?\n1\n");
}

TEST(VJsonWriter, CommentsSurviveReadAndWrite)
{
    const int flags = VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS;
    const int style = VJSONWRITE_INDENT | VJSONWRITE_COMMENTS;
    const QString text = QStringLiteral("// head\n"
                                        "{\n"
                                        "  \"a\" : 1, // same line\n"
                                        "  \"b\" : [ // opens\n"
                                        "    true,\n"
                                        "    null\n"
                                        "  ],\n"
                                        "  /* before c */\n"
                                        "  \"c\" : \"\"\n"
                                        "}\n");
    const QString once = written(read(text, flags), style, 0, 2);
    EXPECT_EQ(once, text);
    EXPECT_EQ(written(read(once, flags), style, 0, 2), once);

    const QString after = QStringLiteral("[\n  1,\n  // after 1\n  2\n]\n");
    const VJsonValue v = read(after, flags | VJSONREAD_COMMENTS_AFTER);
    EXPECT_EQ(v.itemAt(0u).getCommentPos(), VJSONCOMMENT_AFTER);
    EXPECT_EQ(written(v, style, 0, 2), after);
}

// What the writer writes with comments, the reader with the matching flags
// reads back into the same values and comments, and that writes the same text.
TEST(VJsonWriter, WrittenCommentsReadBack)
{
    const int before = VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS;
    const int after = before | VJSONREAD_COMMENTS_AFTER;
    const int style = VJSONWRITE_INDENT | VJSONWRITE_COMMENTS;
    const struct
    {
        int flags;
        int style;
        const char* text;
    } cases[] = {
        {before, style, "{\"a\": 1 /* x */ /* y */}"},
        {before, style, "{\"a\": 1 /* x */ /* y */, \"b\": 2}"},
        {before, style, "[1 // x\n /* y */, 2 /* z */ // w\n]"},
        {before, style, "[ /* x */ /* y */\n 1]"},
        {before, style, "{\"a\": [1] /* x\n */ /* y */, \"b\": 2}"},
        {before, style, "{\"a\": 1\n// x\n}"},
        {before, style, "[1 // x\r\r\r\n, 2 /* y\r\r\n */]"},
        {after, style | VJSONWRITE_COMMENTS_AFTER, "// x\n[1 /* y */, // z\n 2]"},
        {after, style | VJSONWRITE_COMMENTS_AFTER, "// x\n{\"a\": {} /* y */}"},
    };
    for (const auto& c : cases) {
        for (int indent : {0, 2}) {
            const QString text = QString::fromLatin1(c.text);
            const VJsonValue tree = read(text, c.flags);
            const QString once = written(tree, c.style, indent, indent);
            VJsonReader reader(c.flags, 10);
            VJsonValue back;
            EXPECT_EQ(reader.parse(once, &back), 0) << once.toStdString() << reader.getErrors().join("\n").toStdString();
            EXPECT_TRUE(back.isSameAs(tree)) << once.toStdString();
            EXPECT_EQ(written(back, c.style, indent, indent).toStdString(), once.toStdString()) << c.text;
        }
    }
    const VJsonValue two = read(QStringLiteral("{\"a\": 1 /* x */ /* y */, \"b\": 2}"), before);
    const VJsonValue twoBack = read(written(two, style, 0, 2), before);
    EXPECT_EQ(twoBack.itemAt(QStringLiteral("a")).getCommentArray(), QStringList() << "/* x */" << "/* y */");
    EXPECT_EQ(twoBack.itemAt(QStringLiteral("b")).getCommentCount(), 0);

    // "/*/" would be written as the opening of a comment that never ends.
    VJsonValue v(1);
    EXPECT_EQ(v.addComment(QStringLiteral("/*/"), 1), -1);
    EXPECT_EQ(v.addComment(QStringLiteral("/*/ "), 1), -1);
    EXPECT_EQ(v.addComment(QStringLiteral("/**/"), 1), 1);
}

TEST(VJsonWriter, FailureLeavesOutputUnchanged)
{
    QString out = QStringLiteral("X");
    VJsonWriter writer(0, 0, 0);
    writer.write(VJsonValue(), out);
    EXPECT_EQ(out, "Xnull\n");

    try {
        writer.write(VJsonValue(VJSONTYPE_EMPTY), out);
        FAIL() << "no exception";
    } catch (const VException& e) {
        EXPECT_STREQ(e.what(), "VIO/json_writer:250 VJsonWriter::WriteEmpty() cannot be called (not a valid JSON text)");
    }
    VJsonValue partial = twoInts();
    partial.append(VJsonValue(VJSONTYPE_EMPTY));
    EXPECT_THROW(writer.write(partial, out), VException);
    try {
        writer.write(VJsonValue(VJSONTYPE_INT64), out);
        FAIL() << "no exception";
    } catch (const VException& e) {
        EXPECT_STREQ(e.what(), "VIO/json_value:644 VJsonValue::asString() - the value is not compatible with STRING");
    }
    EXPECT_EQ(out, "Xnull\n");

    // Deeper than the limit: an exception, not a stack overflow.
    VJsonValue deep;
    for (int i = 0; i <= VJsonValue::MaxDepth; ++i) {
        VJsonValue outer(VJSONTYPE_ARRAY);
        outer.append(deep);
        deep = outer;
    }
    EXPECT_THROW(writer.write(deep, out), VException);
    EXPECT_EQ(out, "Xnull\n");
    EXPECT_NO_THROW(writer.write(deep.itemAt(0u), out));
}

// Callers keep written texts: room reserved while writing is not left in
// them, but what the caller reserved itself stays.
TEST(VJsonWriter, OutputCapacityFollowsItsSize)
{
    VJsonWriter writer(0, 0, 0);
    const VJsonValue record(QStringLiteral("a record of some 28 chars"));
    QString small;
    writer.write(record, small);
    EXPECT_LE(small.capacity(), 2 * small.size() + 64) << small.size();

    VJsonValue big(VJSONTYPE_ARRAY);
    for (int i = 0; i < 20000; ++i)
        big.append(VJsonValue(i));
    QString large;
    writer.write(big, large);
    EXPECT_LE(large.capacity(), 2 * large.size() + 64) << large.size();

    QString reserved;
    reserved.reserve(1000);
    const qsizetype before = reserved.capacity();
    writer.write(record, reserved);
    EXPECT_GE(reserved.capacity(), before);
    EXPECT_LE(reserved.capacity(), std::max<qsizetype>(before, 2 * reserved.size() + 64));
    writer.write(big, reserved);
    EXPECT_GE(reserved.capacity(), before);
    EXPECT_LE(reserved.capacity(), 2 * reserved.size() + 64) << reserved.size();
}

// Texts appended one after another to one string (a log, JSON lines) grow it
// as appends do: a few times in all, not once per text.
TEST(VJsonWriter, AppendedTextsGrowTheStringGeometrically)
{
    VJsonWriter writer(0, 0, 0);
    VJsonValue pieces(VJSONTYPE_ARRAY);
    for (int i = 0; i < 60; ++i)
        pieces.append(VJsonValue(QStringLiteral("item%1").arg(i)));
    QString log;
    int growths = 0;
    for (int i = 0; i < 400; ++i) {
        const qsizetype capacity = log.capacity();
        writer.write(pieces, log);
        growths += log.capacity() != capacity;
    }
    EXPECT_LE(growths, 20) << log.size();
}

// A failed write leaves even the null/empty distinction as it was, whether
// it fails early or after its buffer grew.
TEST(VJsonWriter, FailedWriteKeepsANullStringNull)
{
    VJsonValue partial(VJSONTYPE_ARRAY);
    for (int i = 0; i < 5000; ++i)
        partial.append(VJsonValue(i));
    partial.append(VJsonValue(VJSONTYPE_EMPTY));
    VJsonValue deep;
    for (int i = 0; i <= VJsonValue::MaxDepth; ++i) {
        VJsonValue outer(VJSONTYPE_ARRAY);
        outer.append(deep);
        deep = outer;
    }
    VJsonWriter writer(VJSONWRITE_INDENT, 2, 2);
    for (const VJsonValue& failing : {partial, deep, VJsonValue(VJSONTYPE_EMPTY)}) {
        QString out;
        EXPECT_THROW(writer.write(failing, out), VException);
        EXPECT_TRUE(out.isNull());
        QString empty(QLatin1String(""));
        EXPECT_THROW(writer.write(failing, empty), VException);
        EXPECT_FALSE(empty.isNull());
        EXPECT_TRUE(empty.isEmpty());
    }
}

// Objects nested to the limit, each with siblings to sort: written without
// running out of stack, one level more is refused.
TEST(VJsonWriter, ObjectsNestedToTheLimitAreWritten)
{
    VJsonValue deep(VJSONTYPE_OBJECT);
    for (int i = 1; i < VJsonValue::MaxDepth; ++i) {
        VJsonValue outer(VJSONTYPE_OBJECT);
        outer[QStringLiteral("b")] = deep;
        outer[QStringLiteral("a")] = VJsonValue(i);
        outer[QStringLiteral("c")] = VJsonValue(true);
        deep = outer;
    }
    QString out;
    VJsonWriter writer(0, 0, 0);
    ASSERT_NO_THROW(writer.write(deep, out));
    const int top = VJsonValue::MaxDepth - 1;
    EXPECT_TRUE(out.startsWith(QStringLiteral("{\n\"a\" : %1,\n\"b\" : {\n\"a\" : %2,").arg(top).arg(top - 1)))
        << out.left(40).toStdString();
    EXPECT_EQ(out.count(QLatin1Char('{')), int(VJsonValue::MaxDepth));

    VJsonValue tooDeep(VJSONTYPE_OBJECT);
    tooDeep[QStringLiteral("x")] = deep;
    const QString before = out;
    EXPECT_THROW(writer.write(tooDeep, out), VException);
    EXPECT_EQ(out, before);
}

namespace {

// Runs body in a thread with a stack of the given size; false when the
// thread could not be made.
bool runWithStack(size_t bytes, const std::function<void()>& body)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_attr_setstacksize(&attr, bytes);
    pthread_t thread;
    auto entry = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    const bool started = pthread_create(&thread, &attr, entry, const_cast<std::function<void()>*>(&body)) == 0;
    pthread_attr_destroy(&attr);
    if (started)
        pthread_join(thread, nullptr);
    return started;
}

} // namespace

// Every walk over a tree as deep as the walks accept, with a comment and a
// key at each level, fits a thread stack of 1 MiB.
TEST(VJsonWriter, DeepTreesFitASmallThreadStack)
{
    auto build = [] {
        VJsonValue tree(1);
        for (int i = 1; i < VJsonValue::MaxDepth; ++i) {
            VJsonValue outer(i % 2 ? VJSONTYPE_ARRAY : VJSONTYPE_OBJECT);
            if (outer.isArray())
                outer.append(tree);
            else
                outer[QStringLiteral("k")] = tree;
            outer.addComment(QStringLiteral("// c"), 1 + i % 3);
            tree = outer;
        }
        return tree;
    };
    const VJsonValue tree = build();
    const VJsonValue twin = tree;
    const VJsonValue copy = build();
    QString fromThread;
    bool same = false;
    bool printed = false;
    const bool ran = runWithStack(1 << 20, [&] {
        for (int style = 0; style < 32; ++style)
            fromThread = written(tree, style, 1, 1);
        same = tree.isSameAs(copy) && copy.isSameAs(twin);
        printed = !tree.toString(1).isEmpty() && !tree.dump(true, 1).isEmpty();
        VJsonValue again;
        VJsonReader(VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS, 10)
            .parse(written(tree, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS, 0, 1), &again);
    });
    ASSERT_TRUE(ran);
    EXPECT_EQ(fromThread, written(tree, 31, 1, 1));
    EXPECT_TRUE(same);
    EXPECT_TRUE(printed);
}

TEST(VJsonWriter, RandomTreesRoundTripInEveryStyle)
{
    TreeMaker maker(42);
    for (int round = 0; round < 300; ++round) {
        VJsonValue tree(round % 2 ? VJSONTYPE_ARRAY : VJSONTYPE_OBJECT);
        for (int i = 0; i < 4; ++i) {
            if (tree.isArray())
                tree.append(maker.make(4));
            else
                tree[maker.text() + QString::number(i)] = maker.make(4);
        }
        for (int style = 0; style < 32; ++style) {
            const int flags = (style & VJSONWRITE_SPLIT_STRINGS ? VJSONREAD_ALLOW_MULTILINE_STRINGS : 0)
                              | VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS;
            const QString text = written(tree, style, 1, 2);
            const VJsonValue back = read(text, flags);
            ASSERT_TRUE(back.isSameAs(tree)) << style << "\n" << text.toStdString();
            ASSERT_EQ(written(back, style, 1, 2), text);
        }
    }
}

// Inputs the fuzz test once found: each must write, read back and write the same.
TEST(VJsonWriter, FuzzFindingsStayFixed)
{
    for (const char* text : {"[-.0", "[\b1, -0.0, -0]"}) {
        VJsonReader reader(VJSONREAD_ALLOW_BAD_CLOSING, 10);
        VJsonValue v;
        reader.parse(QString::fromLatin1(text), &v);
        const QString first = written(v, VJSONWRITE_INDENT, 0, 2);
        EXPECT_EQ(written(read(first), VJSONWRITE_INDENT, 0, 2), first) << text;
    }
}

// Random and mutated texts: the reader must neither crash nor hang, and what
// the writer makes of its result must read back to the same text.
TEST(VJsonReader, FuzzRandomAndMutatedTexts)
{
    // VORN_JSON_FUZZ_SECONDS runs longer, with a fresh seed that is printed.
    const char* longer = std::getenv("VORN_JSON_FUZZ_SECONDS");
    const unsigned seed = longer ? std::random_device()() : 12345u;
    if (longer)
        std::printf("fuzz seed %u\n", seed);
    std::mt19937 rng(seed);
    TreeMaker maker(seed + 1);
    const char* seeds[] = {
        "{\"a\": [1, 2.5e3, -7, \"x\\u20acy\", true, null], \"b\": {\"c\": \"\\n\"}}",
        "// c\n[1, /* d */ 2, {\"k\" : [[], {}]}]\n",
        "[\"a\" \"b\", NULL, TRUE, +7, 4294967296, \"\\ud83d\\ude00\"}",
        "{\"deep\": [[[[[[[[[[1]]]]]]]]]], \"s\": \"tab\\there\"}",
    };
    const char alphabet[] = "[]{},:\"\\/*-+.0123456789eEtrufalsn \n\r\tx\x01";
    const int styles[] = {0, VJSONWRITE_INDENT, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS,
                          VJSONWRITE_INDENT | VJSONWRITE_COMMENTS | VJSONWRITE_SPLIT_STRINGS};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(longer ? std::atoi(longer) : 10);
    const int maxRuns = longer ? 1 << 30 : 200000;
    int runs = 0;
    while (std::chrono::steady_clock::now() < deadline && runs < maxRuns) {
        ++runs;
        QString text;
        switch (rng() % 3) {
        case 0:
            text = QString::fromLatin1(seeds[rng() % 4]);
            break;
        case 1:
            text = written(maker.make(5), styles[rng() % 4], 0, 2);
            break;
        default:
            for (int i = int(rng() % 64); i > 0; --i)
                text += QLatin1Char(alphabet[rng() % (sizeof alphabet - 1)]);
            break;
        }
        for (int m = int(rng() % 6); m > 0 && !text.isEmpty(); --m) {
            const int at = int(rng() % unsigned(text.size()));
            switch (rng() % 4) {
            case 0: text.remove(at, 1 + int(rng() % 4)); break;
            case 1: text.insert(at, QLatin1Char(alphabet[rng() % (sizeof alphabet - 1)])); break;
            case 2: text[at] = QChar(ushort(rng() % 0x300)); break;
            default: text.truncate(at); break;
            }
        }
        const int flags = int(rng() % 64);
        VJsonReader reader(flags, int(rng() % 4) - 1);
        VJsonValue v;
        reader.parse(text, &v);
        if (!v.isArray() && !v.isObject())
            continue;
        // Values read from bad text may hold EMPTY members; those cannot be written.
        QString first;
        try {
            first = written(v, VJSONWRITE_INDENT, 0, 2);
        } catch (const VException&) {
            continue;
        }
        VJsonReader strict(0, -1);
        VJsonValue w;
        ASSERT_EQ(strict.parse(first, &w), 0) << text.toStdString() << "\n--\n"
                                              << first.toStdString() << "\n"
                                              << strict.getErrors().join("\n").toStdString();
        ASSERT_TRUE(w.isSameAs(v)) << first.toStdString();
        ASSERT_EQ(written(w, VJSONWRITE_INDENT, 0, 2), first) << text.toStdString();

        // Comments share one position per value, so they may move on the way
        // back: only check that nothing breaks.
        const QString commented = written(v, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS, 0, 2);
        VJsonReader tolerant(VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS | (flags & VJSONREAD_COMMENTS_AFTER), 10);
        tolerant.parse(commented, &w);
    }
    EXPECT_GT(runs, 1000);
}
