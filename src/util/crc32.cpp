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
// Where 512-bit carry-less products are to be had, sixteen lanes in four
// registers fold 2048 bits on at a time.
constexpr uint64_t kFold2048Hi = 0x7cc8e1e700000000ull, kFold2048Lo = 0x03f9f86300000000ull;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

bool have_wide_clmul() {
  static const bool yes = __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f") &&
                          __builtin_cpu_supports("avx512vl");
  return yes;
}

#define RS_WIDE __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1")))
RS_WIDE inline __m512i load4(const uint8_t* q) { return _mm512_loadu_si512(q); }
RS_WIDE inline __m512i fold4(__m512i v, __m512i k) {
  return _mm512_xor_si512(_mm512_clmulepi64_epi128(v, k, 0x00), _mm512_clmulepi64_epi128(v, k, 0x11));
}
RS_WIDE inline __m512i pair4(uint64_t hi, uint64_t lo) {
  return _mm512_set_epi64(int64_t(lo), int64_t(hi), int64_t(lo), int64_t(hi), int64_t(lo), int64_t(hi), int64_t(lo),
                          int64_t(hi));
}

// The four lanes of the plain folding after the first `*at` bytes (all but
// the last 0-255 of them), the start value taken in.
RS_WIDE void fold_wide(uint32_t crc, const uint8_t* p, size_t n, __m128i x[4], size_t* at) {
  const __m512i k2048 = pair4(kFold2048Hi, kFold2048Lo), k512 = pair4(kFold512Hi, kFold512Lo);
  __m512i z0 = _mm512_xor_si512(load4(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(~crc))));
  __m512i z1 = load4(p + 64), z2 = load4(p + 128), z3 = load4(p + 192);
  size_t i = 256;
  for (; n - i >= 256; i += 256) {
    z0 = _mm512_xor_si512(fold4(z0, k2048), load4(p + i));
    z1 = _mm512_xor_si512(fold4(z1, k2048), load4(p + i + 64));
    z2 = _mm512_xor_si512(fold4(z2, k2048), load4(p + i + 128));
    z3 = _mm512_xor_si512(fold4(z3, k2048), load4(p + i + 192));
  }
  // Each register holds the 64 bytes after the one before.
  z1 = _mm512_xor_si512(fold4(z0, k512), z1);
  z2 = _mm512_xor_si512(fold4(z1, k512), z2);
  z3 = _mm512_xor_si512(fold4(z2, k512), z3);
  _mm512_storeu_si512(x, z3);
  *at = i;
}
#undef RS_WIDE

__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_folded(uint32_t crc, const uint8_t* p, size_t n) {
  auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  const __m128i k512 = _mm_set_epi64x(int64_t(kFold512Lo), int64_t(kFold512Hi));
  const __m128i k128 = _mm_set_epi64x(int64_t(kFold128Lo), int64_t(kFold128Hi));
  __m128i x0, x1, x2, x3;
  size_t at = 64;
  if (n >= 1024 && have_wide_clmul()) {
    __m128i x[4];
    fold_wide(crc, p, n, x, &at);
    x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3];
  } else {
    // The register's start value enters as the first 32 message bits.
    x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(~crc)));
    x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  }
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
