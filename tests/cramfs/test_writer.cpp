// Image layout written from trees, checked byte by byte, and loader hardening.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"
#include "testutil.h"
#include "util/crc32.h"
#include "util/endian.h"

using namespace cramfs_test;
using rs::load_le32;

namespace {


struct Ino {
  uint32_t mode, size, namelen, offset;
};
Ino inode_at(const std::vector<uint8_t>& img, size_t at) {
  return {load_le32(&img[at]) & 0xFFFF, load_le32(&img[at + 4]) & 0xFFFFFF, (load_le32(&img[at + 8]) & 63) * 4,
          (load_le32(&img[at + 8]) >> 6) * 4};
}
// Byte position of the inode of `path`, found by the writer's own record.
uint32_t inode_pos(entry* root, const char* path) { return cramfs_find(root, path)->dir_offset; }

TEST(CramfsWriter, EmptyRootImage) {
  Tree t = empty_tree();
  std::vector<uint8_t> img = build(t.get());
  ASSERT_EQ(img.size(), 4096u);
  EXPECT_EQ(load_le32(&img[0]), 0x28CD3D45u);
  EXPECT_EQ(load_le32(&img[4]), 4096u);
  EXPECT_EQ(load_le32(&img[8]), 3u);
  EXPECT_EQ(load_le32(&img[40]), 0u);  // blocks
  EXPECT_EQ(load_le32(&img[44]), 1u);  // files
  EXPECT_EQ(memcmp(&img[16], "Compressed ROMFS", 16), 0);
  Ino root = inode_at(img, 64);
  EXPECT_EQ(root.size, 0u);
  EXPECT_EQ(root.offset, 76u);
  uint32_t crc = load_le32(&img[32]);
  std::fill(img.begin() + 32, img.begin() + 36, 0);
  EXPECT_EQ(rs::crc32_of(img.data(), img.size()), crc);
}

TEST(CramfsWriter, DuplicatesSharePagesAndPageTables) {
  Tree t = empty_tree();
  std::vector<uint8_t> a = rstest::random_bytes(5000, 1), b = a;
  b[4999] ^= 1;  // same size, different bytes
  std::vector<uint8_t> p4096 = rstest::random_bytes(4096, 2), p4097 = rstest::random_bytes(4097, 3);
  cramfs_mkdir(t.get(), "/x");
  cramfs_mkdir(t.get(), "/y");
  cramfs_add_buffer(t.get(), "/x/a", a.data(), a.size());
  cramfs_add_buffer(t.get(), "/y/a", a.data(), a.size());
  cramfs_add_buffer(t.get(), "/y/b", b.data(), b.size());
  cramfs_add_buffer(t.get(), "/p4096", p4096.data(), p4096.size());
  cramfs_add_buffer(t.get(), "/p4097", p4097.data(), p4097.size());
  cramfs_add_buffer(t.get(), "/zero", "", 0);
  std::vector<uint8_t> img = build(t.get());
  ASSERT_FALSE(img.empty());
  Ino xa = inode_at(img, inode_pos(t.get(), "/x/a")), ya = inode_at(img, inode_pos(t.get(), "/y/a"));
  Ino yb = inode_at(img, inode_pos(t.get(), "/y/b"));
  EXPECT_EQ(xa.offset, ya.offset);
  EXPECT_NE(xa.offset, yb.offset);
  EXPECT_EQ(load_le32(&img[40]), 2u + 2u + 1u + 2u);  // x/a, y/b, p4096, p4097
  EXPECT_EQ(inode_at(img, inode_pos(t.get(), "/zero")).offset, 0u);

  // Page pointers: 4096 bytes -> one, 4097 -> two with a one-byte last page.
  Ino p1 = inode_at(img, inode_pos(t.get(), "/p4096")), p2 = inode_at(img, inode_pos(t.get(), "/p4097"));
  uint32_t p1_end = load_le32(&img[p1.offset]);
  EXPECT_EQ(p2.offset, (p1_end + 3) & ~3u) << "the next file follows the single page";
  uint32_t first_end = load_le32(&img[p2.offset]), second_end = load_le32(&img[p2.offset + 4]);
  std::vector<uint8_t> page(4096);
  uLongf got = page.size();
  ASSERT_EQ(uncompress(page.data(), &got, &img[first_end], second_end - first_end), Z_OK);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(page[0], p4097.back());
  got = page.size();
  ASSERT_EQ(uncompress(page.data(), &got, &img[p2.offset + 8], first_end - (p2.offset + 8)), Z_OK);
  EXPECT_EQ(got, 4096u);

  Tree back = load(img);
  ASSERT_TRUE(back);
  EXPECT_EQ(content(back.get(), "/p4097"), std::string(p4097.begin(), p4097.end()));
  EXPECT_EQ(content(back.get(), "/y/b"), std::string(b.begin(), b.end()));
  EXPECT_EQ(content(back.get(), "/y/a"), std::string(a.begin(), a.end()));
}

TEST(CramfsWriter, ListingsAreDepthFirst) {
  Tree t = empty_tree();
  for (const char* d : {"/a", "/a/a1", "/a/a2", "/b"}) cramfs_mkdir(t.get(), d);
  for (const char* f : {"/a/a1/f", "/a/a2/f", "/b/f"}) cramfs_add_buffer(t.get(), f, "x", 1);
  std::vector<uint8_t> img = build(t.get());
  uint32_t a = inode_at(img, inode_pos(t.get(), "/a")).offset;
  uint32_t a1 = inode_at(img, inode_pos(t.get(), "/a/a1")).offset;
  uint32_t a2 = inode_at(img, inode_pos(t.get(), "/a/a2")).offset;
  uint32_t b = inode_at(img, inode_pos(t.get(), "/b")).offset;
  EXPECT_EQ(a, 76u + 2 * 16);
  EXPECT_LT(a, a1);
  EXPECT_LT(a1, a2);
  EXPECT_LT(a2, b);
}

TEST(CramfsWriter, ThreadCountDoesNotChangeOutput) {
  Tree t = empty_tree();
  for (int i = 0; i < 12; ++i) {
    std::vector<uint8_t> d = rstest::random_bytes(30000 + size_t(i) * 777, uint32_t(i));
    for (size_t j = 0; j < d.size(); j += 3) d[j] = 0;  // partly compressible
    cramfs_add_buffer(t.get(), ("/f" + std::to_string(i)).c_str(), d.data(), d.size());
  }
  cramfs_set_threads(1);
  std::vector<uint8_t> one = build(t.get());
  cramfs_set_threads(4);
  std::vector<uint8_t> four = build(t.get());
  cramfs_set_threads(0);
  EXPECT_EQ(one, four);
}

TEST(CramfsWriter, OverlongNameEndsWithStatus8) {
  Tree t = empty_tree();
  cramfs_add_buffer(t.get(), ("/" + std::string(253, 'n')).c_str(), "x", 1);
  EXPECT_EXIT(build(t.get()), testing::ExitedWithCode(8), "Very long \\(253 bytes\\) filename");
}

// --- loader hardening ------------------------------------------------------

std::vector<uint8_t> sample_image() {
  Tree t = empty_tree();
  cramfs_mkdir(t.get(), "/etc");
  cramfs_mkdir(t.get(), "/etc/init.d");
  std::vector<uint8_t> d = rstest::random_bytes(9000, 9);
  cramfs_add_buffer(t.get(), "/etc/init.d/rcS", d.data(), d.size());
  cramfs_add_buffer(t.get(), "/etc/hosts", "127.0.0.1 localhost\n", 20);
  return build(t.get());
}

void set_word(std::vector<uint8_t>& img, size_t at, uint32_t v) { rs::store_le32(&img[at], v); }

struct Corruption {
  const char* name;
  void (*apply)(std::vector<uint8_t>&, entry*);
  const char* message = "";  // expected on the error stream
};

class CramfsMalformed : public testing::TestWithParam<Corruption> {};

TEST_P(CramfsMalformed, LoadFailsCleanly) {
  std::vector<uint8_t> img;
  {
    Tree src = empty_tree();
    cramfs_mkdir(src.get(), "/etc");
    cramfs_mkdir(src.get(), "/etc/init.d");
    std::vector<uint8_t> d = rstest::random_bytes(9000, 9);
    cramfs_add_buffer(src.get(), "/etc/init.d/rcS", d.data(), d.size());
    img = build(src.get());
    GetParam().apply(img, src.get());
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(cramfs_load_memory(img.data(), img.size()), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(err.empty()) << "a message is printed";
  EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
}

uint32_t w2(uint32_t namelen_units, uint32_t byte_offset) { return namelen_units | (byte_offset / 4) << 6; }

INSTANTIATE_TEST_SUITE_P(
    Cases, CramfsMalformed,
    testing::Values(
        Corruption{"WrongMagic", [](std::vector<uint8_t>& i, entry*) { i[0] ^= 0xFF; },
                   "wrong magic! is it really cramfs image file?\n"},
        Corruption{"FeatureFlags", [](std::vector<uint8_t>& i, entry*) { set_word(i, 8, 0x103); },
                   "unsupported cramfs features: explicit holes (flag 0x100, mkfs.cramfs -z)\n"},
        Corruption{"UnknownFlags", [](std::vector<uint8_t>& i, entry*) { set_word(i, 8, 0x30803); },
                   "unsupported cramfs features: extended block pointers (flag 0x800, uncompressed or direct "
                   "blocks), unknown flags 0x30000\n"},
        Corruption{"RootNotDir", [](std::vector<uint8_t>& i, entry*) { set_word(i, 64, 0x81A4); },
                   "init: root is not a directory\n"},
        Corruption{"BadRootOffset", [](std::vector<uint8_t>& i, entry*) { set_word(i, 72, w2(0, 80)); },
                   "init: bad root offset 80\n"},
        Corruption{"Truncated", [](std::vector<uint8_t>& i, entry*) { i.resize(200); }},
        Corruption{"TinyBuffer", [](std::vector<uint8_t>& i, entry*) { i.resize(40); }},
        Corruption{"RootListingPastEnd",
                   [](std::vector<uint8_t>& i, entry*) { set_word(i, 68, (load_le32(&i[68]) & 0xFF000000u) | 0xFFFFFF); }},
        Corruption{"DirectoryCycle",
                   [](std::vector<uint8_t>& i, entry* r) {
                     uint32_t at = cramfs_find(r, "/etc/init.d")->dir_offset;  // points back at the root listing
                     set_word(i, at + 8, (load_le32(&i[at + 8]) & 63) | (76 / 4) << 6);
                   }},
        Corruption{"HugeFileSize",
                   [](std::vector<uint8_t>& i, entry* r) {
                     uint32_t at = cramfs_find(r, "/etc/init.d/rcS")->dir_offset;
                     set_word(i, at + 4, 0xFFFFFF);
                   }},
        Corruption{"PointerPastEnd",
                   [](std::vector<uint8_t>& i, entry* r) { set_word(i, cramfs_find(r, "/etc/init.d/rcS")->offset, 0x7FFFFFF0); }},
        Corruption{"PointerBackwards",
                   [](std::vector<uint8_t>& i, entry* r) { set_word(i, cramfs_find(r, "/etc/init.d/rcS")->offset + 4, 8); }},
        Corruption{"SlashInName",
                   [](std::vector<uint8_t>& i, entry* r) { i[cramfs_find(r, "/etc")->dir_offset + 12] = '/'; }}),
    [](const testing::TestParamInfo<Corruption>& p) { return std::string(p.param.name); });

TEST(CramfsMalformed, RandomBytesAndBitFlipsNeverCrash) {
  for (uint32_t seed = 0; seed < 50; ++seed) {
    std::vector<uint8_t> junk = rstest::random_bytes(4096 + seed * 97, seed);
    testing::internal::CaptureStderr();
    cramfs_free(cramfs_load_memory(junk.data(), junk.size()));
    testing::internal::GetCapturedStderr();
  }
  const std::vector<uint8_t> good = sample_image();
  ASSERT_NE(load(good), nullptr);
  size_t loaded = 0;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (size_t at = 0; at < 600 && at < good.size(); ++at) {
    for (uint8_t bit : {0x01, 0x10, 0x80}) {
      std::vector<uint8_t> img = good;
      img[at] ^= bit;
      entry* r = cramfs_load_memory(img.data(), img.size());
      loaded += r != nullptr;
      cramfs_free(r);
    }
  }
  for (size_t len = 0; len < good.size(); len += 61) {
    std::vector<uint8_t> img(good.begin(), good.begin() + long(len));
    cramfs_free(cramfs_load_memory(img.data(), img.size()));
  }
  testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  EXPECT_GT(loaded, 0u);  // flips in unused bits still load
}

TEST(CramfsLoader, PaddedAndEmptyImages) {
  {
    std::vector<uint8_t> empty(4096, 0);
    set_word(empty, 0, 0x28CD3D45);
    set_word(empty, 64, 0x41ED);
    testing::internal::CaptureStderr();
    Tree e = load(empty);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("warning: empty filesystem"), std::string::npos);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->child, nullptr);
  }
  {
    // Superblock behind 512 bytes of padding, root listing at 588.
    Tree src = empty_tree();
    cramfs_add_buffer(src.get(), "/f", "hello", 5);
    std::vector<uint8_t> plain = build(src.get());
    std::vector<uint8_t> img2(512, 0);
    img2.insert(img2.end(), plain.begin(), plain.end());
    uint32_t w = load_le32(&img2[512 + 72]);
    set_word(img2, 512 + 72, (w & 63) | (588 / 4) << 6);
    uint32_t fpos = 512 + src->child->dir_offset;
    set_word(img2, fpos + 8, (load_le32(&img2[fpos + 8]) & 63) | ((src->child->offset + 512) / 4) << 6);
    set_word(img2, 512 + src->child->offset, load_le32(&img2[512 + src->child->offset]) + 512);
    Tree p = load(img2);
    ASSERT_TRUE(p);
    EXPECT_EQ(content(p.get(), "/f"), "hello");
  }
}

}  // namespace
