// Batch runs (-f FILE, -c TEXT), the program's options, the progress ticker
// and the clean-up of half-built outputs.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/report.h"
#include "shell/dispatch.h"
#include "shell/shell.h"
#include "util/fatal.h"
#include "util/fileio.h"

bool shell_batch = false;

namespace {

// What is running, for the exit handler: a library routine may end the
// process in the middle of a command.
struct Running {
  bool active = false;
  int line = 0;
  std::string cmd;
  std::string pending;  // output to remove if the process ends now
};
Running g_run;

void at_exit() {
  if (!g_run.pending.empty()) ::unlink(g_run.pending.c_str());
  if (g_run.active && shell_batch) {
    std::fflush(stdout);
    std::fprintf(stderr, "romsmith: line %d: %s: failed, the program ended\n", g_run.line, g_run.cmd.c_str());
    std::fflush(stderr);
  }
}

void ensure_exit_handler() {
  static bool done = false;
  if (!done) {
    std::atexit(at_exit);
    done = true;
  }
}

}  // namespace

void pending_output_set(const char* path) {
  ensure_exit_handler();
  g_run.pending = path ? path : "";
}
void pending_output_clear() { g_run.pending.clear(); }

int shell_finish(int status) {
  if (!shell_batch) rs::rs_exit(status);
  return status == 0 ? 0 : CMD_FAILED;
}

// ---- progress ---------------------------------------------------------------

struct Progress::State {
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  bool shown = false;
  std::thread th;
};

Progress::Progress(const std::string& what) : s_(nullptr) {
  if (!::isatty(STDERR_FILENO) || rs::verbosity() < 0) return;
  s_ = new State;
  State* s = s_;
  s->th = std::thread([s, what] {
    auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(s->m);
    // Quiet for the first second: short commands print nothing extra.
    for (int secs = 1; !s->cv.wait_until(lock, start + std::chrono::seconds(secs), [s] { return s->stop; }); ++secs) {
      std::fprintf(stderr, "\r%s ... %d s", what.c_str(), secs);
      std::fflush(stderr);
      s->shown = true;
    }
  });
}

Progress::~Progress() {
  if (!s_) return;
  {
    std::lock_guard<std::mutex> lock(s_->m);
    s_->stop = true;
  }
  s_->cv.notify_all();
  s_->th.join();
  if (s_->shown) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
  delete s_;
}

// ---- batch text -------------------------------------------------------------

namespace {

struct Command {
  int line = 0;  // physical line where it starts
  std::vector<std::string> words;
  std::string error;  // set when the line cannot be split
};

// Words separated by blanks; "..." and '...' quote, a backslash escapes the
// next character (and joins lines before a newline), "#" at the start of a
// word comments out the rest of the line, ";" and newlines end a command.
// A prompt line keeps the prompt's own word rules: only spaces separate
// words, ";" and tabs are part of them, and a backslash before an ordinary
// character is kept.
std::vector<Command> split_commands(const std::string& text, bool prompt = false) {
  std::vector<Command> out;
  Command cur;
  std::string word;
  bool in_word = false;
  int line = 1;
  cur.line = 1;
  auto end_word = [&] {
    if (in_word) cur.words.push_back(word);
    word.clear();
    in_word = false;
  };
  auto end_command = [&] {
    end_word();
    if (!cur.words.empty() || !cur.error.empty()) out.push_back(cur);
    cur = Command();
    cur.line = line;
  };
  auto skip_line = [&](size_t& i) {
    while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char ch = text[i];
    if (cur.words.empty() && !in_word && ch != '\n') cur.line = line;
    switch (ch) {
      case '\\':
        if (i + 1 < text.size() && text[i + 1] == '\n') {
          ++i;
          ++line;
        } else if (prompt && i + 1 < text.size() && !std::strchr(" \\\"'#", text[i + 1])) {
          // At the prompt a backslash escapes only what is special there, so a
          // Windows-style path (C:\tools\help) keeps its separators.
          word += ch;
          in_word = true;
        } else if (i + 1 < text.size()) {
          word += text[++i];
          in_word = true;
        } else {
          word += ch;
          in_word = true;
        }
        break;
      case '\'': {
        size_t close = text.find_first_of("'\n", i + 1);
        if (close == std::string::npos || text[close] != '\'') {
          cur.error = "unterminated quote";
          skip_line(i);
          break;
        }
        word.append(text, i + 1, close - i - 1);
        in_word = true;
        i = close;
        break;
      }
      case '"': {
        size_t j = i + 1;
        for (; j < text.size() && text[j] != '"' && text[j] != '\n'; ++j) {
          if (text[j] == '\\' && j + 1 < text.size() && (text[j + 1] == '"' || text[j + 1] == '\\')) ++j;
          word += text[j];
        }
        if (j >= text.size() || text[j] != '"') {
          cur.error = "unterminated quote";
          i = j - 1;
          skip_line(i);
          break;
        }
        in_word = true;
        i = j;
        break;
      }
      case '\t':
      case '\r':
        if (prompt) {
          word += ch;
          in_word = true;
        } else {
          end_word();
        }
        break;
      case ' ':
        end_word();
        break;
      case '#':
        if (in_word) {
          word += ch;
        } else {
          skip_line(i);
        }
        break;
      case ';':
        if (prompt) {
          word += ch;
          in_word = true;
        } else {
          end_command();
        }
        break;
      case '\n':
        ++line;
        end_command();
        break;
      default:
        word += ch;
        in_word = true;
    }
  }
  end_command();
  return out;
}

}  // namespace

