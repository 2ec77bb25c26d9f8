#include "VDebug/message_formatter.h"

#include <mutex>

#include <QDomDocument>
#include <QDomElement>
#include <QDomNode>

#include "VCore/qtcompat_p.h"
#include "VCore/xml_depth_guard_p.h"

std::atomic<VMessageFormatter*> VMessageFormatter::_messageFormatter{nullptr};

void VMessageFormatter::initFromXml(const QString& xmlContent)
{
    static std::once_flag once;
    std::call_once(once, [&] {
        _messageFormatter.store(new VMessageFormatter(xmlContent), std::memory_order_release);
    });
}

VMessageFormatter::VMessageFormatter(const QString& xmlContent)
{
    loadFromXml(xmlContent);
}

void VMessageFormatter::loadFromXml(const QString& xmlContent)
{
    QDomDocument doc;
    // A text that does not parse adds nothing (Qt keeps what it read up to
    // the error).
    if (!vSetXmlContent(&doc, xmlContent, nullptr, nullptr, nullptr))
        return;
    const QDomElement root = doc.documentElement();
    for (QDomNode group = root.firstChild(); !group.isNull(); group = group.nextSibling()) {
        for (QDomNode node = group.firstChild(); !node.isNull(); node = node.nextSibling()) {
            // A comment or text would store an empty format under "" and id
            // 0, wiping a real message there.
            if (!node.isElement())
                continue;
            const QDomElement message = node.toElement();
            const QString format = message.attribute(QStringLiteral("format"));
            _messagesByStr.insert(message.attribute(QStringLiteral("name")).toLower(), format);
            // Not a number gives 0.
            _messagesByInt.insert(vIntegerText(message.attribute(QStringLiteral("id"))).toUInt(), format);
        }
    }
}
