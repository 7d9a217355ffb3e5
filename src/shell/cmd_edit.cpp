// Handlers that change and extract single files inside partitions with their
// attributes, and the long and machine-readable listings.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "core/found.h"
#include "core/fs_api.h"
#include "core/image_state.h"
#include "core/state.h"
#include "core/table.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/fileio.h"
#include "util/mapping.h"
#include "util/strutil.h"

namespace {

bool parse_uint(const char* s, int base, uint64_t max, uint64_t* out) {
  if (!s || !*s) return false;
  uint64_t v = 0;
  for (const char* p = s; *p; ++p) {
    int d;
    if (*p >= '0' && *p <= '9')
      d = *p - '0';
    else
      return false;
    if (d >= base) return false;
    v = v * uint64_t(base) + uint64_t(d);
    if (v > max) return false;
  }
  *out = v;
  return true;
}

bool parse_mode(const char* s, uint32_t* mode) {
  uint64_t v;
  if (!parse_uint(s, 8, 07777, &v)) return false;
  *mode = uint32_t(v);
  return true;
}

bool parse_owner(const char* s, uint32_t* uid, uint32_t* gid) {
  const char* colon = s ? std::strchr(s, ':') : nullptr;
  if (!colon) return false;
  std::string u(s, size_t(colon - s));
  uint64_t a, b;
  if (!parse_uint(u.c_str(), 10, 0xFFFFFFFEu, &a) || !parse_uint(colon + 1, 10, 0xFFFFFFFEu, &b)) return false;
  *uid = uint32_t(a);
  *gid = uint32_t(b);
  return true;
}

// A malformed argument: the reason, then the usage line.
int bad_argument(const char* fmt, const char* what) {
  cmd_fail(fmt, what);
  return -1;
}

// The bytes of a file through the older read entry, for file systems that do
// not offer the operations with reasons yet. A missing file reads as empty.
int legacy_read(flash* entry, const char* full, std::vector<uint8_t>* out) {
  out->clear();
  const int chunk = 1 << 20;
  for (;;) {
    if (out->size() > size_t(0x7FFFFFFF - chunk)) return -EFBIG;
    size_t at = out->size();
    out->resize(at + size_t(chunk));
    int n = flash_read(entry, full, out->data() + at, chunk, int(at));
    if (n < 0) {
      out->clear();
      return -RS_ENOFS;
    }
    out->resize(at + size_t(n));
    if (n < chunk) return 0;
  }
}

char type_char(uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return 'd';
    case S_IFLNK:
      return 'l';
    case S_IFCHR:
      return 'c';
    case S_IFBLK:
      return 'b';
    case S_IFIFO:
      return 'p';
    case S_IFSOCK:
      return 's';
    default:
      return '-';
  }
}

const char* type_name(uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return "directory";
    case S_IFLNK:
      return "symlink";
    case S_IFCHR:
      return "chardev";
    case S_IFBLK:
      return "blockdev";
    case S_IFIFO:
      return "fifo";
    case S_IFSOCK:
      return "socket";
    default:
      return "file";
  }
}

std::string mode_string(uint32_t mode) {
  std::string s(10, '-');
  s[0] = type_char(mode);
  const char* rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i)
    if (mode & (0400u >> i)) s[size_t(i) + 1] = rwx[i];
  if (mode & S_ISUID) s[3] = (mode & 0100) ? 's' : 'S';
  if (mode & S_ISGID) s[6] = (mode & 0010) ? 's' : 'S';
  if (mode & S_ISVTX) s[9] = (mode & 0001) ? 't' : 'T';
  return s;
}

bool is_device(uint32_t mode) { return S_ISCHR(mode) || S_ISBLK(mode); }

// "PART" for the root, "PART/etc/issue" below it: a name the other commands take.
std::string flash_path(const std::string& part, const std::string& path) {
  return path == "/" || path.empty() ? part : part + path;
}