bool shell_split_line(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  error->clear();
  for (Command& c : split_commands(line, true)) {
    words->insert(words->end(), c.words.begin(), c.words.end());
    if (!c.error.empty()) *error = c.error;
  }
  return error->empty();
}

namespace {

// Runs the commands of one text; false when one failed. `ordinal` numbers
// commands one by one (for -c) instead of by line.
bool run_text(const std::string& text, bool ordinal, bool keep_going, bool* quit) {
  bool ok = true;
  int n = 0;
  for (Command& c : split_commands(text)) {
    int line = ordinal ? ++n : c.line;
    std::string word = c.words.empty() ? std::string() : c.words[0];
    if (!c.error.empty()) {
      std::fprintf(stderr, "romsmith: line %d: %s: %s\n", line, word.c_str(), c.error.c_str());
      ok = false;
      if (!keep_going) return false;
      continue;
    }
    if (c.words.size() == 1 && is_quit_line(word.c_str())) {
      *quit = true;
      return ok;
    }
    const cmd_node* node = get_cmd_func(word.c_str());
    if (!node) {
      std::fflush(stdout);
      std::fprintf(stderr, "romsmith: line %d: %s: not found command\n", line, word.c_str());
      ok = false;
      if (!keep_going) return false;
      continue;
    }
    // Entries behind the last word are null, as the handlers expect.
    std::vector<char*> argv(std::max<size_t>(c.words.size() + 1, 256), nullptr);
    for (size_t k = 0; k < c.words.size(); ++k) argv[k] = c.words[k].data();
    g_run.active = true;
    g_run.line = line;
    g_run.cmd = node->cmd;
    int rc = dispatch(node, int(c.words.size()), argv.data());
    g_run.active = false;
    std::fflush(stdout);
    if (rc != 0) {
      report_failure(node->cmd, line, false);
      ok = false;
      if (!keep_going) return false;
    }
  }
  return ok;
}

constexpr size_t kMaxScript = size_t(64) << 20;

// A script from a stream (standard input, a pipe, a fifo, a device): text,
// up to kMaxScript bytes; errno says why not (EINVAL: NUL bytes, EFBIG: too long).
bool read_stream(FILE* in, std::string& out) {
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
    if (std::memchr(buf, 0, n)) {
      errno = EINVAL;
      return false;
    }
    out.append(buf, n);
    if (out.size() > kMaxScript) {
      errno = EFBIG;
      return false;
    }
  }
  if (std::ferror(in)) return false;
  return true;
}

