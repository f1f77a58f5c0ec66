# libFuzzer target for the decoder's file path (clang, ASan and UBSan); scripts/fuzz.sh runs it.
add_executable(fuzz_decoder ${CMAKE_CURRENT_LIST_DIR}/decoder_fuzz.cpp)
target_link_libraries(fuzz_decoder PRIVATE sonicsend::receiver)
target_compile_options(fuzz_decoder PRIVATE -fsanitize=fuzzer,address,undefined
                                            -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_link_options(fuzz_decoder PRIVATE -fsanitize=fuzzer,address,undefined)
velarto_warnings(fuzz_decoder)
