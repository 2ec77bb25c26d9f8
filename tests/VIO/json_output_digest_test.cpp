// Everything the reader and the writer produce, over a fixed set of random
// and mutated documents in every flag set and style, against digests taken
// from a known-good build: any change of an output byte, a message text, a
// line or a column shows here.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <QCryptographicHash>

#include <VCore/vexception.h>
#include <VIO/json_reader.h>
#include <VIO/json_value.h>
#include <VIO/json_writer.h>

namespace {

// Raw engine output only: the standard distributions differ between libraries.
// Each draw is a statement of its own: C++ leaves the order of operands and
// of function arguments open, and builds differ in the order they pick.
class Random
{
public:
    explicit Random(uint32_t seed) : m_rng(seed) {}
    uint32_t operator()() { return m_rng(); }
    uint32_t below(uint32_t n) { return m_rng() % n; }
    uint64_t bits()
    {
        const uint64_t high = m_rng();
        return (high << 32) | m_rng();
    }

    double number()
    {
        switch (below(8)) {
        case 0: { // any finite bit pattern
            double d;
            do {
                const uint64_t b = bits();
                std::memcpy(&d, &b, sizeof d);
            } while (!std::isfinite(d));
            return d;
        }
        case 1: { // subnormal
            const uint64_t all = bits();
            const uint64_t b = all & ((uint64_t(1) << (1 + below(52))) - 1);
            double d;
            std::memcpy(&d, &b, sizeof d);
            return below(2) ? d : -d;
        }
        case 2: {
            const double n = int(m_rng());
            return n / double(1 + below(1000));
        }
        case 3: {
            const double mantissa = double(bits() >> 11);
            return std::ldexp(mantissa, int(below(200)) - 100);
        }
        case 4: {
            const double power = std::pow(10.0, int(below(40)) - 20);
            return power * (below(2) ? 1 : -1);
        }
        case 5: return double(below(1000000)) / 1000.0;
        case 6: {
            const double power = std::pow(10.0, int(below(12)) - 5);
            return std::nextafter(power, below(2) ? 0.0 : 1e300);
        }
        default: {
            const bool small = below(2) != 0;
            const double factor = double(1 + below(3));
            return small ? DBL_MIN * factor : DBL_MAX / factor;
        }
        }
    }

    QString text()
    {
        static const char16_t chars[] = u"ab Z09\"\\/\b\f\n\r\t\x01\x1f~{}[],:*\u00e9\u00ff\u0100\u20ac";
        QString s;
        for (int i = int(below(10)); i > 0; --i)
            s += QChar(ushort(chars[below(sizeof chars / sizeof chars[0] - 1)]));
        return s;
    }

    VJsonValue tree(int depth)
    {
        VJsonValue v;
        switch (below(depth > 0 ? 11 : 7)) {
        case 0: v = int(m_rng()); break;
        case 1: v = unsigned(m_rng()) | 0x80000000u; break;
        case 2: v = number(); break;
        case 3: v = text(); break;
        case 4: v = below(2) == 0; break;
        case 5: break; // NULL
        case 6: v = unsigned(below(100)); break;
        case 7:
        case 8:
            v.setType(VJSONTYPE_ARRAY);
            for (int i = int(below(5)); i > 0; --i)
                v.append(tree(depth - 1));
            break;
        default:
            v.setType(VJSONTYPE_OBJECT);
            for (int i = int(below(5)); i > 0; --i) {
                const QString key = text() + QLatin1Char('k');
                v[key] = tree(depth - 1);
            }
            break;
        }
        static const char* const comments[] = {"// c", "/* d */", "/* e\n f */", "//\n", "/**/"};
        for (int i = below(4) == 0 ? int(below(3)) : 0; i > 0; --i) {
            const char* const comment = comments[below(5)];
            v.addComment(QString::fromLatin1(comment), int(1 + below(3)));
        }
        return v;
    }

