rs_add_fuzzer(fuzz_uimage_parse ${CMAKE_CURRENT_SOURCE_DIR}/uimage_parse.cpp rs_uimage)
if(ROMSMITH_FUZZ)
  # The codec is instrumented like the other readers, so coverage guides the fuzzer into it.
  target_compile_options(rs_uimage PRIVATE ${RS_FUZZ_FLAGS})
endif()
if(NOT ROMSMITH_FUZZ)
  # Edge inputs of the codec kept beside its suite (tests/uimage/regress/uimage-*).
  add_test(NAME replay_uimage_parse_cases COMMAND fuzz_uimage_parse ${PROJECT_SOURCE_DIR}/tests/uimage/regress uimage)
endif()
