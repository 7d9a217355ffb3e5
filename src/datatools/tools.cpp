// The exported data tools. Each reads and checks all of its new content
// before it changes anything, then replaces files in place (a write over an
// existing path replaces it in one step) and removes what must go only at the
// end; a refused or failed run leaves the image's files as they were and says
// why.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/flash_ops.h"
#include "datatools/convert.h"
#include "datatools/datatools.h"
#include "datatools/validate.h"
#include "util/fileio.h"
#include "util/report.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kChunk = 2 * 1024 * 1024;
// Far above any DATA partition; only guards against a reader that never ends.
constexpr size_t kMaxDbFile = size_t(1) << 30;

const char* const kDbNames[3] = {"sat.db", "tp.db", "prog.db"};
const char* const kRootDbs[3] = {"ROOT//sat.db", "ROOT//tp.db", "ROOT//prog.db"};
const char* const kDefaultData = "ROOT//default_data.db";
const char* const kLanguage = "ROOT//dvb/theme/language/language";
const char* const kKeymap = "ROOT//dvb/theme/keymap.xml";

void report(const char* tool, const std::string& what, const std::string& why) {
  rs::say_error("error: %s: %s: %s\n", tool, what.c_str(), why.c_str());
}

// Reads a whole file of the image in 2 MiB steps, so that a database larger
// than one step is not cut (a cut MiniDB file silently loses its tail
// records). The byte count (0 for a missing file), or -1 when the first read
// fails.
long read_image_file(flash* entry, const char* path, Bytes& out) {
  out.clear();
  while (out.size() < kMaxDbFile) {
    size_t have = out.size();
    out.resize(have + kChunk);
    int n = flash_read(entry, path, out.data() + have, kChunk, int(have));
    if (n < 0 && have == 0) {
      out.clear();
      return -1;
    }
    n = n < 0 ? 0 : (n > kChunk ? kChunk : n);
    out.resize(have + size_t(n));
    if (n < kChunk) break;
  }
  return long(out.size());
}

// Empty for a local regular file, else why it is not one.
std::string not_regular(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  return {};
}

// A whole local regular file; empty, or the reason it cannot be had.
std::string read_local(const char* path, Bytes& out) {
  if (!path || !*path) return "no file name given";
  std::string why = not_regular(path);
  if (!why.empty()) return why;
  errno = 0;
  if (!rs::read_file(path, out)) return std::strerror(errno ? errno : EIO);
  return {};
}

// The box's three databases out of the DATA partition. "sat.db" may be
// missing (left empty in `db`); "tp.db" and "prog.db" must be there.
bool read_box_databases(flash* entry, const char* tool, Bytes (&db)[3], std::string (&where)[3]) {
  for (int i = 0; i < 3; ++i) {
    where[i] = db_name_get(entry, kDbNames[i]);
    if (where[i].empty()) {
      report(tool, kDbNames[i], "the image has no minifs DATA partition");
      return false;
    }
    long n = read_image_file(entry, where[i].c_str(), db[i]);
    if (n < 0) {
      report(tool, where[i], "cannot be read from the image");
      return false;
    }
    if (n == 0 && i > 0) {
      report(tool, where[i], "missing from the image, or empty");
      return false;
    }
  }
  return true;
}

// Files of the image replaced by one tool run, with what each held before, so
// that a later failing step can put them back.
class ImageEdit {
 public:
  explicit ImageEdit(flash* entry) : entry_(entry) {}

  // Writes the non-empty `content` as `path` and reads it back. The write's
  // result (positive), or -1 when the file system did not take the content
  // whole; the file then holds what it held before.
  int put(const char* path, const Bytes& content) {
    Saved s{path, {}};
    read_image_file(entry_, path, s.old);
    int rc = flash_write(entry_, path, content.data(), int(content.size()));
    Bytes back;
    if (rc > 0 && read_image_file(entry_, path, back) == long(content.size()) && back == content) {
      saved_.push_back(std::move(s));
      return rc;
    }
    // A file system that failed before touching the file needs nothing back;
    // a rewrite would only reset its attributes.
    if (read_image_file(entry_, path, back) < 0 || back != s.old) restore(s);
    return -1;
  }

  // Puts every replaced file back, the last one first.
  void undo() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) restore(*it);
    saved_.clear();
  }

 private:
  struct Saved {
    const char* path;
    Bytes old;  // empty: the file was not there
  };
  void restore(const Saved& s) {
    if (s.old.empty())
      flash_rm(entry_, s.path);
    else
      flash_write(entry_, s.path, s.old.data(), int(s.old.size()));
  }

  flash* entry_;
  std::vector<Saved> saved_;
};

// Replaces one file of the image by checked content; the tools' common tail.
int replace_one(flash* entry, const char* tool, const char* path, const Bytes& content) {
  ImageEdit edit(entry);
  int rc = edit.put(path, content);
  if (rc < 0) report(tool, path, "the file system did not take the new content, image unchanged");
  return rc;
}

// A host file written by dbcopy, and what it held before.
struct HostFile {
  std::string path;
  bool had = false;
  Bytes old;
};

}  // namespace

