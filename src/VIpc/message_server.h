// VMessageSimpleServer: a blocking request/reply server for VMessage over
// TCP (IPv4), one request per connection, clients served one at a time in
// the thread that calls start(). Client addresses are checked against the
// server's VIpVerifier before a request is read; with no masks only
// loopback clients are allowed. Handlers come from the process-wide
// VMessageHandlerFactory, which start() empties when it ends: run one
// server per process. After its reply the server ends its sending side
// and reads and drops what the client still sends until the client has
// acknowledged the whole reply and stopped sending, or closed (bounded by
// the waits of setTimeouts and, once the reply is acknowledged, by stop()):
// a client that keeps its socket after its reply holds the
// server until its side has acknowledged the reply; one that does not read
// a reply too large for its socket buffers, for up to one wait.
// Thread-safety: start() runs in one thread (any, not only the constructor's); stop() is safe from any thread.
#ifndef VORNLIB_VIPC_MESSAGE_SERVER_H
#define VORNLIB_VIPC_MESSAGE_SERVER_H

#include "VCore/vornlib_export.h"

#include <atomic>
#include <memory>

#include <QString>
#include <QStringList>
#include <QTcpServer>

#include "VIpc/message_handler_factory.h"
#include "VSecurity/ip_verifier.h"

class QTcpSocket;
class VMessage;

class VORN_EXPORT VMessageSimpleServer
{
public:
    // Listens on every IPv4 interface on the port's low 16 bits (0 picks a
    // free port). Only VException leaves it; a failed listen gives Qt's
    // error text as the whole message.
    VMessageSimpleServer(quint32 port, QStringList masksList);
    ~VMessageSimpleServer();

    VMessageSimpleServer(const VMessageSimpleServer&) = delete;
    VMessageSimpleServer& operator=(const VMessageSimpleServer&) = delete;

    // Serves connections until stop(), then frees all handlers. Every
    // VException is reported on std::cerr as "Exception: <what>. Client
    // disconnected." and the loop goes on.
    void start();
    // Ends the loop after the current exchange, or within one accept slice
    // (ACCEPT_SLICE_MS) when no client is being served.
    void stop();

    void registerMessageHandler(const QString& messageClass, VMessageHandler* handler);
    void deregisterMessageHandler(const QString& messageClass);

    // The port the server listens on.
    quint16 serverPort() const;

    // waitMs bounds each wait for a client's bytes (30000 by default);
    // requestDeadlineMs bounds the reading of one request and, again, the
    // sending of one reply and the wait for its delivery (120000 by
    // default). Set them before start().
    void setTimeouts(int waitMs, int requestDeadlineMs);

    static const int DEFAULT_WAIT_MS = 30000;
    static const int DEFAULT_REQUEST_DEADLINE_MS = 120000;
    static const int ACCEPT_SLICE_MS = 200;

private:
    friend struct VMessageServerTestAccess;

    // Creates accepted sockets in the thread that waits for them, so a
    // server built in one thread can be started in another.
    class Listener : public QTcpServer
    {
    protected:
        void incomingConnection(qintptr socketDescriptor) override;
    };

    void serveConnection(QTcpSocket* socket, std::unique_ptr<VMessage>& request, std::unique_ptr<VMessage>& reply);
    void checkClient(QTcpSocket* socket);
    void sendAll(QTcpSocket* socket, const QByteArray& frame);
    void dropInputUntilDelivered(QTcpSocket* socket);
    void dropPendingConnections();

    Listener _networkServer;
    VMessageHandlerFactory* _handlerFactory;
    std::atomic<bool> _keepRunning;
    VIpVerifier _ipVerifier;
    std::atomic<int> _waitMs;
    std::atomic<int> _requestDeadlineMs;
};

#endif
