#include "VNetwork/network_peer.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <limits>

#include <QDebug>

#include "VCore/eintr_p.h"
#include "VCore/unique_fd_p.h"
#include "VIpc/message.h"

namespace {

const char* const kFile = "VNetwork/network_peer";
// Bytes handed to Qt per write: Qt copies what it is given into its own
// buffer, so a large send in one piece would double its memory and run at
// half the speed.
const quint64 kWriteChunk = 1 << 20;

// Frees a getaddrinfo result.
struct AddrInfoOwner
{
    addrinfo* list = nullptr;
    ~AddrInfoOwner()
    {
        if (list)
            freeaddrinfo(list);
    }
};

// Caps what Qt buffers of the far end's bytes. Unbounded, a far end that
// floods while a send waits would grow this process without limit; the
// maximum frame length lets two peers that both send before reading go on
// as long as neither sends more than that. The frame's header (its two
// length words) fits as well, so every frame the reader accepts can be held.
void boundReadBuffer(QAbstractSocket& socket)
{
    const qint64 cap = qMax<qint64>(qint64(VMessage::maxFrameLength()) + 8, 64 * 1024); // 0 would mean no cap
    if (socket.readBufferSize() != cap)
        socket.setReadBufferSize(cap);
}

// Drops the connection and throws; text is taken before the socket's error is reset.
[[noreturn]] void dropAndThrow(VNetworkPeer& peer, const QString& text, int line)
{
    peer.disconnect();
    throw VException(text, kFile, line);
}

} // namespace

qint32 connectWithInterruptSupport(qint32 fd, sockaddr_in* addr, qint32 addrlen)
{
    if (::connect(fd, reinterpret_cast<sockaddr*>(addr), socklen_t(addrlen)) == 0)
        return fd;
    if (errno != EINTR)
        throw VException(QStringLiteral("connect() failed: ") + vNetworkErrorStr(), kFile, __LINE__);

    // An interrupted connect goes on in the background: wait for it to end.
    pollfd p;
    p.fd = fd;
    p.events = POLLOUT;
    p.revents = 0;
    if (vRetryOnEintr([&] { return ::poll(&p, 1, -1); }) < 0)
        throw VException(QStringLiteral("poll() failed: ") + vNetworkErrorStr(), kFile, __LINE__);
    int pending = 0;
    socklen_t len = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0)
        throw VException(QStringLiteral("getsockopt() failed: ") + vNetworkErrorStr(), kFile, __LINE__);
    if (pending != 0)
        throw VException(QStringLiteral("connect() failed: ") + vNetworkErrorStr(pending), kFile, __LINE__);
    return fd;
}

VNetworkPeer::VNetworkPeer() : _waitMs(DEFAULT_WAIT_MS) {}

VNetworkPeer::~VNetworkPeer()
{
    if (state() == ConnectedState) {
        try {
            disconnect();
        } catch (const VException&) {
        }
    }
}

void VNetworkPeer::connect(const char* path)
{
    if (!path)
        path = "";
    if (state() == ConnectedState)
        throw VException("The socket is already connected. Please disconnect first.", kFile, __LINE__);
    try {
        VUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0)
            throw VException("connectToPeer: can't create socket", kFile, __LINE__);
        sockaddr_un addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        // A path that fills sun_path exactly needs no terminator; a longer
        // one would name a different socket once cut.
        const size_t n = std::strlen(path);
        if (n > sizeof addr.sun_path)
            throw VException(QStringLiteral("path too long (%1 bytes, at most %2)").arg(n).arg(sizeof addr.sun_path),
                             kFile, __LINE__);
        std::memcpy(addr.sun_path, path, n);
        connectWithInterruptSupport(fd.get(), reinterpret_cast<sockaddr_in*>(&addr), qint32(sizeof addr));
        if (!setSocketDescriptor(fd.get(), ConnectedState, ReadWrite))
            throw VException(QStringLiteral("Can't set socket descriptor: ") + errorString(), kFile, __LINE__);
        fd.release();
    } catch (const VException& e) {
        throw VException(QStringLiteral("Connection error to %1 (%2)")
                             .arg(QString::fromLocal8Bit(path), QString::fromLatin1(e.what())));
    }
}

