// Layout constants of squashfs 3.x shared by its reader and builder.
#pragma once
#include <cstdint>

namespace rs::sqfs::v3 {

constexpr uint32_t kMagicLzma = 0x71736873u;  // "shsq"
constexpr size_t kSuperSize = 119;
constexpr size_t kMetaChunk = 8192;
constexpr uint32_t kNoFragment = 0xFFFFFFFFu;
constexpr uint32_t kDataStored = 0x01000000u;
constexpr uint16_t kMetaStored = 0x8000;

enum Flag : uint8_t {
  kNoInodes = 0x01,
  kNoData = 0x02,
  kCheck = 0x04,
  kNoFrags = 0x08,
  kNoFragments = 0x10,
  kAlwaysFrags = 0x20,
  kDuplicates = 0x40,
  kExportable = 0x80,
};

// Superblock field offsets.
enum Off : size_t {
  kInodes = 4,
  kMajor = 28,
  kMinor = 30,
  kBlockLog = 34,
  kFlags = 36,
  kNoUids = 37,
  kNoGuids = 38,
  kMkfsTime = 39,
  kRootInode = 43,
  kBlockSize = 51,
  kFragments = 55,
  kBytesUsed = 63,
  kUidStart = 71,
  kGuidStart = 79,
  kInodeTableStart = 87,
  kDirTableStart = 95,
  kFragTableStart = 103,
  kLookupTableStart = 111,
};

}  // namespace rs::sqfs::v3
