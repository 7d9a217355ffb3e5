// What the listings say about room and names, and how a save that does not
// fit fails: driven through the real program, the JSON read by python3.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "fixture.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using rstest::RunResult;
using rstest::shell_quote;

const std::string kRs = shell_quote(ROMSMITH_BIN);

bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

RunResult rs_in(const rstest::TempDir& d, const std::string& script) {
  return rstest::run_command(kRs + " -c " + shell_quote(script), "", d.path());
}

// Runs `python` over the JSON `ls --json ARGS` prints (after what the commands
// before it print); its output is the result.
RunResult json_query(const rstest::TempDir& d, const std::string& script, const std::string& python) {
  rstest::write_text(d.file("q.py"),
                     "import json, sys\nt = sys.stdin.read()\nd = json.loads(t[0 if t.startswith('{') else "
                     "t.index('\\n{') + 1:])\n" +
                         python);
  return rstest::run_command(kRs + " -c " + shell_quote(script) + " | python3 q.py", "", d.path());
}

enum class Fs { cramfs, squashfs };
const char* fs_name(Fs f) { return f == Fs::cramfs ? "cramfs" : "squashfs"; }

// A flash image with a 2 MiB ROOT holding the file system of host tree d/tree.
void make_flash(const rstest::TempDir& d, Fs f) {
  RunResult r = f == Fs::cramfs
                    ? rstest::run_command(kRs + " mkcramfs tree root.img", "", d.path())
                    : rstest::run_command("mksquashfs tree root.img -noappend -quiet -comp gzip", "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  rstest::write_text(d.file("flash.conf"), std::string("table_version 4\ncrc32 true\n"
                                                       "BOOT NULL true RAW ro 0 0 0 0x10000\n"
                                                       "ROOT root.img true ") +
                                               (f == Fs::cramfs ? "CRAMFS" : "SQUASHFS") +
                                               " rw 0 0 0x10000 0x200000\n"
                                               "TABLE NULL false RAW ro 0 0 0x210000 0x10000\n");
  r = rstest::run_command(kRs + " mkflash flash.conf flash.bin", "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

class Fit : public ::testing::TestWithParam<Fs> {};

// A rebuild that outgrows its partition fails the save with the sizes in MiB,
// leaves the target as it was, and the listings agree with the message; once
// the edit is undone, the room measured by a trial build is what the save gives.
TEST_P(Fit, OutgrownRebuildFailsTheSaveAndTheListingsMeasureTheRoom) {
  const Fs f = GetParam();
  if (f == Fs::squashfs && !rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
  if (!rstest::have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "hello box\n");
  make_flash(d, f);
  rstest::write_bytes(d.file("big.bin"), rstest::random_bytes(3 * 1024 * 1024 + 20000, 7));
  rstest::write_text(d.file("small.txt"), "small\n");
  rstest::write_text(d.file("out.bin"), "old\n");

  RunResult r = rs_in(d, "open flash.bin; add ROOT/big big.bin; save out.bin");
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(contains(r.err, "error: partition_update(121) partition_size(2097152) < new size(")) << r.err;
  EXPECT_FALSE(contains(r.out, "error:")) << r.out;
  std::smatch m;
  std::regex line(std::string("error: ROOT: rebuilt ") + fs_name(f) +
                  " needs ([0-9]+\\.[0-9][0-9]) MiB, the partition holds 2\\.00 MiB\n");
  ASSERT_TRUE(std::regex_search(r.err, m, line)) << r.err;
  double need = std::stod(m[1]);
  EXPECT_GT(need, 3.0);
  EXPECT_LT(need, 3.3);
  EXPECT_EQ(rstest::read_text(d.file("out.bin")), "old\n");
  for (const auto& e : fs::directory_iterator(d.path()))
    EXPECT_FALSE(contains(e.path().filename().string(), "out.bin.")) << "left behind: " << e.path();

  // Not saved, the edit is measured: the room is short by what the message said.
  r = json_query(d, "open flash.bin; add ROOT/big big.bin; ls --json",
                 "p = [p for p in d['partitions'] if p['name'] == 'ROOT'][0]\nprint(p['free_size'])\n");
  ASSERT_EQ(r.status, 0) << r.err;
  long long short_by = -std::stoll(r.out);
  EXPECT_GT(short_by, 0) << r.out;
  EXPECT_NEAR(need, (2097152.0 + double(short_by)) / 1048576.0, 0.011);
  r = rs_in(d, "open flash.bin; add ROOT/big big.bin; ls -l ROOT");
  EXPECT_TRUE(contains(r.out, "ROOT: ")) << r.out;
  EXPECT_TRUE(contains(r.out, " MiB over the 2.00 MiB partition\n")) << r.out;

  // An edit that fits: the room a trial build promises is the room the saved image has.
  r = json_query(d, "open flash.bin; add ROOT/etc/small small.txt; ls --json ROOT; save new.bin",
                 "print(d['schema'], d['free_size'])\n");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string promised = r.out.substr(r.out.find(' ') + 1);
  r = json_query(d, "open new.bin; ls --json",
                 "p = [p for p in d['partitions'] if p['name'] == 'ROOT'][0]\n"
                 "print(d['schema'], p['free_size'], 2097152 - p['used_size'])\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2 " + promised.substr(0, promised.size() - 1) + " " + promised);
  r = rs_in(d, "open new.bin; get ROOT/etc/small -");
  EXPECT_EQ(r.out, "small\n");
}

INSTANTIATE_TEST_SUITE_P(Shell, Fit, ::testing::Values(Fs::cramfs, Fs::squashfs),
                         [](const ::testing::TestParamInfo<Fs>& i) { return std::string(fs_name(i.param)); });

// ---- the table: format, where it was found, free room ---------------------------

struct Where {
  int format;
  size_t image_size, table_at;
};

class TableJson : public ::testing::TestWithParam<Where> {};

TEST_P(TableJson, GivesTheFormatTheOffsetAndTheRoomOfEachPartition) {
  if (!rstest::have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  const Where w = GetParam();
  rstest::TempDir d;
  rstest::FixtureTable t = rstest::sample_table(w.format);
  rstest::write_bytes(d.file("f.bin"), rstest::build_image(t, w.image_size, w.table_at));
  RunResult r = json_query(d, "open f.bin; ls --json",
                           "print(d['schema'], d['table_format'], d['table_offset'])\n"
                           "for p in d['partitions']: print(p['name'], p['free_size'])\n");
  ASSERT_EQ(r.status, 0) << r.err;
  // The sample's partitions have no reserved area: free is what their content leaves.
  EXPECT_EQ(r.out, "2 v" + std::to_string(w.format) + " " + std::to_string(w.table_at) + "\nBOOT " +
                       std::to_string(0x4000 - 0x1234) + "\nKERNEL " + std::to_string(0x8000 - 0x7000) + "\nTABLE " +
                       std::to_string(0x1000) + "\nDATA " + std::to_string(0x3000 - 0x10) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Shell, TableJson,
                         ::testing::Values(Where{1, 0x10000, 0xC000}, Where{2, 0x10000, 0xC000},
                                           Where{4, 0x10000, 0xC000}, Where{4, 0x12000, 0x11000},
                                           Where{2, 0x12000, 0x10200}));

// ---- names that are not UTF-8 ----------------------------------------------------

// A stored byte 0xE9 and a stored U+00E9 come out as different names, and the
// bytes of the bad one are there to be had.
TEST(NamesJson, BytesThatAreNotUtf8AreReplacedAndGivenInHex) {
  if (!rstest::have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree"));
  rstest::write_text(d.file("tree/caf\xe9"), "latin1\n");
  rstest::write_text(d.file("tree/caf\xc3\xa9"), "utf8\n");
  fs::create_symlink("to-\xff", d.file("tree/link"));
  make_flash(d, Fs::cramfs);
  RunResult r = json_query(d, "open flash.bin; ls --json ROOT",
                           "for e in d['entries']:\n"
                           "    print(ascii(e['name']), e.get('name_bytes'), e.get('path_bytes'),"
                           " ascii(e.get('target')), e.get('target_bytes'))\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "'' None None None None\n"
            "'caf\\xe9' None None None None\n"
            "'caf\\ufffd' 636166e9 2f636166e9 None None\n"
            "'link' None None 'to-\\ufffd' 746f2dff\n");

  // A partition name from the table, through the same rule.
  rstest::FixtureTable t = rstest::sample_table(4);
  t.parts[3].name = "D\xe9\xc3";
  rstest::write_bytes(d.file("t.bin"), rstest::build_image(t, 0x10000, 0xC000));
  r = json_query(d, "open t.bin; ls --json",
                 "for p in d['partitions']: print(ascii(p['name']), p.get('name_bytes'))\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "'BOOT' None\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "'D\\ufffd\\ufffd' 44e9c3\n")) << r.out;
}

// `ls -l` heads the entries of a whole partition with its free room; a listing
// below the root is the entries alone.
TEST(RoomLine, WholePartitionListingSaysTheFreeRoom) {
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "hello box\n");
  make_flash(d, Fs::cramfs);
  long long used = (long long)fs::file_size(d.file("root.img"));
  char want[96];
  std::snprintf(want, sizeof want, "ROOT: %.2f MiB free of 2.00 MiB\n", double(0x200000 - used) / 1048576.0);
  for (const char* ls : {"ls -l ROOT", "ls -l"}) {
    RunResult r = rs_in(d, std::string("open flash.bin; ") + ls);
    ASSERT_EQ(r.status, 0) << ls << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), want) << ls;
    EXPECT_TRUE(contains(r.out, " ROOT/etc/issue\n")) << r.out;
  }
  RunResult r = rs_in(d, "open flash.bin; ls -l ROOT/etc");
  EXPECT_FALSE(contains(r.out, "free of")) << r.out;
}

}  // namespace

