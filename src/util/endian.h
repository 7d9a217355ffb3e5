// Explicit codecs for on-media integers. Never cast packed structs onto bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rs {

inline uint16_t load_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void store_be16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

inline uint16_t load_le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t load_le24(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t load_le64(const uint8_t* p) { return uint64_t(load_le32(p)) | uint64_t(load_le32(p + 4)) << 32; }
inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void store_le24(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
}
inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void store_le64(uint8_t* p, uint64_t v) {
  store_le32(p, uint32_t(v));
  store_le32(p + 4, uint32_t(v >> 32));
}

// Bit fields inside a little-endian word: `width` bits starting at bit `shift`.
inline uint64_t get_bits(uint64_t word, unsigned shift, unsigned width) {
  return width >= 64 ? word >> shift : (word >> shift) & ((uint64_t(1) << width) - 1);
}
inline uint64_t set_bits(uint64_t word, unsigned shift, unsigned width, uint64_t value) {
  uint64_t mask = (width >= 64 ? ~uint64_t(0) : (uint64_t(1) << width) - 1) << shift;
  return (word & ~mask) | ((value << shift) & mask);
}

}  // namespace rs
