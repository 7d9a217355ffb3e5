// UBI images from ubinize around UBIFS from mkfs.ubifs, read through a type-7
// partition: the volume table and headers as the ini and the command line
// said, every entry of the host tree with its bytes, modes, owners, links,
// device numbers and xattrs; a journal newer than the index is replayed;
// edits of a bare UBIFS are saved; mutated images open within bounds or are refused.
#include "ubifs/ubifs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

#include "core/fs_contract.h"
#include "fixture.h"
#include "testutil.h"
#include "ubi/ubi.h"
#include "util/crc32.h"
#include "util/endian.h"

namespace {

namespace sfs = std::filesystem;
using rstest::run_command;
using rstest::shell_quote;

struct Geometry {
  const char* label;
  const char* mkfs;     // mkfs.ubifs flash options
  const char* ubinize;  // ubinize flash options
  uint32_t peb, vid, data, leb;
};
const Geometry kLargePage{"2k", "-m 2048 -e 126976 -c 64", "-p 128KiB -m 2048", 131072, 2048, 4096, 126976};
// Sub-pages: the VID header shares the first page with the EC header.
const Geometry kSmallPage{"512", "-m 512 -e 15872 -c 300", "-p 16KiB -m 512 -s 256", 16384, 256, 512, 15872};

struct Case {
  const char* compr;
  const Geometry* g;
  const char* keyhash;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.compr << "_" << c.g->label << "_" << c.keyhash; }

constexpr uint32_t kSeq = 0x5eed1234;

bool xattrs_work(const std::string& dir) {
  std::string f = dir + "/.probe";
  rstest::write_text(f, "");
  bool ok = ::setxattr(f.c_str(), "user.probe", "1", 1, 0) == 0;
  ::unlink(f.c_str());
  return ok;
}

// A box's root: sizes around the 4 KiB block, compressible and not, a file
// with a hole, unusual modes and owners, links of both kinds, a fifo, device
// nodes (as root) and xattrs on a file and a directory.
void make_tree(const std::string& src, bool xattrs) {
  auto file = [&](const std::string& p, const std::string& text, mode_t m) {
    rstest::write_text(src + p, text);
    ::chmod((src + p).c_str(), m);
  };
  sfs::create_directories(src + "/etc/init.d");
  sfs::create_directories(src + "/usr/lib/deep/er/still");
  sfs::create_directories(src + "/empty");
  sfs::create_directories(src + "/tmp");
  ::chmod((src + "/tmp").c_str(), 01777);
  file("/zero", "", 0644);
  file("/etc/issue", "hello box\n", 0644);
  file("/etc/init.d/rcS", "#!/bin/sh\nmount -a\n", 0750);
  file("/setuid", "s", 04755);
  file("/secret", "no access\n", 0);
  file("/usr/lib/deep/er/still/leaf", "deep\n", 02640);
  std::string text;
  while (text.size() < 70000) text += "line " + std::to_string(text.size()) + " of a compressible log\n";
  file("/usr/lib/text.log", text, 0644);
  std::vector<uint8_t> noise = rstest::random_bytes(4096 * 7 + 123, 7);
  file("/usr/lib/noise.bin", std::string(noise.begin(), noise.end()), 0755);
  file("/block", std::string(4096, 'b'), 0644);
  // A hole between two written blocks.
  {
    std::string p = src + "/sparse";
    rstest::write_text(p, "start");
    ::truncate(p.c_str(), 40000);
    FILE* f = std::fopen(p.c_str(), "r+");
    std::fseek(f, 30000, SEEK_SET);
    std::fputs("middle", f);
    std::fclose(f);
  }
  ::link((src + "/etc/issue").c_str(), (src + "/etc/issue.net").c_str());
  ::link((src + "/usr/lib/noise.bin").c_str(), (src + "/noise.hard").c_str());
  sfs::create_symlink("issue", src + "/etc/motd");
  sfs::create_symlink("/proc/self/mounts", src + "/etc/mtab");
  sfs::create_symlink(std::string(300, 'x'), src + "/long-link");
  ::mkfifo((src + "/fifo").c_str(), 0620);
  if (::geteuid() == 0) {
    ::mknod((src + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3));
    ::mknod((src + "/sda1").c_str(), S_IFBLK | 0660, makedev(8, 1));
    ::mknod((src + "/ttyS300").c_str(), S_IFCHR | 0600, makedev(4, 300));
    ::lchown((src + "/etc/init.d/rcS").c_str(), 1000, 2000);
    ::lchown((src + "/etc/motd").c_str(), 65534, 7);
    ::lchown((src + "/usr").c_str(), 3, 4);
  }
  if (xattrs) {
    for (auto& [p, cmd] :
         std::vector<std::pair<std::string, std::string>>{{"/etc/issue", "-n user.comment -v 'greeting'"},
                                                          {"/etc/issue", "-n user.bin -v 0x00ff10"},
                                                          {"/usr", "-n user.dir -v yes"}}) {
      rstest::RunResult r = run_command("setfattr " + cmd + " " + shell_quote(src + p));
      EXPECT_EQ(r.status, 0) << r.err;
    }
  }
  struct timeval tv[2] = {{1500000000, 0}, {1500000000, 0}};
  ::lutimes((src + "/etc/issue").c_str(), tv);
}

// path -> "mode uid:gid nlink size [dev] [-> target]" for the host tree and for the image.
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
    std::string target;
    if (S_ISLNK(st.st_mode)) target = sfs::read_symlink(p).string();
    if (S_ISREG(st.st_mode)) (*files)[rel] = rstest::read_text(p);
    unsigned ma = major(st.st_rdev), mi = minor(st.st_rdev);
    uint32_t rdev = ma << 8 | (mi & 0xff) | (mi & ~0xffu) << 12;
    v[rel] = line(st.st_mode, st.st_uid, st.st_gid, uint32_t(st.st_nlink), uint64_t(st.st_size), rdev, target);
  }
  return v;
}

