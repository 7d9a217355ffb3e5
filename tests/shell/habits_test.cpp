// What users of the outside tools expect: a boot-loader image header read and
// rewritten as its own tools see it, wherever it sits; a dump whose flash.conf
// builds the same image again; -q and -v that change only standard error; and
// a prompt that a failed split does not end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "testutil.h"
#include "util/crc32.h"
#include "util/endian.h"

namespace {

namespace fs = std::filesystem;
using rstest::RunResult;
using rstest::shell_quote;

const std::string kRs = shell_quote(ROMSMITH_BIN);

bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

RunResult rs(const std::string& cmds, const std::string& cwd) {
  return rstest::run_command(kRs + " -c " + shell_quote(cmds), "", cwd);
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) {
    seed = seed * 1103515245u + 12345u;
    b = uint8_t(seed >> 16);
  }
  return v;
}

// Both CRCs and the size of the header at `at` agree with `payload`.
void expect_header_matches(const std::vector<uint8_t>& img, size_t at, const std::vector<uint8_t>& payload) {
  ASSERT_GE(img.size(), at + 64 + payload.size());
  const uint8_t* h = img.data() + at;
  EXPECT_EQ(rs::load_be32(h), 0x27051956u);
  EXPECT_EQ(rs::load_be32(h + 12), payload.size());
  EXPECT_EQ(rs::load_be32(h + 24), rs::crc32_of(payload.data(), payload.size()));
  std::vector<uint8_t> head(h, h + 64);
  std::fill(head.begin() + 4, head.begin() + 8, 0);
  EXPECT_EQ(rs::load_be32(h + 4), rs::crc32_of(head.data(), 64));
  EXPECT_EQ(std::vector<uint8_t>(h + 64, h + 64 + payload.size()), payload);
}

// Where the header sits: a file that is the image, a raw partition of a
// table image, a region a scan of a table-less dump found.
struct Placement {
  const char* name;
  const char* part;  // the partition the header is found in
  size_t at;         // the header's offset in the file
};
void PrintTo(const Placement& p, std::ostream* os) { *os << p.name; }

class UimageHeader : public ::testing::TestWithParam<Placement> {};

TEST_P(UimageHeader, ListsReadsAndReplacesThePayloadAsItsToolsSeeIt) {
  if (!rstest::have_tool("mkimage")) GTEST_SKIP() << "mkimage is missing";
  const Placement& pl = GetParam();
  rstest::TempDir d;
  std::vector<uint8_t> kernel = random_bytes(3000, 7), next = random_bytes(2500, 9);
  rstest::write_bytes(d.file("k.bin"), kernel);
  rstest::write_bytes(d.file("next.bin"), next);
  ASSERT_EQ(rstest::run_command("mkimage -A arm -O linux -T kernel -C gzip -a 0x80008000 -e 0x80008040 -n 'box kernel' "
                                "-d k.bin ui.img >/dev/null",
                                "", d.path())
                .status,
            0);
  std::string name = pl.name;
  if (name == "table") {
    rstest::write_text(d.file("flash.conf"),
                       "table_version 2\ncrc32 true\nKERNEL ui.img true RAW ro 0 0 0 0x10000\n"
                       "TABLE NULL false RAW ro 0 0 0x10000 0x10000\n");
    ASSERT_EQ(rstest::run_command(kRs + " mkflash flash.conf in.img", "", d.path()).status, 0);
  } else if (name == "scanned") {
    // A table-less dump: 0xFF up to the header, then the header, then more.
    std::vector<uint8_t> dump(pl.at, 0xFF), ui = rstest::read_bytes(d.file("ui.img"));
    dump.insert(dump.end(), ui.begin(), ui.end());
    dump.resize((dump.size() + 0xFFFF) / 0x10000 * 0x10000, 0xFF);
    rstest::write_bytes(d.file("in.img"), dump);
  } else {
    fs::copy_file(d.file("ui.img"), d.file("in.img"));
  }
  auto before = rstest::read_bytes(d.file("in.img"));
  std::string p = pl.part;

  RunResult r = rs("open in.img; ls " + p, d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char* line : {"Image Name:   box kernel", "Image Type:   ARM Linux Kernel Image (gzip compressed)",
                           "Load Address: 80008000", "Entry Point:  80008040", "Header CRC: ok", "Data CRC: ok"})
    EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
  r = rs("open in.img; ls -l " + p, d.path());
  EXPECT_TRUE(contains(r.out, " 3000 ")) << r.out;
  EXPECT_TRUE(contains(r.out, p + "/uimage-payload")) << r.out;
  r = rstest::run_command(kRs + " -o in.img get " + p + "/uimage-payload -", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), kernel);

  // Nothing but the data can change.
  r = rs("open in.img; add " + p + "/extra next.bin", d.path());
  EXPECT_NE(r.status, 0);
  r = rs("open in.img; put " + p + "/uimage-payload next.bin; save out.img", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto out = rstest::read_bytes(d.file("out.img"));
  expect_header_matches(out, pl.at, next);
  // The other header fields (time, addresses, codes, name) stay as they were.
  EXPECT_TRUE(std::equal(before.begin() + long(pl.at) + 8, before.begin() + long(pl.at) + 12, out.begin() + long(pl.at) + 8));
  EXPECT_TRUE(std::equal(before.begin() + long(pl.at) + 16, before.begin() + long(pl.at) + 24,
                         out.begin() + long(pl.at) + 16));
  EXPECT_TRUE(std::equal(before.begin() + long(pl.at) + 28, before.begin() + long(pl.at) + 64,
                         out.begin() + long(pl.at) + 28));
  // Bytes before the header are untouched.
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + long(pl.at), out.begin()));
  if (name == "bare") {
    EXPECT_EQ(out.size(), 64 + next.size());
  } else {
    EXPECT_EQ(out.size(), before.size());
  }
  // The boot loader's own tool reads the rewritten header.
  rstest::write_bytes(d.file("region.img"),
                      std::vector<uint8_t>(out.begin() + long(pl.at), out.begin() + long(pl.at + 64 + next.size())));
  r = rstest::run_command("mkimage -l region.img", "", d.path());
  EXPECT_TRUE(contains(r.out, "Data Size:    2500 Bytes")) << r.out;
  EXPECT_TRUE(contains(r.out, "Image Name:   box kernel")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Placements, UimageHeader,
                         ::testing::Values(Placement{"bare", "UIMAGE", 0}, Placement{"table", "KERNEL", 0},
                                           Placement{"scanned", "UI20000", 0x20000}),
                         [](const auto& i) { return std::string(i.param.name); });

