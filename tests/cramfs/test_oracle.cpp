// Interoperability with the public cramfs tools: their images load, ours pass
// their checker and extract to the same entries and attributes.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"
#include "testutil.h"
#include "util/strutil.h"

using namespace cramfs_test;
using rstest::run_command;
using rstest::shell_quote;

namespace cramfs_test {

static void walk(const std::string& root, const std::string& rel, std::map<std::string, std::string>& out) {
  DIR* d = opendir((root + rel).c_str());
  if (!d) return;
  while (dirent* de = readdir(d)) {
    if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
    std::string r = rel + "/" + de->d_name, full = root + r;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    std::string desc = rs::strprintf("mode=%o uid=%u gid=%u", unsigned(st.st_mode), unsigned(st.st_uid), unsigned(st.st_gid));
    if (S_ISREG(st.st_mode)) desc += " data=" + rstest::read_text(full);
    if (S_ISLNK(st.st_mode)) {
      char buf[4096];
      ssize_t n = readlink(full.c_str(), buf, sizeof buf);
      desc += " ->" + std::string(buf, n > 0 ? size_t(n) : 0);
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) desc += " dev=" + std::to_string(st.st_rdev);
    out[r] = desc;
    if (S_ISDIR(st.st_mode)) walk(root, r, out);
  }
  closedir(d);
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  walk(dir, "", out);
  return out;
}

void make_rich_dir(const std::string& dir) {
  auto p = [&](const char* rel) { return dir + "/" + rel; };
  mkdir(p("bin").c_str(), 0755);
  mkdir(p("etc").c_str(), 0755);
  mkdir(p("etc/init.d").c_str(), 0700);
  mkdir(p("empty_dir").c_str(), 0755);
  rstest::write_text(p("etc/hosts"), "127.0.0.1 localhost\n");
  rstest::write_text(p("etc/init.d/rcS"), "#!/bin/sh\necho up\n");
  chmod(p("etc/init.d/rcS").c_str(), 0755);
  rstest::write_text(p("empty"), "");
  std::vector<uint8_t> big = rstest::random_bytes(3 * 4096 + 123, 7);
  rstest::write_bytes(p("bin/busy"), big);
  chmod(p("bin/busy").c_str(), 04755);
  std::vector<uint8_t> holey(5 * 4096, 0);
  memcpy(&holey[4096 * 2], "middle", 6);
  rstest::write_bytes(p("holey"), holey);
  rstest::write_bytes(p("bin/copy"), big);  // duplicate content
  rstest::write_text(p("zz_text"), std::string(20000, 'a'));
  symlink("busy", p("bin/sh").c_str());
  symlink("../etc/hosts", p("hosts_link").c_str());
  mkfifo(p("fifo").c_str(), 0640);
  if (geteuid() == 0) {
    mknod(p("console").c_str(), S_IFCHR | 0600, makedev(5, 1));
    mknod(p("mtdblock0").c_str(), S_IFBLK | 0660, makedev(31, 0));
    chown(p("etc/hosts").c_str(), 1234, 56);
    lchown(p("bin/sh").c_str(), 7, 8);
  }
}

}  // namespace cramfs_test

namespace {


Tree load_quiet(const std::vector<uint8_t>& img) {
  testing::internal::CaptureStdout();  // "other" lines for special files
  Tree t = load(img);
  testing::internal::GetCapturedStdout();
  return t;
}


// fsck.cramfs -x of `image`, compared with the host directory it should equal.
void expect_extracts_to(const std::vector<uint8_t>& image, const std::map<std::string, std::string>& want,
                        const std::string& work) {
  std::string img = work + "/check.img", out = work + "/extract";
  rstest::write_bytes(img, image);
  rstest::RunResult r = run_command("fsck.cramfs --extract=" + shell_quote(out) + " " + shell_quote(img) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(snapshot(out), want);
  run_command("rm -rf " + shell_quote(out));
}

TEST(CramfsOracle, ToolImagesLoadExactly) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  std::vector<uint8_t> img = mkfs_tool(src, tmp.file("tool.img"));
  Tree t = load_quiet(img);
  ASSERT_TRUE(t);
  EXPECT_EQ(content(t.get(), "/bin/busy"), rstest::read_text(src + "/bin/busy"));
  EXPECT_EQ(content(t.get(), "/holey"), rstest::read_text(src + "/holey"));
  EXPECT_EQ(content(t.get(), "/zz_text"), std::string(20000, 'a'));
  EXPECT_EQ(content(t.get(), "/bin/sh"), "busy");
  EXPECT_EQ(cramfs_find(t.get(), "/etc/init.d/rcS")->mode, 0100755u);
  EXPECT_EQ(cramfs_find(t.get(), "/bin/busy")->mode, 0104755u);
  EXPECT_EQ(cramfs_find(t.get(), "/fifo")->mode, 010640u);
  EXPECT_EQ(cramfs_find(t.get(), "/empty")->size, 0u);
  EXPECT_EQ(cramfs_find(t.get(), "/empty_dir")->child, nullptr);
  char part[40];
  ASSERT_EQ(cramfs_read(t.get(), "/holey", part, 10, 2 * 4096 - 2), 10);
  EXPECT_EQ(std::string(part, 10), std::string("\0\0middle\0\0", 10));

  // Our rebuild of the loaded tree extracts to the original directory.
  std::vector<uint8_t> ours = build(t.get());
  ASSERT_FALSE(ours.empty());
  expect_extracts_to(ours, snapshot(src), tmp.path());
}

TEST(CramfsOracle, ParsedDirectoryImagePassesFsck) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  std::string out = tmp.file("ours.img");
  ASSERT_EQ(mkfs_cramfs(src.c_str(), out.c_str()), 0);
  std::vector<uint8_t> img = rstest::read_bytes(out);
  expect_extracts_to(img, snapshot(src), tmp.path());

