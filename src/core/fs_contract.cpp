#include "core/fs_contract.h"

#include <romsmith/romsmith.h>

#include <cstdlib>

#include "cramfs/cramfs.h"
#include "minifs/minifs.h"
#include "squashfs/squashfs.h"

namespace {

void free_image(uint8_t* image, size_t) { std::free(image); }

// cramfs: an editable tree; the rebuild writes a new image straight from it,
// so links, devices, modes and owners of the loaded image survive.
void* cr_load(uint8_t* buf, uint32_t used, uint32_t) { return cramfs_load_memory(buf, used); }
int cr_read(void* fs, const char* path, void* buf, size_t size, size_t offset) {
  return cramfs_read(static_cast<entry*>(fs), path, buf, size, offset);
}
int cr_write(void* fs, const char* path, const void* buf, size_t size) {
  return cramfs_add_buffer(static_cast<entry*>(fs), path, buf, size) ? 1 : 0;
}
int cr_rm(void* fs, const char* path) { return cramfs_rm(static_cast<entry*>(fs), path); }
int cr_dump(void* fs, const char* dir) { return cramfs_dump(static_cast<entry*>(fs), dir); }
uint8_t* cr_rebuild(void* fs, size_t* size) { return cramfs_mmap(static_cast<entry*>(fs), size); }
void cr_release(void* fs) { cramfs_free(static_cast<entry*>(fs)); }
void cr_ls(void* fs) { cramfs_ls(static_cast<entry*>(fs), 0); }

// squashfs: a tree built from the image; the rebuild writes a new image from it.
void* sq_load(uint8_t* buf, uint32_t used, uint32_t) { return squashfs_load_memory(buf, used); }
int sq_read(void* fs, const char* path, void* buf, size_t size, size_t offset) {
  return squashfs_read(static_cast<squashfs_entry*>(fs), path, buf, size, offset);
}
int sq_write(void* fs, const char* path, const void* buf, size_t size) {
  return squashfs_add_buffer(static_cast<squashfs_entry*>(fs), path, buf, size) ? 1 : 0;
}
int sq_rm(void* fs, const char* path) { return squashfs_rm(static_cast<squashfs_entry*>(fs), path); }
int sq_dump(void* fs, const char* dir) { return squashfs_dump(static_cast<squashfs_entry*>(fs), dir); }
uint8_t* sq_rebuild(void* fs, size_t* size) { return squashfs_mmap(static_cast<squashfs_entry*>(fs), size); }
void sq_release(void* fs) { squashfs_free(static_cast<squashfs_entry*>(fs)); }
void sq_ls(void* fs) { squashfs_ls(static_cast<squashfs_entry*>(fs), 0); }

// minifs: a device working directly on the whole partition buffer.
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

const fs_ops kCramfs = {FS_CRAMFS, cr_load,    cr_read, cr_write, cr_rm, cr_dump, cr_rebuild, free_image,
                        nullptr,   cr_release, cr_ls,   -1,       "cramfs_load_memory error.\n"};
const fs_ops kSquashfs = {FS_SQUASHFS, sq_load,    sq_read, sq_write,   sq_rm, sq_dump, sq_rebuild, free_image,
                          nullptr,     sq_release, sq_ls,   -1,         "squashfs_load_memory error.\n"};
const fs_ops kMinifs = {FS_MINIFS, mf_load,    mf_read, mf_write, mf_rm, mf_dump, mf_rebuild, mf_release_image,
                        mf_exists, mf_release, mf_ls,   0,        "minifs_load_memory error.\n"};

}  // namespace

const fs_ops* fs_ops_for(int type) {
  switch (type) {
    case FS_CRAMFS: return &kCramfs;
    case FS_SQUASHFS: return &kSquashfs;
    case FS_MINIFS: return &kMinifs;
    default: return nullptr;
  }
}
