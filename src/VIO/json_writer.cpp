#include "json_writer.h"

#include <charconv>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include <VCore/vexception.h>

namespace {

const char* const kFile = "VIO/json_writer";

// The exponent after the 'e' of to_chars' scientific form: a sign and digits.
int parseExponent(const char* p)
{
    const bool negative = *p == '-';
    int value = 0;
    for (++p; *p >= '0' && *p <= '9'; ++p)
        value = value * 10 + (*p - '0');
    return negative ? -value : value;
}

const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The shortest digits of a, 1e-7 <= a < 1e22, when there are at most 15 of
// them, without a general shortest conversion: a decimal of at most 15
// significant digits that reads back as a is the only one (DBL_DIG), so it
// is the shortest. The candidate comes from one scaling and is checked by
// reading it back exactly (m < 2^53 and 10^k are exact, one correctly rounded
// operation). Gives the digits without trailing zeros and the decimal
// exponent of the first; false when the check fails or more digits are needed.
bool fewDigits(double a, char* digits, int& n, int& exponent)
{
    if (!(a >= 1e-7 && a < 1e22))
        return false;
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    // floor(log10(a)) or one less.
    int e10 = ((int(bits >> 52) - 1023) * 78913) >> 18;
    if (e10 >= -1 && e10 + 1 <= 22 && a >= kPow10[e10 + 1])
        ++e10;
    else if (e10 < -1 && a >= 1.0 / kPow10[-e10 - 1])
        ++e10;
    const int k = 14 - e10;
    if (k < -22 || k > 22)
        return false;
    const double y = k >= 0 ? a * kPow10[k] : a / kPow10[-k];
    if (!(y < 9007199254740992.0))
        return false;
    uint64_t m = uint64_t(y + 0.5);
    if (m == 0 || (k >= 0 ? double(m) / kPow10[k] : double(m) * kPow10[-k]) != a)
        return false;
    int scale = k;
    while (m % 10 == 0) {
        m /= 10;
        --scale;
    }
    n = int(std::to_chars(digits, digits + 20, m).ptr - digits);
    exponent = n - 1 - scale;
    return n <= 15;
}

// The 'g' form with six significant digits when it reads back to the same
// double, else with the fewest digits that do (the same style): short where
// six digits were exact, lossless everywhere. Locale-independent. Returns the
// length written to out (at least 32 bytes).
//
// One shortest conversion gives both: for a normal double whose shortest form
// has n <= 6 digits, those digits are its six-digit rounding, so the text is
// the 'g' form with precision max(n, 6) of the shortest digits. Not so for
// subnormals (5e-324 is 4.94066e-324 to six digits): they take the six-digit
// conversion itself.
int formatDouble(double value, char* out, int size)
{
    char* o = out;
    if (std::signbit(value))
        *o++ = '-';
    char digits[24];
    int n = 0;
    int exponent = 0;
    if (!fewDigits(std::fabs(value), digits, n, exponent)) {
        char sci[40];
        char* end = std::to_chars(sci, sci + sizeof sci - 1, value, std::chars_format::scientific).ptr;
        *end = '\0';
        const char* e = sci + (sci[0] == '-');
        for (; e < end && *e != 'e'; ++e) {
            if (*e != '.')
                digits[n++] = *e;
        }
        if (n <= 6 && std::fabs(value) < DBL_MIN)
            return int(std::to_chars(out, out + size, value, std::chars_format::general, 6).ptr - out);
        exponent = parseExponent(e + 1);
    }
    const int precision = std::max(n, 6);
    if (exponent < -4 || exponent >= precision) {
        // As to_chars' scientific form: at least two exponent digits.
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            for (int i = 1; i < n; ++i)
                *o++ = digits[i];
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10)
            *o++ = '0';
        return int(std::to_chars(o, out + size, magnitude).ptr - out);
    }
    if (exponent >= 0) {
        for (int i = 0; i <= exponent; ++i)
            *o++ = i < n ? digits[i] : '0';
        if (n > exponent + 1) {
            *o++ = '.';
            for (int i = exponent + 1; i < n; ++i)
                *o++ = digits[i];
        }
    } else {
        *o++ = '0';
        *o++ = '.';
        for (int i = 0; i < -exponent - 1; ++i)
            *o++ = '0';
        for (int i = 0; i < n; ++i)
            *o++ = digits[i];
    }
    return int(o - out);
}

