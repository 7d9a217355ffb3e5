// The library as another program sees it: only the public header, the
// exported names, and results checked with the outside tools.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "fixture.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using rstest::RunResult;
using rstest::shell_quote;

std::set<std::string> header_functions() {
  std::string h = rstest::read_text(std::string(ROMSMITH_SOURCE_DIR) + "/include/romsmith/romsmith.h");
  std::set<std::string> names;
  std::regex decl(R"(^RS_API[^;(]*?\b(\w+)\s*\()");
  std::istringstream in(h);
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, m, decl)) names.insert(m[1]);
  return names;
}

// What the library exports is exactly what the header declares.
TEST(Library, ExportsExactlyTheHeader) {
  if (!rstest::have_tool("nm")) GTEST_SKIP() << "nm is not installed";
  RunResult r = rstest::run_command("nm -D --defined-only " + shell_quote(ROMSMITH_LIB) + " | awk '$2 == \"T\" {print $3}'");
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> exported;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) exported.insert(line);
  EXPECT_EQ(exported, header_functions());
  EXPECT_TRUE(exported.count("flash_last_error") && exported.count("flash_rename"));
}

// A program that knows only the header edits a squashfs root: walk, stat,
// put with mode and owner, mkdir, symlink, rename across directories, remove
// of a tree, save; errors come back as negative errno with a message.
const char* kProgram = R"(
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <romsmith/romsmith.h>

static int count(const char* path, const flash_stat_s* st, void* user) {
  (void)path; (void)st;
  ++*(int*)user;
  return 0;
}
#define CHECK(e) do { if (!(e)) { fprintf(stderr, "failed: %s (%s)\n", #e, flash_last_error(f)); return 1; } } while (0)

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  flash* f = flash_load_bin(argv[1]);
  if (!f) { fprintf(stderr, "load: %s\n", flash_last_error(NULL)); return 1; }
  int n = 0;
  CHECK(flash_walk(f, "ROOT", -1, count, &n) == 0 && n == 6);
  n = 0;
  CHECK(flash_walk(f, "ROOT", 1, count, &n) == 0 && n == 3);
  flash_stat_s st;
  CHECK(flash_stat(f, "ROOT/etc/issue", &st) == 0 && st.size == 10 && (st.mode & 0777) == 0644);
  CHECK(flash_put(f, "ROOT/etc/motd", "welcome\n", 8, 0600, 1000, 100) == 0);
  CHECK(flash_mkdir(f, "ROOT/opt", 0750) == 0);
  CHECK(flash_symlink(f, "/etc/motd", "ROOT/opt/motd") == 0);
  CHECK(flash_rename(f, "ROOT/etc/issue", "ROOT/opt/issue") == 0);
  CHECK(flash_chmod(f, "ROOT/opt/issue", 0640) == 0);
  CHECK(flash_chown(f, "ROOT/opt/issue", 7, 8) == 0);
  CHECK(flash_remove(f, "ROOT/var") == 0);
  char buf[16] = {0};
  CHECK(flash_pread(f, "ROOT/opt/issue", buf, sizeof buf, 6) == 4 && memcmp(buf, "box\n", 4) == 0);
  /* Refusals: a negative errno and the reason in words. */
  CHECK(flash_stat(f, "ROOT/etc/issue", &st) == -ENOENT);
  CHECK(strstr(flash_last_error(f), "No such file or directory") != NULL);
  CHECK(flash_mkdir(f, "ROOT/opt", 0755) == -EEXIST);
  CHECK(flash_rename(f, "ROOT/opt", "ROOT/opt/deeper") == -EINVAL);
  CHECK(flash_put(f, "NOPART/x", "x", 1, -1, -1, -1) < 0 && strstr(flash_last_error(f), "no such partition"));
  CHECK(flash_save(f, argv[2], 0) == 0);
  CHECK(flash_save(f, "/nonexistent-dir/x.bin", 0) != 0 && flash_last_error(f)[0] != 0);
  flash_free(f);
  return 0;
}
)";

