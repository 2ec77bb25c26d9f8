#include "VCore/vservice.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <QtDebug>

VService* VService::_instance = nullptr;

VService::VService(QString name, int argc, char** argv, bool canBeStopped, bool canBePaused,
                   bool runAsTerminalApplication, bool handleSigTerm)
    : _name(name), _argc(argc), _canBeStopped(canBeStopped), _canBePaused(canBePaused),
      _runAsTerminalApplication(runAsTerminalApplication), _handleSigTerm(handleSigTerm),
      _handleSigInt(handleSigTerm)
{
    for (int i = 0; i < argc; ++i)
        _argv.append(argv && argv[i] ? strdup(argv[i]) : nullptr);
    // getopt() and execv() expect argv[argc] == NULL.
    _argv.append(nullptr);
    _instance = this;
}

VService::~VService()
{
    for (char* arg : _argv)
        std::free(arg);
    if (_instance == this)
        _instance = nullptr;
}

bool VService::serviceInit(int, char**)
{
    return true;
}

void VService::serviceShutdown()
{
    exit(0);
}

bool VService::servicePause()
{
    return false;
}

bool VService::serviceResume()
{
    return false;
}

void VService::serviceSigTerm()
{
    serviceShutdown();
}

void VService::serviceSigInt()
{
    serviceShutdown();
}

bool VService::run()
{
    return _runAsTerminalApplication ? runAsApplication() : runAsService();
}

void VService::svcDebug(const QString& message)
{
    const QString name = _instance ? _instance->_name : QString();
    qDebug("%s\n", QStringLiteral("%1: %2").arg(name, message).toLatin1().constData());
}

bool VService::runHooks()
{
    if (!serviceInit(_argc, _argv.data()))
        return false;
    serviceMain(_argc, _argv.data());
    return true;
}

bool VService::runAsService()
{
    // Working directory "/", standard streams kept open.
    if (daemon(0, 1) != 0) {
        svcDebug(QStringLiteral("unable to daemon(). exiting."));
        return false;
    }
    svcDebug(QStringLiteral("running service's main ..."));
    return runHooks();
}

bool VService::runAsApplication()
{
    svcDebug(QStringLiteral("service is starting (as application) ..."));
    setsid(); // fails harmlessly for a process-group leader
    return runHooks();
}
