#include "VCore/xml_depth_guard_p.h"

#include <QSet>
#include <QXmlStreamReader>

namespace {

enum class ScanResult { WellFormed, TooDeep, Malformed };

void setOut(QString* error, int* line, int* column, const QString& e, qint64 l, qint64 c)
{
    if (error)
        *error = e;
    if (line)
        *line = int(l);
    if (column)
        *column = int(c);
}

// The entities of the document type declaration dtd that Qt 5's DOM parser
// may declare where the reader of the scan skips them: after a reference to
// a parameter entity it does not read, the reader skips every declaration,
// where Qt 5's parser goes on. Gives the general entities declared after a
// reference to a parameter entity, and sets *any if the document refers to
// one and declares one whose text it holds: that text may refer to one from
// outside and declare any others, even with its markup written as character
// references. A '%' in a comment, an instruction or a literal (a default
// value, an identifier) is no reference.
QSet<QString> mayDeclareUnread(const QString& dtd, bool* any)
{
    const int n = dtd.size();
    auto isXmlSpace = [&](int i) {
        return i < n && (dtd.at(i) == u' ' || dtd.at(i) == u'\t' || dtd.at(i) == u'\r' || dtd.at(i) == u'\n');
    };
    auto startsAt = [&](int i, QLatin1String s) { return n - i >= s.size() && QStringView(dtd).mid(i, s.size()) == s; };
    int i = 0;
    auto skipPast = [&](QLatin1String end) {
        const int at = dtd.indexOf(end, i);
        i = at < 0 ? n : at + end.size();
    };
    auto skipWord = [&] {
        while (i < n && !isXmlSpace(i))
            ++i;
    };
    auto skipSpaces = [&] {
        while (isXmlSpace(i))
            ++i;
    };
    QSet<QString> names;
    bool referred = false;
    bool parameterText = false;
    while (i < n) {
        const QChar c = dtd.at(i);
        if (startsAt(i, QLatin1String("<!--"))) {
            skipPast(QLatin1String("-->"));
        } else if (startsAt(i, QLatin1String("<?"))) {
            skipPast(QLatin1String("?>"));
        } else if (c == u'"' || c == u'\'') {
            ++i;
            skipPast(c == u'"' ? QLatin1String("\"") : QLatin1String("'"));
        } else if (c == u'%' && i + 1 < n && !isXmlSpace(i + 1)) {
            referred = true;
            ++i;
        } else if (startsAt(i, QLatin1String("<!ENTITY"))) {
            i += 8;
            skipSpaces();
            const bool parameter = i < n && dtd.at(i) == u'%' && isXmlSpace(i + 1);
            if (parameter) {
                ++i;
                skipSpaces();
            }
            const int from = i;
            skipWord();
            const QString name = dtd.mid(from, i - from);
            skipSpaces();
            const bool fromOutside = startsAt(i, QLatin1String("SYSTEM")) || startsAt(i, QLatin1String("PUBLIC"));
            if (parameter && !fromOutside)
                parameterText = true;
            else if (!parameter && referred)
                names.insert(name);
        } else {
            ++i;
        }
    }
    *any = referred && parameterText;
    return names;
}

// Reads the whole document without building it, keeping only the depth.
// QDomDocument's own parser accepts some texts that are not well-formed
// (undeclared entities, repeated attributes, entities that open elements
// they do not close), and expands entities this reader leaves alone, so it
// never sees more than this scan accepted: *checked is the length of the
// reader's text up to the end of the last markup of it that passed.
ScanResult scan(QXmlStreamReader& reader, QStringView text, QString* error, int* line, int* column, qint64* checked)
{
    reader.setNamespaceProcessing(false);
    int depth = 0;
    *checked = 0;
    QSet<QString> unread;
    bool anyUnread = false;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > VXML_MAX_DEPTH) {
            setOut(error, line, column,
                   QString::fromLatin1("elements nested deeper than %1 levels").arg(VXML_MAX_DEPTH),
                   reader.lineNumber(), reader.columnNumber() + 1);
            return ScanResult::TooDeep;
        }
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if (token == QXmlStreamReader::DTD)
            unread = mayDeclareUnread(reader.text().toString(), &anyUnread);
        // The reader stops at an undeclared entity where that is an error
        // (no external subset, or standalone) and reports one the external
        // subset may declare, which no parser here reads: the DOM keeps the
        // reference. But Qt 5's DOM parser may expand it from a declaration
        // the reader skipped, to a depth unknown here.
        if (token == QXmlStreamReader::EntityReference && (anyUnread || unread.contains(reader.name().toString()))) {
            setOut(error, line, column,
                   QString::fromLatin1("entity '%1' may be declared after a parameter entity that is not read")
                       .arg(reader.name()),
                   reader.lineNumber(), reader.columnNumber() + 1);
            return ScanResult::Malformed;
        }
        // After text the reader may already have read past what follows it
        // (an entity reference, say); after markup it stands at its end. A
        // token of an entity's text leaves it past the reference, whose text
        // may hold the fault: the DOM parser would build that whole.
        const qint64 at = reader.characterOffset();
        const QStringView before = text.left(int(qMin(at, qint64(text.size()))));
        if (!reader.hasError() && token != QXmlStreamReader::Characters
            && (token == QXmlStreamReader::EntityReference
                    ? before.endsWith(QStringLiteral("&%1;").arg(reader.name()))
                    : before.endsWith(QLatin1Char('>'))))
            *checked = at;
    }
    if (!reader.hasError())
        return ScanResult::WellFormed;
    // The reader counts columns from 0, QDomDocument from 1.
    setOut(error, line, column, reader.errorString(), reader.lineNumber(), reader.columnNumber() + 1);
    return ScanResult::Malformed;
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
// Qt 5's DOM parser reads an XML 1.1 document as 1.0, where its stream
// reader refuses the version: the scan reads the declaration as 1.0, changed
// in place so that offsets, lines and columns stay those of the text.
// unit(i) is the i-th character of the text (beyond any byte order mark);
// gives the index of the last digit of "1.1", or -1.
template <class Unit>
int xml11Digit(const Unit& unit, int size)
{
    int i = 0;
    auto is = [&](const char* s) {
        for (; *s; ++s, ++i) {
            if (i >= size || unit(i) != uint(uchar(*s)))
                return false;
        }
        return true;
    };
    auto spaces = [&] {
        const int from = i;
        while (i < size && (unit(i) == ' ' || unit(i) == '\t' || unit(i) == '\r' || unit(i) == '\n'))
            ++i;
        return i > from;
    };
    if (!is("<?xml") || !spaces() || !is("version"))
        return -1;
    spaces();
    if (!is("="))
        return -1;
    spaces();
    if (i >= size || (unit(i) != '"' && unit(i) != '\''))
        return -1;
    const uint quote = unit(i++);
    if (!is("1.1") || i >= size || unit(i) != quote)
        return -1;
    return i - 1;
}