struct Walked {
  View view;
  std::map<std::string, uint64_t> ino;
  std::string prefix;
};
int collect(const char* path, const flash_stat_s* st, void* user) {
  auto* w = static_cast<Walked*>(user);
  std::string p = path;
  if (p.size() <= w->prefix.size()) return 0;
  std::string rel = p.substr(w->prefix.size());
  w->view[rel] = line(st->mode, st->uid, st->gid, st->nlink, st->size, st->rdev, st->target);
  w->ino[rel] = st->ino;
  return 0;
}

std::string run_ok(const std::string& cmd) {
  rstest::RunResult r = run_command(cmd);
  return r.status == 0 ? "" : cmd + ": " + r.out + r.err;
}

// A flash image holding `content` as the type-7 partition UBI.
std::vector<uint8_t> flash_with(const std::vector<uint8_t>& content) {
  rstest::FixtureTable t;
  t.format = 4;
  rstest::FixturePart boot, table, ubi;
  boot.name = "BOOT";
  boot.total = 0x10000;
  boot.content.assign(0x100, 0x5a);
  table.name = "TABLE";
  table.start = 0x10000;
  table.total = 0x10000;
  ubi.name = "UBI";
  ubi.start = 0x20000;
  ubi.total = uint32_t((content.size() + 0xffff) & ~size_t(0xffff));
  ubi.type = FS_UBIFS;
  ubi.content = content;
  t.parts = {boot, table, ubi};
  for (size_t i = 0; i < t.parts.size(); ++i) t.parts[i].id = uint8_t(i);
  return rstest::build_image(t, 0x20000 + ubi.total, 0x10000);
}

// Whether mkfs.ubifs stored any xattr entry (a node of type 3 with its CRC right):
// mtd-utils built without xattr support drops them silently.
bool has_xattr_nodes(const std::vector<uint8_t>& img) {
  for (size_t at = 0; at + 56 <= img.size(); at += 8) {
    const uint8_t* n = img.data() + at;
    uint32_t len = rs::load_le32(n + 16);
    if (rs::load_le32(n) == 0x06101831 && n[20] == 3 && len >= 56 && at + len <= img.size() &&
        (rs::crc32_of(n + 8, len - 8) ^ 0xffffffffu) == rs::load_le32(n + 4))
      return true;
  }
  return false;
}

bool tools() {
  return rstest::have_tool("mkfs.ubifs") && rstest::have_tool("ubinize") && rstest::have_tool("setfattr");
}

class Images : public testing::TestWithParam<Case> {};

