// squashfs 4.0 kinds beside the little-endian standard: big-endian images
// (plain, and with little-endian length words) and lzma blocks in vendor
// framings. unsquashfs reads neither big-endian kind, so big-endian results are
// checked through a little-endian copy made by the transcoder.
#include <gtest/gtest.h>
#include <sqfs/compressor.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "core/fs_api.h"
#include "fixture.h"
#include "squashfs/format4.h"
#include "squashfs/lzma4v.h"
#include "squashfs/squashfs.h"
#include "squashfs/swap4.h"
#include "squashfs_test_util.h"
#include "testutil.h"
#include "util/endian.h"

namespace {

using rstest::read_bytes;
using rstest::run_command;
using rstest::shell_quote;
using sqtest::Tree;
namespace sq = rs::sqfs;

std::string corpus(const char* name) { return std::string(ROMSMITH_SOURCE_DIR) + "/tests/data/corpus/" + name; }

bool tools() { return rstest::have_tool("mksquashfs") && rstest::have_tool("unsquashfs"); }

// Everything a listing and a read show of a tree: per path, the attributes and
// the content (or link target).
std::map<std::string, std::string> snapshot(squashfs_entry* root) {
  std::map<std::string, std::string> out;
  // In path order: neighbours share fragment blocks, which the reader caches one at a time.
  std::map<std::string, squashfs_entry*> sorted(root->image->entry_table.begin(), root->image->entry_table.end());
  for (auto& [path, e] : sorted) {
    std::ostringstream s;
    s << std::oct << e->stbuf.st_mode << std::dec << " " << e->stbuf.st_uid << ":" << e->stbuf.st_gid << " "
      << e->stbuf.st_mtime << " " << e->stbuf.st_rdev << " ";
    if (S_ISREG(e->stbuf.st_mode) || S_ISLNK(e->stbuf.st_mode)) {
      std::vector<uint8_t> c;
      EXPECT_EQ(squashfs_content(e, c), 0) << path;
      s << std::string(c.begin(), c.end());
    }
    for (const squashfs_xattr& x : e->xattrs) s << " " << x.key << "=" << std::string(x.value.begin(), x.value.end());
    out[path] = s.str();
  }
  return out;
}

// Every file's content decoded into the tree, so that a rebuild writes all
// blocks anew in the tree's current settings.
void load_all(squashfs_entry* root) {
  std::map<std::string, squashfs_entry*> sorted(root->image->entry_table.begin(), root->image->entry_table.end());
  for (auto& [path, e] : sorted) {
    if (e->content_loaded) continue;
    ASSERT_EQ(squashfs_content(e, e->buf), 0) << path;
    e->content_loaded = true;
    e->stored.valid = false;
  }
}

std::vector<uint8_t> rebuild(squashfs_entry* root) {
  size_t len = 0;
  std::string why;
  uint8_t* p = squashfs_rebuild(root, &len, &why);
  EXPECT_NE(p, nullptr) << why;
  if (!p) return {};
  std::vector<uint8_t> v(p, p + len);
  free(p);
  return v;
}

sq::v4::Obj<sqfs_compressor_t> codec(uint16_t id, bool decode, const sq::LzmaKind* kind = nullptr) {
  sqfs_compressor_config_t cfg;
  EXPECT_EQ(sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(id), 131072, decode ? SQFS_COMP_FLAG_UNCOMPRESS : 0), 0);
  if (kind) sq::set_lzma_kind(&cfg, *kind);
  sqfs_compressor_t* c = nullptr;
  EXPECT_EQ(sq::v4::make_compressor(&cfg, &c), 0);
  return sq::v4::Obj<sqfs_compressor_t>(c);
}

// `img` in another byte order; metadata compressed again with `id` unless `store`.
std::vector<uint8_t> transcode(const std::vector<uint8_t>& img, sq::Order4 from, sq::Order4 to, bool store = false) {
  uint16_t id = from.be ? rs::load_be16(&img[20]) : rs::load_le16(&img[20]);
  auto dec = codec(id, true);
  auto enc = codec(id, false);
  sq::Transcode4 t;
  t.from = from;
  t.to = to;
  t.dec = dec.get();
  t.enc = store ? nullptr : enc.get();
  t.pad4k = true;
  std::vector<uint8_t> out;
  std::string why;
  EXPECT_TRUE(sq::transcode4(img.data(), img.size(), t, out, why)) << why;
  return out;
}

