find_package(PkgConfig REQUIRED)
pkg_check_modules(SOXR_BENCH REQUIRED IMPORTED_TARGET soxr)

# The sender makes the signals to decode; the receiver is what is measured.
add_executable(bench_receiver ${CMAKE_CURRENT_LIST_DIR}/bench_receiver.cpp)
target_link_libraries(bench_receiver PRIVATE sonicsend::receiver sonicsend::sonicsend
                                             PkgConfig::SOXR_BENCH benchmark::benchmark)
# The recordings are made as the receiver's tests make them.
target_include_directories(bench_receiver PRIVATE ${PROJECT_SOURCE_DIR}/tests/receiver)
velarto_warnings(bench_receiver)
