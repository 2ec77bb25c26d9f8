#include "VIO/php_ini_parser.h"

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include "VCore/qtcompat_p.h"
#include "VCore/regular_file_p.h"
#include "VDebug/debug.h"

namespace {

const char* const SOURCE_FILE = "VIO/php_ini_parser";
// Line numbers are part of the exception texts callers match on.
const quint32 LINE_NOT_REGULAR_FILE = 35;
const quint32 LINE_NOT_DIRECTORY = 97;
const quint32 LINE_CANT_OPEN = 299;

const QChar QUOTE('"');
const QChar COMMENT(';');

// Detaches the member stream from a file on every way out of a read, so the
// stream never points at a closed QFile.
class StreamDeviceGuard
{
public:
    // setDevice also resets the codec to the default (the locale's on Qt 5,
    // UTF-8 on Qt 6) with BOM detection on, so one file's BOM never decides
    // how the next file is decoded.
    StreamDeviceGuard(QTextStream& stream, QIODevice* device) : _stream(stream)
    {
        _stream.setDevice(device);
    }
    ~StreamDeviceGuard() { _stream.setDevice(nullptr); }

    StreamDeviceGuard(const StreamDeviceGuard&) = delete;
    StreamDeviceGuard& operator=(const StreamDeviceGuard&) = delete;

private:
    QTextStream& _stream;
};

} // namespace

VPhpIniParser::VPhpIniParser(const QStringList& prefixes, VPhpIniParserHandler* handler)
    : _prefix_list(prefixes), _handler(handler)
{
}

VPhpIniParser::~VPhpIniParser()
{
}

void VPhpIniParser::addFile(const QString& path)
{
    // The second check catches a path swapped for a special file meanwhile.
    if (!QFileInfo(path).isFile() || !read(path, QString()))
        throw VException(QString("Error: \"%1\" is not a regular file").arg(path),
                         SOURCE_FILE, LINE_NOT_REGULAR_FILE);
    _path.append(path);
}

void VPhpIniParser::addDirectory(const QString& path)
{
    if (!QFileInfo(path).isDir())
        throw VException(QString("Error: \"%1\" is not a directory").arg(path),
                         SOURCE_FILE, LINE_NOT_DIRECTORY);
    // No sort flag: QDir's default applies (by name, ignoring case). The
    // listing keeps links to FIFOs and devices: they are skipped here, and by
    // read() when one takes a listed file's place.
    const QStringList names = QDir(path).entryList(
        QStringList(QStringLiteral("*.ini")), QDir::Files | QDir::Readable | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QString file = path + QDir::separator() + name;
        if (QFileInfo(file).isFile())
            read(file, QString());
    }
    _path.append(path);
}

QString VPhpIniParser::value(const QString& key) const
{
    const auto it = _directives.constFind(key);
    if (it == _directives.constEnd() || it->isEmpty())
        return QString();
    return it->last();
}

QString VPhpIniParser::stringValue(const QString& key) const
{
    return value(key);
}

long VPhpIniParser::longValue(const QString& key) const
{
    return toLongValue(value(key), key);
}

QList<QString> VPhpIniParser::values(const QString& key) const
{
    return _directives.value(key);
}

QList<QString> VPhpIniParser::stringValues(const QString& key) const
{
    return values(key);
}

QList<long> VPhpIniParser::longValues(const QString& key) const
{
    QList<long> result;
    for (const QString& v : _directives.value(key))
        result.append(toLongValue(v, key));
    return result;
}

bool VPhpIniParser::contains(const QString& key) const
{
    return _directives.contains(key);
}

void VPhpIniParser::setString(const QString& key, const QString& value)
{
    const auto it = _directives.find(key);
    if (it == _directives.end()) {
        _keysOrdered.append(qMakePair(key, 0u));
        _directives.insert(key, QList<QString>() << value);
        return;
    }
    // A key has one declaration entry per value: with one value there is
    // nothing to drop. Otherwise keep its first entry (index 0) and drop the
    // later ones in one pass.
    if (it->size() > 1) {
        _keysOrdered.erase(std::remove_if(_keysOrdered.begin(), _keysOrdered.end(),
                                          [&key](const QPair<QString, unsigned int>& entry) {
                                              return entry.second != 0 && entry.first == key;
                                          }),
                           _keysOrdered.end());
    }
    *it = QList<QString>() << value;
}

void VPhpIniParser::addString(const QString& key, const QString& value)
{
    const auto it = _directives.find(key);
    if (it == _directives.end()) {
        setString(key, value);
        return;
    }
    it->append(value);
    _keysOrdered.append(qMakePair(key, static_cast<unsigned int>(it->size() - 1)));
}

