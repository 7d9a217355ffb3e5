rs_add_fuzzer(fuzz_minidb_open ${CMAKE_CURRENT_SOURCE_DIR}/minidb_open.cpp rs_minidb)
