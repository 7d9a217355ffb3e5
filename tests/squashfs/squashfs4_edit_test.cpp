// squashfs 4.0 edits on images of every compressor and flag combination, as
// unsquashfs sees the result; stored blocks of unchanged files are copied.
#include <gtest/gtest.h>
#include <sqfs/block.h>
#include <sqfs/compressor.h>
#include <sqfs/frag_table.h>
#include <sqfs/super.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include "squashfs/memfile.h"
#include "squashfs/squashfs.h"
#include "squashfs_test_util.h"
#include "testutil.h"
#include "util/endian.h"

namespace {

using rstest::read_bytes;
using rstest::run_command;
using rstest::shell_quote;

using sqtest::Tree;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A source tree and the images mksquashfs makes of it.
struct Source {
  rstest::TempDir dir;
  std::string src = dir.file("src");
  std::map<std::string, std::vector<uint8_t>> files;

  Source() { mkdir(src.c_str(), 0755); }
  void put(const std::string& rel, const std::vector<uint8_t>& data, mode_t mode = 0644) {
    for (size_t slash = rel.find('/', 1); slash != std::string::npos; slash = rel.find('/', slash + 1))
      mkdir((src + rel.substr(0, slash)).c_str(), 0755);
    rstest::write_bytes(src + rel, data);
    chmod((src + rel).c_str(), mode);
    files[rel] = data;
  }
  void drop(const std::string& rel) {
    unlink((src + rel).c_str());
    files.erase(rel);
  }
  std::string make(const std::string& name, const std::string& opts) {
    std::string img = dir.file(name);
    auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(img) +
                         " -noappend -no-progress -all-root " + opts);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    return img;
  }
};

using sqtest::listing;

// The build settings unsquashfs -s reports: compressor, its options, block
// size and every flag line.
std::string settings(const std::string& img) {
  std::istringstream in(run_command("unsquashfs -s " + shell_quote(img)).out);
  std::string line, kept;
  while (std::getline(in, line)) {
    if (line.find("Creation") == 0 || line.find("Filesystem size") == 0 || line.find("Number of") == 0 ||
        line.find("table start") != std::string::npos || line.find("Found a valid") == 0)
      continue;
    kept += line + "\n";
  }
  return kept;
}

std::vector<uint8_t> rebuild(squashfs_entry* root) {
  size_t len = 0;
  uint8_t* p = squashfs_mmap(root, &len);
  EXPECT_NE(p, nullptr);
  if (!p) return {};
  std::vector<uint8_t> v(p, p + len);
  free(p);
  return v;
}

bool tools() { return rstest::have_tool("mksquashfs") && rstest::have_tool("unsquashfs"); }

class EachCompressor : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  }
};

TEST_P(EachCompressor, EditKeepsSettingsTreeAndContent) {
  Source s;
  s.put("/etc/passwd", bytes("root:x:0:0:root:/root:/bin/sh\n"));
  s.put("/etc/hosts", bytes("127.0.0.1 localhost\n"));
  s.put("/bin/tool", rstest::random_bytes(300000, 1), 0755);
  std::vector<uint8_t> text;
  for (int i = 0; i < 20000; ++i) text.push_back(uint8_t("squashfs text "[i % 14]));
  s.put("/usr/share/doc", text);
  s.put("/usr/share/gone", bytes("to be removed"));
  std::string orig = s.make("orig.sqfs", GetParam());
  std::vector<uint8_t> img = read_bytes(orig);
  Tree root(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(root);

  std::vector<uint8_t> hosts = bytes("10.0.0.1 box\n");
  ASSERT_EQ(squashfs_put(root.get(), "/etc/hosts", hosts.data(), hosts.size(), -1, -1, -1), 0);
  ASSERT_EQ(squashfs_put(root.get(), "/usr/share/new.txt", "new", 3, -1, -1, -1), 0);
  ASSERT_EQ(squashfs_remove(root.get(), "/usr/share/gone"), 0);
  std::vector<uint8_t> out = rebuild(root.get());
  rstest::write_bytes(s.dir.file("out.sqfs"), out);

  s.put("/etc/hosts", hosts);
  s.put("/usr/share/new.txt", bytes("new"));
  s.drop("/usr/share/gone");
  std::string expected = s.make("expected.sqfs", GetParam());
  EXPECT_EQ(settings(s.dir.file("out.sqfs")), settings(orig));
  EXPECT_EQ(listing(s.dir.file("out.sqfs")), listing(expected));
  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(s.dir.file("x")) + " " +
                       shell_quote(s.dir.file("out.sqfs")));
  ASSERT_EQ(r.status, 0) << r.err;
  for (auto& [path, data] : s.files) EXPECT_EQ(read_bytes(s.dir.file("x") + path), data) << path;
}

