// The UBIFS writer: a tree laid out as a file system just committed, as
// mkfs.ubifs lays one out. LEB 0 the superblock, 1 and 2 the master, the log
// with one commit start node, the LPT, empty orphan LEBs, then the main area:
// the leaves (inode, entry, xattr and data nodes) in key order, the GC LEB,
// and the index, bottom level first. Free and dirty space per LEB and the
// totals of the master are counted as the kernel checks them at mount.
#include <lzo/lzo1x.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "ubifs/ubifs_write.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/mapping.h"

namespace rs::ubifs {

namespace {

// Pads a LEB from `end` to the next min. I/O unit (defined below).
uint32_t pad_to(uint8_t* l, uint32_t end, uint32_t min_io, uint32_t leb_size);

constexpr uint32_t kMagic = 0x06101831;
constexpr uint32_t kInoSize = 160, kDataSize = 48, kDentSize = 56, kPadSize = 28, kMstSize = 512, kIdxSize = 28,
                   kCsSize = 32, kSbSize = 4096, kBranch = 20;
constexpr uint32_t kBlock = 4096, kMaxInoData = 4096, kMinComprLen = 128, kMinComprDiff = 64;
constexpr uint32_t kMaxNodeSize = kInoSize + kMaxInoData;
constexpr uint32_t kFirstIno = 64;
enum : uint8_t { kIno, kData, kDent, kXent, kTrun, kPad, kSb, kMst, kRef, kIdx, kCs };
enum : uint32_t { kInoKey, kDataKey, kDentKey, kXentKey };
constexpr uint32_t kXattrFl = 0x20;
constexpr uint32_t kFlgBigLpt = 0x02;
constexpr uint32_t kMstNoOrphs = 2;
constexpr int kLptFanout = 4;

uint32_t align_up(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }
int fls(uint32_t v) { return v ? 32 - __builtin_clz(v) : 0; }

// The common header of a node in `n` (its full length), with its CRC.
void seal(std::vector<uint8_t>& n, uint8_t type, uint64_t sqnum) {
  store_le32(n.data(), kMagic);
  store_le64(n.data() + 8, sqnum);
  store_le32(n.data() + 16, uint32_t(n.size()));
  n[20] = type;
  n[21] = 0;
  n[22] = n[23] = 0;
  store_le32(n.data() + 4, crc32_of(n.data() + 8, n.size() - 8) ^ 0xffffffffu);
}

void put_key(uint8_t* p, uint64_t inum, uint32_t type, uint32_t val) {
  store_le32(p, uint32_t(inum));
  store_le32(p + 4, type << 29 | (val & 0x1fffffffu));
}

uint32_t dent_size(size_t nlen) { return align_up(uint32_t(kDentSize + nlen + 1), 8); }
uint32_t xattr_bytes(size_t vlen) { return align_up(uint32_t(kInoSize + vlen + 1), 8); }

uint8_t itype(uint32_t mode) {
  switch (mode & 0170000) {
    case 0040000:
      return 1;
    case 0120000:
      return 2;
    case 0060000:
      return 3;
    case 0020000:
      return 4;
    case 0010000:
      return 5;
    case 0140000:
      return 6;
    default:
      return 0;
  }
}

// One block compressed with `compr`, or stored plain when that is not
// smaller by the kernel's margin; the method used.
uint16_t compress_block(uint16_t compr, const uint8_t* in, size_t n, std::vector<uint8_t>* out) {
  out->clear();
  if (compr != 0 && n >= kMinComprLen) {
    std::vector<uint8_t> buf(n + n / 16 + 128);
    size_t got = 0;
    bool ok = false;
    if (compr == 1) {
      // The slow, tight LZO1X form mkfs.ubifs uses too: images are built once and flash is small.
      static thread_local std::vector<uint8_t> wrk(LZO1X_999_MEM_COMPRESS);
      lzo_uint len = buf.size();
      ok = lzo1x_999_compress(in, n, buf.data(), &len, wrk.data()) == LZO_E_OK;
      got = len;
    } else if (compr == 2) {
      // The kernel inflates with an 11-bit window: the deflate must use no more.
      z_stream z{};
      if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -11, 8, Z_DEFAULT_STRATEGY) == Z_OK) {
        z.next_in = const_cast<uint8_t*>(in);
        z.avail_in = uInt(n);
        z.next_out = buf.data();
        z.avail_out = uInt(buf.size());
        ok = deflate(&z, Z_FINISH) == Z_STREAM_END;
        got = z.total_out;
        deflateEnd(&z);
      }
    } else if (compr == 3) {
      size_t r = ZSTD_compress(buf.data(), buf.size(), in, n, 9);
      ok = !ZSTD_isError(r);
      got = r;
    }
    if (ok && got + kMinComprDiff <= n) {
      out->assign(buf.begin(), buf.begin() + long(got));
      return compr;
    }
  }
  out->assign(in, in + n);
  return 0;
}

// What the superblock says, and the LPT's sizes derived from it as the kernel does.
struct geom {
  uint32_t min_io = 0, leb_size = 0, leb_cnt = 0, max_leb_cnt = 0, log_lebs = 0, lpt_lebs = 0, orph_lebs = 0;
  uint32_t fanout = 0, lsave_cnt = 0, flags = 0;
  uint8_t key_hash = 0;
  uint16_t compr = 0;
  uint32_t main_first() const { return 3 + log_lebs + lpt_lebs + orph_lebs; }
  bool big() const { return flags & kFlgBigLpt; }
};

struct lpt_geom {
  int hght = 1, pnode_cnt = 0, nnode_cnt = 0;
  int space_bits = 0, lpt_lnum_bits = 0, lpt_offs_bits = 0, lpt_spc_bits = 0, pcnt_bits = 0, lnum_bits = 0;
  uint32_t pnode_sz = 0, nnode_sz = 0, ltab_sz = 0, lsave_sz = 0;
  uint64_t lpt_sz = 0;
};

