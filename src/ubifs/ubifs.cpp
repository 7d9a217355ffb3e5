#include "ubifs/ubifs.h"

#include <lzo/lzo1x.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "ubifs/ubifs_write.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/mapping.h"

namespace rs::ubifs {

namespace {

constexpr uint32_t kMagic = 0x06101831;
constexpr uint32_t kChSize = 24, kInoSize = 160, kDataSize = 48, kDentSize = 56, kTrunSize = 56, kPadSize = 28,
                   kMstSize = 512, kRefSize = 64, kIdxSize = 28, kCsSize = 32, kSbSize = 4096;
constexpr uint32_t kBlock = 4096, kMaxDepth = 64, kKeyLen = 8, kBranch = 12 + kKeyLen;
enum : uint8_t { kIno, kData, kDent, kXent, kTrun, kPad, kSb, kMst, kRef, kIdx, kCs, kOrph, kAuth, kSig };
enum : uint32_t { kInoKey, kDataKey, kDentKey, kXentKey };
constexpr uint32_t kXattrFl = 0x20;
constexpr uint32_t kFlgEncryption = 0x10;
constexpr uint64_t kRootIno = 1;

uint32_t node_crc(const uint8_t* p, uint32_t len) { return crc32_of(p + 8, len - 8) ^ 0xffffffffu; }

// A key as one ordered number: inode number, then type and hash or block.
uint64_t key_of(const uint8_t* k) { return uint64_t(load_le32(k)) << 32 | load_le32(k + 4); }
uint64_t make_key(uint64_t inum, uint32_t type, uint32_t val) {
  return (inum & 0xffffffffu) << 32 | uint32_t(type) << 29 | (val & 0x1fffffffu);
}
uint32_t key_type(uint64_t k) { return uint32_t(k) >> 29; }
uint64_t key_inum(uint64_t k) { return k >> 32; }
uint32_t key_val(uint64_t k) { return uint32_t(k) & 0x1fffffffu; }

struct loc {
  uint32_t lnum = 0, offs = 0, len = 0;
};

struct named {
  std::string name;
  loc at;
  uint64_t inum = 0;
  uint8_t type = 0;
};

struct inode {
  uint32_t mode = 0, uid = 0, gid = 0, nlink = 0, flags = 0;
  uint64_t size = 0;
  int64_t mtime = 0;
  std::vector<uint8_t> data;  // links, devices and xattr values only
};

struct child {
  std::string name;
  uint64_t inum;
};

// One journal node to apply, in sequence order.
struct replay_node {
  uint64_t sqnum;
  uint8_t type;
  loc at;
  uint64_t key = 0;
  bool deletion = false;
  std::string name;
  uint64_t inum = 0;
  uint8_t dtype = 0;
  uint64_t old_size = 0, new_size = 0;
};

class reader final : public fs {
 public:
  reader(source s, size_t budget) : src_(std::move(s)), budget_(budget) {}
  bool load(std::string* why);

  const facts& info() const override { return facts_; }
  int stat(const std::string& path, attr* out) override;
  int walk(const std::string& path, std::vector<entry>* out) override;
  long long pread(const std::string& path, void* buf, size_t size, uint64_t offset) override;
  int get_xattrs(const std::string& path, xattrs* out) override;
  int data_nodes(const std::string& path, std::vector<raw_block>* out) override;
  bool to_tree(tree* out, std::string* why, bool data) override;

 private:
  bool blocks_of(uint64_t inum, std::vector<raw_block>* out);
  // The node at `at` of type `type`, checked, or null with the reason in err_.
  // `crc`: false checks all but the CRC. With `copy`, the node is checked and
  // returned in that buffer, read from the image file where it can be without
  // mapping it: metadata nodes lie all over the volume, and each read through
  // the mapping would map a whole folio around a node of a few hundred bytes.
  const uint8_t* node(const loc& at, uint8_t type, uint32_t min_len, bool crc = true,
                      std::vector<uint8_t>* copy = nullptr);
  bool charge(size_t bytes);
  bool walk_index(std::string* why);
  bool add_leaf(uint64_t key, const loc& at);
  bool read_dent(const uint8_t* n, uint32_t len, named* out);
  bool replay(std::string* why);
  bool scan_leb(uint32_t lnum, uint32_t offs, std::vector<std::pair<loc, const uint8_t*>>* out, bool strict);
  bool build(std::string* why);
  void remove_inode_keys(uint64_t inum);
  int lookup(const std::string& path, uint64_t* inum);
  void fill(uint64_t inum, attr* out);
  int decode(const uint8_t* n, uint32_t len, uint64_t key);

