// Read-only whole-file mapping.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rs {

// Maps the whole file read-only. Prints "%s: %s\n" (error text, file name) when
// the file cannot be opened and "Failed to mmap %s : %s\n" when it cannot be
// mapped. An empty file gives null with a size of 0.
void* x_fmmap(const char* fname, size_t* size);
int x_munmap(void* addr, size_t length);

// RAII holder for a mapping.
class MappedFile {
 public:
  MappedFile() = default;
  explicit MappedFile(const char* fname) { open(fname); }
  ~MappedFile() { reset(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool open(const char* fname);
  void reset();
  const uint8_t* data() const { return static_cast<const uint8_t*>(addr_); }
  size_t size() const { return size_; }
  explicit operator bool() const { return addr_ != nullptr; }

 private:
  void* addr_ = nullptr;
  size_t size_ = 0;
};

}  // namespace rs
