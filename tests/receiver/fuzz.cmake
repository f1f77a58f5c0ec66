# The decoder's file path.
velarto_fuzzer(fuzz_decoder ${CMAKE_CURRENT_LIST_DIR}/decoder_fuzz.cpp sonicsend::receiver)
