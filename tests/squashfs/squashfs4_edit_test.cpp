// squashfs 4.0 edits on images of every compressor and flag combination, as
// unsquashfs sees the result; stored blocks of unchanged files are copied.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include "squashfs/squashfs.h"
#include "testutil.h"
#include "util/endian.h"

namespace {

using rstest::read_bytes;
using rstest::run_command;
using rstest::shell_quote;

struct TreeFree {
  void operator()(squashfs_entry* e) const { squashfs_free(e); }
};
using Tree = std::unique_ptr<squashfs_entry, TreeFree>;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A source tree and the images mksquashfs makes of it.
struct Source {
  rstest::TempDir dir;
  std::string src = dir.file("src");
  std::map<std::string, std::vector<uint8_t>> files;

  Source() { mkdir(src.c_str(), 0755); }
  void put(const std::string& rel, const std::vector<uint8_t>& data, mode_t mode = 0644) {
    for (size_t slash = rel.find('/', 1); slash != std::string::npos; slash = rel.find('/', slash + 1))
      mkdir((src + rel.substr(0, slash)).c_str(), 0755);
    rstest::write_bytes(src + rel, data);
    chmod((src + rel).c_str(), mode);
    files[rel] = data;
  }
  void drop(const std::string& rel) {
    unlink((src + rel).c_str());
    files.erase(rel);
  }
  std::string make(const std::string& name, const std::string& opts) {
    std::string img = dir.file(name);
    auto r = run_command("mksquashfs " + shell_quote(src) + " " + shell_quote(img) +
                         " -noappend -no-progress -all-root " + opts);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    return img;
  }
};

// unsquashfs -lln without times and directory sizes.
std::string listing(const std::string& img) {
  auto r = run_command("unsquashfs -lln -d /x " + shell_quote(img));
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream in(r.out);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.find("/x") == std::string::npos || line[0] == 'P') continue;
    std::istringstream f(line);
    std::string perm, owner, size, date, time, name;
    f >> perm >> owner >> size >> date >> time;
    std::getline(f, name);
    if (perm[0] == 'd') size = "-";
    out += perm + " " + owner + " " + size + " " + name + "\n";
  }
  return out;
}

// The build settings unsquashfs -s reports: compressor, its options, block
// size and every flag line.
std::string settings(const std::string& img) {
  std::istringstream in(run_command("unsquashfs -s " + shell_quote(img)).out);
  std::string line, kept;
  while (std::getline(in, line)) {
    if (line.find("Creation") == 0 || line.find("Filesystem size") == 0 || line.find("Number of") == 0 ||
        line.find("table start") != std::string::npos || line.find("Found a valid") == 0)
      continue;
    kept += line + "\n";
  }
  return kept;
}

std::vector<uint8_t> rebuild(squashfs_entry* root) {
  size_t len = 0;
  uint8_t* p = squashfs_mmap(root, &len);
  EXPECT_NE(p, nullptr);
  if (!p) return {};
  std::vector<uint8_t> v(p, p + len);
  free(p);
  return v;
}

bool tools() { return rstest::have_tool("mksquashfs") && rstest::have_tool("unsquashfs"); }

class EachCompressor : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!tools()) GTEST_SKIP() << "mksquashfs/unsquashfs not installed";
  }
};

TEST_P(EachCompressor, EditKeepsSettingsTreeAndContent) {
  Source s;
  s.put("/etc/passwd", bytes("root:x:0:0:root:/root:/bin/sh\n"));
  s.put("/etc/hosts", bytes("127.0.0.1 localhost\n"));
  s.put("/bin/tool", rstest::random_bytes(300000, 1), 0755);
  std::vector<uint8_t> text;
  for (int i = 0; i < 20000; ++i) text.push_back(uint8_t("squashfs text "[i % 14]));
  s.put("/usr/share/doc", text);
  s.put("/usr/share/gone", bytes("to be removed"));
  std::string orig = s.make("orig.sqfs", GetParam());
  std::vector<uint8_t> img = read_bytes(orig);
  Tree root(squashfs_load_memory(img.data(), img.size()));
  ASSERT_TRUE(root);

  std::vector<uint8_t> hosts = bytes("10.0.0.1 box\n");
  ASSERT_EQ(squashfs_put(root.get(), "/etc/hosts", hosts.data(), hosts.size(), -1, -1, -1), 0);
  ASSERT_EQ(squashfs_put(root.get(), "/usr/share/new.txt", "new", 3, -1, -1, -1), 0);
  ASSERT_EQ(squashfs_remove(root.get(), "/usr/share/gone"), 0);
  std::vector<uint8_t> out = rebuild(root.get());
  rstest::write_bytes(s.dir.file("out.sqfs"), out);

  s.put("/etc/hosts", hosts);
  s.put("/usr/share/new.txt", bytes("new"));
  s.drop("/usr/share/gone");
  std::string expected = s.make("expected.sqfs", GetParam());
  EXPECT_EQ(settings(s.dir.file("out.sqfs")), settings(orig));
  EXPECT_EQ(listing(s.dir.file("out.sqfs")), listing(expected));
  auto r = run_command("unsquashfs -no-progress -d " + shell_quote(s.dir.file("x")) + " " +
                       shell_quote(s.dir.file("out.sqfs")));
  ASSERT_EQ(r.status, 0) << r.err;
  for (auto& [path, data] : s.files) EXPECT_EQ(read_bytes(s.dir.file("x") + path), data) << path;
}

INSTANTIATE_TEST_SUITE_P(Compressors, EachCompressor,
                         ::testing::Values("-comp gzip", "-comp gzip -Xcompression-level 4 -Xwindow-size 12",
                                           "-comp gzip -Xstrategy filtered,huffman_only", "-comp lzma", "-comp lz4",
                                           "-comp lz4 -Xhc", "-comp zstd -Xcompression-level 19",
                                           "-comp xz -Xbcj arm -Xdict-size 65536", "-comp gzip -b 4096"));

INSTANTIATE_TEST_SUITE_P(Flags, EachCompressor,
                         ::testing::Values("-comp gzip -noI", "-comp gzip -noD", "-comp gzip -noF", "-comp gzip -noX",
                                           "-comp gzip -noId", "-comp gzip -no-fragments",
                                           "-comp gzip -always-use-fragments", "-comp gzip -no-duplicates",
                                           "-comp gzip -no-exports", "-comp xz -noI -noD -noF -noX"));

}  // namespace
