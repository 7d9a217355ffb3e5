// Partition lookup, the designed file operations on top of the tables' reasoned ones, partition
// replacement and release of an image.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/flash_ops.h"
#include "core/fs_api.h"
#include "core/fs_contract.h"
#include "core/image_state.h"
#include "core/state.h"
#include "core/table.h"
#include "util/crc32.h"
#include "util/mapping.h"
#include "util/strutil.h"
#include "util/report.h"

// The room `size` bytes of new content may take in `p`, or -1 (with the
// designed message) when they do not fit.
long long partition_update_area(const partition_data* p, size_t size) {
  if (!p || !p->info) return -1;
  const partition_info* info = p->info;
  if (info->partition_size != 0 && size > info->partition_size) {
    rs::say_error("error: %s(%d) partition_size(%d) < new size(%d)\n", "partition_update", 121, int(info->partition_size),
                int(size));
    return -1;
  }
  // With no main-area size to check against, the buffer itself is the bound.
  size_t area = info->partition_size ? info->partition_size : info->total_size;
  area = std::min<size_t>(area, info->total_size);
  if (size > area) {
    rs::say_error("error: %s(%d) partition_size(%d) < new size(%d)\n", "partition_update", 121, int(area), int(size));
    return -1;
  }
  return (long long)area;
}

int partition_update(partition_data* p, const void* buf, size_t size) {
  long long area = partition_update_area(p, size);
  if (area < 0) return -1;
  partition_info* info = p->info;
  if (!p->buf && info->total_size) {
    p->buf = static_cast<uint8_t*>(std::malloc(info->total_size));
    if (!p->buf) return -1;
    std::memset(p->buf, 0xFF, info->total_size);
  }
  info->used_size = uint32_t(size);
  info->crc32 = size ? rs::crc32_parallel(buf, size) : 0;
  // Each byte is written once: a buffer that views the opened file copies
  // every page it writes.
  if (p->buf) {
    if (size) std::memmove(p->buf, buf, size);
    if (size_t(area) > size) std::memset(p->buf + size, 0xFF, size_t(area) - size);
  }
  return 0;
}

bool partition_adopt(const flash* entry, partition_data* p, uint8_t* image, size_t size) {
  long long area = partition_update_area(p, size);
  partition_info* info = p->info;
  if (area < 0 || !info->total_size || !p->buf) return false;
  auto* grown = static_cast<uint8_t*>(std::realloc(image, info->total_size));
  if (!grown) return false;
  if (size_t(area) > size) std::memset(grown + size, 0xFF, size_t(area) - size);
  // What lies past the main area stays as it was.
  if (info->total_size > uint64_t(area))
    std::memcpy(grown + area, p->buf + area, info->total_size - size_t(area));
  info->used_size = uint32_t(size);
  info->crc32 = size ? rs::crc32_parallel(grown, size) : 0;
  partition_buf_free(entry, *p);
  p->buf = grown;
  return true;
}

int parse_filename(const char* filename, std::string& partition, std::string& file) {
  if (!filename) return -1;
  const char* slash = std::strchr(filename, '/');
  if (!slash) return -1;
  size_t plen = size_t(slash - filename);
  // Names that would not have fitted the split buffers are refused.
  if (plen >= 64 || std::strlen(slash + 1) >= 256) return -1;
  partition.assign(filename, plen);
  file.assign(slash + 1);
  return 0;
}

namespace {

// A designed entry point's path: what parse_filename takes (its length
// limits), resolved like every other operation. `file` is the part after the
// partition, as the designed messages name it.
struct Target {
  partition_data* part = nullptr;
  const fs_ops* ops = nullptr;
  std::string path, file;
  bool bad_path = false;  // "." or ".." inside: nothing there to find
};

bool resolve(flash* entry, const char* full_file, Target& t) {
  std::string pname;
  if (!entry || parse_filename(full_file, pname, t.file) != 0) return false;
  int rc = flash_fs_resolve(entry, full_file, &t.part, &t.ops, &t.path);
  if (rc == -RS_EBADPATH && t.part) t.bad_path = true;
  return rc == 0 || t.bad_path;
}

}  // namespace

