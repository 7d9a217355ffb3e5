// Media layout and the mount scan, including damaged images.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "minifs/internal.h"
#include "minifs/minifs.h"
#include "testutil.h"

using namespace minifs;

namespace {
void write_page(std::vector<uint8_t>& img, int page, const uint8_t* data, const PageTags& t) {
  uint8_t* p = img.data() + size_t(page - 1) * kPageSize;
  if (data) std::memcpy(p, data, kDataBytes);
  t.encode(p + kDataBytes);
}

void write_header(std::vector<uint8_t>& img, int page, uint32_t id, uint32_t parent, int type, const char* name,
                  uint32_t serial = 1, uint8_t flag = 0xFF) {
  uint8_t data[kDataBytes];
  std::memset(data, 0xFF, sizeof data);
  ObjectHeader h;
  h.flag = h.flag_end = flag;
  h.name = name;
  h.type = uint32_t(type);
  h.parent_obj_id = parent;
  h.mode = 0644;
  h.encode(data);
  PageTags t;
  t.chunkId = 0;
  t.serialNumber = serial;
  t.objectId = id;
  write_page(img, page, data, t);
}

// What the mount says on stderr (its warnings).
std::string mount_output(std::vector<uint8_t>& img, minifs_device** out) {
  testing::internal::CaptureStderr();
  *out = minifs_mount("", "/", img.data(), img.size(), nullptr);
  return testing::internal::GetCapturedStderr();
}
}  // namespace

TEST(MinifsMedia, TagsRoundTripAndBitPositions) {
  PageTags t;
  t.chunkId = 0x12345;
  t.serialNumber = 2;
  t.byteCount = 500;
  t.objectId = 0x2ABCD;
  uint8_t raw[12];
  t.encode(raw);
  EXPECT_EQ(raw[0] | raw[1] << 8 | raw[2] << 16 | uint32_t(raw[3]) << 24, 0x12345u | 2u << 20 | 500u << 22);
  EXPECT_EQ(raw[8], 0xFF);
  PageTags back;
  back.decode(raw);
  EXPECT_EQ(back.chunkId, t.chunkId);
  EXPECT_EQ(back.objectId, t.objectId);
  EXPECT_EQ(back.byteCount, 500u);
  EXPECT_EQ(minifs_crc32(0, reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
}

struct Geometry {
  size_t size;
  int blocks;
  int groupBits;
};
class MinifsGeometry : public ::testing::TestWithParam<Geometry> {};
TEST_P(MinifsGeometry, BlockCountFromSize) {
  minifs_device* d = minifs_mount("", "/", nullptr, GetParam().size, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->block_count, GetParam().blocks);
  EXPECT_EQ(d->pageGroupBits, GetParam().groupBits);
  EXPECT_NE(minifs_root(d), nullptr);
  minifs_umount(d);
}
INSTANTIATE_TEST_SUITE_P(Sizes, MinifsGeometry,
                         ::testing::Values(Geometry{100000, 1, 0}, Geometry{32 << 20, 512, 0},
                                           Geometry{64 << 20, 1024, 1}, Geometry{0, 0, 0}));

TEST(MinifsMedia, BadBlockMarkNeedsSevenOneBits) {
  std::vector<uint8_t> img(4 * 65536, 0xFF);
  img[509] = 0x7F;                // block 1: good
  img[65536 + 512 + 509] = 0x3F;  // block 2, second page: bad
  minifs_device* d;
  std::string out = mount_output(img, &d);
  EXPECT_EQ(out, "block 2 is bad\n");
  EXPECT_EQ(d->blocks[2].blockState, BLOCK_EMPTY);  // recycled after the scan
  EXPECT_EQ(d->ErasedBlocks, 4);
  minifs_umount(d);
}

TEST(MinifsMedia, NewerSerialWinsWhicheverIsScannedFirst) {
  for (bool zeroFirst : {false, true}) {
    std::vector<uint8_t> img(4 * 65536, 0xFF);
    write_header(img, 1, 2, 1, OBJ_FILE, "f");
    uint8_t a[kDataBytes], b[kDataBytes];
    std::memset(a, 'A', sizeof a);
    std::memset(b, 'B', sizeof b);
    PageTags t;
    t.chunkId = 1;
    t.byteCount = 10;
    t.objectId = 2;
    t.serialNumber = zeroFirst ? 0 : 3;
    write_page(img, 2, zeroFirst ? b : a, t);
    t.serialNumber = zeroFirst ? 3 : 0;
    write_page(img, 3, zeroFirst ? a : b, t);
    minifs_device* d;
    mount_output(img, &d);
    minifs_Object* o = minifs_FindObjectByName(d, "/f");
    ASSERT_NE(o, nullptr);
    uint8_t got[kDataBytes];
    minifs_ReadChunkFromObject(o, 1, got);
    EXPECT_EQ(got[0], 'B') << zeroFirst;
    minifs_umount(d);
  }
}

TEST(MinifsMedia, InterruptedRewriteAndOrphansAreDiscarded) {
  std::vector<uint8_t> img(4 * 65536, 0xFF);
  write_header(img, 1, 2, 1, OBJ_FILE, "half", 1, 0x5A);
  write_header(img, 2, 3, 77, OBJ_FILE, "orphan");
  write_header(img, 3, 4, 5, OBJ_DIRECTORY, "loopA");  // 4 and 5 are each other's parent
  write_header(img, 4, 5, 4, OBJ_DIRECTORY, "loopB");
  write_header(img, 5, 6, 1, OBJ_FILE, "ok");
  write_header(img, 6, 7, 6, OBJ_FILE, "self");
  const auto before = img;
  minifs_device* d;
  std::string out = mount_output(img, &d);
  EXPECT_NE(out.find("----------------------less file :half\n"), std::string::npos);
  EXPECT_NE(out.find("----------------------less file :orphan\n"), std::string::npos);
  EXPECT_NE(out.find("----------------------less file :loopA\n"), std::string::npos);
  ASSERT_EQ(minifs_root(d)->children.size(), 1u);
  EXPECT_EQ(minifs_root(d)->children[0]->Header.name, "ok");
  EXPECT_EQ(d->blocks[1].pagesInUse, 1);
  // The discarded pages are marked deleted in the written image, so mounting
  // that is quiet; the mounted bytes themselves stay as they were.
  size_t n = 0;
  uint8_t* p = minifs_mmap(d, &n);
  std::vector<uint8_t> again(p, p + n);
  minifs_munmap(p, n);
  minifs_umount(d);
  EXPECT_EQ(img, before);
  again.resize(img.size(), 0xFF);
  out = mount_output(again, &d);
  EXPECT_EQ(out, "");
  minifs_umount(d);
}

// Mount, list, read and extract whatever survives; none of it may crash.
static void exercise(std::vector<uint8_t>& img) {
  minifs_device* d;
  testing::internal::CaptureStdout();
  d = minifs_mount("", "/", img.data(), img.size(), nullptr);
  ASSERT_NE(d, nullptr);
  minifs_ls(minifs_root(d), 0);
  rstest::TempDir t;
  minifs_dump(d, t.path().c_str(), "/");
  for (minifs_Object* c : std::vector<minifs_Object*>(minifs_root(d)->children)) {
    std::string p = "/" + c->Header.name;
    if (c->Header.type == OBJ_FILE) {
      minifs_Handle* h = minifs_open(d, p.c_str(), 2, 0);
      if (h) {
        std::vector<uint8_t> buf(9000);
        minifs_read(h, buf.data(), buf.size(), 100);
        minifs_write(h, "x", 1, 5);
        minifs_close(h);
      }
    }
    minifs_rmfile(d, p.c_str());
  }
  size_t n;
  minifs_munmap(minifs_mmap(d, &n), n);
  minifs_umount(d);
  testing::internal::GetCapturedStdout();
}

TEST(MinifsMalformed, RandomBytesMount) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    auto img = rstest::random_bytes(3 * 65536 + 1234, seed);
    exercise(img);
  }
}

