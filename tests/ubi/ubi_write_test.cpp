// The UBI writer against ubinize (whole images byte for byte) and against
// our reader after volume replacements in ubinize images: the new data reads
// back, every PEB the change did not need is untouched, erase counters and
// sequence numbers follow the documented policy.
#include "ubi/ubi_write.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "testutil.h"
#include "ubi/ubi.h"
#include "util/endian.h"

namespace {

using rs::ubi::image;
using rs::ubi::peb;
using rs::ubi::volume;
using rstest::run_command;
using rstest::shell_quote;

struct Vol {
  const char* name;
  uint32_t id;
  uint8_t type;
  const char* size;  // ini vol_size, "" for none
  uint64_t size_bytes;
  uint8_t flags;
  uint32_t alignment;
  bool ubifs;  // contents from mkfs.ubifs, else raw bytes
  size_t raw_bytes;
};

struct Layout {
  const char* label;
  const char* args;  // ubinize flash options
  uint32_t peb, min_io, sub, vid;
  uint64_t ec;
  std::vector<Vol> vols;
};

uint32_t leb_of(const Layout& l) {
  uint32_t sub = l.sub ? l.sub : l.min_io;
  uint32_t vid = l.vid ? l.vid : (64 + sub - 1) / sub * sub;
  return l.peb - (vid + 64 + l.min_io - 1) / l.min_io * l.min_io;
}

void PrintTo(const Layout& l, std::ostream* os) { *os << l.label; }

// Makes each volume's contents in `dir` and returns the volumes.
std::vector<rs::ubi::volume_spec> make_volumes(const Layout& l, const std::string& dir, std::string* ini) {
  std::vector<rs::ubi::volume_spec> out;
  uint32_t leb = leb_of(l);
  for (const Vol& v : l.vols) {
    std::string file = dir + "/" + v.name + ".bin";
    if (v.ubifs) {
      std::string tree = dir + "/tree-" + v.name;
      run_command("mkdir -p " + shell_quote(tree + "/etc"));
      rstest::write_text(tree + "/etc/issue", "hello box\n");
      rstest::write_bytes(tree + "/blob", rstest::random_bytes(3 * leb, v.id + 7));
      auto r = run_command("mkfs.ubifs -q -m " + std::to_string(l.min_io) + " -e " + std::to_string(leb) +
                           " -c 80 -x lzo -r " + shell_quote(tree) + " -o " + shell_quote(file));
      EXPECT_EQ(r.status, 0) << r.err;
    } else {
      rstest::write_bytes(file, rstest::random_bytes(v.raw_bytes, v.id + 1));
    }
    rs::ubi::volume_spec s;
    s.id = v.id;
    s.name = v.name;
    s.type = v.type;
    s.flags = v.flags;
    s.alignment = v.alignment;
    s.size = v.size_bytes;
    s.data = rstest::read_bytes(file);
    out.push_back(s);
    *ini += std::string("[") + v.name + "]\nmode=ubi\n" + (s.data.empty() ? "" : "image=" + file + "\n") +
            "vol_id=" + std::to_string(v.id) + "\nvol_type=" + (v.type == rs::ubi::kStatic ? "static" : "dynamic") +
            "\nvol_name=" + v.name + "\nvol_alignment=" + std::to_string(v.alignment) + "\n";
    if (*v.size) *ini += std::string("vol_size=") + v.size + "\n";
    if (v.flags & rs::ubi::kFlagAutoresize) *ini += "vol_flags=autoresize\n";
  }
  return out;
}

// A volume's data as the reader gives it; dynamic volumes without their
// trailing erased bytes, which read the same whether mapped or not.
std::vector<uint8_t> read_volume(const image& img, const volume& v) {
  std::vector<uint8_t> out;
  uint32_t n = v.type == rs::ubi::kStatic ? v.used_ebs : uint32_t(v.lebs.size());
  for (uint32_t l = 0; l < n; ++l) {
    uint32_t len = 0;
    const uint8_t* p = img.leb(v, l, &len);
    if (p)
      out.insert(out.end(), p, p + len);
    else
      out.insert(out.end(), img.leb_bytes(v), 0xff);
  }
  return out;
}

std::vector<uint8_t> trim_ff(std::vector<uint8_t> d) {
  while (!d.empty() && d.back() == 0xff) d.pop_back();
  return d;
}

const Vol kKernel{"kernel", 0, rs::ubi::kStatic, "", 0, 0, 1, false, 300000};
const Vol kRoot{"rootfs", 1, rs::ubi::kDynamic, "4MiB", 4u << 20, 0, 1, true, 0};
const Vol kRootAuto{"rootfs", 1, rs::ubi::kDynamic, "4MiB", 4u << 20, rs::ubi::kFlagAutoresize, 1, true, 0};

const Layout kLayouts[] = {
    {"large_pages", "-p 128KiB -m 2048", 131072, 2048, 0, 0, 0, {kKernel, kRoot}},
    {"autoresize_vid_offset", "-p 128KiB -m 2048 -s 512 -O 512", 131072, 2048, 512, 512, 0, {kKernel, kRootAuto}},
    {"sub_pages_ec_alignment",
     "-p 16KiB -m 512 -s 256 -e 9",
     16384,
     512,
     256,
     0,
     9,
     {{"boot", 3, rs::ubi::kStatic, "64KiB", 65536, 0, 2048, false, 20000},
      {"data", 0, rs::ubi::kDynamic, "1MiB", 1u << 20, rs::ubi::kFlagAutoresize, 1, true, 0},
      {"empty", 5, rs::ubi::kDynamic, "100KiB", 102400, 0, 1, false, 0}}},
    {"big_pebs",
     "-p 256KiB -m 4096",
     262144,
     4096,
     0,
     0,
     0,
     {{"raw", 2, rs::ubi::kDynamic, "", 0, 0, 1, false, 700000}}},
};

class Build : public ::testing::TestWithParam<Layout> {};

TEST_P(Build, MatchesUbinizeByteForByte) {
  if (!rstest::have_tool("ubinize") || !rstest::have_tool("mkfs.ubifs")) GTEST_SKIP() << "mtd-utils missing";
  const Layout& l = GetParam();
  rstest::TempDir tmp;
  std::string ini;
  auto vols = make_volumes(l, tmp.path(), &ini);
  rstest::write_text(tmp.file("ubi.ini"), ini);
  auto r = run_command("ubinize -o " + shell_quote(tmp.file("want.img")) + " " + l.args + " -Q 3054 " +
                       shell_quote(tmp.file("ubi.ini")));
  ASSERT_EQ(r.status, 0) << r.err << ini;
  auto want = rstest::read_bytes(tmp.file("want.img"));

  rs::ubi::build_params p;
  p.peb_size = l.peb;
  p.min_io = l.min_io;
  p.sub_page = l.sub;
  p.vid_hdr_offset = l.vid;
  p.ec = l.ec;
  p.image_seq = 3054;
  std::vector<uint8_t> got;
  std::string why;
  ASSERT_TRUE(rs::ubi::build(p, vols, &got, &why)) << why;
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i += l.peb)
    ASSERT_EQ(0, std::memcmp(got.data() + i, want.data() + i, l.peb)) << "PEB " << i / l.peb;

