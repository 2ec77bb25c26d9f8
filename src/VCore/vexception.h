// VException: the one exception class of the library.
// Thread-safe for concurrent reads: the text is built once, at construction.
// Operations documented as "only VException leaves it" let no other
// exception type escape.
#ifndef VORNLIB_VCORE_VEXCEPTION_H
#define VORNLIB_VCORE_VEXCEPTION_H

#include "VCore/vornlib_export.h"

#include <exception>

#include <QByteArray>
#include <QString>

class VORN_EXPORT VException : public std::exception
{
public:
    explicit VException(const char* message)
        : _message(QString::fromLatin1(message)), _file(nullptr), _line(0) { build(); }
    explicit VException(const QString& message)
        : _message(message), _file(nullptr), _line(0) { build(); }
    VException(const char* message, const char* file, quint32 line)
        : _message(QString::fromLatin1(message)), _file(file), _line(line) { build(); }
    VException(const QString& message, const char* file, quint32 line)
        : _message(message), _file(file), _line(line) { build(); }
    VException(const VException& other)
        : std::exception(other), _message(other._message), _local8Bit(other._local8Bit),
          _file(other._file), _line(other._line) {}

    // Nested forms: the new message, then " (cause: ", the cause's text, ")".
    VException(const VException& cause, const char* message)
        : _message(nested(cause, QString::fromLatin1(message))), _file(nullptr), _line(0) { build(); }
    VException(const VException& cause, const char* message, const char* file, quint32 line)
        : _message(nested(cause, QString::fromLatin1(message))), _file(file), _line(line) { build(); }
    VException(const VException& cause, const QString& message)
        : _message(nested(cause, message)), _file(nullptr), _line(0) { build(); }
    VException(const VException& cause, const QString& message, const char* file, quint32 line)
        : _message(nested(cause, message)), _file(file), _line(line) { build(); }

    ~VException() override;

    // "file:line message" when a line was given, else the message alone,
    // as 8-bit (Latin-1) text; valid while the exception lives.
    const char* what() const noexcept override;

    const char* getFile() const { return _file; }
    quint32 getLine() const { return _line; }

private:
    VException& operator=(const VException&) = delete;

    void build();
    static QString nested(const VException& cause, const QString& message);

    QString _message;
    QByteArray _local8Bit;
    const char* _file;
    const quint32 _line;
};

#endif