template <size_t N>
int copyText(char* out, const char (&text)[N])
{
    std::memcpy(out, text, N - 1);
    return int(N - 1);
}

// Ascending key order of an object's members as indices into members, taken
// from cache when the keys equal the last ones seen there in the same order
// (mostly the very same shared strings), else sorted and cached.
template <class Members, class Order, class Cache>
void sortedOrder(const Members& members, Order& order, Cache* cache)
{
    const int n = members.size();
    bool cached = cache && cache->keys.size() == size_t(n);
    for (int i = 0; cached && i < n; ++i) {
        const QString& key = members[i].key();
        const QString& known = cache->keys[size_t(i)];
        cached = (key.constData() == known.constData() && key.size() == known.size()) || key == known;
    }
    order.resize(n);
    if (cached) {
        std::copy(cache->order.begin(), cache->order.end(), order.begin());
        return;
    }
    for (int i = 0; i < n; ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&members](int a, int b) {
        const QString& x = members[a].key();
        const QString& y = members[b].key();
        // Most keys differ in their first character: decide those inline.
        if (!x.isEmpty() && !y.isEmpty() && x.at(0) != y.at(0))
            return x.at(0).unicode() < y.at(0).unicode();
        return x < y;
    });
    if (cache) {
        cache->keys.clear();
        for (int i = 0; i < n; ++i)
            cache->keys.push_back(members[i].key());
        cache->order.assign(order.begin(), order.end());
    }
}

// A double as written: JSON has no NaN or infinity, and "-0" would read back
// as the integer 0 and lose the sign.
int doubleText(double value, char* out, int size)
{
    if (!std::isfinite(value))
        return copyText(out, "null");
    if (value == 0.0 && std::signbit(value))
        return copyText(out, "-0.0");
    return formatDouble(value, out, size);
}

// An object's hash nodes lie near each other, allocated as it was built,
// but are walked in hash order, which the hardware does not foresee: ask for
// the memory around its first node (a prefetch never faults).
inline void prefetchMembers(const VJsonValue& value)
{
    if (value.getType() != VJSONTYPE_OBJECT)
        return;
    const VJsonInternalMap& map = *value.asMap();
    if (map.isEmpty())
        return;
    const uintptr_t node = reinterpret_cast<uintptr_t>(&map.constBegin().key());
    for (uintptr_t offset = 0; offset < 2048; offset += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(node - 1024 + offset));
}

struct ScopedOutput
{
    ScopedOutput(void*& slot, void* out) : m_slot(slot) { m_slot = out; }
    ~ScopedOutput() { m_slot = nullptr; }
    void*& m_slot;
};

} // namespace

