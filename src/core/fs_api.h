// File-system operations on flash paths ("PART/path") with reasons: what the
// shell's editing commands and the data tools call. Each returns 0 (or a byte
// count) on success or a negative error code, prints nothing, and marks the
// partition edited when it changed the file system; fs_error_text says why.
#pragma once
#include <romsmith/romsmith.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/fs_contract.h"

// Error codes beside the errno values.
enum {
  RS_ENOPART = 4001,    // no partition of that name
  RS_ENOFS = 4002,      // the partition holds no file system of a known type
  RS_EUNLOADED = 4003,  // the partition's file system could not be read at open
  RS_EBADPATH = 4004,   // a path with "..", or not of the form PART/path
};
std::string fs_error_text(int err);

// Splits "PART/path" (or "PART" alone for the root) into the partition and a
// normalised absolute path ("/", "/etc/issue"). Negative code when it cannot.
int flash_fs_resolve(flash* entry, const char* full, partition_data** part, const fs_ops** ops, std::string* path);

int flash_fs_stat(flash* entry, const char* full, fs_attr* out);
int flash_fs_walk(flash* entry, const char* full, std::vector<fs_node>* out);
long long flash_fs_pread(flash* entry, const char* full, void* buf, size_t size, uint64_t offset);
// The whole content of a regular file.
int flash_fs_get(flash* entry, const char* full, std::vector<uint8_t>* out);
// A regular file's content handed to `sink` in order, in pieces of at most
// kStreamPiece bytes, whatever the file's size; a hole the file system knows
// of comes as a null pointer and its length. 0, a negative code, or
// -ECANCELED when the sink returned false (errno as the sink left it).
constexpr size_t kStreamPiece = size_t(1) << 20;
int flash_fs_stream(flash* entry, const char* full, const std::function<bool(const uint8_t*, size_t)>& sink);
int flash_fs_put(flash* entry, const char* full, const void* buf, size_t size, const fs_put_attr* attr);
// As flash_fs_put with the content read from the host file `host` only when
// the image is built; -ENOSYS where the file system cannot defer it.
int flash_fs_put_host(flash* entry, const char* full, const char* host, uint64_t size, const fs_put_attr* attr);
int flash_fs_remove(flash* entry, const char* full);
// `parents`: also the missing directories above, and no error when it exists as a directory.
int flash_fs_mkdir(flash* entry, const char* full, uint32_t mode, bool parents);
int flash_fs_chmod(flash* entry, const char* full, uint32_t mode);
int flash_fs_chown(flash* entry, const char* full, uint32_t uid, uint32_t gid);
int flash_fs_symlink(flash* entry, const char* target, const char* full);
// Both paths in one partition (-EXDEV otherwise).
int flash_fs_rename(flash* entry, const char* from, const char* to);
// Bytes the partition's area leaves after its file system as a save would
// build it now (a trial build when it was edited) in *room, negative when the
// build would not fit by that much; -ENOSPC when it fails (the reason in *why).
int flash_fs_room(flash* entry, const char* part_name, long long* room, std::string* why);
// Extended attributes of an entry (an empty list where the file system stores none).
int flash_fs_xattrs(flash* entry, const char* full, fs_xattrs* out);
// Sets one attribute (flags: 1 only create, 2 only replace) or, with a null
// value, removes it (-ENODATA when missing); -EOPNOTSUPP where none are stored.
int flash_fs_setxattr(flash* entry, const char* full, const char* name, const void* value, size_t size, int flags);
// A device node, fifo or socket (type bits of `mode`); -EPERM where the file system stores none.
int flash_fs_mknod(flash* entry, const char* full, uint32_t mode, uint32_t rdev);
// A hard link `to` of `from`, both in one partition; -EPERM where the file system keeps none.
int flash_fs_link(flash* entry, const char* from, const char* to);
int flash_fs_set_mtime(flash* entry, const char* full, int64_t mtime);
