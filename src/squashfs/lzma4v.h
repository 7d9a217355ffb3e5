// 4.0 "lzma" (compressor id 2) blocks in the framings vendors' kernels use
// instead of the 13-byte lzma-alone header, as a codec in libsquashfs's
// compressor interface so that the reader and the builder share it.
#pragma once
#include <sqfs/compressor.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace rs::sqfs {

enum class LzmaFraming : uint8_t {
  alone = 0,       // props, dictionary (le32), size (le64), stream: libsquashfs's own codec
  props_dict = 1,  // props, dictionary (le32), stream with end marker
  props4 = 2,      // pb, lc, lp, unused byte, stream; dictionary not stored
  raw_302 = 3,     // stream alone, lc 3 lp 0 pb 2
  raw_002 = 4,     // stream alone, lc 0 lp 0 pb 2
};

// How an image's lzma blocks are framed: the framing, its properties byte
// ((pb * 5 + lp) * 9 + lc) and the dictionary the header names.
struct LzmaKind {
  LzmaFraming framing = LzmaFraming::alone;
  uint8_t props = 0x5D;
  uint32_t dict = 1u << 23;
};

// Marks `cfg` (an SQFS_COMP_LZMA configuration) as using `k`; make_compressor
// then creates this codec for it.
void set_lzma_kind(sqfs_compressor_config_t* cfg, const LzmaKind& k);
// The kind `cfg` carries; framing alone when it is a plain configuration.
LzmaKind lzma_kind_of(const sqfs_compressor_config_t* cfg);

// Same contract as sqfs_compressor_create, for a configuration set_lzma_kind made.
int create_lzma4v_compressor(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out);

// Which framing decodes `blk` (stored length `n`) to at most `max_out` bytes,
// trying the lzma-alone form first; false when none does.
bool sniff_lzma(const uint8_t* blk, size_t n, size_t max_out, LzmaKind* out);
// The framings sniff_lzma tries, for refusal lines.
const char* lzma_framings_tried();

}  // namespace rs::sqfs
