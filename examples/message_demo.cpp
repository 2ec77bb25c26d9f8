// A message server in a thread of its own on a free port of every IPv4
// interface; a client on 127.0.0.1 sends one VMessage and prints the reply.
#include <algorithm>
#include <iostream>
#include <thread>

#include <QCoreApplication>
#include <QDataStream>
#include <QHostAddress>
#include <QTcpSocket>

#include <VIpc/message.h>
#include <VIpc/message_server.h>

// Answers every request with its text reversed and its number doubled.
class ReverseHandler : public VMessageHandler
{
public:
    VMessage* handleMessage(VMessage* request) override
    {
        QString text = request->getStringData();
        std::reverse(text.begin(), text.end());
        VMessage* reply = new VMessage;
        reply->setStringType(QStringLiteral("reply"));
        reply->setIntData(request->getIntData() * 2);
        reply->setStringData(text);
        return reply;
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    try {
        // Port 0: any free port. No masks: only loopback clients are allowed.
        VMessageSimpleServer server(0, QStringList());
        server.registerMessageHandler(QStringLiteral("VMessage"), new ReverseHandler);
        std::thread serving([&server] { server.start(); });
        std::cout << "server listening on 0.0.0.0:" << server.serverPort()
                  << " (every IPv4 interface; only loopback clients allowed)" << std::endl;

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!socket.waitForConnected(5000)) {
            std::cerr << "connect: " << socket.errorString().toStdString() << std::endl;
            server.stop();
            serving.join();
            return 1;
        }
        VMessage request;
        request.setStringType(QStringLiteral("request"));
        request.setIntData(21);
        request.setStringData(QStringLiteral("hello, message server"));
        std::cout << "sending:  " << request.toString().toStdString() << std::endl;

        QDataStream stream(&socket);
        stream << &request;
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
        }
        VMessage* reply = nullptr;
        stream >> reply;
        std::cout << "received: " << reply->toString().toStdString() << std::endl;
        delete reply;
        // A client closes once it has its reply.
        socket.close();

        server.stop();
        serving.join();
        std::cout << "server stopped" << std::endl;
    } catch (const VException& e) {
        std::cerr << "failed: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
