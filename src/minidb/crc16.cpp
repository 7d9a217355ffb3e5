#include "minidb/crc16.h"

#include <array>

namespace rs {
namespace {

constexpr std::array<uint16_t, 256> make_table() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t r = uint16_t(i << 8);
    for (int b = 0; b < 8; ++b) r = uint16_t((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
    t[i] = r;
  }
  return t;
}

constexpr auto kTable = make_table();

}  // namespace

uint16_t update_crc16(const uint8_t* data, size_t len, uint16_t crc) {
  uint16_t r = uint16_t(~crc);
  for (size_t i = 0; i < len; ++i) r = uint16_t((r << 8) ^ kTable[((r >> 8) ^ data[i]) & 0xFF]);
  return uint16_t(~r);
}

}  // namespace rs
