// VMessageFormatter: a process-wide table of message format texts, loaded
// from XML and looked up by name or by numeric id.
#ifndef VORNLIB_VDEBUG_MESSAGE_FORMATTER_H
#define VORNLIB_VDEBUG_MESSAGE_FORMATTER_H

#include "VCore/vornlib_export.h"

#include <atomic>

#include <QHash>
#include <QString>

// Thread-safety: initFromXml from any thread; lookups from any thread once loaded; loadFromXml never beside them.
//
// The XML: a document element whose child elements group message elements;
// each message element (a grandchild of the document element) gives the
// attributes "format", "name" (stored lower-cased) and "id" (a decimal
// unsigned 32-bit number; surrounding blanks and a leading "+" are accepted,
// anything else, or no id, gives 0). A message without a name is stored under
// the empty name, one without an id under 0; the later entry wins. Comments
// and text between messages are skipped. Nothing is reported.
class VORN_EXPORT VMessageFormatter
{
public:
    // Creates the instance and loads the text on the first call; every
    // later call does nothing.
    static void initFromXml(const QString& xmlContent);
    // The instance, or null before initFromXml. To add more messages later,
    // call loadFromXml through const_cast before other threads look up.
    static const VMessageFormatter* getInstance() { return _messageFormatter.load(std::memory_order_acquire); }

    // Adds the text's messages to the tables.
    void loadFromXml(const QString& xmlContent);

    // The format stored under the name (compared in lower case) or the id;
    // empty when there is none.
    QString resolveMessageFormat(const QString& name) const
    {
        return _messagesByStr.value(name.toLower());
    }
    QString resolveMessageFormat(quint32 id) const { return _messagesByInt.value(id); }

private:
    explicit VMessageFormatter(const QString& xmlContent);
    VMessageFormatter(const VMessageFormatter&);
    VMessageFormatter& operator=(const VMessageFormatter&);

    QHash<QString, QString> _messagesByStr;
    QHash<unsigned int, QString> _messagesByInt;

    // Published once its tables are filled (release/acquire pairs with
    // getInstance in other threads).
    static std::atomic<VMessageFormatter*> _messageFormatter;
};

#endif
