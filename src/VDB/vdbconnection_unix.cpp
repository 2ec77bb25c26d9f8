#include "VDB/vdbconnection_p.h"

#include <dlfcn.h>

#include <memory>

#include <QByteArray>
#include <QMetaObject>
#include <QSqlDriver>
#include <QVariant>

#include <mysql.h>

// The session state of Qt's MySQL driver is read from the client library
// that plugin already runs on: nothing is loaded or linked here, and a
// client library other than MariaDB Connector/C 3.x is never read.
namespace {

struct DlClose
{
    void operator()(void* handle) const { dlclose(handle); }
};
using DlHandle = std::unique_ptr<void, DlClose>;

using GetInfo = my_bool (*)(MYSQL*, enum mariadb_value, void*, ...);

// Load address of the object that `name` resolves to from `handle`.
const void* definer(void* handle, const char* name)
{
    void* symbol = dlsym(handle, name);
    Dl_info info;
    return symbol && dladdr(symbol, &info) ? info.dli_fbase : nullptr;
}

struct ClientLibrary
{
    // RTLD_NOLOAD: only a library some plugin already brought in.
    DlHandle handle{dlopen("libmariadb.so.3", RTLD_LAZY | RTLD_NOLOAD)};
    const void* base = nullptr;
    GetInfo getInfo = nullptr;

    ClientLibrary()
    {
        if (!handle)
            return;
        const auto version = reinterpret_cast<unsigned long (*)()>(dlsym(handle.get(), "mysql_get_client_version"));
        if (!version || version() / 10000 != 3)
            return;
        base = definer(handle.get(), "mysql_init");
        getInfo = reinterpret_cast<GetInfo>(dlsym(handle.get(), "mariadb_get_infov"));
    }
};

// Only asked once a MySQL driver exists, so its plugin is loaded by then.
const ClientLibrary& clientLibrary()
{
    static const ClientLibrary library;
    return library;
}

// The driver's MYSQL handle; named "MYSQL*" by Qt 5, "st_mysql*" by Qt 6.
MYSQL* mysqlOf(const QSqlDriver* driver)
{
    if (!driver || driver->dbmsType() != QSqlDriver::MySqlServer)
        return nullptr;
    const QVariant handle = driver->handle();
    const char* type = handle.typeName();
    if (qstrcmp(type, "MYSQL*") != 0 && qstrcmp(type, "st_mysql*") != 0)
        return nullptr;
    return *static_cast<MYSQL* const*>(handle.constData());
}

} // namespace

bool vdbServerStatusReadable(const QSqlDatabase& db)
{
    const QSqlDriver* driver = db.driver();
    if (!mysqlOf(driver))
        return false;
    const ClientLibrary& library = clientLibrary();
    if (!library.getInfo || !library.base)
        return false;
    // The plugin holding the driver must take its client calls from that
    // library, and no library of the global scope may stand in front of it.
    Dl_info info;
    if (!dladdr(driver->metaObject(), &info) || !info.dli_fname)
        return false;
    const DlHandle plugin(dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD));
    const void* global = definer(RTLD_DEFAULT, "mysql_init");
    return plugin && definer(plugin.get(), "mysql_init") == library.base && (!global || global == library.base);
}

bool vdbServerStatus(const QSqlDatabase& db, bool* inTransaction, bool* autocommit)
{
    const GetInfo getInfo = clientLibrary().getInfo;
    MYSQL* mysql = db.isOpen() ? mysqlOf(db.driver()) : nullptr;
    if (!getInfo || !mysql)
        return false;
    // The client library drops the connection at its first failure and
    // clears the flags at the next statement: without one they say nothing.
    unsigned int type = 0;
    unsigned int status = 0;
    if (getInfo(mysql, MARIADB_CONNECTION_PVIO_TYPE, &type) || getInfo(mysql, MARIADB_CONNECTION_SERVER_STATUS, &status))
        return false;
    *inTransaction = (status & SERVER_STATUS_IN_TRANS) != 0;
    *autocommit = (status & SERVER_STATUS_AUTOCOMMIT) != 0;
    return true;
}
