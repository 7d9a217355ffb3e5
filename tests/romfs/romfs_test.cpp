// romfs against genromfs: its images read as the kernel shows them and come
// back byte for byte from an unedited rebuild and from mkromfs; edits survive
// a rebuild with the layout rules kept; what the format cannot store is
// refused; crafted images are refused with their reason, quickly.
#include "romfs/romfs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "testutil.h"
#include "util/endian.h"

namespace {

namespace sfs = std::filesystem;
#ifdef __SANITIZE_ADDRESS__
constexpr bool kSlowBuild = true;  // time bounds hold for the normal build
#else
constexpr bool kSlowBuild = false;
#endif
using rstest::run_command;
using rstest::shell_quote;

struct Loaded {
  std::vector<uint8_t> bytes;
  romfs_image* fs = nullptr;
  std::string why;
  explicit Loaded(std::vector<uint8_t> b, uint32_t room = 0) : bytes(std::move(b)) {
    uint32_t used = uint32_t(bytes.size());
    if (room > bytes.size()) bytes.resize(room, 0xFF);
    fs = romfs_load(bytes.data(), used, uint32_t(bytes.size()), &why);
  }
  ~Loaded() {
    if (fs) romfs_free(fs);
  }
};

// path -> "mode size [rdev] [-> target]", and file contents.
using View = std::map<std::string, std::string>;
std::string line(uint32_t mode, uint64_t size, uint32_t rdev, const std::string& target) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%06o", mode);
  std::string s = buf;
  if (S_ISREG(mode) || S_ISLNK(mode)) s += " " + std::to_string(size);
  if (S_ISBLK(mode) || S_ISCHR(mode)) s += " dev " + std::to_string(rdev);
  if (S_ISLNK(mode)) s += " -> " + target;
  return s;
}

View view_of(romfs_image* fs, std::map<std::string, std::string>* files = nullptr) {
  std::vector<romfs_node> nodes;
  EXPECT_EQ(romfs_walk(fs, "/", &nodes), 0);
  View v;
  for (const romfs_node& n : nodes) {
    if (n.path == "/") continue;
    v[n.path] = line(n.attr.mode, n.attr.size, n.attr.rdev, n.attr.target);
    if (files && S_ISREG(n.attr.mode)) {
      std::string c(n.attr.size, '\0');
      EXPECT_EQ(romfs_pread(fs, n.path.c_str(), c.data(), c.size(), 0), (long long)c.size()) << n.path;
      (*files)[n.path] = c;
    }
  }
  return v;
}

// What the kernel shows of a host tree after genromfs: type, 0644 or 0755 by
// any exec bit for files and directories, fixed modes for the rest.
View host_view(const std::string& root, std::map<std::string, std::string>* files) {
  View v;
  for (auto& de : sfs::recursive_directory_iterator(root)) {
    std::string p = de.path().string();
    struct stat st;
    ::lstat(p.c_str(), &st);
    std::string rel = p.substr(root.size());
    uint32_t mode = 0, rdev = 0;
    std::string target;
    bool x = st.st_mode & 0111;
    if (S_ISDIR(st.st_mode)) mode = x ? 040755 : 040644;
    if (S_ISREG(st.st_mode)) mode = x ? 0100755 : 0100644, (*files)[rel] = rstest::read_text(p);
    if (S_ISLNK(st.st_mode)) mode = 0120777, target = sfs::read_symlink(p).string();
    if (S_ISBLK(st.st_mode)) mode = 060600;
    if (S_ISCHR(st.st_mode)) mode = 020600;
    if (S_ISFIFO(st.st_mode)) mode = 010644;
    if (S_ISSOCK(st.st_mode)) mode = 0140644;
    if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
      unsigned ma = major(st.st_rdev), mi = minor(st.st_rdev);
      rdev = ma << 8 | (mi & 0xff) | (mi & ~0xffu) << 12;
    }
    v[rel] = line(mode, S_ISLNK(st.st_mode) ? target.size() : uint64_t(st.st_size), rdev, target);
  }
  return v;
}

