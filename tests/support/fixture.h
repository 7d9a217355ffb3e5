// Flash images composed in test code, byte by byte, without the library's own
// table writer, so that readers are checked against an independent encoder.
#pragma once
#include <romsmith/romsmith.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rstest {

struct FixturePart {
  std::string name;  // up to 8 bytes are stored
  uint32_t start = 0;
  uint32_t total = 0;
  uint32_t reserved = 0;         // v2/v4 only
  std::vector<uint8_t> content;  // used_size = content.size() unless used_override set
  int64_t used_override = -1;
  int8_t type = 0;
  int8_t mode = 0;
  uint8_t id = 0;
  uint8_t update_tags = 0;
  uint16_t version = 0;
  bool crc32_enable = true;
  bool write_protect = false;
  bool bad_crc = false;  // store a CRC that does not match the content
};

struct FixtureTable {
  int format = 4;  // 1, 2 or 4
  uint8_t revision = 102;
  uint8_t write_protect = 0;
  uint8_t crc32_enable = 1;
  bool bad_table_crc = false;
  int count_override = -1;  // store another partition count than parts.size()
  std::vector<FixturePart> parts;
};

// Size in bytes of a table image of the format.
size_t table_size(int format);
// The table image alone.
std::vector<uint8_t> encode_table(const FixtureTable& t);
// A whole flash image of `image_size` bytes (0xFF filler): every partition's
// content at its start, the table image at `table_at`.
std::vector<uint8_t> build_image(const FixtureTable& t, size_t image_size, size_t table_at);

// An image record released with the object.
struct Image {
  flash* f = nullptr;
  explicit Image(flash* p) : f(p) {}
  ~Image() {
    if (f) flash_free(f);
  }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  partition_data* part(const char* n) { return flash_get_partition(f, n); }
};

// A typical four-partition image (BOOT, KERNEL, TABLE, DATA) in the given format.
FixtureTable sample_table(int format);

}  // namespace rstest
