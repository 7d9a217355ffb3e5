// The import rules on plain byte buffers.
#include "import_logic.h"

#include <gtest/gtest.h>
#include <romsmith/romsmith.h>

#include <string>
#include <type_traits>

#include "boot_fixture.h"
#include "library_api.h"
#include "testutil.h"

using namespace keyporter;
using guitest::get_le32;
using guitest::kBlockAt;
using guitest::kMarkerAt;
using guitest::make_boot;

// The program declares the exports itself; they must not drift from the
// library's header.
static_assert(std::is_same_v<flash_load_bin_fn, decltype(&::flash_load_bin)>);
static_assert(std::is_same_v<flash_save_fn, decltype(&::flash_save)>);
static_assert(std::is_same_v<flash_read_fn, decltype(&::flash_read)>);
static_assert(std::is_same_v<flash_rm_fn, decltype(&::flash_rm)>);
static_assert(std::is_same_v<flash_add_fn, decltype(&::flash_add)>);
static_assert(std::is_same_v<flash_partition_dump_fn, decltype(&::flash_partition_dump)>);
static_assert(std::is_same_v<flash_update_f_fn, decltype(&::flash_update_f)>);
static_assert(std::is_same_v<flash_free_fn, decltype(&::flash_free)>);

namespace {

struct PatternCase {
  std::string pattern, data;
  long expected;
};

class FindPattern : public ::testing::TestWithParam<PatternCase> {};

TEST_P(FindPattern, FirstOccurrence) {
  const auto& c = GetParam();
  auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  EXPECT_EQ(find_pattern(bytes(c.pattern), long(c.pattern.size()), bytes(c.data), long(c.data.size())), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FindPattern,
                         ::testing::Values(PatternCase{"abc", "abc", 0}, PatternCase{"abc", "xxabcabc", 2},
                                           PatternCase{"aab", "aaab", 1},      // fallback inside a run
                                           PatternCase{"abab", "abaabab", 3},  // partial match restarts
                                           PatternCase{"aaaa", "aaabaaaa", 4}, PatternCase{"abc", "ababab", -1},
                                           PatternCase{"abc", "ab", -1}, PatternCase{"abc", "", -1},
                                           PatternCase{"", "abc", -1},
                                           PatternCase{std::string("\x11\x11", 2), std::string("\x01\x11\x11", 3), 1}));

TEST(FindLoaderKeys, TakesBlockAndCodesUpToTheEndMark) {
  auto boot = make_boot({0x00FF12ED, 0x00FF1AE5, 0x12345678});
  auto keys = find_loader_keys(boot);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->count, 3u);
  EXPECT_TRUE(std::equal(keys->block.begin(), keys->block.end(), boot.begin() + kBlockAt));
  EXPECT_EQ(keys->codes[0], 0x00FF12EDu);
  EXPECT_EQ(keys->codes[2], 0x12345678u);
  for (size_t i = 3; i < kKeySlots; ++i) EXPECT_EQ(keys->codes[i], kKeyEnd) << i;
}

TEST(FindLoaderKeys, TakesAtMostFifteenCodes) {
  std::vector<uint32_t> codes;
  for (uint32_t i = 0; i < 20; ++i) codes.push_back(0x00FF0000 + i);
  auto keys = find_loader_keys(make_boot(codes));
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->count, 15u);
  EXPECT_EQ(keys->codes[14], 0x00FF000Eu);
  EXPECT_EQ(keys->codes[15], kKeyEnd);
}

TEST(FindLoaderKeys, ListRunningToTheEndYieldsWholeCodesOnly) {
  // Block at 0x100, codes from 0x184; 0x18E bytes leave two whole codes and a
  // half one.
  auto boot = make_boot({0xA1, 0xA2, 0xA3}, 0x30, false, false, 0x18E);
  auto keys = find_loader_keys(boot);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->count, 2u);
  EXPECT_EQ(keys->codes[1], 0xA2u);
  EXPECT_EQ(keys->codes[2], kKeyEnd);
}

// Each mutation leaves a buffer the source side must not take a block from.
struct RejectCase {
  const char* name;
  void (*mutate)(std::vector<uint8_t>&);
};

class FindLoaderKeysRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(FindLoaderKeysRejects, NoBlock) {
  auto boot = make_boot({0xA1, 0xA2});
  GetParam().mutate(boot);
  EXPECT_FALSE(find_loader_keys(boot)) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindLoaderKeysRejects,
    ::testing::Values(RejectCase{"no signature", [](std::vector<uint8_t>& b) { b[kBlockAt + 3] = 0x2D; }},
                      RejectCase{"signature only at offset 0",
                                 [](std::vector<uint8_t>& b) { b.erase(b.begin(), b.begin() + long(kBlockAt)); }},
                      RejectCase{"end bytes broken", [](std::vector<uint8_t>& b) { b[kBlockAt + 131] = 0xFE; }},
                      RejectCase{"no code after the block",
                                 [](std::vector<uint8_t>& b) { guitest::put_le32(b, kBlockAt + 132, 0xFFFF); }},
                      RejectCase{"block cut by the end of data",
                                 [](std::vector<uint8_t>& b) { b.resize(kBlockAt + 131); }},
                      RejectCase{"first occurrence is not a block", [](std::vector<uint8_t>& b) {
                                   const uint8_t sig[] = {0x04, 0x00, 0x00, 0x2C, 0xFF};
                                   std::memcpy(b.data() + 0x10, sig, 5);  // a stray signature before the real block
                                 }}));

