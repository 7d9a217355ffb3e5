// Whole trees in and out of partitions: put -r, get -r, export and import
// keep what a box's root file system needs (modes, set-id bits, owners,
// links, hard links, fifos, devices, extended attributes), as the outside
// tools see it, and never write where the user did not point.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using rstest::RunResult;
using rstest::shell_quote;

const std::string kRs = shell_quote(ROMSMITH_BIN);
bool root() { return ::geteuid() == 0; }
bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

// The commands of `script` in d; with `keep_going` past a failed one.
RunResult rs_in(const rstest::TempDir& d, const std::string& script, bool keep_going = false) {
  return rstest::run_command(kRs + (keep_going ? " -k -c " : " -c ") + shell_quote(script), "", d.path());
}

struct Kind {
  const char* name;
  const char* type;  // flash.conf type word
  bool links, xattrs, times;
};
const Kind kCramfs{"cramfs", "CRAMFS", false, false, false};
const Kind kSquashfs{"squashfs", "SQUASHFS", true, true, true};

std::string missing(const Kind& k) {
  const char* tools[2] = {"mkfs.cramfs", "fsck.cramfs"};
  if (k.type == std::string("SQUASHFS")) tools[0] = "mksquashfs", tools[1] = "unsquashfs";
  for (const char* t : {tools[0], tools[1], "tar"})
    if (!rstest::have_tool(t)) return std::string(t) + " is not installed";
  return "";
}