// The caller's QString, written in place through a cursor: cheaper per piece
// than QString appends, which matters when every value is a few characters.
// A text starts in a scratch array and goes to the string in one piece when
// it is done, so a short text costs the string one allocation of about its
// size; a longer one moves to the string, which is grown ahead of the cursor
// and, when the text is all it holds, cut to what was written at the end; it
// is cut back to what it was when writing fails.
class VJsonWriterBuffer
{
public:
    explicit VJsonWriterBuffer(QString& out)
        : m_out(out), m_start(out.size()), m_capacity(out.capacity()), m_null(out.isNull())
    {
    }
    ~VJsonWriterBuffer()
    {
        if (m_data == m_scratch) {
            if (m_done && m_cur != m_scratch) {
                const int written = int(m_cur - m_scratch);
                m_out.resize(m_start + written);
                std::copy(m_scratch, m_cur, reinterpret_cast<ushort*>(m_out.data()) + m_start);
            }
            return;
        }
        if (!m_done && m_null) {
            m_out = QString();
            return;
        }
        m_out.resize(m_done ? int(m_cur - m_data) : m_start);
        // Appended to what the string held, a text keeps the room an append
        // leaves: cut, the next append would move the whole string again.
        if (m_done && m_start > 0)
            return;
        // Callers keep written texts: the room grown ahead of the cursor
        // goes, what the caller had reserved stays.
        const qsizetype size = m_out.size();
        if (m_out.capacity() > std::max<qsizetype>(m_capacity, 2 * size + 64)) {
            m_out.squeeze();
            if (m_capacity > size)
                m_out.reserve(m_capacity);
        }
    }
    // Room for n more characters at the end; the caller fills all of them.
    ushort* take(size_t n)
    {
        if (size_t(m_end - m_cur) < n)
            grow(n);
        ushort* p = m_cur;
        m_cur += n;
        return p;
    }
    // Gives back the unused tail of the last take().
    void giveBack(ushort* from) { m_cur = from; }
    int last() const { return m_cur[-1]; }
    void done() { m_done = true; }

private:
    void grow(size_t n)
    {
        const bool fromScratch = m_data == m_scratch;
        const size_t used = fromScratch ? size_t(m_start) + size_t(m_cur - m_scratch) : size_t(m_cur - m_data);
        // Room the caller reserved is used before any is added. An append
        // grows the string as QString's own appends do (Qt rounds the
        // allocation up to a power of two); a text alone grows in big steps,
        // as what it leaves unused is cut when it is done.
        const size_t reserved = size_t(m_out.capacity());
        size_t capacity = reserved;
        if (reserved < used + n)
            capacity = m_start > 0 ? used + n : std::max<size_t>({used + 4096, used + n, 2 * used});
        if (capacity > size_t(std::numeric_limits<int>::max()))
            throw std::bad_alloc();
        m_out.resize(int(capacity));
        ushort* const data = reinterpret_cast<ushort*>(m_out.data());
        if (fromScratch)
            std::copy(m_scratch, m_cur, data + m_start);
        m_data = data;
        m_cur = m_data + used;
        m_end = m_data + capacity;
    }

public:
    // Per nesting level: the member keys of the last object written there,
    // in hash order, and the order that sorts them. Records of one shape
    // repeat both, so an object with the same keys in the same hash order
    // takes the sorted order without sorting.
    struct KeyOrder
    {
        std::vector<QString> keys;
        std::vector<int> order;
    };
    KeyOrder& keyOrder(int level)
    {
        if (size_t(level) >= m_keyOrders.size())
            m_keyOrders.resize(size_t(level) + 1);
        return m_keyOrders[size_t(level)];
    }

private:
    QString& m_out;
    const int m_start;
    const qsizetype m_capacity;
    const bool m_null;
    std::vector<KeyOrder> m_keyOrders;
    bool m_done = false;
    // Short texts (replies, log lines) fit here whole.
    ushort m_scratch[512];
    // The start of the caller's string, or m_scratch for the text alone.
    ushort* m_data = m_scratch;
    ushort* m_cur = m_scratch;
    ushort* m_end = std::end(m_scratch);
};

namespace {

// The output primitives, inline for the hot paths. Each returns the last
// character written, 0 when none (there is no output outside write()).
inline int put(VJsonWriterBuffer* out, char c)
{
    if (!out)
        return 0;
    *out->take(1) = static_cast<unsigned char>(c);
    return static_cast<unsigned char>(c);
}

inline int put(VJsonWriterBuffer* out, const char* text, int length)
{
    if (!out || length <= 0)
        return 0;
    ushort* o = out->take(size_t(length));
    for (int i = 0; i < length; ++i)
        o[i] = static_cast<unsigned char>(text[i]);
    return static_cast<unsigned char>(text[length - 1]);
}

inline int putSpaces(VJsonWriterBuffer* out, int n)
{
    if (!out || n < 1)
        return 0;
    std::fill_n(out->take(size_t(n)), n, ushort(' '));
    return ' ';
}

template <class Int>
inline int putInteger(VJsonWriterBuffer* out, Int value)
{
    if (!out)
        return 0;
    char digits[16];
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return put(out, digits, int(end - digits));
}

// A slice at the top of the thread's stack of T, shared by all nesting
// levels so that a level's arrays take no room in its frame (Qt 6's hash
// iterators are twice as big, and the frame times MaxDepth must fit a small
// thread stack). The slice goes with its level, also when the write throws.
// Deeper levels may move the stack: index again after each recursion.
template <class T>
class StackSlice
{
public:
    StackSlice() : m_stack(threadStack()), m_base(m_stack.size()) {}
    ~StackSlice() { m_stack.resize(m_base); }
    StackSlice(const StackSlice&) = delete;
    StackSlice& operator=(const StackSlice&) = delete;

