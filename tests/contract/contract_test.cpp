// One set of rules every file-system table must keep, run against a row per
// table: refusals with their reasons that change nothing, attributes a replace
// keeps, walk order, renames, removals, the edited mark of a save, rebuilds
// that the outside checker accepts, and a failed rebuild that fails the save.
// A new file system joins with one more row.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "core/fs_contract.h"
#include "streams.h"
#include "testutil.h"

namespace {

namespace sfs = std::filesystem;
using rstest::run_command;
using rstest::RunResult;
using rstest::shell_quote;

constexpr uint32_t kHostTime = 1600000000;

// Depth first, children by name: component by component, a parent before what is below it.
struct WalkLess {
  bool operator()(const std::string& a, const std::string& b) const {
    auto parts = [](const std::string& p) {
      std::vector<std::string> v;
      std::istringstream in(p);
      for (std::string s; std::getline(in, s, '/');)
        if (!s.empty()) v.push_back(s);
      return v;
    };
    auto pa = parts(a), pb = parts(b);
    return std::lexicographical_compare(pa.begin(), pa.end(), pb.begin(), pb.end());
  }
};

// path -> "type mode uid:gid [size] [-> target]"; directory sizes differ between
// writers and are left out.
using Lines = std::map<std::string, std::string, WalkLess>;
using Files = std::map<std::string, std::string>;

std::string line_of(uint32_t mode, uint32_t uid, uint32_t gid, uint64_t size, const std::string& target) {
  char t = S_ISDIR(mode) ? 'd' : S_ISLNK(mode) ? 'l' : S_ISREG(mode) ? 'f' : '?';
  char buf[64];
  std::snprintf(buf, sizeof buf, "%c %04o %u:%u", t, mode & 07777, uid, gid);
  std::string s = buf;
  if (t == 'f') s += " " + std::to_string(size);
  if (t == 'l') s += " -> " + target;
  return s;
}
std::string line_of(const fs_attr& a) { return line_of(a.mode, a.uid, a.gid, a.size, a.target); }

// The tree a table should hold: listing lines and file contents.
struct Tree {
  Lines lines;
  Files files;
  bool below(const std::string& p, const std::string& top) { return p == top || p.rfind(top + "/", 0) == 0; }
  void erase(const std::string& top) {
    std::erase_if(lines, [&](auto& kv) { return below(kv.first, top); });
    std::erase_if(files, [&](auto& kv) { return below(kv.first, top); });
  }
  void rename(const std::string& from, const std::string& to) {
    erase(to);
    Tree moved;
    for (auto& [p, l] : lines)
      if (below(p, from)) moved.lines[to + p.substr(from.size())] = l;
    for (auto& [p, c] : files)
      if (below(p, from)) moved.files[to + p.substr(from.size())] = c;
    erase(from);
    lines.merge(moved.lines);
    files.merge(moved.files);
  }
};

// What an outside checker (our own reader where there is none) says of an image.
struct Checked {
  bool ok = false;
  std::string log;
  std::map<std::string, std::string> lines;
  Files files;
};

struct Row {
  const char* label;
  const fs_ops* ops;
  const char* conf_type;  // the flash.conf word
  std::vector<std::string> tools;
  std::string (*make)(const std::string& src, const std::string& img);  // "" or the failed run's output
  Checked (*check)(const std::string& img, const std::string& work);
  uint32_t max_uid, max_gid;      // the largest owner it stores
  bool times;                     // stores modification times
  bool made_times;                // the image maker keeps the host's times
  bool hard_links;                // a hard-linked pair stays one inode
  uint32_t file_mode, link_mode;  // a new path's defaults
  bool dir_owner_from_parent;     // a new directory takes its parent's owner (else 0:0)
  int root_mode;                  // the root's mode whatever the source said, or -1
  bool fifos = false;             // mknod stores fifos and sockets
  bool devices = false;           // mknod stores device nodes with their numbers
  bool links_made = false;        // link makes a second name of an inode
  // What the table shows of a mode (type included) where it stores fewer bits; null: the mode itself.
  uint32_t (*shown_mode)(uint32_t mode) = nullptr;
  int owner_refusal = -EINVAL;  // chown beyond max_uid or max_gid
};
void PrintTo(const Row& r, std::ostream* os) { *os << r.label; }

constexpr uint32_t kPartSize = 0x100000;

std::string run_ok(const std::string& cmd) {
  RunResult r = run_command(cmd);
  return r.status == 0 ? "" : cmd + ": " + r.out + r.err;
}
std::string make_cramfs(const std::string& src, const std::string& img) {
  return run_ok("mkfs.cramfs " + shell_quote(src) + " " + shell_quote(img) + " >/dev/null");
}
std::string make_squashfs(const std::string& src, const std::string& img, const char* comp) {
  return run_ok("mksquashfs " + shell_quote(src) + " " + shell_quote(img) + " -noappend -quiet -no-progress -comp " +
                comp);
}
std::string make_minifs(const std::string& src, const std::string& img) {
  return run_ok(shell_quote(ROMSMITH_BIN) + " mkminifs " + shell_quote(src) + " " + shell_quote(img) + " " +
                std::to_string(kPartSize));
}

Files extracted_files(const std::string& root) {
  Files out;
  for (auto& e : sfs::recursive_directory_iterator(root))
    if (e.is_regular_file() && !e.is_symlink())
      out[e.path().string().substr(root.size())] = rstest::read_text(e.path());
  return out;
}

Checked check_cramfs(const std::string& img, const std::string& work) {
  Checked c;
  std::string x = work + "/x";
  sfs::remove_all(x);
  RunResult r = run_command("fsck.cramfs -v --extract=" + shell_quote(x) + " " + shell_quote(img));
  c.ok = r.status == 0, c.log = r.out + r.err;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string type, mode, size, owner, path, arrow, target;
    if (!(w >> type >> mode >> size >> owner >> path) || type.size() != 1 || path.rfind(x, 0) != 0) continue;
    w >> arrow >> target;
    std::string s =
        type + " " + mode + " " + owner + (type == "f" ? " " + size : "") + (type == "l" ? " -> " + target : "");
    c.lines[path.size() == x.size() ? "/" : path.substr(x.size())] = s;
  }
  if (c.ok) c.files = extracted_files(x);
  return c;
}

