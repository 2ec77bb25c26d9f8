// Digests and ciphers against OpenSSL's EVP interface, in one run.
// With OPENSSL_ia32cap set (e.g. "~0x0200000000000000:~0x20000000", which
// masks OpenSSL's AES-NI and SHA extensions) the library's portable code is
// forced as well, so both sides run without those instructions. Adding
// SSSE3 and AVX to the mask ("~0x1200020000000000:~0x20000020") leaves
// OpenSSL with its own table code, the counterpart of the portable code.
#include <redist/arc4/arc4.h>
#include <redist/cpu_features_p.h>
#include <redist/md5/md5_impl.h>
#include <redist/rijndael/rijndael.h>
#include <redist/sha256/sha256_impl.h>
#include <VSecurity/md5.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include <openssl/evp.h>
#include <openssl/provider.h>

namespace {

std::vector<unsigned char>& buffer()
{
    static std::vector<unsigned char> b(1 << 20, 0x5A);
    return b;
}

std::vector<unsigned char>& outBuffer()
{
    static std::vector<unsigned char> b((1 << 20) + 64);
    return b;
}

const unsigned char kKey[32] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32 };
const unsigned char kIv[16] = { 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6 };

void done(benchmark::State& state)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void Vorn_MD5(benchmark::State& state)
{
    const int n = int(state.range(0));
    md5_byte_t out[16];
    for (auto _ : state) {
        md5_state_t st;
        vornlib_md5_init(&st);
        vornlib_md5_append(&st, buffer().data(), n);
        vornlib_md5_finish(&st, out);
        benchmark::DoNotOptimize(out);
    }
    done(state);
}

void Vorn_VMD5(benchmark::State& state)
{
    const QByteArray data(reinterpret_cast<const char*>(buffer().data()), int(state.range(0)));
    for (auto _ : state) {
        VMD5 m;
        m.appendBlock(data);
        benchmark::DoNotOptimize(m.completedHash());
    }
    done(state);
}

void Vorn_SHA256(benchmark::State& state)
{
    const auto n = sha256_word32_t(state.range(0));
    unsigned char out[32];
    for (auto _ : state) {
        vorn_SHA256_ctx ctx;
        SHA256_init(&ctx);
        SHA256_update(&ctx, buffer().data(), n);
        SHA256_final(&ctx);
        SHA256_digest(&ctx, out);
        benchmark::DoNotOptimize(out);
    }
    done(state);
}

void OpenSSL_Digest(benchmark::State& state, const EVP_MD* md)
{
    const size_t n = size_t(state.range(0));
    unsigned char out[EVP_MAX_MD_SIZE];
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, buffer().data(), n);
        EVP_DigestFinal_ex(ctx, out, nullptr);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    done(state);
}

void Vorn_RC4(benchmark::State& state)
{
    arc4_context ctx;
    unsigned char key[16];
    memcpy(key, kKey, 16);
    arc4_setup(&ctx, key, 16);
    for (auto _ : state) {
        arc4_crypt(&ctx, buffer().data(), int(state.range(0)));
        benchmark::ClobberMemory();
    }
    done(state);
}

void OpenSSL_Cipher(benchmark::State& state, const EVP_CIPHER* cipher, bool enc)
{
    if (!cipher) {
        state.SkipWithError("cipher not available");
        return;
    }
    const int n = int(state.range(0));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, kKey, kIv, enc ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int len = 0;
    for (auto _ : state) {
        // Re-setting the IV restarts the chain, as each Rijndael call does.
        EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, kIv, -1);
        EVP_CipherUpdate(ctx, outBuffer().data(), &len, buffer().data(), n);
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    done(state);
}

void Vorn_AES(benchmark::State& state, Rijndael::Mode mode, Rijndael::Direction dir)
{
    Rijndael r;
    unsigned char iv[16];
    memcpy(iv, kIv, 16);
    r.init(mode, dir, kKey, Rijndael::Key16Bytes, iv);
    const int bits = int(state.range(0) * 8);
    for (auto _ : state) {
        if (dir == Rijndael::Encrypt)
            r.blockEncrypt(buffer().data(), bits, outBuffer().data());
        else
            r.blockDecrypt(buffer().data(), bits, outBuffer().data());
        benchmark::ClobberMemory();
    }
    done(state);
}

const EVP_CIPHER* rc4Cipher()
{
    // RC4 lives in OpenSSL 3's legacy provider.
    static const EVP_CIPHER* c = [] {
        OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER_load(nullptr, "default");
        return EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
    }();
    return c;
}

void sizes(benchmark::internal::Benchmark* b)
{
    b->Arg(16 << 10)->Arg(1 << 20);
}

void cfb1Sizes(benchmark::internal::Benchmark* b)
{
    b->Arg(16 << 10);
}

}

BENCHMARK(Vorn_MD5)->Apply(sizes);
BENCHMARK(Vorn_VMD5)->Apply(sizes);
BENCHMARK_CAPTURE(OpenSSL_Digest, MD5, EVP_md5())->Apply(sizes);
BENCHMARK(Vorn_SHA256)->Apply(sizes);
BENCHMARK_CAPTURE(OpenSSL_Digest, SHA256, EVP_sha256())->Apply(sizes);
BENCHMARK(Vorn_RC4)->Apply(sizes);
BENCHMARK_CAPTURE(OpenSSL_Cipher, RC4, rc4Cipher(), true)->Apply(sizes);
BENCHMARK_CAPTURE(Vorn_AES, ECB_enc, Rijndael::ECB, Rijndael::Encrypt)->Apply(sizes);
BENCHMARK_CAPTURE(OpenSSL_Cipher, ECB_enc, EVP_aes_128_ecb(), true)->Apply(sizes);
BENCHMARK_CAPTURE(Vorn_AES, ECB_dec, Rijndael::ECB, Rijndael::Decrypt)->Apply(sizes);
BENCHMARK_CAPTURE(OpenSSL_Cipher, ECB_dec, EVP_aes_128_ecb(), false)->Apply(sizes);
BENCHMARK_CAPTURE(Vorn_AES, CBC_enc, Rijndael::CBC, Rijndael::Encrypt)->Apply(sizes);
BENCHMARK_CAPTURE(OpenSSL_Cipher, CBC_enc, EVP_aes_128_cbc(), true)->Apply(sizes);
BENCHMARK_CAPTURE(Vorn_AES, CBC_dec, Rijndael::CBC, Rijndael::Decrypt)->Apply(sizes);
BENCHMARK_CAPTURE(OpenSSL_Cipher, CBC_dec, EVP_aes_128_cbc(), false)->Apply(sizes);
BENCHMARK_CAPTURE(Vorn_AES, CFB1_enc, Rijndael::CFB1, Rijndael::Encrypt)->Apply(cfb1Sizes);
BENCHMARK_CAPTURE(OpenSSL_Cipher, CFB1_enc, EVP_aes_128_cfb1(), true)->Apply(cfb1Sizes);

int main(int argc, char** argv)
{
    const bool masked = getenv("OPENSSL_ia32cap") != nullptr;
    VCryptoCpu::forcePortable(masked);
    benchmark::AddCustomContext("vornlib code", masked ? "portable (forced)"
                                : std::string("SHA-NI ") + (VCryptoCpu::useShaNi() ? "yes" : "no")
                                      + ", AES-NI " + (VCryptoCpu::useAesNi() ? "yes" : "no"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
