// Rebuilds of loaded images copy what did not change: compressed pages of
// untouched files verbatim, the superblock's edition, name and boot padding;
// replaced files keep their attributes; a file with a corrupt page is copied
// as stored.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs_test_util.h"
#include "testutil.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/fileio.h"

using namespace cramfs_test;
using rstest::run_command;
using rstest::shell_quote;

namespace {



Tree load_quiet(const std::vector<uint8_t>& img) {
  testing::internal::CaptureStdout();  // "other" lines for special files
  Tree t = load(img);
  testing::internal::GetCapturedStdout();
  return t;
}

// fsck.cramfs's check and extraction; empty string when it refuses.
std::string fsck_extract(const std::vector<uint8_t>& image, const std::string& work) {
  std::string img = work + "/check.img", out = work + "/extract";
  run_command("rm -rf " + shell_quote(out));
  rstest::write_bytes(img, image);
  rstest::RunResult r = run_command("fsck.cramfs -v --extract=" + shell_quote(out) + " " + shell_quote(img) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  return r.status == 0 ? out : std::string();
}

// The compressed pages of a stored content: [table + 4n, last pointer).
std::vector<uint8_t> stored_pages(const std::vector<uint8_t>& img, uint32_t table, uint32_t size, bool big = false) {
  uint32_t n = (size + 4095) / 4096;
  uint32_t end = big ? rs::load_be32(&img[table + 4 * (n - 1)]) : rs::load_le32(&img[table + 4 * (n - 1)]);
  return std::vector<uint8_t>(img.begin() + table + 4 * n, img.begin() + end);
}

void regular_files(entry* dir, std::vector<entry*>& out) {
  for (entry* c = dir->child; c; c = c->next) {
    if ((c->mode & 0xF000) == 0x8000 && c->size) out.push_back(c);
    if (c->child) regular_files(c, out);
  }
}

// Keys whose descriptions differ (descriptions cut short), empty when equal.
std::string snapshot_diff(const std::map<std::string, std::string>& got, const std::map<std::string, std::string>& want) {
  std::string out;
  auto cut = [](const std::string& s) { return s.substr(0, std::min<size_t>(s.size(), 48)); };
  for (auto& [k, v] : want) {
    auto it = got.find(k);
    if (it == got.end()) out += "missing " + k + "\n";
    else if (it->second != v) out += "differs " + k + ": " + cut(it->second) + " / want " + cut(v) + "\n";
  }
  for (auto& [k, v] : got)
    if (!want.count(k)) out += "extra " + k + "\n";
  return out;
}

TEST(CramfsRebuild, UntouchedPagesAreCopiedVerbatim) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  for (int i = 0; i < 8; ++i)
    rstest::write_bytes(src + "/etc/f" + std::to_string(i), rstest::random_bytes(3000 + 5000 * size_t(i), uint32_t(40 + i)));
  // Compressed with another level than ours, so that a re-compression would show.
  std::vector<uint8_t> orig = mkfs_tool(src, tmp.file("tool.img"));
  Tree t = load_quiet(orig);
  ASSERT_TRUE(t);
  std::map<std::string, std::vector<uint8_t>> before;
  std::vector<entry*> files;
  regular_files(t.get(), files);
  for (entry* e : files) before[e->path] = stored_pages(orig, e->src, e->size);

  // Edits: replace one file, add one, remove one.
  ASSERT_EQ(cramfs_put(t.get(), "/etc/hosts", "10.0.0.1 box\n", 13, -1, -1, -1), 0);
  ASSERT_EQ(cramfs_put(t.get(), "/etc/new.conf", "x=1\n", 4, -1, -1, -1), 0);
  ASSERT_EQ(cramfs_remove(t.get(), "/etc/f3"), 0);
  rstest::write_text(src + "/etc/hosts", "10.0.0.1 box\n");
  rstest::write_text(src + "/etc/new.conf", "x=1\n");
  chmod((src + "/etc/new.conf").c_str(), 0644);
  unlink((src + "/etc/f3").c_str());

  std::vector<uint8_t> out = build(t.get());
  ASSERT_FALSE(out.empty());
  size_t compared = 0;
  files.clear();
  regular_files(t.get(), files);
  for (entry* e : files) {
    if (!before.count(e->path) || std::string(e->path) == "/etc/hosts") continue;
    EXPECT_EQ(stored_pages(out, e->offset, e->size), before[e->path]) << e->path;
    ++compared;
  }
  EXPECT_GE(compared, 10u);
  // The shared content of bin/busy and bin/copy stays shared.
  EXPECT_EQ(cramfs_find(t.get(), "/bin/busy")->offset, cramfs_find(t.get(), "/bin/copy")->offset);

  std::string x = fsck_extract(out, tmp.path());
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(snapshot_diff(snapshot(x), snapshot(src)), "");
}

TEST(CramfsRebuild, UntouchedImageRebuildsToTheSameBytes) {
  // Our own image, loaded and rebuilt without edits, comes back byte for byte.
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  std::string ours = tmp.file("ours.img");
  testing::internal::CaptureStdout();
  ASSERT_EQ(mkfs_cramfs(src.c_str(), ours.c_str()), 0);
  testing::internal::GetCapturedStdout();
  std::vector<uint8_t> img = rstest::read_bytes(ours);
  Tree t = load_quiet(img);
  ASSERT_TRUE(t);
  EXPECT_EQ(build(t.get()), img);
}

TEST(CramfsRebuild, UnEditedToolImagesRebuildToTheSameBytes) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  for (const char* opts : {"", "-p", "-N big", "-N big -p -e 9 -n VOL"}) {
    std::vector<uint8_t> img = mkfs_tool(src, tmp.file("tool.img"), opts);
    Tree t = load_quiet(img);
    ASSERT_TRUE(t) << opts;
    EXPECT_TRUE(build(t.get()) == img) << opts;
  }
}