TEST_P(Images, VolumesAndEveryEntryReadAsTheToolsWroteThem) {
  if (!tools()) GTEST_SKIP() << "mtd-utils (mkfs.ubifs, ubinize) or attr (setfattr) is not installed";
  const Case& c = GetParam();
  rstest::TempDir d;
  std::string src = d.file("root");
  sfs::create_directories(src);
  bool xattrs = xattrs_work(d.path());
  make_tree(src, xattrs);
  std::vector<uint8_t> blob = rstest::random_bytes(40000, 3);  // three LEBs at 16 KiB
  rstest::write_bytes(d.file("kernel.bin"), blob);
  ASSERT_EQ(run_ok(std::string("mkfs.ubifs -q ") + c.g->mkfs + " -x " + c.compr + " -k " + c.keyhash + " -r " +
                   shell_quote(src) + " -o " + shell_quote(d.file("fs.ubifs"))),
            "");
  rstest::write_text(d.file("ubi.ini"), "[kernel]\nmode=ubi\nimage=" + d.file("kernel.bin") +
                                            "\nvol_id=0\nvol_type=static\nvol_name=kernel\n"
                                            "[rootfs]\nmode=ubi\nimage=" +
                                            d.file("fs.ubifs") +
                                            "\nvol_id=3\nvol_type=dynamic\nvol_size=4MiB\nvol_name=rootfs\n"
                                            "vol_flags=autoresize\n");
  ASSERT_EQ(run_ok(std::string("ubinize -o ") + shell_quote(d.file("ubi.img")) + " " + c.g->ubinize + " -Q " +
                   std::to_string(kSeq) + " " + shell_quote(d.file("ubi.ini")) + " 2>/dev/null"),
            "");
  std::vector<uint8_t> ubi = rstest::read_bytes(d.file("ubi.img"));
  // xattrs are checked where this mkfs.ubifs stores them (the journal test covers the reading).
  if (xattrs && !has_xattr_nodes(rstest::read_bytes(d.file("fs.ubifs")))) xattrs = false;

  // The UBI layer as the ini and the command line said.
  std::string why;
  auto img = rs::ubi::open(ubi.data(), ubi.size(), &why);
  ASSERT_TRUE(img) << why;
  EXPECT_EQ(img->peb_size, c.g->peb);
  EXPECT_EQ(img->vid_hdr_offset, c.g->vid);
  EXPECT_EQ(img->data_offset, c.g->data);
  EXPECT_EQ(img->leb_size, c.g->leb);
  EXPECT_EQ(img->image_seq, kSeq);
  EXPECT_EQ(img->table_copies_ok, 2u);
  ASSERT_EQ(img->volumes.size(), 2u);
  const rs::ubi::volume &k = img->volumes[0], &r = img->volumes[1];
  EXPECT_EQ(k.id, 0u);
  EXPECT_EQ(k.name, "kernel");
  EXPECT_EQ(k.type, rs::ubi::kStatic);
  EXPECT_EQ(k.flags, 0);
  EXPECT_EQ(k.used_bytes, blob.size());
  EXPECT_EQ(k.used_ebs, (blob.size() + c.g->leb - 1) / c.g->leb);
  EXPECT_EQ(r.id, 3u);
  EXPECT_EQ(r.name, "rootfs");
  EXPECT_EQ(r.type, rs::ubi::kDynamic);
  EXPECT_EQ(r.flags, rs::ubi::kFlagAutoresize);
  EXPECT_EQ(r.reserved_pebs, ((4u << 20) + c.g->leb - 1) / c.g->leb);
  for (const rs::ubi::peb& b : img->pebs) {
    EXPECT_NE(b.state, rs::ubi::peb::kBad);
    EXPECT_EQ(b.ec.image_seq, kSeq);
  }

  // Every entry through the library, against the host tree.
  rstest::write_bytes(d.file("flash.bin"), flash_with(ubi));
  rstest::Image f(flash_load_bin(d.file("flash.bin").c_str()));
  ASSERT_TRUE(f.f);
  ASSERT_TRUE(f.part("UBI") && f.part("UBI")->fs) << "the UBI partition did not open";
  std::map<std::string, std::string> files;
  View want = host_view(src, &files);
  Walked w;
  w.prefix = "UBI/rootfs";
  ASSERT_EQ(flash_walk(f.f, "UBI/rootfs", -1, collect, &w), 0);
  EXPECT_EQ(w.view, want);
  EXPECT_EQ(w.ino["/etc/issue"], w.ino["/etc/issue.net"]);
  EXPECT_EQ(w.ino["/usr/lib/noise.bin"], w.ino["/noise.hard"]);
  EXPECT_NE(w.ino["/etc/issue"], w.ino["/noise.hard"]);
  for (auto& [p, content] : files) {
    std::string got(content.size() + 10, '\0');
    long long n = flash_pread(f.f, ("UBI/rootfs" + p).c_str(), got.data(), got.size(), 0);
    ASSERT_EQ(n, (long long)content.size()) << p;
    got.resize(size_t(n));
    EXPECT_TRUE(got == content) << p;
  }
  // Reads inside a block and across block ends.
  std::string text = files["/usr/lib/text.log"], part(5000, '\0');
  ASSERT_EQ(flash_pread(f.f, "UBI/rootfs/usr/lib/text.log", part.data(), part.size(), 4000), 5000);
  EXPECT_EQ(part, text.substr(4000, 5000));
  flash_stat_s st;
  ASSERT_EQ(flash_stat(f.f, "UBI/rootfs/etc/issue", &st), 0);
  EXPECT_EQ(st.mtime, 1500000000);

  // The static volume is a file of its used bytes.
  ASSERT_EQ(flash_stat(f.f, "UBI/kernel", &st), 0);
  EXPECT_TRUE(S_ISREG(st.mode));
  std::vector<uint8_t> back(blob.size() + 100);
  ASSERT_EQ(flash_pread(f.f, "UBI/kernel", back.data(), back.size(), 0), (long long)blob.size());
  back.resize(blob.size());
  EXPECT_EQ(back, blob);
  Walked top;
  top.prefix = "UBI";
  ASSERT_EQ(flash_walk(f.f, "UBI", 1, collect, &top), 0);
  EXPECT_EQ(top.view.size(), 2u);
  EXPECT_TRUE(top.view.count("/kernel") && top.view.count("/rootfs"));

  if (xattrs) {
    char buf[256];
    long long n = flash_getxattr(f.f, "UBI/rootfs/etc/issue", "user.comment", buf, sizeof buf);
    ASSERT_EQ(n, 8);
    EXPECT_EQ(std::string(buf, 8), "greeting");
    n = flash_getxattr(f.f, "UBI/rootfs/etc/issue.net", "user.bin", buf, sizeof buf);
    ASSERT_EQ(n, 3) << "a hard link shows its inode's xattrs";
    EXPECT_EQ(std::string(buf, 3), std::string("\x00\xff\x10", 3));
    EXPECT_EQ(flash_getxattr(f.f, "UBI/rootfs/usr", "user.dir", buf, sizeof buf), 3);
    EXPECT_EQ(flash_listxattr(f.f, "UBI/rootfs/zero", buf, sizeof buf), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Ubifs, Images,
                         testing::Values(Case{"lzo", &kLargePage, "r5"}, Case{"zlib", &kLargePage, "r5"},
                                         Case{"zstd", &kLargePage, "r5"}, Case{"none", &kLargePage, "r5"},
                                         Case{"favor_lzo", &kLargePage, "r5"}, Case{"lzo", &kSmallPage, "r5"},
                                         Case{"zlib", &kSmallPage, "test"}),
                         [](const testing::TestParamInfo<Case>& i) {
                           return std::string(i.param.compr) + "_" + i.param.g->label + "_" + i.param.keyhash;
                         });

// ---- a bare UBIFS and its edits, the journal ---------------------------

uint32_t media_crc(const uint8_t* p, size_t n) { return rs::crc32_of(p, n) ^ 0xffffffffu; }

// A node of `type` with `body` after the common header, CRC set.
std::vector<uint8_t> make_node(uint8_t type, uint64_t sqnum, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> n(24 + body.size());
  rs::store_le32(n.data(), 0x06101831);
  rs::store_le64(n.data() + 8, sqnum);
  rs::store_le32(n.data() + 16, uint32_t(n.size()));
  n[20] = type;
  std::copy(body.begin(), body.end(), n.begin() + 24);
  rs::store_le32(n.data() + 4, media_crc(n.data() + 8, n.size() - 8));
  return n;
}
void put_key(std::vector<uint8_t>& b, size_t at, uint64_t inum, uint32_t type, uint32_t val) {
  rs::store_le32(b.data() + at, uint32_t(inum));
  rs::store_le32(b.data() + at + 4, type << 29 | val);
}
std::vector<uint8_t> ino_node(uint64_t sq, uint64_t inum, uint32_t mode, uint64_t size, uint32_t nlink) {
  std::vector<uint8_t> b(160 - 24, 0);
  put_key(b, 0, inum, 0, 0);
  rs::store_le64(b.data() + 16, sq);  // creat_sqnum
  rs::store_le64(b.data() + 24, size);
  rs::store_le64(b.data() + 48, 1600000000);  // mtime
  rs::store_le32(b.data() + 68, nlink);
  rs::store_le32(b.data() + 72, 5);
  rs::store_le32(b.data() + 76, 6);
  rs::store_le32(b.data() + 80, mode);
  return make_node(0, sq, b);
}
std::vector<uint8_t> data_node(uint64_t sq, uint64_t inum, uint32_t block, const std::string& bytes) {
  std::vector<uint8_t> b(48 - 24 + bytes.size(), 0);
  put_key(b, 0, inum, 1, block);
  rs::store_le32(b.data() + 16, uint32_t(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), b.begin() + 24);
  return make_node(1, sq, b);
}
std::vector<uint8_t> dent_node(uint64_t sq, uint64_t dir, const std::string& name, uint64_t inum) {
  std::vector<uint8_t> b(56 - 24 + name.size() + 1, 0);
  put_key(b, 0, dir, 2, rs::ubifs::name_hash(0, name));
  rs::store_le64(b.data() + 16, inum);
  rs::store_le16(b.data() + 26, uint16_t(name.size()));
  std::copy(name.begin(), name.end(), b.begin() + 32);
  return make_node(2, sq, b);
}

struct Bare {
  std::vector<uint8_t> img;
  std::map<std::string, std::string> files;
  std::string why;
};
constexpr uint32_t kLeb = 15872;

// mkfs.ubifs of a small tree, as a bare image of all its LEBs.
Bare make_bare(const std::string& dir, const char* compr = "lzo") {
  Bare b;
  std::string src = dir + "/bare";
  sfs::create_directories(src + "/sub");
  rstest::write_text(src + "/gone", "to be removed\n");
  std::vector<uint8_t> noise = rstest::random_bytes(20000, 9);
  rstest::write_bytes(src + "/trunc.bin", noise);
  rstest::write_text(src + "/sub/kept", "kept\n");
  b.why = run_ok(std::string("mkfs.ubifs -q -m 512 -e 15872 -c 40 -x ") + compr + " -r " + shell_quote(src) + " -o " +
                 shell_quote(dir + "/bare.ubifs"));
  if (!b.why.empty()) return b;
  b.img = rstest::read_bytes(dir + "/bare.ubifs");
  b.img.resize(size_t(40) * kLeb, 0xff);
  b.files["/gone"] = "to be removed\n";
  b.files["/trunc.bin"] = std::string(noise.begin(), noise.end());
  b.files["/sub/kept"] = "kept\n";
  return b;
}

TEST(Bare, AUbifsWithoutUbiIsTheRootAndEditsAreSaved) {
  if (!tools()) GTEST_SKIP() << "mtd-utils is not installed";
  rstest::TempDir d;
  Bare b = make_bare(d.path(), "zstd");
  ASSERT_EQ(b.why, "");
  rstest::write_bytes(d.file("flash.bin"), flash_with(b.img));
  {
    rstest::Image f(flash_load_bin(d.file("flash.bin").c_str()));
    ASSERT_TRUE(f.f && f.part("UBI") && f.part("UBI")->fs);
    for (auto& [p, content] : b.files) {
      std::string got(content.size(), '\0');
      EXPECT_EQ(flash_pread(f.f, ("UBI" + p).c_str(), got.data(), got.size(), 0), (long long)content.size()) << p;
      EXPECT_TRUE(got == content) << p;
    }
    // Nothing edited: the same bytes.
    ASSERT_EQ(flash_save(f.f, d.file("same.bin").c_str(), 0), 0);
    EXPECT_EQ(rstest::read_bytes(d.file("same.bin")), rstest::read_bytes(d.file("flash.bin")));
    // Edits are seen at once and saved.
    ASSERT_EQ(flash_put(f.f, "UBI/new", "x", 1, 0640, 7, 8), 0);
    ASSERT_EQ(flash_remove(f.f, "UBI/gone"), 0);
    ASSERT_EQ(flash_mkdir(f.f, "UBI/dir", 0700), 0);
    ASSERT_EQ(flash_rename(f.f, "UBI/sub/kept", "UBI/dir/kept"), 0);
    ASSERT_EQ(flash_symlink(f.f, "dir/kept", "UBI/ln"), 0);
    ASSERT_EQ(flash_chmod(f.f, "UBI/trunc.bin", 0600), 0);
    flash_stat_s st;
    EXPECT_EQ(flash_stat(f.f, "UBI/gone", &st), -ENOENT);
    ASSERT_EQ(flash_save(f.f, d.file("saved.bin").c_str(), 0), 0);
  }
  rstest::Image g(flash_load_bin(d.file("saved.bin").c_str()));
  ASSERT_TRUE(g.f && g.part("UBI") && g.part("UBI")->fs);
  flash_stat_s st;
  EXPECT_EQ(flash_stat(g.f, "UBI/gone", &st), -ENOENT);
  ASSERT_EQ(flash_stat(g.f, "UBI/new", &st), 0);
  EXPECT_EQ(st.mode, uint32_t(S_IFREG | 0640));
  EXPECT_EQ(st.uid, 7u);
  ASSERT_EQ(flash_stat(g.f, "UBI/ln", &st), 0);
  EXPECT_STREQ(st.target, "dir/kept");
  ASSERT_EQ(flash_stat(g.f, "UBI/trunc.bin", &st), 0);
  EXPECT_EQ(st.mode, uint32_t(S_IFREG | 0600));
  for (auto [p, content] : std::map<std::string, std::string>{
           {"/dir/kept", b.files["/sub/kept"]}, {"/trunc.bin", b.files["/trunc.bin"]}, {"/new", "x"}}) {
    std::string got(content.size(), '\0');
    EXPECT_EQ(flash_pread(g.f, ("UBI" + p).c_str(), got.data(), got.size(), 0), (long long)content.size()) << p;
    EXPECT_TRUE(got == content) << p;
  }
}

// A journal bud appended after the last commit, as a box that lost power
// leaves it: a new file, a removed one, a truncated one. The log gets the
// reference to the bud after its commit start node.
TEST(Journal, BudNodesNewerThanTheIndexAreReplayed) {
  if (!tools()) GTEST_SKIP() << "mtd-utils is not installed";
  rstest::TempDir d;
  Bare b = make_bare(d.path(), "none");
  ASSERT_EQ(b.why, "");
  std::vector<uint8_t>& img = b.img;
  const uint8_t* sb = img.data();
  uint32_t log_lebs = rs::load_le32(sb + 56), lpt = rs::load_le32(sb + 60), orph = rs::load_le32(sb + 64);
  ASSERT_GT(40u, 3 + log_lebs + lpt + orph);
  // The master's log LEB and where its nodes end.
  const uint8_t* mst = img.data() + kLeb;
  uint32_t log_lnum = rs::load_le32(mst + 44);
  uint64_t sq = rs::load_le64(mst + 8) + 100;
  size_t log_at = size_t(log_lnum) * kLeb, end = 0;
  while (end + 24 <= kLeb && rs::load_le32(img.data() + log_at + end) == 0x06101831) {
    const uint8_t* n = img.data() + log_at + end;
    end += rs::load_le32(n + 16) + (n[20] == 5 ? rs::load_le32(n + 24) : 0);
    end = (end + 7) & ~size_t(7);
  }
  ASSERT_GT(end, 0u);
  uint32_t bud = 39;  // the last LEB: empty in mkfs.ubifs's image
  for (size_t i = 0; i < kLeb; ++i) ASSERT_EQ(img[size_t(bud) * kLeb + i], 0xff);

  // Inode numbers of the files from the index, through the reader.
  rs::ubifs::source src;
  src.leb_size = kLeb;
  src.leb_count = 40;
  src.leb = [&img](uint32_t l, uint32_t* len) {
    *len = kLeb;
    return img.data() + size_t(l) * kLeb;
  };
  std::string why;
  auto before = rs::ubifs::fs::open(src, 1 << 24, &why);
  ASSERT_TRUE(before) << why;
  rs::ubifs::attr gone, trunc;
  ASSERT_EQ(before->stat("/gone", &gone), 0);
  ASSERT_EQ(before->stat("/trunc.bin", &trunc), 0);
  uint64_t new_ino = before->info().highest_inum + 1;
  before.reset();

  std::vector<uint8_t> journal;
  auto add = [&](const std::vector<uint8_t>& n) {
    journal.insert(journal.end(), n.begin(), n.end());
    journal.resize((journal.size() + 7) & ~size_t(7), 0);
  };
  uint64_t ref_sq = sq;  // the reference is written before its bud's nodes
  std::string new_text = "written after the commit\n";
  add(data_node(++sq, new_ino, 0, new_text));
  add(ino_node(++sq, new_ino, 0100640, new_text.size(), 1));
  add(dent_node(++sq, 1, "new.txt", new_ino));
  add(dent_node(++sq, 1, "gone", 0));  // removed: the entry with no inode
  add(ino_node(++sq, gone.ino, 0100644, 0, 0));
  // Truncated to 5000 bytes: the cut block written again, the rest dropped.
  std::vector<uint8_t> trun(56 - 24, 0);
  rs::store_le32(trun.data(), uint32_t(trunc.ino));
  rs::store_le64(trun.data() + 16, 20000);
  rs::store_le64(trun.data() + 24, 5000);
  add(make_node(4, ++sq, trun));
  add(data_node(++sq, trunc.ino, 1, b.files["/trunc.bin"].substr(4096, 5000 - 4096)));
  add(ino_node(++sq, trunc.ino, 0100644, 5000, 1));
  // An xattr of /sub/kept: its entry and the inode holding the value.
  rs::ubifs::attr kept;
  {
    auto again = rs::ubifs::fs::open(src, 1 << 24, &why);
    ASSERT_TRUE(again && again->stat("/sub/kept", &kept) == 0);
  }
  std::vector<uint8_t> xent = dent_node(++sq, kept.ino, "user.note", new_ino + 1);
  xent[20] = 3;
  put_key(xent, 24, kept.ino, 3, rs::ubifs::name_hash(0, "user.note"));
  rs::store_le32(xent.data() + 4, media_crc(xent.data() + 8, xent.size() - 8));
  add(xent);
  std::vector<uint8_t> xino = ino_node(++sq, new_ino + 1, 0100644, 5, 1);
  xino.resize(160 + 5);
  std::memcpy(xino.data() + 160, "value", 5);
  rs::store_le32(xino.data() + 16, 165);
  rs::store_le32(xino.data() + 108, 0x20);  // an xattr inode
  rs::store_le32(xino.data() + 112, 5);
  rs::store_le32(xino.data() + 4, media_crc(xino.data() + 8, xino.size() - 8));
  add(xino);
  ASSERT_LT(journal.size(), kLeb);
  std::copy(journal.begin(), journal.end(), img.begin() + long(bud) * kLeb);
  std::vector<uint8_t> ref(64 - 24, 0);
  rs::store_le32(ref.data(), bud);
  rs::store_le32(ref.data() + 8, 1);  // the base head
  std::vector<uint8_t> refn = make_node(8, ref_sq, ref);
  std::copy(refn.begin(), refn.end(), img.begin() + long(log_at + end));

  auto after = rs::ubifs::fs::open(src, 1 << 24, &why);
  ASSERT_TRUE(after) << why;
  EXPECT_EQ(after->info().buds, 1u);
  EXPECT_EQ(after->info().replayed, 10u);
  rs::ubifs::attr a;
  EXPECT_EQ(after->stat("/gone", &a), -ENOENT);
  ASSERT_EQ(after->stat("/new.txt", &a), 0);
  EXPECT_EQ(a.mode, 0100640u);
  EXPECT_EQ(a.uid, 5u);
  EXPECT_EQ(a.size, new_text.size());
  std::string got(100, '\0');
  ASSERT_EQ(after->pread("/new.txt", got.data(), got.size(), 0), (long long)new_text.size());
  EXPECT_EQ(got.substr(0, new_text.size()), new_text);
  ASSERT_EQ(after->stat("/trunc.bin", &a), 0);
  EXPECT_EQ(a.size, 5000u);
  got.assign(6000, '\0');
  ASSERT_EQ(after->pread("/trunc.bin", got.data(), got.size(), 0), 5000);
  EXPECT_TRUE(got.substr(0, 5000) == b.files["/trunc.bin"].substr(0, 5000));
  ASSERT_EQ(after->stat("/sub/kept", &a), 0);
  rs::ubifs::xattrs xs;
  ASSERT_EQ(after->get_xattrs("/sub/kept", &xs), 0);
  ASSERT_EQ(xs.size(), 1u);
  EXPECT_EQ(xs[0].first, "user.note");
  EXPECT_EQ(std::string(xs[0].second.begin(), xs[0].second.end()), "value");
  Walked w;
  std::vector<rs::ubifs::entry> all;
  ASSERT_EQ(after->walk("/", &all), 0);
  for (auto& e : all) w.view[e.path] = "";
  EXPECT_EQ(w.view.size(), 5u) << "/, /new.txt, /sub, /sub/kept, /trunc.bin, and no xattr inode";

  // A bud whose reference points outside the main area is refused.
  rs::store_le32(refn.data() + 24, 1);
  rs::store_le32(refn.data() + 4, media_crc(refn.data() + 8, refn.size() - 8));
  std::copy(refn.begin(), refn.end(), img.begin() + long(log_at + end));
  EXPECT_FALSE(rs::ubifs::fs::open(src, 1 << 24, &why));
  EXPECT_NE(why.find("outside the main area"), std::string::npos) << why;
}

// ---- crafted input ----------------------------------------------------------

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return uint32_t(s >> 11);
  }
};