bool read_script(const std::string& name, std::string& out, std::string& why) {
  errno = 0;
  bool ok;
  if (name == "-") {
    ok = read_stream(stdin, out);
  } else {
    FILE* f = std::fopen(name.c_str(), "rb");
    ok = f && read_stream(f, out);
    int err = errno;
    if (f) std::fclose(f);
    errno = err;
  }
  if (ok) return true;
  why = errno == EINVAL  ? "not a text file (it holds NUL bytes)"
        : errno == EFBIG ? "longer than a script may be (64 MiB)"
                         : std::strerror(errno ? errno : EIO);
  return false;
}

int bad_usage(const char* fmt, const char* what) {
  std::fprintf(stderr, "romsmith: ");
  std::fprintf(stderr, fmt, what);
  std::fprintf(stderr, "\nTry 'romsmith --help' for more information.\n");
  return 2;
}

}  // namespace

void shell_print_usage() {
  std::printf(
      "Usage: romsmith                      interactive prompt (\">> \")\n"
      "       romsmith COMMAND [ARGUMENT...]  one command\n"
      "       romsmith [-k] -f FILE         the commands of FILE (- for standard input)\n"
      "       romsmith [-k] -c 'COMMAND; COMMAND...'\n"
      "       romsmith -o IMAGE [COMMAND [ARGUMENT...] | -f FILE | -c TEXT]\n"
      "       romsmith -q|-v [OPTION...] [COMMAND [ARGUMENT...]]\n"
      "       romsmith --help | --version\n"
      "\n"
      "Options:\n"
      "  -f, --file FILE     run the command lines of FILE without prompts\n"
      "  -c, --command TEXT  run the commands of TEXT (separated by ';' or newlines)\n"
      "  -k, --keep-going    go on after a failed command (the exit status is still 1)\n"
      "  -o, --open IMAGE    open IMAGE first, then run the command, the batch or the prompt\n"
      "  -q, --quiet         no warnings or progress on standard error (errors still)\n"
      "  -v, --verbose       more detail on standard error: what open found, what save wrote\n"
      "  -h, --help          show this help\n"
      "  -V, --version       show the version\n"
      "\n"
      "At the prompt and in -f and -c, words may be quoted (\"...\", '...') or\n"
      "backslash-escaped; '#' starts a comment. A batch run stops at the first failed\n"
      "command, reports \"romsmith: line N: COMMAND: REASON\" on standard error and exits 1.\n"
      "Standard output carries only what a command prints by its nature (listings,\n"
      "file contents, JSON); errors, warnings and progress go to standard error.\n"
      "\n"
      "Commands:\n");
  for (const cmd_node* c = cmdtable; c->cmd; ++c) std::printf("  %s\n", c->helpbrief);
  std::printf(
      "\n"
      "More forms:\n"
      "  ls -l [partition[/path]]      modes, owners, sizes and link targets\n"
      "  ls --json [partition[/path]]  the partition table, or the entries below a path, as JSON\n"
      "  get <partition/path> -        the file's bytes on standard output\n"
      "  get -r <partition/dir> <directory>  the subtree into a host directory\n"
      "  put -r [--owner uid:gid] <directory> <partition/dir>  a host tree into the directory\n"
      "  mkcramfs -N big|little|host <directory> <image file>  the image's byte order\n"
      "  mkromfs [-V volname] [-a align] <directory> <image file>  volume name, file data alignment\n"
      "  diff [--json] <image A> <image B> [partition[/path]]  exit 0 the same, 1 different, 2 trouble\n"
      "  mkjffs2 -e 16KiB -b -n -p -x zlib -X lzo <directory> <image file>  mkfs.jffs2's options\n"
      "  mksquashfs <directory> <image file> -V 3 -be -comp gzip -b 64K  the kind the box reads\n");
}

