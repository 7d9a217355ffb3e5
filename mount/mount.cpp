// `romsmith mount`: FUSE 3 high-level operations over the library's path calls.
// The image lives in memory while mounted; a file being written is kept whole in
// memory and put back on flush/release, and the image is saved once, after the
// mount ends, only if something changed.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <malloc.h>
#include <romsmith/romsmith.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "ahead.h"
#include "rs_mount.h"

namespace {

// A file's content while it is open for writing; shared by every open of the path.
struct Buffer {
  std::string path;  // flash path
  std::vector<uint8_t> data;
  bool dirty = false;
  int opens = 0;
};

struct Mount {
  flash* f = nullptr;
  std::string part;  // empty: the whole image, one entry per partition
  bool read_only = false;
  bool changed = false;
  std::map<std::string, std::shared_ptr<Buffer>> buffers;  // by flash path
  std::set<std::shared_ptr<Buffer>*> handles;              // opens not yet released
  std::map<std::string, long long> budget;                 // by partition: bytes still surely free
};

Mount g;

// Decode-ahead for files served from the image.
std::unique_ptr<rs_mount::Ahead> g_ahead;

// Directory listings of a whole file system, made by one walk on first need
// and dropped on every edit: a walk of one directory costs about as much as a
// walk of everything in the library (it counts hard links over the whole
// tree), so a find over a large tree would otherwise cost the square of its size.
struct Attr {
  uint32_t mode = 0, uid = 0, gid = 0, nlink = 0, rdev = 0;
  uint64_t size = 0;
  int64_t mtime = 0;
};
struct Listing {
  std::vector<std::pair<std::string, Attr>> entries;  // names in the walk's order
  std::unordered_map<std::string, size_t> pos;        // made when first needed
};
using Index = std::unordered_map<std::string, Listing>;           // by the directory's flash path
std::unordered_map<std::string, std::unique_ptr<Index>> g_index;  // by partition, as paths name it

rs_mount::ReadFn stored_reader(const std::string& path) {
  flash_stored* r = flash_stored_open(g.f, path.c_str());
  if (!r) return {};
  std::shared_ptr<flash_stored> h(r, flash_stored_close);
  return [h](void* buf, size_t n, uint64_t off) { return flash_stored_pread(h.get(), buf, n, off); };
}

// Every change to a tree is noted here: what was decoded ahead may no longer
// be what a path names. (The workers' readers hold their own copies, so a
// change made while they run is safe; only their results are stale.)
void note_edit() {
  g.changed = true;
  if (g_ahead) g_ahead->drop();
  g_index.clear();
}

struct IndexWalk {
  Index* ix;
  std::string part;
};

int index_entry(const char* path, const flash_stat_s* s, void* user) {
  auto* w = static_cast<IndexWalk*>(user);
  const char* slash = std::strchr(path, '/');
  if (!slash) {  // the file system's root
    (*w->ix)[w->part];
    return 0;
  }
  std::string full = w->part + slash;
  size_t cut = full.rfind('/');
  Attr a;
  a.mode = s->mode;
  a.uid = s->uid;
  a.gid = s->gid;
  a.nlink = s->nlink;
  a.rdev = s->rdev;
  a.size = s->size;
  a.mtime = s->mtime;
  (*w->ix)[full.substr(0, cut)].entries.emplace_back(full.substr(cut + 1), a);
  if (S_ISDIR(s->mode)) (*w->ix)[full];
  return 0;
}

// The listing of directory `dir` (a flash path); null when it is none or the walk fails.
Listing* listing(const std::string& dir) {
  std::string part = dir.substr(0, dir.find('/'));
  auto it = g_index.find(part);
  if (it == g_index.end()) {
    auto ix = std::make_unique<Index>();
    IndexWalk w{ix.get(), part};
    if (flash_walk(g.f, part.c_str(), -1, index_entry, &w) < 0) return nullptr;
    it = g_index.emplace(part, std::move(ix)).first;
  }
  auto d = it->second->find(dir);
  return d == it->second->end() ? nullptr : &d->second;
}

// Where `name` is in the listing; its size when it is none.
size_t position(Listing& l, const std::string& name) {
  if (l.pos.empty())
    for (size_t i = 0; i < l.entries.size(); ++i) l.pos.emplace(l.entries[i].first, i);
  auto at = l.pos.find(name);
  return at == l.pos.end() ? l.entries.size() : at->second;
}

// The attributes of `path` (below a partition's root) from the listings, if
// they are made: a lookup or getattr does not make them, since after an edit
// a walk of everything for one name costs more than its stat.
const Attr* listed_attr(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return nullptr;
  auto ix = g_index.find(path.substr(0, path.find('/')));
  if (ix == g_index.end()) return nullptr;
  auto d = ix->second->find(path.substr(0, slash));
  if (d == ix->second->end()) return nullptr;
  const size_t i = position(d->second, path.substr(slash + 1));
  return i < d->second.entries.size() ? &d->second.entries[i].second : nullptr;
}

// The regular files after entry `from` of directory `dir` (a flash path),
// until `next` holds `most`.
void files_after(const std::string& dir, Listing& l, size_t from, size_t most,
                 std::vector<std::pair<std::string, uint64_t>>* next) {
  for (size_t i = from; i < l.entries.size() && next->size() < most; ++i)
    if (S_ISREG(l.entries[i].second.mode)) next->emplace_back(dir + "/" + l.entries[i].first, l.entries[i].second.size);
}

// A file served from the image is opened: decode it and the files after it,
// in its directory and then in the directories after that one (a copy of a
// tree goes on there).
void read_ahead(const std::string& path) {
  if (!g_ahead) g_ahead = std::make_unique<rs_mount::Ahead>();
  uint64_t size = 0;
  if (const Attr* a = listed_attr(path)) {
    if (!S_ISREG(a->mode)) return;
    size = a->size;
  } else {
    flash_stat_s s;
    if (flash_stat(g.f, path.c_str(), &s) != 0 || !S_ISREG(s.mode)) return;
    size = uint64_t(s.size);
  }
  // Enough to keep the workers busy while the reader goes on; more would
  // cost every open its time.
  const size_t most = 64;
  std::vector<std::pair<std::string, uint64_t>> next;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  Listing* d = slash == std::string::npos ? nullptr : listing(dir);
  if (d) files_after(dir, *d, position(*d, path.substr(slash + 1)) + 1, most, &next);
  const size_t up = dir.rfind('/');
  Listing* parent = d && up != std::string::npos ? listing(dir.substr(0, up)) : nullptr;
  if (parent) {
    const std::string pdir = dir.substr(0, up);
    for (size_t i = position(*parent, dir.substr(up + 1)) + 1; i < parent->entries.size() && next.size() < most; ++i)
      if (S_ISDIR(parent->entries[i].second.mode))
        if (Listing* sib = listing(pdir + "/" + parent->entries[i].first))
          files_after(pdir + "/" + parent->entries[i].first, *sib, 0, most, &next);
  }
  g_ahead->schedule(path, size, 0, next, stored_reader);
}

// Where messages go once the mount runs in the background: daemonising points
// stderr at /dev/null, so a terminal it came from is kept, else the system log
// (a pipe kept open would hold up whoever waits for the command to finish).
int g_err_fd = 2;
bool g_syslog = false;

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  char line[4096];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (g_syslog) {
    syslog(LOG_ERR, "%s", line);
    return;
  }
  size_t n = std::strlen(line);
  for (size_t at = 0; at < n;) {
    ssize_t w = ::write(g_err_fd, line + at, n - at);
    if (w <= 0) break;
    at += size_t(w);
  }
}

