// VFileTimeStamp: reads and sets a file's modification time.
// Thread-safe: stateless.
#ifndef VORNLIB_VCORE_FILETIMESTAMP_H
#define VORNLIB_VCORE_FILETIMESTAMP_H

#include "VCore/vornlib_export.h"

#include <sys/stat.h>
#include <ctime>

class VORN_EXPORT VFileTimeStamp
{
public:
    VFileTimeStamp() {}
    ~VFileTimeStamp() {}

    // st_mtime, or -1 for a null argument or a failed stat.
    time_t getFileTimeStamp(const char* path);
    time_t getFileTimeStamp(struct stat* st);
    // Sets the modification time to t and the access time to 0 (the epoch).
    bool setFileTimeStamp(const char* path, time_t t);
};

#endif
