#include "util/fileio.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace rs {

namespace {
thread_local DirSyncTogether* g_together = nullptr;
}

DirSyncTogether::DirSyncTogether() : outer_(g_together) { g_together = this; }

DirSyncTogether::~DirSyncTogether() {
  g_together = outer_;
  for (int fd : dirs_) {
    ::fsync(fd);
    ::close(fd);
  }
}

// Syncs the directory now, or once at the end of the DirSyncTogether in force.
void sync_dir(int dirfd) {
  DirSyncTogether* t = g_together;
  if (!t) {
    ::fsync(dirfd);
    return;
  }
  struct stat st;
  if (::fstat(dirfd, &st) != 0) {
    ::fsync(dirfd);
    return;
  }
  for (size_t i = 0; i < t->ids_.size(); ++i)
    if (t->ids_[i].first == st.st_dev && t->ids_[i].second == st.st_ino) return;
  int fd = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    ::fsync(dirfd);
    return;
  }
  t->ids_.emplace_back(st.st_dev, st.st_ino);
  t->dirs_.push_back(fd);
}


bool read_file(const std::string& path, std::vector<uint8_t>& out) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) errno = EISDIR;
    ::close(fd);
    return false;
  }
  out.resize(size_t(st.st_size));
  size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  ::close(fd);
  out.resize(got);
  return true;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