INSTANTIATE_TEST_SUITE_P(Compressors, EachCompressor,
                         ::testing::Values("-comp gzip", "-comp gzip -Xcompression-level 4 -Xwindow-size 12",
                                           "-comp gzip -Xstrategy filtered,huffman_only", "-comp lzma", "-comp lz4",
                                           "-comp lz4 -Xhc", "-comp zstd -Xcompression-level 19",
                                           "-comp xz -Xbcj arm -Xdict-size 65536", "-comp gzip -b 4096", "-comp lzo",
                                           // lzma: a dictionary below 8 KiB, and new blocks of a few bytes
                                           "-comp lzma -b 4096", "-comp lzma -no-fragments",
                                           "-comp lzo -Xalgorithm lzo1x_1", "-comp lzo -Xcompression-level 5"));

INSTANTIATE_TEST_SUITE_P(Flags, EachCompressor,
                         ::testing::Values("-comp gzip -noI", "-comp gzip -noD", "-comp gzip -noF", "-comp gzip -noX",
                                           "-comp gzip -noId", "-comp gzip -no-fragments",
                                           "-comp gzip -always-use-fragments", "-comp gzip -no-duplicates",
                                           "-comp gzip -no-exports", "-comp xz -noI -noD -noF -noX"));

}  // namespace

