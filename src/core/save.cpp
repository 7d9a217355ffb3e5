// Writing a Flash image: file-system rebuilds, the table, raw and zlibmode
// output, and the table file. Every file is replaced atomically.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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
#include "util/report.h"
#include "util/fileio.h"
#include "util/strutil.h"

namespace {

// The table image of a TABLE partition, always table_sect.size bytes even when
// the partition buffer is shorter.
std::vector<uint8_t> table_bytes(const partition_data& p) {
  std::vector<uint8_t> out(table_sect.size, 0xFF);
  if (p.buf) std::memcpy(out.data(), p.buf, std::min<size_t>(out.size(), p.info->total_size));
  return out;
}

struct piece {
  uint64_t offset;
  const uint8_t* bytes;
  uint64_t len;
  int64_t file_at = -1;  // where the input file holds these same bytes, or -1
};

// Writes pieces given in priority order (a later one wins where two overlap)
// front to back, so that the output can be a stream as well as a file; what
// no piece covers is zeros (holes in a regular file). Bytes the input file
// holds unchanged are copied from it, runs of them in one call.
bool write_in_order(FILE* f, const std::vector<piece>& pieces, int in_fd) {
  // Boundaries of every piece; between two neighbours one piece owns the bytes.
  std::vector<uint64_t> cuts;
  for (const piece& p : pieces)
    if (p.len) cuts.push_back(p.offset), cuts.push_back(p.offset + p.len);
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  rs::RangeOut out(f);
  uint64_t run_at = 0, run_len = 0;
  auto flush_run = [&] {
    bool ok = !run_len || out.copy(in_fd, run_at, run_len);
    run_len = 0;
    return ok;
  };
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    uint64_t a = cuts[k], b = cuts[k + 1];
    const piece* owner = nullptr;
    for (const piece& p : pieces)
      if (p.len && p.offset <= a && b <= p.offset + p.len) owner = &p;
    if (owner && owner->file_at >= 0 && in_fd >= 0) {
      uint64_t from = uint64_t(owner->file_at) + (a - owner->offset);
      if (run_len && run_at + run_len != from && !flush_run()) return false;
      if (!run_len) run_at = from;
      run_len += b - a;
      continue;
    }
    if (!flush_run()) return false;
    bool ok = owner ? out.data(owner->bytes + (a - owner->offset), size_t(b - a)) : out.zeros(b - a);
    if (!ok) return false;
  }
  return flush_run() && out.finish();
}

bool all_ff(const uint8_t* p, size_t n) { return n == 0 || (p[0] == 0xFF && std::memcmp(p, p + 1, n - 1) == 0); }

// A rebuilt file system's image, written from the buffer its rebuild gave
// until the save is done.
struct rebuilt_image {
  const fs_ops* ops;
  uint8_t* image;
  size_t size;
  uint64_t offset;
};

struct rebuilt_images {
  std::vector<rebuilt_image> list;
  // Partitions written over in place, whose CRCs are worked out once the
  // open's CRC pass has given what the file held (n: bytes now used).
  std::vector<std::pair<partition_data*, size_t>> crc_due;
  rebuilt_images() = default;
  rebuilt_images(const rebuilt_images&) = delete;
  rebuilt_images& operator=(const rebuilt_images&) = delete;
  ~rebuilt_images() {
    for (const rebuilt_image& r : list) r.ops->release_image(r.image, r.size);
  }
};

// A piece of a view, cut where its pages change between written and not:
// the runs no write touched are marked as held by the input file, so that
// only written pages are written from memory.
void add_viewed(std::vector<piece>& pieces, const rs::FileView* view, uint64_t offset, const uint8_t* bytes,
                uint64_t len) {
  // The file's bytes may end before the piece's (a bare file system's room).
  const size_t held = view ? view->held(bytes, len) : 0;
  std::vector<std::pair<size_t, bool>> runs;
  if (held) runs = view->written_runs(bytes, held);
  // Pages written all over: one write from memory costs less than the runs.
  if (runs.empty() || runs.size() > 4096) {
    pieces.push_back({offset, bytes, len});
    return;
  }
  for (const auto& [n, written] : runs) {
    piece part{offset, bytes, n};
    if (!written) part.file_at = int64_t(view->file_offset(bytes));
    pieces.push_back(part);
    offset += n, bytes += n;
  }
  if (held < len) pieces.push_back({offset, bytes, len - held});
}

