#include <gtest/gtest.h>
#include <romsmith/romsmith.h>

#include <cstring>

#include "core/table.h"
#include "fixture.h"
#include "testutil.h"

namespace {

struct Loaded {
  flash* f = nullptr;
  explicit Loaded(flash* p) : f(p) {}
  ~Loaded() {
    if (f) flash_free(f);
  }
};

class Load : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  std::string put(const std::vector<uint8_t>& bytes, const char* name = "img.bin") {
    std::string p = dir.file(name);
    rstest::write_bytes(p, bytes);
    return p;
  }
};

// Table at the TABLE partition's start (0xC000) for the sample layout.
constexpr size_t kImage = 0x10000;
constexpr size_t kTableAt = 0xC000;

class LoadFormat : public Load, public ::testing::WithParamInterface<int> {};

TEST_P(LoadFormat, LoadsPartitionsWithCrcAndTable) {
  rstest::FixtureTable t = rstest::sample_table(GetParam());
  t.parts[3].bad_crc = true;
  Loaded l(flash_load_bin(put(rstest::build_image(t, kImage, kTableAt)).c_str()));
  ASSERT_NE(l.f, nullptr);
  EXPECT_EQ(l.f->count, 4);
  EXPECT_EQ(l.f->table_version, GetParam());
  EXPECT_EQ(l.f->flash_size, kImage);
  EXPECT_EQ(l.f->table_enable, 1);
  EXPECT_EQ(l.f->table_addr, kTableAt);
  EXPECT_EQ(table_sect.version, uint32_t(GetParam()));
  for (int i = 0; i < 4; ++i) {
    const partition_data& p = l.f->list[i];
    SCOPED_TRACE(i);
    ASSERT_NE(p.buf, nullptr);
    EXPECT_EQ(p.info, &l.f->flash_table.tables[i]);
    if (!t.parts[i].content.empty()) {
      EXPECT_EQ(0, std::memcmp(p.buf, t.parts[i].content.data(), t.parts[i].content.size()));
    }
    EXPECT_EQ(p.crc32_passed, i == 3 ? 0 : 1);
  }
}

TEST_P(LoadFormat, SimpleLoadCopiesBytesOnly) {
  rstest::FixtureTable t = rstest::sample_table(GetParam());
  t.parts[1].type = FS_CRAMFS;
  Loaded l(flash_simple_load_bin(put(rstest::build_image(t, kImage, kTableAt)).c_str()));
  ASSERT_NE(l.f, nullptr);
  for (int i = 0; i < l.f->count; ++i) {
    EXPECT_EQ(l.f->list[i].crc32_passed, 0);
    EXPECT_EQ(l.f->list[i].fs, nullptr);
  }
  EXPECT_EQ(0, std::memcmp(l.f->list[1].buf, t.parts[1].content.data(), t.parts[1].content.size()));
}

INSTANTIATE_TEST_SUITE_P(AllFormats, LoadFormat, ::testing::Values(1, 2, 4),
                         [](const auto& tp) { return "v" + std::to_string(tp.param); });

TEST_F(Load, TableFoundOnlyAtSectorBoundaries) {
  rstest::FixtureTable t = rstest::sample_table(2);
  for (size_t at : {size_t(0xE200), size_t(0xF000 - 1024 + 512)}) {
    Loaded l(flash_load_bin(put(rstest::build_image(t, kImage, at)).c_str()));
    ASSERT_NE(l.f, nullptr) << at;
  }
  // Off the 512-byte grid the magic is never looked at.
  std::vector<uint8_t> img = rstest::build_image(t, kImage, 0xE100);
  Loaded none(flash_load_bin(put(img).c_str()));
  EXPECT_EQ(none.f, nullptr);
}

TEST_F(Load, FirstTableDecidesEvenWhenCorrupt) {
  rstest::FixtureTable good = rstest::sample_table(4);
  std::vector<uint8_t> img = rstest::build_image(good, kImage, kTableAt);
  rstest::FixtureTable bad = good;
  bad.bad_table_crc = true;
  std::vector<uint8_t> bad_tab = rstest::encode_table(bad);
  // Place the corrupt table in free space before the good one.
  std::memcpy(&img[0x1400], bad_tab.data(), bad_tab.size());
  EXPECT_EQ(Loaded(flash_load_bin(put(img).c_str())).f, nullptr);
  // The same corrupt table behind the good one is never reached.
  img = rstest::build_image(good, 0x14000, kTableAt);
  std::memcpy(&img[0x10000], bad_tab.data(), bad_tab.size());
  EXPECT_NE(Loaded(flash_load_bin(put(img).c_str())).f, nullptr);
}

