// squashfs 4.0 edits saved over the loaded image: the data area stays byte
// for byte where it was (its pages never written), only the superblock and
// the tail after the old data change, and unsquashfs and our reader see the
// edited tree. Dead bytes past an eighth, no room, or the user's choice give
// the whole, compacting rebuild.
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>
#include <sqfs/compressor.h>
#include <sqfs/inode.h>
#include <sqfs/meta_reader.h>
#include <sqfs/super.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/image_state.h"
#include "core/state.h"
#include "core/table.h"
#include "fixture.h"
#include "squashfs/memfile.h"
#include "squashfs/squashfs.h"
#include "squashfs_test_util.h"
#include "testutil.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/mapping.h"
#include "util/strutil.h"

namespace {

using rstest::run_command;
using rstest::shell_quote;

constexpr uint32_t kRootAt = 0x10000, kTableAt = 0xC000;

uint64_t le64(const std::vector<uint8_t>& b, size_t at) {
  return rs::load_le32(&b[at]) | uint64_t(rs::load_le32(&b[at + 4])) << 32;
}
uint64_t inode_table_start(const std::vector<uint8_t>& fs) { return le64(fs, 64); }
uint64_t directory_table_start(const std::vector<uint8_t>& fs) { return le64(fs, 72); }
// Where the directory table ends: the first fragment table block.
uint64_t directory_table_end(const std::vector<uint8_t>& fs) { return le64(fs, size_t(le64(fs, 80))); }

// Every inode number the export table lists leads to an inode of that number.
void expect_export_table(const std::vector<uint8_t>& fs, const std::string& tag) {
  rs::sqfs::MemFile file(fs.data(), fs.size());
  sqfs_super_t super;
  ASSERT_EQ(sqfs_super_read(&super, &file.f), 0) << tag;
  if (!(super.flags & SQFS_FLAG_EXPORTABLE)) return;
  sqfs_compressor_config_t cfg;
  ASSERT_EQ(sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(super.compression_id), super.block_size,
                                        SQFS_COMP_FLAG_UNCOMPRESS),
            0);
  sqfs_compressor_t* cmp = nullptr;
  ASSERT_EQ(sqfs_compressor_create(&cfg, &cmp), 0) << tag;
  sqfs_meta_reader_t* ex = sqfs_meta_reader_create(&file.f, cmp, 0, super.bytes_used);
  sqfs_meta_reader_t* in = sqfs_meta_reader_create(&file.f, cmp, super.inode_table_start, super.directory_table_start);
  for (uint32_t n = 1; n <= super.inode_count; ++n) {
    const size_t at = size_t(n - 1) * 8;
    const uint64_t block = le64(fs, size_t(super.export_table_start + at / 8192 * 8));
    uint8_t ref8[8];
    ASSERT_EQ(sqfs_meta_reader_seek(ex, block, at % 8192), 0) << tag << " number " << n;
    ASSERT_EQ(sqfs_meta_reader_read(ex, ref8, 8), 0) << tag << " number " << n;
    const uint64_t ref = rs::load_le64(ref8);
    sqfs_inode_generic_t* inode = nullptr;
    ASSERT_EQ(sqfs_meta_reader_read_inode(in, &super, ref >> 16, ref & 0xFFFF, &inode), 0) << tag << " number " << n;
    EXPECT_EQ(inode->base.inode_number, n) << tag;
    sqfs_free(inode);
  }
  sqfs_destroy(in);
  sqfs_destroy(ex);
  sqfs_destroy(cmp);
}
uint64_t bytes_used(const std::vector<uint8_t>& fs) { return le64(fs, 40); }

// A host tree, the flash image around the squashfs mksquashfs makes of it,
// and the tree it must read as after an edit.
struct Source {
  rstest::TempDir dir;
  std::string src = dir.file("src");
  std::map<std::string, std::vector<uint8_t>> files;
  std::string comp;

  Source() { mkdir(src.c_str(), 0755); }
  void put(const std::string& rel, const std::vector<uint8_t>& data) {
    for (size_t slash = rel.find('/', 1); slash != std::string::npos; slash = rel.find('/', slash + 1))
      mkdir((src + rel.substr(0, slash)).c_str(), 0755);
    rstest::write_bytes(src + rel, data);
    files[rel] = data;
  }
  void drop(const std::string& rel) {
    unlink((src + rel).c_str());
    files.erase(rel);
  }
  void move(const std::string& from, const std::string& to) {
    ASSERT_EQ(::rename((src + from).c_str(), (src + to).c_str()), 0);
    files[to] = files[from];
    files.erase(from);
  }
  std::vector<uint8_t> mksquashfs(const std::string& name) {
    std::string img = dir.file(name);
    auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(img) +
                         " -noappend -no-progress -all-root -comp " + comp);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    return rstest::read_bytes(img);
  }
  // A flash image whose ROOT partition holds `fs` with `room` bytes in all.
  std::string flash_of(const std::vector<uint8_t>& fs, size_t room, const std::string& name) {
    rstest::FixtureTable t = rstest::sample_table(4);
    rstest::FixturePart p;
    p.name = "ROOT";
    p.start = kRootAt;
    p.total = uint32_t(room);
    p.type = FS_SQUASHFS;
    p.content = fs;
    t.parts.push_back(p);
    std::string path = dir.file(name);
    rstest::write_bytes(path, rstest::build_image(t, kRootAt + room + 0x1000, kTableAt));
    return path;
  }
};