namespace {

// `path` with every symbolic link along its last component followed, so that
// a save over a link writes the file it points to and leaves the link.
std::string follow_links(const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    std::vector<char> buf(size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    ssize_t n = ::readlink(at.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) return at;
    std::string target(buf.data(), size_t(n));
    at = (!target.empty() && target[0] == '/') ? target : dir_of(at) + "/" + target;
  }
  return at;
}

std::string random_name() {
  static const char digits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = ".tmp_";
  uint64_t r = uint64_t(::getpid()) * 0x9E3779B97F4A7C15ull ^ uint64_t(std::rand()) << 21 ^ uint64_t(::time(nullptr));
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  r ^= uint64_t(ts.tv_nsec) * 0xBF58476D1CE4E5B9ull;
  for (int i = 0; i < 6; ++i, r /= 62) name += digits[r % 62];
  return name;
}

// Fills a file that has no name yet (O_TMPFILE) in directory `dirfd`, then
// gives it a temporary name and renames it over `name`: a process killed
// before the end leaves nothing behind. Falls back to a named temporary file
// where the file system has no unnamed ones.
bool write_in_dir(int dirfd, const std::string& name, mode_t mode, const struct stat* old,
                  const std::function<bool(FILE*)>& fill) {
  std::string tmp;
  int fd = ::openat(dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  bool unnamed = fd >= 0;
  if (!unnamed) {
    for (int tries = 0; tries < 100 && fd < 0; ++tries) {
      tmp = random_name();
      fd = ::openat(dirfd, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
  }
  ::fchmod(fd, mode);
  if (old && ::geteuid() == 0) (void)::fchown(fd, old->st_uid, old->st_gid);
  FILE* f = ::fdopen(fd, "wb+");
  if (!f) {
    int err = errno;
    ::close(fd);
    if (!unnamed) ::unlinkat(dirfd, tmp.c_str(), 0);
    errno = err;
    return false;
  }
  bool ok = fill(f);
  int err = errno;
  if (ok && std::fflush(f) != 0) ok = false, err = errno;
  if (ok && std::ferror(f)) ok = false, err = err ? err : EIO;
  if (ok && ::fsync(::fileno(f)) != 0) ok = false, err = errno;
  if (ok && unnamed) {
    std::string proc = "/proc/self/fd/" + std::to_string(::fileno(f));
    ok = false;
    for (int tries = 0; tries < 100 && !ok; ++tries) {
      tmp = random_name();
      if (::linkat(AT_FDCWD, proc.c_str(), dirfd, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0)
        ok = true;
      else if (errno != EEXIST)
        break;
    }
    if (!ok) err = errno;
  }
  if (std::fclose(f) != 0 && ok) ok = false, err = errno;
  if (ok && ::renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) != 0) ok = false, err = errno;
  if (!ok) {
    if (!tmp.empty()) ::unlinkat(dirfd, tmp.c_str(), 0);
    errno = err ? err : EIO;
    return false;
  }
  sync_dir(dirfd);
  return true;
}

// While alive, `sig` is ignored when it had its default disposition (one the
// program ignores or catches is left as it set it): a write past the file-size
// limit (SIGXFSZ) fails with EFBIG, one into a fifo whose reader left (SIGPIPE)
// with EPIPE, instead of ending the process.
class IgnoreSignal {
 public:
  explicit IgnoreSignal(int sig) : sig_(sig) {
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    active_ =
        ::sigaction(sig_, nullptr, &old_) == 0 && old_.sa_handler == SIG_DFL && ::sigaction(sig_, &ign, nullptr) == 0;
  }
  ~IgnoreSignal() {
    if (active_) ::sigaction(sig_, &old_, nullptr);
  }

 private:
  int sig_;
  struct sigaction old_ {};
  bool active_ = false;
};

bool is_stream_node(mode_t m) { return S_ISCHR(m) || S_ISBLK(m) || S_ISFIFO(m) || S_ISSOCK(m); }

// Writes into an existing device, fifo or socket: nothing to replace there.
bool write_into_node(const std::string& path, mode_t type, const std::function<bool(FILE*)>& fill) {
  IgnoreSignal reader_gone(SIGPIPE);
  int fd;
  if (S_ISSOCK(type)) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
      int err = errno;
      ::close(fd);
      errno = err;
      return false;
    }
  } else {
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  }
  if (fd < 0) return false;
  return fill_descriptor(fd, fill, [&](int d) { return !S_ISBLK(type) || ::fsync(d) == 0; });
}

mode_t default_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool write_file_atomic(const std::string& given, const std::function<bool(FILE*)>& fill) {
  IgnoreSignal limit_is_an_error(SIGXFSZ);
  std::string path = follow_links(given);
  struct stat old;
  bool exists = ::stat(path.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (exists && is_stream_node(old.st_mode)) return write_into_node(path, old.st_mode & S_IFMT, fill);
  // A file the user may not write is not replaced behind their back.
  if (exists && ::access(path.c_str(), W_OK) != 0) {
    errno = EACCES;
    return false;
  }
  std::string dir = dir_of(path);
  int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return false;
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  bool ok = write_in_dir(dirfd, name, exists ? (old.st_mode & 07777) : default_mode(), exists ? &old : nullptr, fill);
  int err = errno;
  ::close(dirfd);
  errno = err;
  return ok;
}

bool write_file_atomic_at(int dirfd, const std::string& name, unsigned mode, const std::function<bool(FILE*)>& fill) {
  IgnoreSignal limit_is_an_error(SIGXFSZ);
  return write_in_dir(dirfd, name, mode, nullptr, fill);
}

bool write_file_atomic(const std::string& path, const void* data, size_t len) {
  return write_file_atomic(path, [&](FILE* f) { return len == 0 || std::fwrite(data, 1, len, f) == len; });
}

bool write_at(FILE* f, uint64_t offset, const void* data, size_t len) {
  if (fseeko(f, off_t(offset), SEEK_SET) != 0) return false;
  return len == 0 || std::fwrite(data, 1, len, f) == len;
}

bool fill_descriptor(int fd, const std::function<bool(FILE*)>& fill, const std::function<bool(int)>& finish) {
  FILE* f = ::fdopen(fd, "wb");
  if (!f) {
    int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  errno = 0;
  bool ok = fill(f);
  int err = errno;
  if (ok && std::fflush(f) != 0) ok = false, err = errno;
  if (ok && std::ferror(f)) ok = false, err = err ? err : EIO;
  if (ok && finish && !finish(::fileno(f))) ok = false, err = errno;
  if (std::fclose(f) != 0 && ok) ok = false, err = errno;
  errno = err ? err : EIO;
  return ok;
}

bool all_zero(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  if (n == 0) return true;
  // Word-aligned scan of the bulk, bytes at both ends.
  size_t i = 0;
  for (; i < n && (reinterpret_cast<uintptr_t>(b + i) & 7); ++i)
    if (b[i]) return false;
  for (; i + 64 <= n; i += 64) {
    uint64_t acc = 0;
    for (int k = 0; k < 8; ++k) {
      uint64_t w;
      std::memcpy(&w, b + i + 8 * k, 8);
      acc |= w;
    }
    if (acc) return false;
  }
  for (; i < n; ++i)
    if (b[i]) return false;
  return true;
}

SparseOut::SparseOut(FILE* f) : f_(f) {
  struct stat st;
  int flags = ::fcntl(::fileno(f), F_GETFL);
  seekable_ =
      ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 && !(flags & O_APPEND) && ::ftello(f) == 0;
}

bool SparseOut::data(const void* p, size_t n) {
  if (n == 0) return true;
  if (hole_) {
    if (fseeko(f_, off_t(hole_), SEEK_CUR) != 0) return false;
    hole_ = 0;
  }
  at_ += n;
  return std::fwrite(p, 1, n, f_) == n;
}

bool SparseOut::zeros(uint64_t n) {
  static const uint8_t kZero[1 << 20] = {};
  if (seekable_) {
    hole_ += n;
    at_ += n;
    return true;
  }
  while (n) {
    size_t k = size_t(std::min<uint64_t>(n, sizeof kZero));
    if (!data(kZero, k)) return false;
    n -= k;
  }
  return true;
}

bool SparseOut::put(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  for (size_t at = 0; at < n;) {
    size_t k = std::min<size_t>(n - at, 65536);
    if (!(all_zero(b + at, k) ? zeros(k) : data(b + at, k))) return false;
    at += k;
  }
  return true;
}

bool SparseOut::finish() {
  if (!hole_) return true;
  // A trailing hole: the length comes from truncating, not from a write.
  if (std::fflush(f_) != 0) return false;
  if (::ftruncate(::fileno(f_), off_t(at_)) != 0) return false;
  hole_ = 0;
  return fseeko(f_, off_t(at_), SEEK_SET) == 0;
}

RangeOut::RangeOut(FILE* f) : f_(f), fd_(::fileno(f)) {
  std::fflush(f);
  struct stat st;
  int flags = ::fcntl(fd_, F_GETFL);
  seekable_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 && !(flags & O_APPEND) && ::ftello(f) == 0;
  const char* no = std::getenv("ROMSMITH_NO_COPY_RANGE");
  copy_range_ = seekable_ && !(no && *no && std::strcmp(no, "0") != 0);
}

namespace {
constexpr uint64_t kCopyBlock = 64u << 10;
// Kernel copies go in steps of this, each handed to the device as it lands.
constexpr uint64_t kWritebackStep = 1u << 20;
}

// Starts writing back what lies before `upto` and after what was started
// already, once that is a step's worth: bytes a later copy may reach back
// over stay out.
void RangeOut::start_writeback(uint64_t upto) {
  if (!seekable_) return;
  upto -= upto % kCopyBlock;
  if (upto < written_back_ + kWritebackStep) return;
  // Only a hint: a file system that cannot is written back by the fsync.
  (void)::sync_file_range(fd_, off_t(written_back_), off_t(upto - written_back_), SYNC_FILE_RANGE_WRITE);
  written_back_ = upto;
}

bool RangeOut::data(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  if (copy_range_ && n) {
    // Kept at one to two blocks' worth, so that many small writes stay cheap.
    if (n >= kCopyBlock) recent_.clear();
    const size_t keep = std::min<size_t>(n, kCopyBlock);
    recent_.insert(recent_.end(), b + n - keep, b + n);
    if (recent_.size() > 2 * kCopyBlock) recent_.erase(recent_.begin(), recent_.end() - kCopyBlock);
  }
  while (n) {
    ssize_t k = seekable_ ? ::pwrite(fd_, b, std::min<size_t>(n, kWritebackStep), off_t(at_))
                          : ::write(fd_, b, std::min<size_t>(n, 1u << 30));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      if (k == 0) errno = EIO;
      return false;
    }
    b += k, n -= size_t(k), at_ += uint64_t(k);
    if (at_ > kCopyBlock) start_writeback(at_ - kCopyBlock);
  }
  return true;
}

bool RangeOut::zeros(uint64_t n) {
  static const uint8_t kZero[1 << 16] = {};
  if (seekable_) {
    // A hole cannot be put back: no copy reaches back over it.
    at_ += n;
    recent_.clear();
    data_from_ = at_;
    last_fd_ = -1;
    return true;
  }
  while (n) {
    size_t k = size_t(std::min<uint64_t>(n, sizeof kZero));
    if (!data(kZero, k)) return false;
    n -= k;
  }
  return true;
}

bool RangeOut::copy_by_hand(int in_fd, uint64_t in_off, uint64_t n) {
  std::vector<uint8_t> buf(size_t(std::min<uint64_t>(n, 1u << 20)));
  while (n) {
    ssize_t k = ::pread(in_fd, buf.data(), size_t(std::min<uint64_t>(n, buf.size())), off_t(in_off));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return false;
    if (k == 0) {
      errno = ENODATA;
      return false;
    }
    if (!data(buf.data(), size_t(k))) return false;
    in_off += uint64_t(k), n -= uint64_t(k);
  }
  return true;
}

// How far before `at_` a copy from `in_off` may start: back to the start of
// its 64 KiB block, when the input is at the same place in its block and
// every byte in between can be put back.
uint64_t RangeOut::reach_back(int in_fd, uint64_t in_off) const {
  const uint64_t head = at_ % kCopyBlock;
  if (!head || in_off < head || in_off % kCopyBlock != head) return 0;
  const uint64_t start = at_ - head;
  if (start >= data_from_) return head;
  // Over the previous copy too (which ended where the writes since began),
  // when it brought these same bytes.
  const bool same_copy = last_fd_ == in_fd && last_from_ <= start &&
                         in_off - at_ == last_in_ - last_from_;
  return same_copy ? head : 0;
}

bool RangeOut::copy(int in_fd, uint64_t in_off, uint64_t n) {
  const uint64_t back = copy_range_ && n ? reach_back(in_fd, in_off) : 0;
  const uint64_t out_at = at_, end = at_ + n;
  uint64_t to_at = at_ - back, from_at = in_off - back;
  bool ok = true;
  while (to_at < end && copy_range_) {
    loff_t from = loff_t(from_at), to = loff_t(to_at);
    ssize_t k = ::copy_file_range(in_fd, &from, fd_, &to, size_t(std::min<uint64_t>(end - to_at, kWritebackStep)), 0);
    if (k > 0) {
      from_at += uint64_t(k), to_at += uint64_t(k), in_kernel_ += uint64_t(k);
      // Short of the last block, which the next copy may reach back over.
      if (to_at > kCopyBlock) start_writeback(to_at - kCopyBlock);
      continue;
    }
    if (k == 0) {
      errno = ENODATA;
      ok = false;
      break;
    }
    if (errno == EINTR) continue;
    // Files the kernel cannot copy between: by hand from here on.
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL && errno != EBADF &&
        errno != ETXTBSY && errno != EPERM) {
      ok = false;
      break;
    }
    copy_range_ = false;
  }
  // What the copy reached back over, written again from memory.
  if (back) {
    const uint64_t lo = std::max(out_at - back, data_from_);
    const uint8_t* bytes = recent_.data() + (recent_.size() - (out_at - lo));
    for (uint64_t at = lo; at < out_at;) {
      ssize_t k = ::pwrite(fd_, bytes + (at - lo), size_t(out_at - at), off_t(at));
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return false;
      at += uint64_t(k);
    }
  }
  if (!ok) return false;
  if (to_at < out_at) to_at = out_at, from_at = in_off;
  at_ = to_at;
  recent_.clear();
  data_from_ = at_;
  // From `out_at` on: what it reached back over holds the bytes put back.
  if (copy_range_) last_fd_ = in_fd, last_from_ = out_at, last_in_ = in_off;
  return copy_by_hand(in_fd, from_at, end - to_at);
}

bool RangeOut::finish() {
  if (!seekable_) return true;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return false;
  // A trailing hole: the length comes from truncating, not from a write.
  if (uint64_t(st.st_size) != at_ && ::ftruncate(fd_, off_t(at_)) != 0) return false;
  return fseeko(f_, off_t(at_), SEEK_SET) == 0;
}

DirLock::DirLock(const std::string& path) {
  fd_ = ::open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ >= 0) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

DirLock::~DirLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::string make_temp_dir(const char* tmpl) {
  std::string name(tmpl);
  if (!::mkdtemp(name.data())) return {};
  return name;
}

}  // namespace rs
