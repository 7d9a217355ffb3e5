// diff of two images through the real program: the edits a script made are
// listed exactly, in text and JSON, across file-system kinds, with its exit
// statuses and refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <vector>

#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using rstest::RunResult;
using rstest::shell_quote;

RunResult romsmith(const std::string& args, const std::string& cwd) {
  return rstest::run_command(shell_quote(ROMSMITH_BIN) + " " + args, "", cwd);
}

enum class Fs { cramfs, squashfs, minifs };
const char* fs_word(Fs f) { return f == Fs::cramfs ? "CRAMFS" : f == Fs::squashfs ? "SQUASHFS" : "MINIFS"; }

// A directory with a small root tree, a boot blob and the images built from them.
struct Work {
  rstest::TempDir dir;
  Work() {
    for (const char* d : {"tree/etc", "tree/bin"}) fs::create_directories(dir.file(d));
    rstest::write_text(dir.file("tree/etc/issue"), "hello box\n");
    rstest::write_text(dir.file("tree/etc/passwd"), "root:x:0:0::/:/bin/sh\n");
    rstest::write_text(dir.file("tree/bin/old"), "#!/bin/sh\necho old\n");
    rstest::write_bytes(dir.file("tree/bin/tool"), rstest::random_bytes(300000, 7));
    ::chmod(dir.file("tree/bin/tool").c_str(), 0755);
    fs::create_symlink("busybox", dir.file("tree/bin/sh"));
    rstest::write_bytes(dir.file("boot.bin"), rstest::random_bytes(3000, 1));
  }
  // The ROOT image of `tree` in `f`; empty on success, else why not.
  std::string root_image(Fs f, const std::string& tree, const std::string& out) {
    RunResult r;
    if (f == Fs::cramfs) r = romsmith("mkcramfs " + tree + " " + out, dir.path());
    if (f == Fs::squashfs) {
      if (!rstest::have_tool("mksquashfs")) return "mksquashfs is not installed";
      r = rstest::run_command("mksquashfs " + tree + " " + out + " -noappend -quiet -comp xz", "", dir.path());
    }
    if (f == Fs::minifs) r = romsmith("mkminifs " + tree + " " + out + " 0x200000", dir.path());
    return r.status == 0 ? "" : r.out + r.err;
  }
  // A flash image of BOOT (raw), ROOT and TABLE; `extra` goes into the flash.conf.
  bool flash(const std::string& out, Fs f, const std::string& root, const std::string& boot = "boot.bin",
             const std::string& extra = "", int boot_version = 0, int table_version = 4,
             const std::string& more_parts = "") {
    char conf[1024];
    std::snprintf(conf, sizeof conf,
                  "table_version %d\ncrc32 true\n%sBOOT %s true RAW ro 0 %d 0 0x10000\n"
                  "ROOT %s true %s rw 0 0 0x10000 0x200000\nTABLE NULL false RAW ro 0 0 0x210000 0x10000\n%s",
                  table_version, extra.c_str(), boot.c_str(), boot_version, root.c_str(), fs_word(f),
                  more_parts.c_str());
    rstest::write_text(dir.file(out + ".conf"), conf);
    RunResult r = romsmith("mkflash " + out + ".conf " + out, dir.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r.status == 0;
  }
  RunResult diff(const std::string& args) { return romsmith("diff " + args, dir.path()); }
};

// The lines of `text` without those that follow from a rebuild's size.
std::string without_sizes(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("ROOT: used_size ", 0) != 0) out += line + "\n";
  return out;
}

