// File interface and whole-image behaviour of minifs.
#include "minifs/minifs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "minifs/internal.h"
#include "streams.h"
#include "testutil.h"

using namespace minifs;
namespace fs = std::filesystem;

namespace {
constexpr size_t k20M = 0x1400000;

struct Dev {
  minifs_device* d;
  explicit Dev(size_t size = k20M, uint8_t* buf = nullptr) : d(minifs_mount("", "/", buf, size, nullptr)) {}
  ~Dev() { minifs_umount(d); }
  operator minifs_device*() const { return d; }
};

int put(minifs_device* d, const char* path, const std::vector<uint8_t>& data) {
  minifs_Handle* h = minifs_open(d, path, 0x102, 0664);
  if (!h) return -1;
  int n = data.empty() ? 0 : minifs_write(h, data.data(), data.size(), 0);
  if (minifs_close(h) != 0) return -1;
  return n;
}

std::vector<uint8_t> get(minifs_device* d, const char* path) {
  minifs_Handle* h = minifs_open(d, path, 2, 0664);
  if (!h) return {};
  std::vector<uint8_t> out(minifs_size(h));
  int n = minifs_read(h, out.data(), out.size(), 0);
  minifs_close(h);
  out.resize(n < 0 ? 0 : size_t(n));
  return out;
}

std::vector<uint8_t> image(minifs_device* d) {
  size_t n = 0;
  uint8_t* p = minifs_mmap(d, &n);
  std::vector<uint8_t> v(p, p + n);
  minifs_munmap(p, n);
  return v;
}

// What a save stores: the written image in an erased partition of `size` bytes.
std::vector<uint8_t> saved(minifs_device* d, size_t size) {
  auto v = image(d);
  v.resize(std::max(size, v.size()), 0xFF);
  return v;
}

std::vector<uint8_t> compressible(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t("minifs content "[i % 15] + (i / 4096) % 3);
  return v;
}
}  // namespace

TEST(MinifsImage, ErasedDeviceIsEmptyAndWritesNoImage) {
  Dev d;
  int empty = 0;
  for (int b = 1; b <= d.d->block_count; ++b) empty += d.d->blocks[b].blockState == BLOCK_EMPTY;
  EXPECT_EQ(empty, 320);
  EXPECT_TRUE(minifs_root(d)->children.empty());
  size_t n = 7;
  uint8_t* p = minifs_mmap(d, &n);
  EXPECT_NE(p, nullptr);  // an empty image, not "nothing to rebuild"
  EXPECT_EQ(n, 0u);
  minifs_munmap(p, n);
  rstest::TempDir t;
  ASSERT_EQ(minifs_mkimg(d, t.file("e.img").c_str()), 0);
  EXPECT_EQ(fs::file_size(t.file("e.img")), 0u);
}

