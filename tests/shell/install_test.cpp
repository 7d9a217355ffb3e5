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

}  // namespace
