// The operations the image core needs from a file system, chosen by type code:
// the only door between the core and a file system. Everything the core must
// know of one (its name, layout rules, designed results) is a field here.
// Partitions of a type without an entry are raw bytes.
//
// A handle returned by `load` may keep pointers into the partition buffer it
// was given (lazy reads): the core releases the handle before that buffer is
// freed or rewritten, and loads a new one from the new bytes.
//
// The operations below `ls` return 0 (or a byte count) on success and a
// negative errno on failure; the core turns that into the message and marks
// the partition edited on success. Paths are absolute inside the file system
// ("/etc/issue"); the core adds the leading "/" when the user left it out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Attributes of one entry of a file system.
struct fs_attr {
  uint32_t mode = 0;  // type and permission bits, as st_mode
  uint32_t uid = 0, gid = 0;
  uint64_t size = 0;   // content length; link target length for a link
  uint32_t mtime = 0;  // 0 where the file system stores none
  uint32_t rdev = 0;   // device number of a device node, (major << 8) | (minor & 0xff) | ((minor & ~0xff) << 12)
  uint32_t nlink = 1;
  uint64_t ino = 0;    // shared by hard links of one inode; 0 where unknown
  std::string target;  // symbolic link target
};

// One entry of a walk: the absolute path ("/" for the root) and its attributes.
struct fs_node {
  std::string path;
  fs_attr attr;
};

// Extended attributes of one entry, full names with their prefix ("user.comment"), in stored order.
using fs_xattrs = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

// What a put sets beyond the content. Unset fields keep the replaced file's
// value, or take the file system's default for a new path.
struct fs_put_attr {
  bool has_mode = false;
  uint32_t mode = 0;  // permission bits (07777)
  bool has_owner = false;
  uint32_t uid = 0, gid = 0;
};

struct fs_ops {
  int type;  // the partition table's type code
  // Name in messages, listings and JSON ("cramfs").
  const char* name;
  // Alignment a flash.conf build requires of the partition's start; 0: the image's block size.
  uint32_t align;
  // A flash.conf build loads the content file as an editable file system.
  bool load_after_build;
  // The image's channel databases may live here (a partition named DATA...).
  bool holds_data;
  // The image is a device as large as its partition (it neither grows nor
  // shrinks), so a bare image of it gets no room beyond the file...
  bool fixed_size;
  // ...but is mounted as a device of at least this size, the file being its
  // used start (0: the file's own size).
  uint32_t device_size;

  // What the older entry points report, as each file system always did.
  int read_unloaded;               // flash_read when the file system could not be read at open
  const char* dump_unloaded_msg;   // printed by dump then
  const char* dump_who;            // the function named in dump messages ("cramfs_dump")
  bool write_returns_count;        // flash_write's success: the byte count, else 1
  int write_failed;                // flash_write's failure
  const char* write_failed_msg;    // printf format (path, reason) printed on a failed flash_write, or null
  int rm_ok;                       // flash_rm's success
  const char* rebuild_failed_msg;  // printed when a rebuild fails, before the reason, or null

  // Load from the partition buffer; `used` bytes of content in a `total`-byte buffer.
  void* (*load)(uint8_t* buf, uint32_t used, uint32_t total);
  void (*release)(void* fs);
  // The image of the edited tree (release with release_image), or null with
  // a one-line reason in *why: a failed rebuild fails the save.
  uint8_t* (*rebuild)(void* fs, size_t* size, std::string* why);
  void (*release_image)(uint8_t* image, size_t size);
  // The tree listing of the shell's ls.
  void (*ls)(void* fs);

