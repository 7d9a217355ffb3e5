// 4.0 byte-order transcoder. Each table is read as a stream of metadata
// blocks; the new image keeps every block's decoded extent, so a reference
// (block position, offset) only needs its block moved. A block's size depends
// on its swapped content, which holds the new positions of the blocks it
// names, so blocks are encoded in reference order (see encode_all).
#include "squashfs/swap4.h"

#include <sqfs/super.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <new>

#include "squashfs/internal.h"

namespace rs::sqfs {
namespace {

constexpr size_t kMeta = 8192;
constexpr uint64_t kNone = ~uint64_t(0);

// [at, at + n) lies inside [0, limit), without overflow for any `at`.
bool fits(uint64_t at, uint64_t n, uint64_t limit) { return at <= limit && n <= limit - at; }

uint64_t get(const uint8_t* p, int w, bool be) {
  uint64_t v = 0;
  for (int i = 0; i < w; ++i) v |= uint64_t(p[be ? w - 1 - i : i]) << (8 * i);
  return v;
}
void put(uint8_t* p, int w, bool be, uint64_t v) {
  for (int i = 0; i < w; ++i) p[be ? w - 1 - i : i] = uint8_t(v >> (8 * i));
}

struct Block {
  uint64_t src_pos = 0;  // where the source holds it (absolute)
  bool stored = false;   // stored in the source
  size_t off = 0, len = 0;
  uint64_t dst_rel = 0;          // position in the new table, from its start
  std::vector<uint8_t> payload;  // as written
  bool payload_stored = true;
};

struct Stream {
  std::vector<uint8_t> raw, data;
  std::vector<Block> blocks;
  uint64_t src_start = 0;  // sequential tables: their start; references are relative to it
  uint64_t src_end = 0;
  bool force_stored = false;
  bool indexed = false;  // blocks found through an index, references absolute
  uint64_t dst_start = 0, dst_end = 0;
  uint64_t index_at = 0;  // indexed tables: where the new index goes
  std::map<uint64_t, size_t> by_rel;

  // The new relative position of the block at source-relative `rel` (the
  // end of the table maps to the end).
  bool map(uint64_t rel, uint64_t* out) const {
    if (rel == src_end - src_start) {
      *out = dst_end - dst_start;
      return true;
    }
    auto it = by_rel.find(rel);
    if (it == by_rel.end()) return false;
    *out = blocks[it->second].dst_rel;
    return true;
  }
  bool map_ref(uint64_t ref, uint64_t* out) const {
    uint64_t b = 0;
    if (!map(ref >> 16, &b)) return false;
    *out = b << 16 | (ref & 0xFFFF);
    return true;
  }
};

struct Super {
  uint32_t inodes, mtime, block_size, frag_count;
  uint16_t comp, block_log, flags, id_count, major, minor;
  uint64_t root, used, id_start, xattr_start, inode_start, dir_start, frag_start, export_start;
};

struct Tx {
  Tx(const uint8_t* i, size_t sz, Transcode4& tc, std::string& w) : in(i), n(sz), t(tc), why(w) {}
  const uint8_t* in;
  size_t n;
  Transcode4& t;
  std::string& why;
  Super s{};
  Stream ino, dir, frag, exp, id, kv, xid;
  bool has_export = false, has_xattr = false;
  uint64_t xattr_count = 0, kv_start = 0;
  uint64_t decoded = 0, budget = 0;
  std::vector<uint8_t> room;

  bool fail(std::string w) {
    why = std::move(w);
    return false;
  }
  uint64_t g(uint64_t at, int w) const { return get(in + at, w, t.from.be); }

