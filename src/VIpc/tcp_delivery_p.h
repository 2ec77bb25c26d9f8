// How far a connected TCP socket's output has got, and dropping the input
// that has arrived on it: what a server needs to close without losing what
// it sent. Not installed.
// Thread-safe: stateless.
#ifndef VORNLIB_VIPC_TCP_DELIVERY_P_H
#define VORNLIB_VIPC_TCP_DELIVERY_P_H

#include <QtGlobal>

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
