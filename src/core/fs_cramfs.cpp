// cramfs behind the file-system operations: an editable tree; the rebuild
// writes a new image straight from it, so links, devices, modes and owners of
// the loaded image survive.
#include <romsmith/romsmith.h>

#include <cstdlib>

#include "core/fs_contract.h"
#include "cramfs/cramfs.h"

namespace {

entry* root(void* fs) { return static_cast<entry*>(fs); }
void* cr_load(uint8_t* buf, uint32_t used, uint32_t) { return cramfs_load_memory(buf, used); }
int cr_read(void* fs, const char* path, void* buf, size_t size, size_t offset) {
  return cramfs_read(root(fs), path, buf, size, offset);
}
int cr_write(void* fs, const char* path, const void* buf, size_t size) {
  return cramfs_add_buffer(root(fs), path, buf, size) ? 1 : 0;
}
int cr_rm(void* fs, const char* path) { return cramfs_rm(root(fs), path); }
int cr_dump(void* fs, const char* dir) { return cramfs_dump(root(fs), dir); }
uint8_t* cr_rebuild(void* fs, size_t* size) { return cramfs_mmap(root(fs), size); }
void cr_release_image(uint8_t* image, size_t) { std::free(image); }
void cr_release(void* fs) { cramfs_free(root(fs)); }
void cr_ls(void* fs) { cramfs_ls(root(fs), 0); }

}  // namespace

const fs_ops cramfs_fs_ops = {
    .type = FS_CRAMFS,
    .load = cr_load,
    .read = cr_read,
    .write = cr_write,
    .rm = cr_rm,
    .dump = cr_dump,
    .rebuild = cr_rebuild,
    .release_image = cr_release_image,
    .exists = nullptr,
    .release = cr_release,
    .ls = cr_ls,
    .read_unloaded = -1,
    .dump_unloaded_msg = "cramfs_load_memory error.\n",
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
