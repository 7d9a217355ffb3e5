// Turning a flash image file into a Flash image record.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "core/flash_ops.h"
#include "core/found.h"
#include "core/fs_contract.h"
#include "core/image_state.h"
#include "core/state.h"
#include "core/table.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/fatal.h"
#include "util/report.h"
#include "util/mapping.h"

namespace {

// The image's own settings and what a save must give back unchanged: the
// bytes no partition covers and the table record as read.
void remember_loaded(flash* entry, const uint8_t* data, size_t fsize, int version, size_t found_at,
                     std::shared_ptr<rs::FileView> view) {
  image_state& s = state_of(entry);
  s = image_state{};
  s.table_version = version;
  s.sect = table_sect;
  s.basedir = basedir;
  s.file_length = fsize;
  s.table_found_at = found_at;
  s.table_snapshot = true;
  s.loaded_table = entry->flash_table;
  s.file = std::move(view);
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  for (int i = 0; i < entry->count; ++i) {
    const partition_info& info = entry->flash_table.tables[i];
    if (info.total_size) spans.emplace_back(info.start_addr, uint64_t(info.start_addr) + info.total_size);
  }
  std::sort(spans.begin(), spans.end());
  uint64_t at = 0;
  auto keep = [&](uint64_t from, uint64_t to) {
    if (to <= from) return;
    if (s.file)
      s.uncovered.push_back({from, {}, data + from, to - from});
    else
      s.uncovered.push_back({from, std::vector<uint8_t>(data + from, data + to)});
  };
  for (const auto& [from, to] : spans) {
    keep(at, std::min<uint64_t>(from, fsize));
    at = std::max(at, to);
  }
  keep(at, fsize);
}

bool g_defer_crcs = false;

}  // namespace

// Every partition's CRC in one pass on all cores: the partitions are cut into
// chunks that the threads take in turn, and each partition's value is combined
// from its chunks. A view is read through a window of the file mapped for each
// chunk (or with reads into a small buffer), so that the pass leaves nothing
// of the image resident. What the pass records is fixed when it starts: which
// partitions, the CRCs their table stored, how many bytes of each the file
// holds; with `file_only` it reads the file's bytes even where the view was
// written since, so that it may run on while the image is being edited.
struct crc_pass {
  struct chunk {
    int idx;  // table index
    const uint8_t* at;
    size_t len;
    uint32_t crc;
  };
  std::vector<chunk> chunks;
  uint32_t stored[PARTITION_MAX] = {};
  uint64_t in_file[PARTITION_MAX] = {};  // bytes of the partition the file holds, for file_crc
  bool take_computed = false;
  bool file_only = false;
  const rs::FileView* view = nullptr;
  std::atomic<size_t> next{0};
  std::vector<std::thread> pool;

  crc_pass(flash* entry, const rs::FileView* v, bool take, bool file_crcs) : take_computed(take), view(v) {
    constexpr size_t kChunk = 4u << 20;
    bool all_in_file = v != nullptr;
    for (int i = 0; i < entry->count; ++i) {
      partition_data& p = entry->list[i];
      const int idx = partition_index(entry, p);
      if (idx < 0 || !p.buf || p.info->used_size > p.info->total_size) continue;
      const size_t used = p.info->used_size;
      stored[idx] = p.info->crc32;
      if (file_crcs && used && v && v->holds(p.buf, used)) in_file[idx] = used;
      for (size_t off = 0; off == 0 || off < used; off += kChunk) {
        chunks.push_back({idx, p.buf + off, std::min(used - off, kChunk), 0});
        all_in_file = all_in_file && v->held(p.buf + off, chunks.back().len) == chunks.back().len;
      }
    }
    file_only = all_in_file;
  }
  // What nobody asked for is not worked out: the chunks not begun are dropped.
  ~crc_pass() { cancel(); }

