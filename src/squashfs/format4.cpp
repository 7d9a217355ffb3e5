// squashfs 4.0 through libsquashfs: the reader builds the tree from the inode
// and directory tables and leaves file data in the image until it is read;
// the builder writes the data area itself, copying the stored blocks of
// unchanged files and compressing only new content (libsquashfs has no way to
// inject stored blocks), and uses libsquashfs for metadata, tables and codecs.
#include <sqfs/block.h>
#include <sqfs/compressor.h>
#include <sqfs/data_reader.h>
#include <sqfs/dir.h>
#include <sqfs/dir_reader.h>
#include <sqfs/dir_writer.h>
#include <sqfs/frag_table.h>
#include <sqfs/id_table.h>
#include <sqfs/inode.h>
#include <sqfs/meta_writer.h>
#include <sqfs/super.h>
#include <sqfs/xattr.h>
#include <sqfs/xattr_reader.h>
#include <sqfs/xattr_writer.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "squashfs/internal.h"
#include "squashfs/lzo4.h"
#include "squashfs/memfile.h"
#include "util/endian.h"

namespace rs::sqfs {
namespace {

struct Destroy {
  void operator()(void* p) const { sqfs_destroy(p); }
};
template <class T>
using Obj = std::unique_ptr<T, Destroy>;

struct FreeInode {
  void operator()(sqfs_inode_generic_t* p) const { free(p); }
};
using InodePtr = std::unique_ptr<sqfs_inode_generic_t, FreeInode>;

struct SqfsFree {
  void operator()(void* p) const { sqfs_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, SqfsFree>;

constexpr int kMaxDepth = 1024;
constexpr uint64_t kMaxTreeBytes = uint64_t(64) << 20;
constexpr uint32_t kRawBit = 1u << 24;  // block or fragment stored uncompressed
constexpr uint32_t kSizeMask = kRawBit - 1;

bool dict_size_ok(uint32_t d, uint32_t block_size) {
  if (d < 8192 || d > block_size) return false;
  for (int n = 0; n < 32; ++n) {
    uint64_t p = uint64_t(1) << n;
    if (d == p || d == p + (p >> 1)) return true;
  }
  return false;
}

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

// What stays open while the tree lives: the image view, its decompressor and
// the data reader, and which tails each stored fragment block holds.
// libsquashfs's codecs, and our own where the library has none.
int make_compressor(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out) {
  int r = sqfs_compressor_create(cfg, out);
  if (r == SQFS_ERROR_UNSUPPORTED && cfg->id == SQFS_COMP_LZO) r = create_lzo_compressor(cfg, out);
  return r;
}

struct State4 {
  MemFile file;
  sqfs_super_t super{};
  Obj<sqfs_compressor_t> cmp;
  Obj<sqfs_data_reader_t> data;
  std::vector<sqfs_fragment_t> frags;
  std::map<uint32_t, std::set<std::pair<uint32_t, uint32_t>>> frag_members;  // (offset, length)
  State4(const uint8_t* buf, size_t size) : file(buf, size) {}
};

State4* state_of(squashfs_data* img) { return static_cast<State4*>(img->reader_state); }

// A file inode that locates the stored data of an entry, for the data reader.
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

void read_failed(const squashfs_entry* e, int err) {
  fprintf(stderr, "squashfs: %s: stored data cannot be decoded (error %d)\n", e->path.empty() ? "/" : e->path.c_str(),
          err);
}

long long read_range4(squashfs_data* img, const squashfs_entry* e, uint64_t off, void* buf, size_t n) {
  State4* st = state_of(img);
  const squashfs_stored& s = e->stored;
  if (!st || !s.valid) return -EIO;
  if (off >= s.file_size) return 0;
  n = size_t(std::min<uint64_t>(n, s.file_size - off));
  InodePtr in = file_inode(s);
  if (!in) return -ENOMEM;
  size_t done = 0;
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
      st->frag_members[frag].insert({off, len});
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

  bool fill(squashfs_entry* parent, const sqfs_inode_generic_t* dir_inode, int depth) {
    if (depth > kMaxDepth) return false;
    // Directories cannot be hard links: a second visit is a loop or a shared
    // subtree that would multiply the tree.
    if (!dirs_seen.insert(dir_inode->base.inode_number).second) return false;
    if (sqfs_dir_reader_open_dir(dr, dir_inode, 0) != 0) return false;
    struct Item {
      std::string name;
      InodePtr inode;
    };
    std::vector<Item> items;
    for (;;) {
      sqfs_dir_entry_t* ent = nullptr;
      int r = sqfs_dir_reader_read(dr, &ent);
      if (r < 0) return false;
      if (r > 0) break;
      Owned<sqfs_dir_entry_t> ent_guard(ent);
      sqfs_inode_generic_t* raw = nullptr;
      if (sqfs_dir_reader_get_inode(dr, &raw) != 0) return false;
      items.push_back({std::string(reinterpret_cast<const char*>(ent->name), size_t(ent->size) + 1), InodePtr(raw)});
    }
    for (Item& it : items) {
      if (!valid_name(it.name)) return false;
      const sqfs_inode_generic_t* in = it.inode.get();
      squashfs_inode ino;
      ino.type = basic_type(in->base.type);
      if (ino.type < SQFS_INODE_DIR || ino.type > SQFS_INODE_SOCKET) return false;
      ino.mode = int((in->base.mode & 07777) | type_bits(ino.type));
      sqfs_u32 uid = 0, gid = 0;
      if (sqfs_id_table_index_to_id(ids, in->base.uid_idx, &uid) != 0 ||
          sqfs_id_table_index_to_id(ids, in->base.gid_idx, &gid) != 0)
        return false;
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
        if (uint64_t(ino.data) > in->payload_bytes_used) return false;
        ino.symlink.assign(reinterpret_cast<const char*>(in->extra), size_t(ino.data));
      } else if (ino.type == SQFS_INODE_BDEV || ino.type == SQFS_INODE_CDEV) {
        uint32_t d = in->base.type >= SQFS_INODE_EXT_DIR ? in->data.dev_ext.devno : in->data.dev.devno;
        ino.rdev = uint32_t(makedev((d >> 8) & 0xfff, (d & 0xff) | ((d >> 12) & 0xfff00)));
      }
      squashfs_entry* e = squashfs_dir_fill(parent, it.name.c_str(), &ino);
      if (!e) return false;
      // Deep trees of long names held in a few compressed metadata blocks
      // would otherwise cost far more memory than any real image.
      path_bytes += e->path.size() + sizeof(squashfs_entry);
      if (path_bytes > kMaxTreeBytes) return false;
      if (!xattrs_of(in, e->xattrs)) return false;
      switch (ino.type) {
        case SQFS_INODE_DIR:
          e->stbuf.st_size = 0;
          if (!fill(e, in, depth + 1)) return false;
          break;
        case SQFS_INODE_FILE:
          if (!locate(in, e)) return false;
          break;
        case SQFS_INODE_SLINK:
          e->buf.assign(ino.symlink.begin(), ino.symlink.end());
          break;
        default:
          printf("[%s %d] %s has other type %d]\n", "squashfs_dir_scan_4", 1087, e->path.c_str(), ino.type);
          break;
      }
    }
    return true;
  }
};

}  // namespace

int read_image4(squashfs_data* img, const uint8_t* buf, size_t size) {
  auto st = std::make_unique<State4>(buf, size);
  sqfs_super_t& super = st->super;
  // The library refuses ids it does not know as a corrupt superblock; name them.
  uint16_t comp_id = load_le16(buf + 20);
  if (!compressor_name(comp_id)) {
    fprintf(stderr, "squashfs: unknown compressor id %u, image left as raw bytes\n", unsigned(comp_id));
    return -1;
  }
  if (sqfs_super_read(&super, &st->file.f) != 0) return 0;
  // Table sizes follow from counts in the superblock; the library would
  // allocate them before reading, so counts the image cannot hold are refused.
  auto index_fits = [&](uint64_t count, uint64_t entry, uint64_t start) {
    uint64_t index_bytes = (count * entry + 8191) / 8192 * 8;
    return start <= size && index_bytes <= size - start;
  };
  if (super.bytes_used > size) return 0;
  if (super.fragment_entry_count && !index_fits(super.fragment_entry_count, 16, super.fragment_table_start)) return 0;
  if ((super.flags & SQFS_FLAG_EXPORTABLE) && super.export_table_start != ~sqfs_u64(0) &&
      !index_fits(super.inode_count, 8, super.export_table_start))
    return 0;
  if (!index_fits(super.id_count, 4, super.id_table_start)) return 0;

  squashfs_params4& p = img->p4;
  p.compressor = super.compression_id;
  const char* name = compressor_name(super.compression_id);
  sqfs_compressor_config_t cfg;
  sqfs_compressor_t* raw_cmp = nullptr;
  if (!name || sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(super.compression_id), super.block_size,
                                           SQFS_COMP_FLAG_UNCOMPRESS) != 0) {
    fprintf(stderr, "squashfs: unknown compressor id %u, image left as raw bytes\n", unsigned(super.compression_id));
    return -1;
  }
  if (int r = make_compressor(&cfg, &raw_cmp); r != 0) {
    if (r == SQFS_ERROR_UNSUPPORTED) {
      fprintf(stderr, "squashfs: %s compression is not supported, image left as raw bytes\n", name);
      return -1;
    }
    return 0;
  }
  st->cmp.reset(raw_cmp);
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
    if (cmp->read_options(cmp, &st->file.f) < 0) return 0;
    sqfs_compressor_config_t got;
    cmp->get_configuration(cmp, &got);
    if (super.compression_id == SQFS_COMP_XZ) {
      p.dict_size = got.opt.xz.dict_size;
      p.xz_filters = got.flags & 0x3F;
      // Options that a rebuild could not write again are refused now rather
      // than ending the process at save time.
      if (!dict_size_ok(p.dict_size, p.block_size)) return 0;
    } else {
      p.level = got.level;
      p.comp_flags = uint16_t(got.flags & ~SQFS_COMP_FLAG_UNCOMPRESS);
      p.window = got.opt.gzip.window_size;
      p.algorithm = got.opt.lzo.algorithm;
      if (super.compression_id == SQFS_COMP_LZMA) p.dict_size = got.opt.lzma.dict_size;
    }
    if (size < 98) return 0;
    uint16_t hdr = load_le16(buf + 96);
    size_t len = std::min<size_t>(hdr & 0x7FFF, size - 98);
    img->buffer.assign(buf + 96, buf + 98 + len);
  }

