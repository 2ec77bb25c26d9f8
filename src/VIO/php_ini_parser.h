// VPhpIniParser: reads php.ini-style text (key = value lines, ";" comments,
// "[section]" lines) from files, directories of "*.ini" files or streams into
// a table that keeps every value of every key and the declaration order.
// Thread-safety: none; one parser is used by one thread at a time.
#ifndef VORNLIB_VIO_PHP_INI_PARSER_H
#define VORNLIB_VIO_PHP_INI_PARSER_H

#include "VCore/vornlib_export.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include "VCore/vexception.h"

// Veto callback for directives; implemented by the user.
// Thread-safety: as the implementing class.
class VORN_EXPORT VPhpIniParserHandler
{
public:
    virtual ~VPhpIniParserHandler() {}
    // Called for each directive that passed the syntax, the prefixes and the
    // filter, just before it is stored: true stores it, false drops it.
    virtual bool newDirectiveHandler(const QString& key, const QString& value) = 0;
};

class VORN_EXPORT VPhpIniParser
{
public:
    // A prefix list holding "" accepts every key; an empty list accepts none.
    // The handler (may be null) is not owned.
    VPhpIniParser(const QStringList& prefixes, VPhpIniParserHandler* handler);
    ~VPhpIniParser();

    VPhpIniParser(const VPhpIniParser&) = delete;
    VPhpIniParser& operator=(const VPhpIniParser&) = delete;

    // Parse one regular file / every readable "*.ini" regular file of a
    // directory (links to one count; FIFOs and devices are skipped), then
    // record the path as given. Throw VException on a bad path or a file
    // that cannot be opened; an exception from the handler passes through.
    void addFile(const QString& path);
    void addDirectory(const QString& path);

    // The key's last value; null when it has none.
    QString value(const QString& key) const;
    QString stringValue(const QString& key) const;
    // value(key) as a decimal long; throws VException when it is not one.
    long longValue(const QString& key) const;

    // Every value of the key, oldest first.
    QList<QString> values(const QString& key) const;
    QList<QString> stringValues(const QString& key) const;
    QList<long> longValues(const QString& key) const;

    bool contains(const QString& key) const;

    // Replaces all values of the key; the key keeps its first place in the
    // declaration order.
    void setString(const QString& key, const QString& value);
    // Stores one more value for the key.
    void addString(const QString& key, const QString& value);
    void setLong(const QString& key, long value);
    void addLong(const QString& key, long value);

    // A copy of the key table; its iteration order is hash order.
    QHash<QString, QList<QString>> entriesOrderedByKey() const;
    // Every stored (key, value) pair in the order of storing.
    QList<QPair<QString, QString>> entriesByDeclarationOrder() const;

    // Files and directories added so far, as passed, in call order.
    const QStringList& path() const;

    // Every line skipped for its syntax so far, as "<source>:<line>: <notice>"
    // (the same lines are also written as notices on VDebug::STDERR).
    const QStringList& problems() const;

protected:
    // Parses the rest of the stream; a non-empty filter stores only the key
    // that equals it (trimmed).
    void read(QTextStream& stream, const QString& filter);

private:
    // False, reading nothing, when the path is not a regular file.
    bool read(const QString& path, const QString& filter);
    void parseText(const QString& text, const QString& filter, const QString& source);
    void reportLine(const QString& source, int lineNo, const QString& line, bool missingQuote);
    static long toLongValue(const QString& value, const QString& key);

    QHash<QString, QList<QString>> _directives;
    QList<QPair<QString, unsigned int>> _keysOrdered;
    QStringList _prefix_list;
    QTextStream _stream;
    QStringList _path;
    VPhpIniParserHandler* _handler;
    QStringList _problems;
};

#endif
