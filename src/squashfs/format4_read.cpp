// squashfs 4.0 reader through libsquashfs: builds the tree from the inode and
// directory tables and leaves file data in the image until it is read.
#include <sqfs/dir.h>
#include <sqfs/dir_reader.h>
#include <sqfs/frag_table.h>
#include <sqfs/meta_reader.h>
#include <sqfs/id_table.h>
#include <sqfs/xattr.h>
#include <sqfs/xattr_reader.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "squashfs/format4.h"
#include "squashfs/gzip4.h"
#include "squashfs/internal.h"
#include "squashfs/lzma4v.h"
#include "squashfs/lzo4.h"
#include "squashfs/swap4.h"
#include "squashfs/xz4.h"
#include "util/endian.h"
#include "util/report.h"

namespace rs::sqfs {
namespace {

void read_failed(const squashfs_entry* e, int err) {
  fprintf(stderr, "squashfs: %s: stored data cannot be decoded (error %d)\n", e->path.empty() ? "/" : e->path.c_str(),
          err);
}

}  // namespace

namespace v4 {

struct MetaCache {
  struct Block {
    std::vector<uint8_t> stored, decoded;
  };
  std::unordered_map<uint64_t, Block> blocks;
  size_t bytes = 0;
  std::mutex m;  // taken by the decoders of prefetch_meta while they add blocks
  static constexpr size_t kMetaBlock = 8192;
  static constexpr size_t kMaxBytes = size_t(48) << 20;
  static uint64_t key(const uint8_t* in, size_t size) {
    return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(in), size)) ^
           uint64_t(size) << 48;
  }
  // The decoded bytes of a stored block, or null.
  const Block* find(const uint8_t* in, size_t size) const {
    auto it = blocks.find(key(in, size));
    if (it == blocks.end()) return nullptr;
    const Block& b = it->second;
    return b.stored.size() == size && std::memcmp(b.stored.data(), in, size) == 0 ? &b : nullptr;
  }
  void add(const uint8_t* in, size_t size, const uint8_t* out, size_t n) {
    if (bytes + size + n > kMaxBytes) return;
    try {
      Block& b = blocks[key(in, size)];
      bytes += size + n - b.stored.size() - b.decoded.size();
      b.stored.assign(in, in + size);
      b.decoded.assign(out, out + n);
    } catch (const std::bad_alloc&) {
    }
  }
};

namespace {
struct CachingDecoder {
  sqfs_compressor_t c{};
  sqfs_compressor_t* inner = nullptr;
  std::shared_ptr<MetaCache> cache;
  ~CachingDecoder() {
    if (inner) sqfs_destroy(inner);
  }
};
CachingDecoder* caching(const sqfs_compressor_t* c) {
  return reinterpret_cast<CachingDecoder*>(const_cast<sqfs_compressor_t*>(c));
}
}  // namespace

sqfs_compressor_t* caching_decoder(sqfs_compressor_t* inner, std::shared_ptr<MetaCache> cache) {
  auto* z = new (std::nothrow) CachingDecoder;
  if (!z) {
    sqfs_destroy(inner);
    return nullptr;
  }
  static_assert(offsetof(CachingDecoder, c) == 0);
  z->inner = inner;
  z->cache = std::move(cache);
  z->c.base.destroy = [](sqfs_object_t* o) { delete reinterpret_cast<CachingDecoder*>(o); };
  z->c.base.copy = [](const sqfs_object_t* o) -> sqfs_object_t* {
    const CachingDecoder* src = reinterpret_cast<const CachingDecoder*>(o);
    auto* dup = reinterpret_cast<sqfs_compressor_t*>(sqfs_copy(src->inner));
    return dup ? reinterpret_cast<sqfs_object_t*>(caching_decoder(dup, src->cache)) : nullptr;
  };
  z->c.get_configuration = [](const sqfs_compressor_t* c, sqfs_compressor_config_t* o) {
    caching(c)->inner->get_configuration(caching(c)->inner, o);
  };
  z->c.write_options = [](sqfs_compressor_t* c, sqfs_file_t* f) {
    return caching(c)->inner->write_options(caching(c)->inner, f);
  };
  z->c.read_options = [](sqfs_compressor_t* c, sqfs_file_t* f) {
    return caching(c)->inner->read_options(caching(c)->inner, f);
  };
  // Only metadata blocks (decoded into 8 KiB) are kept, up to a bound.
  z->c.do_block = [](sqfs_compressor_t* c, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out,
                     sqfs_u32 outsize) -> sqfs_s32 {
    CachingDecoder* d = caching(c);
    if (outsize != MetaCache::kMetaBlock || !d->cache) return d->inner->do_block(d->inner, in, size, out, outsize);
    MetaCache& m = *d->cache;
    std::lock_guard<std::mutex> hold(m.m);
    if (const MetaCache::Block* b = m.find(in, size); b && b->decoded.size() <= outsize) {
      std::memcpy(out, b->decoded.data(), b->decoded.size());
      return sqfs_s32(b->decoded.size());
    }
    const sqfs_s32 r = d->inner->do_block(d->inner, in, size, out, outsize);
    if (r > 0) m.add(in, size, out, size_t(r));
    return r;
  };
  return &z->c;
}