// The library's own codes for a missing partition, a missing, unreadable file
// system and a bad path, as errnos a caller understands.
int errno_of(long long rc) {
  switch (rc) {
    case -4001:
      return -ENOENT;
    case -4002:
      return -ENODEV;
    case -4003:
      return -EIO;
    case -4004:
      return -EINVAL;
  }
  if (rc < 0 && rc > -4000) return int(rc);
  return rc < 0 ? -EIO : 0;
}

std::string part_name(const partition_data& p) {
  if (!p.info) return "";
  return std::string(p.info->name, strnlen(p.info->name, sizeof p.info->name));
}

// A name the image holds is only usable as one path component.
bool usable_name(const std::string& n) {
  return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos;
}

bool has_fs(const std::string& name) {
  flash_stat_s st;
  return flash_stat(g.f, name.c_str(), &st) == 0 && S_ISDIR(st.mode);
}

partition_data* raw_partition(const std::string& name) {
  for (int i = 0; i < g.f->count; ++i) {
    partition_data& p = g.f->list[i];
    if (part_name(p) == name && usable_name(name) && !has_fs(name)) return &p;
  }
  return nullptr;
}

// What a mount path names: the root of a whole-image mount, a raw partition,
// or a flash path inside a file system.
struct Target {
  enum Kind { kTop, kRaw, kFs } kind = kFs;
  std::string path;               // flash path for kFs
  partition_data* raw = nullptr;  // for kRaw
};

int resolve(const char* mpath, Target* t) {
  std::string p = mpath;
  if (!g.part.empty()) {
    t->kind = Target::kFs;
    t->path = p == "/" ? g.part : g.part + p;
    return 0;
  }
  if (p == "/") {
    t->kind = Target::kTop;
    return 0;
  }
  std::string rest = p.substr(1);
  size_t slash = rest.find('/');
  std::string first = rest.substr(0, slash);
  if (partition_data* raw = raw_partition(first)) {
    if (slash != std::string::npos) return -ENOTDIR;
    t->kind = Target::kRaw;
    t->raw = raw;
    return 0;
  }
  t->kind = Target::kFs;
  t->path = rest;
  return 0;
}

// The path inside a file system, refusing the top and raw partitions.
int fs_path(const char* mpath, std::string* out, bool write) {
  Target t;
  int rc = resolve(mpath, &t);
  if (rc) return rc;
  if (t.kind != Target::kFs) return write ? -EPERM : -EISDIR;
  if (write && g.read_only) return -EROFS;
  *out = t.path;
  return 0;
}

// A partition's root is not a file-system entry one may remove or rename.
bool is_part_root(const std::string& path) { return path.find('/') == std::string::npos; }

partition_data* partition_of(const std::string& path) {
  std::string name = path.substr(0, path.find('/'));
  for (int i = 0; i < g.f->count; ++i)
    if (g.f->list[i].info && strcasecmp(part_name(g.f->list[i]).c_str(), name.c_str()) == 0) return &g.f->list[i];
  return nullptr;
}

