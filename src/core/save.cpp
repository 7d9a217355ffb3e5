// Writing a Flash image: file-system rebuilds, the table, raw and zlibmode
// output, and the table file. Every file is replaced atomically.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/flash_ops.h"
#include "core/fs_contract.h"
#include "core/state.h"
#include "core/table.h"
#include "util/endian.h"
#include "util/fatal.h"
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

bool write_raw(const flash* entry, FILE* f) {
  for (int i = 0; i < entry->count; ++i) {
    const partition_data& p = entry->list[i];
    if (p.buf && !rs::write_at(f, p.info->start_addr, p.buf, p.info->total_size)) return false;
  }
  return true;
}

bool write_zlibmode(const flash* entry, FILE* f) {
  std::printf("zlibmode is ture, generate bin file in new style.\n");
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
      std::printf("%s:%d compress error, ret = %d.\n", "write_flash_zlibmode", 196, status[k]);
      std::fflush(stdout);
      rs::rs_exit(1);
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
  if (!ok) std::printf("error: %s\n", std::strerror(errno ? errno : EIO));
  return ok;
}

int rebuild_pass(flash* entry, int type) {
  const fs_ops* ops = fs_ops_for(type);
  if (!ops || !ops->rebuild) return 0;
  for (int i = 0; i < entry->count; ++i) {
    partition_data& p = entry->list[i];
    if (!p.fs || p.info->file_system_type != type) continue;
    size_t size = 0;
    uint8_t* image = ops->rebuild(p.fs, &size);
    if (!image) {
      if (type != FS_CRAMFS) continue;
      std::printf("[%s : %d]: An error occurred when running run cramfs_mmap !\n", "flash_save", 270);
      return -1;
    }
    int rc = partition_update(&p, image, size);
    ops->release_image(image, size);
    if (rc != 0) return -1;
    // A minifs device lives in the partition buffer that was just rewritten:
    // mount it again so that later edits and saves see the new layout.
    if (type == FS_MINIFS) {
      partition_release_fs(p);
      partition_load_fs(p);
    }
  }
  return 0;
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

std::string write_table_file(flash* entry) {
  std::string path = table_file_name.empty() ? rs::strprintf("%s/table.bin", basedir.c_str())
                                             : rs::strprintf("%s/%s", basedir.c_str(), table_file_name.c_str());
  table_file_name.clear();
  bool ok = rs::write_file_atomic(path, [&](FILE* f) {
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

extern "C" {

RS_API int flash_save(flash* entry, const char* filename, int unchanged_fs) {
  if (!entry || !filename) return -1;
  if (!unchanged_fs)
    for (int type : {int(FS_CRAMFS), int(FS_SQUASHFS), int(FS_MINIFS)})
      if (rebuild_pass(entry, type) != 0) return -1;
  for (int i = 0; i < entry->count; ++i)
    if (is_table_partition(entry->list[i]) && encode_table_into(entry, entry->list[i]) != 0) return -1;
  errno = 0;
  bool ok = rs::write_file_atomic(filename, [&](FILE* f) {
    return entry->new_style ? write_zlibmode(entry, f) : write_raw(entry, f);
  });
  if (!report_write(ok)) return -1;
  errno = 0;
  if (!report_write(!write_table_file(entry).empty())) return -1;
  return 0;
}

RS_API int flash_simple_save(flash* entry, const char* filename) {
  if (!entry || !filename) return -1;
  errno = 0;
  bool ok = rs::write_file_atomic(filename, [&](FILE* f) { return write_raw(entry, f); });
  return report_write(ok) ? 0 : -1;
}

}  // extern "C"
