// Saving an edit of a loaded 4.0 image by appending to its tables. The inode
// and directory tables keep every block they have; only the inodes and
// listings that change are written after them: the changed nodes, and each
// directory on the way from a change up to the root. The fragment, export and
// id tables keep the blocks whose entries did not change, and the extended
// attribute tables move as they are. What the new inodes and listings replace
// stays in the tables unreferenced, as replaced data stays in the data area;
// once the tables hold much more than the live entries need, the whole
// rebuild packs them again.
//
// Nodes are compared with digests taken when the image was loaded, so no
// operation on the tree has to record what it changed.
#include <sqfs/dir.h>
#include <sqfs/dir_writer.h>
#include <sqfs/id_table.h>
#include <sqfs/meta_reader.h>
#include <sqfs/meta_writer.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "squashfs/format4.h"
#include "squashfs/internal.h"
#include "util/endian.h"

namespace rs::sqfs {
namespace {

using namespace v4;

constexpr size_t kMetaBlock = 8192;
constexpr uint32_t kNone = 0xFFFFFFFFu;

// An edit this path does not take: the whole rebuild saves it.
struct NotAppendable {};

uint64_t mix(uint64_t h, uint64_t v) {
  h = (h ^ v) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}
uint64_t digest(const void* p, size_t n) {
  return std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(p), n));
}

// What a node's inode holds, as far as the tree says it.
uint64_t node_sig(const squashfs_entry* e) {
  const struct stat& s = e->stbuf;
  uint64_t h = mix(0x51A5, uint64_t(s.st_ino));
  h = mix(h, uint64_t(s.st_mode));
  h = mix(h, uint64_t(s.st_uid) << 32 | uint32_t(s.st_gid));
  h = mix(h, uint64_t(s.st_mtime));
  h = mix(h, uint64_t(s.st_rdev));
  if (is_dir(e)) {
    h = mix(h, e->parent ? uint64_t(e->parent->stbuf.st_ino) : 0);
  } else if (is_reg(e)) {
    const squashfs_stored& d = e->stored;
    h = mix(h, uint64_t(e->content_loaded) | uint64_t(d.valid) << 1);
    h = mix(h, uint64_t(s.st_size));
    if (d.valid) {
      h = mix(h, d.start);
      h = mix(h, uint64_t(d.fragment) << 32 | d.frag_offset);
      h = mix(h, d.file_size);
      h = mix(h, d.sparse);
      h = mix(h, digest(d.block_words.data(), d.block_words.size() * 4));
    }
  } else if (S_ISLNK(s.st_mode)) {
    h = mix(h, digest(e->buf.data(), e->buf.size()));
  }
  for (const squashfs_xattr& x : e->xattrs) {
    h = mix(h, digest(x.key.data(), x.key.size()));
    h = mix(h, digest(x.value.data(), x.value.size()));
  }
  return h | 1;  // 0 marks a node the image does not hold
}

// One directory entry; a listing's digest is the sum over its entries.
uint64_t entry_sig(const squashfs_entry* c) {
  return mix(digest(c->name.data(), c->name.size()),
             uint64_t(c->stbuf.st_ino) << 4 | ((c->stbuf.st_mode & S_IFMT) >> 12));
}

// Bytes of the inode table an inode of `e` takes, near enough.
uint64_t inode_bytes(const squashfs_entry* e) {
  if (is_reg(e)) return 32 + 4 * uint64_t(e->stored.block_words.size());
  if (S_ISLNK(e->stbuf.st_mode)) return 24 + e->buf.size();
  return 32;
}

// A metadata block as stored: a 2-byte header, then the bytes.
struct MetaOut {
  std::vector<uint8_t> bytes;
  void put(sqfs_compressor_t* c, const uint8_t* in, size_t n) {
    uint8_t tmp[kMetaBlock + 64];
    sqfs_s32 r = c->do_block(c, in, sqfs_u32(n), tmp, sizeof tmp);
    if (r < 0) build_fail("FATAL ERROR:metadata compression failed (%d)\n", int(r));
    const bool raw = r == 0 || size_t(r) >= n;
    const uint16_t hdr = raw ? uint16_t(n | 0x8000) : uint16_t(r);
    bytes.push_back(uint8_t(hdr));
    bytes.push_back(uint8_t(hdr >> 8));
    const uint8_t* src = raw ? in : tmp;
    bytes.insert(bytes.end(), src, src + (raw ? n : size_t(r)));
  }
};

// One block of new data to compress.
struct Job {
  const uint8_t* in = nullptr;
  uint32_t n = 0;
  bool raw = false;
  std::vector<uint8_t> out;
  uint32_t word = 0;
};

struct Appender {
  squashfs_data* img;
  State4* st;
  const sqfs_super_t& old;
  Codecs4 codecs;
  sqfs_compressor_t* meta_cmp = nullptr;
  uint64_t base = 0, data_start = 0;
  uint64_t dtab_end = 0;  // the old directory table's end

  // What the walk over the tree finds.
  std::vector<squashfs_entry*> dirs;                  // listings written anew, children first
  std::unordered_set<const squashfs_entry*> changed;  // nodes whose inode is written anew
  std::vector<squashfs_entry*> fresh;                 // regular files with new content
  std::vector<squashfs_entry*> unknown;               // nodes the image does not hold
  std::vector<std::pair<uint64_t, uint64_t>> live;    // stored extents in use
  std::vector<uint8_t> frag_live;
  std::vector<std::pair<uint64_t, const squashfs_entry*>> stored_files;  // size, node
  std::vector<uint8_t> used;                                             // inode numbers held
  uint64_t live_meta = 0;  // uncompressed bytes the live inodes and listings take, near enough
  // Directories of the tree are not all read: what the image holds is counted
  // from its export and inode tables, less what removals took since.
  bool partial = false;
  uint64_t new_meta = 0;   // uncompressed bytes of the inodes and listings written, near enough

  std::unordered_map<const squashfs_entry*, uint32_t> numbers;  // of the nodes the image does not hold
  uint32_t inode_count = 0;

