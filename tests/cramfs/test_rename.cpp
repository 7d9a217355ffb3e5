// Loaded cramfs trees: renames as rename(2) does them, keeping the path table
// and stored pages right; images holding names no path can reach are refused
// by name; a rebuild that fails reports why and leaves the tree usable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

const std::vector<uint8_t> kBusy = rstest::random_bytes(3 * 4096 + 77, 21);  // several stored pages

// A loaded image of a small firmware root.
std::vector<uint8_t> sample_image() {
  Tree t = empty_tree();
  entry* r = t.get();
  cramfs_mkdir(r, "/bin");
  cramfs_mkdir(r, "/etc");
  cramfs_mkdir(r, "/etc/init.d");
  cramfs_mkdir(r, "/var");
  cramfs_mkdir(r, "/var/log");
  cramfs_mkdir(r, "/empty");
  cramfs_put(r, "/bin/busy", kBusy.data(), kBusy.size(), 04755, 7, 8);
  cramfs_symlink(r, "busy", "/bin/sh");
  cramfs_put(r, "/etc/hosts", "127.0.0.1 localhost\n", 20, 0600, 12, 3);
  cramfs_put(r, "/etc/init.d/rcS", "#!/bin/sh\n", 10, 0755, -1, -1);
  cramfs_put(r, "/var/log/msg", "boot\n", 5, -1, -1, -1);
  return build(r);
}

// Every node checked against the path table and the listing rules: its path
// is its parent's plus its name, the table finds it there, siblings are in
// name order; the table holds nothing else.
void expect_consistent(entry* root) {
  int nodes = 0;
  std::vector<entry*> todo{root};
  while (!todo.empty()) {
    entry* e = todo.back();
    todo.pop_back();
    ++nodes;
    std::string path = e->parent ? std::string(e->parent->path) + "/" + e->name : "";
    EXPECT_EQ(std::string(e->path), path);
    EXPECT_EQ(cramfs_find(root, path.empty() ? "/" : path.c_str()), e) << path;
    for (entry* c = e->child; c; c = c->next) {
      EXPECT_EQ(c->parent, e);
      if (c->next) {
        EXPECT_LT(strcmp(c->name, c->next->name), 0) << path;
      }
      todo.push_back(c);
    }
  }
  EXPECT_EQ(hash_num_keys(cramfs_paths(root)), nodes);
}

// Paths with mode, owner and content (link target) of the whole tree.
std::map<std::string, std::string> describe(entry* root) {
  std::map<std::string, std::string> out;
  std::vector<entry*> todo{root};
  while (!todo.empty()) {
    entry* e = todo.back();
    todo.pop_back();
    std::string p = e->path[0] ? e->path : "/";
    uint32_t type = e->mode & 0xF000;
    out[p] = std::to_string(e->mode) + " " + std::to_string(e->uid) + ":" + std::to_string(e->gid);
    if (type == 0x8000 || type == 0xA000) out[p] += " " + content(root, p.c_str());
    for (entry* c = e->child; c; c = c->next) todo.push_back(c);
  }
  return out;
}

struct RenameRefusal {
  const char* from;
  std::string to;
  int rc;
};

class CramfsRenameRefusal : public testing::TestWithParam<RenameRefusal> {};

TEST_P(CramfsRenameRefusal, GivesTheReasonAndChangesNothing) {
  Tree t = load(sample_image());
  ASSERT_TRUE(t);
  auto before = describe(t.get());
  EXPECT_EQ(cramfs_rename(t.get(), GetParam().from, GetParam().to.c_str()), GetParam().rc)
      << GetParam().from << " -> " << GetParam().to;
  EXPECT_EQ(describe(t.get()), before);
  expect_consistent(t.get());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CramfsRenameRefusal,
    testing::Values(RenameRefusal{"/nope", "/x", -ENOENT}, RenameRefusal{"/etc/nope/x", "/x", -ENOENT},
                    RenameRefusal{"/etc/hosts", "/nodir/hosts", -ENOENT}, RenameRefusal{"/etc/hosts/x", "/x", -ENOTDIR},
                    RenameRefusal{"/etc/hosts", "/bin/busy/hosts", -ENOTDIR},
                    RenameRefusal{"/etc", "/bin/busy", -ENOTDIR}, RenameRefusal{"/var/log", "/bin/sh", -ENOTDIR},
                    RenameRefusal{"/etc/hosts", "/empty", -EISDIR}, RenameRefusal{"/bin/sh", "/var", -EISDIR},
                    RenameRefusal{"/empty", "/etc", -ENOTEMPTY},
                    RenameRefusal{"/var/log/msg", "/var", -EISDIR},     // onto its own ancestor
                    RenameRefusal{"/var/log", "/var", -ENOTEMPTY},      // same, a directory
                    RenameRefusal{"/etc", "/etc/init.d/etc", -EINVAL},  // below itself
                    RenameRefusal{"/etc", "/etc/sub", -EINVAL}, RenameRefusal{"/", "/x", -EBUSY},
                    RenameRefusal{"/etc/hosts", "/", -EBUSY}, RenameRefusal{"/etc/hosts", "/etc/..", -EINVAL},
                    RenameRefusal{"/etc/hosts", "/" + std::string(253, 'n'), -ENAMETOOLONG}));

