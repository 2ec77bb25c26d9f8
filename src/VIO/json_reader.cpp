#include "json_reader.h"
#include "json_value_p.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <QVarLengthArray>

namespace {

// Characters that end a bare token.
struct DelimiterTable
{
    bool is[256] = {};
    DelimiterTable()
    {
        for (char c : {',', ']', '[', '{', '}', ':', ' ', '\r', '\n', '\t', '\b'})
            is[static_cast<unsigned char>(c)] = true;
    }
};
const DelimiterTable kDelimiters;

inline bool isDelimiter(int ch)
{
    return ch >= 0 && ch < 256 && kDelimiters.is[ch];
}

// A token quoted in a message: long ones are cut.
QString quoted(const QString& token)
{
    const int maxChars = 64;
    if (token.size() <= maxChars)
        return token;
    return token.left(maxChars) + QLatin1String("...");
}

int hexValue(int ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// Decimal digits only, at least one. Values past 10^18 report overflow: every
// caller then wants something bigger than 32 bits anyway.
bool parseDigits(const char* p, const char* end, unsigned long long& value, bool& overflow)
{
    if (p == end)
        return false;
    value = 0;
    overflow = false;
    for (; p != end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        if (value > 100000000000000000ULL)
            overflow = true;
        else
            value = value * 10 + unsigned(*p - '0');
    }
    return true;
}

// The whole token as a finite double (a leading '+' allowed), independent of
// the C locale.
bool parseDouble(const char* p, const char* end, double& value)
{
    if (p != end && *p == '+') {
        ++p;
        if (p != end && (*p == '+' || *p == '-'))
            return false;
    }
    std::from_chars_result r = std::from_chars(p, end, value);
    return r.ec == std::errc() && r.ptr == end && std::isfinite(value);
}

// The character a one-letter escape such as \n stands for, 0 for none.
char shortEscape(int letter)
{
    switch (letter) {
    case 'n': return '\n';
    case '\\': return '\\';
    case '"': return '"';
    case '/': return '/';
    case 'b': return '\b';
    case 'f': return '\f';
    case 't': return '\t';
    case 'r': return '\r';
    default: return 0;
    }
}

bool sameWordIgnoringCase(const std::string& token, const char* word)
{
    size_t i = 0;
    for (; word[i]; ++i) {
        if (i >= token.size())
            return false;
        char c = token[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != word[i])
            return false;
    }
    return i == token.size();
}

} // namespace

VJsonReader::VJsonReader(int flags, int maxErrors)
    : m_flags(flags), m_maxErrors(maxErrors), m_lineNo(1), m_colNo(1), m_level(0),
      m_current(nullptr), m_lastStored(nullptr), m_next(nullptr), m_commentLine(0), m_charPos(0),
      m_inType(-1), m_inObject(nullptr), m_peekChar(-1), m_maxDepth(VJsonValue::MaxDepth), m_data(nullptr), m_size(0),
      m_rawChars(false), m_stop(false), m_commentCol(0), m_commentEndLine(0), m_commentEndsLine(false), m_sameLineValue(nullptr),
      m_sameLineEnd(0), m_sameLineEndsLine(false), m_staging(nullptr)
{
}

VJsonReader::~VJsonReader()
{
}

int VJsonReader::UTF8NumBytes(char c)
{
    int ones = 0;
    for (unsigned char b = static_cast<unsigned char>(c); b & 0x80; b = static_cast<unsigned char>(b << 1))
        ++ones;
    if (ones <= 1)
        return 1;
    return ones <= 6 ? ones : -1;
}

// ---------------------------------------------------------------- messages

void VJsonReader::addMessage(QStringList& list, const QString& text, const char* cutOff)
{
    if (m_maxErrors < 0 || list.size() < m_maxErrors)
        list.append(text);
    else if (list.size() == m_maxErrors)
        list.append(QLatin1String(cutOff));
}

void VJsonReader::addError(const QString& msg)
{
    // Past the cut-off nothing is kept: bad text costs no formatting.
    if (!keepsError())
        return;
    addMessage(m_errors, QStringLiteral("Error: line %1, col %2 - %3").arg(m_lineNo).arg(m_colNo).arg(msg),
               "Error: too many error messages - ignoring further errors");
}

void VJsonReader::addWarning(int flag, const QString& msg)
{
    if (!(m_flags & flag)) {
        addError(msg);
        return;
    }
    if (m_maxErrors >= 0 && m_warnings.size() > m_maxErrors)
        return;
    addMessage(m_warnings, QStringLiteral("Warning: line %1, col %2 - %3").arg(m_lineNo).arg(m_colNo).arg(msg),
               "Error: too many warning messages - ignoring further warnings");
}

void VJsonReader::addError(const char* msg)
{
    addError(QString::fromLatin1(msg));
}

void VJsonReader::addWarning(int flag, const char* msg)
{
    addWarning(flag, QString::fromLatin1(msg));
}

// ---------------------------------------------------------------- characters

int VJsonReader::getChar()
{
    if (m_peekChar >= 0) {
        int ch = m_peekChar;
        m_peekChar = -1;
        return ch;
    }
    if (m_inType != 0 || m_charPos >= m_size)
        return -1;
    return m_data[m_charPos++].unicode();
}

int VJsonReader::peekChar()
{
    if (m_peekChar < 0)
        m_peekChar = getChar();
    return m_peekChar;
}

int VJsonReader::readChar()
{
    int ch = getChar();
    if (ch == '\r') {
        int next = peekChar();
        if (next == '\n') {
            m_peekChar = -1;
            ch = '\n';
        } else if (next < 0) {
            return -1;
        } else {
            m_colNo = 2;
            return '\r';
        }
    }
    if (ch == '\n') {
        ++m_lineNo;
        m_colNo = 1;
        return ch;
    }
    if (ch < 0)
        return -1;
    ++m_colNo;
    // Latin-1 only between tokens: a wider character reads as NUL.
    if (ch > 0xFF && !m_rawChars)
        return 0;
    return ch;
}

int VJsonReader::skipWhiteSpace()
{
    int ch;
    do {
        if (m_peekChar < 0) {
            int i = m_charPos;
            while (i < m_size && (m_data[i].unicode() == ' ' || m_data[i].unicode() == '\t'))
                ++i;
            m_colNo += i - m_charPos;
            m_charPos = i;
        }
        ch = readChar();
    } while (ch == ' ' || ch == '\n' || ch == '\t');
    return ch;
}

template <class Buffer>
int VJsonReader::scanToken(int ch, Buffer& token)
{
    // The first character always belongs to the token, even a BS: it is the
    // one delimiter that doRead() hands over, and the reader must move on.
    for (bool first = true;; first = false) {
        if (ch < 0 || (!first && isDelimiter(ch)))
            return ch;
        token.push_back(char(ch));
        if (m_peekChar < 0) {
            int i = m_charPos;
            for (; i < m_size; ++i) {
                const ushort u = m_data[i].unicode();
                if (u < 256 && kDelimiters.is[u])
                    break;
            }
            const size_t at = token.size();
            token.resize(at + size_t(i - m_charPos));
            char* o = &token[at];
            for (int k = m_charPos; k < i; ++k) {
                const ushort u = m_data[k].unicode();
                *o++ = u > 0xFF ? '\0' : char(u);
            }
            m_colNo += i - m_charPos;
            m_charPos = i;
        }
        ch = readChar();
    }
}

int VJsonReader::readToken(int ch, QString& token)
{
    std::string bytes;
    ch = scanToken(ch, bytes);
    token.append(QString::fromLatin1(bytes.data(), int(bytes.size())));
    return ch;
}

// Length of the run of characters from start that need no special handling
// inside a string.
int VJsonReader::plainRun(int start) const
{
    int i = start;
    for (; i < m_size; ++i) {
        const ushort u = m_data[i].unicode();
        if (u == '"' || u == '\\' || u == 0 || u == '\r' || u == '\n')
            break;
    }
    return i - start;
}

// Takes the characters of a string up to the next one that needs the careful
// path below: the closing quote, a line end, NUL, the end of the text, a
// bad \u sequence or an unknown escape. Good escapes are decoded on the way;
// each character read counts one column, as readChar() counts it.
int VJsonReader::scanEscaped(QString& text)
{
    if (m_peekChar >= 0)
        return 0;
    QVarLengthArray<QChar, 256> decoded;
    int i = m_charPos;
    while (i < m_size) {
        const int run = plainRun(i);
        decoded.append(m_data + i, run);
        i += run;
        if (i + 1 >= m_size || m_data[i].unicode() != '\\')
            break;
        if (m_data[i + 1].unicode() == 'u') {
            int code = 0;
            for (int k = i + 2; code >= 0 && k < i + 6; ++k) {
                const int h = k < m_size ? hexValue(m_data[k].unicode()) : -1;
                code = h < 0 ? -1 : code * 16 + h;
            }
            if (code < 0)
                break; // reported on the careful path
            decoded.append(QChar(ushort(code)));
            i += 6;
            continue;
        }
        const char c = shortEscape(m_data[i + 1].unicode());
        if (!c)
            break;
        decoded.append(QLatin1Char(c));
        i += 2;
    }
    const int n = i - m_charPos;
    text.append(decoded.constData(), decoded.size());
    m_colNo += n;
    m_charPos = i;
    return n;
}

// Short strings repeat (keys above all): equal ones share one buffer.
QString VJsonReader::shared(const QChar* text, int length)
{
    const int maxLength = 32;
    const int slotCount = 512;
    if (length > maxLength)
        return QString(text, length);
    if (m_shared.isEmpty())
        m_shared.resize(slotCount);
    // A few characters are enough to tell keys apart; a clash only costs a copy.
    unsigned hash = unsigned(length) * 0x9E3779B1u;
    if (length > 0)
        hash ^= (text[0].unicode() * 31u + text[length - 1].unicode()) * 0x85EBCA6Bu
                ^ text[length / 2].unicode() * 0xC2B2AE35u ^ text[(length - 1) / 3].unicode() * 0x27D4EB2Fu;
    hash ^= hash >> 15;
    QString& slot = m_shared[int(hash & (slotCount - 1))];
    if (slot.size() != length || std::memcmp(slot.constData(), text, size_t(length) * sizeof(QChar)) != 0)
        slot = QString(text, length);
    return slot;
}

int VJsonReader::numBytes()
{
    return 0;
}

int VJsonReader::appendUnicodeSequence(QString& text, int code)
{
    text.append(QChar(ushort(code)));
    return 0;
}

// ---------------------------------------------------------------- parse

int VJsonReader::parse(const QString& doc, VJsonValue* val)
{
    m_inType = 0;
    m_inObject = const_cast<QString*>(&doc);
    m_charPos = 0;
    m_data = doc.constData();
    m_size = doc.size();
    int errors = parse(val);
    m_inObject = nullptr;
    m_data = nullptr;
    m_size = 0;
    return errors;
}

int VJsonReader::parse(VJsonValue* val)
{
    m_level = 0;
    m_lineNo = 1;
    m_colNo = 1;
    m_peekChar = -1;
    m_errors.clear();
    m_warnings.clear();
    m_comment.clear();
    m_rawChars = false;
    m_stop = false;
    m_sameLineValue = nullptr;
    if (m_inType != 0)
        m_size = 0;

    VJsonPayloadBlocks blocks;
    VJsonValue check;
    VJsonValue* target = val ? val : &check;
    m_next = target;
    target->setLineNo(-1);
    m_current = nullptr;
    m_lastStored = nullptr;

    const int ch = getStart();
    if (ch >= 0) {
        target->setType(ch == '[' ? VJSONTYPE_ARRAY : VJSONTYPE_OBJECT);
        doRead(*target);
    }
    // The pointers refer to values of this parse only.
    m_current = nullptr;
    m_next = nullptr;
    m_lastStored = nullptr;
    m_sameLineValue = nullptr;
    m_comment.clear();
    m_shared.clear();
    std::vector<VJsonValue>().swap(m_stage);
    return m_errors.size();
}

int VJsonReader::getStart()
{
    int ch = readChar();
    for (;;) {
        if (ch == '[' || ch == '{')
            return ch;
        if (ch < 0) {
            addError(QStringLiteral("Cannot find a start object/array character"));
            return -1;
        }
        if (ch == '/') {
            ch = skipComment();
            storeComment(nullptr);
            continue;
        }
        ch = readChar();
    }
}

// The elements of an array wait on a stack shared by all levels and go into
// the array, sized once, when it ends: no regrowing per element.
struct VJsonReader::Staging
{
    Staging(VJsonReader& reader, VJsonValue& parent)
        : m_reader(reader), m_parent(parent), m_base(reader.m_stage.size()), m_outer(reader.m_staging)
    {
        m_reader.m_staging = parent.isArray() ? &parent : nullptr;
    }
    ~Staging()
    {
        std::vector<VJsonValue>& stage = m_reader.m_stage;
        if (stage.size() > m_base) {
            VJsonInternalArray& array = m_parent.COW()->m_value.m_valArray;
            // Exact for a fresh array; geometric when error recovery re-enters
            // one again and again, or every re-entry would copy it all.
            const int needed = array.size() + int(stage.size() - m_base);
            if (needed > array.capacity())
                array.reserve(array.isEmpty() ? needed : std::max(needed, 2 * int(array.capacity())));
            VJsonValue* last = m_reader.m_lastStored;
            for (size_t i = m_base; i < stage.size(); ++i) {
                array.append(std::move(stage[i]));
                if (last == &stage[i])
                    m_reader.m_lastStored = &array.last();
            }
            stage.resize(m_base);
        }
        m_reader.m_staging = m_outer;
    }
    // After a nested level: its elements are stored, ours stage on.
    void resume() { m_reader.m_staging = m_parent.isArray() ? &m_parent : nullptr; }

