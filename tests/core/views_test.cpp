// Partitions read from the opened file in place: saves that copy what no edit
// touched, on the kernel's copy and on the read/write loop; a save cut short
// by a kill; and a file changed by another program while it is open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "core/image_state.h"
#include "core/state.h"
#include "core/table.h"
#include "fixture.h"
#include "testutil.h"
#include "util/fileio.h"
#include "util/mapping.h"

namespace {

using rstest::Image;

int quiet_save(flash* f, const std::string& out, int unchanged = 0) {
  testing::internal::CaptureStderr();
  int rc = flash_save(f, out.c_str(), unchanged);
  testing::internal::GetCapturedStderr();
  return rc;
}

// The first differing byte outside [skip_from, skip_to), or -1.
long long first_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t skip_from = 0,
                           size_t skip_to = 0) {
  if (a.size() != b.size()) return (long long)std::min(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && (i < skip_from || i >= skip_to)) return (long long)i;
  return -1;
}

// BOOT, KERNEL, TABLE and DATA of the sample table, an APP squashfs (when
// mksquashfs is there), a raw BIG partition of `big` random bytes, and random
// bytes in the gap before BIG and in the tail no partition covers.
constexpr uint32_t kAppAt = 0x10000, kAppSize = 0x40000, kBigAt = 0x60000;
std::vector<uint8_t> make_image(const rstest::TempDir& dir, size_t big, bool* has_app) {
  rstest::FixtureTable t = rstest::sample_table(4);
  *has_app = false;
  std::string src = dir.file("tree"), img = dir.file("app.sq");
  if (rstest::have_tool("mksquashfs") &&
      rstest::run_command("mkdir -p " + src + "/etc && echo hello > " + src + "/etc/issue && mksquashfs " + src + " " +
                          img + " -comp xz -quiet -no-progress >/dev/null")
              .status == 0) {
    rstest::FixturePart p;
    p.name = "APP";
    p.start = kAppAt;
    p.total = kAppSize;
    p.type = FS_SQUASHFS;
    p.content = rstest::read_bytes(img);
    t.parts.push_back(p);
    *has_app = true;
  }
  rstest::FixturePart b;
  b.name = "BIG";
  b.start = kBigAt;
  b.total = uint32_t(big);
  b.content = rstest::random_bytes(big - 0x1000, 11);
  t.parts.push_back(b);
  std::vector<uint8_t> out = rstest::build_image(t, kBigAt + big + 0x4000, 0xC000);
  std::vector<uint8_t> gap = rstest::random_bytes(0x8000, 5), tail = rstest::random_bytes(0x4000, 6);
  std::memcpy(&out[kBigAt - gap.size()], gap.data(), gap.size());
  std::memcpy(&out[out.size() - tail.size()], tail.data(), tail.size());
  return out;
}

// Every save test runs on both ways of copying the unchanged bytes.
enum class CopyPath { kernel, by_hand };

class SavePaths : public ::testing::TestWithParam<CopyPath> {
 protected:
  rstest::TempDir dir;
  void SetUp() override {
    basedir = dir.path();
    if (GetParam() == CopyPath::by_hand)
      ::setenv("ROMSMITH_NO_COPY_RANGE", "1", 1);
    else
      ::unsetenv("ROMSMITH_NO_COPY_RANGE");
  }
  void TearDown() override {
    ::unsetenv("ROMSMITH_NO_COPY_RANGE");
    basedir.assign(1, '.');
    init_table_sect(1);
  }
};

TEST_P(SavePaths, UneditedSaveIsTheInputByteForByte) {
  bool app;
  std::vector<uint8_t> orig = make_image(dir, 0x200000, &app);
  std::string in = dir.file("in.bin"), out = dir.file("out.bin");
  rstest::write_bytes(in, orig);
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  EXPECT_EQ(img.part("BIG")->crc32_passed, 1);
  // Reading a file and listing are no edits: the pages they read stay the file's.
  if (app) {
    char buf[16] = {};
    ASSERT_EQ(flash_pread(img.f, "APP/etc/issue", buf, sizeof buf, 0), 6);
    EXPECT_STREQ(buf, "hello\n");
  }
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(quiet_save(img.f, out), 0);
    EXPECT_EQ(first_difference(rstest::read_bytes(out), orig), -1) << "save " << round;
  }
  EXPECT_EQ(rstest::read_bytes(in), orig);
}

