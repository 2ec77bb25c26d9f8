// VTypeLoader: an abstract source of finalized type descriptions.
// Thread-safety: as the implementation; see VXmlTypeLoader.
#ifndef VORNLIB_VIPC_TYPE_LOADER_H
#define VORNLIB_VIPC_TYPE_LOADER_H

#include "VCore/vornlib_export.h"

#include <QHash>
#include <QString>

#include <VIpc/type_info.h>

class VORN_EXPORT VTypeLoader
{
public:
    // The finalized type of that name; only VException leaves it.
    virtual VTypeInfo loadTypeByName(const QString& typeName) = 0;
    // Every type of the source, by name, each finalized; only VException
    // leaves it.
    virtual QHash<QString, VTypeInfo> loadAllTypes() = 0;
    virtual ~VTypeLoader() {}
};

#endif
