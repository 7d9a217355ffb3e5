// Trees of many entries: the path table finds every entry however many share
// a bucket, an image of tens of thousands of files lists as fsck.cramfs lists
// it, and an edit of one file survives the rebuild.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"
#include "testutil.h"

using namespace cramfs_test;

namespace {

// Adds, replaces and drops keys at random against a std::map: every lookup,
// the count, and iteration (each chain from its head, in bucket order) agree.
TEST(CramfsPathTable, IndexAgreesWithBucketsUnderChurn) {
  hash_t* t = hash_new(400, nullptr);
  std::map<std::string, int*> want;
  std::vector<int> slots(60000);
  uint32_t seed = 7;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int round = 0; round < 200000; ++round) {
    std::string key = "/d" + std::to_string(next() % 300) + "/f" + std::to_string(next() % 200);
    int* v = &slots[next() % slots.size()];
    if (next() % 3) {
      ASSERT_EQ(hash_add(t, key.c_str(), v), 0);
      want[key] = v;
    } else {
      EXPECT_EQ(hash_drop(t, key.c_str()), want.erase(key) ? 0 : -1) << key;
    }
  }
  ASSERT_EQ(hash_num_keys(t), int(want.size()));
  for (auto& [k, v] : want) ASSERT_EQ(hash_get(t, k.c_str()), v) << k;
  EXPECT_EQ(hash_get(t, "/d1/f999"), nullptr);

  hash_iterator_t* it = hash_iter_new(t);
  size_t seen = 0;
  int bucket = 0;
  while (const char* k = hash_iter_next(it)) {
    int b = _hash_key(k, 400);
    EXPECT_GE(b, bucket);  // bucket by bucket
    bucket = b;
    EXPECT_EQ(hash_iter_get_data(it), want[k]);
    ++seen;
  }
  hash_iter_release(it);
  EXPECT_EQ(seen, want.size());
  hash_release(t);
}

// Edits keep the size bound and the root's listing size by differences: after
// each kind of edit they equal what a walk of the whole tree gives.
TEST(CramfsSizeBound, EditsKeepWhatAWalkGives) {
  Tree t = empty_tree();
  std::vector<uint8_t> big(70000, 'x');
  std::vector<std::function<int()>> edits = {
      [&] { return cramfs_put(t.get(), "/a", big.data(), big.size(), -1, -1, -1); },
      [&] { return cramfs_mkdir_mode(t.get(), "/dir", 0755); },
      [&] { return cramfs_put(t.get(), "/dir/f", "abc", 3, -1, -1, -1); },
      [&] { return cramfs_put(t.get(), "/dir/f", big.data(), 9000, -1, -1, -1); },  // replaced, bigger
      [&] { return cramfs_symlink(t.get(), "dir/f", "/link_with_a_longer_name"); },
      [&] { return cramfs_mknod(t.get(), "/dev0", 0020644, 0x0101); },
      [&] { return cramfs_mkdir_mode(t.get(), "/empty", 0700); },
      [&] { return cramfs_rename(t.get(), "/dir", "/empty"); },                     // onto an empty directory
      [&] { return cramfs_rename(t.get(), "/a", "/empty/renamed_file"); },          // a longer name elsewhere
      [&] { return cramfs_rename(t.get(), "/dev0", "/link_with_a_longer_name"); },  // replaces the link
      [&] { return cramfs_put(t.get(), "/empty/renamed_file", "", 0, -1, -1, -1); },
      [&] { return cramfs_remove(t.get(), "/empty"); },
  };
  for (size_t i = 0; i < edits.size(); ++i) {
    ASSERT_EQ(edits[i](), 0) << "edit " << i;
    int kept_bound = t->image->fslen_ub;
    uint32_t kept_size = t->size;
    EXPECT_EQ(cramfs_resize(t.get()), kept_size) << "edit " << i;
    EXPECT_EQ(t->image->fslen_ub, kept_bound) << "edit " << i;
  }
}

// One entry of fsck.cramfs -v's listing, or of ours in the same fields.
struct Row {
  char type;
  std::string mode, size, owner;
  bool operator==(const Row&) const = default;
};

std::map<std::string, Row> fsck_listing(const std::string& img) {
  std::map<std::string, Row> out;
  auto r = rstest::run_command("fsck.cramfs -v --extract " + rstest::shell_quote(img));
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    Row row;
    std::string type, path;
    if (!(f >> type >> row.mode >> row.size >> row.owner >> path) || type.size() != 1) continue;
    row.type = type[0];
    out[path] = row;
  }
  return out;
}