TEST_P(SavePaths, EditLeavesEveryUntouchedByte) {
  bool app;
  std::vector<uint8_t> orig = make_image(dir, 0x200000, &app);
  if (!app) GTEST_SKIP() << "mksquashfs not installed";
  std::string in = dir.file("in.bin"), out = dir.file("out.bin");
  rstest::write_bytes(in, orig);
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  ASSERT_EQ(flash_put(img.f, "APP/etc/issue", "changed\n", 8, -1, -1, -1), 0);
  std::vector<uint8_t> kernel(0x5000, 0x5A);
  ASSERT_EQ(flash_update(img.f, "KERNEL", kernel.data(), int(kernel.size())), 0);
  ASSERT_EQ(quiet_save(img.f, out), 0);
  std::vector<uint8_t> got = rstest::read_bytes(out);
  ASSERT_EQ(got.size(), orig.size());
  // Outside KERNEL, the TABLE (its CRCs and sizes) and APP, nothing moved.
  for (size_t i = 0; i < got.size(); ++i) {
    bool edited = (i >= 0x4000 && i < 0xD000) || (i >= kAppAt && i < kAppAt + kAppSize);
    if (!edited) {
      ASSERT_EQ(got[i], orig[i]) << "byte 0x" << std::hex << i;
    }
  }
  EXPECT_EQ(0, std::memcmp(&got[0x4000], kernel.data(), kernel.size()));
  Image back(flash_load_bin(out.c_str()));
  ASSERT_NE(back.f, nullptr);
  char buf[16] = {};
  EXPECT_EQ(flash_pread(back.f, "APP/etc/issue", buf, sizeof buf, 0), 8);
  EXPECT_STREQ(buf, "changed\n");
  for (const char* name : {"BOOT", "KERNEL", "APP", "BIG"}) EXPECT_EQ(back.part(name)->crc32_passed, 1) << name;
}

// A file system may change its partition's bytes in place: those pages are
// saved from memory, every other one from the file, and the file stays as it was.
TEST_P(SavePaths, BytesWrittenIntoAPartitionAreSaved) {
  bool app;
  std::vector<uint8_t> orig = make_image(dir, 0x200000, &app);
  std::string in = dir.file("in.bin"), out = dir.file("out.bin");
  rstest::write_bytes(in, orig);
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  partition_data* big = img.part("BIG");
  std::vector<uint8_t> want = orig;
  for (size_t at : {size_t(0), size_t(0x1234), size_t(0x100000), size_t(0x1FFFFF)}) {
    big->buf[at] ^= 0xA5;
    want[kBigAt + at] ^= 0xA5;
  }
  ASSERT_EQ(flash_simple_save(img.f, out.c_str()), 0);
  EXPECT_EQ(first_difference(rstest::read_bytes(out), want), -1);
  ASSERT_EQ(quiet_save(img.f, out, 1), 0);
  EXPECT_EQ(first_difference(rstest::read_bytes(out), want, 0xC000, 0xD000), -1);
  EXPECT_EQ(rstest::read_bytes(in), orig) << "a write into a partition reached the opened file";
}

