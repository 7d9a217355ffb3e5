#include "exit_throws.h"

namespace {
// Made before main on the thread the fuzzer runs inputs on, and kept for the run.
rs::ExitThrows g_exit_throws;
}  // namespace
