// The data tools against a fake image: the test supplies the image's file
// operations, so each tool's exact flash paths, order and results are seen.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/flash_ops.h"
#include "datatools/datatools.h"
#include "minidb/minidb.h"
#include "streams.h"
#include "testutil.h"
#include "util/fileio.h"

namespace {

struct FakeImage {
  bool has_data = true;
  std::map<std::string, std::vector<uint8_t>> files;  // flash path -> content
  std::vector<std::string> log;
  int update_calls = 0;
  std::string broken;        // the next write to this path goes wrong,
  bool broken_half = false;  // storing half the bytes and claiming success, else storing nothing and failing
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
  const auto* p = static_cast<const uint8_t*>(buf);
  if (g.broken == full_file) {
    g.broken.clear();  // once: the write that puts the old bytes back works
    if (!g.broken_half) return -1;
    g.files[full_file].assign(p, p + size / 2);
    return size;
  }
  g.files[full_file].assign(p, p + size);
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

std::vector<uint8_t> empty_db() { return {0xBF, 0xBF, 0xFB, 0xFB, 0, 0, 0, 0}; }

// A MiniDB file of `n` records of `size` bytes, as the store writes it.
std::vector<uint8_t> db_with(int n, int size, const rstest::TempDir& dir) {
  std::string path = dir.file("made.db");
  ::unlink(path.c_str());
  rstest::capture_streams([&] {
    rs::MiniDB db;
    EXPECT_TRUE(db.Open(path.c_str()));
    for (int k = 1; k <= n; ++k) EXPECT_TRUE(db.Set(k, std::vector<uint8_t>(size_t(size), uint8_t(k)).data(), size));
  });
  return rstest::read_bytes(path);
}

std::vector<uint8_t> default_data() {
  return {'S', 'g', '8', 'K', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'E', 'g', '8', 'K'};
}

TEST_F(Tools, LanguageReplacesTheListExactly) {
  g.files["ROOT//dvb/theme/language/language"] = std::vector<uint8_t>(50, 'x');
  EXPECT_EQ(tools_language(img, "eng\nfre\n"), 8);
  EXPECT_EQ(g.files["ROOT//dvb/theme/language/language"].size(), 8u);
  // Replaced in one write, never removed first.
  EXPECT_EQ(g.log, (std::vector<std::string>{"write ROOT//dvb/theme/language/language"}));
}

TEST_F(Tools, DbcopyCopiesWholeFilesAndToleratesOnlyMissingSatDb) {
  std::vector<uint8_t> big = rstest::random_bytes(5 * 1024 * 1024 + 3, 1);  // more than one 2 MiB step
  g.files["DATA/tp.db"] = {1, 2, 3};
  g.files["DATA/prog.db"] = big;
  EXPECT_EQ(tools_dbcopy(img, dir.path().c_str()), int(3 + big.size()));
  EXPECT_FALSE(rs::path_exists(dir.file("sat.db")));
  EXPECT_EQ(rstest::read_bytes(dir.file("prog.db")), big);

  // A missing tp.db is found before anything is written.
  g.files.erase("DATA/tp.db");
  g.files["DATA/sat.db"] = {9};
  rstest::Streams s = rstest::capture_streams([&] { EXPECT_EQ(tools_dbcopy(img, dir.path().c_str()), -1); });
  EXPECT_EQ(s.err, "error: tools_dbcopy: DATA/tp.db: missing from the image, or empty\n");
  EXPECT_EQ(s.out, "");
  EXPECT_FALSE(rs::path_exists(dir.file("sat.db")));

  g.has_data = false;
  s = rstest::capture_streams([&] { EXPECT_EQ(tools_dbcopy(img, dir.path().c_str()), -1); });
  EXPECT_NE(s.err.find("no minifs DATA partition"), std::string::npos) << s.err;
  EXPECT_EQ(s.out, "");
}

// The file-size limit stops the large prog.db after sat.db and tp.db were
// written: both are put back as they were, and nothing else stays behind.
TEST_F(Tools, DbcopyPutsBackWhatItWroteWhenALaterCopyFails) {
  rstest::write_text(dir.file("sat.db"), "mine");
  g.files["DATA/sat.db"] = {1};
  g.files["DATA/tp.db"] = {2};
  g.files["DATA/prog.db"] = rstest::random_bytes(2 << 20, 3);
  struct rlimit old, small;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  small = old;
  small.rlim_cur = 1 << 20;
  auto prev = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  rstest::StreamCapture cap;
  int rc = tools_dbcopy(img, dir.path().c_str());
  rstest::Streams s = cap.take();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, prev);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(s.err, "error: tools_dbcopy: " + dir.file("prog.db") + ": File too large\n");
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(rstest::read_text(dir.file("sat.db")), "mine");
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"sat.db"});
}