QString asXml10(const QString& text)
{
    const int bom = text.startsWith(QChar(0xFEFF)) ? 1 : 0;
    const ushort* const p = reinterpret_cast<const ushort*>(text.constData()) + bom;
    const int digit = xml11Digit([p](int i) { return uint(p[i]); }, text.size() - bom);
    if (digit < 0)
        return text;
    QString copy = text;
    copy[bom + digit] = QLatin1Char('0');
    return copy;
}

// The encodings a declaration can be found in without decoding: UTF-8 (or
// ASCII) and UTF-16 of either byte order, with or without a byte order mark.
QByteArray asXml10(const QByteArray& data)
{
    const auto* const b = reinterpret_cast<const uchar*>(data.constData());
    const int n = data.size();
    int start = 0;
    int width = 1;
    bool bigEndian = false;
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        start = 3;
    } else if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
        start = 2;
        width = 2;
        bigEndian = b[0] == 0xFE;
    } else if (n >= 2 && ((b[0] == '<' && b[1] == 0) || (b[0] == 0 && b[1] == '<'))) {
        width = 2;
        bigEndian = b[0] == 0;
    }
    const uchar* const p = b + start;
    auto unit = [=](int i) {
        return width == 1 ? uint(p[i]) : bigEndian ? uint(p[2 * i]) << 8 | p[2 * i + 1] : uint(p[2 * i + 1]) << 8 | p[2 * i];
    };
    const int digit = xml11Digit(unit, (n - start) / width);
    if (digit < 0)
        return data;
    QByteArray copy = data;
    copy[start + digit * width + (width == 2 && bigEndian ? 1 : 0)] = '0';
    return copy;
}
#else
// Qt 6's DOM parser refuses XML 1.1 as its stream reader does.
const QString& asXml10(const QString& text)
{
    return text;
}

const QByteArray& asXml10(const QByteArray& data)
{
    return data;
}
#endif

} // namespace

bool vSetXmlContent(QDomDocument* doc, const QString& text, QString* error, int* line, int* column)
{
    const auto& scanned = asXml10(text);
    QXmlStreamReader reader(scanned);
    qint64 checked = 0;
    switch (scan(reader, scanned, error, line, column, &checked)) {
    case ScanResult::WellFormed:
        return doc->setContent(text, false, error, line, column);
    case ScanResult::Malformed:
        // What came before the fault; its result and error are the scan's.
        doc->setContent(text.left(int(checked)), false);
        return false;
    case ScanResult::TooDeep:
        break;
    }
    return false;
}

bool vSetXmlContent(QDomDocument* doc, const QByteArray& data, QString* error, int* line, int* column)
{
    QXmlStreamReader reader(asXml10(data));
    qint64 checked = 0;
    if (scan(reader, QStringView(), error, line, column, &checked) != ScanResult::WellFormed)
        return false;
    return doc->setContent(data, false, error, line, column);
}
