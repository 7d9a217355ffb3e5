// Batch runs, exit statuses, refusals, the attribute commands and the
// listings, driven through the real program and checked with outside tools.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <vector>

#include "fixture.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using rstest::RunResult;
using rstest::shell_quote;

RunResult romsmith(const std::string& args, const std::string& input = "", const std::string& cwd = "") {
  return rstest::run_command(shell_quote(ROMSMITH_BIN) + " " + args, input, cwd);
}

bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

// ---- options ----------------------------------------------------------------

// Standard input stays open and never delivers a byte: a program that starts
// the prompt blocks until the timeout kills it (status 124).
TEST(Options, ReturnAtOnceWithStdinLeftOpen) {
  rstest::TempDir d;
  struct Case {
    const char* args;
    int status;
    const char* out;
    const char* err;
  } cases[] = {
      {"--help", 0, "  put [--mode mode] [--owner uid:gid] <partition/path> <local filename>\n", ""},
      {"-h", 0, "Usage: romsmith", ""},
      {"--version", 0, "romsmith private version:v2.7.1  --20200901\n", ""},
      {"-x", 2, "", "romsmith: unknown option '-x'\n"},
      {"--frobnicate", 2, "", "unknown option '--frobnicate'"},
      {"-f", 2, "", "needs an argument"},
      {"-k", 2, "", "-k needs commands"},
  };
  for (const Case& c : cases) {
    std::string cmd = "mkfifo in && exec 9<>in && timeout 20 " + shell_quote(ROMSMITH_BIN) + " " + c.args + " <in";
    RunResult r = rstest::run_command(cmd, "", d.path());
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out << r.err;
    EXPECT_TRUE(contains(r.out, c.out)) << c.args << ": " << r.out;
    EXPECT_TRUE(contains(r.err, c.err)) << c.args << ": " << r.err;
    EXPECT_FALSE(r.out.size() >= 3 && r.out.compare(r.out.size() - 3, 3, ">> ") == 0)
        << c.args << " started the prompt";
    fs::remove(d.file("in"));
  }
}

TEST(Options, HelpListsEveryCommandOfTheTable) {
  RunResult help = romsmith("help");
  RunResult usage = romsmith("--help");
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) {
    if (line == "\tquit/exit/q") continue;
    EXPECT_TRUE(contains(usage.out, "  " + line.substr(1) + "\n")) << line;
  }
}

// ---- batch text ---------------------------------------------------------------

