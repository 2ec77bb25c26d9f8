// XML texts nested far too deep for a recursive DOM parser, for the tests of
// the XML readers.
#ifndef VORNLIB_TESTS_SUPPORT_DEEP_XML_H
#define VORNLIB_TESTS_SUPPORT_DEEP_XML_H

#include <QString>
#include <QStringList>

namespace vtest {

constexpr int kDeepXmlLevels = 100000;

// levels nested <d> elements around inner.
inline QString nestedXml(int levels, const QString& inner = QString())
{
    return QString("<d>").repeated(levels) + inner + QString("</d>").repeated(levels);
}

// Documents whose elements nest kDeepXmlLevels deep, with before and after
// around the deep part inside the root element root. The first is
// well-formed but for its depth; the others put before the deep part a fault
// that a lenient parser reads past (an undeclared entity, a repeated
// attribute, a control character), or nest through an entity that opens an
// element and never closes it, declared in the document or after a
// parameter entity from outside it (which a strict parser leaves unread).
inline QStringList tooDeepXml(const QString& root, const QString& before, const QString& after = QString())
{
    const QString open = "<" + root + ">";
    const QString close = "</" + root + ">";
    const QString deep = nestedXml(kDeepXmlLevels);
    return QStringList()
           << open + before + deep + after + close
           << open + before + "&undeclared;" + deep + after + close
           << open + before + "<x a='1' a='2'/>" + deep + after + close
           << open + before + QChar(1) + deep + after + close
           << "<!DOCTYPE " + root + " [<!ENTITY e '<d>'>]>" + open + before
                  + QString("&e;").repeated(kDeepXmlLevels) + after + close
           << "<!DOCTYPE " + root + " [<!ENTITY % p SYSTEM 'p.ent'> %p; <!ENTITY e '<d>'>]>" + open + before
                  + "text" + QString("&e;").repeated(kDeepXmlLevels) + after + close;
}

} // namespace vtest

#endif