  // And our reader sees what was asked for.
  auto img = rs::ubi::open(got.data(), got.size(), &why);
  ASSERT_TRUE(img) << why;
  EXPECT_EQ(img->image_seq, 3054u);
  EXPECT_EQ(img->peb_size, l.peb);
  ASSERT_EQ(img->volumes.size(), vols.size());
  for (const auto& s : vols) {
    const volume* v = img->find(s.name);
    ASSERT_TRUE(v) << s.name;
    EXPECT_EQ(v->id, s.id);
    EXPECT_EQ(v->type, s.type);
    EXPECT_EQ(v->flags, s.flags);
    EXPECT_EQ(v->alignment, s.alignment);
    uint64_t usable = img->leb_bytes(*v);
    EXPECT_EQ(v->reserved_pebs, ((s.size ? s.size : s.data.size()) + usable - 1) / usable);
    EXPECT_EQ(trim_ff(read_volume(*img, *v)), trim_ff(s.data)) << s.name;
    if (s.type == rs::ubi::kStatic) {
      EXPECT_EQ(v->used_bytes, s.data.size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ubinize, Build, ::testing::ValuesIn(kLayouts),
                         [](const auto& p) { return std::string(p.param.label); });

TEST(Build, RefusesWhatUbinizeRefuses) {
  rs::ubi::build_params p;
  p.peb_size = 131072;
  p.min_io = 2048;
  p.image_seq = 1;
  auto vol = [](uint32_t id, const char* name, uint8_t flags, size_t bytes, uint64_t size) {
    rs::ubi::volume_spec s;
    s.id = id;
    s.name = name;
    s.flags = flags;
    s.data.assign(bytes, 1);
    s.size = size;
    return s;
  };
  const struct {
    std::vector<rs::ubi::volume_spec> vols;
    const char* why;
  } cases[] = {
      {{vol(0, "a", 0, 10, 0), vol(0, "b", 0, 10, 0)}, "two volumes with id 0"},
      {{vol(0, "a", 0, 10, 0), vol(1, "a", 0, 10, 0)}, "two volumes named a"},
      {{vol(0, "a", 1, 10, 0), vol(1, "b", 1, 10, 0)}, "autoresize"},
      {{vol(0, "a", 0, 300000, 200000)}, "do not fit"},
      {{vol(0, "a", 0, 0, 0)}, "neither data nor a size"},
      {{vol(128, "a", 0, 10, 0)}, "not below 128"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out;
    std::string why;
    EXPECT_FALSE(rs::ubi::build(p, c.vols, &out, &why)) << c.why;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

// ---- replacing a volume -----------------------------------------------------

constexpr uint32_t kPeb = 131072, kLeb = 126976, kSeq = 0x5eed;
constexpr uint64_t kFreeEc = 7;

uint64_t ec_at(const std::vector<uint8_t>& img, size_t i) {
  const uint8_t* p = img.data() + i * kPeb;
  return uint64_t(rs::load_be32(p + 8)) << 32 | rs::load_be32(p + 12);
}

uint64_t sqnum_at(const std::vector<uint8_t>& img, size_t i) {
  const uint8_t* p = img.data() + i * kPeb + 2048;
  return uint64_t(rs::load_be32(p + 40)) << 32 | rs::load_be32(p + 44);
}

// A dump of a whole chip: a small image on 16 KiB blocks, then megabytes of
// erased flash. The block size is found from the headers there are.
TEST(Open, ErasedFlashAfterASmallImageKeepsItsBlockSize) {
  if (!rstest::have_tool("ubinize")) GTEST_SKIP() << "mtd-utils missing";
  rstest::TempDir tmp;
  std::vector<uint8_t> data = rstest::random_bytes(40000, 4);
  rstest::write_bytes(tmp.file("v.raw"), data);
  rstest::write_text(tmp.file("ubi.ini"), "[v]\nmode=ubi\nimage=" + tmp.file("v.raw") +
                                              "\nvol_id=0\nvol_type=static\nvol_name=v\n");
  auto r = run_command("ubinize -o " + shell_quote(tmp.file("a.img")) + " -p 16KiB -m 512 -s 256 " +
                       shell_quote(tmp.file("ubi.ini")));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> bytes = rstest::read_bytes(tmp.file("a.img"));
  bytes.resize(bytes.size() + (4u << 20), 0xff);
  std::string why;
  auto img = rs::ubi::open(bytes.data(), bytes.size(), &why);
  ASSERT_TRUE(img) << why;
  EXPECT_EQ(img->peb_size, 16384u);
  const volume* v = img->find("v");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(read_volume(*img, *v), data);
}

// A ubinize image (static "kernel" of 3 LEBs reserved, dynamic "rootfs" of
// 34) with spare PEBs after it: erased ones, free ones (EC header only, erase
// counter 7), and one whose EC header is damaged.
class Replace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rstest::have_tool("ubinize") || !rstest::have_tool("mkfs.ubifs")) GTEST_SKIP() << "mtd-utils missing";
    Layout l{"r", "-p 128KiB -m 2048", kPeb, 2048, 0, 0, 3, {kKernel, kRoot}};
    std::string ini;
    specs_ = make_volumes(l, tmp_.path(), &ini);
    rstest::write_text(tmp_.file("ubi.ini"), ini);
    auto r = run_command("ubinize -o " + shell_quote(tmp_.file("a.img")) + " -p 128KiB -m 2048 -e 3 -Q " +
                         std::to_string(kSeq) + " " + shell_quote(tmp_.file("ubi.ini")));
    ASSERT_EQ(r.status, 0) << r.err;
    bytes_ = rstest::read_bytes(tmp_.file("a.img"));
    size_t used = bytes_.size() / kPeb;
    // 40 spare PEBs: alternately erased and free, one damaged.
    for (int i = 0; i < 40; ++i) {
      std::vector<uint8_t> b(kPeb, 0xff);
      if (i % 2)
        std::memcpy(b.data(), bytes_.data(), 64), rs::store_be32(b.data() + 12, uint32_t(kFreeEc)),
            rs::store_be32(b.data() + 60, rs::ubi::media_crc(b.data(), 60));
      if (i == 5) std::memcpy(b.data(), "UBI#garbage", 11);
      bytes_.insert(bytes_.end(), b.begin(), b.end());
    }
    damaged_ = used + 5;
    std::string why;
    img_ = rs::ubi::open(bytes_.data(), bytes_.size(), &why);
    ASSERT_TRUE(img_) << why;
    ASSERT_EQ(img_->pebs[damaged_].state, peb::kBad);
    uint64_t sum = 0, n = 0;
    for (const auto& b : img_->pebs) {
      if (b.state == peb::kUsed) old_top_ = std::max(old_top_, b.vid.sqnum);
      if (b.state == peb::kUsed || b.state == peb::kFree) sum += b.ec.ec, ++n;
    }
    mean_ec_ = sum / n;
    ASSERT_LT(mean_ec_, kFreeEc);
  }

  const volume& vol(const image& img, const char* name) { return *img.find(name); }

  // Replaces and checks what every replacement must hold; returns the
  // indices of the PEBs that changed.
  std::set<size_t> replace(const char* name, const std::vector<uint8_t>& data) {
    std::set<size_t> changed;
    const volume& v = vol(*img_, name);
    std::string why;
    if (!rs::ubi::replace_volume(*img_, v.id, data, &out_, &why)) {
      ADD_FAILURE() << why;
      return changed;
    }
    EXPECT_EQ(out_.size(), bytes_.size());
    auto img = rs::ubi::open(out_.data(), out_.size(), &why);
    if (!img) {
      ADD_FAILURE() << why;
      return changed;
    }
    EXPECT_EQ(img->image_seq, kSeq);
    const volume& nv = vol(*img, name);
    if (v.type == rs::ubi::kStatic)
      EXPECT_EQ(read_volume(*img, nv), data);
    else
      EXPECT_EQ(trim_ff(read_volume(*img, nv)), trim_ff(data));
    // Other volumes read the same.
    for (const volume& o : img_->volumes)
      if (o.id != v.id) {
        EXPECT_EQ(read_volume(*img, vol(*img, o.name.c_str())), read_volume(*img_, o));
      }

    std::set<uint64_t> sqnums;
    for (size_t i = 0; i < img_->pebs.size(); ++i) {
      if (std::memcmp(out_.data() + i * kPeb, bytes_.data() + i * kPeb, kPeb) == 0) continue;
      changed.insert(i);
      const peb& was = img_->pebs[i];
      const peb& now = img->pebs[i];
      // Only this volume's PEBs, spare ones, and the table's may change.
      EXPECT_NE(was.state, peb::kBad) << "PEB " << i;
      if (was.state == peb::kUsed) {
        EXPECT_TRUE(was.vid.vol_id == v.id || was.vid.vol_id == rs::ubi::kLayoutVolumeId) << "PEB " << i;
      }
      // Erase counters: +1 for each erase; a clean free PEB is written without one.
      uint64_t want_ec = was.state == peb::kErased ? mean_ec_ + 1 : was.ec.ec + 1;
      if (was.state == peb::kFree && now.state == peb::kUsed) want_ec = kFreeEc;
      EXPECT_EQ(ec_at(out_, i), want_ec) << "PEB " << i;
      EXPECT_TRUE(now.state == peb::kFree || now.state == peb::kUsed) << "PEB " << i;
      if (now.state == peb::kUsed) {
        EXPECT_GT(now.vid.sqnum, old_top_) << "PEB " << i;
        EXPECT_TRUE(sqnums.insert(now.vid.sqnum).second) << "PEB " << i << " repeats a sequence number";
        EXPECT_EQ(now.vid.copy_flag, 0);
        EXPECT_TRUE(now.data_ok);
        if (now.vid.vol_type == rs::ubi::kDynamic) {
          EXPECT_EQ(now.vid.data_size, 0u);
        }
      } else {
        EXPECT_TRUE(std::all_of(out_.begin() + i * kPeb + 64, out_.begin() + (i + 1) * kPeb,
                                [](uint8_t c) { return c == 0xff; }))
            << "freed PEB " << i << " is not erased";
      }
    }
    return changed;
  }

  rstest::TempDir tmp_;
  std::vector<rs::ubi::volume_spec> specs_;
  std::vector<uint8_t> bytes_, out_;
  std::unique_ptr<image> img_;
  size_t damaged_ = 0;
  uint64_t old_top_ = 0, mean_ec_ = 0;
};

TEST_F(Replace, SameDataChangesNothing) {
  for (const char* name : {"kernel", "rootfs"}) {
    const volume& v = vol(*img_, name);
    auto data = read_volume(*img_, v);
    EXPECT_TRUE(replace(name, data).empty()) << name;
    EXPECT_EQ(out_, bytes_);
    // The trailing erased LEBs may be left out.
    if (v.type == rs::ubi::kDynamic) {
      EXPECT_TRUE(replace(name, trim_ff(data)).empty());
    }
  }
}

TEST_F(Replace, StaticSameSizeRewritesOnlyTheChangedLeb) {
  auto data = specs_[0].data;
  data[kLeb + 100] ^= 0x5a;
  const volume& v = vol(*img_, "kernel");
  EXPECT_EQ(replace("kernel", data), std::set<size_t>{size_t(v.lebs[1])});
}

// Sizes in LEBs: fewer (PEBs freed), more within the reserve, and beyond
// the 3 reserved PEBs (the table grows in both copies).
TEST_F(Replace, StaticResized) {
  const volume& v = vol(*img_, "kernel");
  for (size_t bytes : {size_t(1000), size_t(2 * kLeb), size_t(2 * kLeb + 5), size_t(5 * kLeb + 77)}) {
    auto data = rstest::random_bytes(bytes, uint32_t(bytes));
    auto changed = replace("kernel", data);
    auto img = rs::ubi::open(out_.data(), out_.size(), nullptr);
    ASSERT_TRUE(img);
    const volume& nv = vol(*img, "kernel");
    uint32_t lebs = uint32_t((bytes + kLeb - 1) / kLeb);
    EXPECT_EQ(nv.used_ebs, lebs);
    EXPECT_EQ(nv.reserved_pebs, std::max(3u, lebs)) << bytes;
    // Old LEBs are rewritten where they were; the others are freed.
    for (uint32_t l = 0; l < v.lebs.size(); ++l)
      EXPECT_EQ(img->pebs[size_t(v.lebs[l])].state, l < lebs ? peb::kUsed : peb::kFree) << bytes << " LEB " << l;
    for (uint32_t l = 0; l < lebs && l < v.lebs.size(); ++l) {
      EXPECT_EQ(nv.lebs[l], v.lebs[l]);
    }
    bool grew = lebs > 3;
    EXPECT_EQ(changed.count(0) + changed.count(1), grew ? 2u : 0u) << bytes;
    EXPECT_EQ(img->table_copies_ok, 2u);
    // New LEBs take free PEBs, lowest erase counter first: the erased ones
    // (the image's mean, 5) before the free ones (7).
    for (uint32_t l = uint32_t(v.lebs.size()); l < lebs; ++l) {
      EXPECT_EQ(img_->pebs[size_t(nv.lebs[l])].state, peb::kErased) << "LEB " << l;
    }
  }
}

TEST_F(Replace, DynamicChangesOnlyTheLebsThatDiffer) {
  const volume& v = vol(*img_, "rootfs");
  auto data = read_volume(*img_, v);
  ASSERT_GE(v.lebs.size(), 8u);
  data[5 * kLeb + 17] ^= 1;                                                 // a mapped LEB changes
  std::fill(data.begin() + 7 * kLeb, data.begin() + 8 * kLeb, 0xff);        // one becomes erased
  data.resize(30 * kLeb, 0xff);                                             // within the 34 reserved
  std::fill(data.begin() + 20 * kLeb, data.begin() + 20 * kLeb + 9, 0x42);  // an unmapped LEB gets data
  auto changed = replace("rootfs", data);
  auto img = rs::ubi::open(out_.data(), out_.size(), nullptr);
  ASSERT_TRUE(img);
  const volume& nv = vol(*img, "rootfs");
  EXPECT_EQ(nv.lebs[5], v.lebs[5]);
  EXPECT_LT(nv.lebs[7], 0);
  EXPECT_EQ(img->pebs[size_t(v.lebs[7])].state, peb::kFree);
  ASSERT_EQ(nv.lebs.size(), 21u);
  EXPECT_EQ(img_->pebs[size_t(nv.lebs[20])].state, peb::kErased);
  EXPECT_EQ(changed, (std::set<size_t>{size_t(v.lebs[5]), size_t(v.lebs[7]), size_t(nv.lebs[20])}));
  EXPECT_EQ(nv.reserved_pebs, v.reserved_pebs);
  // Sequence numbers follow the LEB order.
  EXPECT_LT(sqnum_at(out_, size_t(nv.lebs[5])), sqnum_at(out_, size_t(nv.lebs[20])));
}

TEST_F(Replace, DynamicShrinkFreesTheTail) {
  const volume& v = vol(*img_, "rootfs");
  auto data = read_volume(*img_, v);
  data.resize(4 * kLeb);
  auto changed = replace("rootfs", data);
  std::set<size_t> tail;
  for (size_t l = 4; l < v.lebs.size(); ++l)
    if (v.lebs[l] >= 0) tail.insert(size_t(v.lebs[l]));
  EXPECT_EQ(changed, tail);
}

// A second copy of a LEB (wear levelling cut short) must not outlive a
// change of that LEB, or it could come back as the LEB's content.
TEST_F(Replace, StaleCopiesGoWithTheirLeb) {
  size_t dup = damaged_ - 2;  // a free spare PEB
  size_t five = size_t(vol(*img_, "rootfs").lebs[5]);
  std::memcpy(bytes_.data() + dup * kPeb, bytes_.data() + five * kPeb, kPeb);
  img_ = rs::ubi::open(bytes_.data(), bytes_.size(), nullptr);
  ASSERT_TRUE(img_);
  ASSERT_EQ(vol(*img_, "rootfs").lebs[5], int32_t(five));  // equal sequence numbers: the first copy
  auto data = read_volume(*img_, vol(*img_, "rootfs"));
  auto changed = data;
  changed[5 * kLeb] ^= 1;
  auto cut = data;
  cut.resize(3 * kLeb);
  const struct {
    const char* what;
    const std::vector<uint8_t>& data;
    bool kept;
  } cases[] = {{"same", data, true}, {"LEB changed", changed, false}, {"volume cut", cut, false}};
  for (const auto& c : cases) {
    auto touched = replace("rootfs", c.data);
    EXPECT_EQ(touched.count(dup), c.kept ? 0u : 1u) << c.what;
    auto img = rs::ubi::open(out_.data(), out_.size(), nullptr);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->pebs[dup].state, c.kept ? peb::kUsed : peb::kFree) << c.what;
  }
}

// Damaged and odd images the reader still opens (PEBs copied over others,
// erased, their headers broken): a replacement either refuses or gives an
// image that opens with the new data, the other volumes as they were and
// no PEB of theirs or a bad one touched.
TEST_F(Replace, MutatedImagesStayConsistent) {
  const auto pristine = bytes_;
  const size_t count = pristine.size() / kPeb;
  std::mt19937 rng(0x0b1);
  int written = 0;
  for (int round = 0; round < 60; ++round) {
    bytes_ = pristine;
    for (int op = 0, ops = 1 + int(rng() % 3); op < ops; ++op) {
      size_t a = rng() % count, b = rng() % count;
      switch (rng() % 3) {
        case 0:
          std::memcpy(bytes_.data() + b * kPeb, bytes_.data() + a * kPeb, kPeb);
          break;
        case 1:
          std::memset(bytes_.data() + a * kPeb, 0xff, kPeb);
          break;
        default:
          bytes_[a * kPeb + rng() % 4096] ^= uint8_t(1 + rng() % 255);
      }
    }
    auto img = rs::ubi::open(bytes_.data(), bytes_.size(), nullptr);
    if (!img || !img->find("kernel") || !img->find("rootfs")) continue;
    const volume& v = vol(*img, round % 2 ? "kernel" : "rootfs");
    std::vector<uint8_t> data;
    if (v.type == rs::ubi::kStatic) {
      data = rstest::random_bytes(rng() % (6 * kLeb), uint32_t(round));
    } else {
      data = read_volume(*img, v);
      for (size_t i = 0; i < data.size(); i += kLeb * (1 + rng() % 4)) data[i] ^= 0x33;
      data.resize(std::min(data.size(), size_t(rng() % 40) * kLeb));
    }
    std::string why;
    if (!rs::ubi::replace_volume(*img, v.id, data, &out_, &why)) continue;
    ++written;
    auto now = rs::ubi::open(out_.data(), out_.size(), &why);
    ASSERT_TRUE(now) << "round " << round << ": " << why;
    EXPECT_EQ(now->image_seq, img->image_seq);
    if (v.type == rs::ubi::kStatic) {
      EXPECT_EQ(read_volume(*now, vol(*now, v.name.c_str())), data) << "round " << round;
    } else {
      EXPECT_EQ(trim_ff(read_volume(*now, vol(*now, v.name.c_str()))), trim_ff(data)) << "round " << round;
    }
    for (const volume& o : img->volumes) {
      if (o.id == v.id) continue;
      EXPECT_EQ(read_volume(*now, vol(*now, o.name.c_str())), read_volume(*img, o)) << "round " << round;
    }
    for (size_t i = 0; i < count; ++i) {
      if (std::memcmp(out_.data() + i * kPeb, bytes_.data() + i * kPeb, kPeb) == 0) continue;
      const peb& was = img->pebs[i];
      EXPECT_NE(was.state, peb::kBad) << "round " << round << " PEB " << i;
      if (was.state == peb::kUsed) {
        EXPECT_TRUE(was.vid.vol_id == v.id || was.vid.vol_id == rs::ubi::kLayoutVolumeId)
            << "round " << round << " PEB " << i;
      }
    }
  }
  EXPECT_GT(written, 20);  // most rounds must get as far as a write
}

TEST_F(Replace, RefusesWhatItCannotWrite) {
  std::string why;
  // 37 spare good PEBs less the kernel's 2 and rootfs's unmapped reserve
  // (34 reserved, 13 used): not enough for a kernel of 40 LEBs.
  EXPECT_FALSE(rs::ubi::replace_volume(*img_, 0, std::vector<uint8_t>(40 * kLeb, 1), &out_, &why));
  EXPECT_NE(why.find("ubi: volume kernel needs 40 PEBs"), std::string::npos) << why;
  EXPECT_FALSE(rs::ubi::replace_volume(*img_, 9, {}, &out_, &why));
  EXPECT_EQ(why, "ubi: no volume 9");

  // A fastmap in the image: its LEB map would hide the change from the kernel.
  auto bytes = bytes_;
  uint8_t* p = bytes.data() + (damaged_ + 1) * kPeb;  // a free PEB
  std::vector<uint8_t> hdr(64, 0);
  rs::store_be32(hdr.data(), 0x55424921);
  hdr[4] = 1, hdr[5] = 1;
  rs::store_be32(hdr.data() + 8, 0x7fffeffe);
  rs::store_be32(hdr.data() + 60, rs::ubi::media_crc(hdr.data(), 60));
  std::memcpy(p + 2048, hdr.data(), 64);
  auto img = rs::ubi::open(bytes.data(), bytes.size(), &why);
  ASSERT_TRUE(img) << why;
  EXPECT_FALSE(rs::ubi::replace_volume(*img, 0, {1, 2, 3}, &out_, &why));
  EXPECT_NE(why.find("fastmap"), std::string::npos) << why;
}

}  // namespace
