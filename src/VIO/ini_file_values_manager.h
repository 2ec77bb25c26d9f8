// VIniFileValuesManager: parameter values read from php.ini-style files and
// directories (the file read last wins), declared defaults filled in for
// names no file defines, and values set in memory. Never writes a file.
// Thread-safety: none; one manager is used by one thread at a time.
#ifndef VORNLIB_VIO_INI_FILE_VALUES_MANAGER_H
#define VORNLIB_VIO_INI_FILE_VALUES_MANAGER_H

#include "VCore/vornlib_export.h"

#include <memory>
#include <vector>

#include <QFileInfo>
#include <QHash>
#include <QString>
#include <QStringList>

#include "VIO/parameter_descriptor.h"
#include "VIO/parameter_values_manager.h"
#include "VIO/php_ini_parser.h"

class VORN_EXPORT VIniFileValuesManager : public VParameterValuesManager
{
public:
    // Reads every directory and file of iniFiles in order, then sets the
    // non-null default of every descriptor whose name no file defines.
    // Throws VException; parsers made so far are released.
    VIniFileValuesManager(const QStringList& iniFiles,
                          const QHash<QString, VParameterDescriptor>& parameterDescriptorsHash);
    ~VIniFileValuesManager() override;

    VIniFileValuesManager(const VIniFileValuesManager&) = delete;
    VIniFileValuesManager& operator=(const VIniFileValuesManager&) = delete;

    // Reads (again) one readable regular file; it takes over every name it
    // defines. When reading fails, the earlier state stays in force.
    void addIniFile(const QFileInfo& fileInfo);
    // Reads every readable, not hidden regular file of a directory, in
    // name order ignoring case (no name filter).
    void addIniDir(const QFileInfo& dirInfo);
    void addIniFile(const QString& path);
    void addIniDir(const QString& path);

    const QString getValue(const QString& name) const override;
    void setValue(const QString& name, const QString& value) override;
    bool containsValue(const QString& name) const override;
    // Sorted by name.
    const INI_VALUES_LIST_t getValuesList() const override;

private:
    void releaseIfUnused(VPhpIniParser* parser);

    // Owns every parser made for a file; the hashes below only point into it.
    std::vector<std::unique_ptr<VPhpIniParser>> _parsers;
    // Absolute path -> the latest reading of that file.
    QHash<QString, VPhpIniParser*> _parsersHash;
    // The keys of _parsersHash in the order the files were first read.
    QStringList _filesRead;
    // Parameter name -> the parser whose value is in force.
    QHash<QString, VPhpIniParser*> _parametersHash;
    VPhpIniParser _newValuesParser;
};

#endif
