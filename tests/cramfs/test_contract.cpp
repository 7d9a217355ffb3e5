// The cramfs operations of the file-system contract (fs_cramfs.cpp): reasons,
// attributes kept by a replace, owners cramfs cannot store.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/fs_contract.h"
#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"
#include "testutil.h"

using namespace cramfs_test;

namespace {

const fs_ops& ops = cramfs_fs_ops;

fs_attr stat_of(entry* t, const char* path) {
  fs_attr a;
  EXPECT_EQ(ops.stat(t, path, &a), 0) << path;
  return a;
}

std::string read_all(entry* t, const char* path) {
  fs_attr a;
  if (ops.stat(t, path, &a) != 0) return "<missing>";
  std::string out(a.size, '\0');
  long long n = ops.pread(t, path, out.data(), out.size(), 0);
  if (n < 0) return "<error " + std::to_string(n) + ">";
  out.resize(size_t(n));
  return out;
}

TEST(CramfsContract, PutReasonsAndDefaults) {
  Tree t = empty_tree();
  ASSERT_EQ(ops.mkdir(t.get(), "/etc", 0750), 0);
  EXPECT_EQ(ops.mkdir(t.get(), "/etc", 0755), -EEXIST);
  EXPECT_EQ(ops.put(t.get(), "/etc/hosts", "a\n", 2, nullptr), 0);
  fs_attr a = stat_of(t.get(), "/etc/hosts");
  EXPECT_EQ(a.mode, 0100644u);
  EXPECT_EQ(a.uid, 0u);
  EXPECT_EQ(a.gid, 0u);
  EXPECT_EQ(a.size, 2u);
  EXPECT_EQ(stat_of(t.get(), "/etc").mode, 040750u);

  EXPECT_EQ(ops.put(t.get(), "/nodir/x", "x", 1, nullptr), -ENOENT);
  EXPECT_EQ(ops.put(t.get(), "/etc/hosts/x", "x", 1, nullptr), -ENOTDIR);
  EXPECT_EQ(ops.put(t.get(), "/etc/hosts/x/y", "x", 1, nullptr), -ENOTDIR);
  EXPECT_EQ(ops.put(t.get(), "/etc", "x", 1, nullptr), -EISDIR);
  std::vector<uint8_t> big(0x1000000);
  EXPECT_EQ(ops.put(t.get(), "/big", big.data(), big.size(), nullptr), -EFBIG);
  EXPECT_EQ(ops.put(t.get(), "/etc/hosts", big.data(), big.size(), nullptr), -EFBIG);
  EXPECT_EQ(read_all(t.get(), "/etc/hosts"), "a\n") << "a failed replace keeps the old file";
  EXPECT_EQ(ops.put(t.get(), "/max", big.data(), 0xFFFFFF, nullptr), 0);
  EXPECT_EQ(stat_of(t.get(), "/max").size, 0xFFFFFFu);
  EXPECT_EQ(ops.put(t.get(), ("/" + std::string(253, 'n')).c_str(), "x", 1, nullptr), -ENAMETOOLONG);
  EXPECT_EQ(ops.put(t.get(), ("/" + std::string(252, 'n')).c_str(), "x", 1, nullptr), 0);
  EXPECT_EQ(cramfs_find(t.get(), "/big"), nullptr);
}

TEST(CramfsContract, ReplaceKeepsModeAndOwner) {
  Tree t = empty_tree();
  fs_put_attr set;
  set.has_mode = true;
  set.mode = 04755;
  set.has_owner = true;
  set.uid = 1000;
  set.gid = 100;
  ASSERT_EQ(ops.put(t.get(), "/busybox", "old", 3, &set), 0);
  ASSERT_EQ(ops.put(t.get(), "/busybox", "new content", 11, nullptr), 0);
  fs_attr a = stat_of(t.get(), "/busybox");
  EXPECT_EQ(a.mode, 0104755u);
  EXPECT_EQ(a.uid, 1000u);
  EXPECT_EQ(a.gid, 100u);
  EXPECT_EQ(read_all(t.get(), "/busybox"), "new content");
  // A replace without attributes (what flash_write does) keeps them too.
  ASSERT_EQ(ops.put(t.get(), "/busybox", "third", 5, nullptr), 0);
  a = stat_of(t.get(), "/busybox");
  EXPECT_EQ(a.mode, 0104755u);
  EXPECT_EQ(a.uid, 1000u);
  EXPECT_EQ(a.gid, 100u);
  // Explicit attributes win.
  fs_put_attr m;
  m.has_mode = true;
  m.mode = 0600;
  ASSERT_EQ(ops.put(t.get(), "/busybox", "x", 1, &m), 0);
  EXPECT_EQ(stat_of(t.get(), "/busybox").mode, 0100600u);
  EXPECT_EQ(stat_of(t.get(), "/busybox").uid, 1000u);
  // A link replaced by a file becomes a 0644 file.
  ASSERT_EQ(ops.symlink(t.get(), "busybox", "/sh"), 0);
  ASSERT_EQ(ops.put(t.get(), "/sh", "#!", 2, nullptr), 0);
  EXPECT_EQ(stat_of(t.get(), "/sh").mode, 0100644u);
  EXPECT_EQ(read_all(t.get(), "/sh"), "#!");
}

TEST(CramfsContract, OwnersBeyondTheFieldsAreRefused) {
  Tree t = empty_tree();
  ASSERT_EQ(ops.put(t.get(), "/f", "x", 1, nullptr), 0);
  EXPECT_EQ(ops.chown(t.get(), "/f", 65535, 255), 0);
  EXPECT_EQ(ops.chown(t.get(), "/f", 65536, 0), -EINVAL);
  EXPECT_EQ(ops.chown(t.get(), "/f", 0, 256), -EINVAL);
  fs_attr a = stat_of(t.get(), "/f");
  EXPECT_EQ(a.uid, 65535u);
  EXPECT_EQ(a.gid, 255u);
  fs_put_attr o;
  o.has_owner = true;
  o.uid = 1;
  o.gid = 300;
  EXPECT_EQ(ops.put(t.get(), "/f", "y", 1, &o), -EINVAL);
  EXPECT_EQ(read_all(t.get(), "/f"), "x");
  EXPECT_EQ(ops.chown(t.get(), "/none", 0, 0), -ENOENT);
}

TEST(CramfsContract, RemoveMkdirChmodSymlinkStatWalk) {
  Tree t = empty_tree();
  EXPECT_EQ(ops.remove(t.get(), "/none"), -ENOENT);
  EXPECT_EQ(ops.remove(t.get(), "/"), -EBUSY);
  ASSERT_EQ(ops.mkdir(t.get(), "/d", 0700), 0);
  EXPECT_EQ(ops.mkdir(t.get(), "/x/y", 0700), -ENOENT);
  ASSERT_EQ(ops.put(t.get(), "/d/b", "bb", 2, nullptr), 0);
  ASSERT_EQ(ops.put(t.get(), "/d/a", "a", 1, nullptr), 0);
  EXPECT_EQ(ops.mkdir(t.get(), "/d/a/z", 0700), -ENOTDIR);
  ASSERT_EQ(ops.symlink(t.get(), "d/a", "/link"), 0);
  EXPECT_EQ(ops.symlink(t.get(), "x", "/link"), -EEXIST);
  EXPECT_EQ(ops.symlink(t.get(), std::string(4097, 't').c_str(), "/long"), -ENAMETOOLONG);
  EXPECT_EQ(ops.chmod(t.get(), "/d/a", 07777), 0);
  EXPECT_EQ(stat_of(t.get(), "/d/a").mode, 0107777u);
  EXPECT_EQ(ops.chmod(t.get(), "/none", 0644), -ENOENT);
  fs_attr l = stat_of(t.get(), "/link");
  EXPECT_EQ(l.mode, 0120777u);
  EXPECT_EQ(l.target, "d/a");
  EXPECT_EQ(l.size, 3u);

  char buf[8];
  EXPECT_EQ(ops.pread(t.get(), "/d", buf, 8, 0), -EISDIR);
  EXPECT_EQ(ops.pread(t.get(), "/link", buf, 8, 0), -EINVAL);
  EXPECT_EQ(ops.pread(t.get(), "/none", buf, 8, 0), -ENOENT);
  EXPECT_EQ(ops.pread(t.get(), "/d/b", buf, 8, 1), 1);
  EXPECT_EQ(ops.pread(t.get(), "/d/b", buf, 8, 9), 0);

  std::vector<fs_node> w;
  ASSERT_EQ(ops.walk(t.get(), "/", &w), 0);
  std::vector<std::string> paths;
  for (auto& n : w) paths.push_back(n.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/", "/d", "/d/a", "/d/b", "/link"}));
  w.clear();
  EXPECT_EQ(ops.walk(t.get(), "/d/a", &w), -ENOTDIR);
  EXPECT_EQ(ops.walk(t.get(), "/q", &w), -ENOENT);
  ASSERT_EQ(ops.remove(t.get(), "/d"), 0);
  EXPECT_EQ(ops.stat(t.get(), "/d/a", &l), -ENOENT);
}

}  // namespace