    QString document()
    {
        QString text;
        if (below(4) == 0) {
            static const char alphabet[] = "[]{},:\"\\/*-+.0123456789eEtrufalsnNUL \n\r\tx\x01";
            for (int i = int(below(80)); i > 0; --i)
                text += QLatin1Char(alphabet[below(sizeof alphabet - 1)]);
        } else {
            VJsonValue root = tree(4);
            if (!root.isArray() && !root.isObject()) {
                VJsonValue wrap(VJSONTYPE_ARRAY);
                wrap.append(root);
                root = wrap;
            }
            const int style = int(below(32));
            const int indent = int(below(3));
            const int step = int(below(4));
            VJsonWriter(style, indent, step).write(root, text);
        }
        for (int m = int(below(5)); m > 0 && !text.isEmpty(); --m) {
            const int at = int(below(unsigned(text.size())));
            switch (below(5)) {
            case 0: text.remove(at, 1 + int(below(4))); break;
            case 1: text.insert(at, QLatin1String("/*x*/")); break;
            case 2: text[at] = QChar(ushort(below(0x180))); break;
            case 3: text.insert(at, text.mid(int(below(unsigned(text.size()))), 8)); break;
            default: text.truncate(at); break;
            }
        }
        return text;
    }

private:
    std::mt19937 m_rng;
};

void add(QCryptographicHash& hash, const QString& text)
{
    hash.addData(QByteArray::fromRawData(reinterpret_cast<const char*>(text.constData()),
                                         int(text.size() * sizeof(QChar))));
    hash.addData(QByteArray("\x1e", 1));
}

void add(QCryptographicHash& hash, int n)
{
    add(hash, QString::number(n));
}

// Kind, text, line, comments and members of every value, keys in order.
void addTree(QCryptographicHash& hash, const VJsonValue& v)
{
    add(hash, int(v.getType()));
    add(hash, v.getLineNo());
    add(hash, v.getCommentPos());
    add(hash, v.getComment(-1));
    if (v.isArray()) {
        add(hash, v.size());
        for (int i = 0; i < v.size(); ++i)
            addTree(hash, v.itemAt(unsigned(i)));
    } else if (v.isObject()) {
        for (const QString& key : v.getMemberNames()) {
            add(hash, key);
            addTree(hash, v.itemAt(key));
        }
    } else if (!v.isEmpty()) {
        add(hash, v.asString());
    }
}

// The result, the messages and the tree of one parse.
void addParsed(QCryptographicHash& hash, const QString& text, int flags, int maxErrors)
{
    VJsonReader reader(flags, maxErrors);
    VJsonValue v;
    add(hash, reader.parse(text, &v));
    add(hash, reader.getErrors().join(QLatin1Char('\n')));
    add(hash, reader.getWarnings().join(QLatin1Char('\n')));
    addTree(hash, v);
}

void addWritten(QCryptographicHash& hash, const VJsonValue& v, int style, int indent, int step)
{
    QString out = QStringLiteral("prefix");
    try {
        VJsonWriter(style, indent, step).write(v, out);
    } catch (const VException& e) {
        add(hash, QString::fromLatin1(e.what()));
    }
    add(hash, out);
}

std::string hex(QCryptographicHash& hash)
{
    return hash.result().toHex().toStdString();
}

} // namespace

TEST(VJsonOutputDigest, ReaderMessagesAndTreesInEveryFlagSet)
{
    Random random(20261207);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (int doc = 0; doc < 800; ++doc) {
        const QString text = random.document();
        for (int flags = 0; flags < 64; ++flags) {
            addParsed(hash, text, flags, int(random.below(5)) - 1);
        }
    }
    EXPECT_EQ(hex(hash), "6e134233273cfafdeb9a47b1053cad4a28d3fdbc669bad0f5e72a124b7b2eeaf");
}

TEST(VJsonOutputDigest, WriterTextInEveryStyle)
{
    Random random(7);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (int doc = 0; doc < 1000; ++doc) {
        const QString text = random.document();
        VJsonValue v;
        VJsonReader(int(random.below(64)), 10).parse(text, &v);
        const VJsonValue built = random.tree(4);
        for (int style = 0; style < 32; ++style) {
            const int indent = int(random.below(3));
            const int step = int(random.below(4));
            addWritten(hash, v, style, indent, step);
            addWritten(hash, built, style, indent, step);
        }
    }
    EXPECT_EQ(hex(hash), "456f14415384c8fd350f2bd14ddca5ea4c9e9d61ab6c9c67a02f574eed207412");
}

TEST(VJsonOutputDigest, Doubles)
{
    Random random(42);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (int round = 0; round < 500; ++round) {
        VJsonValue list(VJSONTYPE_ARRAY);
        for (int i = 0; i < 1000; ++i)
            list.append(random.number());
        addWritten(hash, list, 0, 0, 0);
    }
    for (double d : {5e-324, 1e-320, -2.5e-310, 0.0, -0.0, 1e-5, 1e-4, 123456.0, 1234567.0, 1e21, 0.1, 1.0 / 3.0})
        addWritten(hash, VJsonValue(d), 0, 0, 0);
    EXPECT_EQ(hex(hash), "4b90fabb12ea3f411f7984431ebd49d66257dde406cb432f42aaf84119ebacec");
}

TEST(VJsonOutputDigest, NumberTokensAndWhatEndsThem)
{
    Random random(99);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    static const char16_t enders[] = u",] \n\r\tab\"/\0\u0100}:{[\b*\u00e9";
    auto token = [&random] {
        static const char chars[] = "0123456789+-.eE";
        QString t;
        for (int i = int(1 + random.below(random.below(8) == 0 ? 60 : 12)); i > 0; --i)
            t += QLatin1Char(chars[random.below(random.below(2) ? 10 : 15)]);
        return t;
    };
    for (int round = 0; round < 20000; ++round) {
        QString text = QStringLiteral("[");
        for (int i = int(random.below(4)); i >= 0; --i) {
            text += token();
            text += QChar(ushort(enders[random.below(sizeof enders / sizeof enders[0] - 1)]));
        }
        if (random.below(3))
            text += QLatin1Char(']');
        for (int flags : {0, 31}) {
            addParsed(hash, text, flags, 10);
        }
    }
    EXPECT_EQ(hex(hash), "ec3f0c50a96f98927c09796fd35046a3f89c0892ef345130f3ff9f3afc45daa6");
}
