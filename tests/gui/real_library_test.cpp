// The whole carry-over through the real image library: flash images with a
// cramfs root made by mkfs.cramfs, loaded, patched and saved by the library.
// The library is part of this build: a missing or incapable one fails here.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>

#include "boot_fixture.h"
#include "fixture.h"
#include "gui_app.h"
#include "keyporter_window.h"
#include "testutil.h"

namespace {

class QuietWindow : public KeyPorterWindow {
 public:
  using KeyPorterWindow::KeyPorterWindow;
  QStringList answers, boxes;

 protected:
  QString askOpenFileName(const QString&) override { return answers.takeFirst(); }
  QString askSaveFileName(const QString&) override { return answers.takeFirst(); }
  void showInformation(const QString& t, const QString& x) override { boxes << t + "|" + x; }
  void showCritical(const QString& t, const QString& x) override { boxes << t + "|" + x; }
};

// BOOT (raw), ROOT (cramfs with the theme files), TABLE.
std::vector<uint8_t> make_image(const rstest::TempDir& dir, const std::string& tag, const std::vector<uint8_t>& boot,
                                const std::string& panel) {
  std::string root = dir.file("root_" + tag);
  auto r = rstest::run_command("mkdir -p " + rstest::shell_quote(root + "/dvb/theme"));
  rstest::write_text(root + "/dvb/theme/keymap.xml", "<keymap from=\"" + tag + "\"/>\n");
  rstest::write_text(root + "/dvb/theme/panel.xml", panel);
  rstest::write_text(root + "/dvb/theme/other.txt", "kept " + tag);
  std::string img = dir.file("root_" + tag + ".cramfs");
  r = rstest::run_command("mkfs.cramfs " + rstest::shell_quote(root) + " " + rstest::shell_quote(img));
  EXPECT_EQ(r.status, 0) << r.err;

  rstest::FixtureTable t;
  t.format = 4;
  rstest::FixturePart p;
  p.name = "BOOT";
  p.start = 0;
  p.total = 0x10000;
  p.content = boot;
  t.parts.push_back(p);
  p.name = "ROOT";
  p.start = 0x10000;
  p.total = 0x40000;
  p.type = 2;
  p.content = rstest::read_bytes(img);
  t.parts.push_back(p);
  p.name = "TABLE";
  p.start = 0x50000;
  p.total = 0x1000;
  p.type = 0;
  p.content.clear();
  p.crc32_enable = false;
  t.parts.push_back(p);
  return rstest::build_image(t, 0x60000, 0x50000);
}

TEST(RealLibrary, CarriesThemeFilesAndBootData) {
  if (!rstest::have_tool("mkfs.cramfs")) GTEST_SKIP() << "mkfs.cramfs not installed";
  guitest::app();

  rstest::TempDir dir;
  rstest::ScopedCwd cwd(dir.path());
  const char panel[] =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n<group name=\"led converse\"><led value=\"1\"/></group>\n"
      "<group name=\"led value\"><seg name=\"BIT_A\">01</seg><seg name=\"BIT_C\">04</seg><seg name=\"BIT_D\">08</seg>"
      "<seg name=\"BIT_E\">10</seg><seg name=\"BIT_G\">40</seg></group>\n</config>\n";
  auto src_boot = guitest::make_boot({0x00FF12ED, 0x00FF1AE5}, 0x50);
  auto dst_boot = guitest::make_boot({0xD1, 0xD2, 0xD3}, 0x10);
  rstest::write_bytes(dir.file("src.bin"), make_image(dir, "src", src_boot, panel));
  rstest::write_bytes(dir.file("dst.bin"), make_image(dir, "dst", dst_boot, "<config/>\n"));
  // The user's own files of the working files' names, in the start folder.
  const char* const user_files[] = {"keymap.xml", "panel.xml", "table.bin", "loader.bin", "bt.bin"};
  for (const char* f : user_files) rstest::write_text(dir.file(f), std::string("user's ") + f);

  ASSERT_TRUE(QFileInfo::exists(QStringLiteral(ROMSMITH_LIB))) << ROMSMITH_LIB << " was not built";
  QuietWindow bench(nullptr, QStringLiteral(ROMSMITH_LIB));
  ASSERT_TRUE(bench.libraryLoaded()) << bench.startProblem().toStdString();
  {
    // The library must read cramfs for this to mean anything.
    QLibrary lib(QStringLiteral(ROMSMITH_LIB));
    auto load = reinterpret_cast<keyporter::flash_load_bin_fn>(lib.resolve("flash_load_bin"));
    auto read = reinterpret_cast<keyporter::flash_read_fn>(lib.resolve("flash_read"));
    auto release = reinterpret_cast<keyporter::flash_free_fn>(lib.resolve("flash_free"));
    ASSERT_TRUE(load && read && release);
    flash* f = load(dir.file("src.bin").c_str());
    ASSERT_TRUE(f);
    char buf[64];
    int n = read(f, "ROOT//dvb/theme/keymap.xml", buf, sizeof buf, 0);
    release(f);
    ASSERT_GT(n, 0) << "the library cannot read the cramfs root";
  }

  bench.answers << QString::fromStdString(dir.file("src.bin")) << QString::fromStdString(dir.file("dst.bin"))
                << QString::fromStdString(dir.file("out.bin"));
  bench.OpenSrc();
  bench.OpenDst();
  bench.SaveAs();
  ASSERT_EQ(bench.boxes.join('\n'), "Save|Success");
  EXPECT_FALSE(QFile::exists(bench.workFolder() + "/table.bin"));
  // A save the library cannot write names the file and gives a reason.
  bench.boxes.clear();
  bench.answers << QString::fromStdString(dir.file("gone/out.bin"));
  bench.SaveAs();
  ASSERT_EQ(bench.boxes.size(), 1);
  const std::string failed = "Save|Save Failed\n" + dir.file("gone/out.bin") + "\n";
  EXPECT_EQ(bench.boxes[0].toStdString().substr(0, failed.size()), failed);
  EXPECT_GT(bench.boxes[0].size(), int(failed.size())) << "no reason";

  // The saved image, read back through the library.
  QuietWindow check(nullptr, QStringLiteral(ROMSMITH_LIB));
  QLibrary lib(QStringLiteral(ROMSMITH_LIB));
  auto load = reinterpret_cast<keyporter::flash_load_bin_fn>(lib.resolve("flash_load_bin"));
  auto read = reinterpret_cast<keyporter::flash_read_fn>(lib.resolve("flash_read"));
  auto dump = reinterpret_cast<keyporter::flash_partition_dump_fn>(lib.resolve("flash_partition_dump"));
  auto release = reinterpret_cast<keyporter::flash_free_fn>(lib.resolve("flash_free"));
  flash* out = load(dir.file("out.bin").c_str());
  ASSERT_TRUE(out);
  std::vector<char> buf(4096);
  auto file = [&](const char* p) {
    int n = read(out, p, buf.data(), int(buf.size()), 0);
    return n > 0 ? std::string(buf.data(), size_t(n)) : std::string();
  };
  EXPECT_EQ(file("ROOT//dvb/theme/keymap.xml"), "<keymap from=\"src\"/>\n");
  EXPECT_EQ(file("ROOT//dvb/theme/panel.xml"), panel);
  EXPECT_EQ(file("ROOT//dvb/theme/other.txt"), "kept dst");
  ASSERT_EQ(dump(out, "BOOT", "boot.out"), 0);
  release(out);
  auto boot = rstest::read_bytes("boot.out");
  ASSERT_GE(boot.size(), guitest::kMarkerAt + 80);
  EXPECT_TRUE(std::equal(boot.begin() + guitest::kBlockAt, boot.begin() + guitest::kBlockAt + 132,
                         src_boot.begin() + guitest::kBlockAt));
  EXPECT_EQ(guitest::get_le32(boot, guitest::kBlockAt + 136), 0x00FF1AE5u);
  EXPECT_EQ(guitest::get_le32(boot, guitest::kBlockAt + 140), 0x0000FFFFu);
  EXPECT_EQ(boot[guitest::kMarkerAt + 57], 0xA3);  // inverted: led converse 1
  EXPECT_EQ(boot[guitest::kMarkerAt + 53], 0xAB);

  // A file that is no image is refused with its name.
  rstest::write_text(dir.file("junk.bin"), "not an image");
  check.answers << QString::fromStdString(dir.file("junk.bin"));
  check.OpenDst();
  ASSERT_EQ(check.boxes.size(), 1);
  const std::string refused = "Import|Not Support Bin\n" + dir.file("junk.bin") + "\n";
  EXPECT_EQ(check.boxes[0].toStdString().substr(0, refused.size()), refused);

  const QString work = bench.workFolder();
  bench.ToolExit();
  EXPECT_FALSE(QFileInfo::exists(work));
  for (const char* f : user_files) EXPECT_EQ(rstest::read_text(dir.file(f)), std::string("user's ") + f) << f;
}

}  // namespace
