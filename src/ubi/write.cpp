// Writing UBI images: one volume's new data put into an existing image, and
// whole images laid out as ubinize lays them out. The policy (docs/ubi-write.md):
// - an unchanged LEB keeps its PEB byte for byte;
// - a changed LEB goes into the PEB that held it, else into the free PEB with
//   the lowest erase counter;
// - a PEB that held data is erased to be rewritten (erase counter + 1); a free
//   PEB (EC header, the rest erased) takes a LEB without an erase, as the
//   kernel does, so its counter stays; a PEB with no EC header gets the
//   image's mean counter + 1, as the kernel's attach would give it;
// - LEBs the volume no longer uses are unmapped: every copy becomes a free PEB;
// - new VID headers carry sequence numbers above every one in the image.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "ubi/ubi_write.h"
#include "util/endian.h"

namespace rs::ubi {

namespace {

constexpr uint32_t kEcMagic = 0x55424923, kVidMagic = 0x55424921;
constexpr size_t kHdr = 64, kRecord = 172, kMaxVolumes = 128;
// The layout volume's compat: an older kernel must refuse to attach.
constexpr uint8_t kLayoutCompat = 5;
constexpr uint32_t kFastmapData = 0x7fffeffd, kFastmapAnchor = 0x7fffeffe;
// PEBs the kernel keeps aside for wear levelling and atomic LEB changes; an
// image whose volumes leave fewer does not attach.
constexpr uint32_t kKernelSpare = 2;

void store_be64(uint8_t* p, uint64_t v) {
  store_be32(p, uint32_t(v >> 32));
  store_be32(p + 4, uint32_t(v));
}

struct geometry {
  uint32_t peb_size = 0, vid_off = 0, data_off = 0, image_seq = 0;
  uint8_t version = 1;
};

void put_ec(uint8_t* p, const geometry& g, uint64_t ec) {
  std::memset(p, 0, kHdr);
  store_be32(p, kEcMagic);
  p[4] = g.version;
  store_be64(p + 8, ec);
  store_be32(p + 16, g.vid_off);
  store_be32(p + 20, g.data_off);
  store_be32(p + 24, g.image_seq);
  store_be32(p + 60, media_crc(p, 60));
}

void put_vid(uint8_t* p, const vid_header& v) {
  std::memset(p, 0, kHdr);
  store_be32(p, kVidMagic);
  p[4] = v.version;
  p[5] = v.vol_type;
  p[6] = v.copy_flag;
  p[7] = v.compat;
  store_be32(p + 8, v.vol_id);
  store_be32(p + 12, v.lnum);
  store_be32(p + 20, v.data_size);
  store_be32(p + 24, v.used_ebs);
  store_be32(p + 28, v.data_pad);
  store_be32(p + 32, v.data_crc);
  store_be64(p + 40, v.sqnum);
  store_be32(p + 60, media_crc(p, 60));
}

// A PEB as it reads after an erase and a write: EC header, then (with `vid`)
// the VID header and `len` bytes of data; 0xff everywhere else.
void put_peb(uint8_t* p, const geometry& g, uint64_t ec, const vid_header* vid, const uint8_t* data, size_t len) {
  std::memset(p, 0xff, g.peb_size);
  put_ec(p, g, ec);
  if (!vid) return;
  put_vid(p + g.vid_off, *vid);
  if (len) std::memcpy(p + g.data_off, data, len);
}

bool all_ff(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0xff) return false;
  return true;
}

// The VID header's volume id and sequence number, when its magic and CRC hold.
bool raw_vid(const uint8_t* p, uint32_t* vol_id, uint64_t* sqnum) {
  if (load_be32(p) != kVidMagic || media_crc(p, kHdr - 4) != load_be32(p + kHdr - 4)) return false;
  *vol_id = load_be32(p + 8);
  *sqnum = uint64_t(load_be32(p + 40)) << 32 | load_be32(p + 44);
  return true;
}

bool table_intact(const uint8_t* t, size_t records) {
  for (size_t r = 0; r < records; ++r)
    if (media_crc(t + r * kRecord, kRecord - 4) != load_be32(t + r * kRecord + kRecord - 4)) return false;
  return true;
}

std::string plural(uint64_t n, const char* one) { return std::to_string(n) + " " + one + (n == 1 ? "" : "s"); }

}  // namespace

