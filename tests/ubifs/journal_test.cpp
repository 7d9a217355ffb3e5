// Edits saved as a journal over the image's own bytes: the tree reads back as
// edited, only the bud PEBs, the log's PEB and (when the file system grows
// into its volume) the superblock's change, untouched data nodes stay where
// they were, a second save journals after the first, and a forced commit
// falls back to the whole rewrite.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "core/fs_contract.h"
#include "testutil.h"
#include "ubi/ubi.h"
#include "ubifs/ubifs.h"
#include "ubifs/ubifs_write.h"

namespace {

namespace sfs = std::filesystem;
using rstest::shell_quote;

constexpr uint32_t kPeb = 131072, kLeb = 126976;

std::string run_ok(const std::string& cmd) {
  rstest::RunResult r = rstest::run_command(cmd);
  return r.status == 0 ? "" : cmd + ": " + r.out + r.err;
}

struct Case {
  const char* label;
  bool ubi;
  // What the edit does through the table; "" for the path prefix of the volume.
  void (*edit)(void* fs, const std::string& top);
  // path -> content ("<dir>" for a directory) expected after it; mode checks below.
  std::map<std::string, std::string> (*want)();
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

const std::string kBig(50000, 'b');
std::map<std::string, std::string> base_tree() {
  return {
      {"/etc", "<dir>"}, {"/etc/issue", "hello box\n"},    {"/etc/old", "old\n"}, {"/bin", "<dir>"}, {"/bin/big", kBig},
      {"/var", "<dir>"}, {"/var/keep", "kept as stored\n"}};
}

void put(void* fs, const std::string& p, const std::string& text) {
  ASSERT_EQ(ubifs_fs_ops.put(fs, p.c_str(), text.data(), text.size(), nullptr), 0) << p;
}

const Case kCases[] = {
    {"replace_ubi", true, [](void* fs, const std::string& t) { put(fs, t + "/etc/issue", "replaced\n"); },
     [] {
       auto w = base_tree();
       w["/etc/issue"] = "replaced\n";
       return w;
     }},
    {"add_mkdir_bare", false,
     [](void* fs, const std::string& t) {
       ASSERT_EQ(ubifs_fs_ops.mkdir(fs, (t + "/usr").c_str(), 0755), 0);
       put(fs, t + "/usr/added", "new file\n");
     },
     [] {
       auto w = base_tree();
       w["/usr"] = "<dir>";
       w["/usr/added"] = "new file\n";
       return w;
     }},
    {"remove_rename_ubi", true,
     [](void* fs, const std::string& t) {
       ASSERT_EQ(ubifs_fs_ops.remove(fs, (t + "/etc/old").c_str()), 0);
       ASSERT_EQ(ubifs_fs_ops.rename(fs, (t + "/var/keep").c_str(), (t + "/etc/kept").c_str()), 0);
     },
     [] {
       auto w = base_tree();
       w.erase("/etc/old");
       w.erase("/var/keep");
       w["/etc/kept"] = "kept as stored\n";
       return w;
     }},
    // A file that shrinks: its old blocks past the new end must not come back.
    {"shrink_chmod_bare", false,
     [](void* fs, const std::string& t) {
       put(fs, t + "/bin/big", "short\n");
       ASSERT_EQ(ubifs_fs_ops.chmod(fs, (t + "/etc/issue").c_str(), 0600), 0);
     },
     [] {
       auto w = base_tree();
       w["/bin/big"] = "short\n";
       return w;
     }},
    {"remove_dir_ubi", true,
     [](void* fs, const std::string& t) { ASSERT_EQ(ubifs_fs_ops.remove(fs, (t + "/bin").c_str()), 0); },
     [] {
       auto w = base_tree();
       w.erase("/bin");
       w.erase("/bin/big");
       return w;
     }},
};

class Journal : public testing::TestWithParam<Case> {
 protected:
  rstest::TempDir d;
  std::vector<uint8_t> img;
  std::string top;

  void SetUp() override {
    if (!rstest::have_tool("mkfs.ubifs") || !rstest::have_tool("ubinize")) GTEST_SKIP() << "mtd-utils is not installed";
    std::string src = d.file("root");
    for (auto& [p, text] : base_tree())
      if (text == "<dir>")
        sfs::create_directories(src + p);
      else
        rstest::write_text(src + p, text);
    ASSERT_EQ(run_ok("mkfs.ubifs -q -m 2048 -e " + std::to_string(kLeb) + " -c 64 -x lzo -r " + shell_quote(src) +
                     " -o " + shell_quote(d.file("fs.img"))),
              "");
    if (GetParam().ubi) {
      rstest::write_text(d.file("ubi.ini"), "[rootfs]\nmode=ubi\nimage=" + d.file("fs.img") +
                                                "\nvol_id=0\nvol_type=dynamic\nvol_size=5MiB\nvol_name=rootfs\n");
      ASSERT_EQ(run_ok("ubinize -o " + shell_quote(d.file("u.img")) + " -p 128KiB -m 2048 -Q 4321 " +
                       shell_quote(d.file("ubi.ini"))),
                "");
      img = rstest::read_bytes(d.file("u.img"));
      img.resize(48 * size_t(kPeb), 0xff);  // erased PEBs after the image
      top = "/rootfs";
    } else {
      img = rstest::read_bytes(d.file("fs.img"));
      img.resize(40 * size_t(kLeb), 0xff);  // the volume's LEBs beyond leb_cnt, erased
      top = "";
    }
  }

