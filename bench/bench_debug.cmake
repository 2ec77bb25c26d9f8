find_package(spdlog REQUIRED)
target_link_libraries(bench_debug PRIVATE spdlog::spdlog)
