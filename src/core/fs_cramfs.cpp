// cramfs behind the file-system operations: an editable tree; the rebuild
// writes a new image straight from it, so links, devices, modes and owners of
// the loaded image survive.
#include <romsmith/romsmith.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/fs_contract.h"
#include "cramfs/cramfs.h"

namespace {

entry* root(void* fs) { return static_cast<entry*>(fs); }
void* cr_load(uint8_t* buf, uint32_t used, uint32_t) { return cramfs_load_memory(buf, used); }
uint8_t* cr_rebuild(void* fs, size_t* size, std::string* why) {
  uint8_t* image = cramfs_mmap(root(fs), size, why);
  if (!image && why && why->empty()) *why = "the cramfs writer gave no image";
  return image;
}
long long cr_rebuild_in_place(void* fs, uint8_t* part, size_t room, std::string* why) {
  return cramfs_write_in_place(root(fs), part, room, why);
}
void cr_release_image(uint8_t* image, size_t) { std::free(image); }
void cr_release(void* fs) { cramfs_free(root(fs)); }
void cr_ls(void* fs) { cramfs_ls(root(fs), 0); }

void fill_attr(const entry* e, fs_attr* a) {
  uint32_t type = e->mode & 0xF000;
  a->mode = e->mode;
  a->uid = e->uid;
  a->gid = e->gid;
  a->mtime = 0;  // cramfs stores no times
  a->nlink = 1;
  a->rdev = type == 0x2000 || type == 0x6000 ? e->size : 0;  // the size field holds the device number
  a->target.clear();
  a->size = 0;
  if (type == 0x8000) {
    a->size = e->size;
  } else if (type == 0xA000) {
    if (e->buf) a->target.assign(reinterpret_cast<const char*>(e->buf), e->size);
    a->size = a->target.size();
  }
}

int cr_stat(void* fs, const char* path, fs_attr* out) {
  entry* e = cramfs_find(root(fs), path);
  if (!e) return -ENOENT;
  fill_attr(e, out);
  return 0;
}

std::string path_of(const entry* e) { return e->path && e->path[0] ? e->path : "/"; }

void walk_below(const entry* dir, std::vector<fs_node>* out) {
  std::vector<const entry*> kids;
  for (const entry* c = dir->child; c; c = c->next) kids.push_back(c);
  std::stable_sort(kids.begin(), kids.end(),
                   [](const entry* a, const entry* b) { return std::strcmp(a->name, b->name) < 0; });
  for (const entry* c : kids) {
    fs_node n;
    n.path = path_of(c);
    fill_attr(c, &n.attr);
    out->push_back(std::move(n));
    if ((c->mode & 0xF000) == 0x4000) walk_below(c, out);
  }
}

int cr_walk(void* fs, const char* path, std::vector<fs_node>* out) {
  entry* e = cramfs_find(root(fs), path);
  if (!e) return -ENOENT;
  if ((e->mode & 0xF000) != 0x4000) return -ENOTDIR;
  fs_node n;
  n.path = path_of(e);
  fill_attr(e, &n.attr);
  out->push_back(std::move(n));
  walk_below(e, out);
  return 0;
}

long long cr_pread(void* fs, const char* path, void* buf, size_t size, uint64_t offset) {
  return cramfs_pread(root(fs), path, buf, size, offset);
}

int cr_put(void* fs, const char* path, const void* buf, size_t size, const fs_put_attr* attr) {
  int32_t mode = attr && attr->has_mode ? int32_t(attr->mode & 07777) : -1;
  int64_t uid = attr && attr->has_owner ? int64_t(attr->uid) : -1;
  int64_t gid = attr && attr->has_owner ? int64_t(attr->gid) : -1;
  return cramfs_put(root(fs), path, buf, size, mode, uid, gid);
}
int cr_remove(void* fs, const char* path) { return cramfs_remove(root(fs), path); }
int cr_mkdir(void* fs, const char* path, uint32_t mode) { return cramfs_mkdir_mode(root(fs), path, mode); }
int cr_chmod(void* fs, const char* path, uint32_t mode) { return cramfs_chmod(root(fs), path, mode); }
int cr_chown(void* fs, const char* path, uint32_t uid, uint32_t gid) { return cramfs_chown(root(fs), path, uid, gid); }
int cr_symlink(void* fs, const char* target, const char* path) { return cramfs_symlink(root(fs), target, path); }

int cr_mknod(void* fs, const char* path, uint32_t mode, uint32_t rdev) {
  return cramfs_mknod(root(fs), path, mode, rdev);
}

// The magic in either byte order, at 0 or behind 512 bytes of boot padding;
// the superblock's size counts from the magic.
size_t cr_probe(const uint8_t* data, size_t size, bool) {
  for (size_t base : {size_t(0), size_t(512)}) {
    if (size < base + 76) return 0;
    const uint8_t* p = data + base;
    uint32_t magic = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    bool le = magic == 0x28CD3D45u, be = magic == 0x453DCD28u;
    if (!le && !be) continue;
    uint32_t len = le ? uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24
                      : uint32_t(p[7]) | uint32_t(p[6]) << 8 | uint32_t(p[5]) << 16 | uint32_t(p[4]) << 24;
    if (std::memcmp(p + 16, "Compressed ROMFS", 16) != 0 || len < 76 || base + len > size) return 0;
    return base + len;
  }
  return 0;
}

int cr_rename(void* fs, const char* from, const char* to) { return cramfs_rename(root(fs), from, to); }

}  // namespace

const fs_ops cramfs_fs_ops = {
    .type = FS_CRAMFS,
    .name = "cramfs",
    .align = 0,
    .load_after_build = true,
    .holds_data = false,
    .fixed_size = false,
    .device_size = 0,
    .read_unloaded = -1,
    .dump_unloaded_msg = "cramfs_load_memory error.\n",
    .dump_who = "cramfs_dump",
    .write_returns_count = false,
    .write_failed = 0,
    .write_failed_msg = nullptr,
    .rm_ok = 0,
    .rebuild_failed_msg = "[flash_save : 270]: An error occurred when running run cramfs_mmap !\n",
    .load = cr_load,
    .release = cr_release,
    .rebuild = cr_rebuild,
    .release_image = cr_release_image,
    .ls = cr_ls,
    .stat = cr_stat,
    .walk = cr_walk,
    .pread = cr_pread,
    .put = cr_put,
    .remove = cr_remove,
    .mkdir = cr_mkdir,
    .chmod = cr_chmod,
    .chown = cr_chown,
    .symlink = cr_symlink,
    .rename = cr_rename,
    .next_data = nullptr,
    .set_mtime = nullptr,
    .mknod = cr_mknod,
    .link = nullptr,
    .get_xattrs = nullptr,
    .set_xattrs = nullptr,
    .probe = cr_probe,
    .image_from_malloc = true,
    .rebuild_in_place = cr_rebuild_in_place,
    .in_place_keeps_handle = true,
};
