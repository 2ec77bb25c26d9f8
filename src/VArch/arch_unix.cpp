#include "VArch/arch_unix.h"

#include <cstring>

QString vStrError(int errorCode)
{
    char buf[256];
    // GNU strerror_r: returns a pointer that may or may not be buf.
    const char* text = strerror_r(errorCode, buf, sizeof buf);
    return QString::fromLocal8Bit(text);
}

QString vSysError(const QString& context, int errorCode)
{
    return QStringLiteral("%1: %2").arg(context, vStrError(errorCode));
}
