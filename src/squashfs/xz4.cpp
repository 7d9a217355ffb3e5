// One xz stream per block, laid out as liblzma's single-call encoder lays it
// (stream header, one block whose header records both sizes, CRC32, index,
// footer), with the LZMA2 encoder reinitialised in place for every block so
// that its match finder and tables are allocated once.
#include "squashfs/xz4.h"

#include <lzma.h>
#include <sqfs/error.h>
#include <zstd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "squashfs/codec_wrap.h"

namespace rs::sqfs {
namespace {

struct XzEnc {  // either direction
  sqfs_compressor_t c{};
  sqfs_compressor_config_t cfg{};
  sqfs_compressor_t* lib = nullptr;  // the library's codec: options and configuration
  lzma_stream strm = LZMA_STREAM_INIT;
  ZSTD_CCtx* probe = nullptr;
  ~XzEnc() {
    lzma_end(&strm);
    ZSTD_freeCCtx(probe);
    if (lib) sqfs_destroy(lib);
  }
};

// Bytes no compressor shrinks (random, encrypted or already compressed
// data) cost LZMA as much time as text does, to come out no smaller. A data
// block that zstd's fastest level cannot shorten by a single byte is given
// back as not shrinking, as LZMA would have found after all that work. What
// this passes over is data only LZMA's literal contexts could shorten: no
// repeats and every byte value about as common as any other.
constexpr size_t kProbeFrom = 16384;  // metadata blocks are 8 KiB at most

bool shrinks_at_all(XzEnc* z, const sqfs_u8* in, size_t size, sqfs_u8* scratch, size_t room) {
  if (size < kProbeFrom || room < size - 1) return true;
  if (!z->probe && !(z->probe = ZSTD_createCCtx())) return true;
  return !ZSTD_isError(ZSTD_compressCCtx(z->probe, scratch, size - 1, in, size, 1));
}

XzEnc* self(const sqfs_compressor_t* c) { return reinterpret_cast<XzEnc*>(const_cast<sqfs_compressor_t*>(c)); }

constexpr size_t kStreamHeader = LZMA_STREAM_HEADER_SIZE, kCheck = 4;

// The compressed-size bound liblzma's single-call encoder sizes the block
// header for: LZMA2 stored chunks of 64 KiB with 3 header bytes, and the end byte.
lzma_vli lzma2_bound(size_t n) { return lzma_vli(n) + (lzma_vli(n) + 65535) / 65536 * 3 + 1; }

sqfs_s32 do_block(sqfs_compressor_t* cmp, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out, sqfs_u32 outsize) {
  XzEnc* z = self(cmp);
  if (size == 0) return 0;
  if (size >= 0x7FFFFFFF) return SQFS_ERROR_ARG_INVALID;
  lzma_options_lzma opt;
  if (lzma_lzma_preset(&opt, z->cfg.level)) return SQFS_ERROR_COMPRESSOR;
  opt.lc = z->cfg.opt.xz.lc;
  opt.lp = z->cfg.opt.xz.lp;
  opt.pb = z->cfg.opt.xz.pb;
  opt.dict_size = z->cfg.opt.xz.dict_size;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};

  lzma_block block{};
  block.version = 0;
  block.check = LZMA_CHECK_CRC32;
  block.filters = filters;
  block.uncompressed_size = size;
  block.compressed_size = lzma2_bound(size);
  if (lzma_block_header_size(&block) != LZMA_OK) return SQFS_ERROR_COMPRESSOR;
  const size_t head = kStreamHeader + block.header_size;
  // Anything not smaller than the input is stored raw by the caller.
  const size_t limit = std::min<size_t>(outsize, size);
  if (limit <= head + kCheck + LZMA_STREAM_HEADER_SIZE) return 0;
  if (!shrinks_at_all(z, in, size, out, outsize)) return 0;

  if (lzma_raw_encoder(&z->strm, filters) != LZMA_OK) return SQFS_ERROR_COMPRESSOR;
  z->strm.next_in = in;
  z->strm.avail_in = size;
  z->strm.next_out = out + head;
  z->strm.avail_out = limit - head;
  lzma_ret r = lzma_code(&z->strm, LZMA_FINISH);
  if (r == LZMA_OK || r == LZMA_BUF_ERROR) return 0;  // did not shrink
  if (r != LZMA_STREAM_END) return r == LZMA_MEM_ERROR ? SQFS_ERROR_ALLOC : SQFS_ERROR_COMPRESSOR;
  block.compressed_size = lzma_vli(z->strm.total_out);
  size_t pos = head + size_t(block.compressed_size);