  bool read_super() {
    if (n < 96) return fail("superblock cut short");
    s.inodes = uint32_t(g(4, 4));
    s.mtime = uint32_t(g(8, 4));
    s.block_size = uint32_t(g(12, 4));
    s.frag_count = uint32_t(g(16, 4));
    s.comp = uint16_t(g(20, 2));
    s.block_log = uint16_t(g(22, 2));
    s.flags = uint16_t(g(24, 2));
    s.id_count = uint16_t(g(26, 2));
    s.major = uint16_t(g(28, 2));
    s.minor = uint16_t(g(30, 2));
    s.root = g(32, 8);
    s.used = g(40, 8);
    s.id_start = g(48, 8);
    s.xattr_start = g(56, 8);
    s.inode_start = g(64, 8);
    s.dir_start = g(72, 8);
    s.frag_start = g(80, 8);
    s.export_start = g(88, 8);
    if (g(0, 4) != 0x73717368u || s.major != 4) return fail("no 4.0 superblock");
    if (s.used > n || s.used < 96) return fail("bytes used beyond the end of the image (cut short?)");
    if (s.block_size < 4096 || s.block_size > (1u << 20) || s.block_log > 20 || (1u << s.block_log) != s.block_size)
      return fail("block size and its log do not agree");
    if (s.inode_start < 96 || s.inode_start >= s.dir_start || s.dir_start >= s.used)
      return fail("inode or directory table outside the image");
    t.src_time_is_size = s.mtime == s.used;
    has_export = (s.flags & SQFS_FLAG_EXPORTABLE) && s.export_start != kNone;
    has_xattr = !(s.flags & SQFS_FLAG_NO_XATTRS) && s.xattr_start != kNone;
    budget = tree_budget(s.used) / 4;
    return true;
  }

  // One metadata block at `pos`: appended to `st`; `*next` is where the next one starts.
  bool read_block(Stream& st, uint64_t pos, uint64_t limit, uint64_t* next) {
    limit = std::min<uint64_t>(limit, s.used);
    if (!fits(pos, 2, limit)) return fail("metadata block outside its table");
    uint16_t w = uint16_t(get(in + pos, 2, t.from.words_be()));
    size_t len = w & 0x7FFF;
    if (len == 0 || len > kMeta || !fits(pos, 2 + len, limit)) return fail("metadata block length beyond its table");
    Block b;
    b.src_pos = pos;
    b.stored = w & 0x8000;
    b.off = st.raw.size();
    if (b.stored) {
      st.raw.insert(st.raw.end(), in + pos + 2, in + pos + 2 + len);
      b.len = len;
    } else {
      room.resize(kMeta);
      sqfs_s32 r = t.dec->do_block(t.dec, in + pos + 2, sqfs_u32(len), room.data(), sqfs_u32(kMeta));
      if (r <= 0) return fail("metadata block does not decode");
      st.raw.insert(st.raw.end(), room.begin(), room.begin() + r);
      b.len = size_t(r);
    }
    decoded += b.len + sizeof(Block);
    if (decoded > budget) return fail("metadata decodes to more than the image can hold");
    st.by_rel[pos - st.src_start] = st.blocks.size();
    st.blocks.push_back(std::move(b));
    *next = pos + 2 + len;
    return true;
  }

  bool read_seq(Stream& st, uint64_t start, uint64_t end, const char* what) {
    st.src_start = start;
    st.src_end = end;
    for (uint64_t pos = start; pos < end;)
      if (!read_block(st, pos, end, &pos)) return fail(std::string(what) + ": " + why);
    return true;
  }

  // A table of `bytes` bytes in blocks listed by the u64 index at `index`.
  bool read_indexed(Stream& st, uint64_t index, uint64_t bytes, const char* what) {
    uint64_t count = (bytes + kMeta - 1) / kMeta;
    if (index > s.used || count * 8 > s.used - index) return fail(std::string(what) + " index outside the image");
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t pos = g(index + 8 * i, 8), next = 0;
      st.src_start = 0;
      if (!read_block(st, pos, s.used, &next)) return fail(std::string(what) + ": " + why);
      if (st.blocks.back().len != (i + 1 < count ? kMeta : bytes - i * kMeta))
        return fail(std::string(what) + " block of the wrong size");
    }
    st.src_end = kNone;
    return true;
  }

  uint64_t first_of(uint64_t index, bool present) const {
    return present && fits(index, 8, s.used) ? g(index, 8) : kNone;
  }

