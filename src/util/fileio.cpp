#include "util/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

bool write_file_atomic(const std::string& path, const std::function<bool(FILE*)>& fill) {
  std::string tmpl = dir_of(path) + "/.tmp_XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  // Keep the mode a plain create would give (mkstemp makes 0600).
  mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat old;
  mode_t mode = (::stat(path.c_str(), &old) == 0) ? (old.st_mode & 07777) : (0666 & ~mask);
  ::fchmod(fd, mode);
  FILE* f = ::fdopen(fd, "wb+");
  if (!f) {
    int err = errno;
    ::close(fd);
    ::unlink(tmpl.c_str());
    errno = err;
    return false;
  }
  bool ok = fill(f);
  int err = errno;
  if (ok && std::fflush(f) != 0) ok = false, err = errno;
  if (ok && std::ferror(f)) ok = false, err = err ? err : EIO;
  if (ok && ::fsync(::fileno(f)) != 0) ok = false, err = errno;
  if (std::fclose(f) != 0 && ok) ok = false, err = errno;
  if (ok && ::rename(tmpl.c_str(), path.c_str()) != 0) ok = false, err = errno;
  if (!ok) {
    ::unlink(tmpl.c_str());
    errno = err ? err : EIO;
  }
  return ok;
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
