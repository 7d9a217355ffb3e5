// Our block codecs for 4.0 images. The xz block encoder that keeps one
// liblzma encoder across blocks must give exactly the library codec's bytes,
// block after block, for every setting a loaded image can carry; a block that
// does not shrink is left to be stored, and one that looks random at a glance
// but shrinks is still compressed. gzip blocks from libdeflate inflate back.
#include "squashfs/xz4.h"

#include <gtest/gtest.h>
#include <lzma.h>
#include <sqfs/compressor.h>
#include <sqfs/error.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "squashfs/gzip4.h"

namespace {

struct Cfg {
  uint32_t block_size;
  uint32_t dict_size;
  uint16_t flags;
  uint32_t level;
  uint8_t lc, lp, pb;
};

std::vector<uint8_t> sample(int kind, size_t n, uint32_t seed) {
  std::mt19937 rnd(seed);
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) {
    if (kind == 0)  // table-like: records of little-endian words
      b[i] = (i % 32 < 8) ? uint8_t(i / 32) : (i % 7 == 0 ? uint8_t(rnd() & 3) : uint8_t(i % 32));
    else if (kind == 1)  // incompressible
      b[i] = uint8_t(rnd());
    else if (kind == 3)  // no repeats, but few byte values: LZMA must still see it
      b[i] = uint8_t(rnd() % 24);
    else  // text
      b[i] = "flash image kernel root "[rnd() % 24];
  }
  return b;
}

class XzEncoder : public ::testing::TestWithParam<Cfg> {};

// The library's xz configuration for a case.
sqfs_compressor_config_t config_of(const Cfg& c) {
  sqfs_compressor_config_t cfg;
  EXPECT_EQ(sqfs_compressor_config_init(&cfg, SQFS_COMP_XZ, c.block_size, c.flags), 0);
  cfg.opt.xz.dict_size = c.dict_size;
  cfg.level = c.level;
  cfg.opt.xz.lc = c.lc;
  cfg.opt.xz.lp = c.lp;
  cfg.opt.xz.pb = c.pb;
  return cfg;
}

TEST_P(XzEncoder, SameBytesAsTheLibraryCodecAcrossBlocks) {
  const Cfg& c = GetParam();
  sqfs_compressor_config_t cfg = config_of(c);
  sqfs_compressor_t *lib = nullptr, *ours = nullptr;
  ASSERT_EQ(sqfs_compressor_create(&cfg, &lib), 0);
  ASSERT_EQ(rs::sqfs::create_xz_encoder(&cfg, &ours), 0);
  // Sizes around the header-field boundaries, an 8 KiB metadata block and a
  // whole data block, each kind of content; one encoder serves them all.
  const size_t sizes[] = {1, 40, 127, 300, 8192, c.block_size};
  uint32_t seed = 1;
  for (size_t n : sizes)
    for (int kind = 0; kind < 4; ++kind) {
      std::vector<uint8_t> in = sample(kind, n, seed++);
      std::vector<uint8_t> a(n + 64), b(n + 64);
      for (uint32_t room : {uint32_t(n), uint32_t(n / 3 + 1)}) {
        sqfs_s32 ra = lib->do_block(lib, in.data(), uint32_t(n), a.data(), room);
        sqfs_s32 rb = ours->do_block(ours, in.data(), uint32_t(n), b.data(), room);
        ASSERT_EQ(ra, rb) << "size " << n << " kind " << kind << " room " << room;
        ASSERT_GE(rb, 0);
        if (rb == 0) continue;
        EXPECT_LT(uint32_t(rb), n);
        ASSERT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + ra), std::vector<uint8_t>(b.begin(), b.begin() + rb))
            << "size " << n << " kind " << kind;
        std::vector<uint8_t> back(n);
        size_t in_pos = 0, out_pos = 0;
        uint64_t memlimit = UINT64_MAX;
        ASSERT_EQ(
            lzma_stream_buffer_decode(&memlimit, 0, nullptr, b.data(), &in_pos, size_t(rb), back.data(), &out_pos, n),
            LZMA_OK);
        EXPECT_EQ(back, in);
      }
    }
  sqfs_destroy(ours);
  sqfs_destroy(lib);
}

