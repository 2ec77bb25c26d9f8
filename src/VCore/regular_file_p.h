// Opening a file for reading only when it is a regular file. Not installed.
// Thread-safe: stateless.
#ifndef VORNLIB_VCORE_REGULAR_FILE_P_H
#define VORNLIB_VCORE_REGULAR_FILE_P_H

#include <QString>

#include "VCore/unique_fd_p.h"

enum class VRegularFileOpen {
    Opened,     // fd holds a read-only, close-on-exec descriptor
    NotRegular, // after following links it is a FIFO, device, socket or directory
    Failed      // open failed; errno tells why
};

// Opens path read-only without ever blocking in open, even when a FIFO has
// taken the path's place since the caller looked at it, and checks what was
// opened: only a regular file is handed out.
VRegularFileOpen vOpenRegularFile(const QString& path, VUniqueFd* fd);

#endif
