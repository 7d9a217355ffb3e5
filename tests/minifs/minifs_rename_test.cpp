// minifs renames (one operation, rename(2) results), modification times, and
// rebuilds that fail with a reason instead of ending the process.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "minifs/minifs.h"
#include "testutil.h"

namespace {

// A device over its own partition buffer, saved and mounted again as the core does.
struct Dev {
  std::vector<uint8_t> buf;
  minifs_device* dev = nullptr;
  explicit Dev(int blocks) : buf(size_t(blocks) * 65536, 0xFF) {
    dev = minifs_mount("", "/", buf.data(), buf.size(), nullptr);
  }
  ~Dev() { minifs_umount(dev); }
  std::vector<uint8_t> image() {
    size_t n = 0;
    uint8_t* p = minifs_mmap(dev, &n);
    EXPECT_NE(p, nullptr);
    std::vector<uint8_t> v(p, p + n);
    minifs_munmap(p, n);
    return v;
  }
  void remount() {
    std::vector<uint8_t> img = image();
    minifs_umount(dev);
    img.resize(buf.size(), 0xFF);
    buf = img;
    dev = minifs_mount("", "/", buf.data(), buf.size(), nullptr);
  }
  int put(const char* path, const std::string& data, uint32_t mode = 0640, uint32_t uid = 5, uint32_t gid = 6) {
    minifs_put_attr a;
    a.has_mode = a.has_owner = true;
    a.mode = mode, a.uid = uid, a.gid = gid;
    return minifs_put(dev, path, data.data(), data.size(), &a);
  }
  // Path -> mode, owner, time and content (or link target) of every entry.
  std::map<std::string, std::string> tree() {
    std::vector<minifs_node> nodes;
    EXPECT_EQ(minifs_walk(dev, "/", &nodes), 0);
    std::map<std::string, std::string> out;
    for (const minifs_node& n : nodes) {
      std::string d = std::to_string(n.attr.mode) + " " + std::to_string(n.attr.uid) + ":" +
                      std::to_string(n.attr.gid) + " t" + std::to_string(n.attr.mtime) + " " + n.attr.target;
      if ((n.attr.mode & 0170000) == 0100000) {
        std::string data(n.attr.size, '\0');
        EXPECT_EQ(minifs_pread(dev, n.path.c_str(), data.data(), data.size(), 0), (long long)data.size()) << n.path;
        d += data;
      }
      out[n.path] = d;
    }
    return out;
  }
};

const std::string kBig = [] {
  std::vector<uint8_t> r = rstest::random_bytes(20000, 5);  // several stored blocks
  return std::string(r.begin(), r.end());
}();

void fill(Dev& d) {
  ASSERT_EQ(minifs_make_dir(d.dev, "/etc", 0755, 0, 0), 0);
  ASSERT_EQ(minifs_make_dir(d.dev, "/etc/init.d", 0700, 1, 2), 0);
  ASSERT_EQ(minifs_make_dir(d.dev, "/var", 0755, 0, 0), 0);
  ASSERT_EQ(minifs_make_dir(d.dev, "/var/log", 0755, 0, 0), 0);
  ASSERT_EQ(minifs_make_dir(d.dev, "/empty", 0711, 0, 0), 0);
  ASSERT_EQ(d.put("/etc/hosts", "127.0.0.1 localhost\n", 0600, 12, 3), 0);
  ASSERT_EQ(d.put("/etc/init.d/rcS", "#!/bin/sh\n", 0755), 0);
  ASSERT_EQ(d.put("/var/log/msg", "boot\n"), 0);
  ASSERT_EQ(d.put("/big", kBig), 0);
  ASSERT_EQ(minifs_make_symlink(d.dev, "big", "/link", 0777, 0, 0), 0);
  ASSERT_EQ(minifs_set_mtime(d.dev, "/etc/hosts", 1700000000), 0);
}

struct Refusal {
  const char* from;
  std::string to;
  int rc;
};

class MinifsRenameRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(MinifsRenameRefusal, GivesTheReasonAndChangesNothing) {
  Dev d(16);
  fill(d);
  auto tree = d.tree();
  auto bytes = d.image();
  EXPECT_EQ(minifs_rename(d.dev, GetParam().from, GetParam().to.c_str()), GetParam().rc)
      << GetParam().from << " -> " << GetParam().to;
  EXPECT_EQ(d.tree(), tree);
  EXPECT_EQ(d.image(), bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MinifsRenameRefusal,
    testing::Values(Refusal{"/nope", "/x", -ENOENT}, Refusal{"/etc/hosts", "/nodir/hosts", -ENOENT},
                    Refusal{"/etc/hosts/x", "/x", -ENOTDIR}, Refusal{"/etc/hosts", "/big/hosts", -ENOTDIR},
                    Refusal{"/etc", "/big", -ENOTDIR}, Refusal{"/var/log", "/link", -ENOTDIR},
                    Refusal{"/etc/hosts", "/empty", -EISDIR}, Refusal{"/link", "/var", -EISDIR},
                    Refusal{"/empty", "/etc", -ENOTEMPTY}, Refusal{"/var/log", "/var", -ENOTEMPTY},
                    Refusal{"/var/log/msg", "/var", -EISDIR}, Refusal{"/etc", "/etc/init.d/etc", -EINVAL},
                    Refusal{"/", "/x", -EBUSY}, Refusal{"/big", "/", -EBUSY}, Refusal{"/big", "/etc/..", -EINVAL},
                    Refusal{"/big", "/" + std::string(33, 'n'), -ENAMETOOLONG}));

TEST(MinifsRename, MovesKeepEverythingAndSurviveASave) {
  Dev d(16);
  fill(d);
  auto want = d.tree();
  auto move = [&](const std::string& from, const std::string& to) {
    std::map<std::string, std::string> moved;
    for (auto it = want.begin(); it != want.end();) {
      if (it->first != from && it->first.compare(0, from.size() + 1, from + "/") != 0) {
        ++it;
        continue;
      }
      moved[to + it->first.substr(from.size())] = it->second;
      it = want.erase(it);
    }
    for (auto& [k, v] : moved) want[k] = v;
  };
  EXPECT_EQ(minifs_rename(d.dev, "/big", "/big"), 0);
  EXPECT_EQ(minifs_rename(d.dev, "/etc/hosts", "/etc/hosts.old"), 0);
  move("/etc/hosts", "/etc/hosts.old");
  EXPECT_EQ(minifs_rename(d.dev, "/big", "/var/big"), 0);
  move("/big", "/var/big");
  EXPECT_EQ(minifs_rename(d.dev, "/etc/init.d/rcS", "/link"), 0);  // over a link
  want.erase("/link");
  move("/etc/init.d/rcS", "/link");
  EXPECT_EQ(minifs_rename(d.dev, "/etc", "/var/etc"), 0);  // with all below it
  move("/etc", "/var/etc");
  EXPECT_EQ(minifs_rename(d.dev, "/var/log", "/empty"), 0);  // onto an empty directory
  want.erase("/empty");
  move("/var/log", "/empty");
  EXPECT_EQ(d.tree(), want);
  EXPECT_EQ(minifs_put(d.dev, "/var/etc/init.d/rcK", "k", 1, nullptr), 0);
  EXPECT_EQ(minifs_put(d.dev, "/etc/x", "x", 1, nullptr), -ENOENT);
  want = d.tree();
  d.remount();
  EXPECT_EQ(d.tree(), want);
  EXPECT_EQ(want.count("/var/etc/hosts.old"), 1u);
}

TEST(MinifsSetMtime, StoresTheTimeOrGivesTheReason) {
  Dev d(8);
  fill(d);
  auto tree = d.tree();
  for (int64_t bad : {int64_t(-1), int64_t(1) << 32}) EXPECT_EQ(minifs_set_mtime(d.dev, "/big", bad), -EOVERFLOW);
  EXPECT_EQ(minifs_set_mtime(d.dev, "/nope", 1), -ENOENT);
  EXPECT_EQ(minifs_set_mtime(d.dev, "/big/x", 1), -ENOTDIR);
  EXPECT_EQ(minifs_set_mtime(d.dev, "/", 1), -EINVAL);
  EXPECT_EQ(d.tree(), tree);
  for (const char* p : {"/big", "/etc", "/link"}) EXPECT_EQ(minifs_set_mtime(d.dev, p, 4294967295), 0) << p;
  d.remount();
  minifs_attr a;
  for (const char* p : {"/big", "/etc", "/link"}) {
    ASSERT_EQ(minifs_stat(d.dev, p, &a), 0);
    EXPECT_EQ(a.mtime, 4294967295u) << p;
  }
  ASSERT_EQ(minifs_stat(d.dev, "/etc/hosts", &a), 0);
  EXPECT_EQ(a.mtime, 1700000000u);
  std::string data(kBig.size(), '\0');
  EXPECT_EQ(minifs_pread(d.dev, "/big", data.data(), data.size(), 0), (long long)data.size());
  EXPECT_EQ(data, kBig);
}

// The one way a rebuild can fail is memory for the image: it is reported, the
// process goes on, and the device is unchanged and still saves.
TEST(MinifsRebuild, OutOfMemoryIsReportedNotFatal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#else
  Dev d(64);
  fill(d);
  std::string data(3 << 20, '\0');
  std::vector<uint8_t> r = rstest::random_bytes(data.size(), 9);  // stored uncompressed: about 50 blocks
  std::copy(r.begin(), r.end(), data.begin());
  ASSERT_EQ(d.put("/blob", data), 0);
  // A fresh process: memory freed by earlier tests could hold the image.
  std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        long pages = 0;
        FILE* f = std::fopen("/proc/self/statm", "r");
        if (!f || std::fscanf(f, "%ld", &pages) != 1) std::_Exit(3);
        std::fclose(f);
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (1u << 20);
        std::string why;
        why.reserve(64);
        if (setrlimit(RLIMIT_AS, &lim) != 0) std::_Exit(3);
        size_t n = 1;
        uint8_t* p = minifs_mmap(d.dev, &n, &why);
        bool ok = !p && n == 0 && why == "error: minifs_mmap 613";
        minifs_attr a;
        ok = ok && minifs_stat(d.dev, "/blob", &a) == 0 && a.size == data.size();
        std::_Exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "error: minifs_mmap 613\n");
  GTEST_FLAG_SET(death_test_style, style);
  // Nothing changed: the same device still saves.
  auto tree = d.tree();
  d.remount();
  EXPECT_EQ(d.tree(), tree);
#endif
}

}  // namespace