// flash.bin with a ROOT partition of the kind, made by the outside tool from a one-file tree.
void make_flash(const rstest::TempDir& d, const Kind& k) {
  fs::create_directories(d.file("seed"));
  rstest::write_text(d.file("seed/keep"), "kept\n");
  std::string mk = k.type == std::string("CRAMFS") ? "mkfs.cramfs seed root.img >/dev/null"
                                                   : "mksquashfs seed root.img -noappend -quiet -comp gzip";
  RunResult r = rstest::run_command(mk, "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  rstest::write_text(
      d.file("flash.conf"),
      std::string("table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\nROOT root.img true ") + k.type +
          " rw 0 0 0x10000 0x400000\nTABLE NULL false RAW ro 0 0 0x410000 0x10000\n");
  r = rstest::run_command(kRs + " mkflash flash.conf flash.bin", "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

// The host tree a box's root holds, in d/tree.
void make_tree(const rstest::TempDir& d, const Kind& k) {
  std::string t = d.file("tree");
  fs::create_directories(t + "/etc/private");
  fs::create_directories(t + "/bin");
  fs::create_directories(t + "/dev");
  fs::create_directories(t + "/var/empty dir");
  rstest::write_text(t + "/etc/issue", "hello box\n");
  rstest::write_bytes(t + "/bin/tool", rstest::random_bytes(150000, 7));
  rstest::write_text(t + "/etc/private/key", "secret");
  rstest::write_text(t + "/var/zero", "");
  ASSERT_EQ(::chmod((t + "/bin/tool").c_str(), 04755), 0);
  ASSERT_EQ(::chmod((t + "/etc/private").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((t + "/var/zero").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("tool", (t + "/bin/sh").c_str()), 0);
  ASSERT_EQ(::symlink("/nowhere/at all", (t + "/var/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((t + "/dev/initctl").c_str(), 0620), 0);
  ASSERT_EQ(::chmod((t + "/dev/initctl").c_str(), 0620), 0);  // past the umask
  if (root()) {
    ASSERT_EQ(::mknod((t + "/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(::mknod((t + "/dev/mtdblock3").c_str(), S_IFBLK | 0640, makedev(31, 3)), 0);
    ASSERT_EQ(::lchown((t + "/etc/private").c_str(), 12, 34), 0);
    ASSERT_EQ(::lchown((t + "/etc/private/key").c_str(), 12, 34), 0);
    ASSERT_EQ(::lchown((t + "/bin/sh").c_str(), 5, 6), 0);
    ASSERT_EQ(::chmod((t + "/bin/tool").c_str(), 04755), 0);
  }
  if (k.links) {
    ASSERT_EQ(::link((t + "/etc/issue").c_str(), (t + "/etc/issue.net").c_str()), 0);
  }
  if (k.xattrs) {
    const char v[] = "box\0binary";
    ASSERT_EQ(::lsetxattr((t + "/etc/issue").c_str(), "user.comment", v, sizeof v, 0), 0)
        << "the temporary directory's file system keeps no user xattrs";
  }
}

// `tar -tv` of an archive, one entry a line; without times where the file system stores none.
std::string tar_listing(const rstest::TempDir& d, const std::string& archive, bool times) {
  RunResult r = rstest::run_command("tar --numeric-owner --xattrs -tvf " + shell_quote(archive), "", d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  if (times) return r.out;
  std::istringstream in(r.out);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    std::istringstream w(line);
    std::string mode, owner, size, day, time, rest;
    w >> mode >> owner >> size >> day >> time;
    std::getline(w, rest);
    out += mode + " " + owner + " " + size + rest + "\n";
  }
  return out;
}

// What a copy of `a` must match: type, permission bits, owners (as root),
// size and bytes, link targets, device numbers, user xattrs, hard links.
void expect_same_tree(const std::string& a, const std::string& b, const Kind& k) {
  std::map<ino_t, std::string> first;  // inode in `a` -> first path
  for (auto it = fs::recursive_directory_iterator(a); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().string().substr(a.size());
    struct stat sa, sb;
    ASSERT_EQ(::lstat(it->path().c_str(), &sa), 0);
    ASSERT_EQ(::lstat((b + rel).c_str(), &sb), 0) << rel << " is missing in the copy";
    EXPECT_EQ(sa.st_mode, sb.st_mode) << rel;
    if (root()) {
      EXPECT_EQ(sa.st_uid, sb.st_uid) << rel;
    }
    if (root()) {
      EXPECT_EQ(sa.st_gid, sb.st_gid) << rel;
    }
    if (S_ISREG(sa.st_mode)) {
      EXPECT_EQ(rstest::read_bytes(it->path()), rstest::read_bytes(b + rel)) << rel;
    }
    if (S_ISLNK(sa.st_mode)) {
      EXPECT_EQ(fs::read_symlink(it->path()), fs::read_symlink(b + rel)) << rel;
    }
    if (S_ISCHR(sa.st_mode) || S_ISBLK(sa.st_mode)) {
      EXPECT_EQ(sa.st_rdev, sb.st_rdev) << rel;
    }
    if (k.xattrs && !S_ISLNK(sa.st_mode)) {
      char va[256] = {}, vb[256] = {};
      ssize_t na = ::lgetxattr(it->path().c_str(), "user.comment", va, sizeof va);
      ssize_t nb = ::lgetxattr((b + rel).c_str(), "user.comment", vb, sizeof vb);
      EXPECT_EQ(na, nb) << rel;
      if (na > 0 && na == nb) {
        EXPECT_EQ(std::string(va, size_t(na)), std::string(vb, size_t(nb))) << rel;
      }
    }
    if (k.links && !S_ISDIR(sa.st_mode) && sa.st_nlink > 1) {
      auto [f, fresh] = first.emplace(sa.st_ino, rel);
      struct stat sf;
      ASSERT_EQ(::lstat((b + f->second).c_str(), &sf), 0);
      if (!fresh) {
        EXPECT_EQ(sf.st_ino, sb.st_ino) << rel << " is no longer a hard link of " << f->second;
      }
    }
  }
}

class TreeRoundTrip : public ::testing::TestWithParam<Kind> {};

// put -r, then export, get -r and the outside tool's own extraction all give
// back the host tree; importing the export gives the same image again.
TEST_P(TreeRoundTrip, KeepsEverythingTheFileSystemStores) {
  const Kind& k = GetParam();
  if (std::string why = missing(k); !why.empty()) GTEST_SKIP() << why;
  rstest::TempDir d;
  make_flash(d, k);
  make_tree(d, k);
  RunResult r = rstest::run_command("tar --numeric-owner --sort=name --xattrs -C tree -cf ref.tar .", "", d.path());
  ASSERT_EQ(r.status, 0) << r.err;

  r = rs_in(
      d, "open flash.bin; put -r tree ROOT/x; export ROOT/x a.tar; get -r ROOT/x back; save a.bin; dumppar ROOT a.img");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(tar_listing(d, "a.tar", k.times), tar_listing(d, "ref.tar", k.times));
  expect_same_tree(d.file("tree"), d.file("back"), k);

  // The outside reader sees the same tree, and what was there stays.
  std::string extract = k.type == std::string("CRAMFS") ? "fsck.cramfs --extract=ex a.img"
                                                        : "unsquashfs -no-progress -d ex a.img >/dev/null";
  r = rstest::run_command(extract, "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  expect_same_tree(d.file("tree"), d.file("ex/x"), k);
  EXPECT_EQ(rstest::read_text(d.file("ex/keep")), "kept\n");

  r = rs_in(d, "open flash.bin; import a.tar ROOT/x; export ROOT/x b.tar; save b.bin; dumppar ROOT b.img");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(tar_listing(d, "b.tar", true), tar_listing(d, "a.tar", true));
  if (k.type == std::string("SQUASHFS")) {
    RunResult la = rstest::run_command("unsquashfs -lln a.img", "", d.path());
    RunResult lb = rstest::run_command("unsquashfs -lln b.img", "", d.path());
    EXPECT_EQ(la.out, lb.out);
    EXPECT_TRUE(contains(la.out, "prw--w---- 0/0")) << la.out;
  } else {
    EXPECT_EQ(rstest::run_command("fsck.cramfs b.img", "", d.path()).status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Fs, TreeRoundTrip, ::testing::Values(kCramfs, kSquashfs),
                         [](const auto& p) { return std::string(p.param.name); });

// Standard output carries only the archive; compressed archives come in on standard input.
TEST(TreeStreams, ExportToStdoutAndCompressedImportFromStdin) {
  if (std::string why = missing(kSquashfs); !why.empty()) GTEST_SKIP() << why;
  rstest::TempDir d;
  make_flash(d, kSquashfs);
  make_tree(d, kSquashfs);
  RunResult r = rs_in(d, "open flash.bin; put -r tree ROOT/t; export ROOT/t a.tar; export ROOT/t -");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, rstest::read_text(d.file("a.tar"))) << "stdout holds more than the archive";
  for (const char* z : {"-z", "-J", ""}) {
    SCOPED_TRACE(z);
    r = rstest::run_command(std::string("tar --numeric-owner --xattrs ") + z + " -C tree -cf - . | " + kRs +
                                " -c 'open flash.bin; import - ROOT/in; export ROOT/in in.tar'",
                            "", d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tar_listing(d, "in.tar", true), tar_listing(d, "a.tar", true));
  }
  // Another archive kind libarchive reads: cpio.
  if (rstest::have_tool("cpio")) {
    r = rstest::run_command("(cd tree && find . | cpio -o -H newc --quiet) | " + kRs +
                                " -c 'open flash.bin; import - ROOT/cp; get -r ROOT/cp cpio-back'",
                            "", d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    expect_same_tree(d.file("tree"), d.file("cpio-back"), Kind{"cpio", "", true, false, false});
  }
  r = rs_in(d, "open flash.bin; import flash.conf ROOT/in");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "flash.conf")) << r.err;
}

// ---- confinement and refusals ----------------------------------------------------

// A link planted in the target directory is replaced or refused, never followed.
TEST(TreeConfinement, GetRefusesToWriteThroughAPlantedLink) {
  if (std::string why = missing(kSquashfs); !why.empty()) GTEST_SKIP() << why;
  rstest::TempDir d;
  make_flash(d, kSquashfs);
  make_tree(d, kSquashfs);
  ASSERT_EQ(rs_in(d, "open flash.bin; put -r tree ROOT; save flash.bin").status, 0);
  fs::create_directories(d.file("victim"));
  fs::create_directories(d.file("out"));
  ASSERT_EQ(::symlink(d.file("victim").c_str(), d.file("out/etc").c_str()), 0);
  rstest::write_text(d.file("victim-file"), "mine\n");
  fs::create_directories(d.file("out/bin"));
  ASSERT_EQ(::symlink(d.file("victim-file").c_str(), d.file("out/bin/tool").c_str()), 0);
  RunResult r = rs_in(d, "open flash.bin; get -r ROOT out");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::is_empty(d.file("victim"))) << "written through the planted directory link";
  EXPECT_EQ(rstest::read_text(d.file("victim-file")), "mine\n") << "written through the planted file link";
  EXPECT_EQ(rstest::read_bytes(d.file("out/bin/tool")), rstest::read_bytes(d.file("tree/bin/tool")));
}

// Member names that climb out of the target are refused by name; absolute
// names land below the target; the rest of the archive is still stored.
TEST(TreeConfinement, ImportConfinesMemberNames) {
  if (std::string why = missing(kSquashfs); !why.empty()) GTEST_SKIP() << why;
  if (!rstest::have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  rstest::TempDir d;
  make_flash(d, kSquashfs);
  rstest::write_text(d.file("evil.py"),
                     "import io, tarfile\n"
                     "t = tarfile.open('evil.tar', 'w', format=tarfile.PAX_FORMAT)\n"
                     "def add(name, data=b'x', kind=tarfile.REGTYPE, link=''):\n"
                     "    i = tarfile.TarInfo(name); i.type = kind; i.linkname = link; i.size = len(data)\n"
                     "    t.addfile(i, io.BytesIO(data) if kind == tarfile.REGTYPE else None)\n"
                     "add('../evil')\nadd('a/../../evil2')\nadd('/abs/file', b'abs')\n"
                     "add('ok/file', b'fine')\nadd('ok/hard', kind=tarfile.LNKTYPE, link='../keep')\n"
                     "t.close()\n");
  ASSERT_EQ(rstest::run_command("python3 evil.py", "", d.path()).status, 0);
  RunResult r =
      rs_in(d, "open flash.bin; mkdir ROOT/dst; import evil.tar ROOT/dst; save out.bin; dumppar ROOT out.img", true);
  EXPECT_EQ(r.status, 1) << r.err;
  for (const char* name : {"../evil", "a/../../evil2", "ok/hard"})
    EXPECT_TRUE(contains(r.err, std::string(name) + ": refused")) << name << "\n" << r.err;
  EXPECT_TRUE(contains(r.err, "removing leading '/'")) << r.err;
  EXPECT_TRUE(contains(r.err, "3 entries not stored")) << r.err;
  RunResult l = rstest::run_command("unsquashfs -lln out.img", "", d.path());
  EXPECT_FALSE(contains(l.out, "evil")) << l.out;
  EXPECT_TRUE(contains(l.out, "squashfs-root/dst/abs/file")) << l.out;
  EXPECT_TRUE(contains(l.out, "squashfs-root/dst/ok/file")) << l.out;
  EXPECT_FALSE(contains(l.out, "squashfs-root/dst/ok/hard")) << l.out;
}

// What a file system cannot store is named and fails the command; a hard
// link becomes a copy (nothing lost) with a note.
TEST(TreeRefusals, LossyPutNamesWhatWasNotStored) {
  if (std::string why = missing(kCramfs); !why.empty()) GTEST_SKIP() << why;
  rstest::TempDir d;
  make_flash(d, kCramfs);
  fs::create_directories(d.file("tree"));
  rstest::write_text(d.file("tree/a"), "same\n");
  ASSERT_EQ(::link(d.file("tree/a").c_str(), d.file("tree/b").c_str()), 0);
  RunResult r = rs_in(d, "open flash.bin; put -r tree ROOT/t; get ROOT/t/b -");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "ROOT/t/b: stored as a copy of ROOT/t/a")) << r.err;
  EXPECT_EQ(r.out, "same\n");

  ASSERT_EQ(::lsetxattr(d.file("tree/a").c_str(), "user.note", "n", 1, 0), 0);
  r = rs_in(d, "open flash.bin; put -r tree ROOT/t");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "ROOT/t/a: extended attribute user.note not stored")) << r.err;

  r = rs_in(d, "open flash.bin; put -r tree/a ROOT/t");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "Not a directory")) << r.err;
  r = rs_in(d, "open flash.bin; get -r ROOT/keep out");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(d.file("out")));
}

// Existing directories are merged, existing files replaced, and a directory
// standing where a file goes is kept and named.
TEST(TreeRefusals, PutMergesDirectoriesAndReplacesFiles) {
  if (std::string why = missing(kSquashfs); !why.empty()) GTEST_SKIP() << why;
  rstest::TempDir d;
  make_flash(d, kSquashfs);
  fs::create_directories(d.file("tree/keep2"));
  rstest::write_text(d.file("tree/keep"), "new\n");
  rstest::write_text(d.file("tree/keep2/x"), "x\n");
  ASSERT_EQ(::link(d.file("tree/keep").c_str(), d.file("tree/keep.hard").c_str()), 0);
  // The second run finds every name taken, the hard link's too.
  RunResult r = rs_in(d,
                      "open flash.bin; mkdir ROOT/keep2; put ROOT/keep2/old flash.conf; put -r tree ROOT; "
                      "put -r tree ROOT; get ROOT/keep -; get ROOT/keep.hard -; get ROOT/keep2/old old");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "new\nnew\n");
  EXPECT_EQ(rstest::read_text(d.file("old")), rstest::read_text(d.file("flash.conf")));
  fs::remove_all(d.file("tree/keep2"));
  rstest::write_text(d.file("tree/keep2"), "file\n");
  r = rs_in(d, "open flash.bin; mkdir ROOT/keep2; put -r tree ROOT");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "ROOT/keep2: a directory stands where the file goes")) << r.err;
}

}  // namespace

