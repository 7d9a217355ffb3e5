// UBIFS read from the LEBs of one volume (or a bare image cut into LEBs).
//
// Opening reads metadata only: the superblock, the newest master node, the
// index B+tree from the master's root, and the journal (log and buds) newer
// than the index, replayed in sequence order as the kernel does at mount.
// File data stays on the LEBs and is decompressed when read. Every node is
// checked (magic, CRC, length, type, position, key) before use.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace rs::ubifs {

// The LEBs of the volume: `leb` gives LEB `lnum`'s bytes (`*len` of them
// readable, the rest erased) or null for an unmapped LEB.
struct source {
  uint32_t leb_size = 0;
  uint32_t leb_count = 0;
  std::function<const uint8_t*(uint32_t lnum, uint32_t* len)> leb;
};

struct attr {
  uint32_t mode = 0, uid = 0, gid = 0, nlink = 0, rdev = 0;
  uint64_t size = 0, ino = 0;
  int64_t mtime = 0;
  std::string target;
};

struct entry {
  std::string path;
  attr a;
};

using xattrs = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

struct tree;       // ubifs_write.h
struct raw_block;  // ubifs_write.h

// What the superblock and the master say.
struct facts {
  uint32_t min_io = 0, leb_size = 0, leb_cnt = 0, max_leb_cnt = 0, log_lebs = 0, lpt_lebs = 0, orph_lebs = 0;
  uint32_t fanout = 0, fmt_version = 0, flags = 0;
  uint8_t key_hash = 0;
  uint16_t default_compr = 0;
  uint64_t cmt_no = 0, highest_inum = 0, max_sqnum = 0;
  uint32_t buds = 0, replayed = 0;  // journal buds and the nodes replayed from them
};

// Whether `p` starts with a UBIFS superblock node.
bool is_ubifs(const uint8_t* p, size_t n);
// The directory-entry hash of `name` (key_hash 0: r5, 1: test).
uint32_t name_hash(int key_hash, const std::string& name);

class fs {
 public:
  virtual ~fs() = default;
  // `budget`: the most bytes of metadata held in memory.
  static std::unique_ptr<fs> open(source src, size_t budget, std::string* why);

  virtual const facts& info() const = 0;
  virtual int stat(const std::string& path, attr* out) = 0;
  virtual int walk(const std::string& path, std::vector<entry>* out) = 0;
  virtual long long pread(const std::string& path, void* buf, size_t size, uint64_t offset) = 0;
  virtual int get_xattrs(const std::string& path, xattrs* out) = 0;
  // The data nodes of a regular file as stored (CRC checked), by block.
  virtual int data_nodes(const std::string& path, std::vector<raw_block>* out) = 0;
  // Everything, for a rewrite (see export_tree in ubifs_write.h).
  virtual bool to_tree(tree* out, std::string* why, bool data) = 0;
};

}  // namespace rs::ubifs
