// Database commands end to end: box databases in a minifs DATA partition,
// channel defaults in a cramfs ROOT.
#include <gtest/gtest.h>

#include <filesystem>

#include "minidb/minidb.h"
#include "testutil.h"

namespace {

rstest::RunResult romsmith(const std::string& args, const std::string& input, const std::string& cwd) {
  return rstest::run_command(rstest::shell_quote(ROMSMITH_BIN) + " " + args, input, cwd);
}

class DataCommands : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  void SetUp() override {
    std::string data = dir.file("data");
    std::filesystem::create_directories(data);
    // A few records in each of the box's databases.
    const struct {
      const char* name;
      int size;
    } dbs[] = {{"sat.db", 68}, {"tp.db", 20}, {"prog.db", 136}};
    for (const auto& d : dbs) {
      auto db = rs::IDB::New();
      ASSERT_TRUE(db->Open((data + "/" + d.name).c_str()));
      for (int k = 1; k <= 3; ++k) {
        std::vector<uint8_t> rec(size_t(d.size), uint8_t(k));
        ASSERT_TRUE(db->Set(k, rec.data(), int(rec.size())));
      }
      db->Close();
    }
    std::string root = std::string(ROMSMITH_SOURCE_DIR) + "/examples/rootfs";
    ASSERT_EQ(romsmith("mkcramfs " + rstest::shell_quote(root) + " root.cramfs", "", dir.path()).status, 0);
    ASSERT_EQ(romsmith("mkminifs data data.minifs 0x80000", "", dir.path()).status, 0);
    rstest::write_text(dir.file("flash.conf"),
                       "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                       "ROOT root.cramfs true CRAMFS ro 0 0 0x10000 0x40000\n"
                       "DATA data.minifs true MINIFS rw 0 0 0x50000 0x80000\n"
                       "TABLE NULL false RAW ro 0 0 0xD0000 0x10000\n");
    ASSERT_EQ(romsmith("mkflash flash.conf box.bin", "", dir.path()).status, 0);
  }
};

TEST_F(DataCommands, MinifsImagesOnTheHost) {
  rstest::RunResult bad = romsmith("mkminifs data x.minifs 100000", "", dir.path());
  EXPECT_EQ(bad.err.rfind("the size must align in 64K!!!\n\tusage not right, please see help\n", 0), 0u) << bad.err;
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(romsmith("mkminifs data y.minifs 2M", "", dir.path()).status, 0);
  EXPECT_EQ(romsmith("unminifs y.minifs out", "", dir.path()).status, 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("out/sat.db")));
  EXPECT_EQ(rstest::read_bytes(dir.file("out/prog.db")), rstest::read_bytes(dir.file("data/prog.db")));
  rstest::RunResult r = romsmith("", "unminifs y.minifs out\n", dir.path());
  EXPECT_EQ(r.out, ">> >> ");
  EXPECT_EQ(r.err.rfind("error: dir [out] already exist!\n\tusage: unminifs <image file> <directory>\n", 0), 0u)
      << r.err;
}

TEST_F(DataCommands, CopyConvertAndInstallDefaults) {
  std::filesystem::create_directories(dir.file("copy"));
  rstest::RunResult r = romsmith("",
                                 "open box.bin\ndbcopy nowhere\ndbcopy copy\ndb2def copy def.db\n"
                                 "localdbtodef copy\ndbtodef\nsave box2.bin\nopen box2.bin\nls ROOT\n",
                                 dir.path());
  size_t refused = r.err.find("directory(nowhere) not exits.\n");
  EXPECT_NE(refused, std::string::npos) << r.err;
  EXPECT_NE(r.err.find("dbcopy to directory(copy)\n", refused), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("directory("), std::string::npos) << r.out;
  EXPECT_EQ(rstest::read_bytes(dir.file("copy/sat.db")), rstest::read_bytes(dir.file("data/sat.db")));
  EXPECT_GT(rstest::read_bytes(dir.file("def.db")).size(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir.file("tmp_file")));
  // dbtodef put the databases into the root and removed the defaults again.
  EXPECT_NE(r.out.find("sat.db"), std::string::npos);
  EXPECT_EQ(r.out.find("default_data.db"), std::string::npos) << r.out;
  r = romsmith("", "localdbtodef data/none\n", dir.path());
  EXPECT_EQ(r.out, ">> >> ");
  EXPECT_EQ(r.err.rfind("file data/none/sat.db not exist\n", 0), 0u) << r.err;
  // datareset is dbtodef; both leave the same image.
  romsmith("", "open box.bin\ndatareset\nsave a.bin\nopen box.bin\ndbtodef\nsave b.bin\n", dir.path());
  EXPECT_EQ(rstest::read_bytes(dir.file("a.bin")), rstest::read_bytes(dir.file("b.bin")));
}

}  // namespace
