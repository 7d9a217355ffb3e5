#include "core/table.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/crc32.h"
#include "util/endian.h"
#include "util/report.h"

using rs::load_be16;
using rs::load_be32;
using rs::store_be16;
using rs::store_be32;

table_ver_adapt table_sect = {1, TABLE_V1_MAGIC, 512, 12};

void init_table_sect(int version) {
  static const table_ver_adapt rows[] = {
      {1, TABLE_V1_MAGIC, 512, 12},
      {2, TABLE_V2_MAGIC, 1024, 24},
      {4, TABLE_V4_MAGIC, 3072, 84},
  };
  table_sect = version == 2 ? rows[1] : version == 4 ? rows[2] : rows[0];
}

namespace {

// Byte positions of one table format.
struct Layout {
  const char* reader;
  int read_line;
  uint32_t size, limit, rec_size;
  uint32_t versions, crcs, trailer;  // trailer: write_protect, crc32_enable, version, CRC
  bool has_reserved;
};

constexpr Layout kV1 = {"flash_table_read", 96, 512, 12, 24, 293, 413, 505, false};
constexpr Layout kV2 = {"flash_table_v2_read", 164, 1024, 24, 28, 677, 817, 1017, true};
constexpr Layout kV4 = {"flash_table_v4_read", 232, 3072, 84, 28, 2357, 2525, 3065, true};

int table_read(const Layout& L, partition_table* tbl, const uint8_t* data, size_t len) {
  if (!tbl || !data || len < L.size) return -1;
  tbl->magic = load_be32(data);
  tbl->count = data[4];
  tbl->write_protect = data[L.trailer];
  tbl->crc32_enable = data[L.trailer + 1];
  tbl->version = int8_t(data[L.trailer + 2]);
  tbl->crc_verify = load_be32(data + L.trailer + 3);
  if (tbl->count > L.limit) {
    rs::say_error("%s,%d partition_num=%d error\n", L.reader, L.read_line, tbl->count);
    return -1;
  }
  for (uint32_t i = 0; i < tbl->count; ++i) {
    const uint8_t* r = data + 5 + i * L.rec_size;
    partition_info& p = tbl->tables[i];
    std::memset(&p, 0, sizeof p);
    std::memcpy(p.name, r, 7);
    p.total_size = load_be32(r + 8);
    p.used_size = load_be32(r + 12);
    const uint8_t* rest;
    if (L.has_reserved) {
      p.reserved_size = load_be32(r + 16);
      p.start_addr = load_be32(r + 20);
      rest = r + 24;
    } else {
      p.start_addr = load_be32(r + 16);
      rest = r + 20;
    }
    // Bytes may hold anything; the size subtraction wraps as the stored u32 would.
    p.partition_size = p.total_size - p.reserved_size;
    p.file_system_type = int8_t(rest[0]);
    p.mode = int8_t(rest[1] & 0x7F);
    p.crc32_enable = int8_t(rest[1] >> 7);
    if (tbl->version > 101) {
      p.id = rest[2] & 0x7F;
      p.write_protect = int8_t(rest[2] >> 7);
    } else {
      p.id = uint8_t(i);
      p.write_protect = 0;
    }
    p.update_tags = rest[3] & 3;
    p.crc32 = load_be32(data + L.crcs + 4 * i);
    p.version = load_be16(data + L.versions + 2 * i);
  }
  return check_table_crc(tbl, data, L.size);
}

int table_write(const Layout& L, partition_table* tbl, uint8_t* data, size_t len) {
  if (!tbl || !data || len < L.size) return -1;
  std::memset(data, 0xFF, L.size);
  store_be32(data, tbl->magic);
  data[4] = tbl->count;
  uint32_t n = tbl->count < L.limit ? tbl->count : L.limit;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t* r = data + 5 + i * L.rec_size;
    const partition_info& p = tbl->tables[i];
    std::memcpy(r, p.name, 8);
    store_be32(r + 8, p.total_size);
    store_be32(r + 12, p.used_size);
    uint8_t* rest;
    if (L.has_reserved) {
      store_be32(r + 16, p.reserved_size);
      store_be32(r + 20, p.start_addr);
      rest = r + 24;
    } else {
      store_be32(r + 16, p.start_addr);
      rest = r + 20;
    }
    rest[0] = uint8_t(p.file_system_type);
    rest[1] = uint8_t((p.crc32_enable ? 0x80 : 0) | (uint8_t(p.mode) & 0x7F));
    rest[2] = uint8_t((p.write_protect ? 0x80 : 0) | (p.id & 0x7F));
    rest[3] = p.update_tags & 3;
    store_be16(data + L.versions + 2 * i, p.version);
    store_be32(data + L.crcs + 4 * i, p.crc32);
  }
  data[L.trailer] = tbl->write_protect;
  data[L.trailer + 1] = tbl->crc32_enable;
  data[L.trailer + 2] = uint8_t(tbl->version);
  uint32_t crc = rs::crc32_of(data, L.size - 4);
  store_be32(data + L.size - 4, crc);
  tbl->crc_verify = crc;
  return 0;
}

}  // namespace

