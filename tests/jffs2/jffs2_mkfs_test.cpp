// mkjffs2: images of a host directory that jffs2dump accepts and that hold the
// tree they were made of, in the layout the options asked for.
#include <gtest/gtest.h>

#include "jffs2_support.h"

namespace {

using rstest::run_command;
using rstest::shell_quote;

struct Opt {
  const char* label;
  const char* args;
  bool big, cleanmarkers;
  uint32_t erase;
  const char* compr;
  uint64_t size;  // 0: not padded; 1: padded to the erase block
  bool squashed;
};
void PrintTo(const Opt& o, std::ostream* os) { *os << o.label; }
const Opt kOpts[] = {
    {"default", "", false, true, 0x10000, "zlib", 0, false},
    {"be_16k", "-b -e 16KiB", true, true, 0x4000, "zlib", 0, false},
    {"nocm_lzo_pad", "-n -e 64KiB --compr lzo -p", false, false, 0x10000, "lzo", 1, false},
    {"rtime_padded_to", "-x zlib -e 0x4000 -p0x100000", false, true, 0x4000, "rtime", 0x100000, false},
    {"enable_lzo", "-X lzo -b -n -e 128KiB", true, false, 0x20000, "lzo", 0, false},
    {"plain_squashed", "--compr none -U", false, true, 0x10000, "zlib", 0, true},
};

class Mkjffs2 : public ::testing::TestWithParam<Opt> {};

TEST_P(Mkjffs2, MakesWhatJffs2dumpAcceptsHoldingTheHostTree) {
  const Opt& o = GetParam();
  if (!rstest::have_tool("jffs2dump")) GTEST_SKIP() << "jffs2dump is not installed";
  rstest::TempDir dir;
  jt::HostTree want = jt::make_tree(dir.file("src"));
  std::string img = dir.file("out.img");
  auto r = run_command(shell_quote(ROMSMITH_BIN) + " mkjffs2 " + o.args + " " + shell_quote(dir.file("src")) + " " +
                       shell_quote(img));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(jt::dump_complaints(img, o.big), "");
  auto bytes = rstest::read_bytes(img);
  if (o.size == 1) EXPECT_EQ(bytes.size() % o.erase, 0u);
  if (o.size > 1) EXPECT_EQ(bytes.size(), o.size);
  jt::Part p(bytes, 0x200000);
  ASSERT_TRUE(p.fs);
  if (o.squashed)
    for (auto& [path, l] : want.lines) {
      size_t owner = l.find(' '), rest = l.find(' ', owner + 1);
      l = l.substr(0, owner) + " 0:0" + (rest == std::string::npos ? "" : l.substr(rest));
    }
  jt::HostTree got = jt::tree_of(*p.fs);
  EXPECT_EQ(got.lines, want.lines);
  EXPECT_EQ(jt::differing(got.files, want.files), "");
  EXPECT_EQ(p.fs->image_layout().big_endian, o.big);
  EXPECT_EQ(p.fs->image_layout().cleanmarkers, o.cleanmarkers);
  EXPECT_EQ(p.fs->image_layout().erase_size, o.erase) << p.fs->describe();
  EXPECT_STREQ(rs::jffs2::compr_name(p.fs->image_layout().compr), o.compr);
  rs::jffs2::attr a, b;
  ASSERT_EQ(p.fs->stat("/etc/text", &a), 0);
  ASSERT_EQ(p.fs->stat("/bin/text-too", &b), 0);
  EXPECT_EQ(a.ino, b.ino) << "a hard link stays one inode";
}

INSTANTIATE_TEST_SUITE_P(Options, Mkjffs2, ::testing::ValuesIn(kOpts),
                         [](const auto& i) { return std::string(i.param.label); });

TEST(Mkjffs2Refusals, BadOptionsAndMissingDirectoriesSayWhy) {
  rstest::TempDir dir;
  struct Case {
    std::string args, says;
  } cases[] = {
      {"-e 3000 " + dir.path() + " x.img", "invalid erase block size '3000'"},
      {"-X brotli " + dir.path() + " x.img", "unknown compressor 'brotli'"},
      {dir.file("none") + " x.img", "Not a directory"},
      {"-p4KiB -e 4KiB " + dir.path() + " x.img", ""},
  };
  rstest::write_bytes(dir.file("f"), rstest::random_bytes(20000, 3));
  for (auto& c : cases) {
    auto r = run_command(shell_quote(ROMSMITH_BIN) + " mkjffs2 " + c.args, "", dir.path());
    if (c.says.empty()) {
      EXPECT_NE(r.status, 0) << c.args;
      EXPECT_NE(r.err.find("more than the pad size"), std::string::npos) << r.err;
    } else {
      EXPECT_NE(r.status, 0) << c.args;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << ": " << r.err;
    }
  }
}

}  // namespace