bool tools() { return rstest::have_tool("mksquashfs") && rstest::have_tool("unsquashfs"); }

int quiet_save(flash* f, const std::string& out) {
  testing::internal::CaptureStderr();
  int rc = flash_save(f, out.c_str(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  if (rc != 0) std::fprintf(stderr, "%s", err.c_str());
  return rc;
}

// The squashfs the flash image `path` holds in ROOT, cut at its padded end.
std::vector<uint8_t> root_fs(const std::string& path) {
  std::vector<uint8_t> all = rstest::read_bytes(path);
  if (all.size() < kRootAt + 96) return {};
  std::vector<uint8_t> fs(all.begin() + kRootAt, all.end());
  fs.resize(std::min<size_t>(fs.size(), (bytes_used(fs) + 4095) / 4096 * 4096));
  return fs;
}

// What unsquashfs lists and extracts of `fs`, and what our reader reads, is `s`.
void expect_tree(Source& s, const std::vector<uint8_t>& fs, const std::string& tag, bool same_listing = true) {
  std::string img = s.dir.file(tag + ".sqfs"), out = s.dir.file(tag + ".x");
  rstest::write_bytes(img, fs);
  if (same_listing) {
    EXPECT_EQ(sqtest::listing(img), sqtest::listing(s.dir.file(tag + ".ref"))) << tag;
  }
  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(out) + " " + shell_quote(img));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> copy = fs;
  sqtest::Tree t(squashfs_load_memory(copy.data(), copy.size()));
  ASSERT_TRUE(t) << tag;
  for (const auto& [rel, data] : s.files) {
    EXPECT_EQ(rstest::read_bytes(out + rel), data) << tag << " unsquashfs " << rel;
    std::vector<uint8_t> got;
    squashfs_entry* e = squashfs_find(t.get(), rel.c_str());
    ASSERT_NE(e, nullptr) << rel;
    ASSERT_EQ(squashfs_content(e, got), 0) << rel;
    EXPECT_EQ(got, data) << tag << " reader " << rel;
  }
}

struct Edit {
  const char* name;
  std::function<void(flash* f, Source& s)> apply;
  bool can_append = true;  // false: the save builds the tables anew even when it may append
};

void put(flash* f, Source& s, const char* rel, const std::vector<uint8_t>& data) {
  ASSERT_EQ(flash_put(f, (std::string("ROOT") + rel).c_str(), data.data(), data.size(), -1, -1, -1), 0) << rel;
  s.put(rel, data);
}

const Edit kEdits[] = {
    // A small file whose tail shares a fragment block with others.
    {"ReplaceFragmentFile", [](flash* f, Source& s) { put(f, s, "/etc/hosts", rstest::random_bytes(700, 21)); }},
    {"ReplaceMultiBlockFile", [](flash* f, Source& s) { put(f, s, "/bin/tool", rstest::random_bytes(200000, 22)); }},
    {"Add", [](flash* f, Source& s) { put(f, s, "/etc/added", rstest::random_bytes(140000, 23)); }},
    {"Remove",
     [](flash* f, Source& s) {
       ASSERT_EQ(flash_remove(f, "ROOT/etc/passwd"), 0);
       s.drop("/etc/passwd");
     }},
    {"Rename",
     [](flash* f, Source& s) {
       ASSERT_EQ(flash_rename(f, "ROOT/usr/lib/big", "ROOT/etc/big"), 0);
       s.move("/usr/lib/big", "/etc/big");
     }},
    // A directory with what is below it moves under another parent.
    {"MoveDirectory",
     [](flash* f, Source& s) {
       ASSERT_EQ(flash_rename(f, "ROOT/usr/lib", "ROOT/etc/lib"), 0);
       ASSERT_EQ(::rename((s.src + "/usr/lib").c_str(), (s.src + "/etc/lib").c_str()), 0);
       s.files["/etc/lib/big"] = s.files["/usr/lib/big"];
       s.files.erase("/usr/lib/big");
     },
     false},
    // A directory's own inode changes, and a new directory with a file in it.
    {"ChmodDirAndNewDir",
     [](flash* f, Source& s) {
       ASSERT_EQ(flash_chmod(f, "ROOT/usr/lib", 0700), 0);
       ASSERT_EQ(::chmod((s.src + "/usr/lib").c_str(), 0700), 0);
       ASSERT_EQ(flash_mkdir(f, "ROOT/opt", 0755), 0);
       put(f, s, "/opt/new", rstest::random_bytes(3000, 24));
     }},
};

// The tree every case starts from: small files in fragments, multi-block
// files, and enough stored data that one edit stays under the dead share.
void fill(Source& s) {
  s.put("/etc/hosts", std::vector<uint8_t>(300, 'h'));
  s.put("/etc/passwd", rstest::random_bytes(900, 2));
  s.put("/bin/tool", rstest::random_bytes(150000, 3));
  s.put("/usr/lib/big", rstest::random_bytes(1200000, 4));
  std::vector<uint8_t> text;
  for (int i = 0; i < 50000; ++i) text.push_back(uint8_t("some text "[i % 10]));
  s.put("/usr/share/doc", text);
}

// Each edit saved both ways: appended to the old tables, or with the tables
// built anew (ROMSMITH_SQUASHFS_APPEND=0).
class SquashfsInPlace : public testing::TestWithParam<std::tuple<const char*, Edit, bool>> {
 protected:
  void SetUp() override {
    if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
    basedir = s.dir.path();
    if (!appends()) setenv("ROMSMITH_SQUASHFS_APPEND", "0", 1);
  }
  void TearDown() override {
    unsetenv("ROMSMITH_SQUASHFS_APPEND");
    basedir.assign(1, '.');
    init_table_sect(1);
  }
  static bool appends() { return std::get<2>(GetParam()); }
  Source s;
};

TEST_P(SquashfsInPlace, OnlySuperblockAndTailChange) {
  s.comp = std::get<0>(GetParam());
  fill(s);
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  const size_t room = (fs.size() + (1 << 20) + 4095) / 4096 * 4096;
  const std::string in = s.flash_of(fs, room, "in.bin"), out = s.dir.file("out.bin");
  const std::vector<uint8_t> before = rstest::read_bytes(in);
  const uint64_t data_end = inode_table_start(fs);
  {
    rstest::Image img(flash_load_bin(in.c_str()));
    ASSERT_NE(img.f, nullptr);
    std::get<1>(GetParam()).apply(img.f, s);
    ASSERT_EQ(quiet_save(img.f, out), 0);
    // No page of the data area was written in memory (the superblock's page
    // and the one the tail starts in aside).
    const partition_data* p = img.part("ROOT");
    ASSERT_TRUE(state_of(img.f).file);
    const size_t first = 4096, last = data_end / 4096 * 4096;
    if (last > first) {
      EXPECT_FALSE(state_of(img.f).file->touched(p->buf + first, last - first));
    }
  }
  const std::vector<uint8_t> after = rstest::read_bytes(out);
  ASSERT_EQ(after.size(), before.size());
  const std::vector<uint8_t> got = root_fs(out);
  ASSERT_GE(got.size(), data_end);
  EXPECT_GE(inode_table_start(got), data_end) << "the tables start after the old data";
  // Every byte outside the table record, the superblock and the tail is the
  // input's.
  auto may_change = [&](size_t i) {
    return (i >= kTableAt && i < kTableAt + 0x1000) || (i >= kRootAt && i < kRootAt + 96) ||
           (i >= kRootAt + data_end && i < kRootAt + room);
  };
  size_t differ = 0;
  for (size_t i = 0; i < after.size(); ++i)
    if (after[i] != before[i] && !may_change(i)) ++differ;
  EXPECT_EQ(differ, 0u);
  // The partition's table record matches what was written (a reload checks it).
  {
    rstest::Image again(flash_load_bin(out.c_str()));
    ASSERT_NE(again.f, nullptr);
    EXPECT_EQ(again.part("ROOT")->crc32_passed, 1);
    EXPECT_EQ(again.part("ROOT")->info->used_size, got.size());
  }
  // Appending keeps every block of both tables, new inodes and listings after them.
  if (appends() && std::get<1>(GetParam()).can_append) {
    const uint64_t it = inode_table_start(fs), dt = directory_table_start(fs), de = directory_table_end(fs);
    const uint64_t nit = inode_table_start(got), ndt = directory_table_start(got);
    ASSERT_GE(got.size(), ndt + (de - dt));
    EXPECT_EQ(std::memcmp(fs.data() + it, got.data() + nit, size_t(dt - it)), 0) << "inode table blocks kept";
    EXPECT_EQ(std::memcmp(fs.data() + dt, got.data() + ndt, size_t(de - dt)), 0) << "directory table blocks kept";
    EXPECT_GT(ndt - nit, dt - it) << "new inodes follow the old ones";
  }
  expect_export_table(got, "t");
  s.mksquashfs("t.ref");
  expect_tree(s, got, "t");
}

// Every entry as the C library shows it: path, stat record and content.
std::vector<std::string> walk_of(flash* f) {
  struct Walk {
    flash* f;
    std::vector<std::string> lines;
  } w{f, {}};
  flash_walk(
      f, "ROOT", -1,
      [](const char* path, const flash_stat_s* st, void* user) {
        Walk& at = *static_cast<Walk*>(user);
        std::string line = rs::strprintf("%s %o %u:%u n%u i%llu s%llu", path, st->mode, st->uid, st->gid, st->nlink,
                                         (unsigned long long)st->ino, (unsigned long long)st->size);
        if (S_ISREG(st->mode)) {
          std::vector<uint8_t> data(size_t(st->size));
          long long n = flash_pread(at.f, path, data.data(), data.size(), 0);
          line += rs::strprintf(" r%lld crc%08x", n, rs::crc32_of(data.data(), data.size()));
        }
        at.lines.push_back(line);
        return 0;
      },
      &w);
  return w.lines;
}

// The handle stays after an in-place save: it reads as the saved image would
// when loaded, and a second edit on it saves in place again, correctly.
TEST_P(SquashfsInPlace, KeptHandleReadsAsTheSavedImage) {
  s.comp = std::get<0>(GetParam());
  fill(s);
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  const size_t room = (fs.size() + (2 << 20) + 4095) / 4096 * 4096;
  const std::string in = s.flash_of(fs, room, "in.bin"), out1 = s.dir.file("out1.bin"), out2 = s.dir.file("out2.bin");
  rstest::Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  std::get<1>(GetParam()).apply(img.f, s);
  ASSERT_EQ(quiet_save(img.f, out1), 0);
  {
    rstest::Image fresh(flash_load_bin(out1.c_str()));
    ASSERT_NE(fresh.f, nullptr);
    EXPECT_EQ(walk_of(img.f), walk_of(fresh.f));
  }
  // New content equal to a stored file's shares its blocks; a new tail goes
  // to a new fragment block; the replaced file of the first edit is stored now.
  const std::vector<uint8_t> doc = s.files["/usr/share/doc"];
  put(img.f, s, "/etc/copy", doc);
  put(img.f, s, "/etc/tiny", rstest::random_bytes(50, 80));
  ASSERT_EQ(flash_link(img.f, "ROOT/bin/tool", "ROOT/etc/tool2"), 0);
  s.put("/etc/tool2", s.files["/bin/tool"]);
  ASSERT_EQ(quiet_save(img.f, out2), 0);
  const std::vector<uint8_t> a = root_fs(out1), b = root_fs(out2);
  ASSERT_GE(b.size(), inode_table_start(a));
  EXPECT_EQ(std::memcmp(a.data() + 96, b.data() + 96, size_t(inode_table_start(a) - 96)), 0)
      << "the second save stays in place";
  rstest::Image fresh(flash_load_bin(out2.c_str()));
  ASSERT_NE(fresh.f, nullptr);
  EXPECT_EQ(walk_of(img.f), walk_of(fresh.f));
  s.mksquashfs("k.ref");
  // The reference tree has no hard link: compare contents only.
  expect_tree(s, b, "k", false);
}

INSTANTIATE_TEST_SUITE_P(Edits, SquashfsInPlace,
                         testing::Combine(testing::Values("xz", "gzip", "zstd", "lz4"), testing::ValuesIn(kEdits),
                                          testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<const char*, Edit, bool>>& i) {
                           return std::string(std::get<0>(i.param)) + "_" + std::get<1>(i.param).name +
                                  (std::get<2>(i.param) ? "_Append" : "_NewTables");
                         });

class SquashfsCompaction : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
    basedir = s.dir.path();
    s.comp = GetParam();
  }
  void TearDown() override {
    unsetenv("ROMSMITH_SQUASHFS_COMPACT");
    basedir.assign(1, '.');
    init_table_sect(1);
  }
  // Loads `in`, applies `edit`, saves to `out`; whether the save kept the
  // data area of `in` as it was.
  bool save_kept_data(const std::string& in, const std::string& out, const std::function<void(flash*)>& edit,
                      int* rc = nullptr) {
    rstest::Image img(flash_load_bin(in.c_str()));
    EXPECT_NE(img.f, nullptr);
    if (!img.f) return false;
    edit(img.f);
    int r = quiet_save(img.f, out);
    if (rc) *rc = r;
    if (r != 0) return false;
    std::vector<uint8_t> a = root_fs(in), b = root_fs(out);
    uint64_t end = inode_table_start(a);
    return b.size() >= end && std::memcmp(a.data() + 96, b.data() + 96, size_t(end - 96)) == 0;
  }
  Source s;
};

