#include "minidb/minidb.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "minidb/crc16.h"
#include "minidb/db_hash.h"
#include "streams.h"
#include "testutil.h"
#include "util/endian.h"

using rs::IDB;
using rs::MiniDB;

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

struct Db {
  rstest::TempDir dir;
  std::string path = dir.file("t.db");
  MiniDB db;
  bool open() {
    rstest::StreamCapture c;
    bool ok = db.Open(path.c_str());
    rstest::Streams s = c.take();
    last_out = s.out;
    last_err = s.err;
    return ok;
  }
  std::string last_out;  // opening lists nothing
  std::string last_err;  // the counts are progress, on standard error
};

std::vector<uint8_t> get(MiniDB& db, int key) {
  uint32_t size = 0xDEAD;
  auto r = db.Get(key, &size);
  if (!r) return {0xEE};
  EXPECT_EQ(size, r->size());
  return *r;
}

}  // namespace

TEST(Crc16, KnownVectors) {
  const char* check = "123456789";
  EXPECT_EQ(rs::update_crc16(reinterpret_cast<const uint8_t*>(check), 9, 0), 0xD64E);
  EXPECT_EQ(rs::update_crc16(nullptr, 0, 0), 0);
  const uint8_t zeros[4] = {};
  // Chaining through the start value gives the CRC of the concatenation.
  uint16_t part = rs::update_crc16(reinterpret_cast<const uint8_t*>(check), 4, 0);
  EXPECT_EQ(rs::update_crc16(reinterpret_cast<const uint8_t*>(check) + 4, 5, part), 0xD64E);
  EXPECT_NE(rs::update_crc16(zeros, 4, 0), 0);
}

TEST(MapT, ExpandsAfterFourPerBucketAndKeepsEntries) {
  rs::map_t m;
  rstest::Streams s = rstest::capture_streams([&] {
    for (int i = 0; i < 1280; ++i) m.set(i, uint32_t(i * 3));
  });
  EXPECT_EQ(s.err, "");
  EXPECT_EQ(s.out, "");
  s = rstest::capture_streams([&] { m.set(1280, 7); });
  EXPECT_EQ(s.err, "expanded table, size 512\n");
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(m.count(), 1281);
  bool found = false;
  EXPECT_EQ(m.get(999, &found), 2997u);
  EXPECT_TRUE(found);
  // Iteration visits every entry exactly once, also across erasures.
  EXPECT_TRUE(m.erase(5));
  EXPECT_FALSE(m.erase(5));
  std::vector<int> seen(1281, 0);
  rs::iterator_t it;
  int n = 0;
  for (bool more = m.first(it); more; more = m.next(it)) ++seen[size_t(it.key)], ++n;
  EXPECT_EQ(n, 1280);
  EXPECT_EQ(seen[5], 0);
  EXPECT_TRUE(it.end);
  EXPECT_EQ(it.pos, -1);
}

TEST(MiniDb, MissingFileIsCreatedEmpty) {
  Db t;
  ASSERT_TRUE(t.open());
  EXPECT_EQ(t.last_err, "record count = 0, delete count = 0\n");
  EXPECT_EQ(t.last_out, "");
  EXPECT_EQ(rstest::read_bytes(t.path), (std::vector<uint8_t>{0xBF, 0xBF, 0xFB, 0xFB, 0, 0, 0, 0}));
}

TEST(MiniDb, BadMagicOrShortSuperblockFailsAndLeavesFile) {
  for (std::vector<uint8_t> content : {std::vector<uint8_t>{0xBF, 0xBF, 0xFB, 0xFA, 0, 0, 0, 0, 1, 2},
                                       std::vector<uint8_t>{0xBF, 0xBF, 0xFB}, std::vector<uint8_t>{}}) {
    Db t;
    rstest::write_bytes(t.path, content);
    EXPECT_FALSE(t.open());
    EXPECT_EQ(rstest::read_bytes(t.path), content);
    EXPECT_FALSE(t.db.Set(1, "x", 1));  // closed store writes nothing
  }
}

