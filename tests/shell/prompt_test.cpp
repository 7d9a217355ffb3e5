// The prompt as a person types at it (through a pseudo-terminal) and as a
// script pipes into it, one-shot words, and -o IMAGE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

using rstest::RunResult;
using rstest::shell_quote;

bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

int count_of(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

// Runs the program on a pseudo-terminal, typing `input` ahead; the transcript
// (echo included) is the output, the program's status the status.
const char kPtyDriver[] = R"(import os, pty, select, signal, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
data = sys.stdin.buffer.read()
out, sent, deadline = b'', 0, time.time() + 60
while time.time() < deadline:
    r, w, _ = select.select([fd], [fd] if sent < len(data) else [], [], 0.1)
    if w:
        sent += os.write(fd, data[sent:sent + 64])
    if r:
        try:
            d = os.read(fd, 65536)
        except OSError:
            break
        if not d:
            break
        out += d
else:
    os.kill(pid, signal.SIGKILL)
_, st = os.waitpid(pid, 0)
sys.stdout.write(out.decode(errors='replace').replace('\r\n', '\n'))
sys.exit(os.WEXITSTATUS(st) if os.WIFEXITED(st) else 128 + os.WTERMSIG(st))
)";

enum class Input { pipe, terminal };
const char* input_name(Input i) { return i == Input::pipe ? "Pipe" : "Terminal"; }

// A flash image with a cramfs ROOT holding etc/issue, and two host files.
class PromptBox : public ::testing::Test {
 protected:
  rstest::TempDir dir;

  void SetUp() override {
    ASSERT_EQ(rstest::run_command("mkdir -p tree/etc && printf 'hi\\n' > tree/etc/issue", "", dir.path()).status, 0);
    rstest::write_text(dir.file("f x"), "new file");
    rstest::write_text(dir.file("a.bin"), "boot one");
    rstest::write_text(dir.file("b.bin"), "boot two");
    rstest::write_text(dir.file("flash.conf"),
                       "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                       "ROOT root.img true CRAMFS rw 0 0 0x10000 0x100000\n"
                       "TABLE NULL false RAW ro 0 0 0x110000 0x10000\n");
    RunResult r = run("mkcramfs tree root.img");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = run("mkflash flash.conf flash.bin");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }

  RunResult run(const std::string& args, const std::string& input = "") {
    return rstest::run_command(shell_quote(ROMSMITH_BIN) + " " + args, input, dir.path());
  }

  // The prompt fed `lines` through a pipe or typed on a terminal.
  RunResult prompt(const std::string& lines, Input how = Input::pipe, const std::string& args = "") {
    if (how == Input::pipe) return run(args, lines);
    rstest::write_text(dir.file("drive_pty.py"), kPtyDriver);
    return rstest::run_command("python3 drive_pty.py " + shell_quote(ROMSMITH_BIN) + (args.empty() ? "" : " " + args),
                               lines, dir.path());
  }
};

// ---- commands that end one-shot calls -----------------------------------------

struct SessionCase {
  const char* name;
  const char* line;
  const char* shows;  // what the command prints, if anything
  const char* says;   // its message on standard error, if any
};

void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.line; }
void PrintTo(Input i, std::ostream* os) { *os << input_name(i); }

class SessionKeepsEdits : public PromptBox, public ::testing::WithParamInterface<std::tuple<SessionCase, Input>> {};

TEST_P(SessionKeepsEdits, CommandRunsAndTheEditIsStillThereToSave) {
  const SessionCase& c = std::get<0>(GetParam());
  Input how = std::get<1>(GetParam());
  if (how == Input::terminal && !rstest::have_tool("python3")) GTEST_SKIP() << "python3 is needed for the terminal";
  ASSERT_EQ(rstest::run_command("cp flash.bin copy.bin", "", dir.path()).status, 0);
  RunResult r = prompt(std::string("open flash.bin\nadd \"ROOT/etc/a b\" \"f x\"\n") + c.line +
                           "\ncat \"ROOT/etc/a b\"\nsave out.bin\nquit\n",
                       how);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  size_t shown = *c.shows ? r.out.rfind(c.shows) : 0;
  ASSERT_NE(shown, std::string::npos) << r.out;
  // A terminal shows both streams in one transcript; a pipe keeps them apart.
  if (*c.says && how == Input::pipe) {
    EXPECT_TRUE(contains(r.err, c.says)) << r.err;
    EXPECT_FALSE(contains(r.out, c.says)) << r.out;
  } else if (*c.says) {
    EXPECT_TRUE(contains(r.out, c.says)) << r.out;
  }
  EXPECT_NE(r.out.find("new file", shown), std::string::npos) << "the edit is gone after " << c.line << ":\n" << r.out;
  EXPECT_FALSE(contains(r.out + r.err, "unsaved edits")) << "the save counts";
  // The saved image holds the edit: the session went on to the save.
  RunResult saved = run("-o out.bin cat 'ROOT/etc/a b'");
  EXPECT_EQ(saved.out, "new file\n") << saved.err;
}

