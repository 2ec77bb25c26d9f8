// Checks for what the library finds in shared places: key and id files in a
// shared temporary directory, System V objects in the system-wide namespace.
// Any local user may have planted them. Not installed.
// Thread-safe: no state.
#ifndef VORNLIB_VCORE_SYSV_TRUST_P_H
#define VORNLIB_VCORE_SYSV_TRUST_P_H

#include <sys/ipc.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <QByteArray>
#include <QString>

// Opens a file in a shared directory with O_NOFOLLOW|O_CLOEXEC|O_NONBLOCK
// added to flags: never through a link, never waiting on a FIFO. Only a
// regular file is kept. On failure returns -1 and sets *reason to the
// strerror text or "not a regular file".
int vOpenSharedFile(const QByteArray& path, int flags, mode_t mode, QString* reason);

// The System V key of an open file: what ftok(path, projectId) gives for the
// same file, without looking the path up again.
key_t vKeyOfFile(int fd, int projectId);

// Whether an existing object (found, not created, by this process) may be
// used: its owner and creator are this effective user, or its group is this
// effective group and it grants nothing to others. Otherwise *reason names
// what (e.g. "semaphore"), its owner, group and mode.
bool vTrustIpcObject(const struct ipc_perm& perm, const char* what, QString* reason);

// The same rule for a file found in a shared directory (its owner is its
// creator).
bool vTrustFile(const struct stat& st, const char* what, QString* reason);

#endif