  // The old listings of the directories written anew: inode number -> ref;
  // the old inode's extended attributes and parent.
  struct OldDir {
    std::unordered_map<uint32_t, uint64_t> refs;
    uint32_t xattr = kNone;
    uint32_t parent = 0;
  };
  std::unordered_map<const squashfs_entry*, OldDir> old_dirs;

  // New data of regular files.
  struct Placed {
    std::vector<uint32_t> words;
    FileLoc loc;
  };
  std::unordered_map<const squashfs_entry*, Placed> placed;
  std::vector<sqfs_fragment_t> frags;  // the whole new fragment table

  // Written inodes: node -> ref; and ids.
  std::unordered_map<const squashfs_entry*, uint64_t> refs;
  std::vector<uint32_t> ids;
  std::unordered_map<uint32_t, uint16_t> id_index;

  MemFile out;  // the new image from `base` on
  uint64_t itab_len = 0, dtab_len = 0;
  MemFile inodes, listings;
  Obj<sqfs_meta_writer_t> im, dm;
  Obj<sqfs_dir_writer_t> dw;

  Appender(squashfs_data* i, State4* s) : img(i), st(s), old(s->super) {}

  uint64_t pos() const { return base + out.size(); }
  void append(const void* p, size_t n) {
    if (!out.append(p, n)) build_fail("FATAL ERROR:Out of memory\n");
  }

  // Metadata blocks from `at` up to exactly `end`; false when they do not
  // chain so.
  bool blocks_chain(uint64_t at, uint64_t end) const {
    const uint8_t* b = st->file.data();
    while (at < end) {
      if (end - at < 2) return false;
      uint16_t h = load_le16(b + at);
      size_t n = h & 0x7FFF;
      if (n == 0 || n > kMetaBlock || end - at - 2 < n) return false;
      at += 2 + n;
    }
    return at == end;
  }

  // The positions of an indexed table's blocks.
  std::vector<uint64_t> index_of(uint64_t at, uint64_t count, size_t esize) const {
    if (!count) return {};
    const uint64_t nblocks = (count * esize + kMetaBlock - 1) / kMetaBlock;
    if (at > old.bytes_used || nblocks > (old.bytes_used - at) / 8) throw NotAppendable{};
    std::vector<uint64_t> v(nblocks);
    for (uint64_t i = 0; i < nblocks; ++i) {
      v[i] = load_le64(st->file.data() + at + 8 * i);
      if (v[i] < old.directory_table_start || v[i] >= at) throw NotAppendable{};
    }
    return v;
  }

  // A stored metadata block: its decoded bytes; the stored length in *len.
  std::vector<uint8_t> decode_block(uint64_t at, size_t* len) const {
    const uint8_t* b = st->file.data();
    if (at + 2 > old.bytes_used) throw NotAppendable{};
    uint16_t h = load_le16(b + at);
    size_t n = h & 0x7FFF;
    if (n == 0 || n > kMetaBlock || at + 2 + n > old.bytes_used) throw NotAppendable{};
    *len = 2 + n;
    if (h & 0x8000) return std::vector<uint8_t>(b + at + 2, b + at + 2 + n);
    std::vector<uint8_t> v(kMetaBlock);
    sqfs_s32 r = st->cmp->do_block(st->cmp.get(), b + at + 2, sqfs_u32(n), v.data(), sqfs_u32(v.size()));
    if (r <= 0) throw NotAppendable{};
    v.resize(size_t(r));
    return v;
  }

  // An indexed table written at the end: block i copied as stored when
  // keep(i), else made by fill(i) and compressed. The index's position.
  template <class Keep, class Fill>
  uint64_t put_table(size_t nblocks, const std::vector<uint64_t>& old_pos, sqfs_compressor_t* c, Keep keep,
                     Fill fill) {
    std::vector<uint8_t> index;
    for (size_t i = 0; i < nblocks; ++i) {
      uint64_t at = pos();
      for (int k = 0; k < 8; ++k) index.push_back(uint8_t(at >> (8 * k)));
      if (i < old_pos.size() && keep(i)) {
        size_t len = 0;
        decode_len(old_pos[i], &len);
        append(st->file.data() + old_pos[i], len);
        continue;
      }
      std::vector<uint8_t> raw = fill(i);
      MetaOut m;
      m.put(c, raw.data(), raw.size());
      append(m.bytes.data(), m.bytes.size());
    }
    uint64_t at = pos();
    append(index.data(), index.size());
    return at;
  }
  void decode_len(uint64_t at, size_t* len) const {
    if (at + 2 > old.bytes_used) throw NotAppendable{};
    size_t n = load_le16(st->file.data() + at) & 0x7FFF;
    if (n == 0 || n > kMetaBlock || at + 2 + n > old.bytes_used) throw NotAppendable{};
    *len = 2 + n;
  }

  // Step 1: where the old tables lie, and that they are laid out as this
  // path needs (each a chain of blocks, the inode table right before the
  // directory table).
  void find_tables() {
    const uint8_t* b = st->file.data();
    data_start = 96 + ((old.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) ? img->buffer.size() : 0);
    base = old.inode_table_start;
    if (base < data_start || old.directory_table_start < base || old.bytes_used > st->file.size())
      throw NotAppendable{};
    // The directory table ends where the first thing after it begins.
    uint64_t end = old.bytes_used;
    auto after = [&](uint64_t v) {
      if (v > old.directory_table_start && v < end) end = v;
    };
    after(old.fragment_table_start);
    if (old.fragment_entry_count && old.fragment_table_start + 8 <= old.bytes_used)
      after(load_le64(b + old.fragment_table_start));
    after(old.id_table_start);
    if (old.id_count && old.id_table_start + 8 <= old.bytes_used) after(load_le64(b + old.id_table_start));
    if ((old.flags & SQFS_FLAG_EXPORTABLE) && old.export_table_start != ~sqfs_u64(0)) {
      after(old.export_table_start);
      if (old.export_table_start + 8 <= old.bytes_used) after(load_le64(b + old.export_table_start));
    }
    if (old.xattr_id_table_start != ~sqfs_u64(0)) {
      after(old.xattr_id_table_start);
      if (old.xattr_id_table_start + 8 <= old.bytes_used) after(load_le64(b + old.xattr_id_table_start));
    }
    dtab_end = end;
    if (!blocks_chain(base, old.directory_table_start) || !blocks_chain(old.directory_table_start, dtab_end))
      throw NotAppendable{};
    itab_len = old.directory_table_start - base;
    dtab_len = dtab_end - old.directory_table_start;
  }