TEST(CramfsRename, MovesKeepAttributesStoredPagesAndThePathTable) {
  std::vector<uint8_t> img = sample_image();
  Tree t = load(img);
  ASSERT_TRUE(t);
  entry* r = t.get();
  auto before = describe(r);
  uint32_t busy_src = cramfs_find(r, "/bin/busy")->src;
  ASSERT_NE(busy_src, 0u);

  EXPECT_EQ(cramfs_rename(r, "/etc/hosts", "/etc/hosts"), 0);
  EXPECT_EQ(cramfs_rename(r, "/etc/hosts", "/etc/a_hosts"), 0);  // within a directory, now first
  EXPECT_EQ(cramfs_rename(r, "bin/busy", "/etc/busybox/"), 0);   // across, paths as the core may pass them
  EXPECT_EQ(cramfs_rename(r, "/etc/init.d/rcS", "/bin/sh"), 0);  // over a link
  EXPECT_EQ(cramfs_rename(r, "/etc", "/var/etc"), 0);            // a directory with all below it
  EXPECT_EQ(cramfs_rename(r, "/var/log", "/empty"), 0);          // onto an empty directory
  expect_consistent(r);

  entry* busy = cramfs_find(r, "/var/etc/busybox");
  ASSERT_NE(busy, nullptr);
  EXPECT_EQ(busy->src, busy_src);  // still the loaded image's pages: the rebuild copies them
  EXPECT_EQ(busy->buf, nullptr);
  for (const char* gone : {"/etc", "/etc/hosts", "/bin/busy", "/etc/init.d/rcS", "/var/log", "/var/log/msg"})
    EXPECT_EQ(cramfs_find(r, gone), nullptr) << gone;
  // The moved directory takes new entries at its new path.
  EXPECT_EQ(cramfs_put(r, "/var/etc/init.d/rcK", "k", 1, -1, -1, -1), 0);
  EXPECT_EQ(cramfs_put(r, "/etc/x", "x", 1, -1, -1, -1), -ENOENT);

  std::map<std::string, std::string> want = before;
  auto move = [&](const std::string& from, const std::string& to) {
    std::map<std::string, std::string> moved;
    for (auto it = want.begin(); it != want.end();) {
      bool below = it->first == from || it->first.compare(0, from.size() + 1, from + "/") == 0;
      if (!below) {
        ++it;
        continue;
      }
      moved[to + it->first.substr(from.size())] = it->second;
      it = want.erase(it);
    }
    for (auto& [k, v] : moved) want[k] = v;
  };
  move("/etc/hosts", "/etc/a_hosts");
  move("/bin/busy", "/etc/busybox");
  want.erase("/bin/sh");
  move("/etc/init.d/rcS", "/bin/sh");
  move("/etc", "/var/etc");
  want.erase("/empty");
  move("/var/log", "/empty");
  want["/var/etc/init.d/rcK"] = std::to_string(0x81A4) + " 0:0 k";
  EXPECT_EQ(describe(r), want);

  // The rebuilt image holds the same tree, and so says its outside checker.
  std::vector<uint8_t> out = build(r);
  ASSERT_FALSE(out.empty());
  Tree again = load(out);
  ASSERT_TRUE(again);
  EXPECT_EQ(describe(again.get()), want);
  if (!rstest::have_tool("fsck.cramfs")) GTEST_SKIP() << "fsck.cramfs not installed (util-linux-extra)";
  rstest::TempDir tmp;
  rstest::write_bytes(tmp.file("out.img"), out);
  rstest::RunResult fsck = run_command("fsck.cramfs -v --extract=" + shell_quote(tmp.file("x")) + " " +
                                       shell_quote(tmp.file("out.img")) + " 2>&1");
  ASSERT_EQ(fsck.status, 0) << fsck.out;
  EXPECT_EQ(rstest::read_bytes(tmp.file("x/var/etc/busybox")), kBusy);
  EXPECT_EQ(rstest::read_text(tmp.file("x/bin/sh")), "#!/bin/sh\n");
  EXPECT_EQ(rstest::read_text(tmp.file("x/empty/msg")), "boot\n");
  EXPECT_EQ(rstest::read_text(tmp.file("x/var/etc/a_hosts")), "127.0.0.1 localhost\n");
  EXPECT_EQ(rstest::read_text(tmp.file("x/var/etc/init.d/rcK")), "k");
}

