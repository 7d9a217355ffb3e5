// Building images from flash.conf, saving them, listings and dumps.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstring>

#include "core/flash_ops.h"
#include "core/state.h"
#include "core/table.h"
#include "fixture.h"
#include "streams.h"
#include "testutil.h"
#include "util/endian.h"
#include "util/fileio.h"

namespace {

using rstest::Image;

class Conf : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  void SetUp() override {
    rstest::write_bytes(dir.file("boot.bin"), rstest::random_bytes(0x1800, 1));
    rstest::write_bytes(dir.file("kernel.bin"), rstest::random_bytes(0x3000, 2));
    rstest::write_bytes(dir.file("dtb.bin"), rstest::random_bytes(0x100, 3));
    rstest::write_bytes(dir.file("data.bin"), rstest::random_bytes(0x20, 4));
  }
  std::string conf(const std::string& body) {
    std::string p = dir.file("flash.conf");
    rstest::write_text(p, body);
    return p;
  }
  flash* load(const std::string& body) {
    rstest::StreamCapture c;
    flash* f = flash_load_conf(conf(body).c_str());
    rstest::Streams s = c.take();
    out = s.out;
    err = s.err;
    return f;
  }
  std::string out;  // a build prints nothing on standard output
  std::string err;  // its refusals and warnings
};

TEST_F(Conf, ResolvesAutoAddressesAndSizes) {
  Image img(
      load("table_version 4\nblock_size 0x1000\ncrc32 true\n"
           "BOOT  boot.bin   true RAW ro 0 1 auto auto\n"
           "KERNEL kernel.bin true raw RW 3 0x0203 auto auto\n"
           "TABLE NULL false RAW ro 0 0 auto auto\n"
           "DATA  NULL  true MINIFS rw 0 0 auto 64K\n"));
  ASSERT_NE(img.f, nullptr) << err;
  EXPECT_EQ(img.f->count, 4);
  const uint32_t starts[] = {0, 0x2000, 0x5000, 0x10000};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(img.f->list[i].info->start_addr, starts[i]) << i;
  // Totals reach up to the next start; the flash is the sum of all of them.
  EXPECT_EQ(img.part("BOOT")->info->total_size, 0x2000u);
  EXPECT_EQ(img.part("TABLE")->info->used_size, 3072u);
  EXPECT_EQ(img.f->flash_size, 0x20000u);
  EXPECT_EQ(img.f->table_enable, 1);
  EXPECT_EQ(img.f->table_addr, 0x5000u);
  EXPECT_EQ(img.f->flash_table.version, 102);
  EXPECT_EQ(img.f->flash_table.magic, TABLE_V4_MAGIC);
  partition_data* k = img.part("kernel");
  EXPECT_EQ(k->info->mode, 1);
  EXPECT_EQ(k->info->update_tags, 3);
  EXPECT_EQ(k->info->version, 0x0203);
  EXPECT_EQ(k->info->id, 1);
  // Padding after the content is erased flash.
  EXPECT_EQ(img.part("BOOT")->buf[0x1800], 0xFF);
  EXPECT_EQ(img.part("BOOT")->buf[0x1FFF], 0xFF);
  EXPECT_EQ(img.part("TABLE")->info->crc32, 0u);
  EXPECT_EQ(img.part("DATA")->buf[0], 0xFF) << "a NULL partition still gets an erased buffer";
}

TEST_F(Conf, FlashSizeStretchesLastPartitionAndDtbPrefixesKernel) {
  Image img(
      load("flash_size 1M\ndtb_file dtb.bin\nBOOT boot.bin true RAW ro 0 0 0 0x4000\n"
           "KERNEL kernel.bin false RAW ro 0 0 0x4000 0x10\n"));
  ASSERT_NE(img.f, nullptr) << err;
  partition_data* k = img.part("KERNEL");
  EXPECT_EQ(k->info->total_size, 0x100000u - 0x4000u);
  EXPECT_EQ(k->info->used_size, 0x3100u);
  std::vector<uint8_t> dtb = rstest::random_bytes(0x100, 3);
  EXPECT_EQ(0, std::memcmp(k->buf, dtb.data(), dtb.size()));
  EXPECT_EQ(k->info->crc32, 0u) << "crc32 off in the line stores 0";
  dtb_file.clear();
}

