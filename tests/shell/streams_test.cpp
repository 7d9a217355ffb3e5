// What the program writes where the user points it: special targets written
// into, never replaced; files of any size streamed with their holes; dumps
// that keep hard links and deep trees; limits and concurrent saves that fail
// or serialise instead of corrupting.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using rstest::RunResult;
using rstest::shell_quote;

const std::string kRs = shell_quote(ROMSMITH_BIN);

bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

// A flash image whose ROOT partition is the file-system image `fs_image`.
std::string flash_with(const rstest::TempDir& d, const std::string& fs_image, const char* type = "SQUASHFS",
                       uint32_t root_size = 0x400000) {
  char conf[512];
  std::snprintf(conf, sizeof conf,
                "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                "ROOT %s true %s rw 0 0 0x10000 0x%x\nTABLE NULL false RAW ro 0 0 0x%x 0x10000\n",
                fs_image.c_str(), type, root_size, 0x10000 + root_size);
  rstest::write_text(d.file("flash.conf"), conf);
  RunResult r = rstest::run_command(kRs + " mkflash flash.conf flash.bin", "", d.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return d.file("flash.bin");
}

// A squashfs image of the host tree `tree` (relative to d), as ROOT of flash.bin.
std::string squashfs_flash(const rstest::TempDir& d, const std::string& tree) {
  RunResult r = rstest::run_command("mksquashfs " + tree + " root.sqfs -noappend -quiet -comp gzip", "", d.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return flash_with(d, "root.sqfs");
}

// Exit status and peak memory (KiB) of `cmd`, measured in a child of its own.
std::pair<int, long> run_measured(const std::string& cmd, const std::string& cwd) {
  int fds[2];
  if (::pipe(fds) != 0) return {-1, 0};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    int st = std::system(cmd.c_str());
    struct rusage ru {};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    long v[2] = {WIFEXITED(st) ? WEXITSTATUS(st) : 128, ru.ru_maxrss};
    (void)!::write(fds[1], v, sizeof v);
    ::_exit(0);
  }
  ::close(fds[1]);
  long v[2] = {-1, 0};
  (void)!::read(fds[0], v, sizeof v);
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return {int(v[0]), v[1]};
}

bool have_squashfs_tools() { return rstest::have_tool("mksquashfs") && rstest::have_tool("unsquashfs"); }

// ---- targets that are not regular files ------------------------------------

// A device node and a fifo stay what they are; the fifo's reader gets the
// bytes. Before, the atomic rename put a regular file in their place.
TEST(SpecialTargets, GetAndSaveWriteIntoDevicesAndFifos) {
  if (!have_squashfs_tools()) GTEST_SKIP() << "mksquashfs is not installed";
  if (::geteuid() != 0) GTEST_SKIP() << "mknod of a character device needs root";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "hello box\n");
  std::string image = squashfs_flash(d, "tree");
  ASSERT_EQ(::mknod(d.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  ASSERT_EQ(::mkfifo(d.file("fifo").c_str(), 0644), 0);
  for (const char* cmd : {"get ROOT/etc/issue null", "save null", "get ROOT/etc/issue fifo", "save fifo"}) {
    bool fifo = contains(cmd, "fifo");
    std::string reader = fifo ? "(cat fifo > got &) ; " : "";
    RunResult r = rstest::run_command(reader + kRs + " -c 'open flash.bin; " + cmd + "' && sleep 0.2", "", d.path());
    EXPECT_EQ(r.status, 0) << cmd << "\n" << r.out << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat(d.file(fifo ? "fifo" : "null").c_str(), &st), 0);
    if (fifo) {
      EXPECT_TRUE(S_ISFIFO(st.st_mode)) << cmd;
      std::vector<uint8_t> want = contains(cmd, "save") ? rstest::read_bytes(image)
                                                         : std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', ' ', 'b', 'o', 'x', '\n'};
      EXPECT_EQ(rstest::read_bytes(d.file("got")), want) << cmd;
    } else {
      EXPECT_TRUE(S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)) << cmd;
    }
  }
  // A directory is refused, not filled.
  fs::create_directories(d.file("adir"));
  RunResult r = rstest::run_command(kRs + " -c 'open flash.bin; get ROOT/etc/issue adir'", "", d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "Is a directory")) << r.err;
}

