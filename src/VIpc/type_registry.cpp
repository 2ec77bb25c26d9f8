#include "type_registry.h"

namespace {

const char* const kFile = "VIpc/type_registry";

}

VTypeRegistry* VTypeRegistry::_instance = nullptr;

VTypeRegistry* VTypeRegistry::getInstance()
{
    // A function-local static makes the first creation safe even when two
    // threads race for it.
    static VTypeRegistry* const created = (_instance = new VTypeRegistry);
    return created;
}

void VTypeRegistry::registerType(const VTypeInfo& typeInfo)
{
    if (!typeInfo.isFinalized())
        throw VException(QString::fromLatin1("type not finalized: %1").arg(typeInfo.getName()), kFile, 80);
    if (_typeByName.contains(typeInfo.getName()))
        throw VException(QString::fromLatin1("type already defined: %1").arg(typeInfo.getName()), kFile, 82);
    // Names that differ only in characters Latin-1 lacks share a digest;
    // replacing the other type's digest entry would corrupt both maps.
    const auto other = _typeByDigest.constFind(typeInfo.getTypeDigest());
    if (other != _typeByDigest.constEnd())
        throw VException(QString::fromLatin1("type already defined with digest %1: %2")
                             .arg(QString::fromLatin1(typeInfo.getTypeDigest()), other.value().getName()),
                         kFile, 84);
    _typeByName.insert(typeInfo.getName(), typeInfo);
    _typeByDigest.insert(typeInfo.getTypeDigest(), typeInfo);
}

const VTypeInfo VTypeRegistry::getTypeInfoByName(const QString& typeName) const
{
    const auto it = _typeByName.constFind(typeName);
    if (it == _typeByName.constEnd())
        throw VException(QString::fromLatin1("unrecognized type, named %1").arg(typeName), kFile, 107);
    return it.value();
}

const VTypeInfo VTypeRegistry::getTypeInfoByDigest(const QByteArray& typeDigest) const
{
    const auto it = _typeByDigest.constFind(typeDigest);
    if (it == _typeByDigest.constEnd())
        throw VException(QString::fromLatin1("unrecognized type with digest %1")
                             .arg(QString::fromLatin1(typeDigest)),
                         kFile, 129);
    return it.value();
}

void VTypeRegistry::unregisterTypeByName(const QString& typeName)
{
    const auto it = _typeByName.constFind(typeName);
    if (it == _typeByName.constEnd())
        throw VException(QString::fromLatin1("unrecognized type, named %1").arg(typeName), kFile, 31);
    _typeByDigest.remove(it.value().getTypeDigest());
    _typeByName.remove(typeName);
}

void VTypeRegistry::unregisterTypeByDigest(const QByteArray& typeDigest)
{
    const auto it = _typeByDigest.constFind(typeDigest);
    if (it == _typeByDigest.constEnd())
        throw VException(QString::fromLatin1("unrecognized type with digest %1")
                             .arg(QString::fromLatin1(typeDigest)),
                         kFile, 57);
    const QString name = it.value().getName();
    _typeByDigest.remove(typeDigest);
    _typeByName.remove(name);
}