INSTANTIATE_TEST_SUITE_P(
    Prompt, SessionKeepsEdits,
    ::testing::Combine(::testing::Values(SessionCase{"Version", "version", "romsmith branch version:", ""},
                                         SessionCase{"Info", "info", "rominfo complier para:", ""},
                                         SessionCase{"SplitFails", "split 'f x'", "", "is not merge file."},
                                         SessionCase{"Release", "release copy.bin rel-1", "", ""},
                                         SessionCase{"Unrelease", "unrelease copy.bin", "", ""}),
                       ::testing::Values(Input::pipe, Input::terminal)),
    [](const auto& p) { return std::string(std::get<0>(p.param).name) + input_name(std::get<1>(p.param)); });

TEST_F(PromptBox, TerminalHasLineEditingAndHistory) {
  if (!rstest::have_tool("python3")) GTEST_SKIP() << "python3 is needed for the terminal";
  // Up arrow brings the last line back; Ctrl-A goes to the start of the line.
  RunResult r = prompt("help cat\n\x1b[A\nelp ls\x01h\nq\n", Input::terminal);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count_of(r.out, "\tcat <filename>\n"), 2) << r.out;
  EXPECT_TRUE(contains(r.out, "\tls <partition>\n")) << r.out;
}

// ---- words ----------------------------------------------------------------------

TEST_F(PromptBox, QuotedAndEscapedNames) {
  RunResult r = prompt(
      "open flash.bin\n"
      "add \"ROOT/etc/a b\" 'f x'\n"
      "cat 'ROOT/etc/a b'\n"
      "cat ROOT/etc/a\\ b   # the same file\n"
      "ls ROOT\n");
  EXPECT_EQ(count_of(r.out, "new file\n"), 2) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "a b\t\t(8)")) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST_F(PromptBox, WordRulesOfThePrompt) {
  struct Case {
    const char* line;
    const char* out;  // the whole output of the line after its prompt
    const char* err;  // the whole of standard error
  } cases[] = {
      {"help 'cat'", "\tcat <filename>\n", ""},
      {"help \"c\"a't'", "\tcat <filename>\n", ""},
      {"help cat # comment", "\tcat <filename>\n", ""},
      {"# only a comment", "", ""},
      {"help \\\ncat", "> \tcat <filename>\n", ""},
      // A backslash before an ordinary character stays: Windows-style program paths.
      {"C:\\tools\\help cat", "\tcat <filename>\n", ""},
      // Tabs and ";" are part of a word, as at the prompt before.
      {"h\tx", "", "not found command: h\tx\n"},
      {"help cat;", "", "no such command\n"},
      {"help \"cat", "", "romsmith: unterminated quote\n"},
      {"help 'cat", "", "romsmith: unterminated quote\n"},
      {"\"quit\" now", "", "not found command: quit\n"},
  };
  for (const Case& c : cases) {
    RunResult r = prompt(std::string(c.line) + "\n");
    EXPECT_EQ(r.out, std::string(">> ") + c.out + ">> ") << c.line;
    EXPECT_EQ(r.err, c.err) << c.line;
  }
}

// ---- quitting with unsaved edits --------------------------------------------

struct QuitCase {
  const char* name;
  const char* lines;  // after "open flash.bin"
  int warnings;
  const char* ran;      // output that must be there
  const char* not_ran;  // output of a line after the quit that must not be there
};

void PrintTo(const QuitCase& c, std::ostream* os) { *os << c.name; }

class QuitWithEdits : public PromptBox, public ::testing::WithParamInterface<QuitCase> {};

