// Loads arbitrary bytes as a squashfs image; a loaded tree is listed, read,
// edited and, when small, rebuilt and loaded again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "squashfs/squashfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> img(data, data + size);
  squashfs_entry* root = squashfs_load_memory(img.data(), img.size());
  if (!root) return 0;
  size_t total = 0;
  std::vector<uint8_t> buf(4096);
  for (auto& [path, e] : root->image->entry_table) {
    total += e->buf.size();
    squashfs_read(root, path.c_str(), buf.data(), buf.size(), 1);
  }
  squashfs_add_buffer(root, "/fuzz_added", "x", 1);
  if (total < (1u << 20)) {
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