TEST(CramfsRebuild, ReplaceKeepsSetuidModeAndOwner) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  mkdir((src + "/bin").c_str(), 0755);
  rstest::write_text(src + "/bin/busybox", "old busybox");
  std::vector<uint8_t> orig;
  if (geteuid() == 0) {
    ASSERT_EQ(chown((src + "/bin/busybox").c_str(), 1000, 100), 0);
    ASSERT_EQ(chmod((src + "/bin/busybox").c_str(), 04755), 0);
    orig = mkfs_tool(src, tmp.file("tool.img"));
  } else {  // the tool cannot record another owner: our writer makes the image
    Tree s = empty_tree();
    cramfs_mkdir(s.get(), "/bin");
    ASSERT_EQ(cramfs_put(s.get(), "/bin/busybox", "old busybox", 11, 04755, 1000, 100), 0);
    orig = build(s.get());
  }
  Tree t = load_quiet(orig);
  ASSERT_TRUE(t);
  entry* e = cramfs_find(t.get(), "/bin/busybox");
  ASSERT_EQ(e->mode, 0104755u);
  ASSERT_EQ(cramfs_put(t.get(), "/bin/busybox", "new busybox!", 12, -1, -1, -1), 0);
  // The old add (flash_add) path keeps them as well.
  ASSERT_NE(cramfs_add_buffer(t.get(), "/bin/busybox", "newer busybox", 13), nullptr);
  std::vector<uint8_t> out = build(t.get());
  Tree back = load_quiet(out);
  ASSERT_TRUE(back);
  e = cramfs_find(back.get(), "/bin/busybox");
  EXPECT_EQ(e->mode, 0104755u);
  EXPECT_EQ(e->uid, 1000u);
  EXPECT_EQ(e->gid, 100u);
  EXPECT_EQ(content(back.get(), "/bin/busybox"), "newer busybox");
  std::string x = fsck_extract(out, tmp.path());
  ASSERT_FALSE(x.empty());
  struct stat st;
  ASSERT_EQ(lstat((x + "/bin/busybox").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
  if (geteuid() == 0) {
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_gid, 100u);
  }
}

