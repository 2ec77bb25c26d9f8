#include "VCore/filetimestamp.h"

#include <fcntl.h>

time_t VFileTimeStamp::getFileTimeStamp(const char* path)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return -1;
    return st.st_mtime;
}

time_t VFileTimeStamp::getFileTimeStamp(struct stat* st)
{
    return st ? st->st_mtime : -1;
}

bool VFileTimeStamp::setFileTimeStamp(const char* path, time_t t)
{
    if (!path)
        return false;
    struct timespec times[2];
    times[0].tv_sec = 0; // access time: the epoch
    times[0].tv_nsec = 0;
    times[1].tv_sec = t;
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path, times, 0) == 0;
}
