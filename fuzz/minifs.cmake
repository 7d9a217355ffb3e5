rs_add_fuzzer(fuzz_minifs_mount ${CMAKE_CURRENT_SOURCE_DIR}/minifs_mount.cpp rs_minifs)
