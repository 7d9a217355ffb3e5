// The squashfs table beyond the rules every table keeps (tests/contract):
// attributes as mksquashfs stored them (setuid, other owners, devices, hard
// links) and what a rebuilt image shows for a device node's new owner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <tuple>
#include <vector>

#include "core/fs_contract.h"
#include "squashfs/squashfs.h"
#include "testutil.h"

namespace {

using rstest::run_command;
using rstest::shell_quote;

const fs_ops& ops = squashfs_fs_ops;

struct Fs {
  std::vector<uint8_t> bytes;  // outlives the handle, as the core guarantees
  void* h = nullptr;
  ~Fs() {
    if (h) ops.release(h);
  }
};

// A tree with a setuid file of another owner, hard links, a link and devices.
std::unique_ptr<Fs> make_image(rstest::TempDir& d) {
  std::string src = d.file("src");
  mkdir(src.c_str(), 0755);
  mkdir((src + "/etc").c_str(), 0750);
  rstest::write_text(src + "/etc/passwd", "root:x:0:0\n");
  rstest::write_text(src + "/su", "binary");
  rstest::write_text(src + "/etc/a", "linked");
  link((src + "/etc/a").c_str(), (src + "/etc/b").c_str());
  symlink("etc/passwd", (src + "/pw").c_str());
  std::string img = d.file("in.sqfs");
  auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(img) +
                       " -noappend -no-progress -comp gzip -p '/su m 4755 1000 100' -p '/tty c 620 0 5 4 64'");
  EXPECT_EQ(r.status, 0) << r.err;
  auto fs = std::make_unique<Fs>();
  fs->bytes = rstest::read_bytes(img);
  fs->h = ops.load(fs->bytes.data(), uint32_t(fs->bytes.size()), uint32_t(fs->bytes.size()));
  return fs;
}

class SquashfsOps : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rstest::have_tool("mksquashfs") || !rstest::have_tool("unsquashfs")) GTEST_SKIP() << "squashfs tools missing";
    fs = make_image(dir);
    ASSERT_TRUE(fs->h);
  }
  std::string rebuilt_listing() {
    size_t len = 0;
    uint8_t* p = ops.rebuild(fs->h, &len, nullptr);
    EXPECT_TRUE(p);
    if (!p) return "";
    rstest::write_bytes(dir.file("out.sqfs"), std::vector<uint8_t>(p, p + len));
    ops.release_image(p, len);
    // Columns squeezed to one space each.
    std::string out, l = run_command("unsquashfs -lln -d /x " + shell_quote(dir.file("out.sqfs"))).out;
    for (char c : l)
      if (c != ' ' || out.empty() || out.back() != ' ') out += c;
    return out;
  }
  rstest::TempDir dir;
  std::unique_ptr<Fs> fs;
};

TEST_F(SquashfsOps, StatReportsEveryEntryAsStored) {
  std::vector<fs_node> nodes;
  ASSERT_EQ(ops.walk(fs->h, "/", &nodes), 0);
  std::string paths;
  for (auto& n : nodes) paths += n.path + ",";
  EXPECT_EQ(paths, "/,/etc,/etc/a,/etc/b,/etc/passwd,/pw,/su,/tty,");
  fs_attr a;
  ASSERT_EQ(ops.stat(fs->h, "/su", &a), 0);
  EXPECT_EQ(a.mode, 0104755u);
  EXPECT_EQ(a.uid, 1000u);
  EXPECT_EQ(a.gid, 100u);
  EXPECT_EQ(a.size, 6u);
  ASSERT_EQ(ops.stat(fs->h, "/pw", &a), 0);
  EXPECT_EQ(a.mode, 0120777u);
  EXPECT_EQ(a.target, "etc/passwd");
  ASSERT_EQ(ops.stat(fs->h, "/tty", &a), 0);
  EXPECT_EQ(a.mode, 020620u);
  EXPECT_EQ(a.rdev, uint32_t(makedev(4, 64)));
  ASSERT_EQ(ops.stat(fs->h, "/etc/b", &a), 0);
  EXPECT_EQ(a.nlink, 2u);
  ASSERT_EQ(ops.stat(fs->h, "/etc", &a), 0);
  EXPECT_EQ(a.mode, 040750u);
  EXPECT_NE(a.mtime, 0u);
  EXPECT_EQ(ops.remove(fs->h, "/"), -EINVAL);
}

