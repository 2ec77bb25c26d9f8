// VParameterValuesManager: the source of parameter values by name.
// Thread-safety: as the implementing class.
#ifndef VORNLIB_VIO_PARAMETER_VALUES_MANAGER_H
#define VORNLIB_VIO_PARAMETER_VALUES_MANAGER_H

#include "VCore/vornlib_export.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// (name, value) pairs in the local 8-bit encoding.
typedef QList<QPair<QByteArray, QByteArray>> INI_VALUES_LIST_t;

class VORN_EXPORT VParameterValuesManager
{
public:
    virtual const QString getValue(const QString& name) const = 0;
    virtual void setValue(const QString& name, const QString& value) = 0;
    virtual bool containsValue(const QString& name) const = 0;
    virtual const INI_VALUES_LIST_t getValuesList() const = 0;
    virtual ~VParameterValuesManager() {}
};

#endif
