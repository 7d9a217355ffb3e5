// Output faults for every command that writes: a disk that fills up (a file-size
// limit in the child, with SIGXFSZ ignored so writes fail with an error as on a
// full disk) and a target that cannot be created. The previous file stays as it
// was, no temporary file is left behind, the error is reported, and a one-shot
// command ends with a failure status.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "common.h"

namespace fs = std::filesystem;

namespace {

const char kOld[] = "previous contents\n";

struct Case {
  const char* name;
  // Arguments (one-shot) or session lines (interactive); $T stands for `arg`.
  const char* command;
  bool interactive;
  const char* arg;     // the output file or directory, relative to the work directory
  const char* target;  // the file that is there before and must stay as it was
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string subst(std::string s, const std::string& t) {
  for (size_t p; (p = s.find("$T")) != std::string::npos;) s.replace(p, 2, t);
  return s;
}

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); it.increment(ec))
    out.insert(fs::relative(it->path(), dir).string());
  return out;
}

class Fault : public ::testing::TestWithParam<Case> {
 protected:
  rstest::TempDir dir;
  void SetUp() override {
    const hardening::Bases& b = hardening::bases();
    rstest::write_bytes(dir.file("img.bin"), hardening::whole_image());
    fs::copy(b.dir + "/tree", dir.file("tree"), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    rstest::write_bytes(dir.file("boot.bin"), rstest::random_bytes(0x2000, 11));
    rstest::write_bytes(dir.file("data.bin"), rstest::random_bytes(300000, 12));
    rstest::write_text(dir.file("flash.conf"),
                       "table_version 4\nflash_size 1M\nblock_size 0x10000\ntable_enable true\n"
                       "write_protect false\ncrc32 true\nzlibmode false\n"
                       "BOOT  boot.bin true  RAW ro 0 1 0x0  0x10000\n"
                       "TABLE NULL     false RAW ro 0 0 auto 0x10000\n"
                       "DATA  data.bin true  RAW ro 0 0 auto 0x80000\n");
    rstest::RunResult m = hardening::run("merge flash.conf packed", "", dir.path(), 30);
    ASSERT_TRUE(fs::exists(dir.file("packed.merge"))) << m.out << m.err;
    // A file the faulty write must leave alone, in the place the command writes.
    fs::create_directories(dir.file("split/x"));
    fs::create_directories(dir.file("dumped/ROOT/bin"));
    rstest::write_text(dir.file("dumped/ROOT/bin/prog"), kOld);
    rstest::write_text(dir.file("split/x/data.bin"), kOld);
    rstest::write_text(dir.file("blocker"), "a plain file where a directory is expected\n");
  }

  rstest::RunResult go(const std::string& arg, const std::string& prefix) {
    const Case& c = GetParam();
    std::string cmd = subst(c.command, arg);
    std::string sh = prefix + "exec timeout -s KILL 30 " + rstest::shell_quote(ROMSMITH_BIN);
    if (c.interactive) return rstest::run_command(sh, cmd + "\nhelp cat\nquit\n", dir.path());
    return rstest::run_command(sh + " " + cmd, "", dir.path());
  }

  void expect_failure(const rstest::RunResult& r, const char* what) {
    const Case& c = GetParam();
    EXPECT_FALSE(r.status > 128 && r.status < 128 + 65) << what << ": ended by a signal\n" << r.out << r.err;
    if (c.interactive) {
      EXPECT_EQ(r.status, 0) << what;
      EXPECT_NE(r.out.find("\tcat <filename>\n"), std::string::npos) << what << ": session ended early\n" << r.out;
    } else {
      EXPECT_NE(r.status, 0) << what << ": failure reported as success\n" << r.out << r.err;
    }
    std::string all = r.out + r.err;
    EXPECT_TRUE(all.find("rror") != std::string::npos || all.find("fail") != std::string::npos)
        << what << ": no error reported\n" << all;
  }
};

TEST_P(Fault, DiskFullKeepsThePreviousFile) {
  const Case& c = GetParam();
  std::string target = c.target;
  if (target != "img.bin" && target.find('/') == std::string::npos) rstest::write_text(dir.file(target), kOld);
  std::vector<uint8_t> before = rstest::read_bytes(dir.file(target));
  std::set<std::string> files = listing(dir.path());
  // 8 blocks of 512 bytes: every output here is larger.
  rstest::RunResult r = go(c.arg, "trap '' XFSZ; ulimit -f 8; ");
  expect_failure(r, "disk full");
  EXPECT_EQ(rstest::read_bytes(dir.file(target)), before) << "previous " << target << " changed";
  std::set<std::string> now = listing(dir.path());
  for (const std::string& f : now)
    if (!files.count(f) && (f.find(".tmp_") != std::string::npos ||
                            (f.rfind("dumped", 0) != 0 && f.rfind("split", 0) != 0 && f != "table.bin")))
      ADD_FAILURE() << "left behind: " << f;
}

TEST_P(Fault, UnwritableTargetIsAnError) {
  const Case& c = GetParam();
  if (std::string(c.target) == "img.bin") GTEST_SKIP() << "rewrites its input in place";
  rstest::RunResult r = go("blocker/" + std::string(c.arg), "");
  expect_failure(r, "unwritable target");
  EXPECT_TRUE(fs::is_regular_file(dir.file("blocker")));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Fault,
    ::testing::Values(Case{"save", "open img.bin\nsave $T", true, "saved.bin", "saved.bin"},
                      Case{"release", "release $T rel-1", false, "img.bin", "img.bin"},
                      Case{"unrelease", "unrelease $T", false, "img.bin", "img.bin"},
                      Case{"mkcramfs", "mkcramfs tree $T", false, "out.cramfs", "out.cramfs"},
                      Case{"mkminifs", "mkminifs tree $T", false, "out.minifs", "out.minifs"},
                      Case{"merge", "merge flash.conf $T", false, "new.merge", "new.merge"},
                      Case{"split", "split packed.merge $T", false, "split/x", "split/x/data.bin"},
                      Case{"dump", "open img.bin\ndump $T", true, "dumped", "dumped/ROOT/bin/prog"}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
