// MD5 message digest (RFC 1321), used to find files with identical content.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rs::cramfs {
void md5(const void* data, size_t len, uint8_t digest[16]);

// The same digest fed in pieces.
class Md5 {
 public:
  void update(const void* data, size_t len);
  void final(uint8_t digest[16]);

 private:
  uint32_t h_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  uint8_t pending_[64] = {};
  size_t fill_ = 0;
  uint64_t total_ = 0;
};
}  // namespace rs::cramfs