  Obj<sqfs_id_table_t> ids(sqfs_id_table_create(0));
  if (!ids || sqfs_id_table_read(ids.get(), &st->file.f, &super, cmp) != 0) return 0;
  Obj<sqfs_dir_reader_t> dr(sqfs_dir_reader_create(&super, cmp, &st->file.f, 0));
  if (!dr) return 0;
  st->data.reset(sqfs_data_reader_create(&st->file.f, super.block_size, cmp, 0));
  if (!st->data || sqfs_data_reader_load_fragment_table(st->data.get(), &super) != 0) return 0;
  if (super.fragment_entry_count) {
    Obj<sqfs_frag_table_t> ft(sqfs_frag_table_create(0));
    if (!ft || sqfs_frag_table_read(ft.get(), &st->file.f, &super, cmp) != 0) return 0;
    st->frags.resize(sqfs_frag_table_get_size(ft.get()));
    for (size_t i = 0; i < st->frags.size(); ++i) {
      if (sqfs_frag_table_lookup(ft.get(), sqfs_u32(i), &st->frags[i]) != 0) return 0;
      const sqfs_fragment_t& f = st->frags[i];
      if ((f.size & kSizeMask) > super.block_size || f.start_offset > super.bytes_used ||
          (f.size & kSizeMask) > super.bytes_used - f.start_offset)
        return 0;
    }
  }
  Obj<sqfs_xattr_reader_t> xr;
  if (!(super.flags & SQFS_FLAG_NO_XATTRS) && super.xattr_id_table_start != ~sqfs_u64(0)) {
    xr.reset(sqfs_xattr_reader_create(0));
    if (!xr || sqfs_xattr_reader_load(xr.get(), &super, &st->file.f, cmp) != 0) return 0;
  }