extern "C" {

RS_API partition_data* flash_get_partition(flash* entry, const char* partition_name) {
  if (!entry || !partition_name) return nullptr;
  // Every file operation finds its partition here: none reads bytes of a file
  // that another program cut or rewrote under us.
  if (!image_file_unchanged(entry)) return nullptr;
  for (int i = 0; i < entry->count; ++i) {
    partition_data& p = entry->list[i];
    if (p.info && rs::iequals(::partition_name(p.info), partition_name)) return &p;
  }
  return nullptr;
}

RS_API int flash_read(flash* entry, const char* full_file, void* buf, int size, int offset) {
  Target t;
  if (!resolve(entry, full_file, t) || size < 0 || offset < 0) return -1;
  if (!t.part->fs) return t.ops->read_unloaded;
  // A missing path, or one that is no regular file, reads as empty.
  fs_attr a;
  if (t.bad_path || t.ops->stat(t.part->fs, t.path.c_str(), &a) != 0 || !S_ISREG(a.mode) || uint64_t(offset) >= a.size)
    return 0;
  if (size && !buf) return -1;
  long long n = t.ops->pread(t.part->fs, t.path.c_str(), buf, size_t(size), uint64_t(offset));
  return n < 0 ? -1 : int(n);
}

RS_API int flash_write(flash* entry, const char* full_file, const void* buf, int size) {
  Target t;
  if (!resolve(entry, full_file, t) || size < 0) return -1;
  if (!t.part->fs) return -1;
  // A replaced file keeps its mode and owner, as with put.
  int rc = t.bad_path ? -EINVAL : (size && !buf) ? -EFAULT : t.ops->put(t.part->fs, t.path.c_str(), buf, size_t(size), nullptr);
  if (rc < 0) {
    if (t.ops->write_failed_msg) rs::say_error(t.ops->write_failed_msg, t.file.c_str(), std::strerror(-rc));
    return t.ops->write_failed;
  }
  partition_mark_fs_edited(entry, *t.part);
  return t.ops->write_returns_count ? size : 1;
}

RS_API int flash_add(flash* entry, const char* full_file, const char* local_file) {
  if (!local_file) return -1;
  rs::MappedFile map;
  if (!map.open(local_file)) return -1;
  if (map.size() > 0x7FFFFFFF) return -1;
  return flash_write(entry, full_file, map.data(), int(map.size()));
}

RS_API int flash_rm(flash* entry, const char* full_file) {
  Target t;
  if (!resolve(entry, full_file, t)) return -1;
  if (!t.part->fs) return -1;
  // Removing what is not there (or the root) changes nothing: the partition stays as loaded.
  if (t.bad_path || t.path == "/") return 0;
  int rc = t.ops->remove(t.part->fs, t.path.c_str());
  if (rc == -ENOENT) return 0;
  if (rc < 0) return -1;
  partition_mark_fs_edited(entry, *t.part);
  return t.ops->rm_ok;
}

RS_API int flash_update(flash* entry, const char* partition_name, const void* buf, int size) {
  if (size < 0) return -1;
  partition_data* p = flash_get_partition(entry, partition_name);
  // A refused content leaves the partition, and any pending file edit, alone.
  if (!p || partition_update_area(p, size_t(size)) < 0) return -1;
  // The handle may read the old bytes lazily: let it go before they are
  // replaced, and read the new content afresh. The content is written as
  // given: it replaces any pending file edit instead of being rebuilt.
  partition_release_fs(*p);
  int rc = partition_update(p, buf, size_t(size));
  partition_load_fs(*p);
  if (rc != 0) return -1;
  partition_mark_changed(entry, *p);
  int i = partition_index(entry, *p);
  if (i >= 0) state_of(entry).fs_edited[i] = false;
  return 0;
}

RS_API int flash_update_f(flash* entry, const char* partition_name, const char* filename) {
  if (!filename) return -1;
  rs::MappedFile map;
  if (!map.open(filename)) return -1;
  if (map.size() > 0x7FFFFFFF) return -1;
  return flash_update(entry, partition_name, map.data(), int(map.size()));
}

RS_API void flash_sort(flash* entry) {
  if (!entry) return;
  int n = std::clamp(entry->count, 0, PARTITION_MAX);
  std::stable_sort(entry->list, entry->list + n,
                   [](const partition_data& a, const partition_data& b) { return flash_compr(&a, &b) < 0; });
}

RS_API int flash_free(flash* entry) {
  if (!entry) return 0;
  image_crcs_drop(entry);
  for (int i = 0; i < PARTITION_MAX; ++i) {
    partition_data& p = entry->list[i];
    partition_release_fs(p);
    partition_buf_free(entry, p);
    std::free(p.file_name);
  }
  state_drop(entry);
  std::free(entry);
  return 0;
}

}  // extern "C"

const char* db_name_get(flash* entry, const char* db) {
  static char result[128];
  std::memset(result, 0, sizeof result);
  if (!entry || !db) return result;
  for (int i = 0; i < entry->count; ++i) {
    partition_data& p = entry->list[i];
    if (!p.info || std::strncmp(p.info->name, "DATA", 4) != 0) continue;
    const fs_ops* ops = fs_ops_of(p.fs, p.info->file_system_type);
    if (!ops || !ops->holds_data) continue;
    fs_attr a;
    bool has_sat = p.fs && ops->stat(p.fs, "/sat.db", &a) == 0;
    std::snprintf(result, sizeof result, has_sat ? "DATA/%s" : "DATA//home/qz/%s", db);
  }
  return result;
}
