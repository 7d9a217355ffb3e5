// The UBIFS writer: images built from a host tree read back entry for entry;
// the layout and free-space accounting match mkfs.ubifs's for a tree whose
// nodes have the same sizes in both; edits of mkfs.ubifs images are saved,
// untouched files' data nodes copied as stored; trees too large are refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "core/fs_contract.h"
#include "testutil.h"
#include "ubi/ubi.h"
#include "ubi/ubi_write.h"
#include "ubifs/ubifs.h"
#include "ubifs/ubifs_write.h"
#include "util/endian.h"

namespace {

namespace sfs = std::filesystem;
using rstest::run_command;
using rstest::shell_quote;

std::string run_ok(const std::string& cmd) {
  rstest::RunResult r = run_command(cmd);
  return r.status == 0 ? "" : cmd + ": " + r.out + r.err;
}
bool tools() { return rstest::have_tool("mkfs.ubifs") && rstest::have_tool("ubinize"); }

struct Geometry {
  const char* label;
  uint32_t min_io, leb, max_lebs;
};
const Geometry k2k{"2k", 2048, 126976, 64}, k512{"512", 512, 15872, 300};

// A table loaded over its own copy of the bytes, in a buffer of `total`.
struct Loaded {
  std::vector<uint8_t> bytes;
  void* fs = nullptr;
  Loaded(std::vector<uint8_t> b, size_t total = 0) : bytes(std::move(b)) {
    uint32_t used = uint32_t(bytes.size());
    bytes.resize(std::max(bytes.size(), total), 0xff);
    fs = ubifs_fs_ops.load(bytes.data(), used, uint32_t(bytes.size()));
  }
  ~Loaded() {
    if (fs) ubifs_fs_ops.release(fs);
  }
  std::vector<uint8_t> rebuild(std::string* why) {
    size_t n = 0;
    uint8_t* p = ubifs_fs_ops.rebuild(fs, &n, why);
    if (!p) return {};
    std::vector<uint8_t> out(p, p + n);
    ubifs_fs_ops.release_image(p, n);
    return out;
  }
};

// Our reader over a bare image.
std::unique_ptr<rs::ubifs::fs> open_reader(const std::vector<uint8_t>& img, uint32_t leb) {
  rs::ubifs::source src;
  src.leb_size = leb;
  src.leb_count = uint32_t(img.size() / leb);
  const std::vector<uint8_t>* p = &img;
  src.leb = [p, leb](uint32_t lnum, uint32_t* len) -> const uint8_t* {
    *len = leb;
    return size_t(lnum + 1) * leb <= p->size() ? p->data() + size_t(lnum) * leb : nullptr;
  };
  std::string why;
  auto r = rs::ubifs::fs::open(std::move(src), size_t(64) << 20, &why);
  EXPECT_TRUE(r) << why;
  return r;
}

// path -> "mode uid:gid nlink size [dev] [-> target]", and file contents.
using View = std::map<std::string, std::string>;
std::string line(uint32_t mode, uint32_t uid, uint32_t gid, uint32_t nlink, uint64_t size, uint32_t rdev,
                 const std::string& target) {
  char b[96];
  std::snprintf(b, sizeof b, "%06o %u:%u n%u", mode, uid, gid, nlink);
  std::string s = b;
  if (S_ISREG(mode) || S_ISLNK(mode)) s += " " + std::to_string(size);
  if (S_ISBLK(mode) || S_ISCHR(mode)) s += " dev " + std::to_string(rdev);
  if (S_ISLNK(mode)) s += " -> " + target;
  return s;
}

View host_view(const std::string& root, std::map<std::string, std::string>* files) {
  View v;
  for (auto& de : sfs::recursive_directory_iterator(root)) {
    std::string p = de.path().string(), rel = p.substr(root.size());
    struct stat st;
    ::lstat(p.c_str(), &st);
    std::string target = S_ISLNK(st.st_mode) ? sfs::read_symlink(p).string() : "";
    if (S_ISREG(st.st_mode)) (*files)[rel] = rstest::read_text(p);
    unsigned ma = major(st.st_rdev), mi = minor(st.st_rdev);
    v[rel] = line(st.st_mode, st.st_uid, st.st_gid, uint32_t(st.st_nlink), uint64_t(st.st_size),
                  ma << 8 | (mi & 0xff) | (mi & ~0xffu) << 12, target);
  }
  return v;
}

View table_view(void* fs, const std::string& top, std::map<std::string, std::string>* files) {
  std::vector<fs_node> nodes;
  EXPECT_EQ(ubifs_fs_ops.walk(fs, top.c_str(), &nodes), 0);
  View v;
  for (const fs_node& n : nodes) {
    if (n.path == top) continue;
    std::string rel = n.path.substr(top == "/" ? 0 : top.size());
    const fs_attr& a = n.attr;
    v[rel] = line(a.mode, a.uid, a.gid, a.nlink, a.size, a.rdev, a.target);
    if (S_ISREG(a.mode)) {
      std::string got(a.size, '\0');
      long long r = ubifs_fs_ops.pread(fs, n.path.c_str(), got.data(), got.size(), 0);
      (*files)[rel] = r == (long long)a.size ? got : "<read " + std::to_string(r) + ">";
    }
  }
  return v;
}

// A host tree with every kind of entry the writer stores.
void make_tree(const std::string& src) {
  auto file = [&](const std::string& p, const std::string& text, mode_t m) {
    rstest::write_text(src + p, text);
    ::chmod((src + p).c_str(), m);
  };
  sfs::create_directories(src + "/etc/init.d");
  sfs::create_directories(src + "/usr/lib/deep");
  sfs::create_directories(src + "/empty");
  file("/zero", "", 0644);
  file("/etc/issue", "hello box\n", 0644);
  file("/etc/init.d/rcS", "#!/bin/sh\nmount -a\n", 04750);
  std::string text;
  while (text.size() < 70000) text += "line " + std::to_string(text.size()) + " of a compressible log\n";
  file("/usr/lib/text.log", text, 0644);
  std::vector<uint8_t> noise = rstest::random_bytes(4096 * 5 + 123, 7);
  file("/usr/lib/noise.bin", std::string(noise.begin(), noise.end()), 0755);
  file("/block", std::string(4096, 'b'), 0600);
  rstest::write_text(src + "/sparse", "start");
  ::truncate((src + "/sparse").c_str(), 40000);
  ::link((src + "/etc/issue").c_str(), (src + "/etc/issue.net").c_str());
  sfs::create_symlink("issue", src + "/etc/motd");
  sfs::create_symlink(std::string(300, 'x'), src + "/long-link");
  ::mkfifo((src + "/fifo").c_str(), 0620);
  if (::geteuid() == 0) {
    ::mknod((src + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3));
    ::mknod((src + "/ttyS300").c_str(), S_IFCHR | 0600, makedev(4, 300));
    ::lchown((src + "/etc/init.d/rcS").c_str(), 1000, 2000);
    ::lchown((src + "/usr").c_str(), 3, 4);
  }
  ::setxattr((src + "/etc/issue").c_str(), "user.comment", "greeting", 8, 0);
  ::setxattr((src + "/usr").c_str(), "user.dir", "yes", 3, 0);
}

struct Build {
  const char* compr;
  const Geometry* g;
  const char* key_hash;
};
void PrintTo(const Build& b, std::ostream* os) { *os << b.compr << "_" << b.g->label << "_" << b.key_hash; }

class Built : public testing::TestWithParam<Build> {};

// Every entry, byte and xattr of the host tree reads back from the built image.
TEST_P(Built, HostTreeReadsBackEntryForEntry) {
  const Build& c = GetParam();
  rstest::TempDir d;
  std::string src = d.file("root");
  sfs::create_directories(src);
  make_tree(src);
  rs::ubifs::mkfs_params p;
  p.min_io = c.g->min_io, p.leb_size = c.g->leb, p.max_leb_cnt = c.g->max_lebs;
  p.compr = c.compr, p.key_hash = c.key_hash;
  std::vector<uint8_t> img;
  std::string why;
  ASSERT_TRUE(rs::ubifs::build_from_dir(src, p, &img, &why)) << why;
  ASSERT_EQ(img.size() % c.g->leb, 0u);
  Loaded l(img);
  ASSERT_TRUE(l.fs);
  std::map<std::string, std::string> want_files, got_files;
  View want = host_view(src, &want_files);
  EXPECT_EQ(table_view(l.fs, "/", &got_files), want);
  EXPECT_EQ(got_files, want_files);
  fs_xattrs x;
  ASSERT_EQ(ubifs_fs_ops.get_xattrs(l.fs, "/etc/issue.net", &x), 0);
  EXPECT_EQ(x, (fs_xattrs{{"user.comment", {'g', 'r', 'e', 'e', 't', 'i', 'n', 'g'}}}));
  ASSERT_EQ(ubifs_fs_ops.get_xattrs(l.fs, "/usr", &x), 0);
  EXPECT_EQ(x, (fs_xattrs{{"user.dir", {'y', 'e', 's'}}}));
  fs_attr a, b;
  ASSERT_EQ(ubifs_fs_ops.stat(l.fs, "/etc/issue", &a), 0);
  ASSERT_EQ(ubifs_fs_ops.stat(l.fs, "/etc/issue.net", &b), 0);
  EXPECT_EQ(a.ino, b.ino);
  // Compressible blocks use the chosen method, noise stays plain (not smaller when compressed).
  auto r = open_reader(img, c.g->leb);
  ASSERT_TRUE(r);
  std::vector<rs::ubifs::raw_block> blocks;
  ASSERT_EQ(r->data_nodes("/usr/lib/text.log", &blocks), 0);
  ASSERT_EQ(blocks.size(), 18u);
  uint16_t want_compr = uint16_t(std::string(c.compr) == "lzo" ? 1 : std::string(c.compr) == "zlib" ? 2
                                 : std::string(c.compr) == "zstd" ? 3 : 0);
  for (auto& k : blocks) EXPECT_EQ(rs::load_le16(k.node + 44), want_compr) << k.block;
  ASSERT_EQ(r->data_nodes("/usr/lib/noise.bin", &blocks), 0);
  for (auto& k : blocks) EXPECT_EQ(rs::load_le16(k.node + 44), 0) << k.block;
  ASSERT_EQ(r->data_nodes("/sparse", &blocks), 0);
  EXPECT_EQ(blocks.size(), 1u) << "the all-zero blocks are holes";
}

INSTANTIATE_TEST_SUITE_P(Ubifs, Built,
                         testing::Values(Build{"lzo", &k2k, "r5"}, Build{"zlib", &k2k, "r5"},
                                         Build{"zstd", &k512, "r5"}, Build{"none", &k512, "test"},
                                         Build{"zlib", &k512, "test"}),
                         [](const auto& i) {
                           return std::string(i.param.compr) + "_" + i.param.g->label + "_" + i.param.key_hash;
                         });

// ---- against mkfs.ubifs ------------------------------------------------------

struct Shape {
  const char* label;
  uint32_t min_io, leb, max_lebs;
  int files;  // small files, all in one LEB: the layout is the same whoever orders the nodes
};
void PrintTo(const Shape& s, std::ostream* os) { *os << s.label; }
class LikeMkfs : public testing::TestWithParam<Shape> {};

// The superblock's sizes, the master's accounting and the LPT bytes are what
// mkfs.ubifs gives the same tree (node order and inode numbers aside).
TEST_P(LikeMkfs, GeometryAccountingAndLptMatch) {
  if (!tools()) GTEST_SKIP() << "mtd-utils is not installed";
  const Shape& s = GetParam();
  rstest::TempDir d;
  std::string src = d.file("root");
  sfs::create_directories(src + "/dir");
  for (int i = 0; i < s.files; ++i) rstest::write_text(src + "/dir/f" + std::to_string(i), "x" + std::to_string(i));
  ASSERT_EQ(run_ok("mkfs.ubifs -q -m " + std::to_string(s.min_io) + " -e " + std::to_string(s.leb) + " -c " +
                   std::to_string(s.max_lebs) + " -r " + shell_quote(src) + " -o " + shell_quote(d.file("m.img"))),
            "");
  std::vector<uint8_t> theirs = rstest::read_bytes(d.file("m.img")), ours;
  rs::ubifs::mkfs_params p;
  p.min_io = s.min_io, p.leb_size = s.leb, p.max_leb_cnt = s.max_lebs;
  std::string why;
  ASSERT_TRUE(rs::ubifs::build_from_dir(src, p, &ours, &why)) << why;
  ASSERT_EQ(ours.size(), theirs.size()) << "LEB count";
  // Superblock: flags, sizes, journal and LPT geometry, everything but the UUID.
  auto sb_fields = [](const std::vector<uint8_t>& b) {
    std::vector<uint8_t> f(b.begin() + 24, b.begin() + 108);
    return f;
  };
  EXPECT_EQ(sb_fields(ours), sb_fields(theirs));
  // Master: the root's place differs (mkfs.ubifs orders nodes otherwise), the rest must not.
  const uint8_t *mo = ours.data() + s.leb, *mt = theirs.data() + s.leb;
  const char* names[] = {"flags", "log_lnum", "gc_lnum", "ihead_lnum", "ihead_offs", "lpt_lnum", "lpt_offs",
                         "nhead_lnum", "nhead_offs", "ltab_lnum", "ltab_offs", "lsave_lnum", "lsave_offs",
                         "lscan_lnum", "empty_lebs", "idx_lebs", "leb_cnt"};
  const int at32[] = {40, 44, 60, 64, 68, 120, 124, 128, 132, 136, 140, 144, 148, 152, 156, 160, 164};
  for (size_t i = 0; i < std::size(at32); ++i)
    EXPECT_EQ(rs::load_le32(mo + at32[i]), rs::load_le32(mt + at32[i])) << names[i];
  const char* names64[] = {"highest_inum", "index_size", "total_free", "total_dirty", "total_used", "total_dead",
                           "total_dark"};
  const int at64[] = {24, 72, 80, 88, 96, 104, 112};
  for (size_t i = 0; i < std::size(at64); ++i)
    EXPECT_EQ(rs::load_le64(mo + at64[i]), rs::load_le64(mt + at64[i])) << names64[i];
  EXPECT_EQ(rs::load_le32(mo + 56), rs::load_le32(mt + 56)) << "root_len";
  // The LPT area byte for byte, but for the big model's save table: mkfs.ubifs
  // lists LEBs beyond leb_cnt there, which the kernel refuses until it has
  // grown the volume; ours lists only LEBs that exist, as the kernel's own.
  uint32_t log = rs::load_le32(ours.data() + 56), lpt = rs::load_le32(ours.data() + 60);
  size_t from = size_t(3 + log) * s.leb, to = from + size_t(lpt) * s.leb;
  if (rs::load_le32(ours.data() + 28) & 2) {
    size_t lsave = size_t(rs::load_le32(mo + 144)) * s.leb + rs::load_le32(mo + 148);
    size_t ltab = size_t(rs::load_le32(mo + 136)) * s.leb + rs::load_le32(mo + 140);
    ASSERT_LT(lsave, ltab);
    std::fill(ours.begin() + long(lsave), ours.begin() + long(ltab), 0);
    std::fill(theirs.begin() + long(lsave), theirs.begin() + long(ltab), 0);
  }
  EXPECT_TRUE(std::equal(ours.begin() + long(from), ours.begin() + long(to), theirs.begin() + long(from)));
}

INSTANTIATE_TEST_SUITE_P(Ubifs, LikeMkfs,
                         testing::Values(Shape{"2k_64", 2048, 126976, 64, 3}, Shape{"512_300", 512, 15872, 300, 40},
                                         Shape{"2k_2048", 2048, 126976, 2048, 200},
                                         Shape{"512_4000_big_lpt", 512, 15872, 4000, 20}),
                         [](const auto& i) { return std::string(i.param.label); });

}  // namespace