lpt_geom calc_lpt(uint32_t main_lebs, uint32_t max_leb_cnt, uint32_t leb_cnt, uint32_t leb_size, uint32_t min_io,
                  uint32_t lpt_lebs, uint32_t lsave_cnt, bool big) {
  lpt_geom g;
  uint32_t n = main_lebs + max_leb_cnt - leb_cnt;
  uint32_t max_pnode = (n + kLptFanout - 1) / kLptFanout;
  for (uint64_t m = kLptFanout; m < max_pnode; m <<= 2) ++g.hght;
  g.pnode_cnt = int((main_lebs + kLptFanout - 1) / kLptFanout);
  int k = (g.pnode_cnt + kLptFanout - 1) / kLptFanout;
  g.nnode_cnt = k;
  for (int i = 1; i < g.hght; ++i) {
    k = (k + kLptFanout - 1) / kLptFanout;
    g.nnode_cnt += k;
  }
  g.space_bits = fls(leb_size) - 3;
  g.lpt_lnum_bits = fls(lpt_lebs);
  g.lpt_offs_bits = fls(leb_size - 1);
  g.lpt_spc_bits = fls(leb_size);
  g.pcnt_bits = fls((max_leb_cnt + kLptFanout - 1) / kLptFanout - 1);
  g.lnum_bits = fls(max_leb_cnt - 1);
  g.pnode_sz = uint32_t(20 + (big ? g.pcnt_bits : 0) + (g.space_bits * 2 + 1) * kLptFanout + 7) / 8;
  g.nnode_sz = uint32_t(20 + (big ? g.pcnt_bits : 0) + (g.lpt_lnum_bits + g.lpt_offs_bits) * kLptFanout + 7) / 8;
  g.ltab_sz = uint32_t(20 + int(lpt_lebs) * g.lpt_spc_bits * 2 + 7) / 8;
  g.lsave_sz = uint32_t(20 + g.lnum_bits * int(lsave_cnt) + 7) / 8;
  g.lpt_sz =
      uint64_t(g.pnode_cnt) * g.pnode_sz + uint64_t(g.nnode_cnt) * g.nnode_sz + g.ltab_sz + (big ? g.lsave_sz : 0);
  uint64_t sz = g.lpt_sz;
  uint64_t per = std::max(g.pnode_sz, g.nnode_sz), tot = per;
  sz += per;
  while (sz > leb_size) {
    sz += per;
    sz -= leb_size;
    tot += per;
  }
  tot += align_up(uint32_t(sz), min_io) - sz;
  g.lpt_sz += tot;
  return g;
}

// Bits packed from the lowest of each byte up, as the LPT stores them.
struct bit_writer {
  std::vector<uint8_t>& b;
  size_t pos;  // in bits
  void put(uint32_t v, int bits) {
    for (int i = 0; i < bits; ++i, ++pos)
      if (v >> i & 1) b[pos / 8] |= uint8_t(1u << (pos % 8));
  }
};

uint16_t crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0xffff;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = crc & 1 ? uint16_t(crc >> 1 ^ 0xa001) : uint16_t(crc >> 1);
  }
  return crc;
}

// An LPT node of `sz` bytes: type and the fields `fill` packs, the CRC in front.
template <typename F>
std::vector<uint8_t> lpt_node(uint32_t sz, int type, F fill) {
  std::vector<uint8_t> b(sz, 0);
  bit_writer w{b, 16};
  w.put(uint32_t(type), 4);
  fill(w);
  uint16_t c = crc16(b.data() + 2, sz - 2);
  b[0] = uint8_t(c), b[1] = uint8_t(c >> 8);
  return b;
}

int nnode_num(int row, int col) {
  int num = 1;
  while (row--) {
    num = num << 2 | (col & 3);
    col >>= 2;
  }
  return num;
}

struct lprops {
  uint32_t free = 0, dirty = 0;
  bool index = false;
};

// The image being written, LEB by LEB.
class image_out {
 public:
  image_out(const geom& g, uint32_t max_lebs, std::vector<uint8_t>* out) : g_(g), max_(max_lebs), out_(out) {}
  bool ok() const { return ok_; }
  uint8_t* leb(uint32_t lnum) {
    if (lnum >= max_) {
      ok_ = false;
      return nullptr;
    }
    size_t need = size_t(lnum + 1) * g_.leb_size;
    // Room for every LEB the volume may take, once: growing LEB by LEB would
    // copy the image again at each step.
    if (out_->capacity() < need) out_->reserve(std::max(need, size_t(max_) * g_.leb_size));
    if (out_->size() < need) out_->resize(need, 0xff);
    return out_->data() + size_t(lnum) * g_.leb_size;
  }
  // Pads LEB `lnum` from `end` (8-aligned) to the next min. I/O unit as the
  // kernel does: a padding node where one fits, else padding bytes. The
  // padded length.
  uint32_t pad(uint32_t lnum, uint32_t end) {
    uint8_t* l = leb(lnum);
    if (!l) return std::min(align_up(end, std::max<uint32_t>(g_.min_io, 8)), g_.leb_size);
    return pad_to(l, end, g_.min_io, g_.leb_size);
  }
  // A node alone at the start of LEB `lnum`, padded.
  void single(uint32_t lnum, const std::vector<uint8_t>& n) {
    uint8_t* l = leb(lnum);
    if (!l) return;
    std::memcpy(l, n.data(), n.size());
    uint32_t end = align_up(uint32_t(n.size()), 8);
    std::memset(l + n.size(), 0, end - n.size());
    pad(lnum, end);
  }

 private:
  const geom& g_;
  uint32_t max_;
  std::vector<uint8_t>* out_;
  bool ok_ = true;
};

// Nodes appended to main-area LEBs, a new LEB when the next does not fit.
struct main_writer {
  image_out& img;
  const geom& g;
  std::vector<lprops>& props;  // by main LEB
  uint32_t lnum = 0, offs = 0;
  bool index = false;
  bool started = false;

  void begin(uint32_t at, bool idx) { lnum = at, offs = 0, index = idx, started = true; }
  void close() {
    if (!started) return;
    uint32_t a = img.pad(lnum, offs);
    lprops& p = props.at(lnum - g.main_first());
    p.free = g.leb_size - a;
    p.dirty = a - offs;
    p.index = index;
  }
  // Where the node goes; false when the LEBs run out.
  bool add(const uint8_t* n, uint32_t len, uint32_t* at_lnum, uint32_t* at_offs) {
    if (offs + len > g.leb_size) {
      close();
      ++lnum, offs = 0;
    }
    if (lnum - g.main_first() >= props.size()) return false;
    uint8_t* l = img.leb(lnum);
    if (!l) return false;
    std::memcpy(l + offs, n, len);
    uint32_t end = align_up(offs + len, 8);
    std::memset(l + offs + len, 0, end - offs - len);
    *at_lnum = lnum, *at_offs = offs;
    offs = end;
    return true;
  }
};

geom geom_of(const uint8_t* sb) {
  geom g;
  g.key_hash = sb[26];
  g.flags = load_le32(sb + 28);
  g.min_io = load_le32(sb + 32);
  g.leb_size = load_le32(sb + 36);
  g.leb_cnt = load_le32(sb + 40);
  g.max_leb_cnt = load_le32(sb + 44);
  g.log_lebs = load_le32(sb + 56);
  g.lpt_lebs = load_le32(sb + 60);
  g.orph_lebs = load_le32(sb + 64);
  g.fanout = load_le32(sb + 72);
  g.lsave_cnt = load_le32(sb + 76);
  g.compr = load_le16(sb + 84);
  return g;
}

// A leaf of the index: its key, the name that orders hash collisions, its bytes.
// An inode node (header left for the seal) as the whole writer lays it out.
std::vector<uint8_t> ino_node(uint64_t inum, const tnode& n, uint32_t nlink, uint64_t size,
                              const std::vector<uint8_t>& data, uint32_t flags, uint32_t mode);

