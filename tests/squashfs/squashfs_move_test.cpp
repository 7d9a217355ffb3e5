// Moves and times in a loaded tree, checked against the same moves done with
// rename(2) on the host tree mksquashfs read; rebuilds that fail report why
// and leave the tree as it was.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "image3.h"
#include "squashfs/squashfs.h"
#include "squashfs_test_util.h"
#include "testutil.h"

namespace {

using rstest::read_bytes;
using rstest::run_command;
using rstest::shell_quote;

using sqtest::Tree;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

bool tools() { return rstest::have_tool("mksquashfs") && rstest::have_tool("unsquashfs"); }

// Every node reachable from the root is registered under its path, its path
// is its parent's plus its name, and nothing else is registered.
void expect_consistent(squashfs_entry* root) {
  size_t nodes = 0;
  auto walk = [&](auto&& self, squashfs_entry* dir) -> void {
    for (squashfs_entry* c = dir->child; c; c = c->next) {
      ++nodes;
      EXPECT_EQ(c->parent, dir);
      EXPECT_EQ(c->path, dir->path + "/" + c->name);
      EXPECT_EQ(squashfs_find(root, c->path.c_str()), c) << c->path;
      self(self, c);
    }
  };
  walk(walk, root);
  EXPECT_EQ(root->image->entry_table.size(), nodes + 1);
}

// Paths and kinds of the whole tree, to see that a refused move changed nothing.
std::string shape(squashfs_entry* root) {
  std::map<std::string, std::string> m;
  for (auto& [path, e] : root->image->entry_table)
    m[path] = std::to_string(e->stbuf.st_mode) + " " + std::to_string(e->stbuf.st_size);
  std::string out;
  for (auto& [path, what] : m) out += path + " " + what + "\n";
  return out;
}

using sqtest::listing;

// A host tree with files in and across directories, a hard-link pair, an
// empty and a full directory, and an image of it.
struct Moves : ::testing::Test {
  rstest::TempDir dir;
  std::string src = dir.file("src");
  std::vector<uint8_t> img;
  Tree root;

  void SetUp() override {
    if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
    for (const char* d : {"", "/etc", "/etc/sub", "/bin", "/empty_dir", "/full_dir"}) mkdir((src + d).c_str(), 0755);
    put("/etc/issue", bytes("Welcome\n"));
    put("/etc/passwd", bytes("root:x:0:0::/root:/bin/sh\n"));
    put("/etc/sub/deep", rstest::random_bytes(200000, 7));
    put("/bin/tool", rstest::random_bytes(300000, 8));
    put("/file", bytes("plain"));
    put("/other", bytes("other content"));
    put("/full_dir/x", bytes("x"));
    put("/hl_a", bytes("linked"));
    ASSERT_EQ(link((src + "/hl_a").c_str(), (src + "/hl_b").c_str()), 0);
    chmod((src + "/bin/tool").c_str(), 0751);
    make("orig.sqfs");
    img = read_bytes(dir.file("orig.sqfs"));
    root.reset(squashfs_load_memory(img.data(), img.size()));
    ASSERT_TRUE(root);
  }
  void put(const std::string& rel, const std::vector<uint8_t>& data) { rstest::write_bytes(src + rel, data); }
  void make(const std::string& name) {
    auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(dir.file(name)) +
                         " -noappend -no-progress -all-root -comp gzip");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
  }
  std::string rebuilt(const std::string& name) {
    size_t len = 0;
    std::string why;
    uint8_t* p = squashfs_rebuild(root.get(), &len, &why);
    EXPECT_TRUE(p) << why;
    if (!p) return "";
    rstest::write_bytes(dir.file(name), std::vector<uint8_t>(p, p + len));
    free(p);
    return dir.file(name);
  }
};

struct Refusal {
  const char* from;
  const char* to;
  int err;
};

TEST_F(Moves, RefusedMovesGiveRename2ReasonsAndChangeNothing) {
  const std::string before = shape(root.get());
  for (const Refusal& c : {
           Refusal{"/missing", "/x", -ENOENT}, Refusal{"/etc/issue", "/nodir/x", -ENOENT},
           Refusal{"/file/x", "/y", -ENOTDIR}, Refusal{"/etc/issue", "/file/x", -ENOTDIR},
           Refusal{"/etc/issue", "/empty_dir", -EISDIR}, Refusal{"/etc", "/file", -ENOTDIR},
           Refusal{"/etc", "/full_dir", -ENOTEMPTY}, Refusal{"/etc", "/etc/sub/below", -EINVAL},
           Refusal{"/etc", "/etc/below", -EINVAL}, Refusal{"/", "/x", -EINVAL}, Refusal{"/etc/issue", "/etc/issue", 0},
           Refusal{"/hl_a", "/hl_b", 0},  // two names of one inode: both stay
       }) {
    EXPECT_EQ(squashfs_rename(root.get(), c.from, c.to), c.err) << c.from << " -> " << c.to;
    EXPECT_EQ(shape(root.get()), before) << c.from << " -> " << c.to;
  }
  expect_consistent(root.get());
}

