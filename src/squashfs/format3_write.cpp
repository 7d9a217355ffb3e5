// Builder of squashfs 3.x images (either byte order, plain, LZMA variant or 'L'
// minor), laid out as the 3.x tools do: data and fragment blocks, inode table,
// directory table, fragment table, export table, uid and gid tables; superblock
// written last. 2.x images (format2.h) are built by the same code: their data
// and tables lie alike, only inodes, listings, fragment entries and the
// superblock differ, and they have no export table.
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>

#include "squashfs/codec3.h"
#include "squashfs/format2.h"
#include "squashfs/format3.h"
#include "squashfs/internal.h"
#include "util/endian.h"

namespace rs::sqfs {
namespace {

using namespace v3;

bool g_lzma = true;  // cleared only for images checked by zlib-only tools

// A metadata table written as 8192-byte chunks while it grows, so that the
// position of the chunk holding any byte already appended is known.
struct MetaStream {
  Order o;
  bool compress = true;
  bool check = false;
  BlockCodec codec;
  uint32_t dict = 0;
  std::vector<uint8_t> pending;
  std::vector<uint8_t> blocks;  // the written metadata blocks

  uint32_t chunk_pos() const { return uint32_t(blocks.size()); }
  uint16_t offset() const { return uint16_t(pending.size()); }

  void emit(const uint8_t* p, size_t n) {
    std::vector<uint8_t> c;
    if (compress) c = encode_block(codec, p, n, dict);
    if (!c.empty()) {
      o.put16(blocks, uint16_t(c.size()));
      if (check) blocks.push_back(0xFF);
      blocks.insert(blocks.end(), c.begin(), c.end());
    } else {
      o.put16(blocks, uint16_t(n | kMetaStored));
      if (check) blocks.push_back(0xFF);
      blocks.insert(blocks.end(), p, p + n);
    }
  }

  void append(const uint8_t* p, size_t n) {
    pending.insert(pending.end(), p, p + n);
    while (pending.size() >= kMetaChunk) {
      emit(pending.data(), kMetaChunk);
      pending.erase(pending.begin(), pending.begin() + kMetaChunk);
    }
  }
  void append(const std::vector<uint8_t>& v) { append(v.data(), v.size()); }
  void finish() {
    if (!pending.empty()) emit(pending.data(), pending.size());
    pending.clear();
  }
};

using StatKey = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t, int64_t, int64_t, uint64_t>;

StatKey key_of(const squashfs_entry* e) {
  const struct stat& s = e->stbuf;
  return {uint64_t(s.st_ino), uint32_t(s.st_mode), uint32_t(s.st_uid), uint32_t(s.st_gid),
          int64_t(s.st_size), int64_t(s.st_mtime), uint64_t(s.st_rdev)};
}

struct Group {
  uint32_t number = 0;
  uint32_t links = 0;
  squashfs_entry* node = nullptr;
  // regular files
  std::vector<uint32_t> words;  // block size words
  uint64_t start = 0;
  uint32_t fragment = kNoFragment;
  uint32_t frag_offset = 0;
  uint64_t size = 0;  // file size
  bool copy = false;  // stored blocks and fragment copied from the loaded image
  bool written = false;
  uint64_t ref = 0;
};

// One block to compress: a slice of a file's content or an assembled fragment block.
struct Job {
  const uint8_t* data;
  size_t len;
  bool compress;
  bool hole = false;
  std::vector<uint8_t> out;  // empty: stored
};

struct Builder3 {
  Order o;
  int major = 3;
  bool lzma = true;        // LZMA blocks allowed: magic "shsq"/"qshs"
  BlockCodec codec;        // how new blocks are framed
  uint32_t mkfs_time = 0;  // 2.x: kept from the loaded image
  squashfs_params3 p;
  uint8_t flags = 0;
  std::vector<uint8_t> out;
  std::map<StatKey, Group> groups;
  std::map<const squashfs_entry*, Group> dirs;
  uint32_t next_number = 1;
  std::vector<uint32_t> uids, gids;
  std::vector<std::pair<uint64_t, uint32_t>> frag_entries;
  std::vector<std::vector<uint8_t>> frag_blocks;
  std::map<uint32_t, uint64_t> refs_by_number;
  MetaStream inodes, dirtab;
  Loaded3* src = nullptr;                 // the loaded image, when its blocks may be copied
  std::deque<std::vector<uint8_t>> held;  // contents decoded for this rebuild

