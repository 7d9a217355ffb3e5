# Instrument the library as well, so that coverage guides the fuzzer into the reader.
target_compile_options(rs_cramfs PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
rs_add_fuzzer(fuzz_cramfs_load ${CMAKE_CURRENT_SOURCE_DIR}/cramfs_load.cpp rs_cramfs)
