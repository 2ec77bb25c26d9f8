// VMessageHandler: answers one request message; applications implement it
// and register it with VMessageHandlerFactory under "VMessage".
// Thread-safety is that of the implementing class (called from the thread running start()).
#ifndef VORNLIB_VIPC_MESSAGE_HANDLER_H
#define VORNLIB_VIPC_MESSAGE_HANDLER_H

#include "VCore/vornlib_export.h"

class VMessage;

class VORN_EXPORT VMessageHandler
{
public:
    // Returns a reply allocated with new, or null for no reply. The server
    // owns both messages: it deletes the request after the call and the
    // reply after writing it.
    virtual VMessage* handleMessage(VMessage* request) = 0;

    // May throw VException; VMessageHandlerFactory::freeAllHandlers reports it.
    virtual ~VMessageHandler() noexcept(false) {}
};

#endif
