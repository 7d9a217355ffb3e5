// Trees of any size: a mksquashfs image of more entries than a fixed budget
// held opens and lists as unsquashfs lists it, survives an edit and a
// rebuild; a small image whose tables claim a huge tree is refused quickly in
// bounded memory; every refusal says in one line what the image is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "squashfs/squashfs.h"
#include "squashfs_test_util.h"
#include "testutil.h"
#include "util/endian.h"

namespace {

using sqtest::Tree;

// ls -l style permission string of a mode.
std::string perm(uint32_t mode) {
  std::string s = S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : "-";
  const char* rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) s += (mode & (0400u >> i)) ? rwx[i] : '-';
  return s;
}

std::string line_of(const squashfs_entry* e) {
  uint32_t m = uint32_t(e->stbuf.st_mode);
  return perm(m) + " " + std::to_string(e->stbuf.st_uid) + "/" + std::to_string(e->stbuf.st_gid) + " " +
         (S_ISDIR(m) ? std::string("-") : std::to_string(e->stbuf.st_size)) + "  /x" + e->path + "\n";
}

// The tree below `dir` in unsquashfs -lln order, in sqtest::listing's form.
void list_tree(squashfs_entry* dir, std::string& out) {
  std::vector<squashfs_entry*> kids;
  for (squashfs_entry* c = dir->child; c; c = c->next) kids.push_back(c);
  std::sort(kids.begin(), kids.end(), [](auto* a, auto* b) { return a->name < b->name; });
  for (squashfs_entry* c : kids) {
    out += line_of(c);
    if (S_ISDIR(c->stbuf.st_mode)) list_tree(c, out);
  }
}

std::string read_all(squashfs_entry* root, const char* path) {
  squashfs_entry* e = squashfs_find(root, path);
  std::vector<uint8_t> v;
  if (!e || squashfs_content(e, v) != 0) return "<unreadable>";
  return std::string(v.begin(), v.end());
}

// 140 000 files in 1 000 directories, every fourth holding a few bytes: more
// entries than the fixed 64 MiB the loader used to allow.
class ScaleTree4 : public ::testing::TestWithParam<const char*> {
 protected:
  static constexpr int kDirs = 1000, kPerDir = 140;
  rstest::TempDir dir;

  std::string make_image() {
    std::string src = dir.file("src");
    mkdir(src.c_str(), 0755);
    char path[256];
    for (int d = 0; d < kDirs; ++d) {
      snprintf(path, sizeof path, "%s/d%03d", src.c_str(), d);
      mkdir(path, 0755);
      for (int i = 0; i < kPerDir; ++i) {
        int n = d * kPerDir + i;
        snprintf(path, sizeof path, "%s/d%03d/f%06d", src.c_str(), d, n);
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return "";
        if (n % 4 == 0) {
          std::string text = std::to_string(n);
          (void)!write(fd, text.data(), text.size());
        }
        close(fd);
      }
    }
    std::string img = dir.file("big.sqfs");
    auto r = rstest::run_command("mksquashfs " + rstest::shell_quote(src) + " " + rstest::shell_quote(img) +
                                 " -noappend -quiet -no-progress -all-root -comp " + GetParam());
    return r.status == 0 ? img : "";
  }
};

