#include "core/diff.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "core/fs_api.h"
#include "core/state.h"
#include "core/table.h"
#include "util/strutil.h"

bool diff_report::same() const {
  if (!table.empty() || !entries.empty()) return false;
  for (const diff_partition& p : partitions)
    if (p.status != diff_status::same) return false;
  return true;
}

const char* diff_type_name(uint32_t mode) {
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

namespace {

diff_value num(long long v) { return {std::to_string(v), true, false}; }
diff_value flag(bool v) { return {v ? "true" : "false", true, false}; }
diff_value txt(std::string s) { return {std::move(s), false, false}; }
diff_value none() { return {"", false, true}; }

void field(std::vector<diff_change>& out, const char* what, diff_value a, diff_value b) {
  if (a.text != b.text || a.none != b.none) out.push_back({what, "", std::move(a), std::move(b)});
}

// Depth first with children by name: '/' sorts before every other byte, so a
// directory's entries follow it before its next sibling.
bool path_less(const std::string& x, const std::string& y) {
  size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    if (x[i] == y[i]) continue;
    if (x[i] == '/') return true;
    if (y[i] == '/') return false;
    return static_cast<unsigned char>(x[i]) < static_cast<unsigned char>(y[i]);
  }
  return x.size() < y.size();
}

bool below(const std::string& p, const std::string& dir) {
  if (dir == "/") return p != "/";
  return p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 && p[dir.size()] == '/';
}

std::string flash_path(const std::string& part, const std::string& path) { return path == "/" ? part : part + path; }

std::string device_text(uint32_t rdev) { return rs::strprintf("%u,%u", gnu_dev_major(rdev), gnu_dev_minor(rdev)); }

// Bounded pieces: two files are never held whole, whatever their size.
constexpr size_t kChunk = size_t(256) << 10;

struct Ctx {
  flash* a;
  flash* b;
  const diff_options& opt;
  diff_report* r;
  std::string* why;
  std::vector<uint8_t> buf_a, buf_b;
};

// `size` bytes or up to the end; the count, or a negative code.
long long read_full(flash* f, const std::string& full, uint8_t* buf, size_t size, uint64_t off) {
  size_t got = 0;
  while (got < size) {
    long long n = flash_fs_pread(f, full.c_str(), buf + got, size - got, off + got);
    if (n < 0) return n;
    if (n == 0) break;
    got += size_t(n);
  }
  return (long long)got;
}

// 1 when the contents differ, 0 when equal, negative on a read failure (of
// side B when *on_b).
int contents_differ(Ctx& c, const std::string& fa, const std::string& fb, uint64_t size, bool* on_b) {
  c.buf_a.resize(kChunk);
  c.buf_b.resize(kChunk);
  for (uint64_t off = 0; off < size;) {
    size_t want = size_t(std::min<uint64_t>(kChunk, size - off));
    long long na = read_full(c.a, fa, c.buf_a.data(), want, off);
    if (na < 0) return *on_b = false, int(na);
    long long nb = read_full(c.b, fb, c.buf_b.data(), want, off);
    if (nb < 0) return *on_b = true, int(nb);
    if (na != nb || std::memcmp(c.buf_a.data(), c.buf_b.data(), size_t(na)) != 0) return 1;
    if (na == 0) break;
    off += uint64_t(na);
  }
  return 0;
}

int trouble(Ctx& c, bool on_b, const std::string& full, int code) {
  *c.why = (on_b ? c.opt.name_b : c.opt.name_a) + ": " + full + ": " + fs_error_text(code);
  return code < 0 ? code : -code;
}

std::string hex(const std::vector<uint8_t>& v) {
  std::string s;
  for (uint8_t x : v) s += rs::strprintf("%02x", x);
  return s;
}

struct Caps {
  bool xattrs = true;  // both sides store extended attributes
  bool times = true;   // both sides store modification times
};

int compare_xattrs(Ctx& c, const std::string& fa, const std::string& fb, diff_entry* e) {
  fs_xattrs xa, xb;
  int rc = flash_fs_xattrs(c.a, fa.c_str(), &xa);
  if (rc < 0) return trouble(c, false, fa, rc);
  rc = flash_fs_xattrs(c.b, fb.c_str(), &xb);
  if (rc < 0) return trouble(c, true, fb, rc);
  std::map<std::string, std::vector<uint8_t>> ma(xa.begin(), xa.end()), mb(xb.begin(), xb.end());
  auto ia = ma.begin();
  auto ib = mb.begin();
  while (ia != ma.end() || ib != mb.end()) {
    if (ib == mb.end() || (ia != ma.end() && ia->first < ib->first)) {
      e->changes.push_back({"xattr", ia->first, txt(hex(ia->second)), none()});
      ++ia;
    } else if (ia == ma.end() || ib->first < ia->first) {
      e->changes.push_back({"xattr", ib->first, none(), txt(hex(ib->second))});
      ++ib;
    } else {
      if (ia->second != ib->second)
        e->changes.push_back({"xattr", ia->first, txt(hex(ia->second)), txt(hex(ib->second))});
      ++ia;
      ++ib;
    }
  }
  return 0;
}

// The differences of one path present on both sides. Of two different types
// only the types are told (e->type stays empty).
int compare_entry(Ctx& c, const Caps& caps, const std::string& fa, const std::string& fb, const fs_attr& a,
                  const fs_attr& b, diff_entry* e) {
  if ((a.mode & S_IFMT) != (b.mode & S_IFMT)) {
    e->changes.push_back({"type", "", txt(diff_type_name(a.mode)), txt(diff_type_name(b.mode))});
    return 0;
  }
  e->type = diff_type_name(a.mode);
  if (S_ISREG(a.mode)) {
    bool on_b = false;
    int rc = a.size != b.size ? 1 : contents_differ(c, fa, fb, a.size, &on_b);
    if (rc < 0) return trouble(c, on_b, on_b ? fb : fa, rc);
    if (rc > 0) e->changes.push_back({"content", "", num((long long)a.size), num((long long)b.size)});
  }
  // A link's own permission bits mean nothing (and file systems store different ones).
  if (!S_ISLNK(a.mode))
    field(e->changes, "mode", txt(rs::strprintf("%04o", a.mode & 07777)), txt(rs::strprintf("%04o", b.mode & 07777)));
  field(e->changes, "owner", txt(rs::strprintf("%u:%u", a.uid, a.gid)), txt(rs::strprintf("%u:%u", b.uid, b.gid)));
  if (S_ISLNK(a.mode)) field(e->changes, "target", txt(a.target), txt(b.target));
  if (S_ISCHR(a.mode) || S_ISBLK(a.mode))
    field(e->changes, "device", txt(device_text(a.rdev)), txt(device_text(b.rdev)));
  if (caps.xattrs) {
    int rc = compare_xattrs(c, fa, fb, e);
    if (rc < 0) return rc;
  }
  if (c.opt.times && caps.times) field(e->changes, "mtime", num(a.mtime), num(b.mtime));
  return 0;
}

// `full` itself and, for a directory, everything below it, in path_less order.
// -ENOENT when it is not there.
int tree_of(flash* f, const std::string& full, std::vector<fs_node>* out) {
  fs_attr a;
  int rc = flash_fs_stat(f, full.c_str(), &a);
  if (rc < 0) return rc;
  if (!S_ISDIR(a.mode)) {
    partition_data* pd;
    const fs_ops* ops;
    std::string path;
    rc = flash_fs_resolve(f, full.c_str(), &pd, &ops, &path);
    if (rc < 0) return rc;
    out->push_back({path, a});
    return 0;
  }
  rc = flash_fs_walk(f, full.c_str(), out);
  if (rc < 0) return rc;
  std::sort(out->begin(), out->end(), [](const fs_node& x, const fs_node& y) { return path_less(x.path, y.path); });
  return 0;
}

void note(Ctx& c, std::string text) {
  if (std::find(c.r->notes.begin(), c.r->notes.end(), text) == c.r->notes.end()) c.r->notes.push_back(std::move(text));
}

// What the two file systems can both store; a note for what goes uncompared.
Caps caps_of(Ctx& c, const std::string& part, const fs_ops* oa, const fs_ops* ob) {
  Caps k;
  auto lacking = [&](bool has_a, bool has_b, const char* what) {
    if (has_a && has_b) return true;
    const fs_ops* o = has_a ? ob : oa;
    note(c, rs::strprintf("%s: %s not compared (the %s file system of %s stores none)", part.c_str(), what, o->name,
                          has_a ? "B" : "A"));
    return false;
  };
  k.xattrs =
      (oa->get_xattrs || ob->get_xattrs) ? lacking(oa->get_xattrs, ob->get_xattrs, "extended attributes") : false;
  if (c.opt.times)
    k.times = (oa->set_mtime || ob->set_mtime) ? lacking(oa->set_mtime, ob->set_mtime, "modification times") : false;
  return k;
}

// The entries at and below `path` in both file systems. `scoped`: the path
// was named by the user, and missing on both sides it is an error.
int compare_tree(Ctx& c, const std::string& part_a, const std::string& part_b, const std::string& shown,
                 const std::string& path, bool scoped) {
  std::string fa = flash_path(part_a, path), fb = flash_path(part_b, path);
  partition_data* pd;
  const fs_ops *oa, *ob;
  std::string ignored;
  int rc = flash_fs_resolve(c.a, fa.c_str(), &pd, &oa, &ignored);
  if (rc < 0) return trouble(c, false, fa, rc);
  if (!pd->fs) return trouble(c, false, fa, -RS_EUNLOADED);
  rc = flash_fs_resolve(c.b, fb.c_str(), &pd, &ob, &ignored);
  if (rc < 0) return trouble(c, true, fb, rc);
  if (!pd->fs) return trouble(c, true, fb, -RS_EUNLOADED);
  Caps caps = caps_of(c, shown, oa, ob);

  std::vector<fs_node> na, nb;
  int ra = tree_of(c.a, fa, &na);
  if (ra < 0 && ra != -ENOENT) return trouble(c, false, fa, ra);
  int rb = tree_of(c.b, fb, &nb);
  if (rb < 0 && rb != -ENOENT) return trouble(c, true, fb, rb);
  if (scoped && ra == -ENOENT && rb == -ENOENT) {
    *c.why = flash_path(shown, path) + ": " + fs_error_text(ENOENT) + " in " + c.opt.name_a + " or " + c.opt.name_b;
    return -ENOENT;
  }

  size_t i = 0, j = 0;
  std::string skip;  // a directory whose entries are not compared one by one
  auto skipped = [&](const std::string& p) { return !skip.empty() && below(p, skip); };
  while (i < na.size() || j < nb.size()) {
    if (i < na.size() && skipped(na[i].path)) {
      ++i;
      continue;
    }
    if (j < nb.size() && skipped(nb[j].path)) {
      ++j;
      continue;
    }
    if (i >= na.size() && j >= nb.size()) break;
    diff_entry e;
    bool only_a = j >= nb.size() || (i < na.size() && path_less(na[i].path, nb[j].path));
    bool only_b = !only_a && (i >= na.size() || path_less(nb[j].path, na[i].path));
    if (only_a || only_b) {
      const fs_node& n = only_a ? na[i++] : nb[j++];
      e.path = flash_path(shown, n.path);
      e.status = only_a ? diff_status::only_a : diff_status::only_b;
      e.type = diff_type_name(n.attr.mode);
      // As diff -r does: a directory on one side is one line, not its whole content.
      if (S_ISDIR(n.attr.mode)) skip = n.path;
      c.r->entries.push_back(std::move(e));
      continue;
    }
    const fs_node& x = na[i++];
    const fs_node& y = nb[j++];
    e.path = flash_path(shown, x.path);
    rc = compare_entry(c, caps, flash_path(part_a, x.path), flash_path(part_b, y.path), x.attr, y.attr, &e);
    if (rc < 0) return rc;
    if (e.type.empty() && (S_ISDIR(x.attr.mode) || S_ISDIR(y.attr.mode))) skip = x.path;
    if (!e.changes.empty()) c.r->entries.push_back(std::move(e));
  }
  return 0;
}

void compare_fields(const partition_data& pa, const partition_data& pb, std::vector<diff_change>& f) {
  const partition_info& a = *pa.info;
  const partition_info& b = *pb.info;
  field(f, "id", num(a.id), num(b.id));
  field(f, "fs", txt(get_fstype(a.file_system_type)), txt(get_fstype(b.file_system_type)));
  field(f, "mode", txt(a.mode ? "RW" : "RO"), txt(b.mode ? "RW" : "RO"));
  field(f, "update_tags", num(a.update_tags), num(b.update_tags));
  field(f, "version", num(a.version), num(b.version));
  field(f, "start", num(a.start_addr), num(b.start_addr));
  field(f, "total_size", num(a.total_size), num(b.total_size));
  field(f, "partition_size", num(a.partition_size), num(b.partition_size));
  field(f, "used_size", num(a.used_size), num(b.used_size));
  field(f, "reserved_size", num(a.reserved_size), num(b.reserved_size));
  field(f, "crc32_enable", flag(a.crc32_enable), flag(b.crc32_enable));
  // The checksum itself follows from the bytes compared below; whether it
  // matches them is what tells.
  field(f, "crc32_passed", flag(pa.crc32_passed), flag(pb.crc32_passed));
  field(f, "write_protect", flag(a.write_protect), flag(b.write_protect));
  field(f, "mtd_id", num(a.mtd_id), num(b.mtd_id));
}

void compare_bytes(const partition_data& pa, const partition_data& pb, diff_partition* dp) {
  auto used = [](const partition_data& p) { return p.buf ? std::min(p.info->used_size, p.info->total_size) : 0u; };
  dp->a_size = used(pa);
  dp->b_size = used(pb);
  size_t n = size_t(std::min(dp->a_size, dp->b_size));
  const uint8_t* a = pa.buf;
  const uint8_t* b = pb.buf;
  size_t at = n;
  if (n) at = size_t(std::mismatch(a, a + n, b).first - a);
  if (at < n || dp->a_size != dp->b_size) {
    dp->bytes_differ = true;
    dp->first_difference = at;
  }
}

int compare_partition(Ctx& c, partition_data* pa, partition_data* pb) {
  diff_partition dp;
  dp.name = partition_name((pa ? pa : pb)->info);
  if (!pa || !pb) {
    dp.status = pa ? diff_status::only_a : diff_status::only_b;
    dp.compared = "none";
    c.r->partitions.push_back(std::move(dp));
    return 0;
  }
  compare_fields(*pa, *pb, dp.fields);
  const fs_ops* oa = fs_ops_of(pa->fs, pa->info->file_system_type);
  const fs_ops* ob = fs_ops_of(pb->fs, pb->info->file_system_type);
  size_t before = c.r->entries.size();
  if (is_table_partition(*pa) || is_table_partition(*pb)) {
    // The table's bytes are the fields compared above.
    dp.compared = "none";
  } else if (pa->fs && pb->fs && oa->walk && ob->walk) {
    dp.compared = "tree";
    // The same stored bytes read by the same file system are the same tree:
    // an unchanged partition costs a memory compare, not a read of every file.
    // (The whole area: a loader may read past the used bytes.)
    bool same_bytes = oa == ob && pa->buf && pb->buf && pa->info->used_size == pb->info->used_size &&
                      pa->info->total_size == pb->info->total_size &&
                      std::memcmp(pa->buf, pb->buf, pa->info->total_size) == 0;
    if (!same_bytes) {
      int rc = compare_tree(c, partition_name(pa->info), partition_name(pb->info), dp.name, "/", false);
      if (rc < 0) return rc;
    }
  } else {
    dp.compared = "bytes";
    if (oa && !pa->fs) note(c, dp.name + ": the " + oa->name + " file system of A cannot be read; bytes compared");
    if (ob && !pb->fs) note(c, dp.name + ": the " + ob->name + " file system of B cannot be read; bytes compared");
    compare_bytes(*pa, *pb, &dp);
  }
  dp.entries = c.r->entries.size() - before;
  if (!dp.fields.empty() || dp.bytes_differ || dp.entries) dp.status = diff_status::changed;
  c.r->partitions.push_back(std::move(dp));
  return 0;
}

void compare_table(flash* a, flash* b, std::vector<diff_change>& t) {
  field(t, "format", num(a->table_version), num(b->table_version));
  field(t, "revision", num(a->flash_table.version), num(b->flash_table.version));
  field(t, "flash_size", num((long long)a->flash_size), num((long long)b->flash_size));
  field(t, "block_size", num((long long)a->block_size), num((long long)b->block_size));
  field(t, "table_enable", flag(a->table_enable), flag(b->table_enable));
  field(t, "table_addr", num((long long)a->table_addr), num((long long)b->table_addr));
  field(t, "write_protect", flag(a->flash_table.write_protect), flag(b->flash_table.write_protect));
  field(t, "crc32_enable", flag(a->flash_table.crc32_enable), flag(b->flash_table.crc32_enable));
}

}  // namespace

