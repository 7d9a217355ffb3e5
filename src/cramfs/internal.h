// Helpers shared by the reader, the tree and the writer.
#pragma once
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cramfs/cramfs.h"
#include "util/endian.h"
#include "util/fileio.h"

// Bump allocation for the nodes and names of a loaded tree: one allocation
// per chunk instead of three per entry, everything freed with the tree. Large
// chunks are mapped on 2 MiB boundaries and asked for huge pages: a tree of
// 200 000 entries then costs a few dozen page faults instead of thousands.
struct cramfs_arena {
  struct Chunk {
    void* at;
    size_t size;
    bool mapped;
  };
  std::vector<Chunk> chunks;
  uint8_t* at = nullptr;
  size_t left = 0, next = 64u << 10;
  cramfs_arena() = default;
  cramfs_arena(const cramfs_arena&) = delete;
  cramfs_arena& operator=(const cramfs_arena&) = delete;
  ~cramfs_arena();
  // `n` bytes aligned to `align` (a power of two up to 16), or null.
  void* get(size_t n, size_t align) {
    size_t skip = (0 - reinterpret_cast<uintptr_t>(at)) & (align - 1);
    if (skip + n > left) {
      if (!grow(n)) return nullptr;
      skip = 0;
    }
    void* p = at + skip;
    at += skip + n;
    left -= skip + n;
    return p;
  }
  bool grow(size_t n);
};

namespace rs::cramfs {
constexpr int kEntryBuckets = 400;
constexpr uint32_t kPage = 4096;
constexpr uint32_t kMagic = 0x28CD3D45;

// "/a/b" form: a leading "/", no empty components, no trailing "/".
std::string normalize_path(const char* path);
// A name an inode may carry and a host directory may hold.
bool valid_name(std::string_view name);
// Adds the node to its image's path table (the root under "/"); nothing while
// the table waits for its first lookup (the node is in the tree, so in it then).
void register_node(entry* node);
// The image's path table, filled first when still pending.
hash_t* path_table(cramfs_data* image);
// The node at the normalised `path`, or null.
entry* lookup(cramfs_data* image, const char* path);
cramfs_data* image_new();

// 32-bit words in the image's byte order.
inline uint32_t load32(bool big, const uint8_t* p) { return big ? rs::load_be32(p) : rs::load_le32(p); }
inline void store32(bool big, uint8_t* p, uint32_t v) { big ? rs::store_be32(p, v) : rs::store_le32(p, v); }

// An inode: three words whose bit fields are laid out from the low bits in a
// little-endian image and from the high bits in a big-endian one.
struct Inode {
  uint32_t mode, uid, size, gid, namelen, offset;  // namelen and offset in bytes
};
inline Inode decode_inode(bool big, const uint8_t* p) {
  uint32_t w0 = load32(big, p), w1 = load32(big, p + 4), w2 = load32(big, p + 8);
  if (big) return {w0 >> 16, w0 & 0xFFFF, w1 >> 8, w1 & 0xFF, (w2 >> 26) * 4, (w2 & 0x3FFFFFF) * 4};
  return {w0 & 0xFFFF, w0 >> 16, w1 & 0xFFFFFF, w1 >> 24, (w2 & 0x3F) * 4, (w2 >> 6) * 4};
}
inline void encode_inode(bool big, uint8_t* p, uint32_t mode, uint32_t uid, uint32_t size, uint32_t gid,
                         uint32_t namelen_units, uint32_t offset) {
  mode &= 0xFFFF, uid &= 0xFFFF, size &= 0xFFFFFF, gid &= 0xFF, namelen_units &= 0x3F,
      offset = (offset / 4) & 0x3FFFFFF;
  if (big) {
    store32(big, p, mode << 16 | uid);
    store32(big, p + 4, size << 8 | gid);
    store32(big, p + 8, namelen_units << 26 | offset);
  } else {
    store32(big, p, mode | uid << 16);
    store32(big, p + 4, size | gid << 24);
    store32(big, p + 8, namelen_units | offset << 6);
  }
}
// The offset field of the inode at `p` set to `offset` (bytes), the name length kept.
inline void set_inode_offset(bool big, uint8_t* p, uint32_t offset) {
  uint32_t w = load32(big, p + 8);
  w = big ? (w & 0xFC000000u) | ((offset / 4) & 0x3FFFFFF) : (w & 0x3F) | (offset / 4) << 6;
  store32(big, p + 8, w);
}

inline uint32_t page_count(uint32_t size) { return (size + kPage - 1) / kPage; }
// Empty when the `pages` block pointers of the table at `table` lie in order
// inside the image, each page at most two pages long; else the reader's
// message for the first one out of place.
std::string table_fault(const cramfs_data* img, uint32_t table, uint32_t pages, const char* path);
// Inflates page `index` of the content of `size` bytes whose block-pointer
// table is at `table` in the image's bytes into `out` (kPage bytes; what the
// page does not fill is zeroed). 0, or -EIO with the reader's message on
// standard error unless `quiet`.
int read_stored_page(cramfs_data* img, uint32_t table, uint32_t size, uint32_t index, uint8_t* out, bool link,
                     bool quiet);
}  // namespace rs::cramfs

void node_set_path(entry* e, const std::string& path);
