// squashfs 3.x: the reader against an image laid out by hand from the format
// description, the builder against unsquashfs (zlib-only images, magic swapped)
// and against our own reader (LZMA blocks).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "image3.h"
#include "squashfs/format3.h"
#include "squashfs/internal.h"
#include "squashfs/squashfs.h"
#include "squashfs_test_util.h"
#include "testutil.h"
#include "util/endian.h"

namespace {

using rstest::read_bytes;
using rstest::run_command;
using rstest::shell_quote;

using sqtest::Tree;

Tree load(std::vector<uint8_t>& img) { return Tree(squashfs_load_memory(img.data(), img.size())); }

// Loads any 3.x image straight through the 3.x reader, as the loader does for
// the LZMA magic; null when the reader refuses it.
Tree load3(std::vector<uint8_t>& img) {
  auto* d = new squashfs_data;
  d->version = 3;
  std::memcpy(d->super3.data(), img.data(), std::min<size_t>(119, img.size()));
  if (!rs::sqfs::read_image3(d, img.data(), img.size())) {
    if (d->root_entry) {
      squashfs_free(d->root_entry);
    } else {
      if (d->release_state) d->release_state(d);
      delete d;
    }
    return nullptr;
  }
  return Tree(d->root_entry);
}

bool big_endian(const char* magic) { return !std::strcmp(magic, "sqsh") || !std::strcmp(magic, "qshs"); }

uint16_t load16(const std::vector<uint8_t>& img, size_t at, bool be) {
  return be ? rs::load_be16(&img[at]) : rs::load_le16(&img[at]);
}

// Makes a tree rebuild as the 3.x kind named by `magic`.
void set_kind(squashfs_data* d, const char* magic) {
  std::memcpy(d->super3.data(), magic, 4);
  if (big_endian(magic))
    rs::store_be16(&d->super3[28], 3);
  else
    rs::store_le16(&d->super3[28], 3);
}

std::string content(squashfs_entry* root, const char* path) {
  squashfs_entry* e = squashfs_find(root, path);
  if (!e) return "<missing>";
  std::vector<uint8_t> v;
  if (squashfs_content(e, v) < 0) return "<unreadable>";
  return std::string(v.begin(), v.end());
}
std::string text(squashfs_entry* root, const char* path) { return content(root, path); }

std::vector<uint8_t> rebuild(squashfs_entry* root) {
  size_t len = 0;
  uint8_t* p = squashfs_mmap(root, &len);
  if (!p) return {};
  std::vector<uint8_t> v(p, p + len);
  free(p);
  return v;
}

TEST(Squashfs3Example, LoadsEveryAttribute) {
  auto img = example_image3();
  Tree root = load(img);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->image->version, 3);
  EXPECT_EQ(root->stbuf.st_mode, mode_t(040755));
  squashfs_entry* f = squashfs_find(root.get(), "/hello.txt");
  ASSERT_TRUE(f);
  EXPECT_EQ(text(root.get(), "/hello.txt"), "Hello, squashfs!\n");
  EXPECT_EQ(f->stbuf.st_mode, mode_t(0100644));
  EXPECT_EQ(f->stbuf.st_uid, 1000u);
  EXPECT_EQ(f->stbuf.st_gid, 100u);
  EXPECT_EQ(f->stbuf.st_mtime, 1234567890);
  squashfs_entry* l = squashfs_find(root.get(), "/link");
  ASSERT_TRUE(l);
  EXPECT_TRUE(S_ISLNK(l->stbuf.st_mode));
  EXPECT_EQ(text(root.get(), "/link"), "hello.txt");
  EXPECT_EQ(l->stbuf.st_gid, 0u);  // gid index 255: same as uid
}

TEST(Squashfs3Example, RebuildKeepsMinorAndSetsExportable) {
  auto img = example_image3();
  img[36] &= uint8_t(~0x80);  // loaded image without the exportable flag
  Tree root = load(img);
  ASSERT_TRUE(root);
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/added", "new file", 8));
  auto out = rebuild(root.get());
  ASSERT_GE(out.size(), 119u);
  EXPECT_EQ(out.size() % 4096, 0u);
  EXPECT_EQ(std::memcmp(out.data(), "shsq", 4), 0);
  EXPECT_EQ(rs::load_le16(&out[28]), 3);
  EXPECT_EQ(rs::load_le16(&out[30]), 1);
  EXPECT_EQ(out[36], 0xCB);
  Tree again = load(out);
  ASSERT_TRUE(again);
  EXPECT_EQ(text(again.get(), "/hello.txt"), "Hello, squashfs!\n");
  EXPECT_EQ(text(again.get(), "/link"), "hello.txt");
  EXPECT_EQ(text(again.get(), "/added"), "new file");
  EXPECT_EQ(squashfs_find(again.get(), "/hello.txt")->stbuf.st_uid, 1000u);
}

