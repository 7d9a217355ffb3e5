// Loads arbitrary bytes as a cramfs image; a tree that loads is rebuilt and
// the rebuild must load again with the same file contents (a file whose
// stored data does not decode must fail the same way in the rebuild).
// Run with -close_fd_mask=3: the loader reports every fault it meets.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cramfs/cramfs.h"

namespace {

// Contents compared per input: files may share stored pages, so a small input
// can name far more content than is worth inflating twice.
constexpr uint64_t kCompareBudget = 64u << 20;

// Whole content, or false when it does not decode.
bool content_of(entry* e, std::vector<uint8_t>& out) {
  out.resize(e->size);
  return cramfs_entry_pread(e, out.data(), out.size(), 0, true) == (long long)out.size();
}

// The two trees must match node for node (names, types, sizes, contents).
void compare(entry* a, entry* b, uint64_t& budget) {
  for (a = a->child, b = b->child; a || b; a = a->next, b = b->next) {
    if (!a || !b || strcmp(a->name, b->name) != 0 || a->mode != b->mode || a->size != b->size) abort();
    uint32_t type = a->mode & 0xF000;
    if ((type == 0x8000 || type == 0xA000) && a->size && budget >= a->size) {
      budget -= a->size;
      std::vector<uint8_t> ca, cb;
      bool oka = content_of(a, ca), okb = content_of(b, cb);
      if (oka != okb || (oka && ca != cb)) abort();
    }
    compare(a, b, budget);
  }
}

}  // namespace

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
    uint64_t budget = kCompareBudget;
    compare(root, again, budget);
    cramfs_free(again);
    free(img);
  }
  cramfs_free(root);
  return 0;
}