  source src_;
  size_t budget_, used_ = 0;
  loc root_;
  uint32_t log_lnum_ = 0;
  std::string err_;
  facts facts_;
  std::map<uint64_t, loc> plain_;          // inode and data keys
  std::multimap<uint64_t, named> hashed_;  // directory and xattr entries
  std::unordered_map<uint64_t, inode> inodes_;
  std::unordered_map<uint64_t, std::vector<child>> dirs_;
  // One decoded data node.
  loc cached_{~0u, ~0u, 0};
  std::vector<uint8_t> block_;
  // Copies of metadata nodes: one for an index node, one for what it leads to;
  // while a pass over the whole tree runs (the load, an export), their reads.
  std::vector<uint8_t> idx_copy_, leaf_copy_;
  std::unique_ptr<rs::UnmappedReads> reads_;
  struct pass {
    explicit pass(reader& owner) : r(owner) { r.reads_ = std::make_unique<rs::UnmappedReads>(); }
    ~pass() { r.reads_.reset(); }
    reader& r;
  };
};

bool reader::charge(size_t bytes) {
  used_ += bytes;
  if (used_ <= budget_) return true;
  err_ = "the metadata needs more memory than the image size allows";
  return false;
}

const uint8_t* reader::node(const loc& at, uint8_t type, uint32_t min_len, bool crc, std::vector<uint8_t>* copy) {
  char b[160];
  if (at.lnum >= src_.leb_count || at.offs % 8 || at.len < std::max(kChSize, min_len) ||
      uint64_t(at.offs) + at.len > src_.leb_size) {
    std::snprintf(b, sizeof b, "bad node position LEB %u:%u length %u", at.lnum, at.offs, at.len);
    err_ = b;
    return nullptr;
  }
  uint32_t avail = 0;
  const uint8_t* l = src_.leb(at.lnum, &avail);
  if (!l || uint64_t(at.offs) + at.len > avail) {
    std::snprintf(b, sizeof b, "LEB %u:%u holds no node", at.lnum, at.offs);
    err_ = b;
    return nullptr;
  }
  const uint8_t* p = l + at.offs;
  if (copy) {
    copy->resize(at.len);
    if (reads_)
      reads_->copy(p, copy->data(), at.len);
    else
      rs::copy_unmapped(p, copy->data(), at.len);
    p = copy->data();
  }
  const char* bad = load_le32(p) != kMagic                           ? "no node magic"
                    : load_le32(p + 16) != at.len                    ? "length differs from its reference"
                    : p[20] != type                                  ? "unexpected node type"
                    : crc && node_crc(p, at.len) != load_le32(p + 4) ? "CRC mismatch"
                                                                     : nullptr;
  if (bad) {
    std::snprintf(b, sizeof b, "node at LEB %u:%u: %s", at.lnum, at.offs, bad);
    err_ = b;
    return nullptr;
  }
  return p;
}

bool reader::read_dent(const uint8_t* n, uint32_t len, named* out) {
  uint32_t nlen = load_le16(n + 50);
  if (nlen == 0 || nlen > 255 || kDentSize + nlen + 1 > len || n[kDentSize + nlen] != 0) {
    err_ = "directory entry with a bad name length";
    return false;
  }
  out->inum = load_le64(n + 40);
  out->type = n[49];
  out->name.assign(reinterpret_cast<const char*>(n + kDentSize), nlen);
  if (out->name.find('\0') != std::string::npos || out->name.find('/') != std::string::npos ||
      (out->inum && out->type > 6)) {
    err_ = "directory entry with a bad name or type";
    return false;
  }
  // Names of an encrypted directory hash otherwise; those are refused at open.
  if (key_val(key_of(n + 24)) != name_hash(facts_.key_hash, out->name)) {
    err_ = "directory entry whose key is not its name's hash";
    return false;
  }
  return true;
}

bool reader::add_leaf(uint64_t key, const loc& at) {
  static const uint8_t want[] = {kIno, kData, kDent, kXent};
  static const uint32_t min_len[] = {kInoSize, kDataSize, kDentSize, kDentSize};
  uint32_t t = key_type(key);
  if (t > kXentKey) {
    err_ = "index key of an unknown type";
    return false;
  }
  // Data nodes are not read at open: their place is checked here, their
  // type, key, size and CRC when the file is read (a read at open would
  // bring in the whole volume). Only the metadata nodes are read now.
  if (t == kDataKey) {
    if (at.lnum >= src_.leb_count || at.offs % 8 || at.len < kDataSize || uint64_t(at.offs) + at.len > src_.leb_size) {
      char b[96];
      std::snprintf(b, sizeof b, "bad node position LEB %u:%u length %u", at.lnum, at.offs, at.len);
      err_ = b;
      return false;
    }
    if (!charge(64)) return false;
    plain_[key] = at;
    return true;
  }
  const uint8_t* n = node(at, want[t], min_len[t], true, &leaf_copy_);
  if (!n) return false;
  if (key_of(n + 24) != key) {
    err_ = "index key differs from the node's key";
    return false;
  }
  if (t == kInoKey) {
    if (!charge(64)) return false;
    plain_[key] = at;
    return true;
  }
  named e;
  if (!read_dent(n, at.len, &e) || !charge(96 + e.name.size())) return false;
  e.at = at;
  hashed_.emplace(key, std::move(e));
  return true;
}

bool reader::walk_index(std::string* why) {
  struct item {
    loc at;
    uint32_t depth;
    int level;  // the level the parent says it has, -1 for the root
  };
  std::vector<item> todo;
  std::unordered_set<uint64_t> seen;
  todo.push_back({root_, 0, -1});
  while (!todo.empty()) {
    item it = todo.back();
    todo.pop_back();
    if (it.depth > kMaxDepth) return *why = "the index is deeper than 64 levels", false;
    if (!seen.insert(uint64_t(it.at.lnum) << 32 | it.at.offs).second)
      return *why = "the index refers to one of its nodes twice", false;
    if (!charge(48)) return *why = err_, false;
    const uint8_t* n = node(it.at, kIdx, kIdxSize, true, &idx_copy_);
    if (!n) return *why = "index: " + err_, false;
    uint32_t cnt = load_le16(n + 24), level = load_le16(n + 26);
    if (cnt == 0 || kIdxSize + uint64_t(cnt) * kBranch != it.at.len || (it.level >= 0 && int(level) != it.level) ||
        level > kMaxDepth)
      return *why = "index node with a bad branch count or level", false;
    uint64_t prev = 0;
    // Children are pushed in reverse so that the leaves come in key order.
    for (uint32_t i = cnt; i-- > 0;) {
      const uint8_t* br = n + kIdxSize + i * kBranch;
      loc c{load_le32(br), load_le32(br + 4), load_le32(br + 8)};
      uint64_t key = key_of(br + 12);
      if (i + 1 < cnt && key > prev) return *why = "index keys out of order", false;
      prev = key;
      if (level == 0) continue;
      todo.push_back({c, it.depth + 1, int(level) - 1});
    }
    if (level == 0)
      for (uint32_t i = 0; i < cnt; ++i) {
        const uint8_t* br = n + kIdxSize + i * kBranch;
        if (!add_leaf(key_of(br + 12), loc{load_le32(br), load_le32(br + 4), load_le32(br + 8)}))
          return *why = "index: " + err_, false;
      }
  }
  return true;
}

// Nodes of one LEB from `offs` on, padding skipped; stops at erased space or,
// unless strict, at the first damaged node (a write cut short).
bool reader::scan_leb(uint32_t lnum, uint32_t offs, std::vector<std::pair<loc, const uint8_t*>>* out, bool strict) {
  uint32_t avail = 0;
  const uint8_t* l = lnum < src_.leb_count ? src_.leb(lnum, &avail) : nullptr;
  if (!l) return true;
  avail = std::min(avail, src_.leb_size);
  while (offs % 8 == 0 && uint64_t(offs) + kChSize <= avail) {
    const uint8_t* p = l + offs;
    if (p[0] == 0xce) {  // padding bytes up to the next node
      while (offs < avail && l[offs] == 0xce) ++offs;
      continue;
    }
    if (load_le32(p) != kMagic) break;
    uint32_t len = load_le32(p + 16);
    if (len < kChSize || uint64_t(offs) + len > avail || node_crc(p, len) != load_le32(p + 4)) {
      if (strict) {
        char b[96];
        std::snprintf(b, sizeof b, "damaged node at LEB %u:%u", lnum, offs);
        err_ = b;
        return false;
      }
      break;
    }
    if (p[20] == kPad) {
      if (len < kPadSize) break;
      uint64_t next = uint64_t(offs) + len + load_le32(p + 24);
      if (next > avail) break;
      offs = uint32_t(next);
      continue;
    }
    if (!charge(32)) return false;
    out->push_back({loc{lnum, offs, len}, p});
    offs = (offs + len + 7) & ~7u;
  }
  return true;
}

bool reader::replay(std::string* why) {
  uint32_t first_log = 3, end_log = 3 + facts_.log_lebs;
  uint32_t main_first = end_log + facts_.lpt_lebs + facts_.orph_lebs;
  if (log_lnum_ < first_log || log_lnum_ >= end_log) return *why = "the master's log LEB is outside the log", false;
  uint64_t cs_sqnum = 0;
  struct bud {
    uint32_t lnum, offs;
  };
  std::vector<bud> buds;
  std::set<uint32_t> bud_lebs;
  uint32_t lnum = log_lnum_;
  for (uint32_t n = 0; n < facts_.log_lebs; ++n, lnum = lnum + 1 == end_log ? first_log : lnum + 1) {
    std::vector<std::pair<loc, const uint8_t*>> nodes;
    if (!scan_leb(lnum, 0, &nodes, n == 0)) return *why = "log: " + err_, false;
    if (nodes.empty()) break;
    const uint8_t* first = nodes[0].second;
    if (n == 0) {
      if (first[20] != kCs || nodes[0].first.len < kCsSize || load_le64(first + 24) != facts_.cmt_no)
        return *why = "the log does not start with this commit", false;
      cs_sqnum = load_le64(first + 8);
    }
    if (load_le64(first + 8) < cs_sqnum) break;  // an older commit's log
    for (auto& [at, p] : nodes) {
      uint64_t sq = load_le64(p + 8);
      if (sq < cs_sqnum) return *why = "log node older than its commit", false;
      facts_.max_sqnum = std::max(facts_.max_sqnum, sq);
      if (p[20] == kCs) {
        if (at.offs != 0) return *why = "commit start node inside the log", false;
        continue;
      }
      if (p[20] != kRef || at.len < kRefSize) return *why = "unexpected node in the log", false;
      bud b{load_le32(p + 24), load_le32(p + 28)};
      if (b.lnum < main_first || b.lnum >= src_.leb_count || b.offs >= src_.leb_size || b.offs % 8)
        return *why = "log reference to a LEB outside the main area", false;
      if (!bud_lebs.insert(b.lnum).second) continue;  // a bud once
      buds.push_back(b);
    }
  }
  facts_.buds = uint32_t(buds.size());

  std::vector<replay_node> list;
  for (const bud& b : buds) {
    std::vector<std::pair<loc, const uint8_t*>> nodes;
    if (!scan_leb(b.lnum, b.offs, &nodes, false)) return *why = "journal: " + err_, false;
    for (auto& [at, p] : nodes) {
      replay_node r;
      r.sqnum = load_le64(p + 8);
      r.type = p[20];
      r.at = at;
      if (r.sqnum < cs_sqnum) continue;  // left from before the commit
      if (!charge(96)) return *why = err_, false;
      static const uint32_t min_len[] = {kInoSize, kDataSize, kDentSize, kDentSize, kTrunSize};
      if (r.type > kTrun) {
        if (r.type == kAuth || r.type == kCs || r.type == kIdx || r.type == kOrph) continue;
        return *why = "unexpected node in a journal bud", false;
      }
      if (at.len < min_len[r.type]) return *why = "journal node too short for its type", false;
      if (r.type == kTrun) {
        r.key = make_key(load_le32(p + 24), kDataKey, 0);
        r.old_size = load_le64(p + 40);
        r.new_size = load_le64(p + 48);
        if (r.new_size > r.old_size) return *why = "truncation node that grows its file", false;
      } else {
        r.key = key_of(p + 24);
        static const uint32_t want[] = {kInoKey, kDataKey, kDentKey, kXentKey};
        if (key_type(r.key) != want[r.type]) return *why = "journal node whose key has another type", false;
      }
      if (r.type == kIno) r.deletion = load_le32(p + 92) == 0;
      if (r.type == kDent || r.type == kXent) {
        named e;
        uint32_t nlen = load_le16(p + 50);
        if (nlen == 0 || nlen > 255 || kDentSize + nlen + 1 > at.len)
          return *why = "journal entry with a bad name", false;
        if (load_le64(p + 40) == 0) {  // a deletion: the name only
          r.deletion = true;
          r.name.assign(reinterpret_cast<const char*>(p + kDentSize), nlen);
        } else {
          if (!read_dent(p, at.len, &e)) return *why = "journal: " + err_, false;
          r.name = e.name;
          r.inum = e.inum;
          r.dtype = e.type;
        }
      }
      list.push_back(std::move(r));
    }
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const replay_node& a, const replay_node& b) { return a.sqnum < b.sqnum; });
  // An inode deleted and linked again later in the journal keeps its keys.
  std::unordered_map<uint64_t, size_t> last_live;
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i].type == kIno && !list[i].deletion) last_live[list[i].key] = i;
  for (size_t i = 0; i < list.size(); ++i) {
    replay_node& r = list[i];
    facts_.max_sqnum = std::max(facts_.max_sqnum, r.sqnum);
    ++facts_.replayed;
    switch (r.type) {
      case kIno:
        if (r.deletion) {
          auto it = last_live.find(r.key);
          if (it == last_live.end() || it->second < i) remove_inode_keys(key_inum(r.key));
        } else {
          plain_[r.key] = r.at;
        }
        break;
      case kData:
        plain_[r.key] = r.at;
        break;
      case kDent:
      case kXent: {
        auto range = hashed_.equal_range(r.key);
        for (auto it = range.first; it != range.second; ++it)
          if (it->second.name == r.name) {
            hashed_.erase(it);
            break;
          }
        if (!r.deletion) hashed_.emplace(r.key, named{r.name, r.at, r.inum, r.dtype});
        break;
      }
      case kTrun: {
        uint64_t min_blk = r.new_size / kBlock + (r.new_size % kBlock ? 1 : 0);
        uint64_t inum = key_inum(r.key);
        auto from = plain_.lower_bound(make_key(inum, kDataKey, uint32_t(std::min<uint64_t>(min_blk, 0x1fffffff))));
        auto to = plain_.lower_bound(make_key(inum, kDataKey + 1, 0));
        if (min_blk <= 0x1fffffff) plain_.erase(from, to);
        break;
      }
    }
  }
  return true;
}

