// The shell is driven as users drive it: the real program, lines on its input.
#include <gtest/gtest.h>

#include <cstring>

#include "fixture.h"
#include "testutil.h"

namespace {

rstest::RunResult romsmith(const std::string& args, const std::string& input = "", const std::string& cwd = "") {
  return rstest::run_command(rstest::shell_quote(ROMSMITH_BIN) + " " + args, input, cwd);
}

int count_of(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

TEST(Shell, HelpListsTableInOrder) {
  rstest::RunResult r = romsmith("help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count_of(r.out, "\n"), 45);
  EXPECT_EQ(r.out.rfind("\thelp [cmd]\n\tmkcramfs <directory> <image file>\n", 0), 0u) << r.out;
  // The newer commands follow the original 31, so old prefixes keep their meaning.
  EXPECT_NE(r.out.find("\tsplit <.merge file> [output dir]\n\tclear <partition name>\n\tmkdir [-p] <partition/path>\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\tput [--mode mode] [--owner uid:gid] <partition/path> <local filename>\n"
                       "\tmkromfs <directory> <image file>\n\texport <partition[/dir]> <tar file|->\n"
                       "\timport <tar file|-> <partition[/dir]>\n"
                       "\tdiff [--json] [--times] <image A> <image B> [partition[/path]]\n"
                       "\tmkjffs2 [-e SIZE] [-l|-b] [-n] [-p[SIZE]] [-X|-x COMPR] [--compr NAME] [-U] <directory> <image "
                       "file>\n\tmksquashfs <directory> <image file> [-V 2|3|4] [-be] [-comp NAME] [-b SIZE] [-all-root]\n"
                       "\tmkubi [-m MIN_IO] [-p PEB] [-c MAX_LEBS] [-x COMPR] [-N VOLNAME] [-S VOLSIZE] [options] "
                       "<directory> <image file>\n\tquit/exit/q\n"),
            std::string::npos);
  EXPECT_EQ(romsmith("help ls").out, "\tls <partition>\n");
  rstest::RunResult none = romsmith("help l");
  EXPECT_EQ(none.err, "no such command\n") << "help takes whole words only";
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(romsmith("help a b").out, r.out) << "more than one argument lists everything";
}

TEST(Shell, InteractiveLookupAndQuitWords) {
  for (const char* quit : {"QUIT", "Exit", "q", "  quit  "}) {
    rstest::RunResult r = romsmith("", std::string("help ls\n") + quit + "\nhelp cat\n");
    EXPECT_EQ(r.out, ">> \tls <partition>\n>> ") << quit;
    EXPECT_EQ(r.err, "") << quit;
    EXPECT_EQ(r.status, 0);
  }
  // The prompt and the listing on standard output, each miss on standard error.
  rstest::RunResult r = romsmith("", "Help\n     \nlsx\nh ls\nquit now\n");
  EXPECT_EQ(r.out, ">> >> >> >> \tls <partition>\n>> >> ");
  EXPECT_EQ(r.err, "not found command: Help\nnot found command: lsx\nnot found command: quit\n");
}

TEST(Shell, PrefixesPickTheFirstCommandInTable) {
  // "d" is dump (needs an image), "h" is help, "he\tx" keeps the tab in the word.
  rstest::RunResult r = romsmith("", "h\tx\nhel cat\n");
  EXPECT_EQ(r.out, ">> >> \tcat <filename>\n>> ");
  EXPECT_EQ(r.err, "not found command: h\tx\n");
  // The program path before the command word is dropped at both kinds of separator.
  EXPECT_EQ(romsmith("", "C:\\tools\\help cat\n/usr/bin/help cat\n").out,
            ">> \tcat <filename>\n>> \tcat <filename>\n>> ");
}

TEST(Shell, LongLinesAreReadInPieces) {
  // 254 characters fill one read; what follows is the next command line.
  std::string line = "help" + std::string(250, ' ') + "help cat\n";
  rstest::RunResult r = romsmith("", line);
  EXPECT_EQ(count_of(r.out, "\tquit/exit/q\n"), 1) << r.out;
  EXPECT_NE(r.out.find("\tcat <filename>\n"), std::string::npos);
}

TEST(Shell, StartedUnderCommandName) {
  rstest::TempDir d;
  ASSERT_EQ(rstest::run_command("ln -s " + rstest::shell_quote(ROMSMITH_BIN) + " " + d.file("help")).status, 0);
  rstest::RunResult r = rstest::run_command(rstest::shell_quote(d.file("help")) + " cat");
  EXPECT_EQ(r.out, "\tcat <filename>\n");
  EXPECT_EQ(r.err, "running " + d.file("help") + "\n");
  // An unknown first argument fails instead of starting the prompt on the input.
  r = romsmith("nosuchword", "q\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 2);
}

class ShellImage : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  std::string img;
  rstest::FixtureTable t = rstest::sample_table(4);
  void SetUp() override {
    img = dir.file("flash.bin");
    rstest::write_bytes(img, rstest::build_image(t, 0x10000, 0xC000));
  }
  rstest::RunResult prompt(const std::string& lines) { return romsmith("", lines, dir.path()); }
};

TEST_F(ShellImage, CommandsNeedAnOpenImage) {
  rstest::RunResult r = prompt("ls\nls BOOT\ndump d\ncat ROOT//x\nclear BOOT\n");
  EXPECT_EQ(r.out, ">> >> >> >> >> >> ");
  EXPECT_EQ(r.err,
            "open a file first\n\tusage: ls <partition>\nopen a file first\n\tusage: ls <partition>\n"
            "open a file first\nopen a file first\nopen a file first\n");
  r = romsmith("save " + dir.file("x.bin"));
  EXPECT_EQ(r.err.rfind("open a file first\n", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 254) << "-2 as an exit status";
  // A failed open, and open without a name, leave nothing open.
  r = prompt("open flash.bin\nopen\nls\nopen missing.bin\nls\n");
  EXPECT_NE(r.err.find("\tusage not right, please see help\nopen a file first\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No such file or directory: missing.bin\nopen a file first\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("open a file first"), std::string::npos) << r.out;
}

TEST_F(ShellImage, ListReplaceClearSaveAndDump) {
  rstest::write_text(dir.file("logo.bin"), "new kernel bytes");
  rstest::RunResult r = prompt(
      "open flash.bin\nls\nls NOPE\nls a b\npartition kernel logo.bin\nclear data\nclear nope\n"
      "dumppar KERNEL k.bin\nsave out/saved.bin\nmkdir\n");
  EXPECT_NE(r.out.find("Partition Count     :  4\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("\tusage: ls <partition>\nromsmith: ls: NOPE: no such partition\n"
                       "\tusage not right, please see help\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("clear partition failed, may be this partition is not exist\n"), std::string::npos) << r.err;
  EXPECT_EQ(rstest::read_text(dir.file("k.bin")), "new kernel bytes");
  // Saving into a missing directory fails and says so.
  EXPECT_NE(r.err.find("cmd_flash_save execute error, please check.\n"), std::string::npos) << r.err;
  for (const char* said : {"usage", "clear partition failed", "execute error"})
    EXPECT_EQ(r.out.find(said), std::string::npos) << said << " on standard output:\n" << r.out;
  ASSERT_EQ(rstest::run_command("mkdir " + dir.file("out")).status, 0);
  r = prompt("open flash.bin\npartition KERNEL logo.bin\nsave out/saved.bin\n");
  ASSERT_TRUE(rstest::have_tool("ls"));
  // The table file lands beside the saved image.
  EXPECT_EQ(rstest::read_bytes(dir.file("out/table.bin")).size(), 3072u);
  ASSERT_EQ(rstest::run_command("mkdir " + dir.file("d")).status, 0);
  r = prompt("open out/saved.bin\ndump d\ncat KERNEL/x\n");
  EXPECT_EQ(rstest::read_text(dir.file("d/BIN.KERNEL")), "new kernel bytes");
  EXPECT_NE(r.out.find("ID NAME       FS        CRC32     START          SIZE       USED     USE% PASS\n"),
            std::string::npos)
      << r.out;
}

TEST_F(ShellImage, MkflashMergeSplitAndRelease) {
  rstest::write_bytes(dir.file("boot.bin"), rstest::random_bytes(0x800, 9));
  rstest::write_text(dir.file("flash.conf"),
                     "table_version 4\ncrc32 true\nBOOT boot.bin true RAW ro 0 0 0 0x1000\n"
                     "TABLE NULL false RAW ro 0 0 0x1000 0x1000\n");
  rstest::RunResult r = romsmith("mkflash flash.conf built.bin wrong", "", dir.path());
  EXPECT_EQ(r.err.rfind("Don't want to change filesystem data must using string \"unchanged_fs\" \n", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  r = romsmith("mkflash flash.conf built.bin", "", dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> built = rstest::read_bytes(dir.file("built.bin"));
  ASSERT_EQ(built.size(), 0x2000u);
  EXPECT_EQ(std::vector<uint8_t>(built.begin(), built.begin() + 0x800), rstest::random_bytes(0x800, 9));
  r = romsmith("mkflash none.conf x.bin", "", dir.path());
  EXPECT_EQ(r.err.rfind("error: can't open file \"none.conf\"!\nmkflash error.\n", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");

  r = romsmith("merge flash.conf pack", "", dir.path());
  EXPECT_NE(r.out.find("Merge output file    : pack.merge\n"), std::string::npos) << r.out;
  r = romsmith("split pack.merge unpacked", "", dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(rstest::read_bytes(dir.file("unpacked/boot.bin")), rstest::random_bytes(0x800, 9));

  // The split directory builds the same image again.
  r = romsmith("mkflash unpacked/flash.conf rebuilt.bin", "", dir.path());
  EXPECT_EQ(rstest::read_bytes(dir.file("rebuilt.bin")), built);
  EXPECT_EQ(romsmith("split pack.merge unpacked", "", dir.path()).out,
            "Split output file list:\n    unpacked/flash.conf\n    unpacked/boot.bin\n    unpacked/table.bin\n");

  r = romsmith("release built.bin v1.0-test", "", dir.path());
  EXPECT_EQ(r.status, 0);
  std::vector<uint8_t> rel = rstest::read_bytes(dir.file("built.bin"));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&rel[0x1000 - 512 + 4])), "v1.0-test");
  EXPECT_EQ(romsmith("release built.bin", "", dir.path()).status, 1);
  EXPECT_EQ(romsmith("unrelease built.bin", "", dir.path()).status, 0);
  rel = rstest::read_bytes(dir.file("built.bin"));
  EXPECT_EQ(rel[0x1000 - 512], 0);
  r = romsmith("release missing.bin x", "", dir.path());
  EXPECT_EQ(r.err.rfind(std::string(std::strerror(ENOENT)) + ": missing.bin\nopen a file first\n", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  r = romsmith("version");
  EXPECT_EQ(r.out, "romsmith private version:v2.7.1  --20200901\nromsmith branch version:v1.9-dev --20201016\n");
}

TEST_F(ShellImage, MainFailurePaths) {
  rstest::RunResult r = prompt(
      "open flash.bin\nadd BOOT/x missing.txt\npartition KERNEL missing.bin\n"
      "dumppar NOPE x.bin\ndefaultdb missing.db\nrm nopartition\nmerge none.conf out\n"
      "mkcramfs\ndb2def onlyone\nlocaldbtodef\ndump\n");
  // Eleven commands, twelve prompts, and not one message among them.
  EXPECT_EQ(r.out, ">> >> >> >> >> >> >> >> >> >> >> >> ");
  EXPECT_EQ(r.err,
            std::string(std::strerror(ENOENT)) + ": missing.txt\ncmd_flash_add execute error, please check.\n" +
                std::string(std::strerror(ENOENT)) +
                ": missing.bin\ncmd_partition execute error, please check.\n"
                "error: NOPE not exist!\n"
                "error: tools_default_db: missing.db: No such file or directory, image unchanged\n"
                "cmd_defaultdb execute error, please check.\n"
                "\tusage: rm <flash filename>\n"
                "romsmith: rm: nopartition: not a path of the form PART/path\n"
                "error: can't open file \"none.conf\"!\nerror: cmd_merge(695) flash_load_conf return entry is NULL\n"
                "\tusage not right, please see help\n\tusage not right, please see help\n"
                "\tusage not right, please see help\n\tusage not right, please see help\n");
  r = romsmith("split flash.bin", "", dir.path());
  EXPECT_EQ(r.err.rfind("error: image_split(174) file(flash.bin) is not merge file.\n", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  r = romsmith("unrelease", "", dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("error: arguments not enough, please check\nex. ./romsmith unrelease flash.bin\"\n", 0), 0u)
      << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(ShellImage, InfoAndCompressionSelfTest) {
  rstest::RunResult r = romsmith("info");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("rominfo version: v2.7.1  --20200901 \nrominfo compiler version: gcc version ", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\nrominfo complier para: "), std::string::npos);
  r = prompt("tmpdebug\n");
  EXPECT_EQ(r.out, ">> >> ");
  EXPECT_EQ(r.err.rfind("file(test.bin) get stat failed.\n\tusage: tmpdebug : for tmp debug\n", 0), 0u) << r.err;
  rstest::write_text(dir.file("test.bin"), std::string(5000, 'a'));
  r = prompt("tmpdebug\n");
  EXPECT_NE(r.out.find("file(test.bin) st.st_size=5000\ncompress success, src_len=5000, dst_len="), std::string::npos);
  EXPECT_NE(r.out.find("dst_len=5000.\n"), std::string::npos) << r.out;
  EXPECT_EQ(rstest::read_text(dir.file("a.bin")), std::string(5000, 'a'));
}

TEST_F(ShellImage, ThemeAndDefaultsInACramfsRoot) {
  const std::string root = std::string(ROMSMITH_SOURCE_DIR) + "/examples/rootfs";
  ASSERT_EQ(romsmith("mkcramfs " + rstest::shell_quote(root) + " root.cramfs", "", dir.path()).status, 0);
  rstest::write_text(dir.file("flash.conf"),
                     "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                     "ROOT root.cramfs true CRAMFS ro 0 0 0x10000 0x40000\n"
                     "TABLE NULL false RAW ro 0 0 0x50000 0x10000\n");
  ASSERT_EQ(romsmith("mkflash flash.conf box.bin", "", dir.path()).status, 0);
  rstest::write_text(dir.file("km.xml"), "<keymap name=\"new\"/>\n");
  // The smallest default-data file: no satellites, transponders or programmes.
  const std::string defaults = std::string("Sg8K") + std::string(12, '\0') + "Eg8K";
  rstest::write_text(dir.file("defaults.db"), defaults);
  rstest::RunResult r = prompt(
      "showlang\nopen box.bin\nsetlang eng;fre;;deu\nshowlang\nkeymap km.xml\nkeymap none.xml\n"
      "defaultdb defaults.db\nsave box2.bin\nopen box2.bin\ncat ROOT//dvb/theme/keymap.xml\n"
      "cat ROOT//default_data.db\nshowlang\nsetlang\n");
  EXPECT_EQ(r.out.rfind(">> >> >> \n>> eng\nfre\ndeu\n\n>> ", 0), 0u) << r.out;
  EXPECT_EQ(r.err.rfind("open a file first\n", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("\ncmd_keymap execute error, please check.\n"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find(">> <keymap name=\"new\"/>\n\n>> " + defaults + "\n>> eng\nfre\ndeu\n\n>> >> "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("\tusage: setlang <language list>\n"), std::string::npos) << r.err;
  for (const char* said : {"open a file first", "execute error", "usage"})
    EXPECT_EQ(r.out.find(said), std::string::npos) << said << " on standard output:\n" << r.out;
}

}  // namespace
