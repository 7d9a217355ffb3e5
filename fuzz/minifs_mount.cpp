// Mounts arbitrary bytes as a minifs image, reads every file, changes one, and
// writes the image out; the written image must mount again. Mounting and
// reading must leave the mounted bytes as they were.
// Run with -close_fd_mask=1: the scan reports what it discards on stdout.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "minifs/internal.h"
#include "minifs/minifs.h"

static void read_tree(minifs_device* dev, minifs_Object* dir, const std::string& path, int depth) {
  if (depth > 200) abort();  // the scan keeps only trees a path can name
  for (minifs_Object* c : std::vector<minifs_Object*>(dir->children)) {
    std::string p = path + "/" + c->Header.name;
    if (c->Header.type == minifs::OBJ_DIRECTORY) {
      read_tree(dev, c, p, depth + 1);
    } else if (c->Header.type == minifs::OBJ_FILE) {
      if (minifs_Handle* h = minifs_open(dev, p.c_str(), 2, 0)) {
        std::vector<uint8_t> buf(8192);
        for (size_t off = 0; minifs_read(h, buf.data(), buf.size(), off) > 0; off += buf.size()) {
        }
        minifs_close(h);
      }
    }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kBlock = 65536;
  size_t n = std::max<size_t>((size + kBlock - 1) / kBlock, 3) * kBlock;
  std::vector<uint8_t> img(n, 0xFF);
  std::memcpy(img.data(), data, size);
  const std::vector<uint8_t> loaded = img;
  minifs_device* dev = minifs_mount("", "/", img.data(), img.size(), nullptr);
  if (!dev) return 0;
  read_tree(dev, minifs_root(dev), "", 0);
  std::vector<minifs_node> nodes;
  if (minifs_walk(dev, "/", &nodes) != 0 || nodes.empty()) abort();
  std::vector<uint8_t> buf;
  for (const minifs_node& node : nodes) {
    minifs_attr a;
    if (minifs_stat(dev, node.path.c_str(), &a) != 0) abort();  // every walked path can be named
    if ((a.mode & 0170000) != 0100000) continue;
    buf.resize(size_t(a.size) + 1);
    long long got = minifs_pread(dev, node.path.c_str(), buf.data(), buf.size(), 0);
    if (got > (long long)a.size) abort();
  }
  if (img != loaded) abort();
  if (minifs_Handle* h = minifs_open(dev, "/fuzz.new", 0x102, 0664)) {
    minifs_write(h, data, std::min<size_t>(size, 20000), 0);
    minifs_close(h);
  }
  if (nodes.size() > 1) {
    minifs_put(dev, nodes[1].path.c_str(), data, std::min<size_t>(size, 3000), nullptr);
    minifs_remove(dev, nodes.back().path.c_str());
  }
  if (img != loaded) abort();
  size_t len = 0;
  uint8_t* out = minifs_mmap(dev, &len);
  minifs_umount(dev);
  if (out) {
    std::vector<uint8_t> again(std::max(len, 3 * kBlock), 0xFF);
    std::memcpy(again.data(), out, len);
    minifs_munmap(out, len);
    minifs_device* d2 = minifs_mount("", "/", again.data(), again.size(), nullptr);
    if (!d2) abort();
    read_tree(d2, minifs_root(d2), "", 0);
    minifs_umount(d2);
  }
  return 0;
}
