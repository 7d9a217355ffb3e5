// Partition-table formats v1, v2 and v4 and the process-wide format in force.
#pragma once
#include <romsmith/romsmith.h>

#include <cstddef>
#include <cstdint>

struct table_ver_adapt {
  uint32_t version;
  uint32_t magic;
  uint32_t size;
  uint32_t part_num;
};

// The format currently in force: set by loaders and by "table_version".
extern table_ver_adapt table_sect;
void init_table_sect(int version);

constexpr uint32_t TABLE_V1_MAGIC = 0xAABCDEFA;
constexpr uint32_t TABLE_V2_MAGIC = 0xDD1C2BFA;
constexpr uint32_t TABLE_V4_MAGIC = 0xFF3E4D1C;

// 0 on success, -1 on a short buffer or bad count, 1 on a table CRC mismatch.
int flash_table_read(partition_table* tbl, const uint8_t* data, size_t len);
int flash_table_v2_read(partition_table* tbl, const uint8_t* data, size_t len);
int flash_table_v4_read(partition_table* tbl, const uint8_t* data, size_t len);
// 0, or -1 when len is below the format's size. Stores the CRC in tbl->crc_verify.
int flash_table_write(partition_table* tbl, uint8_t* data, size_t len);
int flash_table_v2_write(partition_table* tbl, uint8_t* data, size_t len);
int flash_table_v4_write(partition_table* tbl, uint8_t* data, size_t len);
// Writer by table_version (2: v2, 4: v4, anything else v1).
int flash_table_write_version(int table_version, partition_table* tbl, uint8_t* data, size_t len);

int check_table_crc(const partition_table* tbl, const uint8_t* data, size_t len);
const char* get_fstype(int code);
// The type code of a flash.conf type word (ignoring case); 0 (RAW) for an unknown one.
int8_t fs_type_code(const char* word);
int flash_compr(const void* a, const void* b);
