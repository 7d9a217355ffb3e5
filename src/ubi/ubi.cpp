#include "ubi/ubi.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "util/crc32.h"
#include "util/endian.h"
#include "util/mapping.h"

namespace rs::ubi {

namespace {

constexpr uint32_t kEcMagic = 0x55424923, kVidMagic = 0x55424921;
constexpr size_t kHdrSize = 64, kRecordSize = 172, kMaxVolumes = 128;

bool erased(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0xff) return false;
  return true;
}

bool read_ec(const uint8_t* p, size_t avail, ec_header* out) {
  if (avail < kHdrSize || load_be32(p) != kEcMagic) return false;
  if (media_crc(p, kHdrSize - 4) != load_be32(p + kHdrSize - 4)) return false;
  out->version = p[4];
  out->ec = uint64_t(load_be32(p + 8)) << 32 | load_be32(p + 12);
  out->vid_hdr_offset = load_be32(p + 16);
  out->data_offset = load_be32(p + 20);
  out->image_seq = load_be32(p + 24);
  return true;
}

bool read_vid(const uint8_t* p, vid_header* out) {
  if (load_be32(p) != kVidMagic || media_crc(p, kHdrSize - 4) != load_be32(p + kHdrSize - 4)) return false;
  out->version = p[4];
  out->vol_type = p[5];
  out->copy_flag = p[6];
  out->compat = p[7];
  out->vol_id = load_be32(p + 8);
  out->lnum = load_be32(p + 12);
  out->data_size = load_be32(p + 20);
  out->used_ebs = load_be32(p + 24);
  out->data_pad = load_be32(p + 28);
  out->data_crc = load_be32(p + 32);
  out->sqnum = uint64_t(load_be32(p + 40)) << 32 | load_be32(p + 44);
  return true;
}

// A header as the file holds it, read without mapping the image: a read
// through the mapping maps a whole folio around the header, and the scans
// read one header per erase block all over the image.
struct header_copy {
  header_copy(rs::UnmappedReads& reads, const uint8_t* p, size_t avail) : n(std::min(avail, kHdrSize)) {
    reads.copy(p, b, n);
  }
  uint8_t b[kHdrSize];
  size_t n;
};

// The PEB size: the largest power of two (16 KiB .. 2 MiB) whose multiples
// hit as many valid erase counter headers as any. Halving the true size hits
// the same headers (and data between them), doubling it hits half of them.
// (Counting from the largest size down and stopping early would be misled by
// erased blocks at the end.) One pass at the smallest step finds every
// header; each size counts its own.
uint32_t detect_peb_size(rs::UnmappedReads& reads, const uint8_t* p, size_t size, uint32_t data_offset) {
  std::vector<size_t> found;
  ec_header ec;
  for (size_t at = 0; at < size; at += 16384) {
    header_copy h(reads, p + at, size - at);
    if (read_ec(h.b, h.n, &ec)) found.push_back(at);
  }
  uint32_t best = 0;
  size_t best_hits = 0;
  for (uint32_t cand = 16384; cand <= (2u << 20); cand <<= 1) {
    if (cand <= data_offset) continue;
    if (cand > size && best) break;
    size_t hits = 0;
    for (size_t at : found) hits += at % cand == 0;
    if (hits >= best_hits && hits) best = cand, best_hits = hits;
  }
  return best;
}

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%x", v);
  return b;
}

}  // namespace

uint32_t media_crc(const uint8_t* p, size_t n) { return crc32_of(p, n) ^ 0xffffffffu; }

bool is_ubi(const uint8_t* data, size_t size) {
  ec_header ec;
  return read_ec(data, size, &ec);
}

const uint8_t* image::leb(const volume& v, uint32_t lnum, uint32_t* len) const {
  if (lnum >= v.lebs.size() || v.lebs[lnum] < 0) return nullptr;
  const peb& b = pebs[size_t(v.lebs[lnum])];
  *len = v.type == kStatic ? b.vid.data_size : leb_bytes(v);
  return base + size_t(v.lebs[lnum]) * peb_size + data_offset;
}

