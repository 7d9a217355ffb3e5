// minifs: the box's log-structured flash file system, kept whole in a memory
// buffer. A device is mounted over an image (borrowed) or over a fresh erased
// buffer of its own; files are read and written through handles that hold the
// whole content in memory until closed.
#pragma once
#include <cstddef>
#include <cstdint>

struct minifs_device;
struct minifs_Object;
struct minifs_Handle;

// Driver initialisation; ramdisk_Init when none is given at mount. Gives 1 when usable.
typedef int (*init_fn)(minifs_device* dev);
int ramdisk_Init(minifs_device* dev);

// Mounts `buffer` (used in place, must outlive the device) or, with none, an
// erased device of `size` bytes. Null only when memory is exhausted; a device
// the geometry check refused is given with an empty root.
minifs_device* minifs_mount(const char* devname, const char* path, uint8_t* buffer, size_t size, init_fn init);
void minifs_umount(minifs_device* dev);

minifs_Object* minifs_root(minifs_device* dev);

// flags bit 0x100 creates a missing file and replaces an existing one.
minifs_Handle* minifs_open(minifs_device* dev, const char* path, int flags, int mode);
int minifs_read(minifs_Handle* h, void* buffer, size_t nbyte, size_t offset);
int minifs_write(minifs_Handle* h, const void* buffer, size_t nbyte, size_t offset);
int minifs_close(minifs_Handle* h);
int minifs_sync(minifs_Handle* h);
int minifs_truncate(minifs_Handle* h, uint32_t size);
uint32_t minifs_size(minifs_Handle* h);

int minifs_rmfile(minifs_device* dev, const char* path);  // 1 removed, 0 not found
int minifs_rmdir(minifs_device* dev, const char* path);   // 1 removed, 0 not found
int minifs_exists(minifs_device* dev, const char* path);  // 1 present, 2 absent
int minifs_mkdir(minifs_device* dev, const char* path, int mode);
int minifs_symlink(minifs_device* dev, const char* oldPath, const char* newPath);
int minifs_readlink(minifs_device* dev, const char* oldPath, char* newPath, size_t size);
int minifs_rename(minifs_device* dev, const char* oldPath, const char* newPath);
int minifs_finfo(minifs_device* dev, const char* path);

// Copies a host tree into the device; `level` leading components of each host
// path are dropped (1: the top directory itself does not appear).
int minifs_load(minifs_device* dev, const char* local_directory, int level);
// Writes the image (blocks with live pages) to `image` atomically. 0 or -1.
int minifs_mkimg(minifs_device* dev, const char* image);
// The image in a heap buffer of *size bytes, null (and *size 0) when the device
// holds no live page. Release with minifs_munmap.
uint8_t* minifs_mmap(minifs_device* dev, size_t* size);
void minifs_munmap(uint8_t* image, size_t size);
// Extracts the subtree at `minifs_dir` into the existing host directory
// `local_dir`: number of objects handled, or negative.
int minifs_dump(minifs_device* dev, const char* local_dir, const char* minifs_dir);
int minifs_ls(minifs_Object* root, int level);
