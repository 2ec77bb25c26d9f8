#include "VTest/test_dir.h"
#include "VTest/test_dir_p.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <QFile>

#include "VArch/arch_unix.h"
#include "VCore/eintr_p.h"
#include "VCore/unique_fd_p.h"
#include "VDebug/debug.h"

namespace {

typedef std::pair<dev_t, ino_t> Identity;

const int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::atomic<int> g_missing{0};

Identity identityOf(const struct stat& st)
{
    return Identity(st.st_dev, st.st_ino);
}

// What a plain listing shows (no hidden names): regular files, directories
// and links that lead to one of these; FIFOs, sockets and broken links stay.
bool listed(int dirFd, const char* name, const struct stat& st)
{
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
        return true;
    struct stat target;
    return S_ISLNK(st.st_mode) && fstatat(dirFd, name, &target, 0) == 0 &&
           (S_ISREG(target.st_mode) || S_ISDIR(target.st_mode));
}

// The kernel's id of the mount an open file belongs to; false when no way
// tells. Only this id shows a bind mount of the same file system. statx has
// it since Linux 5.8 and a seccomp filter may refuse statx; the file-handle
// call gives it since 2.6.39 where the file system has handles; fdinfo since
// 3.15. All three give the same id.
bool mountIdOf(int fd, quint64* id)
{
    const int missing = g_missing.load(std::memory_order_relaxed);
    struct statx stx;
    if (!(missing & VTestDirTestAccess::Statx) &&
        statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &stx) == 0 &&
        (stx.stx_mask & STATX_MNT_ID) && !(missing & VTestDirTestAccess::StatxMountId)) {
        *id = stx.stx_mnt_id;
        return true;
    }
    alignas(struct file_handle) unsigned char buf[sizeof(struct file_handle) + MAX_HANDLE_SZ];
    struct file_handle* handle = reinterpret_cast<struct file_handle*>(buf);
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    // The id comes with EOVERFLOW too (a handle larger than the buffer).
    if (!(missing & VTestDirTestAccess::FileHandles) &&
        (name_to_handle_at(fd, "", handle, &mountId, AT_EMPTY_PATH) == 0 || errno == EOVERFLOW)) {
        *id = quint64(unsigned(mountId));
        return true;
    }
    if (missing & VTestDirTestAccess::FdInfo)
        return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    const VUniqueFd info(vRetryOnEintr([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
    // Only procfs' answer counts: a chroot may hold anything at /proc.
    struct statfs fs;
    if (!info.isValid() || fstatfs(info.get(), &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC)
        return false;
    char text[1024];
    size_t len = 0;
    while (len < sizeof text - 1) {
        const ssize_t n = vRetryOnEintr([&] { return read(info.get(), text + len, sizeof text - 1 - len); });
        if (n <= 0)
            break;
        len += size_t(n);
    }
    text[len] = '\0';
    const char* line = std::strstr(text, "\nmnt_id:");
    if (!line)
        return false;
    *id = std::strtoull(line + 8, nullptr, 10);
    return true;
}

// The mount a directory belongs to: its device and its mount id.
struct Mount
{
    dev_t dev;
    bool known; // whether id is
    quint64 id;
};

Mount mountOf(int fd, const struct stat& st)
{
    Mount m = {st.st_dev, false, 0};
    m.known = mountIdOf(fd, &m.id);
    return m;
}

// A mount that cannot be told counts as another one: entering it could
// remove what lies outside the tree.
bool sameMount(const Mount& a, const Mount& b)
{
    return a.dev == b.dev && a.known && b.known && a.id == b.id;
}

struct Level
{
    Identity id;
    std::string name; // in the parent
};

} // namespace

void VTestDirTestAccess::setMissing(int missing)
{
    g_missing.store(missing);
}

void VTestDir::clean()
{
    // QDir reads an empty path as the current directory.
    const QString path = _qDir.path();
    if (path.isEmpty() || QDir::cleanPath(_qDir.absolutePath()) == QLatin1String("/")
        || _qDir.canonicalPath() == QLatin1String("/")) {
        VWARNING(VDebug::STDERR) << "VTestDir::clean: refusing to clean" << path << endl;
        return;
    }
    const QByteArray local = QFile::encodeName(_qDir.absolutePath());
    const int fd = open(local.constData(), kDirFlags);
    if (fd < 0) {
        // Taken first: the log line's own calls may change errno.
        const int err = errno;
        if (err != ENOENT)
            VWARNING(VDebug::STDERR) << "VTestDir::clean: refusing to clean" << path << ":" << vStrError(err)
                                     << endl;
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        VWARNING(VDebug::STDERR) << "VTestDir::clean: refusing to clean" << path << ":" << vStrError(err) << endl;
        close(fd);
        return;
    }
    if (st.st_uid != geteuid()) {
        VWARNING(VDebug::STDERR) << "VTestDir::clean: refusing to clean" << path << ": owned by uid"
                                 << quint64(st.st_uid) << endl;
        close(fd);
        return;
    }
    if (recursiveClean(fd))
        QDir().rmpath(_qDir.absolutePath());
}

// Depth first with one open directory at a time (a tree may be deeper than
// the descriptor limit): going up opens ".." and checks that it is still the
// directory we came from, so a tree moved meanwhile is left, not escaped.
// Mount points (another file system, or a bind mount) and directories we may
// not search are kept with what they hold.
bool VTestDir::recursiveClean(int dirFd)
{
    std::vector<Level> path;
    std::set<Identity> kept; // directories that could not be emptied
    struct stat st;
    if (fstat(dirFd, &st) != 0) {
        close(dirFd);
        return false;
    }
    const Mount rootMount = mountOf(dirFd, st);
    path.push_back(Level{identityOf(st), std::string()});
    int cur = dirFd;
    bool lastWasDir = false;
    for (;;) {
        // One pass over the current directory: remove what is not a
        // directory, descend into the first directory not yet handled.
        std::string down;
        int sub = -1;
        // The listing reads through a copy: closedir closes it, not cur.
        const int listFd = fcntl(cur, F_DUPFD_CLOEXEC, 0);
        DIR* d = listFd >= 0 ? fdopendir(listFd) : nullptr;
        if (!d && listFd >= 0)
            close(listFd);
        if (d) {
            while (struct dirent* e = readdir(d)) {
                const char* name = e->d_name;
                if (name[0] == '.')
                    continue;
                if (fstatat(cur, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !listed(cur, name, st))
                    continue;
                if (!S_ISDIR(st.st_mode)) {
                    unlinkat(cur, name, 0);
                    if (path.size() == 1)
                        lastWasDir = false;
                    continue;
                }
                if (kept.count(identityOf(st)))
                    continue;
                sub = openat(cur, name, kDirFlags);
                if (sub < 0)
                    continue;
                // Coming back needs ".." from inside: a directory that may be
                // listed but not searched would strand the walk there.
                const int up = openat(sub, "..", kDirFlags);
                struct stat subSt;
                const bool enter = up >= 0 && fstat(sub, &subSt) == 0 && sameMount(mountOf(sub, subSt), rootMount);
                if (up >= 0)
                    close(up);
                if (!enter) {
                    close(sub);
                    sub = -1;
                    kept.insert(identityOf(st));
                    continue;
                }
                down = name;
                break;
            }
            closedir(d);
        }
        if (sub >= 0) {
            if (fstat(sub, &st) != 0) {
                close(sub);
                break;
            }
            path.push_back(Level{identityOf(st), down});
            close(cur);
            cur = sub;
            continue;
        }
        if (path.size() == 1)
            break;
        // Done here: back to the parent, which must be the one we left.
        const int parent = openat(cur, "..", kDirFlags);
        close(cur);
        cur = parent;
        const Level done = path.back();
        path.pop_back();
        if (cur < 0 || fstat(cur, &st) != 0 || identityOf(st) != path.back().id) {
            VWARNING(VDebug::STDERR) << "VTestDir::clean: a directory moved during the clean, stopped" << endl;
            break;
        }
        const bool removed = unlinkat(cur, done.name.c_str(), AT_REMOVEDIR) == 0;
        if (!removed)
            kept.insert(done.id);
        if (path.size() == 1)
            lastWasDir = removed;
    }
    if (cur >= 0)
        close(cur);
    return lastWasDir;
}