  sqfs_inode_generic_t* raw_root = nullptr;
  if (sqfs_dir_reader_get_root_inode(dr.get(), &raw_root) != 0) return 0;
  InodePtr rin(raw_root);
  if (basic_type(rin->base.type) != SQFS_INODE_DIR) return 0;

  squashfs_inode rino;
  rino.type = 1;
  rino.mode = int((rin->base.mode & 07777) | S_IFDIR);
  sqfs_u32 uid = 0, gid = 0;
  if (sqfs_id_table_index_to_id(ids.get(), rin->base.uid_idx, &uid) != 0 ||
      sqfs_id_table_index_to_id(ids.get(), rin->base.gid_idx, &gid) != 0)
    return 0;
  rino.uid = uid;
  rino.gid = gid;
  rino.time = rin->base.mod_time;
  rino.inode_number = int(rin->base.inode_number);
  squashfs_entry* root = squashfs_entry_new(img, "/", &rino, nullptr);
  root->stbuf.st_size = 0;
  img->root_entry = root;
  img->entry_table["/"] = root;

  Reader4 rd{img, st.get(), dr.get(), ids.get(), xr.get(), {}, {}, 0};
  try {
    if (!rd.xattrs_of(rin.get(), root->xattrs)) return 0;
    if (!rd.fill(root, rin.get(), 0)) return 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  squashfs_attach_reader(img, buf, size, {4, read_content4, read_range4, release_state4}, st.release());
  return 1;
}

namespace {

// Stores metadata uncompressed where the loaded image had it so.
sqfs_compressor_t* make_passthrough() {
  static sqfs_compressor_t pass = [] {
    sqfs_compressor_t c{};
    c.base.destroy = [](sqfs_object_t*) {};
    c.base.copy = [](const sqfs_object_t* o) { return const_cast<sqfs_object_t*>(o); };
    c.get_configuration = [](const sqfs_compressor_t*, sqfs_compressor_config_t* cfg) {
      std::memset(cfg, 0, sizeof(*cfg));
    };
    c.write_options = [](sqfs_compressor_t*, sqfs_file_t*) { return 0; };
    c.read_options = [](sqfs_compressor_t*, sqfs_file_t*) { return 0; };
    c.do_block = [](sqfs_compressor_t*, const sqfs_u8*, sqfs_u32, sqfs_u8*, sqfs_u32) -> sqfs_s32 { return 0; };
    return c;
  }();
  return &pass;
}

// Metadata compression that stores a block raw when compressing does not
// shrink it: some codecs return a larger result, which readers refuse.
struct ShrinkOnly {
  sqfs_compressor_t c{};
  sqfs_compressor_t* inner = nullptr;
  explicit ShrinkOnly(sqfs_compressor_t* wrapped) : inner(wrapped) {
    static_assert(offsetof(ShrinkOnly, c) == 0);
    c.base.destroy = [](sqfs_object_t*) {};
    c.base.copy = nullptr;
    c.get_configuration = [](const sqfs_compressor_t* self, sqfs_compressor_config_t* cfg) {
      const ShrinkOnly* s = reinterpret_cast<const ShrinkOnly*>(self);
      s->inner->get_configuration(s->inner, cfg);
    };
    c.write_options = [](sqfs_compressor_t*, sqfs_file_t*) { return 0; };
    c.read_options = [](sqfs_compressor_t*, sqfs_file_t*) { return 0; };
    c.do_block = [](sqfs_compressor_t* self, const sqfs_u8* in, sqfs_u32 size, sqfs_u8* out,
                    sqfs_u32 outsize) -> sqfs_s32 {
      ShrinkOnly* s = reinterpret_cast<ShrinkOnly*>(self);
      sqfs_s32 r = s->inner->do_block(s->inner, in, size, out, outsize);
      return r > 0 && sqfs_u32(r) >= size ? 0 : r;
    };
  }
};

void check(int r, const char* what) {
  if (r != 0) fatal("FATAL ERROR:%s failed (%d)\n", what, r);
}

// The data of one regular-file inode of the new image.
struct FileData {
  squashfs_entry* node = nullptr;    // the group's representative
  const uint8_t* content = nullptr;  // new content, or null for stored blocks
  std::vector<uint8_t> decoded;      // content decoded because it cannot be copied
  std::vector<uint32_t> words;
  std::vector<size_t> jobs;  // per block: job index, or SIZE_MAX for a hole
  uint64_t start = 0, size = 0, sparse = 0;
  uint32_t frag = 0xFFFFFFFFu, frag_off = 0;
  long dup_of = -1;  // same content as an earlier file
  bool verbatim = false;
};

// One block to compress: new data or a newly packed fragment block.
struct Job {
  const uint8_t* in = nullptr;
  uint32_t n = 0;
  bool raw = false;
  std::vector<uint8_t> out;
  uint32_t word = 0;
};

struct FragOut {
  bool verbatim = false;
  uint32_t old_index = 0;
  std::vector<uint8_t> data;
  size_t job = 0;
};

// One inode of the new image: hard links (nodes with identical stat records)
// share it.
struct Group {
  uint32_t number = 0;
  uint32_t links = 0;
  long file = -1;  // index into the file list
  bool written = false;
  sqfs_u64 ref = 0;
};

using StatKey = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t, int64_t, int64_t, uint64_t>;

StatKey key_of(const squashfs_entry* e) {
  const struct stat& s = e->stbuf;
  return {uint64_t(s.st_ino), uint32_t(s.st_mode), uint32_t(s.st_uid), uint32_t(s.st_gid),
          int64_t(s.st_size), int64_t(s.st_mtime), uint64_t(s.st_rdev)};
}

bool all_zero(const uint8_t* p, size_t n) { return n == 0 || (p[0] == 0 && !std::memcmp(p, p + 1, n - 1)); }

struct Builder4 {
  squashfs_params4 p;
  squashfs_data* img = nullptr;
  State4* st = nullptr;  // the loaded image, source of stored blocks
  MemFile out;
  sqfs_super_t super{};
  sqfs_compressor_config_t cfg{};
  sqfs_compressor_t* meta_cmp = nullptr;
  sqfs_meta_writer_t* im = nullptr;
  sqfs_dir_writer_t* dw = nullptr;
  sqfs_id_table_t* ids = nullptr;
  sqfs_xattr_writer_t* xw = nullptr;
  bool any_xattrs = false;
  std::map<StatKey, Group> groups;
  std::map<const squashfs_entry*, Group> dirs;
  std::vector<FileData> files;
  std::vector<Job> jobs;
  std::vector<FragOut> frag_out;
  long open_frag = -1;                    // fragment block being packed
  std::map<uint32_t, uint32_t> frag_map;  // stored fragment index -> new index
  uint32_t next_number = 1;

