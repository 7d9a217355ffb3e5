// Where the tool ends the program (a conf error, a writer limit, a
// file that cannot be mapped) the library calls rs::rs_exit. Harnesses linked
// with exit_throws.cpp get an rs_exit that throws ExitCalled instead, so that
// such an input counts as rejected and the fuzzer goes on with the next one.
#pragma once

namespace fuzzing {
struct ExitCalled {
  int status;
};
}  // namespace fuzzing