TEST(PanelXml, ReadsConverseAndSegments) {
  PanelLeds leds;
  QByteArray xml =
      "<?xml version=\"1.0\"?>\n<config>\n <group name=\"led converse\"><item value=\"1\"/><item "
      "value=\"7\"/></group>\n"
      " <group name=\"led value\">\n  <bit name=\"BIT_A\">01</bit><bit name=\"BIT_C\"> 04 </bit>\n"
      "  <bit name=\"BIT_D\">08</bit><bit name=\"BIT_E\">0x10</bit><bit name=\"BIT_G\">140</bit>\n"
      "  <bit name=\"BIT_X\">ff</bit><bit name=\"BIT_P\">zz</bit>\n </group>\n <group name=\"other\"><bit "
      "name=\"BIT_B\">2</bit></group>\n"
      "</config>\n";
  leds.segments[BIT_P] = 0x80;
  ASSERT_TRUE(parse_panel_xml(xml, leds));
  EXPECT_EQ(leds.converse, 1);
  EXPECT_TRUE(leds.value_found);
  EXPECT_EQ(leds.segments[BIT_A], 0x01);
  EXPECT_EQ(leds.segments[BIT_C], 0x04);
  EXPECT_EQ(leds.segments[BIT_E], 0x10);  // with or without "0x"
  EXPECT_EQ(leds.segments[BIT_G], 0x40);  // low 8 bits of 0x140
  EXPECT_EQ(leds.segments[BIT_P], 0x00);  // not a number
  EXPECT_EQ(leds.segments[BIT_B], 0x00);  // other groups are ignored
}

TEST(PanelXml, KeepsEarlierValuesAndNeedsBitA) {
  PanelLeds leds;
  leds.segments[BIT_C] = 0x04;
  leds.converse = 5;
  ASSERT_TRUE(
      parse_panel_xml("<config><group name=\"led value\"><b name=\"BIT_G\">40</b></group>"
                      "<group name=\"led converse\"><x/></group></config>",
                      leds));
  EXPECT_FALSE(leds.value_found);
  EXPECT_EQ(leds.segments[BIT_C], 0x04);
  EXPECT_EQ(leds.segments[BIT_G], 0x40);
  EXPECT_EQ(leds.converse, 0);  // first child without a value
}

TEST(PanelXml, MalformedOrForeignRootChangesNothing) {
  for (const char* xml : {"<config><group name=\"led value\"><b name=\"BIT_A\">1</b></group>",
                          "<panel><group name=\"led value\"><b name=\"BIT_A\">1</b></group></panel>", ""}) {
    PanelLeds leds;
    leds.segments[BIT_A] = 0x55;
    EXPECT_FALSE(parse_panel_xml(xml, leds)) << xml;
    EXPECT_FALSE(leds.value_found);
    EXPECT_EQ(leds.segments[BIT_A], 0x55);
  }
}

TEST(Glyphs, FromSegmentsPlainAndInverted) {
  PanelLeds leds;
  leds.segments[BIT_A] = 0x01;
  leds.segments[BIT_B] = 0x02;
  leds.segments[BIT_C] = 0x04;
  leds.segments[BIT_D] = 0x08;
  leds.segments[BIT_E] = 0x10;
  leds.segments[BIT_F] = 0x20;
  leds.segments[BIT_G] = 0x40;
  leds.segments[BIT_P] = 0x80;
  Glyphs g = compute_glyphs(leds);
  EXPECT_EQ(g.o, 0x5C);
  EXPECT_EQ(g.n, 0x54);
  leds.converse = 1;
  g = compute_glyphs(leds);
  EXPECT_EQ(g.o, 0xA3);
  EXPECT_EQ(g.n, 0xAB);
}

PanelLeds panel_with_bits() {
  PanelLeds leds;
  leds.value_found = true;
  leds.segments[BIT_C] = 0x04;
  leds.segments[BIT_D] = 0x08;
  leds.segments[BIT_E] = 0x10;
  leds.segments[BIT_G] = 0x40;
  return leds;
}

