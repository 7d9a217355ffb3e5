#include "core/fs_api.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/flash_ops.h"
#include "core/image_state.h"
#include "util/strutil.h"

std::string fs_error_text(int err) {
  if (err < 0) err = -err;
  switch (err) {
    case RS_ENOPART:
      return "no such partition";
    case RS_ENOFS:
      return "the partition holds no " + fs_names_or() + " file system";
    case RS_EUNLOADED:
      return "the partition's file system could not be read";
    case RS_EBADPATH:
      return "not a path of the form PART/path";
    case ENOSYS:
      return "not supported by this file system";
    case EFBIG:
      return "file too large for the file system";
    case ENOSPC:
      return "no space left in the file system";
    case EIO:
      return "stored data cannot be read (corrupt image)";
    default:
      return std::strerror(err);
  }
}

namespace {

// "/a//b/" -> "/a/b"; false for "." or ".." components.
bool normalise(const std::string& in, std::string& out) {
  std::string joined;
  for (const std::string& part : rs::strsplit(in, "/")) {
    if (part.empty()) continue;
    if (part == "." || part == "..") return false;
    joined.append("/").append(part);
  }
  out = joined.empty() ? std::string("/") : joined;
  return true;
}

// Resolves, checks the handle and the operation; `op` is the member to call.
template <typename Op>
int target(flash* entry, const char* full, Op fs_ops::*op, partition_data** part, const fs_ops** ops,
           std::string* path) {
  int rc = flash_fs_resolve(entry, full, part, ops, path);
  if (rc != 0) return rc;
  if (!(*part)->fs) return -RS_EUNLOADED;
  if (!((*ops)->*op)) return -ENOSYS;
  return 0;
}

int edited(flash* entry, partition_data* part, int rc) {
  if (rc >= 0) partition_mark_fs_edited(entry, *part);
  return rc;
}

}  // namespace

int flash_fs_resolve(flash* entry, const char* full, partition_data** part, const fs_ops** ops, std::string* path) {
  if (!entry || !full) return -RS_EBADPATH;
  const char* slash = std::strchr(full, '/');
  std::string pname = slash ? std::string(full, size_t(slash - full)) : std::string(full);
  if (pname.empty()) return -RS_EBADPATH;
  if (!normalise(slash ? slash + 1 : "", *path)) return -RS_EBADPATH;
  *part = flash_get_partition(entry, pname.c_str());
  if (!*part) return -RS_ENOPART;
  *ops = fs_ops_of((*part)->fs, (*part)->info->file_system_type);
  if (!*ops) return -RS_ENOFS;
  return 0;
}

int flash_fs_stat(flash* entry, const char* full, fs_attr* out) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::stat, &p, &ops, &path);
  return rc ? rc : ops->stat(p->fs, path.c_str(), out);
}

int flash_fs_walk(flash* entry, const char* full, std::vector<fs_node>* out) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::walk, &p, &ops, &path);
  return rc ? rc : ops->walk(p->fs, path.c_str(), out);
}

long long flash_fs_pread(flash* entry, const char* full, void* buf, size_t size, uint64_t offset) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::pread, &p, &ops, &path);
  return rc ? rc : ops->pread(p->fs, path.c_str(), buf, size, offset);
}

int flash_fs_get(flash* entry, const char* full, std::vector<uint8_t>* out) {
  fs_attr a;
  int rc = flash_fs_stat(entry, full, &a);
  if (rc != 0) return rc;
  if ((a.mode & 0170000) == 0040000) return -EISDIR;
  if ((a.mode & 0170000) != 0100000) return -EINVAL;
  out->assign(a.size, 0);
  long long n = flash_fs_pread(entry, full, out->data(), out->size(), 0);
  if (n < 0) return int(n);
  if (uint64_t(n) != a.size) return -EIO;
  return 0;
}

