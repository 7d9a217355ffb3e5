// The operations the image core needs from a file system, chosen by type code.
// Partitions of a type without an entry are raw bytes.
#pragma once
#include <cstddef>
#include <cstdint>

struct fs_ops {
  int type;
  // Load from the partition buffer; `used` bytes of content in a `total`-byte buffer.
  void* (*load)(uint8_t* buf, uint32_t used, uint32_t total);
  // Bytes read, 0 when the file does not exist.
  int (*read)(void* fs, const char* path, void* buf, size_t size, size_t offset);
  // The result flash_write reports.
  int (*write)(void* fs, const char* path, const void* buf, size_t size);
  int (*rm)(void* fs, const char* path);
  int (*dump)(void* fs, const char* dir);
  // Rebuilt image bytes (release with release_image), or null when nothing to rebuild.
  uint8_t* (*rebuild)(void* fs, size_t* size);
  void (*release_image)(uint8_t* image, size_t size);
  // 1 when the file is present.
  int (*exists)(void* fs, const char* path);
  void (*release)(void* fs);
  // The tree listing of the shell's ls.
  void (*ls)(void* fs);
  // Results when the partition has no loaded handle.
  int read_unloaded;
  const char* dump_unloaded_msg;
};

const fs_ops* fs_ops_for(int type);