struct leaf {
  uint64_t key;
  std::string name;
  std::vector<uint8_t> bytes;
};

struct fresh_job {
  const std::vector<uint8_t>* data;
  uint64_t inum;
  uint32_t block;
  size_t leaf_at;
};

std::string fits_msg(const geom& g, uint32_t max_lebs) {
  char b[160];
  std::snprintf(b, sizeof b, "the tree does not fit in %u LEBs of %u bytes", max_lebs, g.leb_size);
  return b;
}

}  // namespace

uint64_t lpt_size(uint32_t main_lebs, uint32_t max_leb_cnt, uint32_t leb_size, uint32_t min_io, uint32_t lpt_lebs,
                  bool big) {
  // At mkfs time the file system is as large as it may grow.
  return calc_lpt(main_lebs, max_leb_cnt, max_leb_cnt, leb_size, min_io, lpt_lebs, 256, big).lpt_sz;
}

bool write_volume(const volume_shape& shape, tree& t, std::vector<uint8_t>* out, std::string* why) {
  if (shape.sb.size() != kSbSize) return *why = "no superblock to write from", false;
  geom g = geom_of(shape.sb.data());
  uint32_t main_first = g.main_first();
  uint32_t max_lebs = std::min(shape.max_lebs, g.max_leb_cnt);
  if (g.leb_size < 15 * 1024 || g.min_io == 0 || g.min_io > g.leb_size || g.fanout < 3 || g.log_lebs < 2 ||
      g.lpt_lebs < 1 || g.key_hash > 1 || g.compr > 3 || main_first + 3 > max_lebs)
    return *why = "superblock with a geometry the writer cannot keep", false;
  auto root = t.inodes.find(1);
  if (root == t.inodes.end() || (root->second.mode & 0170000) != 0040000) return *why = "no root directory", false;

  // Inodes in use from the root, their link counts, new xattr inodes numbered.
  std::unordered_map<uint64_t, uint32_t> links;
  std::unordered_map<uint64_t, uint32_t> subdirs;
  std::vector<uint64_t> todo{1};
  std::unordered_set<uint64_t> dirs_seen{1};
  while (!todo.empty()) {
    uint64_t d = todo.back();
    todo.pop_back();
    for (auto& [name, inum] : t.inodes.at(d).kids) {
      auto it = t.inodes.find(inum);
      if (it == t.inodes.end()) return *why = "an entry names a missing inode", false;
      ++links[inum];
      if ((it->second.mode & 0170000) == 0040000) {
        ++subdirs[d];
        if (!dirs_seen.insert(inum).second) return *why = "a directory with two names", false;
        todo.push_back(inum);
      }
    }
  }
  links[1] = 0;
  for (auto& [inum, n] : t.inodes)
    for (xattr_rec& x : n.xattrs)
      if (x.inum == 0 && links.count(inum)) x.inum = ++t.highest_inum;
  for (auto& [inum, n] : t.inodes) t.highest_inum = std::max(t.highest_inum, inum);

  uint64_t sq = t.max_sqnum;
  // Leaves: every node of the tree with its key.
  std::vector<leaf> leaves;
  std::vector<fresh_job> jobs;
  auto add_ino = [&](uint64_t inum, const tnode& n, uint32_t nlink, uint64_t size, const std::vector<uint8_t>& data,
                     uint32_t flags, uint32_t mode) {
    leaf l;
    l.key = uint64_t(uint32_t(inum)) << 32;
    l.bytes = ino_node(inum, n, nlink, size, data, flags, mode);
    leaves.push_back(std::move(l));
  };
  auto add_dent = [&](uint64_t parent, uint32_t ktype, const std::string& name, uint64_t inum, uint8_t type) {
    leaf l;
    uint32_t h = name_hash(g.key_hash, name);
    l.key = uint64_t(uint32_t(parent)) << 32 | ktype << 29 | h;
    l.name = name;
    l.bytes.assign(kDentSize + name.size() + 1, 0);
    uint8_t* p = l.bytes.data();
    put_key(p + 24, parent, ktype, h);
    store_le64(p + 40, inum);
    p[49] = type;
    store_le16(p + 50, uint16_t(name.size()));
    std::memcpy(p + kDentSize, name.data(), name.size());
    leaves.push_back(std::move(l));
  };
  static const std::vector<uint8_t> none;
  for (auto& [inum, n] : t.inodes) {
    auto lk = links.find(inum);
    if (lk == links.end()) continue;  // not reached from the root
    uint32_t type = n.mode & 0170000;
    if (n.inline_data.size() > kMaxInoData) return *why = "inode data longer than 4096 bytes", false;
    if (type == 0040000) {
      uint64_t size = kInoSize;
      for (auto& [name, k] : n.kids) {
        size += dent_size(name.size());
        const tnode& c = t.inodes.at(k);
        add_dent(inum, kDentKey, name, k, itype(c.mode));
      }
      add_ino(inum, n, 2 + subdirs[inum], size, none, n.flags, n.mode);
    } else if (type == 0100000) {
      add_ino(inum, n, lk->second, n.fresh ? n.fresh->size() : n.size, none, n.flags, n.mode);
      if (n.fresh) {
        const std::vector<uint8_t>& d = *n.fresh;
        for (size_t off = 0; off < d.size(); off += kBlock) {
          size_t len = std::min<size_t>(kBlock, d.size() - off);
          bool zero = std::all_of(d.begin() + long(off), d.begin() + long(off + len), [](uint8_t b) { return b == 0; });
          if (zero) continue;  // a hole
          if (off / kBlock > 0x1fffffff) return *why = "a file too large for UBIFS keys", false;
          leaf l;
          l.key = uint64_t(uint32_t(inum)) << 32 | kDataKey << 29 | uint32_t(off / kBlock);
          jobs.push_back(fresh_job{&d, inum, uint32_t(off / kBlock), leaves.size()});
          leaves.push_back(std::move(l));
        }
      } else {
        for (const raw_block& b : n.kept) {
          leaf l;
          l.key = uint64_t(uint32_t(inum)) << 32 | kDataKey << 29 | b.block;
          l.bytes.assign(b.node, b.node + b.len);
          leaves.push_back(std::move(l));
        }
      }
    } else {
      add_ino(inum, n, lk->second, n.inline_data.size(), n.inline_data, n.flags, n.mode);
    }
    for (const xattr_rec& x : n.xattrs) {
      if (x.value.size() > kMaxInoData || x.name.empty() || x.name.size() > 255)
        return *why = "an xattr the format cannot store", false;
      add_dent(inum, kXentKey, x.name, x.inum, 0);
      tnode xi;
      xi.uid = n.uid, xi.gid = n.gid;
      xi.atime = xi.ctime = xi.mtime = n.ctime;
      xi.compr_type = n.compr_type;
      add_ino(x.inum, xi, 1, x.value.size(), x.value, kXattrFl, 0100777);
    }
  }

  // New content compressed on all cores.
  if (!jobs.empty()) {
    unsigned nthreads = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), 64));
    nthreads = unsigned(std::min<size_t>(nthreads, jobs.size()));
    std::atomic<size_t> next{0};
    auto work = [&] {
      std::vector<uint8_t> packed;
      for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
        const fresh_job& j = jobs[i];
        size_t off = size_t(j.block) * kBlock, len = std::min<size_t>(kBlock, j.data->size() - off);
        uint16_t used = compress_block(g.compr, j.data->data() + off, len, &packed);
        std::vector<uint8_t>& n = leaves[j.leaf_at].bytes;
        n.assign(kDataSize + packed.size(), 0);
        put_key(n.data() + 24, j.inum, kDataKey, j.block);
        store_le32(n.data() + 40, uint32_t(len));
        store_le16(n.data() + 44, used);
        std::memcpy(n.data() + kDataSize, packed.data(), packed.size());
      }
    };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < nthreads; ++i) pool.emplace_back(work);
    work();
    for (auto& th : pool) th.join();
  }
  std::sort(leaves.begin(), leaves.end(),
            [](const leaf& a, const leaf& b) { return a.key != b.key ? a.key < b.key : a.name < b.name; });

  // The main area, as long as the volume allows.
  out->clear();
  image_out img(g, max_lebs, out);
  std::vector<lprops> props(max_lebs - main_first);
  for (lprops& p : props) p.free = g.leb_size;
  main_writer mw{img, g, props};
  struct branch {
    uint32_t lnum, offs, len;
    uint64_t key;
  };
  std::vector<branch> level;
  level.reserve(leaves.size());
  mw.begin(main_first, false);
  for (leaf& l : leaves) {
    uint32_t kt = uint32_t(l.key >> 29 & 7);
    uint8_t type = kt == kDataKey ? kData : kt == kInoKey ? kIno : kt == kDentKey ? kDent : kXent;
    ++sq;
    if (type == kIno && load_le64(l.bytes.data() + 40) == 0) store_le64(l.bytes.data() + 40, sq);
    seal(l.bytes, type, sq);
    uint32_t ln, of;
    if (!mw.add(l.bytes.data(), uint32_t(l.bytes.size()), &ln, &of)) return *why = fits_msg(g, max_lebs), false;
    level.push_back({ln, of, uint32_t(l.bytes.size()), l.key});
    std::vector<uint8_t>().swap(l.bytes);
  }
  mw.close();
  uint32_t gc_lnum = mw.lnum + 1;
  if (gc_lnum - main_first >= props.size()) return *why = fits_msg(g, max_lebs), false;
  // The index from the bottom up, in LEBs of its own after the GC LEB.
  mw.begin(gc_lnum + 1, true);
  uint64_t index_size = 0;
  uint16_t lvl = 0;
  branch root_br{};
  while (true) {
    std::vector<branch> up;
    for (size_t i = 0; i < level.size(); i += g.fanout) {
      size_t cnt = std::min<size_t>(g.fanout, level.size() - i);
      std::vector<uint8_t> n(kIdxSize + cnt * kBranch, 0);
      store_le16(n.data() + 24, uint16_t(cnt));
      store_le16(n.data() + 26, lvl);
      for (size_t k = 0; k < cnt; ++k) {
        uint8_t* b = n.data() + kIdxSize + k * kBranch;
        const branch& c = level[i + k];
        store_le32(b, c.lnum), store_le32(b + 4, c.offs), store_le32(b + 8, c.len);
        store_le32(b + 12, uint32_t(c.key >> 32)), store_le32(b + 16, uint32_t(c.key));
      }
      seal(n, kIdx, ++sq);
      uint32_t ln, of;
      if (!mw.add(n.data(), uint32_t(n.size()), &ln, &of)) return *why = fits_msg(g, max_lebs), false;
      index_size += align_up(uint32_t(n.size()), 8);
      up.push_back({ln, of, uint32_t(n.size()), level[i].key});
    }
    ++lvl;
    if (up.size() == 1) {
      root_br = up[0];
      break;
    }
    level.swap(up);
  }
  uint32_t ihead_lnum = mw.lnum;
  mw.close();
  uint32_t ihead_offs = g.leb_size - props[ihead_lnum - main_first].free;
  uint32_t leb_cnt = std::max(ihead_lnum + 1, std::min(g.leb_cnt, max_lebs));
  if (!img.ok()) return *why = fits_msg(g, max_lebs), false;
  uint32_t main_lebs = leb_cnt - main_first;
  props.resize(main_lebs);
  img.leb(leb_cnt - 1);

  // The LEB properties tree.
  lpt_geom lg = calc_lpt(main_lebs, g.max_leb_cnt, leb_cnt, g.leb_size, g.min_io, g.lpt_lebs, g.lsave_cnt, g.big());
  if (!g.big() && lg.lpt_sz > g.leb_size) return *why = "the LEB properties no longer fit the small LPT model", false;
  uint32_t lpt_first = 3 + g.log_lebs, lpt_last = lpt_first + g.lpt_lebs - 1;
  std::vector<lprops> ltab(g.lpt_lebs);
  for (lprops& p : ltab) p.free = g.leb_size;
  uint32_t lnum = lpt_first, len = 0;
  bool lpt_ok = true;
  auto flush = [&](bool last) {
    uint32_t a = align_up(len, g.min_io);
    ltab[lnum - lpt_first] = lprops{g.leb_size - a, a - len, false};
    if (!last) ++lnum, len = 0;
  };
  auto emit = [&](const std::vector<uint8_t>& n, uint32_t* at_lnum, uint32_t* at_offs) {
    if (len + n.size() > g.leb_size) flush(false);
    if (lnum > lpt_last) {
      lpt_ok = false;
      return;
    }
    uint8_t* l = img.leb(lnum);
    if (l) std::memcpy(l + len, n.data(), n.size());
    if (at_lnum) *at_lnum = lnum, *at_offs = len;
    len += uint32_t(n.size());
  };
  std::vector<std::pair<uint32_t, uint32_t>> below;  // where the level below lies
  for (int i = 0; i < lg.pnode_cnt; ++i) {
    auto n = lpt_node(lg.pnode_sz, 0, [&](bit_writer& w) {
      if (g.big()) w.put(uint32_t(i), lg.pcnt_bits);
      for (int k = 0; k < kLptFanout; ++k) {
        size_t at = size_t(i) * kLptFanout + size_t(k);
        lprops p = at < props.size() ? props[at] : lprops{g.leb_size, 0, false};
        w.put(p.free >> 3, lg.space_bits);
        w.put(p.dirty >> 3, lg.space_bits);
        w.put(p.index ? 1 : 0, 1);
      }
    });
    uint32_t a, b;
    emit(n, &a, &b);
    below.push_back({a, b});
  }
  uint32_t lpt_lnum = 0, lpt_offs = 0;
  for (int row = lg.hght - 1; row >= 0; --row) {
    std::vector<std::pair<uint32_t, uint32_t>> here;
    size_t cnt = (below.size() + kLptFanout - 1) / kLptFanout;
    for (size_t col = 0; col < cnt; ++col) {
      auto n = lpt_node(lg.nnode_sz, 1, [&](bit_writer& w) {
        if (g.big()) w.put(uint32_t(nnode_num(row, int(col))), lg.pcnt_bits);
        for (int k = 0; k < kLptFanout; ++k) {
          size_t at = col * kLptFanout + size_t(k);
          uint32_t bl = at < below.size() ? below[at].first : lpt_last + 1;
          uint32_t bo = at < below.size() ? below[at].second : 0;
          w.put(bl - lpt_first, lg.lpt_lnum_bits);
          w.put(bo, lg.lpt_offs_bits);
        }
      });
      uint32_t a, b;
      emit(n, &a, &b);
      here.push_back({a, b});
    }
    below.swap(here);
  }
  if (!below.empty()) lpt_lnum = below[0].first, lpt_offs = below[0].second;
  uint32_t lsave_lnum = 0, lsave_offs = 0;
  if (g.big()) {
    auto n = lpt_node(lg.lsave_sz, 3, [&](bit_writer& w) {
      for (uint32_t i = 0; i < g.lsave_cnt; ++i) w.put(i < main_lebs ? main_first + i : main_first, lg.lnum_bits);
    });
    emit(n, &lsave_lnum, &lsave_offs);
  }
  // The LPT's own table describes the LEB it is written to: its place first.
  if (len + lg.ltab_sz > g.leb_size) flush(false);
  if (lnum > lpt_last || !lpt_ok) return *why = "the LEB properties do not fit the LPT area", false;
  uint32_t ltab_lnum = lnum, ltab_offs = len;
  len += lg.ltab_sz;
  flush(true);
  auto tab = lpt_node(lg.ltab_sz, 2, [&](bit_writer& w) {
    for (const lprops& q : ltab) {
      w.put(q.free, lg.lpt_spc_bits);
      w.put(q.dirty, lg.lpt_spc_bits);
    }
  });
  if (uint8_t* l = img.leb(lnum)) std::memcpy(l + ltab_offs, tab.data(), tab.size());
  uint32_t nhead_lnum = lnum, nhead_offs = align_up(len, g.min_io);

  // The totals as the kernel counts them from the LEB properties.
  uint32_t dead_wm = align_up(kDataSize + 8, g.min_io), dark_wm = align_up(kMaxNodeSize, g.min_io);
  auto dark = [&](uint32_t spc) -> uint64_t {
    if (spc < dark_wm) return spc;
    if (spc - dark_wm < kDataSize + 8) return spc - (kDataSize + 8);
    return dark_wm;
  };
  uint64_t tfree = 0, tdirty = 0, tused = 0, tdead = 0, tdark = 0;
  uint32_t empty = 0, idx_lebs = 0;
  for (const lprops& p : props) {
    tfree += p.free, tdirty += p.dirty;
    if (p.free == g.leb_size) ++empty;
    if (p.index) {
      ++idx_lebs;
      continue;
    }
    tused += g.leb_size - p.free - p.dirty;
    uint32_t spc = p.free + p.dirty;
    if (spc < dead_wm)
      tdead += spc;
    else
      tdark += dark(spc);
  }

  // Superblock, log, masters.
  std::vector<uint8_t> sb = shape.sb;
  store_le32(sb.data() + 40, leb_cnt);
  seal(sb, kSb, ++sq);
  img.single(0, sb);
  std::vector<uint8_t> cs(kCsSize, 0);
  uint64_t cmt_no = t.cmt_no + (t.max_sqnum ? 1 : 0);
  store_le64(cs.data() + 24, cmt_no);
  seal(cs, kCs, ++sq);
  img.single(3, cs);
  std::vector<uint8_t> m(kMstSize, 0);
  uint8_t* p = m.data();
  store_le64(p + 24, std::max<uint64_t>(t.highest_inum, kFirstIno));
  store_le64(p + 32, cmt_no);
  store_le32(p + 40, kMstNoOrphs);
  store_le32(p + 44, 3);
  store_le32(p + 48, root_br.lnum), store_le32(p + 52, root_br.offs), store_le32(p + 56, root_br.len);
  store_le32(p + 60, gc_lnum);
  store_le32(p + 64, ihead_lnum), store_le32(p + 68, ihead_offs);
  store_le64(p + 72, index_size);
  store_le64(p + 80, tfree), store_le64(p + 88, tdirty), store_le64(p + 96, tused);
  store_le64(p + 104, tdead), store_le64(p + 112, tdark);
  store_le32(p + 120, lpt_lnum), store_le32(p + 124, lpt_offs);
  store_le32(p + 128, nhead_lnum), store_le32(p + 132, nhead_offs);
  store_le32(p + 136, ltab_lnum), store_le32(p + 140, ltab_offs);
  store_le32(p + 144, lsave_lnum), store_le32(p + 148, lsave_offs);
  store_le32(p + 152, main_first);
  store_le32(p + 156, empty), store_le32(p + 160, idx_lebs);
  store_le32(p + 164, leb_cnt);
  seal(m, kMst, ++sq);
  img.single(1, m);
  img.single(2, m);
  if (!img.ok()) return *why = fits_msg(g, max_lebs), false;
  out->resize(size_t(leb_cnt) * g.leb_size, 0xff);
  t.max_sqnum = sq;
  t.cmt_no = cmt_no;
  return true;
}

}  // namespace rs::ubifs