  bool read_all() {
    for (Stream* st : {&frag, &exp, &id, &xid}) st->indexed = true;
    // Where the directory table ends: at the first thing after it.
    uint64_t end = s.used;
    auto bound = [&](uint64_t p) {
      if (p >= s.dir_start && p < end) end = p;
    };
    bound(s.frag_start);
    bound(first_of(s.frag_start, s.frag_count > 0));
    if (has_export) {
      bound(s.export_start);
      bound(first_of(s.export_start, true));
    }
    bound(s.id_start);
    bound(first_of(s.id_start, s.id_count > 0));
    if (has_xattr) {
      if (!fits(s.xattr_start, 16, s.used)) return fail("extended attribute table outside the image");
      kv_start = g(s.xattr_start, 8);
      xattr_count = g(s.xattr_start + 8, 4);
      bound(s.xattr_start);
      bound(kv_start);
      bound(first_of(s.xattr_start + 16, xattr_count > 0));
    }
    if (!read_seq(ino, s.inode_start, s.dir_start, "inode table")) return false;
    if (!read_seq(dir, s.dir_start, end, "directory table")) return false;
    if (s.frag_count && !read_indexed(frag, s.frag_start, uint64_t(s.frag_count) * 16, "fragment table")) return false;
    if (has_export && !read_indexed(exp, s.export_start, uint64_t(s.inodes) * 8, "export table")) return false;
    if (!read_indexed(id, s.id_start, uint64_t(s.id_count) * 4, "id table")) return false;
    t.src_ids_stored = std::all_of(id.blocks.begin(), id.blocks.end(), [](const Block& b) { return b.stored; });
    id.force_stored = t.ids_stored;
    if (has_xattr && xattr_count) {
      uint64_t first_id = g(s.xattr_start + 16, 8);
      if (kv_start > first_id) return fail("extended attribute values after their ids");
      if (!read_seq(kv, kv_start, first_id, "extended attribute values")) return false;
      if (!read_indexed(xid, s.xattr_start + 16, xattr_count * 16, "extended attribute ids")) return false;
    }
    for (Stream* st : {&ino, &dir, &frag, &exp, &id, &kv, &xid}) st->data.resize(st->raw.size());
    return true;
  }

  // Swaps the integers of one stream from raw into data; `ok` turns false
  // when a structure runs past the stream or a reference names no block.
  // A reference field: where it lies in its stream's content, and the block
  // of `target` it names (`k` = the block count for the table's end).
  struct Patch {
    Stream* in;
    size_t at;
    int width;
    Stream* target;
    size_t k;
    uint64_t offset;  // inode references: the offset inside the block
    bool inode;
  };

  struct Sw {
    const Stream& st;
    Stream& out;
    bool from_be, to_be;
    std::vector<Patch>* patches;
    bool ok = true;
    uint64_t get_at(size_t at, int w) {
      if (at + size_t(w) > st.raw.size()) {
        ok = false;
        return 0;
      }
      return get(st.raw.data() + at, w, from_be);
    }
    void put_at(size_t at, int w, uint64_t v) {
      if (at + size_t(w) <= out.data.size()) put(out.data.data() + at, w, to_be, v);
    }
    uint64_t sw(size_t at, int w) {
      uint64_t v = get_at(at, w);
      put_at(at, w, v);
      return v;
    }
    // References are filled in once the blocks they name have their place.
    void ref(size_t at, int w, Stream& target, uint64_t block, uint64_t offset, bool inode) {
      size_t k = 0;
      if (block == target.src_end - target.src_start) {
        k = target.blocks.size();
      } else {
        auto it = target.by_rel.find(block);
        if (it == target.by_rel.end()) {
          ok = false;
          return;
        }
        k = it->second;
      }
      if (at + size_t(w) > st.raw.size()) ok = false;
      if (ok) patches->push_back({&out, at, w, &target, k, offset, inode});
    }
    void block_ref(size_t at, int w, Stream& target) {
      uint64_t v = get_at(at, w);
      if (ok) ref(at, w, target, v, 0, false);
    }
    void inode_ref(size_t at, Stream& target) {
      uint64_t v = get_at(at, 8);
      if (ok) ref(at, 8, target, v >> 16, v & 0xFFFF, true);
    }
  };

  std::vector<Patch> patches;

  Sw sw(Stream& st) { return Sw{st, st, t.from.be, t.to.be, &patches}; }

