#include "datatools/convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatools/datatools.h"
#include "minidb/minidb.h"
#include "streams.h"
#include "testutil.h"
#include "util/endian.h"

namespace {

using Rec = std::vector<uint8_t>;

struct Sat {
  uint32_t id = 0, tuner = 0;
  uint16_t lnb1 = 0, lnb2 = 0, longitude = 0;
  uint8_t diseqc12_pos = 0, diseqc10 = 0, b28 = 0;
  std::string name;
  Rec bytes() const {
    Rec r(68, 0);
    rs::store_le32(&r[0], id);
    rs::store_le32(&r[16], tuner);
    rs::store_le16(&r[20], lnb1);
    rs::store_le16(&r[22], lnb2);
    r[25] = diseqc12_pos;
    r[27] = diseqc10;
    r[28] = b28;
    rs::store_le16(&r[30], longitude);
    std::memcpy(&r[32], name.data(), std::min<size_t>(name.size(), 16));
    return r;
  }
};

struct Tp {
  uint32_t id = 0, sat_id = 0, frequency = 0, symbol = 0, polar = 0;
  Rec bytes() const {
    Rec r(20, 0);
    rs::store_le32(&r[0], id);
    rs::store_le32(&r[4], sat_id);
    rs::store_le32(&r[8], frequency);
    rs::store_le32(&r[12], symbol);
    rs::store_le32(&r[16], polar);
    return r;
  }
};

struct Prog {
  uint16_t id = 0, tp_id = 0, w4 = 0, sat_id = 0, tuner = 0, service_id = 0;
  uint8_t flags = 0, cur_audio_type = 0;
  uint32_t favorite = 0, cas_id = 0, pos = 0;
  uint16_t pcr = 0, pmt = 0, vpid = 0, ac3_pid = 0, cur_audio_pid = 0;
  std::string name;
  Rec bytes() const {
    Rec r(136, 0);
    rs::store_le16(&r[0], id);
    rs::store_le16(&r[2], tp_id);
    rs::store_le16(&r[4], w4);
    rs::store_le16(&r[8], sat_id);
    rs::store_le16(&r[10], tuner);
    rs::store_le16(&r[12], service_id);
    r[15] = flags;
    rs::store_le32(&r[16], favorite);
    rs::store_le16(&r[20], pcr);
    rs::store_le16(&r[22], pmt);
    rs::store_le16(&r[26], vpid);
    rs::store_le16(&r[32], ac3_pid);
    rs::store_le16(&r[34], cur_audio_pid);
    r[38] = cur_audio_type;
    rs::store_le32(&r[44], cas_id);
    std::memcpy(&r[48], name.data(), std::min<size_t>(name.size(), 32));
    rs::store_le32(&r[132], pos);
    return r;
  }
};

void make_db(const std::string& path, const std::vector<std::pair<int, Rec>>& recs) {
  rs::MiniDB db;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(db.Open(path.c_str()));
  for (const auto& [key, r] : recs) ASSERT_TRUE(db.Set(key, r.data(), int(r.size())));
  testing::internal::GetCapturedStdout();
}

// What the conversion says, all of it on standard error: it lists nothing.
std::string convert(const std::string& dir, const std::string& out) {
  rstest::Streams s = rstest::capture_streams([&] { berkeley_2_default(dir.c_str(), out.c_str()); });
  EXPECT_EQ(s.out, "");
  return s.err;
}

uint32_t word(const Rec& f, size_t off) { return rs::load_le32(&f[off]); }
uint32_t field(uint32_t w, unsigned shift, unsigned width) { return uint32_t(rs::get_bits(w, shift, width)); }

Rec u32s(std::initializer_list<uint32_t> ws) {
  Rec r;
  for (uint32_t w : ws) {
    uint8_t b[4];
    rs::store_le32(b, w);
    r.insert(r.end(), b, b + 4);
  }
  return r;
}

}  // namespace

TEST(DefaultData, EmptyDatabasesGiveTwentyBytes) {
  rstest::TempDir d;
  std::string out = convert(d.path(), d.file("def.db"));
  EXPECT_EQ(rstest::read_bytes(d.file("def.db")), u32s({0x4B386753, 0, 0, 0, 0x4B386745}));
  std::string line = "record count = 0, delete count = 0\n";
  EXPECT_EQ(out, d.file("def.db") + " open\n" + line + line + line + d.file("def.db") + " close\n");
  EXPECT_EQ(rstest::read_bytes(d.file("tp.db")).size(), 8u);  // created by the store
}