int flash_table_read(partition_table* tbl, const uint8_t* data, size_t len) { return table_read(kV1, tbl, data, len); }
int flash_table_v2_read(partition_table* tbl, const uint8_t* data, size_t len) {
  return table_read(kV2, tbl, data, len);
}
int flash_table_v4_read(partition_table* tbl, const uint8_t* data, size_t len) {
  return table_read(kV4, tbl, data, len);
}
int flash_table_write(partition_table* tbl, uint8_t* data, size_t len) { return table_write(kV1, tbl, data, len); }
int flash_table_v2_write(partition_table* tbl, uint8_t* data, size_t len) { return table_write(kV2, tbl, data, len); }
int flash_table_v4_write(partition_table* tbl, uint8_t* data, size_t len) { return table_write(kV4, tbl, data, len); }

int flash_table_write_version(int table_version, partition_table* tbl, uint8_t* data, size_t len) {
  if (table_version == 2) return flash_table_v2_write(tbl, data, len);
  if (table_version == 4) return flash_table_v4_write(tbl, data, len);
  return flash_table_write(tbl, data, len);
}

int check_table_crc(const partition_table* tbl, const uint8_t* data, size_t len) {
  if (tbl->version <= 101) return 0;
  if (len < 4) return 1;
  return rs::crc32_of(data, len - 4) == tbl->crc_verify ? 0 : 1;
}

namespace {

// The table format's words for its type codes: what listings print and what
// a flash.conf may say ("YAFFS" and "RAMFS" are read, never printed).
struct TypeWord {
  int8_t code;
  const char* word;
  bool printed;
};
const TypeWord kTypeWords[] = {
    {FS_RAW, "RAW", true},           {FS_ROMFS, "ROMFS", true},  {FS_CRAMFS, "CRAMFS", true},
    {FS_JFFS2, "JFFS2", true},       {FS_YAFFS2, "YAFFS2", true}, {FS_YAFFS2, "YAFFS", false},
    {FS_RAMFS, "RAMFS", false},      {FS_SQUASHFS, "SQUASHFS", true}, {FS_UBIFS, "UBIFS", true},
    {FS_HIDE, "HIDE", true},         {int8_t(FS_MINIFS), "MINIFS", true},
};

}  // namespace

const char* get_fstype(int code) {
  for (const TypeWord& t : kTypeWords)
    if (t.printed && t.code == code) return t.word;
  return "UNKNOWN";
}

int8_t fs_type_code(const char* word) {
  for (const TypeWord& t : kTypeWords)
    if (strcasecmp(word, t.word) == 0) return t.code;
  // A code without a word, as a dump writes it: its number.
  char* end = nullptr;
  long n = std::strtol(word, &end, 0);
  if (*word && end && !*end && n >= -128 && n <= 255) return int8_t(n);
  return 0;
}

int flash_compr(const void* a, const void* b) {
  auto pa = static_cast<const partition_data*>(a);
  auto pb = static_cast<const partition_data*>(b);
  return int32_t(pa->info->start_addr - pb->info->start_addr);
}
