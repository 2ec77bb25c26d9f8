// VDbConfigReader: the process-wide table of named SQL statements, filled
// from statements XML ("statement" elements with "name" and "sql" at any
// depth; a later definition of a name replaces the earlier).
// Thread-safe, except release(): call it only when no connection exists (they keep its pointer).
// The table is shared by every pool of the process, so two pools
// defining one name overwrite each other, and after release() the pools
// cannot refill it (their streams were read already).
#ifndef VORNLIB_VDB_VDBCONFIGREADER_H
#define VORNLIB_VDB_VDBCONFIGREADER_H

#include "VCore/vornlib_export.h"

#include <QDomDocument>
#include <QDomElement>
#include <QMap>
#include <QReadWriteLock>
#include <QString>

class QTextStream;

class VORN_EXPORT VDbConfigReader
{
public:
    // Created empty on the first call and after each release().
    static VDbConfigReader* instance();
    static void release();

    // Reads the rest of the stream as one XML document and adds its
    // statements. Broken XML logs one warning on VDb::VDbLog; what was read
    // before the error is kept. A null stream does nothing.
    void parse(QTextStream* xmlStream);

    // The stored SQL text, or "" for an unknown name.
    QString getStatement(const QString& name) const;

private:
    VDbConfigReader();
    ~VDbConfigReader();
    VDbConfigReader(const VDbConfigReader&) = delete;
    VDbConfigReader& operator=(const VDbConfigReader&) = delete;

    void doParseStatement(QDomElement element);

    QDomDocument m_doc;
    QMap<QString, QString> m_statements;
    mutable QReadWriteLock m_lock;

    static VDbConfigReader* ms_instance;
};

#endif