// The example under every 3.x magic: the plain ones are zlib-only, "sqsh" and
// "qshs" big-endian. Each loads, takes an edit and rebuilds as its own kind.
class Kinds3 : public ::testing::TestWithParam<const char*> {};

TEST_P(Kinds3, LoadsEditsAndRebuildsAsItsOwnKind) {
  const char* magic = GetParam();
  bool be = big_endian(magic);
  auto img = example_image3_as(magic);
  // mksquashfs 3.x leaves the unused 2.x fields of its superblock uninitialised.
  for (size_t at : {8, 12, 16, 20, 24, 32, 59}) std::fill_n(img.begin() + long(at), at == 32 ? 2 : 4, 0xA5);
  Tree root = load3(img);
  ASSERT_TRUE(root);
  EXPECT_EQ(text(root.get(), "/hello.txt"), "Hello, squashfs!\n");
  EXPECT_EQ(text(root.get(), "/link"), "hello.txt");
  squashfs_entry* f = squashfs_find(root.get(), "/hello.txt");
  EXPECT_EQ(f->stbuf.st_mode, mode_t(0100644));
  EXPECT_EQ(f->stbuf.st_uid, 1000u);
  EXPECT_EQ(f->stbuf.st_gid, 100u);
  EXPECT_EQ(f->stbuf.st_mtime, 1234567890);
  EXPECT_EQ(root->stbuf.st_mode, mode_t(040755));

  root->image->p3.flags &= uint8_t(~0x0B);  // compress, so that LZMA blocks can appear
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/hello.txt", "replaced", 8));
  ASSERT_TRUE(squashfs_mkdir(root.get(), "/d"));
  std::string big(70000, 'x');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = char('a' + i % 26);
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/d/new", big.data(), big.size()));
  squashfs_rm(root.get(), "/link");
  auto out = rebuild(root.get());
  ASSERT_GE(out.size(), 4096u);
  EXPECT_EQ(std::memcmp(out.data(), magic, 4), 0);
  EXPECT_EQ(load16(out, 28, be), 3);
  EXPECT_EQ(load16(out, 30, be), 1);
  uint32_t block_size = be ? rs::load_be32(&out[51]) : rs::load_le32(&out[51]);
  EXPECT_EQ(block_size, 131072u);
  bool lzma_magic = magic[0] == 's' ? magic[1] == 'h' : magic[0] == 'q';
  uint8_t lzma_hdr[5] = {0x5D, 0x00, 0x00, 0x02, 0x00};  // LZMA-alone header, dictionary 128 KiB
  bool has_lzma = std::search(out.begin() + 119, out.end(), lzma_hdr, lzma_hdr + 5) != out.end();
  EXPECT_EQ(has_lzma, lzma_magic) << "LZMA blocks belong to the LZMA magics only";

  Tree again = load3(out);
  ASSERT_TRUE(again);
  EXPECT_EQ(text(again.get(), "/hello.txt"), "replaced");
  EXPECT_EQ(text(again.get(), "/d/new"), big);
  EXPECT_FALSE(squashfs_find(again.get(), "/link"));
  EXPECT_EQ(again->stbuf.st_mode, mode_t(040755));

  if (lzma_magic || !rstest::have_tool("unsquashfs")) return;
  // The outside reader knows both byte orders of plain 3.x images.
  rstest::TempDir dir;
  std::string path = dir.file("img");
  rstest::write_bytes(path, out);
  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(dir.file("x")) + " " + shell_quote(path));
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(read_bytes(dir.file("x/hello.txt")), std::vector<uint8_t>({'r', 'e', 'p', 'l', 'a', 'c', 'e', 'd'}));
  EXPECT_EQ(read_bytes(dir.file("x/d/new")), std::vector<uint8_t>(big.begin(), big.end()));
  rstest::write_bytes(path, img);
  r = run_command("unsquashfs -lln -d /x " + shell_quote(path));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("-rw-r--r-- 1000/100                 17 2009-02-13"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/x/link -> hello.txt"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Magics, Kinds3, ::testing::Values("hsqs", "shsq", "sqsh", "qshs"));

// The loader routes every 3.x magic to the 3.x reader (enable once the loader
// recognises them all).
TEST(Squashfs3Load, EveryMagicThroughTheLoader) {
  for (const char* magic : {"hsqs", "shsq", "sqsh", "qshs"}) {
    auto img = example_image3_as(magic);
    Tree root = load(img);
    ASSERT_TRUE(root) << magic;
    EXPECT_EQ(text(root.get(), "/hello.txt"), "Hello, squashfs!\n") << magic;
  }
}

struct Refusal {
  const char* name;
  size_t offset;
  std::vector<uint8_t> bytes;
  const char* message;
};
class Refused3 : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused3, FailsWithLoadMessage) {
  auto img = example_image3();
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(), img.begin() + GetParam().offset);
  testing::internal::CaptureStderr();
  Tree root = load(img);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(root);
  EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
  EXPECT_NE(err.find("squashfs error: [squashfs_load 363]\n"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, Refused3,
    ::testing::Values(Refusal{"big_endian_magic_on_little_endian_fields", 0, {'q', 's', 'h', 's'}, ""},
                      Refusal{"minor2", 30, {2, 0}, "which is a later filesystem version than I support!\n"},
                      Refusal{"bad_block_log", 34, {10, 0}, ""}, Refusal{"uid_index_out_of_table", 0x88 + 4, {7}, ""},
                      Refusal{"dir_loop", 0xE1 + 2 + 9, {0x3b, 0x20}, ""},
                      Refusal{"name_with_slash", 0xE1 + 2 + 9 + 5, {'/'}, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Squashfs3Malformed, CorruptedImagesNeverCrash) {
  auto good = example_image3();
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  for (size_t len : {size_t(0), size_t(118), size_t(119), size_t(200), size_t(330)}) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + len);
    EXPECT_FALSE(load(cut)) << len;
  }
  std::vector<uint8_t> noise = rstest::random_bytes(40000, 5);
  for (int i = 0; i < 4000; ++i) {
    auto bad = good;
    bad[(noise[4 * i] | noise[4 * i + 1] << 8) % 331] = noise[4 * i + 2];
    bad[(noise[4 * i + 3] * 7) % 331] ^= uint8_t(1 << (i % 8));
    Tree t = load(bad);
  }
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
}

// Damaged compressed images of both byte orders: whatever loads also reads,
// takes an edit and rebuilds without a crash; what fails to read fails with -EIO.
TEST(Squashfs3Malformed, DamagedDataNeverCrashesReadOrRebuild) {
  for (const char* magic : {"shsq", "sqsh"}) {
    auto ex = example_image3_as(magic);
    Tree root = load3(ex);
    ASSERT_TRUE(root);
    root->image->p3.flags = 0x40;
    root->image->p3.block_size = 4096;
    squashfs_mkdir(root.get(), "/d");
    for (int i = 0; i < 12; ++i) {
      std::string body(size_t(700 * i + 50), char('a' + i));
      for (size_t k = 0; k < body.size(); k += 5) body[k] = char(k * 31 + i);
      squashfs_add_buffer(root.get(), ("/d/f" + std::to_string(i)).c_str(), body.data(), body.size());
    }
    auto seed = rebuild(root.get());
    ASSERT_FALSE(seed.empty());
    std::vector<uint8_t> noise = rstest::random_bytes(3000, 11);
    size_t used = seed.size();
    while (used > 119 && seed[used - 1] == 0) --used;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (int i = 0; i < 300; ++i) {
      auto bad = seed;
      size_t at = 119 + (noise[3 * i] | noise[3 * i + 1] << 8) * 7 % (used - 119);
      bad[at] ^= uint8_t(noise[3 * i + 2] | 1);
      Tree t = load3(bad);
      if (!t) continue;
      for (auto& [path, e] : t->image->entry_table) {
        std::vector<uint8_t> got;
        int r = S_ISREG(e->stbuf.st_mode) ? squashfs_content(e, got) : 0;
        EXPECT_TRUE(r == 0 || r == -EIO) << path;
      }
      squashfs_rm(t.get(), "/d/f3");
      squashfs_add_buffer(t.get(), "/d/new", "x", 1);
      auto again = rebuild(t.get());
      Tree t2 = load3(again);
      EXPECT_TRUE(t2) << i;
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
  }
}

// Two files that share their stored blocks (as duplicate detection leaves
// them) still share one copy after a rebuild; nothing else of theirs is kept.
TEST(Squashfs3Copy, SharedBlocksStayShared) {
  for (const char* magic : {"shsq", "sqsh"}) {
    bool be = big_endian(magic);
    auto ex = example_image3_as(magic);
    Tree root = load3(ex);
    ASSERT_TRUE(root);
    root->image->p3 = {4096, 0x41, 1};  // inode table stored, so that it can be patched below
    std::vector<uint8_t> same = rstest::random_bytes(100000, 77);
    ASSERT_TRUE(squashfs_add_buffer(root.get(), "/a", same.data(), same.size()));
    ASSERT_TRUE(squashfs_add_buffer(root.get(), "/b", same.data(), same.size()));
    auto img = rebuild(root.get());
    uint64_t a_start, b_start;
    {
      Tree t = load3(img);
      ASSERT_TRUE(t);
      a_start = squashfs_find(t.get(), "/a")->stored.start;
      b_start = squashfs_find(t.get(), "/b")->stored.start;
    }
    ASSERT_NE(a_start, b_start);
    // Point /b's inode at /a's blocks.
    auto u64 = [&](uint64_t v) {
      std::vector<uint8_t> b(8);
      for (int i = 0; i < 8; ++i) b[size_t(be ? 7 - i : i)] = uint8_t(v >> (8 * i));
      return b;
    };
    auto from = u64(b_start), to = u64(a_start);
    uint64_t it_start =
        be ? (uint64_t(rs::load_be32(&img[87])) << 32 | rs::load_be32(&img[91])) : rs::load_le64(&img[87]);
    auto hit = std::search(img.begin() + long(it_start), img.end(), from.begin(), from.end());
    ASSERT_NE(hit, img.end());
    std::copy(to.begin(), to.end(), hit);

    Tree t1 = load3(img);
    ASSERT_TRUE(t1);
    ASSERT_EQ(squashfs_find(t1.get(), "/b")->stored.start, a_start);
    ASSERT_TRUE(squashfs_add_buffer(t1.get(), "/c", "c", 1));
    auto img2 = rebuild(t1.get());
    EXPECT_LT(img2.size() + 90000, img.size()) << "the unused copy is dropped, the shared one written once";
    Tree t2 = load3(img2);
    ASSERT_TRUE(t2);
    EXPECT_EQ(squashfs_find(t2.get(), "/a")->stored.start, squashfs_find(t2.get(), "/b")->stored.start);
    EXPECT_EQ(content(t2.get(), "/a"), std::string(same.begin(), same.end()));
    EXPECT_EQ(content(t2.get(), "/b"), std::string(same.begin(), same.end()));
    EXPECT_EQ(content(t2.get(), "/c"), "c");
  }
}

// Rebuilding a rich tree as 3.x with the parameters of a loaded 3.x image.
struct Params3 {
  const char* name;
  uint32_t block_size;
  uint8_t flags;
  uint16_t minor;
  const char* magic = "shsq";
};

class Build3 : public ::testing::TestWithParam<Params3> {
 protected:
  void SetUp() override {
    if (!rstest::have_tool("mksquashfs") || !rstest::have_tool("unsquashfs"))
      GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
    src = dir.file("src");
    mkdir(src.c_str(), 0755);
    mkdir((src + "/sub").c_str(), 0750);
    mkdir((src + "/sub/deeper").c_str(), 0755);
    put("/sub/deeper/small", rstest::random_bytes(100, 1), 0644);
    put("/exact", rstest::random_bytes(65536, 2), 0755);
    std::vector<uint8_t> big = rstest::random_bytes(70000 * 3, 3);
    std::memset(big.data() + 65536, 0, 65536);
    put("/big", big, 0600);
    put("/empty", {}, 0644);
    std::string text(30000, 'a');
    put("/text", std::vector<uint8_t>(text.begin(), text.end()), 0644);
    std::string words;
    for (int i = 0; words.size() < 200000; ++i) words += "word" + std::to_string(i * 7919 % 1000) + " ";
    put("/words", std::vector<uint8_t>(words.begin(), words.end()), 0644);
    link((src + "/exact").c_str(), (src + "/hardlink").c_str());
    files["/hardlink"] = files["/exact"];
    for (int i = 0; i < 300; ++i) put("/sub/f" + std::to_string(i), rstest::random_bytes(size_t(i), 10 + i), 0644);
    symlink("sub/deeper/small", (src + "/link").c_str());
    mkfifo((src + "/fifo").c_str(), 0600);
    auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(dir.file("v4")) +
                         " -comp xz -no-progress -p '/tty c 620 7 5 4 64' -p '/owned f 640 1000 100 echo hi'");
    ASSERT_EQ(r.status, 0) << r.err;
    files["/owned"] = {'h', 'i', '\n'};
  }
  void put(const std::string& rel, const std::vector<uint8_t>& data, mode_t mode) {
    rstest::write_bytes(src + rel, data);
    chmod((src + rel).c_str(), mode);
    files[rel] = data;
  }
  // Turns a loaded 4.0 tree into one that rebuilds as 3.x with these parameters.
  Tree tree_as_v3() {
    v4 = read_bytes(dir.file("v4"));
    Tree root = load(v4);
    EXPECT_TRUE(root);
    if (!root) return root;
    root->image->version = 3;
    root->image->p3 = {GetParam().block_size, GetParam().flags, GetParam().minor};
    set_kind(root->image, GetParam().magic);
    return root;
  }
  std::string listing(const std::string& img) {
    auto r = run_command("unsquashfs -lln -d /x " + shell_quote(img));
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out);
    std::string line, out;
    while (std::getline(in, line)) {
      if (line.find("/x") == std::string::npos) continue;
      std::istringstream f(line);
      std::string perm, owner, size, date, time, name;
      f >> perm >> owner >> size >> date >> time;
      std::getline(f, name);
      if (perm[0] == 'd') size = "-";
      out += perm + " " + owner + " " + size + " " + date + " " + time + name + "\n";
    }
    return out;
  }

  rstest::TempDir dir;
  std::string src;
  std::map<std::string, std::vector<uint8_t>> files;
  std::vector<uint8_t> v4;
};