void print_long(const std::string& part, const fs_node& n) {
  const fs_attr& a = n.attr;
  std::string owner = rs::strprintf("%u/%u", a.uid, a.gid);
  std::string size = is_device(a.mode) ? rs::strprintf("%3u,%4u", gnu_dev_major(a.rdev), gnu_dev_minor(a.rdev))
                                       : rs::strprintf("%" PRIu64, a.size);
  int pad = std::max(1, 25 - int(owner.size()));
  time_t t = time_t(a.mtime);
  struct tm tm;
  gmtime_r(&t, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
  std::printf("%s %s%*s %s %s", mode_string(a.mode).c_str(), owner.c_str(), pad, size.c_str(), when,
              flash_path(part, n.path).c_str());
  if (S_ISLNK(a.mode)) std::printf(" -> %s", a.target.c_str());
  std::printf("\n");
}

// The length of the well-formed UTF-8 sequence at b[i], 0 when there is none
// (overlong forms, surrogates and code points past U+10FFFF included).
size_t utf8_at(const unsigned char* b, size_t i, size_t n) {
  unsigned char c = b[i];
  if (c < 0x80) return 1;
  size_t len = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (!len || i + len > n) return 0;
  for (size_t k = 1; k < len; ++k)
    if ((b[i + k] & 0xC0) != 0x80) return 0;
  if (len == 3 && ((c == 0xE0 && b[i + 1] < 0xA0) || (c == 0xED && b[i + 1] >= 0xA0))) return 0;
  if (len == 4 && ((c == 0xF0 && b[i + 1] < 0x90) || (c == 0xF4 && b[i + 1] >= 0x90))) return 0;
  return len;
}

bool is_utf8(const std::string& s) {
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0, len; i < s.size(); i += len)
    if ((len = utf8_at(b, i, s.size())) == 0) return false;
  return true;
}

// JSON text of arbitrary bytes: each byte that is not part of UTF-8 becomes
// U+FFFD, so the document stays valid; the exact bytes go in a *_bytes field.
std::string json_str(const std::string& s) {
  std::string o = "\"";
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = b[i];
    if (c == '"' || c == '\\') {
      o += '\\';
      o += char(c);
    } else if (c < 0x20 || c == 0x7F) {
      o += rs::strprintf("\\u%04x", c);
    } else if (size_t len = utf8_at(b, i, n)) {
      o.append(s, i, len);
      i += len - 1;
    } else {
      o += "\\ufffd";
    }
  }
  return o + "\"";
}

// `"key":"text"`, and `"key_bytes":"hex"` beside it when the text is not
// UTF-8: a stored byte 0xE9 and a stored U+00E9 must not read alike.
std::string json_name(const char* key, const std::string& s) {
  std::string o = rs::strprintf("\"%s\":", key) + json_str(s);
  if (is_utf8(s)) return o;
  o += rs::strprintf(",\"%s_bytes\":\"", key);
  for (unsigned char c : s) o += rs::strprintf("%02x", c);
  return o + "\"";
}

const char* jbool(bool v) { return v ? "true" : "false"; }

// Version of the JSON documents; raised when a field changes meaning or goes.
constexpr int kJsonSchema = 2;

// The room a partition would have free if saved now: its area less what it
// uses, except that an edited file system is built to know (the measure of
// flash_room, taken without recording a failure of this listing's own).
struct room {
  bool known = true;
  long long bytes = 0;
  std::string why;  // when not known
};

room partition_room(flash* entry, const partition_data& p) {
  room r;
  const partition_info* in = p.info;
  int idx = partition_index(entry, p);
  if (p.fs && idx >= 0 && state_of(entry).fs_edited[idx]) {
    int rc = flash_fs_room(entry, partition_name(in).c_str(), &r.bytes, &r.why);
    if (rc == 0) return r;
    r.known = false;
    if (r.why.empty()) r.why = std::strerror(rc < 0 ? -rc : EIO);
    return r;
  }
  uint32_t area = std::min(in->partition_size ? in->partition_size : in->total_size, in->total_size);
  r.bytes = (long long)area - (long long)in->used_size;
  return r;
}

std::string json_room(const room& r) { return r.known ? std::to_string(r.bytes) : std::string("null"); }

std::string mib(long long bytes) { return rs::strprintf("%.2f MiB", double(bytes) / 1048576.0); }

// The line `ls -l` gives a whole partition before its entries.
void print_room_line(flash* entry, const partition_data& p) {
  const partition_info* in = p.info;
  std::string name = partition_name(in);
  uint32_t area = std::min(in->partition_size ? in->partition_size : in->total_size, in->total_size);
  room r = partition_room(entry, p);
  if (!r.known)
    std::printf("%s: free room unknown: the edited file system cannot be built (%s)\n", name.c_str(), r.why.c_str());
  else if (r.bytes < 0)
    std::printf("%s: %s over the %s partition\n", name.c_str(), mib(-r.bytes).c_str(), mib(area).c_str());
  else
    std::printf("%s: %s free of %s\n", name.c_str(), mib(r.bytes).c_str(), mib(area).c_str());
}

