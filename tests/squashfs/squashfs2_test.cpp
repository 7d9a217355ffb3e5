// squashfs 2.x and the 'L' LZMA kinds (2.76, 3.76): the corpus images as boxes
// shipped them, read against unsquashfs where it reads the kind (2.x/3.x zlib,
// and the tables of the stored-table 2.0 image), edited and saved in their own
// kind; our 2.1 builder against unsquashfs; the raw LZMA framings; mutations.
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "squashfs/codec3.h"
#include "squashfs/format2.h"
#include "squashfs/format3.h"
#include "squashfs/lzma_raw.h"
#include "squashfs/squashfs.h"
#include "squashfs_test_util.h"
#include "testutil.h"
#include "util/endian.h"

namespace {

namespace fs = std::filesystem;
using rs::sqfs::Framing;
using sqtest::Tree;

std::string corpus(const std::string& name) { return std::string(ROMSMITH_SOURCE_DIR) + "/tests/data/corpus/" + name; }

Tree load(std::vector<uint8_t>& img) { return Tree(squashfs_load_memory(img.data(), img.size())); }

std::vector<uint8_t> rebuild(squashfs_entry* root) {
  size_t len = 0;
  std::string why;
  uint8_t* p = squashfs_rebuild(root, &len, &why);
  EXPECT_TRUE(p) << why;
  if (!p) return {};
  std::vector<uint8_t> v(p, p + len);
  free(p);
  return v;
}

std::string content(squashfs_entry* root, const std::string& path) {
  squashfs_entry* e = squashfs_find(root, path.c_str());
  if (!e) return "<missing>";
  std::vector<uint8_t> v;
  if (squashfs_content(e, v) < 0) return "<unreadable>";
  return std::string(v.begin(), v.end());
}

// "perm uid/gid size YYYY-MM-DD HH:MM /x/path[ -> target]" per line, as
// unsquashfs -lln prints it under TZ=UTC; device sizes as "major,minor".
std::string perm_string(mode_t m) {
  std::string s = S_ISDIR(m)    ? "d"
                  : S_ISLNK(m)  ? "l"
                  : S_ISCHR(m)  ? "c"
                  : S_ISBLK(m)  ? "b"
                  : S_ISFIFO(m) ? "p"
                  : S_ISSOCK(m) ? "s"
                                : "-";
  const char* rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) s += (m & (0400 >> i)) ? rwx[i] : '-';
  if (m & S_ISUID) s[3] = (m & S_IXUSR) ? 's' : 'S';
  if (m & S_ISGID) s[6] = (m & S_IXGRP) ? 's' : 'S';
  if (m & S_ISVTX) s[9] = (m & S_IXOTH) ? 't' : 'T';
  return s;
}

std::string our_listing(squashfs_entry* root, bool times) {
  std::map<std::string, std::string> lines;
  for (auto& [path, e] : root->image->entry_table) {
    const struct stat& st = e->stbuf;
    std::string size;
    if (S_ISDIR(st.st_mode))
      size = "-";
    else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
      size = std::to_string(major(st.st_rdev)) + "," + std::to_string(minor(st.st_rdev));
    else if (S_ISLNK(st.st_mode))
      size = std::to_string(e->buf.size());
    else
      size = std::to_string(st.st_size);
    std::string line =
        perm_string(st.st_mode) + " " + std::to_string(st.st_uid) + "/" + std::to_string(st.st_gid) + " " + size;
    if (times) {
      char when[32];
      time_t t = st.st_mtime;
      strftime(when, sizeof when, "%Y-%m-%d %H:%M", gmtime(&t));
      line += std::string(" ") + when;
    }
    std::string name = "/x" + e->path;
    line += " " + name;
    if (S_ISLNK(st.st_mode)) line += " -> " + std::string(e->buf.begin(), e->buf.end());
    lines[name] = line + "\n";
  }
  std::string out;
  for (auto& [n, l] : lines) out += l;
  return out;
}

std::string unsquashfs_listing(const std::string& img, bool times) {
  auto r = rstest::run_command("TZ=UTC unsquashfs -lln -d /x " + rstest::shell_quote(img));
  if (r.status != 0) return "unsquashfs failed: " + r.err;
  std::istringstream in(r.out);
  std::string line;
  std::map<std::string, std::string> lines;
  while (std::getline(in, line)) {
    if (line.find(" /x") == std::string::npos) continue;
    std::string perm, owner, size, date, clock, name;
    std::smatch m;
    // Devices print "major,minor" in fixed columns, a long minor running into the date.
    static const std::regex dev(R"(^(\S+) (\S+)\s+(\d+),\s*(\d+?)\s*(\d{4}-\d\d-\d\d) (\d\d:\d\d) (.*)$)");
    if ((line[0] == 'c' || line[0] == 'b') && std::regex_match(line, m, dev)) {
      perm = m[1];
      owner = m[2];
      size = std::string(m[3]) + "," + std::string(m[4]);
      date = m[5];
      clock = m[6];
      name = m[7];
    } else {
      std::istringstream f(line);
      f >> perm >> owner >> size >> date >> clock;
      std::getline(f, name);
      name.erase(0, name.find_first_not_of(' '));
    }
    if (perm[0] == 'd') size = "-";
    std::string key = name.substr(0, name.find(" -> "));
    lines[key] = perm + " " + owner + " " + size + (times ? " " + date + " " + clock : "") + " " + name + "\n";
  }
  std::string out;
  for (auto& [n, l] : lines) out += l;
  return out;
}

// The lines of two listings that differ, "" when they are equal.
std::string diff_lines(const std::string& want, const std::string& got) {
  auto lines = [](const std::string& t) {
    std::set<std::string> v;
    std::istringstream in(t);
    for (std::string l; std::getline(in, l);) v.insert(l);
    return v;
  };
  std::set<std::string> a = lines(want), b = lines(got);
  std::string out;
  int n = 0;
  for (auto& l : a)
    if (!b.count(l) && n++ < 8) out += "- " + l + "\n";
  for (auto& l : b)
    if (!a.count(l) && n++ < 16) out += "+ " + l + "\n";
  return out;
}