void our_listing(entry* e, std::map<std::string, Row>& out) {
  char mode[8];
  snprintf(mode, sizeof mode, "%04o", e->mode & 07777);
  uint32_t type = e->mode & 0xF000;
  Row row{type == 0x4000   ? 'd'
          : type == 0x8000 ? 'f'
          : type == 0xA000 ? 'l'
                           : '?',
          mode, std::to_string(e->size), std::to_string(e->uid) + ":" + std::to_string(e->gid)};
  out[e->path && e->path[0] ? e->path : "/"] = row;
  for (entry* c = e->child; c; c = c->next) our_listing(c, out);
}

struct Scale {
  const char* writer;  // who builds the image: "mkfs.cramfs" or our writer
  int dirs, per_dir;
};

class CramfsScale : public ::testing::TestWithParam<Scale> {};

TEST_P(CramfsScale, ListsAsFsckAndEditsOneFile) {
  if (!rstest::have_tool("fsck.cramfs") || !rstest::have_tool("mkfs.cramfs"))
    GTEST_SKIP() << "fsck.cramfs/mkfs.cramfs not installed";
  const Scale& s = GetParam();
  rstest::TempDir dir;
  std::string src = dir.file("src"), img = dir.file("fs.img");
  mkdir(src.c_str(), 0755);
  char path[256];
  for (int d = 0; d < s.dirs; ++d) {
    snprintf(path, sizeof path, "%s/d%03d", src.c_str(), d);
    mkdir(path, 0755);
    for (int i = 0; i < s.per_dir; ++i) {
      int n = d * s.per_dir + i;
      snprintf(path, sizeof path, "%s/d%03d/f%06d", src.c_str(), d, n);
      int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      std::string text = "file " + std::to_string(n) + "\n";
      ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
      close(fd);
    }
  }
  if (std::string(s.writer) == "mkfs.cramfs") {
    ASSERT_EQ(rstest::run_command("mkfs.cramfs " + rstest::shell_quote(src) + " " + rstest::shell_quote(img)).status,
              0);
  } else {
    ASSERT_EQ(mkfs_cramfs(src.c_str(), img.c_str()), 0);
  }
  std::vector<uint8_t> bytes = rstest::read_bytes(img);
  Tree root = load(bytes);
  ASSERT_TRUE(root);
  std::map<std::string, Row> ours, theirs = fsck_listing(img);
  our_listing(root.get(), ours);
  EXPECT_EQ(ours.size(), size_t(s.dirs) * (s.per_dir + 1) + 1);
  EXPECT_TRUE(ours == theirs) << ours.size() << " entries against " << theirs.size();
  int last = s.dirs * s.per_dir - 1;
  snprintf(path, sizeof path, "/d%03d/f%06d", s.dirs - 1, last);
  EXPECT_EQ(content(root.get(), path), "file " + std::to_string(last) + "\n");

  ASSERT_EQ(cramfs_put(root.get(), "/d000/f000000", "edited\n", 7, -1, -1, -1), 0);
  ASSERT_EQ(cramfs_put(root.get(), "/d001/added", "added\n", 6, 0600, -1, -1), 0);
  std::vector<uint8_t> rebuilt = build(root.get());
  ASSERT_FALSE(rebuilt.empty());
  rstest::write_bytes(dir.file("out.img"), rebuilt);
  EXPECT_EQ(rstest::run_command("fsck.cramfs " + rstest::shell_quote(dir.file("out.img"))).status, 0);
  Tree again = load(rebuilt);
  ASSERT_TRUE(again);
  EXPECT_EQ(content(again.get(), "/d000/f000000"), "edited\n");
  EXPECT_EQ(content(again.get(), "/d001/added"), "added\n");
  EXPECT_EQ(content(again.get(), path), "file " + std::to_string(last) + "\n");
  EXPECT_EQ(hash_num_keys(cramfs_paths(again.get())), int(ours.size()) + 1);
}

INSTANTIATE_TEST_SUITE_P(Writers, CramfsScale,
                         ::testing::Values(Scale{"mkfs.cramfs", 20, 200}, Scale{"ours", 200, 250}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.writer[0] == 'm' ? "mkfs_cramfs" : "ours");
                         });

}  // namespace
