#include "squashfs/codec3.h"

#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "squashfs/lzma_raw.h"
#include "util/endian.h"

namespace rs::sqfs {
namespace {

// LZMA-alone: properties byte, dictionary (LE u32), exact size (LE u64), then
// the raw stream.
long lzma_decode(const uint8_t* in, size_t len, uint8_t* out, size_t cap) {
  if (len < 13) return -1;
  uint64_t size = load_le64(in + 5);
  LzmaProps p;
  if (size > cap || !p.set_byte(in[0])) return -1;
  p.dict = load_le32(in + 1);
  return lzma_raw_decode(in + 13, len - 13, out, cap, p, size);
}

std::vector<uint8_t> lzma_encode(const uint8_t* in, size_t len, uint32_t dict) {
  LzmaProps p;
  p.dict = dict;
  std::vector<uint8_t> raw = lzma_raw_encode(in, len, p, false);
  if (raw.empty()) return raw;
  std::vector<uint8_t> out(13 + raw.size());
  out[0] = p.byte();
  store_le32(&out[1], dict);
  store_le32(&out[5], uint32_t(len));
  store_le32(&out[9], uint32_t(uint64_t(len) >> 32));
  std::memcpy(out.data() + 13, raw.data(), raw.size());
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

// Raw LZMA1 with the end marker as written; a stream without one must fill
// the room, which all but the last block of anything do.
long raw_decode(const uint8_t* in, size_t len, uint8_t* out, size_t cap, const LzmaProps& p, bool whole = false) {
  long n = lzma_raw_decode(in, len, out, cap, p, kSizeUnknown, false, whole);
  return n >= 0 ? n : lzma_raw_decode(in, len, out, cap, p, cap, false, whole);
}

// The 4-byte prefix: pb, lc, lp (each at most 4, lc + lp at most 4), one
// unused byte; the range coder's first byte, always 0, follows.
bool sniff_header4(const uint8_t* in, size_t len, LzmaProps* p) {
  if (len < 6 || in[0] > 4 || in[1] > 4 || in[2] > 4 || in[1] + in[2] > 4 || in[4] != 0) return false;
  p->pb = in[0];
  p->lc = in[1];
  p->lp = in[2];
  // The window is not stored; none larger than a block is ever needed.
  p->dict = 1u << 23;
  return true;
}

long header4_decode(const uint8_t* in, size_t len, uint8_t* out, size_t cap, bool whole = false) {
  LzmaProps p;
  if (!sniff_header4(in, len, &p)) return -1;
  return raw_decode(in + 4, len - 4, out, cap, p, whole);
}

}  // namespace

const char* const kPlainFramingsTried =
    "zlib, lzma with 5-byte header, lzma with 4-byte props header or headerless raw lzma (lc3 or lc0, lp0 pb2)";

bool sniff_vendor(const uint8_t* in, size_t len, size_t cap, BlockCodec* c) {
  if (len == 0 || looks_zlib(in, len) || sniff_header5(in, len, nullptr)) return false;
  std::vector<uint8_t> out(cap);
  LzmaProps p;
  if (sniff_header4(in, len, &p) && header4_decode(in, len, out.data(), cap, true) > 0) {
    *c = {Framing::kHeader4, p};
    return true;
  }
  for (unsigned lc : {3u, 0u}) {
    p = LzmaProps{lc, 0, 2, 1u << 23};
    if (raw_decode(in, len, out.data(), cap, p, true) > 0) {
      *c = {Framing::kRaw, p};
      return true;
    }
  }
  return false;
}

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
    case Framing::kHeader4:
      return header4_decode(in, len, out, cap);
    case Framing::kRaw:
      return raw_decode(in, len, out, cap, c.lzma);
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
    case Framing::kRaw:
      out = lzma_raw_encode(in, len, c.lzma, true);
      break;
    case Framing::kHeader4: {
      std::vector<uint8_t> raw = lzma_raw_encode(in, len, c.lzma, true);
      if (raw.empty()) break;
      out = {uint8_t(c.lzma.pb), uint8_t(c.lzma.lc), uint8_t(c.lzma.lp), 0};
      out.insert(out.end(), raw.begin(), raw.end());
      break;
    }
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
    case Framing::kHeader4:
      return "lzma with 4-byte props header, end marker";
    case Framing::kRaw:
      return "headerless raw lzma (plain magic, end marker)";
  }
  return "unknown";
}

}  // namespace rs::sqfs