  void* load() { return ubifs_fs_ops.load(img.data(), uint32_t(img.size()), uint32_t(img.size())); }

  void expect_tree(void* fs, const std::map<std::string, std::string>& want) {
    std::vector<fs_node> nodes;
    ASSERT_EQ(ubifs_fs_ops.walk(fs, top.empty() ? "/" : top.c_str(), &nodes), 0);
    std::map<std::string, std::string> got;
    for (const fs_node& n : nodes) {
      std::string rel = n.path.substr(top.size());
      if (rel.empty() || rel == "/") continue;
      if ((n.attr.mode & 0170000) == 0040000) {
        got[rel] = "<dir>";
        continue;
      }
      std::string text(n.attr.size, '\0');
      ubifs_fs_ops.pread(fs, n.path.c_str(), text.data(), text.size(), 0);
      got[rel] = text;
    }
    EXPECT_EQ(got, want);
  }

  // Saves in place; the index of every changed block of the image.
  std::vector<size_t> save(void* fs) {
    std::vector<uint8_t> before = img;
    std::string why;
    long long n = ubifs_fs_ops.rebuild_in_place(fs, img.data(), img.size(), &why);
    EXPECT_GE(n, 0) << why;
    std::vector<size_t> changed;
    size_t unit = GetParam().ubi ? kPeb : kLeb;
    for (size_t i = 0; i * unit < img.size(); ++i)
      if (std::memcmp(before.data() + i * unit, img.data() + i * unit, unit)) changed.push_back(i);
    return changed;
  }
};

TEST_P(Journal, EditSavedInPlaceReadsBackAndLeavesTheRestAsItWas) {
  const Case& c = GetParam();
  std::vector<uint8_t> orig = img;
  void* fs = load();
  ASSERT_TRUE(fs);
  c.edit(fs, top);
  std::vector<size_t> changed = save(fs);
  ubifs_fs_ops.release(fs);

  // Only blocks that were erased (new buds, new PEBs), the log and the superblock changed.
  size_t unit = c.ubi ? kPeb : kLeb;
  auto was_free = [&](size_t i) {
    if (c.ubi) {
      // A PEB with nothing past its EC header.
      for (size_t k = 64; k < unit; ++k)
        if (orig[i * unit + k] != 0xff) return false;
      return true;
    }
    for (size_t k = 0; k < unit; ++k)
      if (orig[i * unit + k] != 0xff) return false;
    return true;
  };
  size_t used_changed = 0;
  for (size_t i : changed) used_changed += !was_free(i);
  EXPECT_GE(changed.size(), 2u);
  EXPECT_LE(used_changed, c.ubi ? 1u : 2u) << "PEBs in use rewritten besides the log's";

  fs = load();
  ASSERT_TRUE(fs);
  expect_tree(fs, c.want());
  if (std::string(c.label).rfind("shrink", 0) == 0) {
    fs_attr a;
    ASSERT_EQ(ubifs_fs_ops.stat(fs, (top + "/etc/issue").c_str(), &a), 0);
    EXPECT_EQ(a.mode & 07777, 0600u);
  }
  if (c.ubi) {
    std::string why;
    auto u = rs::ubi::open(img.data(), img.size(), &why);
    ASSERT_TRUE(u) << why;
    EXPECT_EQ(u->image_seq, 4321u);
  }

  // A second journal after the first.
  put(fs, top + "/etc/second", "second save\n");
  save(fs);
  ubifs_fs_ops.release(fs);
  fs = load();
  ASSERT_TRUE(fs);
  auto w = c.want();
  w["/etc/second"] = "second save\n";
  expect_tree(fs, w);
  ubifs_fs_ops.release(fs);
}

// Data nodes of a file the edit did not touch are read where mkfs put them.
TEST_P(Journal, UntouchedDataNodesStayInPlace) {
  const Case& c = GetParam();
  std::vector<uint8_t> orig = img;
  void* fs = load();
  ASSERT_TRUE(fs);
  c.edit(fs, top);
  save(fs);
  ubifs_fs_ops.release(fs);
  // Every LEB that held data before holds the same bytes (the log aside).
  size_t unit = c.ubi ? kPeb : kLeb;
  size_t same = 0, differ = 0;
  for (size_t i = 0; i * unit < orig.size(); ++i) {
    bool empty = true;
    for (size_t k = c.ubi ? 64 : 0; k < unit && empty; ++k) empty = orig[i * unit + k] == 0xff;
    if (empty) continue;
    (std::memcmp(orig.data() + i * unit, img.data() + i * unit, unit) ? differ : same)++;
  }
  EXPECT_GT(same, 4u);
  EXPECT_LE(differ, c.ubi ? 1u : 2u);
}

// ROMSMITH_UBIFS_COMMIT=1: no journal, the whole rewrite, which reads right too.
TEST_P(Journal, ForcedCommitRewritesWhole) {
  const Case& c = GetParam();
  setenv("ROMSMITH_UBIFS_COMMIT", "1", 1);
  void* fs = load();
  ASSERT_TRUE(fs);
  c.edit(fs, top);
  std::string why;
  EXPECT_EQ(ubifs_fs_ops.rebuild_in_place(fs, img.data(), img.size(), &why), -1);
  size_t n = 0;
  uint8_t* out = ubifs_fs_ops.rebuild(fs, &n, &why);
  unsetenv("ROMSMITH_UBIFS_COMMIT");
  ubifs_fs_ops.release(fs);
  ASSERT_TRUE(out) << why;
  img.assign(out, out + n);
  ubifs_fs_ops.release_image(out, n);
  fs = load();
  ASSERT_TRUE(fs);
  expect_tree(fs, c.want());
  ubifs_fs_ops.release(fs);
}

INSTANTIATE_TEST_SUITE_P(Ubifs, Journal, testing::ValuesIn(kCases),
                         [](const auto& i) { return std::string(i.param.label); });

}  // namespace

namespace {

// Save after save on a small volume: the log LEB fills (the references move to
// the next one), then the buds pass max_bud_bytes and the save falls back to
// the whole rewrite; every file written stays readable throughout.
TEST(UbifsJournalRuns, SaveAfterSaveUntilTheJournalIsFull) {
  if (!rstest::have_tool("mkfs.ubifs")) GTEST_SKIP() << "mtd-utils is not installed";
  rstest::TempDir d;
  std::string src = d.file("root");
  sfs::create_directories(src + "/etc");
  rstest::write_text(src + "/etc/issue", "hello\n");
  ASSERT_EQ(run_ok("mkfs.ubifs -q -m 512 -e 15872 -c 400 -l 3 -x lzo -r " + shell_quote(src) + " -o " +
                   shell_quote(d.file("fs.img"))),
            "");
  std::vector<uint8_t> img = rstest::read_bytes(d.file("fs.img"));
  img.resize(400 * size_t(15872), 0xff);
  int journals = 0, whole = 0;
  std::map<std::string, std::string> want{{"/etc/issue", "hello\n"}};
  for (int i = 0; i < 80; ++i) {
    void* fs = ubifs_fs_ops.load(img.data(), uint32_t(img.size()), uint32_t(img.size()));
    ASSERT_TRUE(fs) << "save " << i;
    for (auto& [p, text] : want) {
      std::string got(text.size() + 1, '\0');
      ASSERT_EQ(ubifs_fs_ops.pread(fs, p.c_str(), got.data(), got.size(), 0), (long long)text.size()) << p << " " << i;
      ASSERT_EQ(got.substr(0, text.size()), text) << p;
    }
    std::string p = "/etc/f" + std::to_string(i), text(3000 + i * 10, char('a' + i % 26));
    ASSERT_EQ(ubifs_fs_ops.put(fs, p.c_str(), text.data(), text.size(), nullptr), 0) << i;
    want[p] = text;
    std::string why;
    long long n = ubifs_fs_ops.rebuild_in_place(fs, img.data(), img.size(), &why);
    ASSERT_NE(n, -2) << why;
    if (n >= 0) {
      ++journals;
    } else {
      size_t size = 0;
      uint8_t* out = ubifs_fs_ops.rebuild(fs, &size, &why);
      ASSERT_TRUE(out) << why;
      std::vector<uint8_t> next(out, out + size);
      ubifs_fs_ops.release_image(out, size);
      next.resize(std::max(next.size(), img.size()), 0xff);
      ubifs_fs_ops.release(fs);
      img.swap(next);
      ++whole;
      continue;
    }
    ubifs_fs_ops.release(fs);
  }
  EXPECT_GT(journals, 40);
  EXPECT_GE(whole, 1);
}

}  // namespace