// The loaded bytes no partition covers go first, so a whole-chip dump comes
// back whole; then the partitions; then a table kept outside any partition.
bool write_raw(const flash* entry, FILE* f, const std::vector<uint8_t>* loose_table, uint64_t table_at,
               const rebuilt_images* rebuilt = nullptr) {
  const image_state& s = state_of(entry);
  const rs::FileView* view = s.file.get();
  std::vector<piece> pieces;
  for (const uncovered_range& r : s.uncovered) add_viewed(pieces, view, r.offset, r.data(), r.size());
  for (int i = 0; i < entry->count; ++i) {
    const partition_data& p = entry->list[i];
    // A bare file system is the file: its content, not the room it may grow
    // into, nor the erased end of a device that the loaded file did not hold.
    size_t n = p.info->total_size;
    if (s.found == FOUND_BARE) {
      n = std::min(p.info->used_size, p.info->total_size);
      while (n > s.file_length && n >= 0x10000 && p.buf && all_ff(p.buf + n - 0x10000, 0x10000)) n -= 0x10000;
      // A device-sized kind keeps the loaded length; others are what they hold.
      const fs_ops* ops = fs_ops_of(p.fs, p.info->file_system_type);
      if (!ops || ops->fixed_size) n = std::max<size_t>(n, std::min<uint64_t>(s.file_length, p.info->total_size));
    }
    if (p.buf) add_viewed(pieces, view, p.info->start_addr, p.buf, n);
  }
  // The partition buffers hold these bytes too; they are written from the
  // rebuild's own buffer.
  if (rebuilt)
    for (const rebuilt_image& r : rebuilt->list) pieces.push_back({r.offset, r.image, r.size});
  if (loose_table) pieces.push_back({table_at, loose_table->data(), loose_table->size()});
  bool ok = write_in_order(f, pieces, view ? view->fd() : -1);
  // Bytes copied from a file that changed meanwhile are not the image's.
  int err = errno;
  if (view && !image_file_unchanged(entry)) return errno = ESTALE, false;
  errno = err;
  return ok;
}

bool write_zlibmode(const flash* entry, FILE* f) {
  rs::warn("zlibmode is ture, generate bin file in new style.\n");
  if (std::fwrite("zlibmode", 1, 8, f) != 8) return false;
  for (int i = 0; i < entry->count; ++i) {
    const partition_data& p = entry->list[i];
    if (!is_table_partition(p)) continue;
    std::vector<uint8_t> t = table_bytes(p);
    if (std::fwrite(t.data(), 1, t.size(), f) != t.size()) return false;
  }
  // Partitions compress independently: spread them over the cores, write in order.
  std::vector<int> parts;
  for (int i = 0; i < entry->count; ++i)
    if (entry->list[i].buf && !is_table_partition(entry->list[i])) parts.push_back(i);
  std::vector<std::vector<uint8_t>> out(parts.size());
  std::vector<int> status(parts.size(), Z_OK);
  auto work = [&](size_t k) {
    const partition_data& p = entry->list[parts[k]];
    uLong n = std::min(p.info->partition_size, p.info->total_size);
    uLongf len = std::max<uLong>(n + n / 1000 + 13, compressBound(n));
    out[k].resize(len);
    status[k] = compress2(out[k].data(), &len, p.buf, n, 9);
    out[k].resize(len);
  };
  unsigned nthreads = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), parts.size()));
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < nthreads; ++t)
    pool.emplace_back([&, t] {
      for (size_t k = t; k < parts.size(); k += nthreads) work(k);
    });
  for (auto& th : pool) th.join();
  for (size_t k = 0; k < parts.size(); ++k) {
    if (status[k] != Z_OK) {
      // The save fails; the caller's process and its image go on.
      rs::say_error("%s:%d compress error, ret = %d.\n", "write_flash_zlibmode", 196, status[k]);
      return false;
    }
    uint8_t head[12] = {};
    const partition_info* info = entry->list[parts[k]].info;
    std::memcpy(head, info->name, strnlen(info->name, 8));
    rs::store_le32(head + 8, uint32_t(out[k].size()));
    if (std::fwrite(head, 1, 12, f) != 12) return false;
    if (std::fwrite(out[k].data(), 1, out[k].size(), f) != out[k].size()) return false;
  }
  return true;
}