    int size() const { return int(m_stack.size() - m_base); }
    void append(const T& item) { m_stack.push_back(item); }
    void resize(int n) { m_stack.resize(m_base + size_t(n)); }
    T& operator[](int i) { return m_stack[m_base + size_t(i)]; }
    const T& operator[](int i) const { return m_stack[m_base + size_t(i)]; }
    typename std::vector<T>::iterator begin() { return m_stack.begin() + std::ptrdiff_t(m_base); }
    typename std::vector<T>::iterator end() { return m_stack.end(); }

private:
    static std::vector<T>& threadStack()
    {
        thread_local std::vector<T> stack;
        return stack;
    }

    std::vector<T>& m_stack;
    const size_t m_base;
};

// An object's member, pointing into its map (which does not change while
// it is written).
struct Member
{
    const QString* k;
    const VJsonValue* v;
    const QString& key() const { return *k; }
    const VJsonValue& value() const { return *v; }
};

} // namespace

VJsonWriter::VJsonWriter(int style, int indent, int step)
    : m_style(style), m_indent(style == 0 ? 0 : indent), m_step(style == 0 ? 0 : step), m_level(0),
      m_outObject(nullptr), m_outType(0)
{
}

VJsonWriter::~VJsonWriter()
{
}

void VJsonWriter::write(const VJsonValue& value, QString& out)
{
    // Written in place; a failure cuts out back to what it held.
    VJsonWriterBuffer text(out);
    ScopedOutput scope(m_outObject, &text);
    m_outType = 0;
    m_level = 0;
    doWrite(value, nullptr, false);
    text.done();
}

