#include "type_info.h"

// The one instantiation the library uses, compiled once here.
template class VTypeInfo_t<VMD5>;
