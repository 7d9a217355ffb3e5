// The stored reader the mount decodes ahead with (many threads at once against
// the normal read path), and the decode-ahead pieces themselves.
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ahead.h"
#include "testutil.h"

namespace fs = std::filesystem;

namespace {

const std::string kRs = ROMSMITH_BIN;

struct Kind {
  const char* name;
  const char* opts;  // mksquashfs options
};
void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

const Kind kKinds[] = {
    {"xz", "-comp xz"},
    {"xz_small_blocks_all_fragments", "-comp xz -b 4096 -always-use-fragments"},
    {"gzip_small_blocks", "-comp gzip -b 4096"},
    {"gzip_stored_raw", "-comp gzip -b 4096 -noD -noF"},
    {"lz4_no_fragments", "-comp lz4 -b 8192 -no-fragments"},
};

// Sizes around block edges, a multi-block file, files sharing fragment blocks
// and a file with holes (whole zero blocks are stored as sparse blocks).
void make_tree(const std::string& dir) {
  fs::create_directories(dir + "/a/b");
  const size_t sizes[] = {0, 1, 100, 4095, 4096, 4097, 3 * 4096 + 17, 8192, 200000, 300001};
  uint32_t seed = 1;
  for (size_t n : sizes) {
    std::vector<uint8_t> v = rstest::random_bytes(n, seed++);
    // Half compressible, half not.
    for (size_t i = 0; i < n / 2; ++i) v[i] = uint8_t("box flash image "[i % 16]);
    rstest::write_bytes(dir + "/a/f" + std::to_string(n), v);
  }
  for (int i = 0; i < 30; ++i)
    rstest::write_bytes(dir + "/a/b/small" + std::to_string(i), rstest::random_bytes(size_t(50 + 37 * i), 100 + i));
  std::vector<uint8_t> holes(5 * 65536, 0);
  std::vector<uint8_t> mid = rstest::random_bytes(70000, 7);
  std::memcpy(holes.data() + 2 * 65536 + 5, mid.data(), mid.size());
  rstest::write_bytes(dir + "/sparse", holes);
}

class StoredReader : public ::testing::TestWithParam<Kind> {
 protected:
  rstest::TempDir d;
  flash* f = nullptr;
  std::vector<std::pair<std::string, uint64_t>> files;  // flash path, size

  void SetUp() override {
    if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
    make_tree(d.file("tree"));
    rstest::RunResult r = rstest::run_command(
        std::string("mksquashfs tree root.img -noappend -quiet -no-progress ") + GetParam().opts, "", d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    rstest::write_text(d.file("flash.conf"),
                       "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                       "ROOT root.img true SQUASHFS rw 0 0 0x10000 0x200000\n"
                       "TABLE NULL false RAW ro 0 0 0x210000 0x10000\n");
    r = rstest::run_command(kRs + " mkflash flash.conf flash.bin", "", d.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    f = flash_load_bin(d.file("flash.bin").c_str());
    ASSERT_NE(f, nullptr);
    flash_walk(
        f, "ROOT", -1,
        [](const char* path, const flash_stat_s* s, void* user) {
          if ((s->mode & S_IFMT) == S_IFREG) static_cast<decltype(files)*>(user)->emplace_back(path, s->size);
          return 0;
        },
        &files);
    ASSERT_GE(files.size(), 40u);
  }
  void TearDown() override {
    if (f) flash_free(f);
  }

  std::vector<uint8_t> normal(const std::string& path, uint64_t size) {
    std::vector<uint8_t> v(size);
    EXPECT_EQ(flash_pread(f, path.c_str(), v.data(), v.size(), 0), (long long)size) << path;
    return v;
  }
};

// Every file, from four threads at once, whole and at odd offsets and sizes.
TEST_P(StoredReader, ManyThreadsReadWhatTheNormalPathReads) {
  struct One {
    std::string path;
    std::vector<uint8_t> want;
    flash_stored* r;
  };
  std::vector<One> all;
  for (auto& [path, size] : files) {
    flash_stored* r = flash_stored_open(f, path.c_str());
    ASSERT_NE(r, nullptr) << path;
    all.push_back({path, normal(path, size), r});
  }
  std::atomic<int> bad{0};
  auto check = [&](unsigned seed) {
    std::mt19937 rng(seed);
    for (const One& o : all) {
      const uint64_t size = o.want.size();
      std::vector<uint8_t> got(size + 10, 0xAA);
      if (flash_stored_pread(o.r, got.data(), size + 10, 0) != (long long)size ||
          (size && std::memcmp(got.data(), o.want.data(), size) != 0))
        ++bad;
      for (int k = 0; k < 20 && size; ++k) {
        uint64_t off = rng() % size;
        size_t n = 1 + rng() % (size - off + 3);
        std::vector<uint8_t> part(n);
        long long want = (long long)std::min<uint64_t>(n, size - off);
        if (flash_stored_pread(o.r, part.data(), n, off) != want ||
            std::memcmp(part.data(), o.want.data() + off, size_t(want)) != 0)
          ++bad;
      }
      char c;
      if (flash_stored_pread(o.r, &c, 1, size) != 0 || flash_stored_pread(o.r, &c, 1, size + 12345) != 0) ++bad;
    }
  };
  std::vector<std::thread> ts;
  for (unsigned t = 0; t < 4; ++t) ts.emplace_back(check, t);
  for (auto& t : ts) t.join();
  EXPECT_EQ(bad.load(), 0);
  for (One& o : all) flash_stored_close(o.r);
}

// An edited file has no stored reader; one made before the edit still reads
// what the image stores, while the tree is edited beside it.
TEST_P(StoredReader, EditedFilesHaveNoneAndEarlierReadersKeepTheStoredBytes) {
  const std::string path = "ROOT/a/f200000";
  std::vector<uint8_t> old = normal(path, 200000);
  flash_stored* before = flash_stored_open(f, path.c_str());
  ASSERT_NE(before, nullptr);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    std::vector<uint8_t> got(old.size());
    while (!done)
      if (flash_stored_pread(before, got.data(), got.size(), 0) != (long long)old.size() || got != old) ++bad;
  });
  for (int i = 0; i < 20; ++i) {
    std::string p = "ROOT/a/b/new" + std::to_string(i);
    ASSERT_EQ(flash_put(f, p.c_str(), "x", 1, -1, -1, -1), 0);
  }
  ASSERT_EQ(flash_put(f, path.c_str(), "new", 3, -1, -1, -1), 0);
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  flash_stored_close(before);
  EXPECT_EQ(flash_stored_open(f, path.c_str()), nullptr);
  EXPECT_EQ(flash_stored_open(f, "ROOT/a/b/new3"), nullptr);  // made in memory
  EXPECT_EQ(flash_stored_open(f, "ROOT/a"), nullptr);         // a directory
  EXPECT_EQ(flash_stored_open(f, "ROOT/missing"), nullptr);
  EXPECT_EQ(flash_stored_open(f, "BOOT/x"), nullptr);  // raw partition
  flash_stored* other = flash_stored_open(f, "ROOT/a/f4097");
  EXPECT_NE(other, nullptr);
  flash_stored_close(other);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StoredReader, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& i) { return std::string(i.param.name); });

