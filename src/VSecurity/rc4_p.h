// Test hook for VRc4's piecewise processing of long buffers.
#ifndef VORNLIB_VSECURITY_RC4_P_H
#define VORNLIB_VSECURITY_RC4_P_H

namespace VRc4Internal {

// Largest piece handed to arc4_crypt at once; 0 restores INT_MAX.
void setChunkLimit(long limit);

}

#endif
