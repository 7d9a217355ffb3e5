// JFFS2 partitions: a scan of every node of the partition buffer into a tree,
// lazy reads, and edits saved as new nodes appended into erased flash (or, when
// that cannot hold them, a compacted image of the live nodes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rs::jffs2 {

enum Compr : uint8_t {
  C_NONE = 0,
  C_ZERO = 1,
  C_RTIME = 2,
  C_RUBIN = 3,
  C_COPY = 4,
  C_DYNRUBIN = 5,
  C_ZLIB = 6,
  C_LZO = 7,
  C_LZMA = 8
};
const char* compr_name(unsigned c);
// -1 for an unknown name.
int compr_by_name(const std::string& name);

// Decodes `in` into exactly `out_len` bytes; false when the stream is damaged.
bool decompress(unsigned compr, const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len);
// Compressed bytes, or empty when the compressor gives nothing smaller.
std::vector<uint8_t> compress(unsigned compr, const uint8_t* in, size_t len);

// The CRC every JFFS2 node carries (CRC-32 from 0 without the final inversion).
uint32_t node_crc(const uint8_t* p, size_t len);

struct attr {
  uint32_t mode = 0, uid = 0, gid = 0, mtime = 0, rdev = 0, nlink = 1, ino = 0;
  uint64_t size = 0;
  std::string target;
};
struct node_entry {
  std::string path;
  attr a;
};

// How a new image is laid out (mkjffs2), or what a loaded one was found to be.
struct layout {
  bool big_endian = false;
  uint32_t erase_size = 0x10000;
  bool cleanmarkers = true;
  unsigned compr = C_ZLIB;  // new content; C_NONE stores it plain
};

class fs;
// Scans `total` bytes at `buf` (kept: reads are lazy). Null with one line on
// standard error when the bytes are no JFFS2 image the reader can trust.
std::unique_ptr<fs> load(uint8_t* buf, size_t used, size_t total);
// An empty file system laid out as `l` over `total` erased bytes (mkjffs2).
std::unique_ptr<fs> create(const layout& l, size_t total);

class fs {
 public:
  virtual ~fs() = default;
  virtual const layout& image_layout() const = 0;
  // The first line of the listing: byte order, erase size and where it came from, compressor.
  virtual std::string describe() const = 0;
  virtual void ls() = 0;
  virtual int stat(const char* path, attr* out) = 0;
  virtual int walk(const char* path, std::vector<node_entry>* out) = 0;
  virtual long long pread(const char* path, void* buf, size_t size, uint64_t offset) = 0;
  // mode/uid/gid < 0 keep a replaced file's values (0644 0:0 for a new one).
  virtual int put(const char* path, const void* buf, size_t size, long mode, long uid, long gid) = 0;
  virtual int remove(const char* path) = 0;
  virtual int mkdir(const char* path, uint32_t mode, uint32_t uid = 0, uint32_t gid = 0) = 0;
  virtual int chmod(const char* path, uint32_t mode) = 0;
  virtual int chown(const char* path, uint32_t uid, uint32_t gid) = 0;
  virtual int symlink(const char* target, const char* path) = 0;
  virtual int rename(const char* from, const char* to) = 0;
  virtual int set_mtime(const char* path, int64_t mtime) = 0;
  // A device node, fifo or socket (mode holds the type), or another name of an existing file.
  virtual int mknod(const char* path, uint32_t mode, uint32_t rdev, uint32_t uid, uint32_t gid) = 0;
  virtual int link(const char* existing, const char* path) = 0;
  virtual uint64_t next_data(const char* path, uint64_t off) = 0;
  // The whole partition with the edits as new nodes; empty with *why on failure.
  // `compacted` says which path was taken.
  virtual std::vector<uint8_t> rebuild(std::string* why, bool* compacted = nullptr) = 0;
};

}  // namespace rs::jffs2
