// VService: base class of a long-running program, run as a daemon or as a
// terminal application in a session of its own.
// Thread-safety: one service object per process, used from the main thread.
//
// The constructor's four flags set, in order, _canBeStopped, _canBePaused,
// _runAsTerminalApplication and _handleSigTerm; _handleSigInt starts equal
// to _handleSigTerm. The frame installs no signal handlers and reads none of
// these flags except _runAsTerminalApplication: the signal hooks are for the
// user's own handling to call.
//
// In daemon mode run() forks (daemon(3)): threads started and locks taken
// before run() do not survive in the daemon (flock and OFD file locks do,
// System V undo units and classic fcntl locks do not). Call run() before
// starting threads or taking locks.
#ifndef VORNLIB_VCORE_VSERVICE_H
#define VORNLIB_VCORE_VSERVICE_H

#include "VCore/vornlib_export.h"

#include <QString>
#include <QVector>

class VORN_EXPORT VService
{
public:
    // argv is copied; _argv ends with a null element after the copies.
    VService(QString name, int argc, char** argv, bool canBeStopped, bool canBePaused,
             bool runAsTerminalApplication, bool handleSigTerm);
    virtual ~VService();

    VService(const VService&) = delete;
    VService& operator=(const VService&) = delete;

    virtual bool serviceInit(int argc, char** argv);
    virtual void serviceMain(int argc, char** argv) = 0;
    // Ends the process with status 0.
    virtual void serviceShutdown();
    virtual bool servicePause();
    virtual bool serviceResume();
    // Both call serviceShutdown().
    virtual void serviceSigTerm();
    virtual void serviceSigInt();

    // Daemon or terminal application; true when serviceMain ran.
    bool run();
    bool isRunningAsTerminalApplication() { return _runAsTerminalApplication; }
    bool isRunningAsService() { return !_runAsTerminalApplication; }
    const QString& getName() { return _name; }
    static VService* getInstance() { return _instance; }

    // "name: message" through qDebug; the name is empty without a service.
    static void svcDebug(const QString& message);

protected:
    bool runAsService();
    bool runAsApplication();

    QString _name;
    int _argc;
    QVector<char*> _argv;
    bool _canBeStopped;
    bool _canBePaused;
    bool _runAsTerminalApplication;
    bool _handleSigTerm;
    bool _handleSigInt;

    static VService* _instance;

private:
    bool runHooks();
};

#endif
