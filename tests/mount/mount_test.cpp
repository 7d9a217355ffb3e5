// `romsmith mount` driven by ordinary tools (cp, rsync, tar, mv, ln, rm) on a
// real FUSE mount; the saved image is then read back by outside tools and
// compared with the same edits made on a host directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "testutil.h"

namespace fs = std::filesystem;
using rstest::RunResult;

namespace {

const std::string kRs = ROMSMITH_BIN;

bool fuse_usable() {
  bool ok = ::access("/dev/fuse", R_OK | W_OK) == 0;
  if (!ok && rstest::require_tools()) ADD_FAILURE() << "/dev/fuse is not usable (ROMSMITH_REQUIRE_TOOLS=1)";
  return ok && rstest::have_tool("fusermount3");
}

bool mounted(const std::string& dir) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.find(" " + dir + " ") != std::string::npos) return true;
  return false;
}

// A `romsmith mount -f` running in the background.
class MountProc {
 public:
  // Runs `romsmith mount -f ARGS` in `dir`, until DIR/mnt is mounted.
  bool start(const std::string& args, const std::string& dir, const std::string& err_file,
             const std::string& shell_prefix = "") {
    mnt_ = dir + "/mnt";
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(dir.c_str()) != 0) ::_exit(127);
      int fd = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 2);
      ::execl("/bin/sh", "sh", "-c", (shell_prefix + "exec " + kRs + " mount -f " + args).c_str(), (char*)nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      if (mounted(mnt_)) return true;
      int st;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void signal(int sig) { ::kill(pid_, sig); }
  // Exit status of the mount program after the mount ended; -1 if it hung.
  int wait() {
    for (int i = 0; i < 600 && pid_ > 0; ++i) {
      int st;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  int unmount() {
    RunResult r = rstest::run_command("fusermount3 -u " + rstest::shell_quote(mnt_));
    EXPECT_EQ(r.status, 0) << r.err;
    return wait();
  }
  ~MountProc() {
    if (pid_ > 0) {
      std::system(("fusermount3 -uz " + rstest::shell_quote(mnt_) + " 2>/dev/null").c_str());
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

 private:
  pid_t pid_ = -1;
  std::string mnt_;
};

struct FsKind {
  const char* name;
  const char* type;  // flash.conf type
  const char* make;  // builds root.img from tree/ (in the test directory)
  const char* tool;  // outside tool the kind needs
  bool fixed;        // the image has a fixed size and fills its partition in real flashes
  bool devices;      // stores device nodes with their numbers
  bool hard_links;   // keeps two names of one inode
  bool xattrs;       // stores extended attributes
};

void PrintTo(const FsKind& k, std::ostream* os) { *os << k.name; }

const FsKind kKinds[] = {
    {"squashfs_gzip", "SQUASHFS", "mksquashfs tree root.img -noappend -quiet -comp gzip", "mksquashfs", false, true,
     true, true},
    {"squashfs_xz", "SQUASHFS", "mksquashfs tree root.img -noappend -quiet -comp xz", "mksquashfs", false, true, true,
     true},
    {"cramfs", "CRAMFS", "mkfs.cramfs tree root.img >/dev/null", "mkfs.cramfs", false, true, false, false},
    {"minifs", "MINIFS", "ROMSMITH mkminifs tree root.img >/dev/null", nullptr, true, false, false, false},
    // Edits go into the erased flash after the image (the partition is larger than the image).
    {"jffs2", "JFFS2", "mkfs.jffs2 -l -e 64KiB -p 0x40000 -r tree -o root.img", "mkfs.jffs2", true, true, true, false},
};

// BOOT, ROOT, a gap and TABLE. (A minifs that fills its partition right before
// the next one loads empty, so the gap keeps that apart from what is tested here.)
std::string flash_with(const rstest::TempDir& d, const char* type, uint32_t root_size) {
  char conf[512];
  std::snprintf(conf, sizeof conf,
                "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                "ROOT root.img true %s rw 0 0 0x10000 0x%x\nTABLE NULL false RAW ro 0 0 0x%x 0x10000\n",
                type, root_size, 0x20000 + root_size);
  rstest::write_text(d.file("flash.conf"), conf);
  RunResult r = rstest::run_command(kRs + " mkflash flash.conf flash.bin", "", d.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return d.file("flash.bin");
}

// One line per entry below `root`: type, permission bits, then content or link target.
std::string describe(const std::string& root) {
  std::map<std::string, std::string> lines;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = fs::relative(it->path(), root).string();
    struct stat sb {};
    ::lstat(it->path().c_str(), &sb);
    std::ostringstream l;
    l << std::oct << (sb.st_mode & 07777) << std::dec << " ";
    if (S_ISLNK(sb.st_mode))
      l << "link " << fs::read_symlink(it->path()).string();
    else if (S_ISDIR(sb.st_mode))
      l << "dir";
    else
      l << "file " << rstest::read_text(it->path().string());
    lines[rel] = l.str();
  }
  std::string out;
  for (auto& [p, l] : lines) out += p + ": " + l + "\n";
  return out;
}

class MountFs : public ::testing::TestWithParam<FsKind> {
 protected:
  void SetUp() override {
    if (!fuse_usable()) GTEST_SKIP() << "/dev/fuse or fusermount3 is missing";
    if (GetParam().tool && !rstest::have_tool(GetParam().tool)) GTEST_SKIP() << GetParam().tool << " is not installed";
    fs::create_directories(d.file("mnt"));
  }
  // tree/ as ROOT of flash.bin; root_size 0: a partition the image fills.
  std::string image(uint32_t root_size = 0x400000) {
    std::string make = GetParam().make;
    size_t at = make.find("ROMSMITH");
    if (at != std::string::npos) make.replace(at, 8, kRs);
    RunResult r = rstest::run_command(make, "", d.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    if (root_size == 0) root_size = uint32_t((fs::file_size(d.file("root.img")) + 0xffff) & ~uintmax_t(0xffff));
    return flash_with(d, GetParam().type, root_size);
  }
  // ROOT of `img`, unpacked by the kind's outside reader (ours for minifs).
  std::string unpack(const std::string& img, const std::string& into) {
    std::string kind = GetParam().name;
    std::string q = rstest::shell_quote(img);
    RunResult r = rstest::run_command(kRs + " -c 'open " + img + "; dumppar ROOT part.img' >/dev/null", "", d.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    if (kind.rfind("squashfs", 0) == 0)
      r = rstest::run_command("unsquashfs -q -n -d " + into + " part.img >/dev/null", "", d.path());
    else if (kind == "cramfs")
      r = rstest::run_command("fsck.cramfs --extract=" + into + " part.img", "", d.path());
    else
      r = rstest::run_command(kRs + " -c 'open " + img + "; dump dumped' >/dev/null && mv dumped/ROOT " + into, "",
                              d.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return d.file(into);
  }
  std::string err_file() { return d.file("mount.err"); }
  rstest::TempDir d;
};

// The edits a user makes through the mount; run once on the mount and once on a
// host copy of the tree, which is the expected result.
const char* kEdits =
    "set -e; R=\"$1\"; H=\"$2\"\n"
    "cp -a \"$H/src\" \"$R/copied\"\n"
    "rsync -a \"$R/etc/\" \"$H/etc-out-$3/\" && rsync -a \"$H/etc-out-$3/\" \"$R/etc2/\"\n"
    "mkdir \"$R/untar\" && tar -xf \"$H/src.tar\" -C \"$R/untar\"\n"
    "printf 'saved by an editor\\n' > \"$R/etc/.issue.swp\" && mv -f \"$R/etc/.issue.swp\" \"$R/etc/issue\"\n"
    "find \"$R/copied\" -type f | xargs chmod 0600\n"
    "ln -s ../etc/issue \"$R/bin/issue-link\"\n"
    "mv \"$R/mvsrc/f\" \"$R/bin/f\"\n"
    "rm -r \"$R/old\"\n"
    "printf 'appended\\n' >> \"$R/bin/f\"\n";

TEST_P(MountFs, EditsWithOrdinaryToolsAreSavedOnUnmount) {
  if (!rstest::have_tool("rsync") || !rstest::have_tool("tar")) GTEST_SKIP() << "rsync or tar is not installed";
  for (const char* p : {"tree/etc", "tree/bin", "tree/old/deep", "tree/mvsrc", "src/a/b"})
    fs::create_directories(d.file(p));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  rstest::write_text(d.file("tree/etc/passwd"), "root:x:0:0::/root:/bin/sh\n");
  rstest::write_text(d.file("tree/bin/sh"), std::string(5000, 'x'));
  ::chmod(d.file("tree/bin/sh").c_str(), 0755);
  rstest::write_text(d.file("tree/old/deep/x"), "gone\n");
  rstest::write_text(d.file("tree/mvsrc/f"), "moved\n");
  rstest::write_text(d.file("src/a/b/data"), std::string(70000, 'd') + "end");
  rstest::write_text(d.file("src/a/run"), "#!/bin/sh\n");
  ::chmod(d.file("src/a/run").c_str(), 0750);
  ::symlink("b/data", d.file("src/a/data-link").c_str());
  ASSERT_EQ(rstest::run_command("tar -cf src.tar src", "", d.path()).status, 0);
  rstest::write_text(d.file("edits.sh"), kEdits);
  std::string img = image();
  auto before = rstest::read_bytes(img);

  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt", d.path(), err_file())) << rstest::read_text(err_file());
  // A raw partition is a read-only file of its bytes.
  RunResult boot = rstest::run_command(
      kRs + " -c 'open flash.bin; dumppar BOOT boot.raw' >/dev/null && cmp boot.raw mnt/BOOT", "", d.path());
  EXPECT_EQ(boot.status, 0) << boot.out << boot.err;
  RunResult r = rstest::run_command("sh edits.sh " + d.file("mnt/ROOT") + " " + d.path() + " m", "", d.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(rstest::run_command("echo x > mnt/BOOT", "", d.path()).status, 0) << "a raw partition took a write";
  EXPECT_EQ(m.unmount(), 0) << rstest::read_text(err_file());

  // The expected tree: the same edits on a host copy.
  ASSERT_EQ(rstest::run_command("cp -a tree expected && sh edits.sh expected . h", "", d.path()).status, 0);
  std::string got = unpack(img, "got");
  EXPECT_EQ(describe(got), describe(d.file("expected")));
  // The partitions the edits did not touch keep their bytes.
  auto after = rstest::read_bytes(img);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x10000, after.begin())) << "BOOT changed";
}

// Looking around the mount changes nothing, so nothing is written.
TEST_P(MountFs, ReadingOnlyLeavesTheImageUntouched) {
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  std::string img = image();
  auto before = rstest::read_bytes(img);
  struct stat sb0 {};
  ::stat(img.c_str(), &sb0);
  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt ROOT", d.path(), err_file())) << rstest::read_text(err_file());
  RunResult r = rstest::run_command("ls -lR mnt >/dev/null && cat mnt/etc/issue && rsync -a mnt/ copy/", "", d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "box 1.0\n");
  EXPECT_EQ(m.unmount(), 0) << rstest::read_text(err_file());
  struct stat sb1 {};
  ::stat(img.c_str(), &sb1);
  EXPECT_EQ(sb1.st_mtim.tv_sec, sb0.st_mtim.tv_sec);
  EXPECT_EQ(sb1.st_mtim.tv_nsec, sb0.st_mtim.tv_nsec);
  EXPECT_EQ(rstest::read_bytes(img), before);
}

// A file too big for the partition fails its close with ENOSPC; what else the
// session did is still saved.
TEST_P(MountFs, WriteThatCannotFitFailsAndTheRestIsSaved) {
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  std::string img = image(GetParam().fixed ? 0 : 0x40000);
  rstest::write_bytes(d.file("big"), rstest::random_bytes(0x80000, 7));
  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt ROOT --output out.bin", d.path(), err_file())) << rstest::read_text(err_file());
  RunResult r = rstest::run_command("cp big mnt/big", "", d.path());
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  r = rstest::run_command("rm -f mnt/big; echo kept > mnt/etc/new", "", d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  // Twice the room in bytes that compress to little fits: the room is measured, not guessed.
  if (!GetParam().fixed) {
    r = rstest::run_command("head -c 524288 /dev/zero > mnt/etc/zeros", "", d.path());
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(m.unmount(), 0) << rstest::read_text(err_file());
  std::string got = unpack(d.file("out.bin"), "got");
  EXPECT_EQ(rstest::read_text(got + "/etc/new"), "kept\n");
  EXPECT_FALSE(fs::exists(got + "/big"));
  if (!GetParam().fixed) {
    EXPECT_EQ(rstest::read_text(got + "/etc/zeros"), std::string(524288, '\0'));
  }
}

// SIGTERM in the middle of a copy ends the mount with a readable image saved.
TEST_P(MountFs, SigtermDuringACopySavesAReadableImage) {
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  for (int i = 0; i < 300; ++i) {
    fs::create_directories(d.file("src/d" + std::to_string(i % 10)));
    rstest::write_text(d.file("src/d" + std::to_string(i % 10) + "/f" + std::to_string(i)),
                       std::string(3000, char('a' + i % 26)));
  }
  std::string img = image();
  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt ROOT", d.path(), err_file())) << rstest::read_text(err_file());
  pid_t cp = ::fork();
  if (cp == 0) {
    ::execlp("cp", "cp", "-a", d.file("src").c_str(), d.file("mnt/src").c_str(), (char*)nullptr);
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  m.signal(SIGTERM);
  int st = m.wait();
  ::waitpid(cp, nullptr, 0);
  std::string err = rstest::read_text(err_file());
  if (st != 0) {
    EXPECT_NE(err.find(".recovery-"), std::string::npos) << err;
    return;
  }
  std::string got = unpack(img, "got");
  EXPECT_EQ(rstest::read_text(got + "/etc/issue"), "box 1.0\n");
  // Every file that made it in holds the start of its source, at least (one cut
  // off mid-write keeps what reached the mount).
  if (fs::exists(got + "/src"))
    for (auto& e : fs::recursive_directory_iterator(got + "/src"))
      if (e.is_regular_file()) {
        std::string rel = fs::relative(e.path(), got).string();
        std::string content = rstest::read_text(e.path().string());
        EXPECT_EQ(rstest::read_text(d.file(rel)).compare(0, content.size(), content), 0) << rel;
      }
}

}  // namespace

namespace {

// A save that fails keeps the edits next to the image and says where; the
// image itself is left alone.
TEST_P(MountFs, FailedSaveKeepsTheEditsInARecoveryFile) {
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  std::string img = image();
  auto before = rstest::read_bytes(img);
  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt ROOT --output no/such/dir/out.bin", d.path(), err_file()))
      << rstest::read_text(err_file());
  ASSERT_EQ(rstest::run_command("echo edited > mnt/etc/issue", "", d.path()).status, 0);
  EXPECT_EQ(m.unmount(), 1);
  std::string err = rstest::read_text(err_file());
  size_t at = err.find(img + ".recovery-");
  ASSERT_NE(at, std::string::npos) << err;
  std::string recovery = err.substr(at, img.size() + 16);
  EXPECT_EQ(rstest::read_bytes(img), before);
  std::string got = unpack(recovery, "got");
  EXPECT_EQ(rstest::read_text(got + "/etc/issue"), "edited\n");
}

// Without -f the command returns once mounted and the daemon saves on unmount;
// -o ro refuses every change and never writes.
TEST_P(MountFs, BackgroundAndReadOnlyMounts) {
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  std::string img = image();
  auto before = rstest::read_bytes(img);
  RunResult r = rstest::run_command(kRs + " mount -o ro " + img + " mnt ROOT", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(mounted(d.file("mnt")));
  for (const char* cmd : {"echo x > mnt/etc/issue", "mkdir mnt/new", "rm mnt/etc/issue", "chmod 600 mnt/etc/issue",
                          "ln -s a mnt/l", "touch -d @5 mnt/etc/issue"}) {
    r = rstest::run_command(cmd, "", d.path());
    EXPECT_NE(r.status, 0) << cmd;
    EXPECT_NE(r.err.find("Read-only file system"), std::string::npos) << cmd << ": " << r.err;
  }
  EXPECT_EQ(rstest::read_text(d.file("mnt/etc/issue")), "box 1.0\n");
  ASSERT_EQ(rstest::run_command("fusermount3 -u mnt", "", d.path()).status, 0);
  r = rstest::run_command(kRs + " mount " + img + " mnt ROOT --output out.bin", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(rstest::run_command("echo bg > mnt/etc/issue && fusermount3 -u mnt", "", d.path()).status, 0);
  // The daemon is not our child: its save shows up as the output file.
  for (int i = 0; i < 200 && !fs::exists(d.file("out.bin")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(rstest::read_bytes(img), before);
  std::string got = unpack(d.file("out.bin"), "got");
  EXPECT_EQ(rstest::read_text(got + "/etc/issue"), "bg\n");
}

// Started the way a shell starts a background job (SIGINT ignored), the mount
// still ends on SIGINT and saves.
TEST_P(MountFs, SigintEndsTheMountEvenWhenIgnoredAtStart) {
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  std::string img = image();
  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt ROOT --output out.bin", d.path(), err_file(), "trap '' INT; "))
      << rstest::read_text(err_file());
  ASSERT_EQ(rstest::run_command("echo interrupted > mnt/etc/issue", "", d.path()).status, 0);
  m.signal(SIGINT);
  EXPECT_EQ(m.wait(), 0) << rstest::read_text(err_file());
  EXPECT_FALSE(mounted(d.file("mnt")));
  EXPECT_EQ(rstest::read_text(unpack(d.file("out.bin"), "got") + "/etc/issue"), "interrupted\n");
}

// Extended attributes are served and edited where the file system stores
// them, and refused plainly where it does not.
TEST_P(MountFs, ExtendedAttributes) {
  if (!rstest::have_tool("setfattr") || !rstest::have_tool("getfattr")) GTEST_SKIP() << "attr is not installed";
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  std::string img = image();
  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt ROOT --output out.bin", d.path(), err_file())) << rstest::read_text(err_file());
  RunResult r = rstest::run_command(
      "setfattr -n user.comment -v hello mnt/etc/issue && "
      "setfattr -n user.gone -v x mnt/etc/issue && setfattr -x user.gone mnt/etc/issue",
      "", d.path());
  if (!GetParam().xattrs) {
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("Operation not supported"), std::string::npos) << r.err;
    EXPECT_EQ(rstest::run_command("getfattr -d mnt/etc/issue", "", d.path()).out, "");
    m.unmount();
    return;
  }
  EXPECT_EQ(r.status, 0) << r.err;
  r = rstest::run_command("setfattr -n other.name -v 1 mnt/etc/issue", "", d.path());
  EXPECT_NE(r.err.find("Operation not supported"), std::string::npos) << r.err;
  EXPECT_EQ(m.unmount(), 0) << rstest::read_text(err_file());
  // The outside reader extracts what was set.
  ASSERT_EQ(rstest::run_command(kRs + " -c 'open out.bin; dumppar ROOT part.img' >/dev/null", "", d.path()).status, 0);
  ASSERT_EQ(rstest::run_command("unsquashfs -q -d ex part.img >/dev/null", "", d.path()).status, 0);
  r = rstest::run_command("getfattr -d --absolute-names ex/etc/issue", "", d.path());
  EXPECT_EQ(r.out, "# file: ex/etc/issue\nuser.comment=\"hello\"\n\n") << r.err;
}

// mkfifo, mknod and ln in the mount make what the file system can store and
// fail plainly where it cannot; a second mount of the saved image shows them.
TEST_P(MountFs, NodesAndHardLinks) {
  fs::create_directories(d.file("tree/etc"));
  rstest::write_text(d.file("tree/etc/issue"), "box 1.0\n");
  std::string img = image();
  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt ROOT --output out.bin", d.path(), err_file())) << rstest::read_text(err_file());
  const FsKind& k = GetParam();
  EXPECT_EQ(rstest::run_command("mkfifo -m 0640 mnt/etc/pipe", "", d.path()).status, 0);
  bool root = ::geteuid() == 0;
  if (root) {
    RunResult r = rstest::run_command("mknod -m 0600 mnt/etc/null c 1 3", "", d.path());
    EXPECT_EQ(r.status == 0, k.devices) << r.err;
    if (!k.devices) {
      EXPECT_NE(r.err.find("Operation not permitted"), std::string::npos) << r.err;
    }
  }
  RunResult r = rstest::run_command("ln mnt/etc/issue mnt/etc/issue.hard", "", d.path());
  EXPECT_EQ(r.status == 0, k.hard_links) << r.err;
  if (!k.hard_links) {
    EXPECT_NE(r.err.find("Operation not permitted"), std::string::npos) << r.err;
  }
  EXPECT_EQ(m.unmount(), 0) << rstest::read_text(err_file());

  fs::create_directories(d.file("mnt2"));
  r = rstest::run_command(kRs + " mount -o ro out.bin mnt2 ROOT", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  std::string want = "fifo 640 1\n";
  if (root && k.devices) want += "character special file 600 1 1:3\n";
  want += k.hard_links ? "regular file 644 2\nregular file 644 2 box 1.0\n" : "regular file 644 1\n";
  r = rstest::run_command(
      "cd mnt2/etc && stat -c '%F %a %h' pipe && { [ ! -e null ] || stat -c '%F %a %h %t:%T' null; } && "
      "stat -c '%F %a %h' issue && { [ ! -e issue.hard ] || { stat -c '%F %a %h' issue.hard | tr '\\n' ' '; cat "
      "issue.hard; }; }",
      "", d.path());
  rstest::run_command("fusermount3 -u mnt2", "", d.path());
  EXPECT_EQ(r.out, want) << r.err;
  if (std::string(k.name).rfind("squashfs", 0) == 0) {
    // The outside reader agrees.
    ASSERT_EQ(rstest::run_command(kRs + " -c 'open out.bin; dumppar ROOT part.img' >/dev/null", "", d.path()).status,
              0);
    r = rstest::run_command("unsquashfs -lln part.img", "", d.path());
    EXPECT_NE(r.out.find("prw-r-----"), std::string::npos) << r.out;
    if (root) {
      EXPECT_NE(r.out.find("crw-------"), std::string::npos) << r.out;
    }
    EXPECT_NE(r.out.find("squashfs-root/etc/issue.hard"), std::string::npos) << r.out;
  }
}

// Decode-ahead: whatever the workers decoded before, what the mount serves is
// what the image stores, or what was written since.
struct AheadKind {
  const char* name;
  const char* opts;  // mksquashfs options
};
void PrintTo(const AheadKind& k, std::ostream* os) { *os << k.name; }

const AheadKind kAheadKinds[] = {
    {"xz", "-comp xz"},
    {"gzip_small_blocks", "-comp gzip -b 4096"},
    {"lz4_no_fragments", "-comp lz4 -b 16384 -no-fragments"},
};

class MountAhead : public ::testing::TestWithParam<AheadKind> {
 protected:
  void SetUp() override {
    if (!fuse_usable()) GTEST_SKIP() << "/dev/fuse or fusermount3 is missing";
    if (!rstest::have_tool("mksquashfs") || !rstest::have_tool("unsquashfs")) GTEST_SKIP() << "squashfs-tools missing";
    fs::create_directories(d.file("mnt"));
    // Many files per directory (the next ones are decoded ahead), files of
    // several windows, and one with holes.
    for (int dir = 0; dir < 3; ++dir) {
      std::string p = d.file("tree/d" + std::to_string(dir));
      fs::create_directories(p);
      for (int i = 0; i < 40; ++i) {
        size_t n = size_t(i * 997 + dir * 13) % 90000;
        std::vector<uint8_t> v = rstest::random_bytes(n, uint32_t(dir * 100 + i));
        for (size_t k = 0; k < n / 2; ++k) v[k] = uint8_t("table channel "[k % 14]);
        rstest::write_bytes(p + "/f" + std::to_string(100 + i), v);
      }
    }
    rstest::write_bytes(d.file("tree/d1/big"), rstest::random_bytes(3 * 1048576 + 4321, 5));
    std::vector<uint8_t> holes(2 * 1048576 + 100, 0);
    holes[1048576 + 7] = 1;
    rstest::write_bytes(d.file("tree/d2/holes"), holes);
    RunResult r = rstest::run_command(
        std::string("mksquashfs tree root.img -noappend -quiet -no-progress ") + GetParam().opts, "", d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    img = flash_with(d, "SQUASHFS", uint32_t((fs::file_size(d.file("root.img")) * 2 + 0x20000) & ~uintmax_t(0xffff)));
  }
  // ROOT of `image` extracted by the outside reader into `into`.
  void extract(const std::string& image, const std::string& into) {
    RunResult r = rstest::run_command(kRs + " -c 'open " + image + "; dumppar ROOT part.img' >/dev/null && rm -rf " +
                                          into + " && unsquashfs -q -n -d " + into + " part.img >/dev/null",
                                      "", d.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  std::string err_file() { return d.file("mount.err"); }
  // Runs `live` (sh) in a mount saving to out.bin, unmounts, and runs
  // `saved` on what the outside reader extracts from the save into ex/.
  void live_then_saved(const std::string& live, const std::string& saved) {
    MountProc m;
    ASSERT_TRUE(m.start(img + " mnt ROOT --output out.bin", d.path(), err_file())) << rstest::read_text(err_file());
    RunResult r = rstest::run_command("set -e; " + live, "", d.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(m.unmount(), 0) << rstest::read_text(err_file());
    extract("out.bin", "ex");
    r = rstest::run_command("set -e; " + saved, "", d.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
  rstest::TempDir d;
  std::string img;
};

TEST_P(MountAhead, CopyOutEqualsTheOutsideExtractor) {
  RunResult r = rstest::run_command(kRs + " mount -o ro " + img + " mnt ROOT", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  r = rstest::run_command("cp -a mnt out; s=$?; fusermount3 -u mnt; exit $s", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(rstest::run_command("unsquashfs -q -n -d ex root.img >/dev/null", "", d.path()).status, 0);
  r = rstest::run_command("diff -r out ex && diff -r out tree", "", d.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// A copy out of one directory runs while files of another are replaced,
// created and removed in the same mount; both come out right, live and saved.
TEST_P(MountAhead, ReadingWhileWritingOtherFiles) {
  live_then_saved(
      "(cp -a mnt/d0 c0 && cp -a mnt/d1 c1) & P=$!\n"
      "for i in $(seq 100 139); do printf 'new %s\\n' $i > mnt/d2/f$i; done\n"
      "for i in $(seq 0 20); do head -c 5000 /dev/zero | tr '\\0' x > mnt/d2/n$i; done\n"
      "rm mnt/d2/holes; mv mnt/d2/n3 mnt/d2/m3\n"
      "wait $P\n"
      "diff -r c0 tree/d0 && diff -r c1 tree/d1\n"
      "for i in $(seq 100 139); do [ \"$(cat mnt/d2/f$i)\" = \"new $i\" ]; done\n"
      "cmp mnt/d2/m3 mnt/d2/n4; [ ! -e mnt/d2/holes ]; [ ! -e mnt/d2/n3 ]\n",
      "diff -r ex/d0 tree/d0; diff -r ex/d1 tree/d1\n"
      "for i in $(seq 100 139); do [ \"$(cat ex/d2/f$i)\" = \"new $i\" ]; done\n"
      "[ $(cat ex/d2/m3 | wc -c) = 5000 ]; [ ! -e ex/d2/holes ]; [ ! -e ex/d2/n3 ]\n");
}

// Files decoded ahead (the ones after a file read) are then replaced, moved
// and removed: the mount serves the edits at once and saves them.
TEST_P(MountAhead, EditAfterReadsSavesRight) {
  live_then_saved(
      "cat mnt/d0/f100 mnt/d1/f100 > /dev/null; head -c 1000 mnt/d1/big > /dev/null\n"
      "printf 'replaced\\n' > mnt/d0/f101\n"
      "mv mnt/d0/f103 mnt/d0/f102\n"
      "rm mnt/d0/f104\n"
      "head -c 2000000 /dev/zero > mnt/d1/big\n"
      "[ \"$(cat mnt/d0/f101)\" = replaced ]; cmp mnt/d0/f102 tree/d0/f103; [ ! -e mnt/d0/f104 ]\n"
      "[ $(wc -c < mnt/d1/big) = 2000000 ]; cmp mnt/d1/f101 tree/d1/f101\n",
      "[ \"$(cat ex/d0/f101)\" = replaced ]; cmp ex/d0/f102 tree/d0/f103; [ ! -e ex/d0/f104 ]\n"
      "[ ! -e ex/d0/f103 ]; head -c 2000000 /dev/zero | cmp - ex/d1/big; diff -r ex/d2 tree/d2\n"
      "for f in tree/d0/f1[1-3]*; do cmp $f ex/d0/${f##*/}; done\n");
}

// Attributes come from the listings once a directory was listed; after an
// edit they are the edited ones, before and after the next listing (the
// sleeps outlast the kernel's attribute cache, so the mount is asked).
TEST_P(MountAhead, AttributesAfterListingsFollowEdits) {
  MountProc m;
  ASSERT_TRUE(m.start(img + " mnt ROOT --output out.bin", d.path(), err_file())) << rstest::read_text(err_file());
  const std::string both =
      "(cd mnt && stat -c '%n %s %a %h' d0/* d1/big) > a; (cd tree && stat -c '%n %s %a %h' d0/* d1/big) > b; "
      "cmp a b; [ $(stat -c %Y mnt/d0/f107) = $(stat -c %Y tree/d0/f107) ]\n";
  const std::string edit =
      "chmod 0600 $R/d0/f105; printf 'longer\\n' >> $R/d0/f106; : > $R/d1/big; "
      "touch -d @1000 $R/d0/f107\n";
  RunResult r = rstest::run_command("set -e; ls -lR mnt > /dev/null; " + both + "R=mnt; " + edit + "R=tree; " + edit +
                                        "sleep 1.2; " + both + "ls -lR mnt > /dev/null; sleep 1.2; " + both,
                                    "", d.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err << rstest::read_text(d.file("a"));
  EXPECT_EQ(m.unmount(), 0) << rstest::read_text(err_file());
}

INSTANTIATE_TEST_SUITE_P(Kinds, MountAhead, ::testing::ValuesIn(kAheadKinds),
                         [](const ::testing::TestParamInfo<AheadKind>& i) { return std::string(i.param.name); });

}  // namespace

INSTANTIATE_TEST_SUITE_P(Kinds, MountFs, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<FsKind>& i) { return std::string(i.param.name); });
