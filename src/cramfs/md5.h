// MD5 message digest (RFC 1321), used to find files with identical content.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rs::cramfs {
void md5(const void* data, size_t len, uint8_t digest[16]);
}