// One corpus image of a kind this reader added.
struct Corpus {
  const char* name;
  const char* file;
  int major;
  bool be;
  unsigned minor;
  Framing framing;       // of the blocks a rebuild writes
  const char* oracle;    // an image unsquashfs reads with the same tree ("" none)
  bool oracle_has_data;  // unsquashfs can also extract the oracle's file data
};

const Corpus kCorpus[] = {
    {"lzma_2_76_le", "fact_lzma_le.sqfs2", 2, false, 76, Framing::kRawL, "fact_zlib_le.sqfs3", true},
    {"lzma_2_76_be", "fact_lzma_be.sqfs2", 2, true, 76, Framing::kRawL, "fact_zlib_be.sqfs3", true},
    {"lzma_3_76_le", "fact_lzma1_le.sqfs3", 3, false, 76, Framing::kRawL, "fact_zlib_le.sqfs3", true},
    {"lzma_3_76_be", "fact_lzma1_be.sqfs3", 3, true, 76, Framing::kRawL, "fact_zlib_be.sqfs3", true},
    // Its tables are stored, so unsquashfs lists it; its LZMA data it cannot read.
    {"lzma5_2_0_be", "binwalk_squashfs_v2.bin", 2, true, 0, Framing::kHeader5, "binwalk_squashfs_v2.bin", false},
};

class CorpusKind : public ::testing::TestWithParam<Corpus> {
 protected:
  void SetUp() override {
    img = rstest::read_bytes(corpus(GetParam().file));
    ASSERT_FALSE(img.empty());
  }
  std::vector<uint8_t> img;
};

struct Super {
  bool be;
  unsigned major, minor, flags;
  uint32_t block_size;
};

Super super_of(const std::vector<uint8_t>& b) {
  Super s{};
  s.be = std::memcmp(b.data(), "sqsh", 4) == 0;
  auto u16 = [&](size_t at) { return s.be ? rs::load_be16(&b[at]) : rs::load_le16(&b[at]); };
  s.major = u16(28);
  s.minor = u16(30);
  s.flags = b[36];
  s.block_size = s.be ? rs::load_be32(&b[51]) : rs::load_le32(&b[51]);
  return s;
}

// The stored bytes of a loaded regular file's data blocks.
std::vector<uint8_t> stored_bytes(const squashfs_entry* e) {
  const squashfs_stored& s = e->stored;
  uint64_t len = 0;
  for (uint32_t w : s.block_words) len += w & 0xFFFFFF;
  const uint8_t* base = e->image->image_bytes;
  return std::vector<uint8_t>(base + s.start, base + s.start + len);
}

// The first compressed data block of a loaded file, or empty.
std::vector<uint8_t> first_compressed_block(const squashfs_entry* e) {
  const squashfs_stored& s = e->stored;
  uint64_t at = s.start;
  for (uint32_t w : s.block_words) {
    if (w && !(w & 0x01000000u))
      return std::vector<uint8_t>(e->image->image_bytes + at, e->image->image_bytes + at + (w & 0xFFFFFF));
    at += w & 0xFFFFFF;
  }
  return {};
}

TEST_P(CorpusKind, ListsTheTreeUnsquashfsListsAndReadsItByteExact) {
  const Corpus& k = GetParam();
  testing::internal::CaptureStderr();
  Tree t = load(img);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->image->version, k.major);
  // The siblings were made at another time than the 'L' images: compare times
  // only against the image itself.
  const bool same_image = std::string(k.oracle) == k.file;
  EXPECT_EQ(diff_lines(unsquashfs_listing(corpus(k.oracle), same_image), our_listing(t.get(), same_image)), "");

  if (k.oracle_has_data) {
    rstest::TempDir dir;
    auto r = rstest::run_command("unsquashfs -d " + rstest::shell_quote(dir.file("x")) + " " +
                                 rstest::shell_quote(corpus(k.oracle)));
    ASSERT_EQ(r.status, 0) << r.err;
    size_t files = 0;
    for (auto& [path, e] : t->image->entry_table) {
      if (!S_ISREG(e->stbuf.st_mode)) continue;
      ++files;
      EXPECT_EQ(content(t.get(), path), rstest::read_text(dir.file("x") + path)) << path;
    }
    EXPECT_EQ(files, 3u);
  } else {
    // No tool reads this data: every file decodes to its size, and the
    // programs decode to ELF headers.
    size_t elf = 0;
    for (auto& [path, e] : t->image->entry_table) {
      if (!S_ISREG(e->stbuf.st_mode)) continue;
      std::vector<uint8_t> v;
      ASSERT_EQ(squashfs_content(e, v), 0) << path;
      ASSERT_EQ(v.size(), uint64_t(e->stbuf.st_size)) << path;
      if (v.size() > 4 && std::memcmp(v.data(),
                                      "\x7f"
                                      "ELF",
                                      4) == 0)
        ++elf;
    }
    EXPECT_GT(elf, 20u);
    EXPECT_TRUE(t->image->p2.lzma5);
    EXPECT_EQ(t->image->p2.lzma_props, 0x5D);
    EXPECT_EQ(t->image->p2.lzma_dict, 0x80000u);
  }
}

