#include "VCore/serializable.h"

#include <iostream>

#include <QMetaProperty>
#include <QVariant>

VSerializable::VSerializable() : QObject(nullptr) {}

VSerializable::~VSerializable() {}

QString VSerializable::toString() const
{
    const QMetaObject* mo = metaObject();
    QString s = QLatin1String("instance of ") + QLatin1String(mo->className()) + QLatin1String(" {");
    const int n = mo->propertyCount();
    for (int i = 0; i < n; ++i) {
        const QMetaProperty p = mo->property(i);
        // The value is used as it is: a round trip through the local 8-bit
        // form would garble non-ASCII text.
        s += QLatin1String(p.name()) + QLatin1Char('=') + p.read(this).toString();
        if (i != n - 1)
            s += QLatin1String(", ");
    }
    s += QLatin1Char('}');
    return s;
}

void VSerializable::printAll() const
{
    const QMetaObject* mo = metaObject();
    for (int i = 0; i < mo->propertyCount(); ++i) {
        const QMetaProperty p = mo->property(i);
        const QVariant v = p.read(this);
        std::cout << "property name: " << p.name() << ", "
                  << "type name: " << p.typeName() << ", "
                  << "is valid: " << p.isReadable() << ", "
                  << "is readable: " << p.isReadable() << std::endl;
        std::cout << "value: " << v.toString().toLocal8Bit().constData() << std::endl;
        std::cout << "type: " << static_cast<unsigned>(qMin(v.userType(), int(QMetaType::User)))
                  << ", userType: " << v.userType() << std::endl;
    }
}

QString VSerializable::getClassName() const
{
    return QString::fromLatin1(metaObject()->className());
}
