// Malformed images through the real program: seeded mutations of each file
// system inside an otherwise valid image, and of whole images (table area
// first), each opened, listed, dumped and saved by one shell session.
// 1000 mutations per kind, five kinds: about a minute, a few in the ASan build.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>

#include <romsmith/romsmith.h>

#include "common.h"

namespace {

constexpr int kMutations = 1000;

// Small deterministic generator: the same seed gives the same mutation everywhere.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t next() {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return uint32_t(s >> 16);
  }
  size_t below(size_t n) { return n ? next() % n : 0; }
};

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v, bool big) {
  for (int k = 0; k < 4 && at + k < b.size(); ++k) b[at + k] = uint8_t(big ? v >> (24 - 8 * k) : v >> (8 * k));
}

// One mutation of `b`; `hot` bytes from `hot_at` are where the headers,
// counts and lengths sit and get most of the changes.
std::vector<uint8_t> mutate(std::vector<uint8_t> b, uint64_t seed, size_t hot_at, size_t hot) {
  Rng r(seed);
  auto where = [&] {
    if (r.below(4) != 0 && hot_at < b.size()) return hot_at + r.below(std::min(hot, b.size() - hot_at));
    return r.below(b.size());
  };
  switch (seed % 5) {
    case 0:  // bit flips
      for (int n = 1 + int(r.below(8)); n-- > 0;) b[where()] ^= uint8_t(1u << r.below(8));
      break;
    case 1:  // truncation
      b.resize(r.below(4) == 0 ? hot_at + r.below(hot + 1) : r.below(b.size()));
      break;
    case 2: {  // a count or length at an extreme
      static const uint32_t extremes[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFF, 0x10000};
      put32(b, where() & ~size_t(3), extremes[r.below(7)], r.below(2));
      break;
    }
    case 3: {  // an offset past the end
      uint32_t past = uint32_t(b.size() + r.below(0x100000));
      put32(b, where() & ~size_t(3), past, r.below(2));
      break;
    }
    default:  // a run of bytes wiped or filled
      for (size_t at = where(), n = 1 + r.below(64); n-- > 0 && at < b.size(); ++at) b[at] = r.below(2) ? 0 : 0xFF;
      break;
  }
  return b;
}

struct Kind {
  const char* name;
  std::function<std::vector<uint8_t>(uint64_t)> make;  // mutated image for a seed; empty: skip
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

class Malformed : public ::testing::TestWithParam<Kind> {};

TEST_P(Malformed, EverySessionEndsAtQuit) {
  rstest::TempDir dir;
  std::vector<uint8_t> probe = GetParam().make(~0ull);
  if (probe.empty()) GTEST_SKIP() << "mksquashfs is not installed: no squashfs base image";
  // The unmutated image passes the same checks.
  ASSERT_EQ(hardening::check_script_run(dir.path(), probe), "");
  auto t0 = std::chrono::steady_clock::now();
  int failures = 0, listed = 0;
  for (uint64_t seed = 0; seed < kMutations && failures < 5; ++seed) {
    std::string out;
    std::string why = hardening::check_script_run(dir.path(), GetParam().make(seed), 10, &out);
    if (!why.empty()) {
      ++failures;
      ADD_FAILURE() << GetParam().name << " mutation " << seed << ": " << why;
    }
    if (out.find("`-- ") != std::string::npos) ++listed;  // a tree was read and listed
  }
  // Mutations that the readers still take are the ones that reach deep into them
  // (cramfs 35, minifs 190, squashfs 11, squashfs3 133, image 30 of 200 today).
  EXPECT_GE(listed, kMutations / 40) << "too few mutated images still load: the mutations miss the readers";
  RecordProperty("listed", listed);
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  RecordProperty("seconds", std::to_string(secs));
}

// seed ~0 is the unmutated image.
std::vector<uint8_t> fs_kind(const std::vector<uint8_t>& base, int8_t type, uint64_t seed) {
  if (base.empty()) return {};
  if (seed == ~0ull) return hardening::image_with(base, type);
  // One in eight keeps the partition's old CRC: the loader meets it unchecked.
  return hardening::image_with(mutate(base, seed, 0, 512), type, seed % 8 == 7);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Malformed,
    ::testing::Values(
        Kind{"cramfs", [](uint64_t s) { return fs_kind(hardening::bases().cramfs, FS_CRAMFS, s); }},
        Kind{"minifs", [](uint64_t s) { return fs_kind(hardening::bases().minifs, int8_t(FS_MINIFS), s); }},
        Kind{"squashfs", [](uint64_t s) { return fs_kind(hardening::bases().squashfs, FS_SQUASHFS, s); }},
        Kind{"squashfs3", [](uint64_t s) { return fs_kind(hardening::bases().squashfs3, FS_SQUASHFS, s); }},
        Kind{"image",
             [](uint64_t s) {
               std::vector<uint8_t> img = hardening::whole_image();
               return s == ~0ull ? img : mutate(img, s, hardening::kTableAt, 3072);
             }}),
    [](const ::testing::TestParamInfo<Kind>& i) { return std::string(i.param.name); });

}  // namespace
