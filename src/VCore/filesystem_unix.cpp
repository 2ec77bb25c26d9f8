#include "VCore/filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "VCore/eintr_p.h"
#include "VCore/unique_fd_p.h"

namespace {

const int MAX_INTERRUPTS = 99;

// Moves all size bytes with op (read or write); size on success, else 0.
// errno is consulted only after -1; 0 (end of file) fails at once.
template <typename Op>
size_t transferAll(Op op, size_t size)
{
    if (size == 0)
        return 0;
    size_t done = 0;
    int interrupts = 0;
    while (done < size) {
        size_t chunk = size - done;
        if (chunk > static_cast<size_t>(SSIZE_MAX))
            chunk = SSIZE_MAX;
        const ssize_t n = op(done, chunk);
        if (n > 0) {
            done += static_cast<size_t>(n);
            interrupts = 0;
            continue;
        }
        if (n < 0 && errno == EINTR && interrupts < MAX_INTERRUPTS) {
            ++interrupts;
            continue;
        }
        return 0;
    }
    return size;
}

bool isDirectory(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

size_t VFileSystemImpl::fullWrite(int fd, const char* buffer, size_t size)
{
    return transferAll([&](size_t off, size_t n) { return write(fd, buffer + off, n); }, size);
}

size_t VFileSystemImpl::fullRead(int fd, char* buffer, size_t size)
{
    return transferAll([&](size_t off, size_t n) { return read(fd, buffer + off, n); }, size);
}

char* VFileSystemImpl::readFromFile(const char* path, size_t* size)
{
    if (!path || !size)
        return nullptr;
    *size = 0;
    const VUniqueFd fd(vRetryOnEintr([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
    if (!fd.isValid())
        return nullptr;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || st.st_size <= 0)
        return nullptr;
    const size_t length = static_cast<size_t>(st.st_size);
    char* buffer = static_cast<char*>(std::malloc(length));
    if (!buffer || fullRead(fd.get(), buffer, length) != length) {
        const int err = errno;
        std::free(buffer);
        errno = err;
        return nullptr;
    }
    *size = length;
    return buffer;
}

bool VFileSystemImpl::createDir(const char* path) const
{
    return path && mkdir(path, 0774) == 0;
}

bool VFileSystemImpl::checkAccess(const char* path) const
{
    return path && access(path, R_OK | W_OK) == 0;
}

QByteArray VFileSystemImpl::makePath(const QByteArray& base, const QByteArray& rel)
{
    struct stat st;
    if (stat(base.constData(), &st) != 0)
        return QByteArray();

    QByteArray whole = base;
    if (!rel.isEmpty() && !rel.startsWith('/'))
        whole += '/';
    whole += rel;
    if (stat(whole.constData(), &st) == 0)
        return S_ISDIR(st.st_mode) ? whole : QByteArray();

    QByteArray path = base;
    QByteArray pieces = rel; // strtok_r writes into its input
    char* save = nullptr;
    for (char* piece = strtok_r(pieces.data(), "/", &save); piece;
         piece = strtok_r(nullptr, "/", &save)) {
        path += '/';
        path += piece;
        if (stat(path.constData(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return QByteArray();
            continue;
        }
        // Another process may create the same level meanwhile.
        if (!createDir(path.constData()) && !(errno == EEXIST && isDirectory(path.constData())))
            return QByteArray();
    }
    return path;
}
