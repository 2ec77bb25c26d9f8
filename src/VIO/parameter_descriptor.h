// VParameterDescriptor: one declared configuration parameter (type, name and
// default value as text; a null default means "none", an empty one is real).
// Thread-safety: a value type; distinct objects may be used in distinct threads.
#ifndef VORNLIB_VIO_PARAMETER_DESCRIPTOR_H
#define VORNLIB_VIO_PARAMETER_DESCRIPTOR_H

#include "VCore/vornlib_export.h"

#include <QString>
#include <QVariant>

#include "VCore/printable.h"

class VORN_EXPORT VParameterDescriptor : public VPrintable
{
public:
    // The descriptor of a parameter that does not apply: type Invalid.
    VParameterDescriptor();
    VParameterDescriptor(const QVariant::Type& type, const QString& name, const QString& defaultValue);
    // Without a default (null default value).
    VParameterDescriptor(const QVariant::Type& type, const QString& name);
    // Type given by name as in a deployment descriptor ("string", "boolean" or
    // a Qt type name); an unknown name gives an invalid descriptor. No default.
    VParameterDescriptor(const QString& typeName, const QString& name);

    QString toString() const override;
    ~VParameterDescriptor() override;

    bool isValid() const;
    QVariant::Type getType() const;
    const QString getTypeAsString() const;
    const QString& getName() const;
    const QString& getDefaultValue() const;

private:
    friend class VParametersRegistry;

    // The type a deployment-descriptor type text names: "string" is QString,
    // "boolean" is bool, any other text goes to QVariant::nameToType as it is.
    static QVariant::Type typeFromName(const QString& typeName);

    // Not const, so that descriptors can be assigned (they live in QHash).
    QVariant::Type _type;
    QString _name;
    QString _defaultValue;
};

#endif
