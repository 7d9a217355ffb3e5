// What the cramfs table refuses beyond the rules every table keeps
// (tests/contract): the format's size, name, target and owner limits.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/fs_contract.h"
#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"

using namespace cramfs_test;

namespace {

const fs_ops& ops = cramfs_fs_ops;

fs_attr stat_of(entry* t, const char* path) {
  fs_attr a;
  EXPECT_EQ(ops.stat(t, path, &a), 0) << path;
  return a;
}

std::string read_all(entry* t, const char* path) {
  std::string out(stat_of(t, path).size, '\0');
  long long n = ops.pread(t, path, out.data(), out.size(), 0);
  return n < 0 ? "<error " + std::to_string(n) + ">" : out.substr(0, size_t(n));
}

TEST(CramfsContract, LimitsOfTheFormatAreRefusedAndKeepTheOldFile) {
  Tree t = empty_tree();
  ASSERT_EQ(ops.put(t.get(), "/hosts", "a\n", 2, nullptr), 0);
  std::vector<uint8_t> big(0x1000000);
  EXPECT_EQ(ops.put(t.get(), "/big", big.data(), big.size(), nullptr), -EFBIG);
  EXPECT_EQ(ops.put(t.get(), "/hosts", big.data(), big.size(), nullptr), -EFBIG);
  EXPECT_EQ(read_all(t.get(), "/hosts"), "a\n") << "a failed replace keeps the old file";
  EXPECT_EQ(cramfs_find(t.get(), "/big"), nullptr);
  EXPECT_EQ(ops.put(t.get(), "/max", big.data(), 0xFFFFFF, nullptr), 0);
  EXPECT_EQ(stat_of(t.get(), "/max").size, 0xFFFFFFu);
  EXPECT_EQ(ops.put(t.get(), ("/" + std::string(253, 'n')).c_str(), "x", 1, nullptr), -ENAMETOOLONG);
  EXPECT_EQ(ops.put(t.get(), ("/" + std::string(252, 'n')).c_str(), "x", 1, nullptr), 0);
  EXPECT_EQ(ops.symlink(t.get(), std::string(4097, 't').c_str(), "/long"), -ENAMETOOLONG);
  // An owner beyond the 16-bit user and 8-bit group fields is refused, not cut short.
  fs_put_attr o;
  o.has_owner = true;
  o.uid = 1;
  o.gid = 300;
  EXPECT_EQ(ops.put(t.get(), "/hosts", "y", 1, &o), -EINVAL);
  EXPECT_EQ(read_all(t.get(), "/hosts"), "a\n");
  EXPECT_EQ(ops.remove(t.get(), "/"), -EBUSY);
}

TEST(CramfsContract, ALinkReplacedByAFileBecomesAPlainFile) {
  Tree t = empty_tree();
  ASSERT_EQ(ops.symlink(t.get(), "busybox", "/sh"), 0);
  char buf[4];
  EXPECT_EQ(ops.pread(t.get(), "/sh", buf, sizeof buf, 0), -EINVAL);
  ASSERT_EQ(ops.put(t.get(), "/sh", "#!", 2, nullptr), 0);
  EXPECT_EQ(stat_of(t.get(), "/sh").mode, 0100644u);
  EXPECT_EQ(read_all(t.get(), "/sh"), "#!");
}

}  // namespace