TEST(CramfsRebuild, CorruptPageFileIsCopiedAsStored) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  std::vector<uint8_t> good = rstest::random_bytes(3 * 4096 + 100, 77);
  rstest::write_bytes(src + "/bad", good);
  rstest::write_bytes(src + "/same_size", rstest::random_bytes(good.size(), 78));
  rstest::write_text(src + "/ok", "fine\n");
  std::vector<uint8_t> img = mkfs_tool(src, tmp.file("tool.img"));
  uint32_t table;
  {
    Tree t = load_quiet(img);
    ASSERT_TRUE(t);
    table = cramfs_find(t.get(), "/bad")->src;
  }
  uint32_t p0 = rs::load_le32(&img[table]);
  for (uint32_t k = 0; k < 16; ++k) img[p0 + 20 + k] ^= 0xA5;  // page 1's stream
  std::vector<uint8_t> bad_pages = stored_pages(img, table, uint32_t(good.size()));

  testing::internal::CaptureStderr();
  Tree t = load_quiet(img);
  ASSERT_TRUE(t);
  testing::internal::CaptureStdout();
  cramfs_ls(t.get(), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("bad"), std::string::npos);
  // An edit elsewhere, one with the corrupt file's size (a duplicate
  // candidate), and the rebuild: no read error is reported on the way.
  ASSERT_EQ(cramfs_put(t.get(), "/ok", "changed\n", 8, -1, -1, -1), 0);
  std::vector<uint8_t> other = rstest::random_bytes(good.size(), 79);
  ASSERT_EQ(cramfs_put(t.get(), "/new", other.data(), other.size(), -1, -1, -1), 0);
  std::vector<uint8_t> out = build(t.get());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_FALSE(out.empty());
  entry* e = cramfs_find(t.get(), "/bad");
  EXPECT_EQ(stored_pages(out, e->offset, e->size), bad_pages);

  // Only the read reports it, in the loaded tree and in the rebuilt one.
  Tree back = load_quiet(out);
  ASSERT_TRUE(back);
  std::vector<uint8_t> buf(good.size());
  for (entry* root : {t.get(), back.get()}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(cramfs_pread(root, "/bad", buf.data(), buf.size(), 0), -EIO);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("read block error"), std::string::npos);
  }
  EXPECT_EQ(content(back.get(), "/ok"), "changed\n");
  EXPECT_EQ(content(back.get(), "/new"), std::string(other.begin(), other.end()));
  EXPECT_EQ(cramfs_pread(back.get(), "/bad", buf.data(), 4096, 0), 4096);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 4096, good.begin()));
}

TEST(CramfsRebuild, SuperblockEditionNameAndBootPaddingKept) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  rstest::write_text(src + "/a", "alpha\n");
  std::vector<uint8_t> img = mkfs_tool(src, tmp.file("tool.img"), "-p -e 7 -n MYVOLUME");
  ASSERT_EQ(rs::load_le32(&img[512]), 0x28CD3D45u);
  // Boot code in the padding (outside the checksum, which starts at the superblock).
  for (size_t i = 0; i < 512; ++i) img[i] = uint8_t(i * 13 + 1);
  Tree t = load_quiet(img);
  ASSERT_TRUE(t);
  ASSERT_EQ(cramfs_put(t.get(), "/b", "beta\n", 5, -1, -1, -1), 0);
  std::vector<uint8_t> out = build(t.get());
  ASSERT_GE(out.size(), 4096u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 512, img.begin())) << "boot padding with its content";
  const uint8_t* sb = &out[512];
  EXPECT_EQ(rs::load_le32(sb), 0x28CD3D45u);
  EXPECT_EQ(rs::load_le32(sb + 4), out.size());
  EXPECT_EQ(rs::load_le32(sb + 8), 3u);  // fsid version 2, sorted directories
  EXPECT_EQ(rs::load_le32(sb + 36), 7u) << "edition";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sb + 48), 8), "MYVOLUME");
  EXPECT_EQ(rs::load_le32(sb + 72) >> 6, 588u / 4) << "root listing behind the padding";
  std::string x = fsck_extract(out, tmp.path());
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(rstest::read_text(x + "/a"), "alpha\n");
  EXPECT_EQ(rstest::read_text(x + "/b"), "beta\n");
  // Unpadded images stay unpadded.
  std::vector<uint8_t> plain = mkfs_tool(src, tmp.file("plain.img"), "-e 3");
  Tree p = load_quiet(plain);
  ASSERT_TRUE(p);
  std::vector<uint8_t> pout = build(p.get());
  EXPECT_EQ(rs::load_le32(&pout[0]), 0x28CD3D45u);
  EXPECT_EQ(rs::load_le32(&pout[36]), 3u);
}