TEST(MinifsImage, SmallFileMakesOneBlockThatRemountsToSameBytes) {
  Dev d;
  ASSERT_EQ(put(d, "/hello.txt", {'h', 'i'}), 2);
  auto img = image(d);
  ASSERT_EQ(img.size(), 65536u);
  std::vector<uint8_t> buf(k20M, 0xFF);
  std::copy(img.begin(), img.end(), buf.begin());
  Dev again(buf.size(), buf.data());
  EXPECT_EQ(get(again, "hello.txt"), (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_EQ(image(again), img);
}

TEST(MinifsFile, WriteOverwriteRemoveSurviveRemount) {
  std::vector<uint8_t> part(4 << 20, 0xFF);
  auto big = rstest::random_bytes(20000, 7);
  {
    Dev d(part.size(), part.data());
    ASSERT_EQ(minifs_mkdir(d, "/etc", 0755), 0);
    ASSERT_EQ(put(d, "/etc/a.conf", compressible(5000)), 5000);
    ASSERT_EQ(put(d, "/etc/a.conf", {'x', 'y', 'z'}), 3);  // replaces the whole file
    ASSERT_EQ(put(d, "/big.bin", big), 20000);
    ASSERT_EQ(put(d, "/gone", {1}), 1);
    EXPECT_EQ(minifs_rmfile(d, "/gone"), 1);
    EXPECT_EQ(minifs_rmfile(d, "/gone"), 0);
    EXPECT_EQ(minifs_exists(d, "/"), 1);
    EXPECT_EQ(minifs_exists(d, "/gone"), 2);
    part = saved(d, part.size());
  }
  Dev d(part.size(), part.data());
  EXPECT_EQ(get(d, "/etc/a.conf"), (std::vector<uint8_t>{'x', 'y', 'z'}));
  EXPECT_EQ(get(d, "big.bin"), big);
  EXPECT_EQ(minifs_exists(d, "/gone"), 2);
  EXPECT_EQ(minifs_exists(d, "/etc/a.conf/x"), 2);  // no walking through a file
}

class MinifsReadAt : public ::testing::TestWithParam<std::pair<size_t, size_t>> {};
TEST_P(MinifsReadAt, ReturnsTheBytesAtTheOffset) {
  auto data = rstest::random_bytes(30000, 3);
  Dev d;
  ASSERT_EQ(put(d, "/f", data), 30000);
  auto [off, len] = GetParam();
  minifs_Handle* h = minifs_open(d, "/f", 2, 0);
  std::vector<uint8_t> buf(len);
  int n = minifs_read(h, buf.data(), len, off);
  size_t want = off >= data.size() ? 0 : std::min(len, data.size() - off);
  ASSERT_EQ(n, int(want));
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + n, data.begin() + std::min(off, data.size())));
  minifs_close(h);
}
INSTANTIATE_TEST_SUITE_P(Offsets, MinifsReadAt,
                         ::testing::Values(std::pair<size_t, size_t>{0, 30000}, std::pair<size_t, size_t>{499, 2},
                                           std::pair<size_t, size_t>{8191, 3}, std::pair<size_t, size_t>{29990, 100},
                                           std::pair<size_t, size_t>{30000, 10}, std::pair<size_t, size_t>{40000, 1}));

TEST(MinifsFile, StoredRecordsCompressedOrRaw) {
  Dev d;
  auto text = compressible(10000);
  auto noise = rstest::random_bytes(8192, 11);
  ASSERT_EQ(put(d, "/t", text), 10000);
  ASSERT_EQ(put(d, "/r", noise), 8192);
  auto records = [&](const char* path) {
    minifs_Object* o = minifs_FindObjectByName(d, path);
    std::vector<std::pair<int, int>> out;  // (is_compress, comprSize)
    uint32_t pos = 0;
    for (uint32_t i = 0; i < (o->Header.rawFileSize + 8191) / 8192; ++i) {
      uint8_t h[12];
      EXPECT_EQ(minifs_ReadDataFromObject(o, h, pos, 12), 12);
      EXPECT_EQ(h[0] | h[1] << 8, 0xABCD);
      int size = h[8] | h[9] << 8;
      EXPECT_EQ(h[10], uint8_t((size >> 8) ^ size));
      out.push_back({h[11], size});
      pos += 12 + size;
    }
    EXPECT_EQ(pos, o->fileSize);
    return out;
  };
  auto t = records("/t");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].first, 1);
  EXPECT_EQ(t[1].first, 1);
  auto r = records("/r");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], std::make_pair(0, 8192));
  EXPECT_EQ(get(d, "/r"), noise);
}

TEST(MinifsFile, WritesAreCutAtEightMiB) {
  Dev d;
  std::vector<uint8_t> nine(9 << 20, 0x41);
  minifs_Handle* h = minifs_open(d, "/huge", 0x102, 0664);
  EXPECT_EQ(minifs_write(h, nine.data(), nine.size(), 0), 8388608);
  EXPECT_EQ(minifs_write(h, nine.data(), 10, 8388608), 0);
  EXPECT_EQ(minifs_close(h), 0);
  EXPECT_EQ(get(d, "/huge").size(), 8388608u);
}