void reader::remove_inode_keys(uint64_t inum) {
  plain_.erase(plain_.lower_bound(inum << 32), plain_.lower_bound((inum + 1) << 32));
  hashed_.erase(hashed_.lower_bound(inum << 32), hashed_.lower_bound((inum + 1) << 32));
}

bool reader::build(std::string* why) {
  for (auto& [key, at] : plain_) {
    if (key_type(key) != kInoKey) continue;
    const uint8_t* n = node(at, kIno, kInoSize, true, &leaf_copy_);
    if (!n) return *why = "inode: " + err_, false;
    inode ino;
    ino.size = load_le64(n + 48);
    ino.mtime = int64_t(load_le64(n + 72));
    ino.nlink = load_le32(n + 92);
    ino.uid = load_le32(n + 96);
    ino.gid = load_le32(n + 100);
    ino.mode = load_le32(n + 104);
    ino.flags = load_le32(n + 108);
    uint32_t data_len = load_le32(n + 112);
    if (data_len > kBlock || kInoSize + data_len != at.len) return *why = "inode with a bad data length", false;
    uint32_t t = ino.mode & 0170000;
    if (t == 0120000 || t == 0020000 || t == 0060000 || (ino.flags & kXattrFl)) {
      if (!charge(data_len)) return *why = err_, false;
      ino.data.assign(n + kInoSize, n + kInoSize + data_len);
    }
    if (!charge(128)) return *why = err_, false;
    inodes_.emplace(key_inum(key), std::move(ino));
  }
  auto root = inodes_.find(kRootIno);
  if (root == inodes_.end() || (root->second.mode & 0170000) != 040000) return *why = "no root directory", false;
  for (auto& [key, e] : hashed_) {
    if (key_type(key) != kDentKey) continue;
    if (!inodes_.count(e.inum)) continue;  // an entry whose inode is gone reads as absent
    if (!charge(48 + e.name.size())) return *why = err_, false;
    dirs_[key_inum(key)].push_back(child{e.name, e.inum});
  }
  for (auto& [dir, kids] : dirs_) {
    std::sort(kids.begin(), kids.end(), [](const child& a, const child& b) { return a.name < b.name; });
    kids.erase(std::unique(kids.begin(), kids.end(), [](const child& a, const child& b) { return a.name == b.name; }),
               kids.end());
  }
  return true;
}

