// Small images that name far more than they hold open in bounded memory:
// files sharing one stored content of the largest size, links sharing one
// page, deep long names. Memory is measured in a forked child (peak resident
// size reset before the open, read after it).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "util/endian.h"

namespace {

constexpr long kLimitKiB = 100 * 1024;  // what an open may add beyond the image

// Peak resident size in KiB, from /proc (reset first when `reset`), else getrusage.
long peak_kib(bool reset) {
  if (reset) {
    int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd >= 0) {
      (void)!write(fd, "5", 1);
      close(fd);
    }
  }
  if (FILE* f = fopen("/proc/self/status", "r")) {
    char line[256];
    long v = -1;
    while (fgets(line, sizeof line, f))
      if (sscanf(line, "VmHWM: %ld kB", &v) == 1) break;
    fclose(f);
    if (v >= 0) return v;
  }
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return r.ru_maxrss;
}

struct Outcome {
  long grown_kib = -1;
  int result = -1;  // what `work` returned
  double seconds = 0;
};

// Runs `work` in a child process; how much its peak resident size grew.
Outcome in_child(const std::function<int()>& work) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int devnull = open("/dev/null", O_WRONLY);  // the loader's messages
    dup2(devnull, 1);
    dup2(devnull, 2);
    long before = peak_kib(true);
    auto t0 = std::chrono::steady_clock::now();
    Outcome o;
    o.result = work();
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.grown_kib = peak_kib(false) - before;
    (void)!write(fds[1], &o, sizeof o);
    _exit(0);
  }
  close(fds[1]);
  Outcome o;
  if (read(fds[0], &o, sizeof o) != sizeof o) o = {};
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return o;
}

// A little-endian image: superblock, then listings and data placed by the caller.
struct Raw {
  std::vector<uint8_t> b;
  explicit Raw(size_t n) : b(n, 0) {}
  void word(size_t at, uint32_t v) { rs::store_le32(&b[at], v); }
  void inode(size_t at, uint32_t mode, uint32_t size, uint32_t name_units, uint32_t offset) {
    word(at, mode);
    word(at + 4, size & 0xFFFFFF);
    word(at + 8, name_units | (offset / 4) << 6);
  }
  // A directory entry at `at` named `name` (padded to 4 bytes); the position after it.
  size_t dirent(size_t at, const std::string& name, uint32_t mode, uint32_t size, uint32_t offset) {
    uint32_t units = uint32_t((name.size() + 3) / 4);
    inode(at, mode, size, units, offset);
    memcpy(&b[at + 12], name.data(), name.size());
    return at + 12 + 4 * units;
  }
  std::vector<uint8_t> finish(uint32_t root_listing_size) {
    b.resize((b.size() + 4095) & ~size_t(4095));
    word(0, 0x28CD3D45);
    word(4, uint32_t(b.size()));
    word(8, 3);
    memcpy(&b[16], "Compressed ROMFS", 16);
    inode(64, 040755, root_listing_size, 0, 76);
    return b;
  }
};

std::string numbered(const char* prefix, int i) {
  char n[32];
  snprintf(n, sizeof n, "%s%05d", prefix, i);
  return n;
}

// `n` files of 16 MiB - 1 in the root, all naming one stored content: 4096
// compressed pages of zeros (a few KiB for 16 MiB).
std::vector<uint8_t> shared_huge_files(int n) {
  std::vector<uint8_t> zeros(4096, 0), z(compressBound(4096));
  uLongf zl = z.size();
  compress2(z.data(), &zl, zeros.data(), zeros.size(), 9);
  size_t listing = size_t(n) * (12 + 8);
  size_t table = (76 + listing + 3) & ~size_t(3), data = table + 4 * 4096;
  Raw r(data + 4096 * zl);
  size_t at = 76;
  for (int i = 0; i < n; ++i) at = r.dirent(at, numbered("f", i), 0100644, 0xFFFFFF, uint32_t(table));
  uLongf last_len = z.size();
  std::vector<uint8_t> zlast(z.size());
  compress2(zlast.data(), &last_len, zeros.data(), 4095, 9);  // the last page holds 4095 bytes
  size_t pos = data;
  for (int i = 0; i < 4096; ++i) {
    const uint8_t* page = i == 4095 ? zlast.data() : z.data();
    size_t len = i == 4095 ? last_len : zl;
    memcpy(&r.b[pos], page, len);
    pos += len;
    r.word(table + 4 * size_t(i), uint32_t(pos));
  }
  r.b.resize(pos);
  return r.finish(uint32_t(listing));
}