TEST_F(Conf, ZlibmodeContainerAndTableFileNamedOnce) {
  Image img(
      load("zlibmode true\ntable_version 2\nBOOT boot.bin true RAW ro 0 0 0 0x2000\n"
           "TABLE mytable.bin false RAW ro 0 0 0x2000 0x1000\nEMPTY NULL false RAW ro 0 0 0x3000 0x1000\n"
           "DATA data.bin true RAW rw 0 0 0x4000 0x1000\n"));
  ASSERT_NE(img.f, nullptr) << err;
  EXPECT_EQ(img.part("EMPTY")->buf, nullptr) << "zlibmode keeps no buffer for a NULL partition";
  std::string out1 = dir.file("out.zlib");
  rstest::StreamCapture cap;
  ASSERT_EQ(flash_save(img.f, out1.c_str(), 1), 0);
  rstest::Streams said = cap.take();
  EXPECT_NE(said.err.find("zlibmode is ture, generate bin file in new style.\n"), std::string::npos) << said.err;
  EXPECT_EQ(said.out, "");
  std::vector<uint8_t> c = rstest::read_bytes(out1);
  ASSERT_GT(c.size(), 8u + 1024u);
  EXPECT_EQ(std::string(c.begin(), c.begin() + 8), "zlibmode");
  EXPECT_EQ(rs::load_be32(&c[8]), TABLE_V2_MAGIC);
  // Blocks in address order: BOOT and DATA, the NULL partition is absent.
  size_t at = 8 + 1024;
  const char* names[] = {"BOOT", "DATA"};
  for (const char* n : names) {
    ASSERT_LE(at + 12, c.size());
    EXPECT_STREQ(reinterpret_cast<const char*>(&c[at]), n);
    uint32_t len = rs::load_le32(&c[at + 8]);
    partition_data* p = img.part(n);
    std::vector<uint8_t> plain(p->info->partition_size);
    uLongf plen = plain.size();
    ASSERT_EQ(uncompress(plain.data(), &plen, &c[at + 12], len), Z_OK);
    EXPECT_EQ(plen, p->info->partition_size);
    EXPECT_EQ(0, std::memcmp(plain.data(), p->buf, plen));
    at += 12 + len;
  }
  EXPECT_EQ(at, c.size());
  EXPECT_TRUE(rs::path_exists(dir.file("mytable.bin")));
  EXPECT_FALSE(rs::path_exists(dir.file("table.bin")));
  testing::internal::CaptureStdout();
  ASSERT_EQ(flash_save(img.f, out1.c_str(), 1), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rstest::read_bytes(dir.file("table.bin")).size(), 1024u) << "the configured name is used once";
  init_table_sect(1);
}

TEST_F(Conf, KeyEqualsValueMeansKeyValue) {
  // As a dump's flash.conf summary writes them: the "=" is no value.
  for (const char* head : {"flash_size = 0x100000\ncrc32 = true\n", "flash_size=0x100000\ncrc32= true\n",
                           "flash_size =0x100000\ncrc32\t=\tTRUE\n"}) {
    Image img(load(std::string(head) + "BOOT boot.bin true RAW ro 0 0 0 0x2000\n"));
    ASSERT_NE(img.f, nullptr) << head << err;
    EXPECT_EQ(img.f->flash_size, 0x100000u) << head;
    EXPECT_EQ(img.f->flash_table.crc32_enable, 1) << head;
  }
  Image none(load("flash_size =\nBOOT boot.bin true RAW ro 0 0 0 0x2000\n"));
  EXPECT_EQ(none.f, nullptr);
  EXPECT_NE(err.find("\"flash_size\" has no value"), std::string::npos) << err;
  EXPECT_EQ(out, "");
}

