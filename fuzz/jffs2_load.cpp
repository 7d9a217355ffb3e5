// Scans arbitrary bytes as a JFFS2 partition, reads every file, edits the tree
// and rebuilds it; the rebuilt partition must scan again to the edited tree.
// Reading must leave the scanned bytes as they were.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "jffs2/jffs2.h"

namespace {

std::vector<std::string> listing(rs::jffs2::fs& fs) {
  std::vector<rs::jffs2::node_entry> nodes;
  if (fs.walk("/", &nodes) != 0 || nodes.empty()) abort();
  std::vector<std::string> out;
  for (auto& n : nodes) out.push_back(n.path + " " + std::to_string(n.a.mode) + " " + std::to_string(n.a.size));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kBlock = 0x4000;
  size_t n = std::max<size_t>((size + kBlock - 1) / kBlock + 4, 8) * kBlock;
  std::vector<uint8_t> img(n, 0xFF);
  std::memcpy(img.data(), data, size);
  const std::vector<uint8_t> loaded = img;
  auto fs = rs::jffs2::load(img.data(), uint32_t(size), img.size());
  if (!fs) return 0;
  std::vector<rs::jffs2::node_entry> nodes;
  if (fs->walk("/", &nodes) != 0) abort();
  std::vector<uint8_t> buf;
  for (auto& node : nodes) {
    rs::jffs2::attr a;
    if (fs->stat(node.path.c_str(), &a) != 0) abort();  // every walked path can be named
    if ((a.mode & 0170000) != 0100000) continue;
    size_t want = size_t(std::min<uint64_t>(a.size, 1 << 20));
    buf.resize(want + 1);
    long long got = fs->pread(node.path.c_str(), buf.data(), buf.size(), 0);
    if (got > (long long)want + 1 || (got >= 0 && uint64_t(got) > a.size)) abort();
    fs->next_data(node.path.c_str(), 0);
  }
  if (img != loaded) abort();
  fs->put("/fuzz.new", data, std::min<size_t>(size, 9000), -1, -1, -1);
  if (nodes.size() > 1) {
    fs->chmod(nodes[1].path.c_str(), 0600);
    fs->rename(nodes.back().path.c_str(), "/fuzz.moved");
    if (nodes.size() > 2) fs->remove(nodes[2].path.c_str());
  }
  if (img != loaded) abort();
  std::vector<std::string> edited = listing(*fs);
  std::string why;
  std::vector<uint8_t> out = fs->rebuild(&why);
  if (out.empty()) return 0;
  auto again = rs::jffs2::load(out.data(), uint32_t(out.size()), out.size());
  if (!again) abort();
  // The rebuilt tree is the edited one (reads may fail where the input's data did).
  if (listing(*again) != edited) abort();
  return 0;
}