// Each replacement leaves the old blocks dead; once they pass an eighth of
// the image the save compacts, and the image shrinks back.
TEST_P(SquashfsCompaction, RepeatedEditsEndInACompactedImage) {
  fill(s);
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  const size_t room = (fs.size() * 2 + 4095) / 4096 * 4096;
  std::string in = s.flash_of(fs, room, "in0.bin");
  std::vector<bool> kept;
  for (int round = 0; round < 6; ++round) {
    std::string out = s.dir.file("out" + std::to_string(round) + ".bin");
    std::vector<uint8_t> data = rstest::random_bytes(100000, 40 + uint32_t(round));
    kept.push_back(save_kept_data(in, out, [&](flash* f) { put(f, s, "/bin/tool", data); }));
    in = out;
    if (!kept.back()) break;
  }
  ASSERT_GE(kept.size(), 2u);
  EXPECT_TRUE(kept.front()) << "the first edit stays in place";
  EXPECT_FALSE(kept.back()) << "no compaction in " << kept.size() << " edits";
  const std::vector<uint8_t> got = root_fs(in);
  EXPECT_LE(got.size(), fs.size() + 8192) << "the compacted image holds no dead blocks";
  s.mksquashfs("c.ref");
  expect_tree(s, got, "c");
}

// Small edits append to the tables; what they leave unreferenced there is
// bounded: once the tables hold far more than the live entries need, a save
// builds them anew, and the tree stays right throughout.
TEST_P(SquashfsCompaction, RepeatedSmallEditsKeepTheTablesBounded) {
  fill(s);
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  const size_t room = (fs.size() * 2 + 4095) / 4096 * 4096;
  std::string in = s.flash_of(fs, room, "r0.bin");
  const uint64_t first_tables = directory_table_end(fs) - inode_table_start(fs);
  int appended = 0, rebuilt = 0;
  for (int round = 0; round < 120 && !rebuilt; ++round) {
    const std::string out = s.dir.file("r" + std::to_string(round + 1) + ".bin");
    const std::vector<uint8_t> was = root_fs(in);
    std::vector<uint8_t> data = rstest::random_bytes(200 + round, 90 + uint32_t(round));
    ASSERT_TRUE(save_kept_data(in, out, [&](flash* f) { put(f, s, "/etc/hosts", data); }));
    const std::vector<uint8_t> now = root_fs(out);
    const uint64_t tables = directory_table_end(now) - inode_table_start(now);
    EXPECT_LE(tables, first_tables + (40 << 10)) << "round " << round;
    const bool kept = std::memcmp(was.data() + inode_table_start(was), now.data() + inode_table_start(now),
                                  size_t(directory_table_start(was) - inode_table_start(was))) == 0;
    (kept ? appended : rebuilt)++;
    in = out;
  }
  EXPECT_GT(appended, 10);
  EXPECT_EQ(rebuilt, 1) << "the tables were never built anew";
  const std::vector<uint8_t> got = root_fs(in);
  EXPECT_LE(directory_table_end(got) - inode_table_start(got), first_tables + 1024);
  expect_export_table(got, "r");
  s.mksquashfs("r.ref");
  expect_tree(s, got, "r");
}