// Room the partition's area leaves after its file system as last built.
long long room(const partition_data* p) {
  long long area = p->info->partition_size ? p->info->partition_size : p->info->total_size;
  area = std::min<long long>(area, p->info->total_size);
  return area - (long long)p->info->used_size;
}

// A file system that outgrew its partition would fail the save at unmount, so
// each change (already made) is charged as soon as it is made: at its
// uncompressed size plus a margin against what surely remains, and, once that
// estimate runs out, against the exact room of a trial build (which then
// becomes what surely remains). -ENOSPC: it does not fit and the caller undoes it.
int charge(const std::string& path, long long cost) {
  partition_data* p = partition_of(path);
  // A minifs is a device of fixed size that refuses a put itself when full.
  if (!p || p->info->file_system_type == int8_t(FS_MINIFS)) return 0;
  std::string key = part_name(*p);
  auto it = g.budget.find(key);
  if (it == g.budget.end()) it = g.budget.emplace(key, room(p)).first;
  if (it->second >= cost) {
    it->second -= cost;
    return 0;
  }
  long long exact = 0;
  if (flash_room(g.f, key.c_str(), &exact) != 0 || exact < 0) {
    it->second = 0;  // after the undo the next change is measured again
    return -ENOSPC;
  }
  it->second = exact;
  return 0;
}

long long cost_of(size_t n) { return (long long)(n + n / 64 + 256); }

int put_buffer(Buffer& b) {
  if (!b.dirty || b.path.empty()) return 0;
  int rc = flash_put(g.f, b.path.c_str(), b.data.data(), b.data.size(), -1, -1, -1);
  if (rc < 0) {
    // Refused (no room, say): the buffer stays dirty so a later flush can retry.
    say("romsmith mount: %s\n", flash_last_error(g.f));
    return errno_of(rc);
  }
  b.dirty = false;
  note_edit();
  if (charge(b.path, cost_of(b.data.size())) == -ENOSPC) {
    // As on a full disk, the file stays, without the content that did not fit.
    b.data.clear();
    flash_put(g.f, b.path.c_str(), nullptr, 0, -1, -1, -1);
    say("romsmith mount: %s: no space left in the partition\n", b.path.c_str());
    return -ENOSPC;
  }
  return 0;
}

// Attribute changes and renames apply to the stored file, so its pending content goes first.
int settle(const std::string& path) {
  auto it = g.buffers.find(path);
  return it == g.buffers.end() ? 0 : put_buffer(*it->second);
}

void fill_attr(const Attr& s, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_mode = s.mode;
  st->st_uid = s.uid;
  st->st_gid = s.gid;
  st->st_nlink = s.nlink ? s.nlink : 1;
  st->st_rdev = s.rdev;
  st->st_size = off_t(s.size);
  st->st_blocks = off_t((s.size + 511) / 512);
  st->st_blksize = 4096;
  st->st_mtim.tv_sec = st->st_atim.tv_sec = st->st_ctim.tv_sec = time_t(s.mtime);
}

void fill_stat(const flash_stat_s& s, struct stat* st) {
  Attr a;
  a.mode = uint32_t(s.mode), a.uid = uint32_t(s.uid), a.gid = uint32_t(s.gid);
  a.nlink = uint32_t(s.nlink), a.rdev = uint32_t(s.rdev);
  a.size = uint64_t(s.size), a.mtime = int64_t(s.mtime);
  fill_attr(a, st);
}

int op_getattr(const char* mpath, struct stat* st, struct fuse_file_info*) {
  Target t;
  int rc = resolve(mpath, &t);
  if (rc) return rc;
  if (t.kind == Target::kTop) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (t.kind == Target::kRaw) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = t.raw->buf ? off_t(t.raw->info->used_size) : 0;
    st->st_blocks = (st->st_size + 511) / 512;
    return 0;
  }
  if (const Attr* a = listed_attr(t.path)) {
    fill_attr(*a, st);
  } else {
    flash_stat_s s;
    rc = flash_stat(g.f, t.path.c_str(), &s);
    if (rc < 0) return errno_of(rc);
    fill_stat(s, st);
  }
  auto it = g.buffers.find(t.path);
  if (it != g.buffers.end() && it->second->dirty) {
    st->st_size = off_t(it->second->data.size());
    st->st_blocks = (st->st_size + 511) / 512;
  }
  return 0;
}

// Names go with their types, so that a walk of the tree needs no lookup of
// each entry to tell directories from files. No attributes: the kernel takes
// them only with an entry of its own for each name, which slows a walk of a
// large tree (find) far more than it saves a copy of it (cp -a, ls -l).
int fill_typed(void* buf, fuse_fill_dir_t filler, const char* name, uint32_t mode) {
  struct stat st {};
  st.st_mode = mode & S_IFMT;
  return filler(buf, name, &st, 0, fuse_fill_dir_flags(0));
}

struct DirFill {
  void* buf;
  fuse_fill_dir_t filler;
  bool first = true;
};

int dir_entry(const char* path, const flash_stat_s* s, void* user) {
  auto* d = static_cast<DirFill*>(user);
  if (d->first) {  // the walk starts with the directory itself
    d->first = false;
    return 0;
  }
  const char* slash = std::strrchr(path, '/');
  const char* name = slash ? slash + 1 : path;
  if (!s) return d->filler(d->buf, name, nullptr, 0, fuse_fill_dir_flags(0)) ? 1 : 0;
  return fill_typed(d->buf, d->filler, name, s->mode) ? 1 : 0;
}

