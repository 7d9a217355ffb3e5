// Merge files (a flash.conf with all its inputs in one file), their split,
// and the release block stamped into the first partition.
#include "core/merge.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/flash_ops.h"
#include "core/state.h"
#include "core/table.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/fileio.h"
#include "util/treewriter.h"
#include "util/mapping.h"
#include "util/strutil.h"
#include "util/report.h"

namespace {

constexpr size_t kRecord = 264;
constexpr size_t kHead = 12;

std::string after_slash(const std::string& s) {
  size_t p = s.rfind('/');
  return p == std::string::npos ? s : s.substr(p + 1);
}

}  // namespace

int image_merge(const char* conf_file_name, flash* entry, const char* file_name) {
  if (!conf_file_name || !entry || !file_name) return -1;
  for (int i = 0; i < entry->count; ++i) {
    partition_data& p = entry->list[i];
    if (!is_table_partition(p)) continue;
    if (encode_table_into(entry, p) != 0) return -1;
    errno = 0;
    std::string path = write_table_file(entry);
    if (path.empty()) {
      rs::say_error("error: %s(%d) errno(%s)\n", "image_merge", 58, std::strerror(errno ? errno : EIO));
      return -1;
    }
    std::free(p.file_name);
    p.file_name = strdup(path.c_str());
  }
  std::string out = std::strstr(file_name, ".merge") ? file_name : rs::strprintf("%s.merge", file_name);

  std::vector<partition_data*> parts;
  for (int i = 0; i < entry->count; ++i)
    if (entry->list[i].file_name) parts.push_back(&entry->list[i]);
  for (partition_data* p : parts) {
    size_t n = std::strlen(p->file_name);
    if (n >= 255) {
      rs::say_error("error: %s(%d) file(%s) name strlen(%d) is >= %d\n", "image_merge", 83, p->file_name, int(n), 256);
      return -1;
    }
  }
  const int count = int(parts.size()) + 1;
  rs::MappedFile conf;
  if (!conf.open(conf_file_name)) {
    rs::say_error("error: %s(%d) file(%s) x_fmmap failed\n", "image_merge", 101, conf_file_name);
    return -1;
  }
  std::vector<uint8_t> records(kRecord * size_t(count), 0);
  auto put_record = [&](int k, const std::string& name, uint32_t start, uint32_t len) {
    uint8_t* r = &records[kRecord * size_t(k)];
    std::memcpy(r, name.data(), std::min<size_t>(name.size(), 255));
    rs::store_le32(r + 256, start);
    rs::store_le32(r + 260, len);
  };
  uint32_t offset = uint32_t(kHead + kRecord * size_t(count));
  put_record(0, after_slash(conf_file_name), offset, uint32_t(conf.size()));
  struct Piece {
    const uint8_t* data;
    size_t len;
  };
  std::vector<Piece> pieces{{conf.data(), conf.size()}};
  offset += uint32_t(conf.size());
  // A TABLE partition's bytes come from its encoded table (the buffer may be
  // shorter than the table image).
  std::vector<std::vector<uint8_t>> tables;
  tables.reserve(parts.size());
  for (size_t k = 0; k < parts.size(); ++k) {
    partition_data* p = parts[k];
    uint32_t len = std::min(p->info->used_size, p->info->total_size);
    const uint8_t* data = p->buf;
    if (is_table_partition(*p)) {
      tables.emplace_back(table_sect.size, 0xFF);
      if (p->buf) std::memcpy(tables.back().data(), p->buf, std::min<size_t>(table_sect.size, p->info->total_size));
      data = tables.back().data();
      len = table_sect.size;
    }
    if (!data) len = 0;
    put_record(int(k) + 1, after_slash(p->file_name), offset, len);
    pieces.push_back({data, len});
    offset += len;
  }
  errno = 0;
  bool ok = rs::write_file_atomic(out, [&](FILE* f) {
    uint8_t head[kHead];
    std::memcpy(head, "mergebin", 8);
    rs::store_le32(head + 8, uint32_t(count));
    if (std::fwrite(head, 1, kHead, f) != kHead) return false;
    if (std::fwrite(records.data(), 1, records.size(), f) != records.size()) return false;
    for (const Piece& pc : pieces)
      if (pc.len && std::fwrite(pc.data, 1, pc.len, f) != pc.len) return false;
    return true;
  });
  if (!ok) {
    rs::say_error("error: %s(%d) errno(%s)\n", "image_merge", 78, std::strerror(errno ? errno : EIO));
    return -1;
  }
  std::printf("Merge magic          : %s\n", "mergebin");
  std::printf("Merge sub file num   : %d\n", count);
  for (int k = 0; k < count; ++k) {
    const uint8_t* r = &records[kRecord * size_t(k)];
    std::printf("    file_name:%30s    start_addr:%10d    len:%10d\n", reinterpret_cast<const char*>(r),
                int(rs::load_le32(r + 256)), int(rs::load_le32(r + 260)));
  }
  std::printf("Merge output file    : %s\n\n", out.c_str());
  return 0;
}

