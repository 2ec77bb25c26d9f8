// VFileSystemImpl: complete reads and writes on descriptors, whole-file
// reads, directory creation and checks. Failures are return values only;
// errno is left as the failing call set it.
// Thread-safe: stateless.
#ifndef VORNLIB_VCORE_FILESYSTEM_H
#define VORNLIB_VCORE_FILESYSTEM_H

#include "VCore/vornlib_export.h"

#include <cstddef>

#include <QByteArray>

class VORN_EXPORT VFileSystemImpl
{
public:
    VFileSystemImpl() {}
    ~VFileSystemImpl() {}

    // size when every byte moved, else 0 (also for size 0). Transfers of any
    // size; at most 99 interruptions in a row are retried. End of file
    // before size bytes is a failure.
    size_t fullWrite(int fd, const char* buffer, size_t size);
    size_t fullRead(int fd, char* buffer, size_t size);

    // The whole file in a malloc'd buffer (free it with free), its length in
    // *size; null with *size 0 for an empty file or on failure.
    char* readFromFile(const char* path, size_t* size);

    // mkdir with mode 0774 (others may list the directory but not enter it).
    bool createDir(const char* path) const;
    // access(R_OK | W_OK): answers for the real user and group ids.
    bool checkAccess(const char* path) const;

    // The directory base + rel, creating missing levels (mode 0774); empty
    // on failure or when something other than a directory is in the way.
    // rel normally starts with "/"; one is inserted when it does not.
    QByteArray makePath(const QByteArray& base, const QByteArray& rel);
};

#endif
