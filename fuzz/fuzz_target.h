// Shared bits of the fuzz targets: the entry point every target defines and
// the conversion of the raw input into the Qt types the library takes.
#ifndef VORNLIB_FUZZ_FUZZ_TARGET_H
#define VORNLIB_FUZZ_FUZZ_TARGET_H

#include <cstddef>
#include <cstdint>

#include <QByteArray>
#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional: run once before the first input (libFuzzer's convention).
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace vfuzz {

// Inputs beyond this are cut: a longer input finds little a shorter one does
// not and only slows the run. A target that must show it reads in linear time
// raises it (VFUZZ_MAX_INPUT_BYTES) and gets long repetitive inputs too.
constexpr size_t DEFAULT_MAX_INPUT_BYTES = 64 * 1024;
#ifdef VFUZZ_MAX_INPUT_BYTES
constexpr size_t MAX_INPUT_BYTES = VFUZZ_MAX_INPUT_BYTES;
#else
constexpr size_t MAX_INPUT_BYTES = DEFAULT_MAX_INPUT_BYTES;
#endif

inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size < MAX_INPUT_BYTES ? size : MAX_INPUT_BYTES));
}

inline QString utf8(const uint8_t* data, size_t size)
{
    return QString::fromUtf8(bytes(data, size));
}

} // namespace vfuzz

#endif
