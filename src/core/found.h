// Files that hold no partition table at a 512-byte boundary: a bare file
// system, a zlibmode container, or a flash dump whose file systems and
// uImage headers are found by scanning. Each becomes an image of partitions
// the loader treats like table ones; saves write the layout back as found.
#pragma once
#include <romsmith/romsmith.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

enum found_kind { FOUND_NONE = 0, FOUND_BARE = 1, FOUND_SCANNED = 2, FOUND_ZLIBMODE = 3 };

struct found_layout {
  found_kind kind = FOUND_NONE;
  size_t scanned = 0;  // offsets looked at by the scan
  // zlibmode: each partition's buffer (malloc'd, total_size bytes, erased
  // past what the file holds compressed), by table index; taken by the loader.
  std::vector<uint8_t*> buffers;
  found_layout() = default;
  found_layout(const found_layout&) = delete;
  found_layout& operator=(const found_layout&) = delete;
  ~found_layout() {
    for (uint8_t* b : buffers) std::free(b);
  }
};

// How the layout of a loaded image was found, for listings: "table",
// "bare", "scanned" or "zlibmode".
const char* layout_word(const flash* entry);
// One line for the text listing: "v2 at 0x00001000", "none: a bare squashfs
// image", "none: found by scanning 2048 offsets", "v4 in a zlibmode file",
// "built from a flash.conf".
std::string layout_text(const flash* entry);

// Fills `table` (and *version, the table format used for the record) with
// the partitions of a file that has no table. False, with the reason said
// on stderr, when nothing we read is there.
bool find_layout(const uint8_t* data, size_t size, partition_table* table, int* version, found_layout* out);
