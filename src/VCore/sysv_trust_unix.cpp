#include "VCore/sysv_trust_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "VArch/arch_unix.h"
#include "VCore/eintr_p.h"
#include "VCore/unique_fd_p.h"

int vOpenSharedFile(const QByteArray& path, int flags, mode_t mode, QString* reason)
{
    const auto openWith = [&](int extra) {
        return vRetryOnEintr([&] { return ::open(path.constData(), extra | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode); });
    };
    VUniqueFd fd;
    if (flags & O_CREAT) {
        // Create only a new file; an existing one is opened without O_CREAT,
        // which protected_regular would refuse for a peer's file in /tmp.
        for (int attempt = 0; attempt < 3 && !fd.isValid(); ++attempt) {
            fd.reset(openWith(flags | O_EXCL));
            if (!fd.isValid() && errno == EEXIST)
                fd.reset(openWith(flags & ~O_CREAT));
            if (!fd.isValid() && errno != ENOENT)
                break;
        }
    } else {
        fd.reset(openWith(flags));
    }
    if (!fd.isValid()) {
        *reason = vStrError(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        *reason = vStrError(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = QStringLiteral("not a regular file");
        return -1;
    }
    return fd.release();
}

key_t vKeyOfFile(int fd, int projectId)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return key_t(-1);
    // The formula of glibc's ftok, so peers that call ftok on the path agree.
    return key_t((st.st_ino & 0xffff) | ((st.st_dev & 0xff) << 16) | ((unsigned(projectId) & 0xff) << 24));
}

namespace {

bool trustOwner(uid_t ownerUid, gid_t ownerGid, uid_t creatorUid, gid_t creatorGid, mode_t mode, const char* what,
                QString* reason)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    // The creator counts too: it can still change the mode or the owner
    // (IPC_SET may hand an object to any user, root included).
    const bool owner = ownerUid == uid || (ownerGid == gid && (mode & 07) == 0);
    const bool creator = creatorUid == uid || creatorGid == gid;
    if (owner && creator)
        return true;
    *reason = QStringLiteral("%1 owned by uid %2, gid %3 (created by uid %4), mode %5: not this user's or group's")
                  .arg(QLatin1String(what))
                  .arg(ownerUid)
                  .arg(ownerGid)
                  .arg(creatorUid)
                  .arg(mode & 0777, 4, 8, QChar('0'));
    return false;
}

} // namespace

bool vTrustIpcObject(const struct ipc_perm& perm, const char* what, QString* reason)
{
    return trustOwner(perm.uid, perm.gid, perm.cuid, perm.cgid, perm.mode, what, reason);
}

bool vTrustFile(const struct stat& st, const char* what, QString* reason)
{
    return trustOwner(st.st_uid, st.st_gid, st.st_uid, st.st_gid, st.st_mode, what, reason);
}
