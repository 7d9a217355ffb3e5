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
  close_from(0);
  if (root_ >= 0) ::close(root_);
}

void TreeWriter::close_from(size_t depth) {
  while (open_.size() > depth) {
    if (open_.back().second >= 0) ::close(open_.back().second);
    open_.pop_back();
  }
}

int TreeWriter::parent(const std::string& rel, std::string& last) {
  std::vector<std::string> parts;
  for (const std::string& p : strsplit(rel, "/"))
    if (!p.empty()) parts.push_back(p);
  if (parts.empty() || root_ < 0) {
    errno = EINVAL;
    return -1;
  }
  for (const std::string& p : parts)
    if (!safe_component(p)) {
      errno = EINVAL;
      return -1;
    }
  size_t keep = 0;
  while (keep < open_.size() && keep + 1 < parts.size() && open_[keep].first == parts[keep]) ++keep;
  close_from(keep);
  for (size_t i = keep; i + 1 < parts.size(); ++i) open_.emplace_back(parts[i], -1);
  last = parts.back();
  return parts.size() == 1 ? root_ : fd_at(parts.size() - 2);
}

int TreeWriter::fd_at(size_t i) {
  if (open_[i].second >= 0) return open_[i].second;
  // From the nearest open directory above, keeping the ones between.
  size_t j = i;
  while (j > 0 && open_[j - 1].second < 0) --j;
  int at = j == 0 ? root_ : open_[j - 1].second;
  for (size_t k = j; k <= i; ++k) {
    int next = ::openat(at, open_[k].first.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return -1;
    open_[k].second = at = next;
  }
  // A deep tree must not run out of descriptors: only the deepest few stay.
  size_t held = 0;
  for (size_t k = open_.size(); k-- > 0;)
    if (open_[k].second >= 0 && ++held > kMaxOpen) {
      ::close(open_[k].second);
      open_[k].second = -1;
    }
  return at;
}

namespace {

// A descriptor borrowed from the writer's open chain.
struct Fd {
  int fd;
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

bool TreeWriter::fresh_file(const std::string& rel, unsigned mode, long uid, long gid,
                            const std::function<bool(FILE*)>& fill) {
  std::string last;
  Fd dir{parent(rel, last)};
  if (dir.fd < 0) return false;
  int fd = -1;
  for (int tries = 0; tries < 2 && fd < 0; ++tries) {
    fd = ::openat(dir.fd, last.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) continue;
    // A file of an earlier dump is replaced only once the new one is whole.
    struct stat st;
    if (::fstatat(dir.fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      if (!file(rel, mode, fill)) return false;
      if (uid >= 0 && !owner(rel, uint32_t(uid), uint32_t(gid))) return false;
      return this->mode(rel, mode);
    }
    if (!make_room(dir.fd, last)) return false;
  }
  if (fd < 0) return false;
  // chown clears set-id bits: the mode goes on after it.
  bool ok = fill_descriptor(fd, fill, [&](int d) {
    return (uid < 0 || ::geteuid() != 0 || ::fchown(d, uid_t(uid), gid_t(gid)) == 0) && ::fchmod(d, mode & 07777) == 0;
  });
  int err = errno;
  // Half a file must not pass for the whole one.
  if (!ok) ::unlinkat(dir.fd, last.c_str(), 0);
  errno = err;
  return ok;
}

bool TreeWriter::hard_link(const std::string& existing, const std::string& rel) {
  std::string from_last, last;
  size_t a = existing.rfind('/'), b = rel.rfind('/');
  bool same_dir = (a == std::string::npos && b == std::string::npos) ||
                  (a != std::string::npos && b != std::string::npos && existing.compare(0, a, rel, 0, b) == 0 && a == b);
  // Two directories may be needed at once: the first one is kept by a copy.
  int from = -1;
  if (!same_dir) {
    int d = parent(existing, from_last);
    from = d < 0 ? -1 : ::dup(d);
    if (from < 0) return false;
  } else {
    from_last = a == std::string::npos ? existing : existing.substr(a + 1);
  }
  Fd dir{parent(rel, last)};
  bool ok = dir.fd >= 0;
  int at = same_dir ? dir.fd : from;
  if (ok && !safe_component(from_last)) ok = false, errno = EINVAL;
  if (ok && ::linkat(at, from_last.c_str(), dir.fd, last.c_str(), 0) != 0)
    ok = errno == EEXIST && make_room(dir.fd, last) && ::linkat(at, from_last.c_str(), dir.fd, last.c_str(), 0) == 0;
  int err = errno;
  if (from >= 0) ::close(from);
  errno = err;
  return ok;
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