// One record of each kind, every output word worked out by hand.
TEST(DefaultData, ExactBytesOfOneRecordEach) {
  rstest::TempDir d;
  Sat s{10, 1, 9750, 10600, 192, 0xFF, 2, 0xD0, "Astra"};
  Tp t{100, 10, 11778, 27500, 1};
  Prog p;
  p.id = 1, p.tp_id = 100, p.w4 = 0x2021, p.sat_id = 10, p.tuner = 1, p.service_id = 0x1234, p.flags = 0x47;
  p.favorite = 0x11, p.pcr = 0x100, p.pmt = 0x101, p.vpid = 0x200, p.ac3_pid = 0x300, p.cur_audio_pid = 0x301;
  p.cur_audio_type = 1, p.cas_id = 0x2ABC, p.name = "Radio One";
  make_db(d.file("sat.db"), {{10, s.bytes()}});
  make_db(d.file("tp.db"), {{100, t.bytes()}});
  make_db(d.file("prog.db"), {{1, p.bytes()}});
  convert(d.path(), d.file("def.db"));

  Rec want = u32s({0x4B386753, 1, 1, 1});
  Rec name(16, 0);
  std::memcpy(name.data(), "Astra", 5);
  want.insert(want.end(), name.begin(), name.end());
  Rec w = u32s({1, 0xA00A60C0, 0xC002000A, 0x35B66E02, 0x80000000, 0x11, 0xEABC1234, 0x68600200, 0x18200101});
  want.insert(want.end(), w.begin(), w.end());
  Rec pname(24, 0);
  std::memcpy(pname.data(), "Radio One", 9);
  want.insert(want.end(), pname.begin(), pname.end());
  Rec end = u32s({0x4B386745});
  want.insert(want.end(), end.begin(), end.end());
  EXPECT_EQ(rstest::read_bytes(d.file("def.db")), want);
}

TEST(DefaultData, SortsRenumbersAndCountsTransponders) {
  rstest::TempDir d;
  Sat a{30, 0, 5150, 0, 0, 1, 0, 0, "thirty"}, b{10, 0, 9999, 0, 0, 0, 0, 0, "ten"},
      c{20, 0, 11300, 5750, 0, 7, 0, 0, "twenty"};
  make_db(d.file("sat.db"), {{30, a.bytes()}, {10, b.bytes()}, {20, c.bytes()}});
  Tp t1{5, 20, 1, 0, 0}, t2{6, 10, 2, 0, 0}, t3{7, 10, 3, 0, 0};
  make_db(d.file("tp.db"), {{5, t1.bytes()}, {6, t2.bytes()}, {7, t3.bytes()}});
  Prog p1, p2;
  p1.sat_id = 20, p1.tp_id = 5, p1.pos = 9, p1.cur_audio_pid = 0x2345, p1.cur_audio_type = 0xE, p1.name = "later";
  p2.sat_id = 99, p2.tp_id = 99, p2.pos = 2, p2.name = std::string(32, 'N');
  make_db(d.file("prog.db"), {{1, p1.bytes()}, {2, p2.bytes()}});
  convert(d.path(), d.file("def.db"));
  Rec f = rstest::read_bytes(d.file("def.db"));
  ASSERT_EQ(f.size(), 16 + 3 * 28 + 3 * 4 + 2 * 44 + 4u);

  // Satellites in id order 10, 20, 30.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[16])), "ten");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[16 + 28])), "twenty");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[16 + 56])), "thirty");
  struct {
    unsigned lnb1, lnb2, start, num, pos, motor;
  } want[3] = {{0, 0, 0, 2, 0, 0}, {9, 2, 2, 1, 7, 3}, {0, 0, 0, 0, 1, 1}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    uint32_t w20 = word(f, 16 + 28 * size_t(i) + 20), w24 = word(f, 16 + 28 * size_t(i) + 24);
    EXPECT_EQ(field(w20, 13, 4), want[i].lnb1);
    EXPECT_EQ(field(w20, 17, 4), want[i].lnb2);
    EXPECT_EQ(field(w20, 21, 8), want[i].pos);
    EXPECT_EQ(field(w24, 4, 13), want[i].start);
    EXPECT_EQ(field(w24, 17, 13), want[i].num);
    EXPECT_EQ(field(w24, 30, 2), want[i].motor);
  }
  // Transponders by satellite, ties in key order: 6, 7 (sat 10), 5 (sat 20).
  const size_t tp0 = 16 + 84;
  EXPECT_EQ(field(word(f, tp0), 0, 14), 2u);
  EXPECT_EQ(field(word(f, tp0 + 4), 0, 14), 3u);
  EXPECT_EQ(field(word(f, tp0 + 8), 0, 14), 1u);
  // Programmes by pos: the unknown ids map to 0, the name is cut at 21 bytes.
  const size_t pr0 = tp0 + 12;
  EXPECT_EQ(word(f, pr0), 0u);
  EXPECT_EQ(Rec(f.begin() + long(pr0 + 20), f.begin() + long(pr0 + 44)), [] {
    Rec r(24, 0);
    std::fill(r.begin(), r.begin() + 21, 'N');
    return r;
  }());
  uint32_t w0 = word(f, pr0 + 44);
  EXPECT_EQ(field(w0, 0, 13), 1u);   // satellite 20 is the second
  EXPECT_EQ(field(w0, 13, 13), 2u);  // transponder 5 is the third
  uint32_t w12 = word(f, pr0 + 44 + 12);
  EXPECT_EQ(field(w12, 13, 13), 0x0345u);
  EXPECT_EQ(field(w12, 29, 3), 6u);
}

