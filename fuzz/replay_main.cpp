// A harness without libFuzzer: runs it once over each stored input, so that the
// normal and sanitizer test builds replay every regression file.
//   fuzz_<harness> <dir> <kind>   every regular file <dir>/<kind>-*
// A fault aborts the run like the fuzzer would; an empty set passes.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <dir> <kind>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1], prefix = std::string(argv[2]) + "-";
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name).rfind(prefix, 0) == 0) files.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay %s (%zu bytes)\n", f.c_str(), bytes.size());
    // An empty vector's data() may be null; libFuzzer always passes a real buffer.
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "%zu inputs replayed\n", files.size());
  return 0;
}
