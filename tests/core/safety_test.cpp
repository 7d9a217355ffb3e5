// Nothing an image names escapes the dump directory, and saves never leave
// a half-written or misplaced file.
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "core/state.h"
#include "core/table.h"
#include "fixture.h"
#include "streams.h"
#include "testutil.h"
#include "util/fileio.h"

namespace fs = std::filesystem;

namespace {

using rstest::Image;

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(Dump, PartitionNamesNeverLeaveTheDirectory) {
  if (!rstest::have_tool("mkfs.cramfs")) GTEST_SKIP() << "mkfs.cramfs not installed";
  rstest::TempDir dir;
  std::string victim = dir.file("victim");
  ASSERT_EQ(::mkdir(victim.c_str(), 0755), 0);
  rstest::write_text(victim + "/README", "keep me\n");
  // A cramfs named ".." holding a link zz -> victim, and partitions whose
  // names try the other ways out.
  std::string src = dir.file("src");
  rstest::run_command("mkdir -p " + src + " && ln -s " + victim + " " + src + "/zz && echo x > " + src + "/README");
  ASSERT_EQ(rstest::run_command("mkfs.cramfs " + src + " " + dir.file("c.img") + " >/dev/null").status, 0);
  rstest::FixtureTable t = rstest::sample_table(4);
  t.parts.resize(3);  // BOOT, KERNEL, TABLE
  const char* names[] = {"..", "../zz", "A", "A/B", ".", "../..", ""};
  uint32_t at = 0x10000;
  for (const char* n : names) {
    rstest::FixturePart p;
    p.name = n;
    p.start = at;
    p.total = 0x4000;
    p.type = FS_CRAMFS;
    p.content = rstest::read_bytes(dir.file("c.img"));
    t.parts.push_back(p);
    at += 0x4000;
  }
  rstest::write_bytes(dir.file("in.bin"), rstest::build_image(t, at, 0xC000));
  Image img(flash_load_bin(dir.file("in.bin").c_str()));
  ASSERT_NE(img.f, nullptr);
  std::vector<std::string> before = listing(dir.path());
  std::string out = dir.file("d/deeper");
  rstest::Streams said = rstest::capture_streams([&] { flash_dump(img.f, out.c_str()); });
  EXPECT_EQ(rstest::read_text(victim + "/README"), "keep me\n");
  // Outside d, the tree is as it was.
  std::vector<std::string> after;
  for (const std::string& p : listing(dir.path()))
    if (p.rfind(dir.file("d"), 0) != 0) after.push_back(p);
  before.erase(std::remove_if(before.begin(), before.end(),
                              [&](const std::string& p) { return p.rfind(dir.file("d"), 0) == 0; }),
               before.end());
  EXPECT_EQ(after, before);
  EXPECT_NE(said.err.find("warning: partition name \"..\" is not a safe file name; dumped as \"partition3\"\n"),
            std::string::npos)
      << said.err;
  // Standard output keeps only the summary table.
  EXPECT_EQ(said.out.find("is not a safe file name"), std::string::npos) << said.out;
  EXPECT_EQ(said.out.rfind("ID NAME", 0), 0u) << said.out;
  EXPECT_TRUE(rs::path_exists(out + "/flash.conf"));
  // A link planted where the summary goes is replaced, not followed.
  ASSERT_EQ(::unlink((out + "/flash.conf").c_str()), 0);
  ASSERT_EQ(::symlink((victim + "/README").c_str(), (out + "/flash.conf").c_str()), 0);
  testing::internal::CaptureStdout();
  flash_dump(img.f, out.c_str());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rstest::read_text(victim + "/README"), "keep me\n");
}

class Saves : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  std::vector<uint8_t> orig = rstest::build_image(rstest::sample_table(4), 0x10000, 0xC000);
  void SetUp() override {
    basedir = dir.path();
    rstest::write_bytes(dir.file("in.bin"), orig);
  }
  void TearDown() override { basedir.assign(1, '.'); }
  int save(const std::string& to) {
    Image img(flash_load_bin(dir.file("in.bin").c_str()));
    rstest::StreamCapture c;
    int rc = img.f ? flash_save(img.f, to.c_str(), 1) : -2;
    rstest::Streams s = c.take();
    said = s.err;
    listed = s.out;
    return rc;
  }
  std::string said;    // standard error of the save
  std::string listed;  // a save lists nothing
};

TEST_F(Saves, LinkIsWrittenThroughAndModeKept) {
  std::string real = dir.file("real.bin"), link = dir.file("link.bin");
  rstest::write_text(real, "old");
  ASSERT_EQ(::chmod(real.c_str(), 0751), 0);
  ASSERT_EQ(::symlink("real.bin", link.c_str()), 0);
  ASSERT_EQ(save(link), 0) << said;
  struct stat st;
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
  EXPECT_EQ(rstest::read_bytes(real), orig);
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
}

TEST_F(Saves, TableFilePathIsRefused) {
  EXPECT_EQ(save(dir.file("table.bin")), -1);
  EXPECT_NE(said.find("is where the table file goes"), std::string::npos) << said;
  EXPECT_EQ(listed, "");
  EXPECT_FALSE(rs::path_exists(dir.file("table.bin")));
}

TEST_F(Saves, ReadOnlyTargetOfAnotherUserIsRefused) {
  // As an unprivileged user, a file without write permission is not replaced.
  std::string target = dir.file("ro.bin");
  rstest::write_text(target, "old");
  ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(3);
    ::chmod(target.c_str(), 0444);
    errno = 0;
    bool ok = rs::write_file_atomic(target, "new", 3);
    _exit(ok ? 1 : errno == EACCES ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: replaced, 2: another error, 3: could not drop root";
  EXPECT_EQ(rstest::read_text(target), "old");
}

TEST_F(Saves, KilledSaveLeavesOldOrNewAndNothingElse) {
  // A larger image so that the kill can land while the data is written.
  std::vector<uint8_t> big = rstest::build_image(rstest::sample_table(4), 64 << 20, 0xC000);
  rstest::write_bytes(dir.file("in.bin"), big);
  std::string out = dir.file("out") + "/img.bin";
  ASSERT_EQ(::mkdir(dir.file("out").c_str(), 0755), 0);
  rstest::write_text(out, "old");
  for (int delay_us : {0, 2000, 10000, 40000, 120000}) {
    pid_t pid = ::fork();
    if (pid == 0) {
      flash* f = flash_load_bin(dir.file("in.bin").c_str());
      std::fclose(stdout);
      basedir = dir.file("out2");
      _exit(f && flash_save(f, out.c_str(), 1) == 0 ? 0 : 1);
    }
    ::usleep(useconds_t(delay_us));
    ::kill(pid, SIGKILL);
    int status;
    ::waitpid(pid, &status, 0);
    std::vector<std::string> files = listing(dir.file("out"));
    ASSERT_EQ(files.size(), 1u) << "after " << delay_us << " us: " << files.size() << " files";
    std::vector<uint8_t> now = rstest::read_bytes(out);
    EXPECT_TRUE(now == big || rstest::read_text(out) == "old") << delay_us;
  }
}

}  // namespace
