# OpenSSL is the peer measured in the same run; the library never links it.
find_package(OpenSSL REQUIRED)
target_link_libraries(bench_crypto PRIVATE OpenSSL::Crypto)