bool report_write(bool ok) {
  if (!ok) rs::say_error("error: %s\n", std::strerror(errno ? errno : EIO));
  return ok;
}

// The CRC of the first n bytes of a partition that views the file, after
// writes into it: from the CRC of what the file holds there and the pages
// written (read back from the file for their old bytes), so that its cost is
// that of the change. Computed over every byte when that cannot be.
uint32_t in_place_crc(const flash* entry, const partition_data& p, int idx, size_t n) {
  const image_state& s = state_of(entry);
  const rs::FileView* view = s.file.get();
  const uint64_t known = s.file_crc_len[idx];
  std::vector<std::pair<size_t, bool>> runs;
  if (view && known && n >= known && view->holds(p.buf, size_t(known))) runs = view->written_runs(p.buf, size_t(known));
  if (runs.empty()) return n ? rs::crc32_parallel(p.buf, n) : 0;
  uint32_t crc = s.file_crc[idx];
  std::vector<uint8_t> was;
  size_t at = 0;
  for (const auto& [len, written] : runs) {
    for (size_t done = 0; written && done < len;) {
      size_t k = std::min<size_t>(len - done, 1u << 20);
      was.resize(k);
      if (::pread(view->fd(), was.data(), k, off_t(view->file_offset(p.buf + at + done))) != ssize_t(k))
        return rs::crc32_parallel(p.buf, n);
      crc = rs::crc32_replace(crc, known, at + done, was.data(), p.buf + at + done, k);
      done += k;
    }
    at += len;
  }
  return rs::crc32_update(crc, p.buf + known, n - size_t(known));
}

