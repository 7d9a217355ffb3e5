// Layout constants of squashfs 3.x shared by its reader and builder.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "squashfs/codec3.h"
#include "squashfs/squashfs.h"
#include "util/endian.h"

namespace rs::sqfs::v3 {

// Magic numbers as read in the image's own byte order: "hsqs"/"sqsh" are plain
// (zlib only), "shsq"/"qshs" the LZMA variant.
constexpr uint32_t kMagicPlain = 0x73717368u;
constexpr uint32_t kMagicLzma = 0x71736873u;
constexpr size_t kSuperSize = 119;
constexpr size_t kMetaChunk = 8192;
constexpr uint32_t kNoFragment = 0xFFFFFFFFu;
constexpr uint32_t kDataStored = 0x01000000u;
constexpr uint16_t kMetaStored = 0x8000;

enum Flag : uint8_t {
  kNoInodes = 0x01,
  kNoData = 0x02,
  kCheck = 0x04,
  kNoFrags = 0x08,
  kNoFragments = 0x10,
  kAlwaysFrags = 0x20,
  kDuplicates = 0x40,
  kExportable = 0x80,
};

// Superblock field offsets.
enum Off : size_t {
  kInodes = 4,
  kMajor = 28,
  kMinor = 30,
  kBlockLog = 34,
  kFlags = 36,
  kNoUids = 37,
  kNoGuids = 38,
  kMkfsTime = 39,
  kRootInode = 43,
  kBlockSize = 51,
  kFragments = 55,
  kBytesUsed = 63,
  kUidStart = 71,
  kGuidStart = 79,
  kInodeTableStart = 87,
  kDirTableStart = 95,
  kFragTableStart = 103,
  kLookupTableStart = 111,
};

// Integers of an image in its byte order. Big-endian images also pack their
// bit fields from the most significant bit down, so every bit-field group has
// a pair of codecs here (see docs/squashfs-3x-byte-orders.md).
struct Order {
  bool be = false;

  uint16_t u16(const uint8_t* p) const { return be ? load_be16(p) : load_le16(p); }
  uint32_t u32(const uint8_t* p) const { return be ? load_be32(p) : load_le32(p); }
  uint64_t u64(const uint8_t* p) const { return be ? uint64_t(load_be32(p)) << 32 | load_be32(p + 4) : load_le64(p); }
  void put16(uint8_t* p, uint16_t v) const { be ? store_be16(p, v) : store_le16(p, v); }
  void put32(uint8_t* p, uint32_t v) const { be ? store_be32(p, v) : store_le32(p, v); }
  void put64(uint8_t* p, uint64_t v) const {
    if (be) {
      store_be32(p, uint32_t(v >> 32));
      store_be32(p + 4, uint32_t(v));
    } else {
      store_le64(p, v);
    }
  }
  void put16(std::vector<uint8_t>& v, uint16_t x) const {
    uint8_t b[2];
    put16(b, x);
    v.insert(v.end(), b, b + 2);
  }
  void put32(std::vector<uint8_t>& v, uint32_t x) const {
    uint8_t b[4];
    put32(b, x);
    v.insert(v.end(), b, b + 4);
  }
  void put64(std::vector<uint8_t>& v, uint64_t x) const {
    uint8_t b[8];
    put64(b, x);
    v.insert(v.end(), b, b + 8);
  }

