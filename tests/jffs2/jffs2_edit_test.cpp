// Edits saved the way the box saves them: new nodes in erased flash, every
// other byte as loaded; compaction when erased flash is short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "jffs2_support.h"

namespace {

using rstest::run_command;
using rstest::shell_quote;

struct Layout {
  const char* label;
  const char* args;
  bool big, summary;
  uint32_t erase;
};
void PrintTo(const Layout& l, std::ostream* os) { *os << l.label; }
const Layout kLayouts[] = {
    {"le_16k", "-l -e 16KiB", false, false, 0x4000},
    {"be_64k_nocm", "-b -e 64KiB -n", true, false, 0x10000},
    {"le_16k_rtime", "-l -e 16KiB -x zlib", false, false, 0x4000},
    {"le_16k_lzo", "-l -e 16KiB -X lzo -x zlib -x rtime", false, false, 0x4000},
    {"summary", "-l -e 16KiB", false, true, 0x4000},
};

std::string make_image(const rstest::TempDir& dir, const Layout& l, const std::string& extra = "") {
  std::string img = dir.file("a.img");
  auto r = run_command(std::string("mkfs.jffs2 ") + l.args + " " + extra + " -r " + shell_quote(dir.file("src")) +
                       " -o " + shell_quote(img));
  EXPECT_EQ(r.status, 0) << r.err;
  if (l.summary) {
    std::string s = dir.file("s.img");
    r = run_command(std::string("sumtool ") + (l.big ? "-b" : "-l") + " -e " + std::to_string(l.erase) + " -i " +
                    shell_quote(img) + " -o " + shell_quote(s));
    EXPECT_EQ(r.status, 0) << r.err;
    img = s;
  }
  return img;
}

// Every node jffs2dump finds, as (offset, length).
std::vector<std::pair<uint64_t, uint64_t>> dumped_nodes(const std::string& img, bool big) {
  auto r = run_command(std::string("jffs2dump -c ") + (big ? "-b " : "-l ") + shell_quote(img));
  std::vector<std::pair<uint64_t, uint64_t>> out;
  std::istringstream in(r.out);
  for (std::string l; std::getline(in, l);) {
    size_t a = l.find("node at 0x"), t = l.find("totlen 0x");
    if (a == std::string::npos || t == std::string::npos) continue;
    out.emplace_back(std::stoull(l.substr(a + 8), nullptr, 16), std::stoull(l.substr(t + 7), nullptr, 16));
  }
  return out;
}

struct Saved {
  std::vector<uint8_t> bytes;
  std::string log;
  bool compacted = false;
};

Saved save(rs::jffs2::fs& fs) {
  Saved s;
  std::string why;
  testing::internal::CaptureStderr();
  s.bytes = fs.rebuild(&why, &s.compacted);
  s.log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(s.bytes.empty()) << why;
  return s;
}

// The saved image against the loaded one: only erased bytes changed, no node
// crosses an erase-block end, every CRC holds.
void expect_appended(const std::vector<uint8_t>& before, const Saved& after, const Layout& l,
                     const rstest::TempDir& dir) {
  ASSERT_EQ(after.bytes.size(), before.size());
  EXPECT_FALSE(after.compacted);
  size_t changed = 0, outside = 0;
  for (size_t i = 0; i < before.size(); ++i)
    if (before[i] != after.bytes[i]) ++changed, outside += before[i] != 0xFF;
  EXPECT_GT(changed, 0u);
  EXPECT_EQ(outside, 0u) << "bytes of loaded nodes were changed";
  std::string out = dir.file("out.img");
  rstest::write_bytes(out, after.bytes);
  EXPECT_EQ(jt::dump_complaints(out, l.big), "");
  for (auto [at, len] : dumped_nodes(out, l.big))
    EXPECT_EQ(at / l.erase, (at + len - 1) / l.erase) << "node at " << at << " crosses a block end";
}

class Edit : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    for (const char* t : {"mkfs.jffs2", "sumtool", "jffs2dump"})
      if (!rstest::have_tool(t)) GTEST_SKIP() << t << " is not installed";
    want = jt::make_tree(dir.file("src"));
  }
  rstest::TempDir dir;
  jt::HostTree want;
};

