# Peers measured in the same run: nlohmann/json and RapidJSON (header-only).
find_package(nlohmann_json 3 CONFIG REQUIRED)
find_package(RapidJSON CONFIG REQUIRED)
target_link_libraries(bench_json PRIVATE nlohmann_json::nlohmann_json)
target_include_directories(bench_json PRIVATE ${RAPIDJSON_INCLUDE_DIRS})
