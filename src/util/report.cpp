#include "util/report.h"

#include <cstdarg>
#include <cstdio>

namespace rs {

namespace {
thread_local std::string said;
}

void say_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  std::string text;
  if (n >= 0 && size_t(n) < sizeof small) {
    text.assign(small, size_t(n));
  } else if (n >= 0) {
    text.resize(size_t(n) + 1);
    std::vsnprintf(text.data(), text.size(), fmt, ap);
    text.resize(size_t(n));
  }
  va_end(ap);
  std::fwrite(text.data(), 1, text.size(), stdout);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  said = text;
}

const std::string& last_said() { return said; }
void forget_said() { said.clear(); }

}  // namespace rs