// Re-encodes the file systems of `type` that a file operation changed since
// they were loaded or last saved; every other partition keeps its bytes. A rebuild
// that gives no image fails the save, naming the partition and the reason.
int rebuild_pass(flash* entry, int type, rebuilt_images& kept) {
  image_state& s = state_of(entry);
  for (int i = 0; i < entry->count; ++i) {
    partition_data& p = entry->list[i];
    int idx = partition_index(entry, p);
    // Through the table that made the handle.
    const fs_ops* ops = p.fs ? fs_ops_of(p.fs, p.info->file_system_type) : nullptr;
    if (!ops || ops->type != type || idx < 0 || !s.fs_edited[idx]) continue;
    size_t size = 0;
    std::string why;
    auto cannot_rebuild = [&] {
      if (ops->rebuild_failed_msg) rs::diag("%s", ops->rebuild_failed_msg);
      std::string line = rs::strprintf("error: %s: the edited %s cannot be rebuilt (%s)", partition_name(p.info).c_str(),
                                       ops->name, why.empty() ? "no image" : why.c_str());
      rs::say_error("%s\n", line.c_str());
      return -1;
    };
    if (ops->rebuild_in_place && p.buf && p.info->total_size) {
      // Only the changed bytes are written: the save copies the rest of the
      // partition from the input file.
      const size_t area =
          std::min(p.info->partition_size ? p.info->partition_size : p.info->total_size, p.info->total_size);
      const size_t old_used = std::min<size_t>(p.info->used_size, area);
      long long n = ops->rebuild_in_place(p.fs, p.buf, area, &why);
      if (n == -2 || n > (long long)area) return cannot_rebuild();
      if (n >= 0) {
        if (!ops->in_place_keeps_handle) partition_release_fs(p);
        // What the old image held past the new end is erased, as a rebuild's
        // image would have left it.
        if (size_t(n) < old_used) std::memset(p.buf + n, 0xFF, old_used - size_t(n));
        p.info->used_size = uint32_t(n);
        kept.crc_due.emplace_back(&p, size_t(n));
        if (!ops->in_place_keeps_handle) partition_load_fs(p);
        s.fs_edited[idx] = false;
        s.changed[idx] = true;
        continue;
      }
      why.clear();
    }
    uint8_t* image = ops->rebuild ? ops->rebuild(p.fs, &size, &why) : nullptr;
    if (!image) return cannot_rebuild();
    // A file system that outgrew its partition fails the save before the
    // handle goes: the edits stay in memory, to be undone or saved elsewhere.
    if (partition_update_area(&p, size) < 0) {
      ops->release_image(image, size);
      const uint32_t area =
          std::min(p.info->partition_size ? p.info->partition_size : p.info->total_size, p.info->total_size);
      // The need is rounded up and the room down, so that a miss by a few
      // bytes never reads as "needs 2.00 MiB, holds 2.00 MiB".
      auto mib = [](uint64_t bytes, bool up) {
        uint64_t hundredths = (bytes * 100 + (up ? 1048575 : 0)) / 1048576;
        return rs::strprintf("%llu.%02llu", (unsigned long long)(hundredths / 100),
                             (unsigned long long)(hundredths % 100));
      };
      rs::say_error("error: %s: rebuilt %s needs %s MiB, the partition holds %s MiB\n", partition_name(p.info).c_str(),
                    ops->name, mib(size, true).c_str(), mib(area, false).c_str());
      return -1;
    }
    // The handle may still read the old bytes: it goes before they are
    // overwritten, and a new one is loaded from what was written.
    partition_release_fs(p);
    int rc;
    if (ops->image_from_malloc && partition_adopt(entry, &p, image, size)) {
      // The rebuilt image is now the partition's buffer: nothing copied.
      rc = 0;
    } else {
      rc = partition_update(&p, image, size);
      if (p.buf && rc == 0)
        kept.list.push_back({ops, image, size, p.info->start_addr});
      else
        ops->release_image(image, size);
    }
    partition_load_fs(p);
    if (rc != 0) return -1;
    s.fs_edited[idx] = false;
    s.changed[idx] = true;
  }
  return 0;
}

// Whether two table records encode to the same bytes in this image's format
// (padding and fields the format does not store play no part).
bool same_encoding(const flash* entry, partition_table a, partition_table b) {
  std::vector<uint8_t> ea(table_sect.size), eb(table_sect.size);
  int ra = flash_table_write_version(entry->table_version, &a, ea.data(), ea.size());
  int rb = flash_table_write_version(entry->table_version, &b, eb.data(), eb.size());
  return ra == 0 && rb == 0 && ea == eb;
}

bool ranges_overlap(const partition_info* a, const partition_info* b, uint64_t* from, uint64_t* to) {
  *from = std::max<uint64_t>(a->start_addr, b->start_addr);
  *to = std::min<uint64_t>(uint64_t(a->start_addr) + a->total_size, uint64_t(b->start_addr) + b->total_size);
  return *from < *to;
}

// Partitions that share bytes are written in table order, so a later one
// would overwrite an earlier one's edit: refuse that instead of losing it.
bool check_overlaps(const flash* entry) {
  const image_state& s = state_of(entry);
  for (int i = 0; i < entry->count; ++i)
    for (int j = i + 1; j < entry->count; ++j) {
      const partition_data& a = entry->list[i];
      const partition_data& b = entry->list[j];
      uint64_t from, to;
      if (!a.buf || !b.buf || !ranges_overlap(a.info, b.info, &from, &to)) continue;
      int ia = partition_index(entry, a), ib = partition_index(entry, b);
      bool edited = (ia >= 0 && s.changed[ia]) || (ib >= 0 && s.changed[ib]);
      if (!edited) continue;
      const uint8_t* pa = a.buf + (from - a.info->start_addr);
      const uint8_t* pb = b.buf + (from - b.info->start_addr);
      if (std::memcmp(pa, pb, size_t(to - from)) == 0) continue;
      rs::say_error("error: partitions %s and %s overlap at 0x%llx-0x%llx and %s was changed: saving would lose it\n",
                  partition_name(a.info).c_str(), partition_name(b.info).c_str(), (unsigned long long)from,
                  (unsigned long long)to, partition_name((ia >= 0 && s.changed[ia]) ? a.info : b.info).c_str());
      return false;
    }
  return true;
}

