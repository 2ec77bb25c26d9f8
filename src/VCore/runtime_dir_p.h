// Where the library keeps its per-installation files (semaphore key files,
// single-instance lock files). Not installed.
// Thread-safe: reads the environment only.
#ifndef VORNLIB_VCORE_RUNTIME_DIR_P_H
#define VORNLIB_VCORE_RUNTIME_DIR_P_H

#include <cstdlib>

#include <QByteArray>

// "<dir>/<fileName><suffix>": dir is VORN_TMPDIR, else TMPDIR, else "/tmp"
// (a variable that is set but empty counts as set); suffix is the value of
// INSTALLATION_UID when it is set.
inline QByteArray vRuntimeFilePath(const QByteArray& fileName)
{
    const char* dir = std::getenv("VORN_TMPDIR");
    if (!dir)
        dir = std::getenv("TMPDIR");
    QByteArray path(dir ? dir : "/tmp");
    path += '/';
    path += fileName;
    if (const char* suffix = std::getenv("INSTALLATION_UID"))
        path += suffix;
    return path;
}

#endif