TEST(DefaultData, MissingTransponderDatabaseIsCreatedEmpty) {
  rstest::TempDir d;
  Sat s{1, 0, 0, 0, 0, 0, 0, 0, "s"};
  make_db(d.file("sat.db"), {{1, s.bytes()}});
  convert(d.path(), d.file("def.db"));
  Rec f = rstest::read_bytes(d.file("def.db"));
  ASSERT_EQ(f.size(), 16 + 28 + 4u);
  EXPECT_EQ(word(f, 8), 0u);
  EXPECT_EQ(field(word(f, 16 + 24), 4, 26), 0u);
  EXPECT_EQ(rstest::read_bytes(d.file("tp.db")), (Rec{0xBF, 0xBF, 0xFB, 0xFB, 0, 0, 0, 0}));
}

// Records of another firmware's size: short ones are zero-padded, long ones cut.
TEST(DefaultData, OddRecordSizesArePaddedOrCut) {
  rstest::TempDir d;
  Rec short_sat = Sat{4, 0, 9750, 0, 0, 0, 0, 0, ""}.bytes();
  short_sat.resize(24);
  Rec long_tp = Tp{1, 4, 77, 0, 0}.bytes();
  long_tp.resize(200, 0xFF);
  make_db(d.file("sat.db"), {{4, short_sat}});
  make_db(d.file("tp.db"), {{1, long_tp}});
  convert(d.path(), d.file("def.db"));
  Rec f = rstest::read_bytes(d.file("def.db"));
  ASSERT_EQ(f.size(), 16 + 28 + 4 + 4u);
  EXPECT_EQ(field(word(f, 16 + 20), 13, 4), 3u);
  EXPECT_EQ(field(word(f, 16 + 24), 17, 13), 1u);
  EXPECT_EQ(word(f, 16 + 28), 77u);
}

struct FailCase {
  const char* db;
  std::string message;
};
class ConvertFailure : public testing::TestWithParam<FailCase> {};
TEST_P(ConvertFailure, LeavesEmptyFileAndNamesTheLine) {
  rstest::TempDir d;
  rstest::write_bytes(d.file(GetParam().db), {1, 2, 3, 4, 5, 6, 7, 8});  // bad magic
  std::string out = convert(d.path(), d.file("def.db"));
  EXPECT_NE(out.find(GetParam().message), std::string::npos) << out;
  EXPECT_NE(out.find(d.file("def.db") + " close\n"), std::string::npos);
  EXPECT_TRUE(rstest::read_bytes(d.file("def.db")).empty());
}
INSTANTIATE_TEST_SUITE_P(Dbs, ConvertFailure,
                         testing::Values(FailCase{"sat.db", "file open failed at berkeley/api/minidb_ops 269\n"},
                                         FailCase{"tp.db", "file open failed at berkeley/api/minidb_ops 301\n"},
                                         FailCase{"prog.db", "file open failed at berkeley/api/minidb_ops 333\n"}));

// The output is written only once the conversion is complete: a failed run
// empties a stale output, but never a database named as the output.
TEST(DefaultData, FailedConversionKeepsADatabaseGivenAsTheOutput) {
  rstest::TempDir d;
  make_db(d.file("sat.db"), {{1, Sat{1, 0, 0, 0, 0, 0, 0, 0, "s"}.bytes()}});
  rstest::write_bytes(d.file("tp.db"), {1, 2, 3, 4, 5, 6, 7, 8});  // bad magic
  Rec sat = rstest::read_bytes(d.file("sat.db"));
  rstest::write_text(d.file("def.db"), "stale");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(rs::convert_databases(d.path(), d.file("sat.db")));
  EXPECT_FALSE(rs::convert_databases(d.path(), d.file("def.db")));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rstest::read_bytes(d.file("sat.db")), sat);
  EXPECT_TRUE(rstest::read_bytes(d.file("def.db")).empty());
}

TEST(DefaultData, UncreatableOutputIsReported) {
  rstest::TempDir d;
  EXPECT_EQ(convert(d.path(), d.file("no/such/dir/def.db")),
            "error: create " + d.file("no/such/dir/def.db") + " failed, No such file or directory\n");
  EXPECT_FALSE(rs::convert_databases(d.path(), d.file("no/such/dir/def.db")));
}

TEST(DefaultData, LanguageList) {
  EXPECT_EQ(rs::language_list_from("eng;fre;;deu"), "eng\nfre\ndeu\n");
  EXPECT_EQ(rs::language_list_from(""), "");
  EXPECT_EQ(rs::lnb_exchange(11300), 9u);
  EXPECT_EQ(rs::lnb_exchange(9999), 0u);
}