TEST_F(Moves, MovedEntriesRebuildAsTheHostMovesAndKeepTheirStoredBlocks) {
  struct Move {
    const char* from;
    const char* to;
  };
  const Move moves[] = {
      {"/etc/issue", "/etc/issue.net"},  // within a directory
      {"/etc/passwd", "/file"},          // across directories, over a file
      {"/hl_a", "/etc/hl"},              // a hard link keeps its inode
      {"/other", "/hl_b"},               // over the other link: /etc/hl is alone now
      {"/etc/sub", "/empty_dir"},        // a directory over an empty one, with what is below
      {"/bin", "/opt"},                  // a directory to a new name
  };
  const squashfs_entry* tool = squashfs_find(root.get(), "/bin/tool");
  ASSERT_TRUE(tool);
  const squashfs_stored tool_stored = tool->stored;
  for (const Move& m : moves) {
    ASSERT_EQ(squashfs_rename(root.get(), m.from, m.to), 0) << m.from << " -> " << m.to;
    ASSERT_EQ(::rename((src + m.from).c_str(), (src + m.to).c_str()), 0) << m.from;
  }
  expect_consistent(root.get());
  EXPECT_FALSE(squashfs_find(root.get(), "/bin/tool"));
  EXPECT_FALSE(squashfs_find(root.get(), "/etc/sub/deep"));
  ASSERT_EQ(squashfs_find(root.get(), "/opt/tool"), tool);
  EXPECT_EQ(squashfs_nlink(squashfs_find(root.get(), "/etc/hl")), 1u);
  // Still read lazily from the loaded image under the new path.
  std::vector<uint8_t> deep(200000);
  EXPECT_EQ(squashfs_read(root.get(), "/empty_dir/deep", deep.data(), deep.size(), 0), 200000);
  EXPECT_EQ(deep, rstest::random_bytes(200000, 7));

  std::string out = rebuilt("out.sqfs");
  make("expected.sqfs");
  EXPECT_EQ(listing(out), listing(dir.file("expected.sqfs")));
  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(dir.file("x")) + " " + shell_quote(out));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* p : {"/etc/issue.net", "/file", "/etc/hl", "/hl_b", "/empty_dir/deep", "/opt/tool", "/full_dir/x"})
    EXPECT_EQ(read_bytes(dir.file("x") + p), read_bytes(src + p)) << p;

  // The moved file's blocks are copied as stored.
  std::vector<uint8_t> again_img = read_bytes(out);
  Tree again(squashfs_load_memory(again_img.data(), again_img.size()));
  ASSERT_TRUE(again);
  const squashfs_entry* moved = squashfs_find(again.get(), "/opt/tool");
  ASSERT_TRUE(moved);
  ASSERT_EQ(moved->stored.block_words, tool_stored.block_words);
  uint64_t len = 0;
  for (uint32_t w : tool_stored.block_words) len += w & 0xFFFFFF;
  EXPECT_TRUE(std::equal(img.begin() + long(tool_stored.start), img.begin() + long(tool_stored.start + len),
                         again_img.begin() + long(moved->stored.start)));
  EXPECT_EQ(moved->stbuf.st_mode, mode_t(0100751));
}