std::string json_node(const fs_node& n) {
  const fs_attr& a = n.attr;
  std::string name = n.path == "/" ? "" : n.path.substr(n.path.rfind('/') + 1);
  std::string o = "{" + json_name("path", n.path) + "," + json_name("name", name) +
                  rs::strprintf(
                      ",\"type\":\"%s\",\"mode\":\"%04o\",\"uid\":%u,\"gid\":%u,"
                      "\"size\":%" PRIu64 ",\"mtime\":%u,\"nlink\":%u",
                      type_name(a.mode), a.mode & 07777, a.uid, a.gid, a.size, a.mtime, a.nlink);
  if (S_ISLNK(a.mode)) o += "," + json_name("target", a.target);
  if (is_device(a.mode)) o += rs::strprintf(",\"major\":%u,\"minor\":%u", gnu_dev_major(a.rdev), gnu_dev_minor(a.rdev));
  return o + "}";
}

void print_table_json(flash* entry) {
  const partition_table& t = entry->flash_table;
  const image_state& s = state_of(entry);
  // Only an image read from a file had its table found somewhere.
  std::string offset = s.file_length && !s.found ? std::to_string(s.table_found_at) : std::string("null");
  std::printf(
      "{\"schema\":%d,\"flash_size\":%zu,\"block_size\":%zu,\"partition_version\":%d,\"partition_count\":%d,"
      "\"table_enable\":%s,\"write_protect\":%s,\"crc32_enable\":%s,\"table_crc32\":%u,\"table_format\":\"v%d\","
      "\"table_offset\":%s,\"layout\":\"%s\",\"scanned_offsets\":%zu,\"partitions\":[",
      kJsonSchema, entry->flash_size, entry->block_size, int(t.version), int(t.count), jbool(entry->table_enable),
      jbool(t.write_protect), jbool(t.crc32_enable), t.crc_verify, entry->table_version, offset.c_str(), layout_word(entry),
      s.found_scanned);
  for (int i = 0; i < entry->count; ++i) {
    const partition_data& p = entry->list[i];
    const partition_info* in = p.info;
    const char* fs = "none";
    if (fs_ops_of(p.fs, in->file_system_type)) fs = p.fs ? "loaded" : "unreadable";
    std::printf(
        "%s{\"id\":%u,%s,\"fs\":%s,\"fs_type\":%d,\"mode\":\"%s\",\"crc32\":%u,\"update_tags\":%u,"
        "\"version\":%u,\"start\":%u,\"total_size\":%u,\"partition_size\":%u,\"used_size\":%u,"
        "\"reserved_size\":%u,\"crc32_enable\":%s,\"crc32_passed\":%s,\"write_protect\":%s,\"mtd_id\":%u,"
        "\"file_system\":\"%s\",\"free_size\":%s}",
        i ? "," : "", unsigned(in->id), json_name("name", partition_name(in)).c_str(),
        json_str(get_fstype(in->file_system_type)).c_str(), int(in->file_system_type), in->mode ? "RW" : "RO",
        in->crc32, unsigned(in->update_tags), unsigned(in->version), in->start_addr, in->total_size, in->partition_size,
        in->used_size, in->reserved_size, jbool(in->crc32_enable), jbool(p.crc32_passed), jbool(in->write_protect),
        unsigned(in->mtd_id), fs, json_room(partition_room(entry, p)).c_str());
  }
  std::printf("]}\n");
}

// Partition name and the walk of `full`.
int walk(flash* entry, const char* full, std::string* part, std::vector<fs_node>* nodes) {
  const char* slash = std::strchr(full, '/');
  *part = slash ? std::string(full, size_t(slash - full)) : std::string(full);
  partition_data* p = flash_get_partition(entry, part->c_str());
  if (p) *part = partition_name(p->info);
  fs_attr a;
  int rc = flash_fs_stat(entry, full, &a);
  if (rc != 0) return rc;
  if (!S_ISDIR(a.mode)) {
    std::string path;
    partition_data* pd;
    const fs_ops* ops;
    flash_fs_resolve(entry, full, &pd, &ops, &path);
    nodes->push_back({path, a});
    return 0;
  }
  return flash_fs_walk(entry, full, nodes);
}

}  // namespace