bool replace_volume(const image& img, uint32_t vol_id, const std::vector<uint8_t>& data, std::vector<uint8_t>* out,
                    std::string* why) {
  auto fail = [&](const std::string& r) {
    if (why) *why = "ubi: " + r;
    return false;
  };
  const volume* vp = nullptr;
  for (const volume& v : img.volumes)
    if (v.id == vol_id) vp = &v;
  if (!vp) return fail("no volume " + std::to_string(vol_id));
  const volume& v = *vp;
  if (v.upd_marker) return fail("volume " + v.name + " has an interrupted update; it cannot be rewritten");
  if (img.pebs.empty() || img.size != img.pebs.size() * size_t(img.peb_size)) return fail("the image is empty");

  // Sequence numbers of every readable VID header (also of PEBs the reader
  // set aside), the mean erase counter, and fastmap PEBs: the kernel trusts
  // a fastmap's LEB map over the headers, so writing under one would not be
  // seen.
  uint64_t top_sqnum = 0, ec_sum = 0, ec_count = 0;
  for (size_t i = 0; i < img.pebs.size(); ++i) {
    const uint8_t* p = img.base + i * img.peb_size;
    uint32_t id = 0;
    uint64_t sq = 0;
    if (raw_vid(p + img.vid_hdr_offset, &id, &sq)) {
      if (id == kFastmapAnchor || id == kFastmapData)
        return fail("the image holds a fastmap; rewriting volumes under it is not supported");
      top_sqnum = std::max(top_sqnum, sq);
    }
    const peb& b = img.pebs[i];
    if (b.state == peb::kFree || b.state == peb::kUsed) ec_sum += b.ec.ec, ++ec_count;
  }
  const uint64_t mean_ec = ec_count ? ec_sum / ec_count : 0;

  geometry g;
  g.peb_size = img.peb_size;
  g.vid_off = img.vid_hdr_offset;
  g.data_off = img.data_offset;
  g.image_seq = img.image_seq;
  g.version = img.pebs[0].ec.version ? img.pebs[0].ec.version : 1;
  const uint32_t lb = img.leb_bytes(v);
  const bool is_static = v.type == kStatic;

  // The new LEBs: a dynamic volume's trailing erased LEBs are unmapped ones.
  uint64_t want = (uint64_t(data.size()) + lb - 1) / lb;
  auto new_leb = [&](uint32_t l, uint32_t* len) {
    size_t at = std::min(size_t(l) * lb, data.size());
    *len = uint32_t(std::min<size_t>(lb, data.size() - at));
    static const uint8_t kNone = 0xff;  // memcmp and memcpy want a pointer even for no bytes
    return *len ? data.data() + at : &kNone;
  };
  auto new_erased = [&](uint32_t l) {
    uint32_t len;
    const uint8_t* p = new_leb(l, &len);
    return all_ff(p, len);
  };
  if (!is_static)
    while (want && new_erased(uint32_t(want - 1))) --want;
  if (want > 0x7fffffffu) return fail("volume " + v.name + " data is too large");
  const uint32_t count = uint32_t(want);

  // Growing the volume: the PEBs no volume has reserved, less the layout
  // volume's and the kernel's spares.
  uint32_t reserved = v.reserved_pebs;
  if (count > v.reserved_pebs) {
    uint64_t good = 0, taken = 2 + kKernelSpare;
    for (const peb& b : img.pebs) good += b.state != peb::kBad;
    for (const volume& o : img.volumes) taken += o.reserved_pebs;
    uint64_t avail = good > taken ? good - taken : 0;
    uint64_t need = count - v.reserved_pebs;
    if (need > avail)
      return fail("volume " + v.name + " needs " + plural(count, "PEB") + " (" + std::to_string(need) + " more), " +
                  std::to_string(avail) + " free");
    reserved = count;
  }

  // Every copy of each LEB of the volume (the chosen one and older ones).
  std::map<uint32_t, std::vector<uint32_t>> copies;
  uint8_t compat = 0;
  for (size_t i = 0; i < img.pebs.size(); ++i) {
    const peb& b = img.pebs[i];
    if (b.state != peb::kUsed || b.vid.vol_id != v.id) continue;
    copies[b.vid.lnum].push_back(uint32_t(i));
    if (b.chosen) compat = b.vid.compat;
  }

  // The plan: what each PEB becomes. kKeep leaves it alone.
  enum action : uint8_t { kKeep, kMakeFree, kWrite };
  std::vector<action> plan(img.pebs.size(), kKeep);
  std::vector<uint32_t> plan_leb(img.pebs.size(), 0);
  std::vector<uint32_t> homeless;  // changed LEBs with no PEB of their own
  uint32_t span = std::max<uint32_t>(count, uint32_t(v.lebs.size()));
  auto unmap_copies = [&](uint32_t l, int32_t except) {
    auto it = copies.find(l);
    if (it == copies.end()) return;
    for (uint32_t c : it->second)
      if (int32_t(c) != except) plan[c] = kMakeFree;
  };
  for (uint32_t l = 0; l < span; ++l) {
    int32_t old = l < v.lebs.size() ? v.lebs[l] : -1;
    uint32_t len = 0;
    const uint8_t* fresh = l < count || !is_static ? new_leb(l, &len) : nullptr;
    // A dynamic LEB reads as its data padded with 0xff. Past the data's last
    // LEB, and where it turns erased, it needs no PEB; one that already
    // reads erased inside the data is left as it is.
    bool gone = l >= count || (!is_static && all_ff(fresh, len));
    if (old >= 0 && l < count) {
      const peb& b = img.pebs[size_t(old)];
      const uint8_t* stored = img.base + size_t(old) * img.peb_size + img.data_offset;
      bool same = b.data_ok;
      if (same && is_static)
        same = b.vid.data_size == len && b.vid.used_ebs == count && std::memcmp(stored, fresh, len) == 0;
      else if (same)
        same = std::memcmp(stored, fresh, len) == 0 && all_ff(stored + len, lb - len);
      if (same) continue;
    }
    if (gone) {
      unmap_copies(l, -1);
      continue;
    }
    unmap_copies(l, old);
    if (old >= 0) {
      plan[size_t(old)] = kWrite;
      plan_leb[size_t(old)] = l;
    } else {
      homeless.push_back(l);
    }
  }

  // The volume table copies, when the volume grows.
  std::vector<uint8_t> table;
  int32_t layout_peb[2] = {-1, -1};
  bool layout_homeless[2] = {false, false};
  if (reserved != v.reserved_pebs) {
    size_t records = std::min(kMaxVolumes, size_t(img.leb_size / kRecord));
    for (size_t i = 0; i < img.pebs.size(); ++i) {
      const peb& b = img.pebs[i];
      if (b.state == peb::kUsed && b.chosen && b.vid.vol_id == kLayoutVolumeId && b.vid.lnum < 2)
        layout_peb[b.vid.lnum] = int32_t(i);
    }
    for (int32_t at : layout_peb) {
      if (at < 0 || !table.empty()) continue;
      const uint8_t* t = img.base + size_t(at) * img.peb_size + img.data_offset;
      if (table_intact(t, records)) table.assign(t, t + img.leb_size);
    }
    if (table.empty() || v.id >= records) return fail("no intact copy of the volume table to update");
    uint8_t* rec = table.data() + size_t(v.id) * kRecord;
    store_be32(rec, reserved);
    store_be32(rec + kRecord - 4, media_crc(rec, kRecord - 4));
    for (int l = 0; l < 2; ++l) {
      if (layout_peb[l] >= 0) {
        plan[size_t(layout_peb[l])] = kWrite;
        plan_leb[size_t(layout_peb[l])] = uint32_t(l);
      } else {
        layout_homeless[l] = true;
      }
    }
  }

  // Free PEBs for the LEBs that had none: the lowest erase counter first
  // (an erased PEB counts with the mean), then the lowest index. PEBs this
  // write unmaps are not reused: their old contents stay recoverable on
  // flash until the kernel erases them, and the plan stays simple.
  auto ec_of = [&](size_t i) { return img.pebs[i].state == peb::kErased ? mean_ec : img.pebs[i].ec.ec; };
  std::vector<uint32_t> spare;
  for (size_t i = 0; i < img.pebs.size(); ++i)
    if (img.pebs[i].state == peb::kFree || img.pebs[i].state == peb::kErased) spare.push_back(uint32_t(i));
  std::stable_sort(spare.begin(), spare.end(), [&](uint32_t a, uint32_t b) { return ec_of(a) < ec_of(b); });
  size_t next_spare = 0;
  std::vector<int8_t> layout_of(img.pebs.size(), -1);
  for (int l = 0; l < 2; ++l) {
    if (layout_peb[l] >= 0) layout_of[size_t(layout_peb[l])] = int8_t(l);
    if (!layout_homeless[l]) continue;
    if (next_spare == spare.size()) return fail("no free PEB left for a copy of the volume table");
    uint32_t at = spare[next_spare++];
    plan[at] = kWrite;
    plan_leb[at] = uint32_t(l);
    layout_of[at] = int8_t(l);
  }
  for (uint32_t l : homeless) {
    if (next_spare == spare.size())
      return fail("volume " + v.name + " needs " + plural(homeless.size(), "new PEB") + ", " +
                  std::to_string(spare.size()) + " free");
    uint32_t at = spare[next_spare++];
    plan[at] = kWrite;
    plan_leb[at] = l;
  }

  // Carry it out. Sequence numbers: the table copies first (the kernel
  // changes the table before the data it allows), then the LEBs in order.
  out->assign(img.base, img.base + img.size);
  uint64_t sqnum = top_sqnum;
  auto erase_count = [&](size_t i, bool writing) {
    const peb& b = img.pebs[i];
    if (b.state == peb::kErased) return mean_ec + 1;
    if (writing && b.state == peb::kFree && all_ff(img.base + i * img.peb_size + kHdr, img.peb_size - kHdr))
      return b.ec.ec;
    return b.ec.ec + 1;
  };
  for (int l = 0; l < 2; ++l)
    for (size_t i = 0; i < img.pebs.size(); ++i) {
      if (plan[i] != kWrite || layout_of[i] != l) continue;
      const peb& b = img.pebs[i];
      vid_header h;
      bool had = b.state == peb::kUsed && b.vid.vol_id == kLayoutVolumeId;
      h.version = had ? b.vid.version : g.version;
      h.vol_type = kDynamic;
      h.compat = had ? b.vid.compat : kLayoutCompat;
      h.vol_id = kLayoutVolumeId;
      h.lnum = uint32_t(l);
      h.sqnum = ++sqnum;
      put_peb(out->data() + i * img.peb_size, g, erase_count(i, true), &h, table.data(), table.size());
      plan[i] = kKeep;
    }
  std::vector<uint32_t> order;
  for (size_t i = 0; i < img.pebs.size(); ++i)
    if (plan[i] == kWrite) order.push_back(uint32_t(i));
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return plan_leb[a] < plan_leb[b]; });
  for (uint32_t i : order) {
    const peb& b = img.pebs[i];
    uint32_t l = plan_leb[i], len;
    const uint8_t* fresh = new_leb(l, &len);
    vid_header h;
    bool had = b.state == peb::kUsed && b.vid.vol_id == v.id;
    h.version = had ? b.vid.version : g.version;
    h.vol_type = v.type;
    h.compat = had ? b.vid.compat : compat;
    h.vol_id = v.id;
    h.lnum = l;
    h.data_pad = v.data_pad;
    if (is_static) {
      h.data_size = len;
      h.used_ebs = count;
      h.data_crc = media_crc(fresh, len);
    }
    h.sqnum = ++sqnum;
    put_peb(out->data() + size_t(i) * img.peb_size, g, erase_count(i, true), &h, fresh, len);
  }
  for (size_t i = 0; i < img.pebs.size(); ++i)
    if (plan[i] == kMakeFree) put_peb(out->data() + i * img.peb_size, g, erase_count(i, false), nullptr, nullptr, 0);
  return true;
}