TEST(MinifsMalformed, CorruptedValidImages) {
  std::vector<uint8_t> base(8 * 65536, 0xFF);
  {
    minifs_device* d = minifs_mount("", "/", base.data(), base.size(), nullptr);
    minifs_mkdir(d, "/a", 0755);
    minifs_mkdir(d, "/a/b", 0755);
    for (int i = 0; i < 5; ++i) {
      std::string p = "/a/b/f" + std::to_string(i);
      minifs_Handle* h = minifs_open(d, p.c_str(), 0x102, 0664);
      auto data = rstest::random_bytes(3000 * i + 10, uint32_t(i));
      minifs_write(h, data.data(), data.size(), 0);
      minifs_close(h);
    }
    size_t n = 0;
    uint8_t* p = minifs_mmap(d, &n);
    std::copy(p, p + n, base.begin());
    minifs_munmap(p, n);
    minifs_umount(d);
  }
  auto rnd = rstest::random_bytes(4096, 99);
  for (int round = 0; round < 60; ++round) {
    auto img = base;
    for (int k = 0; k < 8; ++k) {
      size_t page = (rnd[(round * 8 + k) % rnd.size()] * 7 + round) % 60;
      size_t off = page * kPageSize + (round % 3 == 0 ? 500 + rnd[k + round] % 12 : rnd[k * 3 + round] % 512);
      img[off] ^= uint8_t(1 + rnd[(k + round * 5) % rnd.size()]);
    }
    exercise(img);
  }
  // Headers claiming huge sizes and far pieces.
  auto img = base;
  for (int page = 1; page <= 40; ++page) {
    uint8_t* p = img.data() + size_t(page - 1) * kPageSize;
    PageTags t;
    t.decode(p + kDataBytes);
    if (t.chunkId == 0) {
      std::memset(p + 60, 0xFF, 8);  // objectSize, rawFileSize
    } else {
      t.chunkId = kMaxChunk;
      t.encode(p + kDataBytes);
    }
  }
  exercise(img);
}
