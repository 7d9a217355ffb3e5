// Whole-file reading, atomic replacement of files and temporary names.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace rs {

// Reads a whole regular file. False (errno set) when it cannot be read.
bool read_file(const std::string& path, std::vector<uint8_t>& out);

bool path_exists(const std::string& path);
bool is_directory(const std::string& path);

// Writes `path` through `fill`, which gets a stream on a new file in the
// target's directory that has no name until it is complete. The target is
// replaced only after `fill` returned true and the data reached the disk; on
// any failure (or a kill) the previous file is untouched and nothing is left
// behind, errno tells why and false is returned. A symbolic link is written
// through (the link stays), an existing file keeps its mode and is refused
// with EACCES when the user may not write it.
//
// A character or block device, a fifo or a socket at `path` is written into
// as it is (a stream: `fill` must then write in order), never replaced; a
// directory is refused with EISDIR. A file-size limit (SIGXFSZ) fails the
// write with EFBIG instead of ending the process.
bool write_file_atomic(const std::string& path, const std::function<bool(FILE*)>& fill);
bool write_file_atomic(const std::string& path, const void* data, size_t len);

// While one lives (on this thread), the atomic writes above sync each
// directory they renamed into once, when it ends, instead of once per file:
// for files written together, such as an image and its table file.
class DirSyncTogether {
 public:
  DirSyncTogether();
  ~DirSyncTogether();
  DirSyncTogether(const DirSyncTogether&) = delete;
  DirSyncTogether& operator=(const DirSyncTogether&) = delete;

 private:
  friend void sync_dir(int dirfd);
  DirSyncTogether* outer_;
  std::vector<std::pair<uint64_t, uint64_t>> ids_;  // device, inode
  std::vector<int> dirs_;
};
void sync_dir(int dirfd);
// The same for the entry `name` of the open directory `dirfd`, never
// following a symbolic link there (a link in its place is replaced), with
// permission bits `mode`. For trees written from images.
bool write_file_atomic_at(int dirfd, const std::string& name, unsigned mode, const std::function<bool(FILE*)>& fill);

// Writes `len` bytes at `offset`, checking every call. False on a short write.
bool write_at(FILE* f, uint64_t offset, const void* data, size_t len);

// Output in order, where runs of zeros may be holes: a regular file seeks over
// them (and is cut to its length at the end), any other stream gets zeros.
class SparseOut {
 public:
  explicit SparseOut(FILE* f);
  bool data(const void* p, size_t n);
  bool zeros(uint64_t n);
  // `data` or `zeros` by content, in pieces of 64 KiB.
  bool put(const void* p, size_t n);
  bool finish();
  uint64_t written() const { return at_; }

 private:
  FILE* f_;
  bool seekable_;
  uint64_t at_ = 0, hole_ = 0;
};

// Output in order, where bytes may also come from a range of another open
// file: on a regular file at its start they are written at their offsets,
// copied in the kernel with copy_file_range (which may share the blocks where
// the file system can), and what no call covers is a hole; on anything else,
// or where the kernel cannot copy between the two files (or
// ROMSMITH_NO_COPY_RANGE=1 asks for it), a read/write loop does the copy.
class RangeOut {
 public:
  explicit RangeOut(FILE* f);
  bool data(const void* p, size_t n);
  bool zeros(uint64_t n);
  // `n` bytes of `in_fd` at `in_off`; fails with ENODATA when the file ends first.
  bool copy(int in_fd, uint64_t in_off, uint64_t n);
  bool finish();
  uint64_t written() const { return at_; }
  // How many bytes went through copy_file_range (for tests).
  uint64_t copied_in_kernel() const { return in_kernel_; }

 private:
  bool copy_by_hand(int in_fd, uint64_t in_off, uint64_t n);
  uint64_t reach_back(int in_fd, uint64_t in_off) const;
  void start_writeback(uint64_t upto);
  FILE* f_;
  int fd_;
  bool seekable_;
  bool copy_range_;
  uint64_t at_ = 0, in_kernel_ = 0;
  // A kernel copy that starts inside a 64 KiB block runs half again as long
  // as one from the block's start (the page cache keeps files in large
  // folios), so a copy reaches back to the block's start over bytes it can
  // put back after: the last bytes written from memory (`recent_`, which
  // ends at `at_`, of the run written since `data_from_`), or the previous
  // copy's, from the same file at the same distance. A hole ends both.
  std::vector<uint8_t> recent_;
  uint64_t data_from_ = 0;
  int last_fd_ = -1;
  uint64_t last_from_ = 0, last_in_ = 0;  // where it started in the output, and in the input
  // The device starts on what is final while the rest is still being
  // copied and worked out, so that the closing fsync waits for less.
  uint64_t written_back_ = 0;
};

// Fills the open descriptor `fd` through a stream, then runs `finish` on it
// (null: nothing), and closes it. False with errno at the first failure.
bool fill_descriptor(int fd, const std::function<bool(FILE*)>& fill, const std::function<bool(int)>& finish);

// True when all `n` bytes are zero.
bool all_zero(const void* p, size_t n);

// An exclusive advisory lock on the directory holding `path`, held for the
// object's life: saves into one directory (an image and its table file) do
// not interleave.
class DirLock {
 public:
  explicit DirLock(const std::string& path);
  ~DirLock();
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

 private:
  int fd_ = -1;
};

// A new unique directory from the template "tmp_XXXXXX" in the current
// directory; empty on failure.
std::string make_temp_dir(const char* tmpl = "tmp_XXXXXX");

// Directory part of a path ("." when it has none).
std::string dir_of(const std::string& path);

}  // namespace rs