  Group& group(squashfs_entry* e) {
    Group& g = is_dir(e) ? dirs[e] : groups[key_of(e)];
    if (!g.number) g.number = next_number++;
    return g;
  }

  void number(squashfs_entry* dir) {
    for (squashfs_entry* c : sorted_children(dir)) {
      ++group(c).links;
      if (is_dir(c)) number(c);
    }
  }

  void collect(squashfs_entry* dir) {
    for (squashfs_entry* c : sorted_children(dir)) {
      if (is_dir(c)) {
        collect(c);
        continue;
      }
      if (!is_reg(c)) continue;
      Group& g = group(c);
      if (g.file >= 0) continue;
      g.file = long(files.size());
      FileData f;
      f.node = c;
      f.verbatim = st && !c->content_loaded && c->stored.valid;
      files.push_back(std::move(f));
    }
  }

  size_t add_job(const uint8_t* in, uint32_t n, bool raw) {
    Job j;
    j.in = in;
    j.n = n;
    j.raw = raw;
    jobs.push_back(std::move(j));
    return jobs.size() - 1;
  }

  void close_frag() {
    if (open_frag < 0) return;
    FragOut& fo = frag_out[size_t(open_frag)];
    fo.job = add_job(fo.data.data(), uint32_t(fo.data.size()), p.flags & SQFS_FLAG_UNCOMPRESSED_FRAGMENTS);
    open_frag = -1;
  }

  void pack_tail(FileData& f, const uint8_t* tail, uint32_t len) {
    if (open_frag >= 0 && frag_out[size_t(open_frag)].data.size() + len > p.block_size) close_frag();
    if (open_frag < 0) {
      frag_out.emplace_back();
      open_frag = long(frag_out.size() - 1);
      frag_out.back().data.reserve(p.block_size);
    }
    FragOut& fo = frag_out[size_t(open_frag)];
    f.frag = uint32_t(open_frag);
    f.frag_off = uint32_t(fo.data.size());
    fo.data.insert(fo.data.end(), tail, tail + len);
  }

  uint32_t keep_stored_frag(uint32_t old_index) {
    auto [it, fresh] = frag_map.try_emplace(old_index, uint32_t(frag_out.size()));
    if (fresh) {
      FragOut fo;
      fo.verbatim = true;
      fo.old_index = old_index;
      frag_out.push_back(std::move(fo));
    }
    return it->second;
  }

