#include "core/merge.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/state.h"
#include "core/table.h"
#include "fixture.h"
#include "streams.h"
#include "testutil.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/fileio.h"

namespace {

class Merge : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  std::string conf;
  void SetUp() override {
    rstest::write_bytes(dir.file("boot.bin"), rstest::random_bytes(0x900, 1));
    rstest::write_bytes(dir.file("kernel.bin"), rstest::random_bytes(0x1234, 2));
    conf = dir.file("flash.conf");
    rstest::write_text(conf,
                       "table_version 2\nBOOT boot.bin true RAW ro 0 0 0 0x1000\n"
                       "TABLE NULL false RAW ro 0 0 0x1000 0x1000\nKERNEL kernel.bin true RAW ro 0 0 0x2000 0x2000\n");
  }
  void TearDown() override {
    basedir.assign(1, '.');
    init_table_sect(1);
  }
};

TEST_F(Merge, RecordsInAddressOrderAndSplitRestoresFiles) {
  testing::internal::CaptureStdout();
  flash* f = flash_load_conf(conf.c_str());
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(image_merge(conf.c_str(), f, dir.file("out").c_str()), 0);
  std::string said = testing::internal::GetCapturedStdout();
  flash_free(f);
  EXPECT_NE(said.find("Merge sub file num   : 4\n"), std::string::npos) << said;
  std::vector<uint8_t> m = rstest::read_bytes(dir.file("out.merge"));
  ASSERT_GT(m.size(), 12u + 4 * 264);
  EXPECT_EQ(std::string(m.begin(), m.begin() + 8), "mergebin");
  EXPECT_EQ(rs::load_le32(&m[8]), 4u);
  const char* names[] = {"flash.conf", "boot.bin", "table.bin", "kernel.bin"};
  const uint32_t lens[] = {uint32_t(rstest::read_bytes(conf).size()), 0x900, 1024, 0x1234};
  uint32_t at = 12 + 4 * 264;
  for (int k = 0; k < 4; ++k) {
    const uint8_t* r = &m[12 + 264 * k];
    EXPECT_STREQ(reinterpret_cast<const char*>(r), names[k]);
    EXPECT_EQ(rs::load_le32(r + 256), at) << k;
    EXPECT_EQ(rs::load_le32(r + 260), lens[k]) << k;
    at += lens[k];
  }
  EXPECT_EQ(at, m.size());
  testing::internal::CaptureStdout();
  ASSERT_EQ(image_split(dir.file("out.merge").c_str(), nullptr), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rstest::read_bytes(dir.file("out.merge.split/kernel.bin")), rstest::random_bytes(0x1234, 2));
  EXPECT_EQ(rstest::read_bytes(dir.file("out.merge.split/flash.conf")), rstest::read_bytes(conf));
  EXPECT_EQ(rs::load_be32(rstest::read_bytes(dir.file("out.merge.split/table.bin")).data()), TABLE_V2_MAGIC);
}

TEST_F(Merge, SplitRefusesMalformedAndEscapingRecords) {
  auto split = [&](const std::vector<uint8_t>& bytes) {
    rstest::write_bytes(dir.file("bad.merge"), bytes);
    testing::internal::CaptureStdout();
    int rc = image_split(dir.file("bad.merge").c_str(), dir.file("o").c_str());
    std::string out = testing::internal::GetCapturedStdout();
    return std::make_pair(rc, out);
  };
  EXPECT_EQ(split({'n', 'o', 'p', 'e', 0, 0, 0, 0, 0}).first, -1);
  std::vector<uint8_t> m(12 + 264, 0);
  std::memcpy(m.data(), "mergebin", 8);
  rs::store_le32(&m[8], 5);  // more records than the file holds
  EXPECT_EQ(split(m).first, -1);
  rs::store_le32(&m[8], 1);
  std::memcpy(&m[12], "../escape", 9);
  rs::store_le32(&m[12 + 256], 12 + 264);
  EXPECT_EQ(split(m).first, -1);
  EXPECT_FALSE(rs::path_exists(dir.file("escape")));
  std::memcpy(&m[12], "inside\0\0\0", 9);
  rs::store_le32(&m[12 + 260], 100);  // runs past the end
  EXPECT_EQ(split(m).first, -1);
  rs::store_le32(&m[12 + 260], 0);
  EXPECT_EQ(split(m).first, 0);
  EXPECT_TRUE(rs::path_exists(dir.file("o/inside")));
}

TEST_F(Merge, ReleaseBlockStampAndClear) {
  rstest::FixtureTable t = rstest::sample_table(4);
  std::string img = dir.file("flash.bin");
  rstest::write_bytes(img, rstest::build_image(t, 0x10000, 0xC000));
  flash* f = flash_simple_load_bin(img.c_str());
  ASSERT_NE(f, nullptr);
  const size_t at = 0x4000 - 512;
  std::string s247(247, 'r');
  ASSERT_EQ(flash_add_release(f, 1, s247.c_str()), 0);
  EXPECT_EQ(rs::load_le32(f->list[0].buf + at), 0x12345678u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f->list[0].buf + at + 4)), s247);
  EXPECT_EQ(rs::load_le32(f->list[0].buf + at + 252), rs::crc32_of(f->list[0].buf + at + 4, 248));
  rstest::Streams s = rstest::capture_streams([&] { ASSERT_EQ(flash_add_release(f, 1, (s247 + "xy").c_str()), 0); });
  EXPECT_EQ(s.err, "warning: string_len(include null byte)=250 > relase_info_str_size=248\n");
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(f->list[0].buf[at + 4 + 246], 'r');
  EXPECT_EQ(f->list[0].buf[at + 4 + 247], 0);
  ASSERT_EQ(flash_add_release(f, 0, nullptr), 0);
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ(f->list[0].buf[at + i], 0) << i;
  uint32_t used = f->list[0].info->used_size;
  EXPECT_EQ(used, 0x1234u) << "the table entry is left alone";
  // A first partition shorter than the block is refused, not overrun.
  f->flash_table.tables[0].partition_size = 100;
  testing::internal::CaptureStdout();
  EXPECT_EQ(flash_add_release(f, 1, "x"), -1);
  testing::internal::GetCapturedStdout();
  flash_free(f);
}

}  // namespace
