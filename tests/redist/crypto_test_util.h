// Helpers of the digest and cipher tests: hex, random bytes, OpenSSL
// oracles and a loop over the portable and the CPU-accelerated code.
#ifndef VORNLIB_TESTS_CRYPTO_TEST_UTIL_H
#define VORNLIB_TESTS_CRYPTO_TEST_UTIL_H

#include <redist/cpu_features_p.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace ctest {

typedef std::vector<uint8_t> Bytes;

inline Bytes fromHex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string toHex(const Bytes& b) { return toHex(b.data(), b.size()); }

inline Bytes randomBytes(std::mt19937& rng, size_t n)
{
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(rng());
    return b;
}

inline Bytes opensslDigest(const EVP_MD* md, const uint8_t* p, size_t n)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    EVP_Digest(p, n, out.data(), &len, md, nullptr);
    out.resize(len);
    return out;
}

// Runs body once on the portable code and, where the CPU has them, once on
// the SHA/AES instructions; the path name goes into failure messages.
inline void forEachPath(const std::function<void()>& body, bool aes)
{
    const bool accel = aes ? VCryptoCpu::cpuHasAesNi() : VCryptoCpu::cpuHasShaNi();
    for (int portable = 1; portable >= (accel ? 0 : 1); --portable) {
        SCOPED_TRACE(portable ? "portable code" : "CPU instructions");
        VCryptoCpu::forcePortable(portable != 0);
        body();
    }
    VCryptoCpu::forcePortable(false);
}

}

#endif
