// The data tools on real images: a ROOT file system (cramfs or minifs) with
// channel defaults, databases and theme files, and a minifs DATA partition
// with the box's databases. A refused or failed tool must leave every file of
// the image byte-identical, and the saved image too.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "datatools/datatools.h"
#include "minidb/minidb.h"
#include "minifs/minifs.h"
#include "streams.h"
#include "testutil.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kImageFiles[] = {"ROOT//default_data.db",
                                   "ROOT//sat.db",
                                   "ROOT//tp.db",
                                   "ROOT//prog.db",
                                   "ROOT//dvb/theme/keymap.xml",
                                   "ROOT//dvb/theme/language/language",
                                   "DATA/sat.db",
                                   "DATA/tp.db",
                                   "DATA/prog.db"};

Bytes default_data(uint32_t sats) {
  Bytes b = {'S', 'g', '8', 'K', uint8_t(sats), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  b.insert(b.end(), 28 * size_t(sats), 0x5A);
  b.insert(b.end(), {'E', 'g', '8', 'K'});
  return b;
}

// A MiniDB file of `n` records of `size` bytes each.
void make_db(const std::string& path, int n, int size) {
  testing::internal::CaptureStdout();
  {
    rs::MiniDB db;
    EXPECT_TRUE(db.Open(path.c_str()));
    for (int k = 1; k <= n; ++k) EXPECT_TRUE(db.Set(k, Bytes(size_t(size), uint8_t(k)).data(), size));
  }
  testing::internal::GetCapturedStdout();
}

void make_dbs(const std::string& dir, int n) {
  std::filesystem::create_directories(dir);
  make_db(dir + "/sat.db", n, 68);
  make_db(dir + "/tp.db", n, 20);
  make_db(dir + "/prog.db", n, 136);
}

bool make_minifs(const std::string& dir, const std::string& image, size_t size) {
  minifs_device* dev = minifs_mount("", "/", nullptr, size, nullptr);
  if (!dev) return false;
  minifs_load(dev, dir.c_str(), 1);
  int rc = minifs_mkimg(dev, image.c_str());
  minifs_umount(dev);
  return rc == 0;
}

// Bad local input of a tool: a file that is missing, empty or not what the
// tool installs.
enum class Local { kMissing, kEmpty, kWrong, kDirectory };

std::string local_input(const rstest::TempDir& dir, Local kind, const Bytes& wrong) {
  std::string p = dir.file("input");
  switch (kind) {
    case Local::kMissing:
      return dir.file("no_such_file");
    case Local::kEmpty:
      rstest::write_bytes(p, {});
      break;
    case Local::kWrong:
      rstest::write_bytes(p, wrong);
      break;
    case Local::kDirectory:
      std::filesystem::create_directories(p);
      break;
  }
  return p;
}

class ToolsOnImage : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string root = dir.file("rootfs");
    std::filesystem::create_directories(root + "/dvb/theme/language");
    rstest::write_bytes(root + "/default_data.db", default_data(2));
    make_db(root + "/sat.db", 1, 68);
    make_db(root + "/tp.db", 1, 20);
    make_db(root + "/prog.db", 1, 136);
    rstest::write_text(root + "/dvb/theme/keymap.xml", "<keymap name=\"old\"/>\n");
    rstest::write_text(root + "/dvb/theme/language/language", "eng\nfre\n");
    make_dbs(dir.file("data"), 3);

    const bool cramfs = std::string(GetParam()) == "CRAMFS";
    if (cramfs) {
      ASSERT_EQ(mkfs_cramfs(root.c_str(), dir.file("root.img").c_str()), 0);
    } else {
      ASSERT_TRUE(make_minifs(root, dir.file("root.img"), 0x80000));
    }
    ASSERT_TRUE(make_minifs(dir.file("data"), dir.file("data.img"), 0x80000));
    rstest::write_text(dir.file("flash.conf"), std::string("table_version 4\ncrc32 true\n"
                                                           "BOOT NULL true RAW ro 0 0 0 0x10000\n"
                                                           "ROOT root.img true ") +
                                                   GetParam() +
                                                   " rw 0 0 0x10000 0x80000\n"
                                                   "DATA data.img true MINIFS rw 0 0 0x90000 0x80000\n"
                                                   "TABLE NULL false RAW ro 0 0 0x110000 0x10000\n");
    // Built and saved as mkflash does, then opened as a user opens an image.
    rstest::StreamCapture cap;
    flash* built = flash_load_conf(dir.file("flash.conf").c_str());
    int rc = built ? flash_save(built, dir.file("box.bin").c_str(), 0) : -1;
    flash_free(built);
    img = rc == 0 ? flash_load_bin(dir.file("box.bin").c_str()) : nullptr;
    rstest::Streams said = cap.take();
    ASSERT_NE(img, nullptr) << said.err;
    ASSERT_EQ(read("ROOT//dvb/theme/keymap.xml").size(), 21u);
  }
  void TearDown() override { flash_free(img); }

  Bytes read(const char* path) {
    Bytes b(1 << 20);
    int n = flash_read(img, path, b.data(), int(b.size()), 0);
    b.resize(n > 0 ? size_t(n) : 0);
    return b;
  }
  std::map<std::string, Bytes> files() {
    std::map<std::string, Bytes> m;
    for (const char* p : kImageFiles) m[p] = read(p);
    return m;
  }
  Bytes saved() {
    std::string out = dir.file("saved.bin");
    rstest::StreamCapture cap;
    int rc = flash_save(img, out.c_str(), 0);
    std::string err = cap.take().err;
    EXPECT_EQ(rc, 0) << err;
    return rstest::read_bytes(out);
  }
  // Runs a tool that must refuse: -1, a message containing `why`, and an image
  // whose files and saved bytes are those of before.
  void expect_refused(const std::function<int()>& tool, const std::string& why) {
    auto before = files();
    Bytes image = saved();
    rstest::StreamCapture cap;
    int rc = tool();
    rstest::Streams said = cap.take();
    const std::string& err = said.err;
    EXPECT_EQ(rc, -1) << err;
    EXPECT_NE(err.find(why), std::string::npos) << err;
    EXPECT_EQ(said.out.find("error"), std::string::npos) << said.out;
    EXPECT_EQ(files(), before) << err;
    EXPECT_EQ(saved(), image) << err;
  }

  rstest::TempDir dir;
  rstest::ScopedCwd cwd{dir.path()};  // a save writes its table file into the working directory
  flash* img = nullptr;
};

