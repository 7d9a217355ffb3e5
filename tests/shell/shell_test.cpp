// The shell is driven as users drive it: the real program, lines on its input.
#include <gtest/gtest.h>

#include "testutil.h"

namespace {

rstest::RunResult romsmith(const std::string& args, const std::string& input = "", const std::string& cwd = "") {
  return rstest::run_command(rstest::shell_quote(ROMSMITH_BIN) + " " + args, input, cwd);
}

int count_of(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

TEST(Shell, HelpListsTableInOrder) {
  rstest::RunResult r = romsmith("help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count_of(r.out, "\n"), 32);
  EXPECT_EQ(r.out.rfind("\thelp [cmd]\n\tmkcramfs <directory> <image file>\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\tsplit <.merge file> [output dir]\n\tclear <partition name>\n\tquit/exit/q\n"),
            std::string::npos);
  EXPECT_EQ(romsmith("help ls").out, "\tls <partition>\n");
  EXPECT_EQ(romsmith("help l").out, "no such command\n") << "help takes whole words only";
  EXPECT_EQ(romsmith("help a b").out, r.out) << "more than one argument lists everything";
}

TEST(Shell, InteractiveLookupAndQuitWords) {
  for (const char* quit : {"QUIT", "Exit", "q", "  quit  "}) {
    rstest::RunResult r = romsmith("", std::string("help ls\n") + quit + "\nhelp cat\n");
    EXPECT_EQ(r.out, ">> \tls <partition>\n>> ") << quit;
    EXPECT_EQ(r.status, 0);
  }
  rstest::RunResult r = romsmith("", "Help\n     \nlsx\nh ls\nquit now\n");
  EXPECT_EQ(r.out,
            ">> not found command: Help\n>> >> not found command: lsx\n>> \tls <partition>\n"
            ">> not found command: quit\n>> ");
}

TEST(Shell, PrefixesPickTheFirstCommandInTable) {
  // "d" is dump (needs an image), "h" is help, "he\tx" keeps the tab in the word.
  rstest::RunResult r = romsmith("", "h\tx\nhel cat\n");
  EXPECT_EQ(r.out, ">> not found command: h\tx\n>> \tcat <filename>\n>> ");
  // The program path before the command word is dropped at both kinds of separator.
  EXPECT_EQ(romsmith("", "C:\\tools\\help cat\n/usr/bin/help cat\n").out, ">> \tcat <filename>\n>> \tcat <filename>\n>> ");
}

TEST(Shell, LongLinesAreReadInPieces) {
  // 254 characters fill one read; what follows is the next command line.
  std::string line = "help" + std::string(250, ' ') + "help cat\n";
  rstest::RunResult r = romsmith("", line);
  EXPECT_EQ(count_of(r.out, "\tquit/exit/q\n"), 1) << r.out;
  EXPECT_NE(r.out.find("\tcat <filename>\n"), std::string::npos);
}

TEST(Shell, StartedUnderCommandName) {
  rstest::TempDir d;
  ASSERT_EQ(rstest::run_command("ln -s " + rstest::shell_quote(ROMSMITH_BIN) + " " + d.file("help")).status, 0);
  rstest::RunResult r = rstest::run_command(rstest::shell_quote(d.file("help")) + " cat");
  EXPECT_EQ(r.out, "running " + d.file("help") + "\n\tcat <filename>\n");
  // An unknown first argument starts the prompt instead, silently.
  EXPECT_EQ(romsmith("nosuchword", "q\n").out, ">> ");
}

}  // namespace
