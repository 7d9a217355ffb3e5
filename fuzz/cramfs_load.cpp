// Loads arbitrary bytes as a cramfs image; a tree that loads is rebuilt and
// the rebuild must load again with the same file contents.
// Run with -close_fd_mask=3: the loader reports every fault it meets.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cramfs/cramfs.h"

// The two trees must match node for node (names, types, sizes, contents).
static void compare(const entry* a, const entry* b) {
  for (a = a->child, b = b->child; a || b; a = a->next, b = b->next) {
    if (!a || !b || strcmp(a->name, b->name) != 0 || a->mode != b->mode || a->size != b->size) abort();
    if (a->buf && a->size && (!b->buf || memcmp(a->buf, b->buf, a->size) != 0)) abort();
    compare(a, b);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cramfs_set_threads(1);
  std::vector<uint8_t> copy(data, data + size);
  entry* root = cramfs_load_memory(copy.data(), copy.size());
  if (!root) return 0;
  size_t n = 0;
  uint8_t* img = cramfs_mmap(root, &n);
  if (img) {
    entry* again = cramfs_load_memory(img, n);
    if (!again) abort();
    compare(root, again);
    cramfs_free(again);
    free(img);
  }
  cramfs_free(root);
  return 0;
}
