// VDbConfigReader: the bytes as statements XML on a text stream.
#include <QIODevice>
#include <QTextStream>

#include <VDB/vdb.h>
#include <VDB/vdbconfigreader.h>
#include <VDebug/debug.h>

#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Every broken input logs a warning; the fuzzer's output is no place for it.
    static const bool quiet = (VDebug::setDebugLevel(VDb::VDbLog, VDebug::VERROR), true);
    (void)quiet;
    QByteArray input = vfuzz::bytes(data, size);
    QTextStream stream(&input, QIODevice::ReadOnly);
    VDbConfigReader* reader = VDbConfigReader::instance();
    reader->parse(&stream);
    (void)reader->getStatement(QStringLiteral("a"));
    // The stream is at its end now: a second parse adds nothing.
    reader->parse(&stream);
    VDbConfigReader::release();
    return 0;
}