// A box's root: programs, a config tree 30 levels deep, hard links, links,
// devices (as root only), a fifo, a socket, empty files and directories.
void make_tree(const std::string& src) {
  auto file = [&](const std::string& p, const std::string& text, mode_t m) {
    rstest::write_text(src + p, text);
    ::chmod((src + p).c_str(), m);
  };
  sfs::create_directories(src + "/bin");
  sfs::create_directories(src + "/etc/init.d");
  sfs::create_directories(src + "/empty");
  sfs::create_directories(src + "/noexec");
  ::chmod((src + "/noexec").c_str(), 0644);
  std::string deep = src + "/usr";
  for (int i = 0; i < 30; ++i) deep += "/d" + std::to_string(i);
  sfs::create_directories(deep);
  file(deep.substr(src.size()) + "/leaf", "deep\n", 0644);
  std::string busybox;
  for (int i = 0; i < 5000; ++i) busybox += char('a' + i * 7 % 26);
  file("/bin/busybox", busybox, 0755);
  file("/etc/issue", "hello box\n", 0644);
  file("/etc/init.d/rcS", "#!/bin/sh\n", 0700);
  file("/etc/only-x", "x", 0710);
  file("/zero", "", 0644);
  ::link((src + "/etc/issue").c_str(), (src + "/etc/issue.net").c_str());
  ::link((src + "/bin/busybox").c_str(), (src + "/bin/ash").c_str());
  sfs::create_symlink("busybox", src + "/bin/sh");
  sfs::create_symlink("/proc/self/mounts", src + "/etc/mtab");
  ::mkfifo((src + "/fifo").c_str(), 0644);
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string sp = src + "/sock";
  if (s >= 0 && sp.size() < sizeof a.sun_path) {
    std::strcpy(a.sun_path, sp.c_str());
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (s >= 0) ::close(s);
  if (::geteuid() == 0) {
    ::mknod((src + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3));
    ::mknod((src + "/sda1").c_str(), S_IFBLK | 0660, makedev(8, 1));
    ::mknod((src + "/ttyS300").c_str(), S_IFCHR | 0600, makedev(4, 300));
  }
}

std::string genromfs(const std::string& src, const std::string& img, const std::string& opts) {
  rstest::RunResult r = run_command("genromfs -f " + shell_quote(img) + " -d " + shell_quote(src) + " " + opts);
  return r.status == 0 ? "" : r.out + r.err;
}

std::string mkromfs(const std::string& src, const std::string& img, const std::string& opts) {
  rstest::RunResult r =
      run_command(shell_quote(ROMSMITH_BIN) + " mkromfs " + opts + " " + shell_quote(src) + " " + shell_quote(img));
  return r.status == 0 ? "" : r.out + r.err;
}

std::vector<uint8_t> rebuilt(romfs_image* fs) {
  std::string why;
  std::vector<uint8_t> out = romfs_write(fs, &why);
  EXPECT_FALSE(out.empty()) << why;
  return out;
}

// ---- genromfs images ----------------------------------------------------------

struct Made {
  const char* label;
  const char* opts;
  const char* volume;  // what the image's volume name must be
  uint32_t align;
};
void PrintTo(const Made& m, std::ostream* os) { *os << m.label; }

class FromGenromfs : public ::testing::TestWithParam<Made> {
 protected:
  void SetUp() override {
    if (!rstest::have_tool("genromfs")) GTEST_SKIP() << "genromfs is not installed";
    make_tree(dir.file("src"));
    ASSERT_EQ(genromfs(dir.file("src"), dir.file("g.img"), GetParam().opts), "");
    made = rstest::read_bytes(dir.file("g.img"));
    img = std::make_unique<Loaded>(made, 1 << 20);
    ASSERT_TRUE(img->fs) << img->why;
  }
  rstest::TempDir dir;
  std::vector<uint8_t> made;  // genromfs's image
  std::unique_ptr<Loaded> img;
};

TEST_P(FromGenromfs, ReadsAsTheKernelShowsItAndRebuildsByteForByte) {
  std::map<std::string, std::string> want_files, files;
  View want = host_view(dir.file("src"), &want_files);
  EXPECT_EQ(view_of(img->fs, &files), want);
  EXPECT_EQ(files, want_files);
  EXPECT_EQ(romfs_volume(img->fs), GetParam().volume);
  EXPECT_EQ(romfs_align(img->fs), GetParam().align);

  // Hard links share the inode; everything shows one link and owner 0:0 through the table.
  romfs_attr a, b;
  ASSERT_EQ(romfs_stat(img->fs, "/etc/issue", &a), 0);
  ASSERT_EQ(romfs_stat(img->fs, "/etc/issue.net", &b), 0);
  EXPECT_EQ(a.ino, b.ino);
  EXPECT_NE(a.ino, 0u);
  char buf[16];
  EXPECT_EQ(romfs_pread(img->fs, "/bin/ash", buf, 5, 4998), 2);
  EXPECT_EQ(romfs_pread(img->fs, "/bin/ash", buf, 5, 5000), 0);
  EXPECT_EQ(romfs_pread(img->fs, "/etc", buf, 5, 0), -EISDIR);
  EXPECT_EQ(romfs_pread(img->fs, "/none", buf, 5, 0), -ENOENT);

  EXPECT_TRUE(rebuilt(img->fs) == made) << "an unedited rebuild differs from genromfs's image";
  ASSERT_EQ(mkromfs(dir.file("src"), dir.file("m.img"), GetParam().opts), "");
  EXPECT_TRUE(rstest::read_bytes(dir.file("m.img")) == made) << "mkromfs differs from genromfs";
}

// Where each regular file's data starts in an image we read: its header
// offset (the inode number) and its header's size.
void expect_data_aligned(romfs_image* fs, uint32_t align) {
  std::vector<romfs_node> nodes;
  ASSERT_EQ(romfs_walk(fs, "/", &nodes), 0);
  std::map<uint64_t, int> names;
  for (auto& n : nodes) names[n.attr.ino]++;
  for (auto& n : nodes) {
    if (!S_ISREG(n.attr.mode) || names[n.attr.ino] > 1) continue;
    size_t len = n.path.size() - n.path.rfind('/') - 1;
    uint64_t data = n.attr.ino + 16 + ((len + 16) & ~size_t(15));
    EXPECT_EQ(data % align, 0u) << n.path << " data at " << data;
  }
}

TEST_P(FromGenromfs, EditsSurviveTheRebuildWithNameAlignmentAndLinksKept) {
  romfs_image* fs = img->fs;
  std::map<std::string, std::string> files;
  View want = view_of(fs, &files);
  std::string big(70000, 'B');
  ASSERT_EQ(romfs_put(fs, "/etc/issue", "replaced\n", 9, -1, -1, -1), 0);
  want["/etc/issue"] = line(0100644, 9, 0, ""), files["/etc/issue"] = "replaced\n";  // issue.net keeps its bytes
  ASSERT_EQ(romfs_put(fs, "/bin/busybox", big.data(), big.size(), -1, 0, 0), 0);     // keeps its exec flag
  want["/bin/busybox"] = line(0100755, big.size(), 0, ""), files["/bin/busybox"] = big;
  ASSERT_EQ(romfs_put(fs, "/etc/init.d/S50new", "#!/bin/sh\n", 10, 0755, -1, -1), 0);
  want["/etc/init.d/S50new"] = line(0100755, 10, 0, ""), files["/etc/init.d/S50new"] = "#!/bin/sh\n";
  ASSERT_EQ(romfs_remove(fs, "/usr"), 0);
  std::erase_if(want, [](auto& kv) { return kv.first.rfind("/usr", 0) == 0; });
  std::erase_if(files, [](auto& kv) { return kv.first.rfind("/usr", 0) == 0; });
  ASSERT_EQ(romfs_mkdir(fs, "/opt", 0644), 0);
  want["/opt"] = line(040644, 0, 0, "");
  ASSERT_EQ(romfs_symlink(fs, "../bin/busybox", "/opt/bb"), 0);
  want["/opt/bb"] = line(0120777, 14, 0, "../bin/busybox");
  ASSERT_EQ(romfs_rename(fs, "/etc/issue.net", "/opt/issue.net"), 0);
  want["/opt/issue.net"] = want["/etc/issue.net"], files["/opt/issue.net"] = files["/etc/issue.net"];
  want.erase("/etc/issue.net"), files.erase("/etc/issue.net");
  ASSERT_EQ(romfs_chmod(fs, "/etc/init.d/rcS", 0644), 0);
  want["/etc/init.d/rcS"] = line(0100644, 10, 0, "");
  ASSERT_EQ(romfs_chmod(fs, "/noexec", 0755), 0);
  want["/noexec"] = line(040755, 0, 0, "");
  ASSERT_EQ(romfs_chmod(fs, "/bin/ash", 0644), 0);  // the other name of busybox's old inode
  want["/bin/ash"] = line(0100644, 5000, 0, "");

  std::vector<uint8_t> out = rebuilt(fs);
  ASSERT_EQ(out.size() % 1024, 0u);
  Loaded again(out);
  ASSERT_TRUE(again.fs) << again.why;
  std::map<std::string, std::string> got_files;
  EXPECT_EQ(view_of(again.fs, &got_files), want);
  EXPECT_EQ(got_files, files);
  EXPECT_EQ(romfs_volume(again.fs), GetParam().volume);
  EXPECT_EQ(romfs_align(again.fs), GetParam().align);
  expect_data_aligned(again.fs, GetParam().align);
  EXPECT_TRUE(rebuilt(again.fs) == out) << "a second rebuild moved something";
}

const Made kMade[] = {
    {"named", "-V 'Box root'", "Box root", 16},
    {"empty_name", "-V ''", "", 16},
    {"name_of_16", "-V 0123456789abcdef", "0123456789abcdef", 16},
    {"aligned_512", "-V al -a 512", "al", 512},
    {"aligned_4096", "-V al4 -a 4096", "al4", 4096},
};
INSTANTIATE_TEST_SUITE_P(Genromfs, FromGenromfs, ::testing::ValuesIn(kMade),
                         [](const auto& i) { return std::string(i.param.label); });

// ---- what romfs cannot store --------------------------------------------------

struct Ask {
  const char* what;
  std::function<int(romfs_image*)> run;
  int want;
};

TEST(RomfsEdits, WhatTheFormatCannotStoreIsRefusedAndChangesNothing) {
  std::unique_ptr<romfs_image, void (*)(romfs_image*)> fs(romfs_create("v", 16, 8192), romfs_free);
  ASSERT_EQ(romfs_mkdir(fs.get(), "/etc", 0755), 0);
  ASSERT_EQ(romfs_put(fs.get(), "/etc/f", "x", 1, -1, -1, -1), 0);
  ASSERT_EQ(romfs_symlink(fs.get(), "f", "/etc/l"), 0);
  std::string name128(128, 'n'), room(9000, 'r');
  const Ask asks[] = {
      {"chown to another owner", [](auto* f) { return romfs_chown(f, "/etc/f", 1000, 0); }, -EPERM},
      {"chown to another group", [](auto* f) { return romfs_chown(f, "/etc", 0, 1); }, -EPERM},
      {"chown of a missing path", [](auto* f) { return romfs_chown(f, "/none", 0, 0); }, -ENOENT},
      {"chown to 0:0", [](auto* f) { return romfs_chown(f, "/etc/f", 0, 0); }, 0},
      {"chmod to owner-only bits", [](auto* f) { return romfs_chmod(f, "/etc/f", 0700); }, -EPERM},
      {"chmod to setuid", [](auto* f) { return romfs_chmod(f, "/etc/f", 04755); }, -EPERM},
      {"chmod of a link to 0755", [](auto* f) { return romfs_chmod(f, "/etc/l", 0755); }, -EPERM},
      {"chmod of a link to 0777", [](auto* f) { return romfs_chmod(f, "/etc/l", 0777); }, 0},
      {"chmod to what it is", [](auto* f) { return romfs_chmod(f, "/etc", 0755); }, 0},
      {"put with mode 0600", [](auto* f) { return romfs_put(f, "/etc/f", "y", 1, 0600, -1, -1); }, -EPERM},
      {"put with an owner", [](auto* f) { return romfs_put(f, "/etc/g", "y", 1, -1, 5, 5); }, -EPERM},
      {"mkdir with mode 0700", [](auto* f) { return romfs_mkdir(f, "/d", 0700); }, -EPERM},
      {"a name the kernel cannot open",
       [&](auto* f) { return romfs_put(f, ("/" + name128).c_str(), "y", 1, -1, -1, -1); }, -ENAMETOOLONG},
      {"an empty link target", [](auto* f) { return romfs_symlink(f, "", "/etc/e"); }, -ENOENT},
      {"more than the partition holds",
       [&](auto* f) { return romfs_put(f, "/etc/f", room.data(), room.size(), -1, -1, -1); }, -ENOSPC},
      {"a new file beyond the room",
       [&](auto* f) { return romfs_put(f, "/big", room.data(), room.size(), -1, -1, -1); }, -ENOSPC},
      {"remove of the root", [](auto* f) { return romfs_remove(f, "/"); }, -EBUSY},
      {"rename onto itself", [](auto* f) { return romfs_rename(f, "/etc", "/etc"); }, 0},
  };
  std::vector<uint8_t> before = rebuilt(fs.get());
  for (const Ask& a : asks) {
    EXPECT_EQ(a.run(fs.get()), a.want) << a.what;
    EXPECT_TRUE(rebuilt(fs.get()) == before) << a.what << " changed the image";
  }
}

// ---- crafted images -----------------------------------------------------------

// Header offsets of a small image made here: the root's list, then /d's.
struct Crafted {
  std::vector<uint8_t> img;
  std::map<std::string, uint32_t> at;  // name -> header offset
  uint32_t full() const { return rs::load_be32(&img[8]); }
  void fix(uint32_t off) {
    size_t len = std::strlen(reinterpret_cast<const char*>(&img[off + 16]));
    uint32_t meta = uint32_t(16 + ((len + 16) & ~size_t(15))), sum = 0;
    rs::store_be32(&img[off + 12], 0);
    for (uint32_t i = 0; i < meta; i += 4) sum += rs::load_be32(&img[off + i]);
    rs::store_be32(&img[off + 12], 0u - sum);
    fix_super();
  }
  void fix_super() {
    uint32_t sum = 0;
    rs::store_be32(&img[12], 0);
    for (uint32_t i = 0; i < std::min<uint32_t>(full(), 512); i += 4) sum += rs::load_be32(&img[i]);
    rs::store_be32(&img[12], 0u - sum);
  }
  void set(uint32_t off, int word, uint32_t v) {
    rs::store_be32(&img[off + 4 * word], v);
    fix(off);
  }
  uint32_t get(uint32_t off, int word) const { return rs::load_be32(&img[off + 4 * word]); }
};

Crafted crafted() {
  std::unique_ptr<romfs_image, void (*)(romfs_image*)> fs(romfs_create("c", 16, 1 << 20), romfs_free);
  romfs_mkdir(fs.get(), "/d", 0755);
  romfs_put(fs.get(), "/d/f", "data", 4, -1, -1, -1);
  std::string g(400, 'g');
  romfs_put(fs.get(), "/g", g.data(), g.size(), -1, -1, -1);
  Crafted c;
  std::string why;
  c.img = romfs_write(fs.get(), &why);
  // Find the headers by walking the lists as written: root ".", "..", "d", [".", "..", "f"], "g".
  uint32_t off = 32;
  for (const char* n : {"root", "..", "d", "d/.", "d/..", "f", "g"}) {
    c.at[n] = off;
    size_t len = std::strlen(reinterpret_cast<const char*>(&c.img[off + 16]));
    off += uint32_t(16 + ((len + 16) & ~size_t(15)) + ((c.get(off, 2) + 15) & ~15u));
  }
  return c;
}

struct Hostile {
  const char* label;
  std::function<void(Crafted&)> spoil;
  const char* reason;
};
void PrintTo(const Hostile& h, std::ostream* os) { *os << h.label; }

class CraftedImage : public ::testing::TestWithParam<Hostile> {};

TEST_P(CraftedImage, IsRefusedWithItsReasonQuickly) {
  Crafted c = crafted();
  {
    Loaded ok(c.img);
    ASSERT_TRUE(ok.fs) << "the unspoilt image: " << ok.why;
    ASSERT_EQ(romfs_pread(ok.fs, "/d/f", nullptr, 0, 0), 0);
  }
  GetParam().spoil(c);
  auto t0 = std::chrono::steady_clock::now();
  Loaded bad(c.img, 1 << 16);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(kSlowBuild ? 20 : 2));
  EXPECT_EQ(bad.fs, nullptr);
  EXPECT_NE(bad.why.find(GetParam().reason), std::string::npos) << bad.why;
}

