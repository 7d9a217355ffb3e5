#include "testutil.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace rstest {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "rstest_XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make read-only directories; give write bits back before removal.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  old_ = std::filesystem::current_path().string();
  std::filesystem::current_path(dir);
}
ScopedCwd::~ScopedCwd() {
  std::error_code ec;
  std::filesystem::current_path(old_, ec);
}

RunResult run_command(const std::string& cmd, const std::string& input, const std::string& cwd) {
  TempDir io;
  std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
  write_text(in, input);
  std::string full = (cwd.empty() ? "" : "cd " + shell_quote(cwd) + " && ") + "( " + cmd + " ) <" + shell_quote(in) +
                     " >" + shell_quote(out) + " 2>" + shell_quote(err);
  RunResult r;
  int st = std::system(full.c_str());
  if (WIFEXITED(st))
    r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st))
    r.status = 128 + WTERMSIG(st);
  r.out = read_text(out);
  r.err = read_text(err);
  // In the sanitizer build every program run is checked too: a leak, a bad
  // access or undefined behaviour in the program fails the test that ran it.
  for (const char* mark : {"ERROR: LeakSanitizer", "ERROR: AddressSanitizer", ": runtime error: "})
    if (r.err.find(mark) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report from `" << cmd << "`:\n" << r.err;
      break;
    }
  return r;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool require_tools() {
  const char* v = std::getenv("ROMSMITH_REQUIRE_TOOLS");
  return v && std::string(v) == "1";
}

bool have_tool(const std::string& name) {
  bool there = std::system(("command -v " + shell_quote(name) + " >/dev/null 2>&1").c_str()) == 0;
  // Where every outside tool must be present (CI), a missing one fails the
  // test that asked instead of letting it skip.
  if (!there && require_tools()) ADD_FAILURE() << name << " is not installed (ROMSMITH_REQUIRE_TOOLS=1)";
  return there;
}

std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

}  // namespace rstest
