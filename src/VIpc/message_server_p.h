// Process-wide switches of the message server for the tests. Not installed,
// not exported.
// Thread-safety: atomic; set them before the servers they concern are made or started.
#ifndef VORNLIB_VIPC_MESSAGE_SERVER_P_H
#define VORNLIB_VIPC_MESSAGE_SERVER_P_H

#include <atomic>

#include <QtGlobal>

namespace VMessageServerHooks {

// Servers made from now on listen on 127.0.0.1 instead of every interface.
extern std::atomic<bool> listenOnLoopback;
// Host order; when not 0, the client address every server checks instead
// of the real one.
extern std::atomic<quint32> peerAddress;

}

#endif
