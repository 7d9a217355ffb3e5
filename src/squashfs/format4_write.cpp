// squashfs 4.0 builder: writes the data area itself, copying the stored
// blocks of unchanged files and compressing only new content (libsquashfs has
// no way to inject stored blocks), and uses libsquashfs for metadata, tables
// and codecs. A failure ends only the rebuild (BuildError), never the process.
#include <sqfs/block.h>
#include <sqfs/compressor.h>
#include <sqfs/dir_writer.h>
#include <sqfs/frag_table.h>
#include <sqfs/id_table.h>
#include <sqfs/inode.h>
#include <sqfs/meta_writer.h>
#include <sqfs/super.h>
#include <sqfs/xattr_writer.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "squashfs/format4.h"
#include "squashfs/internal.h"
#include "squashfs/lzma4v.h"
#include "squashfs/swap4.h"

namespace rs::sqfs {
namespace {

using namespace v4;

constexpr size_t kSuperSize = 96;  // the superblock as stored

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

// Smallest output buffer handed to a codec: lzma needs room for its 13-byte
// header even when the block is stored raw in the end.
constexpr uint32_t kMinOut = 64;
constexpr unsigned kEditMetaLevel = 1;  // xz preset: LZMA2 fast mode, 4-byte hash chains

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
      if (outsize >= kMinOut) {
        sqfs_s32 r = s->inner->do_block(s->inner, in, size, out, outsize);
        return r > 0 && sqfs_u32(r) >= size ? 0 : r;
      }
      // lzma refuses an output buffer smaller than its header.
      uint8_t room[kMinOut];
      sqfs_s32 r = s->inner->do_block(s->inner, in, size, room, kMinOut);
      if (r <= 0 || sqfs_u32(r) >= size || sqfs_u32(r) > outsize) return r < 0 ? r : 0;
      std::memcpy(out, room, size_t(r));
      return r;
    };
  }
};

void check(int r, const char* what) {
  if (r != 0) build_fail("FATAL ERROR:%s failed (%d)\n", what, r);
}

template <class T>
Obj<T> made(T* p) {
  if (!p) build_fail("FATAL ERROR:Out of memory allocating builder state\n");
  return Obj<T>(p);
}