bool build(const build_params& p, const std::vector<volume_spec>& vols, std::vector<uint8_t>* out, std::string* why) {
  auto fail = [&](const std::string& r) {
    if (why) *why = "ubi: " + r;
    return false;
  };
  auto pow2 = [](uint32_t x) { return x && !(x & (x - 1)); };
  if (!pow2(p.min_io)) return fail("the minimum I/O size must be a power of two");
  uint32_t sub = p.sub_page ? p.sub_page : p.min_io;
  if (!pow2(sub) || sub > p.min_io) return fail("the sub-page size must be a power of two up to the minimum I/O size");
  if (p.peb_size < 2 * p.min_io || p.peb_size % p.min_io)
    return fail("the PEB size must be a multiple of the minimum I/O size");
  geometry g;
  g.peb_size = p.peb_size;
  g.version = p.ubi_version;
  g.vid_off = p.vid_hdr_offset ? p.vid_hdr_offset : (uint32_t(kHdr) + sub - 1) / sub * sub;
  if (g.vid_off < kHdr || g.vid_off % 8 || uint64_t(g.vid_off) + kHdr > p.peb_size)
    return fail("bad VID header offset " + std::to_string(g.vid_off));
  g.data_off = (g.vid_off + uint32_t(kHdr) + p.min_io - 1) / p.min_io * p.min_io;
  if (g.data_off >= p.peb_size) return fail("the headers leave no room for data in a PEB");
  if (p.image_seq) {
    g.image_seq = p.image_seq;
  } else {
    std::random_device rd;
    g.image_seq = rd();
  }
  const uint32_t leb = p.peb_size - g.data_off;
  const size_t records = std::min(kMaxVolumes, size_t(leb / kRecord));
  if (!records) return fail("a LEB of " + std::to_string(leb) + " bytes cannot hold the volume table");

  std::vector<uint8_t> table(records * kRecord, 0);
  std::vector<bool> used(records, false);
  size_t pebs = 2;
  bool autoresize = false;
  for (const volume_spec& s : vols) {
    const std::string name = "volume " + (s.name.empty() ? std::to_string(s.id) : s.name);
    if (s.id >= records)
      return fail(name + ": id " + std::to_string(s.id) + " is not below " + std::to_string(records));
    if (used[s.id]) return fail("two volumes with id " + std::to_string(s.id));
    used[s.id] = true;
    if (s.name.empty() || s.name.size() > 127 || s.name.find('\0') != std::string::npos)
      return fail(name + ": a name of 1 to 127 bytes is needed");
    for (const volume_spec& o : vols)
      if (&o != &s && o.name == s.name) return fail("two volumes named " + s.name);
    if (s.type != kDynamic && s.type != kStatic) return fail(name + ": unknown volume type");
    if (s.alignment == 0 || s.alignment > leb) return fail(name + ": bad alignment " + std::to_string(s.alignment));
    if (s.flags & kFlagAutoresize) {
      if (autoresize) return fail("only one volume may have the autoresize flag");
      autoresize = true;
    }
    uint32_t pad = leb % s.alignment, usable = leb - pad;
    uint64_t bytes = s.size ? s.size : s.data.size();
    if (!bytes) return fail(name + " has neither data nor a size");
    if (s.data.size() > bytes)
      return fail(name + ": " + std::to_string(s.data.size()) + " bytes of data do not fit its size " +
                  std::to_string(bytes));
    uint64_t reserved = (bytes + usable - 1) / usable;
    if (reserved > 0x7fffffffu) return fail(name + " is too large");
    pebs += (s.data.size() + usable - 1) / usable;
    uint8_t* rec = table.data() + size_t(s.id) * kRecord;
    store_be32(rec, uint32_t(reserved));
    store_be32(rec + 4, s.alignment);
    store_be32(rec + 8, pad);
    rec[12] = s.type;
    store_be16(rec + 14, uint16_t(s.name.size()));
    std::memcpy(rec + 16, s.name.data(), s.name.size());
    rec[144] = s.flags;
  }
  for (size_t r = 0; r < records; ++r)
    store_be32(table.data() + r * kRecord + kRecord - 4, media_crc(table.data() + r * kRecord, kRecord - 4));

  out->assign(pebs * p.peb_size, 0xff);
  vid_header h;
  h.version = p.ubi_version;
  h.vol_type = kDynamic;
  h.compat = kLayoutCompat;
  h.vol_id = kLayoutVolumeId;
  for (uint32_t l = 0; l < 2; ++l) {
    h.lnum = l;
    put_peb(out->data() + l * p.peb_size, g, p.ec, &h, table.data(), table.size());
  }
  size_t at = 2;
  for (const volume_spec& s : vols) {
    uint32_t usable = leb - leb % s.alignment;
    uint32_t n = uint32_t((s.data.size() + usable - 1) / usable);
    for (uint32_t l = 0; l < n; ++l, ++at) {
      size_t off = size_t(l) * usable;
      uint32_t len = uint32_t(std::min<size_t>(usable, s.data.size() - off));
      vid_header d;
      d.version = p.ubi_version;
      d.vol_type = s.type;
      d.vol_id = s.id;
      d.lnum = l;
      d.data_pad = leb % s.alignment;
      if (s.type == kStatic) {
        d.data_size = len;
        d.used_ebs = n;
        d.data_crc = media_crc(s.data.data() + off, len);
      }
      put_peb(out->data() + at * p.peb_size, g, p.ec, &d, s.data.data() + off, len);
    }
  }
  return true;
}

}  // namespace rs::ubi

