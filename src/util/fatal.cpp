#include "util/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace rs {
namespace {
thread_local bool t_throws = false;
}

void rs_exit(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (t_throws) throw exit_request{status};
  std::exit(status);
}

ExitThrows::ExitThrows() : before_(t_throws) { t_throws = true; }
ExitThrows::~ExitThrows() { t_throws = before_; }
}  // namespace rs
