// VTypeRegistry: the process-wide table of finalized type descriptions, by
// name and by digest.
// Thread-safety: not locked: register types before other threads read it, and serialise changes.
#ifndef VORNLIB_VIPC_TYPE_REGISTRY_H
#define VORNLIB_VIPC_TYPE_REGISTRY_H

#include "VCore/vornlib_export.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <VIpc/type_info.h>

class VORN_EXPORT VTypeRegistry
{
public:
    // Created on the first call and never deleted.
    static VTypeRegistry* getInstance();

    // Throws VException when the type is open, when its name is taken, or
    // when another type with the same digest is registered.
    void registerType(const VTypeInfo& typeInfo);

    bool isTypeRegistered(const QString& name) const { return _typeByName.contains(name); }
    bool isTypeRegistered(const QByteArray& digest) const { return _typeByDigest.contains(digest); }

    const VTypeInfo getTypeInfoByName(const QString& typeName) const;
    const VTypeInfo getTypeInfoByDigest(const QByteArray& typeDigest) const;

    void unregisterTypeByName(const QString& typeName);
    void unregisterTypeByDigest(const QByteArray& typeDigest);
    // Removes the type registered under typeInfo's name (texts as
    // unregisterTypeByName).
    void unregisterTypeByTypeInfo(const VTypeInfo& typeInfo) { unregisterTypeByName(typeInfo.getName()); }

private:
    VTypeRegistry() {}
    VTypeRegistry(const VTypeRegistry&);
    VTypeRegistry& operator=(const VTypeRegistry&);

    QHash<QString, VTypeInfo> _typeByName;
    QHash<QByteArray, VTypeInfo> _typeByDigest;

    static VTypeRegistry* _instance;
};

#endif