  // Base inode header bytes 0-1: type (4 bits) and mode (12 bits).
  void type_mode(const uint8_t* p, int* type, unsigned* mode) const {
    uint16_t v = u16(p);
    *type = be ? v >> 12 : v & 0xF;
    *mode = be ? v & 0xFFF : v >> 4;
  }
  uint16_t type_mode(int type, unsigned mode) const {
    return be ? uint16_t(type << 12 | (mode & 07777)) : uint16_t(type | (mode & 07777) << 4);
  }
  // Directory inode: file_size (19 bits) and offset (13 bits) in 4 bytes.
  void dir_size(const uint8_t* p, uint32_t* size, uint32_t* offset) const {
    uint32_t v = u32(p);
    *size = be ? v >> 13 : v & 0x7FFFF;
    *offset = be ? v & 0x1FFF : v >> 19;
  }
  void put_dir_size(std::vector<uint8_t>& v, uint32_t size, uint32_t offset) const {
    put32(v, be ? (size & 0x7FFFF) << 13 | (offset & 0x1FFF) : (size & 0x7FFFF) | (offset & 0x1FFF) << 19);
  }
  // Long directory inode: file_size (27 bits) and offset (13 bits) in 5 bytes.
  void ldir_size(const uint8_t* p, uint32_t* size, uint32_t* offset) const {
    uint64_t w = be ? uint64_t(load_be32(p)) << 8 | p[4] : load_le32(p) | uint64_t(p[4]) << 32;
    *size = uint32_t(be ? w >> 13 : w & 0x7FFFFFF);
    *offset = uint32_t(be ? w & 0x1FFF : (w >> 27) & 0x1FFF);
  }
  void put_ldir_size(std::vector<uint8_t>& v, uint32_t size, uint32_t offset) const {
    uint64_t s = size & 0x7FFFFFF, o = offset & 0x1FFF;
    uint64_t w = be ? s << 13 | o : s | o << 27;
    for (int i = 0; i < 5; ++i) v.push_back(uint8_t(be ? w >> (8 * (4 - i)) : w >> (8 * i)));
  }
  // Directory entry bytes 0-1: offset (13 bits) and type (3 bits).
  void entry_ref(const uint8_t* p, uint32_t* offset, int* type) const {
    uint16_t v = u16(p);
    *offset = be ? v >> 3 : v & 0x1FFF;
    *type = be ? v & 7 : v >> 13;
  }
  uint16_t entry_ref(uint32_t offset, int type) const {
    return be ? uint16_t((offset & 0x1FFF) << 3 | (type & 7)) : uint16_t((offset & 0x1FFF) | (type & 7) << 13);
  }
};

// Recognises a 3.x superblock (any byte order, either magic, major 3).
inline bool identify(const uint8_t* sb, size_t size, Order* order, bool* lzma) {
  if (!sb || size < kSuperSize) return false;
  for (bool be : {false, true}) {
    Order o{be};
    uint32_t m = o.u32(sb);
    if ((m == kMagicPlain || m == kMagicLzma) && o.u16(sb + kMajor) == 3) {
      if (order) *order = o;
      if (lzma) *lzma = m == kMagicLzma;
      return true;
    }
  }
  return false;
}

// What a loaded 2.x or 3.x image leaves for lazy reads and for a rebuild that
// copies stored blocks (squashfs_data::reader_state of a tree read from such an
// image): file data lies alike in both.
struct Loaded3 {
  const uint8_t* img = nullptr;
  size_t size = 0;
  Order o;
  int major = 3;
  bool lzma = true;          // magic "shsq"/"qshs"
  BlockCodec codec;          // how its blocks are framed
  squashfs_params3 params;   // as loaded
  squashfs_params2 params2;  // as loaded, for a 2.x image
  struct Fragment {
    uint64_t start = 0;
    uint32_t word = 0;  // size word
    // Distinct (offset, length) tails the loaded tree keeps in this block.
    std::set<std::pair<uint32_t, uint32_t>> members;
  };
  std::vector<Fragment> frags;

  std::mutex mu;  // guards the cache: reads may come from several threads
  std::map<uint32_t, std::shared_ptr<const std::vector<uint8_t>>> cache;
  size_t cached = 0;  // bytes held by the cache

  // Fragment block `index` decoded; null (and no message) when it is corrupt.
  std::shared_ptr<const std::vector<uint8_t>> fragment(uint32_t index);
  // The data block at `pos` decoded; the last one is kept, so that reading a
  // file in pieces smaller than a block decodes each block once.
  std::shared_ptr<const std::vector<uint8_t>> data_block(uint64_t pos, uint32_t word);
  uint64_t last_pos = 0;
  std::shared_ptr<const std::vector<uint8_t>> last_block;
};

// The reader state of a tree, or null when the tree was not read from a 2.x or 3.x image.
Loaded3* loaded3(const squashfs_data* d);

}  // namespace rs::sqfs::v3