int op_readdir(const char* mpath, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
               enum fuse_readdir_flags) {
  Target t;
  int rc = resolve(mpath, &t);
  if (rc) return rc;
  if (t.kind == Target::kRaw) return -ENOTDIR;
  filler(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
  filler(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
  if (t.kind == Target::kTop) {
    for (int i = 0; i < g.f->count; ++i) {
      std::string n = part_name(g.f->list[i]);
      if (usable_name(n)) filler(buf, n.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
    }
    return 0;
  }
  if (const Listing* l = listing(t.path)) {
    for (const auto& [name, a] : l->entries)
      if (fill_typed(buf, filler, name.c_str(), a.mode)) break;
    return 0;
  }
  flash_stat_s s;
  rc = flash_stat(g.f, t.path.c_str(), &s);
  if (rc < 0) return errno_of(rc);
  if (!S_ISDIR(s.mode)) return -ENOTDIR;
  DirFill d{buf, filler};
  rc = flash_walk(g.f, t.path.c_str(), 1, dir_entry, &d);
  return rc < 0 ? errno_of(rc) : 0;
}

// Whole content of a stored file, for a write that starts from it.
int load_all(const std::string& path, std::vector<uint8_t>* out) {
  flash_stat_s s;
  int rc = flash_stat(g.f, path.c_str(), &s);
  if (rc < 0) return errno_of(rc);
  if (!S_ISREG(s.mode)) return -EINVAL;
  out->resize(size_t(s.size));
  size_t got = 0;
  while (got < out->size()) {
    long long n = flash_pread(g.f, path.c_str(), out->data() + got, out->size() - got, got);
    if (n < 0) return errno_of(n);
    if (n == 0) break;
    got += size_t(n);
  }
  out->resize(got);
  return 0;
}

std::shared_ptr<Buffer> buffer_for(const std::string& path, bool truncate, int* rc) {
  auto it = g.buffers.find(path);
  std::shared_ptr<Buffer> b;
  if (it != g.buffers.end()) {
    b = it->second;
  } else {
    b = std::make_shared<Buffer>();
    b->path = path;
    if (!truncate && (*rc = load_all(path, &b->data)) != 0) return nullptr;
    g.buffers[path] = b;
  }
  if (truncate && !b->data.empty()) {
    b->data.clear();
    b->dirty = true;
  } else if (truncate) {
    b->dirty = true;
  }
  ++b->opens;
  *rc = 0;
  return b;
}

// Each open owns a reference, so a buffer orphaned by unlink or rename stays
// valid until its last close. fh 0: a read-only open served from the image.
uint64_t handle(const std::shared_ptr<Buffer>& b) {
  auto* h = new std::shared_ptr<Buffer>(b);
  g.handles.insert(h);
  return uint64_t(uintptr_t(h));
}

Buffer* of(struct fuse_file_info* fi) {
  return fi && fi->fh ? reinterpret_cast<std::shared_ptr<Buffer>*>(uintptr_t(fi->fh))->get() : nullptr;
}

int op_open(const char* mpath, struct fuse_file_info* fi) {
  Target t;
  int rc = resolve(mpath, &t);
  if (rc) return rc;
  bool writing = (fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC);
  if (t.kind == Target::kTop) return -EISDIR;
  // A file served from the image has nothing to put back: its close is not
  // sent to us (one request less per file read).
  if (t.kind == Target::kRaw) {
    if (writing) return g.read_only ? -EROFS : -EACCES;
    fi->noflush = 1;
    return 0;
  }
  if (writing && g.read_only) return -EROFS;
  fi->fh = 0;
  auto open = g.buffers.find(t.path);
  if (!writing && open == g.buffers.end()) {
    fi->noflush = 1;
    read_ahead(t.path);
    return 0;
  }
  auto b = buffer_for(t.path, writing && (fi->flags & O_TRUNC), &rc);
  if (!b) return rc;
  fi->fh = handle(b);
  return 0;
}

int op_create(const char* mpath, mode_t mode, struct fuse_file_info* fi) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc) return rc;
  const fuse_context* c = fuse_get_context();
  rc = flash_put(g.f, path.c_str(), nullptr, 0, int(mode & 07777), long(c->uid), long(c->gid));
  if (rc < 0) return errno_of(rc);
  note_edit();
  auto b = buffer_for(path, true, &rc);
  if (!b) return rc;
  b->dirty = false;
  fi->fh = handle(b);
  return 0;
}

int op_read(const char* mpath, char* buf, size_t n, off_t off, struct fuse_file_info* fi) {
  if (Buffer* b = of(fi)) {
    if (size_t(off) >= b->data.size()) return 0;
    size_t k = std::min(n, b->data.size() - size_t(off));
    std::memcpy(buf, b->data.data() + off, k);
    return int(k);
  }
  Target t;
  int rc = resolve(mpath, &t);
  if (rc) return rc;
  if (t.kind == Target::kRaw) {
    size_t used = t.raw->buf ? t.raw->info->used_size : 0;
    if (size_t(off) >= used) return 0;
    size_t k = std::min(n, used - size_t(off));
    std::memcpy(buf, t.raw->buf + off, k);
    return int(k);
  }
  if (t.kind != Target::kFs) return -EISDIR;
  size_t held = 0;
  if (g_ahead) {
    held = g_ahead->take(t.path, uint64_t(off), buf, n);
    g_ahead->follow(t.path, uint64_t(off) + n);
    if (held == n) return int(n);
  }
  long long got = flash_pread(g.f, t.path.c_str(), buf + held, n - held, uint64_t(off) + held);
  return got < 0 ? errno_of(got) : int(held + size_t(got));
}

// Reads answer with memory libfuse frees after the reply: a piece decoded
// ahead that is the whole answer goes out as it is, without another copy.
int op_read_buf(const char* mpath, struct fuse_bufvec** bufp, size_t n, off_t off, struct fuse_file_info* fi) {
  auto* bv = static_cast<fuse_bufvec*>(std::malloc(sizeof(fuse_bufvec)));
  if (!bv) return -ENOMEM;
  *bv = FUSE_BUFVEC_INIT(0);
  *bufp = bv;
  if (g_ahead && !of(fi) && off >= 0) {
    Target t;
    if (resolve(mpath, &t) == 0 && t.kind == Target::kFs) {
      size_t len = 0;
      if (uint8_t* mem = g_ahead->take_whole(t.path, uint64_t(off), n, &len)) {
        g_ahead->follow(t.path, uint64_t(off) + n);
        bv->buf[0].mem = mem;
        bv->buf[0].size = len;
        return 0;
      }
    }
  }
  char* mem = static_cast<char*>(std::malloc(n ? n : 1));
  if (!mem) return -ENOMEM;
  bv->buf[0].mem = mem;
  int rc = op_read(mpath, mem, n, off, fi);
  if (rc < 0) return rc;
  bv->buf[0].size = size_t(rc);
  return 0;
}

int op_write(const char*, const char* buf, size_t n, off_t off, struct fuse_file_info* fi) {
  Buffer* b = of(fi);
  if (!b) return -EBADF;
  if (fi->flags & O_APPEND) off = off_t(b->data.size());
  size_t end = size_t(off) + n;
  if (end > b->data.size()) b->data.resize(end);
  std::memcpy(b->data.data() + off, buf, n);
  b->dirty = true;
  return int(n);
}

int op_flush(const char*, struct fuse_file_info* fi) {
  Buffer* b = of(fi);
  return b ? put_buffer(*b) : 0;
}

int op_release(const char* mpath, struct fuse_file_info* fi) {
  if (!fi->fh) {
    std::string path;
    if (g_ahead && fs_path(mpath, &path, false) == 0) g_ahead->forget(path);
    return 0;
  }
  auto* holder = reinterpret_cast<std::shared_ptr<Buffer>*>(uintptr_t(fi->fh));
  std::shared_ptr<Buffer> b = *holder;
  g.handles.erase(holder);
  delete holder;
  fi->fh = 0;
  // Release cannot report a failure and flush already did: what was refused is dropped.
  if (put_buffer(*b) != 0) b->dirty = false;
  if (--b->opens == 0 && !b->dirty) {
    auto it = g.buffers.find(b->path);
    if (it != g.buffers.end() && it->second == b) g.buffers.erase(it);
  }
  return 0;
}

int op_truncate(const char* mpath, off_t size, struct fuse_file_info* fi) {
  if (g.read_only) return -EROFS;
  Buffer* b = fi ? of(fi) : nullptr;
  std::string path;
  if (!b) {
    int rc = fs_path(mpath, &path, true);
    if (rc) return rc;
    auto it = g.buffers.find(path);
    if (it != g.buffers.end()) b = it->second.get();
  }
  if (b) {
    b->data.resize(size_t(size));
    b->dirty = true;
    return 0;
  }
  std::vector<uint8_t> data;
  int rc = load_all(path, &data);
  if (rc) return rc;
  data.resize(size_t(size));
  rc = flash_put(g.f, path.c_str(), data.data(), data.size(), -1, -1, -1);
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

// New entries belong to their maker, as on any other file system.
void own(const std::string& path) {
  const fuse_context* c = fuse_get_context();
  flash_stat_s s;
  if (flash_stat(g.f, path.c_str(), &s) == 0 && (s.uid != c->uid || s.gid != c->gid))
    flash_chown(g.f, path.c_str(), c->uid, c->gid);
}

int op_mknod(const char* mpath, mode_t mode, dev_t rdev) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc) return rc;
  if (S_ISREG(mode)) {
    const fuse_context* c = fuse_get_context();
    rc = flash_put(g.f, path.c_str(), nullptr, 0, int(mode & 07777), long(c->uid), long(c->gid));
  } else {
    // The library's numbers are the C library's own for 12-bit majors and 20-bit minors.
    if (major(rdev) > 0xfff || minor(rdev) > 0xfffff) return -EOVERFLOW;
    rc = flash_mknod(g.f, path.c_str(), unsigned(mode), unsigned(rdev));
    if (rc >= 0) own(path);
  }
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

int op_mkdir(const char* mpath, mode_t mode) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc) return rc;
  rc = flash_mkdir(g.f, path.c_str(), mode & 07777);
  if (rc < 0) return errno_of(rc);
  note_edit();
  own(path);
  if (charge(path, cost_of(0)) == -ENOSPC) {
    flash_remove(g.f, path.c_str());
    return -ENOSPC;
  }
  return 0;
}

