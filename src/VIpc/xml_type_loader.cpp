#include "xml_type_loader.h"

#include <QDomDocument>
#include <QDomElement>
#include <QIODevice>

#include "VCore/qtcompat_p.h"
#include "VCore/xml_depth_guard_p.h"

QHash<QString, VTypeInfo> VXmlTypeLoader::loadAllTypes()
{
    // A null device cannot be reset either.
    if (!_device || !_device->reset())
        throw VException("Can't reset an IODevice");

    QDomDocument document;
    QString message;
    int line = 0;
    int column = 0;
    if (!vSetXmlContent(&document, _device->readAll(), &message, &line, &column))
        throw VException(QString::fromLatin1("Can't parse XML document (error: %1, line: %2, columd: %3)")
                             .arg(message, QString::number(line), QString::number(column)));

    QHash<QString, VTypeInfo> types;
    const QDomNode root = document.namedItem(QStringLiteral("types"));
    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        QDomElement element = node.toElement();
        const VTypeInfo type = constructType(&element);
        types.insert(type.getName(), type);
    }
    return types;
}

VTypeInfo VXmlTypeLoader::constructType(QDomElement* elementType)
{
    VTypeInfo type(elementType->attribute(QStringLiteral("name")));
    for (QDomNode node = elementType->firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const QDomElement field = node.toElement();
        if (field.tagName() != QLatin1String("field"))
            continue;
        const QString name = field.attribute(QStringLiteral("name"));
        const QString fieldType = field.attribute(QStringLiteral("type"));
        if (fieldType == VFieldInfo::FTN_8) {
            type.addField8(name);
        } else if (fieldType == VFieldInfo::FTN_16) {
            type.addField16(name);
        } else if (fieldType == VFieldInfo::FTN_32) {
            type.addField32(name);
        } else if (fieldType == VFieldInfo::FTN_64) {
            type.addField64(name);
        } else if (fieldType == VFieldInfo::FTN_FIXED_SIZE) {
            // Absent or malformed gives 0; only the low 32 bits are kept,
            // the same on every peer, so digests still agree.
            bool ok = false;
            const qulonglong size = vIntegerText(field.attribute(QStringLiteral("size"))).toULongLong(&ok, 10);
            type.addFieldFixedSize(name, ok ? quint32(size) : 0);
        } else if (fieldType == VFieldInfo::FTN_VARIABLE_SIZE) {
            type.addFieldVariableSize(name);
        } else {
            throw VException(QString::fromLatin1("Illegal field type %1").arg(fieldType));
        }
    }
    type.finalize();
    return type;
}

VTypeInfo VXmlTypeLoader::loadTypeByName(const QString& typeName)
{
    const QHash<QString, VTypeInfo> types = loadAllTypes();
    const auto it = types.constFind(typeName);
    if (it == types.constEnd())
        throw VException(QString::fromLatin1("Type %1 was not found on a given device").arg(typeName));
    return it.value();
}
