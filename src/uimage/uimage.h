// Legacy boot-loader image headers (magic 0x27051956): a 64-byte big-endian
// header followed by the data it describes.
//
//   offset  size  field
//        0     4  magic 0x27051956
//        4     4  header CRC-32, computed over the 64 bytes with this field zeroed
//        8     4  creation time, seconds since 1970 (UTC)
//       12     4  data size (the bytes after the header)
//       16     4  load address
//       20     4  entry point
//       24     4  data CRC-32
//       28     1  operating system code
//       29     1  architecture code
//       30     1  image type code
//       31     1  compression code
//       32    32  image name, NUL padded (not necessarily NUL terminated)
//
// Images of type "multi" (and "script", which uses the same layout) start their
// data with a table of big-endian 32-bit part sizes ended by a zero entry; the
// parts follow in order, each but the last padded to a multiple of 4 bytes.
//
// A pure codec: bytes in, bytes and text out, no files and no image model.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rs {

inline constexpr uint32_t kUimageMagic = 0x27051956;
inline constexpr size_t kUimageHeaderSize = 64;
inline constexpr size_t kUimageNameSize = 32;

// Codes with a meaning of their own to this codec.
inline constexpr uint8_t kUimageTypeMulti = 4;
inline constexpr uint8_t kUimageTypeScript = 6;

// One part of a multi-file image; `offset` counts from the start of the buffer
// that was parsed (so it already includes the header).
struct uimage_part {
  size_t offset = 0;
  uint32_t size = 0;
};

struct uimage_info {
  uint32_t magic = 0;
  uint32_t header_crc = 0;  // as stored
  uint32_t time = 0;
  uint32_t size = 0;  // data size as stored
  uint32_t load = 0;
  uint32_t entry = 0;
  uint32_t data_crc = 0;  // as stored
  uint8_t os = 0;
  uint8_t arch = 0;
  uint8_t type = 0;
  uint8_t comp = 0;
  std::string name;  // the name field up to its first NUL (at most 32 bytes)

  // What the stored CRCs were checked against.
  uint32_t header_crc_computed = 0;
  uint32_t data_crc_computed = 0;
  bool header_crc_ok = false;
  bool data_crc_ok = false;

  // The data: from `data_offset` (always 64) for `size` bytes; the image as a
  // whole ends at `data_offset + size`.
  size_t data_offset = kUimageHeaderSize;
  // Multi-file and script images: the size table's entries, in order.
  bool multi = false;
  std::vector<uimage_part> parts;
};

// Reads the header at `data`. Refuses (false, reason in `why`) a buffer shorter
// than the header, a wrong magic, a data size past the end of the buffer, and a
// multi-file size table whose parts do not fit the data. A CRC mismatch is no
// refusal: the image is still described, its verdict is false and `why` says
// which CRC failed (so a damaged image can be listed). `why` is cleared when
// everything checks out; it may be null. After a refusal past the magic the
// header fields are still filled in (for a listing of what is there), but no
// data CRC or part was read.
bool uimage_parse(const uint8_t* data, size_t len, uimage_info* info, std::string* why);

// Names of the header codes as the boot loader's own tools print them
// ("Linux", "MIPS", "Kernel Image", "gzip compressed"); a code they do not know
// is given as its decimal number.
std::string uimage_os_name(uint8_t os);
std::string uimage_arch_name(uint8_t arch);
std::string uimage_type_name(uint8_t type);
std::string uimage_comp_name(uint8_t comp);

// The listing of a header, one '\n'-ended line each, laid out as those tools
// list it: Image Name, Created (in UTC, where they use the local zone), Image Type, Data Size, Load Address,
// Entry Point, the Contents of a multi-file image, then "Header CRC: ok|bad"
// and "Data CRC: ok|bad".
std::string uimage_describe(const uimage_info& info);

// The image at `old` with its data replaced by `payload`: the data size and both
// CRCs are rewritten, every other header field is kept as it was, the creation
// time included (the image still says when it was first made). Refuses an old
// image that does not parse or whose header CRC is bad (its fields cannot be
// trusted to carry over), and, for multi-file and script images, a payload
// without a valid size table. Bytes after the old image's data are not copied.
bool uimage_replace_payload(const uint8_t* old, size_t old_len, const uint8_t* payload, size_t n,
                            std::vector<uint8_t>* out, std::string* why);

// The data of a multi-file image holding `parts`: the size table and the
// parts, padded as the format wants. Every part must hold at least one byte:
// a zero size would end the table.
std::vector<uint8_t> uimage_multi_data(const std::vector<std::vector<uint8_t>>& parts);

// A multi-file image with part `index` replaced by `payload` and the others
// kept; the header is rewritten as by uimage_replace_payload.
bool uimage_replace_part(const uint8_t* old, size_t old_len, size_t index, const uint8_t* payload, size_t n,
                         std::vector<uint8_t>* out, std::string* why);

// Offsets, multiples of `align` (0 counts as 1), at which a header with the
// magic and a matching header CRC starts. The data of a header found may run
// past `len`: parse it to know. Headers inside another image's data are
// reported too; a scan cannot tell an embedded image from a following one.
std::vector<size_t> uimage_find(const uint8_t* data, size_t len, size_t align);

}  // namespace rs
