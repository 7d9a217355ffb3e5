// lzo blocks as squashfs 4.0 stores them: a bare lzo1x stream per block; the
// options block holds the algorithm and level (le32 each).
#include "squashfs/lzo4.h"

#include <lzo/lzo1x.h>
#include <sqfs/error.h>
#include <sqfs/io.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "squashfs/codec_wrap.h"
#include "util/endian.h"

namespace rs::sqfs {
namespace {

struct Lzo {
  sqfs_compressor_t c{};
  sqfs_compressor_config_t cfg{};
  std::vector<unsigned char> work;
  std::vector<unsigned char> scratch;
};

Lzo* self(const sqfs_compressor_t* c) { return reinterpret_cast<Lzo*>(const_cast<sqfs_compressor_t*>(c)); }

size_t work_size(unsigned algorithm) {
  switch (algorithm) {
    case SQFS_LZO1X_1:
      return LZO1X_1_MEM_COMPRESS;
    case SQFS_LZO1X_1_11:
      return LZO1X_1_11_MEM_COMPRESS;
    case SQFS_LZO1X_1_12:
      return LZO1X_1_12_MEM_COMPRESS;
    case SQFS_LZO1X_1_15:
      return LZO1X_1_15_MEM_COMPRESS;
    default:
      return LZO1X_999_MEM_COMPRESS;
  }
}

sqfs_s32 do_block(sqfs_compressor_t* cmp, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out, sqfs_u32 outsize) {
  Lzo* z = self(cmp);
  if (z->cfg.flags & SQFS_COMP_FLAG_UNCOMPRESS) {
    lzo_uint n = outsize;
    int r = lzo1x_decompress_safe(in, size, out, &n, nullptr);
    return r == LZO_E_OK ? sqfs_s32(n) : SQFS_ERROR_COMPRESSOR;
  }
  // lzo writes up to size + size/16 + 67 bytes, more than a block may take.
  z->scratch.resize(size + size / 16 + 64 + 3);
  lzo_uint n = z->scratch.size();
  int r;
  switch (z->cfg.opt.lzo.algorithm) {
    case SQFS_LZO1X_1:
      r = lzo1x_1_compress(in, size, z->scratch.data(), &n, z->work.data());
      break;
    case SQFS_LZO1X_1_11:
      r = lzo1x_1_11_compress(in, size, z->scratch.data(), &n, z->work.data());
      break;
    case SQFS_LZO1X_1_12:
      r = lzo1x_1_12_compress(in, size, z->scratch.data(), &n, z->work.data());
      break;
    case SQFS_LZO1X_1_15:
      r = lzo1x_1_15_compress(in, size, z->scratch.data(), &n, z->work.data());
      break;
    default:
      r = lzo1x_999_compress_level(in, size, z->scratch.data(), &n, z->work.data(), nullptr, 0, nullptr,
                                   int(z->cfg.level));
      break;
  }
  if (r != LZO_E_OK) return SQFS_ERROR_COMPRESSOR;
  if (n >= size || n > outsize) return 0;
  std::memcpy(out, z->scratch.data(), n);
  return sqfs_s32(n);
}

int read_options(sqfs_compressor_t* cmp, sqfs_file_t* file) {
  uint8_t b[10];
  if (file->read_at(file, 96, b, sizeof b) != 0) return SQFS_ERROR_IO;
  // Options are written as one uncompressed metadata block of 8 bytes.
  if (load_le16(b) != 0x8008) return SQFS_ERROR_CORRUPTED;
  uint32_t alg = load_le32(b + 2), level = load_le32(b + 6);
  if (alg > SQFS_LZO1X_999 || level > 9 || (alg == SQFS_LZO1X_999 && level == 0)) return SQFS_ERROR_UNSUPPORTED;
  Lzo* z = self(cmp);
  z->cfg.opt.lzo.algorithm = sqfs_u16(alg);
  z->cfg.level = alg == SQFS_LZO1X_999 ? level : 0;
  z->work.assign(work_size(alg), 0);
  return 0;
}

int write_options(sqfs_compressor_t* cmp, sqfs_file_t* file) {
  Lzo* z = self(cmp);
  if (z->cfg.opt.lzo.algorithm == SQFS_LZO_DEFAULT_ALG && z->cfg.level == SQFS_LZO_DEFAULT_LEVEL) return 0;
  uint8_t b[10];
  store_le16(b, 0x8008);
  store_le32(b + 2, z->cfg.opt.lzo.algorithm);
  store_le32(b + 6, z->cfg.level);
  int r = file->write_at(file, 96, b, sizeof b);
  return r != 0 ? r : int(sizeof b);
}

}  // namespace

int create_lzo_compressor(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out) {
  static const bool ready = lzo_init() == LZO_E_OK;
  if (!ready) return SQFS_ERROR_UNSUPPORTED;
  if (cfg->opt.lzo.algorithm > SQFS_LZO1X_999) return SQFS_ERROR_UNSUPPORTED;
  Lzo* z = new (std::nothrow) Lzo;
  if (!z) return SQFS_ERROR_ALLOC;
  z->cfg = *cfg;
  z->work.assign(work_size(cfg->opt.lzo.algorithm), 0);
  set_object_calls<Lzo, create_lzo_compressor>(z);
  z->c.get_configuration = [](const sqfs_compressor_t* c, sqfs_compressor_config_t* o) { *o = self(c)->cfg; };
  z->c.write_options = write_options;
  z->c.read_options = read_options;
  z->c.do_block = do_block;
  *out = &z->c;
  return 0;
}

}  // namespace rs::sqfs