int shell_read_file(flash* entry, const char* full, std::vector<uint8_t>* out) {
  int rc = flash_fs_get(entry, full, out);
  if (rc == -ENOSYS) rc = legacy_read(entry, full, out);
  return rc;
}

int shell_stream_file(flash* entry, const char* full, const std::function<bool(const uint8_t*, size_t)>& sink) {
  int rc = flash_fs_stream(entry, full, sink);
  if (rc != -ENOSYS) return rc;
  std::vector<uint8_t> data;
  rc = legacy_read(entry, full, &data);
  if (rc == 0 && !data.empty() && !sink(data.data(), data.size())) rc = -ECANCELED;
  return rc;
}

int shell_read_failed(flash* entry, const char* full, int code) {
  fs_attr a;
  // Only regular files have content to give; say what the path is instead.
  if (code == -EINVAL && flash_fs_stat(entry, full, &a) == 0) {
    if (S_ISLNK(a.mode)) return cmd_fail("%s: a symbolic link to %s, not a file", full, a.target.c_str());
    return cmd_fail("%s: a %s, not a file", full, type_name(a.mode));
  }
  return cmd_fail_code(full, code);
}

int shell_put_file(flash* entry, const char* full, const void* buf, size_t size, const fs_put_attr* attr) {
  int rc = flash_fs_put(entry, full, buf, size, attr);
  if (rc == -ENOSYS && !(attr && (attr->has_mode || attr->has_owner))) {
    // The older entry, for file systems without the operations with reasons.
    if (size > 0x7FFFFFFF) return cmd_fail_code(full, -EFBIG);
    rc = flash_write(entry, full, buf, int(size));
    if (rc < 0) return cmd_fail("%s: the file system refused the file", full);
    return 0;
  }
  if (rc < 0) return cmd_fail_code(full, rc);
  return 0;
}

bool shell_read_local(const char* name, std::vector<uint8_t>* out) {
  struct stat st;
  // An empty file maps to nothing but is a valid content.
  if (::stat(name, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
    out->clear();
    return true;
  }
  rs::MappedFile map;
  if (!map.open(name)) {
    int err = errno;
    cmd_fail_reported("%s: %s", name, std::strerror(err ? err : EIO));
    return false;
  }
  out->assign(map.data(), map.data() + map.size());
  return true;
}

int shell_list(flash* entry, const char* target, bool json) {
  if (!target && json) {
    print_table_json(entry);
    return 0;
  }
  std::vector<std::string> targets;
  if (target) {
    targets.push_back(target);
  } else {
    for (int i = 0; i < entry->count; ++i)
      if (fs_ops_of(entry->list[i].fs, entry->list[i].info->file_system_type)) targets.push_back(partition_name(entry->list[i].info));
  }
  int status = 0;
  for (const std::string& t : targets) {
    std::string part;
    std::vector<fs_node> nodes;
    int rc = walk(entry, t.c_str(), &part, &nodes);
    if (rc < 0) {
      status = cmd_fail_code(t, rc);
      if (target) return status;
      continue;
    }
    const partition_data* pd = flash_get_partition(entry, part.c_str());
    if (json) {
      std::string path = nodes.empty() ? "/" : nodes[0].path;
      std::printf("{\"schema\":%d,%s,%s,\"free_size\":%s,\"entries\":[", kJsonSchema,
                  json_name("partition", part).c_str(), json_name("path", path).c_str(),
                  pd ? json_room(partition_room(entry, *pd)).c_str() : "null");
      for (size_t i = 0; i < nodes.size(); ++i) std::printf("%s%s", i ? "," : "", json_node(nodes[i]).c_str());
      std::printf("]}\n");
    } else {
      // The room belongs to the partition: said when the whole of it is listed.
      if (pd && !nodes.empty() && nodes[0].path == "/") print_room_line(entry, *pd);
      for (const fs_node& n : nodes) print_long(part, n);
    }
  }
  return status;
}

int cmd_mkdir(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  bool parents = argc == 3 && std::strcmp(argv[1], "-p") == 0;
  if (argc != (parents ? 3 : 2)) return usage_not_right();
  const char* path = argv[parents ? 2 : 1];
  int rc = flash_fs_mkdir(root_entry, path, 0755, parents);
  return rc < 0 ? cmd_fail_code(path, rc) : 0;
}

int cmd_chmod(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc != 3) return usage_not_right();
  uint32_t mode;
  if (!parse_mode(argv[1], &mode)) return bad_argument("invalid mode '%s' (octal, at most 7777)", argv[1]);
  int rc = flash_fs_chmod(root_entry, argv[2], mode);
  return rc < 0 ? cmd_fail_code(argv[2], rc) : 0;
}