  // Step 2: every node compared with what the image holds; true when its
  // inode is written anew.
  bool scan(squashfs_entry* e) {
    bool self = !e->loaded_sig || node_sig(e) != e->loaded_sig;
    if (!e->loaded_sig) {
      unknown.push_back(e);
    } else {
      uint64_t n = uint64_t(e->stbuf.st_ino);
      if (n == 0 || n > old.inode_count || used[n]) throw NotAppendable{};
      used[n] = 1;
    }
    live_meta += inode_bytes(e);
    // A directory not read yet is as the image holds it, unless its own
    // inode changed: then its listing is written anew and read first.
    if (e->unread) {
      if (!self) return false;
      if (!squashfs_expand(e)) throw NotAppendable{};
    }
    if (!is_dir(e) && self) changed.insert(e);
    if (is_reg(e)) {
      const squashfs_stored& s = e->stored;
      if (e->content_loaded || !s.valid) {
        fresh.push_back(e);
      } else {
        uint64_t n = 0;
        for (uint32_t w : s.block_words) n += w & kSizeMask;
        if (n) live.emplace_back(s.start, s.start + n);
        if (s.fragment != kNone && s.fragment < frag_live.size()) frag_live[s.fragment] = 1;
        if (s.file_size) stored_files.emplace_back(s.file_size, e);
      }
    }
    if (!is_dir(e)) return self;
    bool listing = self;
    uint64_t kids = 0, count = 0;
    for (squashfs_entry* c = e->child; c; c = c->next) {
      kids += entry_sig(c);
      listing |= scan(c);
      live_meta += 8 + c->name.size();
      ++count;
    }
    live_meta += 12 * (count / 256 + 1);
    if (!e->loaded_sig || kids != e->loaded_kids) listing = true;
    if (listing) {
      dirs.push_back(e);
      changed.insert(e);
    }
    return listing;
  }

  void scan_tree() {
    used.assign(size_t(old.inode_count) + 1, 0);
    frag_live.assign(st->frags.size(), 0);
    partial = img->unread_dirs > 0;
    scan(img->root_entry);
    if (changed.empty()) throw NotAppendable{};
    if (partial) count_unread();
    // Nodes the image does not hold take the numbers nothing uses any more,
    // then new ones; one of them sharing a number is a new hard link.
    std::unordered_set<uint64_t> seen;
    uint32_t hole = 1;
    inode_count = old.inode_count;
    for (const squashfs_entry* e : unknown) {
      if (!is_dir(e) && !seen.insert(uint64_t(e->stbuf.st_ino)).second) throw NotAppendable{};
      while (hole <= old.inode_count && used[hole]) ++hole;
      uint32_t n = hole <= old.inode_count ? hole++ : ++inode_count;
      numbers[e] = n;
    }
    for (const squashfs_entry* e : unknown)
      if (!is_dir(e) && uint64_t(e->stbuf.st_ino) <= old.inode_count && used[size_t(e->stbuf.st_ino)])
        throw NotAppendable{};
    // Tables that hold far more than their live entries are packed again.
    if (dtab_end - base > 2 * live_meta + (16 << 10)) throw NotAppendable{};
  }

  uint32_t number_of(const squashfs_entry* e) const {
    auto it = numbers.find(e);
    return it != numbers.end() ? it->second : uint32_t(e->stbuf.st_ino);
  }