// An image with extended attributes: an edit of a file without them appends,
// and the attributes of the others move with their tables intact.
TEST_P(SquashfsCompaction, AppendKeepsOtherFilesExtendedAttributes) {
  fill(s);
  if (::setxattr((s.src + "/bin/tool").c_str(), "user.origin", "factory", 7, 0) != 0)
    GTEST_SKIP() << "no user attributes on this file system";
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  const std::string in = s.flash_of(fs, (fs.size() + (1 << 20) + 4095) / 4096 * 4096, "in.bin");
  const std::string out = s.dir.file("out.bin");
  const std::vector<uint8_t> data = rstest::random_bytes(900, 55);
  ASSERT_TRUE(save_kept_data(in, out, [&](flash* f) { put(f, s, "/etc/hosts", data); }));
  const std::vector<uint8_t> got = root_fs(out);
  EXPECT_EQ(std::memcmp(fs.data() + inode_table_start(fs), got.data() + inode_table_start(got),
                        size_t(directory_table_start(fs) - inode_table_start(fs))),
            0)
      << "the save appended";
  rstest::Image img(flash_load_bin(out.c_str()));
  ASSERT_NE(img.f, nullptr);
  char value[64] = {};
  EXPECT_EQ(flash_getxattr(img.f, "ROOT/bin/tool", "user.origin", value, sizeof value), 7);
  EXPECT_STREQ(value, "factory");
  s.mksquashfs("x.ref");
  expect_tree(s, got, "x");
}

