#include "core/found.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/fs_contract.h"
#include "core/image_state.h"
#include "core/table.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/report.h"

namespace {

constexpr size_t kStep = 512;
constexpr uint32_t kUimageMagic = 0x27051956;
// A bare file system gets this much room to grow beyond the file (or the
// file's own size, when larger), so that an edit can add to it.
constexpr uint64_t kBareRoom = 16u << 20;

void set_name(partition_info* p, const std::string& name) {
  std::memset(p->name, 0, sizeof p->name);
  std::memcpy(p->name, name.data(), std::min(name.size(), sizeof p->name));
}

std::string upper(const char* s) {
  std::string u = s;
  for (char& c : u) c = char(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

partition_info* add(partition_table* t, const std::string& name, uint64_t start, uint64_t len, int type) {
  if (t->count >= PARTITION_MAX) return nullptr;
  partition_info* p = &t->tables[t->count++];
  *p = partition_info{};
  set_name(p, name);
  p->start_addr = uint32_t(start);
  p->total_size = p->partition_size = p->used_size = uint32_t(len);
  p->file_system_type = int8_t(type);
  p->id = uint8_t(t->count);
  return p;
}

// A legacy uImage header whose own CRC holds: its extent (header + payload).
size_t uimage_at(const uint8_t* p, size_t size) {
  if (size < 64 || rs::load_be32(p) != kUimageMagic) return 0;
  uint8_t head[64];
  std::memcpy(head, p, 64);
  uint32_t want = rs::load_be32(head + 4);
  std::memset(head + 4, 0, 4);
  if (rs::crc32_of(head, 64) != want) return 0;
  uint64_t len = 64 + uint64_t(rs::load_be32(p + 12));
  return len <= size ? size_t(len) : 0;
}

bool read_zlibmode(const uint8_t* data, size_t size, partition_table* t, int* version, found_layout* out) {
  if (size < 8 + 16 || std::memcmp(data, "zlibmode", 8) != 0) return false;
  uint32_t magic = rs::load_be32(data + 8);
  int v = magic == TABLE_V1_MAGIC ? 1 : magic == TABLE_V2_MAGIC ? 2 : magic == TABLE_V4_MAGIC ? 4 : 0;
  int rc = v == 1 ? flash_table_read(t, data + 8, size - 8)
           : v == 2 ? flash_table_v2_read(t, data + 8, size - 8)
           : v == 4 ? flash_table_v4_read(t, data + 8, size - 8)
                    : -1;
  if (rc != 0) {
    rs::say_error("error: a zlibmode file whose table cannot be read\n");
    return false;
  }
  init_table_sect(v);
  *version = v;
  out->kind = FOUND_ZLIBMODE;
  out->buffers.assign(size_t(t->count), nullptr);
  // A partition's whole buffer, erased: what the file holds goes at its start.
  auto buffer = [&](int i) {
    size_t n = std::max<size_t>(t->tables[i].total_size, 1);
    auto* b = static_cast<uint8_t*>(std::malloc(n));
    if (b) std::memset(b, 0xFF, n);
    out->buffers[size_t(i)] = b;
    return b;
  };
  size_t at = 8 + table_sect.size;
  if (at > size) {
    rs::say_error("error: a zlibmode file cut inside its table\n");
    return false;
  }
  // The table partition holds the table; the others follow in table order,
  // each as an 8-byte name, a 32-bit length and its zlib stream.
  std::vector<bool> taken(t->count, false);
  for (int i = 0; i < t->count; ++i) {
    std::string n(t->tables[i].name, strnlen(t->tables[i].name, sizeof t->tables[i].name));
    if (upper(n.c_str()) == "TABLE") {
      uint8_t* b = buffer(i);
      if (!b) return false;
      std::memcpy(b, data + 8, std::min<size_t>(table_sect.size, t->tables[i].total_size));
      taken[i] = true;
    }
  }
  while (at + 12 <= size) {
    std::string name(reinterpret_cast<const char*>(data + at), strnlen(reinterpret_cast<const char*>(data + at), 8));
    uint32_t len = rs::load_le32(data + at + 8);
    at += 12;
    if (len > size - at) {
      rs::say_error("error: zlibmode partition %s is cut (0x%x bytes claimed, 0x%zx left)\n", name.c_str(), len,
                    size - at);
      return false;
    }
    int idx = -1;
    for (int i = 0; i < t->count && idx < 0; ++i)
      if (!taken[i] && std::string(t->tables[i].name, strnlen(t->tables[i].name, 8)) == name) idx = i;
    if (idx < 0) {
      rs::say_error("error: zlibmode partition %s is not in the table\n", name.c_str());
      return false;
    }
    const partition_info& info = t->tables[idx];
    uLongf n = std::min(info.partition_size ? info.partition_size : info.total_size, info.total_size);
    uint8_t* c = buffer(idx);
    if (!c) return false;
    uLongf got = n;
    if (uncompress(c, &got, data + at, len) != Z_OK) {
      rs::say_error("error: zlibmode partition %s does not decompress\n", name.c_str());
      return false;
    }
    taken[idx] = true;
    at += len;
  }
  return true;
}

}  // namespace

bool find_layout(const uint8_t* data, size_t size, partition_table* t, int* version, found_layout* out) {
  *t = partition_table{};
  if (read_zlibmode(data, size, t, version, out)) return true;
  if (out->kind == FOUND_ZLIBMODE) return false;
  *t = partition_table{};
  *version = 4;
  init_table_sect(4);
  t->magic = TABLE_V4_MAGIC;
  // A file system that is the whole file (its padding aside).
  for (const fs_ops* ops : fs_all_ops()) {
    size_t len = ops->probe ? ops->probe(data, size, true) : 0;
    if (len == 0 || len + 4096 <= size) continue;
    uint64_t total = ops->fixed_size ? std::max<uint64_t>(size, ops->device_size)
                                     : std::min<uint64_t>(size + std::max<uint64_t>(size, kBareRoom), 0xFFFF0000u);
    partition_info* p = add(t, upper(ops->name), 0, size, ops->type);
    p->total_size = uint32_t(total);
    p->partition_size = 0;
    // Its CRC is what the open computes: a bare image's bytes are its own.
    p->crc32 = 0;
    out->kind = FOUND_BARE;
    return true;
  }
  // A flash dump: file systems and uImage headers at 512-byte boundaries.
  for (size_t off = 0; off + 64 <= size; off += kStep) {
    ++out->scanned;
    size_t len = uimage_at(data + off, size - off);
    int type = FS_RAW;
    const char* tag = "UI";
    std::string tag_fs;
    for (const fs_ops* ops : fs_all_ops()) {
      if (len) break;
      len = ops->probe ? ops->probe(data + off, size - off, false) : 0;
      if (len) {
        type = ops->type;
        tag_fs = upper(ops->name).substr(0, 2);
        tag = tag_fs.c_str();
      }
    }
    if (!len) continue;
    char name[32];
    std::snprintf(name, sizeof name, "%s%zx", tag, off);
    if (std::strlen(name) > 8) std::snprintf(name, sizeof name, "%s%d", tag, t->count);
    if (!add(t, name, off, len, type)) break;
    // What was found is skipped whole: a file system's insides are no new find.
    off = (off + len + kStep - 1) / kStep * kStep - kStep;
  }
  if (t->count == 0) {
    rs::say_error("error: no partition table, no file system found (scanned %zu offsets)\n", out->scanned);
    return false;
  }
  // The CRCs are what the open computes.
  out->kind = FOUND_SCANNED;
  return true;
}

const char* layout_word(const flash* entry) {
  switch (state_of(entry).found) {
    case FOUND_BARE:
      return "bare";
    case FOUND_SCANNED:
      return "scanned";
    case FOUND_ZLIBMODE:
      return "zlibmode";
    default:
      return "table";
  }
}

std::string layout_text(const flash* entry) {
  const image_state& s = state_of(entry);
  char buf[96];
  switch (s.found) {
    case FOUND_BARE: {
      const fs_ops* ops = entry->count ? fs_ops_of(entry->list[0].fs, entry->list[0].info->file_system_type) : nullptr;
      std::snprintf(buf, sizeof buf, "none: a bare %s image", ops ? ops->name : "file system");
      break;
    }
    case FOUND_SCANNED:
      std::snprintf(buf, sizeof buf, "none: found by scanning %zu offsets", s.found_scanned);
      break;
    case FOUND_ZLIBMODE:
      std::snprintf(buf, sizeof buf, "v%d in a zlibmode file", entry->table_version);
      break;
    default:
      if (!s.file_length)
        std::snprintf(buf, sizeof buf, "v%d, built from a flash.conf", entry->table_version);
      else
        std::snprintf(buf, sizeof buf, "v%d at 0x%08llx", entry->table_version, (unsigned long long)s.table_found_at);
  }
  return buf;
}
