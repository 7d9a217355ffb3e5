#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <zlib.h>

#include "testutil.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/mapping.h"
#include "util/strutil.h"

namespace {

TEST(Str2Int, NumbersSuffixesAndStops) {
  struct Case {
    const char* in;
    uint64_t out;
  } cases[] = {{"0x1F", 31},       {"64K", 65536},  {"1M", 1 << 20}, {"0x", 0},           {"12abc", 12},
               {"-5", 0},          {"", 0},         {"2G", 2ull << 30}, {"1T", 1ull << 40}, {"0X10000", 0x10000},
               {"0x1FFFFFFFF", 0xFFFFFFFF}, {"3k", 3072}};
  for (const Case& c : cases) EXPECT_EQ(rs::str2int(c.in), c.out) << c.in;
  EXPECT_EQ(rs::str2int(static_cast<const char*>(nullptr)), 0u);
}

TEST(Strings, PathsAndSplitting) {
  EXPECT_EQ(rs::catpath("dir/", "f"), "dir/f");
  EXPECT_EQ(rs::catpath("dir", "/f"), "dir/f");
  EXPECT_EQ(rs::catpath("dir", "f"), "dir/f");
  EXPECT_EQ(rs::catpath("", "f"), "/f");
  EXPECT_STREQ(rs::get_extension("a/b.c/file.bin"), ".bin");
  EXPECT_STREQ(rs::get_extension("a.b/file"), "");
  EXPECT_EQ(rs::rs_basename("C:\\x/y\\z.bin"), "z.bin");
  EXPECT_EQ(rs::strsplit("a;;b;", ";"), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(rs::strsplit("a=b=c", "=", 2), (std::vector<std::string>{"a", "b=c"}));
  char buf[] = " \t x y \r\n";
  EXPECT_STREQ(rs::trim(buf), "x y");
  EXPECT_TRUE(rs::iequals("Table", "TABLE"));
}

TEST(Codecs, EndianAndBitFields) {
  uint8_t b[8];
  rs::store_be32(b, 0x01020304);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(rs::load_be32(b), 0x01020304u);
  rs::store_le32(b, 0x01020304);
  EXPECT_EQ(b[0], 4);
  EXPECT_EQ(rs::load_le32(b), 0x01020304u);
  rs::store_le24(b, 0xABCDEF);
  EXPECT_EQ(rs::load_le24(b), 0xABCDEFu);
  uint64_t w = rs::set_bits(0, 12, 5, 0x3F);  // too wide a value is cut to the field
  EXPECT_EQ(rs::get_bits(w, 12, 5), 0x1Fu);
  EXPECT_EQ(w, 0x1Full << 12);
  EXPECT_EQ(rs::crc32_of("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(rs::crc32_update(rs::crc32_of("1234", 4), "56789", 5), 0xCBF43926u);
  // The parallel form must agree at every split, odd lengths included.
  std::vector<uint8_t> big = rstest::random_bytes((9 << 20) + 3, 5);
  EXPECT_EQ(rs::crc32_parallel(big.data(), big.size()), rs::crc32_of(big.data(), big.size()));
  EXPECT_EQ(rs::crc32_parallel(big.data(), 100), rs::crc32_of(big.data(), 100));
  // A CRC kept up to date from the changed runs only: at the start, inside,
  // at the end, and runs longer than one pass of the helper.
  uint32_t crc = rs::crc32_of(big.data(), big.size());
  for (auto [at, n] : {std::pair<size_t, size_t>{0, 1}, {12345, 9000}, {big.size() - 7, 7}, {4 << 20, 70000}}) {
    std::vector<uint8_t> was(big.begin() + long(at), big.begin() + long(at + n));
    for (size_t i = 0; i < n; ++i) big[at + i] = uint8_t(big[at + i] * 31 + i);
    crc = rs::crc32_replace(crc, big.size(), at, was.data(), big.data() + at, n);
    EXPECT_EQ(crc, rs::crc32_of(big.data(), big.size())) << "run at " << at;
  }
}

// Our CRC against zlib's at every length around the lane and block edges,
// from unaligned starts and from earlier values, and in pieces.
TEST(Crc32, AgreesWithZlibAtEveryLengthStartAndSeed) {
  std::vector<uint8_t> buf = rstest::random_bytes(70000, 9);
  for (size_t off : {0, 1, 7, 13}) {
    // Up to the wide folding's start, and around its 256-byte strides.
    for (size_t n = 0; n <= 1700; n = n == 600 ? 1000 : n + 1)
      for (uint32_t seed : {0u, 0xffffffffu, 0x1234abcdu})
        ASSERT_EQ(rs::crc32_update(seed, buf.data() + off, n), uint32_t(::crc32(seed, buf.data() + off, uInt(n))))
            << "length " << n << " from " << off << " seed " << seed;
    size_t n = buf.size() - off;
    ASSERT_EQ(rs::crc32_of(buf.data() + off, n), uint32_t(::crc32(0, buf.data() + off, uInt(n))));
    uint32_t c = rs::crc32_of(buf.data() + off, 1000);
    ASSERT_EQ(rs::crc32_update(c, buf.data() + off + 1000, n - 1000), rs::crc32_of(buf.data() + off, n));
  }
  std::vector<uint8_t> same(5000, 0xff);
  EXPECT_EQ(rs::crc32_of(same.data(), same.size()), uint32_t(::crc32(0, same.data(), uInt(same.size()))));
}

TEST(Mapping, MapsFilesAndReportsFailures) {
  rstest::TempDir d;
  rstest::write_text(d.file("f"), "hello");
  size_t n = 0;
  void* p = rs::x_fmmap(d.file("f").c_str(), &n);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::memcmp(p, "hello", 5), 0);
  rs::x_munmap(p, n);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(rs::x_fmmap(d.file("missing").c_str(), &n), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(err, std::string(std::strerror(ENOENT)) + ": " + d.file("missing") + "\n");
}

TEST(AtomicWrite, FailureKeepsPreviousFile) {
  rstest::TempDir d;
  std::string target = d.file("out.bin");
  rstest::write_text(target, "previous");
  EXPECT_FALSE(rs::write_file_atomic(target, [](FILE*) { return false; }));
  EXPECT_EQ(rstest::read_text(target), "previous");
  // A write cut short by the file-size limit, in a child so the limit stays there.
  pid_t pid = fork();
  if (pid == 0) {
    struct rlimit rl = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &rl);
    signal(SIGXFSZ, SIG_IGN);
    std::vector<uint8_t> big(1 << 20, 0xAB);
    _exit(rs::write_file_atomic(target, big.data(), big.size()) ? 1 : 0);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the cut write was reported as success";
  EXPECT_EQ(rstest::read_text(target), "previous");
  EXPECT_TRUE(rs::write_file_atomic(target, "new", 3));
  EXPECT_EQ(rstest::read_text(target), "new");
  // Nothing left behind next to the target.
  EXPECT_EQ(rstest::run_command("ls -A " + rstest::shell_quote(d.path()) + " | wc -l").out, "1\n");
}

// Files written together sync their directories once at the end: every
// file is there, nested scopes work, and no descriptor is left open.
TEST(AtomicWrite, FilesWrittenTogetherAreAllThereAndLeaveNoDescriptor) {
  rstest::TempDir d;
  ASSERT_EQ(::mkdir(d.file("sub").c_str(), 0755), 0);
  auto open_fds = [] {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += !e.path().empty();
    return n;
  };
  size_t before = open_fds();
  {
    rs::DirSyncTogether together;
    ASSERT_TRUE(rs::write_file_atomic(d.file("a"), "one", 3));
    ASSERT_TRUE(rs::write_file_atomic(d.file("b"), "two", 3));
    {
      rs::DirSyncTogether inner;
      ASSERT_TRUE(rs::write_file_atomic(d.file("sub/c"), "three", 5));
    }
    ASSERT_TRUE(rs::write_file_atomic(d.file("a"), "again", 5));
  }
  EXPECT_EQ(open_fds(), before);
  EXPECT_EQ(rstest::read_text(d.file("a")), "again");
  EXPECT_EQ(rstest::read_text(d.file("b")), "two");
  EXPECT_EQ(rstest::read_text(d.file("sub/c")), "three");
}

TEST(AtomicWrite, UnwritableDirectoryFails) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  rstest::TempDir d;
  chmod(d.path().c_str(), 0500);
  EXPECT_FALSE(rs::write_file_atomic(d.file("x"), "1", 1));
  chmod(d.path().c_str(), 0700);
}

TEST(Fatal, ExitsWithStatusAfterFlushing) {
  EXPECT_EXIT(
      {
        std::printf("last words");
        rs::rs_exit(8);
      },
      ::testing::ExitedWithCode(8), "");
}

}  // namespace
