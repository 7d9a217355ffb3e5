// minifs behind the file-system table, beyond the rules every table keeps
// (tests/contract): its size and name limits, all-or-nothing edits that run
// out of space, reads that decode only what they need, untouched mounted
// bytes, saves whose CRC follows a removal, and loads from a host tree that
// report what they left out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <romsmith/romsmith.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/fs_contract.h"
#include "fixture.h"
#include "minifs/internal.h"
#include "minifs/minifs.h"
#include "testutil.h"

namespace fs = std::filesystem;
using namespace minifs;

namespace {

const fs_ops& ops = minifs_fs_ops;

std::vector<uint8_t> image_of(void* dev, size_t size) {
  size_t n = 0;
  uint8_t* p = ops.rebuild(dev, &n, nullptr);
  EXPECT_NE(p, nullptr);
  std::vector<uint8_t> v(p, p + n);
  ops.release_image(p, n);
  if (size) v.resize(std::max(size, v.size()), 0xFF);
  return v;
}

// A partition of `blocks` 64 KiB blocks mounted through the table, over its own buffer.
struct Part {
  std::vector<uint8_t> buf;
  void* fs;
  explicit Part(int blocks, std::vector<uint8_t> bytes = {}) : buf(std::move(bytes)) {
    buf.resize(size_t(blocks) * 65536, 0xFF);
    fs = ops.load(buf.data(), uint32_t(buf.size()), uint32_t(buf.size()));
  }
  ~Part() { ops.release(fs); }
  // Saved and mounted afresh, as the image core does after a save.
  void remount() {
    auto img = image_of(fs, buf.size());
    ops.release(fs);
    buf = img;
    fs = ops.load(buf.data(), uint32_t(buf.size()), uint32_t(buf.size()));
  }
  int put(const std::string& p, const std::vector<uint8_t>& d, const fs_put_attr* a = nullptr) {
    return ops.put(fs, p.c_str(), d.data(), d.size(), a);
  }
  std::vector<uint8_t> get(const std::string& p) {
    fs_attr a;
    if (ops.stat(fs, p.c_str(), &a) != 0) return {};
    std::vector<uint8_t> out(a.size);
    long long n = ops.pread(fs, p.c_str(), out.data(), out.size(), 0);
    EXPECT_EQ(n, (long long)a.size) << p;
    return out;
  }
  fs_attr stat(const std::string& p) {
    fs_attr a;
    EXPECT_EQ(ops.stat(fs, p.c_str(), &a), 0) << p;
    return a;
  }
};

std::vector<uint8_t> text(size_t n, char c = 'a') {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(c + (i % 13));
  return v;
}

}  // namespace