int count_entry(const char*, const flash_stat_s*, void* user) {
  ++*static_cast<int*>(user);
  return 0;
}

int op_rmdir(const char* mpath) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc) return rc;
  if (is_part_root(path)) return -EBUSY;
  flash_stat_s s;
  rc = flash_stat(g.f, path.c_str(), &s);
  if (rc < 0) return errno_of(rc);
  if (!S_ISDIR(s.mode)) return -ENOTDIR;
  int n = 0;
  rc = flash_walk(g.f, path.c_str(), 1, count_entry, &n);
  if (rc < 0) return errno_of(rc);
  if (n > 1) return -ENOTEMPTY;  // the library would take the contents with it
  rc = flash_remove(g.f, path.c_str());
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

int op_unlink(const char* mpath) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc) return rc;
  flash_stat_s s;
  rc = flash_stat(g.f, path.c_str(), &s);
  if (rc < 0) return errno_of(rc);
  if (S_ISDIR(s.mode)) return -EISDIR;
  rc = flash_remove(g.f, path.c_str());
  if (rc < 0) return errno_of(rc);
  note_edit();
  // An open file that was unlinked has nowhere to go back to.
  auto it = g.buffers.find(path);
  if (it != g.buffers.end()) {
    it->second->dirty = false;
    it->second->path.clear();
    g.buffers.erase(it);
  }
  return 0;
}