int flash_diff(flash* a, flash* b, const char* scope, const diff_options& opt, diff_report* out, std::string* why) {
  *out = diff_report{};
  why->clear();
  Ctx c{a, b, opt, out, why, {}, {}};
  std::string s = scope ? scope : "";
  if (s.empty()) {
    compare_table(a, b, out->table);
    for (int i = 0; i < a->count; ++i) {
      partition_data* pa = &a->list[i];
      int rc = compare_partition(c, pa, flash_get_partition(b, partition_name(pa->info).c_str()));
      if (rc < 0) return rc;
    }
    for (int i = 0; i < b->count; ++i) {
      partition_data* pb = &b->list[i];
      if (!flash_get_partition(a, partition_name(pb->info).c_str())) compare_partition(c, nullptr, pb);
    }
    return 0;
  }
  size_t slash = s.find('/');
  std::string pname = s.substr(0, slash);
  partition_data* pa = pname.empty() ? nullptr : flash_get_partition(a, pname.c_str());
  partition_data* pb = pname.empty() ? nullptr : flash_get_partition(b, pname.c_str());
  if (slash == std::string::npos) {
    if (!pa && !pb) {
      *why = s + ": " + fs_error_text(RS_ENOPART) + " in " + opt.name_a + " or " + opt.name_b;
      return -RS_ENOPART;
    }
    return compare_partition(c, pa, pb);
  }
  // Entries only: the named path must lie in a file system on both sides.
  partition_data* pd;
  const fs_ops* ops;
  std::string path;
  int rc = flash_fs_resolve(a, s.c_str(), &pd, &ops, &path);
  if (rc < 0) return trouble(c, false, s, rc);
  rc = flash_fs_resolve(b, s.c_str(), &pd, &ops, &path);
  if (rc < 0) return trouble(c, true, s, rc);
  return compare_tree(c, partition_name(pa->info), partition_name(pb->info), partition_name(pa->info), path, true);
}
