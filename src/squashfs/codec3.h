// Block codec of squashfs 3.x images with the LZMA extension: each compressed
// block is a zlib stream or, when its first byte is 0x5D, an LZMA-alone stream
// (13-byte header with the exact uncompressed size, no end marker).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rs::sqfs {

// Decompresses `in` into `out` (room `cap`); the decompressed length, or -1.
// Without `lzma` (plain images) every block is zlib.
long decompress_block3(const uint8_t* in, size_t len, uint8_t* out, size_t cap, bool lzma = true);

// Compresses a block: zlib level 9, then LZMA with dictionary `dict`, whichever
// is not larger (LZMA preferred on a tie). Empty result when nothing shrinks the
// block, in which case it is stored uncompressed. Without `lzma` only zlib is used.
std::vector<uint8_t> compress_block3(const uint8_t* in, size_t len, uint32_t dict, bool lzma = true);

}  // namespace rs::sqfs
