// romfs behind the file-system operations: the tree reads contents from the
// partition buffer; the rebuild writes a fresh image keeping the volume name,
// the entry order and the data alignment of the loaded one.
#include <romsmith/romsmith.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fs_contract.h"
#include "romfs/romfs.h"

namespace {

romfs_image* img(void* fs) { return static_cast<romfs_image*>(fs); }

void* ro_load(uint8_t* buf, uint32_t used, uint32_t total) {
  std::string why;
  romfs_image* fs = romfs_load(buf, used, total, &why);
  if (!fs) std::fprintf(stderr, "romfs: %s\n", why.c_str());
  return fs;
}
void ro_release(void* fs) { romfs_free(img(fs)); }
uint8_t* ro_rebuild(void* fs, size_t* size, std::string* why) {
  std::vector<uint8_t> bytes = romfs_write(img(fs), why);
  if (bytes.empty()) return nullptr;
  auto* out = static_cast<uint8_t*>(std::malloc(bytes.size()));
  if (!out) {
    if (why) *why = std::strerror(ENOMEM);
    return nullptr;
  }
  std::memcpy(out, bytes.data(), bytes.size());
  *size = bytes.size();
  return out;
}
void ro_release_image(uint8_t* image, size_t) { std::free(image); }
void ro_ls(void* fs) { romfs_ls(img(fs)); }

void to_attr(const romfs_attr& a, fs_attr* out) {
  *out = fs_attr{};
  out->mode = a.mode;
  out->size = a.size;
  out->rdev = a.rdev;
  out->ino = a.ino;
  out->nlink = 1;  // as the kernel counts
  out->target = a.target;
}
int ro_stat(void* fs, const char* path, fs_attr* out) {
  romfs_attr a;
  int rc = romfs_stat(img(fs), path, &a);
  if (rc == 0) to_attr(a, out);
  return rc;
}
int ro_walk(void* fs, const char* path, std::vector<fs_node>* out) {
  std::vector<romfs_node> nodes;
  int rc = romfs_walk(img(fs), path, &nodes);
  if (rc) return rc;
  out->reserve(out->size() + nodes.size());
  for (const romfs_node& n : nodes) {
    fs_node f;
    f.path = n.path;
    to_attr(n.attr, &f.attr);
    out->push_back(std::move(f));
  }
  return 0;
}
long long ro_pread(void* fs, const char* path, void* buf, size_t size, uint64_t offset) {
  return romfs_pread(img(fs), path, buf, size, offset);
}
int ro_put(void* fs, const char* path, const void* buf, size_t size, const fs_put_attr* attr) {
  int mode = attr && attr->has_mode ? int(attr->mode & 07777) : -1;
  int64_t uid = attr && attr->has_owner ? int64_t(attr->uid) : -1;
  int64_t gid = attr && attr->has_owner ? int64_t(attr->gid) : -1;
  return romfs_put(img(fs), path, buf, size, mode, uid, gid);
}
int ro_remove(void* fs, const char* path) { return romfs_remove(img(fs), path); }
int ro_mkdir(void* fs, const char* path, uint32_t mode) { return romfs_mkdir(img(fs), path, mode); }
int ro_chmod(void* fs, const char* path, uint32_t mode) { return romfs_chmod(img(fs), path, mode); }
int ro_chown(void* fs, const char* path, uint32_t uid, uint32_t gid) { return romfs_chown(img(fs), path, uid, gid); }
int ro_symlink(void* fs, const char* target, const char* path) { return romfs_symlink(img(fs), target, path); }
int ro_rename(void* fs, const char* from, const char* to) { return romfs_rename(img(fs), from, to); }
// The magic and the size the superblock gives, which genromfs pads to 1 KiB.
size_t ro_probe(const uint8_t* p, size_t size, bool) {
  if (size < 32 || std::memcmp(p, "-rom1fs-", 8) != 0) return 0;
  uint64_t len = uint64_t(p[8]) << 24 | uint64_t(p[9]) << 16 | uint64_t(p[10]) << 8 | p[11];
  if (len < 32 || len > size) return 0;
  return size_t(std::min<uint64_t>((len + 1023) & ~uint64_t(1023), size));
}

}  // namespace

const fs_ops romfs_fs_ops = {
    .type = FS_ROMFS,
    .name = "romfs",
    .align = 0,
    .load_after_build = true,
    .holds_data = false,
    .fixed_size = false,
    .device_size = 0,
    .read_unloaded = -1,
    .dump_unloaded_msg = "romfs_load error.\n",
    .dump_who = "romfs_dump",
    .write_returns_count = false,
    .write_failed = 0,
    .write_failed_msg = nullptr,
    .rm_ok = 0,
    .rebuild_failed_msg = nullptr,
    .load = ro_load,
    .release = ro_release,
    .rebuild = ro_rebuild,
    .release_image = ro_release_image,
    .ls = ro_ls,
    .stat = ro_stat,
    .walk = ro_walk,
    .pread = ro_pread,
    .put = ro_put,
    .remove = ro_remove,
    .mkdir = ro_mkdir,
    .chmod = ro_chmod,
    .chown = ro_chown,
    .symlink = ro_symlink,
    .rename = ro_rename,
    .next_data = nullptr,
    .set_mtime = nullptr,
    .mknod = nullptr,
    .link = nullptr,
    .get_xattrs = nullptr,
    .set_xattrs = nullptr,
    .probe = ro_probe,
    .image_from_malloc = true,
};
