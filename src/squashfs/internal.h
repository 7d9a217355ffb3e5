// Entry points between the adapter and the format readers and builders.
#pragma once
#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "squashfs/squashfs.h"

namespace rs::sqfs {

// Readers fill `img` (parameters, root_entry, entry_table); false when the image
// cannot be read, with the reason in img->refusal. Version 4 returns 1 when
// read, 0 for malformed metadata (the caller reports it), -1 for an image it
// refuses as a kind it cannot handle (a compressor it has no codec for): the
// caller prints "squashfs: <refusal>, image left as raw bytes".
int read_image4(squashfs_data* img, const uint8_t* buf, size_t size);
// The same for a big-endian 4.0 image (either length-word order): read
// through a little-endian copy the tree owns.
int read_image4_be(squashfs_data* img, const uint8_t* buf, size_t size);
bool read_image3(squashfs_data* img, const uint8_t* buf, size_t size);
bool read_image2(squashfs_data* img, const uint8_t* buf, size_t size);

// Builders return a malloc'd image padded to 4096 bytes; a failure throws
// BuildError (or std::bad_alloc) and leaves the tree as it was.
uint8_t* build_image4(squashfs_entry* root, size_t* fs_len);
uint8_t* build_image3(squashfs_entry* root, size_t* fs_len);
uint8_t* build_image2(squashfs_entry* root, size_t* fs_len);

// A 4.0 little-endian tree rebuilt over its loaded image: the old data area
// stays where it is and only the superblock and the tail (new blocks, new
// fragment blocks, every table, padded to 4096 bytes) are new. Built in
// memory; the caller writes them. False when the loaded image does not allow
// it (another kind, a stored block outside its data area); a build failure
// throws as for build_image4.
struct InPlace4 {
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::array<uint8_t, 96> super{};
  std::unique_ptr<uint8_t, Free> tail;
  uint64_t tail_at = 0;  // the old data area's end
  size_t tail_len = 0;
  uint64_t length = 0;  // the new image, padded
  uint64_t dead = 0;    // bytes of the kept data area nothing refers to any more
  // What the tree becomes once the tail is written: every node the image
  // holds with its new inode number, and where a regular file's data now lies.
  struct Node {
    squashfs_entry* e = nullptr;
    uint32_t number = 0;
    long file = -1;  // index into `stored` for a regular file
  };
  std::vector<Node> nodes;
  std::vector<squashfs_stored> stored;
  // Only the nodes that change are listed; the others stay as they are.
  bool partial = false;
};
bool build_image4_in_place(squashfs_entry* root, InPlace4& r);
// The same edit saved by appending to the loaded image's tables: only the
// inodes and listings that change are written, after the old ones (r.partial).
// False when the edit or the image does not allow it: hard links, a moved
// directory, new extended attributes, or tables that hold far more than
// their live entries; the whole rebuild then saves it.
bool append_image4_in_place(squashfs_entry* root, InPlace4& r);
// Takes the digests by which a later save finds what changed, of every node
// as the image now holds it.
void mark_loaded4(squashfs_entry* root);
// The same for the entries of a directory just read from the image.
void mark_expanded4(squashfs_entry* dir);
// Drops the entries of `dir` (a directory whose listing failed to read part
// way), with their paths; they were never the tree's.
void forget_children(squashfs_entry* dir);
// The loaded tree of `root` made to describe the image `r` laid over its own
// bytes (`buf`, `size` bytes now used) without reading the tables again:
// false when it cannot be (the caller then loads the image anew).
bool adopt_in_place4(squashfs_entry* root, const InPlace4& r, const uint8_t* buf, size_t size);

// Why a rebuild failed: the builder's message, one line ending in "\n".
struct BuildError {
  std::string msg;
};
[[noreturn]] void build_fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// ROMSMITH_TEST_FAIL_COMPRESSOR=1 makes every rebuild fail where it creates its
// compressors, so that callers' handling of a failed save can be tested.
bool compressor_failure_forced();
// Off: version 3 rebuilds use zlib only, so that zlib-only tools can check them.
void set_lzma3_for_tests(bool on);

// "squashfs error: [func line]\n" on standard error.
void report(const char* func, int line);
// What the superblock at `buf` says the image is, for refusal lines: version
// (major:minor), byte order, compressor id and name, block size.
std::string describe_image(const uint8_t* buf, size_t size);
// Records why the load of `img` failed (the first reason wins); false.
bool refuse(squashfs_data* img, std::string why);

// A name a directory entry may carry: no "/", not "." or "..", not empty.
bool valid_name(std::string_view name);

// What a loaded tree may hold in memory: a base for any image, and more for
// each stored byte of its inode and directory tables. An honest image stores
// a few to about twenty table bytes per entry, and an entry holds well under a
// kilobyte; a small image whose few compressible table blocks claim a huge
// tree is refused before it grows.
constexpr uint64_t kMaxTreeBytes = uint64_t(64) << 20;
constexpr uint64_t kTreeBytesPerTableByte = 256;
inline uint64_t tree_budget(uint64_t table_bytes) { return kMaxTreeBytes + kTreeBytesPerTableByte * table_bytes; }
// What one entry costs beyond its path: the node, its table slot, the
// reader's record of it while its directory is read.
constexpr uint64_t kEntryCost = sizeof(squashfs_entry) + 160;
// The refusal of a tree past its budget.
std::string over_budget_text(uint64_t budget, uint64_t table_bytes);

// Content of a whole tree is capped so that a crafted image cannot make us
// allocate without bound.
constexpr uint64_t kMaxTotalContent = uint64_t(4) << 30;

// Children in list order, and node kinds by mode.
inline bool is_dir(const squashfs_entry* e) { return S_ISDIR(e->stbuf.st_mode); }
inline bool is_reg(const squashfs_entry* e) { return S_ISREG(e->stbuf.st_mode); }

// Children sorted by name with duplicate names dropped (the last one wins, as
// a path lookup resolves to it), which the directory format requires.
std::vector<squashfs_entry*> sorted_children(squashfs_entry* dir);

}  // namespace rs::sqfs