// The usual session: open, edit, save over the file, edit again, save again.
TEST_P(SavePaths, SavesOverTheOpenedFile) {
  bool app;
  std::vector<uint8_t> orig = make_image(dir, 0x100000, &app);
  std::string in = dir.file("in.bin");
  rstest::write_bytes(in, orig);
  ::chmod(in.c_str(), 0640);
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  std::vector<uint8_t> want = orig;
  for (uint8_t round = 1; round <= 2; ++round) {
    std::vector<uint8_t> data(0x800, round);
    ASSERT_EQ(flash_update(img.f, "DATA", data.data(), int(data.size())), 0);
    ASSERT_EQ(quiet_save(img.f, in), 0);
    std::memset(&want[0xD000], round, data.size());
    std::memset(&want[0xD000 + data.size()], 0xFF, 0x3000 - data.size());
    EXPECT_EQ(first_difference(rstest::read_bytes(in), want, 0xC000, 0xD000), -1) << "round " << int(round);
  }
  struct stat st;
  ASSERT_EQ(::stat(in.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// Killed at any moment, a save leaves the old file or the new one, never a mix.
TEST_P(SavePaths, KilledSaveLeavesTheOldOrTheNewFile) {
  bool app;
  std::vector<uint8_t> orig = make_image(dir, 24u << 20, &app);
  std::string in = dir.file("in.bin"), target = dir.file("target.bin");
  rstest::write_bytes(in, orig);
  std::vector<uint8_t> old = rstest::random_bytes(orig.size() / 2, 3);
  std::vector<uint8_t> fresh = orig;
  std::memset(&fresh[0x4000], 0x77, 0x2000);
  std::memset(&fresh[0x6000], 0xFF, 0x6000);
  int saw_old = 0, saw_new = 0;
  // The last one is never killed: the save must then have finished.
  for (int delay_us : {0, 500, 2000, 5000, 10000, 20000, 40000, 80000, -1}) {
    rstest::write_bytes(target, old);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(ready[0]);
      std::freopen("/dev/null", "w", stdout);
      flash* f = flash_load_bin(in.c_str());
      std::vector<uint8_t> k(0x2000, 0x77);
      if (!f || flash_update(f, "KERNEL", k.data(), int(k.size())) != 0) ::_exit(2);
      (void)!::write(ready[1], "r", 1);
      ::_exit(flash_save(f, target.c_str(), 0) == 0 ? 0 : 3);
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    if (delay_us >= 0) {
      ::usleep(useconds_t(delay_us));
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
      ASSERT_EQ(WEXITSTATUS(status), 0);
    }
    std::vector<uint8_t> got = rstest::read_bytes(target);
    if (got == old) {
      ++saw_old;
    } else {
      ++saw_new;
      EXPECT_EQ(first_difference(got, fresh, 0xC000, 0xD000), -1) << "after " << delay_us << " us: a mixed file";
    }
  }
  EXPECT_GT(saw_old, 0) << "no kill landed during a save";
  EXPECT_GT(saw_new, 0) << "no save finished";
}

INSTANTIATE_TEST_SUITE_P(Both, SavePaths, ::testing::Values(CopyPath::kernel, CopyPath::by_hand),
                         [](const auto& p) { return p.param == CopyPath::kernel ? "kernel" : "by_hand"; });

// The writer itself: every range arrives, into a file and into a pipe, and a
// source shorter than asked fails instead of writing less.
TEST_P(SavePaths, RangeOutCopiesEveryRange) {
  std::vector<uint8_t> src = rstest::random_bytes(3u << 20, 9);
  std::string in = dir.file("src.bin"), out = dir.file("dst.bin");
  rstest::write_bytes(in, src);
  int fd = ::open(in.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> want;
  auto fill = [&](rs::RangeOut& o) {
    want.clear();
    EXPECT_TRUE(o.data("head", 4));
    want.insert(want.end(), {'h', 'e', 'a', 'd'});
    EXPECT_TRUE(o.copy(fd, 100, 2u << 20));
    want.insert(want.end(), src.begin() + 100, src.begin() + 100 + (2u << 20));
    EXPECT_TRUE(o.zeros(5000));
    want.resize(want.size() + 5000, 0);
    EXPECT_TRUE(o.copy(fd, 7, 10));
    want.insert(want.end(), src.begin() + 7, src.begin() + 17);
    EXPECT_TRUE(o.zeros(70000));
    want.resize(want.size() + 70000, 0);
    EXPECT_TRUE(o.finish());
  };
  uint64_t in_kernel = 0;
  ASSERT_TRUE(rs::write_file_atomic(out, [&](FILE* f) {
    rs::RangeOut o(f);
    fill(o);
    in_kernel = o.copied_in_kernel();
    return true;
  }));
  EXPECT_EQ(first_difference(rstest::read_bytes(out), want), -1);
  if (GetParam() == CopyPath::kernel)
    EXPECT_GT(in_kernel, 0u);
  else
    EXPECT_EQ(in_kernel, 0u);
  // A stream gets the same bytes, in order.
  FILE* p = ::popen(("cat > " + rstest::shell_quote(dir.file("piped.bin"))).c_str(), "w");
  ASSERT_NE(p, nullptr);
  {
    rs::RangeOut o(p);
    fill(o);
  }
  ASSERT_EQ(::pclose(p), 0);
  EXPECT_EQ(first_difference(rstest::read_bytes(dir.file("piped.bin")), want), -1);
  // Past the end of the source.
  errno = 0;
  bool ok = rs::write_file_atomic(out, [&](FILE* f) {
    rs::RangeOut o(f);
    return o.copy(fd, src.size() - 10, 20) && o.finish();
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(errno, ENODATA);
  EXPECT_EQ(first_difference(rstest::read_bytes(out), want), -1) << "a failed write replaced the file";
  ::close(fd);
}

// Copies that start inside a 64 KiB block reach back to its start and put
// back what they went over: runs of writes, copies from the same place in
// their block (following writes, holes, and copies from elsewhere) and
// copies that cannot reach back, mixed at random, give exactly the bytes
// asked for; so do copies and writes of more than a megabyte, which go in
// steps handed to the device as they land.
TEST_P(SavePaths, RangeOutCopiesThatReachBackKeepEveryByte) {
  constexpr size_t kBlock = 64u << 10;
  std::vector<uint8_t> src = rstest::random_bytes(6u << 20, 21);
  std::string in = dir.file("src.bin"), out = dir.file("dst.bin");
  rstest::write_bytes(in, src);
  int fd = ::open(in.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::mt19937 rnd(5);
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> want;
    ASSERT_TRUE(rs::write_file_atomic(out, [&](FILE* f) {
      rs::RangeOut o(f);
      while (want.size() < (3u << 20)) {
        const size_t at = want.size();
        const bool huge = rnd() % 10 == 0;
        switch (rnd() % 5) {
          case 0: {  // bytes from memory, short or long
            const size_t n = huge ? (1u << 20) + rnd() % (1u << 20) : rnd() % 3 ? 1 + rnd() % 5000 : 1 + rnd() % 200000;
            std::vector<uint8_t> b = rstest::random_bytes(n, rnd());
            if (!o.data(b.data(), b.size())) return false;
            want.insert(want.end(), b.begin(), b.end());
            break;
          }
          case 1: {  // a hole
            const size_t n = 1 + rnd() % 9000;
            if (!o.zeros(n)) return false;
            want.resize(at + n, 0);
            break;
          }
          default: {  // a copy, most often from the same place in its block
            size_t n = huge ? (1u << 20) + rnd() % (2u << 20) : 1 + rnd() % (rnd() % 2 ? 300000 : 30000);
            size_t from = rnd() % 4 ? at % kBlock + kBlock * (rnd() % 20) : rnd() % (1u << 20);
            if (rnd() % 2 == 0 && at >= kBlock) from = at;  // the same distance as a copy before
            n = std::min(n, src.size() - from);
            if (!o.copy(fd, from, n)) return false;
            want.insert(want.end(), src.begin() + long(from), src.begin() + long(from + n));
          }
        }
      }
      return o.finish();
    }));
    ASSERT_EQ(first_difference(rstest::read_bytes(out), want), -1) << "round " << round;
  }
  ::close(fd);
}

// Another program cuts or rewrites the file while it is open.
class ChangedUnderUs : public ::testing::TestWithParam<const char*> {
 protected:
  rstest::TempDir dir;
  void SetUp() override { basedir = dir.path(); }
  void TearDown() override {
    basedir.assign(1, '.');
    init_table_sect(1);
  }
};

TEST_P(ChangedUnderUs, ReadsAndSavesFailNamingTheFile) {
  bool app;
  std::vector<uint8_t> orig = make_image(dir, 0x200000, &app);
  std::string in = dir.file("in.bin"), out = dir.file("out.bin");
  rstest::write_bytes(in, orig);
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  partition_data* big = img.part("BIG");
  ASSERT_NE(big, nullptr);
  const uint8_t* tail = big->buf + big->info->total_size - 1;
  std::string cmd = std::string(GetParam()) + " " + rstest::shell_quote(in);
  ASSERT_EQ(rstest::run_command(cmd).status, 0) << cmd;
  // A caller that reads bytes the file no longer has gets no signal.
  volatile uint8_t byte = *tail;
  (void)byte;
  testing::internal::CaptureStderr();
  char buf[16];
  long long got = flash_pread(img.f, "APP/etc/issue", buf, sizeof buf, 0);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_LT(got, 0);
  EXPECT_NE(std::string(flash_last_error(img.f)).find(in), std::string::npos) << flash_last_error(img.f);
  EXPECT_NE(said.find(in), std::string::npos) << said;
  testing::internal::CaptureStderr();
  EXPECT_EQ(flash_save(img.f, out.c_str(), 0), -1);
  said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(in + " changed since it was opened"), std::string::npos) << said;
  EXPECT_NE(std::string(flash_last_error(img.f)).find(in), std::string::npos);
  EXPECT_FALSE(rs::path_exists(out));
  testing::internal::CaptureStderr();
  EXPECT_EQ(flash_simple_save(img.f, out.c_str()), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(rs::path_exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ChangedUnderUs,
    ::testing::Values("truncate -s 4096", "truncate -s 0",
                      // Same length, other bytes, and a time that differs for sure.
                      "sh -c 'head -c 65536 /dev/zero | dd of=\"$0\" bs=65536 seek=2 conv=notrunc status=none && "
                      "touch -d 2001-01-01 \"$0\"'"));

// A page cut off the file reads as zeros, and the view says so.
TEST(FileView, PageCutOffReadsAsZerosAndIsReported) {
  rstest::TempDir dir;
  std::string path = dir.file("f.bin");
  rstest::write_bytes(path, std::vector<uint8_t>(0x30000, 0xAB));
  rs::FileView v;
  ASSERT_TRUE(v.open(path.c_str()));
  EXPECT_EQ(v.changed(), "");
  EXPECT_FALSE(v.touched(v.data(), v.size()));
  v.data()[0x100] = 1;  // a private copy of that page only
  EXPECT_TRUE(v.touched(v.data(), 0x1000));
  EXPECT_FALSE(v.touched(v.data() + 0x10000, 0x10000));
  // A save writes only the written pages from memory: runs cut at page edges.
  v.data()[0x5000] = 2;
  using Runs = std::vector<std::pair<size_t, bool>>;
  EXPECT_EQ(v.written_runs(v.data() + 0x80, 0x6000), (Runs{{0xF80, true}, {0x4000, false}, {0x1000, true}, {0x80, false}}));
  EXPECT_EQ(v.written_runs(v.data() + 0x6000, 0x10), (Runs{{0x10, false}}));
  EXPECT_EQ(v.written_runs(v.data() + 0x100, 1), (Runs{{1, true}}));
  ASSERT_EQ(::truncate(path.c_str(), 0x8000), 0);
  EXPECT_EQ(v.data()[0x7FFF], 0xAB);
  EXPECT_EQ(v.data()[0x20000], 0);
  EXPECT_EQ(v.data()[0x100], 1);
  EXPECT_NE(v.changed(), "");
  EXPECT_EQ(rstest::read_bytes(path), std::vector<uint8_t>(0x8000, 0xAB));
}

long vm_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// Opening and listing read the metadata: the image's bytes do not stay in memory.
TEST(Views, OpenOfALargeImageKeepsItsBytesOutOfMemory) {
  rstest::TempDir dir;
  basedir = dir.path();
  std::string in = dir.file("in.bin");
  bool app;
  {
    std::vector<uint8_t> orig = make_image(dir, 64u << 20, &app);
    rstest::write_bytes(in, orig);
  }
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  long before = vm_kib("VmHWM:");
  if (before < 0) GTEST_SKIP() << "no VmHWM in /proc/self/status";
  {
    Image img(flash_load_bin(in.c_str()));
    ASSERT_NE(img.f, nullptr);
    EXPECT_EQ(img.part("BIG")->crc32_passed, 1);
    if (app) {
      auto none = [](const char*, const flash_stat_s*, void*) { return 0; };
      EXPECT_EQ(flash_walk(img.f, "APP", -1, none, nullptr), 0);
    }
    long peak = vm_kib("VmHWM:") - before;
    EXPECT_LT(peak, 24 * 1024) << "open of a 64 MiB image peaked at " << peak << " KiB more";
  }
  basedir.assign(1, '.');
  init_table_sect(1);
}

// Pages a reader let go stop being resident and read as the file again; a
// written page keeps its bytes; memory that is no view's is left alone.
TEST(FileView, ReleasedReadsComeBackFromTheFileAndWritesStay) {
  rstest::TempDir dir;
  std::string path = dir.file("f.bin");
  std::vector<uint8_t> bytes = rstest::random_bytes(0x40000, 3);
  rstest::write_bytes(path, bytes);
  rs::FileView v;
  ASSERT_TRUE(v.open(path.c_str()));
  volatile uint8_t sum = 0;
  for (size_t i = 0; i < v.size(); i += 0x1000) sum = sum ^ v.data()[i];
  v.data()[0x3000] ^= 0xFF;
  auto resident = [](const void* p) {
    int fd = ::open("/proc/self/pagemap", O_RDONLY);
    uint64_t e = 0;
    off_t at = off_t(reinterpret_cast<uintptr_t>(p) / size_t(::sysconf(_SC_PAGESIZE)) * 8);
    bool ok = fd >= 0 && ::pread(fd, &e, 8, at) == 8;
    if (fd >= 0) ::close(fd);
    return ok && (e >> 63 & 1);
  };
  ASSERT_TRUE(resident(v.data() + 0x8000));
  rs::release_read(v.data() + 0x10, v.size() - 0x10);  // the first page only in part: kept
  EXPECT_TRUE(resident(v.data()));
  EXPECT_FALSE(resident(v.data() + 0x8000));
  EXPECT_TRUE(resident(v.data() + 0x3000));
  EXPECT_EQ(v.data()[0x3000], uint8_t(bytes[0x3000] ^ 0xFF));
  EXPECT_EQ(std::vector<uint8_t>(v.data(), v.data() + v.size()), [&] {
    auto w = bytes;
    w[0x3000] ^= 0xFF;
    return w;
  }());
  std::vector<uint8_t> heap(0x10000, 7);
  rs::release_read(heap.data(), heap.size());
  EXPECT_EQ(heap, std::vector<uint8_t>(0x10000, 7));
  (void)sum;
  // Copies read the file where no write copied a page, memory where one did,
  // across page edges, and map nothing they read from the file.
  rs::release_read(v.data(), v.size());  // the comparison above read it all
  ASSERT_FALSE(resident(v.data() + 0x9000));
  rs::UnmappedReads reads;
  uint8_t got[0x2000];
  reads.copy(v.data() + 0x9ff0, got, 0x20);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 0x20), std::vector<uint8_t>(bytes.begin() + 0x9ff0, bytes.begin() + 0xa010));
  EXPECT_FALSE(resident(v.data() + 0x9000));
  EXPECT_FALSE(resident(v.data() + 0xa000));
  reads.copy(v.data() + 0x2800, got, 0x1000);
  EXPECT_EQ(got[0x800], uint8_t(bytes[0x3000] ^ 0xFF));
  EXPECT_EQ(got[0x7ff], bytes[0x2fff]);
  rs::copy_unmapped(heap.data(), got, 16);
  EXPECT_EQ(got[15], 7);
}

// A UBI partition: the scan of every erase block and the passes over the
// whole UBIFS (open, the edit's export, the journal's free LEBs) read all
// over the image, and each read maps a folio; what they read does not stay.
TEST(Views, UbiOpenEditAndSaveKeepTheImageOutOfMemory) {
  if (!rstest::have_tool("mkfs.ubifs") || !rstest::have_tool("ubinize")) GTEST_SKIP() << "mtd-utils missing";
  rstest::TempDir dir;
  basedir = dir.path();
  std::string tree = dir.file("tree");
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  for (int i = 0; i < 40; ++i)
    rstest::write_bytes(tree + "/f" + std::to_string(i), rstest::random_bytes(1u << 20, uint32_t(100 + i)));
  std::ofstream(dir.file("ubi.ini")) << "[rootfs]\nmode=ubi\nimage=" << dir.file("root.ubifs")
                                     << "\nvol_id=0\nvol_type=dynamic\nvol_name=rootfs\nvol_size=56MiB\n";
  ASSERT_EQ(rstest::run_command("mkfs.ubifs -m 2048 -e 126976 -c 480 -x lzo -r " + tree + " -o " +
                                dir.file("root.ubifs") + " && ubinize -o " + dir.file("part.ubi") +
                                " -p 128KiB -m 2048 -Q 9 " + dir.file("ubi.ini"))
                .status,
            0);
  rstest::FixtureTable t = rstest::sample_table(4);
  rstest::FixturePart p;
  p.name = "ROOT";
  p.start = kBigAt;
  p.total = 64u << 20;
  p.type = FS_UBIFS;
  p.content = rstest::read_bytes(dir.file("part.ubi"));
  t.parts.push_back(p);
  std::string in = dir.file("in.bin"), out = dir.file("out.bin");
  rstest::write_bytes(in, rstest::build_image(t, kBigAt + p.total + 0x4000, 0xC000));
  std::ofstream("/proc/self/clear_refs") << "5";
  long before = vm_kib("VmHWM:");
  if (before < 0) GTEST_SKIP() << "no VmHWM in /proc/self/status";
  {
    Image img(flash_load_bin(in.c_str()));
    ASSERT_NE(img.f, nullptr);
    ASSERT_EQ(flash_put(img.f, "ROOT/rootfs/small", "edited\n", 7, 0644, 0, 0), 0);
    ASSERT_EQ(quiet_save(img.f, out), 0);
    long peak = vm_kib("VmHWM:") - before;
    EXPECT_LT(peak, 32 * 1024) << "open + edit + save of a 64 MiB UBI partition peaked at " << peak << " KiB more";
  }
  Image again(flash_load_bin(out.c_str()));
  ASSERT_NE(again.f, nullptr);
  char buf[16] = {};
  EXPECT_EQ(flash_pread(again.f, "ROOT/rootfs/small", buf, sizeof buf, 0), 7);
  EXPECT_STREQ(buf, "edited\n");
  basedir.assign(1, '.');
  init_table_sect(1);
}

// Partitions that share bytes and a bare file system with room to grow are
// views too: each its own, none copied at open.
TEST(Views, SharedAndBarePartitionsAreTheirOwnViews) {
  rstest::TempDir dir;
  basedir = dir.path();
  rstest::FixtureTable t = rstest::sample_table(4);
  t.parts[3].start = 0xB000;  // DATA shares the end of KERNEL (0x4000-0xC000)
  t.parts[3].total = 0x1000;
  std::vector<uint8_t> bytes = rstest::build_image(t, 0x10000, 0xC000);
  rstest::write_bytes(dir.file("in.bin"), bytes);
  {
    Image img(flash_load_bin(dir.file("in.bin").c_str()));
    ASSERT_NE(img.f, nullptr);
    partition_data *kernel = img.part("KERNEL"), *data = img.part("DATA");
    ASSERT_TRUE(kernel && data);
    EXPECT_TRUE(partition_buf_is_view(img.f, kernel->buf));
    EXPECT_TRUE(partition_buf_is_view(img.f, data->buf));
    const uint8_t before = data->buf[0];
    kernel->buf[0x7000] ^= 0xFF;  // the byte DATA starts with
    EXPECT_EQ(data->buf[0], before) << "an edit of one partition changed the other";
    EXPECT_EQ(std::memcmp(data->buf, &bytes[0xB000], 0x1000), 0);
  }
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "no mksquashfs";
  std::string tree = dir.file("tree"), bare = dir.file("bare.sq");
  ASSERT_EQ(rstest::run_command("mkdir -p " + tree + " && head -c 24000000 /dev/urandom > " + tree +
                                "/blob && mksquashfs " + tree + " " + bare + " -noD -quiet -no-progress >/dev/null")
                .status,
            0);
  std::ofstream("/proc/self/clear_refs") << "5";
  long start = vm_kib("VmHWM:");
  Image img(flash_load_bin(bare.c_str()));
  ASSERT_NE(img.f, nullptr);
  partition_data* p = &img.f->list[0];
  EXPECT_TRUE(partition_buf_is_view(img.f, p->buf));
  EXPECT_GT(p->info->total_size, p->info->used_size) << "no room to grow";
  EXPECT_EQ(p->crc32_passed, 1);
  EXPECT_LT(vm_kib("VmHWM:") - start, 16 * 1024) << "the bare image or its room was copied at open";
  basedir.assign(1, '.');
  init_table_sect(1);
}

}  // namespace