    VJsonReader& m_reader;
    VJsonValue& m_parent;
    const size_t m_base;
    VJsonValue* const m_outer;
};

int VJsonReader::doRead(VJsonValue& parent)
{
    Staging staging(*this, parent);
    ++m_level;
    // The slot gets its payload when something is read into it: no
    // allocation for the empty slot left behind by the last element.
    VJsonValue value(VJsonValue::NoPayload{});
    QString key;
    m_next = &value;
    m_current = &parent;
    m_lastStored = nullptr;
    parent.setLineNo(m_lineNo);
    const bool inObject = parent.isObject();

    int ch = readChar();
    for (;;) {
        if (m_stop) {
            --m_level;
            return -1;
        }
        // Anything but blanks and comments ends a run of same-line comments.
        if (ch != ' ' && ch != '\n' && ch != '\t' && ch != '\r' && ch != 0 && ch != '/')
            m_sameLineValue = nullptr;
        switch (ch) {
        case -1:
            addWarning(VJSONREAD_ALLOW_BAD_CLOSING,
                       parent.isArray() ? "']' missing at end of file" : "'}' missing at end of file");
            storeValue(-1, key, value, parent);
            --m_level;
            return -1;
        case 0:
            ch = readChar();
            break;
        case ' ':
        case '\n':
        case '\t':
        case '\r':
            ch = skipWhiteSpace();
            break;
        case '"':
            ch = readString(value);
            m_current = &value;
            m_next = nullptr;
            break;
        case ',':
            storeValue(',', key, value, parent);
            key = QString();
            ch = readChar();
            break;
        case '/':
            ch = skipComment();
            storeComment(&parent);
            break;
        case ':':
            m_current = &value;
            value.setLineNo(m_lineNo);
            m_next = nullptr;
            if (!parent.isObject()) {
                addError("':' cannot be used in array's values");
            } else if (!value.isString()) {
                addError("':' follows a value which is not of type 'string'");
            } else if (!key.isEmpty()) {
                addError("':' not allowed where a 'name' string was already available");
            } else {
                key = value.asString();
                value.setType(VJSONTYPE_EMPTY);
            }
            ch = readChar();
            break;
        case '[':
        case '{': {
            const bool array = ch == '[';
            if (inObject) {
                if (key.isEmpty())
                    addError(array ? "'[' is not allowed here ('name' is missing"
                                   : "'{' is not allowed here ('name' is missing");
                if (!value.isEmpty())
                    addError(array ? "'[' cannot follow a 'value' text" : "'{' must be a 'value'");
            } else if (!value.isEmpty()) {
                addError(array ? "'[' cannot follow a 'value'" : "'{' cannot follow a 'value' in JSON array");
            }
            // Text can nest deeper than any stack: refuse it before recursing.
            if (m_level >= m_maxDepth) {
                addError(QStringLiteral("maximum nesting depth (%1) exceeded").arg(m_maxDepth));
                m_stop = true;
                break;
            }
            value.setType(array ? VJSONTYPE_ARRAY : VJSONTYPE_OBJECT);
            ch = doRead(value);
            staging.resume();
            break;
        }
        case ']':
        case '}': {
            const bool array = ch == ']';
            if (array && !parent.isArray())
                addWarning(VJSONREAD_ALLOW_BAD_CLOSING, "Trying to close an object using the ']' (close-array) char");
            else if (!array && !parent.isObject())
                addWarning(VJSONREAD_ALLOW_BAD_CLOSING, "Trying to close an array using the '}' (close-object) char");
            storeValue(ch, key, value, parent);
            m_current = &parent;
            m_next = nullptr;
            parent.setLineNo(m_lineNo);
            --m_level;
            return array ? 0 : readChar();
        }
        default:
            m_current = &value;
            value.setLineNo(m_lineNo);
            m_next = nullptr;
            ch = readValue(ch, value);
            break;
        }
    }
}

void VJsonReader::storeValue(int ch, const QString& key, VJsonValue& value, VJsonValue& parent)
{
    m_current = nullptr;
    m_next = &value;
    m_lastStored = nullptr;
    const bool empty = value.isEmpty();
    if (empty && key.isEmpty()) {
        if (ch != '}' && ch != ']')
            addError(QStringLiteral("key or value is missing for JSON value"));
    } else if (parent.isObject()) {
        if (empty) {
            addError(QStringLiteral("cannot store the value: 'value' is missing for JSON object type"));
        } else if (key.isEmpty()) {
            addError(QStringLiteral("cannot store the value: 'key' is missing for JSON object type"));
        } else {
            value.setLineNo(m_lineNo);
            VJsonInternalMap& map = parent.COW()->m_value.m_valMap;
            m_lastStored = &map.insert(key, value).value();
        }
    } else {
        if (empty)
            addError(QStringLiteral("cannot store the item: 'value' is missing for JSON array type"));
        else if (!key.isEmpty())
            addError(QStringLiteral("cannot store the item: 'key' ('%1') is not permitted in JSON array type")
                         .arg(quoted(key)));
        value.setLineNo(m_lineNo);
        // The element takes the payload over: no copy, and its line is set.
        if (&parent == m_staging) {
            m_stage.push_back(std::move(value));
            m_lastStored = &m_stage.back();
        } else {
            VJsonInternalArray& array = parent.COW()->m_value.m_valArray;
            array.append(std::move(value));
            m_lastStored = &array.last();
        }
    }
    // Back to an empty slot without comments (the stored copy keeps them).
    value.unRef();
}

// ---------------------------------------------------------------- comments

int VJsonReader::skipComment()
{
    // Keeps the comment from its opening to its end, every character as written.
    auto takeComment = [this](const char* opening, bool block) {
        addWarning(VJSONREAD_ALLOW_COMMENTS,
                   QStringLiteral("Comments may be tolerated in JSON text but they are not part of JSON syntax"));
        m_commentLine = m_lineNo;
        m_commentCol = m_colNo - 2;
        m_comment = QLatin1String(opening);
        m_rawChars = true;
        int prev = 0;
        int c;
        while ((c = readChar()) >= 0) {
            m_comment.append(QChar(ushort(c)));
            if (block ? prev == '*' && c == '/' : c == '\n')
                break;
            prev = c;
        }
        m_rawChars = false;
        m_commentEndsLine = c == '\n';
        m_commentEndLine = m_lineNo;
        return c;
    };
    int ch = readChar();
    if (ch == '/')
        return takeComment("//", false);
    if (ch == '*') {
        if (takeComment("/*", true) < 0) {
            addError(QStringLiteral("unterminated comment at end of file"));
            return -1;
        }
        return readChar();
    }
    if (ch < 0)
        return -1;
    addError(QStringLiteral("Strange '/' (did you want to insert a comment?)"));
    int prev = 0;
    for (; ch >= 0; prev = ch, ch = readChar()) {
        if (ch == '\n' || (prev == '*' && ch == '/'))
            return readChar();
    }
    return -1;
}

void VJsonReader::storeComment(const VJsonValue* parent)
{
    if (m_comment.isEmpty())
        return;
    const QString comment = m_comment;
    m_comment.clear();
    if (!(m_flags & VJSONREAD_KEEP_COMMENTS))
        return;
    const int endLine = m_commentEndLine;
    const bool endsLine = m_commentEndsLine;
    auto sameLine = [&](VJsonValue* v) {
        v->addComment(comment, VJSONCOMMENT_SAME_LINE);
        m_sameLineValue = v;
        m_sameLineEnd = endLine;
        m_sameLineEndsLine = endsLine;
    };
    if (m_sameLineValue) {
        // Goes on the line where the last one ended, or starts the next line.
        const int nextLine = m_sameLineEndsLine ? m_sameLineEnd : m_sameLineEnd + 1;
        if ((!m_sameLineEndsLine && m_commentLine == m_sameLineEnd)
            || (m_commentLine == nextLine && m_commentCol == 1)) {
            sameLine(m_sameLineValue);
            return;
        }
    }
    m_sameLineValue = nullptr;
    for (VJsonValue* v : {m_current, m_next, m_lastStored}) {
        if (v && v->getLineNo() == m_commentLine) {
            sameLine(v);
            return;
        }
    }
    // Before the root there is only the root to take it, whatever the flags.
    if (!parent && m_next) {
        m_next->addComment(comment, VJSONCOMMENT_BEFORE);
        return;
    }
    if (m_flags & VJSONREAD_COMMENTS_AFTER) {
        const QString noValue = QStringLiteral("Cannot find a value for storing the comment (flag AFTER)");
        if (m_current) {
            if (m_current == parent || m_current->isEmpty())
                addError(noValue);
            else
                m_current->addComment(comment, VJSONCOMMENT_AFTER);
        } else if (m_lastStored) {
            m_lastStored->addComment(comment, VJSONCOMMENT_AFTER);
        } else {
            addError(noValue);
        }
    } else if (m_next) {
        m_next->addComment(comment, VJSONCOMMENT_BEFORE);
    } else if (m_current && m_current != parent && !m_current->isEmpty()) {
        // No value follows before the next comma or bracket: the comment joins
        // the value it follows, on its line, which is where the writer puts it.
        sameLine(m_current);
    } else {
        addError(QStringLiteral("Cannot find a value for storing the comment (flag BEFORE)"));
    }
}

// ---------------------------------------------------------------- values

int VJsonReader::readUnicode(long& code)
{
    long value = 0;
    int ch = -1;
    for (int digits = 0; digits < 4; ++digits) {
        ch = readChar();
        const int h = hexValue(ch);
        if (h < 0) {
            // The character that broke the sequence is handled by the string.
            addError(QStringLiteral("unicode sequence must contain 4 hex digits"));
            code = -1;
            return ch;
        }
        value = value * 16 + h;
    }
    code = value;
    return readChar();
}

int VJsonReader::readString(VJsonValue& value)
{
    // Inside strings every UTF-16 unit is kept, not only Latin-1.
    m_rawChars = true;
    QString text;
    bool closed = false;
    int ch;
    const int start = m_charPos;
    const int plain = m_peekChar < 0 ? plainRun(start) : -1;
    if (plain >= 0 && start + plain < m_size && m_data[start + plain].unicode() == '"') {
        // The common case: no escapes, taken in one piece.
        text = shared(m_data + start, plain);
        m_charPos = start + plain + 1;
        m_colNo += plain + 1;
        ch = '"';
    } else {
        scanEscaped(text);
        ch = readChar();
    }
    for (;;) {
        if (ch == '"') {
            closed = true;
            break;
        }
        if (ch <= 0)
            break; // NUL or the end
        if (ch == '\\') {
            const int escaped = readChar();
            if (const char c = shortEscape(escaped)) {
                text.append(QLatin1Char(c));
            } else if (escaped == 'u') {
                long code = -1;
                ch = readUnicode(code);
                if (code >= 0)
                    appendUnicodeSequence(text, int(code));
                continue;
            } else if (escaped == -1) {
                ch = -1;
                continue;
            } else {
                addError(QStringLiteral("Unknown escaped character '\\%1'").arg(QChar(ushort(escaped))));
            }
        } else {
            text.append(QChar(ushort(ch)));
        }
        scanEscaped(text);
        ch = readChar();
    }
    m_rawChars = false;

    if (!closed && ch < 0)
        addError(QStringLiteral("unterminated string at end of file"));
    if (value.isEmpty()) {
        value = text;
    } else if (value.isString()) {
        addWarning(VJSONREAD_ALLOW_MULTILINE_STRINGS, QStringLiteral("Multiline strings are not allowed by JSON syntax"));
        value.cat(text);
    } else {
        addError(QStringLiteral("String value '%1' cannot follow another value").arg(quoted(text)));
    }
    value.setLineNo(m_lineNo);
    return closed ? readChar() : ch;
}

// The length of the number token that starts with ch and goes on at the
// next character of the text, copied to out, when it is no longer than size
// and a delimiter or the end of the text follows it; else 0.
int VJsonReader::numberInPlace(int ch, char* out, int size) const
{
    if (m_peekChar >= 0 || !((ch >= '0' && ch <= '9') || ch == '-' || ch == '+'))
        return 0;
    int n = 0;
    out[n++] = char(ch);
    int i = m_charPos;
    for (; i < m_size; ++i) {
        const ushort u = m_data[i].unicode();
        if (!((u >= '0' && u <= '9') || u == '.' || u == 'e' || u == 'E' || u == '+' || u == '-'))
            break;
        if (n == size)
            return 0;
        out[n++] = char(u);
    }
    if (i < m_size && !isDelimiter(m_data[i].unicode()))
        return 0;
    return n;
}

int VJsonReader::readValue(int ch, VJsonValue& value)
{
    // A short number that a delimiter ends, the common case, is taken from
    // the text in place. Anything else goes through the member, which keeps
    // its capacity: long tokens cost no allocation each.
    std::string& token = m_token;
    char number[40];
    const char* begin = number;
    const char* end = number + numberInPlace(ch, number, int(sizeof number));
    if (end != begin) {
        const int rest = int(end - begin) - 1;
        m_charPos += rest;
        m_colNo += rest;
        ch = readChar();
    } else {
        token.clear();
        ch = scanToken(ch, token);
        begin = token.data();
        end = begin + token.size();
    }
    auto tokenText = [begin, end]() { return quoted(QString::fromLatin1(begin, int(end - begin))); };

    if (!value.isEmpty()) {
        if (keepsError())
            addError(QStringLiteral("Value '%1' cannot follow a value: ',' or ':' missing?").arg(tokenText()));
        return ch;
    }
    const char first = begin == end ? '\0' : *begin;
    unsigned long long digits = 0;
    bool overflow = false;
    double d = 0.0;
    bool ok = true;
    if (first == '+') {
        if (parseDigits(begin + 1, end, digits, overflow) && !overflow && digits <= 4294967295ULL)
            value = static_cast<unsigned int>(digits);
        else if ((ok = parseDouble(begin, end, d)))
            value = d;
    } else if (first == '-') {
        if (parseDigits(begin + 1, end, digits, overflow) && !overflow && digits <= 2147483648ULL)
            value = static_cast<int>(-static_cast<long long>(digits));
        else if ((ok = parseDouble(begin, end, d)))
            value = d;
    } else if (first >= '0' && first <= '9') {
        const bool integer = parseDigits(begin, end, digits, overflow) && !overflow;
        if (integer && digits <= 2147483647ULL)
            value = static_cast<int>(digits);
        else if (integer && digits <= 4294967295ULL)
            value = static_cast<unsigned int>(digits);
        else if ((ok = parseDouble(begin, end, d)))
            value = d;
    } else {
        // Not a number: the token was read into the member.
        static const char* const words[] = {"null", "true", "false"};
        int word = 0;
        for (; word < 3; ++word) {
            if (token == words[word] || sameWordIgnoringCase(token, words[word]))
                break;
        }
        if (word == 3) {
            if (keepsError())
                addError(QStringLiteral("Unrecognized literal '%1' (did you forget quotes?)").arg(tokenText()));
            return ch;
        }
        if (token != words[word])
            addWarning(VJSONREAD_ALLOW_LITERAL_CASE,
                       QStringLiteral("the '%1' literal must be lowercase").arg(QLatin1String(words[word])));
        if (word == 0)
            value.setType(VJSONTYPE_NULL);
        else
            value = (word == 1);
        return ch;
    }
    if (!ok && keepsError())
        addError(QStringLiteral("Value '%1' is incorrect (did you forget quotes?)").arg(tokenText()));
    return ch;
}