TEST_P(CorpusKind, ReplaceAddRemoveSaveKeepsTheKind) {
  const Corpus& k = GetParam();
  testing::internal::CaptureStderr();
  Tree t = load(img);
  ASSERT_TRUE(t);
  // Unchanged files and their stored blocks, before the edit.
  std::map<std::string, std::vector<uint8_t>> kept_blocks;
  std::map<std::string, std::string> kept_text;
  std::string replaced, removed;
  for (auto& [path, e] : t->image->entry_table) {
    if (!S_ISREG(e->stbuf.st_mode) || e->stbuf.st_size == 0) continue;
    if (replaced.empty()) {
      replaced = path;
    } else if (removed.empty()) {
      removed = path;
    } else {
      kept_blocks[path] = stored_bytes(e);
      kept_text[path] = content(t.get(), path);
    }
  }
  ASSERT_FALSE(kept_text.empty());
  std::string big(200000, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = char("romsmith squashfs 2 "[i % 20] + (i / 7919) % 3);
  ASSERT_EQ(squashfs_put(t.get(), replaced.c_str(), "replaced\n", 9, -1, -1, -1), 0);
  ASSERT_EQ(squashfs_put(t.get(), "/added.bin", big.data(), big.size(), 0755, 0, 0), 0);
  ASSERT_EQ(squashfs_remove(t.get(), removed.c_str()), 0);
  std::vector<uint8_t> out = rebuild(t.get());
  ASSERT_FALSE(out.empty());
  testing::internal::GetCapturedStderr();

  Super a = super_of(img), b = super_of(out);
  EXPECT_EQ(b.be, a.be);
  EXPECT_EQ(b.major, a.major);
  EXPECT_EQ(b.minor, a.minor);
  EXPECT_EQ(b.block_size, a.block_size);
  EXPECT_EQ(b.flags & 0x7F, a.flags & 0x7F);
  if (k.major == 3) {
    // 3.76 keeps the 2.x fields of its superblock zero, as the vendor tool does.
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 8, out.begin() + 28), std::vector<uint8_t>(20, 0));
  }

  testing::internal::CaptureStderr();
  Tree u = load(out);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(u);
  EXPECT_EQ(content(u.get(), replaced), "replaced\n");
  EXPECT_EQ(content(u.get(), "/added.bin"), big);
  EXPECT_FALSE(squashfs_find(u.get(), removed.c_str()));
  for (auto& [path, text] : kept_text) {
    EXPECT_EQ(content(u.get(), path), text) << path;
    squashfs_entry* e = squashfs_find(u.get(), path.c_str());
    ASSERT_TRUE(e && e->stored.valid) << path;
    EXPECT_EQ(stored_bytes(e), kept_blocks[path]) << path << ": stored blocks not copied as they were";
  }
  // New blocks in the image's own framing.
  std::vector<uint8_t> blk = first_compressed_block(squashfs_find(u.get(), "/added.bin"));
  ASSERT_GT(blk.size(), 6u);
  if (k.framing == Framing::kRawL) {
    EXPECT_EQ(blk[0], 0x00);
    std::vector<uint8_t> dec(65536);
    EXPECT_EQ(rs::sqfs::lzma_raw_decode(blk.data(), blk.size(), dec.data(), dec.size(), {}), 65536)
        << "a raw 3/0/2 stream that ends at its end marker";
  } else {
    EXPECT_EQ(std::vector<uint8_t>(blk.begin(), blk.begin() + 5), (std::vector<uint8_t>{0x5D, 0, 0, 8, 0}));
    EXPECT_EQ(blk[5], 0x00);
    // No end marker: a strict decoder given the length accepts it.
    rs::sqfs::LzmaProps p{3, 0, 2, 0x80000};
    std::vector<uint8_t> dec(65536);
    EXPECT_EQ(rs::sqfs::lzma_raw_decode(blk.data() + 5, blk.size() - 5, dec.data(), dec.size(), p, 65536, true), 65536);
  }
  // The saved image saves again to the same tree.
  std::vector<uint8_t> again = rebuild(u.get());
  testing::internal::CaptureStderr();
  Tree w = load(again);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(w);
  EXPECT_EQ(diff_lines(our_listing(u.get(), true), our_listing(w.get(), true)), "");
}

