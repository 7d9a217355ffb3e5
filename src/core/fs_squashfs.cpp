// squashfs behind the file-system operations: a tree built from the image;
// the rebuild writes a new image from it.
#include <romsmith/romsmith.h>

#include <cstdlib>

#include "core/fs_contract.h"
#include "squashfs/squashfs.h"

namespace {

squashfs_entry* root(void* fs) { return static_cast<squashfs_entry*>(fs); }
void* sq_load(uint8_t* buf, uint32_t used, uint32_t) { return squashfs_load_memory(buf, used); }
int sq_read(void* fs, const char* path, void* buf, size_t size, size_t offset) {
  return squashfs_read(root(fs), path, buf, size, offset);
}
int sq_write(void* fs, const char* path, const void* buf, size_t size) {
  return squashfs_add_buffer(root(fs), path, buf, size) ? 1 : 0;
}
int sq_rm(void* fs, const char* path) { return squashfs_rm(root(fs), path); }
int sq_dump(void* fs, const char* dir) { return squashfs_dump(root(fs), dir); }
uint8_t* sq_rebuild(void* fs, size_t* size) { return squashfs_mmap(root(fs), size); }
void sq_release_image(uint8_t* image, size_t) { std::free(image); }
void sq_release(void* fs) { squashfs_free(root(fs)); }
void sq_ls(void* fs) { squashfs_ls(root(fs), 0); }

}  // namespace

const fs_ops squashfs_fs_ops = {
    .type = FS_SQUASHFS,
    .load = sq_load,
    .read = sq_read,
    .write = sq_write,
    .rm = sq_rm,
    .dump = sq_dump,
    .rebuild = sq_rebuild,
    .release_image = sq_release_image,
    .exists = nullptr,
    .release = sq_release,
    .ls = sq_ls,
    .read_unloaded = -1,
    .dump_unloaded_msg = "squashfs_load_memory error.\n",
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
