# OpenSSL is the peer measured in the same run; the library never links it.
find_package(OpenSSL REQUIRED)
target_link_libraries(bench_crypto PRIVATE OpenSSL::Crypto)
# Switches between the x86 instructions and the portable code.
set(VORN_BENCH_LIBRARY vornlib_objects)
