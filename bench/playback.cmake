add_executable(bench_playback ${CMAKE_CURRENT_LIST_DIR}/playback_bench.cpp)
target_link_libraries(bench_playback PRIVATE sonicsend::sonicsend benchmark::benchmark)
velarto_warnings(bench_playback)