  // File block words: counted from the size and the fragment, and inside the data area.
  bool file_blocks(Sw& w, size_t p, uint64_t start, uint64_t size, uint32_t fr, size_t* end) {
    uint64_t count = size / s.block_size + (fr == 0xFFFFFFFFu && size % s.block_size ? 1 : 0);
    if (count > (w.st.raw.size() - std::min(p, w.st.raw.size())) / 4) return false;
    uint64_t bytes = 0;
    for (uint64_t i = 0; i < count; ++i) bytes += w.sw(p + 4 * i, 4) & ((1u << 24) - 1);
    if (count && !fits(start, bytes, s.inode_start)) return false;
    *end = p + 4 * count;
    return true;
  }

  bool swap_inodes() {
    Sw w = sw(ino);
    const size_t n_ = ino.raw.size();
    for (size_t at = 0; at < n_ && w.ok;) {
      if (at + 16 > n_) return false;
      unsigned type = unsigned(w.sw(at, 2));
      for (size_t k : {2, 4, 6}) w.sw(at + k, 2);
      w.sw(at + 8, 4);
      w.sw(at + 12, 4);
      size_t p = at + 16;
      switch (type) {
        case 1:
          w.block_ref(p, 4, dir);
          w.sw(p + 4, 4);
          w.sw(p + 8, 2);
          w.sw(p + 10, 2);
          w.sw(p + 12, 4);
          p += 16;
          break;
        case 8: {
          w.sw(p, 4);
          w.sw(p + 4, 4);
          w.block_ref(p + 8, 4, dir);
          w.sw(p + 12, 4);
          uint64_t count = w.sw(p + 16, 2);
          w.sw(p + 18, 2);
          w.sw(p + 20, 4);
          p += 24;
          for (uint64_t i = 0; i < count && w.ok; ++i) {
            w.sw(p, 4);
            w.block_ref(p + 4, 4, dir);
            uint64_t len = w.sw(p + 8, 4);
            if (len > 255) return false;
            p += 12 + len + 1;
          }
          break;
        }
        case 2: {
          uint64_t start = w.sw(p, 4);
          uint32_t fr = uint32_t(w.sw(p + 4, 4));
          w.sw(p + 8, 4);
          uint64_t size = w.sw(p + 12, 4);
          if (!w.ok || !file_blocks(w, p + 16, start, size, fr, &p)) return false;
          break;
        }
        case 9: {
          uint64_t start = w.sw(p, 8), size = w.sw(p + 8, 8);
          w.sw(p + 16, 8);
          w.sw(p + 24, 4);
          uint32_t fr = uint32_t(w.sw(p + 28, 4));
          w.sw(p + 32, 4);
          w.sw(p + 36, 4);
          if (!w.ok || !file_blocks(w, p + 40, start, size, fr, &p)) return false;
          break;
        }
        case 3:
        case 10: {
          w.sw(p, 4);
          uint64_t len = w.sw(p + 4, 4);
          if (len > n_) return false;
          p += 8 + len;
          if (type == 10) w.sw(p, 4), p += 4;
          break;
        }
        case 4:
        case 5:
        case 11:
        case 12:
          w.sw(p, 4);
          w.sw(p + 4, 4);
          p += 8;
          if (type > 7) w.sw(p, 4), p += 4;
          break;
        case 6:
        case 7:
        case 13:
        case 14:
          w.sw(p, 4);
          p += 4;
          if (type > 7) w.sw(p, 4), p += 4;
          break;
        default:
          return false;
      }
      if (p > n_) return false;
      at = p;
    }
    return w.ok;
  }

  bool swap_dirs() {
    Sw w = sw(dir);
    const size_t n_ = dir.raw.size();
    for (size_t at = 0; at < n_ && w.ok;) {
      uint64_t count = w.sw(at, 4);
      w.block_ref(at + 4, 4, ino);
      w.sw(at + 8, 4);
      at += 12;
      if (count > 255) return false;
      for (uint64_t i = 0; i <= count && w.ok; ++i) {
        for (size_t k : {0, 2, 4}) w.sw(at + k, 2);
        uint64_t len = w.sw(at + 6, 2);
        if (len > 255) return false;
        at += 8 + len + 1;
      }
      if (at > n_) return false;
    }
    return w.ok;
  }

