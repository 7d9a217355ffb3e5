rs_add_fuzzer(fuzz_ubifs_mount ${CMAKE_CURRENT_SOURCE_DIR}/ubifs_mount.cpp rs_core)
if(ROMSMITH_FUZZ)
  # Coverage inside the UBI and UBIFS readers guides the fuzzer.
  target_compile_options(rs_ubi PRIVATE ${RS_FUZZ_FLAGS})
  target_compile_options(rs_ubifs PRIVATE ${RS_FUZZ_FLAGS})
endif()
