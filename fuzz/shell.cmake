rs_add_fuzzer(fuzz_shell_command ${CMAKE_CURRENT_SOURCE_DIR}/shell_command.cpp fuzz_exit_throws rs_shell)
