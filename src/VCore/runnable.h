// VRunnable: a piece of work that a VThread runs.
// Thread-safety is that of the implementing class.
#ifndef VORNLIB_VCORE_RUNNABLE_H
#define VORNLIB_VCORE_RUNNABLE_H

#include "VCore/vornlib_export.h"

class VORN_EXPORT VRunnable
{
public:
    virtual void run() = 0;
    virtual ~VRunnable() {}
};

#endif
