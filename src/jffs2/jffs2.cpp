// JFFS2 reader and appending writer. The scan checks every node (header, node
// and data CRCs, lengths, bounds) and keeps only references into the buffer;
// data is decompressed when read. Edits change a logical tree; the rebuild
// turns the difference into new nodes with versions above everything seen,
// written into erased flash, as the box's own kernel would append them.
#include "jffs2/jffs2.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <numeric>
#include <set>
#include <thread>
#include <unordered_map>

#include "util/endian.h"
#include "util/report.h"

namespace rs::jffs2 {
namespace {

constexpr uint16_t kMagic = 0x1985;
constexpr uint16_t kDirent = 0xE001, kInode = 0xE002, kClean = 0x2003, kPadding = 0x2004, kSummary = 0x2006,
                   kXattr = 0xE008, kXref = 0xE009;
constexpr uint16_t kAccurate = 0x2000;
constexpr uint32_t kInodeHdr = 68, kDirentHdr = 40, kUnknownHdr = 12;
constexpr uint32_t kPage = 4096;
constexpr uint32_t kMaxDsize = 1u << 20;  // far above any page size a writer uses
constexpr uint32_t kRootIno = 1;

uint32_t pad4(uint64_t v) { return uint32_t((v + 3) & ~uint64_t(3)); }
bool all_ff(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

struct Codec {
  bool be = false;
  uint16_t u16(const uint8_t* p) const { return be ? load_be16(p) : load_le16(p); }
  uint32_t u32(const uint8_t* p) const { return be ? load_be32(p) : load_le32(p); }
  void s16(uint8_t* p, uint16_t v) const { be ? store_be16(p, v) : store_le16(p, v); }
  void s32(uint8_t* p, uint32_t v) const { be ? store_be32(p, v) : store_le32(p, v); }
};

// A data (inode) node as found on flash.
struct DNode {
  uint32_t at;  // offset of the node in the buffer
  uint32_t version, foff, dsize, csize;
  uint8_t compr;
};

// A logical inode: the newest metadata, where its data lives, what an edit changed.
struct Ent {
  uint32_t ino = 0;
  uint32_t mode = 0, uid = 0, gid = 0, atime = 0, mtime = 0, ctime = 0, isize = 0;
  bool loaded = false;   // has nodes in the loaded image
  uint32_t meta_at = 0;  // offset of its newest inode node (loaded only)
  uint32_t meta_version = 0;
  bool has_meta = false;
  std::vector<DNode> nodes;                               // loaded data nodes
  std::map<uint32_t, std::pair<uint32_t, size_t>> frags;  // start -> (end, index in nodes)
  bool frags_built = false;
  bool meta_dirty = false, data_new = false;
  std::vector<uint8_t> data;  // new content, or a link's target / a device's number as stored
  std::map<std::string, uint32_t> kids;
  uint32_t links = 0;
};

struct LDirent {
  uint32_t ino, version, at;
};

// A node to write. New data nodes keep where their bytes come from, and a few
// spare versions, so that one can be cut to fill the end of a block.
struct NewNode {
  std::vector<uint8_t> bytes;
  const Ent* e = nullptr;
  uint32_t foff = 0, dsize = 0, spare = 0;
};
constexpr uint32_t kSpareVersions = 8;

struct Region {
  uint32_t start, end;
  bool whole;  // a whole erased block
};

std::vector<std::string> split_path(const char* path) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = path ? path : ""; *p; ++p) {
    if (*p == '/') {
      if (!cur.empty()) out.push_back(cur), cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

uint8_t dt_of(uint32_t mode) { return uint8_t((mode >> 12) & 0xF); }

class Image final : public fs {
 public:
  Image(uint8_t* buf, size_t total) : buf_(buf), total_(total) {}

  bool scan(size_t used, std::string* why);
  void make_empty(const layout& l, size_t total) {
    own_.assign(total, 0xFF);
    buf_ = own_.data();
    total_ = total;
    quiet_ = true;
    lay_ = l;
    c_.be = l.big_endian;
    erase_from_ = "given";
    Ent& r = ents_[kRootIno];
    r.ino = kRootIno;
    r.mode = 040755;
    r.links = 1;
    max_ino_ = kRootIno;
  }

  const layout& image_layout() const override { return lay_; }
  std::string describe() const override;
  void ls() override;
  int stat(const char* path, attr* out) override;
  int walk(const char* path, std::vector<node_entry>* out) override;
  long long pread(const char* path, void* buf, size_t size, uint64_t offset) override;
  int put(const char* path, const void* buf, size_t size, long mode, long uid, long gid) override;
  int remove(const char* path) override;
  int mkdir(const char* path, uint32_t mode, uint32_t uid, uint32_t gid) override;
  int chmod(const char* path, uint32_t mode) override;
  int chown(const char* path, uint32_t uid, uint32_t gid) override;
  int symlink(const char* target, const char* path) override;
  int rename(const char* from, const char* to) override;
  int set_mtime(const char* path, int64_t mtime) override;
  int mknod(const char* path, uint32_t mode, uint32_t rdev, uint32_t uid, uint32_t gid) override;
  int link(const char* existing, const char* path) override;
  uint64_t next_data(const char* path, uint64_t off) override;
  std::vector<uint8_t> rebuild(std::string* why, bool* compacted) override;

 private:
  void scan_node(uint32_t at, uint16_t type, uint32_t len);
  bool build_tree(std::string* why);
  Ent* find(const char* path);
  int parent_of(const char* path, Ent** parent, std::string* name);
  void build_frags(Ent& e);
  long long read_ent(Ent& e, uint8_t* out, size_t size, uint64_t offset);
  bool node_data(const DNode& n, std::vector<uint8_t>* out);
  void fill_attr(const Ent& e, attr* a) const;
  void walk_below(Ent& dir, const std::string& path, std::vector<node_entry>* out, int depth);
  void ls_dir(Ent& dir, std::vector<bool>& open);
  Ent& new_ent(uint32_t mode, uint32_t uid, uint32_t gid);
  void drop_links(Ent& e);
  uint32_t next_version(uint32_t ino, bool* overflow);

  std::vector<uint8_t> inode_node(const Ent& e, uint32_t version, uint32_t foff, const uint8_t* data, uint32_t dsize,
                                  uint8_t compr, const uint8_t* cdata, uint32_t csize) const;
  std::vector<uint8_t> dirent_node(uint32_t pino, uint32_t version, uint32_t ino, uint8_t type, const std::string& name,
                                   uint32_t mctime) const;
  std::vector<uint8_t> cleanmarker() const;
  bool new_nodes(std::vector<NewNode>* out, bool with_deletions, std::string* why);
  bool cut_to_fit(NewNode& n, uint32_t room, std::vector<uint8_t>* first) const;
  std::vector<Region> free_regions() const;
  bool place(std::vector<uint8_t>& img, const std::vector<Region>& regions, std::vector<NewNode>& nodes) const;
  std::vector<std::pair<uint32_t, uint32_t>> live_nodes();

  uint8_t* buf_;
  size_t total_;
  std::vector<uint8_t> own_;  // the erased flash of a new image
  bool quiet_ = false;
  layout lay_;
  Codec c_;
  std::string erase_from_ = "default";
  uint32_t clean_at_ = UINT32_MAX, clean_len_ = 0;
  uint32_t cleanmarkers_ = 0, summaries_ = 0, obsolete_ = 0, damaged_ = 0;
  uint32_t max_ino_ = kRootIno;
  std::vector<uint32_t> summary_at_;                  // summary nodes: their blocks are full
  std::vector<std::pair<uint32_t, uint32_t>> spans_;  // every node's [start, end)
  std::vector<std::pair<uint32_t, uint32_t>> kept_;   // xattr, xref and copied unknown nodes
  std::unordered_map<uint32_t, Ent> ents_;
  std::unordered_map<uint32_t, uint32_t> highest_;  // per ino: inode versions and dirent versions as parent
  std::unordered_map<uint32_t, std::map<std::string, LDirent>> loaded_dirs_;
  std::unordered_map<uint32_t, std::map<std::string, LDirent>> dirents_;  // newest per (parent, name), scan
  std::map<unsigned, uint32_t> comprs_;
  // The last node decompressed: reads in small pieces decode each node once.
  uint32_t cache_at_ = UINT32_MAX;
  std::vector<uint8_t> cache_;
};

// ---- scan --------------------------------------------------------------

void bump(std::unordered_map<uint32_t, uint32_t>& h, uint32_t ino, uint32_t v) {
  uint32_t& x = h[ino];
  x = std::max(x, v);
}

void Image::scan_node(uint32_t at, uint16_t type, uint32_t len) {
  const uint8_t* p = buf_ + at;
  switch (type) {
    case kInode: {
      if (len < kInodeHdr || node_crc(p, kInodeHdr - 8) != c_.u32(p + 64)) {
        ++damaged_;
        return;
      }
      uint32_t ino = c_.u32(p + 12), version = c_.u32(p + 16), foff = c_.u32(p + 44), csize = c_.u32(p + 48);
      uint32_t dsize = c_.u32(p + 52);
      uint8_t compr = p[56];
      if (ino == 0 || csize > len - kInodeHdr || dsize > kMaxDsize || uint64_t(foff) + dsize > 0xFFFFFFFFu ||
          node_crc(p + kInodeHdr, csize) != c_.u32(p + 60)) {
        ++damaged_;
        return;
      }
      Ent& e = ents_[ino];
      e.ino = ino;
      e.loaded = true;
      max_ino_ = std::max(max_ino_, ino);
      bump(highest_, ino, version);
      if (!e.has_meta || version >= e.meta_version) {
        e.has_meta = true;
        e.meta_version = version;
        e.meta_at = at;
        e.mode = c_.u32(p + 20);
        e.uid = c_.u16(p + 24);
        e.gid = c_.u16(p + 26);
        e.isize = c_.u32(p + 28);
        e.atime = c_.u32(p + 32);
        e.mtime = c_.u32(p + 36);
        e.ctime = c_.u32(p + 40);
      }
      if (dsize) {
        e.nodes.push_back(DNode{at, version, foff, dsize, csize, compr});
        if (compr != C_NONE && compr != C_ZERO) ++comprs_[compr];
      }
      return;
    }
    case kDirent: {
      if (len < kDirentHdr || node_crc(p, kDirentHdr - 8) != c_.u32(p + 32)) {
        ++damaged_;
        return;
      }
      uint32_t nsize = p[28];
      if (nsize == 0 || kDirentHdr + nsize > len || node_crc(p + kDirentHdr, nsize) != c_.u32(p + 36) ||
          std::memchr(p + kDirentHdr, '/', nsize) || std::memchr(p + kDirentHdr, 0, nsize)) {
        ++damaged_;
        return;
      }
      std::string name(reinterpret_cast<const char*>(p + kDirentHdr), nsize);
      if (name == "." || name == "..") {
        ++damaged_;
        return;
      }
      uint32_t pino = c_.u32(p + 12), version = c_.u32(p + 16), ino = c_.u32(p + 20);
      bump(highest_, pino, version);
      max_ino_ = std::max({max_ino_, ino, pino});
      auto& dir = dirents_[pino];
      auto it = dir.find(name);
      if (it == dir.end())
        dir.emplace(std::move(name), LDirent{ino, version, at});
      else if (version >= it->second.version)
        it->second = LDirent{ino, version, at};
      return;
    }
    case kClean:
      if (len != c_.u32(p + 4)) return;
      ++cleanmarkers_;
      if (clean_at_ == UINT32_MAX) clean_at_ = at, clean_len_ = len;
      return;
    case kPadding:
      return;
    case kSummary:
      // Only the nodes are trusted; the summary marks its block as full.
      summary_at_.push_back(at);
      ++summaries_;
      return;
    case kXattr:
    case kXref: {
      uint32_t hdr = type == kXattr ? 32 : 28;
      if (len < hdr || node_crc(p, hdr - 4) != c_.u32(p + hdr - 4)) {
        ++damaged_;
        return;
      }
      kept_.emplace_back(at, len);
      return;
    }
    default:
      // Unknown but compatible: nodes marked to be copied travel with a compaction.
      if ((type & 0xC000) == 0x4000) kept_.emplace_back(at, len);
      return;
  }
}

bool Image::scan(size_t used, std::string* why) {
  (void)used;  // nodes may lie past the table's content size: the whole buffer is scanned
  if (total_ > 0xFFFFFFF0u) {
    *why = "partition larger than 4 GiB";
    return false;
  }
  // The byte order: from the first node whose header CRC holds in either order.
  bool found = false;
  for (size_t at = 0; at + kUnknownHdr <= total_ && !found; at += 4) {
    const uint8_t* p = buf_ + at;
    for (int be = 0; be < 2 && !found; ++be) {
      Codec k{be == 1};
      if (k.u16(p) == kMagic && node_crc(p, 8) == k.u32(p + 8)) c_ = k, found = true;
    }
  }
  bool empty = !found && all_ff(buf_, total_);
  if (!found && !empty) {
    *why = "no JFFS2 node found";
    return false;
  }
  lay_.big_endian = c_.be;
  size_t at = 0;
  bool in_garbage = false;
  while (at + kUnknownHdr <= total_) {
    const uint8_t* p = buf_ + at;
    if (load_le32(p) == 0xFFFFFFFFu) {
      in_garbage = false;
      at += 4;
      continue;
    }
    uint16_t magic = c_.u16(p), type = c_.u16(p + 2);
    uint32_t len = c_.u32(p + 4);
    if (magic != kMagic || node_crc(p, 8) != c_.u32(p + 8) || len < kUnknownHdr || len > total_ - at) {
      if (!in_garbage) ++damaged_;
      in_garbage = true;
      at += 4;
      continue;
    }
    in_garbage = false;
    spans_.emplace_back(uint32_t(at), uint32_t(at + len));
    if (!(type & kAccurate)) {
      ++obsolete_;
    } else if ((type & 0xC000) == 0xC000 && type != kInode && type != kDirent && type != kXattr && type != kXref) {
      char line[96];
      std::snprintf(line, sizeof line, "unknown incompatible node type 0x%04x at 0x%zx", unsigned(type), at);
      *why = line;
      return false;
    } else {
      scan_node(uint32_t(at), type, len);
    }
    at += pad4(len);
  }
  if (obsolete_ || damaged_)
    rs::warn("jffs2: %u obsolete and %u damaged nodes skipped\n", obsolete_, damaged_);
  if (!comprs_.empty())
    lay_.compr =
        std::max_element(comprs_.begin(), comprs_.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
  if (lay_.compr != C_ZLIB && lay_.compr != C_RTIME && lay_.compr != C_LZO) lay_.compr = C_ZLIB;
  lay_.cleanmarkers = cleanmarkers_ > 0;

  // Erase size: a summary ends at its block's end; cleanmarkers start blocks;
  // else the smallest power of two no node crosses (never larger than the
  // real one, so new nodes never straddle a real block end).
  uint32_t erase = 0;
  size_t si = 0;
  for (auto& sp : spans_) {
    while (si < summary_at_.size() && summary_at_[si] < sp.first) ++si;
    if (si < summary_at_.size() && summary_at_[si] == sp.first) erase = std::gcd(erase, sp.second);
  }
  if (erase) {
    erase_from_ = "summary nodes";
  } else if (cleanmarkers_ > 1) {
    for (auto& sp : spans_)
      if (c_.u16(buf_ + sp.first + 2) == kClean) erase = std::gcd(erase, sp.first);
    if (erase) erase_from_ = "cleanmarkers";
  }
  erase &= ~(erase - 1);  // a power of two
  if (erase < 0x1000) {
    erase = 0x10000;
    erase_from_ = "default";
    // Only an image filling several blocks tells its block size by its layout.
    uint32_t end = spans_.empty() ? 0 : spans_.back().second;
    for (uint32_t e = 0x1000; e <= 0x40000 && e * 2 <= end; e <<= 1) {
      bool crosses = false;
      for (auto& sp : spans_)
        if (sp.first / e != (sp.second - 1) / e) {
          crosses = true;
          break;
        }
      if (!crosses) {
        erase = e;
        erase_from_ = "node layout";
        break;
      }
    }
  }
  lay_.erase_size = erase;
  return build_tree(why);
}

// The tree from the newest dirent of each name, walked from the root: every
// directory is reached once (a directory named twice, or from below itself,
// is refused), names pointing to inodes without nodes are dropped.
bool Image::build_tree(std::string* why) {
  Ent& root = ents_[kRootIno];
  root.ino = kRootIno;
  if (!root.has_meta) root.mode = 040755;
  if ((root.mode & 0170000) != 040000) {
    *why = "the root inode is no directory";
    return false;
  }
  root.links = 1;
  std::vector<uint32_t> stack{kRootIno};
  std::set<uint32_t> seen_dirs{kRootIno};
  while (!stack.empty()) {
    uint32_t dino = stack.back();
    stack.pop_back();
    auto it = dirents_.find(dino);
    if (it == dirents_.end()) continue;
    auto& loaded = loaded_dirs_[dino];
    loaded = std::move(it->second);
    dirents_.erase(it);
    for (auto li = loaded.begin(); li != loaded.end();) {
      const std::string& name = li->first;
      LDirent d = li->second;
      auto e = ents_.find(d.ino);
      // Deletions, and names of inodes without nodes, name nothing.
      if (d.ino == 0 || e == ents_.end() || !e->second.has_meta || d.ino == kRootIno) {
        li = loaded.erase(li);
        continue;
      }
      ++li;
      if ((e->second.mode & 0170000) == 040000) {
        if (!seen_dirs.insert(d.ino).second) {
          char line[96];
          std::snprintf(line, sizeof line, "directory inode %u is named twice or lies below itself", d.ino);
          *why = line;
          return false;
        }
        stack.push_back(d.ino);
      }
      ents_[dino].kids[name] = d.ino;
      ++e->second.links;
    }
  }
  dirents_.clear();
  // Links and device numbers are small: their data is read now.
  for (auto& [ino, e] : ents_) {
    uint32_t t = e.mode & 0170000;
    if (!e.links || (t != 0120000 && t != 020000 && t != 060000)) continue;
    // The newest node holds the whole target or number, whatever isize says.
    const DNode* newest = nullptr;
    for (const DNode& n : e.nodes)
      if (!newest || n.version >= newest->version) newest = &n;
    std::vector<uint8_t> d;
    if (newest && newest->dsize <= 4096 && node_data(*newest, &d)) e.data = std::move(d);
  }
  return true;
}

void Image::build_frags(Ent& e) {
  if (e.frags_built) return;
  e.frags_built = true;
  std::vector<size_t> order(e.nodes.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return e.nodes[a].version < e.nodes[b].version; });
  auto& f = e.frags;
  for (size_t i : order) {
    const DNode& n = e.nodes[i];
    uint32_t s = n.foff, t = n.foff + n.dsize;
    // Cut what the newer node covers out of the older fragments.
    auto it = f.lower_bound(s);
    if (it != f.begin()) {
      auto prev = std::prev(it);
      if (prev->second.first > s) {
        auto [end, idx] = prev->second;
        prev->second.first = s;
        if (end > t) f[t] = {end, idx};
      }
    }
    it = f.lower_bound(s);
    while (it != f.end() && it->first < t) {
      auto [end, idx] = it->second;
      it = f.erase(it);
      if (end > t) {
        f[t] = {end, idx};
        break;
      }
    }
    f[s] = {t, i};
  }
  // The newest metadata's size cuts what lies beyond it.
  auto it = f.lower_bound(e.isize);
  f.erase(it, f.end());
  if (!f.empty()) {
    auto last = std::prev(f.end());
    if (last->second.first > e.isize) last->second.first = e.isize;
  }
}

bool Image::node_data(const DNode& n, std::vector<uint8_t>* out) {
  if (cache_at_ == n.at) {
    *out = cache_;
    return true;
  }
  out->assign(n.dsize, 0);
  const uint8_t* p = buf_ + n.at + kInodeHdr;
  if (!decompress(n.compr, p, n.csize, out->data(), n.dsize)) {
    if (n.compr == C_RUBIN || n.compr == C_DYNRUBIN || n.compr == C_LZMA || n.compr == C_COPY)
      std::fprintf(stderr, "jffs2: %s compressed data is not supported (node at 0x%x)\n", compr_name(n.compr), n.at);
    else
      std::fprintf(stderr, "jffs2: %s data of the node at 0x%x cannot be decoded\n", compr_name(n.compr), n.at);
    return false;
  }
  cache_at_ = n.at;
  cache_ = *out;
  return true;
}

long long Image::read_ent(Ent& e, uint8_t* out, size_t size, uint64_t offset) {
  uint64_t isize = e.data_new ? e.data.size() : e.isize;
  if (offset >= isize) return 0;
  size = size_t(std::min<uint64_t>(size, isize - offset));
  if (e.data_new) {
    std::memcpy(out, e.data.data() + offset, size);
    return (long long)size;
  }
  build_frags(e);
  std::memset(out, 0, size);  // holes read as zeros
  uint64_t end = offset + size;
  auto it = e.frags.upper_bound(uint32_t(offset));
  if (it != e.frags.begin()) --it;
  std::vector<uint8_t> d;
  for (; it != e.frags.end() && it->first < end; ++it) {
    uint64_t s = std::max<uint64_t>(it->first, offset), t = std::min<uint64_t>(it->second.first, end);
    if (s >= t) continue;
    const DNode& n = e.nodes[it->second.second];
    if (!node_data(n, &d)) return -EIO;
    std::memcpy(out + (s - offset), d.data() + (s - n.foff), size_t(t - s));
  }
  return (long long)size;
}

// ---- lookups and attributes ----------------------------------------------

Ent* Image::find(const char* path) {
  Ent* cur = &ents_[kRootIno];
  for (const std::string& part : split_path(path)) {
    if ((cur->mode & 0170000) != 040000) return nullptr;
    auto it = cur->kids.find(part);
    if (it == cur->kids.end()) return nullptr;
    cur = &ents_[it->second];
  }
  return cur;
}

int Image::parent_of(const char* path, Ent** parent, std::string* name) {
  std::vector<std::string> parts = split_path(path);
  if (parts.empty()) return -EINVAL;
  Ent* cur = &ents_[kRootIno];
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    auto it = cur->kids.find(parts[i]);
    if (it == cur->kids.end()) return -ENOENT;
    cur = &ents_[it->second];
    if ((cur->mode & 0170000) != 040000) return -ENOTDIR;
  }
  if (parts.back().size() > 254 || parts.back() == "." || parts.back() == "..") return -EINVAL;
  *parent = cur;
  *name = parts.back();
  return 0;
}

void Image::fill_attr(const Ent& e, attr* a) const {
  *a = attr{};
  a->mode = e.mode;
  a->uid = e.uid;
  a->gid = e.gid;
  a->mtime = e.mtime;
  a->ino = e.ino;
  a->nlink = std::max<uint32_t>(e.links, 1);
  uint32_t t = e.mode & 0170000;
  if (t == 0100000) a->size = e.data_new ? e.data.size() : e.isize;
  if (t == 0120000) {
    a->target.assign(e.data.begin(), e.data.end());
    a->size = a->target.size();
  }
  if (t == 020000 || t == 060000) {
    if (e.data.size() == 2)
      a->rdev = uint32_t(e.data[c_.be ? 0 : 1]) << 8 | e.data[c_.be ? 1 : 0];
    else if (e.data.size() == 4)
      a->rdev = c_.u32(e.data.data());
  }
}

int Image::stat(const char* path, attr* out) {
  Ent* e = find(path);
  if (!e) return -ENOENT;
  fill_attr(*e, out);
  return 0;
}

void Image::walk_below(Ent& dir, const std::string& path, std::vector<node_entry>* out, int depth) {
  for (auto& [name, ino] : dir.kids) {
    Ent& c = ents_[ino];
    node_entry n;
    n.path = (path == "/" ? "" : path) + "/" + name;
    fill_attr(c, &n.a);
    std::string p = n.path;
    out->push_back(std::move(n));
    if ((c.mode & 0170000) == 040000 && depth < 4096) walk_below(c, p, out, depth + 1);
  }
}

int Image::walk(const char* path, std::vector<node_entry>* out) {
  Ent* e = find(path);
  if (!e) return -ENOENT;
  if ((e->mode & 0170000) != 040000) return -ENOTDIR;
  std::vector<std::string> parts = split_path(path);
  std::string p;
  for (auto& s : parts) p += "/" + s;
  if (p.empty()) p = "/";
  node_entry n;
  n.path = p;
  fill_attr(*e, &n.a);
  out->push_back(std::move(n));
  walk_below(*e, p, out, 0);
  return 0;
}

long long Image::pread(const char* path, void* buf, size_t size, uint64_t offset) {
  Ent* e = find(path);
  if (!e) return -ENOENT;
  if ((e->mode & 0170000) == 040000) return -EISDIR;
  if ((e->mode & 0170000) != 0100000) return -EINVAL;
  return read_ent(*e, static_cast<uint8_t*>(buf), size, offset);
}

uint64_t Image::next_data(const char* path, uint64_t off) {
  Ent* e = find(path);
  if (!e || (e->mode & 0170000) != 0100000) return off;
  if (e->data_new) return off;
  build_frags(*e);
  uint64_t isize = e->isize;
  auto it = e->frags.upper_bound(uint32_t(std::min<uint64_t>(off, 0xFFFFFFFFu)));
  if (it != e->frags.begin() && std::prev(it)->second.first > off) return off;
  // A zero node is a stored hole, too.
  while (it != e->frags.end() && e->nodes[it->second.second].compr == C_ZERO) ++it;
  return it == e->frags.end() ? std::max(off, isize) : std::max<uint64_t>(off, it->first);
}

std::string Image::describe() const {
  char line[200];
  std::snprintf(line, sizeof line, "jffs2: %s-endian, erase block %u KiB (%s), %s, %s", c_.be ? "big" : "little",
                lay_.erase_size / 1024, erase_from_.c_str(), lay_.cleanmarkers ? "cleanmarkers" : "no cleanmarkers",
                compr_name(lay_.compr));
  std::string s = line;
  if (summaries_) s += ", summary nodes";
  return s;
}

void Image::ls_dir(Ent& dir, std::vector<bool>& open) {
  for (auto it = dir.kids.begin(); it != dir.kids.end(); ++it) {
    bool more = std::next(it) != dir.kids.end();
    for (bool o : open) std::fputs(o ? "|   " : "    ", stdout);
    std::printf(more ? "|-- %s" : "`-- %s", it->first.c_str());
    Ent& c = ents_[it->second];
    if ((c.mode & 0170000) == 0100000)
      std::printf("\t\t(%llu)\n", (unsigned long long)(c.data_new ? c.data.size() : c.isize));
    else
      std::fputs("\n", stdout);
    if ((c.mode & 0170000) == 040000 && open.size() < 4096) {
      open.push_back(more);
      ls_dir(c, open);
      open.pop_back();
    }
  }
}

void Image::ls() {
  std::printf("%s\n", describe().c_str());
  std::vector<bool> open;
  ls_dir(ents_[kRootIno], open);
}

// ---- edits -----------------------------------------------------------------

Ent& Image::new_ent(uint32_t mode, uint32_t uid, uint32_t gid) {
  uint32_t ino = ++max_ino_;
  Ent& e = ents_[ino];
  e.ino = ino;
  e.mode = mode;
  e.uid = uid;
  e.gid = gid;
  e.atime = e.mtime = e.ctime = uint32_t(std::time(nullptr));
  e.meta_dirty = true;
  e.frags_built = true;
  return e;
}

// One name less; a directory's whole subtree goes with its last name.
void Image::drop_links(Ent& e) {
  std::vector<Ent*> todo{&e};  // no recursion: trees from an image may be deep
  while (!todo.empty()) {
    Ent* x = todo.back();
    todo.pop_back();
    if (x->links) --x->links;
    if (x->links || (x->mode & 0170000) != 040000) continue;
    for (auto& [name, ino] : x->kids) todo.push_back(&ents_[ino]);
  }
}

int Image::put(const char* path, const void* buf, size_t size, long mode, long uid, long gid) {
  if (size > 0x7FFFFFFFu) return -EFBIG;
  if (uid > 0xFFFF || gid > 0xFFFF) return -EINVAL;
  Ent* parent;
  std::string name;
  int rc = parent_of(path, &parent, &name);
  if (rc) return rc;
  auto it = parent->kids.find(name);
  const uint8_t* b = static_cast<const uint8_t*>(buf);
  if (it != parent->kids.end()) {
    Ent* e = &ents_[it->second];
    uint32_t t = e->mode & 0170000;
    if (t == 040000) return -EISDIR;
    if (t != 0100000 || e->links > 1) {
      // Another name of the inode keeps its bytes: this name gets an inode of its own.
      Ent& n = new_ent(t == 0100000 ? e->mode : 0100644, e->uid, e->gid);
      if (t == 0100000) n.mtime = e->mtime;
      drop_links(*e);
      e = &n;
      e->links = 1;
      parent->kids[name] = e->ino;
    }
    e->data.assign(b, b + size);
    e->data_new = true;
    e->meta_dirty = true;
    if (mode >= 0) e->mode = (e->mode & 0170000) | (uint32_t(mode) & 07777);
    if (uid >= 0) e->uid = uint32_t(uid);
    if (gid >= 0) e->gid = uint32_t(gid);
    return 0;
  }
  Ent& e = new_ent(0100000 | (mode >= 0 ? uint32_t(mode) & 07777 : 0644), uid >= 0 ? uint32_t(uid) : 0,
                   gid >= 0 ? uint32_t(gid) : 0);
  e.data.assign(b, b + size);
  e.data_new = true;
  e.links = 1;
  parent->kids[name] = e.ino;
  return 0;
}

int Image::remove(const char* path) {
  Ent* parent;
  std::string name;
  int rc = parent_of(path, &parent, &name);
  if (rc) return rc == -EINVAL && split_path(path).empty() ? -EBUSY : rc;
  auto it = parent->kids.find(name);
  if (it == parent->kids.end()) return -ENOENT;
  drop_links(ents_[it->second]);
  parent->kids.erase(it);
  return 0;
}

int Image::mkdir(const char* path, uint32_t mode, uint32_t uid, uint32_t gid) {
  Ent* parent;
  std::string name;
  int rc = parent_of(path, &parent, &name);
  if (rc) return rc == -EINVAL && split_path(path).empty() ? -EEXIST : rc;
  if (parent->kids.count(name)) return -EEXIST;
  Ent& e = new_ent(040000 | (mode & 07777), uid, gid);
  e.links = 1;
  parent->kids[name] = e.ino;
  return 0;
}

int Image::chmod(const char* path, uint32_t mode) {
  Ent* e = find(path);
  if (!e) return -ENOENT;
  e->mode = (e->mode & 0170000) | (mode & 07777);
  e->meta_dirty = true;
  return 0;
}

int Image::chown(const char* path, uint32_t uid, uint32_t gid) {
  Ent* e = find(path);
  if (!e) return -ENOENT;
  if (uid > 0xFFFF || gid > 0xFFFF) return -EINVAL;  // 16-bit owners on flash
  e->uid = uid;
  e->gid = gid;
  e->meta_dirty = true;
  return 0;
}

int Image::set_mtime(const char* path, int64_t mtime) {
  Ent* e = find(path);
  if (!e) return -ENOENT;
  if (mtime < 0 || mtime > 0xFFFFFFFFll) return -EINVAL;
  e->mtime = uint32_t(mtime);
  e->meta_dirty = true;
  return 0;
}

int Image::symlink(const char* target, const char* path) {
  Ent* parent;
  std::string name;
  int rc = parent_of(path, &parent, &name);
  if (rc) return rc == -EINVAL && split_path(path).empty() ? -EEXIST : rc;
  if (parent->kids.count(name)) return -EEXIST;
  size_t n = std::strlen(target);
  if (n == 0 || n > 4096) return -EINVAL;
  Ent& e = new_ent(0120777, 0, 0);
  e.data.assign(target, target + n);
  e.links = 1;
  parent->kids[name] = e.ino;
  return 0;
}

int Image::mknod(const char* path, uint32_t mode, uint32_t rdev, uint32_t uid, uint32_t gid) {
  Ent* parent;
  std::string name;
  int rc = parent_of(path, &parent, &name);
  if (rc) return rc;
  if (parent->kids.count(name)) return -EEXIST;
  if (uid > 0xFFFF || gid > 0xFFFF) return -EINVAL;
  Ent& e = new_ent(mode, uid, gid);
  uint32_t t = mode & 0170000;
  if (t == 020000 || t == 060000) {
    uint32_t major = (rdev >> 8) & 0xFFF, minor = (rdev & 0xFF) | ((rdev >> 12) & 0xFFF00);
    // The short form where it fits, as the kernel writes it.
    if (major < 256 && minor < 256) {
      e.data.resize(2);
      c_.s16(e.data.data(), uint16_t(major << 8 | minor));
    } else {
      e.data.resize(4);
      c_.s32(e.data.data(), rdev);
    }
  }
  e.links = 1;
  parent->kids[name] = e.ino;
  return 0;
}

int Image::link(const char* existing, const char* path) {
  Ent* e = find(existing);
  if (!e) return -ENOENT;
  if ((e->mode & 0170000) == 040000) return -EPERM;
  Ent* parent;
  std::string name;
  int rc = parent_of(path, &parent, &name);
  if (rc) return rc;
  if (parent->kids.count(name)) return -EEXIST;
  ++e->links;
  parent->kids[name] = e->ino;
  return 0;
}

int Image::rename(const char* from, const char* to) {
  Ent *sp, *dp;
  std::string sn, dn;
  int rc = parent_of(from, &sp, &sn);
  if (rc) return rc == -EINVAL && split_path(from).empty() ? -EBUSY : rc;
  auto sit = sp->kids.find(sn);
  if (sit == sp->kids.end()) return -ENOENT;
  rc = parent_of(to, &dp, &dn);
  if (rc) return rc == -EINVAL && split_path(to).empty() ? -EBUSY : rc;
  uint32_t ino = sit->second;
  Ent& e = ents_[ino];
  bool dir = (e.mode & 0170000) == 040000;
  if (dp == sp && dn == sn) return 0;
  if (dir) {
    // The target's parent chain must not pass through the moved directory.
    std::vector<std::string> fp = split_path(from), tp = split_path(to);
    if (tp.size() > fp.size() && std::equal(fp.begin(), fp.end(), tp.begin())) return -EINVAL;
  }
  auto dit = dp->kids.find(dn);
  if (dit != dp->kids.end()) {
    if (dit->second == ino) return 0;
    Ent& old = ents_[dit->second];
    bool odir = (old.mode & 0170000) == 040000;
    if (dir && !odir) return -ENOTDIR;
    if (!dir && odir) return -EISDIR;
    if (odir && !old.kids.empty()) return -ENOTEMPTY;
    drop_links(old);
  }
  sp->kids.erase(sn);
  dp->kids[dn] = ino;
  return 0;
}

// ---- writing nodes ---------------------------------------------------------

uint32_t Image::next_version(uint32_t ino, bool* overflow) {
  uint32_t& v = highest_[ino];
  if (v == 0xFFFFFFFFu) {
    *overflow = true;
    return v;
  }
  return ++v;
}

std::vector<uint8_t> Image::inode_node(const Ent& e, uint32_t version, uint32_t foff, const uint8_t* data,
                                       uint32_t dsize, uint8_t compr, const uint8_t* cdata, uint32_t csize) const {
  (void)data;
  std::vector<uint8_t> n(kInodeHdr + csize);
  uint8_t* p = n.data();
  c_.s16(p, kMagic);
  c_.s16(p + 2, kInode);
  c_.s32(p + 4, uint32_t(n.size()));
  c_.s32(p + 8, node_crc(p, 8));
  c_.s32(p + 12, e.ino);
  c_.s32(p + 16, version);
  c_.s32(p + 20, e.mode);
  c_.s16(p + 24, uint16_t(e.uid));
  c_.s16(p + 26, uint16_t(e.gid));
  uint32_t t = e.mode & 0170000;
  c_.s32(p + 28,
         t == 0100000 ? uint32_t(e.data_new ? e.data.size() : e.isize) : (t == 040000 ? 0u : uint32_t(e.data.size())));
  c_.s32(p + 32, e.atime);
  c_.s32(p + 36, e.mtime);
  c_.s32(p + 40, e.ctime);
  c_.s32(p + 44, foff);
  c_.s32(p + 48, csize);
  c_.s32(p + 52, dsize);
  p[56] = compr;
  p[57] = 0;
  c_.s16(p + 58, 0);
  if (csize) std::memcpy(p + kInodeHdr, cdata, csize);
  c_.s32(p + 60, node_crc(p + kInodeHdr, csize));
  c_.s32(p + 64, node_crc(p, 60));
  return n;
}

std::vector<uint8_t> Image::dirent_node(uint32_t pino, uint32_t version, uint32_t ino, uint8_t type,
                                        const std::string& name, uint32_t mctime) const {
  std::vector<uint8_t> n(kDirentHdr + name.size());
  uint8_t* p = n.data();
  c_.s16(p, kMagic);
  c_.s16(p + 2, kDirent);
  c_.s32(p + 4, uint32_t(n.size()));
  c_.s32(p + 8, node_crc(p, 8));
  c_.s32(p + 12, pino);
  c_.s32(p + 16, version);
  c_.s32(p + 20, ino);
  c_.s32(p + 24, mctime);
  p[28] = uint8_t(name.size());
  p[29] = type;
  p[30] = p[31] = 0;
  std::memcpy(p + kDirentHdr, name.data(), name.size());
  c_.s32(p + 32, node_crc(p, 32));
  c_.s32(p + 36, node_crc(p + kDirentHdr, name.size()));
  return n;
}

std::vector<uint8_t> Image::cleanmarker() const {
  if (clean_at_ != UINT32_MAX) return std::vector<uint8_t>(buf_ + clean_at_, buf_ + clean_at_ + clean_len_);
  std::vector<uint8_t> n(kUnknownHdr);
  c_.s16(n.data(), kMagic);
  c_.s16(n.data() + 2, kClean);
  c_.s32(n.data() + 4, kUnknownHdr);
  c_.s32(n.data() + 8, node_crc(n.data(), 8));
  return n;
}

// The nodes an edit needs, in the order the kernel writes them: an inode's
// nodes before the name that points to it, new names before deletions.
bool Image::new_nodes(std::vector<NewNode>* out, bool with_deletions, std::string* why) {
  // Reachable inodes, parents first.
  std::vector<uint32_t> order{kRootIno};
  for (size_t i = 0; i < order.size(); ++i)
    for (auto& [name, ino] : ents_[order[i]].kids)
      if ((ents_[ino].mode & 0170000) == 040000) order.push_back(ino);
  std::set<uint32_t> live_dirs(order.begin(), order.end());
  bool overflow = false;
  uint32_t now = uint32_t(std::time(nullptr));

  // New content, compressed on all cores: a job per page.
  struct Job {
    Ent* e;
    uint32_t foff, dsize;
    std::vector<uint8_t> c;
  };
  std::vector<Job> jobs;
  std::vector<Ent*> meta_only;
  std::set<uint32_t> emitted;
  auto want = [&](Ent& e) {
    if (!emitted.insert(e.ino).second) return;
    if ((e.mode & 0170000) == 0100000 && e.data_new) {
      for (uint32_t off = 0; off < e.data.size(); off += kPage)
        jobs.push_back(Job{&e, off, uint32_t(std::min<size_t>(kPage, e.data.size() - off)), {}});
      if (e.data.empty()) meta_only.push_back(&e);
    } else if (e.meta_dirty || !e.loaded) {
      meta_only.push_back(&e);
    }
  };
  for (uint32_t d : order) {
    if (d != kRootIno || ents_[d].meta_dirty) want(ents_[d]);
    for (auto& [name, ino] : ents_[d].kids) want(ents_[ino]);
  }
  unsigned compr = lay_.compr;
  unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 16u));
  auto work = [&](size_t from) {
    for (size_t i = from; i < jobs.size(); i += cores) {
      Job& j = jobs[i];
      if (compr != C_NONE) j.c = compress(compr, j.e->data.data() + j.foff, j.dsize);
    }
  };
  if (jobs.size() > 8 && cores > 1) {
    std::vector<std::thread> ts;
    for (unsigned t = 1; t < cores; ++t) ts.emplace_back(work, t);
    work(0);
    for (auto& t : ts) t.join();
  } else {
    for (size_t i = 0; i < jobs.size(); ++i) {
      Job& j = jobs[i];
      if (compr != C_NONE) j.c = compress(compr, j.e->data.data() + j.foff, j.dsize);
    }
  }
  // Inode nodes by inode, in the walk order.
  size_t ji = 0, mi = 0;
  std::unordered_map<uint32_t, std::vector<NewNode>> per_ino;
  for (; ji < jobs.size(); ++ji) {
    Job& j = jobs[ji];
    const uint8_t* raw = j.e->data.data() + j.foff;
    uint32_t v = next_version(j.e->ino, &overflow);
    for (uint32_t k = 1; k < kSpareVersions; ++k) next_version(j.e->ino, &overflow);
    NewNode n;
    if (j.c.empty())
      n.bytes = inode_node(*j.e, v, j.foff, raw, j.dsize, C_NONE, raw, j.dsize);
    else
      n.bytes = inode_node(*j.e, v, j.foff, raw, j.dsize, uint8_t(compr), j.c.data(), uint32_t(j.c.size()));
    n.e = j.e, n.foff = j.foff, n.dsize = j.dsize, n.spare = kSpareVersions - 1;
    per_ino[j.e->ino].push_back(std::move(n));
  }
  for (; mi < meta_only.size(); ++mi) {
    Ent& e = *meta_only[mi];
    uint32_t v = next_version(e.ino, &overflow);
    uint32_t t = e.mode & 0170000;
    bool carries = t == 0120000 || t == 020000 || t == 060000;
    uint32_t n = carries ? uint32_t(e.data.size()) : 0;
    per_ino[e.ino].push_back(NewNode{inode_node(e, v, 0, e.data.data(), n, C_NONE, e.data.data(), n)});
  }
  std::vector<NewNode> deletions;
  auto emit_ino = [&](uint32_t ino) {
    auto it = per_ino.find(ino);
    if (it == per_ino.end()) return;
    for (auto& n : it->second) out->push_back(std::move(n));
    per_ino.erase(it);
  };
  for (uint32_t d : order) {
    if (d == kRootIno) emit_ino(d);
    Ent& dir = ents_[d];
    auto lit = loaded_dirs_.find(d);
    for (auto& [name, ino] : dir.kids) {
      emit_ino(ino);
      if (lit != loaded_dirs_.end()) {
        auto l = lit->second.find(name);
        if (l != lit->second.end() && l->second.ino == ino) continue;
      }
      out->push_back(NewNode{dirent_node(d, next_version(d, &overflow), ino, dt_of(ents_[ino].mode), name, now)});
    }
  }
  // Names that went: every loaded name of a live directory not kept, and the
  // whole loaded contents of directories no longer reached, deepest first.
  std::vector<uint32_t> dead_order;
  for (auto& [d, names_of] : loaded_dirs_)
    if (!live_dirs.count(d)) dead_order.push_back(d);
  std::sort(dead_order.begin(), dead_order.end(), std::greater<>());
  if (with_deletions) {
    for (uint32_t d : dead_order)
      for (auto& [name, l] : loaded_dirs_[d])
        deletions.push_back(NewNode{dirent_node(d, next_version(d, &overflow), 0, 0, name, now)});
    for (uint32_t d : order) {
      auto lit = loaded_dirs_.find(d);
      if (lit == loaded_dirs_.end()) continue;
      for (auto& [name, l] : lit->second)
        if (!ents_[d].kids.count(name))
          deletions.push_back(NewNode{dirent_node(d, next_version(d, &overflow), 0, 0, name, now)});
    }
    for (auto& n : deletions) out->push_back(std::move(n));
  }
  if (overflow) {
    *why = "an inode's version numbers are exhausted";
    return false;
  }
  return true;
}

// Erased flash a node may go to: whole erased blocks, and the erased tail of a
// block that starts with a node and holds no summary.
std::vector<Region> Image::free_regions() const {
  std::vector<Region> out;
  uint32_t e = lay_.erase_size;
  size_t blocks = total_ / e;
  std::vector<uint32_t> last_end(blocks, 0);
  std::vector<bool> summary(blocks, false);
  for (auto& sp : spans_) {
    size_t b = (sp.second - 1) / e;
    if (b < blocks) last_end[b] = std::max(last_end[b], pad4(sp.second));
  }
  for (uint32_t s : summary_at_)
    if (s / e < blocks) summary[s / e] = true;
  for (size_t b = 0; b < blocks; ++b) {
    uint32_t start = uint32_t(b * e), end = start + e;
    if (summary[b]) continue;
    if (all_ff(buf_ + start, e)) {
      out.push_back(Region{start, end, true});
      continue;
    }
    if (load_le32(buf_ + start) == 0xFFFFFFFFu) continue;  // the kernel would take it for erased
    uint32_t from = std::max(last_end[b], start);
    if (from + kDirentHdr < end && all_ff(buf_ + from, end - from)) out.push_back(Region{from, end, false});
  }
  return out;
}

// A new data node too long for `room`: its first bytes become `first` (a node
// that fits), the rest stays in `n` under the next spare version.
bool Image::cut_to_fit(NewNode& n, uint32_t room, std::vector<uint8_t>* first) const {
  if (!n.e || !n.spare || n.dsize < 2 || room < kInodeHdr + 128) return false;
  const uint8_t* raw = n.e->data.data() + n.foff;
  uint32_t version = c_.u32(n.bytes.data() + 16);
  uint32_t stored = uint32_t(n.bytes.size()) - kInodeHdr;
  uint32_t len =
      uint32_t(std::min<uint64_t>(n.dsize - 1, uint64_t(n.dsize) * (room - kInodeHdr) / std::max(stored, 1u)));
  for (int tries = 0; tries < 12 && len > 0; ++tries, len = len * 7 / 8) {
    std::vector<uint8_t> c = lay_.compr == C_NONE ? std::vector<uint8_t>{} : compress(lay_.compr, raw, len);
    uint32_t size = kInodeHdr + uint32_t(c.empty() ? len : c.size());
    if (size > room) continue;
    *first = c.empty() ? inode_node(*n.e, version, n.foff, raw, len, C_NONE, raw, len)
                       : inode_node(*n.e, version, n.foff, raw, len, uint8_t(lay_.compr), c.data(), uint32_t(c.size()));
    const uint8_t* rest = raw + len;
    uint32_t rlen = n.dsize - len;
    std::vector<uint8_t> rc = lay_.compr == C_NONE ? std::vector<uint8_t>{} : compress(lay_.compr, rest, rlen);
    n.bytes = rc.empty() ? inode_node(*n.e, version + 1, n.foff + len, rest, rlen, C_NONE, rest, rlen)
                         : inode_node(*n.e, version + 1, n.foff + len, rest, rlen, uint8_t(lay_.compr), rc.data(),
                                      uint32_t(rc.size()));
    n.foff += len;
    n.dsize = rlen;
    --n.spare;
    return true;
  }
  return false;
}

bool Image::place(std::vector<uint8_t>& img, const std::vector<Region>& regions, std::vector<NewNode>& nodes) const {
  std::vector<uint8_t> cm = lay_.cleanmarkers ? cleanmarker() : std::vector<uint8_t>{};
  size_t ri = 0, ni = 0;
  uint32_t at = 0;
  bool open = false, fresh = false;
  std::vector<uint8_t> first;
  while (ni < nodes.size()) {
    if (!open) {
      if (ri >= regions.size()) return false;
      at = regions[ri].start;
      if (regions[ri].whole && !cm.empty()) {
        std::memcpy(img.data() + at, cm.data(), cm.size());
        at = pad4(at + cm.size());
      }
      open = true;
      fresh = regions[ri].whole;
    }
    NewNode& n = nodes[ni];
    if (uint64_t(at) + n.bytes.size() > regions[ri].end) {
      // Nodes never cross a block end: a data node is cut to fill the block,
      // anything else waits for the next region.
      if (at < regions[ri].end && cut_to_fit(n, regions[ri].end - at, &first)) {
        std::memcpy(img.data() + at, first.data(), first.size());
      } else if (fresh) {
        return false;  // a node larger than a block
      }
      ++ri;
      open = false;
      continue;
    }
    std::memcpy(img.data() + at, n.bytes.data(), n.bytes.size());
    at = pad4(at + n.bytes.size());
    fresh = false;
    ++ni;
  }
  return true;
}

// The loaded nodes still in use by the edited tree, as [offset, length).
std::vector<std::pair<uint32_t, uint32_t>> Image::live_nodes() {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  auto len_at = [&](uint32_t at) { return c_.u32(buf_ + at + 4); };
  std::vector<uint32_t> order{kRootIno};
  for (size_t i = 0; i < order.size(); ++i)
    for (auto& [name, ino] : ents_[order[i]].kids)
      if ((ents_[ino].mode & 0170000) == 040000) order.push_back(ino);
  std::set<uint32_t> done;
  auto inode_nodes = [&](Ent& e) {
    if (!e.loaded || !done.insert(e.ino).second) return;
    if (e.data_new || e.meta_dirty) {
      // Replaced metadata: the old data still counts unless replaced too.
      if (!e.data_new && (e.mode & 0170000) == 0100000) {
        build_frags(e);
        std::set<size_t> used;
        for (auto& [s, f] : e.frags) used.insert(f.second);
        for (size_t i : used) out.emplace_back(e.nodes[i].at, len_at(e.nodes[i].at));
      }
      return;
    }
    build_frags(e);
    std::set<uint32_t> used{e.meta_at};
    for (auto& [s, f] : e.frags) used.insert(e.nodes[f.second].at);
    for (uint32_t at : used) out.emplace_back(at, len_at(at));
  };
  for (uint32_t d : order) {
    if (d == kRootIno) inode_nodes(ents_[d]);
    auto lit = loaded_dirs_.find(d);
    for (auto& [name, ino] : ents_[d].kids) {
      inode_nodes(ents_[ino]);
      if (lit == loaded_dirs_.end()) continue;
      auto l = lit->second.find(name);
      if (l != lit->second.end() && l->second.ino == ino) out.emplace_back(l->second.at, len_at(l->second.at));
    }
  }
  for (auto& k : kept_) out.push_back(k);
  return out;
}

std::vector<uint8_t> Image::rebuild(std::string* why, bool* compacted) {
  std::vector<NewNode> nodes;
  // Versions are taken from a copy: a failed rebuild leaves the handle as it was.
  auto saved = highest_;
  bool ok = new_nodes(&nodes, true, why);
  highest_ = saved;
  if (!ok) return {};
  size_t bytes = 0;
  for (auto& n : nodes) bytes += pad4(n.bytes.size());
  std::vector<uint8_t> img(buf_, buf_ + total_);
  if (place(img, free_regions(), nodes)) {
    if (compacted) *compacted = false;
    if (!nodes.empty() && !quiet_)
      rs::warn("jffs2: %zu new nodes (%zu bytes) appended into erased flash\n", nodes.size(), bytes);
    return img;
  }
  // Compaction: the live nodes as stored, packed largest first into the
  // blocks, then the new nodes into what is left, in block order.
  nodes.clear();
  ok = new_nodes(&nodes, false, why);
  highest_ = saved;
  if (!ok) return {};
  uint32_t e = lay_.erase_size;
  std::vector<uint8_t> cm = lay_.cleanmarkers ? cleanmarker() : std::vector<uint8_t>{};
  auto live = live_nodes();
  std::stable_sort(live.begin(), live.end(), [](auto& a, auto& b) { return a.second > b.second; });
  // Into `out` (whole blocks), giving the number of blocks used, or 0.
  auto pack = [&](std::vector<uint8_t>& out, std::vector<NewNode> fresh) -> size_t {
    std::fill(out.begin(), out.end(), 0xFF);
    size_t blocks = out.size() / e, first_open = 0;
    std::vector<uint32_t> fill(blocks, 0);
    for (auto& [at, len] : live) {
      size_t b = first_open;
      while (b < blocks && (fill[b] ? fill[b] : pad4(cm.size())) + uint64_t(len) > e) ++b;
      if (b >= blocks) return 0;
      if (!fill[b]) {
        if (!cm.empty()) std::memcpy(out.data() + b * e, cm.data(), cm.size());
        fill[b] = pad4(cm.size());
      }
      std::memcpy(out.data() + b * e + fill[b], buf_ + at, len);
      fill[b] = pad4(fill[b] + len);
      while (first_open < blocks && fill[first_open] + kDirentHdr > e) ++first_open;
    }
    std::vector<Region> regions;
    for (size_t b = 0; b < blocks; ++b)
      if (!fill[b] || fill[b] + kDirentHdr < e)
        regions.push_back(Region{uint32_t(b * e + fill[b]), uint32_t(b * e + e), fill[b] == 0});
    if (!place(out, regions, fresh)) return 0;
    size_t used = blocks;
    while (used > 0 && all_ff(out.data() + (used - 1) * e, e)) --used;
    return std::max<size_t>(used, 1);
  };
  if (total_ < e || !pack(img, nodes)) {
    // The size it would take, for the reason: packed again without a bound.
    size_t live_bytes = bytes;
    for (auto& [at, len] : live) live_bytes += pad4(len);
    std::vector<uint8_t> big((live_bytes * 2 / e + 4) * e);
    size_t used = pack(big, nodes);
    char line[160];
    std::snprintf(line, sizeof line, "the compacted jffs2 needs %zu bytes, the partition holds %zu", used * e, total_);
    *why = line;
    return {};
  }
  if (compacted) *compacted = true;
  rs::warn("jffs2: compacted: no room for %zu new bytes in erased flash; %zu live nodes kept, %zu new\n",
               bytes, live.size(), nodes.size());
  return img;
}

}  // namespace

std::unique_ptr<fs> load(uint8_t* buf, size_t used, size_t total) {
  auto img = std::make_unique<Image>(buf, total);
  std::string why;
  if (!img->scan(used, &why)) {
    std::fprintf(stderr, "jffs2: %s, image left as raw bytes\n", why.c_str());
    return nullptr;
  }
  return img;
}

std::unique_ptr<fs> create(const layout& l, size_t total) {
  auto img = std::make_unique<Image>(nullptr, 0);
  img->make_empty(l, total);
  return img;
}

}  // namespace rs::jffs2