int flash_fs_stream(flash* entry, const char* full, const std::function<bool(const uint8_t*, size_t)>& sink) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::pread, &p, &ops, &path);
  if (rc != 0) return rc;
  fs_attr a;
  if (!ops->stat) return -ENOSYS;
  rc = ops->stat(p->fs, path.c_str(), &a);
  if (rc != 0) return rc;
  if ((a.mode & 0170000) == 0040000) return -EISDIR;
  if ((a.mode & 0170000) != 0100000) return -EINVAL;
  std::vector<uint8_t> buf(size_t(std::min<uint64_t>(a.size, kStreamPiece)));
  for (uint64_t at = 0; at < a.size;) {
    // A hole the file system knows of is handed over without reading it.
    uint64_t data = ops->next_data ? std::min(ops->next_data(p->fs, path.c_str(), at), a.size) : at;
    if (data > at) {
      if (!sink(nullptr, size_t(data - at))) return -ECANCELED;
      at = data;
      continue;
    }
    size_t want = size_t(std::min<uint64_t>(a.size - at, buf.size()));
    long long got = ops->pread(p->fs, path.c_str(), buf.data(), want, at);
    if (got < 0) return int(got);
    if (got == 0) return -EIO;  // shorter than its size says
    if (!sink(buf.data(), size_t(got))) return -ECANCELED;
    at += uint64_t(got);
  }
  return 0;
}

int flash_fs_put(flash* entry, const char* full, const void* buf, size_t size, const fs_put_attr* attr) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::put, &p, &ops, &path);
  if (rc == 0 && path == "/") rc = -EISDIR;
  return rc ? rc : edited(entry, p, ops->put(p->fs, path.c_str(), buf, size, attr));
}

int flash_fs_put_host(flash* entry, const char* full, const char* host, uint64_t size, const fs_put_attr* attr) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::put_host, &p, &ops, &path);
  if (rc == 0 && path == "/") rc = -EISDIR;
  return rc ? rc : edited(entry, p, ops->put_host(p->fs, path.c_str(), host, size, attr));
}

int flash_fs_remove(flash* entry, const char* full) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::remove, &p, &ops, &path);
  if (rc == 0 && path == "/") rc = -EBUSY;
  return rc ? rc : edited(entry, p, ops->remove(p->fs, path.c_str()));
}

int flash_fs_mkdir(flash* entry, const char* full, uint32_t mode, bool parents) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::mkdir, &p, &ops, &path);
  if (rc != 0) return rc;
  if (!parents) return edited(entry, p, ops->mkdir(p->fs, path.c_str(), mode));
  // Each missing directory from the top down; existing directories are fine.
  std::string at;
  for (const std::string& part : rs::strsplit(path, "/")) {
    if (part.empty()) continue;
    at += "/" + part;
    fs_attr a;
    if (ops->stat && ops->stat(p->fs, at.c_str(), &a) == 0) {
      if ((a.mode & 0170000) != 0040000) return -ENOTDIR;
      continue;
    }
    rc = edited(entry, p, ops->mkdir(p->fs, at.c_str(), mode));
    if (rc != 0) return rc;
  }
  return 0;
}

int flash_fs_chmod(flash* entry, const char* full, uint32_t mode) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::chmod, &p, &ops, &path);
  return rc ? rc : edited(entry, p, ops->chmod(p->fs, path.c_str(), mode & 07777));
}

int flash_fs_chown(flash* entry, const char* full, uint32_t uid, uint32_t gid) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::chown, &p, &ops, &path);
  return rc ? rc : edited(entry, p, ops->chown(p->fs, path.c_str(), uid, gid));
}

int flash_fs_symlink(flash* entry, const char* link_target, const char* full) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  if (!link_target || !*link_target) return -EINVAL;
  int rc = target(entry, full, &fs_ops::symlink, &p, &ops, &path);
  if (rc == 0 && path == "/") rc = -EEXIST;
  return rc ? rc : edited(entry, p, ops->symlink(p->fs, link_target, path.c_str()));
}

int flash_fs_rename(flash* entry, const char* from, const char* to) {
  partition_data *p, *q;
  const fs_ops* ops;
  std::string a, b;
  int rc = target(entry, from, &fs_ops::rename, &p, &ops, &a);
  if (rc != 0) return rc;
  rc = flash_fs_resolve(entry, to, &q, &ops, &b);
  if (rc != 0) return rc;
  if (q != p) return -EXDEV;
  if (a == "/" || b == "/") return -EBUSY;
  if (a == b) return 0;
  return edited(entry, p, ops->rename(p->fs, a.c_str(), b.c_str()));
}

