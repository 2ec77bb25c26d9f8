#include "VCore/xml_depth_guard_p.h"

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

// Reads the whole document without building it, keeping only the depth.
// QDomDocument's own parser accepts some texts that are not well-formed
// (undeclared entities, repeated attributes, entities that open elements
// they do not close), and expands entities this reader leaves alone, so it
// never sees more than this scan accepted: *checked is the length of the
// text up to the end of the last markup that passed.
ScanResult scan(QXmlStreamReader& reader, QString* error, int* line, int* column, qint64* checked)
{
    reader.setNamespaceProcessing(false);
    int depth = 0;
    *checked = 0;
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
        // Declared only where this reader does not look (an external DTD):
        // what it expands to, and so its depth, is unknown.
        if (token == QXmlStreamReader::EntityReference) {
            setOut(error, line, column,
                   QString::fromLatin1("entity '%1' is not declared in the document").arg(reader.name()),
                   reader.lineNumber(), reader.columnNumber() + 1);
            return ScanResult::Malformed;
        }
        // After text the reader may already have read past what follows it
        // (an entity reference, say); after markup it stands at its end.
        if (!reader.hasError() && token != QXmlStreamReader::Characters)
            *checked = reader.characterOffset();
    }
    if (!reader.hasError())
        return ScanResult::WellFormed;
    // The reader counts columns from 0, QDomDocument from 1.
    setOut(error, line, column, reader.errorString(), reader.lineNumber(), reader.columnNumber() + 1);
    return ScanResult::Malformed;
}

} // namespace

bool vSetXmlContent(QDomDocument* doc, const QString& text, QString* error, int* line, int* column)
{
    QXmlStreamReader reader(text);
    qint64 checked = 0;
    switch (scan(reader, error, line, column, &checked)) {
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
    QXmlStreamReader reader(data);
    qint64 checked = 0;
    if (scan(reader, error, line, column, &checked) != ScanResult::WellFormed)
        return false;
    return doc->setContent(data, false, error, line, column);
}
