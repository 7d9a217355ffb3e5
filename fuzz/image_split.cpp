// Splits arbitrary bytes as a merge file into a fresh directory; nothing may be
// written anywhere but inside that directory. A merge file that cannot be
// mapped (an empty one) ends the program through rs::rs_exit on purpose; here
// that call throws and the input counts as rejected.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "exit_throws.h"
#include "core/merge.h"

namespace {
std::string dir;

std::vector<std::string> names(const std::string& d) {
  std::vector<std::string> out;
  if (DIR* h = opendir(d.c_str())) {
    while (dirent* e = readdir(h))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
    closedir(h);
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/fuzz_split_XXXXXX";
  if (!mkdtemp(tmpl)) abort();
  dir = tmpl;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = dir + "/in.merge", out = dir + "/out";
  FILE* f = std::fopen(in.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  try {
    image_split(in.c_str(), out.c_str());
  } catch (const fuzzing::ExitCalled&) {
  }
  for (const std::string& n : names(dir))
    if (n != "in.merge" && n != "out") abort();  // a record escaped the output directory
  for (const std::string& n : names(out))
    if (unlink((out + "/" + n).c_str()) != 0) abort();  // only plain files belong there
  rmdir(out.c_str());
  return 0;
}
