#include "VIpc/message_server.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include <QDataStream>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

#include "VArch/arch_unix.h"
#include "VCore/vexception.h"
#include "VIpc/message.h"
#include "VIpc/message_p.h"
#include "VIpc/message_server_p.h"
#include "VIpc/tcp_delivery_p.h"

namespace {

// Pause after a failed wait or accept.
const unsigned long kBackOffMs = 100;
// What a connection may buffer of its client's input once the request is
// read: the client's further bytes are not wanted, and Qt's read buffer
// would otherwise take all it sends while the reply is delivered.
const qint64 kInputBoundAfterRequest = 64 * 1024;
// The longest pause between two looks at whether the client has acknowledged its reply.
const int kAcknowledgementPollMs = 50;
// How long a client that sent more after its request must be silent, once
// its reply is acknowledged, before it is taken to have stopped sending.
const int kSendingPauseMs = 50;

// Qt keeps the text of the accept that failed; a temporary failure leaves none.
QString acceptErrorText(const QTcpServer& server)
{
    const QString text = server.errorString();
    return text.isEmpty() ? QStringLiteral("no connection could be taken") : text;
}

} // namespace

void VMessageSimpleServer::Listener::incomingConnection(qintptr socketDescriptor)
{
    QTcpSocket* socket = new QTcpSocket;
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        ::close(int(socketDescriptor));
        return;
    }
    addPendingConnection(socket);
}

std::atomic<bool> VMessageServerHooks::listenOnLoopback(false);
std::atomic<quint32> VMessageServerHooks::peerAddress(0);

VMessageSimpleServer::VMessageSimpleServer(quint32 port, QStringList masksList)
    : _handlerFactory(VMessageHandlerFactory::getInstance()),
      _keepRunning(true),
      _ipVerifier(masksList, false),
      _waitMs(DEFAULT_WAIT_MS),
      _requestDeadlineMs(DEFAULT_REQUEST_DEADLINE_MS)
{
    // Every queued client is taken in one go and served before the next wait.
    _networkServer.setMaxPendingConnections(1024);
    // AnyIPv4: Qt's Any is dual-stack and would show IPv4 clients as
    // ::ffff:a.b.c.d, which the verifier cannot judge.
    const QHostAddress address = VMessageServerHooks::listenOnLoopback.load() ? QHostAddress::LocalHost : QHostAddress::AnyIPv4;
    if (!_networkServer.listen(address, quint16(port)))
        throw VException(_networkServer.errorString());
}

VMessageSimpleServer::~VMessageSimpleServer()
{
    dropPendingConnections();
}

void VMessageSimpleServer::stop()
{
    _keepRunning.store(false);
}

void VMessageSimpleServer::registerMessageHandler(const QString& messageClass, VMessageHandler* handler)
{
    _handlerFactory->registerMessageHandler(messageClass, handler);
}

void VMessageSimpleServer::deregisterMessageHandler(const QString& messageClass)
{
    _handlerFactory->deregisterMessageHandler(messageClass);
}

quint16 VMessageSimpleServer::serverPort() const
{
    return _networkServer.serverPort();
}

void VMessageSimpleServer::setTimeouts(int waitMs, int requestDeadlineMs)
{
    _waitMs.store(qMax(1, waitMs));
    _requestDeadlineMs.store(qMax(1, requestDeadlineMs));
}

void VMessageSimpleServer::dropPendingConnections()
{
    while (QTcpSocket* socket = _networkServer.nextPendingConnection()) {
        socket->abort();
        delete socket;
    }
}

void VMessageSimpleServer::start()
{
    // Set while waits report a client that cannot be taken: reported once
    // per episode, not once per attempt.
    bool acceptFailing = false;
    while (_keepRunning.load()) {
        // Owned here, so that an exception other than VException leaving
        // start() frees them too.
        std::unique_ptr<QTcpSocket> socket;
        std::unique_ptr<VMessage> request;
        std::unique_ptr<VMessage> reply;
        bool served = false;
        bool backOff = false;
        try {
            if (!_networkServer.hasPendingConnections()) {
                // Short slices, so that stop() from another thread is seen soon.
                bool timedOut = false;
                if (!_networkServer.waitForNewConnection(ACCEPT_SLICE_MS, &timedOut)) {
                    if (timedOut)
                        continue;
                    backOff = true;
                    throw VException(QStringLiteral("Can't wait for a new connection: ")
                                     + _networkServer.errorString());
                }
            }
            socket.reset(_networkServer.nextPendingConnection());
            if (socket) {
                acceptFailing = false;
                serveConnection(socket.get(), request, reply);
                served = true;
            } else {
                // The listener is readable but accept failed (EMFILE with a
                // full descriptor table): the client stays queued, and
                // waiting again at once would spin.
                backOff = true;
                if (!acceptFailing) {
                    acceptFailing = true;
                    throw VException(QStringLiteral("Can't accept a new connection: ")
                                     + acceptErrorText(_networkServer));
                }
            }
        } catch (const VException& e) {
            std::cerr << "Exception: " << e.what() << ". Client disconnected." << std::endl;
        }
        if (socket) {
            if (served) {
                socket->disconnectFromHost();
                if (socket->state() != QAbstractSocket::UnconnectedState)
                    socket->waitForDisconnected(_waitMs.load());
            } else {
                socket->abort();
            }
            socket.reset();
        }
        // Freed once the client has its answer: not on its waiting time.
        request.reset();
        reply.reset();
        if (backOff)
            QThread::msleep(kBackOffMs); // a persistent failure must not spin
    }
    dropPendingConnections();
    try {
        _handlerFactory->freeAllHandlers();
    } catch (const VException& e) {
        std::cerr << "Exception: " << e.what() << std::endl;
    }
}