uint32_t type_bits(uint32_t next) { return next & 15; }
const Hostile kHostile[] = {
    {"no_magic", [](Crafted& c) { c.img[3] = 'X'; }, "no romfs magic"},
    {"bad_superblock_checksum", [](Crafted& c) { c.img[20] ^= 1; }, "bad superblock checksum"},
    {"claims_4_GiB", [](Crafted& c) { rs::store_be32(&c.img[8], 0xFFFFFFF0u), c.fix_super(); }, "the image claims"},
    {"bad_header_checksum",
     [](Crafted& c) {
       c.img[c.at["f"] + 16] = 'F';
       c.fix_super();
     },
     "bad checksum of the header"},
    {"file_of_4_GiB", [](Crafted& c) { c.set(c.at["f"], 2, 0xFFFFFFF0u); }, "runs past the image end"},
    {"next_to_itself", [](Crafted& c) { c.set(c.at["g"], 0, c.at["g"] | type_bits(c.get(c.at["g"], 0))); },
     "entry loop"},
    {"next_back_to_a_sibling", [](Crafted& c) { c.set(c.at["g"], 0, c.at[".."] | type_bits(c.get(c.at["g"], 0))); },
     "entry loop"},
    {"directory_listing_its_parent", [](Crafted& c) { c.set(c.at["d"], 1, c.at["root"]); }, "entry loop"},
    {"next_outside_the_image", [](Crafted& c) { c.set(c.at["g"], 0, 0x7FFFFFF0u | type_bits(c.get(c.at["g"], 0))); },
     "outside the image"},
    {"hard_link_loop",
     [](Crafted& c) {
       c.set(c.at["g"], 0, 0);  // g becomes a hard link to f, f one to g
       c.set(c.at["g"], 1, c.at["f"]);
       uint32_t fnext = c.get(c.at["f"], 0) & ~15u;
       c.set(c.at["f"], 0, fnext);
       c.set(c.at["f"], 1, c.at["g"]);
     },
     "hard link loop"},
    {"hard_link_to_a_directory",
     [](Crafted& c) {
       c.set(c.at["g"], 0, 0);
       c.set(c.at["g"], 1, c.at["d"]);
     },
     "to a directory"},
    {"unterminated_name",
     [](Crafted& c) {
       uint32_t g = c.at["g"];
       rs::store_be32(&c.img[8], g + 16 + 96);  // the image ends inside the name
       std::memset(&c.img[g + 16], 'a', 96);
       c.fix_super();
     },
     "unterminated name"},
    {"name_beyond_name_max",
     [](Crafted& c) {
       std::memset(&c.img[c.at["g"] + 16], 'a', 300);
       c.fix_super();
     },
     "name longer than 255 bytes"},
    {"duplicate_name",
     [](Crafted& c) {
       std::memcpy(&c.img[c.at["g"] + 16], "d\0", 2);
       c.fix(c.at["g"]);
     },
     "two entries named \"d\""},
    {"slash_in_a_name",
     [](Crafted& c) {
       c.img[c.at["g"] + 16] = '/';
       c.fix(c.at["g"]);
     },
     "bad name"},
    {"root_is_a_file", [](Crafted& c) { c.set(c.at["root"], 0, (c.get(c.at["root"], 0) & ~7u) | 2); },
     "is no directory"},
};
INSTANTIATE_TEST_SUITE_P(Hostile, CraftedImage, ::testing::ValuesIn(kHostile),
                         [](const auto& i) { return std::string(i.param.label); });

