#include "VCore/thread_p.h"
#include "VCore/fork_lock_p.h"

#include <algorithm>

#include <QVector>

#include "VDebug/debug.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

VMutex& VThread::_stackTraceLock = *new VMutex;
ThreadsHouse* ThreadsHouse::_instance = nullptr;

namespace {

// A child forked while another thread holds the registry's lock would find
// it locked for good: fork waits until it is free, and the forking thread
// lets it go on both sides.
void lockRegistryForFork() { VForkLock::prepare(VThreadRegistryAccess::registryLock()); }
void unlockRegistryInParent() { VForkLock::parent(VThreadRegistryAccess::registryLock()); }
void renewRegistryInChild() { VForkLock::child(VThreadRegistryAccess::registryLock()); }

[[maybe_unused]] const int g_registryAtFork =
    pthread_atfork(&lockRegistryForFork, &unlockRegistryInParent, &renewRegistryInChild);

} // namespace

QHash<int, unsigned int> VThreadStoragePrivate::_keys;
QHash<unsigned int, int> VThreadStoragePrivate::_usersPerKey;
VMutex VThreadStoragePrivate::_mutex;

namespace {

QString notRegisteredText(VThreadId id)
{
    return QStringLiteral("Thread %1 was not registered. Please call the developers")
        .arg(static_cast<qint64>(id));
}

#if defined(__SANITIZE_ADDRESS__)
// Cancellation unwinds the thread's frames without AddressSanitizer seeing
// them return, so their stale red zones would trip its own thread clean-up.
// Run on the way out of every thread: clears the dead stack below.
struct DeadStackCleaner
{
    ~DeadStackCleaner();
};

DeadStackCleaner::~DeadStackCleaner()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* low = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    char* const here = static_cast<char*>(__builtin_frame_address(0));
    if (low && here > static_cast<char*>(low))
        __asan_unpoison_memory_region(low, static_cast<size_t>(here - static_cast<char*>(low)));
}
#else
struct DeadStackCleaner
{
    ~DeadStackCleaner() {}
};
#endif

} // namespace

VThreadPrivate::~VThreadPrivate() noexcept(false)
{
    if (_threadId == 0)
        return;
    if (pthread_equal(_threadId, pthread_self())) {
        // The thread is destroying its own object: it can neither cancel nor
        // join itself, so it is left to end on its own.
        pthread_detach(_threadId);
        _threadId = 0;
        return;
    }
    const int rc = cancel();
    if (rc != 0)
        throw VException(QStringLiteral("pthread_cancel() failed: %1").arg(vStrError(rc)));
    // Wait for the cancelled thread, so the object that its work uses is not
    // freed under it.
    join();
    _threadId = 0;
}

QString VTraceElement::toString() const
{
    return QStringLiteral("%1 (%2:%3) [%4]")
        .arg(QString::fromLatin1(_funcName), QString::fromLatin1(_fileName))
        .arg(_lineNum)
        .arg(_freeText);
}

VThread::VThread(const char* name)
    : _d(new VThreadPrivate), _runnable(nullptr), _name(QString::fromLatin1(name))
{
}

VThread::VThread(VRunnable* runnable, const char* name)
    : _d(new VThreadPrivate), _runnable(runnable), _name(QString::fromLatin1(name))
{
}

VThread::~VThread()
{
    if (!_d)
        return;
    VThreadPrivate* d = _d;
    _d = nullptr;
    const VThreadId id = d->getThreadId();
    try {
        // Cancels and joins a running thread; outside the registry lock, as
        // the thread may still need the lock on its way to a cancellation
        // point (where it then finds its entry).
        delete d;
    } catch (const VException& e) {
        VERROR(VDebug::STDERR) << e.what() << endl;
    }
    try {
        removeEntry(id);
    } catch (const VException& e) {
        VERROR(VDebug::STDERR) << e.what() << endl;
    }
}

void VThread::removeEntry(VThreadId id) const
{
    if (id == 0)
        return;
    VThreadRegistryLock lock(&_stackTraceLock);
    // Once the thread is joined its id may be reused by a thread that
    // another object has started meanwhile: remove only our own entry.
    ThreadsHouse::Hash& hash = ThreadsHouse::instance()->getHash();
    ThreadsHouse::Hash::iterator it = hash.find(id);
    if (it != hash.end() && it.value().getThread() == this)
        hash.erase(it);
}

VThreadId VThread::getId() const
{
    return _d ? _d->getThreadId() : 0;
}

void VThread::start()
{
    if (!_d || _d->getThreadId() != 0)
        throw VException(QStringLiteral("VThread::start() failed: thread %1 was already started or joined")
                             .arg(_name));
    VThreadRegistryLock lock(&_stackTraceLock);
    // The lock is held from before the thread exists until its entry is in
    // place, so the thread's own first registry access finds its entry.
    const int rc = _d->start(&VThread::entry, this);
    if (rc != 0) {
        _d->clearThreadId();
        throw VException(QStringLiteral("pthread_create() failed: %1").arg(vStrError(rc)));
    }
    ThreadsHouse::instance()->insert(_d->getThreadId(), VThreadEntryPrivate(this));
}

