// Handlers for the channel databases, the language list and the key map.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "datatools/datatools.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/fileio.h"
#include "util/strutil.h"
#include "util/report.h"

int cmd_defaultdb(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc < 2) return usage_not_right();
  if (tools_default_db(root_entry, argv[1]) < 0) {
    cmd_fail_reported("%s: the default database was not installed", argv[1]);
    return execute_error("cmd_defaultdb");
  }
  return 0;
}

int cmd_keymap(int argc, char** argv) {
  // Silent without an image or an argument, but not a success.
  if (!root_entry) return cmd_fail("open a file first");
  if (argc < 2) return cmd_fail("no key map named");
  if (tools_keymap(root_entry, argv[1]) < 0) {
    cmd_fail_reported("%s: the key map was not installed", argv[1]);
    return execute_error("cmd_keymap");
  }
  return 0;
}

int cmd_dbtodef(int, char**) {
  if (!root_entry) return open_a_file_first();
  if (tools_dbtodef(root_entry) < 0) return cmd_fail_reported("the databases were not copied to the defaults");
  return 0;
}

int cmd_datareset(int argc, char** argv) { return cmd_dbtodef(argc, argv); }

int cmd_dbcopy(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc < 2) {
    rs::warn("dbcopy to default directory(.)\n");
    if (tools_dbcopy(root_entry, ".") < 0) return cmd_fail_reported(".: the databases were not copied");
    return 0;
  }
  if (!rs::path_exists(argv[1])) {
    rs::say_error("directory(%s) not exits.\n", argv[1]);
    return cmd_fail_reported("%s: %s", argv[1], std::strerror(ENOENT));
  }
  rs::warn("dbcopy to directory(%s)\n", argv[1]);
  if (tools_dbcopy(root_entry, argv[1]) < 0) return cmd_fail_reported("%s: the databases were not copied", argv[1]);
  return 0;
}

int cmd_db2def(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  // Both the directory and the output file are needed.
  if (argc < 3) return usage_not_right();
  if (tools_dbcopy(root_entry, argv[1]) < 0) return cmd_fail_reported("%s: the databases were not copied", argv[1]);
  berkeley_2_default(argv[1], argv[2]);
  // A failed conversion leaves no output, or an empty one.
  struct stat st;
  if (::stat(argv[2], &st) != 0 || st.st_size == 0) return cmd_fail("%s: no default data written", argv[2]);
  return 0;
}

int cmd_localdbtodef(int argc, char** argv) {
  if (argc < 2) return usage_not_right();
  for (const char* db : {"sat.db", "prog.db", "tp.db"}) {
    std::string path = rs::strprintf("%s/%s", argv[1], db);
    if (!rs::path_exists(path)) {
      rs::say_error("file %s not exist\n", path.c_str());
      return -2;
    }
  }
  if (!root_entry) return open_a_file_first();
  // Converted through "tmp_file"; the installed defaults change only when
  // the whole conversion worked.
  int rc = rs::install_local_defaults(root_entry, argv[1], "tmp_file");
  ::unlink("tmp_file");
  if (rc < 0) return cmd_fail_reported("%s: the default data was not installed", argv[1]);
  return 0;
}

int cmd_showlang(int, char**) {
  if (!root_entry) return open_a_file_first();
  std::unique_ptr<char[]> buf(new (std::nothrow) char[0x100000]);
  if (!buf) {
    rs::say_error("%s failed at %s %d\n", "malloc", "main", 610);
    return cmd_fail("%s", std::strerror(ENOMEM));
  }
  int n = flash_read(root_entry, "ROOT/dvb/theme/language/language", buf.get(), 0x100000, 0);
  if (n > 0) std::fwrite(buf.get(), 1, size_t(n), stdout);
  std::printf("\n");
  if (n < 0) return cmd_fail("ROOT/dvb/theme/language/language: cannot be read");
  return 0;
}

int cmd_setlang(int argc, char** argv) {
  if (argc < 2) return -1;
  if (!root_entry) return open_a_file_first();
  std::string text;
  for (const std::string& piece : rs::strsplit(argv[1], ";"))
    if (!piece.empty()) text += piece + "\n";
  std::printf("\n");
  if (tools_language(root_entry, text.c_str()) < 0) return cmd_fail_reported("the language list was not written");
  return 0;
}
