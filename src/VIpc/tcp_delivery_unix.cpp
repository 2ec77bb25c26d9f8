#include "VIpc/tcp_delivery_p.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "VCore/eintr_p.h"

qint64 vTcpSendSome(int fd, const char* data, qint64 size, int waitMs)
{
    pollfd p = {fd, POLLOUT, 0};
    // Not retried here: a poll restarted whole after each signal would never
    // time out under frequent signals; the caller waits again for what is
    // left of its time.
    const int ready = ::poll(&p, 1, waitMs);
    if (ready < 0 && errno == EINTR)
        return 0;
    if (ready <= 0)
        return ready;
    const ssize_t w = vRetryOnEintr([&] { return ::send(fd, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL); });
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    return w;
}

bool vTcpEndSending(int fd)
{
    return ::shutdown(fd, SHUT_WR) == 0;
}

bool vTcpAllSentAcknowledged(int fd)
{
    // The bytes written but not yet acknowledged; the end sent by
    // vTcpEndSending counts as one more, and being the last in sequence it
    // is the one left when all else is acknowledged.
    int unacknowledged = 0;
    return ::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged <= 1;
}

qint64 vTcpDropArrivedInput(int fd)
{
    int arrived = 0;
    if (::ioctl(fd, SIOCINQ, &arrived) != 0)
        return 0;
    qint64 dropped = 0;
    char sink[16 * 1024];
    // Only what is there now: a client that keeps sending must not keep us.
    while (arrived > 0) {
        const size_t want = std::min(sizeof sink, size_t(arrived));
        const ssize_t r = vRetryOnEintr([&] { return ::recv(fd, sink, want, MSG_DONTWAIT); });
        if (r <= 0)
            break;
        arrived -= int(r);
        dropped += r;
    }
    return dropped;
}
