#include "datatools/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "datatools/datatools.h"
#include "minidb/minidb.h"
#include "util/endian.h"
#include "util/fileio.h"
#include "util/strutil.h"
#include "util/report.h"

namespace rs {
namespace {

constexpr const char* kSource = "berkeley/api/minidb_ops";
constexpr unsigned kSatLnb[10] = {5150, 5700, 5750, 9750, 10000, 10600, 10700, 10750, 11250, 11300};

void report(const char* text, int line) { rs::say_error("%s at %s %d\n", text, kSource, line); }

// Source ids paired with their new index; a linear search, as the box's
// lists are short.
using id_map = std::vector<std::pair<uint32_t, uint32_t>>;

uint32_t lookup(const id_map& m, uint32_t id) {
  for (const auto& p : m)
    if (p.first == id) return p.second;
  return 0;
}

// Stable sort of fixed-size records by a u32 field.
void sort_records(std::vector<uint8_t>& recs, size_t size, size_t key_off) {
  size_t n = recs.size() / size;
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return load_le32(&recs[a * size + key_off]) < load_le32(&recs[b * size + key_off]);
  });
  std::vector<uint8_t> out(n * size);
  for (size_t i = 0; i < n; ++i) std::memcpy(&out[i * size], &recs[order[i] * size], size);
  recs.swap(out);
}

uint32_t bits(uint32_t value, unsigned shift, unsigned width) { return uint32_t(set_bits(0, shift, width, value)); }

void put32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  store_le32(b, v);
  out.insert(out.end(), b, b + 4);
}

void pack_sat(const uint8_t* s, const std::vector<uint8_t>& tps, std::vector<uint8_t>& out) {
  const uint32_t id = load_le32(s);
  const unsigned lnb1 = load_le16(s + 20), lnb2 = load_le16(s + 22);
  const uint8_t pos = s[25];
  const uint8_t b28 = s[28];

  uint32_t tp_start = 0, tp_num = 0;
  bool seen = false;
  for (size_t i = 0; i < tps.size() / kTpRecordSize; ++i)
    if (load_le32(&tps[i * kTpRecordSize + 4]) == id) {
      if (!seen) tp_start = uint32_t(i);
      seen = true;
      ++tp_num;
    }

  uint8_t rec[kDefSatSize] = {};
  std::memcpy(rec, s + 32, 16);
  store_le32(rec + 16, bits(load_le32(s + 16) & 3, 0, 2));
  uint32_t w20 = bits(load_le16(s + 30) & 0x7FF, 0, 11) | bits(lnb_exchange(lnb1), 13, 4) |
                 bits(lnb_exchange(lnb2 ? lnb2 : lnb1), 17, 4) | bits(pos == 0xFF ? 0 : pos, 21, 8) |
                 bits((b28 >> 4) & 3, 29, 2) | bits((b28 >> 7) & 1, 31, 1);
  store_le32(rec + 20, w20);
  uint32_t w24 = bits(s[27] & 7, 0, 3) | bits((b28 >> 6) & 1, 3, 1) | bits(tp_start, 4, 13) | bits(tp_num, 17, 13) |
                 bits(pos & 3, 30, 2);
  store_le32(rec + 24, w24);
  out.insert(out.end(), rec, rec + sizeof rec);
}

uint32_t pack_tp(const uint8_t* t) {
  return bits(load_le32(t + 8) & 0x3FFF, 0, 14) | bits(load_le32(t + 16) & 1, 14, 1) |
         bits(load_le32(t + 12) & 0xFFFF, 15, 16);
}

void pack_prog(const uint8_t* p, const id_map& satids, const id_map& tpids, std::vector<uint8_t>& out) {
  const uint16_t w4 = load_le16(p + 4);
  const uint8_t fl = p[15];
  const bool ac3 = (fl >> 6) & 1;
  uint8_t rec[kDefProgSize] = {};
  store_le32(rec, bits(lookup(satids, load_le16(p + 8)), 0, 13) | bits(lookup(tpids, load_le16(p + 2)), 13, 13) |
                      bits((w4 >> 4) & 3, 30, 2));
  store_le32(rec + 4, load_le32(p + 16));
  store_le32(rec + 8, bits(load_le16(p + 12), 0, 16) | bits(load_le32(p + 44) & 0x1FFF, 16, 13) | bits(w4 & 1, 29, 1) |
                          bits(fl & 1, 30, 1) | bits((fl >> 2) & 1, 31, 1));
  const uint32_t apid = ac3 ? load_le16(p + 32) : load_le16(p + 34);
  const uint32_t atype = ac3 ? 3 : p[38] & 7;
  store_le32(rec + 12, bits(load_le16(p + 26) & 0x1FFF, 0, 13) | bits(apid & 0x1FFF, 13, 13) |
                           bits((w4 >> 12) & 7, 26, 3) | bits(atype, 29, 3));
  store_le32(rec + 16, bits(load_le16(p + 22) & 0x1FFF, 0, 13) | bits(load_le16(p + 20) & 0x1FFF, 13, 13) |
                           bits((fl >> 1) & 1, 27, 1) | bits(load_le16(p + 10) & 3, 28, 2));
  std::memcpy(rec + 20, p + 48, 21);
  out.insert(out.end(), rec, rec + sizeof rec);
}

