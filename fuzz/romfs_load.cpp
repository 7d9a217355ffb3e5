// Loads arbitrary bytes as a romfs image. A tree that loads must walk with
// every path nameable and every file readable within its size, must leave the
// loaded bytes as they were, and must rebuild, before and after a few edits,
// into an image that loads again with the same tree and contents.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "romfs/romfs.h"

namespace {

// path, mode, size, target and content of every entry.
std::vector<std::string> tree_of(romfs_image* fs) {
  std::vector<romfs_node> nodes;
  if (romfs_walk(fs, "/", &nodes) != 0 || nodes.empty() || nodes[0].path != "/") abort();
  std::vector<std::string> out;
  for (const romfs_node& n : nodes) {
    romfs_attr a;
    if (romfs_stat(fs, n.path.c_str(), &a) != 0 || a.mode != n.attr.mode) abort();
    std::string s = n.path + " " + std::to_string(a.mode) + " " + std::to_string(a.size) + " " + a.target;
    if ((a.mode & 0170000) == 0100000) {
      std::string c(size_t(a.size) + 1, '\0');
      long long got = romfs_pread(fs, n.path.c_str(), c.data(), c.size(), 0);
      if (got != (long long)a.size) abort();
      c.resize(size_t(got));
      s += " " + c;
    }
    out.push_back(std::move(s));
  }
  return out;
}

void round_trip(romfs_image* fs) {
  std::string why;
  std::vector<uint8_t> img = romfs_write(fs, &why);
  if (img.empty()) return;  // only a tree beyond 4 GiB, which no input here makes
  romfs_image* again = romfs_load(img.data(), uint32_t(img.size()), uint32_t(img.size()), &why);
  if (!again) abort();
  if (tree_of(again) != tree_of(fs) || romfs_volume(again) != romfs_volume(fs)) abort();
  romfs_free(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (16u << 20)) return 0;
  std::vector<uint8_t> copy(data, data + size);
  copy.resize(size + 4096, 0xFF);  // room for the edits below
  const std::vector<uint8_t> loaded = copy;
  std::string why;
  romfs_image* fs = romfs_load(copy.data(), uint32_t(size), uint32_t(copy.size()), &why);
  if (!fs) {
    if (why.empty()) abort();
    return 0;
  }
  std::vector<romfs_node> nodes;
  romfs_walk(fs, "/", &nodes);
  round_trip(fs);
  if (nodes.size() > 1) {
    romfs_put(fs, nodes[1].path.c_str(), data, std::min<size_t>(size, 300), -1, -1, -1);
    romfs_rename(fs, nodes.back().path.c_str(), "/fuzz.moved");
    romfs_remove(fs, nodes[nodes.size() / 2].path.c_str());
  }
  romfs_mkdir(fs, "/fuzz.dir", 0755);
  romfs_symlink(fs, "../x", "/fuzz.dir/l");
  round_trip(fs);
  if (copy != loaded) abort();
  romfs_free(fs);
  return 0;
}