// Two volumes at 16 KiB PEBs: k, static, 3000 bytes; r, dynamic, the bare
// UBIFS of make_bare (bare.ubifs in `d`).
std::vector<uint8_t> small_ubi(const rstest::TempDir& d) {
  rstest::write_bytes(d.file("blob"), rstest::random_bytes(3000, 1));
  rstest::write_text(d.file("ubi.ini"), "[k]\nmode=ubi\nimage=" + d.file("blob") +
                                            "\nvol_id=0\nvol_type=static\nvol_name=k\n[r]\nmode=ubi\nimage=" +
                                            d.file("bare.ubifs") + "\nvol_id=1\nvol_type=dynamic\nvol_name=r\n");
  std::string why = run_ok("ubinize -o " + shell_quote(d.file("ubi.img")) + " -p 16KiB -m 512 -s 256 " +
                           shell_quote(d.file("ubi.ini")) + " 2>/dev/null");
  EXPECT_EQ(why, "");
  return why.empty() ? rstest::read_bytes(d.file("ubi.img")) : std::vector<uint8_t>();
}

// A damaged block of data fails the read of its own file only, with the reason.
TEST(Damage, ADataCrcMismatchFailsOnlyItsFile) {
  if (!tools()) GTEST_SKIP() << "mtd-utils is not installed";
  rstest::TempDir d;
  Bare b = make_bare(d.path());
  ASSERT_EQ(b.why, "");
  std::vector<uint8_t> ubi = small_ubi(d);
  ASSERT_FALSE(ubi.empty());
  std::string why;
  auto layout = rs::ubi::open(ubi.data(), ubi.size(), &why);
  ASSERT_TRUE(layout) << why;
  ASSERT_EQ(layout->volumes[0].name, "k");
  size_t static_at = size_t(layout->volumes[0].lebs[0]) * 16384 + layout->data_offset + 100;
  const fs_ops* ops = fs_ops_for(FS_UBIFS);
  void* h = ops->load(ubi.data(), uint32_t(ubi.size()), uint32_t(ubi.size()));
  ASSERT_TRUE(h);
  fs_attr a;
  ASSERT_EQ(ops->stat(h, "/r/trunc.bin", &a), 0);
  ops->release(h);
  // The first data node of /trunc.bin.
  size_t data_at = 0;
  for (size_t at = 0; at + 64 <= ubi.size() && !data_at; at += 8)
    if (rs::load_le32(ubi.data() + at) == 0x06101831 && ubi[at + 20] == 1 &&
        rs::load_le32(ubi.data() + at + 24) == uint32_t(a.ino) && rs::load_le32(ubi.data() + at + 28) == 1u << 29)
      data_at = at + 60;
  ASSERT_NE(data_at, 0u);
  ubi[static_at] ^= 1;
  ubi[data_at] ^= 1;
  testing::internal::CaptureStderr();
  h = ops->load(ubi.data(), uint32_t(ubi.size()), uint32_t(ubi.size()));
  ASSERT_TRUE(h);
  std::vector<char> buf(30000);
  EXPECT_EQ(ops->pread(h, "/k", buf.data(), buf.size(), 0), -EIO);
  EXPECT_EQ(ops->pread(h, "/r/trunc.bin", buf.data(), buf.size(), 0), -EIO);
  EXPECT_EQ(ops->pread(h, "/r/trunc.bin", buf.data(), 100, 8192), 100) << "other blocks still read";
  EXPECT_EQ(ops->pread(h, "/r/sub/kept", buf.data(), buf.size(), 0), 5);
  ops->release(h);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ubi: volume k LEB 0: data CRC mismatch\n"), std::string::npos) << err;
  EXPECT_NE(err.find("ubifs: /trunc.bin: node at LEB"), std::string::npos) << err;
  EXPECT_NE(err.find("CRC mismatch"), std::string::npos) << err;
}

