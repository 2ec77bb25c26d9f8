// Run-time choice between the portable digest/cipher code and the x86 SHA
// and AES instructions. Internal to the library (and its tests).
// Thread-safety: safe from any thread; force only before other threads hash or encrypt.
#ifndef VORNLIB_REDIST_CPU_FEATURES_P_H
#define VORNLIB_REDIST_CPU_FEATURES_P_H

namespace VCryptoCpu {

// The CPU has SHA-256 instructions (with SSSE3/SSE4.1) and the portable
// code is not forced.
bool useShaNi();
// The CPU has AES-NI (with SSSE3) and the portable code is not forced.
bool useAesNi();
// Forces the portable code (true) or lets the CPU features decide (false).
void forcePortable(bool on);
// Whether the CPU itself offers the instructions, whatever forcePortable says.
bool cpuHasShaNi();
bool cpuHasAesNi();

}

#endif
