// ExternalAllocator: a segment description kept for source compatibility;
// nothing in the library uses it.
// Thread-safety: plain static data, unsynchronised.
#ifndef VORNLIB_VCORE_EXTERNALALLOCATOR_H
#define VORNLIB_VCORE_EXTERNALALLOCATOR_H

#include "VCore/vornlib_export.h"

#include <cstddef>

class VORN_EXPORT ExternalAllocator
{
public:
    static void* _segBase;
    static size_t _segSize;
    static size_t _offsetFromBase;
};

#endif