  bool swap_tables() {
    Sw f = sw(frag);
    for (size_t at = 0; at < uint64_t(s.frag_count) * 16; at += 16) {
      uint64_t start = f.sw(at, 8);
      uint32_t size = uint32_t(f.sw(at + 8, 4));
      f.sw(at + 12, 4);
      if (!fits(start, size & ((1u << 24) - 1), s.inode_start)) return false;
    }
    Sw e = sw(exp);
    if (has_export)
      for (size_t at = 0; at < uint64_t(s.inodes) * 8; at += 8) e.inode_ref(at, ino);
    Sw i = sw(id);
    for (size_t at = 0; at < size_t(s.id_count) * 4; at += 4) i.sw(at, 4);
    Sw k = sw(kv);
    for (size_t at = 0; at < kv.raw.size() && k.ok;) {
      uint64_t type = k.sw(at, 2), klen = k.sw(at + 2, 2);
      at += 4 + klen;
      uint64_t vlen = k.sw(at, 4);
      at += 4;
      if (type & 0x100) {
        if (vlen != 8) return false;
        k.inode_ref(at, kv);
      }
      at += vlen;
      if (at > kv.raw.size()) return false;
    }
    Sw x = sw(xid);
    for (size_t at = 0; at < xattr_count * 16; at += 16) {
      x.inode_ref(at, kv);
      x.sw(at + 8, 4);
      x.sw(at + 12, 4);
    }
    return f.ok && e.ok && i.ok && k.ok && x.ok;
  }

  // Positions of every new block from the current payload sizes.
  uint64_t layout() {
    uint64_t pos = s.inode_start;
    auto place = [&](Stream& st) {
      st.dst_start = pos;
      for (Block& b : st.blocks) {
        b.dst_rel = st.indexed ? pos : pos - st.dst_start;
        pos += 2 + b.payload.size();
      }
      st.dst_end = pos;
      if (st.indexed) {
        st.index_at = pos;
        pos += 8 * st.blocks.size();
      }
    };
    for (Stream* st : {&ino, &dir, &frag, &exp, &id, &kv, &xid}) place(*st);
    if (has_xattr) {
      // The header goes in front of the id index.
      xid.index_at = pos - 8 * xid.blocks.size();
      pos += 16;
    }
    return pos;
  }

  // Blocks get their final size in reference order: a block is encoded once
  // every block its references name has its place, which holds for images
  // written front to back (children before their directory). Where blocks
  // wait on each other, the first waiting one is stored, which fixes its size
  // without its content.
  struct Sched {
    std::vector<std::vector<size_t>> patches;  // per block, the references in it
    std::vector<bool> final;
  };
  std::map<const Stream*, Sched> sched;
  std::map<const Stream*, size_t> known;               // leading blocks with their final size
  std::map<const Stream*, std::vector<uint64_t>> rel;  // new relative position of block k, k <= known

  void advance(Stream& st) {
    Sched& sc = sched[&st];
    size_t& k = known[&st];
    std::vector<uint64_t>& r = rel[&st];
    while (k < st.blocks.size() && sc.final[k]) {
      r.push_back(r.back() + 2 + st.blocks[k].payload.size());
      ++k;
    }
  }

  void apply(const Patch& p) {
    uint64_t v = rel[p.target][p.k];
    if (p.inode) v = v << 16 | p.offset;
    put(p.in->data.data() + p.at, p.width, t.to.be, v);
  }

  bool ready(const Stream& st, size_t b) {
    for (size_t pi : sched[&st].patches[b])
      if (known[patches[pi].target] < patches[pi].k) return false;
    return true;
  }

  // Fixes block b's size: stored, or its content encoded now.
  bool settle(Stream& st, size_t b, bool store) {
    Block& bl = st.blocks[b];
    const uint8_t* c = st.data.data() + bl.off;
    sqfs_s32 r = 0;
    if (!store && !bl.stored && !st.force_stored && t.enc) {
      for (size_t pi : sched[&st].patches[b]) apply(patches[pi]);
      room.resize(std::max<size_t>(bl.len, 64));
      r = t.enc->do_block(t.enc, c, sqfs_u32(bl.len), room.data(), sqfs_u32(room.size()));
      if (r < 0) return fail("metadata compression failed");
    }
    if (r > 0 && size_t(r) < bl.len) {
      bl.payload.assign(room.begin(), room.begin() + r);
      bl.payload_stored = false;
    } else {
      bl.payload.assign(bl.len, 0);  // the content goes in when every reference is known
      bl.payload_stored = true;
    }
    sched[&st].final[b] = true;
    advance(st);
    return true;
  }