struct Refusal {
  const char* what;
  int (*run)(Part&);
  int want;
};
class MinifsOpsRefusal : public ::testing::TestWithParam<Refusal> {};
TEST_P(MinifsOpsRefusal, GivesTheReasonAndChangesNothing) {
  Part p(8);
  ASSERT_EQ(ops.mkdir(p.fs, "/d", 0755), 0);
  ASSERT_EQ(p.put("/f", text(100)), 0);
  auto before = image_of(p.fs, 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(GetParam().run(p), GetParam().want) << GetParam().what;
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(image_of(p.fs, 0), before) << GetParam().what;
  EXPECT_EQ(p.get("/f"), text(100));
}
INSTANTIATE_TEST_SUITE_P(
    Cases, MinifsOpsRefusal,
    ::testing::Values(
        Refusal{"put of 8 MiB + 1", [](Part& p) { return p.put("/f", std::vector<uint8_t>(0x800001, 1)); }, -EFBIG},
        Refusal{"put, 33-byte name", [](Part& p) { return p.put("/" + std::string(33, 'n'), {1}); }, -ENAMETOOLONG},
        Refusal{"symlink target of 159 bytes",
                [](Part& p) { return ops.symlink(p.fs, std::string(159, 't').c_str(), "/l"); }, -ENAMETOOLONG},
        Refusal{"stat below a file",
                [](Part& p) {
                  fs_attr a;
                  return ops.stat(p.fs, "/f/x", &a);
                },
                -ENOTDIR}));

// A replace that does not fit, through put and through the old write: the
// old file stays, byte for byte, and so does the whole image.
TEST(MinifsOps, ReplaceThatDoesNotFitKeepsTheOldFile) {
  for (bool old_entry : {false, true}) {
    Part p(4);
    auto old = rstest::random_bytes(60000, 3);
    ASSERT_EQ(p.put("/cfg", old), 0);
    ASSERT_EQ(p.put("/other", text(2000)), 0);
    auto before = image_of(p.fs, 0);
    auto big = rstest::random_bytes(400000, 4);  // random: stored uncompressed, more than 4 blocks
    testing::internal::CaptureStderr();
    if (old_entry)
      EXPECT_EQ(ops.put(p.fs, "/cfg", big.data(), big.size(), nullptr), -ENOSPC);
    else
      EXPECT_EQ(p.put("/cfg", big), -ENOSPC);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("Not enougth space"), std::string::npos) << out.substr(0, 300);
    EXPECT_EQ(p.stat("/cfg").size, old.size());
    EXPECT_EQ(p.get("/cfg"), old);
    EXPECT_EQ(image_of(p.fs, 0), before);
    // The device still works after the undo, and after a save.
    EXPECT_EQ(p.put("/small", text(100)), 0);
    p.remount();
    EXPECT_EQ(p.get("/cfg"), old);
    EXPECT_EQ(p.get("/small"), text(100));
  }
  Part p(8);
  ASSERT_EQ(p.put("/f", text(10)), 0);
  std::vector<uint8_t> nine(9 << 20, 'n');
  EXPECT_EQ(ops.put(p.fs, "/f", nine.data(), nine.size(), nullptr), -EFBIG);  // never cut short to 8 MiB
  EXPECT_EQ(p.get("/f"), text(10));
}

TEST(MinifsOps, PreadDecodesOnlyTheBlocksItReads) {
  Part p(8);
  auto data = rstest::random_bytes(30000, 9);
  for (size_t i = 0; i < 8192; ++i) data[i] = uint8_t(i % 7);  // first block compressed
  ASSERT_EQ(p.put("/f", data), 0);
  for (auto [off, len] : {std::pair<size_t, size_t>{0, 30000}, {8190, 5}, {16384, 8192}, {29999, 10}, {30000, 1}}) {
    std::vector<uint8_t> buf(len);
    long long n = ops.pread(p.fs, "/f", buf.data(), len, off);
    size_t want = off >= data.size() ? 0 : std::min(len, data.size() - off);
    ASSERT_EQ(n, (long long)want) << off;
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + n, data.begin() + std::min(off, data.size()))) << off;
  }
  // Damage the third block's payload: reads of it fail with the reader's message, others still work.
  minifs_Object* o = minifs_FindObjectByName(static_cast<minifs_device*>(p.fs), "/f");
  uint32_t pos = 0;
  for (int b = 0; b < 2; ++b) {
    uint8_t h[12];
    ASSERT_EQ(minifs_ReadDataFromObject(o, h, pos, 12), 12);
    pos += 12 + (h[8] | h[9] << 8);
  }
  uint32_t chunk = (pos + 20) / kDataBytes + 1;
  int page = minifs_FindPageInFile(o, chunk, nullptr);
  ASSERT_GT(page, 0);
  auto bad = image_of(p.fs, p.buf.size());
  size_t at = size_t(page - 1) * kPageSize + (pos + 20) % kDataBytes;  // blocks are in order in a fresh image
  bad[at] ^= 0x55;
  Part q(8, bad);
  std::vector<uint8_t> buf(100);
  EXPECT_EQ(ops.pread(q.fs, "/f", buf.data(), 100, 100), 100);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ops.pread(q.fs, "/f", buf.data(), 100, 16400), -EIO);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("warning: Block CRC error"), std::string::npos);
}