// ---- journal writes ----
namespace rs::ubifs {

namespace {

constexpr uint32_t kTrunSize = 56, kRefSize = 64;
constexpr uint8_t kJheadBase = 1;

// Nodes of one LEB from `offs`, as the kernel's scan reads them: back to
// back, 8-aligned, padding nodes and padding bytes skipped. The end of the
// last node (padding included); `ok` false when bytes that are neither a
// node nor erased flash follow.
struct scanned {
  uint32_t end = 0;
  bool ok = true;
  std::vector<std::pair<uint32_t, const uint8_t*>> nodes;  // offset, node
};

scanned scan(const uint8_t* l, uint32_t len, uint32_t offs) {
  scanned s;
  s.end = offs;
  while (offs + 24 <= len) {
    if (l[offs] == 0xce) {
      while (offs < len && l[offs] == 0xce) ++offs;
      s.end = offs;
      continue;
    }
    if (load_le32(l + offs) != kMagic) break;
    uint32_t n = load_le32(l + offs + 16);
    if (n < 24 || n > len - offs || (crc32_of(l + offs + 8, n - 8) ^ 0xffffffffu) != load_le32(l + offs + 4)) {
      s.ok = false;
      return s;
    }
    if (l[offs + 20] == kPad) {
      if (n < kPadSize) break;
      uint64_t skip = uint64_t(kPadSize) + load_le32(l + offs + 24);
      if (offs + skip > len) return s.ok = false, s;
      offs += uint32_t(skip);
    } else {
      s.nodes.push_back({offs, l + offs});
      offs += align_up(n, 8);
    }
    s.end = std::min(offs, len);
  }
  // What follows must be erased flash.
  for (uint32_t i = s.end; i < len; ++i)
    if (l[i] != 0xff) return s.ok = false, s;
  return s;
}

struct reached {
  std::unordered_map<uint64_t, uint32_t> links, subdirs;
};

reached reach(const tree& t) {
  reached r;
  std::vector<uint64_t> todo{1};
  std::unordered_set<uint64_t> seen{1};
  while (!todo.empty()) {
    uint64_t d = todo.back();
    todo.pop_back();
    auto it = t.inodes.find(d);
    if (it == t.inodes.end()) continue;
    for (auto& [name, inum] : it->second.kids) {
      auto c = t.inodes.find(inum);
      if (c == t.inodes.end()) continue;
      ++r.links[inum];
      if ((c->second.mode & 0170000) == 0040000) {
        ++r.subdirs[d];
        if (seen.insert(inum).second) todo.push_back(inum);
      }
    }
  }
  r.links[1] = 0;
  return r;
}

// An inode node (header left for the seal) as the whole writer lays it out.
std::vector<uint8_t> ino_node(uint64_t inum, const tnode& n, uint32_t nlink, uint64_t size,
                              const std::vector<uint8_t>& data, uint32_t flags, uint32_t mode) {
  std::vector<uint8_t> b(kInoSize + data.size(), 0);
  uint8_t* p = b.data();
  put_key(p + 24, inum, kInoKey, 0);
  store_le64(p + 40, n.creat_sqnum);
  store_le64(p + 48, size);
  store_le64(p + 56, n.atime), store_le64(p + 64, n.ctime), store_le64(p + 72, n.mtime);
  store_le32(p + 80, n.atime_ns), store_le32(p + 84, n.ctime_ns), store_le32(p + 88, n.mtime_ns);
  store_le32(p + 92, nlink);
  store_le32(p + 96, n.uid), store_le32(p + 100, n.gid), store_le32(p + 104, mode);
  store_le32(p + 108, flags);
  store_le32(p + 112, uint32_t(data.size()));
  if (!(flags & kXattrFl)) {
    uint32_t xsize = 0, xnames = 0;
    for (const xattr_rec& x : n.xattrs) {
      xsize += dent_size(x.name.size()) + xattr_bytes(x.value.size());
      xnames += uint32_t(x.name.size());
    }
    store_le32(p + 116, uint32_t(n.xattrs.size()));
    store_le32(p + 120, xsize);
    store_le32(p + 128, xnames);
  }
  store_le16(p + 132, n.compr_type);
  if (!data.empty()) std::memcpy(p + kInoSize, data.data(), data.size());
  return b;
}

// The inode node of `inum` in `t` with its counted link count and size.
std::vector<uint8_t> ino_of(const reached& r, uint64_t inum, const tnode& n, bool gone) {
  static const std::vector<uint8_t> none;
  uint32_t type = n.mode & 0170000;
  auto lk = r.links.find(inum);
  uint32_t links = lk == r.links.end() ? 0 : lk->second;
  if (type == 0040000) {
    uint64_t size = kInoSize;
    for (auto& [name, k] : n.kids) size += dent_size(name.size());
    auto sd = r.subdirs.find(inum);
    return ino_node(inum, n, gone ? 0 : 2 + (sd == r.subdirs.end() ? 0 : sd->second), size, none, n.flags, n.mode);
  }
  if (type == 0100000)
    return ino_node(inum, n, gone ? 0 : links, n.fresh ? n.fresh->size() : n.size, none, n.flags, n.mode);
  return ino_node(inum, n, gone ? 0 : links, n.inline_data.size(), n.inline_data, n.flags, n.mode);
}

std::vector<uint8_t> xattr_ino(const tnode& host, const xattr_rec& x, bool gone) {
  tnode xi;
  xi.uid = host.uid, xi.gid = host.gid;
  xi.atime = xi.ctime = xi.mtime = host.ctime;
  xi.compr_type = host.compr_type;
  return ino_node(x.inum, xi, gone ? 0 : 1, x.value.size(), x.value, kXattrFl, 0100777);
}

std::vector<uint8_t> dent_node(uint8_t key_hash, uint64_t parent, uint32_t ktype, const std::string& name,
                               uint64_t inum, uint8_t type) {
  std::vector<uint8_t> b(kDentSize + name.size() + 1, 0);
  uint8_t* p = b.data();
  put_key(p + 24, parent, ktype, name_hash(key_hash, name));
  store_le64(p + 40, inum);
  p[49] = type;
  store_le16(p + 50, uint16_t(name.size()));
  std::memcpy(p + kDentSize, name.data(), name.size());
  return b;
}

struct jnode {
  uint8_t type;
  std::vector<uint8_t> bytes;
  const std::vector<uint8_t>* data = nullptr;  // a data node still to compress: its file
  uint64_t inum = 0;
  uint32_t block = 0;
};

// The nodes that turn `base` into `cur`, in the order a kernel would write them.
bool diff_nodes(const tree& base, tree& cur, uint8_t key_hash, std::vector<jnode>* out, std::string* why) {
  reached rb = reach(base), rc = reach(cur);
  for (auto& [inum, n] : cur.inodes)
    if (rc.links.count(inum))
      for (xattr_rec& x : n.xattrs)
        if (x.inum == 0) x.inum = ++cur.highest_inum;
  for (auto& [inum, n] : cur.inodes) cur.highest_inum = std::max(cur.highest_inum, inum);
  auto add = [&](uint8_t type, std::vector<uint8_t> b) { out->push_back(jnode{type, std::move(b)}); };
  for (auto& [inum, n] : cur.inodes) {
    if (!rc.links.count(inum)) continue;
    if (n.inline_data.size() > kMaxInoData) return *why = "inode data longer than 4096 bytes", false;
    auto bi = base.inodes.find(inum);
    const tnode* o = bi != base.inodes.end() && rb.links.count(inum) ? &bi->second : nullptr;
    std::vector<uint8_t> mine = ino_of(rc, inum, n, false);
    bool fresh = n.fresh && (!o || o->fresh != n.fresh);
    if (!o || fresh || mine != ino_of(rb, inum, *o, false)) add(kIno, std::move(mine));
    if (fresh) {
      if (o && (o->mode & 0170000) == 0100000 && o->size > 0) {
        std::vector<uint8_t> t(kTrunSize, 0);
        store_le32(t.data() + 24, uint32_t(inum));
        store_le64(t.data() + 40, o->size);
        store_le64(t.data() + 48, 0);
        add(kTrun, std::move(t));
      }
      const std::vector<uint8_t>& d = *n.fresh;
      for (size_t off = 0; off < d.size(); off += kBlock) {
        size_t len = std::min<size_t>(kBlock, d.size() - off);
        if (std::all_of(d.begin() + long(off), d.begin() + long(off + len), [](uint8_t b) { return b == 0; }))
          continue;  // a hole
        if (off / kBlock > 0x1fffffff) return *why = "a file too large for UBIFS keys", false;
        out->push_back(jnode{kData, {}, &d, inum, uint32_t(off / kBlock)});
      }
    }
    if ((n.mode & 0170000) == 0040000) {
      const std::map<std::string, uint64_t>* was = o && (o->mode & 0170000) == 0040000 ? &o->kids : nullptr;
      for (auto& [name, k] : n.kids) {
        if (was) {
          auto w = was->find(name);
          if (w != was->end() && w->second == k) continue;
        }
        add(kDent, dent_node(key_hash, inum, kDentKey, name, k, itype(cur.inodes.at(k).mode)));
      }
      if (was)
        for (auto& [name, k] : *was)
          if (!n.kids.count(name)) {
            auto c = base.inodes.find(k);
            add(kDent,
                dent_node(key_hash, inum, kDentKey, name, 0, c == base.inodes.end() ? 0 : itype(c->second.mode)));
          }
    }
    for (const xattr_rec& x : n.xattrs) {
      if (x.value.size() > kMaxInoData || x.name.empty() || x.name.size() > 255)
        return *why = "an xattr the format cannot store", false;
      bool same = false;
      if (o)
        for (const xattr_rec& y : o->xattrs) same |= y.name == x.name && y.inum == x.inum && y.value == x.value;
      if (same) continue;
      add(kXent, dent_node(key_hash, inum, kXentKey, x.name, x.inum, 0));
      add(kIno, xattr_ino(n, x, false));
    }
    if (o)
      for (const xattr_rec& y : o->xattrs) {
        bool kept = false, named = false;
        for (const xattr_rec& x : n.xattrs) {
          kept |= x.inum == y.inum;
          named |= x.name == y.name;
        }
        if (!named) add(kXent, dent_node(key_hash, inum, kXentKey, y.name, 0, 0));
        if (!kept) add(kIno, xattr_ino(*o, y, true));
      }
  }
  // Inodes no name reaches any more: written with no links, which deletes them at replay.
  for (auto& [inum, o] : base.inodes) {
    if (!rb.links.count(inum) || rc.links.count(inum)) continue;
    add(kIno, ino_of(rb, inum, o, true));
    for (const xattr_rec& y : o.xattrs) add(kIno, xattr_ino(o, y, true));
  }
  return true;
}

void compress_all(std::vector<jnode>& nodes, uint16_t compr) {
  std::vector<size_t> jobs;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (nodes[i].data) jobs.push_back(i);
  if (jobs.empty()) return;
  unsigned nthreads = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), 64));
  nthreads = unsigned(std::min<size_t>(nthreads, (jobs.size() + 15) / 16));
  std::atomic<size_t> next{0};
  auto work = [&] {
    std::vector<uint8_t> packed;
    for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
      jnode& j = nodes[jobs[i]];
      size_t off = size_t(j.block) * kBlock, len = std::min<size_t>(kBlock, j.data->size() - off);
      uint16_t used = compress_block(compr, j.data->data() + off, len, &packed);
      j.bytes.assign(kDataSize + packed.size(), 0);
      put_key(j.bytes.data() + 24, j.inum, kDataKey, j.block);
      store_le32(j.bytes.data() + 40, uint32_t(len));
      store_le16(j.bytes.data() + 44, used);
      std::memcpy(j.bytes.data() + kDataSize, packed.data(), packed.size());
    }
  };
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < nthreads; ++i) pool.emplace_back(work);
  work();
  for (auto& th : pool) th.join();
}

