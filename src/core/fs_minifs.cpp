// minifs behind the file-system operations: a device working directly on the
// whole partition buffer.
#include <romsmith/romsmith.h>

#include "core/fs_contract.h"
#include "minifs/minifs.h"

namespace {

minifs_device* dev(void* fs) { return static_cast<minifs_device*>(fs); }
void* mf_load(uint8_t* buf, uint32_t, uint32_t total) { return minifs_mount("", "/", buf, total, nullptr); }
int mf_read(void* fs, const char* path, void* buf, size_t size, size_t offset) {
  minifs_Handle* h = minifs_open(dev(fs), path, 2, 0664);
  if (!h) return 0;
  int n = minifs_read(h, buf, size, offset);
  minifs_close(h);
  return n;
}
int mf_write(void* fs, const char* path, const void* buf, size_t size) {
  // Create bit set: an existing file is replaced as a whole.
  minifs_Handle* h = minifs_open(dev(fs), path, 0x102, 0664);
  if (!h) return -1;
  int n = minifs_write(h, buf, size, 0);
  // The data reaches the device on close; a failed store is a failed write.
  if (minifs_close(h) != 0) return -1;
  return n;
}
int mf_rm(void* fs, const char* path) { return minifs_rmfile(dev(fs), path); }
int mf_dump(void* fs, const char* dir) { return minifs_dump(dev(fs), dir, "/"); }
uint8_t* mf_rebuild(void* fs, size_t* size) { return minifs_mmap(dev(fs), size); }
void mf_release_image(uint8_t* image, size_t size) { minifs_munmap(image, size); }
int mf_exists(void* fs, const char* path) { return minifs_exists(dev(fs), path); }
void mf_release(void* fs) { minifs_umount(dev(fs)); }
void mf_ls(void* fs) { minifs_ls(minifs_root(dev(fs)), 0); }

}  // namespace

const fs_ops minifs_fs_ops = {
    .type = FS_MINIFS,
    .load = mf_load,
    .read = mf_read,
    .write = mf_write,
    .rm = mf_rm,
    .dump = mf_dump,
    .rebuild = mf_rebuild,
    .release_image = mf_release_image,
    .exists = mf_exists,
    .release = mf_release,
    .ls = mf_ls,
    .read_unloaded = 0,
    .dump_unloaded_msg = "minifs_load_memory error.\n",
    .stat = nullptr,
    .walk = nullptr,
    .pread = nullptr,
    .put = nullptr,
    .remove = nullptr,
    .mkdir = nullptr,
    .chmod = nullptr,
    .chown = nullptr,
    .symlink = nullptr,
};