TEST(Library, AProgramWithOnlyTheHeaderEditsAndSaves) {
  for (const char* t : {"cc", "mksquashfs", "unsquashfs"})
    if (!rstest::have_tool(t)) GTEST_SKIP() << t << " is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  fs::create_directories(d.file("tree/var/log"));
  rstest::write_text(d.file("tree/etc/issue"), "hello box\n");
  rstest::write_text(d.file("tree/var/log/messages"), "boot\n");
  RunResult r = rstest::run_command("mksquashfs tree root.sqfs -noappend -quiet -all-root && "
                                    "printf 'table_version 4\\ncrc32 true\\nBOOT NULL true RAW ro 0 0 0 0x10000\\n"
                                    "ROOT root.sqfs true SQUASHFS rw 0 0 0x10000 0x200000\\n"
                                    "TABLE NULL false RAW ro 0 0 0x210000 0x10000\\n' > flash.conf && " +
                                        shell_quote(ROMSMITH_BIN) + " mkflash flash.conf flash.bin",
                                    "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  rstest::write_text(d.file("prog.c"), kProgram);
  std::string lib = fs::path(ROMSMITH_LIB).parent_path().string();
  std::string sanitize;
#ifdef ROMSMITH_SANITIZED
  sanitize = " -fsanitize=address,undefined";
#endif
  r = rstest::run_command("cc -std=c99 -Wall -Werror" + sanitize + " -I" +
                              shell_quote(std::string(ROMSMITH_SOURCE_DIR) + "/include") + " prog.c -o prog -L" +
                              shell_quote(lib) + " -lromsmith -Wl,-rpath," + shell_quote(lib),
                          "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = rstest::run_command("./prog flash.bin out.bin", "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = rstest::run_command(shell_quote(ROMSMITH_BIN) + " -c 'open out.bin; dumppar ROOT root.out' && unsquashfs -lln root.out",
                          "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char* want : {"-rw------- 1000/100 ", " 8 ", "squashfs-root/etc/motd", "drwxr-x--- 0/0", "squashfs-root/opt\n",
                           "-rw-r----- 7/8 ", "squashfs-root/opt/issue", "squashfs-root/opt/motd -> /etc/motd"})
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
  EXPECT_EQ(r.out.find("squashfs-root/var"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("squashfs-root/etc/issue"), std::string::npos) << r.out;
}

}  // namespace

namespace {

std::string listing_of(flash* f) {
  testing::internal::CaptureStdout();
  flash_printf(f);
  return testing::internal::GetCapturedStdout();
}

// Each image keeps its own table format, whatever was opened after it.
TEST(ImageState, TwoFormatsSideBySideListTheirOwn) {
  rstest::TempDir d;
  for (int v : {2, 4}) {
    rstest::FixtureTable t = rstest::sample_table(v);
    rstest::write_bytes(d.file("v" + std::to_string(v) + ".bin"), rstest::build_image(t, 0x40000, 0x8000));
  }
  for (bool v2_first : {true, false}) {
    rstest::Image a(flash_load_bin(d.file(v2_first ? "v2.bin" : "v4.bin").c_str()));
    rstest::Image b(flash_load_bin(d.file(v2_first ? "v4.bin" : "v2.bin").c_str()));
    ASSERT_TRUE(a.f && b.f);
    flash* v2 = v2_first ? a.f : b.f;
    flash* v4 = v2_first ? b.f : a.f;
    for (int round = 0; round < 2; ++round) {
      EXPECT_NE(listing_of(v2).find("Partition MAX Count :  24\n"), std::string::npos) << v2_first;
      EXPECT_NE(listing_of(v4).find("Partition MAX Count :  84\n"), std::string::npos) << v2_first;
    }
  }
}

// A flash.conf's directory is its image's, not the next opened image's.
TEST(ImageState, ConfThenBinThenSaveWritesEachTableFileInItsOwnPlace) {
  rstest::TempDir d;
  std::filesystem::create_directories(d.file("conf"));
  std::filesystem::create_directories(d.file("work"));
  rstest::write_text(d.file("conf/boot.bin"), "boot");
  rstest::write_text(d.file("conf/a.conf"), "table_version 4\nBOOT boot.bin true RAW ro 0 0 0 0x10000\n"
                                             "TABLE NULL false RAW ro 0 0 0x10000 0x10000\n");
  rstest::write_bytes(d.file("work/img.bin"), rstest::build_image(rstest::sample_table(2), 0x40000, 0x8000));
  rstest::ScopedCwd cwd(d.path());
  testing::internal::CaptureStdout();
  rstest::Image conf(flash_load_conf("conf/a.conf"));
  rstest::Image bin(flash_load_bin("work/img.bin"));
  ASSERT_TRUE(conf.f && bin.f);
  EXPECT_EQ(flash_save(bin.f, "out/../work/saved.bin", 0), -1) << "no such directory";
  EXPECT_NE(std::string(flash_last_error(bin.f)).find("No such file or directory"), std::string::npos);
  EXPECT_EQ(flash_save(bin.f, "work/saved.bin", 0), 0);
  EXPECT_EQ(flash_save(conf.f, "work/built.bin", 0), 0);
  testing::internal::GetCapturedStdout();
  // The opened image's table file goes where the caller works, the built one's beside its conf.
  EXPECT_EQ(rstest::read_bytes(d.file("table.bin")).size(), rstest::table_size(2));
  EXPECT_EQ(rstest::read_bytes(d.file("conf/table.bin")).size(), rstest::table_size(4));
  EXPECT_STREQ(flash_last_error(bin.f), "") << "a successful save clears it";
}

}  // namespace

namespace {

// The core knows a file system only through its table: no type code of a
// file system outside the tables, the file systems' folders and the table
// format's own type words, and no file system's name in core code.
TEST(Layering, NoFileSystemNamedOutsideItsTable) {
  std::string src = std::string(ROMSMITH_SOURCE_DIR) + "/src";
  RunResult codes = rstest::run_command(
      "grep -rnE 'FS_(ROMFS|CRAMFS|JFFS2|YAFFS2|RAMFS|SQUASHFS|UBIFS|MINIFS)\\b' --include='*.cpp' --include='*.h' . "
      "| grep -vE '^\\./(core/fs_[a-z0-9]+\\.cpp|core/table\\.cpp|cramfs/|squashfs/|minifs/|jffs2/|romfs/|ubi/|ubifs/)'",
      "", src);
  EXPECT_EQ(codes.out, "");
  RunResult names = rstest::run_command(
      "grep -rniE '\"[^\"]*(cramfs|squashfs|minifs)' --include='*.cpp' --include='*.h' core "
      "| grep -vE '^core/(fs_[a-z0-9]+|table)\\.cpp:' | sed -E 's#//.*$##' | grep -iE '\"[^\"]*(cramfs|squashfs|minifs)'",
      "", src);
  EXPECT_EQ(names.out, "");
}

}  // namespace
