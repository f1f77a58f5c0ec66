add_executable(bench_store ${CMAKE_CURRENT_LIST_DIR}/store_bench.cpp)
target_link_libraries(bench_store PRIVATE sonicsend::store benchmark::benchmark)
velarto_warnings(bench_store)