TEST_P(QuitWithEdits, WarnsOnceThenQuits) {
  const QuitCase& c = GetParam();
  RunResult r = prompt(std::string("open flash.bin\n") + c.lines);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count_of(r.err, "romsmith: unsaved edits: quit again to discard them"), c.warnings) << r.err;
  EXPECT_TRUE(contains(r.out, c.ran)) << r.out;
  EXPECT_FALSE(contains(r.out, c.not_ran)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Prompt, QuitWithEdits,
    ::testing::Values(
        QuitCase{"NoEdit", "cat ROOT/etc/issue\nquit\nhelp ls\n", 0, "hi\n", "\tls <"},
        QuitCase{"FileAdded", "add ROOT/x 'f x'\nquit\nhelp cat\nexit\nhelp ls\n", 1, "\tcat <", "\tls <"},
        QuitCase{"Saved", "add ROOT/x 'f x'\nsave out.bin\nquit\nhelp ls\n", 0, "", "\tls <"},
        QuitCase{"EditedAfterSave", "add ROOT/x 'f x'\nsave out.bin\nrm ROOT/x\nquit\nhelp cat\nquit\nhelp ls\n", 1,
                 "\tcat <", "\tls <"},
        QuitCase{"FailedSave", "add ROOT/x 'f x'\nsave nodir/out.bin\nquit\nhelp cat\nquit\nhelp ls\n", 1, "\tcat <",
                 "\tls <"},
        // A partition replaced again after a save is a new edit.
        QuitCase{"PartitionReplacedAfterSave",
                 "partition BOOT a.bin\nsave out.bin\npartition BOOT b.bin\nquit\nhelp cat\nquit\nhelp ls\n", 1,
                 "\tcat <", "\tls <"},
        // A save after the warning: edits after it are warned about again.
        QuitCase{"EditAfterWarningAndSave",
                 "add ROOT/x 'f x'\nquit\nsave out.bin\nrm ROOT/etc/issue\nquit\nhelp cat\nquit\nhelp ls\n", 2,
                 "\tcat <", "\tls <"},
        // The end of input never asks: a script piped in ends there.
        QuitCase{"EndOfInput", "add ROOT/x 'f x'\n", 0, "", "unsaved"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PromptBox, BatchQuitNeverAsks) {
  RunResult r = run("-c \"open flash.bin; add ROOT/x 'f x'; quit; help ls\"");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(contains(r.out, "\tls <")) << r.out;
}

// ---- one-shot words --------------------------------------------------------

TEST_F(PromptBox, UnknownOneShotWordFailsWithoutReadingInput) {
  for (const char* args : {"frobnicate", "frobnicate ls ROOT", "-o flash.bin frobnicate"}) {
    RunResult r = run(std::string(args) + " </dev/null");
    EXPECT_EQ(r.status, 2) << args;
    std::string word = std::string(args).find("-o") == 0 ? "frobnicate" : std::string(args).substr(0, 10);
    EXPECT_TRUE(contains(r.err, "romsmith: unknown command '" + word + "'\n")) << args << ": " << r.err;
    EXPECT_EQ(r.out, "") << args;
    // Standard input held open and silent: a program that reads it would hang.
    r = rstest::run_command(
        "rm -f in && mkfifo in && exec 9<>in && timeout 20 " + shell_quote(ROMSMITH_BIN) + " " + args + " <in", "",
        dir.path());
    EXPECT_EQ(r.status, 2) << args << " read its input";
  }
  // Prefixes still select commands.
  EXPECT_EQ(run("hel cat </dev/null").out, "\tcat <filename>\n");
}

// ---- -o IMAGE ----------------------------------------------------------------

TEST_F(PromptBox, OpenOption) {
  rstest::write_text(dir.file("script"), "cat ROOT/etc/issue\n");
  struct Case {
    const char* args;
    const char* input;
    int status;
    const char* out;
    const char* err;
  } cases[] = {
      {"-o flash.bin ls ROOT", "", 0, "issue", ""},
      {"--open=flash.bin -c 'cat ROOT/etc/issue'", "", 0, "hi\n", ""},
      {"-oflash.bin -f script", "", 0, "hi\n", ""},
      {"-k -o flash.bin -c 'cat ROOT/nope; cat ROOT/etc/issue'", "", 1, "hi\n", "line 1: cat:"},
      // No command: the prompt, with the image open.
      {"-o flash.bin", "cat ROOT/etc/issue\n", 0, ">> hi\n", ""},
      {"--open missing.bin -c help", "", 1, "", "romsmith: open: missing.bin: No such file or directory\n"},
      {"-o 'f x' ls", "", 1, "", "romsmith: open: f x: no partition table found\n"},
      {"-o", "", 2, "", "option '-o' needs an argument"},
      {"-o flash.bin -c help ls", "", 2, "", "unexpected argument 'ls'"},
  };
  for (const Case& c : cases) {
    RunResult r = run(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out << r.err;
    EXPECT_TRUE(contains(r.out, c.out)) << c.args << ": " << r.out;
    EXPECT_TRUE(contains(r.err, c.err)) << c.args << ": " << r.err;
    if (c.status == 1 && !*c.out) {
      EXPECT_FALSE(contains(r.out, "\thelp [cmd]")) << c.args << " ran the command";
    }
  }
}

}  // namespace
