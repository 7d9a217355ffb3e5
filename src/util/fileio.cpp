#include "util/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace rs {

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
  ::fsync(dirfd);
  return true;
}

mode_t default_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool write_file_atomic(const std::string& given, const std::function<bool(FILE*)>& fill) {
  std::string path = follow_links(given);
  struct stat old;
  bool exists = ::stat(path.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) {
    errno = EISDIR;
    return false;
  }
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
  return write_in_dir(dirfd, name, mode, nullptr, fill);
}

bool write_file_atomic(const std::string& path, const void* data, size_t len) {
  return write_file_atomic(path, [&](FILE* f) { return len == 0 || std::fwrite(data, 1, len, f) == len; });
}

bool write_at(FILE* f, uint64_t offset, const void* data, size_t len) {
  if (fseeko(f, off_t(offset), SEEK_SET) != 0) return false;
  return len == 0 || std::fwrite(data, 1, len, f) == len;
}

std::string make_temp_dir(const char* tmpl) {
  std::string name(tmpl);
  if (!::mkdtemp(name.data())) return {};
  return name;
}

}  // namespace rs