// ---- sizes ---------------------------------------------------------------------

// Peak memory of a run that streams: the program's own (the sanitizer
// runtime and its shadow add their share), far below any whole file.
#ifdef ROMSMITH_SANITIZED
constexpr long kStreamRssKiB = 160 * 1024;
#else
constexpr long kStreamRssKiB = 64 * 1024;
#endif

// A 64 GiB file that is one hole, in a 12 KiB image: streamed in bounded
// pieces, written sparse to a file, and to a device without holding it.
TEST(Streams, HugeSparseFileIsStreamedAndStaysSparse) {
  rstest::TempDir d;
  fs::copy_file(std::string(ROMSMITH_SOURCE_DIR) + "/tests/data/sparse-64g.sqfs", d.file("sparse.sqfs"));
  flash_with(d, "sparse.sqfs", "SQUASHFS", 0x20000);
  auto [st, rss] = run_measured(kRs + " -c 'open flash.bin; get ROOT/big big.out'", d.path());
  EXPECT_EQ(st, 0);
  EXPECT_LT(rss, kStreamRssKiB) << "KiB";
  struct stat sb {};
  ASSERT_EQ(::stat(d.file("big.out").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_size, off_t(64) << 30);
  EXPECT_LT(sb.st_blocks * 512, 1 << 20) << "the hole was written out";
  fs::remove(d.file("big.out"));
  std::tie(st, rss) = run_measured(kRs + " -c 'open flash.bin; get ROOT/big /dev/null; get ROOT/small -'", d.path());
  EXPECT_EQ(st, 0);
  EXPECT_LT(rss, kStreamRssKiB) << "KiB";
  // dump keeps the hole too.
  std::tie(st, rss) = run_measured(kRs + " -c 'open flash.bin; dump out' >/dev/null", d.path());
  EXPECT_EQ(st, 0);
  ASSERT_EQ(::stat(d.file("out/ROOT/big").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_size, off_t(64) << 30);
  EXPECT_LT(sb.st_blocks * 512, 1 << 20);
  EXPECT_EQ(rstest::read_text(d.file("out/ROOT/small")), "hi\n");
}

// ---- dumps -------------------------------------------------------------------

TEST(Dump, HardLinksStayOneInodeAndDeepTreesCostTheirDepth) {
  if (!have_squashfs_tools()) GTEST_SKIP() << "mksquashfs is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/links"));
  rstest::write_text(d.file("tree/links/base"), "shared\n");
  for (int i = 1; i < 20000; ++i)
    ASSERT_EQ(::link(d.file("tree/links/base").c_str(), d.file("tree/links/l" + std::to_string(i)).c_str()), 0);
  std::string deep = "tree/deep";
  for (int i = 0; i < 1000; ++i) deep += "/d";
  ASSERT_EQ(rstest::run_command("mkdir -p " + deep + " && echo bottom > " + deep + "/leaf", "", d.path()).status, 0);
  squashfs_flash(d, "tree");
  RunResult r = rstest::run_command("timeout 120 " + kRs + " -c 'open flash.bin; dump out' >/dev/null", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat a {}, b {};
  ASSERT_EQ(::stat(d.file("out/ROOT/links/base").c_str(), &a), 0);
  ASSERT_EQ(::stat(d.file("out/ROOT/links/l19999").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_nlink, 20000u);
  std::string leaf = "out/ROOT/deep";
  for (int i = 0; i < 1000; ++i) leaf += "/d";
  EXPECT_EQ(rstest::run_command("cat " + leaf + "/leaf", "", d.path()).out, "bottom\n");
}

// ---- split ---------------------------------------------------------------------

// A link planted in the output directory is replaced, never followed.
TEST(Split, PlantedLinkIsReplacedAndTheVictimKept) {
  rstest::TempDir d;
  fs::create_directories(d.file("parts"));
  rstest::write_text(d.file("parts/boot.bin"), "boot");
  rstest::write_text(d.file("victim.txt"), "precious\n");
  rstest::write_text(d.file("m.conf"), "table_version 4\nBOOT boot.bin true RAW ro 0 0 0 0x10000\n"
                                        "TABLE NULL false RAW ro 0 0 0x10000 0x10000\n");
  fs::copy_file(d.file("parts/boot.bin"), d.file("boot.bin"));
  RunResult r = rstest::run_command(kRs + " merge m.conf pack", "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  fs::create_directories(d.file("out"));
  fs::create_symlink("../victim.txt", d.file("out/boot.bin"));
  r = rstest::run_command(kRs + " split pack.merge out", "", d.path());
  EXPECT_EQ(rstest::read_text(d.file("victim.txt")), "precious\n");
  EXPECT_FALSE(fs::is_symlink(d.file("out/boot.bin")));
  EXPECT_EQ(rstest::read_text(d.file("out/boot.bin")), "boot");
}

// ---- limits and races ----------------------------------------------------------

TEST(Limits, FileSizeLimitFailsTheSaveAndKeepsTheOldFile) {
  if (!have_squashfs_tools()) GTEST_SKIP() << "mksquashfs is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree"));
  rstest::write_text(d.file("tree/f"), "x");
  squashfs_flash(d, "tree");
  rstest::write_text(d.file("old.bin"), "old image\n");
  RunResult r = rstest::run_command("ulimit -f 64; " + kRs + " -c 'open flash.bin; save old.bin'", "", d.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "File too large")) << r.err;
  EXPECT_EQ(rstest::read_text(d.file("old.bin")), "old image\n");
  r = rstest::run_command("ulimit -f 64; " + kRs + " mkflash flash.conf old.bin", "", d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "File too large")) << r.err;
  EXPECT_FALSE(fs::exists(d.file("old.bin"))) << "mkflash leaves no older output behind";
}

