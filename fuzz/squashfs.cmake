rs_add_fuzzer(fuzz_squashfs_load ${CMAKE_CURRENT_SOURCE_DIR}/squashfs_load.cpp rs_squashfs)
