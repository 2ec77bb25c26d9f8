#include "VIO/parameter_descriptor.h"

VParameterDescriptor::VParameterDescriptor() : _type(QVariant::Invalid)
{
}

VParameterDescriptor::VParameterDescriptor(const QVariant::Type& type, const QString& name,
                                           const QString& defaultValue)
    : _type(type), _name(name), _defaultValue(defaultValue)
{
}

VParameterDescriptor::VParameterDescriptor(const QVariant::Type& type, const QString& name)
    : _type(type), _name(name)
{
}

VParameterDescriptor::VParameterDescriptor(const QString& typeName, const QString& name)
    : _type(typeFromName(typeName)), _name(name)
{
}

VParameterDescriptor::~VParameterDescriptor()
{
}

QString VParameterDescriptor::toString() const
{
    const QString defaultText =
        _defaultValue.isNull() ? QStringLiteral("[not specified]") : _defaultValue;
    return QString("instance of VParameterDescriptor: type=%1, name=%2, defaultValue=%3")
        .arg(getTypeAsString(), _name, defaultText);
}

bool VParameterDescriptor::isValid() const
{
    return _type != QVariant::Invalid;
}

QVariant::Type VParameterDescriptor::getType() const
{
    return _type;
}

const QString VParameterDescriptor::getTypeAsString() const
{
    return QString::fromLatin1(QVariant::typeToName(_type));
}

const QString& VParameterDescriptor::getName() const
{
    return _name;
}

const QString& VParameterDescriptor::getDefaultValue() const
{
    return _defaultValue;
}

QVariant::Type VParameterDescriptor::typeFromName(const QString& typeName)
{
    QString name = typeName;
    if (name == QLatin1String("string"))
        name = QStringLiteral("QString");
    else if (name == QLatin1String("boolean"))
        name = QStringLiteral("bool");
    return QVariant::nameToType(name.toLocal8Bit().constData());
}
