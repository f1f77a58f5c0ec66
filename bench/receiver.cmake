# The sender makes the signals to decode; the receiver is what is measured.
add_executable(bench_receiver ${CMAKE_CURRENT_LIST_DIR}/receiver_bench.cpp)
target_link_libraries(bench_receiver PRIVATE sonicsend::receiver sonicsend::test_support
                                             benchmark::benchmark PkgConfig::SNDFILE)
velarto_warnings(bench_receiver)