  // Block padding to four bytes, the check, the index and the footer.
  size_t pad = (4 - (size_t(block.compressed_size) & 3)) & 3;
  lzma_index* idx = lzma_index_init(nullptr);
  if (!idx) return SQFS_ERROR_ALLOC;
  const lzma_vli unpadded = lzma_vli(block.header_size) + block.compressed_size + kCheck;
  if (lzma_index_append(idx, nullptr, unpadded, size) != LZMA_OK) {
    lzma_index_end(idx, nullptr);
    return SQFS_ERROR_ALLOC;
  }
  const size_t index_size = size_t(lzma_index_size(idx));
  if (pos + pad + kCheck + index_size + LZMA_STREAM_HEADER_SIZE >= limit) {
    lzma_index_end(idx, nullptr);
    return 0;
  }
  std::memset(out + pos, 0, pad);
  pos += pad;
  const uint32_t crc = lzma_crc32(in, size, 0);
  for (size_t k = 0; k < kCheck; ++k) out[pos++] = uint8_t(crc >> (8 * k));
  size_t ipos = pos;
  r = lzma_index_buffer_encode(idx, out, &ipos, limit);
  lzma_index_end(idx, nullptr);
  if (r != LZMA_OK) return 0;
  pos = ipos;

  lzma_stream_flags flags{};
  flags.version = 0;
  flags.check = LZMA_CHECK_CRC32;
  if (lzma_stream_header_encode(&flags, out) != LZMA_OK) return SQFS_ERROR_COMPRESSOR;
  if (lzma_block_header_encode(&block, out + kStreamHeader) != LZMA_OK) return SQFS_ERROR_COMPRESSOR;
  flags.backward_size = index_size;
  if (lzma_stream_footer_encode(&flags, out + pos) != LZMA_OK) return SQFS_ERROR_COMPRESSOR;
  pos += LZMA_STREAM_HEADER_SIZE;
  return pos < size ? sqfs_s32(pos) : 0;
}

// What the library's xz decoder allows a block's stream to use.
constexpr uint64_t kDecodeMemLimit = uint64_t(65) << 20;

sqfs_s32 undo_block(sqfs_compressor_t* cmp, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out, sqfs_u32 outsize) {
  XzEnc* z = self(cmp);
  if (outsize >= 0x7FFFFFFF) return SQFS_ERROR_ARG_INVALID;
  if (lzma_stream_decoder(&z->strm, kDecodeMemLimit, 0) != LZMA_OK) return SQFS_ERROR_COMPRESSOR;
  z->strm.next_in = in;
  z->strm.avail_in = size;
  z->strm.next_out = out;
  z->strm.avail_out = outsize;
  // One whole stream, every input byte used, as the library's decoder demands.
  if (lzma_code(&z->strm, LZMA_FINISH) != LZMA_STREAM_END || z->strm.avail_in != 0) return SQFS_ERROR_COMPRESSOR;
  return sqfs_s32(outsize - z->strm.avail_out);
}

}  // namespace

int create_xz_decoder(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out) {
  if (cfg->id != SQFS_COMP_XZ || !(cfg->flags & SQFS_COMP_FLAG_UNCOMPRESS)) return SQFS_ERROR_UNSUPPORTED;
  sqfs_compressor_t* lib = nullptr;
  if (int r = sqfs_compressor_create(cfg, &lib); r != 0) return r;
  *out = wrap_codec<XzEnc, create_xz_decoder>(cfg, lib, undo_block);
  return *out ? 0 : SQFS_ERROR_ALLOC;
}

int create_xz_encoder(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out) {
  if (cfg->id != SQFS_COMP_XZ || cfg->flags != 0) return SQFS_ERROR_UNSUPPORTED;
  sqfs_compressor_t* lib = nullptr;
  if (int r = sqfs_compressor_create(cfg, &lib); r != 0) return r;
  *out = wrap_codec<XzEnc, create_xz_encoder>(cfg, lib, do_block);
  return *out ? 0 : SQFS_ERROR_ALLOC;
}

}  // namespace rs::sqfs
