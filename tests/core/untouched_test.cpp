// What a save must give back unchanged: partitions nobody edited, bytes no
// partition covers, and each image's own table format.
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>
#include <unistd.h>

#include <cstring>

#include "core/fs_api.h"
#include "core/state.h"
#include "core/table.h"
#include "fixture.h"
#include "minifs/minifs.h"
#include "streams.h"
#include "testutil.h"
#include "util/fileio.h"

namespace {

using rstest::Image;

int quiet_save(flash* f, const std::string& out, int unchanged = 0) {
  testing::internal::CaptureStdout();
  int rc = flash_save(f, out.c_str(), unchanged);
  testing::internal::GetCapturedStdout();
  return rc;
}

class Untouched : public ::testing::TestWithParam<int> {
 protected:
  rstest::TempDir dir;
  void SetUp() override { basedir = dir.path(); }
  void TearDown() override {
    basedir.assign(1, '.');
    init_table_sect(1);
  }

  // The sample table with a random gap between KERNEL and TABLE, a random
  // tail after DATA, and, when the tools are there, a cramfs and a squashfs
  // partition made by them.
  std::vector<uint8_t> image(int format) {
    rstest::FixtureTable t = rstest::sample_table(format);
    t.parts[1].total = 0x6000;  // KERNEL ends at 0xA000: 0xA000-0xC000 is a gap
    t.parts[1].content.resize(0x5000);
    std::string src = dir.file("src");
    rstest::run_command("mkdir -p " + src + "/etc && echo hello > " + src + "/etc/issue && ln -s issue " + src +
                        "/etc/motd && chown 1000:100 " + src + "/etc/issue && chmod 4755 " + src + "/etc/issue");
    auto add = [&](const char* name, uint32_t start, int8_t type, const std::string& tool, const std::string& cmd) {
      std::string img = dir.file(name);
      if (!rstest::have_tool(tool) || rstest::run_command(cmd + " " + src + " " + img + " >/dev/null").status != 0)
        return;
      rstest::FixturePart p;
      p.name = name;
      p.start = start;
      p.total = 0x10000;
      p.type = type;
      p.content = rstest::read_bytes(img);
      t.parts.push_back(p);
    };
    add("ROOT", 0x10000, FS_CRAMFS, "mkfs.cramfs", "mkfs.cramfs");
    add("APP", 0x20000, FS_SQUASHFS, "mksquashfs", "sh -c 'mksquashfs \"$0\" \"$1\" -comp xz -quiet -no-progress'");
    {
      // A minifs DATA partition of the same tree, through the library's own writer.
      std::vector<uint8_t> dev(0x40000, 0xFF);
      minifs_device* d = minifs_mount("", "/", dev.data(), dev.size(), nullptr);
      size_t n = 0;
      uint8_t* m = d && minifs_load(d, src.c_str(), 1) == 0 ? minifs_mmap(d, &n) : nullptr;
      if (m) {
        rstest::FixturePart p;
        p.name = "MDATA";
        p.start = 0x34000;
        p.total = 0x40000;
        p.type = int8_t(FS_MINIFS);
        p.content.assign(m, m + n);
        t.parts.push_back(p);
        minifs_munmap(m, n);
      }
      if (d) minifs_umount(d);
    }
    std::vector<uint8_t> img = rstest::build_image(t, 0x78000, 0xC000);
    std::vector<uint8_t> noise = rstest::random_bytes(img.size(), 7);
    // The gap after KERNEL, the gap after APP, and the tail after MDATA.
    std::memcpy(&img[0xA000], &noise[0xA000], 0x2000);
    std::memcpy(&img[0x30000], &noise[0x30000], 0x4000);
    std::memcpy(&img[0x74000], &noise[0x74000], 0x4000);
    return img;
  }
};

TEST_P(Untouched, OpenAndSaveGiveBackEveryByte) {
  std::vector<uint8_t> orig = image(GetParam());
  std::string in = dir.file("in.bin");
  rstest::write_bytes(in, orig);
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  ASSERT_NE(img.part("MDATA"), nullptr);
  ASSERT_NE(img.part("MDATA")->fs, nullptr);
  std::string out = dir.file("out.bin");
  ASSERT_EQ(quiet_save(img.f, out), 0);
  std::vector<uint8_t> got = rstest::read_bytes(out);
  ASSERT_EQ(got.size(), orig.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], orig[i]) << "first changed byte at 0x" << std::hex << i;
  // A content given as a whole is written as given, never rebuilt.
  if (partition_data* root = img.part("ROOT")) {
    std::vector<uint8_t> given(root->buf, root->buf + root->info->used_size);
    ASSERT_EQ(flash_update(img.f, "ROOT", given.data(), int(given.size())), 0);
    ASSERT_EQ(quiet_save(img.f, out), 0);
    got = rstest::read_bytes(out);
    ASSERT_EQ(got.size(), orig.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], orig[i]) << "after update: 0x" << std::hex << i;
  }
  // Removing what is not there edits nothing.
  if (img.part("APP")) {
    flash_rm(img.f, "APP//no/such/file");
    ASSERT_EQ(quiet_save(img.f, out), 0);
    EXPECT_EQ(rstest::read_bytes(out), orig);
  }
}