  // Decides for every file what is copied, what is compressed and where each
  // tail goes.
  void plan() {
    // A stored fragment block is copied when every tail it holds is still
    // used, unchanged; otherwise its remaining tails are packed anew.
    std::map<uint32_t, std::set<std::pair<uint32_t, uint32_t>>> present;
    const uint32_t bs = p.block_size;
    for (FileData& f : files)
      if (f.verbatim && f.node->stored.fragment != 0xFFFFFFFFu) {
        const squashfs_stored& s = f.node->stored;
        present[s.fragment].insert({s.frag_offset, uint32_t(s.file_size - s.block_words.size() * uint64_t(bs))});
      }
    std::unordered_map<uint64_t, std::vector<size_t>> seen;  // new content by size
    // Unchanged files by size: new content equal to one of them shares its
    // stored data. Only same-size candidates are decoded to compare.
    std::unordered_multimap<uint64_t, size_t> stored_by_size;
    if (p.flags & SQFS_FLAG_NO_DUPLICATES)
      for (size_t i = 0; i < files.size(); ++i)
        if (files[i].verbatim && files[i].node->stored.file_size)
          stored_by_size.emplace(files[i].node->stored.file_size, i);
    for (size_t i = 0; i < files.size(); ++i) {
      FileData& f = files[i];
      squashfs_entry* e = f.node;
      if (!f.verbatim && !e->content_loaded) {
        // Loaded content that is no longer where the image said: decode it.
        if (squashfs_content(e, f.decoded) < 0) fatal("FATAL ERROR:cannot read %s\n", e->path.c_str());
      }
      if (f.verbatim) {
        const squashfs_stored& s = e->stored;
        f.size = s.file_size;
        f.sparse = s.sparse;
        if (s.fragment == 0xFFFFFFFFu) continue;
        if (present[s.fragment] == st->frag_members[s.fragment]) {
          f.frag = keep_stored_frag(s.fragment);
          f.frag_off = s.frag_offset;
          continue;
        }
        InodePtr in = file_inode(s);
        size_t len = 0;
        sqfs_u8* tail = nullptr;
        if (!in || sqfs_data_reader_get_fragment(st->data.get(), in.get(), &len, &tail) != 0 || !tail) {
          // A fragment block that no longer decodes is kept as stored.
          f.frag = keep_stored_frag(s.fragment);
          f.frag_off = s.frag_offset;
          continue;
        }
        f.decoded.assign(tail, tail + len);
        sqfs_free(tail);
        pack_tail(f, f.decoded.data(), uint32_t(len));
        continue;
      }
      f.content = e->content_loaded ? e->buf.data() : f.decoded.data();
      f.size = e->content_loaded ? e->buf.size() : f.decoded.size();
      if (p.flags & SQFS_FLAG_NO_DUPLICATES) {
        // Same size first; memcmp stops at the first difference.
        std::vector<size_t>& same_size = seen[f.size];
        for (size_t k = 0; k < same_size.size() && k < 256; ++k) {
          const FileData& o = files[same_size[k]];
          if (f.size == 0 || !std::memcmp(o.content, f.content, size_t(f.size))) {
            f.dup_of = long(same_size[k]);
            break;
          }
        }
        if (f.dup_of >= 0) continue;
        auto cands = stored_by_size.equal_range(f.size);
        int tries = 0;
        std::vector<uint8_t> head(size_t(std::min<uint64_t>(f.size, bs)));
        for (auto it = cands.first; it != cands.second && tries < 256; ++it, ++tries) {
          // The first block rules most candidates out before a whole decode.
          const squashfs_entry* o = files[it->second].node;
          if (read_range4(img, o, 0, head.data(), head.size()) != (long long)head.size() ||
              std::memcmp(head.data(), f.content, head.size()) != 0)
            continue;
          std::vector<uint8_t> old;
          if (read_content4(img, o, old) == 0 && old.size() == f.size &&
              !std::memcmp(old.data(), f.content, size_t(f.size))) {
            f.dup_of = long(it->second);
            break;
          }
        }
        if (f.dup_of >= 0) continue;
        same_size.push_back(i);
      }
      uint64_t full = f.size / bs, tail = f.size % bs;
      bool frag =
          tail && !(p.flags & SQFS_FLAG_NO_FRAGMENTS) && (f.size < bs || (p.flags & SQFS_FLAG_ALWAYS_FRAGMENTS));
      uint64_t nblocks = full + (tail && !frag ? 1 : 0);
      bool raw = p.flags & SQFS_FLAG_UNCOMPRESSED_DATA;
      for (uint64_t b = 0; b < nblocks; ++b) {
        const uint8_t* blk = f.content + b * bs;
        uint32_t n = uint32_t(std::min<uint64_t>(bs, f.size - b * bs));
        if (all_zero(blk, n)) {
          f.jobs.push_back(SIZE_MAX);
          f.sparse += n;
        } else {
          f.jobs.push_back(add_job(blk, n, raw));
        }
      }
      if (frag) pack_tail(f, f.content + full * bs, uint32_t(tail));
    }
    close_frag();
  }

