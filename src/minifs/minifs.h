// minifs: the box's log-structured flash file system, kept whole in a memory
// buffer. A device is mounted over an image (borrowed) or over a fresh erased
// buffer of its own; files are read and written through handles that hold the
// whole content in memory until closed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
int minifs_finfo(minifs_device* dev, const char* path);

// Copies a host tree into the device, with the host's modes and owners; `level`
// leading components of each host path are dropped (1: the top directory
// itself does not appear). 0 when everything was copied; -1 when the source is
// not a readable directory or anything was skipped (each skipped entry is named
// on standard error with the reason, and is absent from the device).
int minifs_load(minifs_device* dev, const char* local_directory, int level);
// Writes the image (blocks with live pages) to `image` atomically. 0 or -1.
int minifs_mkimg(minifs_device* dev, const char* image);
// The image in a heap buffer of *size bytes (0 bytes for a device without a
// live page: an erased partition). Null when the device was refused at mount
// (it has nothing that could replace the image: *why is left empty), or when
// memory is exhausted: that failure is printed on standard error and its line
// put in *why. Never ends the process; the device stays as it was. Release
// with minifs_munmap.
uint8_t* minifs_mmap(minifs_device* dev, size_t* size, std::string* why = nullptr);
void minifs_munmap(uint8_t* image, size_t size);
// Extracts the subtree at `minifs_dir` into the existing host directory
// `local_dir`: number of objects handled, or negative.
int minifs_dump(minifs_device* dev, const char* local_dir, const char* minifs_dir);
int minifs_ls(minifs_Object* root, int level);

// ---- path operations with reasons -----------------------------------------
// Each gives 0 (or a byte count) or a negative errno. Paths are absolute
// ("/etc/x"). An operation that changes the device either completes or leaves
// the media and the tree exactly as they were.

struct minifs_attr {
  uint32_t mode = 0;  // type and permission bits
  uint32_t uid = 0, gid = 0, mtime = 0;
  uint32_t size = 0;   // content length; target length for a link
  std::string target;  // link target
};
struct minifs_node {
  std::string path;
  minifs_attr attr;
};
// What a put sets beyond the content; unset fields keep a replaced file's
// value, and a new file gets 0664, owner 0:0.
struct minifs_put_attr {
  bool has_mode = false;
  uint32_t mode = 0;
  bool has_owner = false;
  uint32_t uid = 0, gid = 0;
};

int minifs_stat(minifs_device* dev, const char* path, minifs_attr* out);
// `path` (a directory) and everything below it, depth first, children by name.
int minifs_walk(minifs_device* dev, const char* path, std::vector<minifs_node>* out);
// Up to `size` bytes from `offset`; only the stored blocks that hold them are
// decoded. -EIO (with a message) when one of them is damaged.
long long minifs_pread(minifs_device* dev, const char* path, void* buf, size_t size, uint64_t offset);
// Creates or replaces a regular file; -EFBIG above 8 MiB, -ENOSPC when it does
// not fit (the replaced file is then left as it was).
int minifs_put(minifs_device* dev, const char* path, const void* buf, size_t size, const minifs_put_attr* attr);
int minifs_remove(minifs_device* dev, const char* path);
int minifs_make_dir(minifs_device* dev, const char* path, uint32_t mode, uint32_t uid, uint32_t gid);
int minifs_make_symlink(minifs_device* dev, const char* target, const char* path, uint32_t mode, uint32_t uid,
                        uint32_t gid);
// A fifo or socket (type bits of `mode`); -EPERM for a device node, whose number
// an object header cannot hold.
int minifs_make_special(minifs_device* dev, const char* path, uint32_t mode, uint32_t uid, uint32_t gid);
int minifs_chmod(minifs_device* dev, const char* path, uint32_t mode);
int minifs_chown(minifs_device* dev, const char* path, uint32_t uid, uint32_t gid);
// Moves `from` to `to` as rename(2) does, in one operation: -ENOENT when
// `from` or an ancestor of `to` is missing, -ENOTDIR for an ancestor that is no
// directory or a directory moved onto a non-directory, -EISDIR for the other
// way round, -ENOTEMPTY onto a directory that is not empty, -EINVAL for a
// directory moved below itself, the root or a name no path can carry,
// -ENAMETOOLONG above 32 bytes, -ENOSPC when the new header does not fit;
// `from` equal to `to` is 0. A non-directory or an empty directory at `to` is
// replaced. The object keeps its id, mode, owner, times and stored content.
int minifs_rename(minifs_device* dev, const char* from, const char* to);
// Modification time of an existing entry (a hard link's object for a hard
// link); -EOVERFLOW outside the 32-bit field, -EINVAL for the root, which has
// no stored header.
int minifs_set_mtime(minifs_device* dev, const char* path, int64_t mtime);