TEST_P(Edit, AppendsOnlyNewNodesAndASecondEditWorksOnTheSavedImage) {
  const Layout& l = GetParam();
  jt::Part p(rstest::read_bytes(make_image(dir, l)), 0x100000);
  ASSERT_TRUE(p.fs);
  std::string big;
  for (int i = 0; i < 3000; ++i) big += "replaced " + std::to_string(i * 7) + "\n";
  ASSERT_EQ(p.fs->put("/etc/text", big.data(), big.size(), -1, -1, -1), 0);  // the hard link keeps the old bytes
  want.files["/etc/text"] = big;
  want.lines["/etc/text"] = jt::line(0100644, 0, 0, big.size(), "");
  ASSERT_EQ(p.fs->mkdir("/new", 0700), 0);
  ASSERT_EQ(p.fs->put("/new/file", "fresh\n", 6, 0640, 5, 6), 0);
  want.lines["/new"] = jt::line(040700, 0, 0, 0, "");
  want.lines["/new/file"] = jt::line(0100640, 5, 6, 6, ""), want.files["/new/file"] = "fresh\n";
  ASSERT_EQ(p.fs->remove("/bin/zeros"), 0);
  want.lines.erase("/bin/zeros"), want.files.erase("/bin/zeros");
  ASSERT_EQ(p.fs->rename("/etc/init.d/rcS", "/bin/rcS"), 0);
  want.lines["/bin/rcS"] = want.lines["/etc/init.d/rcS"], want.files["/bin/rcS"] = want.files["/etc/init.d/rcS"];
  want.lines.erase("/etc/init.d/rcS"), want.files.erase("/etc/init.d/rcS");
  ASSERT_EQ(p.fs->chmod("/bin/random", 0700), 0);
  ASSERT_EQ(p.fs->chown("/bin/random", 1000, 100), 0);
  want.lines["/bin/random"] = jt::line(0100700, 1000, 100, 400000, "");
  ASSERT_EQ(p.fs->symlink("rcS", "/bin/sh"), 0);
  want.lines["/bin/sh"] = jt::line(0120777, 0, 0, 3, "rcS");
  ASSERT_EQ(p.fs->remove("/etc/init.d"), 0);
  want.lines.erase("/etc/init.d");
  ASSERT_EQ(p.fs->set_mtime("/etc/rlink", 1234567890), 0);

  Saved s = save(*p.fs);
  EXPECT_NE(s.log.find("appended into erased flash"), std::string::npos) << s.log;
  expect_appended(p.bytes, s, l, dir);
  jt::Part again(s.bytes, s.bytes.size());
  ASSERT_TRUE(again.fs);
  jt::HostTree got = jt::tree_of(*again.fs);
  EXPECT_EQ(got.lines, want.lines);
  EXPECT_EQ(jt::differing(got.files, want.files), "");
  rs::jffs2::attr a;
  ASSERT_EQ(again.fs->stat("/etc/rlink", &a), 0);
  EXPECT_EQ(a.mtime, 1234567890u);
  EXPECT_EQ(again.fs->image_layout().compr, p.fs->image_layout().compr);

  // Again on the saved image: its own new nodes are now loaded ones.
  ASSERT_EQ(again.fs->put("/new/file", "second\n", 7, -1, -1, -1), 0);
  ASSERT_EQ(again.fs->rename("/new", "/renamed"), 0);
  Saved s2 = save(*again.fs);
  expect_appended(again.bytes, s2, l, dir);
  jt::Part third(s2.bytes, s2.bytes.size());
  ASSERT_TRUE(third.fs);
  std::string c(7, '\0');
  EXPECT_EQ(third.fs->pread("/renamed/file", c.data(), 7, 0), 7);
  EXPECT_EQ(c, "second\n");
  ASSERT_EQ(third.fs->stat("/renamed/file", &a), 0);
  EXPECT_EQ(a.mode, 0100640u);
  EXPECT_EQ(a.uid, 5u);
  EXPECT_NE(third.fs->stat("/new", &a), 0);
}