int flash_fs_mknod(flash* entry, const char* full, uint32_t mode, uint32_t rdev) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  uint32_t type = mode & S_IFMT;
  if (type != S_IFCHR && type != S_IFBLK && type != S_IFIFO && type != S_IFSOCK) return -EINVAL;
  int rc = target(entry, full, &fs_ops::mknod, &p, &ops, &path);
  if (rc == -ENOSYS) return -EPERM;
  if (rc == 0 && path == "/") rc = -EEXIST;
  return rc ? rc : edited(entry, p, ops->mknod(p->fs, path.c_str(), mode, rdev));
}

int flash_fs_link(flash* entry, const char* from, const char* to) {
  partition_data *p, *q;
  const fs_ops* ops;
  std::string a, b;
  int rc = target(entry, from, &fs_ops::link, &p, &ops, &a);
  if (rc == -ENOSYS) return -EPERM;
  if (rc != 0) return rc;
  rc = flash_fs_resolve(entry, to, &q, &ops, &b);
  if (rc != 0) return rc;
  if (q != p) return -EXDEV;
  if (a == "/") return -EPERM;
  if (b == "/") return -EEXIST;
  return edited(entry, p, ops->link(p->fs, a.c_str(), b.c_str()));
}

int flash_fs_room(flash* entry, const char* part_name, long long* room, std::string* why) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = flash_fs_resolve(entry, part_name, &p, &ops, &path);
  if (rc != 0) return rc;
  const partition_info* info = p->info;
  long long area =
      (long long)std::min(info->partition_size ? info->partition_size : info->total_size, info->total_size);
  int idx = partition_index(entry, *p);
  if (!p->fs || idx < 0 || !state_of(entry).fs_edited[idx] || !ops->rebuild) {
    *room = area - (long long)info->used_size;
    return 0;
  }
  // What a save would build, built and dropped: the exact room, at the cost of one build.
  size_t size = 0;
  uint8_t* image = ops->rebuild(p->fs, &size, why);
  if (!image) return -ENOSPC;
  ops->release_image(image, size);
  *room = area - (long long)size;
  return 0;
}

int flash_fs_xattrs(flash* entry, const char* full, fs_xattrs* out) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  out->clear();
  int rc = target(entry, full, &fs_ops::stat, &p, &ops, &path);
  if (rc != 0) return rc;
  if (!ops->get_xattrs) {
    fs_attr a;
    return ops->stat(p->fs, path.c_str(), &a);  // stores none: an existing path has none
  }
  return ops->get_xattrs(p->fs, path.c_str(), out);
}

int flash_fs_setxattr(flash* entry, const char* full, const char* name, const void* value, size_t size, int flags) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  if (!name || !*name || (!value && size)) return -EINVAL;
  int rc = target(entry, full, &fs_ops::stat, &p, &ops, &path);
  if (rc != 0) return rc;
  fs_xattrs all;
  if (!ops->get_xattrs || !ops->set_xattrs) {
    fs_attr a;
    rc = ops->stat(p->fs, path.c_str(), &a);
    return rc ? rc : value ? -EOPNOTSUPP : -ENODATA;
  }
  if ((rc = ops->get_xattrs(p->fs, path.c_str(), &all)) != 0) return rc;
  auto it = std::find_if(all.begin(), all.end(), [&](const auto& x) { return x.first == name; });
  if (!value) {  // removal
    if (it == all.end()) return -ENODATA;
    all.erase(it);
  } else {
    if (it != all.end() && (flags & 1)) return -EEXIST;
    if (it == all.end() && (flags & 2)) return -ENODATA;
    const uint8_t* v = static_cast<const uint8_t*>(value);
    if (it != all.end())
      it->second.assign(v, v + size);
    else
      all.emplace_back(name, std::vector<uint8_t>(v, v + size));
  }
  return edited(entry, p, ops->set_xattrs(p->fs, path.c_str(), all));
}

int flash_fs_set_mtime(flash* entry, const char* full, int64_t mtime) {
  partition_data* p;
  const fs_ops* ops;
  std::string path;
  int rc = target(entry, full, &fs_ops::set_mtime, &p, &ops, &path);
  if (rc == -ENOSYS) return -EOPNOTSUPP;
  return rc ? rc : edited(entry, p, ops->set_mtime(p->fs, path.c_str(), mtime));
}
