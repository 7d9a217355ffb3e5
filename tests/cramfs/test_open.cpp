// Opening a loaded image cheaply: lookups walk the tree until the path table
// is worth filling, twin names resolve as the table resolves them, and a
// file's block-pointer table is checked when the file is read or rebuilt.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"
#include "testutil.h"
#include "util/endian.h"

using namespace cramfs_test;

namespace {

// Names that share prefixes and sort around each other (a walk that stops
// early or matches a prefix finds the wrong one), high bytes included.
const char* const kNames[] = {"a", "ab", "abc", "a-b", "b", "ba", "\xc3\xa9t\xc3\xa9", "zz"};

std::vector<uint8_t> prefix_image() {
  Tree t = empty_tree();
  for (const char* d : kNames) {
    std::string dir = std::string("/") + d;
    EXPECT_EQ(cramfs_mkdir_mode(t.get(), dir.c_str(), 0755), 0);
    for (const char* f : kNames) {
      std::string body = dir + "/" + f;
      EXPECT_EQ(cramfs_put(t.get(), body.c_str(), body.data(), body.size(), -1, -1, -1), 0);
    }
  }
  return build(t.get());
}

// Every path finds its own node, and a few misses find none: by a walk (the
// first lookup of a fresh load) or by the filled table.
class CramfsOpenLookup : public testing::TestWithParam<bool> {};

TEST_P(CramfsOpenLookup, EveryPathFindsItsOwnNode) {
  const std::vector<uint8_t> img = prefix_image();
  Tree filled = load(img);
  ASSERT_TRUE(filled);
  ASSERT_EQ(hash_num_keys(cramfs_paths(filled.get())), 1 + 8 + 64);
  Tree fresh;
  auto find = [&](const char* path) {
    if (GetParam()) return cramfs_find(filled.get(), path);
    fresh = load(img);
    return cramfs_find(fresh.get(), path);
  };
  for (const char* d : kNames)
    for (const char* f : kNames) {
      std::string path = std::string("/") + d + "/" + f;
      entry* e = find(path.c_str());
      ASSERT_NE(e, nullptr) << path;
      EXPECT_STREQ(e->path, path.c_str());
    }
  for (const char* miss : {"/ab/abcd", "/abcd", "/-", "/a/a/a", "/zzz/a", "/\xc3", "/a-"})
    EXPECT_EQ(find(miss), nullptr) << miss;
  entry* root = find("/");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->parent, nullptr);
  EXPECT_STREQ(find("//ab//b")->path, "/ab/b");
}

INSTANTIATE_TEST_SUITE_P(Table, CramfsOpenLookup, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Filled" : "Walked"; });

// Edits made while the table waits are in it once it is filled, and
// nothing removed or renamed away is.
TEST(CramfsOpenLookup, EditsBeforeTheTableAreInIt) {
  Tree t = load(prefix_image());
  ASSERT_TRUE(t);
  ASSERT_EQ(cramfs_put(t.get(), "/ab/new", "n", 1, -1, -1, -1), 0);
  ASSERT_EQ(cramfs_remove(t.get(), "/abc"), 0);
  ASSERT_EQ(cramfs_rename(t.get(), "/b", "/c"), 0);
  ASSERT_EQ(cramfs_mkdir_mode(t.get(), "/c/sub", 0700), 0);
  hash_t* table = cramfs_paths(t.get());
  EXPECT_EQ(hash_num_keys(table), 1 + 8 + 64 + 1 - 9 + 1);
  EXPECT_EQ(hash_get(table, "/ab/new"), cramfs_find(t.get(), "/ab/new"));
  EXPECT_EQ(hash_get(table, "/abc/a"), nullptr);
  EXPECT_EQ(hash_get(table, "/b/ba"), nullptr);
  EXPECT_EQ(content(t.get(), "/c/ba"), "/b/ba");
  EXPECT_NE(hash_get(table, "/c/sub"), nullptr);
}

// An image whose listing names one entry twice: a path names the last of the
// twins (the one the path table keeps), before and after the table is filled.
TEST(CramfsOpenLookup, TwinNamesResolveAsTheTableDoes) {
  Tree src = empty_tree();
  cramfs_put(src.get(), "/aa", "first", 5, -1, -1, -1);
  cramfs_put(src.get(), "/ab", "second", 6, -1, -1, -1);
  std::vector<uint8_t> img = build(src.get());
  // The root listing follows the superblock: "aa", then "ab" renamed "aa".
  const size_t second_name = 76 + 12 + 4 + 12;
  ASSERT_EQ(std::memcmp(&img[second_name], "ab", 2), 0);
  img[second_name + 1] = 'a';
  Tree t = load(img);
  ASSERT_TRUE(t);
  EXPECT_EQ(content(t.get(), "/aa"), "second");
  EXPECT_EQ(cramfs_find(t.get(), "/aa"), t->last_child);
  EXPECT_EQ(hash_num_keys(cramfs_paths(t.get())), 2);
}

// A single-page file whose block pointer points past the image: the image
// opens and lists, the file's reads fail with the reader's one line, other
// files read, and a rebuild that would copy it refuses with the reason.
TEST(CramfsOpenTables, BadTableFailsItsFileNotTheOpen) {
  Tree src = empty_tree();
  cramfs_put(src.get(), "/bad", "doomed", 6, -1, -1, -1);
  cramfs_put(src.get(), "/good", "fine", 4, -1, -1, -1);
  std::vector<uint8_t> img = build(src.get());
  uint32_t table = cramfs_find(src.get(), "/bad")->offset;
  rs::store_le32(&img[table], uint32_t(img.size() + 4096));
  testing::internal::CaptureStderr();
  Tree t = load(img);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(t);
  EXPECT_EQ(content(t.get(), "/good"), "fine");
  char buf[8];
  testing::internal::CaptureStderr();
  EXPECT_EQ(cramfs_pread(t.get(), "/bad", buf, sizeof buf, 0), -EIO);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "read: bad block pointer 0 of /bad\n");
  size_t n = 0;
  std::string why;
  testing::internal::CaptureStderr();
  uint8_t* out = cramfs_mmap(t.get(), &n, &why);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(why, "read: bad block pointer of /bad");
  free(out);
  // Once the file is replaced the tree rebuilds.
  ASSERT_EQ(cramfs_put(t.get(), "/bad", "new", 3, -1, -1, -1), 0);
  EXPECT_FALSE(build(t.get()).empty());
}

}  // namespace
