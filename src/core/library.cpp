// The exported file operations on flash paths: thin wrappers over the
// reasoned operations of fs_api that keep the failure's message on the image.
#include <romsmith/romsmith.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "core/fs_api.h"
#include "core/fs_contract.h"
#include "core/image_state.h"

namespace {

// A negative result leaves its text for flash_last_error.
template <typename T>
T noted(flash* entry, const char* what, const char* path, T rc) {
  if (rc >= 0) return rc;
  // A partition "missing" because its file changed under us is that change.
  std::string change = rc == -RS_ENOPART ? image_file_change(entry) : std::string();
  if (!change.empty()) rc = -ESTALE;
  state_set_error(entry, std::string(what) + " " + (path ? path : "(null)") + ": " +
                             (change.empty() ? fs_error_text(int(rc)) : change));
  return rc;
}

void to_public(const fs_attr& a, flash_stat_s* out) {
  std::memset(out, 0, sizeof *out);
  out->mode = a.mode;
  out->uid = a.uid;
  out->gid = a.gid;
  out->nlink = a.nlink;
  out->rdev = a.rdev;
  out->size = a.size;
  out->mtime = int64_t(a.mtime);
  out->ino = a.ino;
  size_t n = std::min(a.target.size(), sizeof out->target - 1);
  std::memcpy(out->target, a.target.data(), n);
}

// The partition's name as the caller wrote it, for the paths a walk hands back.
std::string part_of(const char* full) {
  const char* slash = std::strchr(full, '/');
  return slash ? std::string(full, size_t(slash - full)) : std::string(full);
}

int depth_below(const std::string& base, const std::string& path) {
  if (path == base) return 0;
  std::string rest = base == "/" ? path.substr(1) : path.substr(base.size() + 1);
  return int(std::count(rest.begin(), rest.end(), '/')) + 1;
}

}  // namespace