int VJsonWriter::doWrite(const VJsonValue& value, const QString* key, bool comma)
{
    VJsonWriterBuffer* const out = output();
    int commentPos = 0;
    if ((m_style & VJSONWRITE_COMMENTS) && value.getCommentCount() > 0) {
        if (m_style & VJSONWRITE_COMMENTS_BEFORE)
            commentPos = VJSONCOMMENT_BEFORE;
        else if (m_style & VJSONWRITE_COMMENTS_AFTER)
            commentPos = VJSONCOMMENT_AFTER;
        else
            commentPos = value.getCommentPos();
        // Nothing after the root is read: its comments go before it.
        if (m_level == 0 && commentPos == VJSONCOMMENT_AFTER)
            commentPos = VJSONCOMMENT_BEFORE;
    }
    if (commentPos == VJSONCOMMENT_BEFORE)
        writeComment(value, true);
    if (m_style & VJSONWRITE_INDENT)
        putSpaces(out, m_indent + m_step * m_level);
    if (key)
        writeKey(*key);

    int last = 0;
    const VJsonType type = value.getType();
    // Numbers, booleans and null: the text, and its line in one piece when
    // nothing follows it but a comma.
    char scalar[64];
    int scalarLength = -1;
    switch (type) {
    case VJSONTYPE_DOUBLE:
        scalarLength = doubleText(value.m_refData->m_value.m_valDouble, scalar, sizeof scalar);
        break;
    case VJSONTYPE_INT:
        scalarLength = int(std::to_chars(scalar, scalar + sizeof scalar, value.m_refData->m_value.m_valInt).ptr - scalar);
        break;
    case VJSONTYPE_UINT:
        scalarLength = int(std::to_chars(scalar, scalar + sizeof scalar, value.m_refData->m_value.m_valUInt).ptr - scalar);
        break;
    case VJSONTYPE_BOOL:
        scalarLength = value.m_refData->m_value.m_valBool ? copyText(scalar, "true") : copyText(scalar, "false");
        break;
    case VJSONTYPE_NULL:
        scalarLength = copyText(scalar, "null");
        break;
    default:
        break;
    }
    if (scalarLength > 0 && commentPos == 0 && out) {
        ushort* o = out->take(size_t(scalarLength) + 2);
        for (int i = 0; i < scalarLength; ++i)
            *o++ = static_cast<unsigned char>(scalar[i]);
        if (comma)
            *o++ = ',';
        *o++ = '\n';
        out->giveBack(o);
        return '\n';
    }

    switch (type) {
    case VJSONTYPE_EMPTY:
        throw VException("VJsonWriter::WriteEmpty() cannot be called (not a valid JSON text)", kFile, 250);
    case VJSONTYPE_STRING:
        last = writeStringValue(value.m_refData->m_value.m_valString);
        break;
    case VJSONTYPE_CSTRING:
        last = writeStringValue(value.asString());
        break;
    case VJSONTYPE_DOUBLE:
    case VJSONTYPE_INT:
    case VJSONTYPE_UINT:
    case VJSONTYPE_BOOL:
    case VJSONTYPE_NULL:
        last = put(out, scalar, scalarLength);
        break;
    case VJSONTYPE_ARRAY:
    case VJSONTYPE_OBJECT: {
        if (m_level >= VJsonValue::MaxDepth)
            throw VException(QStringLiteral("VJsonWriter::write() - nesting deeper than %1 levels")
                                 .arg(VJsonValue::MaxDepth));
        const bool array = value.isArray();
        ++m_level;
        put(out, array ? '[' : '{');
        if (commentPos == VJSONCOMMENT_SAME_LINE) {
            put(out, ' ');
            if (writeComment(value, false) != '\n')
                put(out, '\n');
            commentPos = 0;
        } else {
            put(out, '\n');
        }
        if (array) {
            // Payloads lie apart in memory: ask for them well ahead.
            const VJsonInternalArray& elements = *value.asArray();
            const VJsonValue* const element = elements.constData();
            const int n = elements.size();
            const int ahead = 8;
            for (int i = 0; i < n && i < ahead; ++i)
                __builtin_prefetch(element[i].m_refData);
            for (int i = 0; i < n; ++i) {
                if (i + ahead < n)
                    __builtin_prefetch(element[i + ahead].m_refData);
                if (i + 2 < n)
                    prefetchMembers(element[i + 2]);
                doWrite(element[i], nullptr, i + 1 < n);
            }
        } else {
            // Sorted keys: hash order changes from run to run.
            const VJsonInternalMap& map = *value.asMap();
            StackSlice<Member> members;
            for (VJsonInternalMap::const_iterator it = map.constBegin(); it != map.constEnd(); ++it) {
                __builtin_prefetch(it.value().m_refData);
                members.append({&it.key(), &it.value()});
            }
            StackSlice<int> order;
            sortedOrder(members, order, out ? &out->keyOrder(m_level) : nullptr);
            const int n = members.size();
            for (int i = 0; i < n; ++i) {
                const Member member = members[order[i]];
                doWrite(member.value(), &member.key(), i + 1 < n);
            }
        }
        --m_level;
        if (m_style & VJSONWRITE_INDENT)
            putSpaces(out, m_indent + m_step * m_level);
        last = put(out, array ? ']' : '}');
        break;
    }
    default:
        last = writePrimitiveValue(value);
        break;
    }
    if (comma)
        last = put(out, ',');

    if (commentPos == VJSONCOMMENT_SAME_LINE) {
        put(out, ' ');
        last = writeComment(value, false);
        if (last != '\n')
            last = put(out, '\n');
    } else if (commentPos == VJSONCOMMENT_AFTER) {
        put(out, '\n');
        last = writeComment(value, true);
        if (last != '\n')
            last = put(out, '\n');
    } else if (last != '\n') {
        last = put(out, '\n');
    }
    return last;
}

int VJsonWriter::writeChar(char c)
{
    return put(output(), c);
}

int VJsonWriter::writeLatin1(const char* text, int length)
{
    return put(output(), text, length);
}

int VJsonWriter::writeSpaces(int n)
{
    return putSpaces(output(), n);
}

int VJsonWriter::writeIndent(int n)
{
    if (!(m_style & VJSONWRITE_INDENT))
        return 0;
    return writeSpaces(n);
}

int VJsonWriter::writeIndent()
{
    return writeIndent(m_indent + m_step * m_level);
}