int op_rename(const char* mfrom, const char* mto, unsigned int flags) {
  std::string from, to;
  int rc = fs_path(mfrom, &from, true);
  if (rc || (rc = fs_path(mto, &to, true))) return rc;
  if (flags & RENAME_EXCHANGE) return -EINVAL;
  if (is_part_root(from) || is_part_root(to)) return -EXDEV;
  if (from.substr(0, from.find('/')) != to.substr(0, to.find('/'))) return -EXDEV;
  flash_stat_s s;
  if ((flags & RENAME_NOREPLACE) && flash_stat(g.f, to.c_str(), &s) == 0) return -EEXIST;
  if ((rc = settle(from)) || (rc = settle(to))) return rc;
  rc = flash_rename(g.f, from.c_str(), to.c_str());
  if (rc < 0) return errno_of(rc);
  note_edit();
  // Open buffers follow their file; one at the replaced name is orphaned.
  auto old_to = g.buffers.find(to);
  if (old_to != g.buffers.end()) {
    old_to->second->path.clear();
    g.buffers.erase(old_to);
  }
  std::map<std::string, std::shared_ptr<Buffer>> moved;
  for (auto it = g.buffers.begin(); it != g.buffers.end();) {
    const std::string& p = it->first;
    if (p == from || p.compare(0, from.size() + 1, from + "/") == 0) {
      std::string np = to + p.substr(from.size());
      it->second->path = np;
      moved[np] = it->second;
      it = g.buffers.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& m : moved) g.buffers[m.first] = m.second;
  return 0;
}

int op_symlink(const char* target, const char* mlink) {
  std::string path;
  int rc = fs_path(mlink, &path, true);
  if (rc) return rc;
  rc = flash_symlink(g.f, target, path.c_str());
  if (rc < 0) return errno_of(rc);
  note_edit();
  own(path);
  if (charge(path, cost_of(std::strlen(target))) == -ENOSPC) {
    flash_remove(g.f, path.c_str());
    return -ENOSPC;
  }
  return 0;
}

int op_readlink(const char* mpath, char* buf, size_t n) {
  std::string path;
  int rc = fs_path(mpath, &path, false);
  if (rc) return rc == -EISDIR ? -EINVAL : rc;
  flash_stat_s s;
  rc = flash_stat(g.f, path.c_str(), &s);
  if (rc < 0) return errno_of(rc);
  if (!S_ISLNK(s.mode)) return -EINVAL;
  if (n == 0) return -EINVAL;
  std::snprintf(buf, n, "%s", s.target);
  return 0;
}

int op_chmod(const char* mpath, mode_t mode, struct fuse_file_info*) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc || (rc = settle(path))) return rc;
  rc = flash_chmod(g.f, path.c_str(), mode & 07777);
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

int op_chown(const char* mpath, uid_t uid, gid_t gid, struct fuse_file_info*) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc || (rc = settle(path))) return rc;
  flash_stat_s s;
  rc = flash_stat(g.f, path.c_str(), &s);
  if (rc < 0) return errno_of(rc);
  uint32_t u = uid == uid_t(-1) ? s.uid : uid, gr = gid == gid_t(-1) ? s.gid : gid;
  if (u == s.uid && gr == s.gid) return 0;  // nothing to store: the image stays unchanged
  rc = flash_chown(g.f, path.c_str(), u, gr);
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

// File systems that store no times take the call as done: cp -a, rsync -a and
// tar set times on everything and would fail every file otherwise.
int op_utimens(const char* mpath, const struct timespec tv[2], struct fuse_file_info*) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc || (rc = settle(path))) return rc;
  int64_t mtime;
  if (!tv || tv[1].tv_nsec == UTIME_NOW)
    mtime = int64_t(std::time(nullptr));
  else if (tv[1].tv_nsec == UTIME_OMIT)
    return 0;
  else
    mtime = int64_t(tv[1].tv_sec);
  flash_stat_s s;
  rc = flash_stat(g.f, path.c_str(), &s);
  if (rc < 0) return errno_of(rc);
  if (s.mtime == mtime) return 0;
  rc = flash_set_mtime(g.f, path.c_str(), mtime);
  if (rc == -EOPNOTSUPP) return 0;
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

