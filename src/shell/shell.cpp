#include "shell/shell.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/fs_api.h"
#include "core/image_state.h"
#include "shell/cmd_tree.h"
#include "shell/commands.h"
#include "shell/dispatch.h"
#include "shell/edits.h"
#include "shell/line_input.h"
#include "util/strutil.h"
#include "util/fatal.h"
#include "util/report.h"

flash* root_entry = nullptr;

int cmd_diff(int argc, char** argv);  // shell/cmd_diff.cpp

cmd_node cmdtable[CMD_TABLE_SIZE] = {
    {"help", cmd_help, "help [cmd]"},
    {"mkcramfs", cmd_mkcramfs, "mkcramfs <directory> <image file>"},
    {"mkminifs", cmd_mkminifs, "mkminifs <directory> <image file>"},
    {"mkflash", cmd_mkflash, "mkflash <conf file> <flash file> [unchanged_fs]"},
    {"unminifs", cmd_unminifs, "unminifs <image file> <directory>"},
    {"open", cmd_open, "open <flash image file name>"},
    {"rm", cmd_rm, "rm <flash filename>"},
    {"ls", cmd_ls, "ls <partition>"},
    {"add", cmd_add, "add <flash filename> <local filename>"},
    {"cat", cmd_cat, "cat <filename>"},
    {"save", cmd_save, "save <filename>"},
    {"dump", cmd_dump, "dump <directory>"},
    {"dumppar", cmd_dumppar, "dumppar <partition namme> <filename>"},
    {"defaultdb", cmd_defaultdb, "defaultdb <default_db.db>"},
    {"keymap", cmd_keymap, "keymap <keymap.xml>"},
    {"partition", cmd_partition, "partition <partition namme> <logo.bin>"},
    {"dbtodef", cmd_dbtodef, "dbtodef"},
    {"localdbtodef", cmd_localdbtodef, "localdbtodef <local dir>"},
    {"dbcopy", cmd_dbcopy, "dbcopy <db dir>"},
    {"db2def", cmd_db2def, "db2def <db dir> <default file>"},
    {"datareset", cmd_datareset, "datareset"},
    {"showlang", cmd_showlang, "showlang"},
    {"setlang", cmd_setlang, "setlang <language list>"},
    {"tmpdebug", cmd_tmpdebug, "tmpdebug : for tmp debug"},
    {"version", cmd_version, "version : get romsmith version"},
    {"info", cmd_info, "info : get romsmith compilation info"},
    {"release", cmd_release, "release <bin file> <release string>"},
    {"unrelease", cmd_unrelease, "unrelease <bin file>"},
    {"merge", cmd_merge, "merge <conf file> <merge file name>"},
    {"split", cmd_split, "split <.merge file> [output dir]"},
    {"clear", cmd_clear, "clear <partition name>"},
    {"mkdir", cmd_mkdir, "mkdir [-p] <partition/path>"},
    {"chmod", cmd_chmod, "chmod <octal mode> <partition/path>"},
    {"chown", cmd_chown, "chown <uid:gid> <partition/path>"},
    {"ln", cmd_ln, "ln -s <target> <partition/path>"},
    {"get", cmd_get_or_tree, "get <partition/path> <local filename>"},
    {"put", cmd_put_or_tree, "put [--mode mode] [--owner uid:gid] <partition/path> <local filename>"},
    {"mkromfs", cmd_mkromfs, "mkromfs <directory> <image file>"},
    {"export", cmd_export, "export <partition[/dir]> <tar file|->"},
    {"import", cmd_import, "import <tar file|-> <partition[/dir]>"},
    {"diff", cmd_diff, "diff [--json] [--times] <image A> <image B> [partition[/path]]"},
    {"mkjffs2", cmd_mkjffs2, "mkjffs2 [-e SIZE] [-l|-b] [-n] [-p[SIZE]] [-X|-x COMPR] [--compr NAME] [-U] <directory> <image file>"},
    {"mksquashfs", cmd_mksquashfs, "mksquashfs <directory> <image file> [-V 2|3|4] [-be] [-comp NAME] [-b SIZE] [-all-root]"},
    {"mkubi", cmd_mkubi, "mkubi [-m MIN_IO] [-p PEB] [-c MAX_LEBS] [-x COMPR] [-N VOLNAME] [-S VOLSIZE] [options] <directory> <image file>"},
    {nullptr, nullptr, nullptr},
};