TEST_P(Untouched, EditInOnePartitionLeavesEveryOtherByte) {
  if (!rstest::have_tool("mkfs.cramfs")) GTEST_SKIP() << "mkfs.cramfs not installed";
  std::vector<uint8_t> orig = image(GetParam());
  std::string in = dir.file("in.bin");
  rstest::write_bytes(in, orig);
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  ASSERT_NE(img.part("ROOT")->fs, nullptr);
  rstest::write_text(dir.file("new"), "changed\n");
  ASSERT_EQ(flash_add(img.f, "ROOT//etc/issue", dir.file("new").c_str()), 1);
  std::string out = dir.file("out.bin");
  ASSERT_EQ(quiet_save(img.f, out), 0);
  std::vector<uint8_t> got = rstest::read_bytes(out);
  ASSERT_EQ(got.size(), orig.size());
  const partition_info* root = img.part("ROOT")->info;
  const partition_info* table = img.part("TABLE")->info;
  for (size_t i = 0; i < got.size(); ++i) {
    bool in_root = i >= root->start_addr && i < root->start_addr + root->total_size;
    bool in_table = i >= table->start_addr && i < table->start_addr + table->total_size;
    if (in_root || in_table) continue;
    ASSERT_EQ(got[i], orig[i]) << "byte 0x" << std::hex << i << " changed outside the edited partition";
  }
  Image again(flash_load_bin(out.c_str()));
  ASSERT_NE(again.f, nullptr);
  char buf[16] = {};
  EXPECT_EQ(flash_read(again.f, "ROOT//etc/issue", buf, sizeof buf, 0), 8);
  EXPECT_STREQ(buf, "changed\n");
  EXPECT_EQ(again.part("ROOT")->crc32_passed, 1);
}

