// Opens arbitrary bytes as a type-7 partition (a UBI image, or a bare UBIFS
// cut into LEBs of the superblock's size). A handle that opens must walk with
// every path nameable, read every file within its size, list xattrs, refuse
// edits, and leave the bytes as they were.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/fs_contract.h"
#include "util/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (size_t(16) << 20)) return 0;
  std::vector<uint8_t> img(data, data + size);
  const std::vector<uint8_t> loaded = img;
  const fs_ops* ops = fs_ops_for(7);
  if (!ops) abort();
  void* h = ops->load(img.data(), uint32_t(img.size()), uint32_t(img.size()));
  if (!h) return 0;
  std::vector<fs_node> nodes;
  if (ops->walk(h, "/", &nodes) != 0 || nodes.empty() || nodes[0].path != "/") abort();
  std::vector<uint8_t> buf(65536);
  for (const fs_node& n : nodes) {
    fs_attr a;
    if (ops->stat(h, n.path.c_str(), &a) != 0 || a.mode != n.attr.mode) abort();
    fs_xattrs x;
    if (ops->get_xattrs(h, n.path.c_str(), &x) != 0) abort();
    if ((a.mode & 0170000) != 0100000) continue;
    uint64_t total = 0;
    for (uint64_t off = 0; off < a.size && off < (uint64_t(4) << 20); off += buf.size()) {
      long long got = ops->pread(h, n.path.c_str(), buf.data(), buf.size(), off);
      if (got < 0) break;
      if (got == 0 || uint64_t(got) > buf.size()) abort();
      total += uint64_t(got);
    }
    if (total > a.size) abort();
  }
  {
    rs::Quiet quiet;
    if (ops->put(h, "/fuzz.new", data, std::min<size_t>(size, 100), nullptr) != -EROFS) abort();
    if (nodes.size() > 1 && ops->remove(h, nodes.back().path.c_str()) != -EROFS) abort();
  }
  ops->release(h);
  if (img != loaded) abort();
  return 0;
}