TEST_P(ToolsOnImage, DefaultDbRefusesBadInput) {
  Bytes cut = default_data(3);
  cut.erase(cut.begin() + 16, cut.begin() + 16 + 28);  // counts for three satellites, two present
  const struct {
    Local kind;
    Bytes wrong;
    const char* why;
  } cases[] = {
      {Local::kMissing, {}, "No such file or directory, image unchanged"},
      {Local::kEmpty, {}, "empty file, image unchanged"},
      {Local::kDirectory, {}, "Is a directory"},
      {Local::kWrong, rstest::read_bytes(dir.file("data/sat.db")), "no Sg8K start magic"},
      {Local::kWrong, cut, "need 104 bytes, the file has 76"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::filesystem::remove_all(dir.file("input"));
    std::string in = local_input(dir, c.kind, c.wrong);
    expect_refused([&] { return tools_default_db(img, in.c_str()); }, c.why);
  }
}

TEST_P(ToolsOnImage, KeymapAndLanguageRefuseBadInput) {
  const struct {
    Local kind;
    Bytes wrong;
    const char* why;
  } cases[] = {
      {Local::kMissing, {}, "No such file or directory"},           {Local::kEmpty, {}, "empty file"},
      {Local::kWrong, {'<', 'k', 0, '>'}, "not a text file"},       {Local::kWrong, {' ', '\n'}, "only white space"},
      {Local::kWrong, {'k', 'e', 'y', 's'}, "not an XML document"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::filesystem::remove_all(dir.file("input"));
    std::string in = local_input(dir, c.kind, c.wrong);
    expect_refused([&] { return tools_keymap(img, in.c_str()); }, c.why);
  }
  expect_refused([&] { return tools_language(img, ""); }, "empty language list");
}

// Databases in DATA that must not reach ROOT, nor cost it its defaults.
TEST_P(ToolsOnImage, DbtodefRefusesBadDatabases) {
  Bytes corrupt = rstest::read_bytes(dir.file("data/prog.db"));
  corrupt[8 + 12 + 5] ^= 1;  // a data byte of the first record: its CRC no longer matches
  const struct {
    const char* path;
    Bytes content;  // empty: removed
    const char* why;
  } cases[] = {
      {"DATA/prog.db", corrupt, "DATA/prog.db: record 1 at offset 8 fails its CRC check, image unchanged"},
      {"DATA/tp.db", {1, 2, 3, 4, 5, 6, 7, 8, 9}, "DATA/tp.db: not a MiniDB file (bad magic)"},
      {"DATA/sat.db", Bytes(corrupt.begin(), corrupt.begin() + 40), "DATA/sat.db: record 1 at offset 8 is cut short"},
      {"DATA/tp.db", {}, "DATA/tp.db: missing from the image, or empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Bytes good = read(c.path);
    if (c.content.empty())
      flash_rm(img, c.path);
    else
      ASSERT_GT(flash_write(img, c.path, c.content.data(), int(c.content.size())), 0);
    expect_refused([&] { return tools_dbtodef(img); }, c.why);
    ASSERT_GT(flash_write(img, c.path, good.data(), int(good.size())), 0);
  }
}

// Host databases that cannot be converted leave the installed defaults alone.
TEST_P(ToolsOnImage, LocalDefaultsRefuseUnconvertibleDatabases) {
  std::string work = dir.file("tmp_file");
  const struct {
    const char* db;
    std::function<void(const std::string&)> spoil;
    const char* why;
  } cases[] = {
      {"prog.db", [](const std::string& p) { ::unlink(p.c_str()); }, "prog.db: No such file or directory"},
      {"tp.db", [](const std::string& p) { rstest::write_bytes(p, {}); },
       "file open failed at berkeley/api/minidb_ops 301"},
      {"sat.db",
       [](const std::string& p) {
         rstest::write_bytes(p, {0, 1, 2, 3, 4, 5, 6, 7, 8});
       },
       "file open failed at berkeley/api/minidb_ops 269"},
      {"tp.db", [](const std::string& p) { ::unlink(p.c_str()), make_db(p, 8192, 20); },
       "8192 transponders: the default data numbers at most 8191"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::filesystem::remove_all(dir.file("local"));
    make_dbs(dir.file("local"), 2);
    c.spoil(dir.file("local/") + c.db);
    expect_refused([&] { return rs::install_local_defaults(img, dir.file("local").c_str(), work.c_str()); }, c.why);
  }
}

TEST_P(ToolsOnImage, EachToolInstallsGoodInput) {
  make_dbs(dir.file("local"), 2);
  std::string in = dir.file("input");
  rstest::write_bytes(in, default_data(1));
  rstest::StreamCapture cap;
  EXPECT_GT(tools_default_db(img, in.c_str()), 0);
  EXPECT_EQ(read("ROOT//default_data.db"), default_data(1));
  EXPECT_TRUE(read("ROOT//sat.db").empty());

  EXPECT_EQ(tools_dbtodef(img), 0);
  EXPECT_EQ(read("ROOT//prog.db"), read("DATA/prog.db"));
  EXPECT_TRUE(read("ROOT//default_data.db").empty());

  EXPECT_EQ(rs::install_local_defaults(img, dir.file("local").c_str(), dir.file("tmp_file").c_str()), 0);
  EXPECT_EQ(read("ROOT//default_data.db"), rstest::read_bytes(dir.file("tmp_file")));
  EXPECT_EQ(read("ROOT//default_data.db").size(), 16 + 2 * 28 + 2 * 4 + 2 * 44 + 4u);

  rstest::write_text(in, "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<keymap/>\n");
  EXPECT_GT(tools_keymap(img, in.c_str()), 0);
  EXPECT_EQ(read("ROOT//dvb/theme/keymap.xml"), rstest::read_bytes(in));
  EXPECT_GT(tools_language(img, "deu\n"), 0);
  EXPECT_EQ(read("ROOT//dvb/theme/language/language"), (Bytes{'d', 'e', 'u', '\n'}));
  rstest::Streams said = cap.take();
  EXPECT_EQ(said.err.find("error"), std::string::npos) << said.err;
  EXPECT_EQ(said.out.find("error"), std::string::npos) << said.out;
}

TEST_P(ToolsOnImage, DbcopyReportsADirectoryItCannotWriteAndKeepsWhatWasThere) {
  auto fails = [&](const std::string& to, const std::string& why) {
    rstest::Streams said = rstest::capture_streams([&] { EXPECT_EQ(tools_dbcopy(img, to.c_str()), -1) << to; });
    EXPECT_NE(said.err.find(why), std::string::npos) << said.err;
    EXPECT_EQ(said.out, "");
  };
  fails(dir.file("nowhere"), "error: tools_dbcopy: " + dir.file("nowhere/sat.db") + ": No such file or directory");
  rstest::write_text(dir.file("plain"), "x");
  fails(dir.file("plain"), dir.file("plain/sat.db") + ": Not a directory");
  if (geteuid() != 0) {
    std::filesystem::create_directories(dir.file("ro"));
    ::chmod(dir.file("ro").c_str(), 0500);
    fails(dir.file("ro"), dir.file("ro/sat.db") + ": Permission denied");
    ::chmod(dir.file("ro").c_str(), 0700);
  }
  // tp.db cannot be replaced: the sat.db written before it is put back.
  std::filesystem::create_directories(dir.file("copy/tp.db"));
  rstest::write_text(dir.file("copy/sat.db"), "mine");
  fails(dir.file("copy"), dir.file("copy/tp.db") + ": Is a directory");
  EXPECT_EQ(rstest::read_text(dir.file("copy/sat.db")), "mine");
  EXPECT_FALSE(std::filesystem::exists(dir.file("copy/prog.db")));
  EXPECT_EQ(std::filesystem::directory_iterator(dir.file("copy/tp.db")), std::filesystem::directory_iterator());

  std::filesystem::remove(dir.file("copy/tp.db"));
  EXPECT_EQ(tools_dbcopy(img, dir.file("copy").c_str()),
            int(read("DATA/sat.db").size() + read("DATA/tp.db").size() + read("DATA/prog.db").size()));
  EXPECT_EQ(rstest::read_bytes(dir.file("copy/tp.db")), read("DATA/tp.db"));
}

INSTANTIATE_TEST_SUITE_P(Root, ToolsOnImage, testing::Values("CRAMFS", "MINIFS"));

}  // namespace