extern "C" {

RS_API int flash_stat(flash* entry, const char* path, flash_stat_s* out) {
  if (!out) return noted(entry, "stat", path, -EINVAL);
  fs_attr a;
  int rc = noted(entry, "stat", path, flash_fs_stat(entry, path, &a));
  if (rc == 0) to_public(a, out);
  return rc;
}

RS_API int flash_walk(flash* entry, const char* path, int depth, flash_walk_cb cb, void* user) {
  if (!cb || depth == 0 || depth < -1) return noted(entry, "walk", path, -EINVAL);
  std::vector<fs_node> nodes;
  int rc = noted(entry, "walk", path, flash_fs_walk(entry, path, &nodes));
  if (rc != 0) return rc;
  std::string part = part_of(path);
  std::string base = nodes.empty() ? "/" : nodes.front().path;
  flash_stat_s st;
  for (const fs_node& n : nodes) {
    if (depth > 0 && depth_below(base, n.path) > depth) continue;
    to_public(n.attr, &st);
    std::string full = n.path == "/" ? part : part + n.path;
    int stop = cb(full.c_str(), &st, user);
    if (stop) return stop;
  }
  return 0;
}

RS_API long long flash_pread(flash* entry, const char* path, void* buf, size_t n, uint64_t off) {
  if (!buf && n) return noted(entry, "read", path, -EINVAL);
  return noted(entry, "read", path, flash_fs_pread(entry, path, buf, n, off));
}

RS_API int flash_put(flash* entry, const char* path, const void* buf, size_t n, int mode, long uid, long gid) {
  if (!buf && n) return noted(entry, "put", path, -EINVAL);
  if ((uid < 0) != (gid < 0) || mode < -1 || mode > 07777) return noted(entry, "put", path, -EINVAL);
  fs_put_attr a;
  a.has_mode = mode >= 0;
  a.mode = a.has_mode ? uint32_t(mode) : 0;
  a.has_owner = uid >= 0;
  a.uid = a.has_owner ? uint32_t(uid) : 0;
  a.gid = a.has_owner ? uint32_t(gid) : 0;
  return noted(entry, "put", path, flash_fs_put(entry, path, buf ? buf : "", n, &a));
}

RS_API int flash_remove(flash* entry, const char* path) { return noted(entry, "remove", path, flash_fs_remove(entry, path)); }

RS_API int flash_mkdir(flash* entry, const char* path, uint32_t mode) {
  return noted(entry, "mkdir", path, flash_fs_mkdir(entry, path, mode & 07777, false));
}

RS_API int flash_chmod(flash* entry, const char* path, uint32_t mode) {
  return noted(entry, "chmod", path, flash_fs_chmod(entry, path, mode));
}

RS_API int flash_chown(flash* entry, const char* path, uint32_t uid, uint32_t gid) {
  return noted(entry, "chown", path, flash_fs_chown(entry, path, uid, gid));
}

RS_API int flash_symlink(flash* entry, const char* target, const char* path) {
  return noted(entry, "symlink", path, flash_fs_symlink(entry, target, path));
}

RS_API int flash_rename(flash* entry, const char* from, const char* to) {
  return noted(entry, "rename", from, flash_fs_rename(entry, from, to));
}

RS_API int flash_mknod(flash* entry, const char* path, unsigned mode, unsigned rdev) {
  return noted(entry, "mknod", path, flash_fs_mknod(entry, path, mode, rdev));
}

RS_API int flash_link(flash* entry, const char* from, const char* to) {
  return noted(entry, "link", to, flash_fs_link(entry, from, to));
}

RS_API int flash_set_mtime(flash* entry, const char* path, int64_t mtime) {
  return noted(entry, "set_mtime", path, flash_fs_set_mtime(entry, path, mtime));
}

RS_API int flash_room(flash* entry, const char* partition, long long* room) {
  std::string why;
  long long r = 0;
  int rc = flash_fs_room(entry, partition, &r, &why);
  if (rc == -ENOSPC && !why.empty()) {
    state_set_error(entry, std::string("room ") + (partition ? partition : "(null)") + ": " + why);
    return rc;
  }
  if (rc == 0 && room) *room = r;
  return noted(entry, "room", partition, rc);
}

RS_API long long flash_getxattr(flash* entry, const char* path, const char* name, void* buf, size_t size) {
  fs_xattrs all;
  int rc = noted(entry, "getxattr", path, flash_fs_xattrs(entry, path, &all));
  if (rc < 0) return rc;
  for (const auto& [k, v] : all)
    if (name && k == name) {
      if (size == 0) return (long long)v.size();
      if (size < v.size() || !buf) return noted(entry, "getxattr", path, -ERANGE);
      if (!v.empty()) std::memcpy(buf, v.data(), v.size());
      return (long long)v.size();
    }
  return noted(entry, "getxattr", path, -ENODATA);
}

RS_API long long flash_listxattr(flash* entry, const char* path, char* list, size_t size) {
  fs_xattrs all;
  int rc = noted(entry, "listxattr", path, flash_fs_xattrs(entry, path, &all));
  if (rc < 0) return rc;
  std::string names;
  for (const auto& x : all) names.append(x.first).push_back('\0');
  if (size == 0) return (long long)names.size();
  if (size < names.size() || !list) return noted(entry, "listxattr", path, -ERANGE);
  std::memcpy(list, names.data(), names.size());
  return (long long)names.size();
}

RS_API int flash_setxattr(flash* entry, const char* path, const char* name, const void* value, size_t size,
                          int flags) {
  if (!value) return noted(entry, "setxattr", path, -EINVAL);
  return noted(entry, "setxattr", path, flash_fs_setxattr(entry, path, name, value, size, flags));
}

RS_API int flash_removexattr(flash* entry, const char* path, const char* name) {
  return noted(entry, "removexattr", path, flash_fs_setxattr(entry, path, name, nullptr, 0, 0));
}

RS_API const char* flash_last_error(flash* entry) { return state_last_error(entry); }

// --- stored readers ----------------------------------------------------------

struct flash_stored {
  std::function<long long(void*, size_t, uint64_t)> read;
};

RS_API flash_stored* flash_stored_open(flash* entry, const char* path) {
  partition_data* p = nullptr;
  const fs_ops* ops = nullptr;
  std::string inner;
  if (flash_fs_resolve(entry, path, &p, &ops, &inner) != 0 || !p->fs || !ops->stored_reader) return nullptr;
  auto fn = ops->stored_reader(p->fs, inner.c_str());
  if (!fn) return nullptr;
  return new (std::nothrow) flash_stored{std::move(fn)};
}

RS_API long long flash_stored_pread(flash_stored* r, void* buf, size_t n, uint64_t off) {
  if (!r || (!buf && n)) return -EINVAL;
  return r->read(buf, n, off);
}

RS_API void flash_stored_close(flash_stored* r) { delete r; }

}  // extern "C"