// mksquashfs: each kind a box may read, built from the host tree, comes back
// whole through the outside reader where it reads that kind, and through ours.
struct SquashKind {
  const char* name;
  const char* options;
  const char* outside;  // what `unsquashfs -s` says of it, or null where it reads no such kind
  bool xattrs;
};

class MkSquashfs : public ::testing::TestWithParam<SquashKind> {};

TEST_P(MkSquashfs, BuildsTheKindAskedFor) {
  const SquashKind& k = GetParam();
  if (!rstest::have_tool("unsquashfs")) GTEST_SKIP() << "unsquashfs is not installed";
  rstest::TempDir d;
  Kind tree_kind{k.name, "SQUASHFS", true, k.xattrs, true};
  make_tree(d, tree_kind);
  RunResult r = rs_in(d, std::string("mksquashfs tree out.img ") + k.options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(rstest::read_bytes(d.file("out.img")).size() % 4096, 0u) << "padded to 4 KiB as mksquashfs pads";
  if (k.outside) {
    r = rstest::run_command("unsquashfs -s out.img", "", d.path());
    EXPECT_TRUE(contains(r.out, k.outside)) << r.out << r.err;
    r = rstest::run_command("unsquashfs -no-progress -d ex out.img >/dev/null", "", d.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // 2.x stores no inode numbers, so unsquashfs cannot tell a hard link from
    // a copy there; our reader can (below).
    Kind outside = tree_kind;
    outside.links = !contains(k.options, "-V 2");
    expect_same_tree(d.file("tree"), d.file("ex"), outside);
  }
  r = rs_in(d, "open out.img; get -r SQUASHFS/ back");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  expect_same_tree(d.file("tree"), d.file("back"), tree_kind);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MkSquashfs,
    ::testing::Values(SquashKind{"v4_gzip", "", "Compression gzip", true},
                      SquashKind{"v4_xz_64k", "-comp xz -b 64K", "Block size 65536", true},
                      SquashKind{"v4_zstd", "-V 4 -comp zstd", "Compression zstd", true},
                      SquashKind{"v4_lzo", "-comp lzo -b 1M", "Compression lzo", true},
                      SquashKind{"v4_lz4", "-comp lz4", "Compression lz4", true},
                      SquashKind{"v4_lzma", "-comp lzma", "Compression lzma", true},
                      SquashKind{"v4_be_xz", "-be -comp xz", nullptr, true},
                      SquashKind{"v4_be_lzo", "-V 4 -be -comp lzo -b 64K", nullptr, true},
                      SquashKind{"v3_le", "-V 3", "little endian SQUASHFS 3:1", false},
                      SquashKind{"v3_be", "-V 3 -be -b 128K", "big endian SQUASHFS 3:1", false},
                      SquashKind{"v3_lzma", "-V 3 -comp lzma", nullptr, false},
                      SquashKind{"v3_lzma_l_be", "-V 3 -be -comp lzma-l", nullptr, false},
                      SquashKind{"v3_lzma5", "-V 3 -comp lzma5", nullptr, false},
                      SquashKind{"v3_lzma4_be", "-V 3 -be -comp lzma4", nullptr, false},
                      SquashKind{"v3_lzma_raw", "-V 3 -comp lzma-raw", nullptr, false},
                      SquashKind{"v2_le", "-V 2", "little endian SQUASHFS 2:1", false},
                      SquashKind{"v2_be_32k", "-V 2 -be -b 32K", "Block size 32768", false},
                      SquashKind{"v2_lzma_l", "-V 2 -comp lzma", nullptr, false},
                      SquashKind{"v2_lzma5_be", "-V 2 -be -comp lzma5", nullptr, false},
                      SquashKind{"v2_lzma4", "-V 2 -comp lzma4", nullptr, false},
                      SquashKind{"v2_lzma_raw_be", "-V 2 -be -comp lzma-raw", nullptr, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(MkSquashfs, RefusesWhatItCannotBuild) {
  rstest::TempDir d;
  fs::create_directories(d.file("tree"));
  for (const char* bad : {"-V 5", "-comp brotli", "-b 3000", "-b", "-frobnicate", "-V 2 -b 128K", "-V 4 -comp lzma5"}) {
    RunResult r = rs_in(d, std::string("mksquashfs tree out.img ") + bad);
    EXPECT_NE(r.status, 0) << bad;
    EXPECT_FALSE(r.err.empty()) << bad;
    EXPECT_FALSE(fs::exists(d.file("out.img"))) << bad;
  }
  RunResult r = rs_in(d, "mksquashfs missing out.img");
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(contains(r.err, "missing")) << r.err;
}

// mkubi: the host tree as a UBIFS volume in a UBI image, read back whole; the
// same tree through mkfs.ubifs + ubinize lists the same.
TEST(MkUbi, BuildsAVolumeOfTheTree) {
  for (const char* t : {"mkfs.ubifs", "ubinize"})
    if (!rstest::have_tool(t)) GTEST_SKIP() << t << " is not installed";
  rstest::TempDir d;
  Kind k{"ubifs", "UBIFS", true, true, true};
  make_tree(d, k);
  RunResult r = rs_in(d, "mkubi -m 2048 -p 128KiB -c 64 -x zlib -N root tree ours.ubi");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = rs_in(d, "open ours.ubi; get -r UBIFS/root back; ls UBIFS");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "erase block 128 KiB, VID header at 2048, data at 4096")) << r.out;
  EXPECT_TRUE(contains(r.out, "volume 0 \"root\": dynamic")) << r.out;
  EXPECT_TRUE(contains(r.out, "zlib")) << r.out;
  expect_same_tree(d.file("tree"), d.file("back"), k);

  rstest::write_text(d.file("ubi.ini"),
                     "[root]\nmode=ubi\nimage=ref.ubifs\nvol_id=0\nvol_type=dynamic\nvol_name=root\n");
  r = rstest::run_command(
      "mkfs.ubifs -m 2048 -e 126976 -c 64 -x zlib -r tree -o ref.ubifs && ubinize -o ref.ubi -p 128KiB -m 2048 ubi.ini",
      "", d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  RunResult a = rs_in(d, "open ours.ubi; ls -l UBIFS/root");
  RunResult b = rs_in(d, "open ref.ubi; ls -l UBIFS/root");
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(a.out.substr(a.out.find('\n')), b.out.substr(b.out.find('\n'))) << "entries past the free-room line";

  for (const char* bad : {"mkubi tree x.ubi", "mkubi -c 64 -x brotli tree x.ubi", "mkubi -c 64 -m 3000 tree x.ubi",
                          "mkubi -c 64 --frobnicate 1 tree x.ubi", "mkubi -c 64 missing x.ubi"}) {
    r = rs_in(d, bad);
    EXPECT_NE(r.status, 0) << bad;
    EXPECT_FALSE(r.err.empty()) << bad;
    EXPECT_FALSE(fs::exists(d.file("x.ubi"))) << bad;
  }
}