void prefetch_meta(State4* st, std::vector<uint64_t> blocks) {
  MetaCache* m = st->meta_cache.get();
  const unsigned cores = std::min(4u, std::thread::hardware_concurrency());
  if (!m || cores < 2) return;
  const uint8_t* image = st->file.data();
  const uint64_t size = st->file.size();
  std::sort(blocks.begin(), blocks.end());
  blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
  std::vector<uint64_t> todo;
  for (uint64_t at : blocks) {
    if (at > size || size - at < 2) continue;
    const uint16_t h = load_le16(image + at);
    const size_t n = h & 0x7FFF;
    if ((h & 0x8000) || n == 0 || n > MetaCache::kMetaBlock || size - at - 2 < n) continue;
    if (!m->find(image + at + 2, n)) todo.push_back(at);
  }
  // Below a few blocks a thread costs more than it saves.
  if (todo.size() < 16 || m->bytes >= MetaCache::kMaxBytes) return;
  std::atomic<size_t> next{0};
  auto work = [&] {
    sqfs_compressor_t* raw = nullptr;
    if (make_compressor(&st->cfg, &raw) != 0) return;
    Obj<sqfs_compressor_t> dec(raw);
    std::vector<uint8_t> out(MetaCache::kMetaBlock);
    for (size_t k; (k = next.fetch_add(1)) < todo.size();) {
      const uint8_t* in = image + todo[k] + 2;
      const size_t n = load_le16(image + todo[k]) & 0x7FFF;
      const sqfs_s32 r = dec->do_block(dec.get(), in, sqfs_u32(n), out.data(), sqfs_u32(out.size()));
      if (r <= 0) continue;  // the reader meets it again and says why
      std::lock_guard<std::mutex> hold(m->m);
      m->add(in, n, out.data(), size_t(r));
    }
  };
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < cores; ++t) pool.emplace_back(work);
  } catch (const std::system_error&) {
  }
  work();
  for (auto& th : pool) th.join();
}

uint32_t links_of_inode(const sqfs_inode_generic_t* in) {
  switch (in->base.type) {
    case SQFS_INODE_EXT_FILE:
      return in->data.file_ext.nlink;
    case SQFS_INODE_SLINK:
      return in->data.slink.nlink;
    case SQFS_INODE_EXT_SLINK:
      return in->data.slink_ext.nlink;
    case SQFS_INODE_BDEV:
    case SQFS_INODE_CDEV:
      return in->data.dev.nlink;
    case SQFS_INODE_EXT_BDEV:
    case SQFS_INODE_EXT_CDEV:
      return in->data.dev_ext.nlink;
    case SQFS_INODE_FIFO:
    case SQFS_INODE_SOCKET:
      return in->data.ipc.nlink;
    case SQFS_INODE_EXT_FIFO:
    case SQFS_INODE_EXT_SOCKET:
      return in->data.ipc_ext.nlink;
    default:
      return 1;
  }
}

bool dict_size_ok(uint32_t d, uint32_t block_size) {
  if (d < 8192 || d > block_size) return false;
  for (int n = 0; n < 32; ++n) {
    uint64_t p = uint64_t(1) << n;
    if (d == p || d == p + (p >> 1)) return true;
  }
  return false;
}

int make_compressor(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out) {
  if (lzma_kind_of(cfg).framing != LzmaFraming::alone) return create_lzma4v_compressor(cfg, out);
  if (cfg->id == SQFS_COMP_XZ) {
    const bool undo = cfg->flags & SQFS_COMP_FLAG_UNCOMPRESS;
    if ((undo ? create_xz_decoder(cfg, out) : create_xz_encoder(cfg, out)) == 0) return 0;
  }
  if (cfg->id == SQFS_COMP_GZIP && create_gzip_encoder(cfg, out) == 0) return 0;
  int r = sqfs_compressor_create(cfg, out);
  if (r == SQFS_ERROR_UNSUPPORTED && cfg->id == SQFS_COMP_LZO) r = create_lzo_compressor(cfg, out);
  return r;
}

InodePtr file_inode(const squashfs_stored& s) {
  size_t extra = s.block_words.size() * 4;
  auto* in = static_cast<sqfs_inode_generic_t*>(calloc(1, sizeof(sqfs_inode_generic_t) + extra));
  if (!in) return nullptr;
  in->base.type = SQFS_INODE_EXT_FILE;
  in->payload_bytes_available = in->payload_bytes_used = sqfs_u32(extra);
  in->data.file_ext.blocks_start = s.start;
  in->data.file_ext.file_size = s.file_size;
  in->data.file_ext.sparse = s.sparse;
  in->data.file_ext.nlink = 1;
  in->data.file_ext.fragment_idx = s.fragment;
  in->data.file_ext.fragment_offset = s.frag_offset;
  in->data.file_ext.xattr_idx = 0xFFFFFFFFu;
  if (extra) std::memcpy(in->extra, s.block_words.data(), extra);
  return InodePtr(in);
}

namespace {

constexpr uint32_t kBlockUncompressed = 1u << 24, kBlockSizeMask = kBlockUncompressed - 1;

// The first bytes of [off, off + n) that the file's own data blocks hold,
// decoded on all cores, each thread with a decompressor of its own: the count
// written to `out`, 0 when the range is too small to share out or anything
// looks unusual (the serial reader then reads it all and names the fault).
// A tail in a fragment block is left to the serial reader.
size_t read_blocks_parallel(State4* st, const squashfs_stored& s, uint64_t off, uint8_t* out, size_t n) {
  const uint64_t bs = st->super.block_size;
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores < 2 || bs == 0 || n < 2 * bs) return 0;
  const uint64_t end = off + n;
  const uint64_t first = off / bs, last = std::min<uint64_t>(s.block_words.size(), (end + bs - 1) / bs);
  if (last < first + 2) return 0;
  const uint8_t* image = st->file.data();
  const uint64_t image_size = st->file.size();
  std::vector<uint64_t> pos(last - first);
  uint64_t at = s.start;
  for (uint64_t k = 0; k < last; ++k) {
    if (k >= first) pos[k - first] = at;
    at += s.block_words[k] & kBlockSizeMask;
    if (at > image_size) return 0;
  }
  const uint64_t covered = std::min(std::min(last * bs, s.file_size), end);
  std::atomic<size_t> next{0};
  std::atomic<bool> bad{false};
  auto work = [&] {
    sqfs_compressor_t* raw = nullptr;
    if (make_compressor(&st->cfg, &raw) != 0) {
      bad = true;
      return;
    }
    Obj<sqfs_compressor_t> cmp(raw);
    std::vector<uint8_t> tmp;
    for (size_t i; !bad && (i = next.fetch_add(1)) < pos.size();) {
      const uint64_t k = first + i, from = k * bs, to = std::min(from + bs, s.file_size);
      const size_t want = size_t(to - from);
      // A block wholly inside the range is decoded in place.
      const bool direct = from >= off && to <= end;
      if (!direct) tmp.resize(want);
      uint8_t* target = direct ? out + (from - off) : tmp.data();
      const uint32_t word = s.block_words[k], stored = word & kBlockSizeMask;
      if (word == 0) {
        std::memset(target, 0, want);
      } else if (word & kBlockUncompressed) {
        if (stored != want) bad = true;
        else std::memcpy(target, image + pos[i], want);
      } else if (cmp->do_block(cmp.get(), image + pos[i], stored, target, sqfs_u32(want)) != sqfs_s32(want)) {
        bad = true;
      }
      if (!bad && !direct) {
        const uint64_t a = std::max(from, off), b = std::min(to, end);
        std::memcpy(out + (a - off), tmp.data() + (a - from), size_t(b - a));
      }
    }
  };
  std::vector<std::thread> pool;
  const size_t threads = std::min<size_t>(cores, pos.size());
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  return bad ? 0 : size_t(covered - off);
}

}  // namespace

