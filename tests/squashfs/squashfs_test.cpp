// squashfs 4.0: images made by mksquashfs load and read back exactly, rebuilt
// images satisfy unsquashfs, and edits survive a rebuild and reload.
#include "squashfs/squashfs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include "squashfs_test_util.h"
#include "testutil.h"

namespace {

using rstest::read_bytes;
using rstest::run_command;
using rstest::shell_quote;

using sqtest::Tree;

std::string as_text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// A host tree with every kind of entry the loader must keep.
struct HostTree {
  rstest::TempDir dir;
  std::string src = dir.file("src");
  std::map<std::string, std::vector<uint8_t>> files;  // path below src -> content

  HostTree() {
    mkdir(src.c_str(), 0755);
    mkdir((src + "/dvb").c_str(), 0755);
    mkdir((src + "/dvb/theme").c_str(), 0755);
    mkdir((src + "/empty_dir").c_str(), 0700);
    put("/dvb/theme/keymap.xml", bytes("<keymap><key code=\"1\"/></keymap>\n"), 0644);
    put("/dvb/theme/b.bin", rstest::random_bytes(5000, 1), 0644);
    put("/bin_tool", rstest::random_bytes(1000, 2), 0755);
    put("/empty", {}, 0600);
    put("/one_block", rstest::random_bytes(131072, 3), 0644);
    std::vector<uint8_t> multi = rstest::random_bytes(300000, 4);
    std::memset(multi.data() + 131072, 0, 131072);  // a hole block
    put("/multi", multi, 0644);
    put("/dup_a", bytes("same content"), 0644);
    put("/dup_b", bytes("same content"), 0644);
    symlink("dvb/theme/keymap.xml", (src + "/link").c_str());
    mkfifo((src + "/fifo").c_str(), 0640);
  }
  static std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
  void put(const std::string& rel, const std::vector<uint8_t>& data, mode_t mode) {
    rstest::write_bytes(src + rel, data);
    chmod((src + rel).c_str(), mode);
    files[rel] = data;
  }
  // Builds an image; pseudo definitions add a device and an owned file.
  std::vector<uint8_t> make(const std::string& opts) {
    std::string img = dir.file("in.sqfs");
    unlink(img.c_str());
    auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(img) + " -noappend -no-progress " +
                         "-p '/tty c 620 0 5 4 64' -p '/blk b 660 0 6 8 1' " + opts);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    return read_bytes(img);
  }
};

// Listing of an image as unsquashfs sees it, without times and directory sizes
// (their listing layout is the builder's own choice).
std::string listing(const std::string& img) {
  auto r = run_command("unsquashfs -lln -d /x " + shell_quote(img));
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream in(r.out);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == 'P' || line.find("/x") == std::string::npos) continue;
    std::istringstream f(line);
    std::string perm, owner, size, date, time, name;
    f >> perm >> owner >> size >> date >> time;
    std::getline(f, name);
    if (perm[0] == 'd') size = "-";
    out += perm + " " + owner + " " + size + " " + name + "\n";
  }
  return out;
}

std::string superblock_info(const std::string& img) { return run_command("unsquashfs -s " + shell_quote(img)).out; }

Tree load(std::vector<uint8_t>& img) { return Tree(squashfs_load_memory(img.data(), img.size())); }

std::vector<uint8_t> rebuild(squashfs_entry* root) {
  size_t len = 0;
  uint8_t* p = squashfs_mmap(root, &len);
  EXPECT_NE(p, nullptr);
  if (!p) return {};
  std::vector<uint8_t> v(p, p + len);
  free(p);
  return v;
}

std::vector<uint8_t> content(squashfs_entry* root, const std::string& path) {
  squashfs_entry* e = squashfs_find(root, path.c_str());
  if (!e) return {};
  std::vector<uint8_t> v(size_t(e->stbuf.st_size) + 16);
  int n = squashfs_read(root, path.c_str(), v.data(), v.size(), 0);
  v.resize(size_t(n));
  return v;
}

class Mksquashfs4 : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!rstest::have_tool("mksquashfs") || !rstest::have_tool("unsquashfs"))
      GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  }
};

