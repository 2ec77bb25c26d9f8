#include "VCore/QtShareMemory/qtsharedmemory.h"

VDebug::StreamId QtSharedMemory::LOG = VDebug::STDERR;

QtSharedMemory::QtSharedMemory()
    : err(UnknownError), errStr(QStringLiteral("permission denied")), sharedMemoryPtr(nullptr),
      siz(0), lockRecursions(0), lockPid(0), mutex(nullptr)
{
    platformInit();
}

QtSharedMemory::QtSharedMemory(const QString& key)
    : err(UnknownError), errStr(QStringLiteral("permission denied with key %1").arg(key)),
      sharedMemoryPtr(nullptr), siz(0), k(key), lockRecursions(0), lockPid(0), mutex(nullptr)
{
    platformInit();
}

QtSharedMemory::~QtSharedMemory()
{
    closeHandle();
}

void QtSharedMemory::setKey(const QString& key)
{
    k = key;
    closeHandle();
    platformInit();
    // An unlocked object takes the new key's mutex on its next lock().
    if (lockRecursions == 0)
        mutex = nullptr;
}

bool QtSharedMemory::isValid()
{
    return exists() && sharedMemoryPtr != nullptr;
}

bool QtSharedMemory::makeHandleFor(const char* failureText, bool createFile)
{
    if (initHandle(createFile))
        return true;
    // initHandle() left the reason in errStr.
    err = KeyError;
    errStr = QStringLiteral("%1 (%2)").arg(QLatin1String(failureText), errStr);
    return false;
}
