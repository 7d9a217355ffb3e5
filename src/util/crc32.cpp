#include "util/crc32.h"

#include <zlib.h>

namespace rs {
uint32_t crc32_update(uint32_t crc, const void* data, size_t len) {
  auto p = static_cast<const Bytef*>(data);
  uLong c = crc;
  while (len > 0) {
    // zlib takes a 32-bit length; walk larger buffers in pieces.
    uInt n = len > 0x40000000u ? 0x40000000u : uInt(len);
    c = ::crc32(c, p, n);
    p += n;
    len -= n;
  }
  return uint32_t(c);
}
}  // namespace rs