// --- names no path can reach ---------------------------------------------

// An image of /dir holding abc, keep and zz, with names patched in place.
std::vector<uint8_t> with_names(const std::map<std::string, std::string>& patch) {
  Tree t = empty_tree();
  cramfs_mkdir(t.get(), "/dir");
  for (const char* n : {"/dir/abc", "/dir/keep", "/dir/zz"}) cramfs_put(t.get(), n, "data", 4, -1, -1, -1);
  std::vector<uint8_t> img = build(t.get());
  for (const auto& [from, to] : patch) {
    std::string padded = from + std::string((4 - from.size() % 4) % 4, '\0');  // as a listing holds it
    auto at = std::search(img.begin(), img.end(), padded.begin(), padded.end());
    EXPECT_NE(at, img.end()) << from;
    if (at == img.end()) continue;
    std::fill(at, at + long(padded.size()), 0);
    std::copy(to.begin(), to.end(), at);
  }
  return img;
}

struct BadNames {
  std::map<std::string, std::string> patch;
  std::vector<std::string> reported;
};

class CramfsBadNames : public testing::TestWithParam<BadNames> {};

// A name a path cannot reach would drop out of the tree and out of every
// rebuild: the image is refused, each such entry named.
TEST_P(CramfsBadNames, RefuseTheImageNamingEachEntry) {
  std::vector<uint8_t> img = with_names(GetParam().patch);
  testing::internal::CaptureStderr();
  Tree t = load(img);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(t);
  for (const std::string& line : GetParam().reported) EXPECT_NE(err.find(line), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), long(GetParam().reported.size())) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Names, CramfsBadNames,
    testing::Values(BadNames{{{"abc", "."}}, {"readdir: bad name in /dir: \".\" (image not loaded)\n"}},
                    BadNames{{{"abc", ".."}}, {"readdir: bad name in /dir: \"..\" (image not loaded)\n"}},
                    BadNames{{{"abc", "a/b"}}, {"readdir: bad name in /dir: \"a/b\" (image not loaded)\n"}},
                    BadNames{{{"abc", ".."}, {"zz", "/"}},
                             {"readdir: bad name in /dir: \"..\" (image not loaded)\n",
                              "readdir: bad name in /dir: \"/\" (image not loaded)\n"}},
                    BadNames{{{"dir", ".."}}, {"readdir: bad name in /: \"..\" (image not loaded)\n"}}));

// --- failed rebuilds -----------------------------------------------------

// A loaded tree whose rebuild cannot be made (a name longer than an inode
// holds, which the old write path accepts) reports why and does not end the
// process; the tree keeps working and rebuilds once the name is gone.
TEST(CramfsRebuild, FailureOfALoadedTreeIsReportedNotFatal) {
  Tree t = load(sample_image());
  ASSERT_TRUE(t);
  std::string longname = "/etc/" + std::string(253, 'n');
  ASSERT_NE(cramfs_add_buffer(t.get(), longname.c_str(), "x", 1), nullptr);
  std::string why = "stale";
  size_t n = 1;
  testing::internal::CaptureStderr();
  uint8_t* img = cramfs_mmap(t.get(), &n, &why);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(img, nullptr);
  free(img);
  std::string first = "Very long (253 bytes) filename `" + std::string(253, 'n') + "' found.";
  EXPECT_EQ(why, first);
  EXPECT_EQ(err.find(first + "\n Please increase MAX_INPUT_NAMELEN"), 0u) << err;
  EXPECT_EQ(content(t.get(), "/bin/busy"), std::string(kBusy.begin(), kBusy.end()));
  EXPECT_EQ(cramfs_remove(t.get(), longname.c_str()), 0);
  img = cramfs_mmap(t.get(), &n, &why);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(why, "");
  Tree again = Tree(cramfs_load_copy(img, n));
  free(img);
  ASSERT_TRUE(again);
  EXPECT_EQ(content(again.get(), "/bin/busy"), std::string(kBusy.begin(), kBusy.end()));
  EXPECT_EQ(content(again.get(), "/etc/hosts"), "127.0.0.1 localhost\n");
}

}  // namespace
