#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs/hash.h"
#include "cramfs/md5.h"
#include "cramfs_test_util.h"

using namespace cramfs_test;

namespace {

TEST(CramfsHash, BucketFunctionAndIterationOrder) {
  // 'a' ^ 'b' << 8 ^ 'c' << 16 ^ 'd' << 24 ^ 'e' (shift wraps after 24)
  uint32_t acc = 'a' ^ ('b' << 8) ^ ('c' << 16) ^ (uint32_t('d') << 24) ^ 'e';
  EXPECT_EQ(_hash_key("abcde", 400), int(acc % 400));
  EXPECT_EQ(_hash_key("anything", 1), 0);
  for (const char* k : {"\xff\xfe", "\x80", "/\xe4\xb8\xad\xe6\x96\x87"}) {
    int b = _hash_key(k, 400);
    EXPECT_GE(b, 0);
    EXPECT_LT(b, 400);
  }

  hash_t* t = hash_new(400, nullptr);
  std::vector<std::string> keys = {"/etc", "/bin", "/etc/init.d", "/a", "/usr/lib", "\xff\x80"};
  int v[6];
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(hash_add(t, keys[i].c_str(), &v[i]), 0);
  EXPECT_EQ(hash_add(t, "/etc", &v[5]), 0);  // replaces, does not add
  EXPECT_EQ(hash_num_keys(t), 6);
  EXPECT_EQ(hash_get(t, "/etc"), &v[5]);

  hash_iterator_t* it = hash_iter_new(t);
  int last = -1, seen = 0;
  while (const char* k = hash_iter_next(it)) {
    int b = _hash_key(k, 400);
    EXPECT_GE(b, last) << "keys must come bucket by bucket";
    last = b;
    ++seen;
  }
  EXPECT_EQ(seen, 6);
  hash_iter_release(it);
  EXPECT_EQ(hash_drop(t, "/bin"), 0);
  EXPECT_EQ(hash_drop(t, "/bin"), -1);
  EXPECT_EQ(hash_get(t, "/bin"), nullptr);
  hash_release(t);
}

TEST(CramfsMd5, Rfc1321Vectors) {
  struct {
    std::string in, hex;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},  // padding spills into a second block
      {std::string(1000, 'y'), "abf7f0c50f9f08c680c97d669f346e3c"},
  };
  for (auto& c : cases) {
    uint8_t d[16];
    rs::cramfs::md5(c.in.data(), c.in.size(), d);
    char hex[33];
    for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
    EXPECT_EQ(hex, c.hex) << c.in.size() << " bytes";
  }
}


std::vector<std::string> child_names(entry* dir) {
  std::vector<std::string> out;
  for (entry* c = dir->child; c; c = c->next) out.emplace_back(c->name);
  return out;
}

TEST(CramfsTree, AddKeepsNameOrderAndRegistersPaths) {
  Tree t = empty_tree();
  ASSERT_NE(cramfs_mkdir(t.get(), "/d"), nullptr);
  ASSERT_NE(cramfs_add_buffer(t.get(), "/d/gamma", "g", 1), nullptr);
  ASSERT_NE(cramfs_add_buffer(t.get(), "/d/alpha", "a", 1), nullptr);
  ASSERT_NE(cramfs_add_buffer(t.get(), "/d/beta", "b", 1), nullptr);
  // Adding over a file replaces it: two nodes of one name would make an image
  // whose readers see only one of them.
  entry* second = cramfs_add_buffer(t.get(), "/d/alpha", "A2", 2);
  ASSERT_NE(second, nullptr);
  entry* d = cramfs_find(t.get(), "/d");
  EXPECT_EQ(child_names(d), (std::vector<std::string>{"alpha", "beta", "gamma"}));
  EXPECT_EQ(d->child, second);
  EXPECT_EQ(d->last_child->prev->next, d->last_child);
  EXPECT_EQ(cramfs_find(t.get(), "/d/alpha"), second);
  char got[4] = {};
  EXPECT_EQ(cramfs_read(t.get(), "/d/alpha", got, sizeof got, 0), 2);
  EXPECT_STREQ(got, "A2");
  // A directory is never replaced by a file, nor made twice.
  EXPECT_EQ(cramfs_add_buffer(t.get(), "/d", "x", 1), nullptr);
  EXPECT_EQ(cramfs_mkdir(t.get(), "/d"), nullptr);
  EXPECT_EQ(cramfs_mkdir(t.get(), "/d/beta"), nullptr);
  EXPECT_EQ(child_names(d), (std::vector<std::string>{"alpha", "beta", "gamma"}));
  EXPECT_STREQ(cramfs_find(t.get(), "/d/beta")->path, "/d/beta");
  EXPECT_EQ(cramfs_find(t.get(), "d//beta"), cramfs_find(t.get(), "/d/beta"));  // lenient path forms

  // Unknown parent, non-directory parent, bad names and oversize content are refused.
  EXPECT_EQ(cramfs_add_buffer(t.get(), "/nodir/x", "x", 1), nullptr);
  EXPECT_EQ(cramfs_add_buffer(t.get(), "/d/beta/x", "x", 1), nullptr);
  EXPECT_EQ(cramfs_add_buffer(t.get(), "/d/..", "x", 1), nullptr);
  std::vector<uint8_t> big(0x1000000);
  EXPECT_EQ(cramfs_add_buffer(t.get(), "/big", big.data(), big.size()), nullptr);
  EXPECT_EQ(child_names(t.get()), std::vector<std::string>{"d"});
}

