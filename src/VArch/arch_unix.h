// Platform definitions: thread and process identifiers, and the one place
// where system error numbers become text.
// Thread-safe: every function here may be called from any thread.
#ifndef VORNLIB_VARCH_ARCH_UNIX_H
#define VORNLIB_VARCH_ARCH_UNIX_H

#include "VCore/vornlib_export.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>

#include <QString>

typedef pthread_t VThreadId;
typedef pid_t VProcessId;

inline VThreadId vThreadSelf() { return pthread_self(); }
inline VProcessId vProcessSelf() { return getpid(); }

// The text of strerror for an error number, thread-safe (strerror_r).
VORN_EXPORT QString vStrError(int errorCode);

// "context: strerror(errorCode)": the form of every system error text.
VORN_EXPORT QString vSysError(const QString& context, int errorCode);

// The strerror text of an error number, or of the current errno.
inline QString vNetworkErrorStr(int errorCode) { return vStrError(errorCode); }
inline QString vNetworkErrorStr() { return vStrError(errno); }

#endif