Obj<sqfs_compressor_t> create_compressor(const sqfs_compressor_config_t& c) {
  sqfs_compressor_t* raw = nullptr;
  if (compressor_failure_forced() || make_compressor(&c, &raw) != 0) build_fail("FATAL ERROR:compressor_init failed\n");
  return Obj<sqfs_compressor_t>(raw);
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

// A block's bytes as stored, in a buffer the codec fills without it being
// cleared first (a whole data block per job would be zeroed for nothing).
struct BlockBytes {
  std::unique_ptr<uint8_t[]> p;
  size_t n = 0;
  void make(size_t room) {
    p.reset(new uint8_t[room]);
    n = room;
  }
  void assign(const uint8_t* from, size_t len) {
    make(len);
    if (len) std::memcpy(p.get(), from, len);
  }
  void clear() {
    p.reset();
    n = 0;
  }
  uint8_t* data() const { return p.get(); }
  size_t size() const { return n; }
};

// One block to compress: new data or a newly packed fragment block. A block
// stored raw keeps no copy: `in` stays valid until the image is written.
struct Job {
  const uint8_t* in = nullptr;
  uint32_t n = 0;
  bool raw = false;
  BlockBytes out;
  uint32_t word = 0;
  bool done = false;  // under the job lock
  const uint8_t* stored() const { return word & kRawBit ? in : out.data(); }
  size_t stored_size() const { return word & kRawBit ? n : out.size(); }
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

struct StatKeyHash {
  size_t operator()(const StatKey& k) const {
    uint64_t h = std::get<0>(k) * 0x9E3779B97F4A7C15ull;
    auto mix = [&h](uint64_t v) { h = (h ^ v) * 0x100000001B3ull + (h >> 29); };
    mix(std::get<1>(k));
    mix(uint64_t(std::get<2>(k)) << 32 | std::get<3>(k));
    mix(uint64_t(std::get<4>(k)));
    mix(uint64_t(std::get<5>(k)));
    mix(std::get<6>(k));
    return size_t(h);
  }
};

StatKey key_of(const squashfs_entry* e) {
  const struct stat& s = e->stbuf;
  return {uint64_t(s.st_ino), uint32_t(s.st_mode), uint32_t(s.st_uid), uint32_t(s.st_gid),
          int64_t(s.st_size), int64_t(s.st_mtime), uint64_t(s.st_rdev)};
}

bool all_zero(const uint8_t* p, size_t n) { return n == 0 || (p[0] == 0 && !std::memcmp(p, p + 1, n - 1)); }

// The new image of an in-place rebuild as libsquashfs writes it: from `base`
// on into `tail`; below it lie the loaded image's own bytes, of which only the
// superblock is written (kept aside until the caller writes it).
struct SplitFile {
  sqfs_file_t f{};
  MemFile* tail = nullptr;
  uint64_t base = 0;
  std::array<uint8_t, kSuperSize>* super = nullptr;

  static SplitFile* self(sqfs_file_t* file) { return reinterpret_cast<SplitFile*>(file); }
  static const SplitFile* self(const sqfs_file_t* file) { return reinterpret_cast<const SplitFile*>(file); }

  SplitFile(MemFile* t, uint64_t b, std::array<uint8_t, kSuperSize>* s) : tail(t), base(b), super(s) {
    static_assert(offsetof(SplitFile, f) == 0);
    f.base.destroy = [](sqfs_object_t*) {};
    f.base.copy = nullptr;
    f.read_at = [](sqfs_file_t* file, sqfs_u64 off, void* out, size_t n) -> int {
      SplitFile* m = self(file);
      if (off < m->base) return SQFS_ERROR_IO;
      return m->tail->f.read_at(&m->tail->f, off - m->base, out, n);
    };
    f.write_at = [](sqfs_file_t* file, sqfs_u64 off, const void* in, size_t n) -> int {
      SplitFile* m = self(file);
      if (off >= m->base) return m->tail->f.write_at(&m->tail->f, off - m->base, in, n);
      if (off != 0 || n != kSuperSize) return SQFS_ERROR_IO;
      std::memcpy(m->super->data(), in, n);
      return 0;
    };
    f.get_size = [](const sqfs_file_t* file) -> sqfs_u64 { return self(file)->base + self(file)->tail->size(); };
    f.truncate = [](sqfs_file_t* file, sqfs_u64 n) -> int {
      SplitFile* m = self(file);
      if (n < m->base) return SQFS_ERROR_IO;
      return m->tail->f.truncate(&m->tail->f, n - m->base);
    };
  }
};

// An in-place rebuild that cannot be: the whole rebuild runs instead.
struct NotInPlace {};

// Builds a 4.0 image of a tree in named steps; `build` runs them in order.
// Members are released in reverse order, writers before what they write to.
struct Builder4 {
  squashfs_params4 p;
  squashfs_data* img = nullptr;
  State4* st = nullptr;  // the loaded image, source of stored blocks
  MemFile out;
  sqfs_super_t super{};
  sqfs_compressor_config_t cfg{};   // data blocks
  sqfs_compressor_config_t mcfg{};  // metadata blocks
  Obj<sqfs_compressor_t> cmp;
  Obj<sqfs_compressor_t> mcmp_inner;
  std::unique_ptr<ShrinkOnly> mcmp_wrap;
  sqfs_compressor_t* mcmp = nullptr;
  sqfs_compressor_t* meta_cmp = nullptr;  // inodes and directories
  bool have_options = false;
  Obj<sqfs_frag_table_t> frags;
  Obj<sqfs_id_table_t> ids;
  Obj<sqfs_xattr_writer_t> xw;
  Obj<sqfs_meta_writer_t> im;
  Obj<sqfs_meta_writer_t> dm;
  Obj<sqfs_dir_writer_t> dw;
  bool exportable = false;
  bool any_xattrs = false;
  std::unordered_map<StatKey, Group, StatKeyHash> groups;
  std::unordered_map<const squashfs_entry*, Group> dirs;
  std::vector<FileData> files;
  // Filled while the files are read and planned, compressed as it fills: a
  // deque keeps every job where it is while more are added.
  std::deque<Job> jobs;
  std::mutex job_lock;
  std::condition_variable job_added;
  std::condition_variable job_done;
  size_t next_job = 0;   // first job no worker has taken
  bool planned = false;  // no more jobs come
  bool stopping = false;
  int compress_failed = 0;
  std::vector<FragOut> frag_out;
  long open_frag = -1;                    // fragment block being packed
  std::map<uint32_t, uint32_t> frag_map;  // stored fragment index -> new index
  uint32_t next_number = 1;
  uint32_t root_number = 0;
  sqfs_u64 root_ref = 0;

  // In-place mode: the loaded image's data area [data_start, base) stays
  // where it is, byte for byte; stored blocks and fragment blocks are
  // referenced there, and `out` holds what follows: new blocks, new fragment
  // blocks and the tables. Only the superblock is written below `base`.
  bool in_place = false;
  // Metadata of an edit (in place, or appended to the loaded image): see choose_codecs.
  bool edit_meta = false;
  uint64_t base = 0;
  uint64_t data_start = 0;
  uint64_t frag_lost = 0;  // share of kept fragment blocks that lost tails
  std::array<uint8_t, kSuperSize> super_head{};
  std::unique_ptr<SplitFile> split;
  std::vector<InPlace4::Node> numbered;  // every node below the root, in place

  explicit Builder4(squashfs_data* image) : p(image->p4), img(image) {
    st = img->image_bytes && img->loaded_version == 4 ? state_of(img) : nullptr;
  }

  // Where libsquashfs writes the new image, and the position in it.
  sqfs_file_t* file() { return split ? &split->f : &out.f; }
  uint64_t pos() const { return base + out.size(); }

  // Prepares in-place mode over the loaded image; false when it has none or
  // its data area is not where its superblock says.
  bool start_in_place() {
    if (!st || p.big_endian || img->image_bytes != st->file.data()) return false;
    const sqfs_super_t& old = st->super;
    if (old.block_size != p.block_size || old.compression_id != p.compressor) return false;
    data_start = kSuperSize + ((old.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) ? img->buffer.size() : 0);
    base = old.inode_table_start;
    if (base < data_start || base > img->image_size) return false;
    in_place = true;
    split = std::make_unique<SplitFile>(&out, base, &super_head);
    return true;
  }

  // Every stored byte the new image still refers to lies in the kept data
  // area; what it no longer refers to there (dead bytes), a removed tail's
  // share of a kept fragment block counted as dead.
  uint64_t dead_bytes() const {
    std::vector<std::pair<uint64_t, uint64_t>> live;
    auto keep = [&](uint64_t at, uint64_t n) {
      if (!n) return;
      if (at < data_start || at > base || n > base - at) throw NotInPlace{};
      live.emplace_back(at, at + n);
    };
    for (const FileData& f : files) {
      if (!f.verbatim) continue;
      uint64_t n = 0;
      for (uint32_t w : f.node->stored.block_words) n += w & kSizeMask;
      keep(f.node->stored.start, n);
    }
    for (const FragOut& fo : frag_out)
      if (fo.verbatim) keep(st->frags[fo.old_index].start_offset, st->frags[fo.old_index].size & kSizeMask);
    std::sort(live.begin(), live.end());
    uint64_t used = 0, reach = data_start;
    for (const auto& [a, b] : live) {
      if (b <= reach) continue;
      used += b - std::max(a, reach);
      reach = b;
    }
    return base - data_start - used + frag_lost;
  }

  uint8_t* build(size_t* fs_len) {
    choose_codecs();
    start_image();
    plan_data();
    write_inodes_and_directories();
    write_tables();
    return finish_superblock(fs_len);
  }

  // Metadata of the kind `raw_flag` names is stored as the loaded image had it.
  sqfs_compressor_t* meta(uint16_t raw_flag) const { return (p.flags & raw_flag) ? make_passthrough() : mcmp; }

  // Step 0: the codec settings of the loaded image, for data and metadata.
  void choose_codecs() {
    const bool xz = p.compressor == SQFS_COMP_XZ;
    if (xz && p.dict_size != p.block_size && !dict_size_ok(p.dict_size, p.block_size))
      build_fail("xz: -Xdict-size is an unsupported value, dict-size must be storable in xz header\n");
    if (xz) {
      check(sqfs_compressor_config_init(&cfg, SQFS_COMP_XZ, p.block_size, p.xz_filters), "compressor_init");
      // xz dictionaries start at 8 KiB; blocks of 4 KiB are compressed with that
      // and still declare the default, as readers size their buffers for 8 KiB.
      cfg.opt.xz.dict_size = std::max<uint32_t>(p.dict_size, 8192);
      // Metadata blocks are at most 8 KiB: a larger dictionary gains nothing.
      check(sqfs_compressor_config_init(&mcfg, SQFS_COMP_XZ, p.block_size, 0), "compressor_init");
      mcfg.opt.xz.dict_size = 8192;
      // An edit writes a few metadata blocks of a few KiB each. LZMA's full
      // search sets up its price tables for every block and spends most of a
      // small edit's time on them, for about 3 % in their size: xz's fast
      // mode (hash chains of four bytes) writes those. A whole build keeps
      // the full search.
      if (edit_meta || in_place) mcfg.level = kEditMetaLevel;
    } else {
      check(sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(p.compressor), p.block_size, p.comp_flags),
            "compressor_init");
      if (p.compressor != SQFS_COMP_LZ4) cfg.level = p.level;
      if (p.compressor == SQFS_COMP_GZIP) cfg.opt.gzip.window_size = p.window;
      if (p.compressor == SQFS_COMP_LZO) cfg.opt.lzo.algorithm = p.algorithm;
      // The same 8 KiB floor for lzma: each block's header carries the size
      // used, so readers need nothing else.
      if (p.compressor == SQFS_COMP_LZMA)
        cfg.opt.lzma.dict_size = std::max<uint32_t>(p.dict_size, SQFS_LZMA_MIN_DICT_SIZE);
      // New blocks in the loaded image's own framing, properties and dictionary.
      if (p.compressor == SQFS_COMP_LZMA && p.lzma_framing)
        set_lzma_kind(&cfg, LzmaKind{LzmaFraming(p.lzma_framing), p.lzma_props, p.lzma_dict});
      mcfg = cfg;
    }
    cmp = create_compressor(cfg);
    mcmp_inner = create_compressor(mcfg);
    mcmp_wrap = std::make_unique<ShrinkOnly>(mcmp_inner.get());
    mcmp = &mcmp_wrap->c;
    meta_cmp = meta(SQFS_FLAG_UNCOMPRESSED_INODES);
  }

  // Step 1: a placeholder superblock and the compressor options.
  void start_image() {
    check(sqfs_super_init(&super, p.block_size, sqfs_u32(time(nullptr)), SQFS_COMPRESSOR(p.compressor)), "super block");
    frags = made(sqfs_frag_table_create(0));
    ids = made(sqfs_id_table_create(0));
    xw = made(sqfs_xattr_writer_create(0));
    if (in_place) {
      // The options block stays as stored, with the data after it.
      check(sqfs_super_write(&super, file()), "super block write");
      have_options = st->super.flags & SQFS_FLAG_COMPRESSOR_OPTIONS;
      return;
    }
    // Most of a rebuild is the loaded image copied as stored.
    if (!out.reserve(std::max(img->image_size + 65536, img->room))) build_fail("FATAL ERROR:Out of memory\n");
    check(sqfs_super_write(&super, &out.f), "super block write");
    if (p.compressor == SQFS_COMP_XZ) {
      bool small_default = p.dict_size < 8192 && !(p.flags & SQFS_FLAG_COMPRESSOR_OPTIONS);
      int opt = small_default ? 0 : cmp->write_options(cmp.get(), &out.f);
      if (opt < 0) build_fail("FATAL ERROR:compressor options write failed\n");
      have_options = opt > 0;
    } else if ((p.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) && !img->buffer.empty()) {
      // The options block as stored: it describes exactly the settings used.
      append(img->buffer.data(), img->buffer.size());
      have_options = true;
    }
  }

  // Step 2: inode numbers, the regular files, and what becomes of each; then
  // the data area. Every new block is compressed on all cores while the
  // files after it are read, and written as soon as it is compressed.
  void plan_data() {
    squashfs_entry* root = img->root_entry;
    root_number = next_number++;
    number(root);
    collect(root);
    Compressors workers(*this);
    plan_files();
    write_data_and_fragments();
    workers.finish();
  }

  // Job `i` once compressed; null when compressing failed.
  const Job* compressed(size_t i) {
    std::unique_lock<std::mutex> hold(job_lock);
    Job& j = jobs[i];
    job_done.wait(hold, [&] { return j.done || compress_failed || stopping; });
    return j.done ? &j : nullptr;
  }

  // Step 3: inodes below the root, children before their directory, and the
  // directory listings after them.
  void write_inodes_and_directories() {
    im = made(sqfs_meta_writer_create(file(), meta_cmp, 0));
    dm = made(sqfs_meta_writer_create(file(), meta_cmp, SQFS_META_WRITER_KEEP_IN_MEMORY));
    exportable = p.flags & SQFS_FLAG_EXPORTABLE;
    dw = made(sqfs_dir_writer_create(dm.get(), exportable ? SQFS_DIR_WRITER_CREATE_EXPORT_TABLE : 0));
    super.inode_table_start = pos();
    root_ref = write_dir(img->root_entry, root_number, root_number);
    check(sqfs_meta_writer_flush(im.get()), "inode table");
    super.directory_table_start = pos();
    check(sqfs_meta_writer_flush(dm.get()), "directory table");
    check(sqfs_meta_write_write_to_file(dm.get()), "directory table");
    super.root_inode_ref = root_ref;
    super.inode_count = next_number - 1;
  }

  // Step 4: fragment, export, id and xattr tables.
  void write_tables() {
    check(sqfs_frag_table_write(frags.get(), file(), &super, meta(SQFS_FLAG_UNCOMPRESSED_FRAGMENTS)), "fragment table");
    if (exportable)
      check(sqfs_dir_writer_write_export_table(dw.get(), file(), meta_cmp, root_number, root_ref, &super),
            "export table");
    check(sqfs_id_table_write(ids.get(), file(), &super, meta(SQFS_FLAG_UNCOMPRESSED_IDS)), "id table");
    super.xattr_id_table_start = ~sqfs_u64(0);
    if (any_xattrs)
      check(sqfs_xattr_writer_flush(xw.get(), file(), &super, meta(SQFS_FLAG_UNCOMPRESSED_XATTRS)), "xattr table");
  }

  // Step 5: the real superblock, flags as the loaded image had them; the
  // image padded to 4096 bytes and handed over.
  uint8_t* finish_superblock(size_t* fs_len) {
    super.flags = uint16_t(p.flags & ~SQFS_FLAG_COMPRESSOR_OPTIONS);
    if (have_options) super.flags |= SQFS_FLAG_COMPRESSOR_OPTIONS;
    if (any_xattrs) super.flags &= uint16_t(~SQFS_FLAG_NO_XATTRS);
    super.bytes_used = pos();
    if (p.time_is_size) super.modification_time = sqfs_u32(super.bytes_used);
    check(sqfs_super_write(&super, file()), "super block write");
    size_t len = (pos() + 4095) / 4096 * 4096;
    if (!out.resize(len - base)) build_fail("FATAL ERROR:Out of memory\n");
    *fs_len = len;
    return out.release();
  }

  // The little-endian image just built as the big-endian kind it was loaded
  // as; `le` is freed either way.
  uint8_t* to_big_endian(uint8_t* le, size_t* fs_len) {
    std::unique_ptr<uint8_t, decltype(&std::free)> guard(le, &std::free);
    sqfs_compressor_config_t dcfg = mcfg;
    dcfg.flags |= SQFS_COMP_FLAG_UNCOMPRESS;
    Obj<sqfs_compressor_t> dec = create_compressor(dcfg);
    Transcode4 t;
    t.to = Order4{true, p.le_length_words};
    t.dec = dec.get();
    t.enc = mcmp;
    t.ids_stored = p.ids_stored;
    t.time_is_size = p.time_is_size;
    t.pad4k = true;
    std::vector<uint8_t> be;
    std::string why;
    if (!transcode4(le, *fs_len, t, be, why)) build_fail("FATAL ERROR:big-endian image: %s\n", why.c_str());
    auto* outp = static_cast<uint8_t*>(std::malloc(std::max<size_t>(be.size(), 1)));
    if (!outp) build_fail("FATAL ERROR:Out of memory\n");
    std::memcpy(outp, be.data(), be.size());
    *fs_len = be.size();
    return outp;
  }

  Group& group(squashfs_entry* e) {
    Group& g = is_dir(e) ? dirs[e] : groups[key_of(e)];
    if (!g.number) g.number = next_number++;
    return g;
  }

  void number(squashfs_entry* dir) {
    for (squashfs_entry* c : sorted_children(dir)) {
      Group& g = group(c);
      ++g.links;
      if (in_place) numbered.push_back({c, g.number, -1});
      if (is_dir(c)) number(c);
    }
  }

  // The new image's view of every node, for a tree kept after an in-place save.
  void describe(InPlace4& r) {
    r.nodes = std::move(numbered);
    r.nodes.push_back({img->root_entry, root_number, -1});
    r.stored.reserve(files.size());
    for (const FileData& f : files) {
      squashfs_stored s;
      s.valid = true;
      s.start = f.start;
      s.block_words = f.words;
      s.fragment = f.frag;
      s.frag_offset = f.frag == 0xFFFFFFFFu ? 0 : f.frag_off;
      s.file_size = f.size;
      s.sparse = f.sparse;
      r.stored.push_back(std::move(s));
    }
    for (InPlace4::Node& n : r.nodes)
      if (is_reg(n.e)) n.file = groups[key_of(n.e)].file;
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
    std::lock_guard<std::mutex> hold(job_lock);
    Job& j = jobs.emplace_back();
    j.in = in;
    j.n = n;
    j.raw = raw;
    job_added.notify_one();
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
  void plan_files() {
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
    // Only the sizes new content has are kept: an edit of a few files in a
    // large tree looks at a few candidates, not at every stored file.
    std::unordered_multimap<uint64_t, size_t> stored_by_size;
    if (p.flags & SQFS_FLAG_NO_DUPLICATES) {
      std::unordered_set<uint64_t> new_sizes;
      bool any_size = false;
      for (const FileData& f : files)
        if (!f.verbatim) {
          if (f.node->content_loaded)
            new_sizes.insert(f.node->buf.size());
          else
            any_size = true;  // its size is known once decoded
        }
      for (size_t i = 0; i < files.size() && (any_size || !new_sizes.empty()); ++i)
        if (files[i].verbatim && files[i].node->stored.file_size &&
            (any_size || new_sizes.count(files[i].node->stored.file_size)))
          stored_by_size.emplace(files[i].node->stored.file_size, i);
    }
    for (size_t i = 0; i < files.size(); ++i) {
      FileData& f = files[i];
      squashfs_entry* e = f.node;
      if (!f.verbatim && !e->host.empty()) {
        std::string why;
        if (squashfs_read_host(e, f.decoded, &why) < 0) build_fail("FATAL ERROR:cannot read %s\n", why.c_str());
      } else if (!f.verbatim && !e->content_loaded) {
        // Loaded content that is no longer where the image said: decode it.
        if (squashfs_content(e, f.decoded) < 0) build_fail("FATAL ERROR:cannot read %s\n", e->path.c_str());
      }
      if (f.verbatim) {
        const squashfs_stored& s = e->stored;
        f.size = s.file_size;
        f.sparse = s.sparse;
        if (s.fragment == 0xFFFFFFFFu) continue;
        // In place, a fragment block that lost tails stays as stored too: the
        // lost share is dead bytes until a whole rebuild packs them out.
        if (in_place || present[s.fragment] == st->frag_members()[s.fragment]) {
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
    if (in_place)
      for (const auto& [old, kept] : present) {
        auto members = st->frag_members().find(old);
        if (members == st->frag_members().end()) continue;
        uint64_t all = 0, still = 0;
        for (const auto& m : members->second) all += m.second;
        for (const auto& m : kept) still += m.second;
        if (all > still) frag_lost += (st->frags[old].size & kSizeMask) * (all - still) / all;
      }
  }

  // The compressing threads of step 2: each takes the next job as the
  // planner adds them, so the output does not depend on the thread count.
  // finish() waits for the last job; a planner that failed stops them instead.
  struct Compressors {
    Builder4& b;
    std::vector<std::thread> pool;

    explicit Compressors(Builder4& builder) : b(builder) {
      size_t n = std::max(1u, std::thread::hardware_concurrency());
      std::vector<Obj<sqfs_compressor_t>> cmps(n);
      for (auto& c : cmps) c = create_compressor(b.cfg);
      try {
        for (auto& c : cmps)
          pool.emplace_back(
              [this, owned = std::make_shared<Obj<sqfs_compressor_t>>(std::move(c))] { work(owned->get()); });
      } catch (const std::system_error&) {
        stop();
        build_fail("FATAL ERROR:Failed to create thread\n");
      }
    }
    ~Compressors() { stop(); }

    void stop() {
      {
        std::lock_guard<std::mutex> hold(b.job_lock);
        b.stopping = true;
      }
      b.job_added.notify_all();
      b.job_done.notify_all();
      for (auto& t : pool) t.join();
      pool.clear();
    }

    void finish() {
      {
        std::lock_guard<std::mutex> hold(b.job_lock);
        b.planned = true;
      }
      b.job_added.notify_all();
      for (auto& t : pool) t.join();
      pool.clear();
      if (b.compress_failed) build_fail("FATAL ERROR:data compression failed (%d)\n", b.compress_failed);
    }

    void fail(int code) {
      {
        std::lock_guard<std::mutex> hold(b.job_lock);
        if (!b.compress_failed) b.compress_failed = code;
      }
      b.job_done.notify_all();
      b.job_added.notify_all();
    }

    void done(Job* j) {
      {
        std::lock_guard<std::mutex> hold(b.job_lock);
        j->done = true;
      }
      b.job_done.notify_all();
    }

    void work(sqfs_compressor_t* c) {
      // Every block is compressed here first; only what it shrinks to is kept.
      std::vector<uint8_t> scratch;
      for (;;) {
        Job* j;
        {
          std::unique_lock<std::mutex> hold(b.job_lock);
          b.job_added.wait(hold, [&] { return b.stopping || b.planned || b.next_job < b.jobs.size(); });
          if (b.stopping || b.compress_failed || b.next_job >= b.jobs.size()) return;
          j = &b.jobs[b.next_job++];
        }
        if (!j->raw) {
          const uint32_t room = std::max(j->n, kMinOut);
          try {
            if (scratch.size() < room) scratch.resize(room);
            sqfs_s32 r = c->do_block(c, j->in, j->n, scratch.data(), room);
            if (r < 0) return fail(r);
            if (r > 0 && uint32_t(r) < j->n) {
              j->out.assign(scratch.data(), size_t(r));
              j->word = uint32_t(r);
              done(j);
              continue;
            }
          } catch (const std::bad_alloc&) {
            return fail(SQFS_ERROR_ALLOC);
          }
        }
        j->word = j->n | kRawBit;
        done(j);
      }
    }
  };

  void append(const uint8_t* data, size_t n) {
    if (!out.append(data, n)) build_fail("FATAL ERROR:Out of memory\n");
  }

  // The data area in file order, stored blocks copied as they are, then the
  // fragment blocks; each new block waits until it is compressed.
  void write_data_and_fragments() {
    // The data area in one allocation: what is copied or compressed (never
    // more than the block), and room for the tables after it.
    if (!in_place) {
      uint64_t need = out.size();
      for (const Job& j : jobs) need += j.n;
      for (const FileData& f : files)
        if (f.verbatim)
          for (uint32_t w : f.node->stored.block_words) need += w & kSizeMask;
      if (!out.reserve(size_t(need + need / 32 + (1 << 20)))) build_fail("FATAL ERROR:Out of memory\n");
    }
    // Files that shared stored blocks (duplicates) keep sharing them.
    std::map<std::pair<uint64_t, std::vector<uint32_t>>, uint64_t> copied;
    for (FileData& f : files) {
      if (f.dup_of >= 0) continue;
      if (f.verbatim) {
        const squashfs_stored& s = f.node->stored;
        f.words = s.block_words;
        if (in_place) {
          f.start = s.start;
          continue;
        }
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
      f.start = pos();
      for (size_t j : f.jobs) {
        if (j == SIZE_MAX) {
          f.words.push_back(0);
          continue;
        }
        const Job* done = compressed(j);
        if (!done) return;  // the compressors say why
        append(done->stored(), done->stored_size());
        f.words.push_back(done->word);
        jobs[j].out.clear();
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
      uint64_t at = pos();
      uint32_t word;
      if (fo.verbatim) {
        const sqfs_fragment_t& sf = st->frags[fo.old_index];
        if (in_place)
          at = sf.start_offset;
        else
          append(img->image_bytes + sf.start_offset, sf.size & kSizeMask);
        word = sf.size;
      } else {
        const Job* done = compressed(fo.job);
        if (!done) return;
        append(done->stored(), done->stored_size());
        word = done->word;
        jobs[fo.job].out.clear();
      }
      sqfs_u32 idx = 0;
      check(sqfs_frag_table_append(frags.get(), at, word, &idx), "fragment table");
    }
  }

  sqfs_u16 id_index(uint32_t id) {
    sqfs_u16 idx = 0;
    check(sqfs_id_table_id_to_index(ids.get(), id, &idx), "id table");
    return idx;
  }

  sqfs_u32 xattr_index(const squashfs_entry* e) {
    if (e->xattrs.empty()) return 0xFFFFFFFFu;
    any_xattrs = true;
    check(sqfs_xattr_writer_begin(xw.get(), 0), "xattr writer");
    for (const squashfs_xattr& x : e->xattrs)
      check(sqfs_xattr_writer_add(xw.get(), x.key.c_str(), x.value.data(), x.value.size()), "xattr writer");
    sqfs_u32 idx = 0;
    check(sqfs_xattr_writer_end(xw.get(), &idx), "xattr writer");
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
    sqfs_meta_writer_get_position(im.get(), &block, &offset);
    check(sqfs_meta_writer_write_inode(im.get(), in), "write inode");
    return block << 16 | offset;
  }

  sqfs_u64 leaf_inode(squashfs_entry* e, Group& g) {
    const FileData* f = is_reg(e) ? &files[size_t(g.file)] : nullptr;
    FileLoc loc;
    if (f) loc = {f->start, f->size, f->sparse, &f->words, f->frag, f->frag_off};
    InodePtr in = leaf_inode4(e, f ? &loc : nullptr, g.links);
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
    check(sqfs_dir_writer_begin(dw.get(), 0), "dir writer");
    for (size_t i = 0; i < kids.size(); ++i)
      check(sqfs_dir_writer_add_entry(dw.get(), kids[i]->name.c_str(), refs[i].first, refs[i].second,
                                      sqfs_u16(kids[i]->stbuf.st_mode)),
            "dir entry");
    check(sqfs_dir_writer_end(dw.get()), "dir writer");
    InodePtr in(sqfs_dir_writer_create_inode(dw.get(), 0, xattr_index(dir), parent_number));
    if (!in) build_fail("FATAL ERROR:Out of memory\n");
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
  Builder4 b(root->image);
  uint8_t* le = b.build(fs_len);
  return b.p.big_endian ? b.to_big_endian(le, fs_len) : le;
}

namespace v4 {
Codecs4 codecs4(squashfs_data* img) {
  auto b = std::make_shared<Builder4>(img);
  b->edit_meta = true;
  b->choose_codecs();
  Codecs4 c;
  c.data_cfg = b->cfg;
  c.data = b->cmp.get();
  c.meta = b->mcmp;
  c.raw = make_passthrough();
  c.keep = std::move(b);
  return c;
}
}  // namespace v4

bool build_image4_in_place(squashfs_entry* root, InPlace4& r) {
  Builder4 b(root->image);
  if (!b.start_in_place()) return false;
  try {
    size_t len = 0;
    r.tail.reset(b.build(&len));
    r.length = len;
    r.dead = b.dead_bytes();
    b.describe(r);
  } catch (const NotInPlace&) {
    return false;
  }
  r.tail_at = b.base;
  r.tail_len = size_t(r.length - b.base);
  r.super = b.super_head;
  return true;
}

}  // namespace rs::sqfs
