/* romsmith: set-top box flash image library, exported C interface. */
#ifndef ROMSMITH_ROMSMITH_H
#define ROMSMITH_ROMSMITH_H

#include <stddef.h>
#include <stdint.h>

#if defined(ROMSMITH_BUILDING)
#define RS_API __attribute__((visibility("default")))
#else
#define RS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define PARTITION_MAX 84

/* File-system type codes of a partition. */
enum {
  FS_RAW = 0,
  FS_ROMFS = 1,
  FS_CRAMFS = 2,
  FS_JFFS2 = 3,
  FS_YAFFS2 = 4,
  FS_RAMFS = 5,
  FS_SQUASHFS = 6,
  FS_UBIFS = 7,
  FS_HIDE = 126,
  FS_MINIFS = 127
};

/* One partition's description; also the in-memory form of one table entry. */
typedef struct partition_info {
  char name[8];
  uint32_t total_size;
  uint32_t used_size;
  uint32_t reserved_size;
  uint32_t start_addr;
  int8_t file_system_type;
  int8_t mode;
  uint8_t id;
  uint8_t update_tags;
  uint32_t partition_size;
  uint32_t crc_verify;
  uint32_t crc32;
  uint16_t version;
  int8_t crc32_enable;
  int8_t write_protect;
  uint8_t mtd_id;
} partition_info;

typedef struct partition_table {
  uint32_t magic;
  uint8_t count;
  partition_info tables[PARTITION_MAX];
  uint8_t write_protect;
  uint8_t crc32_enable;
  int8_t version;
  uint32_t crc_verify;
} partition_table;

typedef struct partition_data {
  partition_info* info;
  uint8_t* buf;
  void* fs;
  char* file_name;
  int crc32_passed;
} partition_data;

typedef struct flash {
  partition_data list[PARTITION_MAX];
  int count;
  size_t flash_size;
  size_t block_size;
  size_t table_addr;
  int table_enable;
  partition_table flash_table;
  int new_style;
  int table_version;
} flash;

/* Image life cycle. */
RS_API flash* flash_load_bin(const char* filename);
RS_API flash* flash_simple_load_bin(const char* filename);
RS_API flash* flash_load_conf(const char* conf);
RS_API int flash_save(flash* entry, const char* filename, int unchanged_fs);
RS_API int flash_simple_save(flash* entry, const char* filename);
RS_API int flash_free(flash* entry);
RS_API void flash_sort(flash* entry);

/* File and partition operations. */
RS_API int flash_read(flash* entry, const char* full_file, void* buf, int size, int offset);
RS_API int flash_write(flash* entry, const char* full_file, const void* buf, int size);
RS_API int flash_add(flash* entry, const char* full_file, const char* local_file);
RS_API int flash_rm(flash* entry, const char* full_file);
RS_API int flash_update(flash* entry, const char* partition_name, const void* buf, int size);
RS_API int flash_update_f(flash* entry, const char* partition_name, const char* filename);
RS_API partition_data* flash_get_partition(flash* entry, const char* partition_name);

/* Listings and dumps. */
RS_API void flash_printf(flash* entry);
RS_API int flash_dump(flash* entry, const char* path);
RS_API int flash_partition_dump(flash* entry, const char* partition_name, const char* filename);

/* Entries inside a partition's file system. A path is "PART/dir/name": the
 * partition's name (matched ignoring case), then the path inside it. Each call
 * returns 0 (or a count) on success and a negative errno on failure;
 * flash_last_error then holds the message the shell would print. */
typedef struct flash_stat_s {
  uint32_t mode;  /* type and permission bits, as st_mode */
  uint32_t uid, gid;
  uint32_t nlink;
  uint32_t rdev;     /* device number of a device node, as the file system stores it */
  uint32_t reserved; /* 0 */
  uint64_t size;     /* content length; target length for a link */
  int64_t mtime;     /* seconds; 0 where the file system stores no times */
  uint64_t ino;      /* equal for hard links of one inode; 0 where unknown */
  char target[4096]; /* link target, NUL-terminated (cut at 4095 bytes) */
} flash_stat_s;

/* Called for each entry of a walk with its path ("PART/..."); non-zero stops the walk
 * and is returned by flash_walk. */
typedef int (*flash_walk_cb)(const char* path, const flash_stat_s* st, void* user);

RS_API int flash_stat(flash* entry, const char* path, flash_stat_s* out);
/* `path` itself, then what is below it, depth first, children by name; depth 1 lists
 * one level, -1 everything. */