TEST_P(Untouched, ReplacedFileKeepsModeAndOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "the source tree needs owner 1000:100";
  rstest::write_bytes(dir.file("in.bin"), image(GetParam()));
  Image img(flash_load_bin(dir.file("in.bin").c_str()));
  ASSERT_NE(img.f, nullptr);
  rstest::write_text(dir.file("new"), "changed\n");
  std::vector<std::string> edited;
  for (const char* p : {"ROOT", "APP", "MDATA"}) {
    if (!img.part(p)) continue;
    std::string path = std::string(p) + "//etc/issue";
    ASSERT_GT(flash_add(img.f, path.c_str(), dir.file("new").c_str()), 0) << p;
    edited.push_back(path);
  }
  if (edited.empty()) GTEST_SKIP() << "no cramfs or squashfs tools";
  ASSERT_EQ(quiet_save(img.f, dir.file("out.bin")), 0);
  Image again(flash_load_bin(dir.file("out.bin").c_str()));
  ASSERT_NE(again.f, nullptr);
  for (const std::string& path : edited) {
    fs_attr a;
    ASSERT_EQ(flash_fs_stat(again.f, path.c_str(), &a), 0) << path;
    EXPECT_EQ(a.mode, 0104755u) << path;
    EXPECT_EQ(a.uid, 1000u) << path;
    EXPECT_EQ(a.gid, 100u) << path;
    EXPECT_EQ(a.size, 8u) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Untouched, ::testing::Values(1, 2, 4));

TEST(Images, DifferentTableFormatsLiveInOneProcess) {
  rstest::TempDir dir;
  basedir = dir.path();
  std::vector<uint8_t> v4 = rstest::build_image(rstest::sample_table(4), 0x10000, 0xC000);
  std::vector<uint8_t> v1 = rstest::build_image(rstest::sample_table(1), 0x10000, 0xC000);
  rstest::write_bytes(dir.file("v4.bin"), v4);
  rstest::write_bytes(dir.file("v1.bin"), v1);
  for (bool v4_first : {true, false}) {
    Image a(flash_load_bin(dir.file(v4_first ? "v4.bin" : "v1.bin").c_str()));
    Image b(flash_load_bin(dir.file(v4_first ? "v1.bin" : "v4.bin").c_str()));
    ASSERT_NE(a.f, nullptr);
    ASSERT_NE(b.f, nullptr);
    // Saved in the other order than loaded, each keeps its own format.
    ASSERT_EQ(quiet_save(a.f, dir.file("a.bin"), 1), 0);
    ASSERT_EQ(quiet_save(b.f, dir.file("b.bin"), 1), 0);
    EXPECT_EQ(rstest::read_bytes(dir.file("a.bin")), v4_first ? v4 : v1);
    EXPECT_EQ(rstest::read_bytes(dir.file("b.bin")), v4_first ? v1 : v4);
    // A changed record is re-encoded in the image's own format too.
    a.part("DATA")->info->version = 7;
    ASSERT_EQ(quiet_save(a.f, dir.file("a.bin"), 1), 0);
    Image again(flash_load_bin(dir.file("a.bin").c_str()));
    ASSERT_NE(again.f, nullptr);
    EXPECT_EQ(again.f->table_version, v4_first ? 4 : 1);
    EXPECT_EQ(again.part("DATA")->info->version, 7);
  }
  // A flash.conf without table_version after a v4 image builds a v1 image.
  rstest::write_bytes(dir.file("boot.bin"), std::vector<uint8_t>(100, 1));
  rstest::write_text(dir.file("v1.conf"),
                     "BOOT boot.bin true RAW ro 0 0 0 0x1000\nTABLE NULL false RAW ro 0 0 0x1000 0x1000\n");
  Image v4img(flash_load_bin(dir.file("v4.bin").c_str()));
  testing::internal::CaptureStdout();
  Image built(flash_load_conf(dir.file("v1.conf").c_str()));
  testing::internal::GetCapturedStdout();
  ASSERT_NE(built.f, nullptr);
  ASSERT_EQ(quiet_save(built.f, dir.file("two.bin")), 0);
  Image reopened(flash_load_bin(dir.file("two.bin").c_str()));
  ASSERT_NE(reopened.f, nullptr) << "a v1 layout under a v4 magic does not open";
  EXPECT_EQ(reopened.f->table_version, 1);
  basedir.assign(1, '.');
  init_table_sect(1);
}

TEST(Images, OverlapThatWouldLoseAnEditIsRefused) {
  rstest::TempDir dir;
  basedir = dir.path();
  rstest::FixtureTable t = rstest::sample_table(4);
  t.parts[3].start = 0xB000;  // DATA overlaps the end of KERNEL (0x4000-0xC000)
  t.parts[3].total = 0x1000;
  std::vector<uint8_t> img = rstest::build_image(t, 0x10000, 0xC000);
  rstest::write_bytes(dir.file("in.bin"), img);
  Image f(flash_load_bin(dir.file("in.bin").c_str()));
  ASSERT_NE(f.f, nullptr);
  // As loaded, the overlap holds the same bytes for both: saved as loaded.
  ASSERT_EQ(quiet_save(f.f, dir.file("out.bin"), 1), 0);
  EXPECT_EQ(rstest::read_bytes(dir.file("out.bin")), img);
  std::vector<uint8_t> kernel(0x6000, 0x5A);
  ASSERT_EQ(flash_update(f.f, "KERNEL", kernel.data(), int(kernel.size())), 0);
  rstest::Streams said =
      rstest::capture_streams([&] { EXPECT_EQ(flash_save(f.f, dir.file("out2.bin").c_str(), 1), -1); });
  EXPECT_NE(said.err.find("KERNEL and DATA overlap"), std::string::npos) << said.err;
  EXPECT_EQ(said.out, "");
  EXPECT_FALSE(rs::path_exists(dir.file("out2.bin")));
  basedir.assign(1, '.');
  init_table_sect(1);
}

}  // namespace