// Two saves to one target at once: the image and table.bin always come from
// the same one.
TEST(Limits, ConcurrentSavesKeepImageAndTableFileTogether) {
  rstest::TempDir d;
  for (const char* v : {"1", "2"}) {
    rstest::write_text(d.file(std::string("boot") + v), std::string(100, v[0]));
    rstest::write_text(d.file(std::string("c") + v + ".conf"),
                       std::string("table_version 4\ncrc32 true\nBOOT boot") + v +
                           " true RAW ro 0 " + v + " 0 0x10000\nTABLE NULL false RAW ro 0 0 0x10000 0x10000\n");
    RunResult r = rstest::run_command(kRs + " mkflash c" + v + ".conf img" + v + ".bin", "", d.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  int mismatched = 0;
  for (int round = 0; round < 100; ++round) {
    RunResult r = rstest::run_command("(" + kRs + " -c 'open img1.bin; save out.bin' >/dev/null &" + kRs +
                                          " -c 'open img2.bin; save out.bin' >/dev/null; wait)",
                                      "", d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> img = rstest::read_bytes(d.file("out.bin"));
    std::vector<uint8_t> table = rstest::read_bytes(d.file("table.bin"));
    ASSERT_GE(img.size(), 0x10000 + table.size());
    if (!std::equal(table.begin(), table.end(), img.begin() + 0x10000)) ++mismatched;
  }
  EXPECT_EQ(mismatched, 0);
}

// ---- smaller refusals ------------------------------------------------------------

TEST(Refusals, ScriptThatIsNoTextAndListingOfARawPartition) {
  rstest::TempDir d;
  RunResult r = rstest::run_command(kRs + " -f /dev/zero", "", d.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "/dev/zero: not a text file")) << r.err;
  EXPECT_FALSE(contains(r.err, "Success"));
  rstest::write_text(d.file("boot"), "b");
  rstest::write_text(d.file("c.conf"), "table_version 4\nBOOT boot true RAW ro 0 0 0 0x10000\n"
                                        "TABLE NULL false RAW ro 0 0 0x10000 0x10000\n");
  ASSERT_EQ(rstest::run_command(kRs + " mkflash c.conf f.bin", "", d.path()).status, 0);
  for (const char* ls : {"ls BOOT", "ls -l BOOT"}) {
    r = rstest::run_command(kRs + " -c 'open f.bin; " + ls + "'", "", d.path());
    EXPECT_EQ(r.status, 1) << ls;
    EXPECT_TRUE(contains(r.err, "BOOT: the partition holds no")) << ls << ": " << r.err;
  }
}

}  // namespace

namespace {

// lzma images save; a rebuild that fails is the save's failure, and the
// batch goes on under -k with the image still usable.
TEST(Rebuild, LzmaImagesSaveAndAFailedRebuildFailsOnlyTheSave) {
  if (!have_squashfs_tools()) GTEST_SKIP() << "mksquashfs is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "hello box\n");
  rstest::write_text(d.file("new.txt"), "new\n");
  RunResult r = rstest::run_command("mksquashfs tree root.sqfs -noappend -quiet -comp lzma", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  flash_with(d, "root.sqfs");
  r = rstest::run_command(kRs + " -c 'open flash.bin; add ROOT/etc/new new.txt; save out.bin; dumppar ROOT out.sqfs'"
                                " && unsquashfs -s out.sqfs && unsquashfs -cat out.sqfs etc/new",
                          "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Compression lzma")) << r.out;
  EXPECT_TRUE(contains(r.out, "new\n")) << r.out;
  rstest::write_text(d.file("old.bin"), "old\n");
  r = rstest::run_command("ROMSMITH_TEST_FAIL_COMPRESSOR=1 " + kRs +
                              " -k -c 'open flash.bin; add ROOT/etc/new new.txt; save old.bin; ls ROOT; get ROOT/etc/new -'",
                          "", d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out + r.err, "compressor_init failed")) << r.out << r.err;
  EXPECT_TRUE(contains(r.out + r.err, "ROOT: the edited squashfs cannot be rebuilt")) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "new\n")) << "the commands after the failed save ran:\n" << r.out;
  EXPECT_EQ(rstest::read_text(d.file("old.bin")), "old\n");
}

}  // namespace

