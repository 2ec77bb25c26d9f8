// VNetworkPeer: a blocking client socket that connects itself over TCP/IPv4
// or a Unix-domain stream socket (a signal during connect does not fail it),
// then moves exact-length buffers with Qt's blocking waits.
// Not thread-safe: a peer belongs to one thread at a time.
//
// connect() and disconnect() hide QObject's members of the same names; a
// call through a QObject or QTcpSocket pointer reaches Qt's signal
// functions, not these.
#ifndef VORNLIB_VNETWORK_NETWORK_PEER_H
#define VORNLIB_VNETWORK_NETWORK_PEER_H

#include "VCore/vornlib_export.h"

#include <netinet/in.h>

#include <QTcpSocket>
#include <QUrl>
#include <QtEndian>

#include "VArch/arch_unix.h"
#include "VCore/vexception.h"

class VORN_EXPORT VNetworkPeer : public QTcpSocket
{
public:
    VNetworkPeer();
    // Disconnects a connected peer; never throws.
    virtual ~VNetworkPeer();

    // All of these throw VException only.
    // Unix-domain stream socket at path (at most 108 bytes).
    void connect(const char* path);
    // TCP over IPv4.
    void connect(const char* host, quint16 port);
    // "tcp://host:port" or "file:///path"; QUrl lower-cases the scheme.
    void connect(const QUrl& url);
    void disconnect();

    // Writes in pieces of at most 1 MiB (one qDebug line each) and returns
    // once every byte has left Qt's buffer. Meanwhile the far end's bytes
    // are kept for receiveBuffer, up to VMessage::maxFrameLength() plus a
    // frame's 8-byte header (256 MiB by default) in this process; beyond that TCP flow control holds the
    // far end back, so two peers that both send more than that before
    // reading stall until the wait times out.
    void sendBuffer(const void* buffer, quint64 length);
    // Bytes beyond length stay in the socket for the next call.
    void receiveBuffer(void* buffer, quint64 length);

    // Four bytes in network (big-endian) byte order.
    void sendInt32(qint32 value)
    {
        uchar bytes[4];
        qToBigEndian<qint32>(value, bytes);
        sendBuffer(bytes, sizeof bytes);
    }
    qint32 receiveInt32()
    {
        uchar bytes[4];
        receiveBuffer(bytes, sizeof bytes);
        return qFromBigEndian<qint32>(bytes);
    }

    // Milliseconds each send or receive wait may last (30000 by default).
    void setWaitTimeout(int ms) { _waitMs = ms > 0 ? ms : 1; }
    int waitTimeout() const { return _waitMs; }

    static const int DEFAULT_WAIT_MS = 30000;

private:
    int _waitMs;
};

// Connects fd to the address (any socket address type, with its length) and
// returns fd. An interrupted connect is completed through poll. Throws
// VException on failure.
VORN_EXPORT qint32 connectWithInterruptSupport(qint32 fd, sockaddr_in* addr, qint32 addrlen);

#endif
