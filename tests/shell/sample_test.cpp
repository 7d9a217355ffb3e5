// The bundled sample image, built the way the README's main job builds it.
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>

#include <cstring>
#include <filesystem>

#include "testutil.h"

namespace {

class Sample : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  std::string image;
  void SetUp() override {
    std::string build = std::filesystem::path(ROMSMITH_BIN).parent_path().string();
    rstest::RunResult r = rstest::run_command(
        "scripts/sample.sh " + rstest::shell_quote(build) + " " + rstest::shell_quote(dir.file("s")), "",
        ROMSMITH_SOURCE_DIR);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    image = dir.file("s/flash.bin");
  }
};

TEST_F(Sample, OpenSaveUnchangedReproducesEveryByte) {
  flash* f = flash_load_bin(image.c_str());
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->count, 6);
  for (int i = 0; i < f->count; ++i) {
    bool table = std::strcmp(f->list[i].info->name, "TABLE") == 0;
    EXPECT_EQ(f->list[i].crc32_passed, table ? 0 : 1) << f->list[i].info->name;
  }
  EXPECT_NE(flash_get_partition(f, "ROOT")->fs, nullptr);
  EXPECT_NE(flash_get_partition(f, "DATA")->fs, nullptr);
  char buf[64] = {};
  EXPECT_EQ(flash_read(f, "DATA//README", buf, sizeof buf, 0), 25);
  std::string out = dir.file("again.bin");
  ASSERT_EQ(flash_save(f, out.c_str(), 1), 0);
  flash_free(f);
  EXPECT_EQ(rstest::read_bytes(out), rstest::read_bytes(image));
}

TEST_F(Sample, EditingGoesOnAfterASave) {
  flash* f = flash_load_bin(image.c_str());
  ASSERT_NE(f, nullptr);
  std::string a(3000, 'a'), b(5000, 'b');
  ASSERT_EQ(flash_write(f, "DATA/a.txt", a.data(), int(a.size())), int(a.size()));
  ASSERT_EQ(flash_save(f, dir.file("one.bin").c_str(), 0), 0);
  std::vector<char> buf(8000);
  EXPECT_EQ(flash_read(f, "DATA/a.txt", buf.data(), int(buf.size()), 0), int(a.size()));
  EXPECT_EQ(flash_read(f, "DATA//README", buf.data(), int(buf.size()), 0), 25);
  ASSERT_EQ(flash_write(f, "DATA/b.txt", b.data(), int(b.size())), int(b.size()));
  ASSERT_EQ(flash_save(f, dir.file("two.bin").c_str(), 0), 0);
  flash_free(f);
  f = flash_load_bin(dir.file("two.bin").c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(flash_read(f, "DATA/a.txt", buf.data(), int(buf.size()), 0), int(a.size()));
  EXPECT_EQ(std::string(buf.data(), a.size()), a);
  EXPECT_EQ(flash_read(f, "DATA/b.txt", buf.data(), int(buf.size()), 0), int(b.size()));
  EXPECT_EQ(std::string(buf.data(), b.size()), b);
  flash_free(f);
}

TEST_F(Sample, EveryTableFormatReadsBack) {
  for (int version : {1, 2, 4}) {
    std::string conf = rstest::read_text(dir.file("s/flash.conf"));
    size_t at = conf.find("table_version   4");
    ASSERT_NE(at, std::string::npos);
    conf.replace(at, 17, "table_version   " + std::to_string(version));
    rstest::write_text(dir.file("s/v.conf"), conf);
    rstest::RunResult r =
        rstest::run_command(rstest::shell_quote(ROMSMITH_BIN) + " mkflash v.conf v.bin", "", dir.file("s"));
    ASSERT_EQ(r.status, 0) << r.out;
    flash* f = flash_load_bin(dir.file("s/v.bin").c_str());
    ASSERT_NE(f, nullptr) << version;
    EXPECT_EQ(f->table_version, version);
    EXPECT_EQ(f->flash_table.version, 102) << "the table CRC was checked";
    flash_free(f);
  }
}

TEST_F(Sample, EditDataAndRootThroughTheShell) {
  rstest::write_text(dir.file("s/new.txt"), "fresh\n");
  rstest::RunResult r =
      rstest::run_command(rstest::shell_quote(ROMSMITH_BIN),
                          "open flash.bin\nadd DATA/new.txt new.txt\n"
                          "rm DATA/README\nadd ROOT//etc/new new.txt\nsave edited.bin\nopen edited.bin\n"
                          "cat DATA/new.txt\ncat DATA/README\ncat ROOT//etc/new\nls DATA\n",
                          dir.file("s"));
  EXPECT_NE(r.out.find(">> fresh\n\n>> \n>> fresh\n\n"), std::string::npos) << r.out;
}

// `add` over a file that exists replaces it, in cramfs as in minifs: the saved
// image holds one entry of that name, with the new content.
TEST_F(Sample, AddOverAnExistingFileReplacesIt) {
  rstest::write_text(dir.file("s/one.txt"), "first\n");
  rstest::write_text(dir.file("s/two.txt"), "second\n");
  rstest::RunResult r = rstest::run_command(rstest::shell_quote(ROMSMITH_BIN),
                                            "open flash.bin\nadd ROOT//etc/issue one.txt\nadd ROOT//etc/issue two.txt\n"
                                            "save edited.bin\nopen edited.bin\nls ROOT\ncat ROOT//etc/issue\n",
                                            dir.file("s"));
  EXPECT_EQ(r.status, 0) << r.out;
  size_t first = r.out.find("-- issue");
  ASSERT_NE(first, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("-- issue", first + 1), std::string::npos) << "two entries named issue:\n" << r.out;
  EXPECT_NE(r.out.find(">> second\n"), std::string::npos) << r.out;
}

}  // namespace
