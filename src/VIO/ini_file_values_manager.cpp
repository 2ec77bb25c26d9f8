#include "VIO/ini_file_values_manager.h"

#include <algorithm>

#include <QDir>

#include "VCore/vexception.h"

namespace {

const char* const SOURCE_FILE = "VIO/ini_file_values_manager";
// Line numbers are part of the exception texts callers match on.
const quint32 LINE_NOT_A_DIRECTORY = 29;
const quint32 LINE_NOT_A_FILE = 73;
const quint32 LINE_BAD_ENTRY = 97;
const quint32 LINE_NOT_DEFINED = 128;

// Every key is taken, and no handler vetoes.
QStringList allKeys()
{
    return QStringList(QStringLiteral(""));
}

} // namespace

VIniFileValuesManager::VIniFileValuesManager(
    const QStringList& iniFiles, const QHash<QString, VParameterDescriptor>& parameterDescriptorsHash)
    : _newValuesParser(allKeys(), nullptr)
{
    for (const QString& entry : iniFiles) {
        const QFileInfo info(entry);
        if (info.isDir())
            addIniDir(info);
        else if (info.isFile())
            addIniFile(info);
        else
            throw VException(QString("Error to access the %1 file (is not a regular file/directory "
                                     "or it does not exists)")
                                 .arg(entry),
                             SOURCE_FILE, LINE_BAD_ENTRY);
    }
    for (const VParameterDescriptor& descriptor : parameterDescriptorsHash) {
        // An empty default is a default; a null one is none.
        if (!descriptor.getDefaultValue().isNull() && !_parametersHash.contains(descriptor.getName()))
            setValue(descriptor.getName(), descriptor.getDefaultValue());
    }
}

VIniFileValuesManager::~VIniFileValuesManager()
{
}

void VIniFileValuesManager::addIniFile(const QFileInfo& fileInfo)
{
    const QString path = fileInfo.absoluteFilePath();
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || !info.isReadable())
        throw VException(QString("Error to access the %1 file (is not a regular file, does not "
                                 "exists, wrong permissions or is not readable)")
                             .arg(path),
                         SOURCE_FILE, LINE_NOT_A_FILE);

    // Read into a fresh parser first: a failing re-read leaves the earlier
    // reading of this path in place.
    std::unique_ptr<VPhpIniParser> parser(new VPhpIniParser(allKeys(), nullptr));
    parser->addFile(path);
    VPhpIniParser* fresh = parser.get();
    _parsers.push_back(std::move(parser));

    VPhpIniParser* previous = _parsersHash.value(path, nullptr);
    if (!previous)
        _filesRead.append(path);
    _parsersHash.insert(path, fresh);
    const QHash<QString, QList<QString>> entries = fresh->entriesOrderedByKey();
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it)
        _parametersHash.insert(it.key(), fresh);
    if (previous)
        releaseIfUnused(previous);
}

void VIniFileValuesManager::addIniDir(const QFileInfo& dirInfo)
{
    const QString path = dirInfo.absoluteFilePath();
    const QFileInfo info(path);
    if (!info.exists() || !info.isDir() || !info.isReadable())
        throw VException(QString("Error to access the %1 file (is not a directory file, does not "
                                 "exists, wrong permissions or is not readable)")
                             .arg(path),
                         SOURCE_FILE, LINE_NOT_A_DIRECTORY);
    // Every readable regular file, whatever its name; QDir's default sort.
    // The listing keeps links to FIFOs and devices: they are skipped.
    const QStringList names =
        QDir(path).entryList(QDir::Files | QDir::Readable | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QFileInfo file(path + QLatin1Char('/') + name);
        if (file.isFile())
            addIniFile(file);
    }
}

void VIniFileValuesManager::addIniFile(const QString& path)
{
    addIniFile(QFileInfo(path));
}

void VIniFileValuesManager::addIniDir(const QString& path)
{
    addIniDir(QFileInfo(path));
}

const QString VIniFileValuesManager::getValue(const QString& name) const
{
    const auto it = _parametersHash.constFind(name);
    if (it == _parametersHash.constEnd())
        throw VException(QString("The parameter '%1' is not defined in any of the INI file(s): %2")
                             .arg(name, _filesRead.join(QStringLiteral(", "))),
                         SOURCE_FILE, LINE_NOT_DEFINED);
    return it.value()->value(name);
}

void VIniFileValuesManager::setValue(const QString& name, const QString& value)
{
    const auto it = _parametersHash.constFind(name);
    if (it != _parametersHash.constEnd()) {
        it.value()->setString(name, value);
        return;
    }
    _newValuesParser.setString(name, value);
    _parametersHash.insert(name, &_newValuesParser);
}

bool VIniFileValuesManager::containsValue(const QString& name) const
{
    return _parametersHash.contains(name);
}

const INI_VALUES_LIST_t VIniFileValuesManager::getValuesList() const
{
    QStringList names = _parametersHash.keys();
    names.sort();
    INI_VALUES_LIST_t result;
    result.reserve(names.size());
    for (const QString& name : names)
        result.append(qMakePair(name.toLocal8Bit(), _parametersHash.value(name)->value(name).toLocal8Bit()));
    return result;
}

void VIniFileValuesManager::releaseIfUnused(VPhpIniParser* parser)
{
    for (auto it = _parametersHash.constBegin(); it != _parametersHash.constEnd(); ++it) {
        if (it.value() == parser)
            return;
    }
    _parsers.erase(std::remove_if(_parsers.begin(), _parsers.end(),
                                  [parser](const std::unique_ptr<VPhpIniParser>& p) {
                                      return p.get() == parser;
                                  }),
                   _parsers.end());
}