  void work() {
    constexpr size_t kPiece = 256u << 10;
    std::unique_ptr<uint8_t[]> piece(view ? new uint8_t[kPiece] : nullptr);
    rs::UnmappedReads reads(file_only);
    for (size_t k; (k = next.fetch_add(1)) < chunks.size();) {
      chunk& c = chunks[k];
      if (!view) {
        c.crc = rs::crc32_of(c.at, c.len);
        continue;
      }
      // Straight from the file's pages where it can; else read into the buffer.
      uint32_t crc = 0;
      if (!reads.crc(c.at, c.len, &crc))
        for (size_t off = 0; off < c.len; off += kPiece) {
          const size_t m = std::min(kPiece, c.len - off);
          reads.copy(c.at + off, piece.get(), m);
          crc = rs::crc32_update(crc, piece.get(), m);
        }
      c.crc = crc;
    }
  }
  // `helpers` threads besides the caller's.
  void start(unsigned helpers) {
    size_t bytes = 0;
    for (const chunk& c : chunks) bytes += c.len;
    // Below a chunk in all, a thread costs more than it saves.
    if (bytes < (4u << 20)) helpers = 0;
    helpers = std::min<unsigned>(helpers, unsigned(chunks.size()));
    for (unsigned t = 0; t < helpers; ++t) pool.emplace_back([this] { work(); });
  }
  void finish() {
    work();
    for (auto& th : pool) th.join();
    pool.clear();
  }
  void cancel() {
    next = chunks.size();
    for (auto& th : pool) th.join();
    pool.clear();
  }
  // Each partition's value, combined from its chunks, into the image.
  void record(flash* entry) {
    uint32_t crc[PARTITION_MAX] = {};
    bool have[PARTITION_MAX] = {};
    for (size_t k = 0; k < chunks.size();) {
      const int idx = chunks[k].idx;
      uint32_t c = chunks[k].crc;
      for (++k; k < chunks.size() && chunks[k].idx == idx; ++k)
        c = uint32_t(crc32_combine(c, chunks[k].crc, z_off_t(chunks[k].len)));
      crc[idx] = c, have[idx] = true;
    }
    image_state& s = state_of(entry);
    for (int i = 0; i < entry->count; ++i) {
      partition_data& p = entry->list[i];
      const int idx = partition_index(entry, p);
      p.crc32_passed = 0;
      if (idx < 0 || !have[idx]) continue;
      // Without a table the values found are the partitions' CRCs.
      if (take_computed) p.info->crc32 = crc[idx];
      p.crc32_passed = take_computed || crc[idx] == stored[idx] ? 1 : 0;
      if (in_file[idx]) s.file_crc[idx] = crc[idx], s.file_crc_len[idx] = in_file[idx];
    }
  }
};