int op_link(const char* mfrom, const char* mto) {
  std::string from, to;
  int rc = fs_path(mfrom, &from, true);
  if (rc || (rc = fs_path(mto, &to, true))) return rc;
  if (from.substr(0, from.find('/')) != to.substr(0, to.find('/'))) return -EXDEV;
  if ((rc = settle(from))) return rc;
  rc = flash_link(g.f, from.c_str(), to.c_str());
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

// Extended attributes where the file system stores them; a read-only mount
// and raw partitions list none.
int op_getxattr(const char* mpath, const char* name, char* value, size_t size) {
  std::string path;
  int rc = fs_path(mpath, &path, false);
  if (rc) return rc == -EISDIR ? -ENODATA : rc;
  long long n = flash_getxattr(g.f, path.c_str(), name, value, size);
  return n < 0 ? errno_of(n) : int(n);
}

int op_listxattr(const char* mpath, char* list, size_t size) {
  std::string path;
  int rc = fs_path(mpath, &path, false);
  if (rc) return rc == -EISDIR ? 0 : rc;
  long long n = flash_listxattr(g.f, path.c_str(), list, size);
  return n < 0 ? errno_of(n) : int(n);
}

int op_setxattr(const char* mpath, const char* name, const char* value, size_t size, int flags) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc || (rc = settle(path))) return rc;
  rc = flash_setxattr(g.f, path.c_str(), name, value ? value : "", size, flags);
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

int op_removexattr(const char* mpath, const char* name) {
  std::string path;
  int rc = fs_path(mpath, &path, true);
  if (rc || (rc = settle(path))) return rc;
  rc = flash_removexattr(g.f, path.c_str(), name);
  if (rc < 0) return errno_of(rc);
  note_edit();
  return 0;
}

int op_fsync(const char*, int, struct fuse_file_info* fi) {
  Buffer* b = of(fi);
  return b ? put_buffer(*b) : 0;
}

// Sizes in 4 KiB blocks: the partition's area, and what the mount would still let in.
int op_statfs(const char* mpath, struct statvfs* sv) {
  std::memset(sv, 0, sizeof *sv);
  sv->f_bsize = sv->f_frsize = 4096;
  sv->f_namemax = 255;
  Target t;
  int rc = resolve(mpath, &t);
  if (rc) return rc;
  for (int i = 0; i < g.f->count; ++i) {
    partition_data& p = g.f->list[i];
    if (!p.info || (t.kind == Target::kFs && &p != partition_of(t.path)) || (t.kind == Target::kRaw && &p != t.raw))
      continue;
    long long area = (long long)p.info->used_size + room(&p);
    auto b = g.budget.find(part_name(p));
    long long left = t.kind == Target::kRaw ? 0 : b != g.budget.end() ? b->second : room(&p);
    sv->f_blocks += fsblkcnt_t(std::max(0LL, area) / 4096);
    sv->f_bfree += fsblkcnt_t(std::max(0LL, left) / 4096);
  }
  sv->f_bavail = sv->f_bfree;
  if (g.read_only) sv->f_flag |= ST_RDONLY;
  return 0;
}

void* op_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  // Listings carry names and types only (see fill_typed).
  conn->want &= ~unsigned(FUSE_CAP_READDIRPLUS);
  // Large files stream in bigger steps than the default.
  conn->max_readahead = std::max<unsigned>(conn->max_readahead, 1u << 20);
  // Requests of up to one decode-ahead piece (the request size follows
  // max_write), so that a piece usually answers one request whole.
  conn->max_write = unsigned(rs_mount::AheadLimits().window);
  // Content changes only through us, but a put can change sizes behind the kernel's cache.
  cfg->kernel_cache = 0;
  cfg->attr_timeout = 1;
  cfg->entry_timeout = 1;
  cfg->negative_timeout = 0;
  return nullptr;
}

struct fuse_operations make_ops() {
  struct fuse_operations o;
  std::memset(&o, 0, sizeof o);
  o.init = op_init;
  o.getattr = op_getattr;
  o.readdir = op_readdir;
  o.open = op_open;
  o.create = op_create;
  o.read = op_read;
  o.read_buf = op_read_buf;
  o.write = op_write;
  o.flush = op_flush;
  o.release = op_release;
  o.truncate = op_truncate;
  o.mknod = op_mknod;
  o.mkdir = op_mkdir;
  o.rmdir = op_rmdir;
  o.unlink = op_unlink;
  o.rename = op_rename;
  o.symlink = op_symlink;
  o.readlink = op_readlink;
  o.chmod = op_chmod;
  o.chown = op_chown;
  o.utimens = op_utimens;
  o.link = op_link;
  o.fsync = op_fsync;
  o.getxattr = op_getxattr;
  o.listxattr = op_listxattr;
  o.setxattr = op_setxattr;
  o.removexattr = op_removexattr;
  o.statfs = op_statfs;
  return o;
}

int usage() {
  say("usage: romsmith mount [-f] [-o ro] [--output FILE] IMAGE MOUNTPOINT [PART]\n");
  return 2;
}