TEST(CramfsRebuild, UnsortedLegacyDirectoryIsWrittenSorted) {
  REQUIRE_TOOLS();
  // An image whose root lists "b" before "a", with the sorted flag clear.
  Tree s = empty_tree();
  cramfs_put(s.get(), "/a", "A", 1, -1, -1, -1);
  cramfs_put(s.get(), "/b", "BB", 2, -1, -1, -1);
  std::vector<uint8_t> img = build(s.get());
  std::vector<uint8_t> ea(img.begin() + 76, img.begin() + 92), eb(img.begin() + 92, img.begin() + 108);
  std::copy(eb.begin(), eb.end(), img.begin() + 76);
  std::copy(ea.begin(), ea.end(), img.begin() + 92);
  rs::store_le32(&img[8], 1);
  rs::store_le32(&img[32], 0);
  rs::store_le32(&img[32], rs::crc32_of(img.data(), img.size()));
  rstest::TempDir tmp;
  ASSERT_FALSE(fsck_extract(img, tmp.path()).empty());
  Tree t = load_quiet(img);
  ASSERT_TRUE(t);
  ASSERT_EQ(cramfs_put(t.get(), "/c", "C", 1, -1, -1, -1), 0);
  std::vector<uint8_t> out = build(t.get());
  EXPECT_EQ(rs::load_le32(&out[8]), 3u);
  EXPECT_EQ(out[76 + 12], 'a');
  EXPECT_EQ(out[92 + 12], 'b');
  EXPECT_EQ(out[108 + 12], 'c');
  std::string x = fsck_extract(out, tmp.path());
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(rstest::read_text(x + "/b"), "BB");
}

TEST(CramfsRebuild, NewFilesShareIdenticalContent) {
  Tree s = empty_tree();
  std::vector<uint8_t> d = rstest::random_bytes(10000, 4);
  cramfs_put(s.get(), "/orig", d.data(), d.size(), -1, -1, -1);
  cramfs_put(s.get(), "/other", rstest::random_bytes(10000, 5).data(), 10000, -1, -1, -1);
  std::vector<uint8_t> img = build(s.get());
  Tree t = load(img);
  ASSERT_TRUE(t);
  // A new file equal to a stored one, and two equal new files.
  ASSERT_EQ(cramfs_put(t.get(), "/copy", d.data(), d.size(), -1, -1, -1), 0);
  std::vector<uint8_t> n = rstest::random_bytes(5000, 6);
  ASSERT_EQ(cramfs_put(t.get(), "/n1", n.data(), n.size(), -1, -1, -1), 0);
  ASSERT_EQ(cramfs_put(t.get(), "/n2", n.data(), n.size(), -1, -1, -1), 0);
  std::vector<uint8_t> out = build(t.get());
  EXPECT_EQ(cramfs_find(t.get(), "/copy")->offset, cramfs_find(t.get(), "/orig")->offset);
  EXPECT_EQ(cramfs_find(t.get(), "/n1")->offset, cramfs_find(t.get(), "/n2")->offset);
  EXPECT_NE(cramfs_find(t.get(), "/other")->offset, cramfs_find(t.get(), "/orig")->offset);
  Tree back = load(out);
  ASSERT_TRUE(back);
  EXPECT_EQ(content(back.get(), "/copy"), std::string(d.begin(), d.end()));
  EXPECT_EQ(content(back.get(), "/n2"), std::string(n.begin(), n.end()));
}