TEST_P(Build3, LzmaImageReloadsExactly) {
  Tree root = tree_as_v3();
  ASSERT_TRUE(root);
  auto img = rebuild(root.get());
  ASSERT_FALSE(img.empty());
  const char* magic = GetParam().magic;
  bool lzma_magic = !std::strcmp(magic, "shsq") || !std::strcmp(magic, "qshs");
  EXPECT_EQ(std::memcmp(img.data(), magic, 4), 0);
  EXPECT_EQ(load16(img, 28, big_endian(magic)), 3);
  EXPECT_EQ(load16(img, 30, big_endian(magic)), GetParam().minor);
  EXPECT_EQ(img[36], uint8_t(GetParam().flags | 0x80));
  if (!(GetParam().flags & 0x0B) && lzma_magic) {
    // The text file compresses far better with LZMA, so LZMA blocks must be there.
    uint8_t hdr[5] = {0x5D};
    rs::store_le32(hdr + 1, GetParam().block_size);
    EXPECT_NE(std::search(img.begin(), img.end(), hdr, hdr + 5), img.end());
  }
  Tree again = load3(img);
  ASSERT_TRUE(again);
  for (auto& [path, data] : files) {
    squashfs_entry* e = squashfs_find(again.get(), path.c_str());
    ASSERT_TRUE(e) << path;
    std::vector<uint8_t> got;
    EXPECT_EQ(squashfs_content(e, got), 0) << path;
    EXPECT_EQ(got, data) << path;
    squashfs_entry* o = squashfs_find(root.get(), path.c_str());
    EXPECT_EQ(e->stbuf.st_mode, o->stbuf.st_mode) << path;
    EXPECT_EQ(e->stbuf.st_mtime, o->stbuf.st_mtime) << path;
  }
  squashfs_entry* tty = squashfs_find(again.get(), "/tty");
  ASSERT_TRUE(tty);
  EXPECT_EQ(major(tty->stbuf.st_rdev), 4u);
  EXPECT_EQ(minor(tty->stbuf.st_rdev), 64u);
  EXPECT_EQ(tty->stbuf.st_uid, 7u);
  EXPECT_EQ(tty->stbuf.st_gid, 5u);
  EXPECT_EQ(text(again.get(), "/link"), "sub/deeper/small");
  EXPECT_TRUE(S_ISFIFO(squashfs_find(again.get(), "/fifo")->stbuf.st_mode));
}