TEST(Batch, QuotingCommentsAndLineNumbers) {
  rstest::TempDir d;
  rstest::write_text(d.file("script"),
                     "# a comment line\n"
                     "help \"l\"s   # trailing comment\n"
                     "help 'c'at; help d\\ump\n"
                     "\n"
                     "help \\\n  save\n"
                     "help \"dump\n"
                     "help ls\n");
  RunResult r = romsmith("-f script", "", d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\tls <partition>\n\tcat <filename>\n\tdump <directory>\n\tsave <filename>\n");
  EXPECT_EQ(r.err, "romsmith: line 7: help: unterminated quote\n");

  // -c counts commands; -k goes on and still fails; standard input with -f -.
  r = romsmith("-c 'help ls; nosuch; help cat'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\tls <partition>\n");
  EXPECT_EQ(r.err, "romsmith: line 2: nosuch: not found command\n");
  r = romsmith("-k -c 'help ls; nosuch; help cat'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\tls <partition>\n\tcat <filename>\n");
  r = romsmith("-f -", "help ls\nquit\nhelp cat\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "\tls <partition>\n");
  EXPECT_EQ(romsmith("-f missing.txt", "", d.path()).status, 2);
}

TEST(Batch, CommandsThatEndTheProgramElsewhereLetTheRunGoOn) {
  RunResult r = romsmith("-c 'version; help ls; release'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "romsmith private version:v2.7.1  --20200901\nromsmith branch version:v1.9-dev --20201016\n"
            "\tls <partition>\n");
  EXPECT_EQ(r.err,
            "error: arguments not enough, please check\n"
            "ex. ./romsmith release flash.bin \"oakbox-rudivedo-release-20140508\"\n"
            "romsmith: line 3: release: failed (result 1)\n");
}

// ---- images -------------------------------------------------------------------

enum class Fs { cramfs, squashfs, minifs };
const char* fs_word(Fs f) { return f == Fs::cramfs ? "CRAMFS" : f == Fs::squashfs ? "SQUASHFS" : "MINIFS"; }
void PrintTo(Fs f, std::ostream* os) { *os << fs_word(f); }

// A flash image whose ROOT partition holds `tree` in the file system `f`.
class Box {
 public:
  rstest::TempDir dir;
  Fs f;
  explicit Box(Fs fs_type) : f(fs_type) {
    fs::create_directories(dir.file("tree/etc"));
    fs::create_directories(dir.file("tree/bin"));
    fs::create_directories(dir.file("tree/usr/share"));
    rstest::write_text(dir.file("tree/etc/issue"), "hello box\n");
    rstest::write_text(dir.file("tree/bin/old"), "#!/bin/sh\necho old\n");
    ::chmod(dir.file("tree/bin/old").c_str(), 0755);
    fs::create_symlink("busybox", dir.file("tree/bin/sh"));
  }
  // Builds flash.bin from the tree; false (with the output in `log`) on failure.
  bool build(std::string* log, uint32_t root_size = 0x200000) {
    RunResult r;
    if (f == Fs::cramfs) r = romsmith("mkcramfs tree root.img", "", dir.path());
    if (f == Fs::squashfs)
      r = rstest::run_command("mksquashfs tree root.img -noappend -quiet -all-root -comp xz", "", dir.path());
    if (f == Fs::minifs) r = romsmith("mkminifs tree root.img " + std::to_string(root_size), "", dir.path());
    if (r.status != 0) return *log = r.out + r.err, false;
    char conf[512];
    std::snprintf(conf, sizeof conf,
                  "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                  "ROOT root.img true %s rw 0 0 0x10000 0x%x\nTABLE NULL false RAW ro 0 0 0x%x 0x10000\n",
                  fs_word(f), root_size, 0x10000 + root_size);
    rstest::write_text(dir.file("flash.conf"), conf);
    r = romsmith("mkflash flash.conf flash.bin", "", dir.path());
    *log = r.out + r.err;
    return r.status == 0;
  }
  RunResult batch(const std::string& script) {
    rstest::write_text(dir.file("script"), script);
    return romsmith("-f script", "", dir.path());
  }
};

// The outside tools a test of `f` needs; empty when they are all there.
std::string missing_tools(Fs f) {
  for (const char* t : f == Fs::cramfs     ? std::vector<const char*>{"fsck.cramfs"}
                       : f == Fs::squashfs ? std::vector<const char*>{"mksquashfs", "unsquashfs"}
                                           : std::vector<const char*>{})
    if (!rstest::have_tool(t)) return std::string(t) + " is not installed";
  return "";
}

// path -> "type mode uid:gid [size] [-> target]"; directory sizes differ
// between writers and are left out.
using Listing = std::map<std::string, std::string>;

std::string entry_text(char type, const std::string& mode, const std::string& owner, const std::string& size,
                       const std::string& target) {
  std::string s = std::string(1, type) + " " + mode + " " + owner;
  if (type == 'f') s += " " + size;
  if (type == 'l') s += " -> " + target;
  return s;
}

// The listing of a partition image by the outside tool of its file system.
Listing oracle_listing(Fs f, const std::string& image, const std::string& work) {
  Listing out;
  if (f == Fs::cramfs) {
    RunResult r =
        rstest::run_command("fsck.cramfs -v --extract=" + shell_quote(work + "/x") + " " + shell_quote(image));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
      std::istringstream w(line);
      std::string type, mode, size, owner;
      if (!(w >> type >> mode >> size >> owner) || type.size() != 1) continue;
      std::string rest;
      std::getline(w >> std::ws, rest);
      std::string target;
      size_t arrow = rest.find(" -> ");
      if (arrow != std::string::npos) target = rest.substr(arrow + 4), rest.resize(arrow);
      std::string path = rest.substr((work + "/x").size());
      out[path.empty() ? "/" : path] = entry_text(type[0], mode, owner, size, target);
    }
    fs::remove_all(work + "/x");
  } else if (f == Fs::squashfs) {
    RunResult r = rstest::run_command("unsquashfs -lln " + shell_quote(image));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
      std::istringstream w(line);
      std::string mode, owner, size, day, time;
      if (!(w >> mode >> owner >> size >> day >> time) || mode.size() != 10) continue;
      std::string rest;
      std::getline(w >> std::ws, rest);
      std::string target;
      size_t arrow = rest.find(" -> ");
      if (arrow != std::string::npos) target = rest.substr(arrow + 4), rest.resize(arrow);
      std::string path = rest.substr(std::string("squashfs-root").size());
      char perm[8];
      unsigned bits = 0;
      for (int i = 0; i < 9; ++i)
        if (mode[size_t(i) + 1] != '-') bits |= 0400u >> i;
      std::snprintf(perm, sizeof perm, "%04o", bits);
      std::replace(owner.begin(), owner.end(), '/', ':');
      out[path.empty() ? "/" : path] = entry_text(mode[0] == '-' ? 'f' : mode[0], perm, owner, size, target);
    }
  } else {
    // unminifs writes files and directories with their modes; it names the
    // links it cannot make on the host, in warnings on standard error. It
    // does not set owners.
    std::string x = work + "/x";
    RunResult r = romsmith("unminifs " + shell_quote(image) + " " + shell_quote(x));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    out["/"] = "d";
    for (auto it = fs::recursive_directory_iterator(x); it != fs::recursive_directory_iterator(); ++it) {
      struct stat st;
      ::lstat(it->path().c_str(), &st);
      char perm[8];
      std::snprintf(perm, sizeof perm, "%04o", unsigned(st.st_mode & 07777));
      std::string path = it->path().string().substr(x.size());
      out[path] = entry_text(S_ISDIR(st.st_mode) ? 'd' : 'f', perm, "-", std::to_string(st.st_size), "");
    }
    EXPECT_EQ(r.out.find("<link path: "), std::string::npos) << r.out;
    std::istringstream in(r.err);
    for (std::string line; std::getline(in, line);) {
      size_t p = line.find("<path: "), l = line.find("<link path: ");
      if (p == std::string::npos || l == std::string::npos) continue;
      std::string path = line.substr(p + 7, line.find('>', p) - p - 7);
      std::string target = line.substr(l + 12, line.find('>', l) - l - 12);
      while (!path.empty() && path.back() == ' ') path.pop_back();
      while (!target.empty() && target.back() == ' ') target.pop_back();
      out[path.substr(x.size())] = "l -> " + target;
    }
    fs::remove_all(x);
  }
  return out;
}

