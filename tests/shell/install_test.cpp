// An install into a prefix chosen at install time is usable from there:
// pkg-config finds its header and library, the manual page and the
// completion land where man and bash look.
#include <gtest/gtest.h>

#include <filesystem>

#include "testutil.h"

namespace {

namespace fs = std::filesystem;

TEST(Install, PkgConfigNamesThePrefixGivenAtInstallTime) {
  if (!rstest::have_tool("pkg-config") || !rstest::have_tool("cc") || !rstest::have_tool("cmake"))
    GTEST_SKIP() << "pkg-config, cc or cmake is not installed";
  rstest::TempDir d;
  std::string build = fs::path(ROMSMITH_BIN).parent_path().string();
  std::string prefix = d.file("pre fix");
  rstest::RunResult r =
      rstest::run_command("cmake --install " + rstest::shell_quote(build) + " --prefix " + rstest::shell_quote(prefix));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string pcdir;
  for (const auto& e : fs::recursive_directory_iterator(prefix))
    if (e.path().filename() == "romsmith.pc") pcdir = e.path().parent_path().string();
  ASSERT_FALSE(pcdir.empty());
  EXPECT_TRUE(fs::exists(prefix + "/share/man/man1/romsmith.1"));
  EXPECT_TRUE(fs::exists(prefix + "/share/bash-completion/completions/romsmith"));

  rstest::write_text(d.file("t.c"),
                     "#include <romsmith/romsmith.h>\n#include <stdio.h>\n"
                     "int main(void) { printf(\"%d\\n\", flash_load_bin(\"/nonexistent\") == NULL); return 0; }\n");
  std::string env = "PKG_CONFIG_PATH=" + rstest::shell_quote(pcdir) + " ";
  r = rstest::run_command(env + "pkg-config --variable=includedir romsmith");
  EXPECT_EQ(r.out, prefix + "/include\n") << r.err;
  // The prefix has a space: the flags are word-split by the shell, so build
  // them from the variables.
#ifdef ROMSMITH_SANITIZED
  const std::string cc = "cc -fsanitize=address,undefined ";
#else
  const std::string cc = "cc ";
#endif
  r = rstest::run_command(env + cc + "t.c -o t -I\"$(" + env + "pkg-config --variable=includedir romsmith)\" -L\"$(" +
                              env + "pkg-config --variable=libdir romsmith)\" -lromsmith && LD_LIBRARY_PATH=\"$(" +
                              env + "pkg-config --variable=libdir romsmith)\" ./t",
                          "", d.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("1\n"), std::string::npos) << r.out;
}

// One install into a prefix with a space serves the tests below.
class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new rstest::TempDir;
    prefix_ = dir_->file("pre fix");
    std::string build = fs::path(ROMSMITH_BIN).parent_path().string();
    if (rstest::have_tool("cmake"))
      installed_ = rstest::run_command("cmake --install " + rstest::shell_quote(build) + " --prefix " +
                                       rstest::shell_quote(prefix_))
                       .status == 0;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!rstest::have_tool("cmake")) GTEST_SKIP() << "cmake is not installed";
    ASSERT_TRUE(installed_) << "cmake --install into " << prefix_ << " failed";
  }
  static std::string build_dir() { return fs::path(ROMSMITH_BIN).parent_path().string(); }
  static std::string pc_env() {
    return "PKG_CONFIG_PATH=" + rstest::shell_quote(fs::path(pc_file()).parent_path().string()) + " ";
  }
  static std::string pc_file() {
    for (const auto& e : fs::recursive_directory_iterator(prefix_))
      if (e.path().filename() == "romsmith.pc") return e.path().string();
    return "";
  }
  static inline rstest::TempDir* dir_ = nullptr;
  static inline std::string prefix_;
  static inline bool installed_ = false;
};