Checked check_squashfs(const std::string& img, const std::string& work) {
  Checked c;
  RunResult r = run_command("unsquashfs -lln -d /x " + shell_quote(img));
  c.ok = r.status == 0, c.log = r.out + r.err;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string perm, owner, size, date, time, path, arrow, target;
    if (!(w >> perm >> owner >> size >> date >> time >> path) || perm.size() != 10 || path.rfind("/x", 0) != 0)
      continue;
    w >> arrow >> target;
    uint32_t mode = 0;
    for (int i = 0; i < 9; ++i)
      if (std::strchr("rwxst", perm[1 + i])) mode |= 0400u >> i;
    if (std::tolower(perm[3]) == 's') mode |= 04000;
    if (std::tolower(perm[6]) == 's') mode |= 02000;
    if (std::tolower(perm[9]) == 't') mode |= 01000;
    char t = perm[0] == '-' ? 'f' : perm[0];
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", mode);
    owner[owner.find('/')] = ':';
    c.lines[path.size() == 2 ? "/" : path.substr(2)] =
        std::string(1, t) + " " + buf + " " + owner + (t == 'f' ? " " + size : "") + (t == 'l' ? " -> " + target : "");
  }
  std::string x = work + "/x";
  sfs::remove_all(x);
  RunResult e = run_command("unsquashfs -no-progress -d " + shell_quote(x) + " " + shell_quote(img));
  c.ok = c.ok && e.status == 0, c.log += e.out + e.err;
  if (c.ok) c.files = extracted_files(x);
  return c;
}

struct Loaded {
  const fs_ops* ops;
  std::vector<uint8_t> bytes;  // outlives the handle, as the core guarantees
  void* fs = nullptr;
  Loaded(const fs_ops* o, std::vector<uint8_t> b) : ops(o), bytes(std::move(b)) {
    uint32_t used = uint32_t(bytes.size());
    bytes.resize(std::max<size_t>(bytes.size(), kPartSize), 0xFF);
    fs = ops->load(bytes.data(), used, uint32_t(bytes.size()));
  }
  ~Loaded() {
    if (fs) ops->release(fs);
  }
};

std::vector<std::pair<std::string, std::string>> walk_lines(const fs_ops& ops, void* fs, const char* path = "/") {
  std::vector<fs_node> w;
  EXPECT_EQ(ops.walk(fs, path, &w), 0) << path;
  std::vector<std::pair<std::string, std::string>> out;
  for (const fs_node& n : w) out.emplace_back(n.path, line_of(n.attr));
  return out;
}

std::string read_all(const fs_ops& ops, void* fs, const std::string& path) {
  fs_attr a;
  if (ops.stat(fs, path.c_str(), &a) != 0) return "<missing>";
  std::string out(a.size, '\0');
  long long n = ops.pread(fs, path.c_str(), out.data(), out.size(), 0);
  if (n < 0) return "<error " + std::to_string(n) + ">";
  out.resize(size_t(n));
  return out;
}

const fs_ops* g_minifs_ops = &minifs_fs_ops;
Checked check_minifs(const std::string& img, const std::string&) {
  Checked c;
  Loaded l(g_minifs_ops, rstest::read_bytes(img));
  c.ok = l.fs != nullptr;
  if (!c.ok) return c;
  for (auto& [p, s] : walk_lines(*l.ops, l.fs)) {
    c.lines[p] = s;
    if (s[0] == 'f') c.files[p] = read_all(*l.ops, l.fs, p);
  }
  return c;
}

std::string make_romfs(const std::string& src, const std::string& img) {
  return run_ok("genromfs -f " + shell_quote(img) + " -d " + shell_quote(src) + " -V box");
}
// No outside reader lists romfs: our reader, which checks every header's checksum.
Checked check_romfs(const std::string& img, const std::string&) {
  Checked c;
  Loaded l(&romfs_fs_ops, rstest::read_bytes(img));
  c.ok = l.fs != nullptr;
  if (!c.ok) return c;
  for (auto& [p, s] : walk_lines(*l.ops, l.fs)) {
    c.lines[p] = s;
    if (s[0] == 'f') c.files[p] = read_all(*l.ops, l.fs, p);
  }
  return c;
}