bool reader::load(std::string* why) {
  if (src_.leb_size < 15 * 1024 || src_.leb_count < 4) return *why = "too small for UBIFS", false;
  const uint8_t* sb = node(loc{0, 0, kSbSize}, kSb, kSbSize);
  if (!sb) return *why = "superblock: " + err_, false;
  facts& f = facts_;
  f.key_hash = sb[26];
  f.flags = load_le32(sb + 28);
  f.min_io = load_le32(sb + 32);
  f.leb_size = load_le32(sb + 36);
  f.leb_cnt = load_le32(sb + 40);
  f.max_leb_cnt = load_le32(sb + 44);
  f.log_lebs = load_le32(sb + 56);
  f.lpt_lebs = load_le32(sb + 60);
  f.orph_lebs = load_le32(sb + 64);
  f.fanout = load_le32(sb + 72);
  f.fmt_version = load_le32(sb + 80);
  f.default_compr = load_le16(sb + 84);
  char b[160];
  if (f.leb_size != src_.leb_size) {
    std::snprintf(b, sizeof b, "LEB size %u of the superblock differs from the volume's %u", f.leb_size, src_.leb_size);
    return *why = b, false;
  }
  if (f.key_hash > 1 || sb[27] != 0) return *why = "unknown key hash or key format", false;
  if (f.flags & kFlgEncryption) return *why = "encrypted file systems are not supported", false;
  if (f.fmt_version < 4 || f.fmt_version > 5)
    return *why = "format version " + std::to_string(f.fmt_version) + " is not supported", false;
  if (f.min_io == 0 || f.min_io > f.leb_size || f.log_lebs < 2 || f.lpt_lebs < 1 ||
      uint64_t(3) + f.log_lebs + f.lpt_lebs + f.orph_lebs >= f.leb_cnt || f.leb_cnt > f.max_leb_cnt)
    return *why = "superblock with an impossible geometry", false;
  // The kernel grows leb_cnt up to the volume's size at mount, and the journal may use those LEBs.
  src_.leb_count = std::min(src_.leb_count, f.max_leb_cnt);
  // The newest master node of the two copies.
  const uint8_t* mst = nullptr;
  for (uint32_t l = 1; l <= 2; ++l) {
    std::vector<std::pair<loc, const uint8_t*>> nodes;
    if (!scan_leb(l, 0, &nodes, false)) return *why = err_, false;
    for (auto& [at, p] : nodes)
      if (p[20] == kMst && at.len == kMstSize && (!mst || load_le64(p + 8) > load_le64(mst + 8))) mst = p;
  }
  if (!mst) return *why = "no valid master node", false;
  f.highest_inum = load_le64(mst + 24);
  f.cmt_no = load_le64(mst + 32);
  f.max_sqnum = load_le64(mst + 8);
  log_lnum_ = load_le32(mst + 44);
  root_ = loc{load_le32(mst + 48), load_le32(mst + 52), load_le32(mst + 56)};
  pass whole(*this);
  return walk_index(why) && replay(why) && build(why);
}