class SlotSize : public testing::TestWithParam<std::pair<int, uint32_t>> {};
TEST_P(SlotSize, RecordTakesPowerOfTwoSlot) {
  Db t;
  ASSERT_TRUE(t.open());
  std::vector<uint8_t> data = rstest::random_bytes(size_t(GetParam().first), 7);
  ASSERT_TRUE(t.db.Set(42, data.data(), int(data.size())));
  EXPECT_EQ(t.db.alloc_end(), 8 + GetParam().second);
  EXPECT_EQ(get(t.db, 42), data);
  std::vector<uint8_t> file = rstest::read_bytes(t.path);
  ASSERT_EQ(file.size(), 8 + 12 + data.size());  // the file ends right after the data
  if (!data.empty()) {
    EXPECT_EQ(file[8], 3);
  }
  EXPECT_EQ(rs::load_le16(&file[10]), rs::update_crc16(data.data(), data.size(), 0));
  EXPECT_EQ(rs::load_le16(&file[12]), data.size());
  EXPECT_EQ(rs::load_le32(&file[16]), 42u);
}
INSTANTIATE_TEST_SUITE_P(Sizes, SlotSize,
                         testing::Values(std::pair{0, 16u}, std::pair{4, 16u}, std::pair{5, 32u}, std::pair{20, 32u},
                                         std::pair{65535, 131072u}));

TEST(MiniDb, OversizedRecordRefused) {
  Db t;
  ASSERT_TRUE(t.open());
  std::vector<uint8_t> big(65536);
  rstest::Streams s = rstest::capture_streams([&] { EXPECT_FALSE(t.db.Set(1, big.data(), int(big.size()))); });
  EXPECT_EQ(s.err, "Record must less than 64K\n");
  EXPECT_EQ(s.out, "");
  EXPECT_FALSE(t.db.Set(1, nullptr, 4));  // a size without data would break the CRC
  EXPECT_EQ(rstest::read_bytes(t.path).size(), 8u);
}

TEST(MiniDb, RewriteInPlaceMoveAndReuseFreedSlot) {
  Db t;
  ASSERT_TRUE(t.open());
  ASSERT_TRUE(t.db.Set(1, "abcd", 4));
  ASSERT_TRUE(t.db.Set(1, "xy", 2));
  EXPECT_EQ(t.db.alloc_end(), 24u);  // same 16-byte slot
  EXPECT_EQ(get(t.db, 1), bytes_of("xy"));
  ASSERT_TRUE(t.db.Set(1, "12345678", 8));
  EXPECT_EQ(t.db.alloc_end(), 56u);  // freed 16, appended 32
  EXPECT_EQ(t.db.free_count(), 1);
  ASSERT_TRUE(t.db.Set(2, "pqr", 3));
  EXPECT_EQ(t.db.alloc_end(), 56u);  // reused the freed slot
  EXPECT_EQ(t.db.free_count(), 0);
  std::vector<uint8_t> f = rstest::read_bytes(t.path);
  EXPECT_EQ(rs::load_le32(&f[4]), 1u);       // written before the new key is indexed
  EXPECT_EQ(rs::load_le32(&f[8 + 8]), 2u);   // key 2 at offset 8
  EXPECT_EQ(rs::load_le32(&f[24 + 8]), 1u);  // key 1 at offset 24
  EXPECT_EQ(get(t.db, 1), bytes_of("12345678"));
  EXPECT_EQ(get(t.db, 2), bytes_of("pqr"));
}

