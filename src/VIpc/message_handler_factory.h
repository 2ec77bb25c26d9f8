// VMessageHandlerFactory: the process-wide table of message handlers by
// message class name. It owns the handlers in it.
// Thread-safe: the table is locked; a handler that the factory replaces or frees while a server
// runs it is deleted when that call returns (one given back by deregistering is the caller's).
#ifndef VORNLIB_VIPC_MESSAGE_HANDLER_FACTORY_H
#define VORNLIB_VIPC_MESSAGE_HANDLER_FACTORY_H

#include "VCore/vornlib_export.h"

#include <QHash>
#include <QSet>
#include <QString>

#include "VIpc/message_handler.h"

class VORN_EXPORT VMessageHandlerFactory
{
public:
    // The single factory, created on first use and never deleted.
    static VMessageHandlerFactory* getInstance();

    // The handler under exactly that name, or null.
    VMessageHandler* getHandler(const QString& messageClass);

    // Stores handler under the name and takes ownership. A handler it
    // replaces is deleted unless it is the same one or is still registered
    // under another name.
    void registerMessageHandler(const QString& messageClass, VMessageHandler* handler);
    // Removes the entry without deleting the handler: ownership goes back
    // to the caller.
    void deregisterMessageHandler(const QString& messageClass);

    void registerStartMessageHandler(VMessageHandler* handler);
    void deregisterStartMessageHandler();
    VMessageHandler* getStartMessageHandler();

    // Deletes every handler once, however many names it has, and empties
    // the table. The first VException a destructor throws is rethrown after
    // all handlers are gone.
    void freeAllHandlers();

    static const QString START_MESSAGE_DUMMY_NAME;

private:
    VMessageHandlerFactory();
    VMessageHandlerFactory(const VMessageHandlerFactory&);
    VMessageHandlerFactory& operator=(const VMessageHandlerFactory&);

    friend class VMessageSimpleServer;
    // Runs the handler under messageClass on request (null reply when there
    // is none). The handler stays alive until the call returns.
    VMessage* handleMessage(const QString& messageClass, VMessage* request);
    // Ends one call; deletes a retired handler after its last call.
    void doneWith(VMessageHandler* handler);

    // Calls running per handler, and the busy handlers waiting for deletion.
    QHash<VMessageHandler*, int> _running;
    QSet<VMessageHandler*> _retired;

    QHash<QString, VMessageHandler*> _handlers;
    static VMessageHandlerFactory* _factory;
};

#endif
