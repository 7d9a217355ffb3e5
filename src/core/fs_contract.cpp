#include "core/fs_contract.h"

#include <romsmith/romsmith.h>

#include <cstdlib>

#include "squashfs/squashfs.h"

namespace {

void free_image(uint8_t* image, size_t) { std::free(image); }

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

// File systems not built in yet load nothing, so their partitions stay raw
// bytes with a null handle and every file operation on them fails.
const fs_ops kCramfs = {FS_CRAMFS, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr,   nullptr, nullptr, -1,      "cramfs_load_memory error.\n"};
const fs_ops kSquashfs = {FS_SQUASHFS, sq_load,    sq_read, sq_write,   sq_rm, sq_dump, sq_rebuild, free_image,
                          nullptr,     sq_release, sq_ls,   -1,         "squashfs_load_memory error.\n"};
const fs_ops kMinifs = {FS_MINIFS, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr,   nullptr, nullptr, 0,       "minifs_load_memory error.\n"};

}  // namespace

const fs_ops* fs_ops_for(int type) {
  switch (type) {
    case FS_CRAMFS: return &kCramfs;
    case FS_SQUASHFS: return &kSquashfs;
    case FS_MINIFS: return &kMinifs;
    default: return nullptr;
  }
}