void VPhpIniParser::setLong(const QString& key, long value)
{
    setString(key, QString::number(value, 10));
}

void VPhpIniParser::addLong(const QString& key, long value)
{
    addString(key, QString::number(value, 10));
}

QHash<QString, QList<QString>> VPhpIniParser::entriesOrderedByKey() const
{
    return _directives;
}

QList<QPair<QString, QString>> VPhpIniParser::entriesByDeclarationOrder() const
{
    QList<QPair<QString, QString>> result;
    result.reserve(_keysOrdered.size());
    for (const auto& entry : _keysOrdered)
        result.append(qMakePair(entry.first, _directives.value(entry.first).at(entry.second)));
    return result;
}

const QStringList& VPhpIniParser::path() const
{
    return _path;
}

const QStringList& VPhpIniParser::problems() const
{
    return _problems;
}

void VPhpIniParser::read(QTextStream& stream, const QString& filter)
{
    parseText(stream.readAll(), filter, QStringLiteral("<stream>"));
}

bool VPhpIniParser::read(const QString& path, const QString& filter)
{
    VUniqueFd fd;
    const VRegularFileOpen opened = vOpenRegularFile(path, &fd);
    if (opened == VRegularFileOpen::NotRegular)
        return false;
    // QIODevice::Text drops every CR while reading (so a lone CR vanishes).
    QFile file;
    if (opened == VRegularFileOpen::Failed
        || !file.open(fd.get(), QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle))
        throw VException(QString("Error: can't open \"%1\" for parsing").arg(path),
                         SOURCE_FILE, LINE_CANT_OPEN);
    fd.release();
    QString text;
    {
        StreamDeviceGuard guard(_stream, &file);
        text = _stream.readAll();
    }
    file.close();
    parseText(text, filter, path);
    return true;
}

void VPhpIniParser::reportLine(const QString& source, int lineNo, const QString& line,
                               bool missingQuote)
{
    const char* tail = missingQuote ? "'. missing closing quote." : "'";
    VNOTICE(VDebug::STDERR) << "VPhpIniParser: couldn't parse '" << line << tail << endl;
    _problems.append(QString("%1:%2: couldn't parse '%3%4")
                         .arg(source, QString::number(lineNo), line, QLatin1String(tail)));
}

void VPhpIniParser::parseText(const QString& rawText, const QString& filter, const QString& source)
{
    QString text = rawText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const QString wanted = filter.trimmed();
    const bool filtered = !filter.isEmpty();

    const QVector<VStringPiece> lines = vSplitPieces(text, QChar('\n'));
    for (int lineIndex = 0; lineIndex < lines.size(); ++lineIndex) {
        const QString line = lines.at(lineIndex).trimmed().toString();
        const int lineNo = lineIndex + 1;

        if (line.startsWith(QChar('[')) && line.endsWith(QChar(']')))
            continue;
        if (line.isEmpty() || line.startsWith(COMMENT))
            continue;

        const int eq = line.indexOf(QChar('='));
        if (eq <= 0) {
            reportLine(source, lineNo, line, false);
            continue;
        }
        const QString key = line.left(eq).trimmed();
        QString value = line.mid(eq + 1).trimmed();

        int commentFrom = 0;
        if (value.startsWith(QUOTE)) {
            const int closing = value.indexOf(QUOTE, 1);
            if (closing < 0) {
                reportLine(source, lineNo, line, true);
                continue;
            }
            // A ";" between the quotes belongs to the value.
            commentFrom = closing + 1;
        }
        // A ";" at index 0 cuts nothing: the value keeps it.
        const int comment = value.indexOf(COMMENT, commentFrom);
        if (comment > 0)
            value = value.left(comment).trimmed();

        if (value.startsWith(QUOTE)) {
            if (!value.endsWith(QUOTE)) {
                reportLine(source, lineNo, line, true);
                continue;
            }
            value = value.mid(1, value.size() - 2);
        }

        bool accepted = false;
        for (const QString& prefix : _prefix_list) {
            if (key.startsWith(prefix)) {
                accepted = true;
                break;
            }
        }
        if (!accepted)
            continue;
        if (filtered && key != wanted)
            continue;
        if (_handler && !_handler->newDirectiveHandler(key, value))
            continue;
        addString(key, value);
    }
}

long VPhpIniParser::toLongValue(const QString& value, const QString& key)
{
    bool ok = false;
    const long result = vIntegerText(value).toLong(&ok, 10);
    if (!ok)
        throw VException(QString("can't convert value %1 to long (the key is %2)").arg(value, key));
    return result;
}