TEST(PatchBoot, WritesBlockCodesAndGlyphs) {
  auto keys = *find_loader_keys(make_boot({0xC1, 0xC2}, 0x50));
  auto dst = make_boot({0xD1, 0xD2, 0xD3, 0xD4}, 0x10);
  auto before = dst;
  PanelLeds leds = panel_with_bits();
  ASSERT_EQ(patch_boot(dst, keys, &leds), PatchResult::ok);
  EXPECT_TRUE(std::equal(keys.block.begin(), keys.block.end(), dst.begin() + kBlockAt));
  EXPECT_EQ(get_le32(dst, kBlockAt + 132), 0xC1u);
  EXPECT_EQ(get_le32(dst, kBlockAt + 136), 0xC2u);
  for (size_t i = 2; i < 16; ++i) EXPECT_EQ(get_le32(dst, kBlockAt + 132 + 4 * i), kKeyEnd) << i;
  EXPECT_EQ(dst[kMarkerAt + 57], 0x5C);
  EXPECT_EQ(dst[kMarkerAt + 53], 0x54);
  // Nothing else changed.
  for (size_t i = 0; i < dst.size(); ++i) {
    bool patched = (i >= kBlockAt && i < kBlockAt + 196) || i == kMarkerAt + 53 || i == kMarkerAt + 57;
    if (!patched) {
      ASSERT_EQ(dst[i], before[i]) << i;
    }
  }
}

TEST(PatchBoot, WithoutBitAGlyphTableIsNotNeeded) {
  auto keys = *find_loader_keys(make_boot({0xC1}));
  auto dst = make_boot({0xD1}, 0x10, /*glyph_table=*/false);
  PanelLeds leds = panel_with_bits();
  leds.value_found = false;
  EXPECT_EQ(patch_boot(dst, keys, &leds), PatchResult::ok);
  EXPECT_EQ(patch_boot(dst, keys, nullptr), PatchResult::ok);
  EXPECT_EQ(dst[kMarkerAt + 57], 0x00);
}

struct RefuseCase {
  const char* name;
  void (*mutate)(std::vector<uint8_t>&);
  PatchResult expected;
};

class PatchBootRefuses : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(PatchBootRefuses, LeavesBufferAlone) {
  auto keys = *find_loader_keys(make_boot({0xC1, 0xC2}, 0x50));
  auto dst = make_boot({0xD1}, 0x10);
  GetParam().mutate(dst);
  auto before = dst;
  PanelLeds leds = panel_with_bits();
  EXPECT_EQ(patch_boot(dst, keys, &leds), GetParam().expected) << GetParam().name;
  EXPECT_EQ(dst, before) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PatchBootRefuses,
    ::testing::Values(
        // The destination needs the sixth signature byte 00.
        RefuseCase{"five-byte signature only", [](std::vector<uint8_t>& b) { b[kBlockAt + 5] = 0x01; },
                   PatchResult::no_key_block},
        RefuseCase{"signature at offset 0",
                   [](std::vector<uint8_t>& b) { b.erase(b.begin(), b.begin() + long(kBlockAt)); },
                   PatchResult::no_key_block},
        RefuseCase{"end bytes broken", [](std::vector<uint8_t>& b) { b[kBlockAt + 126] = 0x00; },
                   PatchResult::no_key_block},
        RefuseCase{"196 bytes do not fit", [](std::vector<uint8_t>& b) { b.resize(kBlockAt + 195); },
                   PatchResult::no_key_block},
        RefuseCase{"no glyph marker", [](std::vector<uint8_t>& b) { b[kMarkerAt + 7] = 0x10; },
                   PatchResult::no_glyph_table},
        RefuseCase{"first end word wrong", [](std::vector<uint8_t>& b) { b[kMarkerAt + 74] = 0x23; },
                   PatchResult::no_glyph_table},
        RefuseCase{"second end word wrong", [](std::vector<uint8_t>& b) { b[kMarkerAt + 79] = 0x00; },
                   PatchResult::no_glyph_table},
        RefuseCase{"table cut by the end of data", [](std::vector<uint8_t>& b) { b.resize(kMarkerAt + 78); },
                   PatchResult::no_glyph_table}));

#ifdef RS_MKBOOT
// The sample boot loader must be what the import code looks for.
TEST(SampleBootLoader, CarriesKeyBlockAndGlyphTable) {
  rstest::TempDir dir;
  auto r = rstest::run_command(std::string(RS_MKBOOT) + " " + rstest::shell_quote(dir.file("boot.bin")));
  ASSERT_EQ(r.status, 0) << r.err;
  auto boot = rstest::read_bytes(dir.file("boot.bin"));
  EXPECT_GE(boot.size(), 128u * 1024);
  auto keys = find_loader_keys(boot);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->count, 8u);
  PanelLeds leds = panel_with_bits();
  auto patched = boot;
  ASSERT_EQ(patch_boot(patched, *keys, &leds), PatchResult::ok);
  // Its own block written back changes only the two glyph bytes it did not have.
  size_t changed = 0;
  for (size_t i = 0; i < boot.size(); ++i) changed += boot[i] != patched[i];
  EXPECT_LE(changed, 2u);
}
#endif

}  // namespace