constexpr sq::Order4 kLE{false, false}, kBE{true, false}, kAvm{true, true};

uint64_t be64(const uint8_t* p) { return uint64_t(rs::load_be32(p)) << 32 | rs::load_be32(p + 4); }

// --- corpus images -------------------------------------------------------

TEST(SquashfsKinds, AvmBigEndianReadsAsItsLittleEndianTwin) {
  std::vector<uint8_t> be = read_bytes(corpus("fact_avm_be.sqfs4"));
  std::vector<uint8_t> le = read_bytes(corpus("fact_avm_le.sqfs4"));
  Tree tb(squashfs_load_memory(be.data(), be.size()));
  Tree tl(squashfs_load_memory(le.data(), le.size()));
  ASSERT_TRUE(tb);
  ASSERT_TRUE(tl);
  const squashfs_params4& p = tb->image->p4;
  EXPECT_TRUE(p.big_endian);
  EXPECT_TRUE(p.le_length_words);
  EXPECT_TRUE(p.ids_stored);
  EXPECT_TRUE(p.time_is_size);
  EXPECT_EQ(p.compressor, 4);
  EXPECT_FALSE(tl->image->p4.big_endian);
  EXPECT_TRUE(tl->image->p4.time_is_size);
  auto a = snapshot(tb.get()), b = snapshot(tl.get());
  EXPECT_GT(a.size(), 3u);
  EXPECT_EQ(a, b);
  // The little-endian twin's rebuild keeps mkfs_time = bytes_used as well.
  ASSERT_EQ(squashfs_put(tl.get(), "/x", "x", 1, -1, -1, -1), 0);
  std::vector<uint8_t> out = rebuild(tl.get());
  ASSERT_GE(out.size(), 96u);
  EXPECT_EQ(rs::load_le32(&out[8]), rs::load_le64(&out[40]));
}

