// cramfs partitions edited in memory: the file tree, the image reader and the
// image writer.
//
// A loaded image becomes a tree of `entry` nodes: names, modes, owners, sizes,
// link targets and device numbers are read at load; a regular file's content
// stays in the image bytes (its block-pointer table is remembered in `src`)
// and is inflated only when it is read, dumped or compared. The image bytes
// handed to cramfs_load_memory must therefore stay valid and unchanged for
// the tree's life. Content given by an edit is held in `buf`.
// The root node is the handle the image core keeps for the partition; its
// `image` record owns the path table. Paths are absolute ("/dir/file").
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cramfs/hash.h"

struct entry;
struct cramfs_arena;

struct cramfs_data {
  hash_t* entry_table = nullptr;  // full path -> entry*, 400 buckets; the root is "/"
  // A loaded tree fills entry_table when lookups need it (a listing needs
  // none, one edit walks the tree): `paths_pending` until then.
  bool paths_pending = false;
  bool walkable = false;          // no two siblings share a name: lookups may walk meanwhile
  uint64_t pending_nodes = 0;     // nodes the table will hold
  uint64_t walked = 0;            // steps the walks took so far
  entry* root = nullptr;          // the tree's root, while paths are pending
  cramfs_arena* arena = nullptr;  // nodes and names of a loaded tree, freed with it
  long total_blocks = 0;          // writer: pages written
  long total_nodes = 0;           // writer: inodes written, root included
  int image_length = 0;           // boot padding in front of the superblock: 0 or 512
  int fslen_ub = 0;               // upper bound of the image the writer would produce
  long long ub_raw = 76;          // the same before rounding, kept by each edit
  int error = 0;                  // 0, or the error number of the failed opening check
  // The loaded image: lazily read contents live in [base, base + base_len).
  const uint8_t* base = nullptr;
  size_t base_len = 0;
  uint8_t* owned = nullptr;  // the tree's own copy of the image (cramfs_load), freed with it
  bool big_endian = false;   // byte order of the loaded image, and of the rebuilt one
  // Where the image's contents start (their block-pointer tables), sorted,
  // each once: read from the inodes, so that a save over the image can tell
  // the room each kept content holds without reading its table. A save over
  // the image adds where it put contents; bytes from one start to the next
  // that no entry names any more are dead.
  std::vector<uint32_t> content_starts;
  // Superblock fields a rebuild keeps: edition, volume name, and the boot
  // padding's bytes when image_length is 512.
  uint32_t edition = 0;
  char volume_name[16] = "Compressed";
  uint8_t boot_pad[512] = {};
  // One inflated page, kept for the next read of the same stored content.
  uint8_t* page_cache = nullptr;
  uint32_t cache_table = 0, cache_size = 0, cache_index = 0;
};

struct entry {
  char* name = nullptr;  // last path component; "/" for the root
  uint32_t mode = 0;     // POSIX type and permission bits
  uint32_t size = 0;     // file length, directory listing size, device number or link length
  uint32_t uid = 0, gid = 0;
  uint8_t md5sum[16] = {};
  uint8_t flags = 0;      // bit 0: md5sum holds the digest; bit 1: nothing to digest; bit 2: `src`'s table checked
  char* path = nullptr;   // full tree path (host path for trees scanned from a directory)
  entry* same = nullptr;  // writer: earlier entry whose data this one shares
  uint32_t offset = 0, dir_offset = 0;  // writer: data and inode positions
  uint8_t* buf = nullptr;               // content given by an edit, or a link target (malloc'd)
  uint32_t src = 0;  // content stored in the loaded image: its block-pointer table's offset (0: none)
  entry* parent = nullptr;
  entry* child = nullptr;
  entry* last_child = nullptr;
  entry* next = nullptr;
  entry* prev = nullptr;
  cramfs_data* image = nullptr;
  uint8_t in_arena = 0;  // CRAMFS_ARENA_* bits: what the image's arena holds (not freed alone)
};

enum : uint8_t { CRAMFS_MD5_DONE = 1, CRAMFS_NO_CONTENT = 2, CRAMFS_TABLE_CHECKED = 4 };
enum : uint8_t { CRAMFS_ARENA_NODE = 1, CRAMFS_ARENA_NAME = 2, CRAMFS_ARENA_PATH = 4 };