TEST(CramfsBigEndian, ToolImageEditedAndRebuiltStaysBigEndian) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  std::vector<uint8_t> orig = mkfs_tool(src, tmp.file("big.img"), "-N big");
  ASSERT_EQ(orig[0], 0x28);  // magic 0x28CD3D45 stored most significant byte first
  Tree t = load_quiet(orig);
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->image->big_endian);
  EXPECT_EQ(content(t.get(), "/bin/busy"), rstest::read_text(src + "/bin/busy"));
  EXPECT_EQ(content(t.get(), "/holey"), rstest::read_text(src + "/holey"));
  EXPECT_EQ(content(t.get(), "/bin/sh"), "busy");
  EXPECT_EQ(cramfs_find(t.get(), "/bin/busy")->mode, 0104755u);
  if (geteuid() == 0) {
    EXPECT_EQ(cramfs_find(t.get(), "/etc/hosts")->uid, 1234u);
    EXPECT_EQ(cramfs_find(t.get(), "/etc/hosts")->gid, 56u);
    EXPECT_EQ(cramfs_find(t.get(), "/console")->size, 0x501u);  // device 5,1
  }
  std::vector<uint8_t> zz_pages = stored_pages(orig, cramfs_find(t.get(), "/zz_text")->src, 20000, true);

  // add, rm, replace; the same on the host copy.
  std::vector<uint8_t> fresh = rstest::random_bytes(30000, 12);
  ASSERT_EQ(cramfs_put(t.get(), "/etc/new.bin", fresh.data(), fresh.size(), -1, -1, -1), 0);
  rstest::write_bytes(src + "/etc/new.bin", fresh);
  chmod((src + "/etc/new.bin").c_str(), 0644);
  ASSERT_EQ(cramfs_remove(t.get(), "/bin/copy"), 0);
  unlink((src + "/bin/copy").c_str());
  ASSERT_EQ(cramfs_put(t.get(), "/etc/init.d/rcS", "#!/bin/sh\necho big\n", 19, -1, -1, -1), 0);
  rstest::write_text(src + "/etc/init.d/rcS", "#!/bin/sh\necho big\n");
  ASSERT_EQ(cramfs_symlink(t.get(), "init.d/rcS", "/etc/rc"), 0);
  symlink("init.d/rcS", (src + "/etc/rc").c_str());
  if (geteuid() == 0) lchown((src + "/etc/rc").c_str(), 0, 0);

  std::vector<uint8_t> out = build(t.get());
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(rs::load_be32(&out[0]), 0x28CD3D45u) << "still big-endian";
  EXPECT_EQ(rs::load_be32(&out[4]), out.size());
  EXPECT_EQ(stored_pages(out, cramfs_find(t.get(), "/zz_text")->offset, 20000, true), zz_pages);
  rstest::write_bytes(tmp.file("out.img"), out);
  rstest::RunResult v = run_command("fsck.cramfs -v " + shell_quote(tmp.file("out.img")) + " 2>&1");
  EXPECT_EQ(v.status, 0) << v.out;
  EXPECT_NE(v.out.find("endianness is big"), std::string::npos) << v.out;
  std::string x = fsck_extract(out, tmp.path());
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(snapshot_diff(snapshot(x), snapshot(src)), "");

  Tree back = load_quiet(out);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->image->big_endian);
  EXPECT_EQ(content(back.get(), "/etc/new.bin"), std::string(fresh.begin(), fresh.end()));
  EXPECT_EQ(build(back.get()), out) << "an unedited rebuild gives the same bytes";
}

TEST(CramfsBigEndian, MkfsInEitherOrder) {
  REQUIRE_TOOLS();
  rstest::TempDir tmp;
  std::string src = tmp.file("src");
  mkdir(src.c_str(), 0755);
  make_rich_dir(src);
  testing::internal::CaptureStdout();
  ASSERT_EQ(mkfs_cramfs_endian(src.c_str(), tmp.file("big.img").c_str(), 1), 0);
  ASSERT_EQ(mkfs_cramfs_endian(src.c_str(), tmp.file("little.img").c_str(), 0), 0);
  ASSERT_EQ(mkfs_cramfs_endian(src.c_str(), tmp.file("host.img").c_str(), -1), 0);
  ASSERT_EQ(mkfs_cramfs(src.c_str(), tmp.file("default.img").c_str()), 0);
  testing::internal::GetCapturedStdout();
  std::vector<uint8_t> big = rstest::read_bytes(tmp.file("big.img")), little = rstest::read_bytes(tmp.file("little.img"));
  EXPECT_EQ(rs::load_be32(&big[0]), 0x28CD3D45u);
  EXPECT_EQ(rs::load_le32(&little[0]), 0x28CD3D45u);
  EXPECT_EQ(rstest::read_bytes(tmp.file("default.img")), little);
  bool host_big = std::endian::native == std::endian::big;
  EXPECT_EQ(rstest::read_bytes(tmp.file("host.img")), host_big ? big : little);
  rstest::RunResult v = run_command("fsck.cramfs -v " + shell_quote(tmp.file("big.img")) + " 2>&1");
  EXPECT_EQ(v.status, 0) << v.out;
  EXPECT_NE(v.out.find("endianness is big"), std::string::npos) << v.out;
  std::string x = fsck_extract(big, tmp.path());
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(snapshot_diff(snapshot(x), snapshot(src)), "");
  // The same image as the tool's (same layout and compression level), byte order aside.
  Tree a = load_quiet(big), b = load_quiet(little);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(content(a.get(), "/bin/busy"), content(b.get(), "/bin/busy"));
  EXPECT_EQ(big.size(), little.size());
}

}  // namespace