RS_API int flash_walk(flash* entry, const char* path, int depth, flash_walk_cb cb, void* user);
/* Up to n bytes from offset off; the count read (0 at the end). */
RS_API long long flash_pread(flash* entry, const char* path, void* buf, size_t n, uint64_t off);
/* Creates or replaces a regular file. mode -1, uid/gid -1: a replaced file keeps its own,
 * a new one takes the file system's defaults. */
RS_API int flash_put(flash* entry, const char* path, const void* buf, size_t n, int mode, long uid, long gid);
/* Removes a file, link, node or directory with what is below it. */
RS_API int flash_remove(flash* entry, const char* path);
RS_API int flash_mkdir(flash* entry, const char* path, uint32_t mode);
RS_API int flash_chmod(flash* entry, const char* path, uint32_t mode);
RS_API int flash_chown(flash* entry, const char* path, uint32_t uid, uint32_t gid);
RS_API int flash_symlink(flash* entry, const char* target, const char* path);
/* Moves or renames an entry inside one partition, replacing an existing file as rename(2). */
RS_API int flash_rename(flash* entry, const char* from, const char* to);
/* A device node, fifo or socket: the type from mode's type bits (S_IFCHR, S_IFBLK,
   S_IFIFO, S_IFSOCK), the permission bits from the rest; rdev as flash_stat_s gives it
   ((major << 8) | (minor & 0xff) | ((minor & ~0xff) << 12)). -EPERM where the file
   system stores no such nodes. */
RS_API int flash_mknod(flash* entry, const char* path, unsigned mode, unsigned rdev);
/* A second name `to` for the file, link or node `from` (a hard link, same partition);
   -EPERM for a directory or where the file system keeps no hard links. */
RS_API int flash_link(flash* entry, const char* from, const char* to);
/* Bytes the partition would still have free if saved now, in *room; an edited
   file system is built to know (as long as a save takes). *room is negative when
   the build would not fit, by that many bytes. 0, -ENOSPC when the file system
   cannot be built at all, or a library error code for a missing partition or
   file system. */
RS_API int flash_room(flash* entry, const char* partition, long long* room);
/* Extended attributes, as getxattr(2) and friends: the value's length (size 0 asks
   for it) or -ENODATA, -ERANGE; names as a NUL-separated list. Setting takes flags
   1 (create only) and 2 (replace only); -EOPNOTSUPP where the file system stores
   none or not that name (squashfs 4.0: user., trusted. and security. names). */
RS_API long long flash_getxattr(flash* entry, const char* path, const char* name, void* buf, size_t size);
RS_API long long flash_listxattr(flash* entry, const char* path, char* list, size_t size);
RS_API int flash_setxattr(flash* entry, const char* path, const char* name, const void* value, size_t size,
                          int flags);
RS_API int flash_removexattr(flash* entry, const char* path, const char* name);
/* -EOPNOTSUPP where the file system stores no times. */
RS_API int flash_set_mtime(flash* entry, const char* path, int64_t mtime);
/* The message of the last failure on this image ("" if none); flash_last_error(NULL)
 * gives the last failure of a call that had no image (flash_load_bin, flash_load_conf). */
RS_API const char* flash_last_error(flash* entry);

/* Release block. */
RS_API int flash_add_release(flash* entry, int release_flag, const char* str);

/* A reader of a regular file as the image stores it, for reading on other
 * threads while the image goes on being used: safe on any thread until the
 * image is saved or freed; null when the file has none (an edited file, a
 * file system that cannot serve one). flash_stored_pread gives the bytes
 * read or -errno. */
typedef struct flash_stored flash_stored;
RS_API flash_stored* flash_stored_open(flash* entry, const char* path);
RS_API long long flash_stored_pread(flash_stored* reader, void* buf, size_t size, uint64_t offset);
RS_API void flash_stored_close(flash_stored* reader);

/* The command shell: argv[0] is the program name. Returns the exit status. */
/* Data tools: channel databases, defaults, language list and key map. */
RS_API int tools_dbcopy(flash* entry, const char* dir);
RS_API int tools_dbtodef(flash* entry);
RS_API int tools_default_db(flash* entry, const char* filename);
RS_API int tools_datareset(flash* entry);
RS_API int tools_language(flash* entry, const char* language);
RS_API int tools_keymap(flash* entry, const char* filename);
RS_API void berkeley_2_default(const char* path, const char* file);

RS_API int romsmith_main(int argc, char** argv);

#ifdef __cplusplus
}
#endif

#endif
