// The data tools against a fake image: the test supplies the image's file
// operations, so each tool's exact flash paths, order and results are seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/flash_ops.h"
#include "datatools/datatools.h"
#include "testutil.h"
#include "util/fileio.h"

namespace {

struct FakeImage {
  bool has_data = true;
  std::map<std::string, std::vector<uint8_t>> files;  // flash path -> content
  std::vector<std::string> log;
  int update_calls = 0;
} g;

bool known_partition(const std::string& path) { return path.rfind("ROOT/", 0) == 0 || path.rfind("DATA/", 0) == 0; }

}  // namespace

const char* db_name_get(flash*, const char* db) {
  static std::string buf;
  buf = g.has_data ? std::string("DATA/") + db : "";
  return buf.c_str();
}

extern "C" {
int flash_read(flash*, const char* full_file, void* buf, int size, int offset) {
  if (!known_partition(full_file)) return -1;
  auto it = g.files.find(full_file);
  if (it == g.files.end() || size_t(offset) >= it->second.size()) return 0;
  size_t n = std::min(size_t(size), it->second.size() - size_t(offset));
  std::memcpy(buf, it->second.data() + offset, n);
  return int(n);
}
int flash_write(flash*, const char* full_file, const void* buf, int size) {
  if (!known_partition(full_file)) return -1;
  g.log.push_back(std::string("write ") + full_file);
  auto& f = g.files[full_file];
  const auto* p = static_cast<const uint8_t*>(buf);
  f.assign(p, p + size);
  return size;
}
int flash_add(flash* e, const char* full_file, const char* local_file) {
  std::vector<uint8_t> bytes;
  if (!local_file || !rs::read_file(local_file, bytes)) return -1;
  return flash_write(e, full_file, bytes.data(), int(bytes.size()));
}
int flash_rm(flash*, const char* full_file) {
  g.log.push_back(std::string("rm ") + full_file);
  return g.files.erase(full_file) ? 0 : -1;
}
int flash_update(flash*, const char* partition_name, const void* buf, int size) {
  ++g.update_calls;
  return (std::string(partition_name) == "DATA" && !buf && size == 0) ? 0 : -1;
}
}

namespace {

class Tools : public testing::Test {
 protected:
  void SetUp() override { g = FakeImage{}; }
  flash* img = nullptr;  // the fake keeps its state in `g`
  rstest::TempDir dir;
};

TEST_F(Tools, LanguageReplacesTheListExactly) {
  g.files["ROOT//dvb/theme/language/language"] = std::vector<uint8_t>(50, 'x');
  EXPECT_EQ(tools_language(img, "eng\nfre\n"), 8);
  EXPECT_EQ(g.files["ROOT//dvb/theme/language/language"].size(), 8u);
  EXPECT_EQ(g.log, (std::vector<std::string>{"rm ROOT//dvb/theme/language/language",
                                             "write ROOT//dvb/theme/language/language"}));
}

TEST_F(Tools, DbcopyCopiesWholeFilesAndToleratesOnlyMissingSatDb) {
  std::vector<uint8_t> big = rstest::random_bytes(5 * 1024 * 1024 + 3, 1);  // more than one 2 MiB step
  g.files["DATA/tp.db"] = {1, 2, 3};
  g.files["DATA/prog.db"] = big;
  EXPECT_EQ(tools_dbcopy(img, dir.path().c_str()), int(3 + big.size()));
  EXPECT_FALSE(rs::path_exists(dir.file("sat.db")));
  EXPECT_EQ(rstest::read_bytes(dir.file("prog.db")), big);

  g.files.erase("DATA/tp.db");
  g.files["DATA/sat.db"] = {9};
  EXPECT_EQ(tools_dbcopy(img, dir.path().c_str()), -1);
  EXPECT_EQ(rstest::read_bytes(dir.file("sat.db")), (std::vector<uint8_t>{9}));  // written before the failure

  g.has_data = false;
  EXPECT_EQ(tools_dbcopy(img, dir.path().c_str()), -1);
  g.has_data = true;
  g.files["DATA/tp.db"] = {1};
  EXPECT_EQ(tools_dbcopy(img, dir.file("missing").c_str()), -1);  // nowhere to write is a failure
}

TEST_F(Tools, DbtodefInstallsDatabasesInRoot) {
  g.files["ROOT//default_data.db"] = {0};
  g.files["DATA/sat.db"] = {1, 1};
  g.files["DATA/prog.db"] = {3};
  EXPECT_EQ(tools_dbtodef(img), 0);
  EXPECT_EQ(g.log, (std::vector<std::string>{"rm ROOT//default_data.db", "write ROOT//sat.db", "write ROOT//prog.db"}));
  EXPECT_EQ(g.files["ROOT//sat.db"], (std::vector<uint8_t>{1, 1}));
}

TEST_F(Tools, DefaultDbAndKeymapKeepTheImageWhenTheLocalFileIsMissing) {
  g.files["ROOT//default_data.db"] = {7};
  EXPECT_EQ(tools_default_db(img, dir.file("nope").c_str()), -1);
  EXPECT_EQ(tools_keymap(img, dir.file("nope").c_str()), -1);
  EXPECT_TRUE(g.log.empty());

  rstest::write_text(dir.file("def"), "Sg8K");
  EXPECT_EQ(tools_default_db(img, dir.file("def").c_str()), 4);
  EXPECT_EQ(g.log, (std::vector<std::string>{"rm ROOT//default_data.db", "rm ROOT//sat.db", "rm ROOT//prog.db",
                                             "rm ROOT//tp.db", "write ROOT//default_data.db"}));
  g.log.clear();
  rstest::write_text(dir.file("keymap.xml"), "<keymap/>");
  EXPECT_EQ(tools_keymap(img, dir.file("keymap.xml").c_str()), 9);
  EXPECT_EQ(g.log, (std::vector<std::string>{"rm ROOT//dvb/theme/keymap.xml", "write ROOT//dvb/theme/keymap.xml"}));
}

TEST_F(Tools, DataresetEmptiesTheDataPartition) {
  EXPECT_EQ(tools_datareset(img), 0);
  EXPECT_EQ(g.update_calls, 1);
}

}  // namespace
