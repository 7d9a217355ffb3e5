// romfs partitions edited in memory: the reader, the tree and the writer.
//
// A loaded image becomes a tree of names over shared inodes (hard links of
// one file share one). Every header is checked at load; file contents stay in
// the partition bytes, which must outlive the handle, and are copied out only
// when read or written into a rebuilt image. romfs keeps no owners and no
// times, only an entry's type and one exec flag: attributes are reported as
// the kernel shows them (directories and files 0644, or 0755 with the exec
// flag, links 0777, devices 0600, fifos and sockets 0644, owner 0:0, time 0,
// one link each, the header's offset as the inode number).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct romfs_image;

struct romfs_attr {
  uint32_t mode = 0;  // st_mode as the kernel shows it
  uint64_t size = 0;  // content or link length; a directory's header size
  uint32_t rdev = 0;  // (major << 8) | (minor & 0xff) | ((minor & ~0xff) << 12)
  uint64_t ino = 0;   // header offset in the loaded image; 0 for new entries
  std::string target;
};

struct romfs_node {
  std::string path;
  romfs_attr attr;
};

// Reads an image from `buf`: `used` bytes of content in a `total`-byte buffer
// (the room a rebuild may fill). Null with a one-line reason in *why.
romfs_image* romfs_load(const uint8_t* buf, uint32_t used, uint32_t total, std::string* why);
// An empty tree for building an image from scratch: a root directory only.
romfs_image* romfs_create(const std::string& volume, uint32_t align, uint32_t room);
void romfs_free(romfs_image* fs);

const std::string& romfs_volume(const romfs_image* fs);
// File data alignment of the writer: 16, or what the loaded layout shows.
uint32_t romfs_align(const romfs_image* fs);

int romfs_stat(romfs_image* fs, const char* path, romfs_attr* out);
int romfs_walk(romfs_image* fs, const char* path, std::vector<romfs_node>* out);
long long romfs_pread(romfs_image* fs, const char* path, void* buf, size_t size, uint64_t offset);
// `mode` < 0: keep a replaced file's exec flag, none for a new file. Owners
// other than 0:0 and modes the format cannot show are refused with -EPERM.
int romfs_put(romfs_image* fs, const char* path, const void* buf, size_t size, int mode, int64_t uid, int64_t gid);
int romfs_remove(romfs_image* fs, const char* path);
int romfs_mkdir(romfs_image* fs, const char* path, uint32_t mode);
int romfs_chmod(romfs_image* fs, const char* path, uint32_t mode);
int romfs_chown(romfs_image* fs, const char* path, uint32_t uid, uint32_t gid);
int romfs_symlink(romfs_image* fs, const char* target, const char* path);
int romfs_rename(romfs_image* fs, const char* from, const char* to);

// The tree drawn as the other readers' `ls` does.
void romfs_ls(romfs_image* fs);

// The image of the tree: volume name, entry order and alignment kept,
// checksums made; padded with zeros to a multiple of 1024 bytes. Empty with
// a reason in *why when it cannot be written.
std::vector<uint8_t> romfs_write(romfs_image* fs, std::string* why);
// The size romfs_write would give (0 when it cannot be written).
uint64_t romfs_image_size(romfs_image* fs);

// Builds an image of the host directory `dir` the way genromfs lays one out
// (readdir order, hard links, devices, fifos, sockets, exec flags). 0, or -1
// with the reason in *why.
int romfs_from_directory(const std::string& dir, const std::string& volume, uint32_t align, std::vector<uint8_t>* out,
                         std::string* why);