// ROMSMITH_SQUASHFS_COMPACT=1: the save holds the image the whole rebuild
// makes of the same edit.
TEST_P(SquashfsCompaction, CompactSettingGivesTheWholeRebuild) {
  fill(s);
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  const size_t room = (fs.size() + (1 << 20) + 4095) / 4096 * 4096;
  const std::string in = s.flash_of(fs, room, "in.bin");
  const std::vector<uint8_t> data = rstest::random_bytes(5000, 50);
  setenv("ROMSMITH_SQUASHFS_COMPACT", "1", 1);
  EXPECT_FALSE(save_kept_data(in, s.dir.file("out.bin"), [&](flash* f) { put(f, s, "/etc/hosts", data); }));
  std::vector<uint8_t> got = root_fs(s.dir.file("out.bin"));
  std::vector<uint8_t> copy = fs;
  sqtest::Tree t(squashfs_load_memory(copy.data(), copy.size()));
  ASSERT_TRUE(t);
  ASSERT_EQ(squashfs_put(t.get(), "/etc/hosts", data.data(), data.size(), -1, -1, -1), 0);
  size_t len = 0;
  uint8_t* whole = squashfs_mmap(t.get(), &len);
  ASSERT_NE(whole, nullptr);
  std::vector<uint8_t> want(whole, whole + len);
  free(whole);
  ASSERT_EQ(got.size(), want.size());
  std::memset(&got[8], 0, 4), std::memset(&want[8], 0, 4);  // build time
  EXPECT_TRUE(got == want);
  // Without the setting the same edit stays in place.
  unsetenv("ROMSMITH_SQUASHFS_COMPACT");
  Source again;
  EXPECT_TRUE(save_kept_data(in, s.dir.file("out2.bin"), [&](flash* f) { put(f, again, "/etc/hosts", data); }));
}

