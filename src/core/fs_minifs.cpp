// minifs behind the file-system operations: a device working directly on the
// whole partition buffer.
#include <romsmith/romsmith.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/fs_contract.h"
#include "minifs/minifs.h"
#include "util/report.h"

namespace {

constexpr uint32_t kDeviceSize = 0x1400000;  // what mkminifs and unminifs take without a size

minifs_device* dev(void* fs) { return static_cast<minifs_device*>(fs); }
void* mf_load(uint8_t* buf, uint32_t, uint32_t total) { return minifs_mount("", "/", buf, total, nullptr); }
uint8_t* mf_rebuild(void* fs, size_t* size, std::string* why) {
  uint8_t* image = minifs_mmap(dev(fs), size, why);
  if (!image && why && why->empty()) *why = "the minifs writer gave no image";
  return image;
}
void mf_release_image(uint8_t* image, size_t size) { minifs_munmap(image, size); }
void mf_release(void* fs) { minifs_umount(dev(fs)); }
void mf_ls(void* fs) { minifs_ls(minifs_root(dev(fs)), 0); }

void to_attr(const minifs_attr& a, fs_attr* out) {
  *out = fs_attr{};
  out->mode = a.mode;
  out->uid = a.uid;
  out->gid = a.gid;
  out->size = a.size;
  out->mtime = a.mtime;
  out->target = a.target;
}
int mf_stat(void* fs, const char* path, fs_attr* out) {
  minifs_attr a;
  int rc = minifs_stat(dev(fs), path, &a);
  if (rc == 0) to_attr(a, out);
  return rc;
}
int mf_walk(void* fs, const char* path, std::vector<fs_node>* out) {
  std::vector<minifs_node> nodes;
  int rc = minifs_walk(dev(fs), path, &nodes);
  if (rc) return rc;
  out->reserve(out->size() + nodes.size());
  for (const minifs_node& n : nodes) {
    fs_node f;
    f.path = n.path;
    to_attr(n.attr, &f.attr);
    out->push_back(std::move(f));
  }
  return 0;
}
long long mf_pread(void* fs, const char* path, void* buf, size_t size, uint64_t offset) {
  return minifs_pread(dev(fs), path, buf, size, offset);
}
int mf_put(void* fs, const char* path, const void* buf, size_t size, const fs_put_attr* attr) {
  minifs_put_attr a;
  if (attr) {
    a.has_mode = attr->has_mode;
    a.mode = attr->mode;
    a.has_owner = attr->has_owner;
    a.uid = attr->uid;
    a.gid = attr->gid;
  }
  return minifs_put(dev(fs), path, buf, size, &a);
}
int mf_remove(void* fs, const char* path) { return minifs_remove(dev(fs), path); }
int mf_mkdir(void* fs, const char* path, uint32_t mode) { return minifs_make_dir(dev(fs), path, mode, 0, 0); }
int mf_chmod(void* fs, const char* path, uint32_t mode) { return minifs_chmod(dev(fs), path, mode); }
int mf_chown(void* fs, const char* path, uint32_t uid, uint32_t gid) { return minifs_chown(dev(fs), path, uid, gid); }
// New links get the mode minifs has always given them.
int mf_symlink(void* fs, const char* target, const char* path) {
  return minifs_make_symlink(dev(fs), target, path, 0644, 0, 0);
}

int mf_rename(void* fs, const char* from, const char* to) { return minifs_rename(dev(fs), from, to); }
int mf_mknod(void* fs, const char* path, uint32_t mode, uint32_t) {
  return minifs_make_special(dev(fs), path, mode, 0, 0);
}
// minifs has no magic: only a whole file is tried, by mounting a copy and
// finding anything in it (an erased or foreign device mounts empty). The file
// may be the used start of a larger device, whose tail reads as erased.
size_t mf_probe(const uint8_t* data, size_t size, bool whole) {
  if (!whole || size == 0 || size % 0x10000 != 0 || size > (size_t(64) << 20)) return 0;
  std::vector<uint8_t> copy(std::max<size_t>(size, kDeviceSize), 0xFF);
  std::copy(data, data + size, copy.begin());
  rs::Quiet quiet;  // a file that is no minifs says why as a device would
  minifs_device* d = minifs_mount("", "/", copy.data(), copy.size(), nullptr);
  if (!d) return 0;
  std::vector<minifs_node> nodes;
  bool found = minifs_walk(d, "/", &nodes) == 0 && nodes.size() > 1;
  minifs_umount(d);
  return found ? size : 0;
}

int mf_set_mtime(void* fs, const char* path, int64_t mtime) { return minifs_set_mtime(dev(fs), path, mtime); }

}  // namespace

const fs_ops minifs_fs_ops = {
    .type = FS_MINIFS,
    .name = "minifs",
    .align = 0x10000,
    .load_after_build = false,
    .holds_data = true,
    .fixed_size = true,
    .device_size = kDeviceSize,
    .read_unloaded = 0,
    .dump_unloaded_msg = "minifs_load_memory error.\n",
    .dump_who = "minifs_dump",
    .write_returns_count = true,
    .write_failed = -1,
    // A replace that cannot be completed keeps the whole old file and is reported.
    .write_failed_msg = "error: minifs write %s failed: %s\n",
    .rm_ok = 1,
    .rebuild_failed_msg = nullptr,
    .load = mf_load,
    .release = mf_release,
    .rebuild = mf_rebuild,
    .release_image = mf_release_image,
    .ls = mf_ls,
    .stat = mf_stat,
    .walk = mf_walk,
    .pread = mf_pread,
    .put = mf_put,
    .remove = mf_remove,
    .mkdir = mf_mkdir,
    .chmod = mf_chmod,
    .chown = mf_chown,
    .symlink = mf_symlink,
    .rename = mf_rename,
    .next_data = nullptr,
    .set_mtime = mf_set_mtime,
    .mknod = mf_mknod,
    .link = nullptr,
    .get_xattrs = nullptr,
    .set_xattrs = nullptr,
    .probe = mf_probe,
};