TEST(RomfsLimits, TreesDeeperThanAnyPathAreRefusedAndShallowerOnesRead) {
  for (int depth : {1000, 1100}) {
    std::unique_ptr<romfs_image, void (*)(romfs_image*)> fs(romfs_create("deep", 16, 1u << 30), romfs_free);
    std::string p;
    for (int i = 0; i < depth; ++i) ASSERT_EQ(romfs_mkdir(fs.get(), (p += "/d").c_str(), 0755), 0);
    std::string why;
    std::vector<uint8_t> img = romfs_write(fs.get(), &why);
    Loaded l(img);
    EXPECT_EQ(l.fs != nullptr, depth <= 1024) << depth << ": " << l.why;
  }
}

TEST(RomfsLimits, VolumeNamesTheKernelCannotSkipAreRefused) {
  for (size_t len : {127, 128}) {
    std::unique_ptr<romfs_image, void (*)(romfs_image*)> fs(romfs_create(std::string(len, 'v'), 16, 1 << 20),
                                                            romfs_free);
    ASSERT_EQ(romfs_put(fs.get(), "/f", "f", 1, -1, -1, -1), 0);
    std::string why;
    Loaded l(romfs_write(fs.get(), &why));
    EXPECT_EQ(l.fs != nullptr, len <= 127) << len << ": " << l.why;
  }
}

