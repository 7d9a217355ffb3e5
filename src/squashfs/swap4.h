// Byte order of squashfs 4.0 images: turns an image of one byte order into the
// other. Data blocks keep their place (they have no byte order); every
// metadata block is decoded, its integers swapped, and re-encoded, and every
// reference to a metadata block position is moved to where that block lands.
#pragma once
#include <sqfs/compressor.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rs::sqfs {

// How an image orders its integers and its metadata length words (some
// big-endian builds write the length words little-endian).
struct Order4 {
  bool be = false;
  bool le_words = false;
  bool words_be() const { return be && !le_words; }
};

// What a transcode needs and what it found.
struct Transcode4 {
  Order4 from, to;
  sqfs_compressor_t* dec = nullptr;  // decodes the source's compressed metadata
  sqfs_compressor_t* enc = nullptr;  // compresses it again; null stores every block
  bool ids_stored = false;           // the id table written uncompressed
  bool time_is_size = false;         // mkfs_time set to bytes_used
  bool pad4k = false;                // the image padded to 4096 bytes
  // Filled in: whether every id block of the source was stored, and whether
  // its mkfs_time equals its bytes_used.
  bool src_ids_stored = false;
  bool src_time_is_size = false;
};

// The image `in` in the order `t.to`; false with the reason in `why`.
bool transcode4(const uint8_t* in, size_t n, Transcode4& t, std::vector<uint8_t>& out, std::string& why);

// The length-word order of a big-endian image: the reading of the inode
// table's length words that walks it to the directory table (plain first).
Order4 detect_order4_be(const uint8_t* buf, size_t size);

// The first compressed metadata block (inode, then directory table) of an
// image in order `o`: its payload and stored length; false when there is none.
bool first_compressed_block4(const uint8_t* buf, size_t size, Order4 o, const uint8_t** blk, size_t* len);

}  // namespace rs::sqfs