  Group& group(squashfs_entry* e) {
    Group& g = is_dir(e) ? dirs[e] : groups[key_of(e)];
    if (!g.number) {
      g.number = next_number++;
      g.node = e;
    }
    return g;
  }

  void number(squashfs_entry* dir) {
    for (squashfs_entry* c : sorted_children(dir)) {
      ++group(c).links;
      if (is_dir(c)) number(c);
    }
  }

  void collect_files(squashfs_entry* dir, std::vector<Group*>& files) {
    for (squashfs_entry* c : sorted_children(dir)) {
      if (is_dir(c)) {
        collect_files(c, files);
      } else if (is_reg(c)) {
        Group& g = group(c);
        if (!g.written) {
          g.written = true;
          files.push_back(&g);
        }
      }
    }
  }

  static void run_jobs(std::vector<Job>& jobs, uint32_t dict, const BlockCodec& codec) {
    std::atomic<size_t> next{0};
    std::atomic<bool> out_of_memory{false};
    auto work = [&] {
      for (size_t i; (i = next++) < jobs.size();) {
        Job& j = jobs[i];
        try {
          if (j.compress && !j.hole) j.out = encode_block(codec, j.data, j.len, dict);
        } catch (const std::bad_alloc&) {
          out_of_memory = true;
          next = jobs.size();
        }
      }
    };
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    try {
      for (unsigned i = 1; i < n; ++i) pool.emplace_back(work);
    } catch (const std::system_error&) {
      // The threads already running must end before the rebuild is abandoned.
      next = jobs.size();
      for (auto& t : pool) t.join();
      build_fail("FATAL ERROR:Failed to create thread\n");
    }
    work();
    for (auto& t : pool) t.join();
    if (out_of_memory) build_fail("FATAL ERROR:Out of memory\n");
  }

  // True when `e`'s stored blocks and fragment can go into the new image as they are.
  bool copyable(const squashfs_entry* e) const { return src && !e->content_loaded && e->stored.valid; }

  // Content of a file that has to be compressed anew.
  const std::vector<uint8_t>& content_of(squashfs_entry* e) {
    if (e->content_loaded) return e->buf;
    held.emplace_back();
    if (squashfs_content(e, held.back()) < 0) build_fail("FATAL ERROR:Could not read %s\n", e->path.c_str());
    return held.back();
  }