TEST(SquashfsKinds, AvmBigEndianEditKeepsItsKindAndStoredBlocks) {
  std::vector<uint8_t> be = read_bytes(corpus("fact_avm_be.sqfs4"));
  Tree t(squashfs_load_memory(be.data(), be.size()));
  ASSERT_TRUE(t);
  auto before = snapshot(t.get());
  // Keep one file, replace one, drop one, add one.
  std::vector<std::string> files;
  for (auto& [path, e] : before)
    if (S_ISREG(t->image->entry_table[path]->stbuf.st_mode)) files.push_back(path);
  ASSERT_GE(files.size(), 3u);
  const std::string kept = files[0], replaced = files[1], removed = files[2];
  const squashfs_stored old = t->image->entry_table[kept]->stored;
  ASSERT_EQ(squashfs_put(t.get(), replaced.c_str(), "changed\n", 8, -1, -1, -1), 0);
  ASSERT_EQ(squashfs_remove(t.get(), removed.c_str()), 0);
  ASSERT_EQ(squashfs_put(t.get(), "/added.bin", "added", 5, -1, -1, -1), 0);
  std::vector<uint8_t> out = rebuild(t.get());
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(std::memcmp(out.data(), "sqsh", 4), 0);
  EXPECT_EQ(rs::load_be16(&out[28]), 4);
  EXPECT_EQ(rs::load_be16(&out[20]), 4);
  EXPECT_EQ(rs::load_be32(&out[8]), be64(&out[40])) << "mkfs_time = bytes_used";
  EXPECT_TRUE(sq::detect_order4_be(out.data(), out.size()).le_words) << "length words little-endian";
  EXPECT_EQ(out.size() % 4096, 0u);

  Tree back(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(back);
  const squashfs_params4& p = back->image->p4;
  EXPECT_TRUE(p.big_endian && p.le_length_words && p.ids_stored && p.time_is_size);
  auto after = snapshot(back.get());
  auto want = before;
  want.erase(removed);
  EXPECT_EQ(after.count("/added.bin"), 1u);
  EXPECT_EQ(after[replaced].substr(after[replaced].size() - 8), "changed\n");
  after.erase("/added.bin");
  want.erase(replaced);
  after.erase(replaced);
  EXPECT_EQ(after, want);
  // The unchanged file's data is the same stored bytes, wherever it now lies.
  const squashfs_stored& now = back->image->entry_table[kept]->stored;
  ASSERT_TRUE(now.valid);
  EXPECT_EQ(now.block_words, old.block_words);
  uint64_t n = 0;
  for (uint32_t w : old.block_words) n += w & sq::v4::kSizeMask;
  EXPECT_EQ(std::memcmp(&out[now.start], &be[old.start], n), 0);
}

TEST(SquashfsKinds, VendorLzmaRouterImageLists) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  std::vector<uint8_t> img = read_bytes(corpus("binwalk2_firmware.squashfs"));
  Tree t(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(t);
  const squashfs_params4& p = t->image->p4;
  EXPECT_EQ(p.compressor, 2);
  EXPECT_EQ(p.lzma_framing, uint8_t(sq::LzmaFraming::props_dict));
  EXPECT_EQ(p.lzma_props, 0x6D);
  EXPECT_EQ(p.lzma_dict, 1u << 23);
  std::map<uint64_t, int> inodes;
  for (auto& [path, e] : t->image->entry_table) ++inodes[uint64_t(e->stbuf.st_ino)];
  EXPECT_EQ(inodes.size(), 1811u);
  // A copy in the standard framing, which unsquashfs reads: every file
  // decoded from the vendor blocks and written anew.
  auto want = snapshot(t.get());
  squashfs_params4 keep = t->image->p4;
  t->image->p4.lzma_framing = 0;
  t->image->p4.level = 1;  // a quick copy is as good a witness
  load_all(t.get());
  std::vector<uint8_t> std_copy = rebuild(t.get());
  t->image->p4 = keep;
  rstest::TempDir dir;
  rstest::write_bytes(dir.file("std.sqfs"), std_copy);
  auto r =
      run_command("unsquashfs -no-progress -d " + shell_quote(dir.file("x")) + " " + shell_quote(dir.file("std.sqfs")));
  ASSERT_EQ(r.status, 0) << r.err;
  std::string listed = sqtest::listing(dir.file("std.sqfs"));
  EXPECT_EQ(size_t(std::count(listed.begin(), listed.end(), '\n')), want.size());
  for (auto& [path, e] : t->image->entry_table) {
    if (!S_ISREG(e->stbuf.st_mode)) continue;
    EXPECT_EQ(read_bytes(dir.file("x") + path), e->buf) << path;
  }
}

TEST(SquashfsKinds, VendorLzmaEditKeepsFraming) {
  std::vector<uint8_t> img = read_bytes(corpus("binwalk2_firmware.squashfs"));
  Tree t(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(t);
  auto before = snapshot(t.get());
  std::vector<uint8_t> big = rstest::random_bytes(200000, 7);
  for (size_t i = 0; i < big.size(); i += 3) big[i] = 'a';  // compressible, several blocks and a tail
  ASSERT_EQ(squashfs_put(t.get(), "/etc/added.bin", big.data(), big.size(), -1, -1, -1), 0);
  std::string gone;
  for (auto& [path, e] : t->image->entry_table)
    if (S_ISREG(e->stbuf.st_mode) && path != "/etc/added.bin") gone = path;
  ASSERT_EQ(squashfs_remove(t.get(), gone.c_str()), 0);
  std::vector<uint8_t> out = rebuild(t.get());
  ASSERT_FALSE(out.empty());
  // New metadata in the image's framing: props 0x6D, dictionary 8 MiB.
  uint64_t at = rs::load_le64(&out[64]);
  ASSERT_EQ(rs::load_le16(&out[at]) & 0x8000, 0);
  EXPECT_EQ(out[at + 2], 0x6D);
  EXPECT_EQ(rs::load_le32(&out[at + 3]), 1u << 23);
  Tree back(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->image->p4.lzma_framing, uint8_t(sq::LzmaFraming::props_dict));
  auto after = snapshot(back.get());
  before.erase(gone);
  ASSERT_EQ(after.count("/etc/added.bin"), 1u);
  EXPECT_EQ(after["/etc/added.bin"].substr(after["/etc/added.bin"].size() - big.size()),
            std::string(big.begin(), big.end()));
  after.erase("/etc/added.bin");
  after.erase("/etc");
  before.erase("/etc");
  EXPECT_EQ(after, before);
}

// Corpus images open where the loader finds them: bare, and as a partition.
TEST(SquashfsKinds, CorpusImagesOpenBareAndInAFlashImage) {
  for (const char* name : {"fact_avm_be.sqfs4", "binwalk2_firmware.squashfs"}) {
    std::vector<uint8_t> img = read_bytes(corpus(name));
    Tree t(squashfs_load_memory(img.data(), img.size()));
    ASSERT_TRUE(t) << name;
    size_t files = 0;
    for (auto& [path, e] : t->image->entry_table) files += S_ISREG(e->stbuf.st_mode);
    rstest::TempDir dir;
    rstest::write_bytes(dir.file("bare.bin"), img);
    rstest::FixtureTable tab = rstest::sample_table(4);
    rstest::FixturePart part;
    part.name = "ROOTFS";
    part.start = 0x100000;
    part.total = uint32_t((img.size() + 0xFFFF) / 0x10000 * 0x10000 + 0x10000);
    part.type = FS_SQUASHFS;
    part.content = img;
    tab.parts.push_back(part);
    rstest::write_bytes(dir.file("flash.bin"), rstest::build_image(tab, part.start + part.total, 0xC000));
    for (auto [file, pname] : {std::pair{"bare.bin", "SQUASHFS"}, std::pair{"flash.bin", "ROOTFS"}}) {
      rstest::Image f(flash_load_bin(dir.file(file).c_str()));
      ASSERT_NE(f.f, nullptr) << name << " " << file;
      std::vector<fs_node> nodes;
      ASSERT_EQ(flash_fs_walk(f.f, pname, &nodes), 0) << name << " " << file;
      EXPECT_EQ(nodes.size(), t->image->entry_table.size()) << name << " " << file;
      // Edited and saved, it opens again with the edit.
      ASSERT_EQ(flash_fs_put(f.f, (std::string(pname) + "/new.txt").c_str(), "new", 3, nullptr), 0);
      ASSERT_EQ(flash_save(f.f, dir.file("saved.bin").c_str(), 0), 0) << name << " " << file;
      rstest::Image g(flash_load_bin(dir.file("saved.bin").c_str()));
      ASSERT_NE(g.f, nullptr);
      std::vector<uint8_t> got;
      std::vector<fs_node> again;
      ASSERT_EQ(flash_fs_walk(g.f, pname, &again), 0) << name << " " << file;
      EXPECT_EQ(again.size(), nodes.size() + 1);
      ASSERT_EQ(flash_fs_get(g.f, (std::string(pname) + "/new.txt").c_str(), &got), 0) << name << " " << file;
      EXPECT_EQ(std::string(got.begin(), got.end()), "new");
    }
    EXPECT_GT(files, 0u);
  }
}

// An unedited open and save gives the image back byte for byte.
TEST(SquashfsKinds, UneditedSaveKeepsBytes) {
  std::vector<uint8_t> img = read_bytes(corpus("fact_avm_be.sqfs4"));
  rstest::TempDir dir;
  rstest::write_bytes(dir.file("bare.bin"), img);
  rstest::Image f(flash_load_bin(dir.file("bare.bin").c_str()));
  ASSERT_NE(f.f, nullptr);
  std::vector<fs_node> nodes;
  ASSERT_EQ(flash_fs_walk(f.f, "SQUASHFS", &nodes), 0);
  ASSERT_EQ(flash_save(f.f, dir.file("out.bin").c_str(), 0), 0);
  EXPECT_EQ(read_bytes(dir.file("out.bin")), img);
}

// --- big-endian images made from mksquashfs ones ---------------------------

struct Source {
  rstest::TempDir dir;
  std::string src = dir.file("src");
  Source() {
    mkdir(src.c_str(), 0755);
    mkdir((src + "/etc").c_str(), 0755);
    mkdir((src + "/empty").c_str(), 0755);
    rstest::write_text(src + "/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    rstest::write_text(src + "/etc/hosts", "127.0.0.1 localhost\n");
    rstest::write_bytes(src + "/tool", rstest::random_bytes(300000, 3));
    std::string text;
    for (int i = 0; i < 40000; ++i) text += "squashfs text "[i % 14];
    rstest::write_text(src + "/doc.txt", text);
    // Enough entries for several metadata blocks and an indexed directory.
    mkdir((src + "/many").c_str(), 0755);
    for (int i = 0; i < 700; ++i) rstest::write_text(src + "/many/file_with_a_long_name_" + std::to_string(i), "x");
    symlink("etc/hosts", (src + "/link").c_str());
    link((src + "/doc.txt").c_str(), (src + "/doc.hard").c_str());
    // Holes: blocks stored with size 0.
    run_command("truncate -s 600000 " + shell_quote(src + "/sparse") + " && printf tail >> " +
                shell_quote(src + "/sparse"));
  }
  std::vector<uint8_t> make(const std::string& opts) {
    std::string img = dir.file("le.sqfs");
    auto r =
        run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(img) +
                    " -noappend -no-progress -force-uid 1000 -force-gid 100 -p '/dev/console c 600 0 0 5 1' " + opts);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    return read_bytes(img);
  }
};

struct BeCase {
  const char* opts;
  bool le_words;
};

class BigEndian : public ::testing::TestWithParam<BeCase> {
 protected:
  void SetUp() override {
    if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  }
};

TEST_P(BigEndian, RoundTripsThroughUnsquashfs) {
  Source s;
  std::vector<uint8_t> le = s.make(GetParam().opts);
  const sq::Order4 order = GetParam().le_words ? kAvm : kBE;
  std::vector<uint8_t> be = transcode(le, kLE, order);
  ASSERT_FALSE(be.empty());
  // Back to little-endian, the image is what mksquashfs wrote as unsquashfs sees it.
  rstest::write_bytes(s.dir.file("le.sqfs"), le);
  rstest::write_bytes(s.dir.file("back.sqfs"), transcode(be, order, kLE));
  EXPECT_EQ(sqtest::listing(s.dir.file("back.sqfs")), sqtest::listing(s.dir.file("le.sqfs")));
  // As the reader sees it: every metadata block stored.
  rstest::write_bytes(s.dir.file("stored.sqfs"), transcode(be, order, kLE, true));
  EXPECT_EQ(sqtest::listing(s.dir.file("stored.sqfs")), sqtest::listing(s.dir.file("le.sqfs")));
  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(s.dir.file("x")) + " " +
                       shell_quote(s.dir.file("back.sqfs")));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_bytes(s.dir.file("x/tool")), read_bytes(s.src + "/tool"));

  Tree tl(squashfs_load_memory(le.data(), le.size()));
  Tree tb(squashfs_load_memory(be.data(), be.size()));
  ASSERT_TRUE(tl);
  ASSERT_TRUE(tb);
  EXPECT_TRUE(tb->image->p4.big_endian);
  EXPECT_EQ(tb->image->p4.le_length_words, GetParam().le_words);
  EXPECT_EQ(snapshot(tb.get()), snapshot(tl.get()));

  // Metadata compresses as well as in the little-endian build: no block is
  // left stored because its place kept moving.
  std::vector<uint8_t> le_again = rebuild(tl.get()), be_again = rebuild(tb.get());
  EXPECT_LE(be_again.size(), le_again.size() + le_again.size() / 50 + 4096);

  // Edited and rebuilt, it stays of its kind and holds the edit.
  const squashfs_stored old_tool = tb->image->entry_table["/tool"]->stored;
  ASSERT_EQ(squashfs_put(tb.get(), "/etc/hosts", "10.0.0.1 box\n", 13, -1, -1, -1), 0);
  ASSERT_EQ(squashfs_put(tb.get(), "/etc/new.txt", "new", 3, -1, 1000, 100), 0);
  ASSERT_EQ(squashfs_remove(tb.get(), "/etc/passwd"), 0);
  std::vector<uint8_t> out = rebuild(tb.get());
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(std::memcmp(out.data(), "sqsh", 4), 0);
  EXPECT_EQ(rs::load_be16(&out[20]), rs::load_le16(&le[20]));
  EXPECT_EQ(rs::load_be16(&out[24]) & ~SQFS_FLAG_COMPRESSOR_OPTIONS,
            rs::load_le16(&le[24]) & ~SQFS_FLAG_COMPRESSOR_OPTIONS);
  EXPECT_EQ(rs::load_be32(&out[12]), rs::load_le32(&le[12]));
  EXPECT_EQ(sq::detect_order4_be(out.data(), out.size()).le_words, GetParam().le_words);
  Tree back(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->image->p4.le_length_words, GetParam().le_words);
  const squashfs_stored& now = back->image->entry_table["/tool"]->stored;
  ASSERT_TRUE(now.valid);
  ASSERT_EQ(now.block_words, old_tool.block_words);
  uint64_t n = 0;
  for (uint32_t w : now.block_words) n += w & sq::v4::kSizeMask;
  EXPECT_EQ(std::memcmp(&out[now.start], &be[old_tool.start], n), 0) << "stored blocks copied";

  rstest::write_bytes(s.dir.file("edited.sqfs"), transcode(out, order, kLE));
  rstest::write_text(s.src + "/etc/hosts", "10.0.0.1 box\n");
  rstest::write_text(s.src + "/etc/new.txt", "new");
  unlink((s.src + "/etc/passwd").c_str());
  s.make(GetParam().opts);  // rewrites le.sqfs with the edits
  EXPECT_EQ(sqtest::listing(s.dir.file("edited.sqfs")), sqtest::listing(s.dir.file("le.sqfs")));
}