  // Step 3: the old listing of every directory written anew, parents first.
  void read_old_listings() {
    Obj<sqfs_meta_reader_t> ir(
        sqfs_meta_reader_create(&st->file.f, st->cmp.get(), old.inode_table_start, old.directory_table_start));
    Obj<sqfs_meta_reader_t> dr(sqfs_meta_reader_create(&st->file.f, st->cmp.get(), old.directory_table_start, dtab_end));
    if (!ir || !dr) build_fail("FATAL ERROR:Out of memory\n");
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
      const squashfs_entry* d = *it;
      if (!d->loaded_sig) continue;
      uint64_t ref = old.root_inode_ref;
      if (d != img->root_entry) {
        auto p = old_dirs.find(d->parent);
        if (p == old_dirs.end()) throw NotAppendable{};
        auto q = p->second.refs.find(uint32_t(d->stbuf.st_ino));
        if (q == p->second.refs.end()) throw NotAppendable{};  // moved here from elsewhere
        ref = q->second;
      }
      sqfs_inode_generic_t* raw = nullptr;
      if (sqfs_meta_reader_read_inode(ir.get(), &old, ref >> 16, ref & 0xFFFF, &raw) != 0)
        throw NotAppendable{};
      InodePtr in(raw);
      if (in->base.type != SQFS_INODE_DIR && in->base.type != SQFS_INODE_EXT_DIR) throw NotAppendable{};
      OldDir od;
      sqfs_inode_get_xattr_index(in.get(), &od.xattr);
      od.parent = in->base.type == SQFS_INODE_DIR ? in->data.dir.parent_inode : in->data.dir_ext.parent_inode;
      sqfs_readdir_state_t rs;
      if (sqfs_readdir_state_init(&rs, &old, in.get()) != 0) throw NotAppendable{};
      for (;;) {
        sqfs_dir_entry_t* ent = nullptr;
        sqfs_u32 inum = 0;
        sqfs_u64 iref = 0;
        int r = sqfs_meta_reader_readdir(dr.get(), &rs, &ent, &inum, &iref);
        if (r < 0) throw NotAppendable{};
        if (r > 0) break;
        sqfs_free(ent);
        od.refs[inum] = iref;
      }
      old_dirs.emplace(d, std::move(od));
    }
  }

  // Step 4: new content compressed and written after the kept data area,
  // tails packed into new fragment blocks.
  void place_data() {
    const uint32_t bs = old.block_size;
    const uint16_t fl = old.flags;
    std::vector<std::vector<uint8_t>> decoded(fresh.size());
    std::vector<const uint8_t*> content(fresh.size());
    std::vector<uint64_t> size(fresh.size());
    for (size_t i = 0; i < fresh.size(); ++i) {
      squashfs_entry* e = fresh[i];
      if (!e->content_loaded && squashfs_content(e, decoded[i]) < 0)
        build_fail("FATAL ERROR:cannot read %s\n", e->path.c_str());
      content[i] = e->content_loaded ? e->buf.data() : decoded[i].data();
      size[i] = e->content_loaded ? e->buf.size() : decoded[i].size();
    }
    // Content equal to a stored file or an earlier new one shares its data
    // where the image removes duplicates.
    std::vector<long> dup(fresh.size(), -1);
    std::vector<const squashfs_entry*> dup_stored(fresh.size(), nullptr);
    if (fl & SQFS_FLAG_NO_DUPLICATES) find_duplicates(content, size, dup, dup_stored);
    std::vector<Job> jobs;
    std::vector<std::vector<size_t>> file_jobs(fresh.size());
    std::vector<std::vector<uint8_t>> frag_blocks;
    struct Tail {
      size_t block;
      uint32_t off;
    };
    std::vector<Tail> tails(fresh.size(), {SIZE_MAX, 0});
    for (size_t i = 0; i < fresh.size(); ++i) {
      if (dup[i] >= 0 || dup_stored[i]) continue;
      uint64_t full = size[i] / bs, tail = size[i] % bs;
      bool frag = tail && !(fl & SQFS_FLAG_NO_FRAGMENTS) && (size[i] < bs || (fl & SQFS_FLAG_ALWAYS_FRAGMENTS));
      uint64_t nblocks = full + (tail && !frag ? 1 : 0);
      for (uint64_t k = 0; k < nblocks; ++k) {
        const uint8_t* blk = content[i] + k * bs;
        uint32_t n = uint32_t(std::min<uint64_t>(bs, size[i] - k * bs));
        if (n && blk[0] == 0 && !std::memcmp(blk, blk + 1, n - 1)) {
          file_jobs[i].push_back(SIZE_MAX);
          continue;
        }
        file_jobs[i].push_back(jobs.size());
        jobs.push_back({blk, n, bool(fl & SQFS_FLAG_UNCOMPRESSED_DATA), {}, 0});
      }
      if (frag) {
        if (frag_blocks.empty() || frag_blocks.back().size() + tail > bs) frag_blocks.emplace_back();
        tails[i] = {frag_blocks.size() - 1, uint32_t(frag_blocks.back().size())};
        const uint8_t* t = content[i] + full * bs;
        frag_blocks.back().insert(frag_blocks.back().end(), t, t + tail);
      }
    }
    const size_t first_frag_job = jobs.size();
    for (const auto& fb : frag_blocks)
      jobs.push_back({fb.data(), uint32_t(fb.size()), bool(fl & SQFS_FLAG_UNCOMPRESSED_FRAGMENTS), {}, 0});
    compress(jobs);
    frags = st->frags;
    for (size_t i = 0; i < fresh.size(); ++i) {
      if (dup[i] >= 0 || dup_stored[i]) continue;
      Placed p;
      p.loc.start = pos();
      p.loc.size = size[i];
      for (size_t j : file_jobs[i]) {
        if (j == SIZE_MAX) {
          p.loc.sparse += std::min<uint64_t>(bs, size[i] - p.words.size() * uint64_t(bs));
          p.words.push_back(0);
          continue;
        }
        append(jobs[j].out.data(), jobs[j].out.size());
        p.words.push_back(jobs[j].word);
      }
      if (tails[i].block != SIZE_MAX) {
        p.loc.frag = uint32_t(frags.size() + tails[i].block);
        p.loc.frag_off = tails[i].off;
      }
      placed.emplace(fresh[i], std::move(p));
    }
    for (size_t k = 0; k < frag_blocks.size(); ++k) {
      const Job& j = jobs[first_frag_job + k];
      sqfs_fragment_t f{};
      f.start_offset = pos();
      f.size = j.word;
      append(j.out.data(), j.out.size());
      frags.push_back(f);
    }
    for (size_t i = 0; i < fresh.size(); ++i) {
      Placed p;
      if (dup[i] >= 0) {
        p = placed.at(fresh[size_t(dup[i])]);
      } else if (const squashfs_entry* o = dup_stored[i]) {
        const squashfs_stored& s = o->stored;
        p.words = s.block_words;
        p.loc = {s.start, s.file_size, s.sparse, nullptr, s.fragment, s.frag_offset};
      } else {
        continue;
      }
      placed.emplace(fresh[i], std::move(p));
    }
    for (auto& [e, p] : placed) p.loc.words = &p.words;
  }

  void find_duplicates(const std::vector<const uint8_t*>& content, const std::vector<uint64_t>& size,
                       std::vector<long>& dup, std::vector<const squashfs_entry*>& dup_stored) {
    std::unordered_multimap<uint64_t, const squashfs_entry*> by_size;
    std::unordered_set<uint64_t> sizes(size.begin(), size.end());
    for (const auto& [n, e] : stored_files)
      if (sizes.count(n)) by_size.emplace(n, e);
    const uint32_t bs = old.block_size;
    for (size_t i = 0; i < content.size(); ++i) {
      for (size_t j = 0; j < i && dup[i] < 0; ++j)
        if (dup[j] < 0 && !dup_stored[j] && size[j] == size[i] && !std::memcmp(content[j], content[i], size[i]))
          dup[i] = long(j);
      if (dup[i] >= 0 || !size[i]) continue;
      auto range = by_size.equal_range(size[i]);
      std::vector<uint8_t> head(size_t(std::min<uint64_t>(size[i], bs))), whole;
      int tries = 0;
      for (auto it = range.first; it != range.second && tries < 256; ++it, ++tries) {
        if (read_range4(img, it->second, 0, head.data(), head.size()) != (long long)head.size() ||
            std::memcmp(head.data(), content[i], head.size()) != 0)
          continue;
        if (read_content4(img, it->second, whole) == 0 && whole.size() == size[i] &&
            !std::memcmp(whole.data(), content[i], size[i])) {
          dup_stored[i] = it->second;
          break;
        }
      }
    }
  }

  // Every job on all cores; the result does not depend on the thread count.
  void compress(std::vector<Job>& jobs) {
    size_t n_threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), jobs.size());
    std::atomic<size_t> next{0};
    std::atomic<int> failed{0};
    auto work = [&](sqfs_compressor_t* c) {
      for (size_t i; (i = next++) < jobs.size();) {
        Job& j = jobs[i];
        if (!j.raw) {
          j.out.resize(std::max<uint32_t>(j.n, 64));
          sqfs_s32 r = c->do_block(c, j.in, j.n, j.out.data(), uint32_t(j.out.size()));
          if (r < 0) {
            failed = r;
            return;
          }
          if (r > 0 && uint32_t(r) < j.n) {
            j.out.resize(size_t(r));
            j.word = uint32_t(r);
            continue;
          }
        }
        j.out.assign(j.in, j.in + j.n);
        j.word = j.n | kRawBit;
      }
    };
    std::vector<Obj<sqfs_compressor_t>> own;
    std::vector<std::thread> pool;
    try {
      for (size_t t = 1; t < n_threads; ++t) {
        sqfs_compressor_t* c = nullptr;
        if (make_compressor(&codecs.data_cfg, &c) != 0) break;
        own.emplace_back(c);
        pool.emplace_back(work, c);
      }
    } catch (const std::system_error&) {
      // fewer threads
    }
    work(codecs.data);
    for (auto& t : pool) t.join();
    if (failed) build_fail("FATAL ERROR:data compression failed (%d)\n", int(failed));
  }

  uint16_t id_of(uint32_t id) {
    auto [it, fresh_id] = id_index.try_emplace(id, uint16_t(ids.size()));
    if (fresh_id) {
      if (ids.size() >= 0xFFFF) build_fail("FATAL ERROR:too many user and group ids\n");
      ids.push_back(id);
    }
    return it->second;
  }

  void set_base(sqfs_inode_generic_t* in, const squashfs_entry* e) {
    in->base.mode = sqfs_u16(e->stbuf.st_mode);
    in->base.uid_idx = id_of(uint32_t(e->stbuf.st_uid));
    in->base.gid_idx = id_of(uint32_t(e->stbuf.st_gid));
    in->base.mod_time = sqfs_u32(e->stbuf.st_mtime);
    in->base.inode_number = number_of(e);
  }

  uint64_t write_inode(sqfs_inode_generic_t* in) {
    sqfs_u64 block = 0;
    sqfs_u32 offset = 0;
    sqfs_meta_writer_get_position(im.get(), &block, &offset);
    if (sqfs_meta_writer_write_inode(im.get(), in) != 0) build_fail("FATAL ERROR:write inode failed\n");
    return (itab_len + block) << 16 | offset;
  }

  // The inode of a node that is no directory, written anew.
  uint64_t leaf(const squashfs_entry* e) {
    if (!e->xattrs.empty()) throw NotAppendable{};  // its attribute index is not known here
    FileLoc loc;
    const FileLoc* f = nullptr;
    if (is_reg(e)) {
      auto it = placed.find(e);
      if (it != placed.end()) {
        f = &it->second.loc;
      } else {
        const squashfs_stored& s = e->stored;
        loc = {s.start, s.file_size, s.sparse, &s.block_words, s.fragment, s.frag_offset};
        f = &loc;
      }
    }
    InodePtr in = leaf_inode4(e, f, 1);
    set_base(in.get(), e);
    new_meta += inode_bytes(e);
    return write_inode(in.get());
  }

  // Step 5: the inodes and listings that change, children before their
  // directory; the old blocks of both tables kept in front of them.
  void write_metadata() {
    for (uint32_t i = 0; i < old.id_count; ++i) {
      sqfs_u32 id = 0;
      if (sqfs_id_table_index_to_id(st_ids.get(), sqfs_u16(i), &id) != 0) throw NotAppendable{};
      ids.push_back(id);
      id_index.emplace(id, uint16_t(i));
    }
    im = made(sqfs_meta_writer_create(&inodes.f, meta_cmp, 0));
    dm = made(sqfs_meta_writer_create(&listings.f, meta_cmp, SQFS_META_WRITER_KEEP_IN_MEMORY));
    dw = made(sqfs_dir_writer_create(dm.get(), 0));
    for (squashfs_entry* d : dirs) {
      std::vector<squashfs_entry*> kids = sorted_children(d);
      const OldDir* od = nullptr;
      if (auto it = old_dirs.find(d); it != old_dirs.end()) od = &it->second;
      std::vector<uint64_t> kid_refs;
      size_t subdirs = 0;
      for (squashfs_entry* c : kids) {
        if (is_dir(c)) ++subdirs;
        if (auto r = refs.find(c); r != refs.end()) {
          kid_refs.push_back(r->second);
          continue;
        }
        if (!changed.count(c) && od) {
          auto q = od->refs.find(uint32_t(c->stbuf.st_ino));
          if (q != od->refs.end()) {
            kid_refs.push_back(q->second);
            continue;
          }
        }
        if (is_dir(c)) throw NotAppendable{};  // a directory moved here keeps no known listing
        uint64_t ref = leaf(c);
        refs.emplace(c, ref);
        kid_refs.push_back(ref);
      }
      if (sqfs_dir_writer_begin(dw.get(), 0) != 0) build_fail("FATAL ERROR:dir writer failed\n");
      for (size_t i = 0; i < kids.size(); ++i)
        if (sqfs_dir_writer_add_entry(dw.get(), kids[i]->name.c_str(), number_of(kids[i]), kid_refs[i],
                                      sqfs_u16(kids[i]->stbuf.st_mode)) != 0)
          build_fail("FATAL ERROR:dir entry failed\n");
      if (sqfs_dir_writer_end(dw.get()) != 0) build_fail("FATAL ERROR:dir writer failed\n");
      new_meta += sqfs_dir_writer_get_size(dw.get()) + 40;
      uint32_t xattr = kNone;
      if (!d->xattrs.empty()) {
        if (!od || node_sig(d) != d->loaded_sig) throw NotAppendable{};
        xattr = od->xattr;
      }
      const bool root = d == img->root_entry;
      uint32_t parent = root ? (od ? od->parent : number_of(d)) : number_of(d->parent);
      InodePtr in(sqfs_dir_writer_create_inode(dw.get(), 0, xattr, parent));
      if (!in) build_fail("FATAL ERROR:Out of memory\n");
      set_base(in.get(), d);
      relocate_listing(in.get());
      const sqfs_u32 nlink = sqfs_u32(2 + subdirs);
      if (in->base.type == SQFS_INODE_EXT_DIR)
        in->data.dir_ext.nlink = nlink;
      else
        in->data.dir.nlink = nlink;
      refs[d] = write_inode(in.get());
    }
    if (sqfs_meta_writer_flush(im.get()) != 0 || sqfs_meta_writer_flush(dm.get()) != 0 ||
        sqfs_meta_write_write_to_file(dm.get()) != 0)
      build_fail("FATAL ERROR:metadata write failed\n");
    // The live entries stored as compactly as what was just written: tables
    // past twice that are packed again.
    const double ratio = std::clamp(double(inodes.size() + listings.size()) / double(std::max<uint64_t>(new_meta, 1)),
                                    0.05, 1.0);
    if (double(dtab_end - base) > 2 * ratio * double(live_meta) + (16 << 10)) throw NotAppendable{};
  }

  // A listing written after the old directory table: its place, and that of
  // each of its index entries, counted from the table's start.
  void relocate_listing(sqfs_inode_generic_t* in) const {
    const uint32_t shift = uint32_t(dtab_len);
    if (in->base.type == SQFS_INODE_DIR) {
      in->data.dir.start_block += shift;
      return;
    }
    in->data.dir_ext.start_block += shift;
    auto* p = reinterpret_cast<uint8_t*>(in->extra);
    size_t at = 0;
    while (at + 12 <= in->payload_bytes_used) {
      uint32_t start = 0, len = 0;
      std::memcpy(&start, p + at + 4, 4);
      std::memcpy(&len, p + at + 8, 4);
      start += shift;
      std::memcpy(p + at + 4, &start, 4);
      at += 12 + size_t(len) + 1;
    }
  }

  Obj<sqfs_id_table_t> st_ids;

  // Step 6: the image after the data: both tables, then the fragment,
  // export and id tables and the extended attributes; the superblock.
  std::array<uint8_t, 96> write_tail() {
    sqfs_super_t s = old;
    s.inode_table_start = pos();
    append(st->file.data() + base, size_t(itab_len));
    append(inodes.data(), inodes.size());
    s.directory_table_start = pos();
    append(st->file.data() + old.directory_table_start, size_t(dtab_len));
    append(listings.data(), listings.size());
    s.root_inode_ref = refs.at(img->root_entry);
    s.inode_count = inode_count;

    // Fragments: only ever appended, so the old full blocks stay.
    constexpr size_t kFragsPerBlock = kMetaBlock / 16;
    sqfs_compressor_t* fc = (old.flags & SQFS_FLAG_UNCOMPRESSED_FRAGMENTS) ? codecs.raw : codecs.meta;
    std::vector<uint64_t> old_frag_pos = index_of(old.fragment_table_start, old.fragment_entry_count, 16);
    const size_t old_full = old.fragment_entry_count / kFragsPerBlock;
    const bool grew = frags.size() != old.fragment_entry_count;
    s.fragment_entry_count = uint32_t(frags.size());
    s.fragment_table_start = put_table(
        (frags.size() + kFragsPerBlock - 1) / kFragsPerBlock, old_frag_pos, fc,
        [&](size_t i) { return i < old_full || !grew; },
        [&](size_t i) {
          std::vector<uint8_t> v;
          for (size_t k = i * kFragsPerBlock; k < frags.size() && k < (i + 1) * kFragsPerBlock; ++k) {
            uint8_t e[16] = {};
            store_le64(e, frags[k].start_offset);
            store_le32(e + 8, frags[k].size);
            v.insert(v.end(), e, e + 16);
          }
          return v;
        });

    // Export table: the blocks holding a number whose inode moved are new.
    if ((old.flags & SQFS_FLAG_EXPORTABLE) && old.export_table_start != ~sqfs_u64(0)) {
      constexpr size_t kPerBlock = kMetaBlock / 8;
      std::vector<uint64_t> old_pos = index_of(old.export_table_start, old.inode_count, 8);
      std::unordered_map<uint32_t, uint64_t> moved;
      std::vector<uint8_t> touched((inode_count + kPerBlock - 1) / kPerBlock + 1, 0);
      for (const auto& [e, ref] : refs) {
        uint32_t n = number_of(e);
        moved[n] = ref;
        touched[(n - 1) / kPerBlock] = 1;
      }
      const size_t nblocks = (inode_count + kPerBlock - 1) / kPerBlock;
      s.export_table_start = put_table(
          nblocks, old_pos, meta_cmp,
          [&](size_t i) { return !touched[i] && (i + 1 < old_pos.size() || inode_count == old.inode_count); },
          [&](size_t i) {
            std::vector<uint8_t> v;
            if (i < old_pos.size()) {
              size_t len = 0;
              v = decode_block(old_pos[i], &len);
            }
            const size_t first = i * kPerBlock;
            const size_t count = std::min<size_t>(kPerBlock, inode_count - first);
            v.resize(count * 8, 0);
            for (size_t k = 0; k < count; ++k)
              if (auto it = moved.find(uint32_t(first + k + 1)); it != moved.end()) store_le64(v.data() + 8 * k, it->second);
            return v;
          });
    }

    // Ids: old ones keep their index, new ones follow.
    constexpr size_t kIdsPerBlock = kMetaBlock / 4;
    std::vector<uint64_t> old_id_pos = index_of(old.id_table_start, old.id_count, 4);
    const size_t ids_full = old.id_count / kIdsPerBlock;
    const bool more_ids = ids.size() != old.id_count;
    s.id_count = uint16_t(ids.size());
    s.id_table_start = put_table(
        (ids.size() + kIdsPerBlock - 1) / kIdsPerBlock, old_id_pos,
        (old.flags & SQFS_FLAG_UNCOMPRESSED_IDS) ? codecs.raw : codecs.meta,
        [&](size_t i) { return i < ids_full || !more_ids; },
        [&](size_t i) {
          std::vector<uint8_t> v;
          for (size_t k = i * kIdsPerBlock; k < ids.size() && k < (i + 1) * kIdsPerBlock; ++k) {
            uint8_t e[4];
            store_le32(e, ids[k]);
            v.insert(v.end(), e, e + 4);
          }
          return v;
        });

    // Extended attributes move as one piece: their positions are counted from
    // the start of their key-value blocks, save the two that say where.
    if (old.xattr_id_table_start != ~sqfs_u64(0)) {
      const uint8_t* b = st->file.data();
      const uint64_t hdr = old.xattr_id_table_start;
      if (hdr + 16 > old.bytes_used) throw NotAppendable{};
      const uint64_t kv = load_le64(b + hdr);
      const uint64_t count = load_le32(b + hdr + 8);
      const uint64_t nidx = (count * 16 + kMetaBlock - 1) / kMetaBlock;
      const uint64_t end = hdr + 16 + 8 * nidx;
      if (kv < dtab_end || kv > hdr || end > old.bytes_used) throw NotAppendable{};
      const uint64_t at = pos();
      const uint64_t shift = at - kv;
      append(b + kv, size_t(end - kv));
      uint8_t* moved = out.buf + (at - base);
      store_le64(moved + (hdr - kv), kv + shift);
      for (uint64_t i = 0; i < nidx; ++i) {
        uint8_t* p = moved + (hdr - kv) + 16 + 8 * i;
        uint64_t v = load_le64(p);
        if (v < kv || v >= hdr) throw NotAppendable{};
        store_le64(p, v + shift);
      }
      s.xattr_id_table_start = hdr + shift;
    }

    s.bytes_used = pos();
    s.modification_time = img->p4.time_is_size ? sqfs_u32(s.bytes_used) : sqfs_u32(time(nullptr));
    MemFile sb;
    if (sqfs_super_write(&s, &sb.f) != 0 || sb.size() < 96) build_fail("FATAL ERROR:super block write failed\n");
    std::array<uint8_t, 96> head{};
    std::memcpy(head.data(), sb.data(), 96);
    const size_t len = (pos() + 4095) / 4096 * 4096;
    if (!out.resize(len - base)) build_fail("FATAL ERROR:Out of memory\n");
    return head;
  }

  // Bytes of the kept data area nothing refers to any more: what replaced
  // files and fragment blocks with no live tail left behind.
  uint64_t dead_bytes() {
    std::sort(live.begin(), live.end());
    uint64_t used_bytes = 0, reach = data_start;
    for (const auto& [a, b] : live) {
      if (b <= reach) continue;
      used_bytes += b - std::max(a, reach);
      reach = b;
    }
    for (size_t i = 0; i < frag_live.size(); ++i)
      if (frag_live[i] && st->frags[i].start_offset < base) used_bytes += st->frags[i].size & kSizeMask;
    const uint64_t area = base - data_start;
    return used_bytes >= area ? 0 : area - used_bytes;
  }

  // On a tree not read in full: every inode the export table leads to, read
  // in table order (each metadata block decoded once), stands for what the
  // image holds; what removals took since the image was read comes off.
  // Without an export table (or with hard links) this path declines, and the
  // caller reads the whole tree and counts it.
  void count_unread() {
    if (!(old.flags & SQFS_FLAG_EXPORTABLE) || old.export_table_start == ~sqfs_u64(0)) throw NotAppendable{};
    constexpr size_t kPerBlock = kMetaBlock / 8;
    const std::vector<uint64_t> blocks = index_of(old.export_table_start, old.inode_count, 8);
    std::vector<std::pair<uint64_t, uint32_t>> at;  // inode ref, number
    at.reserve(old.inode_count);
    for (size_t i = 0; i < blocks.size(); ++i) {
      size_t len = 0;
      const std::vector<uint8_t> v = decode_block(blocks[i], &len);
      const size_t first = i * kPerBlock, count = std::min<size_t>(kPerBlock, old.inode_count - first);
      if (v.size() < count * 8) throw NotAppendable{};
      for (size_t k = 0; k < count; ++k) at.emplace_back(load_le64(v.data() + 8 * k), uint32_t(first + k + 1));
    }
    std::sort(at.begin(), at.end());
    // Every inode block not decoded yet, decoded on all cores first.
    std::vector<uint64_t> inode_blocks;
    for (const auto& [ref, n] : at)
      if (inode_blocks.empty() || inode_blocks.back() != old.inode_table_start + (ref >> 16))
        inode_blocks.push_back(old.inode_table_start + (ref >> 16));
    prefetch_meta(st, std::move(inode_blocks));
    Obj<sqfs_meta_reader_t> mr(
        sqfs_meta_reader_create(&st->file.f, st->cmp.get(), old.inode_table_start, old.bytes_used));
    if (!mr) throw NotAppendable{};
    std::vector<uint8_t> held(used.size(), 0);
    std::vector<uint32_t> tails(st->frags.size(), 0);
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    uint64_t meta = 0;
    for (const auto& [ref, n] : at) {
      sqfs_inode_generic_t* raw = nullptr;
      if (sqfs_meta_reader_read_inode(mr.get(), &old, ref >> 16, ref & 0xFFFF, &raw) != 0)
        throw NotAppendable{};
      InodePtr in(raw);
      if (in->base.inode_number != n) throw NotAppendable{};
      held[n] = 1;
      const int type = in->base.type >= SQFS_INODE_EXT_DIR ? in->base.type - 7 : in->base.type;
      if (type == SQFS_INODE_DIR) {
        meta += 32 + listing_size(in.get());
        continue;
      }
      const uint32_t links = links_of_inode(in.get());
      // Hard links anywhere in the image: the whole rebuild saves it.
      if (links > 1) throw NotAppendable{};
      if (type != SQFS_INODE_FILE) {
        meta += type == SQFS_INODE_SLINK ? 24 + in->payload_bytes_used : 32;
        continue;
      }
      const size_t count = in->payload_bytes_used / 4;
      meta += 32 + 4 * count;
      sqfs_u64 start = 0;
      sqfs_u32 frag = kNone, off = 0;
      sqfs_inode_get_file_block_start(in.get(), &start);
      sqfs_inode_get_frag_location(in.get(), &frag, &off);
      uint64_t end = start;
      for (size_t k = 0; k < count; ++k) end += in->extra[k] & kSizeMask;
      if (end > start) extents.emplace_back(start, end);
      if (frag != kNone && frag < tails.size()) ++tails[frag];
    }
    // Less what went since the image was read; the nodes read are counted already.
    std::sort(extents.begin(), extents.end());
    for (const squashfs_data::dropped_file& d : img->dropped_files) {
      auto it = std::lower_bound(extents.begin(), extents.end(), std::make_pair(d.start, d.end));
      if (d.end > d.start && it != extents.end() && *it == std::make_pair(d.start, d.end)) it->second = it->first;
      if (d.fragment != kNone && d.fragment < tails.size() && tails[d.fragment]) --tails[d.fragment];
    }
    for (uint32_t n : img->freed_numbers)
      if (n < held.size() && !used[n]) held[n] = 0;
    for (size_t n = 1; n < used.size(); ++n) used[n] = used[n] | held[n];
    for (const auto& x : extents)
      if (x.second > x.first) live.push_back(x);
    for (size_t i = 0; i < tails.size(); ++i) frag_live[i] = frag_live[i] | uint8_t(tails[i] > 0);
    live_meta = std::max(live_meta, meta);
  }

  void run(InPlace4& r) {
    codecs = codecs4(img);
    meta_cmp = (old.flags & SQFS_FLAG_UNCOMPRESSED_INODES) ? codecs.raw : codecs.meta;
    st_ids = made(sqfs_id_table_create(0));
    if (sqfs_id_table_read(st_ids.get(), &st->file.f, &old, st->cmp.get()) != 0) throw NotAppendable{};
    find_tables();
    scan_tree();
    read_old_listings();
    place_data();
    write_metadata();
    r.super = write_tail();
    r.dead = dead_bytes();
    r.tail_at = base;
    r.tail_len = out.size();
    r.length = base + out.size();
    r.tail.reset(out.release());
    r.partial = true;
    for (const squashfs_entry* e : unknown)
      if (!placed.count(e)) r.nodes.push_back({const_cast<squashfs_entry*>(e), numbers.at(e), -1});
    for (auto& [e, p] : placed) {
      squashfs_stored s;
      s.valid = true;
      s.start = p.loc.start;
      s.block_words = p.words;
      s.fragment = p.loc.frag;
      s.frag_offset = p.loc.frag == kNone ? 0 : p.loc.frag_off;
      s.file_size = p.loc.size;
      s.sparse = p.loc.sparse;
      r.stored.push_back(std::move(s));
      r.nodes.push_back({const_cast<squashfs_entry*>(e), number_of(e), long(r.stored.size() - 1)});
    }
  }

  template <class T>
  static Obj<T> made(T* p) {
    if (!p) build_fail("FATAL ERROR:Out of memory allocating builder state\n");
    return Obj<T>(p);
  }
};

}  // namespace

