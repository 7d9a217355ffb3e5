rs_add_fuzzer(fuzz_cramfs_load ${CMAKE_CURRENT_SOURCE_DIR}/cramfs_load.cpp rs_cramfs)
