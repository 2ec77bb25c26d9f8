#include "VDebug/console.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

#include <QMetaMethod>
#include <QMetaObject>
#include <QMetaType>

#include "VCore/cancel_guard_p.h"
#include "VCore/thread.h"
#include "VDebug/debug.h"

namespace {

const int kMaxArguments = 10;
// Slots with more parameters than this cannot be called from the console.
const int kMaxSupportedArguments = 3;

// The text before the first "(", the whole text when there is none.
QString method_name_only(const QString& method)
{
    const int paren = method.indexOf(QLatin1Char('('));
    return paren < 0 ? method : method.left(paren);
}

QByteArray nameOf(const QMetaMethod& method)
{
    return method_name_only(QString::fromLatin1(method.methodSignature())).toLatin1();
}

bool isSupportedType(const QByteArray& type)
{
    return type == "int" || type == "QString" || type == "bool";
}

// The console's commands: its protected slots, base classes first.
QList<QMetaMethod> commandsOf(const QMetaObject* mo)
{
    QList<QMetaMethod> result;
    for (int i = 0; i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        if (m.methodType() == QMetaMethod::Slot && m.access() == QMetaMethod::Protected)
            result.append(m);
    }
    return result;
}

// Appends one slot's line: "<return type> <name>(<type> <name>, ...)".
void printMethodInfo(QByteArray& out, const QMetaMethod& method)
{
    const QByteArray returnType = method.typeName();
    out += returnType.isEmpty() ? QByteArray("void") : returnType;
    out += ' ';
    out += method.name();
    out += '(';
    const QList<QByteArray> types = method.parameterTypes();
    const QList<QByteArray> names = method.parameterNames();
    bool supported = types.count() <= kMaxSupportedArguments;
    for (int i = 0; i < types.count(); ++i) {
        if (i > 0)
            out += ", ";
        out += types.at(i);
        out += ' ';
        out += names.value(i);
        supported = supported && isSupportedType(types.at(i));
    }
    out += ')';
    if (!supported)
        out += " <=== NOT SUPPORTED";
    out += '\n';
}

// Storage for the converted arguments and the return value of one call.
struct CallFrame
{
    int ints[kMaxSupportedArguments] = {};
    bool bools[kMaxSupportedArguments] = {};
    QString strings[kMaxSupportedArguments];
    QGenericArgument args[kMaxArguments];

    int retInt = 0;
    bool retBool = false;
    QString retString;

    // Converts the typed arguments by parameter type; false for a type the
    // console cannot pass.
    bool setArguments(const QMetaMethod& method, const QList<QVariant>& arguments)
    {
        const QList<QByteArray> types = method.parameterTypes();
        for (int i = 0; i < arguments.count(); ++i) {
            const QByteArray& type = types.at(i);
            if (type == "int") {
                ints[i] = arguments.at(i).toInt();
                args[i] = QGenericArgument("int", &ints[i]);
            } else if (type == "QString") {
                strings[i] = arguments.at(i).toString();
                args[i] = QGenericArgument("QString", &strings[i]);
            } else if (type == "bool") {
                bools[i] = arguments.at(i).toBool();
                args[i] = QGenericArgument("bool", &bools[i]);
            } else {
                return false;
            }
        }
        return true;
    }

    QGenericReturnArgument returnArgument(const QByteArray& type)
    {
        if (type == "int")
            return Q_RETURN_ARG(int, retInt);
        if (type == "bool")
            return Q_RETURN_ARG(bool, retBool);
        if (type == "QString")
            return Q_RETURN_ARG(QString, retString);
        return QGenericReturnArgument();
    }

    QVariant returned(const QByteArray& type) const
    {
        if (type == "int")
            return retInt;
        if (type == "bool")
            return retBool;
        if (type == "QString")
            return retString;
        return QVariant();
    }
};

} // namespace

VDebugConsole::VDebugConsole(QString appName)
    : QObject(nullptr), _appName(appName), _nextReturnValue(0), _endOfInput(false)
{
}

VDebugConsole::~VDebugConsole()
{
}

void VDebugConsole::print(const QByteArray& text)
{
    VCancelSafeLocker<VMutex> lock(&_lock);
    // One write per piece, so lines of concurrent commands do not mix.
    std::cout.write(text.constData(), text.size());
    std::cout.flush();
}

void VDebugConsole::run()
{
    // Runs one command in a thread of its own.
    class NewThreadInvoker : public VThread
    {
    public:
        NewThreadInvoker(VDebugConsole* obj, MethodInput& input)
            : VThread("thread"), _input(input), _obj(obj), _finished(false) {}
        ~NewThreadInvoker() override
        {
            // Wait here: run() uses this object's members.
            try {
                join();
            } catch (const VException& e) {
                VERROR(VDebug::STDERR) << e.what() << endl;
            }
        }
        bool isFinished() const { return _finished; }

    protected:
        void run() override
        {
            struct Done
            {
                std::atomic<bool>& flag;
                ~Done() { flag = true; }
            } done{_finished};
            _obj->invokeMethod(_input);
        }

    private:
        MethodInput _input;
        VDebugConsole* _obj;
        std::atomic<bool> _finished;
    };

    // Joined and freed when run() leaves, whichever way.
    std::vector<std::unique_ptr<NewThreadInvoker>> threads;

    print("Welcome to " + _appName.toLocal8Bit() + "\n");
    _endOfInput = false;
    while (!_endOfInput) {
        for (auto it = threads.begin(); it != threads.end();) {
            if ((*it)->isFinished())
                it = threads.erase(it);
            else
                ++it;
        }
        MethodInput input = getInput();
        if (input.methodName.isEmpty())
            continue;
        if (input.modifier == NewThread) {
            threads.emplace_back(new NewThreadInvoker(this, input));
            threads.back()->start();
        } else {
            invokeMethod(input);
        }
    }
}