int reader::lookup(const std::string& path, uint64_t* inum) {
  uint64_t cur = kRootIno;
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '/') {
      ++i;
      continue;
    }
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string name = path.substr(i, j - i);
    i = j;
    if ((inodes_[cur].mode & 0170000) != 040000) return -ENOTDIR;
    auto d = dirs_.find(cur);
    if (d == dirs_.end()) return -ENOENT;
    auto it = std::lower_bound(d->second.begin(), d->second.end(), name,
                               [](const child& c, const std::string& n) { return c.name < n; });
    if (it == d->second.end() || it->name != name) return -ENOENT;
    cur = it->inum;
  }
  *inum = cur;
  return 0;
}

void reader::fill(uint64_t inum, attr* out) {
  const inode& ino = inodes_[inum];
  *out = attr{};
  out->mode = ino.mode;
  out->uid = ino.uid;
  out->gid = ino.gid;
  out->nlink = ino.nlink;
  out->size = ino.size;
  out->mtime = ino.mtime;
  out->ino = inum;
  uint32_t t = ino.mode & 0170000;
  if (t == 0120000) {
    out->target.assign(ino.data.begin(), ino.data.end());
    out->size = out->target.size();
  }
  if ((t == 0020000 || t == 0060000) && ino.data.size() >= 4) out->rdev = load_le32(ino.data.data());
}