int VJsonWriter::writeString(const QString& text)
{
    VJsonWriterBuffer* out = output();
    if (!out || text.isEmpty())
        return 0;
    // No escapes exist here (comments): a character outside Latin-1 becomes '?'.
    ushort* o = out->take(size_t(text.size()));
    for (const QChar c : text)
        *o++ = c.unicode() > 0xFF ? ushort('?') : c.unicode();
    return out->last();
}

int VJsonWriter::writeStringValue(const QString& text)
{
    VJsonWriterBuffer* out = output();
    if (!out)
        return 0;
    const int multiLineIndent =
        (m_style & VJSONWRITE_SPLIT_STRINGS) && (m_style & VJSONWRITE_INDENT) ? (m_level + 2) * m_step : 0;
    static const char hex[] = "0123456789abcdef";
    auto plain = [](ushort u) { return u >= 0x20 && u <= 0xFF && u != '"' && u != '\\' && u != '/'; };
    put(out, '"');
    const ushort* p = reinterpret_cast<const ushort*>(text.constData());
    const ushort* const end = p + text.size();
    while (p != end) {
        // A run that needs no escape goes over in one piece.
        const ushort* run = p;
        while (p != end && plain(*p))
            ++p;
        if (p != run) {
            std::copy(run, p, out->take(size_t(p - run)));
            if (p == end)
                break;
        }
        const ushort u = *p++;
        char esc = 0;
        switch (u) {
        case '"': esc = '"'; break;
        case '\\': esc = '\\'; break;
        case '/': esc = '/'; break;
        case '\b': esc = 'b'; break;
        case '\f': esc = 'f'; break;
        case '\n': esc = 'n'; break;
        case '\r': esc = 'r'; break;
        case '\t': esc = 't'; break;
        default: break;
        }
        if (esc) {
            const char pair[2] = {'\\', esc};
            put(out, pair, 2);
        } else {
            // Outside Latin-1, or a control character without a short form.
            const char unit[6] = {'\\', 'u', hex[(u >> 12) & 15], hex[(u >> 8) & 15], hex[(u >> 4) & 15], hex[u & 15]};
            put(out, unit, 6);
        }
        if (u == '\n' && multiLineIndent >= 1) {
            put(out, "\"\n", 2);
            putSpaces(out, multiLineIndent);
            put(out, '"');
        }
    }
    put(out, '"');
    return '"';
}

int VJsonWriter::writeKey(const QString& key)
{
    writeStringValue(key);
    return put(output(), " : ", 3);
}

int VJsonWriter::writeComment(const VJsonValue& value, bool indent)
{
    if (!(m_style & VJSONWRITE_INDENT) || !(m_style & VJSONWRITE_COMMENTS))
        return 0;
    int last = 0;
    for (const QString& comment : value.getCommentArray()) {
        if (indent)
            writeIndent();
        // A reader takes CR LF for one line feed: a CR the comment holds
        // before a line feed is written twice so that it reads back.
        static const QString crLf = QStringLiteral("\r\n");
        last = comment.contains(crLf) ? writeString(QString(comment).replace(crLf, QStringLiteral("\r\r\n")))
                                      : writeString(comment);
        if (!comment.endsWith(QLatin1Char('\n')))
            last = writeChar('\n');
    }
    return last;
}

int VJsonWriter::writePrimitiveValue(const VJsonValue& value)
{
    return writeString(value.asString());
}

int VJsonWriter::writeNull()
{
    return writeLatin1("null", 4);
}

int VJsonWriter::writeBool(bool value)
{
    return value ? writeLatin1("true", 4) : writeLatin1("false", 5);
}

int VJsonWriter::writeInt(int value)
{
    return putInteger(output(), value);
}

int VJsonWriter::writeUInt(unsigned int value)
{
    return putInteger(output(), value);
}

int VJsonWriter::writeDouble(double value)
{
    char buf[64];
    return put(output(), buf, doubleText(value, buf, sizeof buf));
}

int VJsonWriter::writeError(const QString& text)
{
    return writeString(QStringLiteral("ERROR: %1").arg(text));
}

int VJsonWriter::writeEmpty()
{
    throw VException("VJsonWriter::WriteEmpty() cannot be called (not a valid JSON text", kFile, 823);
}