VDebugConsole::MethodInput VDebugConsole::getInput()
{
    print("\n(" + _appName.toLocal8Bit() + ")");

    QString line;
    bool gotNewline = false;
    for (;;) {
        const int c = getc(stdin);
        if (c == EOF) {
            if (ferror(stdin) && errno == EINTR) {
                clearerr(stdin);
                continue;
            }
            break;
        }
        if (c == '\n') {
            gotNewline = true;
            break;
        }
        line += QChar(static_cast<ushort>(static_cast<unsigned char>(c)));
    }
    // At the end of input a last line without newline still runs.
    if (!gotNewline)
        _endOfInput = true;

    MethodInput result;
    const int colon = line.indexOf(QLatin1Char(':'));
    if (colon > 0) {
        const QString keyword = line.left(colon);
        line = line.mid(colon + 1);
        const ushort first = keyword.at(0).unicode();
        if (keyword == QLatin1String("thread")) {
            result.modifier = NewThread;
        } else if (first >= '0' && first <= '9') {
            result.modifier = RunMultipleTimes;
            bool ok = false;
            const int count = keyword.toInt(&ok, 10);
            result.modifierDataInt = ok ? count : 0;
        } else {
            print("ignoring unknown keyword " + keyword.toLatin1() + "\n");
        }
    }

    result.methodName = method_name_only(line).toLatin1();

    const int paren = line.indexOf(QLatin1Char('('));
    if (paren > 0) {
        const QString rest = line.mid(paren + 1);
        const int close = rest.indexOf(QLatin1Char(')'));
        if (close >= 0) {
            const QStringList parts = rest.left(close).split(QLatin1Char(','), Qt::SkipEmptyParts);
            for (const QString& part : parts)
                result.arguments.append(QVariant(part.simplified()));
        }
    }
    return result;
}

void VDebugConsole::invokeMethod(MethodInput input)
{
    const QList<QMetaMethod> commands = commandsOf(metaObject());
    int found = -1;
    for (int i = 0; i < commands.count() && found < 0; ++i) {
        if (nameOf(commands.at(i)) == input.methodName)
            found = i;
    }
    if (found < 0) {
        print("no such method: " + input.methodName + "\n");
        printAlternateMethod(input.methodName);
        return;
    }
    // Exactly this slot is called: later overloads of the name are never
    // reached, and no other overload is picked by name.
    const QMetaMethod method = commands.at(found);
    const int argc = input.arguments.count();
    if (argc != method.parameterCount()) {
        print("please use correct form: " + method.methodSignature() + "\n");
        return;
    }
    if (argc > kMaxArguments) {
        print("can't have more than 10 arguments for a method\n");
        return;
    }

    const int repetitions = input.modifier == RunMultipleTimes ? input.modifierDataInt : 1;
    const bool isVoid = method.returnType() == QMetaType::Void;
    const QByteArray returnType = method.typeName();
    const QByteArray storedType = isSupportedType(returnType) ? returnType : QByteArray();

    for (int rep = 0; rep < repetitions; ++rep) {
        if (argc > kMaxSupportedArguments) {
            print("Error: input mode not supported (yet)\n");
            return;
        }
        CallFrame frame;
        const bool ok = frame.setArguments(method, input.arguments)
                        && method.invoke(this, Qt::DirectConnection,
                                         frame.returnArgument(returnType), frame.args[0],
                                         frame.args[1], frame.args[2]);
        if (!ok) {
            print("Error: failed to execute method " + input.methodName + "\n");
            return;
        }
        if (isVoid)
            continue;
        VCancelSafeLocker<VMutex> lock(&_lock);
        _returnValues.append(ReturnValue{frame.returned(storedType), storedType});
        printReturnValue(_nextReturnValue);
        ++_nextReturnValue;
    }
}

void VDebugConsole::printReturnValue(int index)
{
    VCancelSafeLocker<VMutex> lock(&_lock);
    if (index < 0 || index >= _returnValues.count()) {
        print("no such return value\n");
        return;
    }
    const ReturnValue& rv = _returnValues.at(index);
    QByteArray line = "$" + QByteArray::number(index) + " = (" + rv.type + ") ";
    if (rv.type == "int")
        line += QByteArray::number(rv.value.toInt());
    else if (rv.type == "bool")
        line += rv.value.toBool() ? "1" : "0";
    else if (rv.type == "QString")
        line += rv.value.toString().toLocal8Bit();
    else
        line += "UNSUPPORTED RETURN VALUE (" + rv.type + ")";
    print(line + "\n");
}

void VDebugConsole::printAlternateMethod(QByteArray text)
{
    const QByteArray prefix = text.toLower();
    QByteArray lines;
    for (const QMetaMethod& m : commandsOf(metaObject())) {
        if (nameOf(m).toLower().startsWith(prefix))
            printMethodInfo(lines, m);
    }
    if (!lines.isEmpty())
        print("Did you mean one of the following?\n" + lines);
}

void VDebugConsole::help()
{
    QByteArray text = "Available methods:\n";
    for (const QMetaMethod& m : commandsOf(metaObject()))
        printMethodInfo(text, m);
    text += "\n"
            "Also, each function can be prefixed by a modifier keyword, from the following:\n"
            "6:foo() ==> run foo() 6 times\n"
            "thread:foo() ==> run foo() in a new thread\n"
            "\n";
    print(text);
}

void VDebugConsole::retval(int returnValueIndex)
{
    printReturnValue(returnValueIndex);
}
