// squashfs behind the file-system operations: a tree built from the image's
// metadata (file data is read from the image when needed); the rebuild
// writes a new image from it. Serves versions 2, 3 and 4 alike.
#include <romsmith/romsmith.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/fs_contract.h"
#include "squashfs/squashfs.h"

namespace {

squashfs_entry* root(void* fs) { return static_cast<squashfs_entry*>(fs); }
void* sq_load(uint8_t* buf, uint32_t used, uint32_t total) {
  squashfs_entry* r = squashfs_load_memory(buf, used);
  if (r) r->image->room = total;
  return r;
}
uint8_t* sq_rebuild(void* fs, size_t* size, std::string* why) { return squashfs_rebuild(root(fs), size, why); }
long long sq_rebuild_in_place(void* fs, uint8_t* part, size_t room, std::string* why) {
  return squashfs_rebuild_in_place(root(fs), part, room, why);
}
std::function<long long(void*, size_t, uint64_t)> sq_stored_reader(void* fs, const char* path) {
  return squashfs_stored_reader(root(fs), path);
}
void sq_release_image(uint8_t* image, size_t) { std::free(image); }
void sq_release(void* fs) { squashfs_free(root(fs)); }
void sq_ls(void* fs) { squashfs_ls(root(fs), 0); }

// Link counts come from the tree's inode index, made once per change of the
// tree, so that a walk costs what it visits.
void fill_attr(const squashfs_entry* e, fs_attr* a) {
  a->mode = uint32_t(e->stbuf.st_mode);
  a->uid = uint32_t(e->stbuf.st_uid);
  a->gid = uint32_t(e->stbuf.st_gid);
  a->mtime = uint32_t(e->stbuf.st_mtime);
  a->rdev = S_ISBLK(e->stbuf.st_mode) || S_ISCHR(e->stbuf.st_mode) ? uint32_t(e->stbuf.st_rdev) : 0;
  a->nlink = squashfs_nlink(e);
  a->ino = uint64_t(e->stbuf.st_ino);
  a->target.clear();
  if (S_ISREG(e->stbuf.st_mode)) {
    a->size = uint64_t(e->stbuf.st_size);
  } else if (S_ISLNK(e->stbuf.st_mode)) {
    a->target.assign(e->buf.begin(), e->buf.end());
    a->size = a->target.size();
  } else {
    a->size = 0;
  }
}

int sq_stat(void* fs, const char* path, fs_attr* out) {
  squashfs_entry* e = squashfs_find(root(fs), path);
  if (!e) return -ENOENT;
  fill_attr(e, out);
  return 0;
}

// False when a directory's entries (read on first use) do not read.
bool walk_below(squashfs_entry* dir, std::vector<fs_node>* out) {
  if (!squashfs_expand(dir)) return false;
  // Children are kept in name order by every path that adds them.
  for (squashfs_entry* c = dir->child; c; c = c->next) {
    fs_node n;
    n.path = c->path;
    fill_attr(c, &n.attr);
    out->push_back(std::move(n));
    if (S_ISDIR(c->stbuf.st_mode) && !walk_below(c, out)) return false;
  }
  return true;
}

int sq_walk(void* fs, const char* path, std::vector<fs_node>* out) {
  squashfs_entry* e = squashfs_find(root(fs), path);
  if (!e) return -ENOENT;
  if (!S_ISDIR(e->stbuf.st_mode)) return -ENOTDIR;
  fs_node n;
  n.path = e->path.empty() ? "/" : e->path;
  fill_attr(e, &n.attr);
  out->push_back(std::move(n));
  return walk_below(e, out) ? 0 : -EIO;
}

long long sq_pread(void* fs, const char* path, void* buf, size_t size, uint64_t offset) {
  squashfs_entry* e = squashfs_find(root(fs), path);
  if (!e) return -ENOENT;
  if (S_ISDIR(e->stbuf.st_mode)) return -EISDIR;
  if (!S_ISREG(e->stbuf.st_mode)) return -EINVAL;
  if (!buf && size) return -EINVAL;
  return squashfs_pread(e, offset, buf, size);
}

int sq_put(void* fs, const char* path, const void* buf, size_t size, const fs_put_attr* attr) {
  int mode = attr && attr->has_mode ? int(attr->mode & 07777) : -1;
  int64_t uid = attr && attr->has_owner ? int64_t(attr->uid) : -1;
  int64_t gid = attr && attr->has_owner ? int64_t(attr->gid) : -1;
  return squashfs_put(root(fs), path, buf, size, mode, uid, gid);
}
int sq_put_host(void* fs, const char* path, const char* host, uint64_t size, const fs_put_attr* attr) {
  int mode = attr && attr->has_mode ? int(attr->mode & 07777) : -1;
  int64_t uid = attr && attr->has_owner ? int64_t(attr->uid) : -1;
  int64_t gid = attr && attr->has_owner ? int64_t(attr->gid) : -1;
  return squashfs_put_host(root(fs), path, host, size, mode, uid, gid);
}
int sq_remove(void* fs, const char* path) { return squashfs_remove(root(fs), path); }
int sq_mkdir(void* fs, const char* path, uint32_t mode) { return squashfs_mkdir_mode(root(fs), path, mode); }
int sq_chmod(void* fs, const char* path, uint32_t mode) { return squashfs_chmod(root(fs), path, mode); }
int sq_chown(void* fs, const char* path, uint32_t uid, uint32_t gid) {
  return squashfs_chown(root(fs), path, uid, gid);
}
int sq_symlink(void* fs, const char* target, const char* path) { return squashfs_symlink(root(fs), target, path); }

// Holes are blocks stored with size 0; the fragment tail is always data.
uint64_t sq_next_data(void* fs, const char* path, uint64_t off) {
  const squashfs_entry* e = squashfs_find(root(fs), path);
  if (!e || e->content_loaded || !e->stored.valid || !e->image) return off;
  int v = e->image->loaded_version;
  uint32_t bs = v == 4 ? e->image->p4.block_size : v == 2 ? e->image->p2.block_size : e->image->p3.block_size;
  const std::vector<uint32_t>& w = e->stored.block_words;
  if (bs == 0) return off;
  for (uint64_t b = off / bs; b < w.size(); ++b)
    if (w[b] != 0) return std::max(off, b * bs);
  uint64_t tail = uint64_t(w.size()) * bs;
  return e->stored.fragment != 0xFFFFFFFFu && tail < e->stored.file_size ? std::max(off, tail)
                                                                         : std::max(off, e->stored.file_size);
}

// A 2.x superblock of either byte order: its fields are 32-bit, the bytes used
// at offset 8.
size_t sq_probe2(const uint8_t* p, size_t size) {
  uint64_t used = 0;
  if (std::memcmp(p, "hsqs", 4) == 0 && p[28] == 2 && p[29] == 0)
    used = uint32_t(p[8]) | uint32_t(p[9]) << 8 | uint32_t(p[10]) << 16 | uint32_t(p[11]) << 24;
  else if (std::memcmp(p, "sqsh", 4) == 0 && p[28] == 0 && p[29] == 2)
    used = uint32_t(p[8]) << 24 | uint32_t(p[9]) << 16 | uint32_t(p[10]) << 8 | uint32_t(p[11]);
  if (used < 96 || used > size) return 0;
  return size_t(std::min<uint64_t>((used + 4095) & ~uint64_t(4095), size));
}

int sq_rename(void* fs, const char* from, const char* to) { return squashfs_rename(root(fs), from, to); }
int sq_set_mtime(void* fs, const char* path, int64_t mtime) { return squashfs_set_mtime(root(fs), path, mtime); }
// Superblocks of 4.0 and 3.x (either byte order; 3.x plain or with the
// LZMA magic): the magic, a version this reader takes and the bytes the
// image says it uses, which mksquashfs pads to 4 KiB.
size_t sq_probe(const uint8_t* p, size_t size, bool) {
  if (size < 96) return 0;
  if (size_t n = sq_probe2(p, size)) return n;
  auto le16 = [&](size_t o) { return uint32_t(p[o]) | uint32_t(p[o + 1]) << 8; };
  auto le32 = [&](size_t o) { return le16(o) | le16(o + 2) << 16; };
  auto be16 = [&](size_t o) { return uint32_t(p[o]) << 8 | uint32_t(p[o + 1]); };
  auto be32 = [&](size_t o) { return be16(o) << 16 | be16(o + 2); };
  uint64_t used = 0;
  if (std::memcmp(p, "hsqs", 4) == 0 && le16(28) == 4) {
    used = uint64_t(le32(40)) | uint64_t(le32(44)) << 32;
  } else if (std::memcmp(p, "sqsh", 4) == 0 && be16(28) == 4) {
    used = uint64_t(be32(40)) << 32 | uint64_t(be32(44));
  } else if ((std::memcmp(p, "hsqs", 4) == 0 || std::memcmp(p, "shsq", 4) == 0) && le16(28) == 3) {
    used = uint64_t(le32(63)) | uint64_t(le32(67)) << 32;
  } else if ((std::memcmp(p, "sqsh", 4) == 0 || std::memcmp(p, "qshs", 4) == 0) && be16(28) == 3) {
    used = uint64_t(be32(63)) << 32 | uint64_t(be32(67));
  } else {
    return 0;
  }
  if (used < 96 || used > size) return 0;
  uint64_t padded = (used + 4095) & ~uint64_t(4095);
  return size_t(std::min<uint64_t>(padded, size));
}

int sq_mknod(void* fs, const char* path, uint32_t mode, uint32_t rdev) {
  return squashfs_mknod(root(fs), path, mode, rdev);
}
int sq_link(void* fs, const char* from, const char* to) { return squashfs_link(root(fs), from, to); }
int sq_get_xattrs(void* fs, const char* path, fs_xattrs* out) {
  std::vector<squashfs_xattr> v;
  int rc = squashfs_get_xattrs(root(fs), path, &v);
  out->clear();
  for (squashfs_xattr& x : v) out->emplace_back(std::move(x.key), std::move(x.value));
  return rc;
}
int sq_set_xattrs(void* fs, const char* path, const fs_xattrs& in) {
  std::vector<squashfs_xattr> v;
  for (const auto& [k, val] : in) v.push_back({k, val});
  return squashfs_set_xattrs(root(fs), path, v);
}

}  // namespace