TEST_F(Conf, FirstLineTableDoesNotEnableTable) {
  Image img(load("TABLE NULL false RAW ro 0 0 0 0x1000\nBOOT boot.bin true RAW ro 0 0 auto auto\n"));
  ASSERT_NE(img.f, nullptr);
  EXPECT_EQ(img.f->table_enable, 0);
}

TEST_F(Conf, RefusalsThatReturnNull) {
  EXPECT_EQ(load("DATA NULL false MINIFS rw 0 0 0x1000 0x1000\nDATA2 NULL false MINIFS rw 0 0 0x11000 0x10000\n"),
            nullptr);
  EXPECT_NE(err.find("minifs start address must be aligned 64K\n"), std::string::npos) << err;
  EXPECT_EQ(out, "");
  EXPECT_EQ(load("# nothing but a comment\nflash_size 1M\n"), nullptr) << "no partitions";
  EXPECT_EQ(err, "\nerror: no partition in " + dir.file("flash.conf") + "\n");
  EXPECT_EQ(load("block_size\nBOOT boot.bin\n"), nullptr) << "a key without value";
  EXPECT_EQ(err, "error: \"block_size\" has no value in " + dir.file("flash.conf") + "\n");
  rstest::Streams s =
      rstest::capture_streams([&] { EXPECT_EQ(flash_load_conf(dir.file("none.conf").c_str()), nullptr); });
  EXPECT_EQ(s.err, "error: can't open file \"" + dir.file("none.conf") + "\"!\n");
  EXPECT_EQ(s.out, "");
}

struct FatalCase {
  const char* name;
  const char* body;
  const char* message;
};

class ConfFatal : public Conf, public ::testing::WithParamInterface<FatalCase> {};