// The flags themselves, as a Makefile or `eval` takes them, survive the space.
TEST_F(Installed, PkgConfigFlagsCompileAndLinkAgainstThePrefix) {
  if (!rstest::have_tool("pkg-config") || !rstest::have_tool("cc")) GTEST_SKIP() << "pkg-config or cc is not installed";
  ASSERT_FALSE(pc_file().empty());
  rstest::TempDir d;
  rstest::write_text(d.file("t.c"),
                     "#include <romsmith/romsmith.h>\n#include <stdio.h>\n"
                     "int main(void) { printf(\"%d\\n\", flash_load_bin(\"/nonexistent\") == NULL); return 0; }\n");
#ifdef ROMSMITH_SANITIZED
  const std::string cc = "cc -fsanitize=address,undefined";
#else
  const std::string cc = "cc";
#endif
  rstest::RunResult r = rstest::run_command(pc_env() + "pkg-config --cflags --libs romsmith");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("-I" + std::string(dir_->path()) + "/pre\\ fix/include"), std::string::npos) << r.out;
  r = rstest::run_command("eval \"" + cc + " t.c -o t $(" + pc_env() + "pkg-config --cflags --libs romsmith)\" && " +
                              "LD_LIBRARY_PATH=" + rstest::shell_quote(prefix_ + "/lib") + " ./t",
                          "", d.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(r.out.size() >= 2 && r.out.compare(r.out.size() - 2, 2, "1\n") == 0) << r.out;
}

// Started from the prefix with no library path set, KeyPorter binds the
// installed library by its versioned name (the plain name is a development
// link a runtime install may lack) and still ends cleanly on a signal.
TEST_F(Installed, KeyPorterFindsTheInstalledLibraryByItsVersionedName) {
  std::string kp = prefix_ + "/bin/KeyPorter";
  if (!fs::exists(kp)) GTEST_SKIP() << "KeyPorter is not built (ROMSMITH_GUI off)";
  rstest::TempDir d;
  fs::create_directories(d.file("tmp"));
  std::string devlink = prefix_ + "/lib/libromsmith.so", moved = prefix_ + "/lib/dev-link";
  ASSERT_TRUE(fs::is_symlink(devlink));
  fs::rename(devlink, moved);
  const std::string script =
      "env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen TMPDIR=\"$PWD/tmp\" ASAN_OPTIONS=detect_leaks=0 " +
      rstest::shell_quote(kp) +
      " 2>kp.err & pid=$!\n"
      "found=no; i=0\n"
      "while [ $i -lt 400 ]; do\n"
      "  if grep -F " +
      rstest::shell_quote(prefix_ + "/lib/libromsmith.so.2") +
      " /proc/$pid/maps >/dev/null 2>&1; then found=yes; break; fi\n"
      "  sleep 0.05; i=$((i + 1))\n"
      "done\n"
      "kill -TERM $pid; wait $pid; echo \"status=$? found=$found\"\n";
  rstest::write_text(d.file("start.sh"), script);
  rstest::RunResult r = rstest::run_command("sh start.sh", "", d.path());
  fs::rename(moved, devlink);
  EXPECT_EQ(r.out, "status=0 found=yes\n") << r.err << rstest::read_text(d.file("kp.err"));
}

// The installed program starts without the libraries only some commands need,
// and loads the mount module from the prefix when asked to mount.
TEST_F(Installed, ProgramLoadsMountAndArchiveLibrariesOnlyWhenUsed) {
  const std::string rs = rstest::shell_quote(prefix_ + "/bin/romsmith");
  rstest::RunResult r = rstest::run_command("env -u LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1 " + rs);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("libromsmith.so.2"), std::string::npos) << r.out;
  for (const char* lib : {"libarchive", "libfuse3", "libedit"}) EXPECT_EQ(r.out.find(lib), std::string::npos) << r.out;
  r = rstest::run_command("env -u LD_LIBRARY_PATH " + rs + " mount");
  EXPECT_NE(r.status, 0);
  if (fs::exists(build_dir() + "/romsmith-mount.so"))
    EXPECT_NE(r.err.find("usage: romsmith mount"), std::string::npos) << r.err;
}

}  // namespace