const fs_ops* g_jffs2_ops = &jffs2_fs_ops;
std::string make_jffs2(const std::string& src, const std::string& img) {
  return run_ok("mkfs.jffs2 -l -e 64KiB -r " + shell_quote(src) + " -o " + shell_quote(img));
}
// jffs2dump for every node and CRC; the tree by our reader (jffs2reader
// misreads mkfs.jffs2's own images).
Checked check_jffs2(const std::string& img, const std::string&) {
  Checked c;
  RunResult r = run_command("jffs2dump -c -l " + shell_quote(img));
  c.log = r.out + r.err;
  c.ok = r.status == 0 && c.log.find("Wrong") == std::string::npos;
  Loaded l(g_jffs2_ops, rstest::read_bytes(img));
  c.ok = c.ok && l.fs != nullptr;
  if (!l.fs) return c;
  for (auto& [p, s] : walk_lines(*l.ops, l.fs)) {
    c.lines[p] = s;
    if (s[0] == 'f') c.files[p] = read_all(*l.ops, l.fs, p);
  }
  return c;
}

// A bare UBIFS (no UBI around it) of 512-byte pages, small enough for the partition.
const fs_ops* g_ubifs_ops = &ubifs_fs_ops;
std::string make_ubifs(const std::string& src, const std::string& img) {
  return run_ok("mkfs.ubifs -q -m 512 -e 15872 -c 64 -x zlib -r " + shell_quote(src) + " -o " + shell_quote(img));
}
// No fsck.ubifs in mtd-utils here (tests/ubifs/kernel_write.py mounts our output in
// the kernel): our reader, which checks every node's CRC, key and index position.
Checked check_ubifs(const std::string& img, const std::string&) {
  Checked c;
  Loaded l(g_ubifs_ops, rstest::read_bytes(img));
  c.ok = l.fs != nullptr;
  if (!c.ok) return c;
  for (auto& [p, s] : walk_lines(*l.ops, l.fs)) {
    c.lines[p] = s;
    if (s[0] == 'f') c.files[p] = read_all(*l.ops, l.fs, p);
  }
  return c;
}

// The kernel's view: an exec flag for files and directories, fixed modes for the rest.
uint32_t romfs_shown_mode(uint32_t mode) {
  uint32_t type = mode & S_IFMT;
  if (S_ISDIR(mode) || S_ISREG(mode)) return type | (mode & 0111 ? 0755 : 0644);
  if (S_ISLNK(mode)) return type | 0777;
  return type | (S_ISBLK(mode) || S_ISCHR(mode) ? 0600 : 0644);
}

// Joining the suite: one more row.
// clang-format off
const Row kRows[] = {
    // romfs stores no owners and no times, and of the mode only an exec flag.
    {.label = "romfs", .ops = &romfs_fs_ops, .conf_type = "ROMFS", .tools = {"genromfs"}, .make = make_romfs,
     .check = check_romfs, .max_uid = 0, .max_gid = 0, .times = false, .made_times = false, .hard_links = false,
     .file_mode = 0644, .link_mode = 0777, .dir_owner_from_parent = false, .root_mode = -1,
     .shown_mode = romfs_shown_mode, .owner_refusal = -EPERM},
    {.label = "cramfs", .ops = &cramfs_fs_ops, .conf_type = "CRAMFS", .tools = {"mkfs.cramfs", "fsck.cramfs"},
     .make = make_cramfs, .check = check_cramfs, .max_uid = 0xFFFF, .max_gid = 0xFF, .times = false,
     .made_times = false, .hard_links = false, .file_mode = 0644, .link_mode = 0777, .dir_owner_from_parent = true,
     .root_mode = -1, .fifos = true, .devices = true},
    {.label = "squashfs_gzip", .ops = &squashfs_fs_ops, .conf_type = "SQUASHFS", .tools = {"mksquashfs", "unsquashfs"},
     .make = [](const std::string& s, const std::string& i) { return make_squashfs(s, i, "gzip"); },
     .check = check_squashfs, .max_uid = 0xFFFFFFFF, .max_gid = 0xFFFFFFFF, .times = true, .made_times = true,
     .hard_links = true, .file_mode = 0644, .link_mode = 0777, .dir_owner_from_parent = false, .root_mode = -1,
     .fifos = true, .devices = true, .links_made = true},
    {.label = "squashfs_xz", .ops = &squashfs_fs_ops, .conf_type = "SQUASHFS", .tools = {"mksquashfs", "unsquashfs"},
     .make = [](const std::string& s, const std::string& i) { return make_squashfs(s, i, "xz"); },
     .check = check_squashfs, .max_uid = 0xFFFFFFFF, .max_gid = 0xFFFFFFFF, .times = true, .made_times = true,
     .hard_links = true, .file_mode = 0644, .link_mode = 0777, .dir_owner_from_parent = false, .root_mode = -1,
     .fifos = true, .devices = true, .links_made = true},
    // The root has no inode node in mkfs.jffs2's images: 0755 0:0 as the kernel gives it.
    {.label = "jffs2", .ops = &jffs2_fs_ops, .conf_type = "JFFS2", .tools = {"mkfs.jffs2", "jffs2dump"},
     .make = make_jffs2, .check = check_jffs2, .max_uid = 0xFFFF, .max_gid = 0xFFFF, .times = true,
     .made_times = true, .hard_links = true, .file_mode = 0644, .link_mode = 0777, .dir_owner_from_parent = false,
     .root_mode = 040755, .fifos = true, .devices = true, .links_made = true},
    // mkminifs stores no host times; the root is always 0775 0:0.
    {.label = "minifs", .ops = &minifs_fs_ops, .conf_type = "MINIFS", .tools = {}, .make = make_minifs,
     .check = check_minifs, .max_uid = 0xFFFFFFFF, .max_gid = 0xFFFFFFFF, .times = true, .made_times = false,
     .hard_links = false, .file_mode = 0664, .link_mode = 0644, .dir_owner_from_parent = false, .root_mode = 040775,
     .fifos = true},
    {.label = "ubifs", .ops = &ubifs_fs_ops, .conf_type = "UBIFS", .tools = {"mkfs.ubifs"}, .make = make_ubifs,
     .check = check_ubifs, .max_uid = 0xFFFFFFFF, .max_gid = 0xFFFFFFFF, .times = true, .made_times = true,
     .hard_links = true, .file_mode = 0644, .link_mode = 0777, .dir_owner_from_parent = false, .root_mode = -1,
     .fifos = true, .devices = true, .links_made = true},
};
// clang-format on

