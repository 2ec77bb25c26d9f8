#include "VIO/parameter_descriptor.h"

#include "VCore/qtcompat_p.h"

// QVariant::Type is the API type (deprecated on Qt 6).
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED

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
    return QString::fromLatin1(QMetaType(int(_type)).name());
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
    const int id = vMetaTypeIdFromName(name.toLocal8Bit());
    return id <= int(QMetaType::User) ? QVariant::Type(id) : QVariant::UserType;
}

QT_WARNING_POP