// Seeded mutations of a small two-volume UBI image and of a bare UBIFS: each
// opens within two seconds and reads every file, or is refused with one line.
class Mutations : public testing::TestWithParam<bool> {};

TEST_P(Mutations, OpenWithinBoundsOrAreRefusedWithOneLine) {
  if (!tools()) GTEST_SKIP() << "mtd-utils is not installed";
  bool bare = GetParam();
  rstest::TempDir d;
  Bare b = make_bare(d.path());
  ASSERT_EQ(b.why, "");
  std::vector<uint8_t> ubi = small_ubi(d);
  ASSERT_FALSE(ubi.empty());
  const std::vector<uint8_t> base = bare ? rstest::read_bytes(d.file("bare.ubifs")) : ubi;
  const size_t block = bare ? kLeb : 16384;
  const fs_ops* ops = fs_ops_for(FS_UBIFS);
  ASSERT_TRUE(ops);
  int opened = 0, refused = 0;
#ifdef __SANITIZE_ADDRESS__
  constexpr int kMutations = 150;
#else
  constexpr int kMutations = 400;
#endif
  for (uint64_t seed = 0; seed < kMutations; ++seed) {
    std::vector<uint8_t> m = base;
    Rng r(seed);
    // Hit the headers and the UBIFS metadata most: the first pages of each block.
    int edits = 1 + int(r.next() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t blk = r.next() % (m.size() / block);
      size_t at = blk * block + (r.next() % 3 == 0 ? r.next() % block : r.next() % 2048);
      switch (r.next() % 4) {
        case 0:
          m[at] ^= uint8_t(1 << (r.next() % 8));
          break;
        case 1:
          m[at] = uint8_t(r.next());
          break;
        case 2:
          rs::store_le32(m.data() + std::min(at, m.size() - 4), r.next() % 0x20000);
          break;
        default:
          std::memset(m.data() + at, 0xff, std::min<size_t>(m.size() - at, 64));
          break;
      }
      // Half of the changes keep the node's CRC right, so that the checks behind it are reached.
      if (bare && r.next() % 2) {
        size_t node = at & ~size_t(7);
        while (node >= blk * block && rs::load_le32(m.data() + node) != 0x06101831) node -= 8;
        uint32_t len = node >= blk * block ? rs::load_le32(m.data() + node + 16) : 0;
        if (len >= 24 && node + len <= m.size() && node + len > at)
          rs::store_le32(m.data() + node + 4, media_crc(m.data() + node + 8, len - 8));
      }
    }
    testing::internal::CaptureStderr();
    auto t0 = std::chrono::steady_clock::now();
    void* h = ops->load(m.data(), uint32_t(m.size()), uint32_t(m.size()));
    if (h) {
      std::vector<fs_node> nodes;
      EXPECT_EQ(ops->walk(h, "/", &nodes), 0) << seed;
      std::vector<uint8_t> buf(1 << 16);
      for (const fs_node& n : nodes) {
        fs_attr a;
        EXPECT_EQ(ops->stat(h, n.path.c_str(), &a), 0) << seed << " " << n.path;
        if (!S_ISREG(n.attr.mode)) continue;
        for (uint64_t off = 0; off < n.attr.size && off < (1u << 20); off += buf.size()) {
          long long got = ops->pread(h, n.path.c_str(), buf.data(), buf.size(), off);
          if (got <= 0) break;
        }
        fs_xattrs x;
        ops->get_xattrs(h, n.path.c_str(), &x);
      }
      ops->release(h);
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(secs, 2.0) << "mutation " << seed;
    if (h) {
      ++opened;
    } else {
      ++refused;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "mutation " << seed << ": " << err;
    }
  }
  std::printf("%d mutations opened, %d refused\n", opened, refused);
  EXPECT_GT(opened, kMutations / 10) << "the mutations miss the readers";
  EXPECT_GT(refused, 0);
}

INSTANTIATE_TEST_SUITE_P(Ubifs, Mutations, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Bare" : "Ubi"; });

}  // namespace
