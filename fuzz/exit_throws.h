// Where the tool ends the program (a conf error, a writer limit, a
// file that cannot be mapped) the library calls rs::rs_exit. Harnesses linked
// with exit_throws.cpp have it throw ExitCalled on their thread instead, so that
// such an input counts as rejected and the fuzzer goes on with the next one.
#pragma once

#include "util/fatal.h"

namespace fuzzing {
using ExitCalled = rs::exit_request;
}  // namespace fuzzing
