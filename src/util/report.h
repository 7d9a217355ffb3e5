// Error lines the library prints and remembers.
#pragma once
#include <string>

namespace rs {
// Prints an error line on standard output, as the designed messages go, and
// keeps it as the calling thread's last one, so that the library can hand it
// to callers that do not read standard output (flash_last_error).
[[gnu::format(printf, 1, 2)]] void say_error(const char* fmt, ...);
const std::string& last_said();
void forget_said();
}  // namespace rs