namespace {

flash* load_bin(const char* filename, bool full) {
  if (!filename) return nullptr;
  auto view = std::make_shared<rs::FileView>();
  if (!view->open(filename)) return nullptr;
  const uint8_t* data = view->data();
  size_t fsize = view->size();
  if (fsize < 1024) return nullptr;

  auto* entry = static_cast<flash*>(std::calloc(1, sizeof(flash)));
  if (!entry) {
    rs::say_error("memory calloc entry == NULL\n");
    return nullptr;
  }

  // The first 512-byte boundary holding a table magic decides.
  int version = 0;
  size_t at = 0;
  for (size_t off = 0; off + 4 <= fsize; off += 512) {
    // What was searched need not stay resident.
    constexpr size_t kDrop = 4u << 20;
    if (off && off % kDrop == 0) view->drop_pages(data + off - kDrop, kDrop);
    uint32_t magic = rs::load_be32(data + off);
    int rc;
    if (magic == TABLE_V1_MAGIC) {
      version = 1;
      rc = flash_table_read(&entry->flash_table, data + off, fsize - off);
    } else if (magic == TABLE_V2_MAGIC) {
      version = 2;
      rc = flash_table_v2_read(&entry->flash_table, data + off, fsize - off);
    } else if (magic == TABLE_V4_MAGIC) {
      version = 4;
      rc = flash_table_v4_read(&entry->flash_table, data + off, fsize - off);
    } else {
      continue;
    }
    if (rc != 0) version = -1;
    at = off;
    break;
  }
  // No table magic anywhere: what else the file may be.
  found_layout found;
  if (version == 0 && !find_layout(data, fsize, &entry->flash_table, &version, &found)) {
    std::free(entry);
    return nullptr;
  }
  if (version <= 0) {
    std::free(entry);
    return nullptr;
  }
  // A search for file systems reads a word of every sector: those pages need
  // not stay resident.
  if (found.kind == FOUND_SCANNED) view->drop_pages(view->data(), view->size());

  entry->table_version = version;
  init_table_sect(version);
  entry->count = entry->flash_table.count;
  entry->flash_size = fsize;
  entry->table_addr = at;
  if (uint32_t(entry->count) > table_sect.part_num) {
    std::free(entry);
    return nullptr;
  }

  // A partition that lies beyond the end of the file is refused with the image:
  // its bytes are not there to copy, and guessing them would hide a cut file.
  for (int i = 0; i < entry->count && found.kind == FOUND_NONE; ++i) {
    const partition_info& info = entry->flash_table.tables[i];
    if (uint64_t(info.start_addr) + info.total_size > fsize) {
      rs::say_error("error: partition %s (start 0x%x, size 0x%x) lies beyond the end of %s (0x%zx bytes)\n",
                  partition_name(&info).c_str(), info.start_addr, info.total_size, filename, fsize);
      std::free(entry);
      return nullptr;
    }
  }

  for (int i = 0; i < entry->count; ++i) {
    partition_data& p = entry->list[i];
    p.info = &entry->flash_table.tables[i];
    p.fs = nullptr;
    if (is_table_partition(p)) {
      entry->table_enable = 1;
      entry->table_addr = p.info->start_addr;
    }
    uint32_t total = p.info->total_size;
    const uint8_t* from = data + p.info->start_addr;
    size_t have = std::min<uint64_t>(total, fsize - std::min<uint64_t>(fsize, p.info->start_addr));
    // A partition the file holds whole is a view of it: its bytes are copied
    // only when written (a page at a time) or rebuilt. Partitions that share
    // bytes each keep their own, as an edit of one must not change the other.
    bool shared = false;
    for (int j = 0; j < i && !shared; ++j) {
      const partition_info& o = entry->flash_table.tables[j];
      shared = o.total_size && o.start_addr < uint64_t(p.info->start_addr) + total &&
               p.info->start_addr < uint64_t(o.start_addr) + o.total_size;
    }
    if (found.kind != FOUND_ZLIBMODE && total && have == total && !shared) {
      p.buf = view->data() + p.info->start_addr;
      continue;
    }
    // A partition sharing bytes with another gets its own private view of
    // them; a bare file system's view is followed by its room to grow, which
    // a device-sized kind reads as erased flash and any other kind never
    // reads before a save writes it.
    if (found.kind != FOUND_ZLIBMODE && total && have && (have == total || found.kind == FOUND_BARE)) {
      p.buf = view->alias(p.info->start_addr, have, total - have);
      const fs_ops* ops = fs_ops_for(p.info->file_system_type);
      if (p.buf && have < total && (!ops || ops->fixed_size)) std::memset(p.buf + have, 0xFF, total - have);
      if (p.buf) continue;
    }
    // A zlibmode partition comes decompressed, in a buffer of its own.
    if (found.kind == FOUND_ZLIBMODE) {
      p.buf = found.buffers[size_t(i)];
      found.buffers[size_t(i)] = nullptr;
      if (p.buf) continue;
      have = 0;
    }
    p.buf = static_cast<uint8_t*>(std::malloc(total ? total : 1));
    if (!p.buf) continue;
    if (have) std::memcpy(p.buf, from, have);
    if (have < total) std::memset(p.buf + have, 0xFF, total - have);
  }
  // A file without a table has no stored CRCs: what its bytes give are the CRCs.
  const bool computed_crcs = found.kind == FOUND_BARE || found.kind == FOUND_SCANNED;
  if (!full && computed_crcs)
    for (int i = 0; i < entry->count; ++i) {
      partition_data& p = entry->list[i];
      if (p.buf) p.info->crc32 = rs::crc32_parallel(p.buf, std::min(p.info->used_size, p.info->total_size));
    }
  // The CRCs are read before the file systems load; a shell's open, whose
  // next commands are known, lets them run on beside the loads and edits
  // until something asks for them (image_crcs_ready).
  std::shared_ptr<crc_pass> crcs;
  bool defer = false;
  if (full) {
    crcs = std::make_shared<crc_pass>(entry, view.get(), computed_crcs, found.kind != FOUND_ZLIBMODE);
    defer = g_defer_crcs && !computed_crcs && crcs->file_only;
    crcs->start(std::max(1u, std::thread::hardware_concurrency()) - 1);
    if (!defer) crcs->finish();
    for (int i = 0; i < entry->count; ++i) {
      partition_data& p = entry->list[i];
      partition_load_fs(p);
      // What a loader only read need not stay resident either.
      if (view && view->holds(p.buf, p.info->total_size) && !view->touched(p.buf, p.info->total_size))
        view->drop_pages(p.buf, p.info->total_size);
    }
  }
  flash_sort(entry);
  // A zlibmode file's partitions are their own; the file is not needed again.
  remember_loaded(entry, data, fsize, version, at, found.kind == FOUND_ZLIBMODE ? nullptr : view);
  if (defer)
    state_of(entry).crcs = crcs;
  else if (crcs)
    crcs->record(entry);
  if (found.kind != FOUND_NONE) {
    image_state& s = state_of(entry);
    s.found = found.kind;
    s.found_scanned = found.scanned;
    entry->new_style = found.kind == FOUND_ZLIBMODE;
    // Nothing outside the partitions: a zlibmode file has no raw layout to keep.
    if (found.kind == FOUND_ZLIBMODE) s.uncovered.clear();
  }
  return entry;
}

}  // namespace