INSTANTIATE_TEST_SUITE_P(
    Compressors, BigEndian,
    ::testing::Values(BeCase{"-comp gzip", false}, BeCase{"-comp lzma", false}, BeCase{"-comp lzo", false},
                      BeCase{"-comp xz", true}, BeCase{"-comp lz4", false}, BeCase{"-comp zstd", true},
                      BeCase{"-comp xz -Xdict-size 65536", false}, BeCase{"-comp gzip -noI -noD -noF -noX", true},
                      BeCase{"-comp gzip -no-exports -no-fragments", false}, BeCase{"-comp gzip -b 4096", true},
                      BeCase{"-comp gzip -Xcompression-level 4 -Xwindow-size 12", true},
                      BeCase{"-comp lz4 -Xhc", false}));

// Extended attributes (their value table, ids and out-of-line values) move
// with the blocks they are in.
TEST(SquashfsKinds, BigEndianKeepsExtendedAttributes) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  Source s;
  std::vector<uint8_t> le = s.make("-comp xz");
  Tree t(squashfs_load_memory(le.data(), le.size()));
  ASSERT_TRUE(t);
  std::vector<uint8_t> cap(20, 0x41);
  std::vector<squashfs_xattr> shared{{"security.capability", cap}, {"user.origin", {'f', 'a', 'c'}}};
  ASSERT_EQ(squashfs_set_xattrs(t.get(), "/tool", shared), 0);
  ASSERT_EQ(squashfs_set_xattrs(t.get(), "/etc", shared), 0);
  for (int i = 0; i < 400; i += 7) {
    std::string path = "/many/file_with_a_long_name_" + std::to_string(i);
    std::vector<squashfs_xattr> own{{"user.n", std::vector<uint8_t>(300, uint8_t(i))}, {"trusted.k", cap}};
    ASSERT_EQ(squashfs_set_xattrs(t.get(), path.c_str(), own), 0);
  }
  std::vector<uint8_t> with = rebuild(t.get());
  Tree tl(squashfs_load_memory(with.data(), with.size()));
  ASSERT_TRUE(tl);
  auto want = snapshot(tl.get());
  for (sq::Order4 o : {kBE, kAvm}) {
    std::vector<uint8_t> be = transcode(with, kLE, o);
    Tree tb(squashfs_load_memory(be.data(), be.size()));
    ASSERT_TRUE(tb);
    EXPECT_EQ(snapshot(tb.get()), want);
    std::vector<uint8_t> out = rebuild(tb.get());
    Tree again(squashfs_load_memory(out.data(), out.size()));
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->image->p4.big_endian);
    EXPECT_EQ(snapshot(again.get()), want);
  }
}