  // Plans every data and fragment block, compresses the new ones on all cores
  // (output does not depend on the thread count), then lays them out in file
  // order. Blocks of unchanged files are copied as stored, and so are fragment
  // blocks whose tails are all still there; tails of fragment blocks that lost
  // a member are packed again with the new ones.
  void write_data(squashfs_entry* root) {
    std::vector<Group*> files;
    collect_files(root, files);
    const uint32_t bs = p.block_size;

    struct Use {
      std::set<std::pair<uint32_t, uint32_t>> tails;
    };
    std::map<uint32_t, Use> used;  // loaded fragment block -> tails still referenced
    for (Group* g : files) {
      squashfs_entry* e = g->node;
      g->copy = copyable(e);
      g->size = g->copy ? e->stored.file_size : e->buf.size();
      if (g->copy && e->stored.fragment != kNoFragment)
        used[e->stored.fragment].tails.emplace(e->stored.frag_offset, uint32_t(g->size % bs));
    }
    std::map<uint32_t, uint32_t> kept;                                         // loaded index -> new index
    std::map<uint32_t, std::shared_ptr<const std::vector<uint8_t>>> unpacked;  // loaded blocks to pack again
    for (auto& [f, u] : used) {
      bool whole = u.tails == src->frags[f].members;
      if (!whole) {
        auto d = src->fragment(f);
        bool fits = d != nullptr;
        for (auto& [off, len] : u.tails) fits = fits && uint64_t(off) + len <= d->size();
        if (fits)
          unpacked[f] = std::move(d);
        else
          whole = true;
      }
      if (whole) {
        uint32_t n = uint32_t(kept.size());
        kept[f] = n;
      }
    }

    struct Plan {
      Group* g;
      size_t first_job, nblocks;
    };
    std::vector<Plan> plans;
    std::vector<Job> jobs;
    std::vector<std::vector<uint8_t>> frag_data(1);
    auto add_tail = [&](Group* g, const uint8_t* tail, size_t n) {
      if (frag_data.back().size() + n > bs) frag_data.emplace_back();
      g->fragment = uint32_t(kept.size() + frag_data.size() - 1);
      g->frag_offset = uint32_t(frag_data.back().size());
      frag_data.back().insert(frag_data.back().end(), tail, tail + n);
    };
    for (Group* g : files) {
      squashfs_entry* e = g->node;
      if (g->copy) {
        plans.push_back({g, 0, e->stored.block_words.size()});
        uint32_t f = e->stored.fragment;
        if (f == kNoFragment) continue;
        if (auto k = kept.find(f); k != kept.end()) {
          g->fragment = k->second;
          g->frag_offset = e->stored.frag_offset;
        } else {
          add_tail(g, unpacked[f]->data() + e->stored.frag_offset, size_t(g->size % bs));
        }
        continue;
      }
      const std::vector<uint8_t>& buf = content_of(e);
      size_t n = buf.size();
      g->size = n;
      bool frag = n && !(flags & kNoFragments) && (n < bs || (flags & kAlwaysFrags)) && n % bs;
      size_t nblocks = frag ? n / bs : (n + bs - 1) / bs;
      plans.push_back({g, jobs.size(), nblocks});
      for (size_t i = 0; i < nblocks; ++i) {
        size_t len = std::min<size_t>(bs, n - i * bs);
        Job j{buf.data() + i * bs, len, !(flags & kNoData), false, {}};
        // Holes exist in 3.1 only; older readers misread them, and whether
        // the 'L' kind's readers take them is not known.
        j.hole = major == 3 && p.minor == 1 && std::all_of(j.data, j.data + len, [](uint8_t b) { return b == 0; });
        jobs.push_back(std::move(j));
      }
      if (frag) add_tail(g, buf.data() + (n - n % bs), n % bs);
    }
    if (frag_data.back().empty()) frag_data.pop_back();
    size_t first_frag_job = jobs.size();
    for (auto& f : frag_data) jobs.push_back(Job{f.data(), f.size(), !(flags & kNoFrags), false, {}});
    run_jobs(jobs, bs, codec);

    // Files that shared their stored blocks (duplicates) keep sharing them.
    std::map<std::pair<uint64_t, std::vector<uint32_t>>, uint64_t> copied;
    for (Plan& pl : plans) {
      Group* g = pl.g;
      if (g->copy) {
        const squashfs_stored& st = g->node->stored;
        g->words = st.block_words;
        if (g->words.empty()) {
          g->start = 0;
          continue;
        }
        auto [it, fresh] = copied.try_emplace({st.start, st.block_words}, out.size());
        g->start = it->second;
        if (fresh) {
          uint64_t len = 0;
          for (uint32_t w : st.block_words) len += w & 0xFFFFFF;
          out.insert(out.end(), src->img + st.start, src->img + st.start + len);
        }
        continue;
      }
      g->start = pl.nblocks ? out.size() : 0;
      for (size_t i = 0; i < pl.nblocks; ++i) {
        Job& j = jobs[pl.first_job + i];
        if (j.hole) {
          g->words.push_back(0);
        } else if (!j.out.empty()) {
          g->words.push_back(uint32_t(j.out.size()));
          out.insert(out.end(), j.out.begin(), j.out.end());
        } else {
          g->words.push_back(uint32_t(j.len) | kDataStored);
          out.insert(out.end(), j.data, j.data + j.len);
        }
      }
    }
    std::vector<uint32_t> kept_order(kept.size());
    for (auto& [f, n] : kept) kept_order[n] = f;
    for (uint32_t f : kept_order) {
      const Loaded3::Fragment& fr = src->frags[f];
      frag_entries.emplace_back(out.size(), fr.word);
      out.insert(out.end(), src->img + fr.start, src->img + fr.start + (fr.word & 0xFFFFFF));
    }
    for (size_t i = first_frag_job; i < jobs.size(); ++i) {
      Job& j = jobs[i];
      uint64_t at = out.size();
      if (!j.out.empty()) {
        frag_entries.emplace_back(at, uint32_t(j.out.size()));
        out.insert(out.end(), j.out.begin(), j.out.end());
      } else {
        frag_entries.emplace_back(at, uint32_t(j.len) | kDataStored);
        out.insert(out.end(), j.data, j.data + j.len);
      }
    }
  }

