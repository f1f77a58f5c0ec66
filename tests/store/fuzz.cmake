# libFuzzer target for the store's reading path (clang, ASan and UBSan); scripts/fuzz.sh runs it.
add_executable(fuzz_store ${CMAKE_CURRENT_LIST_DIR}/store_fuzz.cpp)
target_link_libraries(fuzz_store PRIVATE sonicsend::store)
target_compile_options(fuzz_store PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
target_link_options(fuzz_store PRIVATE -fsanitize=fuzzer,address,undefined)
velarto_warnings(fuzz_store)