int image_split(const char* file_name, const char* dir) {
  if (!file_name) return -1;
  rs::MappedFile map;
  if (!map.open(file_name)) {
    rs::say_error("error: %s(%d) file(%s) x_fmmap failed\n", "image_split", 168, file_name);
    return -2;
  }
  const uint8_t* d = map.data();
  const size_t size = map.size();
  if (size < 8 || std::memcmp(d, "mergebin", 8) != 0) {
    rs::say_error("error: %s(%d) file(%s) is not merge file.\n", "image_split", 174, file_name);
    return -1;
  }
  // Header and records must be there, and every record inside the file.
  int32_t count = size >= kHead ? int32_t(rs::load_le32(d + 8)) : -1;
  if (count < 0 || kHead + kRecord * uint64_t(count) > size) {
    rs::say_error("error: %s(%d) file(%s) is not merge file.\n", "image_split", 174, file_name);
    return -1;
  }
  std::string outdir = dir ? dir : rs::strprintf("%s.split", file_name);
  ::mkdir(outdir.c_str(), 0755);
  // Every file goes in below the directory, never through a link found
  // there: a link or node in the way is replaced, a directory refuses.
  rs::TreeWriter out(outdir);
  mode_t mask = ::umask(0);
  ::umask(mask);
  std::printf("Split output file list:\n");
  for (int32_t k = 0; k < count; ++k) {
    const uint8_t* r = d + kHead + kRecord * size_t(k);
    std::string name(reinterpret_cast<const char*>(r), strnlen(reinterpret_cast<const char*>(r), 256));
    uint32_t start = rs::load_le32(r + 256), len = rs::load_le32(r + 260);
    std::string path = rs::strprintf("%s/%s", outdir.c_str(), name.c_str());
    // A record may not name a place outside the output directory.
    bool unsafe = !rs::safe_component(name);
    bool outside = uint64_t(start) + len > size;
    if (unsafe || outside) {
      rs::say_error("error: %s(%d) fopen error, errno(%s)\n", "image_split", 193,
                  std::strerror(unsafe ? EINVAL : EFAULT));
      return -1;
    }
    errno = 0;
    if (!out.ok() || !out.file(name, 0666 & ~mask, [&](FILE* f) { return len == 0 || std::fwrite(d + start, 1, len, f) == len; })) {
      rs::say_error("error: %s(%d) fopen error, errno(%s)\n", "image_split", 193, std::strerror(errno ? errno : EIO));
      return -1;
    }
    std::printf("    %s\n", path.c_str());
  }
  return 0;
}

extern "C" RS_API int flash_add_release(flash* entry, int release_flag, const char* str) {
  if (!entry || entry->count <= 0) return -1;
  uint8_t block[256] = {};
  if (release_flag) {
    rs::store_le32(block, 0x12345678);
    std::string s = str ? str : "";
    if (s.size() + 1 > 248) {
      rs::warn("warning: string_len(include null byte)=%d > relase_info_str_size=%d\n", int(s.size() + 1), 248);
      s.resize(247);
    }
    std::memcpy(block + 4, s.data(), s.size());
    rs::store_le32(block + 252, rs::crc32_of(block + 4, 248));
  }
  partition_data& first = entry->list[0];
  uint32_t p = entry->flash_table.tables[0].partition_size;
  // The block sits 512 bytes before the end of the first partition's main area.
  if (!first.buf || p < 512 || p - 512 + 256 > first.info->total_size) {
    rs::say_error("error: %s(%d) first partition too small for the release block\n", "flash_add_release", 230);
    return -1;
  }
  std::memcpy(first.buf + (p - 512), block, sizeof block);
  return 0;
}