  uint8_t uid_index(uint32_t uid) {
    auto it = std::find(uids.begin(), uids.end(), uid);
    if (it != uids.end()) return uint8_t(it - uids.begin());
    if (uids.size() >= 255) build_fail("FATAL ERROR:Out of uids\n");
    uids.push_back(uid);
    return uint8_t(uids.size() - 1);
  }
  uint8_t gid_index(uint32_t gid, uint32_t uid) {
    if (gid == uid) return 255;
    auto it = std::find(gids.begin(), gids.end(), gid);
    if (it != gids.end()) return uint8_t(it - gids.begin());
    if (gids.size() >= 255) build_fail("FATAL ERROR:Out of gids\n");
    gids.push_back(gid);
    return uint8_t(gids.size() - 1);
  }

  // The base inode header: 2.x has only type, mode and owner indexes.
  std::vector<uint8_t> base(squashfs_entry* e, int type, uint32_t number) {
    std::vector<uint8_t> v;
    o.put16(v, o.type_mode(type, unsigned(e->stbuf.st_mode)));
    uint32_t uid = uint32_t(e->stbuf.st_uid), gid = uint32_t(e->stbuf.st_gid);
    v.push_back(uid_index(uid));
    v.push_back(gid_index(gid, uid));
    if (major == 2) return v;
    o.put32(v, uint32_t(e->stbuf.st_mtime));
    o.put32(v, number);
    return v;
  }

  uint64_t write_inode(const std::vector<uint8_t>& v, uint32_t number) {
    uint64_t ref = uint64_t(inodes.chunk_pos()) << 16 | inodes.offset();
    inodes.append(v);
    refs_by_number[number] = ref;
    return ref;
  }

  static int basic_type(mode_t m) {
    switch (m & S_IFMT) {
      case S_IFDIR:
        return 1;
      case S_IFREG:
        return 2;
      case S_IFLNK:
        return 3;
      case S_IFBLK:
        return 4;
      case S_IFCHR:
        return 5;
      case S_IFIFO:
        return 6;
      default:
        return 7;
    }
  }

  // 2.x: no link counts, no long file inodes, 32-bit start and size.
  std::vector<uint8_t> leaf_inode2(squashfs_entry* e, Group& g, int t) {
    std::vector<uint8_t> v = base(e, t, g.number);
    if (t == 2) {
      if (g.size > 0xFFFFFFFFu || g.start > 0xFFFFFFFFu)
        build_fail("FATAL ERROR:%s does not fit a 2.x image\n", e->path.c_str());
      o.put32(v, uint32_t(e->stbuf.st_mtime));
      o.put32(v, uint32_t(g.start));
      o.put32(v, g.fragment);
      o.put32(v, g.fragment == kNoFragment ? 0 : g.frag_offset);
      o.put32(v, uint32_t(g.size));
      for (uint32_t w : g.words) o.put32(v, w);
    } else if (t == 3) {
      if (e->buf.size() > 0xFFFF) build_fail("FATAL ERROR:Symlink target of %s too long\n", e->path.c_str());
      o.put16(v, uint16_t(e->buf.size()));
      v.insert(v.end(), e->buf.begin(), e->buf.end());
    } else if (t == 4 || t == 5) {
      o.put16(v, uint16_t((major(e->stbuf.st_rdev) & 0xFF) << 8 | (minor(e->stbuf.st_rdev) & 0xFF)));
    }
    return v;
  }

  uint64_t leaf_inode(squashfs_entry* e, Group& g) {
    int t = basic_type(e->stbuf.st_mode);
    std::vector<uint8_t> v;
    if (major == 2) {
      v = leaf_inode2(e, g, t);
    } else if (t == 2) {
      uint64_t size = g.size;
      bool lng = g.links > 1 || size >= 0x3FFFFFFFu;
      v = base(e, lng ? 9 : 2, g.number);
      if (lng) o.put32(v, g.links);
      o.put64(v, g.start);
      o.put32(v, g.fragment);
      o.put32(v, g.fragment == kNoFragment ? 0 : g.frag_offset);
      if (lng)
        o.put64(v, size);
      else
        o.put32(v, uint32_t(size));
      for (uint32_t w : g.words) o.put32(v, w);
    } else if (t == 3) {
      if (e->buf.size() > 0xFFFF) build_fail("FATAL ERROR:Symlink target of %s too long\n", e->path.c_str());
      v = base(e, 3, g.number);
      o.put32(v, g.links);
      o.put16(v, uint16_t(e->buf.size()));
      v.insert(v.end(), e->buf.begin(), e->buf.end());
    } else if (t == 4 || t == 5) {
      v = base(e, t, g.number);
      o.put32(v, g.links);
      o.put16(v, uint16_t((major(e->stbuf.st_rdev) & 0xFF) << 8 | (minor(e->stbuf.st_rdev) & 0xFF)));
    } else {
      v = base(e, t, g.number);
      o.put32(v, g.links);
    }
    return write_inode(v, g.number);
  }