void mark_loaded4(squashfs_entry* root) {
  squashfs_data* img = root->image;
  std::vector<uint8_t> seen(size_t(std::max(img->last_node, 1)) + 1, 0);
  bool links = false;
  std::vector<squashfs_entry*> todo{root};
  while (!todo.empty()) {
    squashfs_entry* e = todo.back();
    todo.pop_back();
    e->loaded_sig = node_sig(e);
    if (!is_dir(e)) {
      uint64_t n = uint64_t(e->stbuf.st_ino);
      // With directories unread the other names of an inode may be among
      // them: a node whose inode has more than one counts as a hard link.
      if (n >= seen.size() || seen[n] || (img->unread_dirs && e->image_links > 1)) links = true;
      if (n < seen.size()) seen[n] = 1;
      continue;
    }
    uint64_t kids = 0;
    for (squashfs_entry* c = e->child; c; c = c->next) {
      kids += entry_sig(c);
      todo.push_back(c);
    }
    e->loaded_kids = kids;
  }
  img->loaded_links = links;
}

void mark_expanded4(squashfs_entry* dir) {
  uint64_t kids = 0;
  for (squashfs_entry* c = dir->child; c; c = c->next) {
    c->loaded_sig = node_sig(c);
    kids += entry_sig(c);
    if (!is_dir(c) && c->image_links > 1) dir->image->loaded_links = true;
  }
  dir->loaded_kids = kids;
}

bool append_image4_in_place(squashfs_entry* root, InPlace4& r) {
  squashfs_data* img = root->image;
  State4* st = img->image_bytes && img->loaded_version == 4 ? state_of(img) : nullptr;
  if (!st || img->loaded_links || img->p4.big_endian || img->image_bytes != st->file.data() || !img->root_entry)
    return false;
  if (st->super.block_size != img->p4.block_size || st->super.compression_id != img->p4.compressor) return false;
  try {
    Appender a(img, st);
    a.run(r);
    return true;
  } catch (const NotAppendable&) {
  } catch (const BuildError&) {
  } catch (const std::bad_alloc&) {
  }
  r = InPlace4{};
  return false;
}

}  // namespace rs::sqfs