// The plain kind, checked by hand against the published field layout.
TEST(SquashfsKinds, PlainBigEndianFieldsByHand) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  Source s;
  std::vector<uint8_t> le = s.make("-comp gzip -noI -noId");
  std::vector<uint8_t> be = transcode(le, kLE, kBE);
  ASSERT_GE(be.size(), 96u);
  const uint8_t* b = be.data();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), 4), "sqsh");
  EXPECT_EQ(rs::load_be32(b + 4), rs::load_le32(&le[4]));  // inodes
  EXPECT_EQ(rs::load_be32(b + 12), 131072u);               // block size
  EXPECT_EQ(rs::load_be16(b + 20), 1);                     // gzip
  EXPECT_EQ(rs::load_be16(b + 22), 17);                    // block log
  EXPECT_EQ(rs::load_be16(b + 28), 4);                     // major
  EXPECT_EQ(rs::load_be16(b + 30), 0);                     // minor
  EXPECT_EQ(be64(b + 64), rs::load_le64(&le[64]));         // inode table where the data ends
  EXPECT_LE(be64(b + 40), be.size());                      // bytes used
  // Inodes stored: the first block's length word and its first inode, BE.
  uint64_t it = be64(b + 64);
  EXPECT_EQ(rs::load_be16(b + it), rs::load_le16(&le[it]));
  EXPECT_EQ(rs::load_be16(b + it + 2), rs::load_le16(&le[it + 2]));            // inode type
  EXPECT_EQ(rs::load_be32(b + it + 2 + 12), rs::load_le32(&le[it + 2 + 12]));  // inode number
  // Root inode reference: a block position in the inode table and an offset.
  uint64_t root = be64(b + 32);
  uint64_t rblk = it + (root >> 16);
  ASSERT_TRUE(rs::load_be16(b + rblk) & 0x8000);
  uint16_t type = rs::load_be16(b + rblk + 2 + (root & 0xFFFF));
  EXPECT_TRUE(type == 1 || type == 8) << "directory, basic or extended: " << type;
  // Id table: index of BE u64, a stored block with a BE word, ids BE u32.
  uint64_t blk = be64(b + be64(b + 48));
  uint16_t w = rs::load_be16(b + blk);
  ASSERT_TRUE(w & 0x8000);
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < (w & 0x7FFFu) / 4; ++i) ids.push_back(rs::load_be32(b + blk + 2 + 4 * i));
  EXPECT_NE(std::find(ids.begin(), ids.end(), 1000u), ids.end());
  EXPECT_NE(std::find(ids.begin(), ids.end(), 100u), ids.end());
}

