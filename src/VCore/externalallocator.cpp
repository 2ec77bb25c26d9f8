#include "VCore/externalallocator.h"

void* ExternalAllocator::_segBase = nullptr;
size_t ExternalAllocator::_segSize = 0;
size_t ExternalAllocator::_offsetFromBase = 0;