const fs_ops squashfs_fs_ops = {
    .type = FS_SQUASHFS,
    .name = "squashfs",
    .align = 0,
    .load_after_build = true,
    .holds_data = false,
    .fixed_size = false,
    .device_size = 0,
    .read_unloaded = -1,
    .dump_unloaded_msg = "squashfs_load_memory error.\n",
    .dump_who = "squashfs_dump",
    .write_returns_count = false,
    .write_failed = 0,
    .write_failed_msg = nullptr,
    .rm_ok = 0,
    .rebuild_failed_msg = nullptr,
    .load = sq_load,
    .release = sq_release,
    .rebuild = sq_rebuild,
    .release_image = sq_release_image,
    .ls = sq_ls,
    .stat = sq_stat,
    .walk = sq_walk,
    .pread = sq_pread,
    .put = sq_put,
    .remove = sq_remove,
    .mkdir = sq_mkdir,
    .chmod = sq_chmod,
    .chown = sq_chown,
    .symlink = sq_symlink,
    .rename = sq_rename,
    .next_data = sq_next_data,
    .set_mtime = sq_set_mtime,
    .mknod = sq_mknod,
    .link = sq_link,
    .get_xattrs = sq_get_xattrs,
    .set_xattrs = sq_set_xattrs,
    .probe = sq_probe,
    .image_from_malloc = true,
    .rebuild_in_place = sq_rebuild_in_place,
    .in_place_keeps_handle = true,
    .stored_reader = sq_stored_reader,
    .put_host = sq_put_host,
};