long long read_range4(squashfs_data* img, const squashfs_entry* e, uint64_t off, void* buf, size_t n) {
  State4* st = state_of(img);
  const squashfs_stored& s = e->stored;
  if (!st || !s.valid) return -EIO;
  if (off >= s.file_size) return 0;
  n = size_t(std::min<uint64_t>(n, s.file_size - off));
  InodePtr in = file_inode(s);
  if (!in) return -ENOMEM;
  size_t done = read_blocks_parallel(st, s, off, static_cast<uint8_t*>(buf), n);
  while (done < n) {
    uint32_t chunk = uint32_t(std::min<size_t>(n - done, 1u << 24));
    sqfs_s32 r = sqfs_data_reader_read(st->data.get(), in.get(), off + done, static_cast<uint8_t*>(buf) + done, chunk);
    if (r <= 0) {
      read_failed(e, r);
      return -EIO;
    }
    done += uint32_t(r);
  }
  return (long long)done;
}

int read_content4(squashfs_data* img, const squashfs_entry* e, std::vector<uint8_t>& out) {
  if (e->stored.file_size > kMaxTotalContent) return -EFBIG;
  try {
    out.assign(size_t(e->stored.file_size), 0);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
  long long r = read_range4(img, e, 0, out.data(), out.size());
  if (r < 0) {
    out.clear();
    return int(r);
  }
  return 0;
}

}  // namespace v4