// --- loading -------------------------------------------------------------
// The tree of the cramfs image in `buf`: a superblock at 0 or after 512 bytes
// of padding, in either byte order (a rebuild keeps the loaded one and the
// superblock's edition, name and padding). Malformed images and variants this
// reader does not take (feature flags, pages above 4096 bytes) print one line
// and give null; nothing outside [buf, buf+size) is read. Listings, names
// and link targets are checked here, and that every block-pointer table
// lies in the image; a file's table is read whole, and its pages inflated,
// only when the file is read or rebuilt, so a corrupt table or page is
// reported by the reads of that file (and refuses a rebuild that needs it).
// The first table of more than one page is read now: it tells an image made
// for bigger pages, which is refused. Names and link targets held are bounded (32 and 16 MiB beyond
// the image size). `buf` must outlive the tree and stay unchanged.
entry* cramfs_load_memory(uint8_t* buf, size_t size);
// Same on a copy of the bytes that the tree keeps: `buf` may go at once.
entry* cramfs_load_copy(const uint8_t* buf, size_t size);
// Same for an image file.
entry* cramfs_load(const char* imagefile);

// --- tree operations -----------------------------------------------------
entry* cramfs_find(entry* root, const char* path);
// The tree's path table (entry_table), filled first when a loaded tree has
// not needed it yet.
hash_t* cramfs_paths(entry* root);
// Bytes copied: min(size, file size - offset); 0 for unknown paths and non-files;
// -1 (with the reader's message) when the stored data does not decode.
int cramfs_read(entry* root, const char* path, void* buf, size_t size, size_t offset);
// Prints the content as text and "\n"; 0, or 1 when the path is unknown
// (or its data does not decode: the reader's message instead).
int cramfs_cat(entry* root, const char* path);
// A regular file holding a copy of `buf`; null when the parent directory is
// unknown, `path` is a directory or the content exceeds the 24-bit size field.
// A new path gets mode 0644 and owner 0:0; a regular file already at `path`
// gets the new content and keeps its mode and owner; a link or special file
// there becomes a regular file of mode 0644 that keeps the owner.
entry* cramfs_add_buffer(entry* root, const char* path, const void* buf, size_t size);
// cramfs_add_buffer with the content of the host file `myfile`; null when unreadable.
entry* cramfs_add(entry* root, const char* path, const char* myfile);
// New directory; null when the parent is unknown or `path` exists.
entry* cramfs_mkdir(entry* root, const char* path);
// Removes the node and its subtree; 0 always (also for unknown paths).
int cramfs_rm(entry* root, const char* path);
// --- operations with reasons (0, or a negative errno) ----------------------
// Paths as for cramfs_find. Names longer than the 252 bytes an inode can hold
// are refused (-ENAMETOOLONG); cramfs stores 16-bit uids and 8-bit gids, so
// larger owners are refused (-EINVAL) rather than cut (mkfs.cramfs cuts them,
// which can turn gid 256 into root's group).
//
// cramfs_add_buffer with reasons: -ENOENT / -ENOTDIR for a missing parent or
// one that is no directory, -EISDIR, -EFBIG above 16 MiB - 1, -ENOMEM; a
// negative `mode` (permission bits) or `uid`/`gid` keeps the replaced file's
// value, or takes the default of a new path (0644, 0:0). On failure nothing
// changes.
int cramfs_put(entry* root, const char* path, const void* buf, size_t size, int32_t mode, int64_t uid, int64_t gid);
// Removes a file, link, special file or directory (with its subtree); -ENOENT
// when missing, -EBUSY for the root.
int cramfs_remove(entry* root, const char* path);
// New directory of permission bits `mode`, owned like its parent; -EEXIST.
int cramfs_mkdir_mode(entry* root, const char* path, uint32_t mode);
// Permission bits (07777) of an existing entry; the type is kept.
int cramfs_chmod(entry* root, const char* path, uint32_t mode);
int cramfs_chown(entry* root, const char* path, uint32_t uid, uint32_t gid);
// New symbolic link (0777, 0:0) to `target` (1 to 4096 bytes); -EEXIST, -EINVAL
// for an empty target, -ENAMETOOLONG for a longer one.
int cramfs_symlink(entry* root, const char* target, const char* path);
// A device node, fifo or socket (type bits of `mode`); -EOVERFLOW for a device
// number beyond 8-bit major and minor, which the format cannot keep.
int cramfs_mknod(entry* root, const char* path, uint32_t mode, uint32_t rdev);
// Moves `from` to `to` as rename(2) does: -ENOENT when `from` or an ancestor
// of `to` is missing, -ENOTDIR for an ancestor that is no directory or a
// directory moved onto a non-directory, -EISDIR for a non-directory moved onto
// a directory, -ENOTEMPTY onto a directory that is not empty, -EINVAL for a
// directory moved below itself or a name no inode may carry, -ENAMETOOLONG,
// -EBUSY for the root; `from` equal to `to` is 0. A non-directory or empty
// directory at `to` is replaced. The entry keeps its mode, owner and content
// (stored pages are still copied as they are by a rebuild); a moved
// directory takes everything below it, each path in the path table updated,
// and it goes in its new directory's name order.
int cramfs_rename(entry* root, const char* from, const char* to);
// Up to `size` bytes of the regular file `path` from `offset`: the count, or
// -ENOENT, -EISDIR, -EINVAL (not a regular file), -EIO (stored data that does
// not decode; the reader's message is printed).
long long cramfs_pread(entry* root, const char* path, void* buf, size_t size, uint64_t offset);