TEST_F(Moves, MtimeIsSetOnEveryLinkWithinTheStoredRange) {
  EXPECT_EQ(squashfs_set_mtime(root.get(), "/missing", 5), -ENOENT);
  EXPECT_EQ(squashfs_set_mtime(root.get(), "/file", -1), -EOVERFLOW);
  EXPECT_EQ(squashfs_set_mtime(root.get(), "/file", int64_t(UINT32_MAX) + 1), -EOVERFLOW);
  ASSERT_EQ(squashfs_set_mtime(root.get(), "/file", int64_t(UINT32_MAX)), 0);
  ASSERT_EQ(squashfs_set_mtime(root.get(), "/hl_a", 4000000000), 0);  // beyond a signed 32-bit time
  ASSERT_EQ(squashfs_set_mtime(root.get(), "/etc", 86400), 0);
  std::vector<uint8_t> out = read_bytes(rebuilt("out.sqfs"));
  Tree again(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(again);
  EXPECT_EQ(int64_t(squashfs_find(again.get(), "/file")->stbuf.st_mtime), int64_t(UINT32_MAX));
  for (const char* p : {"/hl_a", "/hl_b"}) {
    EXPECT_EQ(int64_t(squashfs_find(again.get(), p)->stbuf.st_mtime), 4000000000) << p;
    EXPECT_EQ(squashfs_nlink(squashfs_find(again.get(), p)), 2u) << p;
  }
  EXPECT_EQ(int64_t(squashfs_find(again.get(), "/etc")->stbuf.st_mtime), 86400);
}

// A 3.x tree moves the same way and rebuilds as its own kind.
TEST(Moves3, RenameAndMtimeSurviveA3xRebuild) {
  std::vector<uint8_t> img = example_image3();
  Tree root(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(root);
  ASSERT_EQ(squashfs_mkdir_mode(root.get(), "/docs", 0755), 0);
  ASSERT_EQ(squashfs_rename(root.get(), "/hello.txt", "/docs/readme"), 0);
  ASSERT_EQ(squashfs_rename(root.get(), "/docs", "/share"), 0);
  ASSERT_EQ(squashfs_set_mtime(root.get(), "/share/readme", 3000000000), 0);
  EXPECT_EQ(squashfs_rename(root.get(), "/share", "/share/x"), -EINVAL);
  expect_consistent(root.get());
  size_t len = 0;
  std::string why;
  uint8_t* p = squashfs_rebuild(root.get(), &len, &why);
  ASSERT_TRUE(p) << why;
  std::vector<uint8_t> out(p, p + len);
  free(p);
  Tree again(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->image->version, 3);
  EXPECT_FALSE(squashfs_find(again.get(), "/hello.txt"));
  squashfs_entry* e = squashfs_find(again.get(), "/share/readme");
  ASSERT_TRUE(e);
  std::vector<uint8_t> v;
  ASSERT_EQ(squashfs_content(e, v), 0);
  EXPECT_EQ(std::string(v.begin(), v.end()), "Hello, squashfs!\n");
  EXPECT_EQ(e->stbuf.st_uid, 1000u);
  EXPECT_EQ(int64_t(e->stbuf.st_mtime), 3000000000);
}

// A rebuild that fails prints its reason once, hands it back, and the tree
// rebuilds fine once the cause is gone.
struct FailCase {
  const char* name;
  int version;
  const char* why;
};

class FailedRebuild : public ::testing::TestWithParam<FailCase> {};

TEST_P(FailedRebuild, ReportsWhyAndLeavesTheTreeUsable) {
  const FailCase& c = GetParam();
  rstest::TempDir dir;
  std::vector<uint8_t> img;
  if (c.version == 3) {
    img = example_image3();
  } else {
    if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
    std::string src = dir.file("src");
    mkdir(src.c_str(), 0755);
    rstest::write_bytes(src + "/hello.txt", bytes("Hello, squashfs!\n"));
    auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(dir.file("in.sqfs")) +
                         " -noappend -no-progress -comp xz");
    ASSERT_EQ(r.status, 0) << r.err;
    img = read_bytes(dir.file("in.sqfs"));
  }
  Tree root(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(root);
  ASSERT_EQ(squashfs_put(root.get(), "/added", "new", 3, -1, -1, -1), 0);
  bool forced = std::string(c.why) == "FATAL ERROR:compressor_init failed";
  if (forced) {
    setenv("ROMSMITH_TEST_FAIL_COMPRESSOR", "1", 1);
  } else {
    // 3.x keeps at most 255 owners.
    for (int i = 0; i < 300; ++i) {
      std::string p = "/u" + std::to_string(i);
      ASSERT_EQ(squashfs_put(root.get(), p.c_str(), "", 0, -1, 5000 + i, 0), 0);
    }
  }
  size_t len = 12345;
  std::string why;
  testing::internal::CaptureStderr();
  uint8_t* p = squashfs_rebuild(root.get(), &len, &why);
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("ROMSMITH_TEST_FAIL_COMPRESSOR");
  EXPECT_EQ(p, nullptr);
  free(p);
  EXPECT_EQ(why, c.why);
  EXPECT_EQ(err, std::string(c.why) + "\n");

  if (!forced) {
    for (int i = 0; i < 300; ++i) ASSERT_EQ(squashfs_remove(root.get(), ("/u" + std::to_string(i)).c_str()), 0);
  }
  p = squashfs_rebuild(root.get(), &len, &why);
  ASSERT_TRUE(p) << why;
  std::vector<uint8_t> out(p, p + len);
  free(p);
  Tree again(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(again);
  char buf[32] = {};
  EXPECT_EQ(squashfs_read(again.get(), "/added", buf, sizeof buf, 0), 3);
  EXPECT_EQ(squashfs_read(again.get(), "/hello.txt", buf, sizeof buf, 0), 17);
  EXPECT_EQ(std::string(buf, 17), "Hello, squashfs!\n");
}

std::string case_name(const ::testing::TestParamInfo<FailCase>& c) { return c.param.name; }

INSTANTIATE_TEST_SUITE_P(Causes, FailedRebuild,
                         ::testing::Values(FailCase{"forced4", 4, "FATAL ERROR:compressor_init failed"},
                                           FailCase{"forced3", 3, "FATAL ERROR:compressor_init failed"},
                                           FailCase{"uids3", 3, "FATAL ERROR:Out of uids"}),
                         case_name);

}  // namespace
