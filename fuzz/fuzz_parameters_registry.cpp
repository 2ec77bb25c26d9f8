// VParametersRegistry: the bytes as a deployment descriptor, given to the
// constructor and to addDeploymentDescriptor of a registry that has one.
#include <VCore/vexception.h>
#include <VIO/parameters_registry.h>

#include "fuzz_target.h"

namespace {

const char* const BASE = "<deploymentDescriptor><parameters>"
                         "<parameter name='base' type='int'><defaultValues><defaultValue>"
                         "<fixed>1</fixed></defaultValue></defaultValues></parameter>"
                         "</parameters></deploymentDescriptor>";

void readBack(VParametersRegistry& registry)
{
    const QHash<QString, VParameterDescriptor> table = registry.getParametersHash();
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        if (!registry.isParameterRegistered(it.key()) || registry.getType(it.key()) != it->getType())
            __builtin_trap();
        (void)it->toString();
    }
    (void)registry.contains(QByteArray("base"));
    (void)registry.getValuesList();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = vfuzz::utf8(data, size);
    try {
        VParametersRegistry registry(text);
        readBack(registry);
    } catch (const VException&) {
    }

    VParametersRegistry registry{QString::fromLatin1(BASE)};
    try {
        registry.addDeploymentDescriptor(text);
    } catch (const VException&) {
        // Nothing changes when it throws.
        if (registry.getParametersHash().size() != 1)
            __builtin_trap();
    }
    readBack(registry);
    try {
        (void)registry.getType(QStringLiteral("not there"));
    } catch (const VException&) {
    }
    return 0;
}
