// Shared helpers of the cramfs tests.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "testutil.h"

namespace cramfs_test {

struct TreeDeleter {
  void operator()(entry* e) const { cramfs_free(e); }
};
using Tree = std::unique_ptr<entry, TreeDeleter>;

// A tree holding only its root directory (0755, root-owned).
inline Tree empty_tree() {
  cramfs_data* img = new cramfs_data;
  img->entry_table = hash_new(400, nullptr);
  entry* root = cramfs_node_new(img, "/", 0x41ED, 0, 0, 0);
  hash_add(img->entry_table, "/", root);
  return Tree(root);
}

inline std::vector<uint8_t> build(entry* root) {
  size_t n = 0;
  uint8_t* p = cramfs_mmap(root, &n);
  std::vector<uint8_t> out;
  if (p) out.assign(p, p + n);
  free(p);
  return out;
}

// The tree keeps its own copy of the bytes.
inline Tree load(const std::vector<uint8_t>& img) { return Tree(cramfs_load_copy(img.data(), img.size())); }

// Content of a file or link target; empty when missing or unreadable.
inline std::string content(entry* root, const char* path) {
  entry* e = cramfs_find(root, path);
  if (!e || !e->size) return {};
  std::string out(e->size, '\0');
  if (cramfs_entry_pread(e, out.data(), out.size(), 0) != (long long)out.size()) return {};
  return out;
}

inline bool tools_missing() { return !rstest::have_tool("mkfs.cramfs") || !rstest::have_tool("fsck.cramfs"); }
#define REQUIRE_TOOLS() \
  if (cramfs_test::tools_missing()) GTEST_SKIP() << "mkfs.cramfs/fsck.cramfs not installed (util-linux-extra)"

// The image mkfs.cramfs makes of `dir` (written to `out`).
inline std::vector<uint8_t> mkfs_tool(const std::string& dir, const std::string& out, const std::string& opts = "") {
  rstest::RunResult r =
      rstest::run_command("mkfs.cramfs " + opts + " " + rstest::shell_quote(dir) + " " + rstest::shell_quote(out) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  return rstest::read_bytes(out);
}

// Every entry below `dir` (relative path) described by type, permissions,
// owner, and content / link target / device number.
std::map<std::string, std::string> snapshot(const std::string& dir);

// A host directory with the kinds of entry a firmware root holds.
void make_rich_dir(const std::string& dir);

}  // namespace cramfs_test