std::string root_partition(Box& b, const std::string& image, const std::string& name) {
  RunResult r = romsmith("-c 'open " + image + "; dumppar ROOT " + name + "'", "", b.dir.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return b.dir.file(name);
}

class EditScript : public ::testing::TestWithParam<Fs> {};

const char* const kScript =
    "# edit the root file system\n"
    "open flash.bin\n"
    "mkdir -p ROOT/opt/tools\n"
    "put --mode 0755 'ROOT/opt/tools/run me.sh' \"run me.sh\"\n"
    "chown 1000:100 ROOT/etc/issue\n"
    "ln -s \"/opt/tools/run me.sh\" ROOT/bin/run\n"
    "rm ROOT/bin/old\n"
    "save out.bin\n"
    "dump fresh/dump\n";

TEST_P(EditScript, ChangesExactlyWhatItSays) {
  if (std::string why = missing_tools(GetParam()); !why.empty()) GTEST_SKIP() << why;
  Box b(GetParam());
  std::string log;
  ASSERT_TRUE(b.build(&log)) << log;
  rstest::write_text(b.dir.file("run me.sh"), "#!/bin/sh\necho run\n");
  RunResult r = b.batch(kScript);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");

  Listing before = oracle_listing(GetParam(), b.dir.file("root.img"), b.dir.path());
  Listing after = oracle_listing(GetParam(), root_partition(b, "out.bin", "new.img"), b.dir.path());
  ASSERT_TRUE(before.count("/bin/old")) << "the oracle reads the tree";
  Listing expected = before;
  bool owners = GetParam() != Fs::minifs;
  std::string root_owner = owners ? "0:0" : "-";
  expected.erase("/bin/old");
  expected["/opt"] = GetParam() == Fs::minifs ? "d 0755 -" : "d 0755 " + root_owner;
  expected["/opt/tools"] = expected["/opt"];
  expected["/opt/tools/run me.sh"] = entry_text('f', "0755", root_owner, "19", "");
  if (owners) expected["/etc/issue"] = entry_text('f', "0644", "1000:100", "10", "");
  expected["/bin/run"] =
      owners ? entry_text('l', "0777", root_owner, "", "/opt/tools/run me.sh") : "l -> /opt/tools/run me.sh";
  EXPECT_EQ(after, expected);
  // The dump made its directory and kept the new mode and link.
  struct stat st;
  ASSERT_EQ(::lstat(b.dir.file("fresh/dump/ROOT/opt/tools/run me.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  std::error_code ec;
  EXPECT_EQ(fs::read_symlink(b.dir.file("fresh/dump/ROOT/bin/run"), ec).string(), "/opt/tools/run me.sh");
  if (!owners) {
    r = romsmith("-c 'open out.bin; ls --json ROOT/etc'", "", b.dir.path());
    EXPECT_TRUE(contains(r.out,
                         "\"path\":\"/etc/issue\",\"name\":\"issue\",\"type\":\"file\",\"mode\":\"0644\","
                         "\"uid\":1000,\"gid\":100"))
        << r.out << r.err;
  }
}

TEST_P(EditScript, ABadLineStopsTheRunBeforeTheSave) {
  if (std::string why = missing_tools(GetParam()); !why.empty()) GTEST_SKIP() << why;
  Box b(GetParam());
  std::string log;
  ASSERT_TRUE(b.build(&log)) << log;
  rstest::write_text(b.dir.file("run me.sh"), "#!/bin/sh\necho run\n");
  std::string script = kScript;
  script.insert(script.find("chown"), "add ROOT/etc/motd missing.txt\n");
  RunResult r = b.batch(script);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(std::strerror(ENOENT)) +
                       ": missing.txt\ncmd_flash_add execute error, please check.\n"
                       "romsmith: line 5: add: missing.txt: No such file or directory\n");
  EXPECT_EQ(r.out.find("missing.txt"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(b.dir.file("out.bin")));
  // -k runs the rest, saves, and still fails.
  r = romsmith("-k -f script", "", b.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::exists(b.dir.file("out.bin")));
}

INSTANTIATE_TEST_SUITE_P(Fs, EditScript, ::testing::Values(Fs::cramfs, Fs::squashfs, Fs::minifs),
                         [](const auto& p) { return std::string(fs_word(p.param)); });

// ---- refusals -------------------------------------------------------------------

struct Refusal {
  Fs f;
  const char* name;
  const char* command;  // run after "open flash.bin"
  const char* reason;   // on standard error
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << fs_word(c.f) << " " << c.command; }

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, FailWithTheReason) {
  const Refusal& c = GetParam();
  if (std::string why = missing_tools(c.f); !why.empty()) GTEST_SKIP() << why;
  Box b(c.f);
  std::string log;
  ASSERT_TRUE(b.build(&log, c.f == Fs::minifs ? 0x400000 : 0x200000)) << log;
  rstest::write_text(b.dir.file("small.txt"), "small\n");
  rstest::write_bytes(b.dir.file("big.bin"), rstest::random_bytes(c.f == Fs::cramfs ? 17000000 : 5 << 20, 3));
  RunResult r = romsmith("-c 'open flash.bin; " + std::string(c.command) + "; save out.bin'", "", b.dir.path());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.err, std::string("romsmith: line 2: ") + c.reason)) << r.err;
  EXPECT_FALSE(fs::exists(b.dir.file("out.bin")));
  // At the prompt the reason is said as well.
  r = romsmith("", "open flash.bin\n" + std::string(c.command) + "\n", b.dir.path());
  EXPECT_TRUE(contains(r.err, c.reason)) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Shell, Refusals,
    ::testing::Values(
        Refusal{Fs::cramfs, "AddNoDir", "add ROOT/nodir/x small.txt", "add: ROOT/nodir/x: No such file or directory"},
        Refusal{Fs::squashfs, "AddNoDir", "add ROOT/nodir/x small.txt", "add: ROOT/nodir/x: No such file or directory"},
        Refusal{Fs::minifs, "AddNoDir", "add ROOT/nodir/x small.txt", "add: ROOT/nodir/x: No such file or directory"},
        Refusal{Fs::cramfs, "AddOntoDir", "add ROOT/etc small.txt", "add: ROOT/etc: Is a directory"},
        Refusal{Fs::squashfs, "AddOntoDir", "add ROOT/etc small.txt", "add: ROOT/etc: Is a directory"},
        Refusal{Fs::cramfs, "AddUnderFile", "add ROOT/etc/issue/x small.txt", "add: ROOT/etc/issue/x: Not a directory"},
        Refusal{Fs::squashfs, "AddUnderFile", "add ROOT/etc/issue/x small.txt",
                "add: ROOT/etc/issue/x: Not a directory"},
        Refusal{Fs::cramfs, "AddTooLarge", "add ROOT/big big.bin", "add: ROOT/big: file too large for the file system"},
        Refusal{Fs::minifs, "AddNoSpace", "add ROOT/big big.bin", "add: ROOT/big: no space left in the file system"},
        Refusal{Fs::cramfs, "RmMissing", "rm ROOT/etc/nope", "rm: ROOT/etc/nope: No such file or directory"},
        Refusal{Fs::minifs, "RmMissing", "rm ROOT/etc/nope", "rm: ROOT/etc/nope: No such file or directory"},
        Refusal{Fs::squashfs, "CatMissing", "cat ROOT/etc/nope", "cat: ROOT/etc/nope: No such file or directory"},
        Refusal{Fs::cramfs, "MkdirExists", "mkdir ROOT/etc", "mkdir: ROOT/etc: File exists"},
        Refusal{Fs::cramfs, "ChmodBadMode", "chmod 0999 ROOT/etc", "chmod: invalid mode '0999'"},
        Refusal{Fs::cramfs, "ChownMissing", "chown 1:1 ROOT/nope", "chown: ROOT/nope: No such file"},
        Refusal{Fs::cramfs, "GetDirectory", "get ROOT/etc x", "get: ROOT/etc: Is a directory"},
        Refusal{Fs::cramfs, "LsNoPartition", "ls NOPE", "ls: NOPE: no such partition"}),
    [](const auto& p) { return std::string(fs_word(p.param.f)) + p.param.name; });

TEST(BuildRefusals, FailAndLeaveNoOutput) {
  rstest::TempDir d;
  fs::create_directories(d.file("src"));
  rstest::write_bytes(d.file("src/big.bin"), rstest::random_bytes(200000, 5));
  rstest::write_text(d.file("empty.conf"), "table_version 4\ncrc32 true\n");
  struct Case {
    const char* args;
    const char* said;  // the designed message
    const char* err;   // the reason
    const char* output;
  } cases[] = {
      {"mkflash none.conf out.bin", "error: can't open file \"none.conf\"!\nmkflash error.\n",
       "the configuration was refused", "out.bin"},
      {"mkflash empty.conf out.bin", "mkflash error.\n", "the configuration was refused", "out.bin"},
      {"mkminifs nosuchdir out.img", "", "nosuchdir: No such file or directory", "out.img"},
      {"mkminifs src out.img 0x10000", "", "not every file of src was stored", "out.img"},
  };
  for (const Case& c : cases) {
    for (bool batch : {false, true}) {
      rstest::write_text(d.file(c.output), "older output");
      RunResult r = batch ? romsmith("-c " + shell_quote(c.args), "", d.path()) : romsmith(c.args, "", d.path());
      EXPECT_NE(r.status, 0) << c.args;
      EXPECT_TRUE(contains(r.err, c.said)) << c.args << ": " << r.err;
      EXPECT_TRUE(contains(r.err, c.err)) << c.args << ": " << r.err;
      EXPECT_FALSE(contains(r.out, "error")) << c.args << ": " << r.out;
      EXPECT_FALSE(fs::exists(d.file(c.output))) << c.args << " left an output";
    }
  }
  // What did not fit is named.
  EXPECT_TRUE(contains(romsmith("mkminifs src out.img 0x10000", "", d.path()).err, "big.bin"));
  RunResult r = romsmith("mkflash empty.conf nodir/out.bin", "", d.path());
  EXPECT_NE(r.status, 0);
}

TEST(Build, MkcramfsByteOrder) {
  if (!rstest::have_tool("fsck.cramfs")) GTEST_SKIP() << "fsck.cramfs is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "hello\n");
  const char* host = std::endian::native == std::endian::big ? "big" : "little";
  for (auto [order, want] : {std::pair{"big", "big"}, {"little", "little"}, {"host", host}}) {
    RunResult r = romsmith(std::string("mkcramfs -N ") + order + " tree out.img", "", d.path());
    ASSERT_EQ(r.status, 0) << order << r.out << r.err;
    r = rstest::run_command("fsck.cramfs -v out.img", "", d.path());
    EXPECT_EQ(r.status, 0) << order << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, std::string("endianness is ") + want)) << order << r.out << r.err;
  }
  RunResult r = romsmith("mkcramfs -N middle tree bad.img", "", d.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.err, "invalid byte order 'middle'")) << r.err;
  EXPECT_FALSE(fs::exists(d.file("bad.img")));
}

