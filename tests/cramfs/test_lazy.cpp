// Lazy open: the tree is read at load, file pages only when read.
#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"
#include "testutil.h"
#include "util/endian.h"
#include "util/fileio.h"

using namespace cramfs_test;

namespace {

struct Sample {
  std::vector<uint8_t> img;
  uint32_t bad_table = 0;  // block-pointer table of /etc/init.d/rcS
  std::vector<uint8_t> rcs;
};

// /etc/init.d/rcS (3 pages, its second page garbled in `img`), /etc/hosts, /bin/sh -> busybox.
Sample corrupt_sample() {
  Sample s;
  Tree src = empty_tree();
  cramfs_mkdir(src.get(), "/etc");
  cramfs_mkdir(src.get(), "/etc/init.d");
  cramfs_mkdir(src.get(), "/bin");
  s.rcs = rstest::random_bytes(9000, 9);
  cramfs_add_buffer(src.get(), "/etc/init.d/rcS", s.rcs.data(), s.rcs.size());
  cramfs_add_buffer(src.get(), "/etc/hosts", "127.0.0.1 localhost\n", 20);
  cramfs_symlink(src.get(), "busybox", "/bin/sh");
  s.img = build(src.get());
  s.bad_table = cramfs_find(src.get(), "/etc/init.d/rcS")->offset;
  uint32_t first_end = rs::load_le32(&s.img[s.bad_table]);
  for (int k = 0; k < 32; ++k) s.img[first_end + 8 + size_t(k)] ^= 0x5A;  // inside page 2's stream
  return s;
}

TEST(CramfsLazy, CorruptPageFailsOnlyItsFilesReads) {
  Sample s = corrupt_sample();
  testing::internal::CaptureStderr();
  Tree t = load(s.img);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing is inflated at open";
  ASSERT_TRUE(t);
  testing::internal::CaptureStdout();
  cramfs_ls(t.get(), 0);
  std::string ls = testing::internal::GetCapturedStdout();
  EXPECT_NE(ls.find("rcS\t\t(9000)"), std::string::npos) << ls;
  EXPECT_EQ(content(t.get(), "/etc/hosts"), "127.0.0.1 localhost\n");
  EXPECT_EQ(content(t.get(), "/bin/sh"), "busybox");

  // The first page still reads; a read touching the second reports the error.
  std::vector<uint8_t> buf(9000);
  EXPECT_EQ(cramfs_pread(t.get(), "/etc/init.d/rcS", buf.data(), 4096, 0), 4096);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 4096, s.rcs.begin()));
  testing::internal::CaptureStderr();
  EXPECT_EQ(cramfs_pread(t.get(), "/etc/init.d/rcS", buf.data(), buf.size(), 0), -EIO);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(err.rfind("read: read block error ", 0), 0u) << err;
  EXPECT_EQ(err.find("No such process"), std::string::npos) << "zlib's code is no errno: " << err;
  testing::internal::CaptureStderr();
  EXPECT_EQ(cramfs_read(t.get(), "/etc/init.d/rcS", buf.data(), 10, 5000), -1);
  EXPECT_EQ(cramfs_pread(t.get(), "/etc/init.d/rcS", buf.data(), 100, 8192), 100) << "page 3 is fine";
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, s.rcs.begin() + 8192));
}

TEST(CramfsLazy, ReadsInflateOnlyThePagesTheyTouch) {
  // A file whose pages are all broken except the one read.
  Tree src = empty_tree();
  std::vector<uint8_t> d = rstest::random_bytes(5 * 4096, 3);
  cramfs_add_buffer(src.get(), "/f", d.data(), d.size());
  std::vector<uint8_t> img = build(src.get());
  uint32_t table = cramfs_find(src.get(), "/f")->offset;
  uint32_t start = table + 5 * 4;
  for (uint32_t i = 0; i < 5; ++i) {
    uint32_t stop = rs::load_le32(&img[table + 4 * i]);
    if (i != 3) img[start + (stop - start) / 2] ^= 0xFF;
    start = stop;
  }
  Tree t = load(img);
  ASSERT_TRUE(t);
  // Byte by byte through page 3, as a reader with a small buffer does.
  for (uint32_t at = 3 * 4096; at < 4 * 4096; at += 511) {
    uint8_t b[7];
    ASSERT_EQ(cramfs_pread(t.get(), "/f", b, sizeof b, at), 7) << at;
    EXPECT_EQ(memcmp(b, &d[at], 7), 0) << at;
  }
}

TEST(CramfsLazy, ContentIsNotHeldAfterLoad) {
  Tree src = empty_tree();
  std::vector<uint8_t> d = rstest::random_bytes(100000, 5);
  cramfs_add_buffer(src.get(), "/f", d.data(), d.size());
  cramfs_symlink(src.get(), "f", "/l");
  std::vector<uint8_t> img = build(src.get());
  Tree t = load(img);
  ASSERT_TRUE(t);
  entry* f = cramfs_find(t.get(), "/f");
  EXPECT_EQ(f->buf, nullptr);
  EXPECT_NE(f->src, 0u);
  EXPECT_EQ(f->size, 100000u);
  EXPECT_EQ(content(t.get(), "/f"), std::string(d.begin(), d.end()));
  EXPECT_EQ(f->buf, nullptr) << "a read does not keep the file";
  ASSERT_NE(cramfs_find(t.get(), "/l")->buf, nullptr) << "link targets are part of the tree";
}

}  // namespace
