// Read-only whole-file mapping.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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

namespace rs {

// A private, writable mapping of a whole regular file, kept with its open
// descriptor. A write copies only the pages it touches and never reaches the
// file; the descriptor lets a save copy untouched ranges in the kernel and
// tells whether another program changed the file since it was opened.
//
// Reading a page that another program cut off the file would raise SIGBUS:
// such a page reads as zeros instead, and changed() reports it.
class FileView {
 public:
  FileView() = default;
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  // Messages as x_fmmap. An empty file gives false with size() 0.
  bool open(const char* fname);
  uint8_t* data() const { return static_cast<uint8_t*>(addr_); }
  size_t size() const { return size_; }
  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  // Whether [p, p+n) lies inside the mapping.
  bool holds(const void* p, size_t n) const;
  // Whether a write copied any page of [p, p+n); true when that cannot be told.
  bool touched(const void* p, size_t n) const;
  // [p, p+n) cut where pages change between written and not: each run's
  // length and whether a write copied a page of it. Empty when that cannot
  // be told (then every byte counts as written).
  std::vector<std::pair<size_t, bool>> written_runs(const void* p, size_t n) const;
  // Forgets the page-table entries of the whole pages of [p, p+n), which must
  // not have been written: read once, they need not stay resident.
  void drop_pages(const void* p, size_t n) const;
  // Empty while the file is as it was opened; otherwise what differs.
  std::string changed() const;

  // A second private view of the file's bytes [offset, offset+len), followed
  // by `extra` bytes of anonymous memory (zeros): for a partition whose bytes
  // another partition shares, or that may grow past the file's end. Its
  // file-backed bytes count as this view's (holds, file_offset, the written
  // pages); it lives until forget() or the view's end. Null when it cannot be
  // mapped.
  uint8_t* alias(uint64_t offset, size_t len, size_t extra) const;
  // Unmaps the alias that starts at `p`; false when `p` starts none.
  bool forget(const void* p) const;
  // Where the file holds the byte at `p` (which holds() must cover).
  uint64_t file_offset(const void* p) const;
  // How many bytes from `p` on (at most n) lie in one file-backed mapping.
  size_t held(const void* p, size_t n) const;

 private:
  struct Alias {
    uint8_t* at;       // the partition's first byte
    size_t len;        // file-backed bytes from `at`
    uint64_t offset;   // their place in the file
    void* base;        // the whole mapping, page-aligned
    size_t base_len;
    int slot;
  };
  const Alias* alias_of(const void* p) const;

  void* addr_ = nullptr;
  size_t size_ = 0;
  int fd_ = -1;
  int slot_ = -1;
  mutable std::vector<Alias> aliases_;
  std::string name_;
  int64_t mtime_ns_ = 0;
};

// Bytes a reader has read once and will not need soon: the whole pages of
// [p, p+n) that lie in a file view and that no write copied stop counting
// as resident (read again, they come back from the file). Nothing else
// may write them meanwhile. Memory that is no view's is left alone.
void release_read(const void* p, size_t n);

// Copies the n bytes at `p` to `out`. Bytes of a file view that no write
// copied are read from the file instead of through the mapping, which would
// map a whole folio around them: for small reads spread over a large image.
void copy_unmapped(const void* p, void* out, size_t n);

// The same for many reads: which pages a write copied is asked once per
// group of pages. Nothing may write the views it reads while it lives.
class UnmappedReads {
 public:
  // `file_only`: the file's bytes even where a write copied a page, for a
  // pass that runs on while the view is written to.
  explicit UnmappedReads(bool file_only = false) : file_only_(file_only) {}
  void copy(const void* p, void* out, size_t n);
  // `crc` continued over the n bytes at `p` through a read-only window of the
  // file, mapped for this call alone (no copy, nothing left resident in the
  // view): false, `crc` untouched, unless they all lie in the file and no
  // write copied any of their pages.
  bool crc(const void* p, size_t n, uint32_t* crc);

 private:
  static constexpr uintptr_t kGroup = 512;
  void locate(uintptr_t a, uintptr_t e);
  bool written(uintptr_t a, uintptr_t e);
  bool file_only_;
  uintptr_t lo_ = 0, hi_ = 0;
  int fd_ = -1;
  uint64_t offset_ = 0;
  std::unordered_map<uintptr_t, std::vector<bool>> written_;
};

}  // namespace rs
