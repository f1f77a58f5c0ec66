add_executable(bench_sender ${CMAKE_CURRENT_LIST_DIR}/sender_bench.cpp)
target_link_libraries(bench_sender PRIVATE sonicsend::sonicsend benchmark::benchmark)
velarto_warnings(bench_sender)
velarto_exact_float(bench_sender)
