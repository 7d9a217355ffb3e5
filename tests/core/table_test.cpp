#include "core/table.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fixture.h"
#include "streams.h"

namespace {

using Reader = int (*)(partition_table*, const uint8_t*, size_t);
using Writer = int (*)(partition_table*, uint8_t*, size_t);

struct Format {
  int version;
  Reader read;
  Writer write;
  size_t size;
  int limit;
};

const Format kFormats[] = {
    {1, flash_table_read, flash_table_write, 512, 12},
    {2, flash_table_v2_read, flash_table_v2_write, 1024, 24},
    {4, flash_table_v4_read, flash_table_v4_write, 3072, 84},
};

class TableFormat : public ::testing::TestWithParam<Format> {};

rstest::FixtureTable full_table(const Format& f) {
  rstest::FixtureTable t = rstest::sample_table(f.version);
  t.parts[0].name = "LONGNAME";  // all 8 bytes stored, 7 read back
  t.parts[0].write_protect = true;
  t.parts[0].id = 9;
  if (f.version != 1) t.parts[1].reserved = 0x1000;
  t.write_protect = 1;
  return t;
}

TEST_P(TableFormat, ReaderDecodesIndependentEncoding) {
  const Format& f = GetParam();
  rstest::FixtureTable t = full_table(f);
  std::vector<uint8_t> img = rstest::encode_table(t);
  partition_table tbl{};
  ASSERT_EQ(f.read(&tbl, img.data(), img.size()), 0);
  EXPECT_EQ(tbl.count, t.parts.size());
  EXPECT_EQ(tbl.write_protect, 1);
  EXPECT_EQ(tbl.version, 102);
  EXPECT_STREQ(tbl.tables[0].name, "LONGNAM");
  EXPECT_EQ(tbl.tables[0].write_protect, 1);
  EXPECT_EQ(tbl.tables[0].id, 9);
  for (size_t i = 0; i < t.parts.size(); ++i) {
    const partition_info& p = tbl.tables[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(p.start_addr, t.parts[i].start);
    EXPECT_EQ(p.total_size, t.parts[i].total);
    EXPECT_EQ(p.used_size, t.parts[i].content.size());
    EXPECT_EQ(p.reserved_size, t.parts[i].reserved);
    EXPECT_EQ(p.partition_size, t.parts[i].total - t.parts[i].reserved);
    EXPECT_EQ(p.mode, t.parts[i].mode);
    EXPECT_EQ(p.version, t.parts[i].version);
    EXPECT_EQ(p.update_tags, t.parts[i].update_tags);
    EXPECT_EQ(p.crc32_enable, 1);
    EXPECT_EQ(p.crc_verify, 0u);
    EXPECT_EQ(p.mtd_id, 0);
  }
}

TEST_P(TableFormat, WriterMatchesIndependentEncodingByteForByte) {
  const Format& f = GetParam();
  rstest::FixtureTable t = full_table(f);
  std::vector<uint8_t> expect = rstest::encode_table(t);
  partition_table tbl{};
  ASSERT_EQ(f.read(&tbl, expect.data(), expect.size()), 0);
  // Reading drops the 8th name byte; put it back to compare whole images.
  std::memcpy(tbl.tables[0].name, "LONGNAME", 8);
  std::vector<uint8_t> out(f.size + 16, 0);
  ASSERT_EQ(f.write(&tbl, out.data(), out.size()), 0);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + f.size), expect);
  EXPECT_EQ(out[f.size], 0) << "writer went past the table";
  EXPECT_EQ(tbl.crc_verify, uint32_t(expect[f.size - 4]) << 24 | expect[f.size - 3] << 16 | expect[f.size - 2] << 8 |
                                expect[f.size - 1]);
}

TEST_P(TableFormat, WriteKeepsOnlyStoredBits) {
  const Format& f = GetParam();
  partition_table tbl{};
  tbl.magic = 0x12345678;
  tbl.count = 1;
  tbl.version = 102;
  partition_info& p = tbl.tables[0];
  std::strcpy(p.name, "ROOT");
  p.mode = 0x7F;
  p.id = 0xFF;
  p.update_tags = 0xFF;
  p.reserved_size = 0x100;
  p.total_size = 0x1000;
  p.mtd_id = 5;
  p.crc_verify = 7;
  std::vector<uint8_t> out(f.size);
  ASSERT_EQ(f.write(&tbl, out.data(), out.size()), 0);
  partition_table back{};
  ASSERT_EQ(f.read(&back, out.data(), out.size()), 0);
  EXPECT_EQ(back.magic, 0x12345678u);
  EXPECT_EQ(back.tables[0].mode, 0x7F);
  EXPECT_EQ(back.tables[0].id, 0x7F);
  EXPECT_EQ(back.tables[0].update_tags, 3);
  EXPECT_EQ(back.tables[0].mtd_id, 0);
  EXPECT_EQ(back.tables[0].crc_verify, 0u);
  if (f.version == 1) {
    EXPECT_EQ(back.tables[0].reserved_size, 0u);
    EXPECT_EQ(back.tables[0].partition_size, 0x1000u);
  } else {
    EXPECT_EQ(back.tables[0].partition_size, 0xF00u);
  }
}

