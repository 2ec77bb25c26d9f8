// VXmlTypeLoader: the bytes as type-description XML on a QBuffer.
#include <QBuffer>

#include <VCore/vexception.h>
#include <VIpc/xml_type_loader.h>

#include "fuzz_target.h"

namespace {

void readBack(const VTypeInfo& type)
{
    (void)type.toString();
    (void)type.getTypeDigest();
    (void)type.getSize();
    (void)type.getMinimalSize();
    for (quint32 order = 0; order < type.getFieldsCount(); ++order)
        (void)type.getFieldInfoByOrder(order).toString();
    for (const QString& name : type.getFieldsNames())
        (void)type.getFieldInfoByName(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray input = vfuzz::bytes(data, size);
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);
    VXmlTypeLoader loader(&buffer);
    try {
        const QHash<QString, VTypeInfo> types = loader.loadAllTypes();
        for (auto it = types.constBegin(); it != types.constEnd(); ++it) {
            readBack(it.value());
            // The second pass re-reads the device from its start.
            if (!loader.loadTypeByName(it.key()).isIdenticalTo(it.value()))
                __builtin_trap();
        }
    } catch (const VException&) {
    }
    try {
        (void)loader.loadTypeByName(QStringLiteral("T"));
    } catch (const VException&) {
    }
    return 0;
}
