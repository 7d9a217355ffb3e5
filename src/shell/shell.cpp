#include "shell/shell.h"

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/fs_api.h"
#include "shell/commands.h"
#include "shell/dispatch.h"
#include "util/strutil.h"

flash* root_entry = nullptr;

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
    {"get", cmd_get, "get <partition/path> <local filename>"},
    {"put", cmd_put, "put [--mode mode] [--owner uid:gid] <partition/path> <local filename>"},
    {"mkjffs2", cmd_mkjffs2, "mkjffs2 [-e SIZE] [-l|-b] [-n] [-p[SIZE]] [-X|-x COMPR] [--compr NAME] [-U] <directory> <image file>"},
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
  std::printf("\tusage not right, please see help\n");
  set_reason("usage not right, please see help", false);
  return -2;
}

int execute_error(const char* name) {
  std::printf("%s execute error, please check.\n", name);
  // The handler usually said why already; keep that reason.
  if (g_reason.empty()) set_reason(std::string(name) + " execute error", false);
  return CMD_FAILED;
}

int open_a_file_first() {
  std::printf("open a file first\n");
  set_reason("open a file first", false);
  return -2;
}

int dispatch(const cmd_node* c, int argc, char** argv) {
  dispatch_reset();
  int rc = c->func(argc, argv);
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

void process_command(const char* line) {
  char work[256];
  std::snprintf(work, sizeof work, "%s", line);
  rs::trim(work);
  if (!work[0]) return;
  if (!strcasecmp(work, "exit") || !strcasecmp(work, "q") || !strcasecmp(work, "quit")) return;
  char* argv[256] = {};
  int argc = 0;
  for (char* p = work; *p && argc < 255;) {
    while (*p == ' ') ++p;
    if (!*p) break;
    argv[argc++] = p;
    while (*p && *p != ' ') ++p;
    if (*p) *p++ = '\0';
  }
  if (argc == 0) return;
  const cmd_node* c = get_cmd_func(argv[0]);
  if (!c) {
    std::printf("not found command: %s\n", argv[0]);
    return;
  }
  int rc = dispatch(c, argc, argv);
  if (rc == -1) std::printf("\tusage: %s\n", c->helpbrief);
  std::fflush(stdout);
  if (rc != 0) report_failure(c->cmd, 0, true);
}

bool is_quit_line(const char* line) {
  char work[256];
  std::snprintf(work, sizeof work, "%s", line);
  rs::trim(work);
  return !strcasecmp(work, "exit") || !strcasecmp(work, "q") || !strcasecmp(work, "quit");
}

int cmd_help(int argc, char** argv) {
  if (argc == 2) {
    for (const cmd_node* c = cmdtable; c->cmd; ++c) {
      if (std::strcmp(c->cmd, argv[1]) == 0) {
        std::printf("\t%s\n", c->helpbrief);
        return 0;
      }
    }
    std::printf("no such command\n");
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
      std::printf("running %s\n", argv[0]);
      int rc = dispatch(c, argc, argv);
      std::fflush(stdout);
      if (rc != 0) report_failure(c->cmd, 0, false);
      return rc;
    }
  }
  // Options (-f, -c, --help, ...) before the designed one-shot lookup: no
  // command word starts with "-".
  if (argc > 1 && argv[1][0] == '-') return shell_batch_main(argc, argv);
  if (argc > 1) {
    const cmd_node* c = get_cmd_func(argv[1]);
    if (c) {
      int rc = dispatch(c, argc - 1, argv + 1);
      std::fflush(stdout);
      if (rc != 0) report_failure(c->cmd, 0, false);
      return rc;
    }
  }
  for (;;) {
    char* line = readline(">> ");
    if (!line) break;
    if (is_quit_line(line)) break;
    process_command(line);
  }
  std::fflush(stdout);
  return 0;
}

void shell_print_version() {
  std::printf("romsmith private version:v%s  --20200901\n", ROMSMITH_VERSION);
  std::printf("romsmith branch version:v1.9-dev --20201016\n");
}