// `n` links whose 4096-byte targets are one shared compressed page.
std::vector<uint8_t> shared_link_page(int n) {
  std::vector<uint8_t> target(4096, 'x'), z(compressBound(4096));
  uLongf zl = z.size();
  compress(z.data(), &zl, target.data(), target.size());
  size_t listing = size_t(n) * (12 + 8);
  size_t table = (76 + listing + 3) & ~size_t(3), data = table + 4;
  Raw r(data + zl);
  size_t at = 76;
  for (int i = 0; i < n; ++i) at = r.dirent(at, numbered("l", i), 0120777, 4096, uint32_t(table));
  r.word(table, uint32_t(data + zl));
  memcpy(&r.b[data], z.data(), zl);
  return r.finish(uint32_t(listing));
}

// `depth` nested directories of 252-byte names, `leaves` files in the deepest.
std::vector<uint8_t> deep_long_names(int depth, int leaves) {
  size_t size = 76 + size_t(depth) * (12 + 252) + size_t(leaves) * 20 + 16;
  Raw r(size);
  size_t at = 76;
  for (int d = 0; d < depth; ++d) {
    std::string name(252, char('a' + d % 26));
    size_t next = at + 12 + 252;
    bool last = d + 1 == depth;
    r.dirent(at, name, 040755, last ? uint32_t(leaves) * 20 : 12 + 252, uint32_t(next));
    at = next;
  }
  for (int i = 0; i < leaves; ++i) at = r.dirent(at, numbered("e", i), 0100644, 0, 0);
  return r.finish(12 + 252);
}

TEST(CramfsAmplification, SharedHugeFilesOpenSmall) {
  std::vector<uint8_t> img = shared_huge_files(1000);  // 140 KiB naming 16 GB
  ASSERT_LE(img.size(), 160u * 1024);
  Outcome o = in_child([&] {
    entry* t = cramfs_load_memory(img.data(), img.size());
    if (!t) return 1;
    // A read, a listing walk and a rebuild stay small as well.
    std::vector<uint8_t> buf(1 << 20);
    if (cramfs_pread(t, "/f00421", buf.data(), buf.size(), 8u << 20) != (long long)buf.size()) return 2;
    size_t n = 0;
    uint8_t* out = cramfs_mmap(t, &n);
    int rc = out && n < 200 * 1024 ? 0 : 3;
    free(out);
    cramfs_free(t);
    return rc;
  });
  RecordProperty("seconds", std::to_string(o.seconds));
  RecordProperty("grown_kib", std::to_string(o.grown_kib));
  EXPECT_EQ(o.result, 0);
  EXPECT_GE(o.grown_kib, 0);
  EXPECT_LT(o.grown_kib, kLimitKiB) << o.seconds << " s";
}

TEST(CramfsAmplification, SharedLinkPageOpensSmall) {
  std::vector<uint8_t> img = shared_link_page(3000);  // 12 MB of targets
  Outcome o = in_child([&] {
    entry* t = cramfs_load_memory(img.data(), img.size());
    int rc = t && cramfs_find(t, "/l02999") ? 0 : 1;
    cramfs_free(t);
    return rc;
  });
  EXPECT_EQ(o.result, 0);
  EXPECT_LT(o.grown_kib, kLimitKiB) << o.seconds << " s";
  // Past the budget the load is refused rather than grown.
  std::vector<uint8_t> more = shared_link_page(12000);  // 48 MB of targets
  Outcome m = in_child([&] {
    entry* t = cramfs_load_memory(more.data(), more.size());
    cramfs_free(t);
    return t ? 1 : 0;
  });
  EXPECT_EQ(m.result, 0);
  EXPECT_LT(m.grown_kib, kLimitKiB);
}

TEST(CramfsAmplification, DeepLongNamesAreBounded) {
  std::vector<uint8_t> img = deep_long_names(200, 4000);  // paths of 50 KB, 4000 times
  testing::internal::CaptureStderr();
  entry* direct = cramfs_load_memory(img.data(), img.size());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(direct, nullptr);
  EXPECT_EQ(err.rfind("readdir: paths too long to hold", 0), 0u) << err;
  cramfs_free(direct);
  Outcome o = in_child([&] {
    entry* t = cramfs_load_memory(img.data(), img.size());
    cramfs_free(t);
    return 0;
  });
  EXPECT_EQ(o.result, 0);
  EXPECT_LT(o.grown_kib, kLimitKiB) << o.seconds << " s";
  // The same shape, shallow enough to be real, loads.
  std::vector<uint8_t> ok = deep_long_names(10, 400);
  entry* t = cramfs_load_memory(ok.data(), ok.size());
  EXPECT_NE(t, nullptr);
  cramfs_free(t);
}

}  // namespace