// The host tree every row starts from, with fixed modes and times, and what
// it holds; "etc" and "etc-old" sort differently by name than by whole path.
Tree make_host_tree(const std::string& src, const Row& row) {
  auto dir = [&](const char* p, mode_t m) { sfs::create_directories(src + p), ::chmod((src + p).c_str(), m); };
  auto file = [&](const char* p, const std::string& text, mode_t m) {
    rstest::write_text(src + p, text), ::chmod((src + p).c_str(), m);
  };
  std::string busybox;
  for (int i = 0; i < 3000; ++i) busybox += "bb" + std::to_string(i % 97);
  dir("", 0755), dir("/bin", 0755), dir("/etc", 0750), dir("/etc/init.d", 0755), dir("/usr", 0755);
  dir("/usr/share", 0755);
  file("/bin/busybox", busybox, 0755), file("/etc/issue", "hello box\n", 0644);
  file("/etc/init.d/rcS", "#!/bin/sh\n", 0700), file("/etc-old", "old\n", 0600), file("/zz", "last\n", 0644);
  sfs::create_symlink("busybox", src + "/bin/sh");
  ::link((src + "/etc/issue").c_str(), (src + "/etc/issue.net").c_str());
  Tree t;
  std::vector<std::string> all{src};
  for (auto& e : sfs::recursive_directory_iterator(src)) all.push_back(e.path());
  timespec ts[2] = {{kHostTime, 0}, {kHostTime, 0}};
  for (auto& p : all) {
    ::utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW);
    struct stat st {};
    ::lstat(p.c_str(), &st);
    std::string rel = p.size() == src.size() ? "/" : p.substr(src.size());
    std::string target = S_ISLNK(st.st_mode) ? sfs::read_symlink(p).string() : "";
    if (row.shown_mode) st.st_mode = row.shown_mode(st.st_mode);
    if (rel == "/" && row.root_mode >= 0) st.st_mode = uint32_t(row.root_mode), st.st_uid = st.st_gid = 0;
    t.lines[rel] = line_of(st.st_mode, st.st_uid, st.st_gid, uint64_t(st.st_size), target);
    if (S_ISREG(st.st_mode)) t.files[rel] = rstest::read_text(p);
  }
  return t;
}

