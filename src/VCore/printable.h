// VPrintable: an object that can describe itself as text.
// Thread-safety is that of the implementing class.
#ifndef VORNLIB_VCORE_PRINTABLE_H
#define VORNLIB_VCORE_PRINTABLE_H

#include "VCore/vornlib_export.h"

#include <QString>

class VORN_EXPORT VPrintable
{
public:
    virtual QString toString() const = 0;
    virtual ~VPrintable() {}
};

#endif