class Diff : public ::testing::TestWithParam<Fs> {
 protected:
  Work w;
  void SetUp() override {
    std::string why = w.root_image(GetParam(), "tree", "root.img");
    if (why.find("not installed") != std::string::npos) GTEST_SKIP() << why;
    ASSERT_EQ(why, "");
    ASSERT_TRUE(w.flash("a.bin", GetParam(), "root.img"));
  }
  // A's owner of a path, as the image holds it ("0:0" when built by root).
  std::string owner(const std::string& path) {
    RunResult r = romsmith("-c 'open a.bin; ls --json " + path + "'", w.dir.path());
    std::smatch m;
    EXPECT_TRUE(std::regex_search(r.out, m, std::regex("\"uid\":(\\d+),\"gid\":(\\d+)"))) << r.out << r.err;
    return m.size() == 3 ? m[1].str() + ":" + m[2].str() : "?";
  }
};

TEST_P(Diff, AnImageAgainstItselfIsTheSame) {
  for (const char* args : {"a.bin a.bin", "--json a.bin a.bin", "a.bin a.bin ROOT", "a.bin a.bin ROOT/etc",
                           "--times a.bin a.bin ROOT/etc/issue", "a.bin a.bin BOOT"}) {
    RunResult r = w.diff(args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.out << r.err;
    EXPECT_EQ(r.err, "") << args;
    if (std::string(args).find("--json") == std::string::npos)
      EXPECT_EQ(r.out, "") << args;
    else
      EXPECT_NE(r.out.find("\"same\":true,\"table\":[],"), std::string::npos) << r.out;
  }
}

TEST_P(Diff, AnEditedCopyListsExactlyItsEdits) {
  // B: another boot blob (from byte 1000 on), a boot version, the table's
  // write protection, then the root edited by a script.
  std::vector<uint8_t> boot = rstest::read_bytes(w.dir.file("boot.bin"));
  for (size_t i = 1000; i < 1010; ++i) boot[i] ^= 0x5A;
  rstest::write_bytes(w.dir.file("boot2.bin"), boot);
  ASSERT_TRUE(w.flash("b0.bin", GetParam(), "root.img", "boot2.bin", "write_protect true\n", 3));
  rstest::write_text(w.dir.file("motd.txt"), "welcome\n");
  rstest::write_text(w.dir.file("issue.txt"), "hello new box\n");
  rstest::write_text(w.dir.file("script"),
                     "open b0.bin\n"
                     "put ROOT/etc/motd motd.txt\n"
                     "put ROOT/etc/issue issue.txt\n"
                     "rm ROOT/bin/old\n"
                     "chmod 0700 ROOT/bin/tool\n"
                     "chown 1000:100 ROOT/etc/passwd\n"
                     "rm ROOT/bin/sh\n"
                     "ln -s toybox ROOT/bin/sh\n"
                     "mkdir -p ROOT/opt/tools\n"
                     "ln -s /opt/tools/run ROOT/bin/run\n"
                     "save b.bin\n");
  RunResult r = romsmith("-f script", w.dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  r = w.diff("a.bin b.bin");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(without_sizes(r.out),
            "table: write_protect false -> true\n"
            "BOOT: version 0 -> 3\n"
            "BOOT: bytes differ from offset 1000\n"
            "Only in A: ROOT/bin/old\n"
            "Only in B: ROOT/bin/run\n"
            "ROOT/bin/sh: target busybox -> toybox\n"
            "ROOT/bin/tool: mode 0755 -> 0700\n"
            "Files A:ROOT/etc/issue and B:ROOT/etc/issue differ\n"
            "Only in B: ROOT/etc/motd\n"
            "ROOT/etc/passwd: owner " +
                owner("ROOT/etc/passwd") + " -> 1000:100\n" + "Only in B: ROOT/opt\n");
  EXPECT_EQ(r.err, "romsmith: diff: a.bin and b.bin differ\n");

  // A subtree: only what lies below it; a partition: its fields and bytes.
  r = w.diff("a.bin b.bin ROOT/etc");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Files A:ROOT/etc/issue and B:ROOT/etc/issue differ\nOnly in B: ROOT/etc/motd\nROOT/etc/passwd: owner " +
                owner("ROOT/etc/passwd") + " -> 1000:100\n");
  r = w.diff("a.bin b.bin boot");
  EXPECT_EQ(r.out, "BOOT: version 0 -> 3\nBOOT: bytes differ from offset 1000\n");
  r = w.diff("b.bin b.bin ROOT/opt/tools");
  EXPECT_EQ(r.status, 0) << r.err;
  r = w.diff("a.bin b.bin ROOT/opt/tools");
  EXPECT_EQ(r.out, "Only in B: ROOT/opt/tools\n");

  // The same differences as one JSON document.
  std::string check =
      "import json,sys\n"
      "d=json.load(open(sys.argv[1]))\n"
      "assert d['schema']==1 and d['same'] is False and d['scope'] is None, d\n"
      "for t in d['table']: print('table', t['field'], t['a'], t['b'])\n"
      "for p in d['partitions']:\n"
      "  if p['status']!='same': print('part', p['name'], p['status'], p['compared'],\n"
      "    ' '.join(f['field'] for f in p['fields'] if f['field']!='used_size'), (p.get('bytes') or "
      "{}).get('first_difference'))\n"
      "for e in d['entries']: print('entry', e['path'], e['status'], e.get('type'),"
      " ' '.join('%s:%s>%s' % (c['what'], c['a'], c['b']) for c in e['changes']))\n";
  rstest::write_text(w.dir.file("check.py"), check);
  r = rstest::run_command(shell_quote(ROMSMITH_BIN) + " diff --json a.bin b.bin >d.json; python3 check.py d.json", "",
                          w.dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out,
            "table write_protect False True\n"
            "part BOOT changed bytes version 1000\n"
            "part ROOT changed tree  None\n"
            "entry ROOT/bin/old only_a file \n"
            "entry ROOT/bin/run only_b symlink \n"
            "entry ROOT/bin/sh changed symlink target:busybox>toybox\n"
            "entry ROOT/bin/tool changed file mode:0755>0700\n"
            "entry ROOT/etc/issue changed file content:10>14\n"
            "entry ROOT/etc/motd only_b file \n"
            "entry ROOT/etc/passwd changed file owner:" +
                owner("ROOT/etc/passwd") + ">1000:100\n" + "entry ROOT/opt only_b directory \n");
}

INSTANTIATE_TEST_SUITE_P(Fs, Diff, ::testing::Values(Fs::cramfs, Fs::squashfs, Fs::minifs),
                         [](const auto& p) { return std::string(fs_word(p.param)); });

// cramfs stores no times and no extended attributes: against squashfs of the
// same tree the entries compare equal and the notes say what was left out.
TEST(DiffKinds, CramfsAgainstSquashfsOfOneTreeComparesByTree) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
  // cramfs keeps 16-bit uids and 8-bit gids only.
  if (::getuid() > 0xFFFF || ::getgid() > 0xFF) GTEST_SKIP() << "the host owner does not fit cramfs";
  Work w;
  fs::create_directories(w.dir.file("tree/dev"));
  bool nodes = ::mknod(w.dir.file("tree/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
               ::mknod(w.dir.file("tree/dev/ttyS1").c_str(), S_IFCHR | 0600, makedev(4, 65)) == 0;
  ::mkfifo(w.dir.file("tree/dev/fifo").c_str(), 0640);
  ::chmod(w.dir.file("tree/etc/passwd").c_str(), 04711);
  ASSERT_EQ(w.root_image(Fs::cramfs, "tree", "root.cramfs"), "");
  ASSERT_EQ(w.root_image(Fs::squashfs, "tree", "root.squashfs"), "");
  ASSERT_TRUE(w.flash("c.bin", Fs::cramfs, "root.cramfs"));
  ASSERT_TRUE(w.flash("s.bin", Fs::squashfs, "root.squashfs"));
  const std::string note =
      "romsmith: diff: ROOT: extended attributes not compared (the cramfs file system of A stores none)\n";

  RunResult r = w.diff("c.bin s.bin ROOT/");
  EXPECT_EQ(r.status, 0) << r.out << r.err << (nodes ? "" : " (no device nodes: not root)");
  EXPECT_EQ(r.out, "");
  // (The squashfs loader names the nodes it reads, before.)
  EXPECT_TRUE(r.err.ends_with(note)) << r.err;
  r = w.diff("--times c.bin s.bin ROOT/");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.ends_with(
      note + "romsmith: diff: ROOT: modification times not compared (the cramfs file system of A stores none)\n"))
      << r.err;
  // The whole image: the type in the table differs, nothing inside.
  r = w.diff("c.bin s.bin");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(without_sizes(r.out), "ROOT: fs CRAMFS -> SQUASHFS\n");

  // A device number, a mode and a content changed on the squashfs side show.
  if (nodes) {
    ASSERT_EQ(::unlink(w.dir.file("tree/dev/ttyS1").c_str()), 0);
    ASSERT_EQ(::mknod(w.dir.file("tree/dev/ttyS1").c_str(), S_IFCHR | 0600, makedev(4, 66)), 0);
  }
  ::chmod(w.dir.file("tree/dev/fifo").c_str(), 0600);
  std::vector<uint8_t> tool = rstest::read_bytes(w.dir.file("tree/bin/tool"));
  tool[263000] ^= 1;  // one bit in the second piece compared, same size
  rstest::write_bytes(w.dir.file("tree/bin/tool"), tool);
  ASSERT_EQ(w.root_image(Fs::squashfs, "tree", "root2.squashfs"), "");
  ASSERT_TRUE(w.flash("s2.bin", Fs::squashfs, "root2.squashfs"));
  r = w.diff("c.bin s2.bin ROOT");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(without_sizes(r.out),
            "ROOT: fs CRAMFS -> SQUASHFS\nFiles A:ROOT/bin/tool and B:ROOT/bin/tool differ\n" +
                std::string(nodes ? "ROOT/dev/fifo: mode 0640 -> 0600\nROOT/dev/ttyS1: device 4,65 -> 4,66\n"
                                  : "ROOT/dev/fifo: mode 0640 -> 0600\n"));
}

// What only some file systems store is compared where both store it.
TEST(DiffKinds, ExtendedAttributesAndTimesOfSquashfs) {
  if (!rstest::have_tool("mksquashfs") || !rstest::have_tool("setfattr"))
    GTEST_SKIP() << "mksquashfs or setfattr missing";
  Work w;
  ASSERT_EQ(w.root_image(Fs::squashfs, "tree", "a.img"), "");
  RunResult r = rstest::run_command(
      "setfattr -n user.comment -v hello tree/etc/issue && touch -d @1000000 tree/etc/passwd", "", w.dir.path());
  if (r.status != 0) GTEST_SKIP() << "no user xattrs here: " << r.err;
  ASSERT_EQ(w.root_image(Fs::squashfs, "tree", "b.img"), "");
  ASSERT_TRUE(w.flash("a.bin", Fs::squashfs, "a.img"));
  ASSERT_TRUE(w.flash("b.bin", Fs::squashfs, "b.img"));
  r = w.diff("a.bin b.bin ROOT/etc");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ROOT/etc/issue: xattr user.comment added\n");
  r = w.diff("--times b.bin a.bin ROOT/etc");
  EXPECT_EQ(r.status, 1);
  std::smatch m;
  EXPECT_TRUE(std::regex_match(
      r.out, m, std::regex("ROOT/etc/issue: xattr user.comment removed\nROOT/etc/passwd: mtime 1000000 -> \\d+\n")))
      << r.out;
  r = w.diff("--json b.bin a.bin ROOT/etc/issue");
  EXPECT_NE(r.out.find("\"changes\":[{\"what\":\"xattr\",\"name\":\"user.comment\",\"a\":\"68656c6c6f\",\"b\":null}]"),
            std::string::npos)
      << r.out;
}

// Trouble is exit 2 with a reason, and nothing on standard output.
TEST(DiffTrouble, MissingImagesAndPathsExitTwo) {
  Work w;
  ASSERT_EQ(w.root_image(Fs::cramfs, "tree", "root.img"), "");
  ASSERT_TRUE(w.flash("a.bin", Fs::cramfs, "root.img"));
  rstest::write_text(w.dir.file("notes.txt"), std::string(2000, 'x'));
  struct Case {
    const char* args;
    const char* err;
  } cases[] = {
      {"a.bin missing.bin", "romsmith: diff: missing.bin: No such file or directory\n"},
      {"missing.bin a.bin", "romsmith: diff: missing.bin: No such file or directory\n"},
      {"a.bin notes.txt", "romsmith: diff: notes.txt: no partition table, no file system found (scanned 4 offsets)\n"},
      {"a.bin a.bin NOPART", "romsmith: diff: NOPART: no such partition in a.bin or a.bin\n"},
      {"a.bin a.bin ROOT/etc/nothing",
       "romsmith: diff: ROOT/etc/nothing: No such file or directory in a.bin or a.bin\n"},
      {"a.bin a.bin ROOT/../etc", "romsmith: diff: a.bin: ROOT/../etc: not a path of the form PART/path\n"},
      {"a.bin a.bin BOOT/x", "the partition holds no"},
  };
  for (const Case& c : cases) {
    RunResult r = w.diff(c.args);
    EXPECT_EQ(r.status, 2) << c.args << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << ": " << r.err;
  }
  EXPECT_EQ(w.diff("a.bin").status, 254);
  EXPECT_EQ(w.diff("--bogus a.bin a.bin").status, 255);
}

// Content that cannot be decoded is trouble, not a difference, and the
// reader's own message stays off standard output (a JSON reader sees nothing).
TEST(DiffTrouble, ACorruptFileExitsTwo) {
  Work w;
  ASSERT_EQ(w.root_image(Fs::cramfs, "tree", "root.img"), "");
  ASSERT_TRUE(w.flash("a.bin", Fs::cramfs, "root.img"));
  std::vector<uint8_t> bad = rstest::read_bytes(w.dir.file("a.bin"));
  // Inside the compressed blocks of bin/tool, by far the largest file.
  for (size_t i = 0x10000 + 150000; i < 0x10000 + 150064; ++i) bad[i] ^= 0x55;
  rstest::write_bytes(w.dir.file("bad.bin"), bad);
  for (const char* args : {"a.bin bad.bin", "--json a.bin bad.bin ROOT/bin"}) {
    RunResult r = w.diff(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_TRUE(r.err.ends_with("romsmith: diff: bad.bin: ROOT/bin/tool: stored data cannot be read (corrupt image)\n"))
        << r.err;
  }
}

// The open image keeps its own table format through a diff of images of
// another format, and a difference fails a batch line like any command.
TEST(DiffTrouble, TheOpenImageIsUntouched) {
  Work w;
  ASSERT_EQ(w.root_image(Fs::cramfs, "tree", "root.img"), "");
  ASSERT_TRUE(w.flash("v4.bin", Fs::cramfs, "root.img"));
  ASSERT_TRUE(w.flash("v1.bin", Fs::cramfs, "root.img", "boot.bin", "", 0, 1));
  ASSERT_TRUE(w.flash("v1b.bin", Fs::cramfs, "root.img", "boot.bin", "", 2, 1,
                      "KERNEL boot.bin true RAW ro 0 0 0x220000 0x10000\n"));
  RunResult r = romsmith("-k -c 'open v4.bin; diff v1.bin v1b.bin; save out.bin'", w.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "table: flash_size 2228224 -> 2293760\nBOOT: version 0 -> 2\nOnly in B: KERNEL\n");
  EXPECT_EQ(r.err, "romsmith: line 2: diff: v1.bin and v1b.bin differ\n");
  r = w.diff("v4.bin out.bin");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

}  // namespace