// Writes the edited image; on failure keeps it under IMAGE.recovery-XXXXXX.
int save(const std::string& image, const std::string& target) {
  if (flash_save(g.f, target.c_str(), 0) == 0) return 0;
  std::string why = flash_last_error(g.f);
  if (why.find("< new size") != std::string::npos) {
    // The failed build already fell back to the partition's loaded bytes: a
    // recovery file would only hold the old image.
    say("romsmith mount: saving %s failed (%s): the edited file system does not fit its partition\n", target.c_str(),
        why.c_str());
    return 1;
  }
  std::string tmpl = image + ".recovery-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd >= 0) ::close(fd);
  if (fd >= 0 && flash_save(g.f, name.data(), 0) == 0) {
    say("romsmith mount: saving %s failed (%s); the edited image is kept in %s\n", target.c_str(), why.c_str(),
        name.data());
    return 1;
  }
  if (fd >= 0) ::unlink(name.data());
  say("romsmith mount: saving %s failed (%s); the edits are lost\n", target.c_str(), why.c_str());
  return 1;
}

}  // namespace

int rs_mount_main(int argc, char** argv) {
  bool foreground = false;
  std::string output, fuse_opts;
  std::vector<std::string> pos;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-f") {
      foreground = true;
    } else if (a == "-o" && i + 1 < argc) {
      std::string opts = argv[++i];
      size_t s = 0;
      while (s <= opts.size()) {
        size_t e = opts.find(',', s);
        if (e == std::string::npos) e = opts.size();
        std::string o = opts.substr(s, e - s);
        if (o == "ro")
          g.read_only = true;
        else if (o == "rw")
          g.read_only = false;
        else if (!o.empty())
          fuse_opts += (fuse_opts.empty() ? "" : ",") + o;
        s = e + 1;
      }
    } else if (a == "--output" && i + 1 < argc) {
      output = argv[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      return usage();
    } else {
      pos.push_back(a);
    }
  }
  if (pos.size() < 2 || pos.size() > 3) return usage();
  namespace fs = std::filesystem;
  std::error_code ec;
  // The daemon works from /, so every path is made absolute first.
  std::string image = fs::absolute(pos[0], ec).string();
  std::string mountpoint = fs::absolute(pos[1], ec).string();
  if (!output.empty()) output = fs::absolute(output, ec).string();
  // Decoded pieces and replies (up to a few hundred KiB) are allocated and
  // freed on every read; kept in the heap rather than mapped and unmapped
  // each time, their pages are not faulted in and zeroed again for each one.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  g.f = flash_load_bin(image.c_str());
  if (!g.f) {
    const char* why = flash_last_error(nullptr);
    say("romsmith mount: cannot load %s%s%s\n", pos[0].c_str(), why && *why ? ": " : "", why ? why : "");
    return 1;
  }
  if (pos.size() == 3) {
    flash_stat_s s;
    int rc = flash_stat(g.f, pos[2].c_str(), &s);
    if (rc < 0 || !S_ISDIR(s.mode)) {
      say("romsmith mount: %s: %s\n", pos[2].c_str(), rc < 0 ? flash_last_error(g.f) : "no file system");
      flash_free(g.f);
      return 1;
    }
    g.part = pos[2];
  }

  std::vector<std::string> fargs = {"romsmith", "-o", "fsname=romsmith,subtype=romsmith,default_permissions"};
  if (g.read_only) fargs.back() += ",ro";
  if (!fuse_opts.empty()) fargs.back() += "," + fuse_opts;
  std::vector<char*> fargv;
  for (auto& s : fargs) fargv.push_back(s.data());
  struct fuse_args args = FUSE_ARGS_INIT(int(fargv.size()), fargv.data());
  struct fuse_operations ops = make_ops();
  struct fuse* fu = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (!fu) {
    fuse_opt_free_args(&args);
    flash_free(g.f);
    return 1;
  }
  int status = 0;
  if (fuse_mount(fu, mountpoint.c_str()) != 0) {
    status = 1;
  } else {
    if (!foreground) {
      if (isatty(2))
        g_err_fd = ::dup(2);
      else
        g_syslog = true, openlog("romsmith mount", LOG_PID, LOG_USER);
    }
    // A shell starts background jobs with SIGINT ignored, and the handlers
    // below only take signals that are not: Ctrl-C and kill -INT end the mount
    // however it was started.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
    if (fuse_daemonize(foreground ? 1 : 0) != 0 || fuse_set_signal_handlers(fuse_get_session(fu)) != 0) {
      status = 1;
    } else {
      if (fuse_loop(fu) < 0) status = 1;
      fuse_remove_signal_handlers(fuse_get_session(fu));
    }
    fuse_unmount(fu);
  }
  fuse_destroy(fu);
  fuse_opt_free_args(&args);

  // No worker may read the image while it is saved.
  if (g_ahead) g_ahead->stop();
  g_index.clear();
  // What was written but never closed (the mount ended under a running copy) still goes in.
  for (auto& b : g.buffers) put_buffer(*b.second);
  g.buffers.clear();
  for (auto* h : g.handles) delete h;  // fuse does not release what was open at the end
  g.handles.clear();
  if (g.changed && !g.read_only) {
    if (save(image, output.empty() ? image : output) != 0) status = 1;
  }
  flash_free(g.f);
  return status;
}
