// flash.conf settings, placement by file-system type and what a build loads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/state.h"
#include "core/table.h"
#include "fixture.h"
#include "testutil.h"

namespace {

using rstest::Image;

class ConfBuild : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  void SetUp() override { rstest::write_bytes(dir.file("boot.bin"), rstest::random_bytes(0x1800, 7)); }
  flash* load(const std::string& body) {
    const std::string conf = dir.file("flash.conf");
    rstest::write_text(conf, body);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    flash* f = flash_load_conf(conf.c_str());
    err = testing::internal::GetCapturedStderr();
    out = testing::internal::GetCapturedStdout();
    return f;
  }
  std::string out;  // standard output: a build prints nothing there
  std::string err;  // standard error: its refusals and warnings
};

// Every setting, in each way a flash.conf or a dump's summary writes it.
struct SettingCase {
  const char* line;
  size_t flash::*field;
  long want;
};

class Settings : public ConfBuild, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(Settings, ReachTheirField) {
  const SettingCase& c = GetParam();
  Image img(load(std::string(c.line) + "\nBOOT boot.bin true RAW ro 0 0 0 0x10000\n"));
  ASSERT_NE(img.f, nullptr) << err;
  EXPECT_EQ(long(img.f->*c.field), c.want) << c.line;
}

INSTANTIATE_TEST_SUITE_P(Forms, Settings,
                         ::testing::Values(SettingCase{"flash_size 0x40000", &flash::flash_size, 0x40000},
                                           SettingCase{"flash_size=0x40000", &flash::flash_size, 0x40000},
                                           SettingCase{"flash_size = 0x40000", &flash::flash_size, 0x40000},
                                           SettingCase{"FLASH_SIZE =0x40000", &flash::flash_size, 0x40000},
                                           SettingCase{"flash_size auto", &flash::flash_size, 0x10000},
                                           SettingCase{"block_size 0x1000", &flash::block_size, 0x1000},
                                           SettingCase{"block_size=0x20000", &flash::block_size, 0x20000}));

TEST_F(ConfBuild, FlagSettingsAndTableVersion) {
  Image img(
      load("table_enable = true\nwrite_protect true\ncrc32=TRUE\nzlibmode false\ntable_version 4\n"
           "BOOT boot.bin true RAW ro 0 0 0 0x10000\n"));
  ASSERT_NE(img.f, nullptr) << err;
  EXPECT_EQ(img.f->table_enable, 1);
  EXPECT_EQ(img.f->flash_table.write_protect, 1);
  EXPECT_EQ(img.f->flash_table.crc32_enable, 1);
  EXPECT_EQ(img.f->new_style, 0);
  EXPECT_EQ(img.f->table_version, 4);
  EXPECT_EQ(img.f->flash_table.magic, TABLE_V4_MAGIC);
}

class SettingWithoutValue : public ConfBuild, public ::testing::WithParamInterface<const char*> {};

TEST_P(SettingWithoutValue, IsRefusedByName) {
  EXPECT_EQ(load(std::string(GetParam()) + " =\nBOOT boot.bin true RAW ro 0 0 0 0x10000\n"), nullptr);
  EXPECT_EQ(err, "error: \"" + std::string(GetParam()) + "\" has no value in " + dir.file("flash.conf") + "\n");
  EXPECT_EQ(out, "");
}

INSTANTIATE_TEST_SUITE_P(Keys, SettingWithoutValue,
                         ::testing::Values("flash_size", "block_size", "table_enable", "write_protect", "crc32",
                                           "zlibmode", "table_version", "dtb_file"));

// An "auto" start follows the previous partition, rounded to the block size or
// to what the file system needs.
struct AutoStart {
  const char* type;
  uint32_t start;
};

class AutoStartOf : public ConfBuild, public ::testing::WithParamInterface<AutoStart> {};

TEST_P(AutoStartOf, RoundsToTheFileSystemsAlignment) {
  Image img(load(std::string("block_size 0x1000\nBOOT boot.bin true RAW ro 0 0 0 auto\nDATA NULL true ") +
                 GetParam().type + " rw 0 0 auto 0x10000\n"));
  ASSERT_NE(img.f, nullptr) << err;
  EXPECT_EQ(img.part("DATA")->info->start_addr, GetParam().start) << GetParam().type;
}

INSTANTIATE_TEST_SUITE_P(Types, AutoStartOf,
                         ::testing::Values(AutoStart{"RAW", 0x2000}, AutoStart{"CRAMFS", 0x2000},
                                           AutoStart{"SQUASHFS", 0x2000}, AutoStart{"MINIFS", 0x10000}));

TEST_F(ConfBuild, MinifsStartOffItsAlignmentIsRefused) {
  const char* rest = " rw 0 0 0x8000 0x10000\n";
  EXPECT_EQ(
      load(std::string("block_size 0x1000\nBOOT boot.bin true RAW ro 0 0 0 0x8000\nDATA NULL true MINIFS") + rest),
      nullptr);
  EXPECT_EQ(err, "\nminifs start address must be aligned 64K\n");
  EXPECT_EQ(out, "");
  // Other file systems only follow the block size.
  Image img(
      load(std::string("block_size 0x1000\nBOOT boot.bin true RAW ro 0 0 0 0x8000\nDATA NULL true CRAMFS") + rest));
  EXPECT_NE(img.f, nullptr) << err;
}

// A content file of a tree file system is opened for editing right after the
// build; other types stay bytes.
struct Loaded {
  const char* type;
  const char* maker;  // shell command, %s: source folder then image
  bool loads;
};

class AfterBuild : public ConfBuild, public ::testing::WithParamInterface<Loaded> {};

TEST_P(AfterBuild, LoadsOnlyTreeFileSystems) {
  const Loaded& c = GetParam();
  const std::string tool = std::string(c.maker).substr(0, std::string(c.maker).find(' '));
  if (!rstest::have_tool(tool)) GTEST_SKIP() << tool << " not installed";
  rstest::run_command("mkdir -p " + rstest::shell_quote(dir.file("tree/etc")));
  rstest::write_text(dir.file("tree/etc/issue"), "hello\n");
  char cmd[512];
  std::snprintf(cmd, sizeof cmd, c.maker, rstest::shell_quote(dir.file("tree")).c_str(),
                rstest::shell_quote(dir.file("root.img")).c_str());
  auto r = rstest::run_command(cmd);
  ASSERT_EQ(r.status, 0) << r.err;
  Image img(load(std::string("BOOT boot.bin true RAW ro 0 0 0 0x10000\nROOT root.img true ") + c.type +
                 " ro 0 0 0x10000 0x100000\n"));
  ASSERT_NE(img.f, nullptr) << err;
  EXPECT_EQ(img.part("ROOT")->fs != nullptr, c.loads) << c.type;
  char buf[16] = {};
  const int n = flash_read(img.f, "ROOT/etc/issue", buf, sizeof buf, 0);
  if (c.loads) {
    EXPECT_EQ(std::string(buf, size_t(std::max(n, 0))), "hello\n") << c.type;
  } else {
    EXPECT_LE(n, 0) << c.type;
  }
}

INSTANTIATE_TEST_SUITE_P(Types, AfterBuild,
                         ::testing::Values(Loaded{"CRAMFS", "mkfs.cramfs %s %s", true},
                                           Loaded{"SQUASHFS", "mksquashfs %s %s -noappend -quiet", true},
                                           Loaded{"RAW", "mkfs.cramfs %s %s", false}));

}  // namespace
