#include "VCore/vexception.h"

VException::~VException() = default;

void VException::build()
{
    if (_line != 0) {
        const QString file = _file ? QString::fromLatin1(_file) : QString();
        _message.prepend(QStringLiteral("%1:%2 ").arg(file).arg(_line));
    }
    _local8Bit = _message.toLatin1();
}

QString VException::nested(const VException& cause, const QString& message)
{
    return message + QLatin1String(" (cause: ") + QString::fromLatin1(cause.what())
           + QLatin1Char(')');
}

const char* VException::what() const noexcept
{
    return _local8Bit.constData();
}
