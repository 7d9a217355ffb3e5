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
  // Whatever a command printed on standard output before comes first.
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  said = text;
}

const std::string& last_said() { return said; }
void forget_said() { said.clear(); }

namespace {
int g_verbosity = 0;
thread_local int t_quiet = 0;
}  // namespace

void set_verbosity(int level) { g_verbosity = level; }
int verbosity() { return t_quiet ? -1 : g_verbosity; }

namespace {
void to_stderr(const char* fmt, va_list ap) {
  std::fflush(stdout);
  std::vfprintf(stderr, fmt, ap);
}
}  // namespace

void diag(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  to_stderr(fmt, ap);
  va_end(ap);
}

void warn(const char* fmt, ...) {
  if (verbosity() < 0) return;
  va_list ap;
  va_start(ap, fmt);
  to_stderr(fmt, ap);
  va_end(ap);
}

void note(const char* fmt, ...) {
  if (verbosity() < 1) return;
  va_list ap;
  va_start(ap, fmt);
  to_stderr(fmt, ap);
  va_end(ap);
}

Quiet::Quiet() : before_(t_quiet) { t_quiet = 1; }
Quiet::~Quiet() { t_quiet = before_; }

}  // namespace rs