  bool encode_all() {
    Stream* all[] = {&ino, &dir, &frag, &exp, &id, &kv, &xid};
    for (Stream* st : all) {
      Sched& sc = sched[st];
      sc.patches.assign(st->blocks.size(), {});
      sc.final.assign(st->blocks.size(), false);
      known[st] = 0;
      rel[st] = {0};
    }
    for (size_t pi = 0; pi < patches.size(); ++pi) {
      const Patch& p = patches[pi];
      Stream& st = *p.in;
      // Every block a field's bytes fall in waits for it.
      auto it = std::upper_bound(st.blocks.begin(), st.blocks.end(), p.at,
                                 [](size_t at, const Block& bl) { return at < bl.off; });
      for (size_t b = size_t(it - st.blocks.begin()) - 1; b < st.blocks.size(); ++b) {
        const Block& bl = st.blocks[b];
        if (bl.off >= p.at + size_t(p.width)) break;
        sched[&st].patches[b].push_back(pi);
      }
    }
    for (Stream* st : all)
      for (size_t b = 0; b < st->blocks.size(); ++b)
        if (st->blocks[b].stored || st->force_stored || !t.enc)
          if (!settle(*st, b, true)) return false;
    for (;;) {
      bool progress = false, pending = false;
      for (Stream* st : all) {
        for (size_t b = known[st]; b < st->blocks.size(); ++b) {
          if (sched[st].final[b]) continue;
          pending = true;
          if (!ready(*st, b)) break;
          if (!settle(*st, b, false)) return false;
          progress = true;
        }
      }
      if (!pending) return true;
      if (progress) continue;
      for (Stream* st : all)
        if (known[st] < st->blocks.size()) {
          if (!settle(*st, known[st], true)) return false;
          break;
        }
    }
  }

  bool run(std::vector<uint8_t>& out) {
    if (!read_super() || !read_all()) return false;
    for (Stream* st : {&ino, &dir, &frag, &exp, &id, &kv, &xid}) st->data = st->raw;
    if (!swap_inodes()) return fail("inode table does not parse");
    if (!swap_dirs()) return fail("directory table does not parse");
    if (!swap_tables()) return fail("fragment, export, id or extended attribute table does not parse");
    if (!encode_all()) return false;
    uint64_t end = layout();
    for (const Patch& p : patches) apply(p);
    for (Stream* st : {&ino, &dir, &frag, &exp, &id, &kv, &xid})
      for (Block& b : st->blocks)
        if (b.payload_stored) b.payload.assign(st->data.begin() + long(b.off), st->data.begin() + long(b.off + b.len));
    return write(out, end);
  }

