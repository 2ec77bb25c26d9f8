// VXmlTypeLoader: builds finalized type descriptions from type-description
// XML ("types", one element per type, "field" elements with "name", "type"
// and "size") read from a device it does not own. Registering the types is
// the caller's business.
// Thread-safety: none; a loader, or two on one device, is used by one thread at a time.
#ifndef VORNLIB_VIPC_XML_TYPE_LOADER_H
#define VORNLIB_VIPC_XML_TYPE_LOADER_H

#include "VCore/vornlib_export.h"

#include <VIpc/type_loader.h>

class QDomElement;
class QIODevice;

class VORN_EXPORT VXmlTypeLoader : public VTypeLoader
{
public:
    explicit VXmlTypeLoader(QIODevice* device) : _device(device) {}

    void setDevice(QIODevice* device) { _device = device; }
    QIODevice* getDevice() { return _device; }

    // Parses the whole device again on every call; any failure throws
    // VException and no table is returned.
    VTypeInfo loadTypeByName(const QString& typeName) override;
    QHash<QString, VTypeInfo> loadAllTypes() override;

private:
    VTypeInfo constructType(QDomElement* elementType);

    QIODevice* _device;
};

#endif
