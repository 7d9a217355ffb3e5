rs_add_fuzzer(fuzz_jffs2_load ${CMAKE_CURRENT_SOURCE_DIR}/jffs2_load.cpp rs_jffs2)
