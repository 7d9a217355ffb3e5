// Small helpers shared by every test suite.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rstest {

// A fresh directory, removed with everything inside when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs the current process's working directory change for a scope.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();

 private:
  std::string old_;
};

struct RunResult {
  int status = -1;     // exit status, or 128 + signal number
  std::string out;     // standard output
  std::string err;     // standard error
};

// Runs `cmd` through /bin/sh with `input` on standard input.
RunResult run_command(const std::string& cmd, const std::string& input = "", const std::string& cwd = "");

std::vector<uint8_t> read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::vector<uint8_t>& data);
void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);
// Whether `name` is on PATH. Under ROMSMITH_REQUIRE_TOOLS=1 a missing tool
// also fails the running test.
bool have_tool(const std::string& name);
bool require_tools();
std::string shell_quote(const std::string& s);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);

}  // namespace rstest