namespace {

std::string xattrs_of(const std::string& img, const std::string& path) {
  return run_command("rdsquashfs -x " + shell_quote(path) + " " + shell_quote(img)).out;
}

class Squashfs4Xattrs : public ::testing::TestWithParam<const char*> {};

TEST_P(Squashfs4Xattrs, KeptOnFilesAndDirectoriesThroughAnEditElsewhere) {
  if (!tools() || !rstest::have_tool("setfattr") || !rstest::have_tool("rdsquashfs")) GTEST_SKIP() << "tools missing";
  Source s;
  s.put("/bin/ping", bytes("binary"), 0755);
  s.put("/etc/conf", bytes("a=1\n"));
  s.put("/etc/other", bytes("b=2\n"));
  std::string bin = s.src + "/bin/ping", etc = s.src + "/etc", conf = s.src + "/etc/conf";
  auto r = run_command("setfattr -n security.capability -v 0sAQAAAgAgAAAAAAAAAAAAAAAAAAA= " + shell_quote(bin) +
                       " && setfattr -n user.origin -v factory " + shell_quote(bin) + " && setfattr -n user.dir -v d " +
                       shell_quote(etc) + " && setfattr -n user.conf -v kept " + shell_quote(conf));
  if (r.status != 0) GTEST_SKIP() << "extended attributes not available here: " << r.err;
  std::string orig = s.make("orig.sqfs", GetParam());
  std::vector<uint8_t> img = read_bytes(orig);
  Tree root(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(root);
  ASSERT_EQ(squashfs_put(root.get(), "/etc/other", "c=3\n", 4, -1, -1, -1), 0);
  ASSERT_EQ(squashfs_put(root.get(), "/etc/conf", "a=9\n", 4, -1, -1, -1), 0);  // a replaced file keeps its own
  std::string out = s.dir.file("out.sqfs");
  rstest::write_bytes(out, rebuild(root.get()));
  for (const char* path : {"/bin/ping", "/etc", "/etc/conf", "/etc/other"})
    EXPECT_EQ(xattrs_of(out, path), xattrs_of(orig, path)) << path;
  EXPECT_NE(xattrs_of(out, "/bin/ping").find("security.capability=0x01000002002"), std::string::npos);
  EXPECT_EQ(settings(out), settings(orig));
}

INSTANTIATE_TEST_SUITE_P(Flags, Squashfs4Xattrs, ::testing::Values("-comp gzip", "-comp xz -noX", "-comp lz4 -noI"));

// The stored bytes of each fragment block, by index, read through libsquashfs.
std::vector<std::vector<uint8_t>> fragment_blocks(std::vector<uint8_t>& img) {
  std::vector<std::vector<uint8_t>> out;
  rs::sqfs::MemFile file(img.data(), img.size());
  sqfs_super_t super;
  if (sqfs_super_read(&super, &file.f) != 0) return out;
  sqfs_compressor_config_t cfg;
  sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(super.compression_id), super.block_size, SQFS_COMP_FLAG_UNCOMPRESS);
  sqfs_compressor_t* cmp = nullptr;
  if (sqfs_compressor_create(&cfg, &cmp) != 0) return out;
  sqfs_frag_table_t* tbl = sqfs_frag_table_create(0);
  if (sqfs_frag_table_read(tbl, &file.f, &super, cmp) == 0)
    for (size_t i = 0; i < sqfs_frag_table_get_size(tbl); ++i) {
      sqfs_fragment_t f;
      sqfs_frag_table_lookup(tbl, sqfs_u32(i), &f);
      out.emplace_back(img.begin() + long(f.start_offset), img.begin() + long(f.start_offset + (f.size & 0xFFFFFF)));
    }
  sqfs_destroy(tbl);
  sqfs_destroy(cmp);
  return out;
}

// Where each full data block of a file lies, as its inode says.
std::vector<std::vector<uint8_t>> full_blocks(const std::vector<uint8_t>& img, const squashfs_entry* e,
                                              uint32_t block_size) {
  std::vector<std::vector<uint8_t>> out;
  uint64_t at = e->stored.start;
  for (size_t i = 0; i < e->stored.block_words.size(); ++i) {
    uint32_t n = e->stored.block_words[i] & 0xFFFFFF;
    if (n && (i + 1) * uint64_t(block_size) <= e->stored.file_size)
      out.emplace_back(img.begin() + long(at), img.begin() + long(at + n));
    at += n;
  }
  return out;
}

TEST(Squashfs4Verbatim, UnchangedFilesKeepEveryStoredBlock) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  Source s;
  std::vector<uint8_t> text;
  for (int i = 0; i < 70000; ++i) text.push_back(uint8_t("abcdefgh"[i % 8] + (i / 4096) % 7));
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> v = i % 3 ? rstest::random_bytes(size_t(500 + i * 37), uint32_t(i)) : text;
    v[0] = uint8_t(i);
    s.put("/d" + std::to_string(i % 10) + "/f" + std::to_string(i), v);
  }
  std::string orig = s.make("orig.sqfs", "-comp xz -b 16384");
  std::vector<uint8_t> img = read_bytes(orig);
  Tree root(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(root);
  ASSERT_EQ(squashfs_put(root.get(), "/d3/f3", "small", 5, -1, -1, -1), 0);
  // New content equal to an unchanged file shares its stored data.
  const std::vector<uint8_t> copy = s.files["/d0/f0"];
  ASSERT_EQ(squashfs_put(root.get(), "/d1/copy", copy.data(), copy.size(), -1, -1, -1), 0);
  std::vector<uint8_t> out = rebuild(root.get());
  Tree again(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(again);
  const squashfs_entry* orig_f0 = squashfs_find(again.get(), "/d0/f0");
  const squashfs_entry* dup = squashfs_find(again.get(), "/d1/copy");
  ASSERT_TRUE(orig_f0 && dup);
  EXPECT_EQ(dup->stored.start, orig_f0->stored.start);
  EXPECT_EQ(dup->stored.block_words, orig_f0->stored.block_words);
  EXPECT_EQ(dup->stored.fragment, orig_f0->stored.fragment);
  EXPECT_EQ(dup->stored.frag_offset, orig_f0->stored.frag_offset);
  size_t blocks = 0;
  for (auto& [path, data] : s.files) {
    if (path == "/d3/f3") continue;
    squashfs_entry* a = squashfs_find(root.get(), path.c_str());
    squashfs_entry* b = squashfs_find(again.get(), path.c_str());
    ASSERT_TRUE(a && b) << path;
    auto before = full_blocks(img, a, 16384), after = full_blocks(out, b, 16384);
    EXPECT_EQ(after, before) << path;
    blocks += before.size();
  }
  EXPECT_GT(blocks, 350u);
  // Fragment blocks whose tails all stayed are copied as they were.
  Tree fresh(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(fresh);
  uint32_t lost = squashfs_find(fresh.get(), "/d3/f3")->stored.fragment;
  auto old_frags = fragment_blocks(img), new_frags = fragment_blocks(out);
  size_t kept = 0;
  for (auto& [path, data] : s.files) {
    const squashfs_entry* a = squashfs_find(fresh.get(), path.c_str());
    const squashfs_entry* b = squashfs_find(again.get(), path.c_str());
    if (!a || !b || path == "/d3/f3" || a->stored.fragment == 0xFFFFFFFFu || a->stored.fragment == lost) continue;
    ASSERT_LT(a->stored.fragment, old_frags.size());
    ASSERT_LT(b->stored.fragment, new_frags.size());
    EXPECT_EQ(new_frags[b->stored.fragment], old_frags[a->stored.fragment]) << path;
    EXPECT_EQ(b->stored.frag_offset, a->stored.frag_offset) << path;
    ++kept;
  }
  EXPECT_GT(kept, 100u);
  // Only the fragment block that held the replaced file's tail is packed anew.
  EXPECT_LT(out.size(), img.size() + 16384);
  rstest::write_bytes(s.dir.file("out.sqfs"), out);
  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(s.dir.file("x")) + " " +
                       shell_quote(s.dir.file("out.sqfs")));
  ASSERT_EQ(r.status, 0) << r.err;
  s.files["/d3/f3"] = bytes("small");
  s.files["/d1/copy"] = copy;
  for (auto& [path, data] : s.files) EXPECT_EQ(read_bytes(s.dir.file("x") + path), data) << path;
}

TEST(Squashfs4Corrupt, BadDataBlockFailsOnlyThatFileAndIsKeptAsStored) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  Source s;
  std::vector<uint8_t> text;
  for (int i = 0; i < 400000; ++i) text.push_back(uint8_t('a' + (i * 7 / 13) % 26));
  s.put("/big", text);
  s.put("/small", bytes("fine"));
  s.put("/other", bytes("other"));
  std::vector<uint8_t> img = read_bytes(s.make("orig.sqfs", "-comp gzip"));
  uint64_t bad_at = 0;
  {
    Tree t(squashfs_load_memory(img.data(), img.size()));
    ASSERT_TRUE(t);
    const squashfs_entry* big = squashfs_find(t.get(), "/big");
    ASSERT_GE(big->stored.block_words.size(), 2u);
    bad_at = big->stored.start + (big->stored.block_words[0] & 0xFFFFFF);
  }
  img[bad_at] = 0xFF;  // no deflate stream starts like this
  img[bad_at + 1] = 0xFF;
  Tree root(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(root);
  std::vector<uint8_t> buf(text.size());
  testing::internal::CaptureStderr();
  EXPECT_EQ(squashfs_pread(squashfs_find(root.get(), "/big"), 0, buf.data(), buf.size()), -EIO);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/big"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(squashfs_pread(squashfs_find(root.get(), "/big"), 0, buf.data(), 1000), 1000);  // first block is fine
  EXPECT_EQ(squashfs_read(root.get(), "/small", buf.data(), 100, 0), 4);

  ASSERT_EQ(squashfs_put(root.get(), "/other", "changed", 7, -1, -1, -1), 0);
  std::vector<uint8_t> out = rebuild(root.get());
  Tree again(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(again);
  const squashfs_entry* a = squashfs_find(root.get(), "/big");
  const squashfs_entry* b = squashfs_find(again.get(), "/big");
  EXPECT_EQ(b->stored.block_words, a->stored.block_words);
  uint64_t len = 0;
  for (uint32_t w : a->stored.block_words) len += w & 0xFFFFFF;
  EXPECT_TRUE(std::equal(img.begin() + long(a->stored.start), img.begin() + long(a->stored.start + len),
                         out.begin() + long(b->stored.start)));
  EXPECT_EQ(squashfs_read(again.get(), "/other", buf.data(), 100, 0), 7);
}

TEST(Squashfs4Sparse, HardLinksToLargeSparseFileStayMetadataOnly) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  Source s;
  s.put("/small", bytes("x"));
  std::string big = s.src + "/sparse";
  ASSERT_EQ(run_command("truncate -s 256M " + shell_quote(big) + " && printf end >> " + shell_quote(big) + " && ln " +
                        shell_quote(big) + " " + shell_quote(s.src + "/link"))
                .status,
            0);
  std::vector<uint8_t> img = read_bytes(s.make("orig.sqfs", "-comp gzip"));
  ASSERT_LT(img.size(), 100000u);
  Tree root(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(root);
  squashfs_entry* e = squashfs_find(root.get(), "/link");
  ASSERT_TRUE(e);
  EXPECT_EQ(uint64_t(e->stbuf.st_size), (uint64_t(256) << 20) + 3);
  EXPECT_TRUE(e->buf.empty());
  char tail[8] = {};
  EXPECT_EQ(squashfs_pread(e, uint64_t(256) << 20, tail, sizeof tail), 3);
  EXPECT_EQ(std::string(tail, 3), "end");
  EXPECT_EQ(squashfs_pread(e, 1u << 27, tail, 4), 4);
  EXPECT_EQ(std::string(tail, 4), std::string(4, '\0'));
  EXPECT_EQ(squashfs_nlink(e), 2u);

  ASSERT_EQ(squashfs_put(root.get(), "/small", "y", 1, -1, -1, -1), 0);
  std::vector<uint8_t> out = rebuild(root.get());
  EXPECT_LT(out.size(), 100000u);
  rstest::write_bytes(s.dir.file("out.sqfs"), out);
  std::string l = listing(s.dir.file("out.sqfs"));
  EXPECT_NE(l.find("268435459  /x/link"), std::string::npos) << l;
  EXPECT_NE(l.find("268435459  /x/sparse"), std::string::npos) << l;
  Tree again(squashfs_load_memory(out.data(), out.size()));
  ASSERT_TRUE(again);
  EXPECT_EQ(squashfs_nlink(squashfs_find(again.get(), "/sparse")), 2u);
  EXPECT_EQ(squashfs_pread(squashfs_find(again.get(), "/sparse"), uint64_t(256) << 20, tail, sizeof tail), 3);
}

TEST(Squashfs4Refused, UnsupportedCompressorAndByteOrderGiveOneLine) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  Source s;
  s.put("/f", bytes("x"));
  std::vector<uint8_t> img = read_bytes(s.make("orig.sqfs", "-comp gzip"));
  struct Case {
    size_t at;
    std::vector<uint8_t> bytes;
    const char* line;
  };
  // The designed text first, then what the superblock says the image is.
  for (const Case& c : {Case{20,
                             {9, 0},
                             "squashfs: unknown compressor id 9, image left as raw bytes (squashfs 4:0, "
                             "little-endian, compressor 9 (unknown), block size 131072)\n"},
                        Case{0, {'s', 'q', 's', 'h', 0, 0, 0, 0}, nullptr}}) {
    std::vector<uint8_t> bad = img;
    std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + long(c.at));
    std::string want = c.line ? c.line : "";
    if (!c.line) {
      rs::store_be16(bad.data() + 28, 4);  // a big-endian 4.0 superblock
      rs::store_be16(bad.data() + 20, 1);
      rs::store_be32(bad.data() + 12, 131072);
      // Read as big-endian now; the little-endian tables behind it do not fit.
      want =
          "squashfs error: squashfs 4:0, big-endian, compressor 1 (gzip), block size 131072: big-endian image does "
          "not read: bytes used beyond the end of the image (cut short?)\nsquashfs error: [squashfs_load 363]\n";
    }
    testing::internal::CaptureStderr();
    Tree t(squashfs_load_memory(bad.data(), bad.size()));
    EXPECT_FALSE(t);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), want);
  }
}

}  // namespace