void set_load_defers_crcs(bool defer) { g_defer_crcs = defer; }

void image_crcs_ready(flash* entry) {
  if (!entry) return;
  image_state& s = state_of(entry);
  if (!s.crcs) return;
  std::shared_ptr<crc_pass> pass = std::move(s.crcs);
  pass->finish();
  pass->record(entry);
}

void image_crcs_drop(flash* entry) {
  if (!entry) return;
  image_state& s = state_of(entry);
  if (s.crcs) s.crcs->cancel();
  s.crcs.reset();
}

void partition_load_fs(partition_data& p) {
  const fs_ops* ops = p.info ? fs_ops_for(p.info->file_system_type) : nullptr;
  if (!p.buf || !p.info) return;
  uint32_t used = std::min(p.info->used_size, p.info->total_size);
  // A type without a table may still hold something found by its content.
  if (!ops)
    for (const fs_ops* c : fs_content_ops())
      if (c->probe && c->probe(p.buf, used, false)) {
        ops = c;
        break;
      }
  if (!ops || !ops->load) return;
  p.fs = ops->load(p.buf, used, p.info->total_size);
  fs_handle_made(p.fs, ops);
}

// Through the table that made the handle, whatever the partition's type says now.
void partition_release_fs(partition_data& p) {
  if (!p.fs) return;
  const fs_ops* ops = fs_ops_of(p.fs, p.info ? p.info->file_system_type : -1);
  fs_handle_gone(p.fs);
  if (ops && ops->release) ops->release(p.fs);
  p.fs = nullptr;
}

extern "C" {

// A failure leaves its error line, or the reason the file could not be
// read, for flash_last_error(NULL).
RS_API flash* flash_load_bin(const char* filename) {
  rs::forget_said();
  state_set_error(nullptr, "");
  errno = 0;
  flash* f = load_bin(filename, true);
  if (!f) {
    int err = errno;
    std::string why = !rs::last_said().empty() ? rs::last_said()
                      : err && err != ENOENT ? std::string("error: ") + std::strerror(err)
                      : err == ENOENT       ? std::string("error: ") + (filename ? filename : "(null)") + ": " + std::strerror(err)
                                            : std::string("error: ") + (filename ? filename : "(null)") + ": no partition table found";
    state_set_error(nullptr, why);
    errno = err;
  }
  return f;
}
RS_API flash* flash_simple_load_bin(const char* filename) { return load_bin(filename, false); }

}  // extern "C"