TEST_F(Tools, DbtodefInstallsDatabasesInRootAndThenDropsTheDefaults) {
  g.files["ROOT//default_data.db"] = {0};
  g.files["DATA/sat.db"] = db_with(2, 68, dir);
  g.files["DATA/tp.db"] = empty_db();
  g.files["DATA/prog.db"] = db_with(1, 136, dir);
  EXPECT_EQ(tools_dbtodef(img), 0);
  EXPECT_EQ(g.log, (std::vector<std::string>{"write ROOT//sat.db", "write ROOT//tp.db", "write ROOT//prog.db",
                                             "rm ROOT//default_data.db"}));
  EXPECT_EQ(g.files["ROOT//sat.db"], g.files["DATA/sat.db"]);
  EXPECT_EQ(g.files.count("ROOT//default_data.db"), 0u);
}

// A write the image does not take, whole or in part, puts back what was
// replaced before it and keeps the defaults.
TEST_F(Tools, DbtodefUndoesAFailedInstall) {
  for (bool half : {false, true}) {
    SCOPED_TRACE(half);
    g = FakeImage{};
    g.files["ROOT//default_data.db"] = default_data();
    g.files["ROOT//sat.db"] = {5, 5};
    g.files["DATA/sat.db"] = db_with(1, 68, dir);
    g.files["DATA/tp.db"] = db_with(1, 20, dir);
    g.files["DATA/prog.db"] = db_with(1, 136, dir);
    auto before = g.files;
    g.broken = "ROOT//prog.db";
    g.broken_half = half;
    rstest::Streams s = rstest::capture_streams([&] { EXPECT_EQ(tools_dbtodef(img), -1); });
    EXPECT_EQ(s.err,
              "error: tools_dbtodef: ROOT//prog.db: the file system did not take the database, image unchanged\n");
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(g.files, before);
  }
}

TEST_F(Tools, DefaultDbWritesFirstAndThenRemovesTheDatabases) {
  g.files["ROOT//sat.db"] = empty_db();
  rstest::write_bytes(dir.file("def"), default_data());
  EXPECT_EQ(tools_default_db(img, dir.file("def").c_str()), 20);
  EXPECT_EQ(g.log, (std::vector<std::string>{"write ROOT//default_data.db", "rm ROOT//sat.db", "rm ROOT//prog.db",
                                             "rm ROOT//tp.db"}));
  EXPECT_EQ(g.files, (std::map<std::string, std::vector<uint8_t>>{{"ROOT//default_data.db", default_data()}}));

  // A half-stored default file is put back as it was, the databases stay.
  g.files["ROOT//sat.db"] = empty_db();
  auto before = g.files;
  std::vector<uint8_t> other = default_data();
  other.insert(other.begin() + 16, 4, 0);
  other[8] = 1;  // one transponder
  rstest::write_bytes(dir.file("def"), other);
  g.broken = "ROOT//default_data.db";
  g.broken_half = true;
  testing::internal::CaptureStdout();
  EXPECT_EQ(tools_default_db(img, dir.file("def").c_str()), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(g.files, before);
}

TEST_F(Tools, KeymapReplacesTheFileInOneWrite) {
  rstest::write_text(dir.file("keymap.xml"), "<keymap/>");
  EXPECT_EQ(tools_keymap(img, dir.file("keymap.xml").c_str()), 9);
  EXPECT_EQ(g.log, (std::vector<std::string>{"write ROOT//dvb/theme/keymap.xml"}));
}

TEST_F(Tools, DataresetEmptiesTheDataPartition) {
  EXPECT_EQ(tools_datareset(img), 0);
  EXPECT_EQ(g.update_calls, 1);
}

}  // namespace
