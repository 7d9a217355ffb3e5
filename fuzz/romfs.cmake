rs_add_fuzzer(fuzz_romfs_load ${CMAKE_CURRENT_SOURCE_DIR}/romfs_load.cpp rs_romfs)
