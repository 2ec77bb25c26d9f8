#include "VCore/singleinstancechecker.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VArch/arch_unix.h"
#include "VCore/eintr_p.h"
#include "VCore/runtime_dir_p.h"
#include "VCore/sysv_trust_p.h"
#include "VCore/unique_fd_p.h"
#include "VDebug/debug.h"

namespace {

int flockNoIntr(int fd, int op)
{
    return vRetryOnEintr([&] { return flock(fd, op); });
}

enum Attempt { Taken, HeldElsewhere, Undecided };

// One non-blocking try for the exclusive lock. What cannot be decided (no
// descriptor, an unexpected error) is logged under the caller's name.
Attempt tryExclusive(int fd, const char* caller, const QString& fileName)
{
    const QString who = QStringLiteral("VSingleInstanceChecker::") + QLatin1String(caller);
    if (fd == -1) {
        VWARNING(VDebug::STDERR) << who + QStringLiteral(": invalid file descriptor (-1) for file ") << fileName
                                 << ", returning success" << endl;
        return Undecided;
    }
    if (flockNoIntr(fd, LOCK_EX | LOCK_NB) == 0)
        return Taken;
    const int err = errno;
    if (err == EWOULDBLOCK)
        return HeldElsewhere;
    VWARNING(VDebug::STDERR) << who + QStringLiteral(": flock failed on file ") << fileName << "("
                             << vStrError(err) << ")" << endl;
    return Undecided;
}

} // namespace

VSingleInstanceChecker::VSingleInstanceChecker(const QString& instanceName)
    : m_instanceName(instanceName), m_fd(-1), m_holdsLock(false)
{
    const QByteArray path = vRuntimeFilePath(m_instanceName.toLocal8Bit());
    m_fileName = QString::fromLocal8Bit(path);
    // The file sits in a shared directory: never follow a planted link or
    // wait on a FIFO, and set the mode on the descriptor (the umask must not
    // narrow it).
    QString reason;
    VUniqueFd fd(vOpenSharedFile(path, O_RDWR | O_CREAT, 0660, &reason));
    if (!fd.isValid()) {
        VWARNING(VDebug::STDERR) << "VSingleInstanceChecker:: Failed to open lock file:" << m_fileName << "("
                                 << reason << ")" << endl;
        return;
    }
    // A file another user made could be locked by that user for ever: such
    // a squatted file cannot decide anything.
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !vTrustFile(st, "lock file", &reason)) {
        VWARNING(VDebug::STDERR) << "VSingleInstanceChecker:: not using" << m_fileName << ":" << reason << endl;
        return;
    }
    fchmod(fd.get(), 0660);
    m_fd = fd.release();
}

VSingleInstanceChecker::~VSingleInstanceChecker()
{
    if (m_fd != -1)
        close(m_fd);
}

bool VSingleInstanceChecker::markAsRunning()
{
    switch (tryExclusive(m_fd, "markAsRunning", m_fileName)) {
    case Taken:
        m_holdsLock = true;
        return true;
    case HeldElsewhere:
        return false;
    case Undecided:
        break;
    }
    return true;
}

bool VSingleInstanceChecker::isAnotherRunning()
{
    // The test lock below would be released at once, which would drop a
    // lock this checker holds: while we hold it, nobody else can.
    if (m_holdsLock)
        return false;
    const Attempt attempt = tryExclusive(m_fd, "isAnotherRunning", m_fileName);
    if (attempt == Taken)
        flockNoIntr(m_fd, LOCK_UN | LOCK_NB);
    return attempt == HeldElsewhere;
}

bool VSingleInstanceChecker::markAsNotRunning()
{
    if (m_fd != -1)
        flockNoIntr(m_fd, LOCK_UN | LOCK_NB);
    m_holdsLock = false;
    return true;
}