int shell_batch_main(int argc, char** argv) {
  struct Source {
    bool file;
    std::string text;
  };
  std::vector<Source> sources;
  bool keep_going = false;
  const char* image = nullptr;  // -o: opened before anything runs
  int command_at = 0;           // -o IMAGE COMMAND...: where the command starts
  bool verbosity_given = false;  // -q or -v
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    // After -o, -q or -v, the first word that is no option is a one-shot
    // command.
    if ((image || verbosity_given) && (a.empty() || a[0] != '-')) {
      command_at = i;
      break;
    }
    auto value = [&](std::string& v) -> bool {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    if (a == "--help") {
      shell_print_usage();
      std::fflush(stdout);
      return 0;
    }
    if (a == "--version") {
      shell_print_version();
      std::fflush(stdout);
      return 0;
    }
    if (a == "--quiet" || a == "--verbose") {
      rs::set_verbosity(a == "--quiet" ? -1 : 1);
      verbosity_given = true;
      continue;
    }
    if (a == "--keep-going") {
      keep_going = true;
      continue;
    }
    if (a == "--file" || a == "--command") {
      std::string v;
      if (!value(v)) return bad_usage("option '%s' needs an argument", a.c_str());
      sources.push_back({a == "--file", v});
      continue;
    }
    if (a == "--open") {
      if (i + 1 >= argc) return bad_usage("option '%s' needs an argument", a.c_str());
      image = argv[++i];
      continue;
    }
    if (a.rfind("--open=", 0) == 0) {
      image = argv[i] + 7;
      continue;
    }
    if (a.rfind("--file=", 0) == 0 || a.rfind("--command=", 0) == 0) {
      bool file = a[2] == 'f';
      sources.push_back({file, a.substr(a.find('=') + 1)});
      continue;
    }
    if (a.size() < 2 || a[0] != '-' || a[1] == '-') {
      if (a[0] == '-') return bad_usage("unknown option '%s'", a.c_str());
      return bad_usage("unexpected argument '%s'", a.c_str());
    }
    // A cluster of short options; -f and -c take the rest or the next word.
    for (size_t k = 1; k < a.size(); ++k) {
      char o = a[k];
      if (o == 'h') {
        shell_print_usage();
        std::fflush(stdout);
        return 0;
      }
      if (o == 'V') {
        shell_print_version();
        std::fflush(stdout);
        return 0;
      }
      if (o == 'k') {
        keep_going = true;
        continue;
      }
      if (o == 'q' || o == 'v') {
        rs::set_verbosity(o == 'q' ? -1 : 1);
        verbosity_given = true;
        continue;
      }
      if (o == 'o') {
        if (k + 1 < a.size())
          image = argv[i] + k + 1;
        else if (i + 1 < argc)
          image = argv[++i];
        else
          return bad_usage("option '%s' needs an argument", a.c_str());
        break;
      }
      if (o == 'f' || o == 'c') {
        std::string v;
        if (k + 1 < a.size())
          v = a.substr(k + 1);
        else if (!value(v))
          return bad_usage("option '%s' needs an argument", a.c_str());
        sources.push_back({o == 'f', v});
        break;
      }
      std::string bad = std::string("-") + o;
      return bad_usage("unknown option '%s'", bad.c_str());
    }
  }
  if (command_at && !sources.empty())
    return bad_usage("unexpected argument '%s' (a command after -f or -c)", argv[command_at]);
  if (sources.empty() && !image && keep_going) return bad_usage("%s", "-k needs commands: -f FILE or -c TEXT");
  if (image && !shell_open_image(image)) return 1;
  if (command_at) return shell_one_shot(argc - command_at, argv + command_at);
  if (sources.empty()) return shell_prompt();
  shell_batch = true;
  ensure_exit_handler();
  bool ok = true;
  for (const Source& s : sources) {
    std::string text = s.file ? std::string() : s.text;
    std::string why;
    if (s.file && !read_script(s.text, text, why)) {
      std::fprintf(stderr, "romsmith: %s: %s\n", s.text.c_str(), why.c_str());
      return 2;
    }
    bool quit = false;
    if (!run_text(text, !s.file, keep_going, &quit)) {
      ok = false;
      if (!keep_going) break;
    }
    if (quit) break;
  }
  std::fflush(stdout);
  shell_batch = false;
  return ok ? 0 : 1;
}