// ---- failure reasons ------------------------------------------------------

namespace {
std::string g_reason;
bool g_reason_new = false;  // not already said by a designed message on stdout

void set_reason(std::string text, bool is_new) {
  g_reason = std::move(text);
  g_reason_new = is_new;
}
}  // namespace

namespace {
int fail_with(bool is_new, const char* fmt, va_list ap) {
  char buf[2048];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  set_reason(buf, is_new);
  return CMD_FAILED;
}
}  // namespace

int cmd_fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int rc = fail_with(true, fmt, ap);
  va_end(ap);
  return rc;
}

int cmd_fail_reported(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int rc = fail_with(false, fmt, ap);
  va_end(ap);
  return rc;
}

int cmd_fail_code(const std::string& what, int code) {
  return cmd_fail("%s: %s", what.c_str(), fs_error_text(code).c_str());
}

void dispatch_reset() { set_reason("", false); }
const std::string& dispatch_reason() { return g_reason; }
bool dispatch_reason_is_new() { return g_reason_new; }

int usage_not_right() {
  rs::say_error("\tusage not right, please see help\n");
  set_reason("usage not right, please see help", false);
  return -2;
}

int execute_error(const char* name) {
  rs::say_error("%s execute error, please check.\n", name);
  // The handler usually said why already; keep that reason.
  if (g_reason.empty()) set_reason(std::string(name) + " execute error", false);
  return CMD_FAILED;
}

int open_a_file_first() {
  rs::say_error("open a file first\n");
  set_reason("open a file first", false);
  return -2;
}

namespace {

// Commands that change or read files in the image's file systems and read
// nothing of its CRCs (a listing of one partition's tree among them), and
// save, which waits for them itself once its rebuilds are done: the open's
// CRC pass runs on beside them. Any other command may show, compare or write
// CRCs, and waits for it. An image closed or left at the end before anything
// asked for them drops the rest of the pass.
bool runs_beside_crc_pass(const cmd_node* c, int argc, char** argv) {
  for (const char* name : {"add", "put", "rm", "mkdir", "save", "cat", "get"})
    if (std::strcmp(c->cmd, name) == 0) return true;
  return std::strcmp(c->cmd, "ls") == 0 && argc == 2 && argv[1][0] != '-';
}

}  // namespace

int dispatch(const cmd_node* c, int argc, char** argv) {
  dispatch_reset();
  if (root_entry && !runs_beside_crc_pass(c, argc, argv)) image_crcs_ready(root_entry);
  int rc = 0;
  if (shell_batch) {
    // At the prompt and in a batch, a routine that would end the process
    // (a build limit, a file that cannot be read) ends only this command:
    // the open image and its edits stay.
    try {
      rs::ExitThrows guard;
      rc = c->func(argc, argv);
    } catch (const rs::exit_request& e) {
      if (g_reason.empty()) set_reason(rs::strprintf("failed (status %d)", e.status), false);
      rc = CMD_FAILED;
    }
  } else {
    rc = c->func(argc, argv);
  }
  pending_output_clear();
  if (rc != 0 && g_reason.empty()) {
    if (rc == -1)
      set_reason(std::string("usage: ") + c->helpbrief, false);
    else
      set_reason(rs::strprintf("failed (result %d)", rc), false);
  }
  return rc;
}

