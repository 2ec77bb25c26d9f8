// Sending on a connected TCP socket, how far its output has got, and
// dropping the input that has arrived on it: what a server needs to deliver
// a reply and close without losing any of it. Not installed.
// Thread-safe: stateless.
#ifndef VORNLIB_VIPC_TCP_DELIVERY_P_H
#define VORNLIB_VIPC_TCP_DELIVERY_P_H

#include <QtGlobal>

// Writes what it can of the size bytes at data to fd once there is room,
// waiting at most waitMs for it: the bytes written, 0 when none could be
// (a signal during the wait included), or -1 with errno set. Never raises
// SIGPIPE.
qint64 vTcpSendSome(int fd, const char* data, qint64 size, int waitMs);

// Ends the sending side of fd: the peer reads what was written, then the end.
// False when the socket is not connected any more.
bool vTcpEndSending(int fd);

// After vTcpEndSending: whether the peer has acknowledged every byte written
// to fd. False too when the kernel cannot tell.
bool vTcpAllSentAcknowledged(int fd);

// Reads and drops what input the kernel holds for fd now, without waiting;
// returns how many bytes that was.
qint64 vTcpDropArrivedInput(int fd);

#endif
