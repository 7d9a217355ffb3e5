// What the squashfs 4.0 reader and builder share: libsquashfs handles, the
// state a loaded image keeps for lazy reads, and the codecs we create.
#pragma once
#include <sqfs/block.h>
#include <sqfs/compressor.h>
#include <sqfs/data_reader.h>
#include <sqfs/inode.h>
#include <sqfs/super.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "squashfs/memfile.h"
#include "squashfs/squashfs.h"

namespace rs::sqfs::v4 {

struct Destroy {
  void operator()(void* p) const { sqfs_destroy(p); }
};
template <class T>
using Obj = std::unique_ptr<T, Destroy>;

struct FreeInode {
  void operator()(sqfs_inode_generic_t* p) const { free(p); }
};
using InodePtr = std::unique_ptr<sqfs_inode_generic_t, FreeInode>;

constexpr uint32_t kRawBit = 1u << 24;  // block or fragment stored uncompressed
constexpr uint32_t kSizeMask = kRawBit - 1;

// An xz or lzma dictionary size the options block can hold and that fits the block size.
bool dict_size_ok(uint32_t d, uint32_t block_size);

// libsquashfs's codecs, and our own where the library has none.
int make_compressor(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out);

// What stays open while the tree lives: the image view, its decompressor and
// the data reader, and which tails each stored fragment block holds.
// What readers on other threads share (squashfs_stored_reader): copies of the
// codec settings and fragment table, and a few decoded fragment blocks.
struct StoredShared;

struct State4 {
  MemFile file;
  sqfs_super_t super{};
  Obj<sqfs_compressor_t> cmp;
  sqfs_compressor_config_t cfg{};  // what made cmp: large reads make one per thread
  Obj<sqfs_data_reader_t> data;
  std::vector<sqfs_fragment_t> frags;
  // The tails each stored fragment block holds: (block, offset, length) as
  // loaded, in the order met; frag_members() sorts them on first need.
  std::vector<std::array<uint32_t, 3>> frag_tails;
  using Members = std::map<uint32_t, std::set<std::pair<uint32_t, uint32_t>>>;  // (offset, length)
  Members& frag_members() {
    if (!members_made) {
      for (const auto& t : frag_tails) members[t[0]].insert({t[1], t[2]});
      members_made = true;
    }
    return members;
  }
  // A big-endian image's little-endian copy, which `file` reads: same data
  // positions, so stored blocks are found and copied as in the original.
  std::vector<uint8_t> owned;
  std::shared_ptr<StoredShared> shared;  // made with the first stored reader, on the loading thread
  // What reads the directories of the tree not read yet (the reader's own).
  std::shared_ptr<void> lazy;
  // Metadata blocks decoded by `cmp`, by their stored bytes: a block read
  // again (by a directory read later, or a save counting what the image
  // holds) is not decoded again. Kept across saves, whose old blocks stay.
  std::shared_ptr<struct MetaCache> meta_cache;
  State4(const uint8_t* buf, size_t size) : file(buf, size) {}

 private:
  Members members;
  bool members_made = false;
};

// The stored metadata blocks at `blocks` (positions in the image) not in the
// state's cache yet, decoded into it on all cores.
void prefetch_meta(State4* st, std::vector<uint64_t> blocks);

// The size a directory inode records for its listing (headers and entries,
// plus the 3 the kernel counts for "." and "..").
inline uint64_t listing_size(const sqfs_inode_generic_t* in) {
  return in->base.type == SQFS_INODE_EXT_DIR ? in->data.dir_ext.size : in->data.dir.size;
}

// How many names an inode says it has (a regular file's basic inode: one).
uint32_t links_of_inode(const sqfs_inode_generic_t* in);

// `inner` (taken) behind a cache of the metadata blocks it decodes; null
// when out of memory (inner then released).
sqfs_compressor_t* caching_decoder(sqfs_compressor_t* inner, std::shared_ptr<MetaCache> cache);

inline State4* state_of(squashfs_data* img) { return static_cast<State4*>(img->reader_state); }

// A file inode that locates the stored data of an entry, for the data reader.
InodePtr file_inode(const squashfs_stored& s);

// Where a regular file's data lies in the image being written.
struct FileLoc {
  uint64_t start = 0, size = 0, sparse = 0;
  const std::vector<uint32_t>* words = nullptr;  // block words
  uint32_t frag = 0xFFFFFFFFu, frag_off = 0;
};
// A zeroed inode with room for `extra` payload bytes.
InodePtr make_inode4(size_t extra);
// The inode of a node that is no directory (`f` locates a regular file's
// data), without the base fields and extended attributes the caller sets.
InodePtr leaf_inode4(const squashfs_entry* e, const FileLoc* f, uint32_t links);

// The codecs a rebuild of the loaded image `img` writes with, as the whole
// rebuild chooses them: data blocks, and metadata blocks (stored raw where
// compressing does not shrink them, or where the image keeps that kind raw).
struct Codecs4 {
  sqfs_compressor_config_t data_cfg{};
  std::shared_ptr<void> keep;  // what the pointers below live in
  sqfs_compressor_t* data = nullptr;
  sqfs_compressor_t* meta = nullptr;
  sqfs_compressor_t* raw = nullptr;  // stores every block uncompressed
};
Codecs4 codecs4(squashfs_data* img);

// The lazy-read hooks of a loaded 4.0 tree.
long long read_range4(squashfs_data* img, const squashfs_entry* e, uint64_t off, void* buf, size_t n);
int read_content4(squashfs_data* img, const squashfs_entry* e, std::vector<uint8_t>& out);

}  // namespace rs::sqfs::v4
