#include "squashfs/codec3.h"

#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "util/endian.h"

namespace rs::sqfs {
namespace {

long lzma_decode(const uint8_t* in, size_t len, uint8_t* out, size_t cap) {
  if (len < 13) return -1;
  uint64_t size = load_le64(in + 5);
  if (size > cap) return -1;
  lzma_options_lzma opt{};
  lzma_lzma_preset(&opt, 6);
  // Properties byte (pb * 5 + lp) * 9 + lc.
  unsigned props = in[0];
  opt.lc = props % 9;
  opt.lp = (props / 9) % 5;
  opt.pb = props / 45;
  // The window never needs to exceed the output; the stored size is untrusted
  // and would otherwise make the decoder allocate up to 4 GiB.
  uint32_t fit = uint32_t(std::max<uint64_t>(size, LZMA_DICT_SIZE_MIN));
  opt.dict_size = std::clamp<uint32_t>(load_le32(in + 1), LZMA_DICT_SIZE_MIN, fit);
  opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_set_ext_size(opt, size);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&s, filters) != LZMA_OK) return -1;
  s.next_in = in + 13;
  s.avail_in = len - 13;
  s.next_out = out;
  s.avail_out = size_t(size);
  lzma_ret r = lzma_code(&s, LZMA_FINISH);
  size_t produced = size_t(size) - s.avail_out;
  lzma_end(&s);
  if (r != LZMA_STREAM_END || produced != size) return -1;
  return long(produced);
}

std::vector<uint8_t> lzma_encode(const uint8_t* in, size_t len, uint32_t dict) {
  lzma_options_lzma o;
  lzma_lzma_preset(&o, 9);
  o.lc = 3;
  o.lp = 0;
  o.pb = 2;
  o.dict_size = std::max<uint32_t>(dict, LZMA_DICT_SIZE_MIN);
  o.nice_len = 128;
  o.mf = LZMA_MF_BT4;
  o.mode = LZMA_MODE_NORMAL;
  o.depth = 0;
  o.ext_flags = 0;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  std::vector<uint8_t> out;
  if (lzma_raw_encoder(&s, filters) != LZMA_OK) return out;
  out.resize(13 + len + len / 2 + 256);
  out[0] = 0x5D;
  store_le32(&out[1], dict);
  store_le32(&out[5], uint32_t(len));
  store_le32(&out[9], uint32_t(uint64_t(len) >> 32));
  s.next_in = in;
  s.avail_in = len;
  s.next_out = out.data() + 13;
  s.avail_out = out.size() - 13;
  lzma_ret r;
  do r = lzma_code(&s, LZMA_FINISH);
  while (r == LZMA_OK && s.avail_out > 0);
  size_t used = out.size() - s.avail_out;
  lzma_end(&s);
  if (r != LZMA_STREAM_END) return {};
  out.resize(used);
  return out;
}

}  // namespace

long decompress_block3(const uint8_t* in, size_t len, uint8_t* out, size_t cap, bool lzma) {
  if (len == 0) return -1;
  if (lzma && in[0] == 0x5D) return lzma_decode(in, len, out, cap);
  uLongf dlen = uLongf(cap);
  if (uncompress(out, &dlen, in, uLong(len)) != Z_OK) return -1;
  return long(dlen);
}

std::vector<uint8_t> compress_block3(const uint8_t* in, size_t len, uint32_t dict, bool lzma) {
  std::vector<uint8_t> z(compressBound(uLong(len)));
  uLongf zlen = uLongf(z.size());
  if (compress2(z.data(), &zlen, in, uLong(len), 9) != Z_OK) return {};
  z.resize(zlen);
  if (zlen > len) return {};  // incompressible: stored
  std::vector<uint8_t> l = lzma ? lzma_encode(in, len, dict) : std::vector<uint8_t>();
  std::vector<uint8_t>& best = (!l.empty() && l.size() <= z.size()) ? l : z;
  if (best.size() >= len) return {};
  return std::move(best);
}

namespace {

long zlib_decode(const uint8_t* in, size_t len, uint8_t* out, size_t cap) {
  uLongf dlen = uLongf(cap);
  if (uncompress(out, &dlen, in, uLong(len)) != Z_OK) return -1;
  return long(dlen);
}

// The markerless framing gives no length: a full block (the room) is tried
// first, since that is what all but the last block of anything hold.
long header5_decode(const uint8_t* in, size_t len, uint8_t* out, size_t cap) {
  LzmaProps p;
  if (!sniff_header5(in, len, &p)) return -1;
  long n = lzma_raw_decode(in + 5, len - 5, out, cap, p, cap);
  return n >= 0 ? n : lzma_raw_decode(in + 5, len - 5, out, cap, p);
}

}  // namespace

long decode_block(const BlockCodec& c, const uint8_t* in, size_t len, uint8_t* out, size_t cap) {
  if (len == 0) return -1;
  switch (c.framing) {
    case Framing::kZlib:
      return zlib_decode(in, len, out, cap);
    case Framing::kZlibOrAlone:
      return decompress_block3(in, len, out, cap, true);
    case Framing::kRawL: {
      // The marker ends the stream; one that lacks it stops with its input.
      long n = lzma_raw_decode(in, len, out, cap, c.lzma);
      return n >= 0 ? n : lzma_raw_decode(in, len, out, cap, c.lzma, cap);
    }
    case Framing::kHeader5:
      return header5_decode(in, len, out, cap);
    case Framing::kZlibOrHeader5:
      return looks_zlib(in, len) ? zlib_decode(in, len, out, cap) : header5_decode(in, len, out, cap);
  }
  return -1;
}

std::vector<uint8_t> encode_block(const BlockCodec& c, const uint8_t* in, size_t len, uint32_t dict) {
  std::vector<uint8_t> out;
  switch (c.framing) {
    case Framing::kZlib:
    case Framing::kZlibOrHeader5:
      return compress_block3(in, len, dict, false);
    case Framing::kZlibOrAlone:
      return compress_block3(in, len, dict, true);
    case Framing::kRawL:
      out = lzma_raw_encode(in, len, c.lzma, true);
      break;
    case Framing::kHeader5: {
      std::vector<uint8_t> raw = lzma_raw_encode(in, len, c.lzma, false);
      if (raw.empty()) break;
      out.resize(5);
      out[0] = c.lzma.byte();
      store_le32(&out[1], c.lzma.dict);
      out.insert(out.end(), raw.begin(), raw.end());
      break;
    }
  }
  // Stored when compression does not shrink the block, as the vendor tools do.
  if (out.size() >= len) out.clear();
  return out;
}

const char* framing_name(Framing f) {
  switch (f) {
    case Framing::kZlib:
      return "zlib";
    case Framing::kZlibOrAlone:
      return "zlib or lzma-alone";
    case Framing::kRawL:
      return "headerless raw lzma (lc3 lp0 pb2, end marker)";
    case Framing::kHeader5:
      return "lzma with 5-byte header, no end marker";
    case Framing::kZlibOrHeader5:
      return "zlib or lzma with 5-byte header";
  }
  return "unknown";
}

}  // namespace rs::sqfs
