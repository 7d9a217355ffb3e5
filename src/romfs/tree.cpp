// Looking up, listing and editing the romfs tree. Edits change the tree only;
// contents given by an edit are held by their inode until the rebuild.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "romfs/internal.h"

using namespace romfs;

namespace {

std::vector<std::string> split(const char* path) {
  std::vector<std::string> parts;
  std::string s = path ? path : "";
  size_t at = 0;
  while (at <= s.size()) {
    size_t end = s.find('/', at);
    if (end == std::string::npos) end = s.size();
    std::string c = s.substr(at, end - at);
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!c.empty() && c != ".") {
      parts.push_back(c);
    }
    at = end + 1;
  }
  return parts;
}

Entry* child(Entry* dir, const std::string& name) {
  for (auto& k : dir->kids)
    if (!k->dot && k->name == name) return k.get();
  return nullptr;
}

int find(romfs_image* fs, const std::vector<std::string>& parts, size_t n, Entry** out) {
  Entry* e = fs->root.get();
  for (size_t i = 0; i < n; ++i) {
    if (!e->is_dir()) return -ENOTDIR;
    e = child(e, parts[i]);
    if (!e) return -ENOENT;
  }
  *out = e;
  return 0;
}

int lookup(romfs_image* fs, const char* path, Entry** out) {
  if (!fs || !path) return -EINVAL;
  std::vector<std::string> parts = split(path);
  return find(fs, parts, parts.size(), out);
}

// The directory that holds `path` and the last name; -EBUSY for the root.
int lookup_parent(romfs_image* fs, const char* path, Entry** parent, std::string* name) {
  if (!fs || !path) return -EINVAL;
  std::vector<std::string> parts = split(path);
  if (parts.empty()) return -EBUSY;
  int rc = find(fs, parts, parts.size() - 1, parent);
  if (rc) return rc;
  if (!(*parent)->is_dir()) return -ENOTDIR;
  *name = parts.back();
  return 0;
}

void fill(const Entry* e, romfs_attr* a) {
  const Inode& ino = *e->ino;
  *a = romfs_attr{};
  a->mode = shown_mode(ino);
  a->ino = ino.loaded_at;
  if (ino.type == kFile || ino.type == kSymlink) a->size = ino.size;
  if (ino.type == kDir) a->size = meta_size(e->parent ? e->name.size() : 1);
  if (ino.type == kSymlink) a->target.assign(reinterpret_cast<const char*>(ino.data), ino.size);
  if (ino.type == kBlock || ino.type == kChar) {
    uint32_t major = ino.info >> 16, minor = ino.info & 0xFFFF;
    a->rdev = major << 8 | (minor & 0xFF) | (minor & ~0xFFu) << 12;
  }
}

std::string path_of(const Entry* e) {
  if (!e->parent) return "/";
  std::string p;
  for (; e->parent; e = e->parent) p = "/" + e->name + p;
  return p;
}

void walk_below(const Entry* dir, std::string at, std::vector<romfs_node>* out) {
  std::vector<const Entry*> kids;
  for (auto& k : dir->kids)
    if (!k->dot) kids.push_back(k.get());
  std::sort(kids.begin(), kids.end(), [](const Entry* a, const Entry* b) { return a->name < b->name; });
  for (const Entry* k : kids) {
    romfs_node n;
    n.path = at + "/" + k->name;
    fill(k, &n.attr);
    out->push_back(std::move(n));
    if (k->is_dir()) walk_below(k, out->back().path, out);
  }
}

// Whether the image still fits its room after an edit that added at most
// `grown` bytes. A bound kept since the last exact layout spares laying out
// the whole tree for every edit far below the limit.
bool fits(romfs_image* fs, uint64_t grown) {
  uint64_t step = (grown + 1023) & ~uint64_t(1023);
  if (fs->bound && fs->bound + step <= fs->room) {
    fs->bound += step;
    return true;
  }
  uint64_t n = romfs_image_size(fs);
  fs->bound = n;
  return n && n <= fs->room;
}

// What a new name with `data` bytes adds at most: its header, its data, the
// padding of the alignment, and the "." and ".." of a directory.
uint64_t growth(romfs_image* fs, const Entry& e) {
  uint64_t n = meta_size(e.name.size()) + fs->align;
  if (e.ino->type == kFile || e.ino->type == kSymlink) n += pad16(e.ino->size);
  if (e.ino->type == kDir) n += 2 * meta_size(2);
  return n;
}

std::unique_ptr<Entry> new_entry(Entry* parent, const std::string& name, std::shared_ptr<Inode> ino) {
  auto e = std::make_unique<Entry>();
  e->name = name;
  e->parent = parent;
  e->ino = std::move(ino);
  if (e->ino->type == kDir) {
    for (const char* d : {".", ".."}) {
      auto dot = std::make_unique<Entry>();
      dot->name = d, dot->dot = true, dot->parent = e.get();
      e->kids.push_back(std::move(dot));
    }
  }
  return e;
}