void report_failure(const char* cmd, int line, bool prompt) {
  if (line > 0)
    std::fprintf(stderr, "romsmith: line %d: %s: %s\n", line, cmd, g_reason.c_str());
  else if (g_reason_new || !prompt)
    std::fprintf(stderr, "romsmith: %s: %s\n", cmd, g_reason.c_str());
  std::fflush(stderr);
}

// ---- lookup and the interactive loop --------------------------------------

const char* basecmd(const char* s) {
  if (!s) return s;
  // Both separators count here: the program may be started by a Windows-style
  // or a POSIX path.
  const char* bs = std::strrchr(s, '\\');
  if (bs) s = bs + 1;
  const char* sl = std::strrchr(s, '/');
  if (sl) s = sl + 1;
  return s;
}

const cmd_node* get_cmd_func(const char* cmd) {
  if (!cmd) return nullptr;
  const char* word = basecmd(cmd);
  size_t n = std::strlen(word);
  for (const cmd_node* c = cmdtable; c->cmd; ++c)
    if (std::strncmp(c->cmd, word, n) == 0) return c;
  return nullptr;
}

char* readline(const char* prompt) {
  static char line[256];
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  if (!std::fgets(line, 255, stdin)) return nullptr;
  return line;
}

namespace {

bool quit_words(const std::vector<std::string>& words) { return words.size() == 1 && is_quit_line(words[0].c_str()); }

// Runs one split prompt line; the command it ran, or null.
const cmd_node* run_prompt_words(std::vector<std::string>& words) {
  if (words.empty()) return nullptr;
  const cmd_node* c = get_cmd_func(words[0].c_str());
  if (!c) {
    rs::say_error("not found command: %s\n", words[0].c_str());
    return nullptr;
  }
  // Entries behind the last word are null, as the handlers expect.
  std::vector<char*> argv(std::max<size_t>(words.size() + 1, 256), nullptr);
  for (size_t k = 0; k < words.size(); ++k) argv[k] = words[k].data();
  int rc = dispatch(c, int(words.size()), argv.data());
  if (rc == -1) rs::diag("\tusage: %s\n", c->helpbrief);
  std::fflush(stdout);
  if (rc != 0) {
    report_failure(c->cmd, 0, true);
    return nullptr;
  }
  return c;
}

bool split_prompt_line(const std::string& line, std::vector<std::string>* words) {
  std::string error;
  if (shell_split_line(rs::trim(line), words, &error)) return true;
  std::fflush(stdout);
  std::fprintf(stderr, "romsmith: %s\n", error.c_str());
  std::fflush(stderr);
  return false;
}

// A line that ends in an unescaped backslash goes on on the next line.
bool continues(const std::string& text) {
  size_t end = text.size();
  if (end == 0 || text[end - 1] != '\n') return false;
  size_t n = 0;
  while (n < end - 1 && text[end - 2 - n] == '\\') ++n;
  return n % 2 == 1;
}

// One piece of input: a whole line from the line editor on a terminal,
// otherwise up to 254 bytes as the prompt always read them.
bool read_piece(const char* prompt, std::string* out) {
  if (::isatty(STDIN_FILENO) && shell_can_edit_lines()) {
    if (!shell_edit_line(prompt, out)) return false;
    *out += '\n';
    return true;
  }
  char* line = readline(prompt);
  if (!line) return false;
  out->assign(line);
  return true;
}

bool read_command(std::string* text) {
  if (!read_piece(">> ", text)) return false;
  std::string more;
  while (continues(*text) && read_piece("> ", &more)) *text += more;
  return true;
}

}  // namespace

void process_command(const char* line) {
  std::vector<std::string> words;
  if (!split_prompt_line(line, &words) || quit_words(words)) return;
  run_prompt_words(words);
}

bool is_quit_line(const char* line) {
  char work[256];
  std::snprintf(work, sizeof work, "%s", line);
  rs::trim(work);
  return !strcasecmp(work, "exit") || !strcasecmp(work, "q") || !strcasecmp(work, "quit");
}

