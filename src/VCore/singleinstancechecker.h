// VSingleInstanceChecker: tells whether another process of the same named
// instance runs, through an exclusive flock on "<tmpdir>/<name><suffix>".
// Not thread-safe: one checker belongs to one thread at a time.
//
// The directory is VORN_TMPDIR, else TMPDIR, else "/tmp"; the suffix is the
// value of INSTALLATION_UID when it is set. The checks fail open: when they
// cannot decide, markAsRunning() answers true and isAnotherRunning() false,
// each with a warning on VDebug::STDERR. Two checkers for one name in one
// process exclude each other.
// A lock file that is a link, not a regular file, or made by another user
// (other than a user of this effective group, with nothing granted to others)
// cannot decide: another user could hold its lock for ever.
#ifndef VORNLIB_VCORE_SINGLEINSTANCECHECKER_H
#define VORNLIB_VCORE_SINGLEINSTANCECHECKER_H

#include "VCore/vornlib_export.h"

#include <QString>

class VORN_EXPORT VSingleInstanceChecker
{
public:
    explicit VSingleInstanceChecker(const QString& instanceName);
    // Closing the descriptor releases a held lock.
    ~VSingleInstanceChecker();

    VSingleInstanceChecker(const VSingleInstanceChecker&) = delete;
    VSingleInstanceChecker& operator=(const VSingleInstanceChecker&) = delete;

    // True when this checker now holds the lock (or cannot tell).
    bool markAsRunning();
    // Releases the lock; always true.
    bool markAsNotRunning();
    // True only when another process holds the lock. A checker that holds
    // the lock itself answers false and keeps it.
    bool isAnotherRunning();

private:
    QString m_instanceName;
    int m_fd;
    QString m_fileName;
    bool m_holdsLock;
};

#endif