namespace {

using namespace v4;

struct SqfsFree {
  void operator()(void* p) const { sqfs_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, SqfsFree>;

constexpr int kMaxDepth = 1024;

int basic_type(int t) { return t >= SQFS_INODE_EXT_DIR ? t - 7 : t; }

mode_t type_bits(int basic) {
  switch (basic) {
    case SQFS_INODE_DIR:
      return S_IFDIR;
    case SQFS_INODE_FILE:
      return S_IFREG;
    case SQFS_INODE_SLINK:
      return S_IFLNK;
    case SQFS_INODE_BDEV:
      return S_IFBLK;
    case SQFS_INODE_CDEV:
      return S_IFCHR;
    case SQFS_INODE_FIFO:
      return S_IFIFO;
    default:
      return S_IFSOCK;
  }
}

const char* compressor_name(uint16_t id) {
  const char* n = sqfs_compressor_name_from_id(SQFS_COMPRESSOR(id));
  return n ? n : nullptr;
}

void release_state4(squashfs_data* img) {
  delete state_of(img);
  img->reader_state = nullptr;
}

struct Reader4 {
  squashfs_data* img;
  State4* st;
  sqfs_dir_reader_t* dr;
  sqfs_id_table_t* ids;
  sqfs_xattr_reader_t* xr;  // null without an xattr table
  std::unordered_set<uint32_t> dirs_seen;
  std::map<uint32_t, std::vector<squashfs_xattr>> xattr_cache;
  uint64_t path_bytes = 0;
  uint64_t budget = kMaxTreeBytes;
  uint64_t table_bytes = 0;  // stored inode and directory tables
  // Subdirectories are left unread (squashfs_entry::unread) until first use.
  bool lazy = false;

  bool over_budget() { return refuse(img, over_budget_text(budget, table_bytes)); }

  bool bad(const squashfs_entry* e, const char* what) {
    return refuse(img, std::string(what) + " at " + (e->path.empty() ? "/" : e->path));
  }

  bool xattrs_of(const sqfs_inode_generic_t* in, std::vector<squashfs_xattr>& out) {
    sqfs_u32 idx = 0xFFFFFFFFu;
    if (sqfs_inode_get_xattr_index(in, &idx) != 0) return false;
    if (idx == 0xFFFFFFFFu) return true;
    if (!xr) return false;
    auto it = xattr_cache.find(idx);
    if (it != xattr_cache.end()) {
      out = it->second;
      return true;
    }
    sqfs_xattr_id_t desc;
    if (sqfs_xattr_reader_get_desc(xr, idx, &desc) != 0 || sqfs_xattr_reader_seek_kv(xr, &desc) != 0) return false;
    std::vector<squashfs_xattr> v;
    for (sqfs_u32 i = 0; i < desc.count; ++i) {
      sqfs_xattr_entry_t* k = nullptr;
      if (sqfs_xattr_reader_read_key(xr, &k) != 0) return false;
      Owned<sqfs_xattr_entry_t> key(k);
      sqfs_xattr_value_t* val = nullptr;
      if (sqfs_xattr_reader_read_value(xr, k, &val) != 0) return false;
      Owned<sqfs_xattr_value_t> value(val);
      const char* prefix = sqfs_get_xattr_prefix(SQFS_XATTR_TYPE(k->type & SQFS_XATTR_PREFIX_MASK));
      if (!prefix) return false;
      // The reader hands the key with its prefix already in front.
      size_t plen = strlen(prefix);
      if (strncmp(reinterpret_cast<const char*>(k->key), prefix, plen) != 0) return false;
      squashfs_xattr x;
      x.key.assign(reinterpret_cast<const char*>(k->key), plen + k->size);
      x.value.assign(val->value, val->value + val->size);
      v.push_back(std::move(x));
    }
    xattr_cache[idx] = v;
    out = std::move(v);
    return true;
  }

  // Where a file's blocks and tail lie; refused when they fall outside the
  // image or the fragment table, so that later reads and copies stay inside.
  bool locate(const sqfs_inode_generic_t* in, squashfs_entry* e) {
    squashfs_stored& s = e->stored;
    sqfs_u64 sz = 0, start = 0;
    sqfs_u32 frag = 0, off = 0;
    sqfs_inode_get_file_size(in, &sz);
    sqfs_inode_get_file_block_start(in, &start);
    sqfs_inode_get_frag_location(in, &frag, &off);
    const uint32_t bs = st->super.block_size;
    size_t count = in->payload_bytes_used / 4;
    uint64_t full = sz / bs, tail = sz % bs;
    bool has_frag = frag != 0xFFFFFFFFu;
    uint64_t expect = has_frag ? full : full + (tail ? 1 : 0);
    if (count != expect) return false;
    s.block_words.assign(in->extra, in->extra + count);
    uint64_t end = start;
    for (uint32_t w : s.block_words) {
      if ((w & kSizeMask) > bs) return false;
      end += w & kSizeMask;
    }
    if (count && end > st->super.bytes_used) return false;
    if (has_frag) {
      uint32_t len = uint32_t(sz - full * bs);
      if (frag >= st->frags.size() || len == 0 || uint64_t(off) + len > bs) return false;
      st->frag_tails.push_back({frag, off, len});
    }
    s.start = start;
    s.file_size = sz;
    s.fragment = frag;
    s.frag_offset = has_frag ? off : 0;
    s.sparse = in->base.type == SQFS_INODE_EXT_FILE ? in->data.file_ext.sparse : 0;
    s.valid = true;
    e->content_loaded = false;
    e->cur_inode.start = int64_t(start);
    e->cur_inode.blocks = int(count);
    e->cur_inode.fragment = has_frag ? int(frag) : -1;
    e->cur_inode.offset = has_frag ? int(off) : -1;
    return true;
  }

  // The inode blocks of a wide directory's entries, decoded on all cores
  // before the entries are read one by one.
  void prefetch_listing(const sqfs_inode_generic_t* dir_inode) {
    if (listing_size(dir_inode) < 8192) return;
    const sqfs_super_t& super = st->super;
    Obj<sqfs_meta_reader_t> mr(
        sqfs_meta_reader_create(&st->file.f, st->cmp.get(), super.directory_table_start, super.bytes_used));
    sqfs_readdir_state_t rs;
    if (!mr || sqfs_readdir_state_init(&rs, &super, dir_inode) != 0) return;
    std::vector<uint64_t> blocks;
    for (;;) {
      sqfs_dir_entry_t* ent = nullptr;
      sqfs_u32 inum = 0;
      sqfs_u64 iref = 0;
      if (sqfs_meta_reader_readdir(mr.get(), &rs, &ent, &inum, &iref) != 0) break;
      sqfs_free(ent);
      const uint64_t at = super.inode_table_start + (iref >> 16);
      if (blocks.empty() || blocks.back() != at) blocks.push_back(at);
    }
    prefetch_meta(st, std::move(blocks));
  }

  bool fill(squashfs_entry* parent, const sqfs_inode_generic_t* dir_inode, int depth) {
    if (depth > kMaxDepth) return bad(parent, "directories nested deeper than 1024");
    // Directories cannot be hard links: a second visit is a loop or a shared
    // subtree that would multiply the tree.
    if (!dirs_seen.insert(dir_inode->base.inode_number).second)
      return bad(parent, "directory listed twice (a loop or shared subtree)");
    prefetch_listing(dir_inode);
    if (sqfs_dir_reader_open_dir(dr, dir_inode, 0) != 0) return bad(parent, "directory listing out of the table");
    struct Item {
      std::string name;
      InodePtr inode;
    };
    std::vector<Item> items;
    for (;;) {
      sqfs_dir_entry_t* ent = nullptr;
      int r = sqfs_dir_reader_read(dr, &ent);
      if (r < 0) return bad(parent, "directory listing does not decode");
      if (r > 0) break;
      Owned<sqfs_dir_entry_t> ent_guard(ent);
      sqfs_inode_generic_t* raw = nullptr;
      if (sqfs_dir_reader_get_inode(dr, &raw) != 0) return bad(parent, "inode of a directory entry does not decode");
      items.push_back({std::string(reinterpret_cast<const char*>(ent->name), size_t(ent->size) + 1), InodePtr(raw)});
      // Counted as read: a listing of many entries sharing one inode would
      // otherwise grow here, before any node is made.
      path_bytes += kEntryCost + 3 * items.back().name.size();
      if (path_bytes > budget) return over_budget();
    }
    for (Item& it : items) {
      if (!valid_name(it.name)) return bad(parent, "entry name empty, \".\", \"..\" or with \"/\"");
      const sqfs_inode_generic_t* in = it.inode.get();
      squashfs_inode ino;
      ino.type = basic_type(in->base.type);
      if (ino.type < SQFS_INODE_DIR || ino.type > SQFS_INODE_SOCKET) return bad(parent, "entry of unknown inode type");
      ino.mode = int((in->base.mode & 07777) | type_bits(ino.type));
      sqfs_u32 uid = 0, gid = 0;
      if (sqfs_id_table_index_to_id(ids, in->base.uid_idx, &uid) != 0 ||
          sqfs_id_table_index_to_id(ids, in->base.gid_idx, &gid) != 0)
        return bad(parent, "owner index beyond the id table");
      ino.uid = uid;
      ino.gid = gid;
      ino.time = in->base.mod_time;
      ino.inode_number = int(in->base.inode_number);
      if (ino.type == SQFS_INODE_FILE) {
        sqfs_u64 sz = 0;
        sqfs_inode_get_file_size(in, &sz);
        ino.data = int64_t(sz);
      } else if (ino.type == SQFS_INODE_SLINK) {
        ino.data = in->base.type == SQFS_INODE_EXT_SLINK ? in->data.slink_ext.target_size : in->data.slink.target_size;
        if (uint64_t(ino.data) > in->payload_bytes_used) return bad(parent, "link target cut short");
        ino.symlink.assign(reinterpret_cast<const char*>(in->extra), size_t(ino.data));
      } else if (ino.type == SQFS_INODE_BDEV || ino.type == SQFS_INODE_CDEV) {
        uint32_t d = in->base.type >= SQFS_INODE_EXT_DIR ? in->data.dev_ext.devno : in->data.dev.devno;
        ino.rdev = uint32_t(makedev((d >> 8) & 0xfff, (d & 0xff) | ((d >> 12) & 0xfff00)));
      }
      squashfs_entry* e = squashfs_dir_fill(parent, it.name.c_str(), &ino);
      if (!e) return bad(parent, "entry name \".\" or \"..\"");
      // Deep trees of long names held in a few compressed metadata blocks
      // would otherwise cost far more memory than any real image.
      path_bytes += 2 * e->path.size();
      if (path_bytes > budget) return over_budget();
      if (!xattrs_of(in, e->xattrs)) return bad(e, "extended attributes do not decode");
      e->image_links = ino.type == SQFS_INODE_DIR ? 1 : std::max<uint32_t>(links_of_inode(in), 1);
      switch (ino.type) {
        case SQFS_INODE_DIR:
          e->stbuf.st_size = 0;
          if (lazy) {
            e->unread = std::shared_ptr<const void>(it.inode.release(), [](const void* p) { sqfs_free(const_cast<void*>(p)); });
            ++img->unread_dirs;
            break;
          }
          if (!fill(e, in, depth + 1)) return false;
          break;
        case SQFS_INODE_FILE:
          if (!locate(in, e)) return bad(e, "file blocks or fragment outside the image");
          break;
        case SQFS_INODE_SLINK:
          e->buf.assign(ino.symlink.begin(), ino.symlink.end());
          break;
        default:
          rs::warn("[%s %d] %s has other type %d]\n", "squashfs_dir_scan_4", 1087, e->path.c_str(), ino.type);
          break;
      }
      it.inode.reset();  // done with: a wide directory does not keep all its inodes
    }
    return true;
  }
};

}  // namespace

namespace {

// How the image's lzma blocks are framed, from its first compressed metadata
// block; false (refused) when no framing decodes it.
bool sniff_image_lzma(squashfs_data* img, const uint8_t* buf, size_t size, Order4 o, LzmaKind* k) {
  const uint8_t* blk = nullptr;
  size_t len = 0;
  *k = LzmaKind{};
  if (!first_compressed_block4(buf, size, o, &blk, &len)) return true;
  if (sniff_lzma(blk, len, 8192, k)) return true;
  refuse(img, std::string("lzma (compressor id 2) blocks decode in none of the framings tried (") +
                  lzma_framings_tried() + ")");
  return false;
}

int read_image4_kind(squashfs_data* img, const uint8_t* buf, size_t size, const LzmaKind* known);

}  // namespace

int read_image4(squashfs_data* img, const uint8_t* buf, size_t size) {
  return read_image4_kind(img, buf, size, nullptr);
}

int read_image4_be(squashfs_data* img, const uint8_t* buf, size_t size) {
  const Order4 o = detect_order4_be(buf, size);
  const uint16_t comp_id = load_be16(buf + 20);
  const char* name = compressor_name(comp_id);
  sqfs_compressor_config_t cfg;
  if (!name || sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(comp_id), load_be32(buf + 12),
                                           SQFS_COMP_FLAG_UNCOMPRESS) != 0) {
    if (name) return refuse(img, "superblock refused (block size and its log, flags or table positions do not agree)");
    refuse(img, "unknown compressor id " + std::to_string(comp_id));
    return -1;
  }
  LzmaKind kind;
  if (comp_id == SQFS_COMP_LZMA) {
    if (!sniff_image_lzma(img, buf, size, o, &kind)) return -1;
    if (kind.framing != LzmaFraming::alone) set_lzma_kind(&cfg, kind);
  }
  sqfs_compressor_t* raw = nullptr;
  if (int r = make_compressor(&cfg, &raw); r != 0) {
    if (r != SQFS_ERROR_UNSUPPORTED) return refuse(img, "no decompressor for it");
    refuse(img, std::string(name) + " compression is not supported");
    return -1;
  }
  Obj<sqfs_compressor_t> dec(raw);
  Transcode4 t;
  t.from = o;
  t.dec = dec.get();
  std::vector<uint8_t> le;
  std::string why;
  if (!transcode4(buf, size, t, le, why)) return refuse(img, "big-endian image does not read: " + why);
  int r = read_image4_kind(img, le.data(), le.size(), &kind);
  if (r != 1) return r;
  // The tree reads the copy from now on; moving keeps its bytes in place.
  state_of(img)->owned = std::move(le);
  squashfs_params4& p = img->p4;
  p.big_endian = true;
  p.le_length_words = o.le_words;
  p.ids_stored = t.src_ids_stored;
  p.time_is_size = t.src_time_is_size;
  return 1;
}

namespace {

// The data reader and the fragment table of `st`, whose superblock and codec
// are set; null, or why not (*codec_fault when the codec may be the cause).
const char* open_data(State4* st, bool* codec_fault) {
  const sqfs_super_t& super = st->super;
  st->data.reset(sqfs_data_reader_create(&st->file.f, super.block_size, st->cmp.get(), 0));
  if (!st->data || sqfs_data_reader_load_fragment_table(st->data.get(), &super) != 0) {
    *codec_fault = true;
    return "fragment table does not decode";
  }
  if (super.fragment_entry_count) {
    Obj<sqfs_frag_table_t> ft(sqfs_frag_table_create(0));
    if (!ft || sqfs_frag_table_read(ft.get(), &st->file.f, &super, st->cmp.get()) != 0)
      return "fragment table does not decode";
    st->frags.resize(sqfs_frag_table_get_size(ft.get()));
    for (size_t i = 0; i < st->frags.size(); ++i) {
      if (sqfs_frag_table_lookup(ft.get(), sqfs_u32(i), &st->frags[i]) != 0) return "fragment table cut short";
      const sqfs_fragment_t& f = st->frags[i];
      if ((f.size & kSizeMask) > super.block_size || f.start_offset > super.bytes_used ||
          (f.size & kSizeMask) > super.bytes_used - f.start_offset)
        return "fragment block outside the image";
    }
  }
  return nullptr;
}

// The readers a tree with unread directories keeps, and its reader's counts.
struct LazyDirs4 {
  Obj<sqfs_dir_reader_t> dr;
  Obj<sqfs_id_table_t> ids;
  Obj<sqfs_xattr_reader_t> xr;
  Reader4 rd;
  std::unordered_set<std::string> reported;  // directories whose failure was printed
};

// Large trees are read a directory at a time, as they are used:
// ROMSMITH_SQUASHFS_LAZY=1 at any size, =0 never.
bool lazy_tree(uint64_t inode_count) {
  if (const char* v = getenv("ROMSMITH_SQUASHFS_LAZY"); v && *v) return std::strcmp(v, "0") != 0;
  return inode_count >= 16384;
}

// The directory and id readers of `st`'s image, and its attribute reader
// when it has one: false when one does not open.
bool open_readers(State4* st, LazyDirs4* l) {
  const sqfs_super_t& super = st->super;
  l->ids.reset(sqfs_id_table_create(0));
  if (!l->ids || sqfs_id_table_read(l->ids.get(), &st->file.f, &super, st->cmp.get()) != 0) return false;
  l->dr.reset(sqfs_dir_reader_create(&super, st->cmp.get(), &st->file.f, 0));
  if (!l->dr) return false;
  l->xr.reset();
  if (!(super.flags & SQFS_FLAG_NO_XATTRS) && super.xattr_id_table_start != ~sqfs_u64(0)) {
    l->xr.reset(sqfs_xattr_reader_create(0));
    if (!l->xr || sqfs_xattr_reader_load(l->xr.get(), &super, &st->file.f, st->cmp.get()) != 0) return false;
  }
  l->rd.st = st;
  l->rd.dr = l->dr.get();
  l->rd.ids = l->ids.get();
  l->rd.xr = l->xr.get();
  return true;
}

bool expand4(squashfs_data* img, squashfs_entry* dir) {
  State4* st = state_of(img);
  auto* l = st ? static_cast<LazyDirs4*>(st->lazy.get()) : nullptr;
  const char* where = dir->path.empty() ? "/" : dir->path.c_str();
  if (!l) {
    fprintf(stderr, "squashfs error: %s: the image to read its entries from is gone\n", where);
    return false;
  }
  std::shared_ptr<const void> rec = std::move(dir->unread);
  dir->unread.reset();
  --img->unread_dirs;
  int depth = int(std::count(dir->path.begin(), dir->path.end(), '/'));
  std::string kept = std::move(img->refusal);
  img->refusal.clear();
  bool ok = false;
  try {
    ok = l->rd.fill(dir, static_cast<const sqfs_inode_generic_t*>(rec.get()), depth);
  } catch (const std::bad_alloc&) {
    refuse(img, "out of memory");
  }
  if (ok) {
    mark_expanded4(dir);
  } else {
    // Half a listing is no listing: the directory stays unread.
    forget_children(dir);
    dir->unread = std::move(rec);
    ++img->unread_dirs;
    if (l->reported.insert(dir->path).second)
      fprintf(stderr, "squashfs error: %s\n", img->refusal.empty() ? where : img->refusal.c_str());
  }
  img->refusal = std::move(kept);
  return ok;
}

int read_image4_kind(squashfs_data* img, const uint8_t* buf, size_t size, const LzmaKind* known) {
  auto st = std::make_unique<State4>(buf, size);
  sqfs_super_t& super = st->super;
  // The library refuses ids it does not know as a corrupt superblock; name them.
  uint16_t comp_id = load_le16(buf + 20);
  if (!compressor_name(comp_id)) {
    refuse(img, "unknown compressor id " + std::to_string(comp_id));
    return -1;
  }
  auto fail = [img](const char* why) {
    refuse(img, why);
    return 0;
  };
  if (sqfs_super_read(&super, &st->file.f) != 0)
    return fail("superblock refused (block size and its log, flags or table positions do not agree)");
  // Table sizes follow from counts in the superblock; the library would
  // allocate them before reading, so counts the image cannot hold are refused.
  auto index_fits = [&](uint64_t count, uint64_t entry, uint64_t start) {
    uint64_t index_bytes = (count * entry + 8191) / 8192 * 8;
    return start <= size && index_bytes <= size - start;
  };
  if (super.bytes_used > size) return fail("bytes used beyond the end of the image (cut short?)");
  if (super.fragment_entry_count && !index_fits(super.fragment_entry_count, 16, super.fragment_table_start))
    return fail("fragment count beyond what the image holds");
  if ((super.flags & SQFS_FLAG_EXPORTABLE) && super.export_table_start != ~sqfs_u64(0) &&
      !index_fits(super.inode_count, 8, super.export_table_start))
    return fail("inode count beyond what the export table holds");
  if (!index_fits(super.id_count, 4, super.id_table_start)) return fail("id count beyond what the image holds");
  // The inode and directory tables run from their starts to the next table:
  // their stored size is what the tree may be built from.
  if (super.inode_table_start > super.directory_table_start || super.directory_table_start >= super.bytes_used)
    return fail("inode or directory table outside the image");
  uint64_t tables_end = super.bytes_used;
  for (uint64_t t :
       {super.fragment_table_start, super.export_table_start, super.id_table_start, super.xattr_id_table_start})
    if (t > super.directory_table_start && t < tables_end) tables_end = t;
  const uint64_t table_bytes = tables_end - super.inode_table_start;

  squashfs_params4& p = img->p4;
  p.compressor = super.compression_id;
  const char* name = compressor_name(super.compression_id);
  sqfs_compressor_config_t cfg;
  sqfs_compressor_t* raw_cmp = nullptr;
  if (!name || sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(super.compression_id), super.block_size,
                                           SQFS_COMP_FLAG_UNCOMPRESS) != 0) {
    refuse(img, "unknown compressor id " + std::to_string(super.compression_id));
    return -1;
  }
  if (super.compression_id == SQFS_COMP_LZMA) {
    LzmaKind k;
    if (known) {
      k = *known;
    } else if (!sniff_image_lzma(img, buf, size, Order4{}, &k)) {
      return -1;
    }
    if (k.framing != LzmaFraming::alone) {
      set_lzma_kind(&cfg, k);
      p.lzma_framing = uint8_t(k.framing);
      p.lzma_props = k.props;
      p.lzma_dict = k.dict;
    }
  }
  p.time_is_size = super.modification_time == super.bytes_used;
  if (int r = make_compressor(&cfg, &raw_cmp); r != 0) {
    if (r == SQFS_ERROR_UNSUPPORTED) {
      refuse(img, std::string(name) + " compression is not supported");
      return -1;
    }
    return fail("no decompressor for it");
  }
  st->meta_cache = std::make_shared<MetaCache>();
  raw_cmp = caching_decoder(raw_cmp, st->meta_cache);
  if (!raw_cmp) return fail("out of memory");
  st->cmp.reset(raw_cmp);
  st->cfg = cfg;
  sqfs_compressor_t* cmp = raw_cmp;

