#include "VDB/vdbconfigreader.h"

#include <mutex>

#include <QDomNodeList>
#include <QTextStream>

#include "VCore/cancel_guard_p.h"
#include "VCore/xml_depth_guard_p.h"
#include "VDB/vdb.h"
#include "VDebug/debug.h"

VDbConfigReader* VDbConfigReader::ms_instance = nullptr;

namespace {
// Never destroyed: threads may still ask for the instance at exit.
std::mutex& instanceMutex()
{
    static std::mutex& m = *new std::mutex;
    return m;
}
}

VDbConfigReader::VDbConfigReader() {}

VDbConfigReader::~VDbConfigReader() {}

VDbConfigReader* VDbConfigReader::instance()
{
    std::lock_guard<std::mutex> lock(instanceMutex());
    if (!ms_instance)
        ms_instance = new VDbConfigReader;
    return ms_instance;
}

void VDbConfigReader::release()
{
    std::lock_guard<std::mutex> lock(instanceMutex());
    delete ms_instance;
    ms_instance = nullptr;
}

void VDbConfigReader::parse(QTextStream* xmlStream)
{
    if (!xmlStream)
        return;
    // The write lock also serialises reading the stream: connections of one
    // pool opened in several threads share the pool's stream. Reading it may
    // reach a cancellation point while the table is locked.
    VCancelGuard noCancel;
    QWriteLocker lock(&m_lock);
    m_doc = QDomDocument(QStringLiteral("VDbConfigReader"));
    const QString text = xmlStream->readAll();
    QString error;
    int line = 0;
    int column = 0;
    if (!vSetXmlContent(&m_doc, text, &error, &line, &column) && !text.isEmpty()) {
        VWARNING(VDb::VDbLog) << "Statements XML is not well-formed:" << error
                              << "at line" << line << "column" << column << endl;
    }
    // The document keeps what was parsed before an error.
    const QDomNodeList nodes = m_doc.elementsByTagName(QStringLiteral("statement"));
    for (int i = 0; i < nodes.count(); ++i)
        doParseStatement(nodes.at(i).toElement());
}

void VDbConfigReader::doParseStatement(QDomElement element)
{
    if (element.isNull())
        return;
    const QString name = element.attribute(QStringLiteral("name"), QString());
    const QString sql = element.attribute(QStringLiteral("sql"), QString());
    m_statements[name] = sql;
}

QString VDbConfigReader::getStatement(const QString& name) const
{
    QReadLocker lock(&m_lock);
    return m_statements.value(name, QStringLiteral(""));
}
