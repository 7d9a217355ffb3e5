#include "squashfs/lzma_raw.h"

#include <lzma.h>

#include <algorithm>

#include "util/endian.h"

namespace rs::sqfs {

bool LzmaProps::set_byte(uint8_t b) {
  if (b > (4 * 5 + 4) * 9 + 8) return false;
  lc = b % 9;
  lp = (b / 9) % 5;
  pb = b / 45;
  return true;
}

long lzma_raw_decode(const uint8_t* in, size_t len, uint8_t* out, size_t cap, const LzmaProps& p, uint64_t exact,
                     bool strict, bool whole) {
  if (len == 0 || (exact != kSizeUnknown && exact > cap)) return -1;
  lzma_options_lzma opt{};
  lzma_lzma_preset(&opt, 6);
  opt.lc = p.lc;
  opt.lp = p.lp;
  opt.pb = p.pb;
  // The window never needs to exceed the output; an untrusted stored
  // dictionary would otherwise make the decoder allocate up to 4 GiB.
  uint32_t fit = uint32_t(std::clamp<uint64_t>(cap, LZMA_DICT_SIZE_MIN, uint64_t(1) << 30));
  opt.dict_size = std::clamp<uint32_t>(p.dict, LZMA_DICT_SIZE_MIN, fit);
  opt.ext_flags = strict ? 0 : LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_set_ext_size(opt, exact == kSizeUnknown ? UINT64_MAX : exact);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&s, filters) != LZMA_OK) return -1;
  s.next_in = in;
  s.avail_in = len;
  s.next_out = out;
  s.avail_out = exact == kSizeUnknown ? cap : size_t(exact);
  lzma_ret r;
  do r = lzma_code(&s, exact == kSizeUnknown ? LZMA_RUN : LZMA_FINISH);
  while (r == LZMA_OK && s.avail_in > 0 && s.avail_out > 0);
  size_t produced = size_t(s.next_out - out);
  bool input_left = s.avail_in > 0;
  if (exact == kSizeUnknown && r == LZMA_OK && s.avail_out == 0) {
    // The room is full: a markerless stream that yields one byte more is
    // longer than its room, not a short read.
    uint8_t more;
    s.next_out = &more;
    s.avail_out = 1;
    r = lzma_code(&s, LZMA_RUN);
    if (s.avail_out == 0) r = LZMA_DATA_ERROR;
    input_left = s.avail_in > 0;
  }
  lzma_end(&s);
  if (whole && input_left) return -1;
  if (exact != kSizeUnknown) return r == LZMA_STREAM_END && produced == exact ? long(produced) : -1;
  if (r == LZMA_STREAM_END) return long(produced);
  // No marker: every symbol is decodable once the input is used up; a stream
  // that still has input with the output full is longer than its room.
  if (r == LZMA_OK && !input_left && produced > 0) return long(produced);
  return -1;
}

std::vector<uint8_t> lzma_raw_encode(const uint8_t* in, size_t len, const LzmaProps& p, bool end_marker) {
  lzma_options_lzma o;
  if (lzma_lzma_preset(&o, 9)) return {};
  o.lc = p.lc;
  o.lp = p.lp;
  o.pb = p.pb;
  // A raw stream does not record its window: one as large as the block is
  // all a decoder with the kind's window needs, and keeps the match finder small.
  o.dict_size = std::max<uint32_t>(LZMA_DICT_SIZE_MIN, uint32_t(std::min<uint64_t>(p.dict, len)));
  o.nice_len = 128;
  o.mf = LZMA_MF_BT4;
  o.mode = LZMA_MODE_NORMAL;
  o.depth = 0;
  o.ext_flags = end_marker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_set_ext_size(o, UINT64_MAX);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  std::vector<uint8_t> out;
  if (lzma_raw_encoder(&s, filters) != LZMA_OK) return out;
  out.resize(len + len / 2 + 256);
  s.next_in = in;
  s.avail_in = len;
  s.next_out = out.data();
  s.avail_out = out.size();
  lzma_ret r;
  do r = lzma_code(&s, LZMA_FINISH);
  while (r == LZMA_OK && s.avail_out > 0);
  size_t used = out.size() - s.avail_out;
  lzma_end(&s);
  if (r != LZMA_STREAM_END) return {};
  out.resize(used);
  return out;
}

bool sniff_header5(const uint8_t* in, size_t len, LzmaProps* p) {
  if (len < 6 || in[5] != 0 || looks_zlib(in, len)) return false;
  LzmaProps q;
  if (!q.set_byte(in[0]) || q.lc + q.lp > 4) return false;
  q.dict = load_le32(in + 1);
  if (q.dict < 4096 || q.dict > (1u << 30)) return false;
  if (p) *p = q;
  return true;
}

}  // namespace rs::sqfs