  void compress_all() {
    size_t n_threads = std::max(1u, std::thread::hardware_concurrency());
    n_threads = std::min(n_threads, std::max<size_t>(1, jobs.size()));
    std::vector<Obj<sqfs_compressor_t>> cmps(n_threads);
    for (auto& c : cmps) {
      sqfs_compressor_t* raw = nullptr;
      if (make_compressor(&cfg, &raw) != 0) fatal("FATAL ERROR:compressor_init failed\n");
      c.reset(raw);
    }
    std::atomic<size_t> next{0};
    std::atomic<int> failed{0};
    auto work = [&](sqfs_compressor_t* c) {
      for (size_t i; (i = next++) < jobs.size();) {
        Job& j = jobs[i];
        if (!j.raw) {
          j.out.resize(j.n);
          sqfs_s32 r = c->do_block(c, j.in, j.n, j.out.data(), j.n);
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
    std::vector<std::thread> pool;
    for (size_t t = 1; t < n_threads; ++t) pool.emplace_back(work, cmps[t].get());
    work(cmps[0].get());
    for (auto& t : pool) t.join();
    if (failed) fatal("FATAL ERROR:data compression failed (%d)\n", int(failed));
  }

  void append(const uint8_t* data, size_t n) {
    if (!out.append(data, n)) fatal("FATAL ERROR:Out of memory\n");
  }

  void emit(sqfs_frag_table_t* tbl) {
    // Files that shared stored blocks (duplicates) keep sharing them.
    std::map<std::pair<uint64_t, std::vector<uint32_t>>, uint64_t> copied;
    for (FileData& f : files) {
      if (f.dup_of >= 0) continue;
      if (f.verbatim) {
        const squashfs_stored& s = f.node->stored;
        f.words = s.block_words;
        auto key = std::make_pair(s.start, s.block_words);
        auto it = copied.find(key);
        if (it != copied.end() && !s.block_words.empty()) {
          f.start = it->second;
          continue;
        }
        f.start = out.size();
        uint64_t at = s.start;
        for (uint32_t w : s.block_words) {
          append(img->image_bytes + at, w & kSizeMask);
          at += w & kSizeMask;
        }
        copied.emplace(std::move(key), f.start);
        continue;
      }
      f.start = out.size();
      for (size_t j : f.jobs) {
        if (j == SIZE_MAX) {
          f.words.push_back(0);
          continue;
        }
        append(jobs[j].out.data(), jobs[j].out.size());
        f.words.push_back(jobs[j].word);
        std::vector<uint8_t>().swap(jobs[j].out);
      }
    }
    // Duplicates last: what they share may lie further on in file order.
    for (FileData& f : files) {
      if (f.dup_of < 0) continue;
      const FileData& o = files[size_t(f.dup_of)];
      f.start = o.start;
      f.words = o.words;
      f.sparse = o.sparse;
      f.frag = o.frag;
      f.frag_off = o.frag_off;
    }
    for (FragOut& fo : frag_out) {
      uint64_t at = out.size();
      uint32_t word;
      if (fo.verbatim) {
        const sqfs_fragment_t& sf = st->frags[fo.old_index];
        append(img->image_bytes + sf.start_offset, sf.size & kSizeMask);
        word = sf.size;
      } else {
        append(jobs[fo.job].out.data(), jobs[fo.job].out.size());
        word = jobs[fo.job].word;
      }
      sqfs_u32 idx = 0;
      check(sqfs_frag_table_append(tbl, at, word, &idx), "fragment table");
    }
  }

  sqfs_u16 id_index(uint32_t id) {
    sqfs_u16 idx = 0;
    check(sqfs_id_table_id_to_index(ids, id, &idx), "id table");
    return idx;
  }

  sqfs_u32 xattr_index(const squashfs_entry* e) {
    if (e->xattrs.empty()) return 0xFFFFFFFFu;
    any_xattrs = true;
    check(sqfs_xattr_writer_begin(xw, 0), "xattr writer");
    for (const squashfs_xattr& x : e->xattrs)
      check(sqfs_xattr_writer_add(xw, x.key.c_str(), x.value.data(), x.value.size()), "xattr writer");
    sqfs_u32 idx = 0;
    check(sqfs_xattr_writer_end(xw, &idx), "xattr writer");
    return idx;
  }

  void set_base(sqfs_inode_generic_t* in, squashfs_entry* e, uint32_t number) {
    in->base.mode = sqfs_u16(e->stbuf.st_mode);
    in->base.uid_idx = id_index(uint32_t(e->stbuf.st_uid));
    in->base.gid_idx = id_index(uint32_t(e->stbuf.st_gid));
    in->base.mod_time = sqfs_u32(e->stbuf.st_mtime);
    in->base.inode_number = number;
  }

  sqfs_u64 write_inode(sqfs_inode_generic_t* in) {
    sqfs_u64 block = 0;
    sqfs_u32 offset = 0;
    sqfs_meta_writer_get_position(im, &block, &offset);
    check(sqfs_meta_writer_write_inode(im, in), "write inode");
    return block << 16 | offset;
  }

  InodePtr make_inode(size_t extra) {
    auto* in = static_cast<sqfs_inode_generic_t*>(calloc(1, sizeof(sqfs_inode_generic_t) + extra));
    if (!in) fatal("FATAL ERROR:Out of memory\n");
    in->payload_bytes_available = sqfs_u32(extra);
    return InodePtr(in);
  }

  sqfs_u64 leaf_inode(squashfs_entry* e, Group& g) {
    mode_t t = e->stbuf.st_mode & S_IFMT;
    InodePtr in;
    if (t == S_IFREG) {
      const FileData& f = files[size_t(g.file)];
      in = make_inode(f.words.size() * 4);
      in->base.type = SQFS_INODE_FILE;
      in->payload_bytes_used = sqfs_u32(f.words.size() * 4);
      if (!f.words.empty()) std::memcpy(in->extra, f.words.data(), f.words.size() * 4);
      in->data.file.fragment_index = 0xFFFFFFFFu;
      check(sqfs_inode_set_file_size(in.get(), f.size), "inode");
      check(sqfs_inode_set_file_block_start(in.get(), f.start), "inode");
      check(sqfs_inode_set_frag_location(in.get(), f.frag, f.frag_off), "inode");
      if (g.links > 1 || f.sparse) {
        check(sqfs_inode_make_extended(in.get()), "inode");
        in->data.file_ext.nlink = g.links;
        in->data.file_ext.sparse = f.sparse;
        in->data.file_ext.xattr_idx = 0xFFFFFFFFu;
      }
    } else if (t == S_IFLNK) {
      in = make_inode(e->buf.size());
      in->base.type = SQFS_INODE_SLINK;
      in->payload_bytes_used = sqfs_u32(e->buf.size());
      if (!e->buf.empty()) std::memcpy(in->extra, e->buf.data(), e->buf.size());
      in->data.slink.nlink = g.links;
      in->data.slink.target_size = sqfs_u32(e->buf.size());
    } else if (t == S_IFBLK || t == S_IFCHR) {
      in = make_inode(0);
      in->base.type = t == S_IFBLK ? SQFS_INODE_BDEV : SQFS_INODE_CDEV;
      uint32_t ma = major(e->stbuf.st_rdev), mi = minor(e->stbuf.st_rdev);
      in->data.dev.nlink = g.links;
      in->data.dev.devno = (mi & 0xff) | ((ma & 0xfff) << 8) | ((mi & ~0xffu) << 12);
    } else {
      in = make_inode(0);
      in->base.type = t == S_IFIFO ? SQFS_INODE_FIFO : SQFS_INODE_SOCKET;
      in->data.ipc.nlink = g.links;
    }
    set_base(in.get(), e, g.number);
    sqfs_u32 xi = xattr_index(e);
    if (xi != 0xFFFFFFFFu) check(sqfs_inode_set_xattr_index(in.get(), xi), "inode");
    return write_inode(in.get());
  }

  // Writes the inodes below `dir`, then its listing and inode; children come
  // before their directory as in the reference layout.
  sqfs_u64 write_dir(squashfs_entry* dir, uint32_t number, uint32_t parent_number) {
    auto kids = sorted_children(dir);
    std::vector<std::pair<uint32_t, sqfs_u64>> refs;
    size_t subdirs = 0;
    for (squashfs_entry* c : kids) {
      Group& g = group(c);
      if (is_dir(c)) {
        ++subdirs;
        refs.emplace_back(g.number, write_dir(c, g.number, number));
      } else {
        if (!g.written) {
          g.ref = leaf_inode(c, g);
          g.written = true;
        }
        refs.emplace_back(g.number, g.ref);
      }
    }
    check(sqfs_dir_writer_begin(dw, 0), "dir writer");
    for (size_t i = 0; i < kids.size(); ++i)
      check(sqfs_dir_writer_add_entry(dw, kids[i]->name.c_str(), refs[i].first, refs[i].second,
                                      sqfs_u16(kids[i]->stbuf.st_mode)),
            "dir entry");
    check(sqfs_dir_writer_end(dw), "dir writer");
    InodePtr in(sqfs_dir_writer_create_inode(dw, 0, xattr_index(dir), parent_number));
    if (!in) fatal("FATAL ERROR:Out of memory\n");
    set_base(in.get(), dir, number);
    sqfs_u32 nlink = sqfs_u32(2 + subdirs);
    if (in->base.type == SQFS_INODE_EXT_DIR)
      in->data.dir_ext.nlink = nlink;
    else
      in->data.dir.nlink = nlink;
    return write_inode(in.get());
  }
};

Obj<sqfs_compressor_t> create_compressor(const sqfs_compressor_config_t& c) {
  sqfs_compressor_t* raw = nullptr;
  if (make_compressor(&c, &raw) != 0) fatal("FATAL ERROR:compressor_init failed\n");
  return Obj<sqfs_compressor_t>(raw);
}

}  // namespace

uint8_t* build_image4(squashfs_entry* root, size_t* fs_len) {
  squashfs_data* img = root->image;
  root = img->root_entry;
  Builder4 b;
  b.p = img->p4;
  b.img = img;
  b.st = img->image_bytes && img->loaded_version == 4 ? state_of(img) : nullptr;
  const squashfs_params4& p = b.p;
  const bool xz = p.compressor == SQFS_COMP_XZ;
  if (xz && p.dict_size != p.block_size && !dict_size_ok(p.dict_size, p.block_size))
    fatal("xz: -Xdict-size is an unsupported value, dict-size must be storable in xz header\n");

  check(sqfs_super_init(&b.super, p.block_size, sqfs_u32(time(nullptr)), SQFS_COMPRESSOR(p.compressor)), "super block");
  sqfs_compressor_config_t& cfg = b.cfg;
  sqfs_compressor_config_t mcfg;
  if (xz) {
    check(sqfs_compressor_config_init(&cfg, SQFS_COMP_XZ, p.block_size, p.xz_filters), "compressor_init");
    // xz dictionaries start at 8 KiB; blocks of 4 KiB are compressed with that
    // and still declare the default, as readers size their buffers for 8 KiB.
    cfg.opt.xz.dict_size = std::max<uint32_t>(p.dict_size, 8192);
    // Metadata blocks are at most 8 KiB: a larger dictionary gains nothing.
    check(sqfs_compressor_config_init(&mcfg, SQFS_COMP_XZ, p.block_size, 0), "compressor_init");
    mcfg.opt.xz.dict_size = 8192;
  } else {
    check(sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(p.compressor), p.block_size, p.comp_flags),
          "compressor_init");
    if (p.compressor != SQFS_COMP_LZ4) cfg.level = p.level;
    if (p.compressor == SQFS_COMP_GZIP) cfg.opt.gzip.window_size = p.window;
    if (p.compressor == SQFS_COMP_LZO) cfg.opt.lzo.algorithm = p.algorithm;
    if (p.compressor == SQFS_COMP_LZMA) cfg.opt.lzma.dict_size = p.dict_size;
    mcfg = cfg;
  }
  Obj<sqfs_compressor_t> cmp = create_compressor(cfg);
  Obj<sqfs_compressor_t> mcmp_inner = create_compressor(mcfg);
  ShrinkOnly mcmp_wrap(mcmp_inner.get());
  sqfs_compressor_t* mcmp = &mcmp_wrap.c;
  auto meta = [&](uint16_t raw_flag) { return (p.flags & raw_flag) ? make_passthrough() : mcmp; };
  b.meta_cmp = meta(SQFS_FLAG_UNCOMPRESSED_INODES);

  check(sqfs_super_write(&b.super, &b.out.f), "super block write");
  bool have_options = false;
  if (xz) {
    bool small_default = p.dict_size < 8192 && !(p.flags & SQFS_FLAG_COMPRESSOR_OPTIONS);
    int opt = small_default ? 0 : cmp->write_options(cmp.get(), &b.out.f);
    if (opt < 0) fatal("FATAL ERROR:compressor options write failed\n");
    have_options = opt > 0;
  } else if ((p.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) && !img->buffer.empty()) {
    // The options block as stored: it describes exactly the settings used.
    b.append(img->buffer.data(), img->buffer.size());
    have_options = true;
  }

  Obj<sqfs_frag_table_t> frags(sqfs_frag_table_create(0));
  Obj<sqfs_id_table_t> ids(sqfs_id_table_create(0));
  Obj<sqfs_xattr_writer_t> xw(sqfs_xattr_writer_create(0));
  if (!frags || !ids || !xw) fatal("FATAL ERROR:Out of memory allocating builder state\n");
  b.ids = ids.get();
  b.xw = xw.get();

  // Most of a rebuild is the loaded image copied as stored.
  if (!b.out.reserve(img->image_size + 65536)) fatal("FATAL ERROR:Out of memory\n");
  uint32_t root_number = b.next_number++;
  b.number(root);
  b.collect(root);
  b.plan();
  b.compress_all();
  b.emit(frags.get());

  Obj<sqfs_meta_writer_t> im(sqfs_meta_writer_create(&b.out.f, b.meta_cmp, 0));
  Obj<sqfs_meta_writer_t> dm(sqfs_meta_writer_create(&b.out.f, b.meta_cmp, SQFS_META_WRITER_KEEP_IN_MEMORY));
  if (!im || !dm) fatal("FATAL ERROR:Out of memory allocating builder state\n");
  bool exportable = p.flags & SQFS_FLAG_EXPORTABLE;
  Obj<sqfs_dir_writer_t> dw(sqfs_dir_writer_create(dm.get(), exportable ? SQFS_DIR_WRITER_CREATE_EXPORT_TABLE : 0));
  if (!dw) fatal("FATAL ERROR:Out of memory allocating builder state\n");
  b.im = im.get();
  b.dw = dw.get();

  b.super.inode_table_start = b.out.size();
  sqfs_u64 root_ref = b.write_dir(root, root_number, root_number);
  check(sqfs_meta_writer_flush(b.im), "inode table");
  b.super.directory_table_start = b.out.size();
  check(sqfs_meta_writer_flush(dm.get()), "directory table");
  check(sqfs_meta_write_write_to_file(dm.get()), "directory table");
  b.super.root_inode_ref = root_ref;
  b.super.inode_count = b.next_number - 1;

  check(sqfs_frag_table_write(frags.get(), &b.out.f, &b.super, meta(SQFS_FLAG_UNCOMPRESSED_FRAGMENTS)),
        "fragment table");
  if (exportable)
    check(sqfs_dir_writer_write_export_table(dw.get(), &b.out.f, b.meta_cmp, root_number, root_ref, &b.super),
          "export table");
  check(sqfs_id_table_write(ids.get(), &b.out.f, &b.super, meta(SQFS_FLAG_UNCOMPRESSED_IDS)), "id table");
  b.super.xattr_id_table_start = ~sqfs_u64(0);
  if (b.any_xattrs)
    check(sqfs_xattr_writer_flush(xw.get(), &b.out.f, &b.super, meta(SQFS_FLAG_UNCOMPRESSED_XATTRS)), "xattr table");

  // Flags as the loaded image had them.
  b.super.flags = uint16_t(p.flags & ~SQFS_FLAG_COMPRESSOR_OPTIONS);
  if (have_options) b.super.flags |= SQFS_FLAG_COMPRESSOR_OPTIONS;
  if (b.any_xattrs) b.super.flags &= uint16_t(~SQFS_FLAG_NO_XATTRS);
  b.super.bytes_used = b.out.size();
  check(sqfs_super_write(&b.super, &b.out.f), "super block write");

  size_t len = (b.out.size() + 4095) / 4096 * 4096;
  if (!b.out.resize(len)) fatal("FATAL ERROR:Out of memory\n");
  uint8_t* result = b.out.release();
  *fs_len = len;
  return result;
}

}  // namespace rs::sqfs