TEST_P(ScaleTree4, OpensListsEditsAndRebuilds) {
  if (!rstest::have_tool("mksquashfs") || !rstest::have_tool("unsquashfs"))
    GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  std::string img_path = make_image();
  ASSERT_FALSE(img_path.empty());
  std::vector<uint8_t> img = rstest::read_bytes(img_path);
  testing::internal::CaptureStderr();
  Tree root(squashfs_load_memory(img.data(), img.size()));
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(root) << err;
  EXPECT_EQ(err, "");
  // A tree this large is read a directory at a time, as it is used.
  EXPECT_EQ(root->image->unread_dirs, size_t(kDirs));
  EXPECT_EQ(read_all(root.get(), "/d321/f044940"), "44940");
  EXPECT_EQ(root->image->unread_dirs, size_t(kDirs) - 1);
  ASSERT_TRUE(squashfs_load_all(root.get()));
  EXPECT_EQ(root->image->unread_dirs, 0u);
  EXPECT_EQ(root->image->entry_table.size(), size_t(kDirs) * (kPerDir + 1) + 1);

  std::string ours = line_of(root.get());
  list_tree(root.get(), ours);
  std::string theirs = sqtest::listing(img_path);
  ASSERT_EQ(ours.size(), theirs.size());
  if (ours != theirs) {  // 140 000 lines: only the first difference
    size_t at = 0;
    while (ours[at] == theirs[at]) ++at;
    at = ours.rfind('\n', at) + 1;
    ADD_FAILURE() << "listings differ at\n" << ours.substr(at, 200) << "---\n" << theirs.substr(at, 200);
  }

  // One file replaced, one added, one removed; the rebuild keeps the rest.
  ASSERT_EQ(squashfs_put(root.get(), "/d500/f070000", "edited", 6, -1, -1, -1), 0);
  ASSERT_EQ(squashfs_put(root.get(), "/d999/new", "new file", 8, 0600, -1, -1), 0);
  ASSERT_EQ(squashfs_remove(root.get(), "/d000/f000001"), 0);
  size_t len = 0;
  std::string why;
  uint8_t* out = squashfs_rebuild(root.get(), &len, &why);
  ASSERT_NE(out, nullptr) << why;
  std::vector<uint8_t> rebuilt(out, out + len);
  free(out);
  Tree again(squashfs_load_memory(rebuilt.data(), rebuilt.size()));
  ASSERT_TRUE(again);
  EXPECT_EQ(read_all(again.get(), "/d500/f070000"), "edited");
  EXPECT_EQ(read_all(again.get(), "/d999/new"), "new file");
  EXPECT_EQ(squashfs_find(again.get(), "/d000/f000001"), nullptr);
  EXPECT_EQ(read_all(again.get(), "/d999/f139996"), "139996");
  EXPECT_EQ(read_all(again.get(), "/d123/f017221"), "");
  ASSERT_TRUE(squashfs_load_all(again.get()));
  EXPECT_EQ(again->image->entry_table.size(), root->image->entry_table.size());
}

INSTANTIATE_TEST_SUITE_P(Compressors, ScaleTree4, ::testing::Values("xz"));

// --- images written from the published 4.0 layout --------------------------

// Metadata blocks of `stream`: 8 KiB pieces, each deflated when that is smaller.
std::vector<uint8_t> meta_blocks(const std::vector<uint8_t>& stream) {
  std::vector<uint8_t> out;
  for (size_t at = 0; at < stream.size() || at == 0; at += 8192) {
    size_t n = std::min<size_t>(8192, stream.size() - at);
    std::vector<uint8_t> z(compressBound(n));
    uLongf zl = z.size();
    compress2(z.data(), &zl, stream.data() + at, n, 9);
    bool raw = zl >= n;
    uint8_t hdr[2];
    rs::store_le16(hdr, uint16_t(raw ? n | 0x8000 : zl));
    out.insert(out.end(), hdr, hdr + 2);
    if (raw)
      out.insert(out.end(), stream.begin() + long(at), stream.begin() + long(at + n));
    else
      out.insert(out.end(), z.begin(), z.begin() + long(zl));
    if (stream.empty()) break;
  }
  return out;
}

void put16(std::vector<uint8_t>& v, uint16_t x) {
  uint8_t b[2];
  rs::store_le16(b, x);
  v.insert(v.end(), b, b + 2);
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
  uint8_t b[4];
  rs::store_le32(b, x);
  v.insert(v.end(), b, b + 4);
}

