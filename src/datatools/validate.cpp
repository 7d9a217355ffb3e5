#include "datatools/validate.h"

#include <cstring>

#include "datatools/convert.h"
#include "minidb/crc16.h"
#include "minidb/minidb.h"
#include "util/endian.h"
#include "util/strutil.h"

namespace rs {

std::string minidb_problem(const uint8_t* data, size_t size) {
  if (size == 0) return "empty file";
  if (size < kMiniDbSuperSize) return "shorter than a MiniDB header";
  if (load_le32(data) != kMiniDbMagic) return "not a MiniDB file (bad magic)";
  // The slot walk of the store's open.
  uint64_t off = kMiniDbSuperSize;
  while (off < size) {
    if (size - off < kMiniDbHeaderSize)
      return strprintf("cut short inside the slot at offset %llu", (unsigned long long)off);
    db_record h;
    db_record_decode(data + off, h);
    if (h.flags & kRecordLive) {
      if (size - off - kMiniDbHeaderSize < h.len)
        return strprintf("record %d at offset %llu is cut short", int(h.key), (unsigned long long)off);
      if (update_crc16(data + off + kMiniDbHeaderSize, h.len, 0) != h.crc)
        return strprintf("record %d at offset %llu fails its CRC check", int(h.key), (unsigned long long)off);
    }
    off += minidb_slot_size(h.len);
  }
  return {};
}

std::string default_data_problem(const uint8_t* data, size_t size) {
  if (size == 0) return "empty file";
  if (size < 20) return "shorter than a default-data file";
  if (load_le32(data) != kDefStartMagic) return "not a default-data file (no Sg8K start magic)";
  const uint64_t s = load_le32(data + 4), t = load_le32(data + 8), p = load_le32(data + 12);
  const uint64_t want = 16 + s * kDefSatSize + t * kDefTpSize + p * kDefProgSize + 4;
  if (want != size)
    return strprintf("%llu satellites, %llu transponders and %llu programmes need %llu bytes, the file has %zu",
                     (unsigned long long)s, (unsigned long long)t, (unsigned long long)p, (unsigned long long)want,
                     size);
  if (load_le32(data + size - 4) != kDefEndMagic) return "no Eg8K end magic";
  return {};
}

std::string keymap_problem(const uint8_t* data, size_t size) {
  if (size == 0) return "empty file";
  if (std::memchr(data, 0, size)) return "not a text file (holds NUL bytes)";
  size_t b = 0, e = size;
  if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) b = 3;
  auto space = [](uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (b < e && space(data[b])) ++b;
  while (e > b && space(data[e - 1])) --e;
  if (b == e) return "holds only white space";
  if (data[b] != '<' || data[e - 1] != '>') return "not an XML document";
  return {};
}

}  // namespace rs