// Whether [at, at+len) is free of every partition but the table's own.
bool place_uncovered(const flash* entry, uint64_t at, uint64_t len) {
  for (int i = 0; i < entry->count; ++i) {
    if (is_table_partition(entry->list[i])) continue;
    const partition_info* info = entry->list[i].info;
    uint64_t a = info->start_addr, b = a + info->total_size;
    if (a < at + len && at < b && info->total_size) return false;
  }
  return true;
}

// The table must land somewhere the loader will find it again. Gives false
// (with the reason printed) when it cannot be stored; `loose` receives a
// table to write outside any partition.
bool place_table(flash* entry, std::vector<uint8_t>& loose, uint64_t& loose_at) {
  image_state& s = state_of(entry);
  partition_data* table = nullptr;
  for (int i = 0; i < entry->count; ++i)
    if (is_table_partition(entry->list[i])) table = &entry->list[i];
  bool unchanged = s.table_snapshot && same_encoding(entry, s.loaded_table, entry->flash_table);
  if (table && table->info->total_size >= table_sect.size) {
    // An unchanged record keeps the bytes as loaded.
    if (unchanged) return true;
    return encode_table_into(entry, *table) == 0;
  }
  // Only images that came from a file were found by their table; an image
  // built from a flash.conf without a TABLE partition carries none by choice.
  if (!s.file_length) {
    if (table) return encode_table_into(entry, *table) == 0;
    return true;
  }
  const char* why = table ? "the TABLE partition is smaller than the table" : "the image has no TABLE partition";
  if (!place_uncovered(entry, s.table_found_at, table_sect.size)) {
    rs::say_error("error: the partition table cannot be stored (%s, and partitions cover 0x%llx where it was found)\n",
                why, (unsigned long long)s.table_found_at);
    return false;
  }
  loose.assign(table_sect.size, 0xFF);
  if (flash_table_write_version(entry->table_version, &entry->flash_table, loose.data(), loose.size()) != 0)
    return false;
  loose_at = s.table_found_at;
  // A short TABLE partition still holds what fits, as before.
  if (table) encode_table_into(entry, *table);
  return true;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return rs::dir_of(a) == rs::dir_of(b) && rs::rs_basename(a) == rs::rs_basename(b);
}

// In the image's own base directory: where its flash.conf was, or the
// directory the caller had set when it was opened.
std::string table_file_path(const flash* entry) {
  const std::string& dir = state_of(entry).basedir;
  return table_file_name.empty() ? rs::strprintf("%s/table.bin", dir.c_str())
                                 : rs::strprintf("%s/%s", dir.c_str(), table_file_name.c_str());
}

}  // namespace

int encode_table_into(flash* entry, partition_data& p) {
  size_t size = table_sect.size;
  // A buffer shorter than the table keeps what fits.
  size_t room = std::min<size_t>(size, p.info->total_size);
  if (!p.buf) {
    size_t n = std::max<size_t>(size, p.info->total_size);
    p.buf = static_cast<uint8_t*>(std::malloc(n));
    if (!p.buf) return -1;
    std::memset(p.buf, 0xFF, n);
    room = size;
  }
  std::vector<uint8_t> t(size);
  if (flash_table_write_version(entry->table_version, &entry->flash_table, t.data(), t.size()) != 0) return -1;
  std::memcpy(p.buf, t.data(), room);
  return 0;
}