// A box image whose mount finds work to do (here a page no object can own): mounting and reading must leave the bytes
// exactly as loaded, since an untouched partition is saved as it is.
TEST(MinifsOps, MountAndReadsLeaveThePartitionBytesAlone) {
  std::vector<uint8_t> bytes;
  {
    Part p(6);
    ASSERT_EQ(ops.mkdir(p.fs, "/dir", 0755), 0);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(p.put("/dir/f" + std::to_string(i % 5), text(3000 + i)), 0);
    ASSERT_EQ(p.put("/gone", text(100)), 0);
    ASSERT_EQ(ops.remove(p.fs, "/gone"), 0);
    bytes = image_of(p.fs, p.buf.size());
  }
  // A header whose directory is gone, in the first unused block: the scan deletes its page.
  size_t used = 0;
  while (used < bytes.size() && bytes[used + kDataBytes + 4] != 0xFF) used += kBlockBytes;
  ASSERT_LT(used, bytes.size());
  ObjectHeader h;
  h.name = "orphan", h.type = OBJ_FILE, h.parent_obj_id = 77, h.mode = 0644;
  h.encode(bytes.data() + used);
  PageTags tag;
  tag.chunkId = 0, tag.serialNumber = 1, tag.objectId = 200;
  tag.encode(bytes.data() + used + kDataBytes);
  Part p(6, bytes);
  const auto loaded = bytes;
  testing::internal::CaptureStdout();
  ops.ls(p.fs);
  std::vector<fs_node> w;
  EXPECT_EQ(ops.walk(p.fs, "/", &w), 0);
  for (const fs_node& n : w) {
    fs_attr a;
    EXPECT_EQ(ops.stat(p.fs, n.path.c_str(), &a), 0) << n.path;
    std::vector<uint8_t> buf(a.size + 1);
    if ((a.mode & 0170000) == 0100000) {
      EXPECT_EQ(ops.pread(p.fs, n.path.c_str(), buf.data(), buf.size(), 0), (long long)a.size);
    }
  }
  std::string said = testing::internal::GetCapturedStdout();
  EXPECT_EQ(w.size(), 7u) << said;
  auto& cow = static_cast<minifs_device*>(p.fs)->cow;
  EXPECT_GT(std::count_if(cow.begin(), cow.end(), [](const auto& b) { return bool(b); }), 0);  // the scan did write
  EXPECT_TRUE(p.buf == loaded);
  // An edit does not reach the partition bytes either: only the save does.
  ASSERT_EQ(p.put("/dir/f1", text(10)), 0);
  ASSERT_EQ(ops.remove(p.fs, "/dir/f2"), 0);
  EXPECT_TRUE(p.buf == loaded);
}

// ---- through the image core: the stored CRC follows a removal ---------------

namespace {
std::vector<uint8_t> flash_with_data(const std::vector<uint8_t>& data_part) {
  rstest::FixtureTable t;
  t.format = 4;
  rstest::FixturePart boot, table, data;
  boot.name = "BOOT", boot.start = 0, boot.total = 0x10000, boot.content = text(0x800);
  table.name = "TABLE", table.start = 0x10000, table.total = 0x10000;
  data.name = "DATA", data.start = 0x20000, data.total = 0x40000, data.type = 127, data.content = data_part;
  t.parts = {boot, table, data};
  return rstest::build_image(t, 0x60000, 0x10000);
}

partition_data* part_named(flash* f, const char* name) {
  for (int i = 0; i < f->count; ++i)
    if (std::strncmp(f->list[i].info->name, name, 8) == 0) return &f->list[i];
  return nullptr;
}
}  // namespace

