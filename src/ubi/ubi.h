// UBI images read in place: physical erase blocks (PEBs) with their erase
// counter and volume identifier headers, the volume table, and each volume's
// logical erase blocks (LEBs) in order.
//
// Every PEB's bytes stay reachable through the image (nothing is copied), and
// every layout fact a writer would need to give the image back is kept: the
// headers' offsets, the image sequence number, each PEB's erase counter and
// VID header, the volume table records as stored.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rs::ubi {

constexpr uint32_t kLayoutVolumeId = 0x7fffefff;
constexpr uint8_t kDynamic = 1, kStatic = 2;  // vol_type, in VID headers and the table
constexpr uint8_t kFlagAutoresize = 1, kFlagSkipCrc = 2;

// The CRC-32 UBI and UBIFS store: from 0xffffffff, not inverted at the end.
uint32_t media_crc(const uint8_t* p, size_t n);

struct ec_header {
  uint8_t version = 0;
  uint64_t ec = 0;
  uint32_t vid_hdr_offset = 0, data_offset = 0, image_seq = 0;
};

struct vid_header {
  uint8_t version = 0, vol_type = 0, copy_flag = 0, compat = 0;
  uint32_t vol_id = 0, lnum = 0, data_size = 0, used_ebs = 0, data_pad = 0, data_crc = 0;
  uint64_t sqnum = 0;
};

struct peb {
  enum state_t : uint8_t { kErased, kBad, kFree, kUsed } state = kErased;
  ec_header ec;         // kFree, kUsed
  vid_header vid;       // kUsed
  bool data_ok = true;  // data CRC held where one is checked
  bool chosen = false;  // the copy of its LEB the volume reads
};

struct volume {
  uint32_t id = 0;
  std::string name;
  uint8_t type = kDynamic;  // kDynamic or kStatic
  uint8_t flags = 0, upd_marker = 0;
  uint32_t reserved_pebs = 0, alignment = 1, data_pad = 0;
  uint32_t used_ebs = 0;        // static volumes: LEBs in use, from the VID headers
  uint64_t used_bytes = 0;      // static: the data size; dynamic: LEB count × usable LEB size
  std::vector<int32_t> lebs;    // PEB index of each LEB, -1 where unmapped (reads as erased)
  std::vector<uint8_t> record;  // the volume table record as stored (172 bytes)
};

struct image {
  const uint8_t* base = nullptr;
  size_t size = 0;
  uint32_t peb_size = 0, vid_hdr_offset = 0, data_offset = 0, image_seq = 0;
  uint32_t leb_size = 0;  // PEB size less the data offset
  std::vector<peb> pebs;
  std::vector<volume> volumes;  // by id; the layout volume not among them
  uint32_t table_copies_ok = 0;

  // Usable bytes of one LEB of `v` (the LEB size less its data pad).
  uint32_t leb_bytes(const volume& v) const { return leb_size - v.data_pad; }
  // The data of LEB `lnum` of `v`, or null when unmapped. `len`: its usable
  // bytes (a static volume's LEB: the bytes in use).
  const uint8_t* leb(const volume& v, uint32_t lnum, uint32_t* len) const;
  const volume* find(const std::string& name) const;
};

// Whether `data` starts with an erase counter header ("UBI#").
bool is_ubi(const uint8_t* data, size_t size);

// Reads the image, or null with a one-line reason. The bytes must outlive it.
std::unique_ptr<image> open(const uint8_t* data, size_t size, std::string* why);

}  // namespace rs::ubi
