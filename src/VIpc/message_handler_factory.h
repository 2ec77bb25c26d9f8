// VMessageHandlerFactory: the process-wide table of message handlers by
// message class name. It owns the handlers in it.
// Thread-safe: the table is locked; a handler must not be freed while another thread uses it.
#ifndef VORNLIB_VIPC_MESSAGE_HANDLER_FACTORY_H
#define VORNLIB_VIPC_MESSAGE_HANDLER_FACTORY_H

#include <QHash>
#include <QString>

#include "VIpc/message_handler.h"

class VMessageHandlerFactory
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

    QHash<QString, VMessageHandler*> _handlers;
    static VMessageHandlerFactory* _factory;
};

#endif
