# Instrument the library as well, so that coverage guides the fuzzer into the scan.
target_compile_options(rs_minifs PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
rs_add_fuzzer(fuzz_minifs_mount ${CMAKE_CURRENT_SOURCE_DIR}/minifs_mount.cpp rs_minifs)