// Decoding with one kept decoder gives what the library gives, and refuses
// what it refuses: a damaged stream, one cut short, trailing bytes, no room.
TEST_P(XzEncoder, DecoderAgreesWithTheLibrary) {
  const Cfg& c = GetParam();
  sqfs_compressor_config_t cfg = config_of(c);
  sqfs_compressor_t* enc = nullptr;
  ASSERT_EQ(sqfs_compressor_create(&cfg, &enc), 0);
  sqfs_compressor_config_t dcfg = cfg;
  dcfg.flags |= SQFS_COMP_FLAG_UNCOMPRESS;
  sqfs_compressor_t *lib = nullptr, *ours = nullptr;
  ASSERT_EQ(sqfs_compressor_create(&dcfg, &lib), 0);
  ASSERT_EQ(rs::sqfs::create_xz_decoder(&dcfg, &ours), 0);
  uint32_t seed = 100;
  for (size_t n : {size_t(1000), size_t(8192), size_t(c.block_size)}) {
    std::vector<uint8_t> in = sample(2, n, seed++), z(n + 64);
    sqfs_s32 zn = enc->do_block(enc, in.data(), uint32_t(n), z.data(), uint32_t(n));
    ASSERT_GT(zn, 0);
    z.resize(size_t(zn));
    std::vector<std::vector<uint8_t>> cases{z, std::vector<uint8_t>(z.begin(), z.end() - 5), z, z};
    cases[2][z.size() / 2] ^= 0x55;
    cases[3].push_back(0);
    for (size_t k = 0; k < cases.size(); ++k)
      for (uint32_t room : {uint32_t(n), uint32_t(n - 1)}) {
        std::vector<uint8_t> a(n), b(n);
        sqfs_s32 ra = lib->do_block(lib, cases[k].data(), uint32_t(cases[k].size()), a.data(), room);
        sqfs_s32 rb = ours->do_block(ours, cases[k].data(), uint32_t(cases[k].size()), b.data(), room);
        ASSERT_EQ(ra > 0, rb > 0) << "size " << n << " case " << k << " room " << room;
        if (ra > 0) {
          ASSERT_EQ(ra, rb);
          EXPECT_EQ(a, b);
        }
      }
  }
  sqfs_destroy(ours);
  sqfs_destroy(lib);
  sqfs_destroy(enc);
}

INSTANTIATE_TEST_SUITE_P(Settings, XzEncoder,
                         ::testing::Values(Cfg{131072, 8192, 0, 6, 3, 0, 2}, Cfg{131072, 131072, 0, 6, 3, 0, 2},
                                           Cfg{65536, 32768, 0, 9, 3, 0, 2}, Cfg{4096, 8192, 0, 1, 1, 2, 0},
                                           Cfg{1048576, 1048576, 0, 0, 4, 0, 4}));

// The library tries several encodings of a block for these and keeps the best.
TEST(XzEncoderChoice, BranchFiltersAndExtremeStayWithTheLibraryCodec) {
  for (uint16_t flags : {uint16_t(SQFS_COMP_FLAG_XZ_X86), uint16_t(SQFS_COMP_FLAG_XZ_EXTREME)}) {
    sqfs_compressor_config_t cfg;
    ASSERT_EQ(sqfs_compressor_config_init(&cfg, SQFS_COMP_XZ, 131072, flags), 0);
    sqfs_compressor_t* ours = nullptr;
    EXPECT_EQ(rs::sqfs::create_xz_encoder(&cfg, &ours), SQFS_ERROR_UNSUPPORTED);
    EXPECT_EQ(ours, nullptr);
  }
}

// gzip blocks written through libdeflate inflate back with zlib, copies of
// the codec (one per thread) do the same, and what libdeflate cannot honour
// (a smaller window, strategies tried per block) stays with the library.
TEST(GzipEncoder, BlocksInflateBackAndOtherSettingsStayWithTheLibrary) {
  sqfs_compressor_config_t cfg;
  ASSERT_EQ(sqfs_compressor_config_init(&cfg, SQFS_COMP_GZIP, 131072, 0), 0);
  sqfs_compressor_t* ours = nullptr;
  ASSERT_EQ(rs::sqfs::create_gzip_encoder(&cfg, &ours), 0);
  sqfs_compressor_t* copy = reinterpret_cast<sqfs_compressor_t*>(ours->base.copy(&ours->base));
  ASSERT_NE(copy, nullptr);
  uint32_t seed = 300;
  for (sqfs_compressor_t* c : {ours, copy})
    for (size_t n : {size_t(1), size_t(300), size_t(8192), size_t(131072)})
      for (int kind = 0; kind < 4; ++kind) {
        std::vector<uint8_t> in = sample(kind, n, seed++), z(n + 64);
        sqfs_s32 r = c->do_block(c, in.data(), uint32_t(n), z.data(), uint32_t(n));
        ASSERT_GE(r, 0);
        if (r == 0) continue;  // stored as it is
        EXPECT_LT(uint32_t(r), n);
        std::vector<uint8_t> back(n);
        uLongf got = uLongf(n);
        ASSERT_EQ(uncompress(back.data(), &got, z.data(), uLong(r)), Z_OK) << "size " << n << " kind " << kind;
        EXPECT_EQ(got, n);
        EXPECT_EQ(back, in);
      }
  sqfs_destroy(copy);
  sqfs_destroy(ours);
  sqfs_compressor_config_t small = cfg;
  small.opt.gzip.window_size = 12;
  sqfs_compressor_config_t tries;
  ASSERT_EQ(sqfs_compressor_config_init(&tries, SQFS_COMP_GZIP, 131072, SQFS_COMP_FLAG_GZIP_FILTERED), 0);
  for (const sqfs_compressor_config_t* c : {&small, &tries}) {
    sqfs_compressor_t* lib = nullptr;
    EXPECT_EQ(rs::sqfs::create_gzip_encoder(c, &lib), SQFS_ERROR_UNSUPPORTED);
    EXPECT_EQ(lib, nullptr);
  }
}

}  // namespace