// Reads every live record of an open store in key order, each cut or
// zero-padded to `size` bytes (records of another length come from other
// firmware versions; reading past a short one would overrun it).
bool read_records(IDB& db, size_t size, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(size_t(db.Count()) * size);
  auto cur = db.CreateCursor();
  while (!cur->Eof()) {
    uint32_t got = 0;
    auto rec = cur->GetRaw(&got);
    if (!rec) return false;
    size_t keep = std::min(rec->size(), size);
    out.insert(out.end(), rec->begin(), rec->begin() + long(keep));
    out.insert(out.end(), size - keep, 0);
    cur->Next();
  }
  return true;
}

}  // namespace

unsigned lnb_exchange(unsigned frequency) {
  for (unsigned i = 0; i < 10; ++i)
    if (kSatLnb[i] == frequency) return i;
  return 0;
}

std::vector<uint8_t> pack_default_data(std::vector<uint8_t> sats, std::vector<uint8_t> tps,
                                       std::vector<uint8_t> progs) {
  sats.resize(sats.size() / kSatRecordSize * kSatRecordSize);
  tps.resize(tps.size() / kTpRecordSize * kTpRecordSize);
  progs.resize(progs.size() / kProgRecordSize * kProgRecordSize);
  sort_records(sats, kSatRecordSize, 0);
  sort_records(tps, kTpRecordSize, 4);
  sort_records(progs, kProgRecordSize, 132);
  const size_t S = sats.size() / kSatRecordSize, T = tps.size() / kTpRecordSize, P = progs.size() / kProgRecordSize;

  std::vector<uint8_t> out;
  out.reserve(20 + S * kDefSatSize + T * kDefTpSize + P * kDefProgSize);
  put32(out, kDefStartMagic);
  put32(out, uint32_t(S));
  put32(out, uint32_t(T));
  put32(out, uint32_t(P));

  id_map satids, tpids;
  for (size_t i = 0; i < S; ++i) satids.emplace_back(load_le32(&sats[i * kSatRecordSize]), uint32_t(i));
  for (size_t i = 0; i < S; ++i) pack_sat(&sats[i * kSatRecordSize], tps, out);
  for (size_t i = 0; i < T; ++i) tpids.emplace_back(load_le32(&tps[i * kTpRecordSize]), uint32_t(i));
  for (size_t i = 0; i < T; ++i) put32(out, pack_tp(&tps[i * kTpRecordSize]));
  for (size_t i = 0; i < P; ++i) pack_prog(&progs[i * kProgRecordSize], satids, tpids, out);
  put32(out, kDefEndMagic);
  return out;
}

bool convert_databases(const std::string& path, const std::string& file) {
  // Created when missing, but otherwise left alone until the new content is
  // complete: the output may be a file the user wants kept on failure, or
  // even one of the databases about to be read.
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  struct stat out {};
  if (fd < 0 || ::fstat(fd, &out) != 0) {
    rs::say_error("error: create %s failed, %s\n", file.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  rs::warn("%s open\n", file.c_str());

  struct Table {
    const char* name;
    size_t size;
    int open_line;
    const char* read_error;
    int read_line;
    std::vector<uint8_t> recs;
  } tables[3] = {
      {"/sat.db", kSatRecordSize, 269, " *** get sat data from db error *** ", 281, {}},
      {"/tp.db", kTpRecordSize, 301, " *** get tp data from db error *** ", 313, {}},
      {"/prog.db", kProgRecordSize, 333, " *** get prog data from db error *** ", 345, {}},
  };

  bool ok = true;
  std::unique_ptr<IDB> db = IDB::New();
  for (Table& t : tables) {
    if (!db->Open((path + t.name).c_str())) {
      report("file open failed", t.open_line);
      ok = false;
      break;
    }
    ok = read_records(*db, t.size, t.recs);
    db->Close();
    if (!ok) {
      report(t.read_error, t.read_line);
      break;
    }
  }
  db.reset();

  // Satellite and transponder positions are stored in 13-bit fields: more
  // records than that would be numbered wrongly, not converted.
  if (ok && (tables[0].recs.size() / kSatRecordSize > kDefMaxIndexed ||
             tables[1].recs.size() / kTpRecordSize > kDefMaxIndexed)) {
    rs::say_error("error: %zu satellites and %zu transponders: the default data numbers at most %zu of each\n",
                tables[0].recs.size() / kSatRecordSize, tables[1].recs.size() / kTpRecordSize, kDefMaxIndexed);
    ok = false;
  }

  if (ok) {
    std::vector<uint8_t> bytes =
        pack_default_data(std::move(tables[0].recs), std::move(tables[1].recs), std::move(tables[2].recs));
    // Replaced in one step: an interrupted or failed write leaves no torn file.
    ok = write_file_atomic(file, bytes.data(), bytes.size());
    if (!ok) rs::say_error("error: write %s failed, %s\n", file.c_str(), std::strerror(errno ? errno : EIO));
  }
  if (!ok) {
    // Left empty, so that a caller of the resultless export can tell; but a
    // database given as the output stays whole.
    bool is_input = false;
    for (const Table& t : tables) {
      struct stat in;
      if (::stat((path + t.name).c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        is_input = true;
    }
    if (!is_input && ::truncate(file.c_str(), 0) != 0)
      rs::say_error("error: empty %s failed, %s\n", file.c_str(), std::strerror(errno));
  }
  rs::warn("%s close\n", file.c_str());
  return ok;
}

std::string language_list_from(const std::string& semicolon_list) {
  std::string text;
  for (const std::string& piece : strsplit(semicolon_list, ";"))
    if (!piece.empty()) text += piece + "\n";
  return text;
}

}  // namespace rs

extern "C" RS_API void berkeley_2_default(const char* path, const char* file) {
  if (!path || !file) {
    rs::say_error("error: berkeley_2_default: no database directory or output file given\n");
    return;
  }
  rs::convert_databases(path, file);
}
