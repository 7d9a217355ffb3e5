// The exported data tools: thin steps over the image's file operations.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/flash_ops.h"
#include "datatools/datatools.h"
#include "util/fileio.h"

namespace {

constexpr int kChunk = 2 * 1024 * 1024;
// Far above any DATA partition; only guards against a reader that never ends.
constexpr size_t kMaxDbFile = size_t(1) << 30;

// Reads a whole file of the image in 2 MiB steps, so that a database larger
// than one step is not cut (a cut MiniDB file silently loses its tail
// records). The byte count, or -1 when the first read fails.
long read_image_file(flash* entry, const char* path, std::vector<uint8_t>& out) {
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

bool readable_file(const char* path) { return path && access(path, R_OK) == 0 && !rs::is_directory(path); }

}  // namespace

extern "C" RS_API int tools_dbcopy(flash* entry, const char* dir) {
  if (!dir) return -1;
  static const char* const kNames[3] = {"sat.db", "tp.db", "prog.db"};
  std::vector<uint8_t> buf;
  long total = 0;
  for (int i = 0; i < 3; ++i) {
    long n = read_image_file(entry, db_name_get(entry, kNames[i]), buf);
    // A missing "sat.db" is tolerated; the other two must be there.
    if (n < 0 || (i > 0 && n == 0)) return -1;
    if (n == 0) continue;
    // Replaced atomically: a failed write keeps an older copy, and is a
    // failure rather than bytes counted as copied.
    if (!rs::write_file_atomic(std::string(dir) + "/" + kNames[i], buf.data(), buf.size())) return -1;
    total += n;
  }
  return total > 0x7FFFFFFF ? 0x7FFFFFFF : int(total);
}

extern "C" RS_API int tools_dbtodef(flash* entry) {
  static const char* const kNames[3] = {"sat.db", "tp.db", "prog.db"};
  static const char* const kRoot[3] = {"ROOT//sat.db", "ROOT//tp.db", "ROOT//prog.db"};
  flash_rm(entry, "ROOT//default_data.db");
  std::vector<uint8_t> buf;
  int result = 0;
  for (int i = 0; i < 3; ++i) {
    long n = read_image_file(entry, db_name_get(entry, kNames[i]), buf);
    if (n > 0 && flash_write(entry, kRoot[i], buf.data(), int(n)) < 0) result = -1;
  }
  return result;
}

extern "C" RS_API int tools_default_db(flash* entry, const char* filename) {
  // Checked first: removing the installed defaults and then failing to add
  // the new file would leave the image with none.
  if (!readable_file(filename)) return -1;
  flash_rm(entry, "ROOT//default_data.db");
  flash_rm(entry, "ROOT//sat.db");
  flash_rm(entry, "ROOT//prog.db");
  flash_rm(entry, "ROOT//tp.db");
  return flash_add(entry, "ROOT//default_data.db", filename);
}

extern "C" RS_API int tools_datareset(flash* entry) { return flash_update(entry, "DATA", nullptr, 0); }

// The replacing tools remove first because a minifs write does not truncate
// an existing file.
extern "C" RS_API int tools_language(flash* entry, const char* language) {
  if (!language) return -1;
  const char* path = "ROOT//dvb/theme/language/language";
  flash_rm(entry, path);
  return flash_write(entry, path, language, int(std::strlen(language)));
}

extern "C" RS_API int tools_keymap(flash* entry, const char* filename) {
  if (!readable_file(filename)) return -1;
  const char* path = "ROOT//dvb/theme/keymap.xml";
  flash_rm(entry, path);
  return flash_add(entry, path, filename);
}
