// Every input the fuzzers found a fault with, kept under regress/ and named
// <kind>-<what>.<ext>; each goes through the real program the way its kind is
// used, and must be handled like any other bad input.
//   image, cramfs, minifs, squashfs, table: opened (inside an image where it is
//     a part) and listed, dumped and saved by one session;
//   merge: split; conf: built with mkflash; shell: its lines typed into a session.
// Edit sessions (<fs>_roundtrip), KeyPorter inputs (keyporter) and MiniDB files
// (minidb) are replayed by their own harness instead (the replay_* tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include <romsmith/romsmith.h>

#include "common.h"

namespace fs = std::filesystem;

namespace {

const std::set<std::string> kHarnessOnly = {"cramfs_roundtrip", "squashfs_roundtrip", "minifs_roundtrip",
                                            "keyporter", "minidb"};

std::string kind_of(const std::string& name) { return name.substr(0, name.find('-')); }

std::vector<std::string> regress_files() {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(std::string(ROMSMITH_SOURCE_DIR) + "/tests/hardening/regress", ec))
    if (e.is_regular_file() && e.path().filename().string()[0] != '.' &&
        !kHarnessOnly.count(kind_of(e.path().filename().string())))
      out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class Regress : public ::testing::TestWithParam<std::string> {};

// A child that ends by itself in time and without a signal.
std::string ended_well(const rstest::RunResult& r) {
  if (r.status == 124 || r.status == 128 + 9) return "ran too long";
  if (r.status > 128 && r.status < 128 + 65) return "ended by signal " + std::to_string(r.status - 128);
  if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos)
    return "sanitizer report:\n" + r.err;
  return "";
}

TEST_P(Regress, HandledAsBadInput) {
  const std::string name = GetParam();
  const std::string kind = kind_of(name);
  std::vector<uint8_t> bytes = rstest::read_bytes(std::string(ROMSMITH_SOURCE_DIR) + "/tests/hardening/regress/" + name);
  rstest::TempDir dir;
  if (kind == "image") {
    EXPECT_EQ(hardening::check_script_run(dir.path(), bytes), "");
  } else if (kind == "cramfs" || kind == "minifs" || kind == "squashfs" || kind == "romfs" || kind == "jffs2") {
    int8_t type = int8_t(kind == "cramfs"   ? FS_CRAMFS
                         : kind == "minifs" ? FS_MINIFS
                         : kind == "romfs"  ? FS_ROMFS
                         : kind == "jffs2"  ? FS_JFFS2
                                            : FS_SQUASHFS);
    EXPECT_EQ(hardening::check_script_run(dir.path(), hardening::image_with(bytes, type)), "");
  } else if (kind == "table") {
    std::vector<uint8_t> img = hardening::whole_image();
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 3072), img.begin() + hardening::kTableAt);
    EXPECT_EQ(hardening::check_script_run(dir.path(), img), "");
  } else if (kind == "merge") {
    rstest::write_bytes(dir.file("in.merge"), bytes);
    rstest::RunResult r = hardening::run("split in.merge out", "", dir.path());
    EXPECT_EQ(ended_well(r), "") << r.out;
    for (const auto& e : fs::directory_iterator(dir.path()))
      EXPECT_TRUE(e.path().filename() == "in.merge" || e.path().filename() == "out") << e.path();
  } else if (kind == "conf") {
    rstest::write_bytes(dir.file("flash.conf"), bytes);
    rstest::RunResult r = hardening::run("mkflash flash.conf out.bin", "", dir.path());
    EXPECT_EQ(ended_well(r), "") << r.out;
  } else if (kind == "shell") {
    rstest::write_bytes(dir.file("img.bin"), hardening::whole_image());
    std::string lines(bytes.begin(), bytes.end());
    rstest::RunResult r = hardening::run("", "open img.bin\n" + lines + "\nhelp cat\nquit\n", dir.path());
    EXPECT_EQ(ended_well(r), "") << r.out;
  } else {
    FAIL() << "unknown regression kind " << kind;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, Regress, ::testing::ValuesIn(regress_files()),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                           std::string n = i.param;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Regress);

}  // namespace
