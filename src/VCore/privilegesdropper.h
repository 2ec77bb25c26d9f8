// VPrivilegesDropper: switches the process's effective user and group ids for
// a scope and back. Real and saved ids stay as they were.
// Not thread-safe: the ids belong to the whole process, so a dropper affects every thread and two interfere.
//
// When the process runs with effective user 0 and the target ids differ from
// the current ones, dropping also narrows the supplementary groups to the
// target group alone (restored on revert), so root's groups give no access
// meanwhile. Nested droppers must be reverted in reverse order.
#ifndef VORNLIB_VCORE_PRIVILEGESDROPPER_H
#define VORNLIB_VCORE_PRIVILEGESDROPPER_H

#include "VCore/vornlib_export.h"

#include <sys/types.h>

#include <vector>

class VORN_EXPORT VPrivilegesDropper
{
public:
    // Records the current effective ids and drops; only VException leaves it.
    VPrivilegesDropper(uid_t uid, gid_t gid);
    // Reverts; a failure is logged at VERROR on VDebug::STDERR.
    virtual ~VPrivilegesDropper();

    VPrivilegesDropper(const VPrivilegesDropper&) = delete;
    VPrivilegesDropper& operator=(const VPrivilegesDropper&) = delete;

    // Only VException leaves these; each does nothing when already in the
    // state it leads to.
    void dropPrivileges();
    void revertToSelf();

protected:
    uid_t _oldUid;
    uid_t _requestedUid;
    gid_t _oldGid;
    gid_t _requestedGid;
    bool _needRevert;

private:
    bool narrowGroups();
    void restoreGroups();

    bool _groupsNarrowed;
    std::vector<gid_t> _oldGroups;
};

#endif
