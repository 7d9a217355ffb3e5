#include "util/treewriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/fileio.h"
#include "util/strutil.h"

namespace rs {

bool safe_component(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool make_dirs(const std::string& dir) {
  if (dir.empty()) {
    errno = ENOENT;
    return false;
  }
  std::string at;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = dir.find('/', pos + 1);
    at = dir.substr(0, next);
    pos = next;
    if (at.empty() || at == "/") continue;
    if (::mkdir(at.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (!is_directory(dir)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

TreeWriter::TreeWriter(const std::string& root) { root_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

TreeWriter::~TreeWriter() {
  if (root_ >= 0) ::close(root_);
}

int TreeWriter::parent(const std::string& rel, std::string& last) {
  std::vector<std::string> parts;
  for (const std::string& p : strsplit(rel, "/"))
    if (!p.empty()) parts.push_back(p);
  if (parts.empty()) {
    errno = EINVAL;
    return -1;
  }
  for (const std::string& p : parts)
    if (!safe_component(p)) {
      errno = EINVAL;
      return -1;
    }
  int fd = ::dup(root_);
  for (size_t i = 0; i + 1 < parts.size() && fd >= 0; ++i) {
    int next = ::openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = errno;
    ::close(fd);
    errno = err;
    fd = next;
  }
  last = parts.back();
  return fd;
}

namespace {

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Removes a non-directory in the way of a new link or node; a directory stays and refuses.
bool make_room(int dirfd, const std::string& name) {
  struct stat st;
  if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return ::unlinkat(dirfd, name.c_str(), 0) == 0;
}

}  // namespace

bool TreeWriter::directory(const std::string& rel) {
  std::string last;
  Fd dir{parent(rel, last)};
  if (dir.fd < 0) return false;
  if (::mkdirat(dir.fd, last.c_str(), 0755) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st;
  if (::fstatat(dir.fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISDIR(st.st_mode)) return true;
  errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
  return false;
}

bool TreeWriter::file(const std::string& rel, unsigned mode, const std::function<bool(FILE*)>& fill) {
  std::string last;
  Fd dir{parent(rel, last)};
  if (dir.fd < 0) return false;
  struct stat st;
  if (::fstatat(dir.fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return write_file_atomic_at(dir.fd, last, mode & 07777, fill);
}

bool TreeWriter::symlink(const std::string& rel, const std::string& target) {
  std::string last;
  Fd dir{parent(rel, last)};
  if (dir.fd < 0) return false;
  if (!make_room(dir.fd, last)) return false;
  return ::symlinkat(target.c_str(), dir.fd, last.c_str()) == 0;
}

bool TreeWriter::special(const std::string& rel, unsigned mode, uint32_t rdev) {
  std::string last;
  Fd dir{parent(rel, last)};
  if (dir.fd < 0) return false;
  if (!make_room(dir.fd, last)) return false;
  dev_t dev = makedev((rdev >> 8) & 0xFFF, (rdev & 0xFF) | ((rdev >> 12) & 0xFFF00));
  return ::mknodat(dir.fd, last.c_str(), mode_t(mode), dev) == 0;
}

bool TreeWriter::owner(const std::string& rel, uint32_t uid, uint32_t gid) {
  if (::geteuid() != 0) return true;
  std::string last;
  Fd dir{parent(rel, last)};
  if (dir.fd < 0) return false;
  return ::fchownat(dir.fd, last.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0;
}

bool TreeWriter::mode(const std::string& rel, unsigned m) {
  std::string last;
  Fd dir{parent(rel, last)};
  if (dir.fd < 0) return false;
  // fchmodat cannot refuse links on Linux: look first, links keep their mode.
  struct stat st;
  if (::fstatat(dir.fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) return true;
  return ::fchmodat(dir.fd, last.c_str(), m & 07777, 0) == 0;
}

}  // namespace rs
