// Layout constants of squashfs 2.0/2.1: the 3.x superblock cut after 63 bytes
// (its 32-bit fields are the real ones here), smaller inodes and listings
// without inode numbers, 8-byte fragment entries behind a u32 index. Shared
// pieces (byte order, bit-field codecs, metadata blocks) are those of 3.x in
// format3.h; docs/squashfs-2x.md has the layout.
#pragma once
#include <cstddef>
#include <cstdint>

#include "squashfs/format3.h"

namespace rs::sqfs::v2 {

constexpr size_t kSuperSize = 63;
constexpr uint16_t kMinorL = 76;  // 'L': blocks are headerless raw LZMA
constexpr uint32_t kMaxBlock = 65536;

// Superblock field offsets where they differ from 3.x (major, minor, flags,
// uid counts, mkfs_time, root inode and block size sit where 3.x has them).
enum Off : size_t {
  kBytesUsed = 8,
  kUidStart = 12,
  kGuidStart = 16,
  kInodeTableStart = 20,
  kDirTableStart = 24,
  kBlockSize1 = 32,  // 16-bit block size of 1.x; 0 in what 2.x tools write
  kFragTableStart = 59,
};

// Recognises a 2.x superblock (plain magic, major 2, either byte order).
inline bool identify(const uint8_t* sb, size_t size, v3::Order* order) {
  if (!sb || size < kSuperSize) return false;
  for (bool be : {false, true}) {
    v3::Order o{be};
    if (o.u32(sb) == v3::kMagicPlain && o.u16(sb + v3::kMajor) == 2) {
      if (order) *order = o;
      return true;
    }
  }
  return false;
}

// Bit fields that only 2.x has, in the image's byte order (the first declared
// field takes the low bits of a little-endian group, the top bits of a
// big-endian one).
inline uint32_t u24(const v3::Order& o, const uint8_t* p) {
  return o.be ? uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]
              : uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
}
inline void put24(const v3::Order& o, std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 3; ++i) v.push_back(uint8_t(o.be ? x >> (8 * (2 - i)) : x >> (8 * i)));
}
// Listing header: count (8 bits, entries - 1), start_block (24 bits).
inline void dir_header(const v3::Order& o, const uint8_t* p, unsigned* count, uint32_t* start) {
  uint32_t v = o.u32(p);
  *count = o.be ? v >> 24 : v & 0xFF;
  *start = o.be ? v & 0xFFFFFF : v >> 8;
}
inline void put_dir_header(const v3::Order& o, std::vector<uint8_t>& v, unsigned count, uint32_t start) {
  o.put32(v, o.be ? uint32_t(count & 0xFF) << 24 | (start & 0xFFFFFF) : (count & 0xFF) | (start & 0xFFFFFF) << 8);
}
// Long directory index entry: index (27 bits), start_block (29 bits) in 7 bytes.
inline void put_dir_index(const v3::Order& o, std::vector<uint8_t>& v, uint32_t index, uint32_t start) {
  uint64_t i = index & 0x7FFFFFF, s = start & 0x1FFFFFFF;
  uint64_t w = o.be ? i << 29 | s : i | s << 27;
  for (int k = 0; k < 7; ++k) v.push_back(uint8_t(o.be ? w >> (8 * (6 - k)) : w >> (8 * k)));
}

}  // namespace rs::sqfs::v2