extern "C" RS_API int tools_dbcopy(flash* entry, const char* dir) {
  const char* tool = "tools_dbcopy";
  if (!dir || !*dir) {
    report(tool, "(none)", "no directory given");
    return -1;
  }
  Bytes db[3];
  std::string where[3];
  if (!read_box_databases(entry, tool, db, where)) return -1;

  // What the directory holds now is kept, to be put back should a later copy
  // fail; a file in the way that cannot be read is found before any write.
  HostFile host[3];
  for (int i = 0; i < 3; ++i) {
    if (db[i].empty()) continue;
    HostFile& h = host[i];
    h.path = std::string(dir) + "/" + kDbNames[i];
    struct stat st;
    if (::lstat(h.path.c_str(), &st) != 0) continue;
    h.had = true;
    errno = 0;
    if (S_ISDIR(st.st_mode) || !rs::read_file(h.path, h.old)) {
      report(tool, h.path, std::strerror(S_ISDIR(st.st_mode) ? EISDIR : errno ? errno : EIO));
      return -1;
    }
  }
  // Each file is replaced atomically; when one cannot be written those
  // already written are put back, so the directory never holds a mixed set.
  long total = 0;
  for (int i = 0; i < 3; ++i) {
    if (db[i].empty()) continue;
    if (!rs::write_file_atomic(host[i].path, db[i].data(), db[i].size())) {
      report(tool, host[i].path, std::strerror(errno ? errno : EIO));
      for (int j = i - 1; j >= 0; --j) {
        if (db[j].empty()) continue;
        if (host[j].had)
          rs::write_file_atomic(host[j].path, host[j].old.data(), host[j].old.size());
        else
          ::unlink(host[j].path.c_str());
      }
      return -1;
    }
    total += long(db[i].size());
  }
  return total > 0x7FFFFFFF ? 0x7FFFFFFF : int(total);
}

extern "C" RS_API int tools_dbtodef(flash* entry) {
  const char* tool = "tools_dbtodef";
  Bytes db[3];
  std::string where[3];
  if (!read_box_databases(entry, tool, db, where)) return -1;
  for (int i = 0; i < 3; ++i) {
    if (db[i].empty()) continue;
    std::string why = rs::minidb_problem(db[i].data(), db[i].size());
    if (!why.empty()) {
      report(tool, where[i], why + ", image unchanged");
      return -1;
    }
  }
  ImageEdit edit(entry);
  for (int i = 0; i < 3; ++i) {
    if (db[i].empty()) continue;
    if (edit.put(kRootDbs[i], db[i]) < 0) {
      edit.undo();
      report(tool, kRootDbs[i], "the file system did not take the database, image unchanged");
      return -1;
    }
  }
  // The defaults go only once the databases that supersede them are in.
  flash_rm(entry, kDefaultData);
  return 0;
}

extern "C" RS_API int tools_default_db(flash* entry, const char* filename) {
  const char* tool = "tools_default_db";
  Bytes content;
  std::string why = read_local(filename, content);
  if (why.empty()) why = rs::default_data_problem(content.data(), content.size());
  if (!why.empty()) {
    report(tool, filename ? filename : "(none)", why + ", image unchanged");
    return -1;
  }
  int rc = replace_one(entry, tool, kDefaultData, content);
  if (rc < 0) return -1;
  // The databases the new defaults supersede; a missing one is no error.
  flash_rm(entry, "ROOT//sat.db");
  flash_rm(entry, "ROOT//prog.db");
  flash_rm(entry, "ROOT//tp.db");
  return rc;
}

extern "C" RS_API int tools_datareset(flash* entry) {
  int rc = flash_update(entry, "DATA", nullptr, 0);
  if (rc < 0) report("tools_datareset", "DATA", "no such partition, or it cannot be emptied");
  return rc;
}

extern "C" RS_API int tools_language(flash* entry, const char* language) {
  const char* tool = "tools_language";
  // A list without a single language would leave the box's menus without one.
  if (!language || !*language) {
    report(tool, kLanguage, "empty language list, image unchanged");
    return -1;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(language);
  return replace_one(entry, tool, kLanguage, Bytes(p, p + std::strlen(language)));
}

extern "C" RS_API int tools_keymap(flash* entry, const char* filename) {
  const char* tool = "tools_keymap";
  Bytes content;
  std::string why = read_local(filename, content);
  if (why.empty()) why = rs::keymap_problem(content.data(), content.size());
  if (!why.empty()) {
    report(tool, filename ? filename : "(none)", why + ", image unchanged");
    return -1;
  }
  return replace_one(entry, tool, kKeymap, content);
}

namespace rs {

int install_local_defaults(flash* entry, const char* dir, const char* work_file) {
  const char* tool = "localdbtodef";
  if (!dir || !work_file) {
    report(tool, "(none)", "no database directory or work file given");
    return -1;
  }
  // The store would create a missing database empty in the user's directory.
  for (const char* name : kDbNames) {
    std::string path = std::string(dir) + "/" + name;
    std::string why = not_regular(path.c_str());
    if (!why.empty()) {
      report(tool, path, why + ", image unchanged");
      return -1;
    }
  }
  if (!convert_databases(dir, work_file)) {
    report(tool, dir, "the databases could not be converted, image unchanged");
    return -1;
  }
  Bytes content;
  std::string why = read_local(work_file, content);
  if (why.empty()) why = default_data_problem(content.data(), content.size());
  if (!why.empty()) {
    report(tool, work_file, why + ", image unchanged");
    return -1;
  }
  return replace_one(entry, tool, kDefaultData, content) < 0 ? -1 : 0;
}

}  // namespace rs
