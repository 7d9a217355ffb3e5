// Block codecs of squashfs 2.x and 3.x images. The superblock names no
// compressor: the magic and the minor version tell the framing, and one kind
// (2.x vendor LZMA) shows only in the blocks themselves.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "squashfs/lzma_raw.h"

namespace rs::sqfs {

// Decompresses `in` into `out` (room `cap`); the decompressed length, or -1.
// With `lzma` (magic "shsq"/"qshs") a block whose first byte is 0x5D is an
// LZMA-alone stream (13-byte header with the exact size, no end marker);
// every other block is zlib.
long decompress_block3(const uint8_t* in, size_t len, uint8_t* out, size_t cap, bool lzma = true);

// Compresses a block: zlib level 9, then LZMA with dictionary `dict`, whichever
// is not larger (LZMA preferred on a tie). Empty result when nothing shrinks the
// block, in which case it is stored uncompressed. Without `lzma` only zlib is used.
std::vector<uint8_t> compress_block3(const uint8_t* in, size_t len, uint32_t dict, bool lzma = true);

enum class Framing : uint8_t {
  kZlib,           // stock images
  kZlibOrAlone,    // 3.x magic "shsq"/"qshs": zlib, or LZMA-alone at 0x5D
  kRawL,           // minor 76 ('L'): headerless raw LZMA1 lc3 lp0 pb2 with end marker
  kHeader5,        // 2.x vendor LZMA: props + dictionary (5 bytes), raw LZMA1, no end marker
  kZlibOrHeader5,  // reading 2.0/2.1: zlib, or the 5-byte framing where a block is no zlib stream
  kHeader4,        // plain magic: bytes pb, lc, lp, unused, then raw LZMA1 with end marker
  kRaw             // plain magic: headerless raw LZMA1 (props in `lzma`) with end marker
};

// How the blocks of one image are framed; `lzma` gives the properties and
// dictionary of the 5-byte framing (and the window of the 'L' kind).
struct BlockCodec {
  Framing framing = Framing::kZlib;
  LzmaProps lzma;
};

// The 'L' kinds' fixed properties: what the vendor tools' compress2 at level 9 uses.
inline BlockCodec raw_l_codec() { return {Framing::kRawL, LzmaProps{3, 0, 2, 1u << 23}}; }

// As decompress_block3, in the image's framing.
long decode_block(const BlockCodec& c, const uint8_t* in, size_t len, uint8_t* out, size_t cap);
// As compress_block3, in the image's framing (`dict` is the 3.x LZMA-alone window).
std::vector<uint8_t> encode_block(const BlockCodec& c, const uint8_t* in, size_t len, uint32_t dict);

// For a plain-magic block that is neither zlib nor the 5-byte kind: the
// 4-byte props framing, then headerless raw lc3 lp0 pb2, then lc0 lp0 pb2,
// taking the first under which the block decodes whole into at most `cap`
// bytes with no input left over. False when none does.
bool sniff_vendor(const uint8_t* in, size_t len, size_t cap, BlockCodec* c);

// Names every framing tried on a plain-magic 2.x/3.x image whose blocks
// matched none of them.
extern const char* const kPlainFramingsTried;

// Short name of a framing for refusal lines and listings.
const char* framing_name(Framing f);

}  // namespace rs::sqfs