class Contract : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    for (const std::string& t : row().tools)
      if (!rstest::have_tool(t)) GTEST_SKIP() << t << " is not installed";
    want = make_host_tree(dir.file("src"), row());
    ASSERT_EQ(row().make(dir.file("src"), dir.file("in.img")), "");
    in = std::make_unique<Loaded>(row().ops, rstest::read_bytes(dir.file("in.img")));
    ASSERT_TRUE(in->fs);
  }
  const Row& row() const { return GetParam(); }
  // What the row stores of a mode (with its type) and of owners: the tests ask
  // for that, so that each rule runs against every table.
  uint32_t storable(uint32_t mode) const { return row().shown_mode ? row().shown_mode(mode) : mode; }
  uint32_t perm(uint32_t mode) const { return storable(mode) & 07777; }
  uint32_t uid(uint32_t u) const { return std::min(u, row().max_uid); }
  uint32_t gid(uint32_t g) const { return std::min(g, row().max_gid); }
  const fs_ops& ops() const { return *row().ops; }
  void* fs() const { return in->fs; }
  fs_attr stat(void* h, const char* p) {
    fs_attr a;
    EXPECT_EQ(ops().stat(h, p, &a), 0) << p;
    return a;
  }
  // Rebuilt, reloaded from the bytes and checked from outside: `want` is what all of them see.
  std::unique_ptr<Loaded> expect_round_trip() {
    size_t n = 0;
    std::string why;
    uint8_t* img = ops().rebuild(fs(), &n, &why);
    EXPECT_NE(img, nullptr) << why;
    if (!img) return nullptr;
    std::vector<uint8_t> bytes(img, img + n);
    ops().release_image(img, n);
    rstest::write_bytes(dir.file("out.img"), bytes);
    auto again = std::make_unique<Loaded>(row().ops, bytes);
    EXPECT_TRUE(again->fs);
    if (!again->fs) return nullptr;
    std::vector<std::pair<std::string, std::string>> lines(want.lines.begin(), want.lines.end());
    EXPECT_EQ(walk_lines(ops(), again->fs), lines);
    for (auto& [p, c] : want.files) EXPECT_EQ(read_all(ops(), again->fs, p), c) << p;
    Checked c = row().check(dir.file("out.img"), dir.path());
    EXPECT_TRUE(c.ok) << c.log;
    EXPECT_EQ(c.lines, (std::map<std::string, std::string>(want.lines.begin(), want.lines.end()))) << c.log;
    EXPECT_EQ(c.files, want.files);
    return again;
  }
  rstest::TempDir dir;
  std::unique_ptr<Loaded> in;
  Tree want;
};

TEST_P(Contract, WalkIsDepthFirstByNameFromThePathItselfAndReadsAtOffsets) {
  std::vector<std::pair<std::string, std::string>> all(want.lines.begin(), want.lines.end());
  EXPECT_EQ(walk_lines(ops(), fs()), all);
  auto etc = walk_lines(ops(), fs(), "/etc");
  ASSERT_EQ(etc.size(), 5u);
  EXPECT_EQ(etc.front().first, "/etc");
  EXPECT_EQ(etc.back().first, "/etc/issue.net");
  std::vector<fs_node> w;
  EXPECT_EQ(ops().walk(fs(), "/zz", &w), -ENOTDIR);
  EXPECT_EQ(ops().walk(fs(), "/none", &w), -ENOENT);

  fs_attr a = stat(fs(), "/etc/issue"), b = stat(fs(), "/etc/issue.net");
  EXPECT_EQ(a.mtime, row().made_times ? kHostTime : 0u);
  EXPECT_EQ(a.nlink, row().hard_links ? 2u : 1u);
  if (row().hard_links) {
    EXPECT_EQ(a.ino, b.ino);
  }

  const std::string& bb = want.files["/bin/busybox"];
  char buf[100];
  ASSERT_EQ(ops().pread(fs(), "/bin/busybox", buf, sizeof buf, 5000), 100);
  EXPECT_EQ(std::string(buf, 100), bb.substr(5000, 100));
  EXPECT_EQ(ops().pread(fs(), "/bin/busybox", buf, sizeof buf, bb.size() - 3), 3);
  EXPECT_EQ(ops().pread(fs(), "/bin/busybox", buf, sizeof buf, bb.size()), 0);
  EXPECT_EQ(ops().pread(fs(), "/etc", buf, sizeof buf, 0), -EISDIR);
  EXPECT_EQ(ops().pread(fs(), "/none", buf, sizeof buf, 0), -ENOENT);
}

fs_attr scratch;
struct Refusal {
  const char* what;
  std::function<int(const fs_ops&, void*)> run;
  int want;
};
const std::vector<Refusal>& refusals() {
  static const std::vector<Refusal> cases = {
      {"put under a missing parent", [](auto& o, void* f) { return o.put(f, "/none/x", "x", 1, nullptr); }, -ENOENT},
      {"put under a file", [](auto& o, void* f) { return o.put(f, "/zz/x", "x", 1, nullptr); }, -ENOTDIR},
      {"put onto a directory", [](auto& o, void* f) { return o.put(f, "/etc", "x", 1, nullptr); }, -EISDIR},
      {"mkdir of a directory", [](auto& o, void* f) { return o.mkdir(f, "/etc", 0755); }, -EEXIST},
      {"mkdir of a file", [](auto& o, void* f) { return o.mkdir(f, "/zz", 0755); }, -EEXIST},
      {"mkdir under a missing parent", [](auto& o, void* f) { return o.mkdir(f, "/none/d", 0755); }, -ENOENT},
      {"remove of a missing path", [](auto& o, void* f) { return o.remove(f, "/etc/none"); }, -ENOENT},
      {"stat of a missing path", [](auto& o, void* f) { return o.stat(f, "/none", &scratch); }, -ENOENT},
      {"symlink onto a file", [](auto& o, void* f) { return o.symlink(f, "x", "/zz"); }, -EEXIST},
      {"symlink onto a directory", [](auto& o, void* f) { return o.symlink(f, "x", "/usr"); }, -EEXIST},
      {"chmod of a missing path", [](auto& o, void* f) { return o.chmod(f, "/none", 0600); }, -ENOENT},
      {"chown of a missing path", [](auto& o, void* f) { return o.chown(f, "/none", 1, 1); }, -ENOENT},
      {"set_mtime of a missing path",
       [](auto& o, void* f) { return o.set_mtime ? o.set_mtime(f, "/none", 5) : -ENOENT; }, -ENOENT},
      {"rename of a missing source", [](auto& o, void* f) { return o.rename(f, "/none", "/x"); }, -ENOENT},
      {"rename into its own subtree", [](auto& o, void* f) { return o.rename(f, "/etc", "/etc/init.d/etc"); }, -EINVAL},
      {"rename of a file onto a directory", [](auto& o, void* f) { return o.rename(f, "/zz", "/usr/share"); }, -EISDIR},
      {"rename of a directory onto a file", [](auto& o, void* f) { return o.rename(f, "/usr", "/zz"); }, -ENOTDIR},
      {"rename onto a non-empty directory", [](auto& o, void* f) { return o.rename(f, "/usr/share", "/etc"); },
       -ENOTEMPTY},
  };
  return cases;
}

