// Temporary files of the harnesses: unique names (several fuzzers and test
// runs share /tmp), and nothing left behind once an input is done.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fuzzing {

// A directory of its own, removed with everything in it when the object goes.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(tag) + "_XXXXXX")).string();
    if (!mkdtemp(tmpl.data())) abort();
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `size` bytes to `path`; false when it cannot be created.
inline bool write_input(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// A per-process directory for harnesses that keep fixed files between inputs:
// made on first use, removed when the process ends normally (a fuzzer stops
// through exit() at its time limit; after a crash the finding matters more).
inline const ScratchDir& process_scratch(const char* tag) {
  static ScratchDir* dir = [tag] {
    auto* d = new ScratchDir(tag);
    std::atexit([] { delete dir; });
    return d;
  }();
  return *dir;
}

}  // namespace fuzzing
