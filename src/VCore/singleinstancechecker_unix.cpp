#include "VCore/singleinstancechecker.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VArch/arch_unix.h"
#include "VCore/eintr_p.h"
#include "VCore/runtime_dir_p.h"
#include "VDebug/debug.h"

namespace {

int flockNoIntr(int fd, int op)
{
    return vRetryOnEintr([&] { return flock(fd, op); });
}

} // namespace

VSingleInstanceChecker::VSingleInstanceChecker(const QString& instanceName)
    : m_instanceName(instanceName), m_fd(-1), m_holdsLock(false)
{
    const QByteArray path = vRuntimeFilePath(m_instanceName.toLocal8Bit());
    m_fileName = QString::fromLocal8Bit(path);
    // The file sits in a shared directory: never follow a planted link, and
    // set the mode on the descriptor (the umask must not narrow it).
    m_fd = vRetryOnEintr([&] {
        return open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660);
    });
    if (m_fd < 0) {
        const int err = errno;
        VWARNING(VDebug::STDERR) << "VSingleInstanceChecker:: Failed to open lock file:" << m_fileName
                                 << "(" << vStrError(err) << ")" << endl;
        return;
    }
    fchmod(m_fd, 0660);
}

VSingleInstanceChecker::~VSingleInstanceChecker()
{
    if (m_fd != -1)
        close(m_fd);
}

bool VSingleInstanceChecker::markAsRunning()
{
    if (m_fd == -1) {
        VWARNING(VDebug::STDERR) << "VSingleInstanceChecker::markAsRunning: invalid file descriptor (-1) for file "
                                 << m_fileName << ", returning success" << endl;
        return true;
    }
    if (flockNoIntr(m_fd, LOCK_EX | LOCK_NB) == 0) {
        m_holdsLock = true;
        return true;
    }
    const int err = errno;
    if (err == EWOULDBLOCK)
        return false;
    VWARNING(VDebug::STDERR) << "VSingleInstanceChecker::markAsRunning: flock failed on file " << m_fileName
                             << "(" << vStrError(err) << ")" << endl;
    return true;
}

bool VSingleInstanceChecker::isAnotherRunning()
{
    if (m_fd == -1) {
        VWARNING(VDebug::STDERR) << "VSingleInstanceChecker::isAnotherRunning: invalid file descriptor (-1) for file "
                                 << m_fileName << ", returning success" << endl;
        return false;
    }
    // The test lock below would be released at once, which would drop a
    // lock this checker holds: while we hold it, nobody else can.
    if (m_holdsLock)
        return false;
    if (flockNoIntr(m_fd, LOCK_EX | LOCK_NB) == 0) {
        flockNoIntr(m_fd, LOCK_UN | LOCK_NB);
        return false;
    }
    const int err = errno;
    if (err == EWOULDBLOCK)
        return true;
    VWARNING(VDebug::STDERR) << "VSingleInstanceChecker::isAnotherRunning: flock failed on file " << m_fileName
                             << "(" << vStrError(err) << ")" << endl;
    return false;
}

bool VSingleInstanceChecker::markAsNotRunning()
{
    if (m_fd != -1)
        flockNoIntr(m_fd, LOCK_UN | LOCK_NB);
    m_holdsLock = false;
    return true;
}