// A gzip 4.0 image whose root lists `count` entries named by `name_of`, all
// naming one empty file inode (as hard links do).
std::vector<uint8_t> crafted4(size_t count, const std::function<std::string(size_t)>& name_of) {
  std::vector<uint8_t> dirs;
  for (size_t i = 0; i < count; i += 256) {
    size_t n = std::min<size_t>(256, count - i);
    put32(dirs, uint32_t(n - 1));
    put32(dirs, 0);  // inode block
    put32(dirs, 2);  // inode number base
    for (size_t k = 0; k < n; ++k) {
      std::string name = name_of(i + k);
      put16(dirs, 0);  // offset of the file inode
      put16(dirs, 0);  // inode number delta
      put16(dirs, 2);  // regular file
      put16(dirs, uint16_t(name.size() - 1));
      dirs.insert(dirs.end(), name.begin(), name.end());
    }
  }
  std::vector<uint8_t> inodes;
  for (uint16_t v : {2, 0644, 0, 0}) put16(inodes, v);  // basic file
  put32(inodes, 0);
  put32(inodes, 2);
  for (uint32_t v : {0u, 0xFFFFFFFFu, 0u, 0u}) put32(inodes, v);
  for (uint16_t v : {8, 0755, 0, 0}) put16(inodes, v);  // extended directory, the root
  put32(inodes, 0);
  put32(inodes, 1);
  for (uint32_t v : {2u, uint32_t(dirs.size() + 3), 0u, 3u}) put32(inodes, v);
  put16(inodes, 0);
  put16(inodes, 0);
  put32(inodes, 0xFFFFFFFFu);

  std::vector<uint8_t> img(96, 0);
  std::vector<uint8_t> it = meta_blocks(inodes), dt = meta_blocks(dirs), ids;
  put32(ids, 0);
  std::vector<uint8_t> idt = meta_blocks(ids);
  uint64_t inode_at = 96, dir_at = inode_at + it.size(), id_block = dir_at + dt.size(), id_at = id_block + idt.size();
  img.insert(img.end(), it.begin(), it.end());
  img.insert(img.end(), dt.begin(), dt.end());
  img.insert(img.end(), idt.begin(), idt.end());
  uint8_t idx[8];
  rs::store_le64(idx, id_block);
  img.insert(img.end(), idx, idx + 8);
  uint8_t* s = img.data();
  rs::store_le32(s, 0x73717368u);
  rs::store_le32(s + 4, 2);
  rs::store_le32(s + 12, 131072);
  rs::store_le16(s + 20, 1);
  rs::store_le16(s + 22, 17);
  rs::store_le16(s + 24, 0x0010 | 0x0200);  // no fragments, no xattrs
  rs::store_le16(s + 26, 1);
  rs::store_le16(s + 28, 4);
  rs::store_le64(s + 32, 32);  // root inode: block 0, offset 32
  rs::store_le64(s + 40, img.size());
  rs::store_le64(s + 48, id_at);
  rs::store_le64(s + 56, ~uint64_t(0));
  rs::store_le64(s + 64, inode_at);
  rs::store_le64(s + 72, dir_at);
  rs::store_le64(s + 80, ~uint64_t(0));
  rs::store_le64(s + 88, ~uint64_t(0));
  img.resize((img.size() + 4095) & ~size_t(4095));
  return img;
}

struct Outcome {
  int result = -1;
  long grown_kib = -1;
  double seconds = 0;
};

long peak_kib() {
  long v = -1;
  if (FILE* f = fopen("/proc/self/status", "r")) {
    char line[256];
    while (fgets(line, sizeof line, f))
      if (sscanf(line, "VmHWM: %ld kB", &v) == 1) break;
    fclose(f);
  }
  return v;
}

// `work` in a child process: its result, time and peak resident growth.
Outcome in_child(const std::function<int()>& work) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    if (int fd = open("/proc/self/clear_refs", O_WRONLY); fd >= 0) {
      (void)!write(fd, "5", 1);
      close(fd);
    }
    Outcome o;
    long before = peak_kib();
    auto t0 = std::chrono::steady_clock::now();
    o.result = work();
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.grown_kib = peak_kib() - before;
    (void)!write(fds[1], &o, sizeof o);
    _exit(0);
  }
  close(fds[1]);
  Outcome o;
  if (read(fds[0], &o, sizeof o) != sizeof o) o = {};
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return o;
}