  p.block_size = super.block_size;
  p.flags = super.flags;
  p.dict_size = super.block_size;
  p.xz_filters = 0;
  {
    sqfs_compressor_config_t def;
    cmp->get_configuration(cmp, &def);
    p.level = def.level;
    p.comp_flags = uint16_t(def.flags & ~SQFS_COMP_FLAG_UNCOMPRESS);
    p.window = def.opt.gzip.window_size;
    p.algorithm = def.opt.lzo.algorithm;
  }
  if (super.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) {
    if (cmp->read_options(cmp, &st->file.f) < 0) return fail("compressor options do not decode");
    sqfs_compressor_config_t got;
    cmp->get_configuration(cmp, &got);
    if (super.compression_id == SQFS_COMP_XZ) {
      p.dict_size = got.opt.xz.dict_size;
      p.xz_filters = got.flags & 0x3F;
      // Options that a rebuild could not write again are refused now rather
      // than ending the process at save time.
      if (!dict_size_ok(p.dict_size, p.block_size)) return fail("xz dictionary size the format cannot store");
    } else {
      p.level = got.level;
      p.comp_flags = uint16_t(got.flags & ~SQFS_COMP_FLAG_UNCOMPRESS);
      p.window = got.opt.gzip.window_size;
      p.algorithm = got.opt.lzo.algorithm;
      if (super.compression_id == SQFS_COMP_LZMA) p.dict_size = got.opt.lzma.dict_size;
    }
    if (size < 98) return fail("compressor options cut short");
    uint16_t hdr = load_le16(buf + 96);
    size_t len = std::min<size_t>(hdr & 0x7FFF, size - 98);
    img->buffer.assign(buf + 96, buf + 98 + len);
  }