void VNetworkPeer::connect(const char* host, quint16 port)
{
    try {
        if (state() == ConnectedState)
            throw VException("The socket is already connected. Please disconnect first.", kFile, __LINE__);
        VUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0)
            throw VException(QStringLiteral("Can't create a socket: ") + vNetworkErrorStr(), kFile, __LINE__);

        addrinfo hints;
        std::memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        AddrInfoOwner found;
        const int rc = ::getaddrinfo(host, nullptr, &hints, &found.list);
        if (rc != 0 || !found.list) {
            const QString why = rc == EAI_SYSTEM ? vNetworkErrorStr() : QString::fromLocal8Bit(gai_strerror(rc));
            throw VException(QStringLiteral("Can't resolve host: ") + why, kFile, __LINE__);
        }
        sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found.list->ai_addr)->sin_addr;

        connectWithInterruptSupport(fd.get(), &addr, qint32(sizeof addr));
        if (!setSocketDescriptor(fd.get(), ConnectedState, ReadWrite))
            throw VException(QStringLiteral("Can't set socket descriptor: ") + errorString(), kFile, __LINE__);
        fd.release();
    } catch (const VException& e) {
        throw VException(QStringLiteral("Connection error to %1:%2 (%3)")
                             .arg(QString::fromLocal8Bit(host), QString::number(port), QString::fromLatin1(e.what())));
    }
}

void VNetworkPeer::connect(const QUrl& url)
{
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("tcp")) {
        if (url.port() < 0)
            throw VException(QStringLiteral("missing port in URL: %1").arg(url.toString()), kFile, __LINE__);
        connect(url.host().toLocal8Bit().constData(), quint16(url.port()));
    } else if (scheme == QLatin1String("file")) {
        connect(url.path().toLocal8Bit().constData());
    } else {
        throw VException(QStringLiteral("Unsupported protocol: %1").arg(scheme), kFile, __LINE__);
    }
}

void VNetworkPeer::disconnect()
{
    disconnectFromHost();
    // With bytes still buffered the socket is Closing, not Connected: it
    // must be waited for as well, or those bytes are lost.
    if (state() == ConnectedState || state() == ClosingState)
        waitForDisconnected(1000);
    if (state() != UnconnectedState)
        abort();
}

void VNetworkPeer::sendBuffer(const void* buffer, quint64 length)
{
    const char* p = static_cast<const char*>(buffer);
    quint64 left = length;
    if (left > 0)
        boundReadBuffer(*this);
    while (left > 0) {
        const qint64 w = write(p, qint64(qMin<quint64>(left, kWriteChunk)));
        qDebug() << "sent: " << w << "bytes";
        bool ok = w > 0;
        // One waitForBytesWritten moves one chunk: wait until Qt's buffer
        // is empty, or a disconnect right after would lose the rest.
        while (ok && bytesToWrite() > 0)
            ok = waitForBytesWritten(_waitMs);
        if (!ok)
            dropAndThrow(*this, QStringLiteral("Write error: ") + errorString(), __LINE__);
        p += w;
        left -= quint64(w);
    }
}

void VNetworkPeer::receiveBuffer(void* buffer, quint64 length)
{
    char* p = static_cast<char*>(buffer);
    quint64 left = length;
    if (left > 0)
        boundReadBuffer(*this);
    while (left > 0) {
        if (bytesAvailable() == 0 && !waitForReadyRead(_waitMs)) {
            if (error() == SocketTimeoutError)
                dropAndThrow(*this, QStringLiteral("Network timeout error (%1)").arg(_waitMs), __LINE__);
            dropAndThrow(*this, QStringLiteral("Network error while waiting for read: ") + errorString(), __LINE__);
        }
        const qint64 r = read(p, qint64(qMin<quint64>(left, quint64(std::numeric_limits<qint64>::max()))));
        if (r < 0)
            dropAndThrow(*this, QStringLiteral("Read network error: ") + errorString(), __LINE__);
        p += r;
        left -= quint64(r);
    }
}
