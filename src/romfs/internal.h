// The romfs tree shared by the reader, the edits and the writer.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "romfs/romfs.h"

namespace romfs {

// Entry types, the low three bits of a header's next word; bit 3 is the exec flag.
enum : uint8_t { kHardLink = 0, kDir = 1, kFile = 2, kSymlink = 3, kBlock = 4, kChar = 5, kSocket = 6, kFifo = 7 };
constexpr uint32_t kExec = 8;
constexpr uint32_t kHeader = 16;
// The kernel looks names up in a 128-byte buffer: longer ones cannot be opened.
constexpr size_t kMaxName = 127;
// Deeper trees than any path can name are refused.
constexpr int kMaxDepth = 1024;
// Bounds of what a crafted image may make the reader do: names are scanned
// for at most NAME_MAX bytes, and the tree holds at most this many entries
// (some 35 MB of memory and half a second; romfs images are far smaller).
constexpr size_t kMaxScannedName = 255;
constexpr size_t kMaxEntries = size_t(1) << 17;

// What the names of one file share. Directories have exactly one name.
struct Inode {
  uint8_t type = kFile;
  bool exec = false;
  uint32_t info = 0;              // a device's major << 16 | minor
  const uint8_t* data = nullptr;  // content (or link target) in the loaded bytes or in `own`
  uint32_t size = 0;
  std::vector<uint8_t> own;
  uint32_t loaded_at = 0;  // header offset in the loaded image; 0 for new inodes
};

struct Entry {
  std::string name;
  // "." and "..": kept where the image had them so that a rebuild writes them
  // back in place; they carry no inode.
  bool dot = false;
  std::shared_ptr<Inode> ino;
  std::vector<std::unique_ptr<Entry>> kids;  // a directory's entries, in stored order
  Entry* parent = nullptr;
  uint32_t loaded_at = 0;  // this name's header offset in the loaded image
  uint32_t placed_at = 0;  // writer: this name's header offset
  bool is_dir() const { return !dot && ino && ino->type == kDir; }
};

// Header size of a name: 16 bytes and the name with its NUL, padded to 16.
inline uint32_t meta_size(size_t name_len) { return uint32_t(kHeader + ((name_len + 16) & ~size_t(15))); }
inline uint64_t pad16(uint64_t n) { return (n + 15) & ~uint64_t(15); }

}  // namespace romfs

struct romfs_image {
  const uint8_t* buf = nullptr;  // the loaded bytes; contents are read from them
  uint32_t room = 0;             // bytes a rebuild may fill
  std::string volume;
  uint32_t align = 16;
  std::unique_ptr<romfs::Entry> root;
  uint64_t bound = 0;  // at least the size of the image the tree gives; 0: not known
};

namespace romfs {
// Header offsets of a layout with file data aligned to `align`; the image size.
uint64_t layout(romfs_image* fs, uint32_t align);
// The kernel's view of an inode.
uint32_t shown_mode(const Inode& ino);
}  // namespace romfs