void VMessageSimpleServer::checkClient(QTcpSocket* socket)
{
    bool ok = false;
    quint32 address = socket->peerAddress().toIPv4Address(&ok);
    const quint32 fakeAddress = VMessageServerHooks::peerAddress.load();
    if (fakeAddress != 0) {
        address = fakeAddress;
        ok = true;
    }
    if (!ok)
        throw VException(QStringLiteral("client %1 is not allowed").arg(socket->peerAddress().toString()));
    if (!_ipVerifier.verify(htonl(address)))
        throw VException(QStringLiteral("client %1 is not allowed").arg(QHostAddress(address).toString()));
}

void VMessageSimpleServer::serveConnection(QTcpSocket* socket, std::unique_ptr<VMessage>& request,
                                           std::unique_ptr<VMessage>& reply)
{
    checkClient(socket);
    QDataStream stream(socket);
    stream.setVersion(QDataStream::Qt_4_4);
    VMessage* read = nullptr;
    VMessageWire::readFrame(stream, read, _waitMs.load(), _requestDeadlineMs.load());
    request.reset(read);
    // From here on the kernel's flow control holds a flooding client back.
    socket->setReadBufferSize(kInputBoundAfterRequest);

    // The reader only ever builds a VMessage.
    static const QString messageClass = QStringLiteral("VMessage");
    reply.reset(_handlerFactory->handleMessage(messageClass, request.get()));
    // A handler that answers with the request itself hands it over.
    if (reply == request)
        request.release();
    if (reply) {
        // The bytes of stream << reply.
        sendAll(socket, VMessageWire::encodeFrame(reply.get()));
    }
    dropInputUntilDelivered(socket);
}

void VMessageSimpleServer::sendAll(QTcpSocket* socket, const QByteArray& frame)
{
    // Past Qt's buffer: Qt's waits read as well, and once they see the end of
    // a client that has ended its sending side they close the socket with the
    // rest of a large reply unsent.
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    const int fd = int(socket->socketDescriptor());
    const int waitMs = _waitMs.load();
    const qint64 deadlineMs = _requestDeadlineMs.load();
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer stalled;
    stalled.start();
    qint64 sent = 0;
    while (sent < frame.size()) {
        const qint64 left = deadlineMs - clock.elapsed();
        if (left <= 0)
            throw VException(QStringLiteral("Error while waiting for write: reply not sent within %1 ms").arg(deadlineMs));
        const qint64 wait = qMax<qint64>(0, qMin<qint64>(waitMs - stalled.elapsed(), left));
        const qint64 w = vTcpSendSome(fd, frame.constData() + sent, frame.size() - sent, int(wait));
        if (w < 0)
            throw VException(vSysError(QStringLiteral("Error while waiting for write"), errno));
        if (w > 0) {
            sent += w;
            stalled.restart();
        } else if (stalled.elapsed() >= waitMs) {
            throw VException(vSysError(QStringLiteral("Error while waiting for write"), ETIMEDOUT));
        }
    }
}

void VMessageSimpleServer::dropInputUntilDelivered(QTcpSocket* socket)
{
    // Closing with the client's bytes unread makes the kernel reset the
    // connection and drop what of the reply has not reached the client yet:
    // end our side first (the reply then ends with a FIN), and drop what the
    // client sends until it has acknowledged the whole reply or closed. Then
    // nothing of the reply can be lost, and with the input dropped that has
    // arrived the close is an orderly one.
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    const int fd = int(socket->socketDescriptor());
    if (!vTcpEndSending(fd))
        return;
    // A client may have sent one more request of any size we would take.
    const qint64 byteBound = qMax<qint64>(qint64(VMessage::maxFrameLength()) + 8, kInputBoundAfterRequest);
    const int waitMs = _waitMs.load();
    const qint64 deadlineMs = _requestDeadlineMs.load();
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer quiet;
    quiet.start();
    int pauseMs = 1;
    qint64 dropped = 0;
    char sink[16 * 1024];
    // Qt closes the socket once it sees the client's end.
    while (socket->state() == QAbstractSocket::ConnectedState) {
        const qint64 r = socket->read(sink, sizeof sink);
        if (r > 0) {
            dropped += r;
            if (dropped > byteBound)
                throw VException(QStringLiteral("client sent more than %1 bytes after its request").arg(byteBound));
            if (clock.elapsed() >= deadlineMs)
                throw VException(QStringLiteral("client still sending %1 ms after its reply").arg(deadlineMs));
            quiet.restart();
            continue;
        }
        if (r < 0)
            return;
        if (vTcpAllSentAcknowledged(fd)) {
            // A client that sent more may still be sending (one more request
            // beyond the socket buffers): closing under its writes would reset
            // them, so its input is dropped until it pauses.
            dropped += vTcpDropArrivedInput(fd);
            if (dropped == 0 || !_keepRunning.load() || !socket->waitForReadyRead(kSendingPauseMs))
                return;
            continue;
        }
        // A client that neither sends, acknowledges nor closes has had its answer.
        const qint64 left = qMin<qint64>(waitMs - quiet.elapsed(), deadlineMs - clock.elapsed());
        if (left <= 0)
            return;
        // No event tells of an acknowledgement: look again after pauses that
        // grow from 1 ms, as a client's kernel may delay it by tens of ms.
        socket->waitForReadyRead(int(qMin<qint64>(left, pauseMs)));
        pauseMs = qMin(2 * pauseMs, kAcknowledgementPollMs);
    }
}