TEST_F(Load, Revision101IgnoresTableCrc) {
  rstest::FixtureTable t = rstest::sample_table(4);
  t.bad_table_crc = true;
  t.revision = 101;
  EXPECT_NE(Loaded(flash_load_bin(put(rstest::build_image(t, kImage, kTableAt)).c_str())).f, nullptr);
  t.revision = 102;
  EXPECT_EQ(Loaded(flash_load_bin(put(rstest::build_image(t, kImage, kTableAt)).c_str())).f, nullptr);
}

TEST_F(Load, SortsByStartAndKeepsEntryPointers) {
  rstest::FixtureTable t = rstest::sample_table(4);
  std::swap(t.parts[0], t.parts[3]);
  std::swap(t.parts[1], t.parts[2]);
  t.parts.erase(t.parts.begin() + 1);  // no TABLE partition
  Loaded l(flash_load_bin(put(rstest::build_image(t, kImage, kTableAt)).c_str()));
  ASSERT_NE(l.f, nullptr);
  EXPECT_EQ(l.f->table_enable, 0);
  EXPECT_EQ(l.f->table_addr, kTableAt);
  const char* order[] = {"BOOT", "KERNEL", "DATA"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(l.f->list[i].info->name, order[i]);
    EXPECT_GE(l.f->list[i].info, &l.f->flash_table.tables[0]);
    EXPECT_LT(l.f->list[i].info, &l.f->flash_table.tables[3]);
  }
  EXPECT_STREQ(l.f->flash_table.tables[0].name, "DATA") << "table order itself is kept";
}

TEST_F(Load, RefusesBadFilesWithoutCrashing) {
  EXPECT_EQ(flash_load_bin(dir.file("missing").c_str()), nullptr);
  EXPECT_EQ(flash_load_bin(dir.path().c_str()), nullptr);
  EXPECT_EQ(flash_load_bin(put({}, "empty").c_str()), nullptr);
  EXPECT_EQ(flash_load_bin(put(rstest::random_bytes(1 << 16, 7), "noise").c_str()), nullptr);
  // A file of 1023 bytes is not scanned at all; 1024 bytes are.
  rstest::FixtureTable t;
  t.format = 1;
  std::vector<uint8_t> small = rstest::build_image(t, 1024, 512);
  EXPECT_NE(Loaded(flash_load_bin(put(small, "1024").c_str())).f, nullptr);
  small.resize(1023);
  EXPECT_EQ(flash_load_bin(put(small, "1023").c_str()), nullptr);
  // A v4 table whose image would run past the end of the file.
  rstest::FixtureTable v4 = rstest::sample_table(4);
  std::vector<uint8_t> img = rstest::build_image(v4, kImage, kTableAt);
  img.resize(kTableAt + 1024);
  EXPECT_EQ(flash_load_bin(put(img, "cut").c_str()), nullptr);
}

TEST_F(Load, PartitionBeyondFileEndRefusesImage) {
  rstest::FixtureTable t = rstest::sample_table(4);
  t.parts[3].total = 0x100000;  // far beyond the 64 KiB file
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  flash* f = flash_load_bin(put(rstest::build_image(t, kImage, kTableAt)).c_str());
  std::string err = testing::internal::GetCapturedStderr();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(f, nullptr);
  EXPECT_NE(err.find("error: partition DATA"), std::string::npos) << err;
  EXPECT_EQ(out, "");
  // Wrapping start + size arithmetic must not slip through.
  t = rstest::sample_table(4);
  t.parts[3].start = 0xFFFFF000u;
  t.parts[3].content.clear();
  t.parts[3].total = 0x2000;
  EXPECT_EQ(flash_load_bin(put(rstest::build_image(t, kImage, kTableAt)).c_str()), nullptr);
}

TEST_F(Load, UsedSizeLargerThanPartitionFailsCrcOnly) {
  rstest::FixtureTable t = rstest::sample_table(4);
  t.parts[0].used_override = 0x100000;
  Loaded l(flash_load_bin(put(rstest::build_image(t, kImage, kTableAt)).c_str()));
  ASSERT_NE(l.f, nullptr);
  EXPECT_EQ(l.f->list[0].crc32_passed, 0);
}

}  // namespace