namespace {

// The open's CRC check runs on while the first edits do: what a listing
// after them says of each partition, and the CRCs a save writes, are those
// of the file as opened (a partition damaged on disk shows it), for the
// edited file system and a raw partition replaced meanwhile. The image is
// large enough for the check to run on a thread of its own beside the save.
TEST(CrcCheck, ListingsAfterEditsAndTheSavedTableSayWhatTheFileHeld) {
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "hello\n");
  rstest::write_bytes(d.file("tree/blob"), rstest::random_bytes(1u << 20, 5));
  make_flash(d, Fs::squashfs);
  rstest::write_bytes(d.file("boot.bin"), rstest::random_bytes(40000, 6));
  std::string conf = rstest::read_text(d.file("flash.conf"));
  conf.replace(conf.find("BOOT NULL"), 9, "BOOT boot.bin");
  rstest::write_bytes(d.file("data.bin"), rstest::random_bytes(6u << 20, 7));
  conf += "DATA data.bin true RAW ro 0 0 0x220000 0x600000\n";
  rstest::write_text(d.file("flash.conf"), conf);
  ASSERT_EQ(rstest::run_command(kRs + " mkflash flash.conf flash.bin", "", d.path()).status, 0);
  // A byte of BOOT changed behind the table's back.
  std::vector<uint8_t> img = rstest::read_bytes(d.file("flash.bin"));
  img[0x100] ^= 0xFF;
  rstest::write_bytes(d.file("bad.bin"), img);
  rstest::write_text(d.file("new"), "new file\n");
  const std::string query =
      "print(' '.join('%s=%s' % (p['name'], p['crc32_passed']) for p in d['partitions']))\n";
  RunResult r = json_query(d, "open bad.bin; add ROOT/etc/new new; mkdir ROOT/d; ls ROOT; ls --json", query);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "BOOT=False")) << r.out;
  EXPECT_TRUE(contains(r.out, "ROOT=True")) << r.out;
  EXPECT_TRUE(contains(r.out, "DATA=True")) << r.out;
  // Saved: the edited ROOT's CRC is that of its new bytes; BOOT's stored
  // value is kept as the table had it, and still fails.
  r = rs_in(d, "open bad.bin; add ROOT/etc/new new; save out.bin");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = json_query(d, "open out.bin; ls --json", query);
  EXPECT_TRUE(contains(r.out, "BOOT=False")) << r.out;
  EXPECT_TRUE(contains(r.out, "ROOT=True")) << r.out;
  EXPECT_TRUE(contains(r.out, "DATA=True")) << r.out;
  r = rstest::run_command(kRs + " -o out.bin cat ROOT/etc/new", "", d.path());
  EXPECT_TRUE(contains(r.out, "new file")) << r.out;
  // An image closed, or left at the end, before anything asked for its CRCs
  // drops the rest of the check; the next image's check is its own.
  r = json_query(d, "open bad.bin; ls ROOT; cat ROOT/etc/issue; open out.bin; ls ROOT; open flash.bin; ls --json",
                 query);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "BOOT=True")) << r.out;
  EXPECT_TRUE(contains(r.out, "DATA=True")) << r.out;
  r = rs_in(d, "open bad.bin; ls ROOT");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "issue")) << r.out;
}

}  // namespace
