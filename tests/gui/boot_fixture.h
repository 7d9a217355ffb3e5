// Boot-loader buffers built in code: a key block at kBlockAt and an LED glyph
// table at kMarkerAt inside zero filler.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

namespace guitest {

inline constexpr size_t kBlockAt = 0x100;
inline constexpr size_t kMarkerAt = 0x300;

inline void put_le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

inline uint32_t get_le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// `codes` are written after the block, then the end mark unless `terminate`
// is false. `opaque` seeds the block's opaque bytes so that source and
// destination blocks differ.
inline std::vector<uint8_t> make_boot(const std::vector<uint32_t>& codes, uint8_t opaque = 0x30,
                                      bool glyph_table = true, bool terminate = true, size_t size = 0x400) {
  std::vector<uint8_t> b(size, 0x00);
  const uint8_t sig[] = {0x04, 0x00, 0x00, 0x2C, 0xFF, 0x00};
  std::memcpy(b.data() + kBlockAt, sig, sizeof sig);
  for (size_t i = 6; i < 126; ++i) b[kBlockAt + i] = uint8_t(opaque + i);
  std::memset(b.data() + kBlockAt + 126, 0xFF, 6);
  size_t at = kBlockAt + 132;
  // A list longer than the buffer is cut: only whole codes are stored.
  for (uint32_t c : codes) {
    if (at + 4 > b.size()) break;
    put_le32(b, at, c);
    at += 4;
  }
  if (terminate && at + 4 <= b.size()) put_le32(b, at, 0x0000FFFF);
  if (glyph_table) {
    std::memset(b.data() + kMarkerAt, 0x11, 8);
    std::memset(b.data() + kMarkerAt + 72, 0x22, 8);
  }
  return b;
}

}  // namespace guitest