// Adds a new name to `parent`, unless the image would outgrow its room.
int add_entry(romfs_image* fs, Entry* parent, std::unique_ptr<Entry> e) {
  uint64_t grown = growth(fs, *e);
  parent->kids.push_back(std::move(e));
  if (fits(fs, grown)) return 0;
  parent->kids.pop_back();
  return -ENOSPC;
}

// Whether `mode` is what the kernel shows for `ino` with or without the exec flag.
int exec_for(const Inode& ino, uint32_t mode, bool* exec) {
  Inode probe = {};
  probe.type = ino.type;
  probe.exec = false;
  if ((mode & 07777) == (shown_mode(probe) & 07777)) return *exec = false, 0;
  probe.exec = true;
  if ((ino.type == kDir || ino.type == kFile) && (mode & 07777) == (shown_mode(probe) & 07777)) return *exec = true, 0;
  return -EPERM;
}

void ls_rec(const Entry* dir, std::vector<bool>& open_levels) {
  std::vector<const Entry*> kids;
  for (auto& k : dir->kids)
    if (!k->dot) kids.push_back(k.get());
  for (size_t i = 0; i < kids.size(); ++i) {
    const Entry* c = kids[i];
    bool more = i + 1 < kids.size();
    for (bool open : open_levels) std::fputs(open ? "|   " : "    ", stdout);
    std::printf(more ? "|-- %s" : "`-- %s", c->name.c_str());
    if (c->ino->type == kFile)
      std::printf("\t\t(%u)\n", c->ino->size);
    else
      std::fputs("\n", stdout);
    if (c->is_dir()) {
      open_levels.push_back(more);
      ls_rec(c, open_levels);
      open_levels.pop_back();
    }
  }
}

}  // namespace

romfs_image* romfs_create(const std::string& volume, uint32_t align, uint32_t room) {
  auto fs = std::make_unique<romfs_image>();
  fs->volume = volume;
  fs->align = align < 16 ? 16 : align;
  fs->room = room;
  auto ino = std::make_shared<Inode>();
  ino->type = kDir;
  ino->exec = true;
  fs->root = new_entry(nullptr, "", ino);
  return fs.release();
}

void romfs_free(romfs_image* fs) { delete fs; }
const std::string& romfs_volume(const romfs_image* fs) { return fs->volume; }
uint32_t romfs_align(const romfs_image* fs) { return fs->align; }

int romfs_stat(romfs_image* fs, const char* path, romfs_attr* out) {
  Entry* e = nullptr;
  int rc = lookup(fs, path, &e);
  if (rc == 0) fill(e, out);
  return rc;
}

int romfs_walk(romfs_image* fs, const char* path, std::vector<romfs_node>* out) {
  Entry* e = nullptr;
  int rc = lookup(fs, path, &e);
  if (rc) return rc;
  if (!e->is_dir()) return -ENOTDIR;
  romfs_node n;
  n.path = path_of(e);
  fill(e, &n.attr);
  out->push_back(std::move(n));
  walk_below(e, e->parent ? out->back().path : "", out);
  return 0;
}

long long romfs_pread(romfs_image* fs, const char* path, void* buf, size_t size, uint64_t offset) {
  Entry* e = nullptr;
  int rc = lookup(fs, path, &e);
  if (rc) return rc;
  if (e->is_dir()) return -EISDIR;
  const Inode& ino = *e->ino;
  if (ino.type != kFile) return -EINVAL;
  if (offset >= ino.size) return 0;
  size_t n = size_t(std::min<uint64_t>(size, ino.size - offset));
  if (n) std::memcpy(buf, ino.data + offset, n);
  return (long long)n;
}