  Obj<sqfs_id_table_t> ids(sqfs_id_table_create(0));
  // The first metadata the decompressor meets: a framing it does not take
  // (a vendor's lzma header, say) shows here.
  const char* framing = p.lzma_framing ? " (vendor framing)" : " (lzma-alone framing)";
  const std::string as_meta =
      std::string(" as ") + name + (super.compression_id == SQFS_COMP_LZMA ? framing : "") + " metadata";
  if (!ids || sqfs_id_table_read(ids.get(), &st->file.f, &super, cmp) != 0)
    return fail(("id table does not decode" + as_meta).c_str());
  Obj<sqfs_dir_reader_t> dr(sqfs_dir_reader_create(&super, cmp, &st->file.f, 0));
  if (!dr) return fail("out of memory for the directory reader");
  bool codec_fault = false;
  if (const char* why = open_data(st.get(), &codec_fault); why)
    return fail(codec_fault ? (why + as_meta).c_str() : why);
  Obj<sqfs_xattr_reader_t> xr;
  if (!(super.flags & SQFS_FLAG_NO_XATTRS) && super.xattr_id_table_start != ~sqfs_u64(0)) {
    xr.reset(sqfs_xattr_reader_create(0));
    if (!xr || sqfs_xattr_reader_load(xr.get(), &super, &st->file.f, cmp) != 0)
      return fail("extended attribute table does not decode");
  }

