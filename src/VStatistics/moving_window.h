// The statistics unit: holds only an empty function.
// Thread-safe: it does nothing.
#ifndef VORNLIB_VSTATISTICS_MOVING_WINDOW_H
#define VORNLIB_VSTATISTICS_MOVING_WINDOW_H

#include "VCore/vornlib_export.h"

VORN_EXPORT void _no_op_func();

#endif
