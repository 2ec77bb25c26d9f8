// VMessageFormatter: the bytes as message XML, loaded into the instance as a
// user adds messages after initFromXml.
#include <VDebug/message_formatter.h>

#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = vfuzz::utf8(data, size);
    VMessageFormatter::initFromXml(text);
    VMessageFormatter* formatter = const_cast<VMessageFormatter*>(VMessageFormatter::getInstance());
    if (!formatter)
        __builtin_trap();
    formatter->loadFromXml(text);
    (void)formatter->resolveMessageFormat(text.left(16));
    (void)formatter->resolveMessageFormat(quint32(size));
    return 0;
}
