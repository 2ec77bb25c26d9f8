// VDebugConsole: an interactive console on standard input and output that
// calls the protected slots of a derived class by name.
#ifndef VORNLIB_VDEBUG_CONSOLE_H
#define VORNLIB_VDEBUG_CONSOLE_H

#include "VCore/vornlib_export.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include "VCore/mutex.h"

// Thread-safety: run() in one thread; results and output are guarded; slots must suit the threads they run in.
// "thread:" commands run their slot in a thread of their own; results are
// numbered without gaps or repeats.
//
// Commands are the protected slots of the most derived class, with 0 to 3
// parameters of the types int, QString and bool. A command line is
// "[keyword:]name[(arg, ...)]" where the keyword is a repetition count or
// "thread". run() returns at the end of standard input, after running a last
// line that has no newline and after joining the "thread:" commands it
// started. An exception thrown by a slot is not caught: it leaves run() (or,
// for a VException in a "thread:" command, is logged by the thread).
class VORN_EXPORT VDebugConsole : public QObject
{
    Q_OBJECT

public:
    explicit VDebugConsole(QString appName);
    virtual ~VDebugConsole();

    // Greets, then reads and runs commands until the end of standard input.
    // A VException from starting a "thread:" command leaves it.
    void run();

protected slots:
    void help();
    void retval(int returnValueIndex);

protected:
    enum Modifier { None = 0, NewThread = 1, RunMultipleTimes = 2 };

    struct MethodInput
    {
        QByteArray methodName;
        QList<QVariant> arguments;
        Modifier modifier = None;
        int modifierDataInt = 0;
    };

    struct ReturnValue
    {
        QVariant value;
        QByteArray type;
    };

    // Prompts, reads and parses one line; an empty name at the end of input
    // (see atEndOfInput()).
    MethodInput getInput();
    void invokeMethod(MethodInput input);
    void printReturnValue(int index);
    void printAlternateMethod(QByteArray text);

private:
    // Writes text to std::cout as one piece and flushes, under the lock.
    void print(const QByteArray& text);
    bool atEndOfInput() const { return _endOfInput; }

    QString _appName;
    QList<ReturnValue> _returnValues;
    int _nextReturnValue;

    // Guards _returnValues, _nextReturnValue and the output.
    VMutex _lock;
    bool _endOfInput;
};

#endif