TEST_P(Mksquashfs4, LoadsExactlyAndRebuildsEquivalentImage) {
  HostTree host;
  std::vector<uint8_t> img = host.make(GetParam());
  Tree root = load(img);
  ASSERT_TRUE(root);
  for (auto& [path, data] : host.files) EXPECT_EQ(content(root.get(), path), data) << path;
  squashfs_entry* link = squashfs_find(root.get(), "/link");
  ASSERT_TRUE(link);
  EXPECT_TRUE(S_ISLNK(link->stbuf.st_mode));
  EXPECT_EQ(as_text(link->buf), "dvb/theme/keymap.xml");
  squashfs_entry* tty = squashfs_find(root.get(), "/tty");
  ASSERT_TRUE(tty);
  EXPECT_TRUE(S_ISCHR(tty->stbuf.st_mode));
  EXPECT_EQ(major(tty->stbuf.st_rdev), 4u);
  EXPECT_EQ(minor(tty->stbuf.st_rdev), 64u);
  EXPECT_EQ(tty->stbuf.st_gid, 5u);
  EXPECT_EQ(squashfs_find(root.get(), "/bin_tool")->stbuf.st_mode, mode_t(0100755));
  EXPECT_TRUE(S_ISFIFO(squashfs_find(root.get(), "/fifo")->stbuf.st_mode));

  rstest::TempDir out;
  std::string orig = out.file("orig.sqfs"), rebuilt = out.file("new.sqfs");
  rstest::write_bytes(orig, img);
  std::vector<uint8_t> again = rebuild(root.get());
  ASSERT_FALSE(again.empty());
  EXPECT_EQ(again.size() % 4096, 0u);
  rstest::write_bytes(rebuilt, again);
  EXPECT_EQ(listing(rebuilt), listing(orig));

  // Same build parameters: block size, compressor options and flag lines.
  auto keep = [](const std::string& s) {
    std::istringstream in(s);
    std::string line, kept;
    while (std::getline(in, line))
      if (line.find("Block size") == 0 || line.find("ompress") != std::string::npos ||
          line.find("Dictionary") != std::string::npos || line.find("Filters") != std::string::npos ||
          line.find("Duplicates") != std::string::npos || line.find("exportable") != std::string::npos ||
          line.find("Fragments are") != std::string::npos || line.find("Xattrs") == 0)
        kept += line + "\n";
    return kept;
  };
  EXPECT_EQ(keep(superblock_info(rebuilt)), keep(superblock_info(orig)));

  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(out.file("x")) + " " + shell_quote(rebuilt));
  ASSERT_EQ(r.status, 0) << r.err;
  for (auto& [path, data] : host.files) EXPECT_EQ(read_bytes(out.file("x") + path), data) << path;

  Tree again_root = load(again);
  ASSERT_TRUE(again_root);
  for (auto& [path, data] : host.files) EXPECT_EQ(content(again_root.get(), path), data) << path;
}

INSTANTIATE_TEST_SUITE_P(Options, Mksquashfs4,
                         ::testing::Values("-comp xz", "-comp xz -b 4096 -no-fragments",
                                           "-comp xz -Xbcj x86,arm -Xdict-size 65536 -always-use-fragments",
                                           "-comp xz -noI -noD -noF -no-duplicates",
                                           "-comp xz -b 1048576 -exports -no-sparse"));

class Fixture4 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs not installed";
    img = host.make("-comp xz");
    root = load(img);
    ASSERT_TRUE(root);
  }
  HostTree host;
  std::vector<uint8_t> img;
  Tree root;
};

TEST_F(Fixture4, ReadHonoursSizeAndOffset) {
  const auto& whole = host.files["/dvb/theme/keymap.xml"];
  char buf[256];
  EXPECT_EQ(squashfs_read(root.get(), "/dvb/theme/keymap.xml", buf, sizeof buf, 0), int(whole.size()));
  EXPECT_EQ(squashfs_read(root.get(), "/dvb/theme/keymap.xml", buf, 5, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "<keym");
  EXPECT_EQ(squashfs_read(root.get(), "dvb//theme/keymap.xml", buf, 4, 1), 4);
  EXPECT_EQ(std::string(buf, 4), "keym");
  EXPECT_EQ(squashfs_read(root.get(), "/dvb/theme/keymap.xml", buf, sizeof buf, whole.size()), 0);
  EXPECT_EQ(squashfs_read(root.get(), "/missing", buf, sizeof buf, 0), 0);
  EXPECT_EQ(squashfs_read(root.get(), "/dvb", buf, sizeof buf, 0), 0);
}

TEST_F(Fixture4, AddKeepsNameOrderAndReplacesInsteadOfDuplicating) {
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/dvb/theme/c.txt", "ccc", 3));
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/dvb/theme/a.txt", "a", 1));
  std::string names;
  for (squashfs_entry* c = squashfs_find(root.get(), "/dvb/theme")->child; c; c = c->next) names += c->name + ",";
  EXPECT_EQ(names, "a.txt,b.bin,c.txt,keymap.xml,");
  EXPECT_EQ(squashfs_find(root.get(), "/dvb/theme")->last_child->name, "keymap.xml");

  EXPECT_EQ(squashfs_add_buffer(root.get(), "/nodir/x", "x", 1), nullptr);
  EXPECT_EQ(squashfs_add_buffer(root.get(), "/dvb/theme/keymap.xml/x", "x", 1), nullptr);
  EXPECT_EQ(squashfs_add_buffer(root.get(), "/dvb", "x", 1), nullptr);  // never replaces a directory

  EXPECT_EQ(squashfs_rm(root.get(), "/dvb/theme/keymap.xml"), 0);
  EXPECT_EQ(squashfs_rm(root.get(), "/dvb/theme/keymap.xml"), 0);
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/dvb/theme/keymap.xml", "new", 3));
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/dvb/theme/keymap.xml", "newer", 5));
  int count = 0;
  for (squashfs_entry* c = squashfs_find(root.get(), "/dvb/theme")->child; c; c = c->next)
    count += c->name == "keymap.xml";
  EXPECT_EQ(count, 1);
  EXPECT_EQ(as_text(content(root.get(), "/dvb/theme/keymap.xml")), "newer");
}

TEST_F(Fixture4, EditsSurviveRebuildAndReload) {
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/dvb/theme/new.txt", "hello", 5));
  ASSERT_TRUE(squashfs_mkdir(root.get(), "/newdir"));
  std::vector<uint8_t> big = rstest::random_bytes(400000, 9);
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/newdir/big", big.data(), big.size()));
  squashfs_rm(root.get(), "/dvb/theme/b.bin");
  squashfs_rm(root.get(), "/empty_dir");
  std::vector<uint8_t> img2 = rebuild(root.get());
  Tree r2 = load(img2);
  ASSERT_TRUE(r2);
  EXPECT_EQ(as_text(content(r2.get(), "/dvb/theme/new.txt")), "hello");
  EXPECT_EQ(content(r2.get(), "/newdir/big"), big);
  EXPECT_EQ(squashfs_find(r2.get(), "/dvb/theme/b.bin"), nullptr);
  EXPECT_EQ(squashfs_find(r2.get(), "/empty_dir"), nullptr);
  squashfs_entry* e = squashfs_find(r2.get(), "/dvb/theme/new.txt");
  EXPECT_EQ(e->stbuf.st_mode, mode_t(0100644));
  EXPECT_EQ(e->stbuf.st_uid, 0u);
  EXPECT_EQ(e->stbuf.st_gid, 0u);
  EXPECT_EQ(squashfs_find(r2.get(), "/newdir")->stbuf.st_mode, mode_t(040775));
  EXPECT_EQ(content(r2.get(), "/multi"), host.files["/multi"]);
  if (rstest::have_tool("unsquashfs")) {
    rstest::TempDir out;
    rstest::write_bytes(out.file("i"), img2);
    auto r = run_command("unsquashfs -no-progress -d " + shell_quote(out.file("x")) + " " + shell_quote(out.file("i")));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_bytes(out.file("x/newdir/big")), big);
  }
}

