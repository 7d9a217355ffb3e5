// Files without a partition table: a bare file system opens as one partition
// and saves back bare, a zlibmode image reopens, a flash dump is scanned for
// file systems and uImage headers, and anything else says why.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using rstest::RunResult;
using rstest::shell_quote;

const std::string kRs = shell_quote(ROMSMITH_BIN);

RunResult rs(const std::string& cmds, const std::string& cwd) {
  return rstest::run_command(kRs + " -c " + shell_quote(cmds), "", cwd);
}

void make_tree(const rstest::TempDir& d) {
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  rstest::write_text(d.file("tree/etc/motd"), "motd\n");
  rstest::write_text(d.file("new.txt"), "new content\n");
}

struct Bare {
  const char* name;   // the partition's name: the kind
  const char* make;   // builds bare.img from tree/
  const char* check;  // lists out.img with an outside reader ("" : ours)
  const char* tool;
};
void PrintTo(const Bare& b, std::ostream* os) { *os << b.name; }

class BareImage : public ::testing::TestWithParam<Bare> {};

TEST_P(BareImage, OpensAsOnePartitionAndSavesBackBare) {
  const Bare& b = GetParam();
  if (b.tool && !rstest::have_tool(b.tool)) GTEST_SKIP() << b.tool << " is missing";
  rstest::TempDir d;
  make_tree(d);
  std::string make = b.make;
  if (make.find("ROMSMITH") != std::string::npos) make.replace(make.find("ROMSMITH"), 8, kRs);
  ASSERT_EQ(rstest::run_command(make, "", d.path()).status, 0);
  auto before = rstest::read_bytes(d.file("bare.img"));

  RunResult r = rs("open bare.img; ls", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(std::string("1  ") + b.name), std::string::npos) << r.out;
  // Unedited, the save gives the file back as it was; no table file appears.
  ASSERT_EQ(rs("open bare.img; save same.img", d.path()).status, 0);
  EXPECT_EQ(rstest::read_bytes(d.file("same.img")), before);
  EXPECT_FALSE(fs::exists(d.file("table.bin")));

  std::string p = b.name;
  r = rs("open bare.img; add " + p + "/etc/new new.txt; rm " + p + "/etc/motd; save out.img", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = rs("open out.img; cat " + p + "/etc/new; ls " + p, d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("new content\n", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("motd"), std::string::npos) << r.out;
  if (*b.check) {
    r = rstest::run_command(b.check, "", d.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("etc/new"), std::string::npos) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BareImage,
    ::testing::Values(Bare{"SQUASHFS", "mksquashfs tree bare.img -noappend -quiet -comp xz", "unsquashfs -lln out.img",
                           "mksquashfs"},
                      Bare{"CRAMFS", "mkfs.cramfs tree bare.img", "fsck.cramfs --extract=x out.img && find x", "mkfs.cramfs"},
                      Bare{"MINIFS", "ROMSMITH mkminifs tree bare.img 0x100000", "", nullptr},
                      Bare{"ROMFS", "genromfs -d tree -f bare.img", "", "genromfs"}),
    [](const ::testing::TestParamInfo<Bare>& i) { return std::string(i.param.name); });

// mkflash's zlibmode output opens again, and a save of it stays zlibmode.
TEST(FoundLayouts, ZlibmodeImageReopensAndStaysZlibmode) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP();
  rstest::TempDir d;
  make_tree(d);
  ASSERT_EQ(rstest::run_command("mksquashfs tree root.img -noappend -quiet", "", d.path()).status, 0);
  rstest::write_text(d.file("flash.conf"),
                     "table_version 4\nzlibmode true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                     "ROOT root.img true SQUASHFS rw 0 0 0x10000 0x100000\n"
                     "TABLE NULL false RAW ro 0 0 0x110000 0x10000\n");
  RunResult r = rstest::run_command(kRs + " mkflash flash.conf z.bin", "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = rs("open z.bin; cat ROOT/etc/issue; put ROOT/etc/issue new.txt; save z2.bin", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("box 1.0\n") != std::string::npos, true) << r.out;
  auto z2 = rstest::read_bytes(d.file("z2.bin"));
  ASSERT_GT(z2.size(), 8u);
  EXPECT_EQ(std::string(z2.begin(), z2.begin() + 8), "zlibmode");
  r = rs("open z2.bin; cat ROOT/etc/issue", d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("new content\n", 0), 0u) << r.out;
}

// A dump with a uImage kernel at 0 and a squashfs at 0x40000: both found; an
// edit of the squashfs that fits its extent changes no byte outside it.
TEST(FoundLayouts, ScannedDumpEditsInPlace) {
  if (!rstest::have_tool("mksquashfs") || !rstest::have_tool("mkimage")) GTEST_SKIP();
  rstest::TempDir d;
  make_tree(d);
  rstest::write_bytes(d.file("kernel"), std::vector<uint8_t>(20000, 0x11));
  ASSERT_EQ(rstest::run_command("mkimage -A mips -O linux -T kernel -C none -a 0x80000000 -e 0x80000000 -n box "
                                "-d kernel ui.img >/dev/null && mksquashfs tree root.img -noappend -quiet",
                                "", d.path())
                .status,
            0);
  std::vector<uint8_t> dump(0x80000, 0xFF);
  auto ui = rstest::read_bytes(d.file("ui.img")), sq = rstest::read_bytes(d.file("root.img"));
  std::copy(ui.begin(), ui.end(), dump.begin());
  std::copy(sq.begin(), sq.end(), dump.begin() + 0x40000);
  // Room in the squashfs's extent: it was padded to 4 KiB, and the edit is small.
  rstest::write_bytes(d.file("dump.bin"), dump);
  RunResult r = rs("open dump.bin; ls", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("UI0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("SQ40000"), std::string::npos) << r.out;
  r = rs("open dump.bin; rm SQ40000/etc/motd; chmod 0600 SQ40000/etc/issue; save out.bin", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto out = rstest::read_bytes(d.file("out.bin"));
  ASSERT_EQ(out.size(), dump.size());
  EXPECT_TRUE(std::equal(dump.begin(), dump.begin() + 0x40000, out.begin())) << "bytes before the squashfs changed";
  EXPECT_TRUE(std::equal(dump.begin() + 0x40000 + sq.size(), dump.end(), out.begin() + 0x40000 + sq.size()))
      << "bytes after the squashfs changed";
  rstest::write_bytes(d.file("part.img"), std::vector<uint8_t>(out.begin() + 0x40000, out.begin() + 0x40000 + sq.size()));
  r = rstest::run_command("unsquashfs -lln part.img", "", d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("-rw------- 0/0"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("motd"), std::string::npos) << r.out;
  // What does not fit the found extent is refused and nothing is written.
  rstest::write_bytes(d.file("big"), rstest::random_bytes(200000, 3));
  r = rs("open dump.bin; add SQ40000/big big; save out2.bin", d.path());
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(fs::exists(d.file("out2.bin")));
}

TEST(FoundLayouts, NothingKnownSaysWhatWasTried) {
  rstest::TempDir d;
  rstest::write_bytes(d.file("junk.bin"), rstest::random_bytes(0x8000, 9));
  RunResult r = rs("open junk.bin", d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE((r.out + r.err).find("no partition table, no file system found (scanned 64 offsets)"), std::string::npos)
      << r.out << r.err;
}

}  // namespace