// ---- extraction and listings ------------------------------------------------------

TEST(Extract, GetIsExactAtAnySizeAndKeepsTheMode) {
  Box b(Fs::cramfs);
  std::vector<uint8_t> big = rstest::random_bytes(6 << 20, 11);
  big[100] = '\n';
  rstest::write_bytes(b.dir.file("tree/usr/big.bin"), big);
  ::chmod(b.dir.file("tree/usr/big.bin").c_str(), 0750);
  std::string log;
  ASSERT_TRUE(b.build(&log, 0x800000)) << log;
  RunResult r =
      romsmith("-c 'open flash.bin; get ROOT/usr/big.bin got.bin; get ROOT/etc/issue issue.txt'", "", b.dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(rstest::read_bytes(b.dir.file("got.bin")), big);
  EXPECT_EQ(rstest::read_text(b.dir.file("issue.txt")), "hello box\n");
  struct stat st;
  ASSERT_EQ(::stat(b.dir.file("got.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  // To standard output: the bytes and nothing else; cat adds its line end.
  r = romsmith("-c 'open flash.bin; get ROOT/usr/big.bin -'", "", b.dir.path());
  EXPECT_EQ(r.out, std::string(big.begin(), big.end()));
  r = romsmith("-c 'open flash.bin; cat ROOT/usr/big.bin'", "", b.dir.path());
  EXPECT_EQ(r.out, std::string(big.begin(), big.end()) + "\n");
}

const char* const kJsonLines =
    "import json, sys\n"
    "d = json.load(sys.stdin)\n"
    "if 'partitions' in d:\n"
    "    for p in d['partitions']: print(p['name'], p['fs'], p['start'], p['total_size'], p['used_size'])\n"
    "else:\n"
    "    for e in d['entries']:\n"
    "        print(e['path'], e['type'], e['mode'], e['uid'], e['gid'], e['size'] if e['type'] == 'file' else '-',"
    " e.get('target', '-'))\n";

TEST(Listing, JsonParsesAndMatchesTheTree) {
  if (!rstest::have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  if (std::string why = missing_tools(Fs::squashfs); !why.empty()) GTEST_SKIP() << why;
  Box b(Fs::squashfs);
  std::string log;
  ASSERT_TRUE(b.build(&log)) << log;
  rstest::write_text(b.dir.file("lines.py"), kJsonLines);
  RunResult r = romsmith("-c 'open flash.bin; ls --json' | python3 lines.py", "", b.dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  size_t root_size = fs::file_size(b.dir.file("root.img"));
  EXPECT_EQ(r.out, "BOOT RAW 0 65536 0\nROOT SQUASHFS 65536 2097152 " + std::to_string(root_size) +
                       "\nTABLE RAW 2162688 65536 3072\n");
  r = romsmith("-c 'open flash.bin; ls --json ROOT' | python3 lines.py", "", b.dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out,
            "/ directory 0755 0 0 - -\n/bin directory 0755 0 0 - -\n/bin/old file 0755 0 0 19 -\n"
            "/bin/sh symlink 0777 0 0 - busybox\n/etc directory 0755 0 0 - -\n/etc/issue file 0644 0 0 10 -\n"
            "/usr directory 0755 0 0 - -\n/usr/share directory 0755 0 0 - -\n");
}

// The long listing agrees with the outside tool's on every column but the time.
TEST(Listing, LongListingAgreesWithUnsquashfs) {
  if (std::string why = missing_tools(Fs::squashfs); !why.empty()) GTEST_SKIP() << why;
  Box b(Fs::squashfs);
  std::string log;
  ASSERT_TRUE(b.build(&log)) << log;
  RunResult ours = romsmith("-c 'open flash.bin; ls -l ROOT'", "", b.dir.path());
  ASSERT_EQ(ours.status, 0) << ours.out << ours.err;
  RunResult theirs = rstest::run_command("unsquashfs -lln root.img", "", b.dir.path());
  auto columns = [](const std::string& text, const std::string& root) {
    std::vector<std::string> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      std::istringstream w(line);
      std::string mode, owner, size, day, time, rest;
      if (!(w >> mode >> owner >> size >> day >> time) || mode.size() != 10) continue;
      std::getline(w >> std::ws, rest);
      if (mode[0] == 'd') size = "-";
      rows.push_back(mode + " " + owner + " " + size + " " + rest.substr(root.size()));
    }
    return rows;
  };
  std::vector<std::string> want = columns(theirs.out, "squashfs-root");
  ASSERT_EQ(want.size(), 8u) << theirs.out;
  EXPECT_EQ(columns(ours.out, "ROOT"), want) << ours.out;
}

// ---- documentation --------------------------------------------------------------

// Every command of the table is in the manual page under its usage line.
TEST(Docs, ManualPageCoversTheCommandTable) {
  std::string man = rstest::read_text(std::string(ROMSMITH_SOURCE_DIR) + "/docs/romsmith.1");
  ASSERT_FALSE(man.empty());
  std::string plain;
  for (size_t i = 0; i < man.size(); ++i) {
    if (man.compare(i, 2, "\\-") == 0) {
      plain += '-';
      ++i;
    } else if (man.compare(i, 2, "\\(dq") == 0 || man.compare(i, 3, "\\fB") == 0 || man.compare(i, 3, "\\fR") == 0 ||
               man.compare(i, 3, "\\fI") == 0) {
      i += man[i + 1] == '(' ? 3 : 2;
    } else {
      plain += man[i];
    }
  }
  std::istringstream lines(romsmith("help").out);
  for (std::string line; std::getline(lines, line);) {
    if (line == "\tquit/exit/q") continue;
    EXPECT_TRUE(contains(plain, "\n.TP\n.B " + line.substr(1) + "\n")) << "missing in the manual page: " << line;
  }
  // Each option heads an entry of its own.
  for (const char* opt : {"-f", "-c", "-k", "--help", "--version", "--json", "-l"}) {
    bool found = false;
    std::istringstream man_lines(plain);
    for (std::string line, prev; std::getline(man_lines, line); prev = line)
      if (prev == ".TP" && line.rfind(".B ", 0) == 0 && contains(line + ",", std::string(" ") + opt + ","))
        found = true;
    EXPECT_TRUE(found) << opt;
  }
}

}  // namespace

// ---- images of different table formats in one run ---------------------------

TEST(Formats, MkflashAfterOpeningAnotherFormatBuildsItsOwn) {
  // One process: a v4 image open, then a flash.conf without table_version
  // builds a v1 image that opens again; a second conf does not inherit the
  // first one's device-tree file.
  rstest::TempDir d;
  rstest::write_bytes(d.file("v4.bin"), rstest::build_image(rstest::sample_table(4), 0x10000, 0xC000));
  rstest::write_bytes(d.file("boot.bin"), std::vector<uint8_t>(100, 1));
  rstest::write_bytes(d.file("kernel.bin"), std::vector<uint8_t>(200, 2));
  rstest::write_bytes(d.file("board.dtb"), std::vector<uint8_t>(50, 3));
  rstest::write_text(d.file("v1.conf"),
                     "dtb_file board.dtb\nBOOT boot.bin true RAW ro 0 0 0 0x1000\n"
                     "KERNEL kernel.bin true RAW ro 0 0 0x1000 0x1000\nTABLE NULL false RAW ro 0 0 0x2000 0x1000\n");
  rstest::write_text(d.file("plain.conf"),
                     "BOOT boot.bin true RAW ro 0 0 0 0x1000\n"
                     "KERNEL kernel.bin true RAW ro 0 0 0x1000 0x1000\nTABLE NULL false RAW ro 0 0 0x2000 0x1000\n");
  RunResult r =
      romsmith("-c 'open v4.bin; mkflash v1.conf one.bin; mkflash plain.conf two.bin; save v4out.bin'", "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(rstest::read_bytes(d.file("v4out.bin")), rstest::read_bytes(d.file("v4.bin")));
  for (const char* out : {"one.bin", "two.bin"}) {
    RunResult ls = romsmith("-c 'open " + std::string(out) + "; ls'", "", d.path());
    ASSERT_EQ(ls.status, 0) << out << ls.out << ls.err;
    EXPECT_TRUE(contains(ls.out, "Partition MAX Count :  12")) << out << ls.out;
  }
  // The dtb goes in front of the kernel only where its conf asked for it.
  RunResult k1 = romsmith("-c 'open one.bin; dumppar KERNEL k1'", "", d.path());
  RunResult k2 = romsmith("-c 'open two.bin; dumppar KERNEL k2'", "", d.path());
  ASSERT_EQ(k1.status, 0) << k1.err;
  ASSERT_EQ(k2.status, 0) << k2.err;
  EXPECT_EQ(rstest::read_bytes(d.file("k2")), std::vector<uint8_t>(200, 2));
  EXPECT_GT(rstest::read_bytes(d.file("k1")).size(), 200u);
}
