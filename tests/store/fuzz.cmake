# The store's reading path.
velarto_fuzzer(fuzz_store ${CMAKE_CURRENT_LIST_DIR}/store_fuzz.cpp sonicsend::store)