  bool write(std::vector<uint8_t>& out, uint64_t end) {
    const bool be = t.to.be, wbe = t.to.words_be();
    uint64_t total = t.pad4k ? (end + 4095) / 4096 * 4096 : end;
    try {
      out.assign(total, 0);
    } catch (const std::bad_alloc&) {
      return fail("out of memory");
    }
    std::memcpy(out.data(), in, size_t(s.inode_start));
    uint8_t* o = out.data();
    auto emit = [&](Stream& st) {
      for (Block& b : st.blocks) {
        uint64_t at = st.indexed ? b.dst_rel : st.dst_start + b.dst_rel;
        put(o + at, 2, wbe, b.payload.size() | (b.payload_stored ? 0x8000 : 0));
        std::memcpy(o + at + 2, b.payload.data(), b.payload.size());
      }
    };
    for (Stream* st : {&ino, &dir, &frag, &exp, &id, &kv, &xid}) emit(*st);
    for (Stream* st : {&frag, &exp, &id, &xid})
      for (size_t i = 0; i < st->blocks.size(); ++i)
        put(o + st->index_at + (st == &xid ? 16 : 0) + 8 * i, 8, be, st->blocks[i].dst_rel);
    uint64_t xattr_at = kNone;
    if (has_xattr) {
      xattr_at = xid.index_at;
      put(o + xattr_at, 8, be, kv.dst_start);
      put(o + xattr_at + 8, 4, be, xattr_count);
      put(o + xattr_at + 12, 4, be, 0);
    }
    uint64_t root = 0;
    if (!ino.map_ref(s.root, &root)) return fail("root inode reference names no block");
    put(o, 4, be, 0x73717368u);
    put(o + 4, 4, be, s.inodes);
    put(o + 8, 4, be, t.time_is_size ? end : s.mtime);
    put(o + 12, 4, be, s.block_size);
    put(o + 16, 4, be, s.frag_count);
    put(o + 20, 2, be, s.comp);
    put(o + 22, 2, be, s.block_log);
    put(o + 24, 2, be, s.flags);
    put(o + 26, 2, be, s.id_count);
    put(o + 28, 2, be, s.major);
    put(o + 30, 2, be, s.minor);
    put(o + 32, 8, be, root);
    put(o + 40, 8, be, end);
    put(o + 48, 8, be, id.index_at);
    put(o + 56, 8, be, xattr_at);
    put(o + 64, 8, be, s.inode_start);
    put(o + 72, 8, be, dir.dst_start);
    put(o + 80, 8, be, s.frag_count || s.frag_start != kNone ? frag.index_at : kNone);
    put(o + 88, 8, be, has_export ? exp.index_at : kNone);
    if (s.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) {
      // One stored block of options: u32 fields, gzip's last two u16.
      if (s.inode_start < 98 + 2) return fail("compressor options cut short");
      uint16_t w = uint16_t(get(in + 96, 2, t.from.words_be()));
      size_t len = w & 0x7FFF;
      if (!(w & 0x8000) || len > 64 || 98 + len > s.inode_start) return fail("compressor options are no stored block");
      put(o + 96, 2, wbe, w);
      for (size_t at = 0; at + 2 <= len;) {
        int width = s.comp == SQFS_COMP_GZIP && at >= 4 ? 2 : (at + 4 <= len ? 4 : 2);
        put(o + 98 + at, width, be, get(in + 98 + at, width, t.from.be));
        at += size_t(width);
      }
    }
    return true;
  }
};

bool walks(const uint8_t* buf, uint64_t start, uint64_t end, bool be_words) {
  uint64_t pos = start;
  while (pos < end) {
    if (pos + 2 > end) return false;
    size_t len = get(buf + pos, 2, be_words) & 0x7FFF;
    if (len == 0 || len > kMeta) return false;
    pos += 2 + len;
  }
  return pos == end && start < end;
}

}  // namespace

bool transcode4(const uint8_t* in, size_t n, Transcode4& t, std::vector<uint8_t>& out, std::string& why) {
  why.clear();
  Tx x(in, n, t, why);
  try {
    return x.run(out);
  } catch (const std::bad_alloc&) {
    why = "out of memory";
    return false;
  }
}

Order4 detect_order4_be(const uint8_t* buf, size_t size) {
  Order4 o{true, false};
  if (size < 96) return o;
  uint64_t ino = get(buf + 64, 8, true), dir = get(buf + 72, 8, true);
  if (ino >= dir || dir > size) return o;
  if (!walks(buf, ino, dir, true) && walks(buf, ino, dir, false)) o.le_words = true;
  return o;
}

bool first_compressed_block4(const uint8_t* buf, size_t size, Order4 o, const uint8_t** blk, size_t* len) {
  if (size < 96) return false;
  for (size_t field : {64, 72}) {
    uint64_t at = get(buf + field, 8, o.be);
    if (!fits(at, 2, size)) continue;
    uint16_t w = uint16_t(get(buf + at, 2, o.words_be()));
    size_t l = w & 0x7FFF;
    if ((w & 0x8000) || l == 0 || l > kMeta || !fits(at, 2 + l, size)) continue;
    *blk = buf + at + 2;
    *len = l;
    return true;
  }
  return false;
}

}  // namespace rs::sqfs