int romfs_put(romfs_image* fs, const char* path, const void* buf, size_t size, int mode, int64_t uid, int64_t gid) {
  Entry* parent = nullptr;
  std::string name;
  int rc = lookup_parent(fs, path, &parent, &name);
  if (rc) return rc == -EBUSY ? -EISDIR : rc;
  Entry* old = child(parent, name);
  if (old && old->is_dir()) return -EISDIR;
  if (name.size() > kMaxName) return -ENAMETOOLONG;
  if ((uid > 0 || gid > 0)) return -EPERM;
  auto ino = std::make_shared<Inode>();
  ino->type = kFile;
  ino->exec = old && old->ino->type == kFile && old->ino->exec;
  if (mode >= 0 && exec_for(*ino, uint32_t(mode), &ino->exec) != 0) return -EPERM;
  if (size > 0xFFFFFFF0u) return -EFBIG;
  try {
    ino->own.assign(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + size);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
  ino->data = ino->own.data();
  ino->size = uint32_t(size);
  if (!old) return add_entry(fs, parent, new_entry(parent, name, ino));
  // A new inode: another name of a hard-linked file keeps the old bytes.
  std::swap(old->ino, ino);
  if (fits(fs, growth(fs, *old))) return 0;
  std::swap(old->ino, ino);
  return -ENOSPC;
}

int romfs_remove(romfs_image* fs, const char* path) {
  Entry* parent = nullptr;
  std::string name;
  int rc = lookup_parent(fs, path, &parent, &name);
  if (rc) return rc;
  auto& kids = parent->kids;
  auto it = std::find_if(kids.begin(), kids.end(), [&](auto& k) { return !k->dot && k->name == name; });
  if (it == kids.end()) return -ENOENT;
  kids.erase(it);
  return 0;
}

int romfs_mkdir(romfs_image* fs, const char* path, uint32_t mode) {
  Entry* parent = nullptr;
  std::string name;
  int rc = lookup_parent(fs, path, &parent, &name);
  if (rc) return rc == -EBUSY ? -EEXIST : rc;
  if (child(parent, name)) return -EEXIST;
  if (name.size() > kMaxName) return -ENAMETOOLONG;
  auto ino = std::make_shared<Inode>();
  ino->type = kDir;
  if (exec_for(*ino, mode, &ino->exec) != 0) return -EPERM;
  return add_entry(fs, parent, new_entry(parent, name, ino));
}

int romfs_chmod(romfs_image* fs, const char* path, uint32_t mode) {
  Entry* e = nullptr;
  int rc = lookup(fs, path, &e);
  if (rc) return rc;
  bool exec = false;
  if (exec_for(*e->ino, mode, &exec) != 0) return -EPERM;
  e->ino->exec = exec;
  return 0;
}

int romfs_chown(romfs_image* fs, const char* path, uint32_t uid, uint32_t gid) {
  Entry* e = nullptr;
  int rc = lookup(fs, path, &e);
  if (rc) return rc;
  return uid || gid ? -EPERM : 0;
}

int romfs_symlink(romfs_image* fs, const char* target, const char* path) {
  Entry* parent = nullptr;
  std::string name;
  int rc = lookup_parent(fs, path, &parent, &name);
  if (rc) return rc == -EBUSY ? -EEXIST : rc;
  if (child(parent, name)) return -EEXIST;
  if (name.size() > kMaxName) return -ENAMETOOLONG;
  size_t len = target ? std::strlen(target) : 0;
  if (!len) return -ENOENT;
  if (len > 4095) return -ENAMETOOLONG;
  auto ino = std::make_shared<Inode>();
  ino->type = kSymlink;
  ino->own.assign(target, target + len);
  ino->data = ino->own.data();
  ino->size = uint32_t(len);
  return add_entry(fs, parent, new_entry(parent, name, ino));
}

int romfs_rename(romfs_image* fs, const char* from, const char* to) {
  if (!fs || !from || !to) return -EINVAL;
  std::vector<std::string> src = split(from), dst = split(to);
  if (src.empty() || dst.empty()) return -EBUSY;
  Entry *src_parent = nullptr, *dst_parent = nullptr;
  std::string src_name, dst_name;
  int rc = lookup_parent(fs, from, &src_parent, &src_name);
  if (rc) return rc;
  Entry* e = child(src_parent, src_name);
  if (!e) return -ENOENT;
  rc = lookup_parent(fs, to, &dst_parent, &dst_name);
  if (rc) return rc;
  if (src == dst) return 0;
  if (e->is_dir() && dst.size() > src.size() && std::equal(src.begin(), src.end(), dst.begin())) return -EINVAL;
  Entry* old = child(dst_parent, dst_name);
  if (old) {
    if (e->is_dir() && !old->is_dir()) return -ENOTDIR;
    if (!e->is_dir() && old->is_dir()) return -EISDIR;
    if (std::any_of(old->kids.begin(), old->kids.end(), [](auto& k) { return !k->dot; })) return -ENOTEMPTY;
    if (old->ino == e->ino) return 0;  // two names of one file, as rename(2) leaves them
  }
  if (dst_name.size() > kMaxName) return -ENAMETOOLONG;
  auto& from_kids = src_parent->kids;
  auto it = std::find_if(from_kids.begin(), from_kids.end(), [&](auto& k) { return k.get() == e; });
  std::unique_ptr<Entry> moving = std::move(*it);
  from_kids.erase(it);
  moving->name = dst_name;
  fs->bound = 0;  // a longer name may need more room than the bound allows for
  moving->parent = dst_parent;
  auto& to_kids = dst_parent->kids;
  auto at = std::find_if(to_kids.begin(), to_kids.end(), [&](auto& k) { return k.get() == old; });
  if (old)
    *at = std::move(moving);  // in the replaced entry's place
  else
    to_kids.push_back(std::move(moving));
  return 0;
}

void romfs_ls(romfs_image* fs) {
  if (!fs) return;
  std::vector<bool> open_levels;
  ls_rec(fs->root.get(), open_levels);
}