// An image the in-place layout would not fit falls back to the whole rebuild;
// when even that does not fit, the save fails with the fit message.
TEST_P(SquashfsCompaction, NoRoomFallsBackToTheWholeRebuild) {
  fill(s);
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  const std::string in = s.flash_of(fs, fs.size() + 65536, "in.bin");
  // Same size, new content: in place it needs the old blocks' room again.
  const std::vector<uint8_t> data = rstest::random_bytes(150000, 60);
  int rc = -1;
  EXPECT_FALSE(save_kept_data(
      in, s.dir.file("out.bin"), [&](flash* f) { put(f, s, "/bin/tool", data); }, &rc));
  ASSERT_EQ(rc, 0) << "the whole rebuild fits";
  s.mksquashfs("n.ref");
  expect_tree(s, root_fs(s.dir.file("out.bin")), "n");

  rstest::Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  const std::vector<uint8_t> more = rstest::random_bytes(300000, 61);
  ASSERT_EQ(flash_put(img.f, "ROOT/etc/more", more.data(), more.size(), -1, -1, -1), 0);
  testing::internal::CaptureStderr();
  EXPECT_NE(flash_save(img.f, s.dir.file("out2.bin").c_str(), 0), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("error: ROOT: rebuilt squashfs needs "), std::string::npos) << err;
  EXPECT_NE(err.find("MiB, the partition holds "), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Compressors, SquashfsCompaction, testing::Values("xz", "lz4"));

// The direct call refuses, writing nothing, what it cannot lay in place.
TEST(SquashfsInPlaceRefusal, OtherKindsAndDeadBytesWriteNothing) {
  if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  Source s;
  s.comp = "gzip";
  fill(s);
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  auto attempt = [&](const std::function<void(squashfs_entry*)>& edit, bool convert = false) {
    std::vector<uint8_t> buf = fs;
    buf.resize(fs.size() + (1 << 20), 0xFF);
    const std::vector<uint8_t> was = buf;
    sqtest::Tree t(squashfs_load_memory(buf.data(), fs.size()));
    EXPECT_TRUE(t);
    if (!t) return -3LL;
    edit(t.get());
    if (convert) t->image->version = 3;
    long long n = squashfs_rebuild_in_place(t.get(), buf.data(), buf.size(), nullptr);
    if (n < 0) {
      EXPECT_TRUE(buf == was) << "a refused edit wrote";
    }
    return n;
  };
  const std::vector<uint8_t> small = rstest::random_bytes(3000, 70);
  auto put_small = [&](squashfs_entry* r) { squashfs_put(r, "/etc/hosts", small.data(), small.size(), -1, -1, -1); };
  EXPECT_GT(attempt(put_small), 0);
  EXPECT_EQ(attempt(put_small, true), -1) << "converted to another version";
  EXPECT_EQ(attempt([](squashfs_entry* r) { squashfs_remove(r, "/usr/lib/big"); }), -1) << "dead bytes";
}

// Trees read a directory at a time (forced here at any size): what is never
// used is never read, a listing that does not read fails only what uses it,
// and saves count the unread part from the image's own tables.
class LazyTree : public testing::Test {
 protected:
  void SetUp() override {
    if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
    setenv("ROMSMITH_SQUASHFS_LAZY", "1", 1);
    basedir = s.dir.path();
    s.comp = "gzip";
  }
  void TearDown() override {
    unsetenv("ROMSMITH_SQUASHFS_LAZY");
    unsetenv("ROMSMITH_SQUASHFS_COMPACT");
    basedir.assign(1, '.');
    init_table_sect(1);
  }
  static int count(flash* f, const char* path) {
    int n = 0;
    auto cb = [](const char*, const flash_stat_s*, void* user) {
      ++*static_cast<int*>(user);
      return 0;
    };
    return flash_walk(f, path, -1, cb, &n) == 0 ? n : -1;
  }
  // One edit after another saved from both kinds of tree of `fs`: the same bytes.
  void saves_alike(const std::vector<uint8_t>& fs);
  Source s;
};

TEST_F(LazyTree, ListingThatDoesNotReadFailsOnlyWhatUsesIt) {
  for (int i = 0; i < 40; ++i) s.put("/a/file" + std::to_string(i), rstest::random_bytes(100, 80 + i));
  s.put("/b/ok", rstest::random_bytes(5000, 79));
  // Metadata stored uncompressed; /a, written first, leads its directory
  // table: its listing's header names an inode block far outside the table.
  std::string img = s.dir.file("lazy.sqfs");
  ASSERT_EQ(run_command("mksquashfs " + shell_quote(s.src) + " " + shell_quote(img) +
                        " -noappend -no-progress -all-root -noI -comp gzip")
                .status,
            0);
  std::vector<uint8_t> fs = rstest::read_bytes(img);
  const uint64_t dt = directory_table_start(fs);
  ASSERT_EQ(rs::load_le16(&fs[dt]) & 0x8000, 0x8000) << "listings stored uncompressed";
  rs::store_le32(&fs[dt + 2 + 4], 0x7FFF0000u);
  const std::string in = s.flash_of(fs, (fs.size() * 2 + 4095) / 4096 * 4096, "in.bin");
  {
    rstest::Image f(flash_load_bin(in.c_str()));
    ASSERT_NE(f.f, nullptr);
    std::vector<uint8_t> got(5000);
    EXPECT_EQ(flash_read(f.f, "ROOT/b/ok", got.data(), int(got.size()), 0), 5000);
    EXPECT_EQ(got, s.files["/b/ok"]);
    testing::internal::CaptureStderr();
    EXPECT_EQ(count(f.f, "ROOT/a"), -1);
    flash_stat_s st;
    EXPECT_NE(flash_stat(f.f, "ROOT/a/file3", &st), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("at /a"), std::string::npos) << err;
    // An edit elsewhere saves, appended, and keeps /a as the image had it.
    const std::vector<uint8_t> added = rstest::random_bytes(3000, 78);
    ASSERT_EQ(flash_put(f.f, "ROOT/b/new", added.data(), added.size(), -1, -1, -1), 0);
    ASSERT_EQ(quiet_save(f.f, s.dir.file("out.bin")), 0);
    std::vector<uint8_t> out = root_fs(s.dir.file("out.bin"));
    ASSERT_GT(out.size(), dt + 64);
    EXPECT_EQ(std::memcmp(&out[directory_table_start(out)], &fs[dt], 64), 0) << "the listing of /a kept as stored";
    // The whole rebuild cannot leave it out: that save fails and says why.
    setenv("ROMSMITH_SQUASHFS_COMPACT", "1", 1);
    ASSERT_EQ(flash_put(f.f, "ROOT/b/more", added.data(), added.size(), -1, -1, -1), 0);
    testing::internal::CaptureStderr();
    EXPECT_NE(flash_save(f.f, s.dir.file("out2.bin").c_str(), 0), 0);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("does not read"), std::string::npos) << err;
  }
  rstest::Image again(flash_load_bin(s.dir.file("out.bin").c_str()));
  ASSERT_NE(again.f, nullptr);
  std::vector<uint8_t> got(3000);
  EXPECT_EQ(flash_read(again.f, "ROOT/b/new", got.data(), int(got.size()), 0), 3000);
}