  // Duplicates: bin/copy shares bin/busy's data.
  Tree t = load_quiet(img);
  ASSERT_TRUE(t);
  EXPECT_EQ(content(t.get(), "/bin/copy"), content(t.get(), "/bin/busy"));
}

TEST(CramfsOracle, EditedTreeRebuildsAndReloads) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  std::vector<uint8_t> img = mkfs_tool(src, tmp.file("tool.img"));
  Tree t = load_quiet(img);
  ASSERT_TRUE(t);
  // The same edits on the tree and on the host copy.
  std::vector<uint8_t> fresh = rstest::random_bytes(70000, 99);
  ASSERT_NE(cramfs_add_buffer(t.get(), "/etc/new.conf", fresh.data(), fresh.size()), nullptr);
  rstest::write_bytes(src + "/etc/new.conf", fresh);
  chmod((src + "/etc/new.conf").c_str(), 0644);
  cramfs_rm(t.get(), "/etc/hosts");
  ASSERT_NE(cramfs_add_buffer(t.get(), "/etc/hosts", "10.0.0.1 box\n", 13), nullptr);
  rstest::write_text(src + "/etc/hosts", "10.0.0.1 box\n");
  chown((src + "/etc/hosts").c_str(), 0, 0);
  chmod((src + "/etc/hosts").c_str(), 0644);
  cramfs_rm(t.get(), "/bin");
  run_command("rm -rf " + shell_quote(src + "/bin"));
  std::vector<uint8_t> ours = build(t.get());
  ASSERT_FALSE(ours.empty());
  expect_extracts_to(ours, snapshot(src), tmp.path());

  Tree again = load_quiet(ours);
  ASSERT_TRUE(again);
  EXPECT_EQ(content(again.get(), "/etc/new.conf"), std::string(fresh.begin(), fresh.end()));
  EXPECT_EQ(cramfs_find(again.get(), "/bin"), nullptr);
  EXPECT_EQ(content(again.get(), "/hosts_link"), "../etc/hosts");
}

// Padded (boot block) and big-endian images of the tool load; images with
// explicit holes (a feature flag) or bigger pages are refused with one line
// naming the variant.
struct ToolCase {
  const char* opts;
  bool loads;
  const char* refusal = "";
};
class CramfsToolOptions : public testing::TestWithParam<ToolCase> {};
TEST_P(CramfsToolOptions, Load) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  std::vector<uint8_t> img = mkfs_tool(src, tmp.file("tool.img"), GetParam().opts);
  testing::internal::CaptureStderr();
  Tree t = load_quiet(img);
  std::string err = testing::internal::GetCapturedStderr();
  if (!GetParam().loads) {
    EXPECT_FALSE(t);
    EXPECT_EQ(err, GetParam().refusal);
    return;
  }
  ASSERT_TRUE(t) << err;
  EXPECT_EQ(content(t.get(), "/holey"), rstest::read_text(src + "/holey"));
  EXPECT_EQ(content(t.get(), "/etc/init.d/rcS"), "#!/bin/sh\necho up\n");
}
INSTANTIATE_TEST_SUITE_P(Options, CramfsToolOptions,
                         testing::Values(ToolCase{"", true}, ToolCase{"-p", true},
                                         ToolCase{"-z", false, "unsupported cramfs features: explicit holes (flag 0x100, mkfs.cramfs -z)\n"},
                                         ToolCase{"-p -z", false, "unsupported cramfs features: explicit holes (flag 0x100, mkfs.cramfs -z)\n"},
                                         ToolCase{"-N big", true}, ToolCase{"-N big -p", true},
                                         ToolCase{"-N little", true},
                                         ToolCase{"-b 16384", false, "unsupported cramfs: 16384-byte pages or bigger (mkfs.cramfs -b); only 4096-byte pages are read\n"},
                                         ToolCase{"-b 65536 -N big", false, "unsupported cramfs: 16384-byte pages or bigger (mkfs.cramfs -b); only 4096-byte pages are read\n"},
                                         ToolCase{"-b 8192", false, "unsupported cramfs: 8192-byte pages (mkfs.cramfs -b); only 4096-byte pages are read\n"}));

}  // namespace

namespace {

TEST(CramfsMkfs, MissingDirectoryKeepsExistingImage) {
  rstest::TempDir tmp;
  std::string out = tmp.file("keep.img");
  rstest::write_text(out, "previous");
  testing::internal::CaptureStderr();
  EXPECT_EQ(mkfs_cramfs(tmp.file("absent").c_str(), out.c_str()), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("absent: No such file or directory"), std::string::npos);
  EXPECT_EQ(rstest::read_text(out), "previous");
}

}  // namespace