bool erased(const uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    if (p[i] != 0xff) return false;
  return true;
}

// Pads `l` from `end` to the next min. I/O unit: a padding node where one fits, else padding bytes.
uint32_t pad_to(uint8_t* l, uint32_t end, uint32_t min_io, uint32_t leb_size) {
  uint32_t a = std::min(align_up(end, std::max<uint32_t>(min_io, 8)), leb_size);
  uint32_t gap = a - end;
  if (gap >= kPadSize) {
    std::vector<uint8_t> n(kPadSize, 0);
    store_le32(n.data() + 24, gap - kPadSize);
    seal(n, kPad, 0);
    std::memcpy(l + end, n.data(), kPadSize);
    std::memset(l + end + kPadSize, 0, gap - kPadSize);
  } else if (gap) {
    std::memset(l + end, 0xce, gap);
  }
  return a;
}

}  // namespace

int write_journal(const source& src, uint32_t max_lebs, const tree& base, tree& cur, journal* out, std::string* why) {
  *out = journal{};
  auto leb = [&](uint32_t lnum, uint32_t* len) -> const uint8_t* {
    *len = 0;
    if (lnum >= src.leb_count || !src.leb) return nullptr;
    const uint8_t* p = src.leb(lnum, len);
    if (!p) *len = 0;
    return p;
  };
  uint32_t len = 0;
  const uint8_t* sb = leb(0, &len);
  if (!sb || len < kSbSize || !is_ubifs(sb, len)) return *why = "no superblock", -1;
  geom g = geom_of(sb);
  const uint64_t max_bud_bytes = load_le64(sb + 48);
  const uint32_t jhead_cnt = load_le32(sb + 68);
  if (g.leb_size != src.leb_size || g.min_io == 0 || g.min_io > g.leb_size || g.min_io % 8 || g.leb_size % g.min_io ||
      g.log_lebs < 2 || jhead_cnt < 1 || g.key_hash > 1 || g.compr > 3 || g.main_first() >= g.leb_cnt)
    return *why = "a superblock geometry the journal does not handle", 0;
  if (g.flags & ~uint32_t(0x02 | 0x04 | 0x08))  // big LPT, space fixup, double hash: others (authentication) not
    return *why = "superblock flags the journal does not handle", 0;

  // The newest master node of the two LEBs.
  const uint8_t* mst = nullptr;
  uint64_t max_sq = cur.max_sqnum;
  for (uint32_t m = 1; m <= 2; ++m) {
    const uint8_t* l = leb(m, &len);
    if (!l) continue;
    scanned s = scan(l, len, 0);
    for (auto& [at, p] : s.nodes) {
      uint64_t sq = load_le64(p + 8);
      max_sq = std::max(max_sq, sq);
      if (p[20] == kMst && load_le32(p + 16) == kMstSize && (!mst || sq > load_le64(mst + 8))) mst = p;
    }
  }
  if (!mst) return *why = "no master node", -1;
  const uint32_t log_first = 3, log_end = 3 + g.log_lebs;
  const uint32_t log_lnum = load_le32(mst + 44), gc_lnum = load_le32(mst + 60), ihead_lnum = load_le32(mst + 64);
  if (log_lnum < log_first || log_lnum >= log_end) return *why = "the master's log LEB is outside the log", -1;

  // The log as replay reads it: from the master's LEB on, up to an empty LEB or an older commit's.
  std::set<uint32_t> refd;
  uint32_t last = log_lnum, last_end = 0, lnum = log_lnum;
  uint64_t cs_sqnum = 0;
  for (uint32_t n = 0; n < g.log_lebs; ++n, lnum = lnum + 1 == log_end ? log_first : lnum + 1) {
    const uint8_t* l = leb(lnum, &len);
    if (!l) break;
    scanned s = scan(l, len, 0);
    if (s.nodes.empty()) break;
    if (n == 0) cs_sqnum = load_le64(s.nodes[0].second + 8);
    if (load_le64(s.nodes[0].second + 8) < cs_sqnum) break;
    if (!s.ok) return *why = "log LEB " + std::to_string(lnum) + " holds bytes replay does not read", 0;
    for (auto& [at, p] : s.nodes) {
      max_sq = std::max(max_sq, load_le64(p + 8));
      if (p[20] == kRef) refd.insert(load_le32(p + 24));
    }
    last = lnum;
    last_end = s.end;
  }
  if (last_end % g.min_io) return *why = "the log ends off a min. I/O unit", 0;

  std::vector<jnode> nodes;
  if (!diff_nodes(base, cur, g.key_hash, &nodes, why)) return 0;
  if (nodes.empty()) return 1;
  compress_all(nodes, g.compr);

  // Bud LEBs: erased main-area LEBs no one holds, in order; the file system
  // grows into the rest of its volume, as the kernel's mount would, when
  // those run out.
  uint32_t leb_cnt = g.leb_cnt;
  std::vector<uint32_t> free_lebs;
  auto collect = [&](uint32_t from, uint32_t to) {
    // Every LEB is looked at once (an erased one read whole, and a read maps
    // a folio around it): what was looked at lets go every few MiB.
    std::vector<std::pair<const uint8_t*, uint32_t>> seen;
    auto let_go = [&] {
      for (auto& [p, n] : seen) rs::release_read(p, n);
      seen.clear();
    };
    for (uint32_t l = from; l < to; ++l) {
      if (l == gc_lnum || l == ihead_lnum || refd.count(l)) continue;
      uint32_t n = 0;
      const uint8_t* p = leb(l, &n);
      if (!p || erased(p, n)) free_lebs.push_back(l);
      if (p) seen.emplace_back(p, n);
      if (uint64_t(seen.size()) * g.leb_size >= (4u << 20)) let_go();
    }
    let_go();
  };
  collect(g.main_first(), leb_cnt);
  // How many LEBs the nodes take, laid out as below.
  uint32_t need = 1, offs = 0;
  for (const jnode& j : nodes) {
    uint32_t n = uint32_t(j.bytes.size());
    if (n > g.leb_size) return *why = "a node longer than a LEB", -1;
    if (offs + n > g.leb_size) ++need, offs = 0;
    offs = align_up(offs + n, 8);
  }
  if (free_lebs.size() < need) {
    uint32_t grow = std::min({max_lebs, g.max_leb_cnt, src.leb_count});
    if (grow > leb_cnt) {
      collect(leb_cnt, grow);
      leb_cnt = grow;
      out->grew = true;
    }
  }
  if (free_lebs.size() < need) return *why = "no free LEB for the journal", 0;
  if ((uint64_t(refd.size()) + need) * g.leb_size > max_bud_bytes)
    return *why = "the journal would pass the superblock's max_bud_bytes", 0;
  // The references go after the log's last node, or at the start of the
  // next log LEB when they do not fit there (not the tail the master names:
  // that would overwrite the commit start node).
  uint32_t log_at = last, log_offs = last_end;
  if (align_up(need * kRefSize, g.min_io) > g.leb_size - last_end) {
    uint32_t next = last + 1 == log_end ? log_first : last + 1;
    if (next == log_lnum || align_up(need * kRefSize, g.min_io) > g.leb_size) return *why = "the log is full", 0;
    log_at = next, log_offs = 0;
    uint32_t n = 0;
    const uint8_t* p = leb(next, &n);
    if (p && !erased(p, n)) out->renew.push_back(next);  // an older commit's log: erased first
  }

  // Sequence numbers above every one in the volume: the references first, as a kernel adds a bud before writing to it.
  uint64_t sq = max_sq;
  {
    const uint8_t* l = log_offs ? leb(log_at, &len) : nullptr;
    std::vector<uint8_t> lg(g.leb_size, 0xff);
    if (l) std::memcpy(lg.data(), l, std::min(len, g.leb_size));
    uint32_t at = log_offs;
    for (uint32_t i = 0; i < need; ++i) {
      std::vector<uint8_t> r(kRefSize, 0);
      store_le32(r.data() + 24, free_lebs[i]);
      store_le32(r.data() + 28, 0);
      store_le32(r.data() + 32, kJheadBase < jhead_cnt ? kJheadBase : 0);
      seal(r, kRef, ++sq);
      std::memcpy(lg.data() + at, r.data(), kRefSize);
      at += kRefSize;
    }
    pad_to(lg.data(), at, g.min_io, g.leb_size);
    out->lebs[log_at] = std::move(lg);
    out->log_lnum = log_at;
  }
  uint32_t bud = 0;
  offs = 0;
  std::vector<uint8_t>* l = &out->lebs[free_lebs[0]];
  l->assign(g.leb_size, 0xff);
  for (jnode& j : nodes) {
    uint32_t n = uint32_t(j.bytes.size());
    if (offs + n > g.leb_size) {
      pad_to(l->data(), offs, g.min_io, g.leb_size);
      l = &out->lebs[free_lebs[++bud]];
      l->assign(g.leb_size, 0xff);
      offs = 0;
    }
    ++sq;
    if (j.type == kIno && load_le64(j.bytes.data() + 40) == 0) {
      store_le64(j.bytes.data() + 40, sq);
    }
    seal(j.bytes, j.type, sq);
    std::memcpy(l->data() + offs, j.bytes.data(), n);
    uint32_t e = align_up(offs + n, 8);
    std::memset(l->data() + offs + n, 0, e - offs - n);
    out->bud_bytes += e - offs;
    offs = e;
    std::vector<uint8_t>().swap(j.bytes);
  }
  pad_to(l->data(), offs, g.min_io, g.leb_size);
  out->buds.assign(free_lebs.begin(), free_lebs.begin() + need);
  if (out->grew) {
    std::vector<uint8_t> s0(g.leb_size, 0xff);
    const uint8_t* p = leb(0, &len);
    std::memcpy(s0.data(), p, std::min(len, g.leb_size));
    store_le32(s0.data() + 40, leb_cnt);
    store_le32(s0.data() + 4, crc32_of(s0.data() + 8, load_le32(s0.data() + 16) - 8) ^ 0xffffffffu);
    out->lebs[0] = std::move(s0);
    out->renew.push_back(0);
  }
  cur.max_sqnum = sq;
  return 1;
}

}  // namespace rs::ubifs
