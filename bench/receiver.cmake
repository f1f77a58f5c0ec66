# The sender makes the signals to decode; the receiver is what is measured.
add_executable(bench_receiver ${CMAKE_CURRENT_LIST_DIR}/receiver_bench.cpp)
target_link_libraries(bench_receiver PRIVATE sonicsend::receiver sonicsend::channel_simulator sonicsend::test_support
                                             benchmark::benchmark PkgConfig::SNDFILE)
velarto_warnings(bench_receiver)

# Success through simulated rooms and channels, and wrong answers on inputs that hold none.
add_executable(bench_rooms ${CMAKE_CURRENT_LIST_DIR}/rooms_bench.cpp)
target_link_libraries(bench_rooms PRIVATE sonicsend::receiver sonicsend::channel_simulator sonicsend::test_support
                                          benchmark::benchmark)
velarto_warnings(bench_rooms)