namespace rs::ubi {

bool write_lebs(const image& img, size_t room, uint32_t vol_id, const std::map<uint32_t, std::vector<uint8_t>>& lebs,
                const std::set<uint32_t>& remap, uint8_t* out, std::vector<bool>* taken, uint64_t* sqnum, size_t* end,
                std::string* why) {
  const volume* v = nullptr;
  for (const volume& x : img.volumes)
    if (x.id == vol_id) v = &x;
  if (!v) return *why = "ubi: no volume " + std::to_string(vol_id), false;
  if (v->type != kDynamic) return *why = "ubi: volume " + v->name + " is static", false;
  const uint32_t step = img.leb_bytes(*v);
  const size_t count = std::max(img.pebs.size(), img.peb_size ? std::max(room, img.size) / img.peb_size : 0);
  if (taken->size() < count) taken->resize(count, false);
  uint64_t sq = *sqnum, ec_sum = 0, ec_n = 0;
  for (const peb& b : img.pebs) {
    if (b.state == peb::kUsed) sq = std::max(sq, b.vid.sqnum);
    if (b.state == peb::kUsed || b.state == peb::kFree) ec_sum += b.ec.ec, ++ec_n;
  }
  const uint64_t mean = ec_n ? ec_sum / ec_n : 0;
  geometry g{img.peb_size, img.vid_hdr_offset, img.data_offset, img.image_seq, 1};
  for (const peb& b : img.pebs)
    if (b.state != peb::kErased && b.state != peb::kBad) g.version = b.ec.version ? b.ec.version : 1;
  // Free PEBs whose bytes past their headers are erased, lowest counter first.
  std::vector<std::pair<uint64_t, size_t>> spare;
  static const peb past;  // erased flash after the image
  for (size_t i = 0; i < count; ++i) {
    const peb& b = i < img.pebs.size() ? img.pebs[i] : past;
    if ((*taken)[i] || (b.state != peb::kFree && b.state != peb::kErased)) continue;
    spare.push_back({b.state == peb::kFree ? b.ec.ec : mean, i});
  }
  std::sort(spare.begin(), spare.end());
  // Only the PEBs taken are read through: a scan of every erased one would
  // bring the whole erased tail of the partition into memory.
  auto clean = [&](size_t i) {
    const uint8_t* p = img.base + i * img.peb_size;
    size_t from = i < img.pebs.size() && img.pebs[i].state == peb::kFree ? kHdr : 0;
    for (size_t k = from; k < img.peb_size; ++k)
      if (p[k] != 0xff) return false;
    return true;
  };
  struct job {
    uint32_t lnum;
    size_t peb;
    bool fresh;
  };
  std::vector<job> jobs;
  size_t next = 0;
  for (auto& [lnum, data] : lebs) {
    if (lnum >= v->reserved_pebs || data.size() > step)
      return *why = "ubi: volume " + v->name + " has no LEB " + std::to_string(lnum), false;
    int32_t at = lnum < v->lebs.size() ? v->lebs[lnum] : -1;
    if (at >= 0 && !remap.count(lnum)) {
      jobs.push_back({lnum, size_t(at), false});
      continue;
    }
    while (next < spare.size() && !clean(spare[next].second)) ++next;
    if (next == spare.size()) return *why = "ubi: no free PEB left", false;
    jobs.push_back({lnum, spare[next++].second, true});
  }
  for (const job& j : jobs) {
    if (j.fresh) (*taken)[j.peb] = true;
    if (end) *end = std::max(*end, (j.peb + 1) * size_t(img.peb_size));
  }
  if (!out) return true;
  for (const job& j : jobs) {
    const std::vector<uint8_t>& data = lebs.at(j.lnum);
    uint8_t* p = out + j.peb * img.peb_size;
    if (j.fresh) {
      const peb& b = j.peb < img.pebs.size() ? img.pebs[j.peb] : past;
      if (b.state == peb::kErased) put_ec(p, g, mean);
      vid_header vh;
      vh.version = b.state == peb::kFree && b.ec.version ? b.ec.version : g.version;
      vh.vol_type = kDynamic;
      vh.vol_id = vol_id;
      vh.lnum = j.lnum;
      vh.data_pad = v->data_pad;
      vh.sqnum = ++sq;
      put_vid(p + img.vid_hdr_offset, vh);
    }
    std::memcpy(p + img.data_offset, data.data(), data.size());
  }
  *sqnum = sq;
  return true;
}

}  // namespace rs::ubi
