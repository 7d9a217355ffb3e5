// The shared library's only own translation unit: the exported functions are
// defined in the subsystem libraries linked in whole.
#include <romsmith/romsmith.h>

#include <cstddef>

// The records callers compile against: a change of layout breaks every
// program built with an older header, so it must be a deliberate one.
static_assert(sizeof(partition_info) == 48 && offsetof(partition_info, start_addr) == 20 &&
              offsetof(partition_info, crc32) == 36);
static_assert(sizeof(partition_table) == 4048 && offsetof(partition_table, tables) == 8);
static_assert(sizeof(partition_data) == 40);
static_assert(sizeof(flash) == 7456 && offsetof(flash, flash_table) == 3396);
static_assert(sizeof(flash_stat_s) == 4144 && offsetof(flash_stat_s, size) == 24 &&
              offsetof(flash_stat_s, ino) == 40 && offsetof(flash_stat_s, target) == 48);