// Decode-ahead over readers of made-up files.
using rs_mount::Ahead;
using rs_mount::AheadLimits;
using rs_mount::ReadFn;

std::vector<uint8_t> content_of(const std::string& path, uint64_t size) {
  return rstest::random_bytes(size_t(size), uint32_t(std::hash<std::string>()(path)));
}

struct FakeFs {
  std::atomic<int> opened{0}, reads{0};
  std::atomic<bool> fail{false};
  int delay_ms = 0;
  std::map<std::string, uint64_t> sizes;
  rs_mount::Opener opener() {
    return [this](const std::string& p) -> ReadFn {
      auto it = sizes.find(p);
      if (it == sizes.end()) return {};
      ++opened;
      auto data = std::make_shared<std::vector<uint8_t>>(content_of(p, it->second));
      return [this, data](void* buf, size_t n, uint64_t off) -> long long {
        ++reads;
        if (delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        if (fail) return -EIO;
        if (off >= data->size()) return 0;
        n = size_t(std::min<uint64_t>(n, data->size() - off));
        std::memcpy(buf, data->data() + off, n);
        return (long long)n;
      };
    };
  }
  std::vector<std::pair<std::string, uint64_t>> after(const std::string& p) {
    std::vector<std::pair<std::string, uint64_t>> v;
    for (auto it = sizes.upper_bound(p); it != sizes.end(); ++it) v.emplace_back(*it);
    return v;
  }
};

struct AheadCase {
  const char* name;
  AheadLimits lim;
};
void PrintTo(const AheadCase& c, std::ostream* os) { *os << c.name; }

AheadLimits limits(size_t budget, size_t window, size_t file_windows, size_t ahead_bytes, size_t ahead_files,
                   unsigned threads) {
  AheadLimits l;
  l.budget = budget;
  l.window = window;
  l.file_windows = file_windows;
  l.ahead_bytes = ahead_bytes;
  l.ahead_files = ahead_files;
  l.threads = threads;
  return l;
}

const AheadCase kAhead[] = {
    {"roomy", limits(64 << 20, 1 << 20, 8, 32 << 20, 256, 0)},
    {"odd_windows", limits(1 << 20, 5000, 3, 100000, 16, 2)},
    {"tiny_budget", limits(12000, 4096, 2, 8192, 4, 3)},
};

class AheadReads : public ::testing::TestWithParam<AheadCase> {};

// Reading a directory's files in order, in the kernel's request sizes, gives
// their exact bytes whatever the limits, and the budget is never passed.
TEST_P(AheadReads, InOrderReadsGiveExactBytesWithinTheBudget) {
  FakeFs ffs;
  const uint64_t sizes[] = {0, 1, 4095, 4096, 4097, 5000, 10001, 70000, 3 << 20};
  for (size_t i = 0; i < 40; ++i) ffs.sizes["d/f" + std::to_string(100 + i)] = sizes[i % 9] + i;
  const AheadLimits lim = GetParam().lim;
  Ahead a(lim);
  for (auto& [path, size] : ffs.sizes) {
    a.schedule(path, size, 0, ffs.after(path), ffs.opener());
    std::vector<uint8_t> want = content_of(path, size), got(size);
    for (uint64_t off = 0; off < size;) {
      size_t n = size_t(std::min<uint64_t>(131072, size - off));
      size_t held = a.take(path, off, got.data() + off, n);
      a.follow(path, off + n);
      EXPECT_LE(a.held_bytes(), lim.budget);
      if (held < n) {  // what the mount reads the normal way
        std::vector<uint8_t> v = content_of(path, size);
        std::memcpy(got.data() + off + held, v.data() + off + held, n - held);
      }
      off += n;
    }
    a.forget(path);
    ASSERT_EQ(got, want) << path;
  }
  a.stop();
  EXPECT_EQ(a.held_bytes(), 0u);
}

// A piece goes out as the whole answer only where it fills the request or
// ends the file: a shorter answer mid-file would read as its end.
TEST_P(AheadReads, WholePiecesAnswerOnlyRequestsTheyFill) {
  const AheadLimits lim = GetParam().lim;
  FakeFs ffs;
  const uint64_t size = 5 * lim.window + 123;
  ffs.sizes["f"] = size;
  const std::vector<uint8_t> want = content_of("f", size);
  for (size_t n : {lim.window, 2 * lim.window, lim.window / 2 + 1}) {
    Ahead a(lim);
    a.schedule("f", size, 0, {}, ffs.opener());
    std::vector<uint8_t> got(size);
    size_t whole = 0;
    for (uint64_t off = 0; off < size; off += n) {
      const size_t k = size_t(std::min<uint64_t>(n, size - off));
      size_t len = 0;
      if (uint8_t* mem = a.take_whole("f", off, n, &len)) {
        ++whole;
        EXPECT_TRUE(len == n || off + len == size) << "n " << n << " off " << off << " len " << len;
        std::memcpy(got.data() + off, mem, std::min(len, k));
        std::free(mem);
      } else {
        size_t held = a.take("f", off, got.data() + off, k);
        std::memcpy(got.data() + off + held, want.data() + off + held, k - held);
      }
      a.follow("f", off + n);
    }
    EXPECT_EQ(got, want) << "n " << n;
    if (n == lim.window) {
      EXPECT_GT(whole, 0u);
    } else {
      EXPECT_LE(whole, 1u) << "n " << n;  // at most the piece that ends the file
    }
  }
}

// Pieces that fail to decode are not served; the caller reads normally.
TEST_P(AheadReads, FailedDecodesAreNotServed) {
  FakeFs ffs;
  ffs.sizes["x"] = 9000;
  ffs.fail = true;
  Ahead a(GetParam().lim);
  a.schedule("x", 9000, 0, {}, ffs.opener());
  std::vector<uint8_t> buf(9000);
  EXPECT_EQ(a.take("x", 0, buf.data(), buf.size()), 0u);
  EXPECT_EQ(a.take("x", 0, buf.data(), buf.size()), 0u);
}

// An edit drops everything, also what workers are still decoding: nothing
// decoded before it is served after it.
TEST_P(AheadReads, DropDiscardsWorkInFlight) {
  FakeFs ffs;
  ffs.delay_ms = 20;
  for (int i = 0; i < 6; ++i) ffs.sizes["d/" + std::to_string(i)] = 3000;
  Ahead a(GetParam().lim);
  a.schedule("d/0", 3000, 0, ffs.after("d/0"), ffs.opener());
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  a.drop();
  EXPECT_EQ(a.held_bytes(), 0u);
  EXPECT_EQ(a.pieces(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  std::vector<uint8_t> buf(3000);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(a.take("d/" + std::to_string(i), 0, buf.data(), buf.size()), 0u);
  // A file the opener has no reader for is never held.
  a.schedule("unknown", 100, 0, {}, ffs.opener());
  EXPECT_EQ(a.pieces(), 0u);
  a.stop();
  a.schedule("d/1", 3000, 0, {}, ffs.opener());  // after stop: nothing starts
  EXPECT_EQ(a.pieces(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, AheadReads, ::testing::ValuesIn(kAhead),
                         [](const ::testing::TestParamInfo<AheadCase>& i) { return std::string(i.param.name); });

}  // namespace