int reader::stat(const std::string& path, attr* out) {
  uint64_t inum;
  int rc = lookup(path, &inum);
  if (rc == 0) fill(inum, out);
  return rc;
}

int reader::walk(const std::string& path, std::vector<entry>* out) {
  uint64_t inum;
  int rc = lookup(path, &inum);
  if (rc) return rc;
  if ((inodes_[inum].mode & 0170000) != 040000) return -ENOTDIR;
  std::string base = path.empty() ? "/" : path;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  struct item {
    std::string path;
    uint64_t inum;
  };
  std::vector<item> todo{{base, inum}};
  std::unordered_set<uint64_t> dirs_seen;  // a directory once: a crafted image may link one below itself
  while (!todo.empty()) {
    item it = std::move(todo.back());
    todo.pop_back();
    entry e;
    e.path = it.path;
    fill(it.inum, &e.a);
    bool dir = (e.a.mode & 0170000) == 040000;
    out->push_back(std::move(e));
    if (!dir || !dirs_seen.insert(it.inum).second) continue;
    auto d = dirs_.find(it.inum);
    if (d == dirs_.end()) continue;
    std::string prefix = it.path == "/" ? "/" : it.path + "/";
    for (auto k = d->second.rbegin(); k != d->second.rend(); ++k) todo.push_back({prefix + k->name, k->inum});
  }
  return 0;
}