  sqfs_inode_generic_t* raw_root = nullptr;
  if (sqfs_dir_reader_get_root_inode(dr.get(), &raw_root) != 0)
    return fail(("root inode does not decode" + as_meta).c_str());
  InodePtr rin(raw_root);
  if (basic_type(rin->base.type) != SQFS_INODE_DIR) return fail("root inode is no directory");

  squashfs_inode rino;
  rino.type = 1;
  rino.mode = int((rin->base.mode & 07777) | S_IFDIR);
  sqfs_u32 uid = 0, gid = 0;
  if (sqfs_id_table_index_to_id(ids.get(), rin->base.uid_idx, &uid) != 0 ||
      sqfs_id_table_index_to_id(ids.get(), rin->base.gid_idx, &gid) != 0)
    return fail("root owner index beyond the id table");
  rino.uid = uid;
  rino.gid = gid;
  rino.time = rin->base.mod_time;
  rino.inode_number = int(rin->base.inode_number);
  squashfs_entry* root = squashfs_entry_new(img, "/", &rino, nullptr);
  root->stbuf.st_size = 0;
  img->root_entry = root;
  img->entry_table["/"] = root;

  Reader4 rd{img, st.get(), dr.get(), ids.get(), xr.get(), {}, {}, 0, 0, table_bytes};
  rd.budget = tree_budget(table_bytes);
  rd.lazy = lazy_tree(super.inode_count);
  // Slots for every inode the superblock counts, within what the budget allows.
  if (!rd.lazy) img->entry_table.reserve(size_t(std::min<uint64_t>(super.inode_count, rd.budget / kEntryCost)));
  try {
    if (!rd.xattrs_of(rin.get(), root->xattrs)) return fail("extended attributes of the root do not decode");
    if (!rd.fill(root, rin.get(), 0)) return fail("directory tree does not decode");
    if (img->unread_dirs) {
      auto l = std::make_shared<LazyDirs4>();
      l->dr = std::move(dr);
      l->ids = std::move(ids);
      l->xr = std::move(xr);
      l->rd = std::move(rd);
      st->lazy = l;
      img->expand = expand4;
      // Numbers of nodes not read yet stay theirs: new nodes count on from the last.
      if (super.inode_count < uint64_t(INT32_MAX)) img->last_node = std::max(img->last_node, int(super.inode_count) + 1);
    }
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
  squashfs_attach_reader(img, buf, size, {4, read_content4, read_range4, release_state4}, st.release());
  mark_loaded4(root);
  return 1;
}

}  // namespace

bool adopt_in_place4(squashfs_entry* root, const InPlace4& r, const uint8_t* buf, size_t size) {
  squashfs_data* img = root->image;
  State4* old = state_of(img);
  if (!old || img->loaded_version != 4 || !img->root_entry) return false;
  // Every node must be one the image holds (a name listed twice in a
  // directory is written once): count them.
  size_t count = 0;
  std::vector<const squashfs_entry*> todo{img->root_entry};
  while (!todo.empty()) {
    const squashfs_entry* d = todo.back();
    todo.pop_back();
    ++count;
    for (const squashfs_entry* c = d->child; c; c = c->next) todo.push_back(c);
  }
  if (!r.partial && count != r.nodes.size()) return false;

  auto st = std::make_unique<State4>(buf, size);
  if (sqfs_super_read(&st->super, &st->file.f) != 0 || st->super.bytes_used > size) return false;
  st->cfg = old->cfg;
  sqfs_compressor_t* raw = nullptr;
  if (make_compressor(&st->cfg, &raw) != 0) return false;
  st->meta_cache = old->meta_cache ? old->meta_cache : std::make_shared<MetaCache>();
  if (!(raw = caching_decoder(raw, st->meta_cache))) return false;
  st->cmp.reset(raw);
  bool codec_fault = false;
  if (open_data(st.get(), &codec_fault)) return false;
  // Directories still unread are read from the new image: the kept blocks
  // of its tables lie where they were counted from.
  std::shared_ptr<LazyDirs4> lazy;
  if (img->unread_dirs) {
    auto* was = static_cast<LazyDirs4*>(old->lazy.get());
    if (!was) return false;
    lazy = std::make_shared<LazyDirs4>();
    lazy->rd = was->rd;
    if (!open_readers(st.get(), lazy.get())) return false;
  }
  const uint32_t bs = st->super.block_size;
  for (const InPlace4::Node& n : r.nodes) {
    if (n.file < 0) continue;
    const squashfs_stored& s = r.stored[size_t(n.file)];
    uint64_t end = s.start;
    for (uint32_t w : s.block_words) end += w & kSizeMask;
    if (end > st->super.bytes_used) return false;
    if (s.fragment != 0xFFFFFFFFu) {
      const uint64_t len = s.file_size - uint64_t(s.block_words.size()) * bs;
      if (s.fragment >= st->frags.size() || len == 0 || s.frag_offset + len > bs) return false;
      st->frag_tails.push_back({s.fragment, s.frag_offset, uint32_t(len)});
    }
  }
  // From here on nothing fails: the tree takes the new image's view. The
  // nodes left out of a partial view keep their tails where they were.
  if (r.partial) st->frag_tails.insert(st->frag_tails.end(), old->frag_tails.begin(), old->frag_tails.end());
  int last = r.partial ? img->last_node : 1;
  for (const InPlace4::Node& n : r.nodes) {
    squashfs_entry* e = n.e;
    e->stbuf.st_ino = ino_t(n.number);
    e->cur_inode.inode_number = int(n.number);
    last = std::max(last, int(n.number) + 1);
    if (n.file < 0) continue;
    const squashfs_stored& s = r.stored[size_t(n.file)];
    e->stored = s;
    e->content_loaded = false;
    std::vector<uint8_t>().swap(e->buf);
    e->stbuf.st_size = off_t(s.file_size);
    e->cur_inode.data = int64_t(s.file_size);
    e->cur_inode.start = int64_t(s.start);
    e->cur_inode.blocks = int(s.block_words.size());
    e->cur_inode.fragment = s.fragment != 0xFFFFFFFFu ? int(s.fragment) : -1;
    e->cur_inode.offset = s.fragment != 0xFFFFFFFFu ? int(s.frag_offset) : -1;
  }
  std::memcpy(img->super4.data(), buf, img->super4.size());
  img->last_node = std::max<int64_t>(last, int64_t(st->super.inode_count) + 1) > INT32_MAX
                       ? INT32_MAX
                       : std::max(last, int(st->super.inode_count) + 1);
  img->by_ino_valid = false;
  st->lazy = std::move(lazy);
  img->release_state(img);
  squashfs_attach_reader(img, buf, size, {4, read_content4, read_range4, release_state4}, st.release());
  return true;
}

}  // namespace rs::sqfs
