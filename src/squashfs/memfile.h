// sqfs_file_t over memory: the image is read from the partition bytes and the
// rebuilt image is assembled in a malloc'd buffer that is handed to the caller
// as it is, so no temporary file and no second copy of the image are needed.
#pragma once
#include <sqfs/error.h>
#include <sqfs/io.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace rs::sqfs {

struct MemFile {
  sqfs_file_t f{};
  const uint8_t* ro = nullptr;  // read-only view, or null when the buffer is written
  size_t ro_size = 0;
  uint8_t* buf = nullptr;  // written image, malloc'd
  size_t len = 0, cap = 0;

  MemFile(const uint8_t* data, size_t size) : ro(data), ro_size(size) { init(); }
  MemFile() { init(); }
  ~MemFile() { std::free(buf); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  static MemFile* self(const sqfs_file_t* file) { return reinterpret_cast<MemFile*>(const_cast<sqfs_file_t*>(file)); }
  size_t size() const { return ro ? ro_size : len; }
  const uint8_t* data() const { return ro ? ro : buf; }

  // Room for at least `n` bytes; false when out of memory.
  bool reserve(size_t n) {
    if (n <= cap) return true;
    size_t c = std::max(n, cap + cap / 2 + 4096);
    void* p = std::realloc(buf, c);
    if (!p) return false;
    buf = static_cast<uint8_t*>(p);
    cap = c;
    advise_huge();
    return true;
  }
  bool resize(size_t n) {
    if (!reserve(n)) return false;
    if (n > len) std::memset(buf + len, 0, n - len);
    len = n;
    return true;
  }
  bool append(const void* p, size_t n) {
    if (!reserve(len + n)) return false;
    if (n) std::memcpy(buf + len, p, n);
    len += n;
    return true;
  }
  // A large image is written once, front to back: in huge pages it takes a
  // page fault per 2 MiB instead of one per 4 KiB, which is most of the cost
  // of copying stored blocks on a virtual machine.
  void advise_huge() {
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    if (cap < 2 * kHuge) return;
    uintptr_t a = (reinterpret_cast<uintptr_t>(buf) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t b = (reinterpret_cast<uintptr_t>(buf) + cap) & ~(kHuge - 1);
    if (b > a) ::madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE);
  }
  // The written bytes, now the caller's to free.
  uint8_t* release() {
    uint8_t* p = buf;
    buf = nullptr;
    len = cap = 0;
    return p;
  }

 private:
  void init() {
    static_assert(offsetof(MemFile, f) == 0);
    f.base.destroy = [](sqfs_object_t*) {};  // owned by C++ scope
    f.base.copy = nullptr;
    f.read_at = [](sqfs_file_t* file, sqfs_u64 off, void* out, size_t n) -> int {
      MemFile* m = self(file);
      size_t sz = m->size();
      if (off > sz || n > sz - off) return SQFS_ERROR_OUT_OF_BOUNDS;
      if (n) std::memcpy(out, m->data() + off, n);
      return 0;
    };
    f.write_at = [](sqfs_file_t* file, sqfs_u64 off, const void* in, size_t n) -> int {
      MemFile* m = self(file);
      if (m->ro) return SQFS_ERROR_IO;
      if (off + n > m->len && !m->resize(off + n)) return SQFS_ERROR_ALLOC;
      if (n) std::memcpy(m->buf + off, in, n);
      return 0;
    };
    f.get_size = [](const sqfs_file_t* file) -> sqfs_u64 { return self(file)->size(); };
    f.truncate = [](sqfs_file_t* file, sqfs_u64 n) -> int {
      MemFile* m = self(file);
      if (m->ro) return SQFS_ERROR_IO;
      return m->resize(n) ? 0 : SQFS_ERROR_ALLOC;
    };
  }
};

}  // namespace rs::sqfs
