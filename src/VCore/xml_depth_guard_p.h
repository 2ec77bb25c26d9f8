// Parsing XML into a QDomDocument without deep recursion. Not installed.
// Thread-safe: stateless; each call works on the caller's document.
#ifndef VORNLIB_VCORE_XML_DEPTH_GUARD_P_H
#define VORNLIB_VCORE_XML_DEPTH_GUARD_P_H

#include <QByteArray>
#include <QDomDocument>
#include <QString>

// QDomDocument parses and frees element trees recursively: a few ten
// thousand nested elements overflow the stack. No real document comes near
// this depth; 256 levels fit a 128 KiB stack.
constexpr int VXML_MAX_DEPTH = 256;

// QDomDocument::setContent(text, false, error, line, column), after a
// scan of the text that refuses elements nested deeper than VXML_MAX_DEPTH:
// such a document leaves doc untouched and returns false, with error, line
// and column naming the first element too deep. A text the scan finds not
// well-formed, or with a reference to an entity that it may declare after a
// parameter entity the scan cannot read, returns false with the scan's
// error; doc then holds what came before that fault (the text overload) or
// is left untouched (the bytes overload). A reference to an entity that an
// external subset may declare is no fault: doc keeps it as a reference. On
// Qt 5 an XML 1.1 declaration is read as 1.0, as its QDomDocument does. The
// out-parameters may be null.
bool vSetXmlContent(QDomDocument* doc, const QString& text, QString* error, int* line, int* column);
bool vSetXmlContent(QDomDocument* doc, const QByteArray& data, QString* error, int* line, int* column);

#endif
