// Reads arbitrary bytes with each of the three partition-table readers; a table
// that reads back is written again and must read back the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/table.h"

using reader = int (*)(partition_table*, const uint8_t*, size_t);
using writer = int (*)(partition_table*, uint8_t*, size_t);

static void round_trip(reader rd, writer wr, const uint8_t* data, size_t size) {
  partition_table a{};
  if (rd(&a, data, size) != 0) return;
  std::vector<uint8_t> out(3072, 0);
  if (wr(&a, out.data(), out.size()) != 0) abort();
  partition_table b{};
  if (rd(&b, out.data(), out.size()) != 0) abort();  // our own table must pass its CRC
  if (a.count != b.count) abort();
  for (unsigned i = 0; i < a.count; ++i) {
    const partition_info &x = a.tables[i], &y = b.tables[i];
    if (std::memcmp(x.name, y.name, 7) != 0 || x.total_size != y.total_size || x.used_size != y.used_size) abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  round_trip(flash_table_read, flash_table_write, data, size);
  round_trip(flash_table_v2_read, flash_table_v2_write, data, size);
  round_trip(flash_table_v4_read, flash_table_v4_write, data, size);
  return 0;
}