// These refusals once ended the calling process; the library now returns
// null and the one-shot mkflash still exits 1 with the designed message.
TEST_P(ConfFatal, RefusesWithoutEndingTheCallerAndMkflashExits1) {
  std::string body;
  if (GetParam().body) {
    body = GetParam().body;
  } else {
    // One line more than a v4 table holds.
    body = "table_version 4\n";
    for (int i = 0; i < 85; ++i) body += "P" + std::to_string(i) + " NULL false RAW ro 0 0 auto 0x1000\n";
  }
  std::string path = conf(body);
  flash* image = nullptr;
  rstest::Streams said = rstest::capture_streams([&] { image = flash_load_conf(path.c_str()); });
  EXPECT_EQ(image, nullptr) << GetParam().name;
  flash_free(image);
  EXPECT_NE(said.err.find(GetParam().message), std::string::npos) << said.err;
  EXPECT_EQ(said.out, "");
  rstest::RunResult r = rstest::run_command(rstest::shell_quote(ROMSMITH_BIN) + " mkflash " +
                                            rstest::shell_quote(path) + " " + rstest::shell_quote(dir.file("o.bin")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("error"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ConfFatal,
    ::testing::Values(
        FatalCase{"BlockSize", "block_size 0x2000\n", "but now block_size = 0x00002000\n"},
        FatalCase{"OutOfOrder",
                  "BOOT boot.bin true RAW ro 0 0 0x4000 0x1000\nK kernel.bin true RAW ro 0 0 0x1000 0x3000\n",
                  "error: total size BOOT  (TOTAL size < = 0x0)\n"},
        FatalCase{"OverFlash",
                  "flash_size 0x2000\nBOOT boot.bin true RAW ro 0 0 0 0x1800\nK NULL true RAW ro 0 0 0x4000 0\n",
                  "Total partition size is 16384, out flash size 8192, please check.\n"},
        FatalCase{"ContentTooBig", "BOOT boot.bin true RAW ro 0 0 0 0x1000\nD NULL true RAW ro 0 0 0x1000 0x1000\n",
                  "error: partition BOOT (FILE size = 0x1800) > (PART size = 0x1000)\n"},
        FatalCase{"ReservedOverTotal", "table_version 2\nBOOT boot.bin true RAW ro 0 0 0 0x2000 0x3000\n",
                  "(RESERVED size = 0x3000) > (TOTAL size = 0x2000)\n"},
        FatalCase{"NoSizes", "BOOT NULL true RAW ro 0 0 0 auto\n",
                  "error: The total size and used size can not auto meanwhile\n"},
        FatalCase{"TooManyForV4", nullptr, "No more than 84 the number of partitions.\n"},
        FatalCase{
            "TooMany",
            "A NULL\nB NULL\nC NULL\nD NULL\nE NULL\nF NULL\nG NULL\nH NULL\nI NULL\nJ NULL\nK NULL\nL NULL\nM NULL\n",
            "No more than 12 the number of partitions.\n"}),
    [](const auto& tp) { return std::string(tp.param.name); });

class Save : public ::testing::Test {
 protected:
  rstest::TempDir dir;
  std::string in;
  rstest::FixtureTable t = rstest::sample_table(4);
  void SetUp() override {
    in = dir.file("in.bin");
    rstest::write_bytes(in, rstest::build_image(t, 0x10000, 0xC000));
    basedir = dir.path();
  }
  void TearDown() override { basedir.assign(1, '.'); }

  // Builds the image of `conf`, adds one file to ROOT and removes another,
  // saves with a rebuild and loads the result (null on any failure).
  flash* edit_and_reload(const std::string& conf, const char* add, const std::string& local, const char* rm) {
    testing::internal::CaptureStdout();
    Image img(flash_load_conf(conf.c_str()));
    bool ok = img.f && img.part("ROOT")->fs && flash_add(img.f, add, local.c_str()) == 1 && flash_rm(img.f, rm) == 0 &&
              flash_save(img.f, dir.file("flash.bin").c_str(), 0) == 0;
    testing::internal::GetCapturedStdout();
    return ok ? flash_load_bin(dir.file("flash.bin").c_str()) : nullptr;
  }
};

TEST_F(Save, UnchangedImageRoundTripsAndTableIsReencoded) {
  std::vector<uint8_t> orig = rstest::read_bytes(in);
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  std::string out = dir.file("out.bin");
  ASSERT_EQ(flash_save(img.f, out.c_str(), 1), 0);
  std::vector<uint8_t> got = rstest::read_bytes(out);
  ASSERT_EQ(got.size(), orig.size());
  EXPECT_EQ(got, orig);
  EXPECT_EQ(rstest::read_bytes(dir.file("table.bin")),
            std::vector<uint8_t>(orig.begin() + 0xC000, orig.begin() + 0xC000 + 3072));
  // Loading what we wrote gives the same table.
  Image again(flash_load_bin(out.c_str()));
  ASSERT_NE(again.f, nullptr);
  EXPECT_EQ(again.f->flash_table.crc_verify, img.f->flash_table.crc_verify);
}

TEST_F(Save, TableThatNoPartitionCanHoldGoesWhereItWasFound) {
  // A TABLE entry too short for the table (even empty): the table is stored
  // where the loader found it, so the saved image opens again with the same table.
  for (uint32_t total : {0u, 100u}) {
    rstest::FixtureTable st = t;
    st.parts[2].total = total;
    rstest::write_bytes(in, rstest::build_image(st, 0x10000, 0xC000));
    Image img(flash_load_bin(in.c_str()));
    ASSERT_NE(img.f, nullptr);
    std::string out = dir.file("short.bin");
    testing::internal::CaptureStdout();
    ASSERT_EQ(flash_save(img.f, out.c_str(), 1), 0) << total;
    testing::internal::GetCapturedStdout();
    std::vector<uint8_t> got = rstest::read_bytes(out);
    std::vector<uint8_t> table = rstest::read_bytes(dir.file("table.bin"));
    ASSERT_EQ(table.size(), 3072u);
    EXPECT_EQ(0, std::memcmp(&got[0xC000], table.data(), table.size()));
    Image again(flash_load_bin(out.c_str()));
    ASSERT_NE(again.f, nullptr) << total;
    EXPECT_EQ(again.f->count, img.f->count);
    EXPECT_EQ(again.f->flash_table.crc_verify, img.f->flash_table.crc_verify);
  }
}

TEST_F(Save, TableWithNoPlaceLeftIsRefused) {
  // No TABLE partition, and the place the table was found is now inside
  // another partition: the save fails and says why rather than writing an
  // image nobody can open.
  rstest::FixtureTable st = t;
  st.parts[2].name = "NOTTBL";
  rstest::write_bytes(in, rstest::build_image(st, 0x10000, 0xC000));
  Image img(flash_load_bin(in.c_str()));
  ASSERT_NE(img.f, nullptr);
  partition_data* k = img.part("KERNEL");
  ASSERT_NE(k, nullptr);
  k->info->start_addr = 0xB000;
  k->info->total_size = 0x2000;
  std::string out = dir.file("none.bin");
  rstest::Streams said = rstest::capture_streams([&] { EXPECT_EQ(flash_save(img.f, out.c_str(), 1), -1); });
  EXPECT_NE(said.err.find("the image has no TABLE partition"), std::string::npos) << said.err;
  EXPECT_EQ(said.out, "");
  EXPECT_FALSE(rs::path_exists(out));
}

TEST_F(Save, UpdateChecksSizeAndKeepsReservedArea) {
  Image img(flash_load_bin(in.c_str()));
  partition_data* k = img.part("KERNEL");
  k->info->reserved_size = 0x100;
  k->info->partition_size = k->info->total_size - 0x100;
  std::memset(k->buf + k->info->partition_size, 0x5A, 0x100);
  std::vector<uint8_t> fits(k->info->partition_size, 0x11);
  ASSERT_EQ(flash_update(img.f, "kernel", fits.data(), int(fits.size())), 0);
  EXPECT_EQ(k->buf[k->info->partition_size], 0x5A);
  fits.push_back(0);
  rstest::Streams s =
      rstest::capture_streams([&] { EXPECT_EQ(flash_update(img.f, "KERNEL", fits.data(), int(fits.size())), -1); });
  EXPECT_NE(s.err.find("error: partition_update("), std::string::npos) << s.err;
  EXPECT_EQ(s.out, "");
  ASSERT_EQ(flash_update(img.f, "KERNEL", nullptr, 0), 0);
  EXPECT_EQ(k->info->used_size, 0u);
  EXPECT_EQ(k->info->crc32, 0u);
  EXPECT_EQ(k->buf[0], 0xFF);
  EXPECT_EQ(flash_update(img.f, "NOPE", nullptr, 0), -1);
}

TEST_F(Save, FailedSaveKeepsPreviousFile) {
  Image img(flash_load_bin(in.c_str()));
  std::string out = dir.file("out.bin");
  rstest::write_text(out, "previous image");
  rstest::Streams s =
      rstest::capture_streams([&] { EXPECT_EQ(flash_save(img.f, dir.file("no/such/dir/x.bin").c_str(), 1), -1); });
  EXPECT_EQ(s.err, std::string("error: ") + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(s.out, "");
  pid_t pid = fork();
  if (pid == 0) {
    struct rlimit rl = {0x8000, 0x8000};
    setrlimit(RLIMIT_FSIZE, &rl);
    signal(SIGXFSZ, SIG_IGN);
    _exit(flash_save(img.f, out.c_str(), 1) == -1 ? 0 : 1);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "a cut write was reported as success";
  EXPECT_EQ(rstest::read_text(out), "previous image");
}

TEST_F(Save, ListingColumnsAndSizes) {
  char s[32];
  EXPECT_STREQ(get_size_str(s, 1048575), "1024.00 KB");
  EXPECT_STREQ(get_size_str(s, 1048576), "  1.00 MB");
  EXPECT_STREQ(get_size_str(s, 1023), "  1023  B");
  t.parts[3].bad_crc = true;
  rstest::write_bytes(in, rstest::build_image(t, 0x10000, 0xC000));
  Image img(flash_load_bin(in.c_str()));
  testing::internal::CaptureStdout();
  flash_printf(img.f);
  std::string o = testing::internal::GetCapturedStdout();
  EXPECT_NE(o.find("Flase Size          :   64.00 KB\n"), std::string::npos) << o;
  EXPECT_NE(o.find("Partition MAX Count :  84\n"), std::string::npos);
  EXPECT_NE(o.find("ID NAME       FS           CRC32  UPDATE VERION   START TOTAL_SIZE  MAIN_SIZE  USED_SIZE   USE"
                   "%  RES_SIZE OK\n"),
            std::string::npos)
      << o;
  // TABLE has CRC 0 (eight blanks); DATA failed its CRC (no star).
  EXPECT_NE(o.find("2  TABLE   RO RAW                      0      0 0000c000   4.00 KB    4.00 KB      0  B   0.0%     "
                   "  0  B  *\n"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("     16  B   0.1%       0  B   \n"), std::string::npos) << o;
}

TEST_F(Save, DumpWritesPartitionsAndSummary) {
  Image img(flash_load_bin(in.c_str()));
  std::string out = dir.file("dump");
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  rstest::Streams dumped = rstest::capture_streams([&] { EXPECT_EQ(flash_dump(img.f, out.c_str()), 0); });
  // The summary table is the dump's listing; a clean dump says nothing else.
  EXPECT_EQ(dumped.out.rfind("ID NAME", 0), 0u) << dumped.out;
  EXPECT_EQ(dumped.err, "");
  rstest::Streams said =
      rstest::capture_streams([&] { EXPECT_EQ(flash_partition_dump(img.f, "nope", dir.file("x").c_str()), -1); });
  EXPECT_EQ(said.err, "error: nope not exist!\n");
  EXPECT_EQ(said.out, "");
  EXPECT_FALSE(rs::path_exists(dir.file("x")));
  EXPECT_EQ(rstest::read_bytes(out + "/BIN.KERNEL"), t.parts[1].content);
  EXPECT_EQ(
      rstest::read_text(out + "/flash.conf")
          .rfind(
              // Every setting a build reads, so that mkflash of it rebuilds the image.
              "flash_size\t= 0x10000\nblock_size\t= 0x1000\ntable_version\t= 4\ntable_enable\t= TRUE\n"
              "write_protect\t= FALSE\ncrc32\t= TRUE\n\nBOOT      BIN.BOOT",
              0),
      0u);
  ASSERT_EQ(flash_partition_dump(img.f, "boot", dir.file("boot.bin").c_str()), 0);
  EXPECT_EQ(rstest::read_bytes(dir.file("boot.bin")), t.parts[0].content);
}

TEST_F(Save, SquashfsPartitionEditedAndRebuilt) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs not installed";
  std::string src = dir.file("rootdir");
  ASSERT_EQ(rstest::run_command("mkdir -p " + src + "/etc && echo hello > " + src + "/etc/motd").status, 0);
  ASSERT_EQ(
      rstest::run_command("mksquashfs " + src + " " + dir.file("root.sqfs") + " -comp xz -quiet -no-progress").status,
      0);
  rstest::write_text(dir.file("new.txt"), "added file\n");
  std::string c = dir.file("flash.conf");
  rstest::write_text(
      c,
      "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
      "ROOT root.sqfs true SQUASHFS ro 0 0 0x10000 0x40000\nTABLE NULL false RAW ro 0 0 0x50000 0x1000\n");
  Image back(edit_and_reload(c, "ROOT//etc/new.txt", dir.file("new.txt"), "root//etc/motd"));
  ASSERT_NE(back.f, nullptr);
  partition_data* r = back.part("ROOT");
  EXPECT_EQ(r->crc32_passed, 1);
  char buf[64] = {};
  EXPECT_EQ(flash_read(back.f, "ROOT//etc/new.txt", buf, sizeof buf, 0), 11);
  EXPECT_STREQ(buf, "added file\n");
  EXPECT_EQ(flash_read(back.f, "ROOT//etc/motd", buf, sizeof buf, 0), 0);
  EXPECT_EQ(flash_read(back.f, "BOOT//x", buf, sizeof buf, 0), -1) << "raw partitions hold no files";
  EXPECT_EQ(flash_read(back.f, "nopartition", buf, sizeof buf, 0), -1);
  init_table_sect(1);
}

// A rebuild taken as the partition's buffer (not copied into the view of the
// file) still gives the designed bytes: erased flash behind the image, the
// area past the main area as it was, and a buffer the next edit and save use.
TEST_F(Save, RebuiltImageTakenAsThePartitionBuffer) {
  if (!rstest::have_tool("mksquashfs")) GTEST_SKIP() << "mksquashfs not installed";
  std::string src = dir.file("rootdir");
  ASSERT_EQ(rstest::run_command("mkdir -p " + src + "/etc && head -c 300000 /dev/urandom > " + src + "/etc/blob").status, 0);
  ASSERT_EQ(rstest::run_command("mksquashfs " + src + " " + dir.file("root.sqfs") + " -quiet -no-progress").status, 0);
  rstest::write_text(dir.file("flash.conf"),
                     "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                     "ROOT root.sqfs true SQUASHFS ro 0 0 0x10000 0x80000\nTABLE NULL false RAW ro 0 0 0x90000 0x1000\n");
  {
    Image made(flash_load_conf(dir.file("flash.conf").c_str()));
    ASSERT_NE(made.f, nullptr);
    ASSERT_EQ(flash_save(made.f, dir.file("a.bin").c_str(), 0), 0);
  }
  rstest::write_text(dir.file("new.txt"), "added file\n");
  Image img(flash_load_bin(dir.file("a.bin").c_str()));
  ASSERT_NE(img.f, nullptr);
  partition_data* r = img.part("ROOT");
  r->info->partition_size = r->info->total_size - 0x1000;
  std::memset(r->buf + r->info->partition_size, 0x5A, 0x1000);
  ASSERT_EQ(flash_add(img.f, "ROOT//etc/new.txt", dir.file("new.txt").c_str()), 1);
  ASSERT_EQ(flash_save(img.f, dir.file("b.bin").c_str(), 0), 0);
  r = img.part("ROOT");
  EXPECT_EQ(r->buf[r->info->used_size], 0xFF);
  EXPECT_EQ(r->buf[r->info->partition_size - 1], 0xFF);
  EXPECT_EQ(r->buf[r->info->partition_size], 0x5A);
  EXPECT_EQ(r->buf[r->info->total_size - 1], 0x5A);
  std::vector<uint8_t> file = rstest::read_bytes(dir.file("b.bin"));
  ASSERT_EQ(file.size(), 0x91000u);
  EXPECT_TRUE(std::equal(r->buf, r->buf + r->info->total_size, file.begin() + 0x10000)) << "written as held";
  // The adopted buffer carries the next edit.
  ASSERT_EQ(flash_rm(img.f, "ROOT//etc/blob"), 0);
  ASSERT_EQ(flash_save(img.f, dir.file("c.bin").c_str(), 0), 0);
  Image back(flash_load_bin(dir.file("c.bin").c_str()));
  ASSERT_NE(back.f, nullptr);
  EXPECT_EQ(back.part("ROOT")->crc32_passed, 1);
  char buf[64] = {};
  EXPECT_EQ(flash_read(back.f, "ROOT//etc/new.txt", buf, sizeof buf, 0), 11);
  EXPECT_EQ(flash_read(back.f, "ROOT//etc/blob", buf, sizeof buf, 0), 0) << "gone";
  EXPECT_EQ(back.part("ROOT")->buf[back.part("ROOT")->info->total_size - 1], 0x5A);
}

TEST_F(Save, CramfsPartitionKeepsEverythingThroughARebuild) {
  if (!rstest::have_tool("mkfs.cramfs") || !rstest::have_tool("fsck.cramfs"))
    GTEST_SKIP() << "cramfs tools not installed";
  std::string src = dir.file("rootdir");
  ASSERT_EQ(rstest::run_command("mkdir -p " + src + "/dvb/theme " + src + "/bin && echo '<keymap/>' > " + src +
                                "/dvb/theme/keymap.xml && printf '#!/bin/sh\\n' > " + src + "/bin/rcS && chmod 755 " +
                                src + "/bin/rcS && ln -s rcS " + src + "/bin/init && mkfs.cramfs " + src + " " +
                                dir.file("root.cramfs") + " >/dev/null")
                .status,
            0);
  rstest::write_text(dir.file("panel.xml"), "<config/>\n");
  std::string c = dir.file("flash.conf");
  rstest::write_text(
      c,
      "table_version 2\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x1000\n"
      "ROOT root.cramfs true CRAMFS ro 0 0 0x1000 0x20000\nTABLE NULL false RAW ro 0 0 0x21000 0x1000\n");
  Image back(edit_and_reload(c, "ROOT//dvb/theme/panel.xml", dir.file("panel.xml"), "ROOT//dvb/theme/keymap.xml"));
  ASSERT_NE(back.f, nullptr);
  partition_data* r = back.part("ROOT");
  EXPECT_EQ(r->crc32_passed, 1);
  // The main area behind the new image is erased flash.
  EXPECT_EQ(r->buf[r->info->used_size], 0xFF);
  EXPECT_EQ(r->buf[r->info->partition_size - 1], 0xFF);
  char buf[64] = {};
  EXPECT_EQ(flash_read(back.f, "rOOT//dvb/theme/panel.xml", buf, sizeof buf, 0), 10);
  EXPECT_EQ(flash_read(back.f, "ROOT//dvb/theme/keymap.xml", buf, sizeof buf, 0), 0);
  // The rebuilt image passes the outside checker and keeps the link and modes.
  rstest::write_bytes(dir.file("out.cramfs"), std::vector<uint8_t>(r->buf, r->buf + r->info->used_size));
  ASSERT_EQ(rstest::run_command("fsck.cramfs --extract=" + dir.file("x") + " " + dir.file("out.cramfs")).status, 0);
  EXPECT_EQ(rstest::run_command("readlink " + dir.file("x/bin/init")).out, "rcS\n");
  EXPECT_EQ(rstest::run_command("stat -c %a " + dir.file("x/bin/rcS")).out, "755\n");
  // Writing into a cramfs partition whose image did not load fails.
  std::memset(r->buf, 0, 64);
  ASSERT_EQ(flash_update(back.f, "ROOT", r->buf, int(r->info->used_size)), 0);
  rstest::StreamCapture cap;
  EXPECT_EQ(r->fs, nullptr);
  EXPECT_EQ(flash_write(back.f, "ROOT//a", "x", 1), -1);
  std::string dumpdir = dir.file("dump");
  ASSERT_EQ(mkdir(dumpdir.c_str(), 0755), 0);
  flash_dump(back.f, dumpdir.c_str());
  rstest::Streams s = cap.take();
  EXPECT_NE(s.err.find("cramfs_load_memory error.\n"), std::string::npos) << s.err;
  EXPECT_EQ(s.out.find("cramfs_load_memory"), std::string::npos) << s.out;
  EXPECT_TRUE(rs::path_exists(dumpdir + "/BIN.ROOT"));
  init_table_sect(1);
}

}  // namespace