TEST_P(Edit, CompactsWhenErasedFlashIsShortAndRefusesWhatCannotFit) {
  const Layout& l = GetParam();
  // Padded to its last block and loaded into exactly that: hardly any erased flash.
  std::vector<uint8_t> in = rstest::read_bytes(make_image(dir, l, "-p"));
  size_t total = (in.size() + l.erase - 1) / l.erase * l.erase + l.erase;  // one erased block spare
  jt::Part p(in, total);
  ASSERT_TRUE(p.fs);
  auto rnd = rstest::random_bytes(400000, 99);
  ASSERT_EQ(p.fs->put("/bin/random", rnd.data(), rnd.size(), -1, -1, -1), 0);
  want.files["/bin/random"] = std::string(rnd.begin(), rnd.end());
  Saved s = save(*p.fs);
  EXPECT_TRUE(s.compacted);
  EXPECT_NE(s.log.find("jffs2: compacted"), std::string::npos) << s.log;
  std::string out = dir.file("out.img");
  rstest::write_bytes(out, s.bytes);
  EXPECT_EQ(jt::dump_complaints(out, l.big), "");
  jt::Part again(s.bytes, s.bytes.size());
  ASSERT_TRUE(again.fs);
  EXPECT_EQ(jt::differing(jt::tree_of(*again.fs).files, want.files), "");
  EXPECT_EQ(again.fs->image_layout().cleanmarkers, p.fs->image_layout().cleanmarkers);

  // More than the partition can ever hold: the reason gives both sizes, the handle stays usable.
  auto huge = rstest::random_bytes(total, 5);
  ASSERT_EQ(again.fs->put("/huge", huge.data(), huge.size(), -1, -1, -1), 0);
  std::string why;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(again.fs->rebuild(&why).empty());
  testing::internal::GetCapturedStderr();
  EXPECT_NE(why.find("the compacted jffs2 needs "), std::string::npos) << why;
  EXPECT_NE(why.find("the partition holds " + std::to_string(total)), std::string::npos) << why;
  EXPECT_TRUE(jt::tree_of(*again.fs).files["/etc/text"] == want.files["/etc/text"]);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Edit, ::testing::ValuesIn(kLayouts),
                         [](const auto& i) { return std::string(i.param.label); });

}  // namespace

namespace {

// Extended attributes live in nodes of their own: a compaction copies them as stored.
TEST(Jffs2Xattr, CompactionCopiesXattrNodesAsStored) {
  for (const char* t : {"mkfs.jffs2", "setfattr", "jffs2dump"})
    if (!rstest::have_tool(t)) GTEST_SKIP() << t << " is not installed";
  rstest::TempDir dir;
  jt::sfs::create_directories(dir.file("src"));
  rstest::write_text(dir.file("src/f"), "hi\n");
  rstest::write_bytes(dir.file("src/big"), rstest::random_bytes(40000, 1));
  auto r = run_command("setfattr -n user.test -v hello " + shell_quote(dir.file("src/f")));
  if (r.status != 0) GTEST_SKIP() << "no user xattrs here: " << r.err;
  std::string img = dir.file("a.img");
  r = run_command("mkfs.jffs2 --with-xattr -p -l -e 16KiB -r " + shell_quote(dir.file("src")) + " -o " +
                  shell_quote(img));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> in = rstest::read_bytes(img);
  jt::Part p(in, in.size() + 0x4000);
  ASSERT_TRUE(p.fs);
  // The xattr and xref nodes as mkfs.jffs2 wrote them.
  std::vector<std::vector<uint8_t>> kept;
  for (size_t at = 0; at + 12 <= in.size(); at += 4) {
    uint16_t type = uint16_t(in[at + 2] | in[at + 3] << 8);
    if (in[at] == 0x85 && in[at + 1] == 0x19 && (type == 0xE008 || type == 0xE009)) {
      size_t len = in[at + 4] | in[at + 5] << 8 | in[at + 6] << 16;
      kept.emplace_back(in.begin() + long(at), in.begin() + long(at + len));
    }
  }
  ASSERT_EQ(kept.size(), 2u);
  auto rnd = rstest::random_bytes(40000, 2);
  ASSERT_EQ(p.fs->put("/big", rnd.data(), rnd.size(), -1, -1, -1), 0);
  Saved s = save(*p.fs);
  ASSERT_TRUE(s.compacted) << s.log;
  for (auto& k : kept) EXPECT_NE(std::search(s.bytes.begin(), s.bytes.end(), k.begin(), k.end()), s.bytes.end());
  std::string out = dir.file("out.img");
  rstest::write_bytes(out, s.bytes);
  EXPECT_EQ(jt::dump_complaints(out, false), "");
}

}  // namespace
