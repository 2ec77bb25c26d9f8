#include "VCore/privilegesdropper.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>

#include "VArch/arch_unix.h"
#include "VCore/vexception.h"
#include "VDebug/debug.h"

namespace {

[[noreturn]] void throwIdError(const char* format, unsigned long id, int err)
{
    throw VException(QString::fromLatin1(format).arg(id).arg(vStrError(err)));
}

[[noreturn]] void throwGroupsError(int err)
{
    throw VException(QStringLiteral("Error setting supplementary groups (%1)").arg(vStrError(err)));
}

} // namespace

VPrivilegesDropper::VPrivilegesDropper(uid_t uid, gid_t gid)
    : _oldUid(geteuid()), _requestedUid(uid), _oldGid(getegid()), _requestedGid(gid),
      _needRevert(false), _groupsNarrowed(false)
{
    dropPrivileges();
}

VPrivilegesDropper::~VPrivilegesDropper()
{
    try {
        revertToSelf();
    } catch (const VException& e) {
        VERROR(VDebug::STDERR) << e.what() << endl;
    }
}

// Saves the supplementary groups and sets them to the target group alone;
// false when there was nothing to narrow.
bool VPrivilegesDropper::narrowGroups()
{
    if (geteuid() != 0 || (_requestedUid == _oldUid && _requestedGid == _oldGid))
        return false;
    const int n = getgroups(0, nullptr);
    if (n < 0)
        throwGroupsError(errno);
    _oldGroups.assign(static_cast<size_t>(n), 0);
    if (n > 0 && getgroups(n, _oldGroups.data()) < 0)
        throwGroupsError(errno);
    if (setgroups(1, &_requestedGid) != 0)
        throwGroupsError(errno);
    return true;
}

void VPrivilegesDropper::restoreGroups()
{
    if (!_groupsNarrowed)
        return;
    if (setgroups(_oldGroups.size(), _oldGroups.data()) != 0)
        throwGroupsError(errno);
    _groupsNarrowed = false;
}

void VPrivilegesDropper::dropPrivileges()
{
    if (_needRevert)
        return;
    if (setegid(_requestedGid) != 0)
        throwIdError("Error setting effective gid to %1 (%2)", _requestedGid, errno);
    try {
        _groupsNarrowed = narrowGroups();
    } catch (const VException&) {
        setegid(_oldGid);
        throw;
    }
    if (seteuid(_requestedUid) != 0) {
        const int err = errno;
        try {
            restoreGroups();
        } catch (const VException&) {
            // keep the uid error: it is the one the caller needs
        }
        setegid(_oldGid);
        throwIdError("Error setting effective uid to %1 (%2)", _requestedUid, err);
    }
    _needRevert = true;
}

void VPrivilegesDropper::revertToSelf()
{
    if (!_needRevert)
        return;
    if (seteuid(_oldUid) != 0)
        throwIdError("Error reverting to original uid %1 (%2)", _oldUid, errno);
    // Needs the old effective user back (root) first.
    restoreGroups();
    if (setegid(_oldGid) != 0)
        throwIdError("Error reverting to original gid %1 (%2)", _oldGid, errno);
    _needRevert = false;
}
