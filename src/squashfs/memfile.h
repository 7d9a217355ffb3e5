// sqfs_file_t over memory: the image is read from the partition bytes and the
// rebuilt image is assembled in a vector, so no temporary file is needed.
#pragma once
#include <sqfs/error.h>
#include <sqfs/io.h>

#include <cstring>
#include <vector>

namespace rs::sqfs {

struct MemFile {
  sqfs_file_t f{};
  const uint8_t* ro = nullptr;  // read-only view, or null when `rw` is used
  size_t ro_size = 0;
  std::vector<uint8_t> rw;

  MemFile(const uint8_t* data, size_t size) : ro(data), ro_size(size) { init(); }
  MemFile() { init(); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  static MemFile* self(const sqfs_file_t* file) { return reinterpret_cast<MemFile*>(const_cast<sqfs_file_t*>(file)); }
  size_t size() const { return ro ? ro_size : rw.size(); }

 private:
  void init() {
    static_assert(offsetof(MemFile, f) == 0);
    f.base.destroy = [](sqfs_object_t*) {};  // owned by C++ scope
    f.base.copy = nullptr;
    f.read_at = [](sqfs_file_t* file, sqfs_u64 off, void* out, size_t n) -> int {
      MemFile* m = self(file);
      const uint8_t* base = m->ro ? m->ro : m->rw.data();
      size_t sz = m->size();
      if (off > sz || n > sz - off) return SQFS_ERROR_OUT_OF_BOUNDS;
      if (n) std::memcpy(out, base + off, n);
      return 0;
    };
    f.write_at = [](sqfs_file_t* file, sqfs_u64 off, const void* in, size_t n) -> int {
      MemFile* m = self(file);
      if (m->ro) return SQFS_ERROR_IO;
      if (off + n > m->rw.size()) m->rw.resize(off + n);
      if (n) std::memcpy(m->rw.data() + off, in, n);
      return 0;
    };
    f.get_size = [](const sqfs_file_t* file) -> sqfs_u64 { return self(file)->size(); };
    f.truncate = [](sqfs_file_t* file, sqfs_u64 n) -> int {
      MemFile* m = self(file);
      if (m->ro) return SQFS_ERROR_IO;
      m->rw.resize(n);
      return 0;
    };
  }
};

}  // namespace rs::sqfs