  struct Entry {
    squashfs_entry* node;
    uint32_t number;
    uint64_t ref;
  };

  uint64_t write_dir(squashfs_entry* dir, uint32_t number, uint32_t parent_number) {
    auto kids = sorted_children(dir);
    std::vector<Entry> entries;
    uint32_t subdirs = 0;
    for (squashfs_entry* c : kids) {
      Group& g = group(c);
      if (is_dir(c)) {
        ++subdirs;
        entries.push_back({c, g.number, write_dir(c, g.number, number)});
      } else {
        if (!g.written) {
          g.ref = leaf_inode(c, g);
          g.written = true;
        }
        entries.push_back({c, g.number, g.ref});
      }
    }

    // Listing: headers of up to 256 entries sharing one inode block and a
    // delta range; a new header also starts every 8192 listing bytes, each
    // of those with an index entry for long directories.
    std::vector<uint8_t> listing;
    struct Index {
      uint32_t index;
      std::string name;
    };
    std::vector<Index> index;
    size_t run = 0, last_index_point = 0;
    uint32_t run_block = 0;
    int64_t run_base = 0;
    size_t count_at = 0;
    // 2.x headers and entries carry no inode numbers.
    const bool v2 = major == 2;
    for (const Entry& en : entries) {
      uint32_t block = uint32_t(en.ref >> 16);
      size_t esize = (v2 ? 3 : 5) + en.node->name.size();
      bool split_index = run && listing.size() + esize - last_index_point > kMetaChunk;
      int64_t delta = v2 ? 0 : int64_t(en.number) - run_base;
      if (!run || run == 256 || block != run_block || split_index || delta < -32768 || delta > 32767) {
        if (split_index) {
          index.push_back({uint32_t(listing.size()), en.node->name});
          last_index_point = listing.size();
        }
        count_at = listing.size();
        if (v2) {
          if (block > 0xFFFFFF) build_fail("FATAL ERROR:Inode table too large for a 2.x image\n");
          v2::put_dir_header(o, listing, 0, block);
        } else {
          listing.push_back(0);
          o.put32(listing, block);
          o.put32(listing, en.number);
        }
        run = 0;
        run_block = block;
        run_base = en.number;
        delta = 0;
      }
      o.put16(listing, o.entry_ref(uint32_t(en.ref & 0x1FFF), basic_type(en.node->stbuf.st_mode)));
      listing.push_back(uint8_t(en.node->name.size() - 1));
      if (!v2) o.put16(listing, uint16_t(int16_t(delta)));
      listing.insert(listing.end(), en.node->name.begin(), en.node->name.end());
      // The count is the header's top byte in a big-endian 2.x header, its first byte otherwise.
      listing[count_at] = uint8_t(run);
      ++run;
    }
    if (listing.size() + 3 >= (1u << 27)) build_fail("FATAL ERROR:Directory %s too large\n", dir->path.c_str());

    uint32_t start_block = dirtab.chunk_pos();
    uint32_t offset = dirtab.offset();
    // Index entries name the directory-table block holding their header.
    std::vector<uint32_t> index_blocks;
    // Appending piece by piece tells in which block each indexed header lands.
    size_t done = 0;
    for (const Index& ix : index) {
      dirtab.append(listing.data() + done, ix.index - done);
      done = ix.index;
      index_blocks.push_back(dirtab.chunk_pos());
    }
    dirtab.append(listing.data() + done, listing.size() - done);
    // 3.x stores the listing's length + 3, 2.x the length itself.
    uint32_t file_size = uint32_t(listing.size() + (v2 ? 0 : 3));
    std::vector<uint8_t> v;
    bool lng = entries.size() > 256 || listing.size() >= kMetaChunk || file_size > 0x7FFFF || !index.empty();
    v = base(dir, lng ? 8 : 1, number);
    if (v2) {
      if (start_block > 0xFFFFFF) build_fail("FATAL ERROR:Directory table too large for a 2.x image\n");
      if (!lng) {
        o.put_dir_size(v, file_size, offset);
        o.put32(v, uint32_t(dir->stbuf.st_mtime));
        v2::put24(o, v, start_block);
      } else {
        o.put_ldir_size(v, file_size, offset);
        o.put32(v, uint32_t(dir->stbuf.st_mtime));
        v2::put24(o, v, start_block);
        o.put16(v, uint16_t(index.size()));
        for (size_t k = 0; k < index.size(); ++k) {
          v2::put_dir_index(o, v, index[k].index, index_blocks[k]);
          v.push_back(uint8_t(index[k].name.size() - 1));
          v.insert(v.end(), index[k].name.begin(), index[k].name.end());
        }
      }
      return write_inode(v, number);
    }
    o.put32(v, 2 + subdirs);
    if (!lng) {
      o.put_dir_size(v, file_size, offset);
      o.put32(v, start_block);
      o.put32(v, parent_number);
    } else {
      o.put_ldir_size(v, file_size, offset);
      o.put32(v, start_block);
      o.put16(v, uint16_t(index.size()));
      o.put32(v, parent_number);
      for (size_t k = 0; k < index.size(); ++k) {
        o.put32(v, index[k].index);
        o.put32(v, index_blocks[k]);
        v.push_back(uint8_t(index[k].name.size() - 1));
        v.insert(v.end(), index[k].name.begin(), index[k].name.end());
      }
    }
    return write_inode(v, number);
  }

