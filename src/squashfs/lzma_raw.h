// Raw LZMA1 streams as the vendor kinds of squashfs 2.x and 3.x frame their
// blocks: no container, the properties either fixed by the kind or in a
// 5-byte prefix, with or without the end-of-payload marker.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rs::sqfs {

struct LzmaProps {
  unsigned lc = 3, lp = 0, pb = 2;
  uint32_t dict = 1u << 23;

  uint8_t byte() const { return uint8_t((pb * 5 + lp) * 9 + lc); }
  // From a properties byte (pb * 5 + lp) * 9 + lc; false when it is out of range.
  bool set_byte(uint8_t b);
};

constexpr uint64_t kSizeUnknown = ~uint64_t(0);

// Decodes the raw stream `in` into `out` (room `cap`); the decoded length, or
// -1. With `exact` known the stream must yield exactly that many bytes and may
// end with the marker or not; unknown, it ends at its marker or, without one,
// where its input ends. `strict` refuses a marker after `exact` bytes;
// `whole` refuses a stream that ends before its input does.
long lzma_raw_decode(const uint8_t* in, size_t len, uint8_t* out, size_t cap, const LzmaProps& p,
                     uint64_t exact = kSizeUnknown, bool strict = false, bool whole = false);

// Encodes `in` as a raw stream (level 9, BT4, 128 fast bytes as the vendor
// tools do); empty on failure. The end marker is written only when asked:
// a reader of the markerless kind knows the length from elsewhere.
std::vector<uint8_t> lzma_raw_encode(const uint8_t* in, size_t len, const LzmaProps& p, bool end_marker);

// The 5-byte prefix (properties byte, dictionary as LE u32) of a block whose
// raw stream follows it: plausible properties and dictionary, and the stream's
// first byte 0. False for anything else, a zlib stream included.
bool sniff_header5(const uint8_t* in, size_t len, LzmaProps* p);

// A zlib stream header (deflate, window <= 32 KiB, check bits right).
inline bool looks_zlib(const uint8_t* in, size_t len) {
  return len >= 2 && (in[0] & 0x0F) == 8 && (in[0] >> 4) <= 7 && ((unsigned(in[0]) << 8 | in[1]) % 31) == 0;
}

}  // namespace rs::sqfs
