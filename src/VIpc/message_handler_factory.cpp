#include "VIpc/message_handler_factory.h"

#include <memory>
#include <utility>

#include <QList>
#include <QSet>

#include "VCore/mutex.h"
#include "VCore/vexception.h"
#include "VIpc/message.h"

namespace {

// Never destroyed: servers in other threads may still look up at exit.
VMutex& tableMutex()
{
    static VMutex& m = *new VMutex;
    return m;
}

} // namespace

const QString VMessageHandlerFactory::START_MESSAGE_DUMMY_NAME = QStringLiteral("START_MESSAGE_DUMMY_NAME");
VMessageHandlerFactory* VMessageHandlerFactory::_factory = nullptr;

VMessageHandlerFactory::VMessageHandlerFactory() {}

VMessageHandlerFactory* VMessageHandlerFactory::getInstance()
{
    // Thread-safe first use: a function-local static is initialised once.
    static VMessageHandlerFactory* const instance = (_factory = new VMessageHandlerFactory);
    return instance;
}

VMessageHandler* VMessageHandlerFactory::getHandler(const QString& messageClass)
{
    VMutexLocker lock(&tableMutex());
    return _handlers.value(messageClass, nullptr);
}

void VMessageHandlerFactory::registerMessageHandler(const QString& messageClass, VMessageHandler* handler)
{
    VMessageHandler* old = nullptr;
    {
        VMutexLocker lock(&tableMutex());
        old = _handlers.value(messageClass, nullptr);
        _handlers.insert(messageClass, handler);
        // Still in the table under another name: the table keeps owning it.
        for (VMessageHandler* h : std::as_const(_handlers)) {
            if (h == old) {
                old = nullptr;
                break;
            }
        }
        // Registered again: the table owns it once more.
        _retired.remove(handler);
        // A server may be inside it right now: the last call deletes it.
        if (old && _running.contains(old)) {
            _retired.insert(old);
            old = nullptr;
        }
    }
    delete old;
}

VMessage* VMessageHandlerFactory::handleMessage(const QString& messageClass, VMessage* request)
{
    VMessageHandler* handler = nullptr;
    {
        VMutexLocker lock(&tableMutex());
        handler = _handlers.value(messageClass, nullptr);
        if (!handler)
            return nullptr;
        ++_running[handler];
    }
    VMessage* reply = nullptr;
    try {
        reply = handler->handleMessage(request);
    } catch (...) {
        doneWith(handler);
        throw;
    }
    try {
        doneWith(handler);
    } catch (...) {
        if (reply != request)
            delete reply;
        throw;
    }
    return reply;
}

void VMessageHandlerFactory::doneWith(VMessageHandler* handler)
{
    {
        VMutexLocker lock(&tableMutex());
        const auto it = _running.find(handler);
        if (--it.value() > 0)
            return;
        _running.erase(it);
        if (!_retired.remove(handler))
            return;
    }
    delete handler;
}

void VMessageHandlerFactory::deregisterMessageHandler(const QString& messageClass)
{
    VMutexLocker lock(&tableMutex());
    _handlers.remove(messageClass);
}

void VMessageHandlerFactory::registerStartMessageHandler(VMessageHandler* handler)
{
    registerMessageHandler(START_MESSAGE_DUMMY_NAME, handler);
}

void VMessageHandlerFactory::deregisterStartMessageHandler()
{
    deregisterMessageHandler(START_MESSAGE_DUMMY_NAME);
}

VMessageHandler* VMessageHandlerFactory::getStartMessageHandler()
{
    return getHandler(START_MESSAGE_DUMMY_NAME);
}

void VMessageHandlerFactory::freeAllHandlers()
{
    QList<VMessageHandler*> distinct;
    {
        VMutexLocker lock(&tableMutex());
        QSet<VMessageHandler*> seen;
        for (VMessageHandler* h : std::as_const(_handlers)) {
            if (h && !seen.contains(h)) {
                seen.insert(h);
                if (_running.contains(h))
                    _retired.insert(h);
                else
                    distinct.append(h);
            }
        }
        _handlers.clear();
    }
    std::unique_ptr<VException> first;
    for (VMessageHandler* h : std::as_const(distinct)) {
        try {
            delete h;
        } catch (const VException& e) {
            if (!first)
                first.reset(new VException(e));
        }
    }
    if (first)
        throw VException(*first);
}