TEST(CramfsTree, RemoveDirectoryDropsSubtreeAndSize) {
  Tree t = empty_tree();
  cramfs_mkdir(t.get(), "/keep");
  cramfs_mkdir(t.get(), "/gone");
  cramfs_mkdir(t.get(), "/gone/sub");
  cramfs_add_buffer(t.get(), "/gone/sub/f", "1234", 4);
  cramfs_add_buffer(t.get(), "/gone/g", "1234", 4);
  uint32_t before = t->size;
  EXPECT_EQ(cramfs_rm(t.get(), "/gone"), 0);
  for (const char* p : {"/gone", "/gone/sub", "/gone/sub/f", "/gone/g"}) EXPECT_EQ(cramfs_find(t.get(), p), nullptr) << p;
  EXPECT_EQ(t->size, before - 16);
  EXPECT_EQ(cramfs_rm(t.get(), "/never"), 0);
  EXPECT_EQ(cramfs_rm(t.get(), "/"), 0);
  EXPECT_EQ(cramfs_find(t.get(), "/"), t.get());
  EXPECT_EQ(child_names(t.get()), std::vector<std::string>{"keep"});
}

TEST(CramfsTree, SizeBoundAndListing) {
  Tree t = empty_tree();
  std::vector<uint8_t> data(5000, 'x');
  cramfs_add_buffer(t.get(), "/f", data.data(), data.size());
  EXPECT_EQ(t->image->fslen_ub, 8192);  // 76 + 16 + 5000 + 3 + 60 = 5155, rounded
  cramfs_rm(t.get(), "/f");

  cramfs_mkdir(t.get(), "/d1");
  cramfs_mkdir(t.get(), "/d2");
  cramfs_add_buffer(t.get(), "/d1/file", "abc", 3);
  testing::internal::CaptureStdout();
  cramfs_ls(t.get(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "|-- d1\n|   `-- file\t\t(3)\n`-- d2\n");
}

struct ReadCase {
  size_t size, offset, expect;
};
class CramfsRead : public testing::TestWithParam<ReadCase> {};

TEST_P(CramfsRead, CopiesTheRequestedWindow) {
  Tree t = empty_tree();
  std::vector<uint8_t> data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  cramfs_add_buffer(t.get(), "/f", data.data(), data.size());
  const ReadCase& c = GetParam();
  std::vector<uint8_t> out(c.size + 8, 0xEE);
  ASSERT_EQ(cramfs_read(t.get(), "/f", out.data(), c.size, c.offset), int(c.expect));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + long(c.expect), data.begin() + long(c.offset)));
  EXPECT_EQ(out[c.expect], 0xEE) << "nothing written past the copied bytes";
}

INSTANTIATE_TEST_SUITE_P(Windows, CramfsRead,
                         testing::Values(ReadCase{12288, 0, 10000}, ReadCase{100, 0, 100}, ReadCase{100, 9950, 50},
                                         ReadCase{10, 4095, 10}, ReadCase{10, 10000, 0}, ReadCase{10, 99999, 0},
                                         ReadCase{0, 0, 0}));

TEST(CramfsTree, ReadOfMissingOrNonFileIsZero) {
  Tree t = empty_tree();
  cramfs_mkdir(t.get(), "/d");
  char b[8];
  EXPECT_EQ(cramfs_read(t.get(), "/nope", b, 8, 0), 0);
  EXPECT_EQ(cramfs_read(t.get(), "/d", b, 8, 0), 0);
  EXPECT_EQ(cramfs_cat(t.get(), "/nope"), 1);
}

}  // namespace