TEST_P(Contract, RefusalsGiveTheirReasonAndChangeNothing) {
  auto before = walk_lines(ops(), fs());
  for (const Refusal& r : refusals()) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.run(ops(), fs()), r.want) << r.what;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(walk_lines(ops(), fs()), before) << r.what;
  }
  expect_round_trip();
}

TEST_P(Contract, ReplaceKeepsModeOwnerAndTimeNewPathsTakeTheDefaults) {
  ASSERT_EQ(ops().chmod(fs(), "/bin/busybox", perm(0104755)), 0);
  ASSERT_EQ(ops().chown(fs(), "/bin/busybox", uid(1000), gid(100)), 0);
  if (row().times) {
    ASSERT_EQ(ops().set_mtime(fs(), "/bin/busybox", 1700000000), 0);
  }
  ASSERT_EQ(ops().put(fs(), "/bin/busybox", "new", 3, nullptr), 0);
  want.lines["/bin/busybox"] = line_of(storable(0104755), uid(1000), gid(100), 3, "");
  want.files["/bin/busybox"] = "new";
  fs_put_attr told;
  told.has_mode = told.has_owner = true;
  told.mode = perm(0100600), told.uid = uid(7), told.gid = gid(8);
  ASSERT_EQ(ops().put(fs(), "/etc/issue", "told\n", 5, &told), 0);  // the other name of the link keeps its bytes
  want.lines["/etc/issue"] = line_of(storable(0100600), uid(7), gid(8), 5, ""), want.files["/etc/issue"] = "told\n";
  ASSERT_EQ(ops().chown(fs(), "/etc", uid(5), gid(6)), 0);
  want.lines["/etc"] = line_of(storable(040750), uid(5), gid(6), 0, "");
  ASSERT_EQ(ops().put(fs(), "/etc/new", "n", 1, nullptr), 0);
  want.lines["/etc/new"] = line_of(0100000 | row().file_mode, 0, 0, 1, ""), want.files["/etc/new"] = "n";
  ASSERT_EQ(ops().mkdir(fs(), "/etc/newdir", perm(040711)), 0);
  bool inherit = row().dir_owner_from_parent;
  want.lines["/etc/newdir"] = line_of(storable(040711), inherit ? uid(5) : 0, inherit ? gid(6) : 0, 0, "");
  ASSERT_EQ(ops().symlink(fs(), "../zz", "/etc/newdir/l"), 0);
  want.lines["/etc/newdir/l"] = line_of(0120000 | row().link_mode, 0, 0, 0, "../zz");
  auto again = expect_round_trip();
  if (again && row().times) {
    EXPECT_EQ(stat(again->fs, "/bin/busybox").mtime, 1700000000u);
  }
}

TEST_P(Contract, RenameWithinAndAcrossDirectoriesOverFilesAndWithSubtrees) {
  const std::pair<const char*, const char*> moves[] = {
      {"/etc/issue", "/etc/motd"},       // within a directory
      {"/bin/busybox", "/usr/busybox"},  // across directories
      {"/zz", "/etc/motd"},              // over an existing file
      {"/etc/init.d", "/usr/share"},     // a directory with what is below it, onto an empty one
      {"/usr", "/opt"},                  // and to a new name
  };
  for (auto [from, to] : moves) {
    ASSERT_EQ(ops().rename(fs(), from, to), 0) << from << " -> " << to;
    want.rename(from, to);
  }
  expect_round_trip();
}

TEST_P(Contract, RemoveTakesTheWholeTreeAndNothingBeside) {
  ASSERT_EQ(ops().remove(fs(), "/etc"), 0);
  ASSERT_EQ(ops().remove(fs(), "/bin/sh"), 0);
  want.erase("/etc");
  want.erase("/bin/sh");
  expect_round_trip();
}

