#include "util/crc32.h"

#include <zlib.h>

#include <algorithm>
#include <thread>
#include <vector>

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

uint32_t crc32_parallel(const void* data, size_t len) {
  // Below a few MiB the thread start-up costs more than it saves.
  constexpr size_t kMin = size_t(4) << 20;
  unsigned n = std::max(1u, std::thread::hardware_concurrency());
  if (len < kMin || n == 1) return crc32_of(data, len);
  n = unsigned(std::min<size_t>(n, len / (kMin / 2)));
  auto p = static_cast<const uint8_t*>(data);
  size_t piece = len / n;
  std::vector<uint32_t> crcs(n);
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < n; ++i)
    pool.emplace_back([&, i] {
      size_t b = piece * i, e = i + 1 == n ? len : b + piece;
      crcs[i] = crc32_of(p + b, e - b);
    });
  crcs[0] = crc32_of(p, piece);
  for (auto& t : pool) t.join();
  uLong c = crcs[0];
  for (unsigned i = 1; i < n; ++i) {
    size_t b = piece * i, e = i + 1 == n ? len : b + piece;
    c = ::crc32_combine(c, crcs[i], z_off_t(e - b));
  }
  return uint32_t(c);
}

uint32_t crc32_replace(uint32_t crc, uint64_t len, uint64_t at, const uint8_t* was, const uint8_t* now, size_t n) {
  // crc(m ^ d) = crc(m) ^ crc(d) ^ crc(zeros) for messages of one length; the
  // difference d is zero outside [at, at+n), which leaves the CRC of the
  // changed run, less that of as many zeros, moved over the bytes after it.
  static const uint8_t zeros[4096] = {};
  uint8_t diff[4096];
  uLong x = 0, z = 0;
  for (size_t done = 0; done < n;) {
    size_t k = std::min(sizeof diff, n - done);
    for (size_t i = 0; i < k; ++i) diff[i] = was[done + i] ^ now[done + i];
    x = ::crc32(x, diff, uInt(k));
    z = ::crc32(z, zeros, uInt(k));
    done += k;
  }
  return crc ^ uint32_t(crc32_combine64(x ^ z, 0, z_off64_t(len - at - n)));
}
}  // namespace rs
