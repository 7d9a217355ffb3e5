// Files whose content is read from the host only when the image is built (a
// tree built from a host directory): the image is the one the same content
// held in memory gives, byte for byte, and a host file that changed or went
// away since it was put fails the build with its name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "squashfs/squashfs.h"
#include "testutil.h"

namespace {

struct TreeFree {
  void operator()(squashfs_entry* e) const { squashfs_free(e); }
};
using Tree = std::unique_ptr<squashfs_entry, TreeFree>;

struct Built {
  std::vector<uint8_t> bytes;
  std::string why;
};

Built rebuild(squashfs_entry* root) {
  Built b;
  size_t len = 0;
  uint8_t* raw = squashfs_rebuild(root, &len, &b.why);
  if (raw) {
    b.bytes.assign(raw, raw + len);
    std::free(raw);
    // The build time, the only byte that may differ between two builds.
    if (b.bytes.size() > 12) std::memset(b.bytes.data() + 8, 0, 4);
  }
  return b;
}

Tree fresh(int version, const char* comp) {
  squashfs_kind k;
  k.version = version;
  k.comp = comp;
  k.block_size = 4096;
  std::string why;
  Tree t(squashfs_new(k, &why));
  EXPECT_TRUE(t) << why;
  if (t) squashfs_set_mtime(t.get(), "/", 1000);
  return t;
}

// Empty, one tail, holes, text of many blocks (more jobs than any queue),
// and duplicates of it, by name.
std::vector<std::pair<std::string, std::vector<uint8_t>>> contents() {
  std::vector<uint8_t> text(4096 * 40 + 777);
  for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t("tuner remote panel "[i % 19] ^ (i / 9000));
  std::vector<uint8_t> holes(4096 * 3 + 10, 0);
  holes[4096 * 2 + 5] = 7;
  std::vector<uint8_t> noise(5000);
  unsigned x = 12345;
  for (uint8_t& b : noise) b = uint8_t((x = x * 1103515245u + 12345u) >> 16);
  return {{"/a_empty", {}},
          {"/b_tail", {'h', 'i', '\n'}},
          {"/c_holes", holes},
          {"/d_text", text},
          {"/e_text_again", text},
          {"/f_noise", noise},
          {"/g_tail_again", {'h', 'i', '\n'}}};
}

class HostContent : public ::testing::TestWithParam<std::pair<int, const char*>> {};

TEST_P(HostContent, GivesTheImageOfTheSameContentInMemory) {
  auto [version, comp] = GetParam();
  rstest::TempDir d;
  Tree mem = fresh(version, comp), host = fresh(version, comp);
  ASSERT_TRUE(mem && host);
  for (const auto& [name, data] : contents()) {
    std::string path = d.file(name.substr(1));
    rstest::write_bytes(path, data);
    ASSERT_EQ(squashfs_put(mem.get(), name.c_str(), data.data(), data.size(), 0644, 0, 0), 0);
    ASSERT_EQ(squashfs_put_host(host.get(), name.c_str(), path.c_str(), data.size(), 0644, 0, 0), 0);
    squashfs_set_mtime(mem.get(), name.c_str(), 2000);
    squashfs_set_mtime(host.get(), name.c_str(), 2000);
  }
  // A hard link of a host file shares its content.
  ASSERT_EQ(squashfs_link(mem.get(), "/d_text", "/h_link"), 0);
  ASSERT_EQ(squashfs_link(host.get(), "/d_text", "/h_link"), 0);
  Built a = rebuild(mem.get()), b = rebuild(host.get());
  ASSERT_FALSE(a.bytes.empty()) << a.why;
  ASSERT_FALSE(b.bytes.empty()) << b.why;
  EXPECT_TRUE(a.bytes == b.bytes) << "the image differs from the in-memory one";
  std::vector<uint8_t> got;
  ASSERT_EQ(squashfs_content(squashfs_find(host.get(), "/e_text_again"), got), 0);
  EXPECT_EQ(got, contents()[4].second);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostContent,
                         ::testing::Values(std::make_pair(4, "gzip"), std::make_pair(4, "xz"),
                                           std::make_pair(3, "gzip")),
                         [](const auto& p) {
                           return std::string(p.param.second) + "_v" + std::to_string(p.param.first);
                         });

// What can happen to a host file between the walk and the build.
TEST(HostContent, FileThatChangedOrWentAwayFailsTheBuildWithItsName) {
  struct Case {
    const char* what;
    size_t now;  // bytes at build time; SIZE_MAX: gone
  };
  for (const Case& c : {Case{"grew", 9000}, Case{"shrank", 10}, Case{"gone", SIZE_MAX}, Case{"emptied", 0}}) {
    for (int version : {4, 3}) {
      SCOPED_TRACE(std::string(c.what) + " v" + std::to_string(version));
      rstest::TempDir d;
      Tree t = fresh(version, "gzip");
      ASSERT_TRUE(t);
      std::vector<uint8_t> big(4096 * 6, 'x');
      rstest::write_bytes(d.file("before"), big);
      rstest::write_bytes(d.file("moving"), std::vector<uint8_t>(5000, 'm'));
      ASSERT_EQ(squashfs_put_host(t.get(), "/before", d.file("before").c_str(), big.size(), 0644, 0, 0), 0);
      ASSERT_EQ(squashfs_put_host(t.get(), "/moving", d.file("moving").c_str(), 5000, 0644, 0, 0), 0);
      if (c.now == SIZE_MAX)
        ASSERT_EQ(::unlink(d.file("moving").c_str()), 0);
      else
        rstest::write_bytes(d.file("moving"), std::vector<uint8_t>(c.now, 'n'));
      testing::internal::CaptureStderr();
      Built b = rebuild(t.get());
      testing::internal::GetCapturedStderr();
      EXPECT_TRUE(b.bytes.empty());
      EXPECT_NE(b.why.find(d.file("moving")), std::string::npos) << b.why;
      EXPECT_NE(b.why.find(c.now == SIZE_MAX ? "No such file" : "changed size"), std::string::npos) << b.why;
    }
  }
}

}  // namespace