// Every vendor framing written and found again, each with its own header.
class Framings : public ::testing::TestWithParam<sq::LzmaFraming> {};

TEST_P(Framings, WrittenFoundAndRead) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  Source s;
  std::vector<uint8_t> le = s.make("-comp lzma");
  Tree t(squashfs_load_memory(le.data(), le.size()));
  ASSERT_TRUE(t);
  auto want = snapshot(t.get());
  load_all(t.get());
  t->image->p4.lzma_framing = uint8_t(GetParam());
  t->image->p4.lzma_props = GetParam() == sq::LzmaFraming::raw_002 ? 0x5A : 0x6D;
  t->image->p4.lzma_dict = 1u << 20;
  std::vector<uint8_t> v = rebuild(t.get());
  for (bool be : {false, true}) {
    std::vector<uint8_t> img = v;
    if (be) {
      sq::LzmaKind k{GetParam(), t->image->p4.lzma_props, 1u << 20};
      auto dec = codec(2, true, &k);
      auto enc = codec(2, false, &k);
      sq::Transcode4 tc;
      tc.to = kAvm;
      tc.dec = dec.get();
      tc.enc = enc.get();
      std::string why;
      ASSERT_TRUE(sq::transcode4(v.data(), v.size(), tc, img, why)) << why;
    }
    Tree back(squashfs_load_memory(img.data(), img.size()));
    ASSERT_TRUE(back) << be;
    EXPECT_EQ(back->image->p4.lzma_framing, uint8_t(GetParam()));
    EXPECT_EQ(back->image->p4.big_endian, be);
    if (GetParam() == sq::LzmaFraming::props_dict) {
      EXPECT_EQ(back->image->p4.lzma_dict, 1u << 20);
    }
    EXPECT_EQ(snapshot(back.get()), want);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Framings,
                         ::testing::Values(sq::LzmaFraming::props_dict, sq::LzmaFraming::props4,
                                           sq::LzmaFraming::raw_302, sq::LzmaFraming::raw_002));