TEST(SquashfsTreeBudget, SmallImageClaimingHugeTreeIsRefusedQuickly) {
  // Honest in shape: a listing of distinct names loads and lists every one.
  std::vector<uint8_t> fine = crafted4(3000, [](size_t i) { return "file" + std::to_string(i); });
  Tree t(squashfs_load_memory(fine.data(), fine.size()));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->image->entry_table.size(), 3001u);
  EXPECT_EQ(squashfs_nlink(squashfs_find(t.get(), "/file2999")), 3000u);

  // Three million entries in a few hundred KiB of well-compressed listing.
  std::vector<uint8_t> huge = crafted4(3000000, [](size_t) { return std::string("same_name"); });
  ASSERT_LT(huge.size(), 1u << 20);
  testing::internal::CaptureStderr();
  Tree none(squashfs_load_memory(huge.data(), huge.size()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(none);
  EXPECT_NE(err.find("squashfs error: squashfs 4:0, little-endian, compressor 1 (gzip), block size 131072: tree "
                     "larger than its tables can hold"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("squashfs error: [squashfs_load 363]\n"), std::string::npos) << err;
  Outcome o = in_child([&] {
    squashfs_entry* r = squashfs_load_memory(huge.data(), huge.size());
    squashfs_free(r);
    return r ? 1 : 0;
  });
  EXPECT_EQ(o.result, 0);
  EXPECT_LT(o.seconds, 2.0);
  EXPECT_LT(o.grown_kib, 200 * 1024);
}

// --- one line for every image that cannot be read --------------------------

struct Refusal {
  const char* name;
  std::function<std::vector<uint8_t>()> make;
  const char* line;    // the whole line that must appear
  bool designed_line;  // followed by "[squashfs_load 363]"
};

std::vector<uint8_t> superblock(bool be, uint16_t major, uint16_t minor, size_t size = 4096) {
  std::vector<uint8_t> b(size, 0);
  auto u16 = [&](size_t at, uint16_t v) { be ? rs::store_be16(&b[at], v) : rs::store_le16(&b[at], v); };
  auto u32 = [&](size_t at, uint32_t v) { be ? rs::store_be32(&b[at], v) : rs::store_le32(&b[at], v); };
  u32(0, 0x73717368u);
  u16(28, major);
  u16(30, minor);
  if (major >= 4) {
    u32(12, 131072);
    u16(20, 4);
    u16(22, 17);
  } else {
    u32(51, 65536);
    u16(34, 16);
  }
  return b;
}

class SquashfsRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(SquashfsRefusal, NamesWhatTheImageIs) {
  std::vector<uint8_t> img = GetParam().make();
  testing::internal::CaptureStderr();
  Tree t(squashfs_load_memory(img.data(), img.size()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(t);
  EXPECT_NE(err.find(std::string(GetParam().line) + "\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("[squashfs_load 363]\n") != std::string::npos, GetParam().designed_line) << err;
  // Nothing else but the designed lines of the 3.x reader.
  size_t lines = size_t(std::count(err.begin(), err.end(), '\n'));
  EXPECT_LE(lines, GetParam().designed_line ? 3u : 1u) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SquashfsRefusal,
    ::testing::Values(
        Refusal{"big_endian_4_0", [] { return superblock(true, 4, 0); },
                "squashfs error: squashfs 4:0, big-endian, compressor 4 (xz), block size 131072: big-endian image does "
                "not read: bytes used beyond the end of the image (cut short?)",
                true},
        Refusal{"unknown_compressor",
                [] {
                  auto b = superblock(false, 4, 0);
                  rs::store_le16(&b[20], 11);
                  return b;
                },
                "squashfs: unknown compressor id 11, image left as raw bytes (squashfs 4:0, little-endian, "
                "compressor 11 (unknown), block size 131072)",
                false},
        Refusal{"minor_4_1", [] { return superblock(false, 4, 1); },
                "squashfs error: squashfs 4:1, little-endian, compressor 4 (xz), block size 131072: minor version "
                "not read (4.0 only)",
                true},
        Refusal{"version_2_1", [] { return superblock(false, 2, 1); },
                "squashfs error: squashfs 2:1, little-endian, compressor zlib, block size 65536: root inode "
                "missing or no directory (zlib or lzma with 5-byte header blocks tried)",
                true},
        Refusal{"lzma_3_76_big_endian", [] { return superblock(true, 3, 76); },
                "squashfs error: squashfs 3:76, big-endian, compressor lzma ('L' kind, minor 76), block size 65536: "
                "root inode missing or no directory (headerless raw lzma (lc3 lp0 pb2, end marker) blocks tried)",
                true},
        Refusal{"cut_short",
                [] {
                  auto b = crafted4(10, [](size_t i) { return "f" + std::to_string(i); });
                  b.resize(100);
                  return b;
                },
                "squashfs error: squashfs 4:0, little-endian, compressor 1 (gzip), block size 131072: bytes used "
                "beyond the end of the image (cut short?)",
                true},
        Refusal{"vendor_lzma_framing",
                [] {
                  // gzip blocks where an lzma image is announced: the framing fails at the first table.
                  auto b = crafted4(10, [](size_t i) { return "f" + std::to_string(i); });
                  rs::store_le16(&b[20], 2);
                  return b;
                },
                "squashfs: lzma (compressor id 2) blocks decode in none of the framings tried (13-byte lzma-alone, "
                "props+dictionary, 4-byte pb/lc/lp, raw lc3 lp0 pb2, raw lc0 lp0 pb2), image left as raw bytes "
                "(squashfs 4:0, little-endian, compressor 2 (lzma), block size 131072)",
                false},
        Refusal{"no_magic", [] { return std::vector<uint8_t>(4096, 0x5A); },
                "squashfs error: no squashfs magic (bytes 5a 5a 5a 5a): not a squashfs image", true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
