// VDbInitData: the settings of a connection pool, implemented by the
// application and handed to the VDb constructor (which reads them once).
// Thread-safety: read only in the VDb constructor; no state of its own.
#ifndef VORNLIB_VDB_VDBINITDATA_H
#define VORNLIB_VDB_VDBINITDATA_H

#include "VCore/vornlib_export.h"

#include <QString>

class QTextStream;

class VORN_EXPORT VDbInitData
{
public:
    virtual ~VDbInitData();
    virtual QString getUserName();
    // Qt SQL driver name: "QMYSQL", "QSQLITE" or any driver Qt can load.
    virtual QString getDbType();
    // For "QSQLITE" the database file.
    virtual QString getDbName();
    virtual QString getPassword();
    virtual QString getConnectOptions();
    virtual QString getHostName();
    virtual uint getPort();
    // The statements XML; not owned, must outlive the pool.
    virtual QTextStream* getQueriesXml();
};

#endif