  // A table of fixed-size entries in metadata blocks followed by its index
  // (u64 positions; u32 in 2.x).
  uint64_t write_indexed_table(const std::vector<uint8_t>& stream, bool compress) {
    MetaStream m;
    m.o = o;
    m.compress = compress;
    m.check = flags & kCheck;
    m.dict = p.block_size;
    m.codec = codec;
    std::vector<uint64_t> idx;
    uint64_t base_pos = out.size();
    for (size_t at = 0; at < stream.size(); at += kMetaChunk) {
      idx.push_back(base_pos + m.blocks.size());
      m.emit(stream.data() + at, std::min(kMetaChunk, stream.size() - at));
    }
    out.insert(out.end(), m.blocks.begin(), m.blocks.end());
    uint64_t index_at = out.size();
    for (uint64_t x : idx) major == 2 ? o.put32(out, uint32_t(x)) : o.put64(out, x);
    return index_at;
  }
};

}  // namespace

void set_lzma3_for_tests(bool on) { g_lzma = on; }

namespace {

// The codec of a plain-magic image with vendor LZMA blocks, from its kept
// parameters. Properties a reader of the framing would not take are refused:
// the headerless kind is only ever read as lc3 or lc0 with lp0 pb2.
template <class P>
BlockCodec vendor_codec(const P& q) {
  BlockCodec c;
  c.framing = q.lzma5 ? Framing::kHeader5 : q.lzma4 ? Framing::kHeader4 : Framing::kRaw;
  bool ok = c.lzma.set_byte(q.lzma_props) && c.lzma.lc + c.lzma.lp <= 4;
  if (c.framing == Framing::kRaw) ok = ok && (c.lzma.lc == 0 || c.lzma.lc == 3) && c.lzma.lp == 0 && c.lzma.pb == 2;
  if (!ok) build_fail("FATAL ERROR:Bad lzma properties 0x%02x\n", unsigned(q.lzma_props));
  if (c.framing == Framing::kHeader5) c.lzma.dict = q.lzma_dict;
  return c;
}

// Whether blocks stored under `w` mean the same under `q`.
template <class P>
bool same_framing(const P& w, const P& q) {
  if (w.lzma5 != q.lzma5 || w.lzma4 != q.lzma4 || w.lzma_raw != q.lzma_raw) return false;
  return !(q.lzma5 || q.lzma4 || q.lzma_raw) || w.lzma_props == q.lzma_props;
}

// Writes the 3.x superblock (119 bytes) at the start of the image.
void super3(Builder3& b, const uint64_t* pos, uint32_t ninodes, uint16_t block_log, uint64_t root_ref) {
  uint8_t* s = b.out.data();
  b.o.put32(s, b.lzma ? kMagicLzma : kMagicPlain);
  b.o.put32(s + kInodes, ninodes);
  b.o.put16(s + kMajor, 3);
  b.o.put16(s + kMinor, b.p.minor);
  b.o.put16(s + kBlockLog, block_log);
  s[kFlags] = b.flags;
  s[kNoUids] = uint8_t(b.uids.size());
  s[kNoGuids] = uint8_t(b.gids.size());
  b.o.put32(s + kMkfsTime, uint32_t(time(nullptr)));
  b.o.put64(s + kRootInode, root_ref);
  b.o.put32(s + kBlockSize, b.p.block_size);
  b.o.put32(s + kFragments, uint32_t(b.frag_entries.size()));
  for (size_t i = 0; i < 7; ++i)
    b.o.put64(s + size_t(kBytesUsed) + 8 * i, pos[i]);  // bytes used, uid, gid, inode, dir, frag, lookup
}

// Writes the 2.x superblock (63 bytes): 32-bit positions, no lookup table.
void super2(Builder3& b, const uint64_t* pos, uint32_t ninodes, uint16_t block_log, uint64_t root_ref) {
  for (int i = 0; i < 6; ++i)
    if (pos[i] > 0xFFFFFFFFu) build_fail("FATAL ERROR:Image too large for a 2.x image\n");
  uint8_t* s = b.out.data();
  b.o.put32(s, kMagicPlain);
  b.o.put32(s + kInodes, ninodes);
  b.o.put32(s + v2::kBytesUsed, uint32_t(pos[0]));
  b.o.put32(s + v2::kUidStart, uint32_t(pos[1]));
  b.o.put32(s + v2::kGuidStart, uint32_t(pos[2]));
  b.o.put32(s + v2::kInodeTableStart, uint32_t(pos[3]));
  b.o.put32(s + v2::kDirTableStart, uint32_t(pos[4]));
  b.o.put16(s + kMajor, 2);
  b.o.put16(s + kMinor, b.p.minor);
  b.o.put16(s + v2::kBlockSize1, 0);
  b.o.put16(s + kBlockLog, block_log);
  s[kFlags] = b.flags;
  s[kNoUids] = uint8_t(b.uids.size());
  s[kNoGuids] = uint8_t(b.gids.size());
  // Links, devices, fifos and sockets have no time of their own in 2.x but
  // the superblock's: a rebuild keeps the loaded image's.
  b.o.put32(s + kMkfsTime, b.mkfs_time ? b.mkfs_time : uint32_t(time(nullptr)));
  b.o.put64(s + kRootInode, root_ref);
  b.o.put32(s + kBlockSize, b.p.block_size);
  b.o.put32(s + kFragments, uint32_t(b.frag_entries.size()));
  b.o.put32(s + v2::kFragTableStart, uint32_t(pos[5]));
}

uint8_t* build(squashfs_entry* root, size_t* fs_len, int major) {
  squashfs_data* img = root->image;
  root = img->root_entry;
  if (compressor_failure_forced()) build_fail("FATAL ERROR:compressor_init failed\n");
  Builder3 b;
  b.major = major;
  Loaded3* l = loaded3(img);
  if (l && l->major != major) l = nullptr;
  if (major == 2) {
    // The loaded image's magic fixes the byte order; minor 76 and the
    // parameters tell the framing. A tree from elsewhere becomes a
    // little-endian zlib image.
    if (v2::identify(img->super2.data(), img->super2.size(), &b.o))
      b.mkfs_time = b.o.u32(img->super2.data() + kMkfsTime);
    else
      b.o = Order{};
    const squashfs_params2& q = img->p2;
    b.lzma = false;
    b.p.block_size = q.block_size;
    b.p.flags = q.flags;
    b.p.minor = q.minor;
    if (q.minor == v2::kMinorL) {
      b.codec = raw_l_codec();
    } else if (q.lzma5 || q.lzma4 || q.lzma_raw) {
      b.codec = vendor_codec(q);
    }
    if (b.p.block_size > v2::kMaxBlock) build_fail("FATAL ERROR:Bad block size %u\n", b.p.block_size);
    // Stored blocks mean the same when block size, layout flags, minor and
    // framing are the loaded image's.
    if (l) {
      const squashfs_params2& w = l->params2;
      if (w.minor != q.minor || !same_framing(w, q)) l = nullptr;
    }
  } else {
    // The loaded image's magic fixes byte order and block codecs; a tree that
    // comes from elsewhere becomes a little-endian LZMA image.
    if (!v3::identify(img->super3.data(), img->super3.size(), &b.o, &b.lzma)) {
      b.o = Order{};
      b.lzma = true;
    }
    b.p = img->p3;
    if (b.p.minor == v2::kMinorL) {
      b.codec = raw_l_codec();
    } else if ((b.p.lzma5 || b.p.lzma4 || b.p.lzma_raw) && !b.lzma) {
      b.codec = vendor_codec(b.p);
    } else {
      b.codec.framing = b.lzma && g_lzma ? Framing::kZlibOrAlone : Framing::kZlib;
    }
    // Blocks in a vendor LZMA framing are copied only into the same framing.
    squashfs_params3 now = b.p;
    now.lzma5 = b.codec.framing == Framing::kHeader5;
    now.lzma4 = b.codec.framing == Framing::kHeader4;
    now.lzma_raw = b.codec.framing == Framing::kRaw;
    if (l && !same_framing(l->params, now)) l = nullptr;
    // Stored blocks are copied when they mean the same in the new image: same
    // block size, flags and minor version, and no LZMA blocks in a plain image.
    if (l && l->lzma && !(b.lzma && g_lzma)) l = nullptr;
  }
  if (l) {
    const uint8_t layout = kNoData | kNoFrags | kNoFragments | kAlwaysFrags;
    if (l->params.block_size == b.p.block_size && l->params.minor == b.p.minor &&
        (l->params.flags & layout) == (b.p.flags & layout) && l->img)
      b.src = l;
  }
  // 2.x has no export table, nor its flag.
  b.flags = major == 2 ? uint8_t(b.p.flags & 0x7F) : uint8_t((b.p.flags & 0x7F) | kExportable);
  uint32_t bs = b.p.block_size;
  uint16_t block_log = 12;
  while (block_log < 20 && (1u << block_log) < bs) ++block_log;
  if ((1u << block_log) != bs) build_fail("FATAL ERROR:Bad block size %u\n", bs);
  for (MetaStream* m : {&b.inodes, &b.dirtab}) {
    m->compress = !(b.flags & kNoInodes);
    m->check = b.flags & kCheck;
    m->dict = bs;
    m->codec = b.codec;
    m->o = b.o;
  }

  b.out.assign(major == 2 ? v2::kSuperSize : kSuperSize, 0);
  uint32_t root_number = b.next_number++;
  b.number(root);
  b.write_data(root);
  for (auto& [k, g] : b.groups) g.written = false;

  uint64_t root_ref = b.write_dir(root, root_number, b.next_number);  // root's parent: inodes + 1
  b.inodes.finish();
  b.dirtab.finish();
  uint64_t inode_table_start = b.out.size();
  b.out.insert(b.out.end(), b.inodes.blocks.begin(), b.inodes.blocks.end());
  uint64_t dir_table_start = b.out.size();
  b.out.insert(b.out.end(), b.dirtab.blocks.begin(), b.dirtab.blocks.end());

  uint64_t frag_table_start = b.out.size();
  if (!b.frag_entries.empty()) {
    std::vector<uint8_t> s;
    for (auto& [start, word] : b.frag_entries) {
      if (major == 2) {
        b.o.put32(s, uint32_t(start));
        b.o.put32(s, word);
      } else {
        b.o.put64(s, start);
        b.o.put32(s, word);
        b.o.put32(s, 0);
      }
    }
    frag_table_start = b.write_indexed_table(s, !(b.flags & kNoFrags));
  }
  uint32_t ninodes = b.next_number - 1;
  uint64_t lookup_start = 0;
  if (major == 3) {
    std::vector<uint8_t> exp;
    for (uint32_t n = 1; n <= ninodes; ++n) b.o.put64(exp, b.refs_by_number[n]);
    lookup_start = b.write_indexed_table(exp, true);
  }

  uint64_t uid_start = b.out.size();
  for (uint32_t u : b.uids) b.o.put32(b.out, u);
  uint64_t guid_start = b.gids.empty() ? 0 : b.out.size();
  for (uint32_t g : b.gids) b.o.put32(b.out, g);
  uint64_t bytes_used = b.out.size();

  const uint64_t pos[] = {bytes_used,      uid_start,        guid_start,  inode_table_start,
                          dir_table_start, frag_table_start, lookup_start};
  if (major == 2)
    super2(b, pos, ninodes, block_log, root_ref);
  else
    super3(b, pos, ninodes, block_log, root_ref);

  size_t len = (b.out.size() + 4095) / 4096 * 4096;
  auto* result = static_cast<uint8_t*>(malloc(len));
  if (!result) build_fail("FATAL ERROR:Out of memory\n");
  std::memcpy(result, b.out.data(), b.out.size());
  std::memset(result + b.out.size(), 0, len - b.out.size());
  *fs_len = len;
  return result;
}

}  // namespace

uint8_t* build_image3(squashfs_entry* root, size_t* fs_len) { return build(root, fs_len, 3); }
uint8_t* build_image2(squashfs_entry* root, size_t* fs_len) { return build(root, fs_len, 2); }

}  // namespace rs::sqfs