TEST_P(Contract, MkdirSymlinkChmodChownAndTimesAreStored) {
  ASSERT_EQ(ops().mkdir(fs(), "/opt", perm(040700)), 0);
  ASSERT_EQ(ops().mkdir(fs(), "/opt/sub", 0755), 0);
  ASSERT_EQ(ops().symlink(fs(), "../../bin/busybox", "/opt/sub/bb"), 0);
  want.lines["/opt"] = line_of(storable(040700), 0, 0, 0, ""), want.lines["/opt/sub"] = "d 0755 0:0";
  want.lines["/opt/sub/bb"] = line_of(0120000 | row().link_mode, 0, 0, 0, "../../bin/busybox");
  ASSERT_EQ(ops().chmod(fs(), "/zz", perm(0106640)), 0);
  ASSERT_EQ(ops().chown(fs(), "/zz", row().max_uid, row().max_gid), 0);
  want.lines["/zz"] = line_of(storable(0106640), row().max_uid, row().max_gid, 5, "");
  ASSERT_EQ(ops().chmod(fs(), "/usr", perm(041777)), 0);
  want.lines["/usr"] = line_of(storable(041777), 0, 0, 0, "");
  if (row().max_uid < 0xFFFFFFFF) {
    EXPECT_EQ(ops().chown(fs(), "/zz", row().max_uid + 1, 0), row().owner_refusal);
  }
  if (row().max_gid < 0xFFFFFFFF) {
    EXPECT_EQ(ops().chown(fs(), "/zz", 0, row().max_gid + 1), row().owner_refusal);
  }
  EXPECT_EQ(ops().set_mtime != nullptr, row().times) << "a table without times has no set_mtime";
  if (row().times) {
    ASSERT_EQ(ops().set_mtime(fs(), "/etc-old", 1234567890), 0);
  }
  auto again = expect_round_trip();
  if (again) {
    EXPECT_EQ(stat(again->fs, "/etc-old").mtime, row().times ? 1234567890u : 0u);
  }
}

// ---- through the flash-path API on a flash image ------------------------------

// Where a file system cannot store a node or a second name the call says
// -EPERM and changes nothing; what it stores survives a rebuild.
TEST_P(Contract, NodesAndHardLinksAreStoredOrPlainlyRefused) {
  auto mknod = [&](const char* p, uint32_t mode, uint32_t rdev) {
    return ops().mknod ? ops().mknod(fs(), p, mode, rdev) : -EPERM;
  };
  auto link = [&](const char* from, const char* to) { return ops().link ? ops().link(fs(), from, to) : -EPERM; };
  auto before = walk_lines(ops(), fs());
  EXPECT_EQ(mknod("/etc/pipe", S_IFIFO | 0640, 0), row().fifos ? 0 : -EPERM);
  EXPECT_EQ(mknod("/etc/null", S_IFCHR | 0600, (1 << 8) | 3), row().devices ? 0 : -EPERM);
  EXPECT_EQ(link("/zz", "/usr/zz2"), row().links_made ? 0 : -EPERM);
  if (!row().fifos && !row().devices && !row().links_made) {
    EXPECT_EQ(walk_lines(ops(), fs()), before);
  }
  if (ops().mknod) {
    EXPECT_EQ(mknod("/etc/reg", S_IFREG | 0644, 0), -EINVAL);
    EXPECT_EQ(mknod("/none/pipe", S_IFIFO | 0644, 0), row().fifos ? -ENOENT : -EPERM);
    EXPECT_EQ(mknod("/zz", S_IFIFO | 0644, 0), row().fifos ? -EEXIST : -EPERM);
  }
  if (ops().link) {
    EXPECT_EQ(link("/etc", "/etc2"), -EPERM);
    EXPECT_EQ(link("/none", "/x"), -ENOENT);
    EXPECT_EQ(link("/zz", "/etc-old"), -EEXIST);
    EXPECT_EQ(link("/zz", "/none/x"), -ENOENT);
  }
  size_t n = 0;
  std::string why;
  uint8_t* img = ops().rebuild(fs(), &n, &why);
  ASSERT_NE(img, nullptr) << why;
  Loaded again(row().ops, std::vector<uint8_t>(img, img + n));
  ops().release_image(img, n);
  ASSERT_TRUE(again.fs);
  fs_attr a;
  if (row().fifos) {
    ASSERT_EQ(ops().stat(again.fs, "/etc/pipe", &a), 0);
    EXPECT_EQ(a.mode, uint32_t(S_IFIFO | 0640));
  }
  if (row().devices) {
    ASSERT_EQ(ops().stat(again.fs, "/etc/null", &a), 0);
    EXPECT_EQ(a.mode, uint32_t(S_IFCHR | 0600));
    EXPECT_EQ(a.rdev, (1u << 8) | 3);
  }
  if (row().links_made) {
    fs_attr z;
    ASSERT_EQ(ops().stat(again.fs, "/usr/zz2", &a), 0);
    ASSERT_EQ(ops().stat(again.fs, "/zz", &z), 0);
    EXPECT_EQ(a.ino, z.ino);
    EXPECT_EQ(a.nlink, 2u);
    EXPECT_EQ(read_all(ops(), again.fs, "/usr/zz2"), "last\n");
  }
}