TEST_F(LazyTree, UnreadPartsAreCountedWhenSaving) {
  fill(s);
  for (int i = 0; i < 30; ++i) s.put("/var/big/f" + std::to_string(i), rstest::random_bytes(40000, 90 + i));
  s.put("/links/a", rstest::random_bytes(700, 60));
  const std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  const size_t room = (fs.size() * 2 + 4095) / 4096 * 4096;
  std::string in = s.flash_of(fs, room, "in.bin");
  // A directory never read goes: its data is dead, past an eighth, and the
  // save packs it out.
  {
    rstest::Image f(flash_load_bin(in.c_str()));
    ASSERT_NE(f.f, nullptr);
    ASSERT_EQ(flash_remove(f.f, "ROOT/var"), 0);
    ASSERT_EQ(quiet_save(f.f, s.dir.file("out1.bin")), 0);
  }
  for (int i = 0; i < 30; ++i) s.drop("/var/big/f" + std::to_string(i));
  ::rmdir((s.src + "/var/big").c_str());
  ::rmdir((s.src + "/var").c_str());
  std::vector<uint8_t> got = root_fs(s.dir.file("out1.bin"));
  EXPECT_LT(got.size() + 1100000, fs.size()) << "the removed directory's 1.2 MB packed out";
  s.mksquashfs("r.ref");
  expect_tree(s, got, "r");
  // A hard link in a directory not read: the save builds the tables anew and
  // both names stay one inode.
  ASSERT_EQ(::link((s.src + "/links/a").c_str(), (s.src + "/links/b").c_str()), 0);
  s.files["/links/b"] = s.files["/links/a"];
  const std::vector<uint8_t> linked = s.mksquashfs("linked.sqfs");
  in = s.flash_of(linked, room, "in2.bin");
  {
    rstest::Image f(flash_load_bin(in.c_str()));
    ASSERT_NE(f.f, nullptr);
    put(f.f, s, "/etc/hosts", rstest::random_bytes(500, 61));
    ASSERT_EQ(quiet_save(f.f, s.dir.file("out2.bin")), 0);
  }
  got = root_fs(s.dir.file("out2.bin"));
  s.mksquashfs("l.ref");
  expect_tree(s, got, "l");
  sqtest::Tree t(squashfs_load_memory(got.data(), got.size()));
  ASSERT_TRUE(t);
  const squashfs_entry* a = squashfs_find(t.get(), "/links/a");
  const squashfs_entry* b = squashfs_find(t.get(), "/links/b");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->stbuf.st_ino, b->stbuf.st_ino);
  EXPECT_EQ(squashfs_nlink(a), 2u);
}