// Decodes the data node `n` into block_; the decoded length, or -EIO.
int reader::decode(const uint8_t* n, uint32_t len, uint64_t key) {
  if (key_of(n + 24) != key) {
    err_ = "data node whose key differs from its index key";
    return -EIO;
  }
  uint32_t size = load_le32(n + 40);
  uint16_t compr = load_le16(n + 44);
  const uint8_t* in = n + kDataSize;
  size_t in_len = len - kDataSize;
  if (size > kBlock) {
    err_ = "data node larger than a block";
    return -EIO;
  }
  block_.assign(kBlock, 0);
  size_t out_len = size;
  bool ok = false;
  switch (compr) {
    case 0:
      ok = in_len == size;
      if (ok) std::memcpy(block_.data(), in, size);
      break;
    case 1: {
      lzo_uint n_out = kBlock;
      ok = lzo1x_decompress_safe(in, in_len, block_.data(), &n_out, nullptr) == LZO_E_OK && n_out == size;
      break;
    }
    case 2: {
      z_stream z{};
      if (inflateInit2(&z, -15) != Z_OK) break;
      z.next_in = const_cast<uint8_t*>(in);
      z.avail_in = uInt(in_len);
      z.next_out = block_.data();
      z.avail_out = kBlock;
      int rc = inflate(&z, Z_FINISH);
      ok = (rc == Z_STREAM_END || rc == Z_OK || rc == Z_BUF_ERROR) && z.total_out == size;
      inflateEnd(&z);
      break;
    }
    case 3: {
      size_t r = ZSTD_decompress(block_.data(), kBlock, in, in_len);
      ok = !ZSTD_isError(r) && r == size;
      break;
    }
    default:
      err_ = "data compressed with unknown method " + std::to_string(compr);
      return -EIO;
  }
  if (!ok) {
    static const char* names[] = {"plain", "lzo", "zlib", "zstd"};
    err_ = std::string(names[compr]) + " data node cannot be decoded";
    return -EIO;
  }
  return int(out_len);
}

long long reader::pread(const std::string& path, void* buf, size_t size, uint64_t offset) {
  uint64_t inum;
  int rc = lookup(path, &inum);
  if (rc) return rc;
  const inode& ino = inodes_[inum];
  uint32_t t = ino.mode & 0170000;
  if (t == 040000) return -EISDIR;
  if (t != 0100000) return -EINVAL;
  if (offset >= ino.size) return 0;
  size = size_t(std::min<uint64_t>(size, ino.size - offset));
  auto* out = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < size) {
    uint64_t pos = offset + done;
    uint64_t blk = pos / kBlock;
    size_t in_blk = size_t(pos % kBlock), n = std::min<size_t>(size - done, kBlock - in_blk);
    auto it = blk <= 0x1fffffff ? plain_.find(make_key(inum, kDataKey, uint32_t(blk))) : plain_.end();
    if (it == plain_.end()) {
      std::memset(out + done, 0, n);  // a hole
    } else {
      const loc& at = it->second;
      if (at.lnum != cached_.lnum || at.offs != cached_.offs) {
        const uint8_t* dn = node(at, kData, kDataSize);
        int got = dn ? decode(dn, at.len, it->first) : -EIO;
        if (got < 0) {
          cached_ = loc{~0u, ~0u, 0};
          std::fprintf(stderr, "ubifs: %s: %s\n", path.c_str(), err_.c_str());
          return -EIO;
        }
        cached_ = at;
        cached_.len = uint32_t(got);
      }
      size_t have = cached_.len > in_blk ? std::min<size_t>(n, cached_.len - in_blk) : 0;
      std::memcpy(out + done, block_.data() + in_blk, have);
      std::memset(out + done + have, 0, n - have);
    }
    done += n;
  }
  return (long long)done;
}

int reader::get_xattrs(const std::string& path, xattrs* out) {
  uint64_t inum;
  int rc = lookup(path, &inum);
  if (rc) return rc;
  out->clear();
  for (auto it = hashed_.lower_bound(make_key(inum, kXentKey, 0));
       it != hashed_.end() && key_inum(it->first) == inum && key_type(it->first) == kXentKey; ++it) {
    auto x = inodes_.find(it->second.inum);
    if (x == inodes_.end()) continue;
    out->push_back({it->second.name, x->second.data});
  }
  return 0;
}