const volume* image::find(const std::string& name) const {
  for (const volume& v : volumes)
    if (v.name == name) return &v;
  return nullptr;
}

std::unique_ptr<image> open(const uint8_t* data, size_t size, std::string* why) {
  auto fail = [&](const std::string& r) {
    if (why) *why = r;
    return nullptr;
  };
  ec_header first;
  if (!read_ec(data, size, &first)) return fail("no valid erase counter header at offset 0");
  if (first.version != 1) return fail("UBI version " + std::to_string(first.version) + " is not supported");
  if (first.vid_hdr_offset < kHdrSize || first.vid_hdr_offset % 8 || first.data_offset % 8 ||
      uint64_t(first.vid_hdr_offset) + kHdrSize > first.data_offset || first.data_offset >= (2u << 20))
    return fail("bad header offsets (VID header " + hex(first.vid_hdr_offset) + ", data " + hex(first.data_offset) +
                ")");
  auto img = std::make_unique<image>();
  img->base = data;
  img->vid_hdr_offset = first.vid_hdr_offset;
  img->data_offset = first.data_offset;
  img->image_seq = first.image_seq;
  rs::UnmappedReads reads;
  img->peb_size = detect_peb_size(reads, data, size, first.data_offset);
  if (!img->peb_size || img->peb_size > size)
    return fail("the erase block size cannot be found (" + std::to_string(size) + " bytes)");
  img->leb_size = img->peb_size - img->data_offset;
  size_t count = size / img->peb_size;
  img->size = count * img->peb_size;
  img->pebs.resize(count);

  // Newest copy of each (volume, LEB) by sequence number; a copy made by
  // wear levelling or a static volume's LEB counts only with its data intact.
  std::map<std::pair<uint32_t, uint32_t>, std::vector<uint32_t>> copies;
  std::vector<uint8_t> headers(img->vid_hdr_offset + kHdrSize);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = data + i * img->peb_size;
    peb& b = img->pebs[i];
    // Both headers in one read: they share the erase block's first page.
    std::vector<uint8_t>& h = headers;
    reads.copy(p, h.data(), h.size());
    if (erased(h.data(), kHdrSize)) continue;
    if (!read_ec(h.data(), kHdrSize, &b.ec) || b.ec.vid_hdr_offset != img->vid_hdr_offset ||
        b.ec.data_offset != img->data_offset) {
      b.state = peb::kBad;
      continue;
    }
    const uint8_t* v = h.data() + img->vid_hdr_offset;
    if (erased(v, kHdrSize)) {
      b.state = peb::kFree;
      continue;
    }
    if (!read_vid(v, &b.vid) || (b.vid.vol_type != kDynamic && b.vid.vol_type != kStatic) ||
        b.vid.data_pad >= img->leb_size || b.vid.data_size > img->leb_size - b.vid.data_pad ||
        (b.vid.vol_id >= kMaxVolumes && b.vid.vol_id != kLayoutVolumeId) || b.vid.lnum >= count + 2) {
      b.state = peb::kBad;
      continue;
    }
    b.state = peb::kUsed;
    if (b.vid.vol_type == kStatic || b.vid.copy_flag) {
      size_t n = b.vid.vol_type == kStatic || b.vid.copy_flag ? b.vid.data_size : 0;
      b.data_ok = media_crc(p + img->data_offset, n) == b.vid.data_crc;
    }
    copies[{b.vid.vol_id, b.vid.lnum}].push_back(uint32_t(i));
  }
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> chosen;
  for (auto& [key, list] : copies) {
    std::stable_sort(list.begin(), list.end(),
                     [&](uint32_t a, uint32_t b) { return img->pebs[a].vid.sqnum > img->pebs[b].vid.sqnum; });
    uint32_t pick = list[0];
    for (uint32_t c : list)
      if (img->pebs[c].data_ok) {
        pick = c;
        break;
      }
    img->pebs[pick].chosen = true;
    chosen[key] = pick;
  }

  // The volume table: two copies in the layout volume; the first whose every record holds.
  size_t records = std::min(kMaxVolumes, size_t(img->leb_size / kRecordSize));
  const uint8_t* table = nullptr;
  for (uint32_t l = 0; l < 2; ++l) {
    auto it = chosen.find({kLayoutVolumeId, l});
    if (it == chosen.end()) continue;
    const uint8_t* t = data + size_t(it->second) * img->peb_size + img->data_offset;
    bool ok = true;
    for (size_t r = 0; r < records && ok; ++r)
      ok = media_crc(t + r * kRecordSize, kRecordSize - 4) == load_be32(t + r * kRecordSize + kRecordSize - 4);
    if (!ok) continue;
    ++img->table_copies_ok;
    if (!table) table = t;
  }
  if (!table) return fail("no intact copy of the volume table");
  for (size_t r = 0; r < records; ++r) {
    const uint8_t* rec = table + r * kRecordSize;
    uint32_t reserved = load_be32(rec);
    if (reserved == 0) continue;
    volume v;
    v.id = uint32_t(r);
    v.reserved_pebs = reserved;
    v.alignment = load_be32(rec + 4);
    v.data_pad = load_be32(rec + 8);
    v.type = rec[12];
    v.upd_marker = rec[13];
    uint16_t name_len = load_be16(rec + 14);
    v.flags = rec[144];
    v.record.assign(rec, rec + kRecordSize);
    if (name_len == 0 || name_len > 127 || (v.type != kDynamic && v.type != kStatic) || v.alignment == 0 ||
        v.data_pad >= img->leb_size || v.data_pad != img->leb_size % v.alignment)
      return fail("volume table record " + std::to_string(r) + " is not valid");
    v.name.assign(reinterpret_cast<const char*>(rec + 16), name_len);
    if (v.name.find('\0') != std::string::npos)
      return fail("volume table record " + std::to_string(r) + " is not valid");
    img->volumes.push_back(std::move(v));
  }

  for (volume& v : img->volumes) {
    uint32_t top = 0;
    for (auto it = chosen.lower_bound({v.id, 0}); it != chosen.end() && it->first.first == v.id; ++it)
      top = std::max(top, it->first.second + 1);
    if (top > v.reserved_pebs) return fail("volume " + std::to_string(v.id) + " maps LEBs beyond its reserved PEBs");
    v.lebs.assign(top, -1);
    for (auto it = chosen.lower_bound({v.id, 0}); it != chosen.end() && it->first.first == v.id; ++it) {
      const peb& b = img->pebs[it->second];
      if (b.vid.vol_type != v.type || b.vid.data_pad != v.data_pad)
        return fail("volume " + std::to_string(v.id) + " LEB " + std::to_string(it->first.second) +
                    ": VID header disagrees with the volume table");
      v.lebs[it->first.second] = int32_t(it->second);
    }
    if (v.type == kStatic) {
      if (!v.lebs.empty()) v.used_ebs = img->pebs[size_t(v.lebs[0] >= 0 ? v.lebs[0] : 0)].vid.used_ebs;
      if (v.lebs.empty() || v.lebs[0] < 0) v.used_ebs = 0;
      if (v.used_ebs > v.lebs.size()) return fail("static volume " + v.name + " misses LEBs of its data");
      v.used_bytes = 0;
      for (uint32_t l = 0; l < v.used_ebs; ++l) {
        if (v.lebs[l] < 0) return fail("static volume " + v.name + " misses LEBs of its data");
        const peb& b = img->pebs[size_t(v.lebs[l])];
        if (b.vid.used_ebs != v.used_ebs || (l + 1 < v.used_ebs && b.vid.data_size != img->leb_bytes(v)))
          return fail("static volume " + v.name + ": LEB sizes disagree");
        v.used_bytes += b.vid.data_size;
      }
    } else {
      v.used_bytes = uint64_t(v.lebs.size()) * img->leb_bytes(v);
    }
  }
  return img;
}

}  // namespace rs::ubi