std::string write_table_file(flash* entry, const std::vector<uint8_t>* loose) {
  std::string path = table_file_path(entry);
  // The configured name serves one save.
  table_file_name.clear();
  state_of(entry).table_file_name.clear();
  bool ok = rs::write_file_atomic(path, [&](FILE* f) {
    if (loose) return std::fwrite(loose->data(), 1, loose->size(), f) == loose->size();
    for (int i = 0; i < entry->count; ++i) {
      const partition_data& p = entry->list[i];
      if (!is_table_partition(p)) continue;
      std::vector<uint8_t> t = table_bytes(p);
      if (std::fwrite(t.data(), 1, t.size(), f) != t.size()) return false;
    }
    return true;
  });
  return ok ? path : std::string();
}

namespace {

int save_image(flash* entry, const char* filename, int unchanged_fs) {
  // This image's own table format and table file name are the current ones.
  state_make_current(entry);
  if (same_file(filename, table_file_path(entry))) {
    rs::say_error("error: %s is where the table file goes; save the image under another name\n", filename);
    return -1;
  }
  // Nothing of a file that changed under us goes into a save.
  if (!image_file_unchanged(entry)) return -1;
  rebuilt_images rebuilt;
  // The open's CRC pass runs on through the rebuilds, which read none of it.
  int failed = 0;
  if (!unchanged_fs)
    for (const fs_ops* ops : fs_all_ops())
      if ((failed = rebuild_pass(entry, ops->type, rebuilt)) != 0) break;
  image_crcs_ready(entry);
  for (auto& [p, n] : rebuilt.crc_due) p->info->crc32 = in_place_crc(entry, *p, partition_index(entry, *p), n);
  if (failed) return -1;
  std::vector<uint8_t> loose;
  uint64_t loose_at = 0;
  // A file found without a table is written back without one.
  bool tableless = state_of(entry).found == FOUND_BARE || state_of(entry).found == FOUND_SCANNED;
  if ((!tableless && !place_table(entry, loose, loose_at)) || !check_overlaps(entry)) return -1;
  // The image and its table file come from the same save, even when two
  // programs save to one target at once.
  rs::DirLock lock(filename);
  // One directory sync for the two renames when they share a directory.
  rs::DirSyncTogether together;
  errno = 0;
  bool ok = rs::write_file_atomic(filename, [&](FILE* f) {
    return entry->new_style ? write_zlibmode(entry, f)
                            : write_raw(entry, f, loose.empty() ? nullptr : &loose, loose_at, &rebuilt);
  });
  if (!ok && !image_file_change(entry).empty()) return -1;  // said by write_raw
  if (!report_write(ok)) return -1;
  errno = 0;
  if (!tableless && !report_write(!write_table_file(entry, loose.empty() ? nullptr : &loose).empty())) return -1;
  // What is on disk now is what a next save compares with.
  image_state& s = state_of(entry);
  s.table_snapshot = true;
  s.loaded_table = entry->flash_table;
  return 0;
}

}  // namespace

extern "C" {

// A failure leaves its error line (or errno's text) for flash_last_error.
RS_API int flash_save(flash* entry, const char* filename, int unchanged_fs) {
  if (!entry || !filename) return -1;
  rs::forget_said();
  state_set_error(entry, "");
  errno = 0;
  int rc = save_image(entry, filename, unchanged_fs);
  if (rc != 0) {
    int err = errno;
    state_set_error(entry, !rs::last_said().empty() ? rs::last_said()
                                                    : std::string("error: ") + std::strerror(err ? err : EIO));
    errno = err;
  }
  return rc;
}

RS_API int flash_simple_save(flash* entry, const char* filename) {
  if (!entry || !filename) return -1;
  image_crcs_ready(entry);
  errno = 0;
  if (!image_file_unchanged(entry)) return -1;
  bool ok = rs::write_file_atomic(filename, [&](FILE* f) { return write_raw(entry, f, nullptr, 0); });
  if (!ok && !image_file_change(entry).empty()) return -1;  // said by write_raw
  return report_write(ok) ? 0 : -1;
}

}  // extern "C"