// The corpus image as a partition of a flash image, and as a bare file.
TEST_P(CorpusKind, OpensInAFlashImageAndAnUneditedSaveGivesItsBytesBack) {
  rstest::TempDir dir;
  rstest::FixtureTable tab;
  tab.format = 4;
  auto part = [](const char* name, uint32_t start, uint32_t total, int8_t type, std::vector<uint8_t> c) {
    rstest::FixturePart p;
    p.name = name;
    p.start = start;
    p.total = total;
    p.type = type;
    p.content = std::move(c);
    return p;
  };
  uint32_t total = uint32_t((img.size() + 0xFFFF) / 0x10000 * 0x10000);
  tab.parts.push_back(part("BOOT", 0, 0x10000, FS_RAW, rstest::random_bytes(0x800, 3)));
  tab.parts.push_back(part("TABLE", 0x10000, 0x10000, FS_RAW, {}));
  tab.parts.push_back(part("ROOT", 0x20000, total, FS_SQUASHFS, img));
  for (size_t i = 0; i < tab.parts.size(); ++i) tab.parts[i].id = uint8_t(i);
  std::vector<uint8_t> flash_img = rstest::build_image(tab, 0x20000 + total, 0x10000);
  rstest::write_bytes(dir.file("flash.bin"), flash_img);
  rstest::write_bytes(dir.file("bare.img"), img);

  for (auto [file, part_name] : {std::pair<std::string, std::string>{"flash.bin", "ROOT"}, {"bare.img", "SQUASHFS"}}) {
    SCOPED_TRACE(file);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    rstest::Image f(flash_load_bin(dir.file(file).c_str()));
    ASSERT_TRUE(f.f);
    struct Walk {
      size_t files = 0, entries = 0;
    } w;
    int rc = flash_walk(
        f.f, part_name.c_str(), -1,
        [](const char*, const flash_stat_s* st, void* u) {
          auto* seen = static_cast<Walk*>(u);
          ++seen->entries;
          if (S_ISREG(st->mode)) ++seen->files;
          return 0;
        },
        &w);
    EXPECT_EQ(rc, 0);
    Tree t = load(img);
    ASSERT_TRUE(t);
    EXPECT_EQ(w.entries, t->image->entry_table.size());
    for (auto& [path, e] : t->image->entry_table) {
      if (!S_ISREG(e->stbuf.st_mode)) continue;
      std::string want = content(t.get(), path);
      std::string got(want.size() + 1, '\0');
      long long n = flash_pread(f.f, (part_name + path).c_str(), got.data(), got.size(), 0);
      ASSERT_EQ(n, (long long)want.size()) << path;
      got.resize(size_t(n));
      EXPECT_EQ(got, want) << path;
    }
    EXPECT_EQ(flash_save(f.f, dir.file("saved.bin").c_str(), 0), 0);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    std::vector<uint8_t> saved = rstest::read_bytes(dir.file("saved.bin"));
    EXPECT_TRUE(saved == rstest::read_bytes(dir.file(file))) << "an unedited save changed the image";
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusKind, ::testing::ValuesIn(kCorpus),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The 5-byte framing without end marker on compressed tables and fragment
// blocks too, whose decoded length no field gives: the stored-table image
// rebuilt with both compressed reads back the same.
TEST(Lzma5Framing, CompressedTablesAndFragmentsReadBack) {
  std::vector<uint8_t> img = rstest::read_bytes(corpus("binwalk_squashfs_v2.bin"));
  testing::internal::CaptureStderr();
  Tree t = load(img);
  ASSERT_TRUE(t);
  std::string before = our_listing(t.get(), true);
  t->image->p2.flags &= uint8_t(~(rs::sqfs::v3::kNoInodes | rs::sqfs::v3::kNoFragments));
  // Files change so that their tails go to fragments.
  std::map<std::string, std::string> texts;
  for (auto& [path, e] : t->image->entry_table)
    if (S_ISREG(e->stbuf.st_mode) && path.rfind("/webs/", 0) == 0) texts[path] = content(t.get(), path);
  for (auto& [path, text] : texts)
    ASSERT_EQ(squashfs_put(t.get(), path.c_str(), text.data(), text.size(), -1, -1, -1), 0);
  std::vector<uint8_t> out = rebuild(t.get());
  Tree u = load(out);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(u);
  EXPECT_EQ(super_of(out).flags & 0x11, 0u);
  EXPECT_EQ(diff_lines(before, our_listing(u.get(), true)), "");
  for (auto& [path, text] : texts) EXPECT_EQ(content(u.get(), path), text) << path;
  // The inode table's first block is a compressed 5-byte-framed block.
  uint32_t inode_start = rs::load_be32(&out[20]);
  uint16_t word = rs::load_be16(&out[inode_start]);
  EXPECT_FALSE(word & 0x8000);
  EXPECT_EQ(out[inode_start + 2], 0x5D);
  EXPECT_TRUE(u->image->p2.lzma5);
}

// A tree made here, built as a 2.1 zlib image of either byte order: unsquashfs
// must extract exactly the tree and list the same modes, owners and links.
struct Built {
  const char* name;
  bool be;
};

class Build21 : public ::testing::TestWithParam<Built> {};

TEST_P(Build21, UnsquashfsReadsWhatWeBuild) {
  rstest::TempDir dir;
  const std::string src = dir.file("src");
  fs::create_directories(src + "/etc/init.d");
  fs::create_directories(src + "/empty");
  fs::create_directories(src + "/many");
  rstest::write_text(src + "/etc/issue", "romsmith 2.1\n");
  rstest::write_text(src + "/etc/init.d/rcS", "#!/bin/sh\necho up\n");
  rstest::write_bytes(src + "/bin.dat", rstest::random_bytes(150000, 9));  // 3 blocks, stored, and a tail
  std::string text;
  for (int i = 0; i < 9000; ++i) text += "line " + std::to_string(i) + "\n";
  rstest::write_text(src + "/big.txt", text);
  rstest::write_text(src + "/zero", "");
  // More than 256 entries and a listing over 8 KiB: several headers and a
  // long directory inode with index entries.
  for (int i = 0; i < 400; ++i)
    rstest::write_text(src + "/many/file_with_a_rather_long_name_" + std::to_string(i), std::to_string(i));
  fs::create_symlink("issue", src + "/etc/motd");
  fs::create_symlink("../bin.dat", src + "/etc/bin");

  // Our 3.x builder gets the tree from mksquashfs -> our reader; converting
  // to 2.x goes through the 3.x/4.0 loader first.
  auto r = rstest::run_command("mksquashfs " + rstest::shell_quote(src) + " " +
                               rstest::shell_quote(dir.file("in.sqfs")) + " -noappend -quiet -all-root -comp gzip");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> in = rstest::read_bytes(dir.file("in.sqfs"));
  Tree t = load(in);
  ASSERT_TRUE(t);
  squashfs_chown(t.get(), "/etc/issue", 1000, 100);
  squashfs_chmod(t.get(), "/etc/init.d/rcS", 04755);
  squashfs_data* d = t->image;
  d->version = 2;
  d->p2 = squashfs_params2{};
  if (GetParam().be) {
    std::memcpy(d->super2.data(), "sqsh", 4);
    rs::store_be16(&d->super2[28], 2);
  }
  std::vector<uint8_t> out = rebuild(t.get());
  ASSERT_FALSE(out.empty());
  Super s = super_of(out);
  EXPECT_EQ(s.be, GetParam().be);
  EXPECT_EQ(s.major, 2u);
  EXPECT_EQ(s.minor, 1u);
  rstest::write_bytes(dir.file("out.sqfs2"), out);

  r = rstest::run_command("unsquashfs -d " + rstest::shell_quote(dir.file("x")) + " " +
                          rstest::shell_quote(dir.file("out.sqfs2")));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = rstest::run_command("diff -r --no-dereference " + rstest::shell_quote(src) + " " +
                          rstest::shell_quote(dir.file("x")));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // 2.x keeps times of files and directories only: compare them against our reader.
  EXPECT_EQ(diff_lines(our_listing(t.get(), false), unsquashfs_listing(dir.file("out.sqfs2"), false)), "");
  Tree u = load(out);
  ASSERT_TRUE(u);
  EXPECT_EQ(diff_lines(our_listing(u.get(), true), unsquashfs_listing(dir.file("out.sqfs2"), true)), "");
  EXPECT_EQ(content(u.get(), "/big.txt"), text);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, Build21,
                         ::testing::Values(Built{"little_endian", false}, Built{"big_endian", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Raw LZMA1 as the kinds frame it: with and without the end marker, the
// properties of the 'L' kinds and of a vendor prefix.
struct RawCase {
  const char* name;
  size_t len;
  bool text;
  rs::sqfs::LzmaProps props;
};

class RawLzma : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawLzma, MarkerlessAndMarkedStreamsDecodeToTheirLength) {
  const RawCase& c = GetParam();
  std::vector<uint8_t> data = rstest::random_bytes(c.len, 4);
  if (c.text)
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t('a' + (i * i / 97) % 26);
  std::vector<uint8_t> out(c.len + 100);
  for (bool marker : {false, true}) {
    SCOPED_TRACE(marker ? "with end marker" : "without end marker");
    std::vector<uint8_t> enc = rs::sqfs::lzma_raw_encode(data.data(), data.size(), c.props, marker);
    ASSERT_FALSE(enc.empty());
    EXPECT_EQ(enc[0], 0x00);
    // Length known: both decode; a strict decoder refuses only the marker.
    EXPECT_EQ(rs::sqfs::lzma_raw_decode(enc.data(), enc.size(), out.data(), out.size(), c.props, c.len), long(c.len));
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + long(c.len)), data);
    EXPECT_EQ(rs::sqfs::lzma_raw_decode(enc.data(), enc.size(), out.data(), out.size(), c.props, c.len, true),
              marker ? -1 : long(c.len));
    // Length unknown: the marker, or the end of the input, ends it.
    EXPECT_EQ(rs::sqfs::lzma_raw_decode(enc.data(), enc.size(), out.data(), out.size(), c.props), long(c.len));
    // Too little room is an error, not a short read.
    EXPECT_EQ(rs::sqfs::lzma_raw_decode(enc.data(), enc.size(), out.data(), c.len - 1, c.props), -1);
  }
  // The block codecs of both framings give back the data, or store it.
  for (rs::sqfs::BlockCodec codec : {rs::sqfs::raw_l_codec(), rs::sqfs::BlockCodec{Framing::kHeader5, c.props}}) {
    std::vector<uint8_t> enc = rs::sqfs::encode_block(codec, data.data(), data.size(), 65536);
    if (enc.empty()) {
      EXPECT_TRUE(!c.text || c.len < 64) << "text must compress";
      continue;
    }
    EXPECT_LT(enc.size(), data.size());
    if (codec.framing == Framing::kHeader5) {
      EXPECT_EQ(enc[0], c.props.byte());
      EXPECT_EQ(rs::load_le32(&enc[1]), c.props.dict);
    }
    EXPECT_EQ(rs::sqfs::decode_block(codec, enc.data(), enc.size(), out.data(), out.size()), long(c.len));
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + long(c.len)), data);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RawLzma,
                         ::testing::Values(RawCase{"one_byte", 1, true, {3, 0, 2, 1u << 23}},
                                           RawCase{"short_text", 300, true, {3, 0, 2, 1u << 23}},
                                           RawCase{"metadata_block", 8192, true, {3, 0, 2, 0x80000}},
                                           RawCase{"data_block_vendor_props", 65536, true, {1, 2, 2, 1u << 23}},
                                           RawCase{"random_block", 65536, false, {3, 0, 2, 0x80000}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Images still not read: one line naming what they are and what was tried.
struct Refused {
  const char* name;
  const char* file;
  std::function<void(std::vector<uint8_t>&)> spoil;
  const char* line;
};

class Refusal2 : public ::testing::TestWithParam<Refused> {};

TEST_P(Refusal2, OneLineNamesTheKindAndTheFramingTried) {
  std::vector<uint8_t> img = rstest::read_bytes(corpus(GetParam().file));
  GetParam().spoil(img);
  testing::internal::CaptureStderr();
  Tree t = load(img);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(t);
  EXPECT_NE(err.find(std::string(GetParam().line) + "\n"), std::string::npos) << err;
  EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 2) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Refusal2,
    ::testing::Values(
        Refused{"minor_2_5", "fact_lzma_le.sqfs2", [](auto& b) { b[30] = 5; },
                "squashfs error: squashfs 2:5, little-endian, compressor zlib, block size 65536: minor version not "
                "read (2.0, 2.1 and 2.76 are)"},
        Refused{"raw_lzma_tables_spoilt_2_76", "fact_lzma_be.sqfs2", [](auto& b) { b[0x9F + 4] ^= 0xFF; },
                "squashfs error: squashfs 2:76, big-endian, compressor lzma ('L' kind, minor 76), block size 65536: "
                "inode or directory table does not decode as headerless raw lzma (lc3 lp0 pb2, end marker) "
                "metadata"},
        // 'L' blocks under minor 1 read as the headerless kind; with the first
        // one spoilt nothing matches, and the line names every framing tried.
        Refused{"no_framing_matches_3_1", "fact_lzma1_le.sqfs3",
                [](auto& b) {
                  b[30] = 1;
                  b[rs::load_le64(&b[87]) + 2] = 0xFF;
                },
                "squashfs error: squashfs 3:1, little-endian, compressor zlib, block size 65536: inode or directory "
                "table does not decode as zlib, lzma with 5-byte header, lzma with 4-byte props header or "
                "headerless raw lzma (lc3 or lc0, lp0 pb2) metadata"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Seeded mutations of each new kind open within 2 s and a few hundred MB, or
// are refused with one line; files that open read or fail with one line each.
std::vector<uint8_t> mutate(std::vector<uint8_t> b, uint64_t seed, size_t hot_at) {
  uint64_t s = seed * 0x9E3779B97F4A7C15ull + 7;
  auto next = [&] {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  };
  size_t n = 1 + next() % 4;
  for (size_t i = 0; i < n; ++i) {
    // Half go to the superblock and the tables a reader trusts.
    size_t at = next() % 2 ? hot_at + next() % (b.size() - hot_at) : next() % 8 ? next() % b.size() : next() % 64;
    switch (next() % 4) {
      case 0:
        b[at] ^= uint8_t(1u << (next() % 8));
        break;
      case 1:
        b[at] = uint8_t(next());
        break;
      case 2:
        b[at] = next() % 2 ? 0xFF : 0x00;
        break;
      default:
        if (at + 4 <= b.size()) rs::store_le32(&b[at], uint32_t(next()));
        break;
    }
  }
  return b;
}

class Mutated : public ::testing::TestWithParam<Corpus> {};

TEST_P(Mutated, OpenQuicklyOrRefuseWithOneLine) {
  std::vector<uint8_t> base = rstest::read_bytes(corpus(GetParam().file));
  Super sb = super_of(base);
  size_t hot_at = GetParam().major == 2 ? (sb.be ? rs::load_be32(&base[20]) : rs::load_le32(&base[20])) : 0;
  if (hot_at >= base.size()) hot_at = 0;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
#if !defined(__SANITIZE_ADDRESS__)
    // A runaway allocation fails here instead of swapping the machine; the
    // peak below is what is checked.
    struct rlimit lim = {size_t(1) << 30, size_t(1) << 30};
    setrlimit(RLIMIT_AS, &lim);
#endif
    struct rusage before;
    getrusage(RUSAGE_SELF, &before);
    int bad = 0, opened = 0;
    // The large image reads 300 files per mutation: fewer of those.
    const int kMutations = base.size() > 100000 ? 60 : 400;
    for (int seed = 0; seed < kMutations && bad < 5; ++seed) {
      std::vector<uint8_t> img = mutate(base, uint64_t(seed), hot_at);
      fflush(stderr);
      testing::internal::CaptureStderr();
      auto t0 = std::chrono::steady_clock::now();
      Tree t = load(img);
      std::string err;
      size_t read_failures = 0;
      if (t) {
        for (auto& [path, e] : t->image->entry_table) {
          std::vector<uint8_t> v;
          if (S_ISREG(e->stbuf.st_mode) && squashfs_content(e, v) < 0) ++read_failures;
        }
      }
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      err = testing::internal::GetCapturedStderr();
      size_t lines = 0;
      std::istringstream in(err);
      for (std::string l; std::getline(in, l);)
        if (l.find("has other type") == std::string::npos && l.find("[squashfs_load 363]") == std::string::npos &&
            l.find("Filesystem on image is") == std::string::npos)
          ++lines;
      bool ok = secs < 2.0 && (t ? lines == read_failures : lines == 1);
      if (t) ++opened;
      if (!ok) {
        ++bad;
        fprintf(stderr, "mutation %d: %s, %.2f s, %zu lines, %zu read failures:\n%s", seed, t ? "opened" : "refused",
                secs, lines, read_failures, err.substr(0, 800).c_str());
      }
    }
    if (opened == 0) fprintf(stderr, "no mutation opened: the mutations miss the reader\n");
    struct rusage after;
    getrusage(RUSAGE_SELF, &after);
    long grown_mb = (after.ru_maxrss - before.ru_maxrss) / 1024;
#ifdef __SANITIZE_ADDRESS__
    // Freed memory waits in the sanitizer's quarantine (256 MB) before it is
    // reused; the bound on what the reader allocates is the normal build's.
    constexpr long kGrowthMb = 200 + 256;
#else
    constexpr long kGrowthMb = 200;
#endif
    if (grown_mb > kGrowthMb) fprintf(stderr, "peak memory grew by %ld MB\n", grown_mb);
    _exit(bad == 0 && opened > 0 && grown_mb <= kGrowthMb ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

INSTANTIATE_TEST_SUITE_P(Corpus, Mutated, ::testing::ValuesIn(kCorpus),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace

namespace {

// A 3.x image under the plain magic whose blocks are LZMA with the 5-byte
// header: built from scratch, its first inode block decodes with an outside
// LZMA decoder from the props and dictionary it carries; read back, an edit
// keeps the framing and copies the untouched file's blocks as stored.
TEST(Lzma5Framing, ThreeXUnderThePlainMagicIsReadAndKept) {
  if (!rstest::have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  squashfs_kind kind;
  kind.version = 3;
  kind.comp = "lzma5";
  std::string why;
  Tree fresh(squashfs_new(kind, &why));
  ASSERT_TRUE(fresh) << why;
  std::vector<uint8_t> text(200000);
  for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t("channel tuner remote "[i % 21]);
  ASSERT_EQ(squashfs_put(fresh.get(), "/keep", text.data(), text.size(), 0644, 0, 0), 0);
  ASSERT_EQ(squashfs_put(fresh.get(), "/edit", "old\n", 4, 0644, 0, 0), 0);
  size_t len = 0;
  uint8_t* raw = squashfs_rebuild(fresh.get(), &len, &why);
  ASSERT_NE(raw, nullptr) << why;
  std::vector<uint8_t> img(raw, raw + len);
  free(raw);
  EXPECT_EQ(std::memcmp(img.data(), "hsqs", 4), 0);
  EXPECT_EQ(rs::load_le16(&img[28]), 3);
  EXPECT_EQ(rs::load_le16(&img[30]), 1);
  rstest::TempDir d;
  rstest::write_bytes(d.file("a.sqfs"), img);
  rstest::RunResult r = rstest::run_command(
      "python3 -c \"import lzma,struct,sys\n"
      "b=open(sys.argv[1],'rb').read()\n"
      "at=struct.unpack_from('<Q',b,87)[0]\n"
      "w=struct.unpack_from('<H',b,at)[0]\n"
      "blk=b[at+2:at+2+(w&0x7fff)]\n"
      "assert not w&0x8000, 'stored'\n"
      "p=blk[0]; lc,lp,pb=p%9,(p//9)%5,p//45\n"
      "d=lzma.LZMADecompressor(lzma.FORMAT_RAW,filters=[{'id':lzma.FILTER_LZMA1,'lc':lc,'lp':lp,'pb':pb,"
      "'dict_size':struct.unpack_from('<I',blk,1)[0]}])\n"
      "print(hex(p), len(d.decompress(blk[5:],8192)))\" " +
      d.file("a.sqfs"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("0x5d ", 0), 0u) << r.out;

  Tree t(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->image->p3.lzma5);
  std::vector<uint8_t> back(text.size());
  ASSERT_EQ(squashfs_read(t.get(), "/keep", back.data(), back.size(), 0), int(text.size()));
  EXPECT_EQ(back, text);
  const squashfs_stored kept = squashfs_find(t.get(), "/keep")->stored;
  ASSERT_EQ(squashfs_put(t.get(), "/edit", "new\n", 4, -1, -1, -1), 0);
  raw = squashfs_rebuild(t.get(), &len, &why);
  ASSERT_NE(raw, nullptr) << why;
  std::vector<uint8_t> img2(raw, raw + len);
  free(raw);
  Tree t2(squashfs_load_memory(img2.data(), img2.size()));
  ASSERT_TRUE(t2);
  EXPECT_TRUE(t2->image->p3.lzma5);
  EXPECT_EQ(t2->image->p3.lzma_props, 0x5D);
  char four[4];
  ASSERT_EQ(squashfs_read(t2.get(), "/edit", four, 4, 0), 4);
  EXPECT_EQ(std::string(four, 4), "new\n");
  const squashfs_stored now = squashfs_find(t2.get(), "/keep")->stored;
  ASSERT_EQ(now.block_words, kept.block_words);
  uint64_t n = 0;
  for (uint32_t w : kept.block_words) n += w & 0xFFFFFF;
  EXPECT_TRUE(
      std::equal(img.begin() + long(kept.start), img.begin() + long(kept.start + n), img2.begin() + long(now.start)))
      << "the untouched file's blocks are copied as stored";
}

// The other plain-magic LZMA framings (4-byte props header; headerless raw
// lc0 or lc3, lp0 pb2), both versions and byte orders: blocks a stock LZMA1
// decoder takes, the framing found again on load and kept through an edit.
struct OtherFraming {
  const char* name;
  const char* comp;
  int props;  // overrides the kind's properties byte when >= 0
  bool header4;
  int version;
  bool be;
};

void PrintTo(const OtherFraming& f, std::ostream* os) { *os << f.name; }

class OtherLzmaFraming : public ::testing::TestWithParam<OtherFraming> {};

TEST_P(OtherLzmaFraming, BuiltReadAndKeptOnRebuild) {
  if (!rstest::have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  const OtherFraming& f = GetParam();
  squashfs_kind kind;
  kind.version = f.version;
  kind.big_endian = f.be;
  kind.comp = f.comp;
  std::string why;
  Tree fresh(squashfs_new(kind, &why));
  ASSERT_TRUE(fresh) << why;
  squashfs_data* d = fresh->image;
  if (f.props >= 0) (f.version == 2 ? d->p2.lzma_props : d->p3.lzma_props) = uint8_t(f.props);
  const uint8_t props = f.version == 2 ? d->p2.lzma_props : d->p3.lzma_props;
  std::vector<uint8_t> text(150000);
  for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t("channel tuner remote "[i % 21] + i / 7000);
  ASSERT_EQ(squashfs_put(fresh.get(), "/keep", text.data(), text.size(), 0644, 0, 0), 0);
  ASSERT_EQ(squashfs_put(fresh.get(), "/edit", "old\n", 4, 0644, 0, 0), 0);
  std::vector<uint8_t> img = rebuild(fresh.get());
  ASSERT_FALSE(img.empty());
  Super s = super_of(img);
  EXPECT_EQ(s.be, f.be);
  EXPECT_EQ(s.major, unsigned(f.version));
  EXPECT_EQ(s.minor, f.version == 2 ? 0u : 1u);
  EXPECT_EQ(std::memcmp(img.data(), f.be ? "sqsh" : "hsqs", 4), 0);

  rstest::TempDir dir;
  rstest::write_bytes(dir.file("a.sqfs"), img);
  const std::string e = f.be ? ">" : "<";
  rstest::RunResult r = rstest::run_command(
      "python3 -c \"import lzma,struct,sys\n"
      "b=open(sys.argv[1],'rb').read()\n"
      "at=struct.unpack_from('" +
      e + (f.version == 2 ? "I',b,20" : "Q',b,87") +
      ")[0]\n"
      "w=struct.unpack_from('" +
      e +
      "H',b,at)[0]\n"
      "blk=b[at+2:at+2+(w&0x7fff)]\n"
      "assert not w&0x8000, 'stored'\n"
      "p=" +
      std::to_string(props) + "; lc,lp,pb=p%9,(p//9)%5,p//45\n" +
      (f.header4 ? "assert tuple(blk[:4])==(pb,lc,lp,0), blk[:4]\nblk=blk[4:]\n" : "") +
      "d=lzma.LZMADecompressor(lzma.FORMAT_RAW,filters=[{'id':lzma.FILTER_LZMA1,'lc':lc,'lp':lp,'pb':pb,"
      "'dict_size':1<<23}])\n"
      "n=len(d.decompress(blk,8192))\n"
      "print(d.eof, n, len(d.unused_data))\" " +
      dir.file("a.sqfs"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("True ", 0), 0u) << "ends at its marker: " << r.out;
  EXPECT_NE(r.out.find(" 0\n"), std::string::npos) << "nothing after the stream: " << r.out;

  auto framing_of = [&](const squashfs_data* x) {
    return f.version == 2 ? std::make_tuple(x->p2.lzma5, x->p2.lzma4, x->p2.lzma_raw, x->p2.lzma_props)
                          : std::make_tuple(x->p3.lzma5, x->p3.lzma4, x->p3.lzma_raw, x->p3.lzma_props);
  };
  const auto want = std::make_tuple(false, f.header4, !f.header4, props);
  Tree t = load(img);
  ASSERT_TRUE(t);
  EXPECT_EQ(framing_of(t->image), want);
  EXPECT_EQ(content(t.get(), "/keep"), std::string(text.begin(), text.end()));
  const squashfs_stored kept = squashfs_find(t.get(), "/keep")->stored;
  ASSERT_EQ(squashfs_put(t.get(), "/edit", "new\n", 4, -1, -1, -1), 0);
  std::vector<uint8_t> img2 = rebuild(t.get());
  ASSERT_FALSE(img2.empty());
  Tree t2 = load(img2);
  ASSERT_TRUE(t2);
  EXPECT_EQ(framing_of(t2->image), want);
  EXPECT_EQ(content(t2.get(), "/edit"), "new\n");
  EXPECT_EQ(content(t2.get(), "/keep"), std::string(text.begin(), text.end()));
  const squashfs_stored now = squashfs_find(t2.get(), "/keep")->stored;
  ASSERT_EQ(now.block_words, kept.block_words);
  uint64_t n = 0;
  for (uint32_t w : kept.block_words) n += w & 0xFFFFFF;
  EXPECT_GT(n, 0u);
  EXPECT_TRUE(
      std::equal(img.begin() + long(kept.start), img.begin() + long(kept.start + n), img2.begin() + long(now.start)))
      << "the untouched file's blocks are copied as stored";
}

std::vector<OtherFraming> other_framings() {
  std::vector<OtherFraming> v;
  for (int version : {2, 3})
    for (bool be : {false, true}) {
      v.push_back({"header4", "lzma4", -1, true, version, be});
      v.push_back({"header4_lc1_lp1_pb0", "lzma4", 1 + 9, true, version, be});
      v.push_back({"raw_lc0", "lzma-raw", -1, false, version, be});
      v.push_back({"raw_lc3", "lzma-raw", 0x5D, false, version, be});
    }
  return v;
}

INSTANTIATE_TEST_SUITE_P(Kinds, OtherLzmaFraming, ::testing::ValuesIn(other_framings()), [](const auto& p) {
  return std::string(p.param.name) + "_v" + std::to_string(p.param.version) + (p.param.be ? "_be" : "_le");
});

// With the tables stored, the first compressed data block tells the framing.
TEST(OtherLzmaFraming, StoredTablesLeaveItToTheDataBlocks) {
  for (int version : {2, 3})
    for (const char* comp : {"lzma4", "lzma-raw"}) {
      SCOPED_TRACE(std::string(comp) + " v" + std::to_string(version));
      squashfs_kind kind;
      kind.version = version;
      kind.comp = comp;
      std::string why;
      Tree fresh(squashfs_new(kind, &why));
      ASSERT_TRUE(fresh) << why;
      (version == 2 ? fresh->image->p2.flags : fresh->image->p3.flags) |= rs::sqfs::v3::kNoInodes;
      std::string text;
      for (int i = 0; i < 20000; ++i) text += "row " + std::to_string(i) + "\n";
      ASSERT_EQ(squashfs_put(fresh.get(), "/t", text.data(), text.size(), 0644, 0, 0), 0);
      std::vector<uint8_t> img = rebuild(fresh.get());
      Tree t = load(img);
      ASSERT_TRUE(t);
      const bool h4 = std::string(comp) == "lzma4";
      EXPECT_EQ(version == 2 ? t->image->p2.lzma4 : t->image->p3.lzma4, h4);
      EXPECT_EQ(version == 2 ? t->image->p2.lzma_raw : t->image->p3.lzma_raw, !h4);
      EXPECT_EQ(content(t.get(), "/t"), text);
    }
}

// An 'L' image relabelled minor 1 reads as headerless raw lc3 lp0 pb2 under
// the plain magic, as adaptive readers take it, and its rebuild keeps that.
TEST(OtherLzmaFraming, LBlocksUnderMinorOneReadAsRaw) {
  std::vector<uint8_t> img = rstest::read_bytes(corpus("fact_lzma1_le.sqfs3"));
  Tree l = load(img);
  ASSERT_TRUE(l);
  const std::string before = our_listing(l.get(), true);
  img[30] = 1;
  Tree t = load(img);
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->image->p3.lzma_raw);
  EXPECT_EQ(t->image->p3.lzma_props, 0x5D);
  EXPECT_EQ(diff_lines(before, our_listing(t.get(), true)), "");
  std::vector<uint8_t> out = rebuild(t.get());
  Tree u = load(out);
  ASSERT_TRUE(u);
  EXPECT_TRUE(u->image->p3.lzma_raw);
  EXPECT_EQ(diff_lines(before, our_listing(u.get(), true)), "");
}

}  // namespace