TEST_P(TableFormat, CountLimitAndShortBuffers) {
  const Format& f = GetParam();
  std::vector<uint8_t> buf(f.size, 0xFF);
  buf[4] = uint8_t(f.limit);
  buf[f.size - 5] = 100;  // old revision: CRC not looked at
  partition_table tbl{};
  EXPECT_EQ(f.read(&tbl, buf.data(), buf.size()), 0);
  buf[4] = uint8_t(f.limit + 1);
  rstest::Streams s = rstest::capture_streams([&] { EXPECT_EQ(f.read(&tbl, buf.data(), buf.size()), -1); });
  const std::string& err = s.err;
  EXPECT_NE(err.find("partition_num=" + std::to_string(f.limit + 1) + " error\n"), std::string::npos) << err;
  EXPECT_EQ(err.rfind("flash_table_", 0), 0u) << err;
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(f.read(&tbl, buf.data(), f.size - 1), -1);
  EXPECT_EQ(f.write(&tbl, buf.data(), f.size - 1), -1);
}

TEST_P(TableFormat, CrcCheckedFromRevision102) {
  const Format& f = GetParam();
  for (int rev : {0, 101, 102, 120}) {
    rstest::FixtureTable t = rstest::sample_table(f.version);
    t.revision = uint8_t(rev);
    t.bad_table_crc = true;
    t.parts[0].write_protect = true;
    t.parts[2].id = 40;
    std::vector<uint8_t> img = rstest::encode_table(t);
    partition_table tbl{};
    SCOPED_TRACE(rev);
    EXPECT_EQ(f.read(&tbl, img.data(), img.size()), rev > 101 ? 1 : 0);
    if (rev <= 101) {
      // Old revisions carry no id or write-protect bits per entry.
      EXPECT_EQ(tbl.tables[0].write_protect, 0);
      EXPECT_EQ(tbl.tables[2].id, 2);
    }
  }
}

TEST_P(TableFormat, EmptyTableIsFillerApartFromTrailer) {
  const Format& f = GetParam();
  partition_table tbl{};
  tbl.magic = 1;
  tbl.version = 102;
  tbl.crc32_enable = 1;
  std::vector<uint8_t> out(f.size);
  ASSERT_EQ(f.write(&tbl, out.data(), out.size()), 0);
  for (size_t i = 5; i < f.size - 7; ++i) ASSERT_EQ(out[i], 0xFF) << i;
  EXPECT_EQ(out[f.size - 7], 0);
  EXPECT_EQ(out[f.size - 6], 1);
  EXPECT_EQ(out[f.size - 5], 102);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, TableFormat, ::testing::ValuesIn(kFormats),
                         [](const auto& tp) { return "v" + std::to_string(tp.param.version); });

TEST(TableSect, SelectsRowsAndDefaultsToV1) {
  init_table_sect(2);
  EXPECT_EQ(table_sect.part_num, 24u);
  EXPECT_EQ(table_sect.size, 1024u);
  init_table_sect(4);
  EXPECT_EQ(table_sect.magic, 0xFF3E4D1Cu);
  EXPECT_EQ(table_sect.part_num, 84u);
  init_table_sect(3);
  EXPECT_EQ(table_sect.version, 1u);
  EXPECT_EQ(table_sect.size, 512u);
  EXPECT_EQ(table_sect.part_num, 12u);
}

TEST(TableNames, FsTypeNamesAndOrdering) {
  EXPECT_STREQ(get_fstype(2), "CRAMFS");
  EXPECT_STREQ(get_fstype(5), "UNKNOWN");
  EXPECT_STREQ(get_fstype(127), "MINIFS");
  EXPECT_STREQ(get_fstype(-1), "UNKNOWN");
  partition_info a{}, b{};
  a.start_addr = 0x80000000u;
  b.start_addr = 0x10;
  partition_data pa{&a, nullptr, nullptr, nullptr, 0}, pb{&b, nullptr, nullptr, nullptr, 0};
  // The difference is taken as a signed 32-bit value.
  EXPECT_GT(flash_compr(&pa, &pb), 0);
  EXPECT_LT(flash_compr(&pb, &pa), 0);
}

}  // namespace
