// Error lines the library prints and remembers.
#pragma once
#include <string>

namespace rs {
// Standard output carries only what a command was asked to print: listings,
// file contents, JSON. Every diagnostic goes to standard error.
//
// Prints an error line on standard error and keeps it as the calling thread's
// last one, so that the library can hand it to callers that do not read
// standard error (flash_last_error).
[[gnu::format(printf, 1, 2)]] void say_error(const char* fmt, ...);
// More lines of an error already said (hints, "please check ..."): on
// standard error, not kept.
[[gnu::format(printf, 1, 2)]] void diag(const char* fmt, ...);
const std::string& last_said();
void forget_said();

// Warnings and progress: on standard error, unless silenced (the shell's -q,
// or a caller trying something it expects may fail, such as a probe).
[[gnu::format(printf, 1, 2)]] void warn(const char* fmt, ...);
// Detail for -v: on standard error, only when verbose.
[[gnu::format(printf, 1, 2)]] void note(const char* fmt, ...);
// Verbosity: -1 quiet (no warnings), 0 normal, 1 verbose (-v).
void set_verbosity(int level);
int verbosity();
// Silences warnings of the calling thread while it lives.
class Quiet {
 public:
  Quiet();
  ~Quiet();
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  int before_;
};
}  // namespace rs
