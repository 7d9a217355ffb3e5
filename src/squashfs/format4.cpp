// squashfs 4.0 (xz) through libsquashfs: the reader fills the tree, the builder
// writes the tree with the loaded image's block size, flags and xz options.
#include <sqfs/block.h>
#include <sqfs/block_processor.h>
#include <sqfs/block_writer.h>
#include <sqfs/compressor.h>
#include <sqfs/data_reader.h>
#include <sqfs/dir_reader.h>
#include <sqfs/dir_writer.h>
#include <sqfs/frag_table.h>
#include <sqfs/id_table.h>
#include <sqfs/inode.h>
#include <sqfs/meta_writer.h>
#include <sqfs/super.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <tuple>

#include "squashfs/internal.h"
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

constexpr int kMaxDepth = 1024;

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

struct Reader4 {
  squashfs_data* img;
  sqfs_data_reader_t* data;
  uint64_t total = 0;

  bool fill(squashfs_entry* parent, const sqfs_tree_node_t* n, int depth) {
    if (depth > kMaxDepth) return false;
    for (const sqfs_tree_node_t* c = n->children; c; c = c->next) {
      const char* name = reinterpret_cast<const char*>(c->name);
      if (!valid_name(name)) return false;
      const sqfs_inode_generic_t* in = c->inode;
      squashfs_inode ino;
      ino.type = basic_type(in->base.type);
      ino.mode = int((in->base.mode & 07777) | type_bits(ino.type));
      ino.uid = c->uid;
      ino.gid = c->gid;
      ino.time = in->base.mod_time;
      ino.inode_number = int(in->base.inode_number);
      if (ino.type == SQFS_INODE_FILE) {
        sqfs_u64 sz = 0, start = 0;
        sqfs_u32 frag = 0, off = 0;
        sqfs_inode_get_file_size(in, &sz);
        sqfs_inode_get_file_block_start(in, &start);
        sqfs_inode_get_frag_location(in, &frag, &off);
        ino.data = int64_t(sz);
        ino.start = int64_t(start);
        ino.fragment = frag == 0xFFFFFFFFu ? -1 : int(frag);
        ino.offset = frag == 0xFFFFFFFFu ? -1 : int(off);
        ino.blocks = int(in->payload_bytes_used / 4);
      } else if (ino.type == SQFS_INODE_SLINK) {
        ino.data = in->base.type == SQFS_INODE_EXT_SLINK ? in->data.slink_ext.target_size : in->data.slink.target_size;
        if (uint64_t(ino.data) > in->payload_bytes_used) return false;
        ino.symlink.assign(reinterpret_cast<const char*>(in->extra), size_t(ino.data));
      } else if (ino.type == SQFS_INODE_BDEV || ino.type == SQFS_INODE_CDEV) {
        uint32_t d = in->base.type >= SQFS_INODE_EXT_DIR ? in->data.dev_ext.devno : in->data.dev.devno;
        ino.rdev = uint32_t(makedev((d >> 8) & 0xfff, (d & 0xff) | ((d >> 12) & 0xfff00)));
      }
      squashfs_entry* e = squashfs_dir_fill(parent, name, &ino);
      if (!e) return false;
      switch (ino.type) {
        case SQFS_INODE_DIR:
          e->stbuf.st_size = 0;
          if (!fill(e, c, depth + 1)) return false;
          break;
        case SQFS_INODE_FILE: {
          total += uint64_t(ino.data);
          if (total > kMaxTotalContent) return false;
          e->buf.assign(size_t(ino.data), 0);
          uint64_t done = 0;
          while (done < uint64_t(ino.data)) {
            uint32_t chunk = uint32_t(std::min<uint64_t>(uint64_t(ino.data) - done, 1u << 24));
            sqfs_s32 r = sqfs_data_reader_read(data, in, done, e->buf.data() + done, chunk);
            if (r <= 0) return false;
            done += uint32_t(r);
          }
          break;
        }
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

bool read_image4(squashfs_data* img, const uint8_t* buf, size_t size) {
  MemFile file(buf, size);
  sqfs_super_t super;
  if (sqfs_super_read(&super, &file.f) != 0) return false;
  // Table sizes follow from counts in the superblock; the library would
  // allocate them before reading, so counts the image cannot hold are refused.
  auto index_fits = [&](uint64_t count, uint64_t entry, uint64_t start) {
    uint64_t index_bytes = (count * entry + 8191) / 8192 * 8;
    return start <= size && index_bytes <= size - start;
  };
  if (super.bytes_used > size) return false;
  if (super.fragment_entry_count && !index_fits(super.fragment_entry_count, 16, super.fragment_table_start))
    return false;
  if ((super.flags & SQFS_FLAG_EXPORTABLE) && super.export_table_start != ~sqfs_u64(0) &&
      !index_fits(super.inode_count, 8, super.export_table_start))
    return false;
  if (!index_fits(super.id_count, 4, super.id_table_start)) return false;
  if (super.compression_id != SQFS_COMP_XZ) {
    report("squashfs_init_memory_4", 843);
    return false;
  }
  sqfs_compressor_config_t cfg;
  if (sqfs_compressor_config_init(&cfg, SQFS_COMP_XZ, super.block_size, SQFS_COMP_FLAG_UNCOMPRESS) != 0) return false;
  sqfs_compressor_t* raw_cmp = nullptr;
  if (sqfs_compressor_create(&cfg, &raw_cmp) != 0) return false;
  Obj<sqfs_compressor_t> cmp(raw_cmp);

  squashfs_params4& p = img->p4;
  p.block_size = super.block_size;
  p.flags = super.flags;
  p.dict_size = super.block_size;
  p.xz_filters = 0;
  if (super.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) {
    if (cmp->read_options(cmp.get(), &file.f) < 0) return false;
    sqfs_compressor_config_t got;
    cmp->get_configuration(cmp.get(), &got);
    p.dict_size = got.opt.xz.dict_size;
    p.xz_filters = got.flags & 0x3F;
    // Options that a rebuild could not write again are refused now rather
    // than ending the process at save time.
    if (!dict_size_ok(p.dict_size, p.block_size)) return false;
    uint16_t hdr = load_le16(buf + 96);
    size_t len = std::min<size_t>(hdr & 0x7FFF, size - 98);
    img->buffer.assign(buf + 96, buf + 98 + len);
  }

  Obj<sqfs_id_table_t> ids(sqfs_id_table_create(0));
  if (!ids || sqfs_id_table_read(ids.get(), &file.f, &super, cmp.get()) != 0) return false;
  Obj<sqfs_dir_reader_t> dr(sqfs_dir_reader_create(&super, cmp.get(), &file.f, 0));
  if (!dr) return false;
  Obj<sqfs_data_reader_t> data(sqfs_data_reader_create(&file.f, super.block_size, cmp.get(), 0));
  if (!data || sqfs_data_reader_load_fragment_table(data.get(), &super) != 0) return false;

  sqfs_tree_node_t* tree = nullptr;
  if (sqfs_dir_reader_get_full_hierarchy(dr.get(), ids.get(), nullptr, 0, &tree) != 0 || !tree) return false;
  std::unique_ptr<sqfs_tree_node_t, void (*)(sqfs_tree_node_t*)> tree_guard(tree, sqfs_dir_tree_destroy);
  if (basic_type(tree->inode->base.type) != SQFS_INODE_DIR) return false;

  squashfs_inode rino;
  rino.type = 1;
  rino.mode = int((tree->inode->base.mode & 07777) | S_IFDIR);
  rino.uid = tree->uid;
  rino.gid = tree->gid;
  rino.time = tree->inode->base.mod_time;
  rino.inode_number = int(tree->inode->base.inode_number);
  squashfs_entry* root = squashfs_entry_new(img, "/", &rino, nullptr);
  root->stbuf.st_size = 0;
  img->root_entry = root;
  img->entry_table["/"] = root;

  Reader4 rd{img, data.get(), 0};
  try {
    return rd.fill(root, tree, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

namespace {

// Stores metadata uncompressed when the loaded image had inodes uncompressed.
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

// One inode of the new image: hard links (nodes with identical stat records)
// share it.
struct Group {
  uint32_t number = 0;
  uint32_t links = 0;
  sqfs_inode_generic_t* file_inode = nullptr;  // kept up to date by the block processor
  bool written = false;
  sqfs_u64 ref = 0;
};

using StatKey = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t, int64_t, int64_t, uint64_t>;

StatKey key_of(const squashfs_entry* e) {
  const struct stat& s = e->stbuf;
  return {uint64_t(s.st_ino), uint32_t(s.st_mode), uint32_t(s.st_uid), uint32_t(s.st_gid),
          int64_t(s.st_size), int64_t(s.st_mtime), uint64_t(s.st_rdev)};
}

void check(int r, const char* what) {
  if (r != 0) fatal("FATAL ERROR:%s failed (%d)\n", what, r);
}

struct Builder4 {
  squashfs_params4 p;
  MemFile out;
  sqfs_super_t super{};
  sqfs_compressor_t* cmp = nullptr;
  sqfs_compressor_t* meta_cmp = nullptr;
  sqfs_block_processor_t* proc = nullptr;
  sqfs_meta_writer_t* im = nullptr;
  sqfs_dir_writer_t* dw = nullptr;
  sqfs_id_table_t* ids = nullptr;
  std::map<StatKey, Group> groups;
  std::vector<InodePtr> owned;
  uint32_t next_number = 1;

  std::map<const squashfs_entry*, Group> dirs;

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

  void write_data(squashfs_entry* dir) {
    for (squashfs_entry* c : sorted_children(dir)) {
      if (is_dir(c)) {
        write_data(c);
        continue;
      }
      if (!is_reg(c)) continue;
      Group& g = group(c);
      if (g.file_inode || g.written) continue;
      g.written = true;
      sqfs_u32 flags = 0;
      if (p.flags & SQFS_FLAG_UNCOMPRESSED_DATA) flags |= SQFS_BLK_DONT_COMPRESS;
      if ((p.flags & SQFS_FLAG_NO_FRAGMENTS) ||
          (!(p.flags & SQFS_FLAG_ALWAYS_FRAGMENTS) && c->buf.size() >= p.block_size))
        flags |= SQFS_BLK_DONT_FRAGMENT;
      if (!(p.flags & SQFS_FLAG_NO_DUPLICATES)) flags |= SQFS_BLK_DONT_DEDUPLICATE;
      check(sqfs_block_processor_begin_file(proc, &g.file_inode, nullptr, flags), "begin_file");
      if (!c->buf.empty()) check(sqfs_block_processor_append(proc, c->buf.data(), c->buf.size()), "append");
      check(sqfs_block_processor_end_file(proc), "end_file");
    }
  }

  sqfs_u16 id_index(uint32_t id) {
    sqfs_u16 idx = 0;
    check(sqfs_id_table_id_to_index(ids, id, &idx), "id table");
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
    if (t == S_IFREG) {
      sqfs_inode_generic_t* in = g.file_inode;
      set_base(in, e, g.number);
      if (g.links > 1) {
        check(sqfs_inode_make_extended(in), "inode");
        in->data.file_ext.nlink = g.links;
      }
      return write_inode(in);
    }
    InodePtr in;
    if (t == S_IFLNK) {
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
    InodePtr in(sqfs_dir_writer_create_inode(dw, 0, 0xFFFFFFFFu, parent_number));
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

}  // namespace

uint8_t* build_image4(squashfs_entry* root, size_t* fs_len) {
  squashfs_data* img = root->image;
  root = img->root_entry;
  Builder4 b;
  b.p = img->p4;
  const squashfs_params4& p = b.p;
  if (p.dict_size != p.block_size && !dict_size_ok(p.dict_size, p.block_size))
    fatal("xz: -Xdict-size is an unsupported value, dict-size must be storable in xz header\n");

  check(sqfs_super_init(&b.super, p.block_size, sqfs_u32(time(nullptr)), SQFS_COMP_XZ), "super block");
  sqfs_compressor_config_t cfg;
  check(sqfs_compressor_config_init(&cfg, SQFS_COMP_XZ, p.block_size, p.xz_filters), "compressor_init");
  // xz dictionaries start at 8 KiB; blocks of 4 KiB are compressed with that
  // and still declare the default, as readers size their buffers for 8 KiB.
  const uint32_t dict = std::max<uint32_t>(p.dict_size, 8192);
  cfg.opt.xz.dict_size = dict;
  sqfs_compressor_t* raw = nullptr;
  if (sqfs_compressor_create(&cfg, &raw) != 0) fatal("FATAL ERROR:compressor_init failed\n");
  Obj<sqfs_compressor_t> cmp(raw);
  b.cmp = cmp.get();

  sqfs_compressor_config_t ucfg;
  check(sqfs_compressor_config_init(&ucfg, SQFS_COMP_XZ, p.block_size, SQFS_COMP_FLAG_UNCOMPRESS), "compressor_init");
  ucfg.opt.xz.dict_size = dict;
  raw = nullptr;
  if (sqfs_compressor_create(&ucfg, &raw) != 0) fatal("FATAL ERROR:compressor_init failed\n");
  Obj<sqfs_compressor_t> uncmp(raw);

  // Metadata blocks are at most 8 KiB: a larger dictionary gains nothing.
  sqfs_compressor_config_t mcfg;
  check(sqfs_compressor_config_init(&mcfg, SQFS_COMP_XZ, p.block_size, 0), "compressor_init");
  mcfg.opt.xz.dict_size = 8192;
  raw = nullptr;
  if (sqfs_compressor_create(&mcfg, &raw) != 0) fatal("FATAL ERROR:compressor_init failed\n");
  Obj<sqfs_compressor_t> mcmp(raw);
  bool raw_meta = p.flags & SQFS_FLAG_UNCOMPRESSED_INODES;
  b.meta_cmp = raw_meta ? make_passthrough() : mcmp.get();

  check(sqfs_super_write(&b.super, &b.out.f), "super block write");
  bool small_default = p.dict_size < 8192 && !(p.flags & SQFS_FLAG_COMPRESSOR_OPTIONS);
  int opt = small_default ? 0 : cmp->write_options(cmp.get(), &b.out.f);
  if (opt < 0) fatal("FATAL ERROR:compressor options write failed\n");
  bool have_options = opt > 0;

  Obj<sqfs_block_writer_t> bw(sqfs_block_writer_create(&b.out.f, 4096, 0));
  Obj<sqfs_frag_table_t> frags(sqfs_frag_table_create(0));
  Obj<sqfs_id_table_t> ids(sqfs_id_table_create(0));
  if (!bw || !frags || !ids) fatal("FATAL ERROR:Out of memory allocating builder state\n");
  b.ids = ids.get();

  sqfs_block_processor_desc_t desc{};
  desc.size = sizeof(desc);
  desc.max_block_size = p.block_size;
  desc.num_workers = 2;
  desc.max_backlog = 64;
  desc.cmp = cmp.get();
  desc.wr = bw.get();
  desc.tbl = frags.get();
  desc.file = &b.out.f;
  desc.uncmp = uncmp.get();
  sqfs_block_processor_t* proc_raw = nullptr;
  if (sqfs_block_processor_create_ex(&desc, &proc_raw) != 0) fatal("FATAL ERROR:Failed to create thread\n");
  Obj<sqfs_block_processor_t> proc(proc_raw);
  b.proc = proc.get();

  uint32_t root_number = b.next_number++;
  b.number(root);
  b.write_data(root);
  check(sqfs_block_processor_finish(b.proc), "data write");
  // The processor handed us the file inodes; they are ours to free.
  for (auto& [k, g] : b.groups)
    if (g.file_inode) b.owned.emplace_back(g.file_inode);
  for (auto& [k, g] : b.groups) g.written = false;

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

  check(sqfs_frag_table_write(frags.get(), &b.out.f, &b.super, b.meta_cmp), "fragment table");
  if (exportable)
    check(sqfs_dir_writer_write_export_table(dw.get(), &b.out.f, b.meta_cmp, root_number, root_ref, &b.super),
          "export table");
  check(sqfs_id_table_write(ids.get(), &b.out.f, &b.super, b.meta_cmp), "id table");

  // Flags as the loaded image had them; extended attributes are never written.
  uint16_t keep = SQFS_FLAG_UNCOMPRESSED_INODES | SQFS_FLAG_UNCOMPRESSED_DATA | SQFS_FLAG_UNCOMPRESSED_FRAGMENTS |
                  SQFS_FLAG_NO_FRAGMENTS | SQFS_FLAG_ALWAYS_FRAGMENTS | SQFS_FLAG_NO_DUPLICATES | SQFS_FLAG_EXPORTABLE |
                  SQFS_FLAG_UNCOMPRESSED_XATTRS;
  // Extended attributes are never written, whatever bit 9 says.
  b.super.flags = uint16_t(p.flags & (keep | SQFS_FLAG_NO_XATTRS));
  if (have_options) b.super.flags |= SQFS_FLAG_COMPRESSOR_OPTIONS;
  if (raw_meta) b.super.flags |= SQFS_FLAG_UNCOMPRESSED_IDS;
  b.super.xattr_id_table_start = ~sqfs_u64(0);
  b.super.bytes_used = b.out.size();
  check(sqfs_super_write(&b.super, &b.out.f), "super block write");

  size_t len = (b.out.size() + 4095) / 4096 * 4096;
  auto* result = static_cast<uint8_t*>(malloc(len));
  if (!result) fatal("FATAL ERROR:Out of memory\n");
  std::memcpy(result, b.out.rw.data(), b.out.size());
  std::memset(result + b.out.size(), 0, len - b.out.size());
  *fs_len = len;
  return result;
}

}  // namespace rs::sqfs