  // --- operations with reasons (0 / byte count, or -errno) ----------------
  // Attributes of `path` (-ENOENT when missing).
  int (*stat)(void* fs, const char* path, fs_attr* out);
  // `path` (a directory) and everything below it, depth first, children by
  // name; the first node is `path` itself.
  int (*walk)(void* fs, const char* path, std::vector<fs_node>* out);
  // Up to `size` bytes from `offset`; the count read, or -errno (-EIO with the
  // reader's message printed when the stored data cannot be decoded).
  long long (*pread)(void* fs, const char* path, void* buf, size_t size, uint64_t offset);
  // Creates or replaces a regular file. A replaced file keeps its mode, owner
  // (and time, where stored) unless `attr` says otherwise. -ENOENT/-ENOTDIR for
  // a missing parent, -EISDIR for a directory, -EFBIG, -ENOSPC; on failure a
  // replaced file is left as it was.
  int (*put)(void* fs, const char* path, const void* buf, size_t size, const fs_put_attr* attr);
  // Removes a file, link or directory (with what is below it); -ENOENT when missing.
  int (*remove)(void* fs, const char* path);
  // New directory with permission bits `mode`; -EEXIST when the path exists.
  int (*mkdir)(void* fs, const char* path, uint32_t mode);
  // Permission bits (07777) of an existing entry.
  int (*chmod)(void* fs, const char* path, uint32_t mode);
  int (*chown)(void* fs, const char* path, uint32_t uid, uint32_t gid);
  // New symbolic link at `path` pointing to `target`; -EEXIST when the path exists.
  int (*symlink)(void* fs, const char* target, const char* path);
  // Moves `from` to `to` as rename(2) does: an existing file at `to` is
  // replaced, an empty directory too (-ENOTEMPTY otherwise), -EINVAL for a
  // directory moved below itself, -EISDIR/-ENOTDIR for a file onto a
  // directory and back. The moved entry keeps its attributes.
  int (*rename)(void* fs, const char* from, const char* to);
  // Optional: the first offset at or after `off` of a regular file that may
  // hold data (its size when only a hole follows), so that streams skip holes
  // without reading them. Null: every byte may be data.
  uint64_t (*next_data)(void* fs, const char* path, uint64_t off);
  // Modification time; null where the file system stores none.
  int (*set_mtime)(void* fs, const char* path, int64_t mtime);
  // Optional: a device node, fifo or socket at `path`, its type from `mode`'s
  // type bits, `rdev` encoded as in fs_attr; -EEXIST when the path exists,
  // -EINVAL for another type, -EOVERFLOW for a number the file system cannot
  // store. Null where none of these can be stored.
  int (*mknod)(void* fs, const char* path, uint32_t mode, uint32_t rdev);
  // Optional: `to` as a second name of the non-directory `from` (a hard link);
  // -EPERM for a directory, -EEXIST when `to` exists. Null where the file
  // system keeps no hard links.
  int (*link)(void* fs, const char* from, const char* to);
  // Optional: the extended attributes stored for `path` (none: an empty list).
  // Null where the file system stores none.
  int (*get_xattrs)(void* fs, const char* path, fs_xattrs* out);
  // Optional: replaces the extended attributes of `path` (of its inode: every
  // hard link shows them); -EOPNOTSUPP for a name the format cannot store, and
  // then nothing changes.
  int (*set_xattrs)(void* fs, const char* path, const fs_xattrs& in);
  // Optional: the length of an image of this kind starting at `data` (`size`
  // bytes readable), or 0 when none starts there. `whole`: `data` is a whole
  // file, which may be tried harder (a kind without a magic of its own);
  // otherwise only a magic and sizes that agree with it count, as a scan of
  // a flash dump needs.
  size_t (*probe)(const uint8_t* data, size_t size, bool whole);

  // Found by content, not by type code: a partition whose type has no table
  // of its own is loaded through this one when `probe` finds it at the start
  // (a boot-loader image header in a raw partition); otherwise it stays raw.
  bool by_content = false;
  // The images `rebuild` returns come from malloc and release_image frees
  // them: a save may keep one as the partition's buffer instead of copying it.
  bool image_from_malloc = false;

  // Optional: the edited tree written over the partition's own bytes `part`
  // (`room` of them may be used), changing only what differs from the image
  // it was loaded from, so that a save copies every other byte from the input
  // file. Runs instead of `rebuild` when it can: the new image length; -1 with
  // nothing written when this edit needs a whole rebuild (then `rebuild`
  // runs); -2 with a one-line reason in *why when the save must fail. Every
  // read of the old bytes happens before the first write.
  long long (*rebuild_in_place)(void* fs, uint8_t* part, size_t room, std::string* why) = nullptr;
  // After rebuild_in_place gave a length, the handle describes the bytes it
  // wrote and stays; otherwise a new one is loaded from them.
  bool in_place_keeps_handle = false;
  // Optional: a reader of the regular file `path` as the loaded image stores
  // it, safe on any thread while other calls go on, until the handle is
  // saved or released: (buf, size, offset) -> bytes read or -errno. Empty
  // when there is none (the file was edited, or the kind cannot serve one).
  std::function<long long(void* buf, size_t size, uint64_t offset)> (*stored_reader)(void* fs,
                                                                                     const char* path) = nullptr;
  // Optional: as `put`, the content being the host file `host` of `size`
  // bytes, read only when the image is built (a tree built from a host
  // directory and thrown away after, never one that is edited and saved).
  int (*put_host)(void* fs, const char* path, const char* host, uint64_t size, const fs_put_attr* attr) = nullptr;
};

// The table of a type code (an array lookup); null: raw bytes.
const fs_ops* fs_ops_for(int type);
// The tables tried by content on a partition of a type without a table.
const std::vector<const fs_ops*>& fs_content_ops();

// Every table, in type-code order (the order saves rebuild in).
const std::vector<const fs_ops*>& fs_all_ops();
// "cramfs, squashfs or minifs": the names of every table, for messages.
std::string fs_names_or();

// The table that made a loaded handle (released through it), or, for a
// partition without one, the table of its type code.
const fs_ops* fs_ops_of(const void* handle, int type);
void fs_handle_made(const void* handle, const fs_ops* ops);
void fs_handle_gone(const void* handle);

// The tables, one file each (src/core/fs_<name>.cpp).
extern const fs_ops romfs_fs_ops;
extern const fs_ops cramfs_fs_ops;
extern const fs_ops jffs2_fs_ops;
extern const fs_ops squashfs_fs_ops;
extern const fs_ops minifs_fs_ops;
extern const fs_ops uimage_fs_ops;
extern const fs_ops ubifs_fs_ops;