bool reader::blocks_of(uint64_t inum, std::vector<raw_block>* out) {
  out->clear();
  for (auto it = plain_.lower_bound(make_key(inum, kDataKey, 0));
       it != plain_.end() && key_inum(it->first) == inum && key_type(it->first) == kDataKey; ++it) {
    const uint8_t* n = node(it->second, kData, kDataSize);
    if (!n) return false;
    if (key_of(n + 24) != it->first || load_le32(n + 40) > kBlock) {
      err_ = "data node whose key or size is wrong";
      return false;
    }
    out->push_back(raw_block{key_val(it->first), n, it->second.len});
  }
  return true;
}

int reader::data_nodes(const std::string& path, std::vector<raw_block>* out) {
  uint64_t inum;
  int rc = lookup(path, &inum);
  if (rc) return rc;
  if ((inodes_[inum].mode & 0170000) != 0100000) return -EINVAL;
  if (!blocks_of(inum, out)) {
    std::fprintf(stderr, "ubifs: %s: %s\n", path.c_str(), err_.c_str());
    return -EIO;
  }
  return 0;
}

bool reader::to_tree(tree* out, std::string* why, bool data) {
  pass whole(*this);
  out->inodes.clear();
  out->highest_inum = facts_.highest_inum;
  out->max_sqnum = facts_.max_sqnum;
  out->cmt_no = facts_.cmt_no;
  for (auto& [inum, ino] : inodes_) {
    if (ino.flags & kXattrFl) continue;  // reached through its host's entries
    auto at = plain_.find(make_key(inum, kInoKey, 0));
    const uint8_t* n = at == plain_.end() ? nullptr : node(at->second, kIno, kInoSize, true, &leaf_copy_);
    if (!n) return *why = "inode: " + err_, false;
    tnode t;
    t.creat_sqnum = load_le64(n + 40);
    t.size = load_le64(n + 48);
    t.atime = load_le64(n + 56), t.ctime = load_le64(n + 64), t.mtime = load_le64(n + 72);
    t.atime_ns = load_le32(n + 80), t.ctime_ns = load_le32(n + 84), t.mtime_ns = load_le32(n + 88);
    t.uid = ino.uid, t.gid = ino.gid, t.mode = ino.mode, t.flags = ino.flags;
    t.compr_type = load_le16(n + 132);
    t.inline_data = ino.data;
    out->highest_inum = std::max(out->highest_inum, inum);
    if (data && (ino.mode & 0170000) == 0100000 && !blocks_of(inum, &t.kept)) return *why = "data: " + err_, false;
    auto d = dirs_.find(inum);
    if (d != dirs_.end())
      for (const child& c : d->second) t.kids.emplace(c.name, c.inum);
    for (auto it = hashed_.lower_bound(make_key(inum, kXentKey, 0));
         it != hashed_.end() && key_inum(it->first) == inum && key_type(it->first) == kXentKey; ++it) {
      auto x = inodes_.find(it->second.inum);
      if (x == inodes_.end()) continue;
      t.xattrs.push_back(xattr_rec{it->second.name, x->second.data, it->second.inum});
      out->highest_inum = std::max(out->highest_inum, it->second.inum);
    }
    out->inodes.emplace(inum, std::move(t));
  }
  return true;
}

}  // namespace

bool export_tree(fs& f, tree* out, std::string* why, bool data) { return f.to_tree(out, why, data); }

bool is_ubifs(const uint8_t* p, size_t n) {
  return n >= kSbSize && load_le32(p) == kMagic && p[20] == kSb && load_le32(p + 16) == kSbSize;
}

uint32_t name_hash(int key_hash, const std::string& name) {
  uint32_t a = 0;
  if (key_hash == 1) {
    uint8_t b[4] = {0, 0, 0, 0};
    std::memcpy(b, name.data(), std::min<size_t>(4, name.size()));
    a = load_le32(b);
  } else {
    for (char ch : name) {
      int c = static_cast<signed char>(ch);
      a += uint32_t(c * 16);
      a += uint32_t(c >> 4);
      a *= 11;
    }
  }
  a &= 0x1fffffff;
  return a <= 2 ? a + 3 : a;
}

std::unique_ptr<fs> fs::open(source src, size_t budget, std::string* why) {
  auto r = std::make_unique<reader>(std::move(src), budget);
  std::string reason;
  if (!r->load(&reason)) {
    if (why) *why = reason;
    return nullptr;
  }
  return r;
}

}  // namespace rs::ubifs