class MinifsSaveAfterRemove : public ::testing::TestWithParam<int> {};
TEST_P(MinifsSaveAfterRemove, StoresTheCrcOfTheNewBytes) {
  int files = GetParam();
  std::vector<uint8_t> data;
  {
    Part p(4);
    for (int i = 0; i < files; ++i) ASSERT_EQ(p.put("/sat" + std::to_string(i) + ".db", text(700 + i)), 0);
    data = image_of(p.fs, 0);
  }
  rstest::TempDir tmp;
  rstest::ScopedCwd cwd(tmp.path());
  rstest::write_bytes("in.bin", flash_with_data(data));
  flash* f = flash_load_bin("in.bin");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(part_named(f, "DATA")->crc32_passed, 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(flash_rm(f, "DATA/sat0.db"), 1);
  ASSERT_EQ(flash_save(f, "out.bin", 0), 0);
  testing::internal::GetCapturedStdout();
  flash_free(f);
  f = flash_load_bin("out.bin");
  ASSERT_NE(f, nullptr);
  partition_data* d = part_named(f, "DATA");
  EXPECT_EQ(d->crc32_passed, 1);
  EXPECT_EQ(d->info->used_size, files == 1 ? 0u : 65536u);
  fs_attr gone;
  EXPECT_EQ(ops.stat(d->fs, "/sat0.db", &gone), -ENOENT);
  for (int i = 1; i < files; ++i) {
    std::vector<uint8_t> buf(800);
    EXPECT_EQ(flash_read(f, ("DATA/sat" + std::to_string(i) + ".db").c_str(), buf.data(), 800, 0), 700 + i);
  }
  flash_free(f);
}
INSTANTIATE_TEST_SUITE_P(Files, MinifsSaveAfterRemove, ::testing::Values(1, 3));

// ---- filling a device from a host tree --------------------------------------

struct LoadCase {
  const char* what;
  void (*make)(const std::string& src);
  const char* skipped;  // host path below src named on stderr
  const char* reason;
};
class MinifsLoadReports : public ::testing::TestWithParam<LoadCase> {};
TEST_P(MinifsLoadReports, FailsAndNamesWhatWasLeftOut) {
  const LoadCase& c = GetParam();
  rstest::TempDir t;
  std::string src = t.file("src");
  fs::create_directories(src + "/keep");
  rstest::write_text(src + "/keep/ok.txt", "fine");
  c.make(src);
  size_t size = std::string(c.what) == "no space" ? 3 * 65536 : 0x1400000;
  minifs_device* d = minifs_mount("", "/", nullptr, size, nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(minifs_load(d, src.c_str(), 1), -1) << c.what;
  std::string err = testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  EXPECT_NE(err.find(src + c.skipped), std::string::npos) << err;
  EXPECT_NE(err.find(c.reason), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  minifs_attr a;
  EXPECT_EQ(minifs_stat(d, "/keep/ok.txt", &a), 0);
  std::vector<minifs_node> w;
  ASSERT_EQ(minifs_walk(d, "/", &w), 0);
  EXPECT_EQ(w.size(), 3u);  // nothing half-stored
  minifs_umount(d);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, MinifsLoadReports,
    ::testing::Values(
        LoadCase{"too big",
                 [](const std::string& s) { rstest::write_bytes(s + "/big", std::vector<uint8_t>(9 << 20, 1)); },
                 "/big", "larger than 8 MiB"},
        LoadCase{"long name",
                 [](const std::string& s) { fs::create_directories(s + "/" + std::string(33, 'd') + "/inner"); },
                 "/ddddddddddddddddddddddddddddddddd", "name longer than 32 bytes"},
        LoadCase{"no space",
                 [](const std::string& s) { rstest::write_bytes(s + "/zz.bin", rstest::random_bytes(300000, 1)); },
                 "/zz.bin", "no space left in the minifs image"}));

// A fifo goes in as a special object; a device node (root only) is named and left out.
TEST(MinifsLoad, FifosAreStoredDeviceNodesNamed) {
  rstest::TempDir t;
  std::string src = t.file("src");
  fs::create_directories(src);
  ASSERT_EQ(::mkfifo((src + "/pipe").c_str(), 0640), 0);
  bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::mknod((src + "/null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
  }
  minifs_device* d = minifs_mount("", "/", nullptr, 0x1400000, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(minifs_load(d, src.c_str(), 1), root ? -1 : 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, root ? "warning: " + src + "/null skipped: minifs stores no device nodes\n" : "");
  minifs_attr a;
  ASSERT_EQ(minifs_stat(d, "/pipe", &a), 0);
  EXPECT_EQ(a.mode, uint32_t(S_IFIFO | 0640));
  minifs_umount(d);
}

TEST(MinifsLoad, MissingSourceIsAFailure) {
  minifs_device* d = minifs_mount("", "/", nullptr, 0x1400000, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(minifs_load(d, "/nonexistent/dir", 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: /nonexistent/dir: No such file or directory\n");
  minifs_umount(d);
}