int cmd_chown(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc != 3) return usage_not_right();
  uint32_t uid, gid;
  if (!parse_owner(argv[1], &uid, &gid)) return bad_argument("invalid owner '%s' (numeric uid:gid)", argv[1]);
  int rc = flash_fs_chown(root_entry, argv[2], uid, gid);
  return rc < 0 ? cmd_fail_code(argv[2], rc) : 0;
}

int cmd_ln(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc != 4) return usage_not_right();
  if (std::strcmp(argv[1], "-s") != 0) return bad_argument("only symbolic links are made: '%s' must be -s", argv[1]);
  int rc = flash_fs_symlink(root_entry, argv[2], argv[3]);
  return rc < 0 ? cmd_fail_code(argv[3], rc) : 0;
}

int cmd_get(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc != 3) return usage_not_right();
  // Streamed in bounded pieces: any size, holes kept where the target can hold them.
  fs_attr a;
  int stat_rc = flash_fs_stat(root_entry, argv[1], &a);
  bool has_mode = stat_rc == 0;
  int read_rc = 0;
  auto copy = [&](FILE* f) {
    rs::SparseOut out(f);
    int err = 0;
    read_rc = shell_stream_file(root_entry, argv[1], [&](const uint8_t* d, size_t n) {
      bool ok = d ? out.put(d, n) : out.zeros(n);
      err = errno;
      return ok;
    });
    errno = err;
    return read_rc == 0 && out.finish();
  };
  if (std::strcmp(argv[2], "-") == 0) {
    std::fflush(stdout);
    errno = 0;
    bool ok = copy(stdout);
    int err = errno;
    if (read_rc != 0 && read_rc != -ECANCELED) return shell_read_failed(root_entry, argv[1], read_rc);
    if (!ok || std::fflush(stdout) != 0) return cmd_fail("standard output: %s", std::strerror(ok ? errno : err));
    return 0;
  }
  // A path that holds no file fails before anything is written.
  if (has_mode && !S_ISREG(a.mode)) return shell_read_failed(root_entry, argv[1], S_ISDIR(a.mode) ? -EISDIR : -EINVAL);
  if (!has_mode && stat_rc != -ENOSYS) return shell_read_failed(root_entry, argv[1], stat_rc);
  bool ok = rs::write_file_atomic(argv[2], [&](FILE* f) {
    struct stat st;
    // A device, fifo or socket target keeps its own mode.
    if (has_mode && ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode) && ::fchmod(::fileno(f), a.mode & 0777) != 0)
      return false;
    return copy(f);
  });
  if (read_rc != 0 && read_rc != -ECANCELED) return shell_read_failed(root_entry, argv[1], read_rc);
  if (!ok) return cmd_fail("%s: %s", argv[2], std::strerror(errno));
  return 0;
}

int cmd_put(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  fs_put_attr attr;
  int i = 1;
  for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
    if (std::strcmp(argv[i], "--mode") == 0) {
      if (!parse_mode(argv[i + 1], &attr.mode))
        return bad_argument("invalid mode '%s' (octal, at most 7777)", argv[i + 1]);
      attr.has_mode = true;
    } else if (std::strcmp(argv[i], "--owner") == 0) {
      if (!parse_owner(argv[i + 1], &attr.uid, &attr.gid))
        return bad_argument("invalid owner '%s' (numeric uid:gid)", argv[i + 1]);
      attr.has_owner = true;
    } else {
      return bad_argument("unknown option '%s'", argv[i]);
    }
  }
  if (argc - i != 2) return usage_not_right();
  std::vector<uint8_t> data;
  if (!shell_read_local(argv[i + 1], &data)) return CMD_FAILED;
  return shell_put_file(root_entry, argv[i], data.data(), data.size(), &attr);
}