// Reading a directory first is what keeps these operations right: a rename
// over it sees its entries, a new name sees the old ones, a removal counts
// every node it takes from the image.
TEST_F(LazyTree, OperationsOnUnreadDirectoriesReadThemFirst) {
  fill(s);
  std::vector<uint8_t> fs = s.mksquashfs("orig.sqfs");
  sqtest::Tree t(squashfs_load_memory(fs.data(), fs.size()));
  ASSERT_TRUE(t);
  squashfs_data* img = t->image;
  EXPECT_EQ(img->unread_dirs, 3u) << "/bin, /etc and /usr";
  EXPECT_EQ(squashfs_rename(t.get(), "/bin", "/usr"), -ENOTEMPTY);
  ASSERT_TRUE(squashfs_find(t.get(), "/bin/tool"));
  EXPECT_EQ(squashfs_nlink(squashfs_find(t.get(), "/usr")), 4u) << "lib and share below it";
  EXPECT_EQ(squashfs_mkdir_mode(t.get(), "/usr/lib", 0755), -EEXIST);
  ASSERT_EQ(squashfs_put(t.get(), "/usr/share/new", "x", 1, -1, -1, -1), 0);
  ASSERT_TRUE(squashfs_find(t.get(), "/usr/share/doc"));
  img->freed_numbers.clear();
  img->dropped_files.clear();
  ASSERT_EQ(squashfs_remove(t.get(), "/usr"), 0);
  // usr, lib, big, share, doc: the new file was never the image's.
  EXPECT_EQ(img->freed_numbers.size(), 5u);
  EXPECT_EQ(img->dropped_files.size(), 2u);
  EXPECT_FALSE(squashfs_find(t.get(), "/usr/lib/big"));
}

// The same edit saved from a tree read whole and from one read a directory
// at a time gives the same image: what the unread part holds, counted from
// the image's tables, is what the whole tree holds.
TEST_F(LazyTree, SavesAsATreeReadWhole) {
  fill(s);
  // Without an export table the unread part is read and counted as a whole.
  std::string plain = s.dir.file("plain.sqfs");
  ASSERT_EQ(run_command("mksquashfs " + shell_quote(s.src) + " " + shell_quote(plain) +
                        " -noappend -no-progress -all-root -no-exports -comp gzip")
                .status,
            0);
  for (const std::vector<uint8_t>& fs : {s.mksquashfs("orig.sqfs"), rstest::read_bytes(plain)})
    saves_alike(fs);
}

void LazyTree::saves_alike(const std::vector<uint8_t>& fs) {
  const std::vector<std::function<void(squashfs_entry*)>> edits = {
      [](squashfs_entry* r) { ASSERT_EQ(squashfs_put(r, "/etc/hosts", "hosts", 5, -1, -1, -1), 0); },
      [](squashfs_entry* r) { ASSERT_EQ(squashfs_remove(r, "/etc/passwd"), 0); },
      [](squashfs_entry* r) {
        ASSERT_EQ(squashfs_remove(r, "/bin/tool"), 0);
        ASSERT_EQ(squashfs_put(r, "/usr/new", "new", 3, -1, -1, -1), 0);
      },
      // Past an eighth of dead data: both compact (nothing is written in place).
      [](squashfs_entry* r) { ASSERT_EQ(squashfs_remove(r, "/usr/lib/big"), 0); },
  };
  for (size_t k = 0; k < edits.size(); ++k) {
    std::vector<uint8_t> out[2];
    long long len[2];
    for (int lazy = 0; lazy < 2; ++lazy) {
      setenv("ROMSMITH_SQUASHFS_LAZY", lazy ? "1" : "0", 1);
      out[lazy] = fs;
      out[lazy].resize(fs.size() + (1 << 20), 0xFF);
      sqtest::Tree t(squashfs_load_memory(out[lazy].data(), fs.size()));
      ASSERT_TRUE(t);
      EXPECT_EQ(t->image->unread_dirs > 0, lazy == 1);
      edits[k](t.get());
      len[lazy] = squashfs_rebuild_in_place(t.get(), out[lazy].data(), out[lazy].size(), nullptr);
      std::memset(&out[lazy][8], 0, 4);  // the time of the save
    }
    EXPECT_EQ(len[0], len[1]) << "edit " << k;
    EXPECT_TRUE(out[0] == out[1]) << "edit " << k;
  }
}

}  // namespace