// One directory of `n` empty files, headers written here one after another.
std::vector<uint8_t> flat_image(uint32_t n) {
  std::vector<uint8_t> img(32 + 64 + size_t(n) * 32, 0);
  auto header = [&](uint32_t at, uint32_t next, uint32_t info, const std::string& name) {
    rs::store_be32(&img[at], next), rs::store_be32(&img[at + 4], info);
    std::memcpy(&img[at + 16], name.data(), name.size());
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 32; i += 4) sum += rs::load_be32(&img[at + i]);
    rs::store_be32(&img[at + 12], 0u - sum);
  };
  header(32, 64 | 1 | 8, 32, ".");
  header(64, n ? 96 : 0, 32, "..");
  for (uint32_t i = 0; i < n; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%x", i);
    uint32_t at = 96 + i * 32;
    header(at, i + 1 < n ? (at + 32) | 2 : 2, 0, name);
  }
  std::memcpy(img.data(), "-rom1fs-", 8);
  rs::store_be32(&img[8], uint32_t(img.size()));
  uint32_t sum = 0;
  for (uint32_t i = 0; i < 512 && i < img.size(); i += 4) sum += rs::load_be32(&img[i]);
  rs::store_be32(&img[12], 0u - sum);
  return img;
}

TEST(RomfsLimits, ImagesOfMoreEntriesThanTheBoundAreRefusedQuickly) {
  for (uint32_t n : {1000u, (1u << 17) + 1}) {
    auto t0 = std::chrono::steady_clock::now();
    Loaded l(flat_image(n));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(kSlowBuild ? 20 : 2)) << n;
    if (n == 1000) {
      ASSERT_TRUE(l.fs) << l.why;
      std::vector<romfs_node> nodes;
      EXPECT_EQ(romfs_walk(l.fs, "/", &nodes), 0);
      EXPECT_EQ(nodes.size(), 1001u);
    } else {
      EXPECT_EQ(l.fs, nullptr);
      EXPECT_NE(l.why.find("more than 131072 entries"), std::string::npos) << l.why;
    }
  }
}