TEST_F(SquashfsOps, ADeviceKeepsItsNumberUnderANewOwner) {
  ASSERT_EQ(ops.chown(fs->h, "/tty", 3, 4), 0);
  ASSERT_EQ(ops.put(fs->h, "/su", "newbinary", 9, nullptr), 0);
  std::string l = rebuilt_listing();
  EXPECT_NE(l.find("crw--w---- 3/4 4, 64"), std::string::npos) << l;
  EXPECT_NE(l.find("-rwsr-xr-x 1000/100 9 "), std::string::npos) << l;
}

}  // namespace

// Large reads decode their blocks on all cores: every kind of block (packed,
// stored because it does not shrink, a hole, a tail in a fragment or in a
// short last block) reads back exactly at any offset and length.
struct BlockCase {
  const char* name;
  const char* options;  // mksquashfs options beyond the compressor
};
void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }

class LargeReads : public ::testing::TestWithParam<std::tuple<BlockCase, const char*>> {};

TEST_P(LargeReads, EveryOffsetAndLengthReadsTheHostBytes) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs missing";
  const BlockCase& c = std::get<0>(GetParam());
  const std::string comp = std::get<1>(GetParam());
  rstest::TempDir d;
  std::string src = d.file("src");
  mkdir(src.c_str(), 0755);
  // Text that packs, noise that is stored as it is, and zeros that become holes.
  std::vector<uint8_t> data;
  uint32_t seed = 5;
  for (int b = 0; b < 11; ++b)
    for (size_t i = 0; i < 65536; ++i) {
      seed = seed * 1103515245u + 12345u;
      data.push_back(b % 3 == 0 ? uint8_t('a' + i % 23) : b % 3 == 1 ? uint8_t(seed >> 16) : 0);
    }
  data.resize(data.size() - 12345);  // a tail shorter than a block
  rstest::write_bytes(src + "/big", data);
  std::string img = d.file("in.sqfs");
  auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(img) + " -noappend -no-progress -b 65536 -comp " +
                       comp + " " + c.options);
  ASSERT_EQ(r.status, 0) << r.err;
  Fs fs;
  fs.bytes = rstest::read_bytes(img);
  fs.h = ops.load(fs.bytes.data(), uint32_t(fs.bytes.size()), uint32_t(fs.bytes.size()));
  ASSERT_TRUE(fs.h);
  std::vector<uint8_t> got(data.size() + 100);
  for (uint64_t off : {uint64_t(0), uint64_t(1), uint64_t(65536), uint64_t(100000), uint64_t(data.size() - 200000)})
    for (size_t n : {size_t(131072), size_t(200001), size_t(1) << 20, data.size()}) {
      long long rd = ops.pread(fs.h, "/big", got.data(), n, off);
      size_t expect = size_t(std::min<uint64_t>(n, data.size() - off));
      ASSERT_EQ(rd, (long long)expect) << off << "+" << n;
      ASSERT_TRUE(std::equal(got.begin(), got.begin() + long(expect), data.begin() + long(off))) << off << "+" << n;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LargeReads,
    ::testing::Combine(::testing::Values(BlockCase{"fragment_tail", ""}, BlockCase{"block_tail", "-no-fragments"},
                                         BlockCase{"no_holes", "-no-sparse"}),
                       ::testing::Values("gzip", "xz", "lz4", "zstd")),
    [](const auto& i) { return std::string(std::get<0>(i.param).name) + "_" + std::get<1>(i.param); });
