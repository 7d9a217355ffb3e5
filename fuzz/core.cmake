rs_add_fuzzer(fuzz_core_load ${CMAKE_CURRENT_SOURCE_DIR}/core_load.cpp rs_core)
