// Loads arbitrary bytes as a squashfs image; a loaded tree is listed, read,
// edited and, when small, rebuilt and loaded again. 4.0 images are loaded a
// directory at a time as well, and must read the same.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "squashfs/squashfs.h"

namespace {

// The same bytes read a directory at a time: an image that reads whole reads
// the same tree this way, and a tree that does not read whole never rebuilds.
void lazy_pass(const uint8_t* data, size_t size, size_t whole_nodes) {
  std::vector<uint8_t> img(data, data + size);
  setenv("ROMSMITH_SQUASHFS_LAZY", "1", 1);
  squashfs_entry* root = squashfs_load_memory(img.data(), img.size());
  setenv("ROMSMITH_SQUASHFS_LAZY", "0", 1);
  if (!root) {
    if (whole_nodes) abort();
    return;
  }
  const bool whole = squashfs_load_all(root);
  if (whole_nodes && (!whole || root->image->entry_table.size() != whole_nodes)) abort();
  size_t len = 0;
  uint8_t* again = squashfs_mmap(root, &len);
  if (again && !whole) abort();
  free(again);
  squashfs_free(root);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> img(data, data + size);
  // Read whole first, whatever inode count the superblock claims.
  setenv("ROMSMITH_SQUASHFS_LAZY", "0", 1);
  squashfs_entry* root = squashfs_load_memory(img.data(), img.size());
  lazy_pass(data, size, root && root->image->version == 4 ? root->image->entry_table.size() : 0);
  if (!root) return 0;
  uint64_t total = 0;
  std::vector<uint8_t> buf(4096);
  for (auto& [path, e] : root->image->entry_table) {
    if (S_ISREG(e->stbuf.st_mode)) total += uint64_t(e->stbuf.st_size);
    // Data is decoded here, not at load: a bad block must fail only this read.
    squashfs_read(root, path.c_str(), buf.data(), buf.size(), 1);
    if (S_ISREG(e->stbuf.st_mode) && e->stbuf.st_size > 4096)
      squashfs_pread(e, uint64_t(e->stbuf.st_size) - 4096, buf.data(), buf.size());
  }
  squashfs_add_buffer(root, "/fuzz_added", "x", 1);
  // Unchanged files are copied as stored, so size only matters for content
  // that has to be decoded (other versions).
  if (total < (1u << 20) || root->image->version == 4) {
    size_t len = 0;
    uint8_t* again = squashfs_mmap(root, &len);
    if (again) {
      squashfs_entry* r2 = squashfs_load_memory(again, len);
      if (!r2) abort();  // our own output must load
      squashfs_free(r2);
      free(again);
    }
  }
  squashfs_free(root);
  return 0;
}
