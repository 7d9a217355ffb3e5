#include "util/crc32.h"

#include <zlib.h>

#include <algorithm>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace rs {
namespace {

#if defined(__x86_64__)
// CRC-32 by carry-less multiplication: the message is kept as four 128-bit
// lanes, and each lane is folded 512 bits on (multiplied by x^512 mod P,
// split in its two 64-bit halves) onto the bytes there; at the end the lanes
// fold into one, and the CRC of those 16 bytes and the tail is the CRC of
// the message (folding keeps the message's residue mod P in place).
// Registers hold the bytes little-endian, so a lane's low half is its
// higher-degree half; each constant is x^(D+63) or x^(D-1) mod P with its
// bits reversed over 64 (the product of two reversed polynomials comes out
// one place short, which the -1 makes good).
constexpr uint64_t kFold512Hi = 0x653d982200000000ull, kFold512Lo = 0xcad38e8f00000000ull;
constexpr uint64_t kFold128Hi = 0x65673b4600000000ull, kFold128Lo = 0x9ba54c6f00000000ull;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_folded(uint32_t crc, const uint8_t* p, size_t n) {
  auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  const __m128i k512 = _mm_set_epi64x(int64_t(kFold512Lo), int64_t(kFold512Hi));
  const __m128i k128 = _mm_set_epi64x(int64_t(kFold128Lo), int64_t(kFold128Hi));
  // The register's start value enters as the first 32 message bits.
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(~crc)));
  __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  size_t at = 64;
  for (; n - at >= 64; at += 64) {
    x0 = _mm_xor_si128(fold(x0, k512), load(p + at));
    x1 = _mm_xor_si128(fold(x1, k512), load(p + at + 16));
    x2 = _mm_xor_si128(fold(x2, k512), load(p + at + 32));
    x3 = _mm_xor_si128(fold(x3, k512), load(p + at + 48));
  }
  __m128i x = _mm_xor_si128(fold(x0, k128), x1);
  x = _mm_xor_si128(fold(x, k128), x2);
  x = _mm_xor_si128(fold(x, k128), x3);
  for (; n - at >= 16; at += 16) x = _mm_xor_si128(fold(x, k128), load(p + at));
  alignas(16) uint8_t last[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(last), x);
  // From a zero register: zlib's start value 0xffffffff is that register.
  uLong c = ::crc32(0xffffffffu, last, 16);
  return uint32_t(::crc32(c, p + at, uInt(n - at)));
}

bool have_clmul() {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return yes;
}
#endif

}  // namespace

uint32_t crc32_update(uint32_t crc, const void* data, size_t len) {
  auto p = static_cast<const Bytef*>(data);
#if defined(__x86_64__)
  if (len >= 256 && have_clmul()) return crc32_folded(crc, p, len);
#endif
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