// A multi-file image: each part reads and is replaced on its own.
TEST(UimageHeader, PartsOfAMultiFileImage) {
  if (!rstest::have_tool("mkimage")) GTEST_SKIP() << "mkimage is missing";
  rstest::TempDir d;
  std::vector<uint8_t> a = random_bytes(1001, 1), b = random_bytes(2002, 2), c = random_bytes(77, 3);
  rstest::write_bytes(d.file("a"), a);
  rstest::write_bytes(d.file("b"), b);
  rstest::write_bytes(d.file("c"), c);
  ASSERT_EQ(
      rstest::run_command("mkimage -A mips -O linux -T multi -C none -a 0 -e 0 -n multi -d a:b m.img >/dev/null", "",
                          d.path())
          .status,
      0);
  RunResult r = rs("open m.img; ls -l UIMAGE", d.path());
  EXPECT_TRUE(contains(r.out, "UIMAGE/uimage-part0")) << r.out;
  EXPECT_TRUE(contains(r.out, "UIMAGE/uimage-part1")) << r.out;
  r = rstest::run_command(kRs + " -o m.img get UIMAGE/uimage-part1 -", "", d.path());
  EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), b);
  r = rs("open m.img; put UIMAGE/uimage-part0 c; save m2.img", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = rstest::run_command("mkimage -l m2.img", "", d.path());
  EXPECT_TRUE(contains(r.out, "Image 0: 77 Bytes")) << r.out;
  EXPECT_TRUE(contains(r.out, "Image 1: 2002 Bytes")) << r.out;
  r = rstest::run_command(kRs + " -o m2.img get UIMAGE/uimage-part1 -", "", d.path());
  EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.end()), b);
}

// A raw partition without the header stays raw bytes.
TEST(UimageHeader, RawPartitionWithoutOneStaysRaw) {
  rstest::TempDir d;
  rstest::write_bytes(d.file("blob"), random_bytes(5000, 4));
  rstest::write_text(d.file("flash.conf"),
                     "table_version 2\nBOOT blob true RAW ro 0 0 0 0x10000\nTABLE NULL false RAW ro 0 0 0x10000 0x10000\n");
  ASSERT_EQ(rstest::run_command(kRs + " mkflash flash.conf in.img", "", d.path()).status, 0);
  RunResult r = rstest::run_command(kRs + " -o in.img ls --json", "", d.path());
  EXPECT_TRUE(contains(r.out, "\"used_size\":5000,\"reserved_size\":0,\"crc32_enable\":true,\"crc32_passed\":true,"
                            "\"write_protect\":false,\"mtd_id\":0,\"file_system\":\"none\""))
      << r.out;
  EXPECT_NE(rs("open in.img; ls BOOT", d.path()).status, 0);
}