TEST(Squashfs4Tree, ListingDrawsConnectorsAndSizes) {
  // The tree of one empty image made in code: add nodes, then list.
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs not installed";
  rstest::TempDir d;
  mkdir(d.file("e").c_str(), 0755);
  ASSERT_EQ(run_command("mksquashfs " + d.file("e") + " " + d.file("i") + " -comp xz -no-progress").status, 0);
  auto img = read_bytes(d.file("i"));
  Tree root = load(img);
  ASSERT_TRUE(root);
  ASSERT_TRUE(squashfs_mkdir(root.get(), "/b"));
  ASSERT_TRUE(squashfs_mkdir(root.get(), "/a"));
  ASSERT_TRUE(squashfs_add_buffer(root.get(), "/a/f", "0123456789", 10));
  testing::internal::CaptureStdout();
  EXPECT_EQ(squashfs_ls(root.get(), 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "|-- a\n|   `-- f\t\t(10)\n`-- b\n");
}

struct BadCase {
  const char* name;
  size_t offset;
  std::vector<uint8_t> bytes;
  const char* extra_message;
};

class Refused4 : public ::testing::TestWithParam<BadCase> {};

TEST_P(Refused4, FailsWithLoadMessage) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs not installed";
  HostTree host;
  std::vector<uint8_t> img = host.make("-comp xz");
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(), img.begin() + GetParam().offset);
  testing::internal::CaptureStderr();
  Tree root = load(img);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(root);
  EXPECT_NE(err.find("squashfs error: [squashfs_load 363]\n"), std::string::npos) << err;
  EXPECT_NE(err.find(GetParam().extra_message), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, Refused4,
    ::testing::Values(BadCase{"minor1", 30, {1, 0}, ""}, BadCase{"bigendian", 0, {'s', 'q', 's', 'h'}, ""},
                      BadCase{"bad_compressor_table", 20, {1, 0}, ""},
                      BadCase{"plain_v3", 28, {3, 0}, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Squashfs4Malformed, TruncatedAndCorruptedImagesNeverCrash) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs not installed";
  HostTree host;
  std::vector<uint8_t> img = host.make("-comp xz -b 4096");
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  for (size_t len : {size_t(0), size_t(95), size_t(96), size_t(200), img.size() / 2, img.size() - 5000}) {
    std::vector<uint8_t> cut(img.begin(), img.begin() + std::min(len, img.size()));
    EXPECT_FALSE(load(cut)) << len;
  }
  std::vector<uint8_t> noise = rstest::random_bytes(img.size() * 8, 77);
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> bad = img;
    for (int k = 0; k < 4; ++k)
      bad[(noise[8 * i + k] | noise[8 * i + k + 4] << 8) % std::min<size_t>(bad.size(), 65536)] ^=
          uint8_t(1 + noise[i]);
    Tree t = load(bad);  // may load when only padding or content bytes changed
  }
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
}

}  // namespace
