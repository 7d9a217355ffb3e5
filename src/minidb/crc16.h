// CRC-16 of MiniDB record data.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rs {

// Polynomial 0x1021, most significant bit first, register starting at the
// complement of `crc` and complemented at the end. With `crc` 0 this is
// CRC-16/GENIBUS ("123456789" gives 0xD64E, the empty input 0).
uint16_t update_crc16(const uint8_t* data, size_t len, uint16_t crc);

}  // namespace rs