TEST(MinifsFile, SparseWriteAndTruncateStoreEverything) {
  std::vector<uint8_t> part(2 << 20, 0xFF);
  {
    Dev d(part.size(), part.data());
    minifs_Handle* h = minifs_open(d, "/s", 0x102, 0664);
    ASSERT_EQ(minifs_write(h, "end", 3, 20000), 3);  // blocks before it were never stored
    ASSERT_EQ(minifs_close(h), 0);
    h = minifs_open(d, "/s", 2, 0);
    ASSERT_EQ(minifs_truncate(h, 16384), 0);  // a multiple of the block size
    ASSERT_EQ(minifs_close(h), 0);
    part = saved(d, part.size());
  }
  Dev d(part.size(), part.data());
  auto got = get(d, "/s");
  EXPECT_EQ(got, std::vector<uint8_t>(16384, 0));
}

TEST(MinifsFile, OpensShareOneHandleAndCreateEmpties) {
  Dev d;
  ASSERT_EQ(put(d, "/f", compressible(5000)), 5000);
  minifs_Handle* a = minifs_open(d, "/f", 2, 0);
  minifs_Handle* b = minifs_open(d, "/f", 2, 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(minifs_write(a, "new", 3, 0), 3);
  EXPECT_EQ(minifs_close(a), 0);
  EXPECT_EQ(minifs_size(b), 5000u);
  EXPECT_EQ(minifs_close(b), 0);
  minifs_close(minifs_open(d, "/f", 0x102, 0664));
  EXPECT_EQ(minifs_exists(d, "/f"), 1);
  EXPECT_TRUE(get(d, "/f").empty());
  EXPECT_EQ(minifs_open(d, "/", 0x102, 0664), nullptr);  // a directory is never replaced by a file
}

TEST(MinifsFile, NamesLimitedTo32Bytes) {
  Dev d;
  EXPECT_EQ(minifs_mkdir(d, ("/" + std::string(32, 'a')).c_str(), 0755), 0);
  EXPECT_EQ(minifs_mkdir(d, ("/" + std::string(33, 'a')).c_str(), 0755), -1);
  EXPECT_EQ(minifs_rmdir(d, "/nothing"), 0);
}

TEST(MinifsFile, RewritesOnASmallDeviceCollectGarbage) {
  std::vector<uint8_t> part(4 * 65536, 0xFF);
  std::vector<uint8_t> last;
  {
    Dev d(part.size(), part.data());
    for (int i = 0; i < 300; ++i) {
      last = rstest::random_bytes(1500 + i, uint32_t(i));
      ASSERT_EQ(put(d, "/cfg", last), int(last.size())) << "round " << i;
      ASSERT_EQ(put(d, "/keep", {uint8_t(i)}), 1);
    }
    part = saved(d, part.size());
  }
  Dev d(part.size(), part.data());
  EXPECT_EQ(get(d, "/cfg"), last);
  EXPECT_EQ(get(d, "/keep"), std::vector<uint8_t>{uint8_t(299)});
}

TEST(MinifsImage, OneMiBImageInTwentyMiBDeviceHasErasedTail) {
  std::vector<uint8_t> img;
  {
    Dev d;
    for (int i = 0; i < 12; ++i) put(d, ("/f" + std::to_string(i)).c_str(), rstest::random_bytes(40000, uint32_t(i)));
    img = image(d);
  }
  ASSERT_GT(img.size(), 0u);
  img.resize(1 << 20, 0xFF);
  std::vector<uint8_t> buf(k20M, 0xFF);
  std::copy(img.begin(), img.end(), buf.begin());
  Dev d(buf.size(), buf.data());
  for (int b = 17; b <= 320; ++b) EXPECT_EQ(d.d->blocks[b].blockState, BLOCK_EMPTY) << b;
  EXPECT_EQ(get(d, "/f11"), rstest::random_bytes(40000, 11));
  EXPECT_EQ(put(d, "/more", compressible(100000)), 100000);
}

TEST(MinifsImage, LoadMkimgDumpRoundTrip) {
  rstest::TempDir t;
  std::string src = t.file("src");
  fs::create_directories(src + "/sub/deeper");
  fs::create_directories(src + "/emptydir");
  rstest::write_text(src + "/top.txt", "top");
  rstest::write_bytes(src + "/empty", {});
  rstest::write_bytes(src + "/sub/large.bin", rstest::random_bytes(1 << 20, 5));
  rstest::write_bytes(src + "/sub/deeper/text", compressible(70000));
  ::chmod((src + "/sub/deeper/text").c_str(), 0755);
  ::symlink("top.txt", (src + "/link").c_str());
  std::string img = t.file("out.img");
  {
    Dev d;
    ASSERT_EQ(minifs_load(d, src.c_str(), 1), 0);
    EXPECT_EQ(minifs_exists(d, "/src"), 2);  // the top directory itself is not copied
    ASSERT_EQ(minifs_mkimg(d, img.c_str()), 0);
  }
  auto bytes = rstest::read_bytes(img);
  ASSERT_EQ(bytes.size() % 65536, 0u);
  bytes.resize(k20M, 0xFF);
  Dev d(bytes.size(), bytes.data());
  std::string out = t.file("out");
  fs::create_directory(out);
  rstest::StreamCapture cap;
  int n = minifs_dump(d, out.c_str(), "/");
  rstest::Streams said = cap.take();
  EXPECT_EQ(n, 8);
  EXPECT_NE(said.err.find("warning: unminifs tool for windows unsupport create symlink now"), std::string::npos)
      << said.err;
  EXPECT_EQ(said.out.find("warning:"), std::string::npos) << said.out;
  EXPECT_FALSE(fs::exists(fs::symlink_status(out + "/link")));
  for (const char* f : {"/top.txt", "/empty", "/sub/large.bin", "/sub/deeper/text"})
    EXPECT_EQ(rstest::read_bytes(out + f), rstest::read_bytes(src + f)) << f;
  EXPECT_TRUE(fs::is_directory(out + "/emptydir"));
  struct stat st;
  ASSERT_EQ(::stat((out + "/sub/deeper/text").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  minifs_Object* link = minifs_FindObjectByName(d, "/link");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->Header.alias, "top.txt");
  EXPECT_EQ(minifs_FindObjectByName(d, "/top.txt")->Header.uid, uint32_t(::getuid()));
}

TEST(MinifsImage, ListingShowsNewestFirst) {
  Dev d;
  minifs_mkdir(d, "/dir", 0755);
  put(d, "/dir/one", {1, 2, 3});
  put(d, "/two", {1});
  minifs_symlink(d, "/dir/one", "/ln");
  testing::internal::CaptureStdout();
  minifs_ls(minifs_root(d), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "|-- ln\t\t(8)\n|-- two\t\t(1)\n`-- dir\n    `-- one\t\t(3)\n");
}

TEST(MinifsFile, FullOrRefusedDeviceReportsFailure) {
  for (size_t size : {size_t(100000), size_t(3 * 65536)}) {
    Dev d(size);
    testing::internal::CaptureStderr();
    minifs_Handle* h = minifs_open(d, "/big", 0x102, 0664);
    if (h) {
      auto data = rstest::random_bytes(400000, 1);
      minifs_write(h, data.data(), data.size(), 0);
      EXPECT_EQ(minifs_close(h), -1) << size;
    }
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(out.find("Not enougth space") != std::string::npos ||
                out.find("minifs tragedy: no space during gc") != std::string::npos)
        << out.substr(0, 200);
    // Removing the half-stored file gives its space back.
    minifs_rmfile(d, "/big");
    EXPECT_EQ(put(d, "/small", {1, 2}), size == 100000 ? -1 : 2) << size;
  }
}