class ContractFlash : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    char conf[512];
    std::snprintf(conf, sizeof conf,
                  "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                  "ROOT in.img true %s rw 0 0 0x10000 0x%x\nTABLE NULL false RAW ro 0 0 0x%x 0x10000\n",
                  row().conf_type, kPartSize, 0x10000 + kPartSize);
    rstest::write_text(dir.file("flash.conf"), conf);
    RunResult r = run_command(shell_quote(ROMSMITH_BIN) + " mkflash flash.conf flash.bin", "", dir.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    cwd = std::make_unique<rstest::ScopedCwd>(dir.path());
    input = rstest::read_bytes("flash.bin");
    testing::internal::CaptureStdout();
    f = flash_load_bin("flash.bin");
    testing::internal::GetCapturedStdout();
    ASSERT_NE(f, nullptr);
    ASSERT_NE(root(), nullptr);
    ASSERT_NE(root()->fs, nullptr);
  }
  void TearDown() override {
    if (f) flash_free(f);
  }
  partition_data* root() { return flash_get_partition(f, "ROOT"); }
  // `said` gets the save's standard error; its standard output stays in
  // save_out (a save lists nothing).
  int save(const char* to, std::string* said = nullptr) {
    rstest::StreamCapture c;
    int rc = flash_save(f, to, 0);
    rstest::Streams s = c.take();
    if (said) *said = s.err;
    save_out = s.out;
    return rc;
  }
  std::string save_out;
  std::unique_ptr<rstest::ScopedCwd> cwd;
  std::vector<uint8_t> input;
  flash* f = nullptr;
};

TEST_P(ContractFlash, OnlyASuccessfulEditChangesThePartition) {
  ASSERT_EQ(save("same.bin"), 0);
  EXPECT_TRUE(rstest::read_bytes("same.bin") == input) << "an unedited save gives back the input";
  EXPECT_EQ(flash_put(f, "ROOT/none/x", "x", 1, -1, -1, -1), -ENOENT);
  EXPECT_EQ(flash_mkdir(f, "ROOT/etc", 0755), -EEXIST);
  EXPECT_EQ(flash_remove(f, "ROOT/none"), -ENOENT);
  EXPECT_EQ(flash_rename(f, "ROOT/usr", "ROOT/zz"), -ENOTDIR);
  EXPECT_EQ(flash_symlink(f, "x", "ROOT/zz"), -EEXIST);
  EXPECT_EQ(flash_set_mtime(f, row().times ? "ROOT/none" : "ROOT/zz", 5), row().times ? -ENOENT : -EOPNOTSUPP);
  ASSERT_EQ(save("refused.bin"), 0);
  EXPECT_TRUE(rstest::read_bytes("refused.bin") == input) << "a refused edit changes nothing";

  ASSERT_EQ(flash_put(f, "ROOT/etc/new", "new\n", 4, -1, -1, -1), 0);
  ASSERT_EQ(save("edited.bin"), 0);
  auto out = rstest::read_bytes("edited.bin");
  ASSERT_EQ(out.size(), input.size());
  EXPECT_TRUE(std::equal(input.begin(), input.begin() + 0x10000, out.begin())) << "BOOT moved";
  EXPECT_FALSE(std::equal(input.begin() + 0x10000, input.begin() + 0x10000 + kPartSize, out.begin() + 0x10000));
  flash* g = flash_load_bin("edited.bin");
  ASSERT_NE(g, nullptr);
  char buf[8] = {};
  EXPECT_EQ(flash_pread(g, "ROOT/etc/new", buf, sizeof buf, 0), 4);
  EXPECT_STREQ(buf, "new\n");
  EXPECT_EQ(flash_get_partition(g, "ROOT")->crc32_passed, 1);
  flash_free(g);
}

uint8_t* no_image(void*, size_t*, std::string* why) {
  *why = "the writer ran out of room";
  return nullptr;
}

TEST_P(ContractFlash, AFailedRebuildFailsTheSaveAndKeepsTheTarget) {
  fs_ops failing = ops();
  failing.rebuild = no_image;
  failing.rebuild_in_place = nullptr;  // the whole rebuild is what fails
  fs_handle_made(root()->fs, &failing);
  ASSERT_EQ(flash_put(f, "ROOT/etc/new", "new\n", 4, -1, -1, -1), 0);
  rstest::write_text("target.bin", "previous");
  std::string said;
  EXPECT_EQ(save("target.bin", &said), -1);
  std::string line =
      std::string("error: ROOT: the edited ") + row().ops->name + " cannot be rebuilt (the writer ran out of room)";
  EXPECT_NE(said.find(line), std::string::npos) << said;
  EXPECT_EQ(save_out, "");
  EXPECT_NE(std::string(flash_last_error(f)).find(line), std::string::npos) << flash_last_error(f);
  EXPECT_EQ(rstest::read_text("target.bin"), "previous");
  fs_handle_made(root()->fs, row().ops);  // released through the real table
}

INSTANTIATE_TEST_SUITE_P(Tables, Contract, ::testing::ValuesIn(kRows),
                         [](const auto& i) { return std::string(i.param.label); });
INSTANTIATE_TEST_SUITE_P(Tables, ContractFlash, ::testing::ValuesIn(kRows),
                         [](const auto& i) { return std::string(i.param.label); });

}  // namespace
