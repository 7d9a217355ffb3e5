// Splits arbitrary bytes as a merge file into a fresh directory; nothing may be
// written anywhere but inside that directory. A merge file that cannot be
// mapped (an empty one) ends the program through rs::rs_exit on purpose; here
// that call throws and the input counts as rejected.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/merge.h"
#include "exit_throws.h"
#include "scratch.h"

namespace {
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A directory per input: what a record writes there goes with it.
  fuzzing::ScratchDir scratch("fuzz_split");
  const std::string& dir = scratch.path();
  const std::string in = dir + "/in.merge", out = dir + "/out";
  if (!fuzzing::write_input(in, data, size)) return 0;
  try {
    image_split(in.c_str(), out.c_str());
  } catch (const fuzzing::ExitCalled&) {
  }
  for (const std::string& n : names(dir))
    if (n != "in.merge" && n != "out") abort();  // a record escaped the output directory
  for (const std::string& n : names(out))
    if (std::filesystem::is_directory(out + "/" + n)) abort();  // only plain files belong there
  return 0;
}