namespace {

// Notes the readers make about fifos and devices at open go to standard
// error: standard output carries exactly the bytes asked for.
TEST(Streams, StandardOutputCarriesOnlyTheFile) {
  if (!have_squashfs_tools()) GTEST_SKIP() << "mksquashfs is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  fs::create_directories(d.file("tree/dev"));
  rstest::write_text(d.file("tree/etc/issue"), "hello box\n");
  ASSERT_EQ(::mkfifo(d.file("tree/dev/initctl").c_str(), 0600), 0);
  squashfs_flash(d, "tree");
  RunResult r = rstest::run_command(kRs + " -c 'open flash.bin; get ROOT/etc/issue -'", "", d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "hello box\n");
}

}  // namespace

namespace {

// A file system that outgrew its partition fails the save, names the sizes,
// and keeps the edits: undoing one lets the next save go through.
TEST(Rebuild, OutgrownPartitionFailsTheSaveAndKeepsTheEdits) {
  if (!have_squashfs_tools()) GTEST_SKIP() << "mksquashfs is not installed";
  rstest::TempDir d;
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "hello box\n");
  rstest::write_bytes(d.file("big.bin"), rstest::random_bytes(300000, 5));
  rstest::write_text(d.file("small.txt"), "small\n");
  RunResult r = rstest::run_command("mksquashfs tree root.sqfs -noappend -quiet -comp gzip", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  flash_with(d, "root.sqfs", "SQUASHFS", 0x20000);
  rstest::write_text(d.file("old.bin"), "old\n");
  r = rstest::run_command(kRs + " -k -c 'open flash.bin; add ROOT/etc/small small.txt; add ROOT/big big.bin; save old.bin; "
                                "rm ROOT/big; save new.bin; ls ROOT'",
                          "", d.path());
  EXPECT_EQ(r.status, 1) << "the first save failed";
  EXPECT_TRUE(contains(r.out + r.err, "error: ROOT: rebuilt squashfs needs ")) << r.out << r.err;
  EXPECT_TRUE(contains(r.out + r.err, " MiB, the partition holds 0.12 MiB")) << r.out << r.err;
  EXPECT_EQ(rstest::read_text(d.file("old.bin")), "old\n");
  r = rstest::run_command(kRs + " -c 'open new.bin; get ROOT/etc/small -'", "", d.path());
  EXPECT_EQ(r.out, "small\n") << "the edit made before the failed save reached the next one\n" << r.err;
}

}  // namespace
