#pragma once
#include <cstddef>
#include <cstdint>

namespace rs {
// Standard CRC-32 (zlib's crc32 from 0); `crc` continues an earlier value.
uint32_t crc32_update(uint32_t crc, const void* data, size_t len);
inline uint32_t crc32_of(const void* data, size_t len) { return crc32_update(0, data, len); }
// The same CRC, computed in pieces on all cores for large buffers.
uint32_t crc32_parallel(const void* data, size_t len);
// The CRC of a `len`-byte message whose CRC was `crc` once its `n` bytes at
// `at` changed from `was` to `now`: the cost is that of the bytes changed,
// not of the message (CRCs are linear in the message bits).
uint32_t crc32_replace(uint32_t crc, uint64_t len, uint64_t at, const uint8_t* was, const uint8_t* now, size_t n);
}  // namespace rs