TEST(MiniDb, RemoveAndReopenShowDeleteCount) {
  Db t;
  ASSERT_TRUE(t.open());
  for (int k = 0; k < 5; ++k) {
    std::string v = "value" + std::to_string(k);
    ASSERT_TRUE(t.db.Set(k, v.data(), int(v.size())));
  }
  ASSERT_TRUE(t.db.Remove(3));
  EXPECT_FALSE(t.db.Remove(3));
  EXPECT_FALSE(t.db.Get(3, nullptr));
  t.db.Close();
  EXPECT_EQ(t.db.Count(), 4);  // maps survive Close
  ASSERT_TRUE(t.open());
  EXPECT_EQ(t.last_err, "record count = 4, delete count = 1\n");
  EXPECT_EQ(t.last_out, "");
  for (int k : {0, 1, 2, 4}) EXPECT_EQ(get(t.db, k), bytes_of("value" + std::to_string(k)));
  ASSERT_TRUE(t.db.Clear());
  EXPECT_EQ(t.db.Count(), 0);
  EXPECT_EQ(rstest::read_bytes(t.path).size(), 8u);
}

TEST(MiniDb, CursorWalksKeysInAscendingOrder) {
  Db t;
  ASSERT_TRUE(t.open());
  auto empty = t.db.CreateCursor();
  EXPECT_FALSE(empty->First());
  EXPECT_TRUE(empty->Eof());
  EXPECT_FALSE(empty->Next());
  EXPECT_TRUE(empty->Eof());
  for (int k : {7, 3, 5, INT_MAX, INT_MIN, -1}) ASSERT_TRUE(t.db.Set(k, &k, sizeof k));
  auto cur = t.db.CreateCursor();
  std::vector<int> keys;
  while (!cur->Eof()) {
    uint32_t size = 0;
    auto rec = cur->GetRaw(&size);
    ASSERT_TRUE(rec);
    ASSERT_EQ(size, 4u);
    int v;
    std::memcpy(&v, rec->data(), 4);
    EXPECT_EQ(int(cur->Key()), v);
    keys.push_back(v);
    cur->Next();
  }
  EXPECT_EQ(keys, (std::vector<int>{INT_MIN, -1, 3, 5, 7, INT_MAX}));
  uint32_t size = 99;
  EXPECT_FALSE(cur->GetRaw(&size));
  EXPECT_EQ(size, 99u);
  // The snapshot sees a later removal as a free slot.
  ASSERT_TRUE(cur->First());
  ASSERT_TRUE(t.db.Remove(INT_MIN));
  EXPECT_FALSE(cur->GetRaw(&size));
  EXPECT_EQ(size, 4u);
}

TEST(MiniDb, FlippedDataByteFailsOpen) {
  Db t;
  ASSERT_TRUE(t.open());
  ASSERT_TRUE(t.db.Set(1, "hello", 5));
  t.db.Close();
  std::vector<uint8_t> f = rstest::read_bytes(t.path);
  f[8 + 12 + 2] ^= 0x10;
  rstest::write_bytes(t.path, f);
  EXPECT_FALSE(t.open());
  EXPECT_EQ(rstest::read_bytes(t.path), f);
}

// Cut or garbage files: the scan stops at the first short header or data and
// keeps what came before; nothing crashes or loops.
class Malformed : public testing::TestWithParam<int> {};
TEST_P(Malformed, ScanStopsSafely) {
  Db t;
  ASSERT_TRUE(t.open());
  ASSERT_TRUE(t.db.Set(1, "first", 5));
  ASSERT_TRUE(t.db.Set(2, "second record", 13));
  t.db.Close();
  std::vector<uint8_t> f = rstest::read_bytes(t.path);
  const int mode = GetParam();
  if (mode < 40) {
    f.resize(40 + size_t(mode));  // cut inside the second slot (the first is 32 bytes)
  } else {
    std::vector<uint8_t> junk = rstest::random_bytes(4096, uint32_t(mode));
    if (mode % 2) junk[0] = 0;  // a free header with a random length
    f.insert(f.end(), junk.begin(), junk.end());
  }
  rstest::write_bytes(t.path, f);
  MiniDB db2;
  testing::internal::CaptureStdout();
  bool ok = db2.Open(t.path.c_str());
  testing::internal::GetCapturedStdout();
  if (mode < 40) {
    ASSERT_TRUE(ok);
    EXPECT_EQ(get(db2, 1), bytes_of("first"));
    EXPECT_EQ(db2.Count(), mode >= 25 ? 2 : 1);
    // Appending after a cut file lands where the scan stopped.
    if (mode < 25) {
      EXPECT_EQ(db2.alloc_end(), 40u);
    }
    // A record appended after a cut one must not turn the cut bytes into
    // slots that break the next open.
    ASSERT_TRUE(db2.Set(9, "n", 1));
    db2.Close();
    MiniDB db3;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(db3.Open(t.path.c_str()));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(get(db3, 9), bytes_of("n"));
  } else if (ok) {
    EXPECT_EQ(get(db2, 2), bytes_of("second record"));
    EXPECT_TRUE(db2.Set(77, "z", 1));
  }
}
INSTANTIATE_TEST_SUITE_P(Files, Malformed, testing::Values(0, 5, 11, 12, 20, 24, 25, 41, 42, 43, 44, 45, 46, 47, 48));