// ---- mkromfs --------------------------------------------------------------------

TEST(Mkromfs, RefusesWhatItCannotBuildAndLeavesNoImage) {
  rstest::TempDir dir;
  sfs::create_directories(dir.file("src"));
  rstest::write_text(dir.file("src/f"), "f");
  const std::pair<std::string, std::string> bad[] = {
      {"-a 24", "invalid alignment '24'"},
      {"-a 8", "invalid alignment '8'"},
      {"-x y", "unknown option '-x'"},
      {"-V " + std::string(128, 'v'), "a volume name is at most 127 bytes"},
  };
  for (auto& [opts, said] : bad) {
    std::string out = mkromfs(dir.file("src"), dir.file("o.img"), opts);
    EXPECT_NE(out.find(said), std::string::npos) << opts << ": " << out;
    EXPECT_FALSE(sfs::exists(dir.file("o.img"))) << opts;
  }
  std::string out = mkromfs(dir.file("none"), dir.file("o.img"), "");
  EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;
  EXPECT_FALSE(sfs::exists(dir.file("o.img")));
  ASSERT_EQ(mkromfs(dir.file("src"), dir.file("o.img"), "-a 0x100"), "");
  Loaded l(rstest::read_bytes(dir.file("o.img")));
  ASSERT_TRUE(l.fs) << l.why;
  EXPECT_EQ(romfs_volume(l.fs).rfind("rom ", 0), 0u) << "genromfs's default volume name";
  expect_data_aligned(l.fs, 256);
}

}  // namespace
