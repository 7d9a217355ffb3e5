// Pieces the squashfs suites share: an owning tree handle and unsquashfs's
// long listing without the fields writers are free to differ in.
#pragma once
#include <memory>
#include <sstream>
#include <string>

#include "squashfs/squashfs.h"
#include "testutil.h"

namespace sqtest {

struct TreeFree {
  void operator()(squashfs_entry* e) const { squashfs_free(e); }
};
using Tree = std::unique_ptr<squashfs_entry, TreeFree>;

// unsquashfs -lln of `img` without times and directory sizes.
inline std::string listing(const std::string& img) {
  auto r = rstest::run_command("unsquashfs -lln -d /x " + rstest::shell_quote(img));
  if (r.status != 0) return "unsquashfs failed: " + r.err;
  std::istringstream in(r.out);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.find("/x") == std::string::npos || line[0] == 'P') continue;
    std::istringstream f(line);
    std::string perm, owner, size, date, time, name;
    f >> perm >> owner >> size >> date >> time;
    std::getline(f, name);
    if (perm[0] == 'd') size = "-";
    out += perm + " " + owner + " " + size + " " + name + "\n";
  }
  return out;
}

}  // namespace sqtest