TEST_P(Build3, ZlibImagePassesUnsquashfs) {
  Tree root = tree_as_v3();
  ASSERT_TRUE(root);
  rs::sqfs::set_lzma3_for_tests(false);
  auto img = rebuild(root.get());
  rs::sqfs::set_lzma3_for_tests(true);
  ASSERT_FALSE(img.empty());
  // The tool knows 3.x only under the plain magics.
  std::memcpy(img.data(), big_endian(GetParam().magic) ? "sqsh" : "hsqs", 4);
  std::string path = dir.file("v3");
  rstest::write_bytes(path, img);
  std::string want = listing(dir.file("v4"));
  EXPECT_NE(want.find("/x/sub/deeper/small"), std::string::npos) << want;
  EXPECT_EQ(listing(path), want);
  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(dir.file("x")) + " " + shell_quote(path));
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  for (auto& [p, data] : files) EXPECT_EQ(read_bytes(dir.file("x") + p), data) << p;
}

INSTANTIATE_TEST_SUITE_P(Options, Build3,
                         ::testing::Values(Params3{"defaults", 131072, 0x40, 1}, Params3{"minor0_64k", 65536, 0x00, 0},
                                           Params3{"uncompressed", 65536, 0x0B, 1},
                                           Params3{"check_data", 8192, 0x04, 1}, Params3{"no_fragments", 4096, 0x10, 1},
                                           Params3{"always_fragments", 4096, 0x20, 1},
                                           Params3{"plain", 131072, 0x40, 1, "hsqs"},
                                           Params3{"big_endian", 131072, 0x40, 1, "sqsh"},
                                           Params3{"big_endian_lzma", 65536, 0x00, 0, "qshs"},
                                           Params3{"big_endian_check_data", 8192, 0x24, 1, "sqsh"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// A 3.x image made from the fixture's tree with zlib blocks only, so that a
// rebuild which compressed unchanged content again (with LZMA, where the kind
// allows it) would show in the bytes.
class Copy3 : public Build3 {
 protected:
  std::vector<uint8_t> zlib_image() {
    Tree root = tree_as_v3();
    if (!root) return {};
    rs::sqfs::set_lzma3_for_tests(false);
    auto img = rebuild(root.get());
    rs::sqfs::set_lzma3_for_tests(true);
    return img;
  }
  static std::vector<uint8_t> stored_bytes(const std::vector<uint8_t>& img, const squashfs_entry* e) {
    uint64_t len = 0;
    for (uint32_t w : e->stored.block_words) len += w & 0xFFFFFF;
    return std::vector<uint8_t>(img.begin() + long(e->stored.start), img.begin() + long(e->stored.start + len));
  }
  static std::vector<uint8_t> fragment_bytes(const std::vector<uint8_t>& img, const squashfs_entry* e) {
    const auto& f = rs::sqfs::v3::loaded3(e->image)->frags.at(e->stored.fragment);
    return std::vector<uint8_t>(img.begin() + long(f.start), img.begin() + long(f.start + (f.word & 0xFFFFFF)));
  }
  std::vector<squashfs_entry*> regular_files(squashfs_entry* root) {
    std::vector<squashfs_entry*> v;
    for (auto& [path, data] : files) {
      squashfs_entry* e = squashfs_find(root, path.c_str());
      if (e) v.push_back(e);
    }
    return v;
  }
};

TEST_P(Copy3, UnchangedFilesKeepTheirStoredBlocks) {
  auto img1 = zlib_image();
  ASSERT_FALSE(img1.empty());
  Tree t1 = load3(img1);
  ASSERT_TRUE(t1);
  // Loading reads metadata only.
  for (squashfs_entry* e : regular_files(t1.get())) {
    EXPECT_FALSE(e->content_loaded) << e->path;
    EXPECT_TRUE(e->buf.empty()) << e->path;
    EXPECT_TRUE(e->stored.valid) << e->path;
  }
  squashfs_entry* f5 = squashfs_find(t1.get(), "/sub/f5");
  squashfs_entry* f7 = squashfs_find(t1.get(), "/sub/f7");
  std::set<uint32_t> touched;  // fragment blocks that lose or change a member
  for (squashfs_entry* e : {f5, f7})
    if (e->stored.fragment != 0xFFFFFFFFu) touched.insert(e->stored.fragment);
  std::map<std::string, std::vector<uint8_t>> blocks1, frags1;
  for (squashfs_entry* e : regular_files(t1.get())) {
    blocks1[e->path] = stored_bytes(img1, e);
    if (e->stored.fragment != 0xFFFFFFFFu && !touched.count(e->stored.fragment))
      frags1[e->path] = fragment_bytes(img1, e);
  }
  std::vector<uint32_t> big_words = squashfs_find(t1.get(), "/big")->stored.block_words;

  std::string added(150000, ' ');
  for (size_t i = 0; i < added.size(); ++i) added[i] = char('a' + (i * i) % 23);
  ASSERT_TRUE(squashfs_add_buffer(t1.get(), "/sub/f5", "changed", 7));
  ASSERT_TRUE(squashfs_add_buffer(t1.get(), "/sub/deeper/new", added.data(), added.size()));
  squashfs_rm(t1.get(), "/sub/f7");
  files["/sub/f5"] = {'c', 'h', 'a', 'n', 'g', 'e', 'd'};
  files["/sub/deeper/new"].assign(added.begin(), added.end());
  files.erase("/sub/f7");
  auto img2 = rebuild(t1.get());
  ASSERT_FALSE(img2.empty());
  EXPECT_EQ(std::memcmp(img2.data(), img1.data(), 4), 0);
  EXPECT_LT(img2.size(), img1.size() + 150000);

  Tree t2 = load3(img2);
  ASSERT_TRUE(t2);
  EXPECT_FALSE(squashfs_find(t2.get(), "/sub/f7"));
  for (auto& [path, data] : files) {
    squashfs_entry* e = squashfs_find(t2.get(), path.c_str());
    ASSERT_TRUE(e) << path;
    std::vector<uint8_t> got;
    ASSERT_EQ(squashfs_content(e, got), 0) << path;
    EXPECT_EQ(got, data) << path;
    if (path == "/sub/f5" || path == "/sub/deeper/new") continue;
    EXPECT_EQ(stored_bytes(img2, e), blocks1[path]) << path;
    if (frags1.count(path)) {
      EXPECT_EQ(fragment_bytes(img2, e), frags1[path]) << path;
    }
  }
  // Reading in pieces that straddle blocks and the fragment gives the same bytes.
  for (const char* path : {"/words", "/big", "/sub/f200"}) {
    squashfs_entry* e = squashfs_find(t2.get(), path);
    std::vector<uint8_t> pieces(files[path].size());
    for (size_t at = 0; at < pieces.size(); at += 1000)
      ASSERT_EQ(squashfs_pread(e, at, pieces.data() + at, 1000), long(std::min<size_t>(1000, pieces.size() - at)));
    EXPECT_EQ(pieces, files[path]) << path;
  }
  squashfs_entry* hard = squashfs_find(t2.get(), "/hardlink");
  squashfs_entry* exact = squashfs_find(t2.get(), "/exact");
  EXPECT_EQ(hard->stbuf.st_ino, exact->stbuf.st_ino);
  EXPECT_EQ(hard->stored.start, exact->stored.start);
  EXPECT_EQ(squashfs_find(t2.get(), "/big")->stored.block_words, big_words);  // holes stay holes
  if (GetParam().block_size == 65536) {
    EXPECT_NE(std::count(big_words.begin(), big_words.end(), 0u), 0);
  }

  const char* magic = GetParam().magic;
  if (!std::strcmp(magic, "shsq") || !std::strcmp(magic, "qshs")) {
    // New content did get LZMA, so the zlib bytes above were copied, not made again.
    squashfs_entry* n = squashfs_find(t2.get(), "/sub/deeper/new");
    ASSERT_FALSE(n->stored.block_words.empty());
    EXPECT_EQ(img2[n->stored.start], 0x5D);
  } else if (rstest::have_tool("unsquashfs")) {
    std::string path = dir.file("v3");
    rstest::write_bytes(path, img2);
    auto r = run_command("unsquashfs -no-progress -d " + shell_quote(dir.file("x")) + " " + shell_quote(path));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    for (auto& [p, data] : files) EXPECT_EQ(read_bytes(dir.file("x") + p), data) << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Copy3,
                         ::testing::Values(Params3{"lzma", 65536, 0x40, 1, "shsq"},
                                           Params3{"big_endian_lzma", 131072, 0x44, 1, "qshs"},
                                           Params3{"plain_always_fragments", 65536, 0x20, 1, "hsqs"},
                                           Params3{"big_endian_small_blocks", 4096, 0x40, 1, "sqsh"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// One corrupt block: the image opens and lists, reading the files stored in
// that block fails with one line, everything else reads, and a rebuild after
// an edit elsewhere keeps the corrupt bytes as they were.
class Corrupt3 : public Copy3 {};

TEST_P(Corrupt3, OnlyTheAffectedFilesFailAndTheirBytesSurvive) {
  bool in_fragment = GetParam().flags & 0x20;  // the parameter's flag picks the case
  auto img = zlib_image();
  ASSERT_FALSE(img.empty());
  std::set<std::string> victims;
  std::vector<uint8_t> bad_bytes;
  {
    Tree t = load3(img);
    ASSERT_TRUE(t);
    squashfs_entry* v = squashfs_find(t.get(), "/text");  // compressible: its block is zlib
    uint64_t at;
    if (in_fragment) {
      ASSERT_NE(v->stored.fragment, 0xFFFFFFFFu);
      const auto& f = rs::sqfs::v3::loaded3(t->image)->frags.at(v->stored.fragment);
      ASSERT_FALSE(f.word & 0x01000000u);
      at = f.start + (f.word & 0xFFFFFF) / 2;
      for (squashfs_entry* e : regular_files(t.get()))
        if (e->stored.fragment == v->stored.fragment) victims.insert(e->path);
    } else {
      v = squashfs_find(t.get(), "/words");
      ASSERT_FALSE(v->stored.block_words.empty());
      ASSERT_FALSE(v->stored.block_words[0] & 0x01000000u);
      at = v->stored.start + (v->stored.block_words[0] & 0xFFFFFF) / 2;
      victims.insert("/words");
    }
    img[at] ^= 0x55;
    img[at + 1] ^= 0xAA;
  }
  Tree t = load3(img);
  ASSERT_TRUE(t) << "a bad data block must not stop the image from opening";
  for (auto& [path, data] : files) ASSERT_TRUE(squashfs_find(t.get(), path.c_str())) << path;
  const std::string victim = *victims.begin();
  squashfs_entry* ve = squashfs_find(t.get(), victim.c_str());
  bad_bytes = in_fragment ? fragment_bytes(img, ve) : stored_bytes(img, ve);

  testing::internal::CaptureStderr();
  std::vector<uint8_t> got;
  EXPECT_EQ(squashfs_content(ve, got), -EIO);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find(victim), std::string::npos) << err;
  char one[16];
  testing::internal::CaptureStderr();
  EXPECT_EQ(squashfs_pread(ve, 0, one, sizeof one), -EIO);
  testing::internal::GetCapturedStderr();

  // Edit elsewhere; with a corrupt fragment also drop one of its other members,
  // which leaves the block unable to be packed again.
  ASSERT_TRUE(squashfs_add_buffer(t.get(), "/sub/deeper/small", "edited", 6));
  files["/sub/deeper/small"] = {'e', 'd', 'i', 't', 'e', 'd'};
  victims.erase("/sub/deeper/small");
  if (in_fragment) {
    for (const std::string& v : victims)
      if (v != victim && v.rfind("/sub/f", 0) == 0) {
        squashfs_rm(t.get(), v.c_str());
        files.erase(v);
        victims.erase(v);
        break;
      }
  }
  testing::internal::CaptureStderr();
  auto img2 = rebuild(t.get());
  testing::internal::GetCapturedStderr();
  ASSERT_FALSE(img2.empty());
  Tree t2 = load3(img2);
  ASSERT_TRUE(t2);
  squashfs_entry* ve2 = squashfs_find(t2.get(), victim.c_str());
  ASSERT_TRUE(ve2);
  EXPECT_EQ(in_fragment ? fragment_bytes(img2, ve2) : stored_bytes(img2, ve2), bad_bytes);
  testing::internal::CaptureStderr();
  for (auto& [path, data] : files) {
    squashfs_entry* e = squashfs_find(t2.get(), path.c_str());
    ASSERT_TRUE(e) << path;
    int r = squashfs_content(e, got);
    if (victims.count(path)) {
      EXPECT_EQ(r, -EIO) << path;
    } else {
      EXPECT_EQ(r, 0) << path;
      EXPECT_EQ(got, data) << path;
    }
  }
  testing::internal::GetCapturedStderr();
}

INSTANTIATE_TEST_SUITE_P(Blocks, Corrupt3,
                         ::testing::Values(Params3{"data_block", 65536, 0x00, 1, "shsq"},
                                           Params3{"fragment_block", 65536, 0x20, 1, "sqsh"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