TEST(SquashfsKinds, UndecodableLzmaIsRefusedInOneLine) {
  std::vector<uint8_t> img = read_bytes(corpus("binwalk2_firmware.squashfs"));
  uint64_t at = rs::load_le64(&img[64]);
  for (size_t i = 0; i < 64; ++i) img[at + 2 + i] = uint8_t(0xE1 + i);
  testing::internal::CaptureStderr();
  Tree t(squashfs_load_memory(img.data(), img.size()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(t);
  EXPECT_EQ(err,
            "squashfs: lzma (compressor id 2) blocks decode in none of the framings tried (13-byte lzma-alone, "
            "props+dictionary, 4-byte pb/lc/lp, raw lc3 lp0 pb2, raw lc0 lp0 pb2), image left as raw bytes "
            "(squashfs 4:0, little-endian, compressor 2 (lzma), block size 524288)\n");
}

// --- hostile input --------------------------------------------------------

// Table positions and counts near the ends of their ranges, in a big-endian
// superblock with the fragment, export and xattr flags set: refused or read,
// never out of bounds.
TEST(SquashfsKinds, BigEndianTablePositionsAtTheirLimits) {
  const std::vector<uint8_t> seed = read_bytes(corpus("fact_avm_be.sqfs4"));
  const uint64_t used = be64(&seed[40]);
  for (size_t field : {48, 56, 64, 72, 80, 88}) {
    for (uint64_t v : {~uint64_t(0) - 1, ~uint64_t(0) - 7, ~uint64_t(0) - 15, used - 1, used - 8, uint64_t(1) << 63}) {
      std::vector<uint8_t> m = seed;
      for (int i = 0; i < 8; ++i) m[field + i] = uint8_t(v >> (56 - 8 * i));
      rs::store_be32(&m[16], 3);                              // fragments
      rs::store_be16(&m[24], rs::load_be16(&m[24]) & ~0x02);  // xattrs present
      testing::internal::CaptureStderr();
      Tree t(squashfs_load_memory(m.data(), m.size()));
      std::string err = testing::internal::GetCapturedStderr();
      if (!t) {
        EXPECT_FALSE(err.empty()) << field << " " << v;
      }
    }
  }
}

long max_rss_kb() {
  struct rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Seeded byte mutations in the metadata of each kind open within bounds or
// are refused in a line or two.
TEST(SquashfsKinds, MutatedImagesOpenOrAreRefused) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  seeds.emplace_back("avm_be", read_bytes(corpus("fact_avm_be.sqfs4")));
  {
    std::vector<uint8_t> r = read_bytes(corpus("binwalk2_firmware.squashfs"));
    seeds.emplace_back("binwalk2", r);
  }
  if (tools()) {
    Source s;
    seeds.emplace_back("be_gzip", transcode(s.make("-comp gzip"), kLE, kBE));
  }
  const long rss0 = max_rss_kb();
  for (auto& [name, seed] : seeds) {
    const bool be = seed[0] == 's';
    uint64_t from = be ? be64(&seed[64]) : rs::load_le64(&seed[64]);
    uint64_t to = be ? be64(&seed[40]) : rs::load_le64(&seed[40]);
    std::mt19937 rng(1234);
    const int rounds = name == "binwalk2" ? 60 : 150;
    for (int i = 0; i < rounds; ++i) {
      std::vector<uint8_t> m = seed;
      int edits = 1 + int(rng() % 4);
      for (int k = 0; k < edits; ++k) {
        // Mostly the tables, sometimes the superblock.
        size_t at = rng() % 5 == 0 ? rng() % 96 : size_t(from + rng() % (to - from));
        m[at] = rng() % 3 == 0 ? uint8_t(rng()) : uint8_t(m[at] ^ (1u << (rng() % 8)));
      }
      auto t0 = std::chrono::steady_clock::now();
      testing::internal::CaptureStderr();
      {
        Tree t(squashfs_load_memory(m.data(), m.size()));
        if (t) {
          std::vector<uint8_t> c;
          for (auto& [path, e] : t->image->entry_table)
            if (S_ISREG(e->stbuf.st_mode) && e->stbuf.st_size < (1 << 20)) squashfs_content(e, c);
        }
      }
      std::string err = testing::internal::GetCapturedStderr();
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      EXPECT_LT(secs, 2.0) << name << " round " << i;
      if (err.rfind("squashfs: ", 0) == 0 && err.find("image left as raw bytes") != std::string::npos) {
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << name << " round " << i << "\n" << err;
      }
    }
  }
#ifndef __SANITIZE_ADDRESS__  // its quarantine holds freed memory
  EXPECT_LT(max_rss_kb() - rss0, 200 * 1024) << "peak memory grew beyond 200 MB";
#else
  (void)rss0;
#endif
}

}  // namespace
