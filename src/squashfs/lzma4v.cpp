// Vendor-framed lzma blocks of 4.0 images: raw LZMA1 streams behind a short
// header (or none), decoded and written with liblzma's raw coder. New blocks
// keep the image's framing, properties byte and dictionary, and carry the
// end marker the vendor blocks carry.
#include "squashfs/lzma4v.h"

#include <lzma.h>
#include <sqfs/error.h>
#include <sqfs/io.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "squashfs/codec_wrap.h"
#include "squashfs/format4.h"
#include "util/endian.h"

namespace rs::sqfs {
namespace {

// The kind rides in the lzma options' padding, which libsquashfs never reads
// for a codec it did not make.
constexpr size_t kMarkAt = 0, kPropsAt = 1;

struct Props {
  int lc, lp, pb;
};

bool split_props(uint8_t b, Props* p) {
  if (b > 224) return false;
  p->lc = b % 9;
  p->lp = (b / 9) % 5;
  p->pb = b / 45;
  return p->lc + p->lp <= 4;
}

struct Lzma4v {
  sqfs_compressor_t c{};
  sqfs_compressor_config_t cfg{};
  LzmaKind kind;
  lzma_stream strm = LZMA_STREAM_INIT;  // kept so that its buffers are reused
  std::vector<uint8_t> scratch;
  ~Lzma4v() { lzma_end(&strm); }
};

Lzma4v* self(const sqfs_compressor_t* c) { return reinterpret_cast<Lzma4v*>(const_cast<sqfs_compressor_t*>(c)); }

// Decodes a raw stream into at most `outsize` bytes: the count, or -1. A
// stream ends at its end marker or where the output is full.
long raw_decode(lzma_stream* s, const uint8_t* in, size_t n, const Props& pr, uint8_t* out, size_t outsize) {
  lzma_options_lzma o;
  if (lzma_lzma_preset(&o, 0)) return -1;
  // Back-references never reach past what was decoded, so the output room is
  // dictionary enough whatever the header names.
  o.dict_size = uint32_t(std::max<size_t>(LZMA_DICT_SIZE_MIN, outsize));
  o.lc = uint32_t(pr.lc);
  o.lp = uint32_t(pr.lp);
  o.pb = uint32_t(pr.pb);
  lzma_filter f[2] = {{LZMA_FILTER_LZMA1, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_raw_decoder(s, f) != LZMA_OK) return -1;
  s->next_in = in;
  s->avail_in = n;
  s->next_out = out;
  s->avail_out = outsize;
  lzma_ret r = lzma_code(s, LZMA_RUN);
  if (r == LZMA_STREAM_END) return s->avail_in == 0 ? long(outsize - s->avail_out) : -1;
  if (r == LZMA_OK && s->avail_out == 0) return long(outsize);
  return -1;
}

// Where the stream starts and which properties decode it, from the block's own header.
bool frame(LzmaFraming f, const uint8_t* in, size_t n, size_t* skip, Props* pr) {
  switch (f) {
    case LzmaFraming::props_dict:
      *skip = 5;
      return n > 5 && split_props(in[0], pr);
    case LzmaFraming::props4:
      *skip = 4;
      if (n <= 4 || in[0] > 4 || in[1] > 4 || in[2] > 4 || in[1] + in[2] > 4) return false;
      *pr = {in[1], in[2], in[0]};
      return true;
    case LzmaFraming::raw_302:
      *skip = 0;
      *pr = {3, 0, 2};
      return n > 0 && in[0] == 0;
    case LzmaFraming::raw_002:
      *skip = 0;
      *pr = {0, 0, 2};
      return n > 0 && in[0] == 0;
    default:
      return false;
  }
}

sqfs_s32 decode(Lzma4v* z, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out, sqfs_u32 outsize) {
  size_t skip = 0;
  Props pr{};
  if (!frame(z->kind.framing, in, size, &skip, &pr)) return SQFS_ERROR_CORRUPTED;
  long r = raw_decode(&z->strm, in + skip, size - skip, pr, out, outsize);
  return r < 0 ? SQFS_ERROR_CORRUPTED : sqfs_s32(r);
}

sqfs_s32 encode(Lzma4v* z, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out, sqfs_u32 outsize) {
  Props pr{};
  if (!split_props(z->kind.props, &pr)) return SQFS_ERROR_UNSUPPORTED;
  uint8_t head[5];
  size_t hn = 0;
  switch (z->kind.framing) {
    case LzmaFraming::props_dict:
      head[0] = z->kind.props;
      store_le32(head + 1, z->kind.dict);
      hn = 5;
      break;
    case LzmaFraming::props4:
      head[0] = uint8_t(pr.pb);
      head[1] = uint8_t(pr.lc);
      head[2] = uint8_t(pr.lp);
      head[3] = 0;
      hn = 4;
      break;
    case LzmaFraming::raw_302:
      pr = {3, 0, 2};
      break;
    case LzmaFraming::raw_002:
      pr = {0, 0, 2};
      break;
    default:
      return SQFS_ERROR_UNSUPPORTED;
  }
  lzma_options_lzma o;
  uint32_t level = z->cfg.level >= 1 && z->cfg.level <= 9 ? z->cfg.level : LZMA_PRESET_DEFAULT;
  if (lzma_lzma_preset(&o, level)) return SQFS_ERROR_COMPRESSOR;
  // A dictionary beyond the block gains nothing and costs memory and time;
  // any decoder with the header's (larger) dictionary reads the stream.
  uint32_t d = LZMA_DICT_SIZE_MIN;
  while (d < size && d < z->kind.dict) d <<= 1;
  o.dict_size = std::max<uint32_t>(LZMA_DICT_SIZE_MIN, std::min(d, std::max(z->kind.dict, LZMA_DICT_SIZE_MIN)));
  o.lc = uint32_t(pr.lc);
  o.lp = uint32_t(pr.lp);
  o.pb = uint32_t(pr.pb);
  lzma_filter f[2] = {{LZMA_FILTER_LZMA1, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
  try {
    z->scratch.resize(size_t(size) + size / 2 + 1024);
  } catch (const std::bad_alloc&) {
    return SQFS_ERROR_ALLOC;
  }
  size_t n = 0;
  lzma_ret r = lzma_raw_buffer_encode(f, nullptr, in, size, z->scratch.data(), &n, z->scratch.size());
  if (r != LZMA_OK) return r == LZMA_BUF_ERROR ? 0 : SQFS_ERROR_COMPRESSOR;
  if (hn + n >= size || hn + n > outsize) return 0;
  std::memcpy(out, head, hn);
  std::memcpy(out + hn, z->scratch.data(), n);
  return sqfs_s32(hn + n);
}

sqfs_s32 do_block(sqfs_compressor_t* cmp, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out, sqfs_u32 outsize) {
  Lzma4v* z = self(cmp);
  return (z->cfg.flags & SQFS_COMP_FLAG_UNCOMPRESS) ? decode(z, in, size, out, outsize)
                                                    : encode(z, in, size, out, outsize);
}

}  // namespace

void set_lzma_kind(sqfs_compressor_config_t* cfg, const LzmaKind& k) {
  cfg->opt.lzma.padd0[kMarkAt] = uint8_t(k.framing);
  cfg->opt.lzma.padd0[kPropsAt] = k.props;
  cfg->opt.lzma.dict_size = k.dict;
}

LzmaKind lzma_kind_of(const sqfs_compressor_config_t* cfg) {
  LzmaKind k;
  if (cfg->id != SQFS_COMP_LZMA) return k;
  k.framing = LzmaFraming(cfg->opt.lzma.padd0[kMarkAt]);
  k.props = cfg->opt.lzma.padd0[kPropsAt];
  k.dict = cfg->opt.lzma.dict_size;
  return k;
}

int create_lzma4v_compressor(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out) {
  LzmaKind k = lzma_kind_of(cfg);
  Props pr{};
  if (k.framing == LzmaFraming::alone || uint8_t(k.framing) > uint8_t(LzmaFraming::raw_002) ||
      !split_props(k.props, &pr))
    return SQFS_ERROR_UNSUPPORTED;
  Lzma4v* z = new (std::nothrow) Lzma4v;
  if (!z) return SQFS_ERROR_ALLOC;
  z->cfg = *cfg;
  z->kind = k;
  set_object_calls<Lzma4v, create_lzma4v_compressor>(z);
  z->c.get_configuration = [](const sqfs_compressor_t* c, sqfs_compressor_config_t* o) { *o = self(c)->cfg; };
  // 4.0 lzma has no options block.
  z->c.write_options = [](sqfs_compressor_t*, sqfs_file_t*) { return 0; };
  z->c.read_options = [](sqfs_compressor_t*, sqfs_file_t*) { return 0; };
  z->c.do_block = do_block;
  *out = &z->c;
  return 0;
}

const char* lzma_framings_tried() {
  return "13-byte lzma-alone, props+dictionary, 4-byte pb/lc/lp, raw lc3 lp0 pb2, raw lc0 lp0 pb2";
}

bool sniff_lzma(const uint8_t* blk, size_t n, size_t max_out, LzmaKind* out) {
  std::vector<uint8_t> room(max_out);
  sqfs_compressor_config_t cfg;
  sqfs_compressor_t* alone = nullptr;
  if (sqfs_compressor_config_init(&cfg, SQFS_COMP_LZMA, std::max<size_t>(max_out, 4096), SQFS_COMP_FLAG_UNCOMPRESS) ==
          0 &&
      sqfs_compressor_create(&cfg, &alone) == 0) {
    v4::Obj<sqfs_compressor_t> guard(alone);
    if (alone->do_block(alone, blk, sqfs_u32(n), room.data(), sqfs_u32(max_out)) > 0) {
      *out = LzmaKind{};
      return true;
    }
  }
  lzma_stream s = LZMA_STREAM_INIT;
  bool found = false;
  for (LzmaFraming f : {LzmaFraming::props_dict, LzmaFraming::props4, LzmaFraming::raw_302, LzmaFraming::raw_002}) {
    size_t skip = 0;
    Props pr{};
    if (!frame(f, blk, n, &skip, &pr) || raw_decode(&s, blk + skip, n - skip, pr, room.data(), max_out) <= 0) continue;
    out->framing = f;
    out->props = uint8_t((pr.pb * 5 + pr.lp) * 9 + pr.lc);
    out->dict = f == LzmaFraming::props_dict ? load_le32(blk + 1) : 1u << 23;
    found = true;
    break;
  }
  lzma_end(&s);
  return found;
}

}  // namespace rs::sqfs