// A write that the file system refuses (here: the file-size limit) must be
// reported as a failure and leave a file that still opens with its records.
TEST(MiniDb, FailedWriteIsReportedAndFileStaysOpenable) {
  Db t;
  ASSERT_TRUE(t.open());
  ASSERT_TRUE(t.db.Set(1, "keep me", 7));
  ASSERT_TRUE(t.db.Set(2, "abcd", 4));
  t.db.Close();
  const size_t before = rstest::read_bytes(t.path).size();

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    MiniDB db;
    int fails = 0;
    if (!db.Open(t.path.c_str())) _exit(10);
    struct rlimit rl = {rlim_t(before + 4), rlim_t(before + 4)};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(11);
    std::vector<uint8_t> big(300, 0x5A);
    if (!db.Set(3, big.data(), 300)) ++fails;  // new record past the limit
    if (!db.Set(2, big.data(), 100)) ++fails;  // move to a bigger slot
    if (db.Get(3, nullptr)) _exit(12);         // not indexed after failing
    if (!db.Set(1, "kept!!!", 7)) _exit(13);   // in place: no growth, works
    _exit(fails);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);

  ASSERT_TRUE(t.open());
  EXPECT_EQ(get(t.db, 1), bytes_of("kept!!!"));
  EXPECT_FALSE(t.db.Get(3, nullptr));
  EXPECT_EQ(rstest::read_bytes(t.path).size(), before);
}

TEST(MiniDb, ExistingUnopenableFileIsNotTruncated) {
  Db t;
  // A directory in place of the file: open for read-write fails, and the
  // store must not try to re-create (truncate) it.
  ASSERT_EQ(mkdir(t.path.c_str(), 0755), 0);
  EXPECT_FALSE(t.open());
  struct stat st;
  ASSERT_EQ(stat(t.path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  MiniDB nowhere;
  EXPECT_FALSE(nowhere.Open((t.path + "/missing/x.db").c_str()));
}

TEST(MiniDb, AppendAfterCutRecordDropsItsLeftovers) {
  Db t;
  std::vector<uint8_t> f = {0xBF, 0xBF, 0xFB, 0xFB, 0, 0, 0, 0};
  uint8_t h[12];
  rs::db_record_encode({3, 0, 0, 1000, 0, 5}, h);  // announces 1000 bytes, 200 follow
  f.insert(f.end(), h, h + 12);
  std::vector<uint8_t> data(200, 0);
  // Where a 16-byte slot at offset 8 ends, the cut data holds a live header
  // whose CRC cannot match.
  rs::db_record_encode({1, 0, 0xBEEF, 0, 0, 6}, &data[4]);
  f.insert(f.end(), data.begin(), data.end());
  rstest::write_bytes(t.path, f);
  ASSERT_TRUE(t.open());
  EXPECT_EQ(t.db.Count(), 0);
  ASSERT_TRUE(t.db.Set(9, "n", 1));
  t.db.Close();
  ASSERT_TRUE(t.open());
  EXPECT_EQ(get(t.db, 9), bytes_of("n"));
}
