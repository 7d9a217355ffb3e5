// Saves written over the loaded image: only the listings, the superblock and
// what is new change; stored contents stay where they were, and the result
// is a cramfs that fsck.cramfs extracts to the edited tree.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"
#include "testutil.h"

using namespace cramfs_test;
using rstest::run_command;
using rstest::shell_quote;

namespace {

struct Edit {
  const char* name;
  const char* mkfs_opts;
  // Changes the tree and the host directory it must then equal.
  std::function<void(entry* root, const std::string& dir)> apply;
};

void put(entry* root, const std::string& dir, const char* path, const std::string& data) {
  ASSERT_EQ(cramfs_put(root, path, data.data(), data.size(), -1, -1, -1), 0) << path;
  rstest::write_bytes(dir + path, std::vector<uint8_t>(data.begin(), data.end()));
}

const Edit kEdits[] = {
    // The first content in the image is replaced: a gap opens before the data.
    {"ReplaceFirst", "", [](entry* r, const std::string& d) { put(r, d, "/a/aa", "replaced first"); }},
    // A new name grows the listings over the first contents, which move.
    {"AddName", "", [](entry* r, const std::string& d) { put(r, d, "/a/new-and-rather-long-name", "new"); }},
    {"Remove", "",
     [](entry* r, const std::string& d) {
       ASSERT_EQ(cramfs_remove(r, "/b/b1"), 0);
       ASSERT_EQ(::unlink((d + "/b/b1").c_str()), 0);
     }},
    {"ChmodAndRename", "",
     [](entry* r, const std::string& d) {
       ASSERT_EQ(cramfs_chmod(r, "/b/b1", 0600), 0);
       ASSERT_EQ(::chmod((d + "/b/b1").c_str(), 0600), 0);
       ASSERT_EQ(cramfs_rename(r, "/b/b2", "/a/moved"), 0);
       ASSERT_EQ(::rename((d + "/b/b2").c_str(), (d + "/a/moved").c_str()), 0);
     }},
    {"BigEndian", "-N big", [](entry* r, const std::string& d) { put(r, d, "/a/aa", std::string(9000, 'q')); }},
    // Boot padding in front: the CRC and every offset count from the superblock.
    {"Padded", "-p", [](entry* r, const std::string& d) { put(r, d, "/a/new-name", std::string(5000, 'p')); }},
};

class CramfsInPlace : public testing::TestWithParam<Edit> {
 protected:
  void SetUp() override {
    REQUIRE_TOOLS();
    src = tmp.file("src");
    ASSERT_EQ(run_command("mkdir -p " + shell_quote(src) + "/a " + shell_quote(src) + "/b").status, 0);
    // Small first contents (so that a move is small), then larger ones.
    rstest::write_bytes(src + "/a/aa", rstest::random_bytes(3000, 1));
    for (int i = 1; i <= 3; ++i)
      rstest::write_bytes(src + "/b/b" + std::to_string(i), rstest::random_bytes(60000 * size_t(i), 2 + i));
    rstest::write_bytes(src + "/zz", rstest::random_bytes(1 << 20, 9));
    orig = mkfs_tool(src, tmp.file("in.img"), GetParam().mkfs_opts);
  }
  // The image in a buffer of `room` bytes, loaded, edited, written in place.
  long long edit_in_place(std::vector<uint8_t>& buf, size_t room) {
    buf = orig;
    buf.resize(room, 0xFF);
    testing::internal::CaptureStdout();
    t.reset(cramfs_load_memory(buf.data(), orig.size()));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(t);
    if (!t) return -2;
    GetParam().apply(t.get(), src);
    return cramfs_write_in_place(t.get(), buf.data(), room);
  }
  Tree t;
  rstest::TempDir tmp;
  std::string src;
  std::vector<uint8_t> orig;
};

TEST_P(CramfsInPlace, WritesOnlyWhatChanged) {
  std::vector<uint8_t> buf;
  long long n = edit_in_place(buf, orig.size() + (1 << 20));
  ASSERT_GT(n, 0) << "the edit was not written in place";
  buf.resize(size_t(n));
  std::string img = tmp.file("out.img"), out = tmp.file("x");
  rstest::write_bytes(img, buf);
  rstest::RunResult r = run_command("fsck.cramfs -v --extract=" + shell_quote(out) + " " + shell_quote(img) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(snapshot(out), snapshot(src));
  // The tree goes on reading from where its contents now are.
  for (const char* f : {"/a/aa", "/b/b2", "/zz", "/a/moved"}) {
    struct stat st;
    if (::stat((src + f).c_str(), &st) == 0) {
      EXPECT_EQ(content(t.get(), f), rstest::read_text(src + f)) << f;
    }
  }
  // Pages of the old image that changed: the superblock's, the listings',
  // at most one moved content's, and none of the stored contents beyond.
  size_t changed = 0;
  for (size_t at = 0; at < orig.size(); at += 4096)
    changed += std::memcmp(&orig[at], &buf[at], std::min<size_t>(4096, orig.size() - at)) != 0;
  EXPECT_LE(changed, 3u) << "of " << orig.size() / 4096 << " pages";
}

// A second edit saved over the first save's bytes: the CRC then starts from
// the first save's, the contents the first one appended are kept or moved in
// their turn, and the image still extracts to the edited tree.
TEST_P(CramfsInPlace, SecondSaveOverTheFirst) {
  std::vector<uint8_t> buf;
  const size_t room = orig.size() + (1 << 20);
  long long n = edit_in_place(buf, room);
  ASSERT_GT(n, 0);
  put(t.get(), src, "/a/aa", std::string(7000, 's'));
  put(t.get(), src, "/b/another-new-name", "second");
  long long m = cramfs_write_in_place(t.get(), buf.data(), room);
  ASSERT_GT(m, 0) << "the second edit was not written in place";
  buf.resize(size_t(m));
  std::string img = tmp.file("out.img"), out = tmp.file("x");
  rstest::write_bytes(img, buf);
  rstest::RunResult r = run_command("fsck.cramfs -v --extract=" + shell_quote(out) + " " + shell_quote(img) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(snapshot(out), snapshot(src));
  EXPECT_EQ(content(t.get(), "/b/another-new-name"), "second");
}

INSTANTIATE_TEST_SUITE_P(Edits, CramfsInPlace, testing::ValuesIn(kEdits),
                         [](const testing::TestParamInfo<Edit>& i) { return std::string(i.param.name); });

// When the edit cannot go in place, nothing is written and the whole rebuild runs.
TEST(CramfsInPlaceRefusal, NoRoomDeadBytesAndCompactLeaveTheBytes) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  ASSERT_EQ(run_command("mkdir -p " + shell_quote(src) + "/d").status, 0);
  rstest::write_bytes(src + "/d/big", rstest::random_bytes(800000, 7));
  rstest::write_bytes(src + "/d/small", rstest::random_bytes(20000, 8));
  std::vector<uint8_t> orig = mkfs_tool(src, tmp.file("in.img"));
  auto attempt = [&](size_t room, const char* path, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> buf = orig;
    buf.resize(std::max(room, orig.size()), 0xFF);
    Tree t(cramfs_load_memory(buf.data(), orig.size()));
    EXPECT_TRUE(t);
    EXPECT_EQ(cramfs_put(t.get(), path, content.data(), content.size(), -1, -1, -1), 0);
    long long n = cramfs_write_in_place(t.get(), buf.data(), room);
    if (n < 0) {
      EXPECT_EQ(std::memcmp(buf.data(), orig.data(), orig.size()), 0) << "a refused edit wrote";
    }
    return n;
  };
  const std::vector<uint8_t> tiny(10, 't'), noise = rstest::random_bytes(30000, 9);
  EXPECT_GT(attempt(orig.size() + 65536, "/d/small", noise), 0);
  EXPECT_EQ(attempt(orig.size(), "/d/small", noise), -1) << "no room";
  // The 800 kB file replaced: its stored bytes dead, far over an eighth.
  EXPECT_EQ(attempt(orig.size() + 65536, "/d/big", tiny), -1) << "dead bytes";
  setenv("ROMSMITH_CRAMFS_COMPACT", "1", 1);
  EXPECT_EQ(attempt(orig.size() + 65536, "/d/small", tiny), -1);
  unsetenv("ROMSMITH_CRAMFS_COMPACT");
}

// Dead bytes add up over the saves of one tree: a tenth of the image dropped
// by each of two saves is more than an eighth, and the second save leaves the
// first one's bytes for the whole rebuild.
TEST(CramfsInPlaceRefusal, DeadBytesOfEarlierSavesCount) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  ASSERT_EQ(run_command("mkdir -p " + shell_quote(src)).status, 0);
  for (int i = 0; i < 10; ++i)
    rstest::write_bytes(src + "/f" + std::to_string(i), rstest::random_bytes(100000, 20 + i));
  std::vector<uint8_t> orig = mkfs_tool(src, tmp.file("in.img"));
  std::vector<uint8_t> buf = orig;
  buf.resize(orig.size() + (1 << 20), 0xFF);
  Tree t(cramfs_load_memory(buf.data(), orig.size()));
  ASSERT_TRUE(t);
  ASSERT_EQ(cramfs_put(t.get(), "/f3", "t", 1, -1, -1, -1), 0);
  long long first = cramfs_write_in_place(t.get(), buf.data(), buf.size());
  ASSERT_GT(first, 0) << "a tenth dead is below an eighth";
  const std::vector<uint8_t> saved = buf;
  ASSERT_EQ(cramfs_put(t.get(), "/f6", "t", 1, -1, -1, -1), 0);
  EXPECT_EQ(cramfs_write_in_place(t.get(), buf.data(), buf.size()), -1) << "two tenths dead";
  EXPECT_EQ(buf, saved);
}

}  // namespace