int shell_prompt() {
  // Commands that end a one-shot call return here instead: the session and
  // its open image go on.
  bool was_batch = shell_batch;
  shell_batch = true;
  EditWatch watch;
  watch.saved(root_entry);
  bool warned = false;  // since the image was opened or last saved
  for (std::string text; read_command(&text);) {
    std::vector<std::string> words;
    if (!split_prompt_line(text, &words)) continue;
    if (quit_words(words)) {
      // Ask once before edits are lost; the next quit means it. The end of
      // input never asks: scripts pipe their commands in.
      if (!watch.unsaved(root_entry) || warned) break;
      std::fflush(stdout);
      std::fprintf(stderr, "romsmith: unsaved edits: quit again to discard them (or save FILE)\n");
      std::fflush(stderr);
      warned = true;
      continue;
    }
    const flash* before = root_entry;
    const cmd_node* ran = run_prompt_words(words);
    if (root_entry != before || (ran && (ran->func == cmd_open || ran->func == cmd_save))) {
      watch.saved(root_entry);
      warned = false;
    }
  }
  std::fflush(stdout);
  shell_batch = was_batch;
  return 0;
}

bool shell_open_image(const char* image) {
  const cmd_node* c = get_cmd_func("open");
  char* argv[256] = {const_cast<char*>("open"), const_cast<char*>(image)};
  int rc = dispatch(c, 2, argv);
  std::fflush(stdout);
  if (rc == 0) return true;
  // The loader's own reason names the fault (a missing file, no table found).
  std::string why = rs::trim(flash_last_error(nullptr));
  if (why.rfind("error: ", 0) == 0) why.erase(0, 7);
  std::string prefix = std::string(image) + ": ";
  if (why.empty())
    why = prefix + "cannot open the image";
  else if (why.rfind(prefix, 0) != 0)
    why = prefix + why;
  std::fprintf(stderr, "romsmith: open: %s\n", why.c_str());
  std::fflush(stderr);
  return false;
}

int shell_one_shot(int argc, char** argv) {
  const cmd_node* c = get_cmd_func(argv[0]);
  if (!c) {
    // Not the prompt: a script that misspelt a command would feed it its input.
    std::fflush(stdout);
    std::fprintf(stderr, "romsmith: unknown command '%s'\nTry 'romsmith --help' for more information.\n", argv[0]);
    return 2;
  }
  int rc = dispatch(c, argc, argv);
  std::fflush(stdout);
  if (rc != 0) report_failure(c->cmd, 0, false);
  return rc;
}

int cmd_help(int argc, char** argv) {
  if (argc == 2) {
    for (const cmd_node* c = cmdtable; c->cmd; ++c) {
      if (std::strcmp(c->cmd, argv[1]) == 0) {
        std::printf("\t%s\n", c->helpbrief);
        return 0;
      }
    }
    rs::say_error("no such command\n");
    return 0;
  }
  for (const cmd_node* c = cmdtable; c->cmd; ++c) std::printf("\t%s\n", c->helpbrief);
  std::printf("\tquit/exit/q\n");
  return 0;
}

extern "C" RS_API int romsmith_main(int argc, char** argv) {
  if (argc > 0) {
    const cmd_node* c = get_cmd_func(argv[0]);
    if (c) {
      rs::warn("running %s\n", argv[0]);
      int rc = dispatch(c, argc, argv);
      std::fflush(stdout);
      if (rc != 0) report_failure(c->cmd, 0, false);
      return rc;
    }
  }
  // Options (-f, -c, -o, --help, ...) before the one-shot lookup: no
  // command word starts with "-".
  if (argc > 1 && argv[1][0] == '-') return shell_batch_main(argc, argv);
  if (argc > 1) return shell_one_shot(argc - 1, argv + 1);
  return shell_prompt();
}

void shell_print_version() {
  std::printf("romsmith private version:v%s  --20200901\n", ROMSMITH_VERSION);
  std::printf("romsmith branch version:v1.9-dev --20201016\n");
}
