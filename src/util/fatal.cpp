#include "util/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace rs {
void rs_exit(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(status);
}
}  // namespace rs
