# One round-trip harness per file system with a writer, from one source.
foreach(fs cramfs squashfs minifs)
  string(TOUPPER ${fs} up)
  rs_add_fuzzer(fuzz_${fs}_roundtrip ${CMAKE_CURRENT_SOURCE_DIR}/fs_roundtrip.cpp fuzz_exit_throws rs_core)
  target_compile_definitions(fuzz_${fs}_roundtrip PRIVATE RT_${up})
endforeach()
target_sources(fuzz_squashfs_roundtrip PRIVATE ${PROJECT_SOURCE_DIR}/tests/squashfs/image3.cpp)
target_include_directories(fuzz_squashfs_roundtrip PRIVATE ${PROJECT_SOURCE_DIR}/tests/squashfs)