// Prints the tree as "|-- name" lines; refreshes directory sizes. 0.
int cramfs_ls(entry* root, int level);
// Recomputes directory sizes and the image's fslen_ub; gives `node`'s listing size.
uint32_t cramfs_resize(entry* node);
// Releases the whole tree; for a root also its image record.
void cramfs_free(entry* root);

// Lower-level node helpers.
entry* cramfs_node_new(cramfs_data* image, const char* name, uint32_t mode, uint32_t size, uint32_t uid, uint32_t gid);
void inode_add_child(entry* node, entry* child);
void cramfs_reset_list(entry* parent, entry* child);
void node_free(entry* node);
// Frees a node's content and forgets its digest and stored data (size 0).
void cramfs_drop_content(entry* e);
// Up to `size` bytes of a regular file's or link's content from `offset`: the
// count, or -EIO (message printed unless `quiet`) when stored data does not decode.
long long cramfs_entry_pread(entry* e, void* buf, size_t size, uint64_t offset, bool quiet = false);

// --- writer --------------------------------------------------------------
// Tree of the host directory `dir` with the host's attributes (lstat): modes,
// owners, symbolic links, device nodes, fifos and sockets; contents are read
// in. Size estimates are added to *fslen_ub. Null when `dir` cannot be examined.
entry* cramfs_parse_directory(const char* dir, size_t* fslen_ub);
// Complete cramfs image of the tree in a malloc'd buffer of *size bytes, or
// null (with a message) when it exceeds the largest image. For a tree made in
// memory or from a host directory, writer limits (a name above 252 bytes, data
// beyond the 28-bit offsets, memory) end the process with status 8. A tree
// loaded from an image never ends the process: every failure prints its
// message on standard error and gives null, with the message's first line in
// *why (when given; cleared on success), and the tree stays as it was, so it
// can be fixed (say, the long name removed) and rebuilt. Contents still
// stored in the loaded image are copied as they are (only their block-pointer
// tables move; a corrupt page stays as stored); new contents are compressed on all cores. Files of equal
// content share one copy; the image is in the tree's byte order, with the
// loaded superblock's edition, name and boot padding, directories sorted.
// The tree keeps reading from its loaded image: a caller that puts the
// result in that image's place must load a new tree from it.
uint8_t* cramfs_mmap(entry* root, size_t* size, std::string* why = nullptr);
// The edited tree written over the loaded image's own bytes `part` (which
// must be the bytes the tree was loaded from; `room` usable): new listings at
// the front, stored contents left where they are, new ones after the old
// end. The new length, or -1 with nothing written when the edit needs the
// whole rebuild (cramfs_mmap): no stored content left beyond the listings,
// more room needed than `room`, dead bytes above an eighth of the image, or
// ROMSMITH_CRAMFS_COMPACT set. On success the tree describes the bytes
// written (it reads them from where they went); on -1 it is as it was.
long long cramfs_write_in_place(entry* root, uint8_t* part, size_t room, std::string* why = nullptr);
// Image of the host directory `dir` written atomically to `image`; 0 or -1.
// Little-endian, as always.
int mkfs_cramfs(const char* dir, const char* image);
// Same in the byte order mkfs.cramfs -N names: `big_endian` 1 big, 0 little,
// negative the host's order.
int mkfs_cramfs_endian(const char* dir, const char* image, int big_endian);
// Threads used for page compression (0 = all cores); output does not depend on it.
void cramfs_set_threads(unsigned n);
