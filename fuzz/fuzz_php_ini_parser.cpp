// VPhpIniParser: the bytes as a stream (through a subclass, as users reach
// the protected read) and as a file given to addFile.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <VCore/vexception.h>
#include <VIO/php_ini_parser.h>

#include "fuzz_target.h"

namespace {

class StreamParser : public VPhpIniParser
{
public:
    StreamParser(const QStringList& prefixes, VPhpIniParserHandler* handler)
        : VPhpIniParser(prefixes, handler)
    {
    }
    void readStream(QTextStream& stream, const QString& filter) { read(stream, filter); }
};

// Vetoes every other directive and throws on one key, as a user's handler may.
class PickyHandler : public VPhpIniParserHandler
{
public:
    bool newDirectiveHandler(const QString& key, const QString& value) override
    {
        if (key == QLatin1String("throw"))
            throw VException("handler refused " + value);
        return (++_calls % 2) == 0;
    }

private:
    int _calls = 0;
};

// Walks every read-back call; long conversions may throw VException.
void readBack(const VPhpIniParser& parser)
{
    const auto entries = parser.entriesByDeclarationOrder();
    for (const auto& entry : entries) {
        if (!parser.contains(entry.first))
            __builtin_trap();
        (void)parser.value(entry.first);
        try {
            (void)parser.longValues(entry.first);
        } catch (const VException&) {
        }
    }
    (void)parser.entriesOrderedByKey();
    (void)parser.problems();
}

// Removed with its directory when the process exits normally.
QString scratchFile()
{
    static QTemporaryDir dir(QDir::tempPath() + "/vorn_fuzz_ini_XXXXXX");
    return dir.filePath(QStringLiteral("input.ini"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray input = vfuzz::bytes(data, size);

    {
        StreamParser parser(QStringList(QString()), nullptr);
        QTextStream stream(&input, QIODevice::ReadOnly);
        parser.readStream(stream, QString());
        readBack(parser);
    }
    {
        // A filter, prefixes and a handler take the other branches.
        PickyHandler handler;
        StreamParser parser(QStringList() << "a" << "th" << "k", &handler);
        QBuffer buffer(&input);
        buffer.open(QIODevice::ReadOnly);
        QTextStream stream(&buffer);
        try {
            parser.readStream(stream, input.size() % 2 ? QStringLiteral(" a ") : QString());
        } catch (const VException&) {
        }
        readBack(parser);
    }
    {
        QFile file(scratchFile());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(input) != input.size())
            return 0;
        file.close();
        VPhpIniParser parser(QStringList(QString()), nullptr);
        parser.addFile(file.fileName());
        parser.addFile(file.fileName());
        readBack(parser);
    }
    return 0;
}