void VThread::join()
{
    if (!_d)
        return;
    const VThreadId joined = _d->getThreadId();
    if (joined != 0) {
        const int rc = _d->join();
        if (rc != 0)
            throw VException(QStringLiteral("pthread_join() failed: %1").arg(vStrError(rc)));
        _d->clearThreadId();
    }
    delete _d;
    _d = nullptr;
    removeEntry(joined);
}

// Straight to sleepFor: the int of the private wrappers would turn times
// past INT_MAX negative, and nanosleep would refuse them at once.
void VThread::sleep(quint32 seconds)
{
    VThreadPrivate::sleepFor(static_cast<time_t>(seconds), 0);
}

void VThread::sleepMilli(quint32 milliseconds)
{
    VThreadPrivate::sleepFor(static_cast<time_t>(milliseconds / 1000),
                             static_cast<long>(milliseconds % 1000) * 1000000L);
}

void* VThread::entry(void* arg)
{
    VThread* self = static_cast<VThread*>(arg);
    DeadStackCleaner cleaner;
    // Only VException is caught: cancellation unwinds through this frame and
    // must not be stopped.
    try {
        if (self->_runnable)
            self->_runnable->run();
        else
            self->run();
    } catch (const VException& e) {
        VERROR(VDebug::STDERR) << "VThread" << self->_name << ": exception left the thread:"
                               << e.what() << endl;
    }
    return nullptr;
}

VThread::VThreadEntryPrivate VThread::getCurrentThreadEntry()
{
    VThreadRegistryLock lock(&_stackTraceLock);
    const VThreadId self = VThreadPrivate::getCurrentThreadId();
    ThreadsHouse* house = ThreadsHouse::instance();
    if (!house->contains(self))
        throw VException(notRegisteredText(self));
    return house->value(self);
}

namespace {

// The calling thread's entry in the registry; the registry lock is held.
VThread::VThreadEntryPrivate& currentEntry()
{
    const VThreadId self = VThreadPrivate::getCurrentThreadId();
    ThreadsHouse::Hash& hash = ThreadsHouse::instance()->getHash();
    ThreadsHouse::Hash::iterator it = hash.find(self);
    if (it == hash.end())
        throw VException(notRegisteredText(self));
    return it.value();
}

} // namespace

const VThread* VThread::getCurrentThread()
{
    return getCurrentThreadEntry().getThread();
}

void VThread::pushTraceElement(const VTraceElement& element)
{
    VThreadRegistryLock lock(&_stackTraceLock);
    currentEntry().pushTraceElement(element);
}

void VThread::popTraceElement()
{
    VThreadRegistryLock lock(&_stackTraceLock);
    currentEntry().popTraceElement();
}

void VThread::clearStackTrace()
{
    VThreadRegistryLock lock(&_stackTraceLock);
    currentEntry().clearStackTrace();
}

int VThread::getTraceCount()
{
    VThreadRegistryLock lock(&_stackTraceLock);
    return currentEntry().getTraceCount();
}

QString VThread::getStackTrace(bool allThreads)
{
    VThreadRegistryLock lock(&_stackTraceLock);
    const VThreadId self = VThreadPrivate::getCurrentThreadId();
    const ThreadsHouse::Hash& hash = ThreadsHouse::instance()->getHash();

    // The hash order changes from process to process: list the threads by
    // name, then by id, so the text is stable.
    struct Item
    {
        QString name;
        VThreadId id;
        const VThreadEntryPrivate* entry;
    };
    QVector<Item> items;
    for (ThreadsHouse::Hash::const_iterator it = hash.constBegin(); it != hash.constEnd(); ++it) {
        if (!allThreads && it.key() != self)
            continue;
        const VThread* t = it.value().getThread();
        items.append(Item{t ? t->getName() : QString(), it.key(), &it.value()});
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        if (a.name != b.name)
            return a.name < b.name;
        return a.id < b.id;
    });

    QString result;
    QTextStream s(&result);
    for (const Item& item : items) {
        s << Qt::endl << "Event Backtrace for thread" << static_cast<quint64>(item.id);
        if (item.id == self)
            s << "- CURRENT THREAD";
        s << Qt::endl << "-----------------------------------" << Qt::endl;
        const QStack<VTraceElement>& stack = item.entry->getStackTrace();
        if (stack.isEmpty()) {
            s << "No events" << Qt::endl << Qt::endl;
            continue;
        }
        for (int k = stack.count(); k >= 1; --k)
            s << "(" << k << ")" << Qt::endl << stack.at(k - 1) << Qt::endl;
        s << Qt::endl;
    }
    s.flush();
    return result;
}

void VThread::registerExternalThread(VThreadId id)
{
    VThreadRegistryLock lock(&_stackTraceLock);
    ThreadsHouse::instance()->insert(id, VThreadEntryPrivate(nullptr));
}
