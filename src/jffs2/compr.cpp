// The compressors JFFS2 nodes name, and the node CRC.
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <cstring>

#include "jffs2/jffs2.h"
#include "util/crc32.h"

namespace rs::jffs2 {

const char* compr_name(unsigned c) {
  static const char* const names[] = {"none", "zero", "rtime", "rubinmips", "copy", "dynrubin", "zlib", "lzo", "lzma"};
  return c < sizeof names / sizeof names[0] ? names[c] : "unknown";
}

int compr_by_name(const std::string& name) {
  for (unsigned c = 0; c <= C_LZMA; ++c)
    if (name == compr_name(c)) return int(c);
  return -1;
}

uint32_t node_crc(const uint8_t* p, size_t len) { return ~rs::crc32_update(0xFFFFFFFFu, p, len); }

namespace {

// rtime: each byte is followed by the length of the run that repeats what
// came after that byte's previous occurrence.
bool rtime_decompress(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len) {
  size_t pos = 0, outpos = 0;
  size_t last[256] = {};
  while (outpos < out_len) {
    if (pos + 2 > in_len) return false;
    uint8_t value = in[pos++];
    size_t repeat = in[pos++];
    out[outpos++] = value;
    size_t back = last[value];
    last[value] = outpos;
    if (repeat > out_len - outpos) return false;
    // Byte by byte: the run may overlap what it writes.
    while (repeat--) out[outpos++] = out[back++];
  }
  return true;
}

std::vector<uint8_t> rtime_compress(const uint8_t* in, size_t len) {
  std::vector<uint8_t> out;
  out.reserve(len);
  size_t last[256] = {};
  size_t pos = 0;
  while (pos < len) {
    uint8_t value = in[pos++];
    size_t back = last[value];
    last[value] = pos;
    size_t run = 0;
    while (back < pos && pos < len && in[pos] == in[back] && run < 255) ++pos, ++back, ++run;
    out.push_back(value);
    out.push_back(uint8_t(run));
    if (out.size() >= len) return {};
  }
  return out;
}

}  // namespace

bool decompress(unsigned compr, const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len) {
  switch (compr) {
    case C_NONE:
      if (in_len < out_len) return false;
      std::memcpy(out, in, out_len);
      return true;
    case C_ZERO:
      std::memset(out, 0, out_len);
      return true;
    case C_RTIME:
      return rtime_decompress(in, in_len, out, out_len);
    case C_ZLIB: {
      z_stream z{};
      if (inflateInit(&z) != Z_OK) return false;
      z.next_in = const_cast<uint8_t*>(in);
      z.avail_in = uInt(in_len);
      z.next_out = out;
      z.avail_out = uInt(out_len);
      int r = inflate(&z, Z_FINISH);
      bool ok = (r == Z_STREAM_END || r == Z_OK || r == Z_BUF_ERROR) && z.avail_out == 0;
      inflateEnd(&z);
      return ok;
    }
    case C_LZO: {
      lzo_uint n = out_len;
      int r = lzo1x_decompress_safe(in, in_len, out, &n, nullptr);
      return (r == LZO_E_OK || r == LZO_E_INPUT_NOT_CONSUMED) && n == out_len;
    }
    default:
      return false;
  }
}

std::vector<uint8_t> compress(unsigned compr, const uint8_t* in, size_t len) {
  std::vector<uint8_t> out;
  if (len == 0) return out;
  switch (compr) {
    case C_RTIME:
      return rtime_compress(in, len);
    case C_ZLIB: {
      uLongf n = compressBound(uLong(len));
      out.resize(n);
      if (compress2(out.data(), &n, in, uLong(len), Z_BEST_COMPRESSION) != Z_OK || n >= len) return {};
      out.resize(n);
      return out;
    }
    case C_LZO: {
      static const bool ready = lzo_init() == LZO_E_OK;
      if (!ready) return {};
      std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
      out.resize(len + len / 16 + 67);
      lzo_uint n = out.size();
      if (lzo1x_1_compress(in, len, out.data(), &n, work.data()) != LZO_E_OK || n >= len) return {};
      out.resize(n);
      return out;
    }
    default:
      return {};
  }
}

}  // namespace rs::jffs2