// The flash.conf of a dump builds the dumped image again, byte for byte, for
// each table format, before and after an edit.
class DumpRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(DumpRoundTrip, MkflashOfTheDumpGivesTheImageBack) {
  if (!rstest::have_tool("mksquashfs") || !rstest::have_tool("mkfs.cramfs")) GTEST_SKIP() << "mksquashfs/mkfs.cramfs";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  rstest::write_bytes(d.file("boot.bin"), random_bytes(70000, 5));
  ASSERT_EQ(rstest::run_command("mksquashfs tree sq.img -quiet -noappend && mkfs.cramfs tree cr.img >/dev/null", "",
                                d.path())
                .status,
            0);
  const int v = GetParam();
  std::string conf = "flash_size 0x400000\nblock_size 0x10000\ntable_version " + std::to_string(v) +
                     "\ncrc32 TRUE\n"
                     "BOOT  boot.bin TRUE  RAW      RO 0 0 0x0  0x20000\n"
                     "TABLE NULL     FALSE RAW      RO 0 0 auto 0x10000\n"
                     "ROOT  sq.img   TRUE  SQUASHFS RO 1 3 auto 0x100000\n"
                     "APP   cr.img   TRUE  CRAMFS   RW 0 0 auto 0x100000 0x10000\n"
                     "OTHER NULL     FALSE 5        RW 2 0 auto 0x10000\n"
                     "DATA  NULL     FALSE RAW      RW 0 0 auto auto\n";
  rstest::write_text(d.file("flash.conf"), conf);
  ASSERT_EQ(rstest::run_command(kRs + " mkflash flash.conf a.bin", "", d.path()).status, 0);
  RunResult r = rs("open a.bin; dump d1", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // Built from another directory: the content files are the conf's neighbours.
  r = rstest::run_command(kRs + " mkflash d1/flash.conf b.bin", "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(rstest::read_bytes(d.file("b.bin")), rstest::read_bytes(d.file("a.bin")));

  r = rs("open a.bin; put ROOT/etc/new boot.bin; rm APP/etc/issue; save e.bin; open e.bin; dump d2", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  r = rstest::run_command(kRs + " mkflash flash.conf ../f.bin", "", d.file("d2"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(rstest::read_bytes(d.file("f.bin")), rstest::read_bytes(d.file("e.bin")));
}

INSTANTIATE_TEST_SUITE_P(TableFormats, DumpRoundTrip, ::testing::Values(1, 2, 4),
                         [](const auto& i) { return "v" + std::to_string(i.param); });

// -v and -q speak only on standard error; the data on standard output is the same.
TEST(Verbosity, QuietAndVerboseChangeOnlyStandardError) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs is missing";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  ASSERT_EQ(rstest::run_command("mksquashfs tree root.sq -quiet -noappend", "", d.path()).status, 0);
  RunResult plain = rstest::run_command(kRs + " -o root.sq get SQUASHFS/etc/issue -", "", d.path());
  RunResult verbose = rstest::run_command(kRs + " -v -o root.sq get SQUASHFS/etc/issue -", "", d.path());
  RunResult quiet = rstest::run_command(kRs + " -q -o root.sq get SQUASHFS/etc/issue -", "", d.path());
  EXPECT_EQ(plain.out, "box 1.0\n");
  EXPECT_EQ(verbose.out, plain.out);
  EXPECT_EQ(quiet.out, plain.out);
  EXPECT_TRUE(contains(verbose.err, "open: root.sq: 1 partitions, table none: a bare squashfs image")) << verbose.err;
  EXPECT_TRUE(contains(verbose.err, "open: SQUASHFS at 0x00000000")) << verbose.err;
  EXPECT_EQ(quiet.err, "");
  RunResult saved = rstest::run_command(kRs + " -v -c 'open root.sq; put SQUASHFS/etc/x root.sq; save out.sq'", "", d.path());
  EXPECT_TRUE(contains(saved.err, "save: SQUASHFS: squashfs rebuilt from its edits")) << saved.err;
  EXPECT_EQ(saved.out, "");
  // A command word after -q runs as a one-shot; errors still show.
  RunResult missing = rstest::run_command(kRs + " -q -o root.sq get SQUASHFS/nope -", "", d.path());
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(missing.out, "");
  EXPECT_TRUE(contains(missing.err, "nope")) << missing.err;
}

// A command that fails in a way that ends a one-shot run (a split of a merge
// file that is not there, a cramfs build limit that exits 8) fails at the
// prompt; the session and its edit live on to be saved.
struct Ending {
  const char* name;
  const char* line;  // the command at the prompt
  const char* said;  // its designed message
  int one_shot;      // the status it ends a one-shot run with
};
void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

class PromptOutlives : public ::testing::TestWithParam<Ending> {};

TEST_P(PromptOutlives, AFailedCommandKeepsTheSessionAndItsEdit) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs is missing";
  const Ending& e = GetParam();
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  // A name cramfs cannot store (the host allows 255 bytes, cramfs 252).
  fs::create_directories(d.file("long"));
  rstest::write_text(d.file("long/" + std::string(254, 'n')), "x");
  ASSERT_EQ(rstest::run_command("mksquashfs tree root.sq -quiet -noappend", "", d.path()).status, 0);
  RunResult one = rstest::run_command(kRs + " " + e.line, "", d.path());
  EXPECT_EQ(one.status, e.one_shot) << one.out << one.err;
  std::string input = std::string("open root.sq\nput SQUASHFS/etc/x root.sq\n") + e.line + "\nsave out.sq\nquit\n";
  RunResult r = rstest::run_command(kRs, input, d.path());
  EXPECT_TRUE(contains(r.err, e.said)) << r.err;
  ASSERT_TRUE(fs::exists(d.file("out.sq"))) << r.out << r.err;
  RunResult l = rstest::run_command(kRs + " -o out.sq ls -l SQUASHFS/etc", "", d.path());
  EXPECT_TRUE(contains(l.out, "SQUASHFS/etc/x")) << l.out;
}

INSTANTIATE_TEST_SUITE_P(Commands, PromptOutlives,
                         ::testing::Values(Ending{"split", "split missing.merge", "x_fmmap failed", 1},
                                           Ending{"mkcramfs", "mkcramfs long x.img", "Very long (254 bytes) filename", 8}),
                         [](const auto& i) { return std::string(i.param.name); });

// A root holding device nodes, a fifo and a socket: the loader's notes about
// them go to standard error (none with -q), so the JSON listing parses and a
// file streamed to standard output is exactly its bytes.
class SpecialNodes : public ::testing::TestWithParam<const char*> {};

TEST_P(SpecialNodes, StandardOutputStaysData) {
  const std::string kind = GetParam();
  const char* tool = kind == "cramfs" ? "mkfs.cramfs" : "mksquashfs";
  if (!rstest::have_tool(tool)) GTEST_SKIP() << tool << " is missing";
  if (::geteuid() != 0) GTEST_SKIP() << "device nodes need root";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/dev"));
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  ASSERT_EQ(rstest::run_command("mknod tree/dev/console c 5 1 && mknod tree/dev/sda b 8 0 && mkfifo tree/dev/fifo && "
                                "python3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('tree/dev/sock')\"",
                                "", d.path())
                .status,
            0);
  std::string make = kind == "cramfs" ? "mkfs.cramfs tree root.img >/dev/null" : "mksquashfs tree root.img -quiet -noappend";
  ASSERT_EQ(rstest::run_command(make, "", d.path()).status, 0);
  const std::string part = kind == "cramfs" ? "CRAMFS" : "SQUASHFS";
  for (const char* opt : {"", "-q "}) {
    RunResult r = rstest::run_command(kRs + " " + opt + "-o root.img get " + part + "/etc/issue -", "", d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "box 1.0\n");
    if (*opt) {
      EXPECT_EQ(r.err, "");
    }
    r = rstest::run_command(kRs + " " + opt + "-o root.img ls --json " + part, "", d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    RunResult parsed = rstest::run_command(
        "python3 -c 'import json,sys; d=json.load(sys.stdin); print(sorted(e[\"type\"] for e in d[\"entries\"]))'", r.out);
    EXPECT_EQ(parsed.status, 0) << r.out;
    EXPECT_TRUE(contains(parsed.out, "'blockdev'") && contains(parsed.out, "'chardev'") && contains(parsed.out, "'fifo'") &&
                contains(parsed.out, "'socket'"))
        << parsed.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SpecialNodes, ::testing::Values("cramfs", "squashfs"),
                         [](const auto& i) { return std::string(i.param); });

}  // namespace
