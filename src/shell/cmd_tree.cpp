// Whole trees between partitions and the host: get -r writes a subtree into
// a host directory the way dump does, put -r stores a host tree, export and
// import carry a subtree as a tar archive. Everything goes through the
// file-system operations, so each file system keeps what it can store; what
// it cannot is named on standard error and fails the command at the end.
#include "shell/cmd_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/fs_api.h"
#include "core/fs_dump.h"
#include "core/image_state.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "shell/tarball.h"
#include "util/fileio.h"
#include "util/report.h"

namespace {

bool parse_owner(const char* s, uint32_t* uid, uint32_t* gid) {
  const char* colon = s ? std::strchr(s, ':') : nullptr;
  if (!colon || colon == s || !colon[1]) return false;
  uint64_t v[2] = {0, 0};
  const char* parts[2] = {s, colon + 1};
  const char* ends[2] = {colon, colon + std::strlen(colon)};
  for (int k = 0; k < 2; ++k) {
    for (const char* p = parts[k]; p < ends[k]; ++p) {
      if (*p < '0' || *p > '9') return false;
      v[k] = v[k] * 10 + uint64_t(*p - '0');
      if (v[k] > 0xFFFFFFFEu) return false;
    }
  }
  *uid = uint32_t(v[0]);
  *gid = uint32_t(v[1]);
  return true;
}

// "PART/dir" and a path relative to it ("" for the directory itself).
std::string below(const std::string& top, const std::string& rel) { return rel.empty() ? top : top + "/" + rel; }

std::string parent_of(const std::string& rel) {
  size_t slash = rel.rfind('/');
  return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

const char* kind_of(uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return "directory";
    case S_IFLNK:
      return "symbolic link";
    case S_IFCHR:
      return "character device";
    case S_IFBLK:
      return "block device";
    case S_IFIFO:
      return "fifo";
    case S_IFSOCK:
      return "socket";
    default:
      return "file";
  }
}

uint32_t encode_rdev(dev_t dev) {
  unsigned major = gnu_dev_major(dev), minor = gnu_dev_minor(dev);
  return uint32_t(major << 8) | (minor & 0xff) | ((minor & ~0xffu) << 12);
}

// ---- storing entries below a flash directory --------------------------------

// What put -r and import share: entries stored below `top`, parents made as
// needed, existing directories merged and anything else in the way replaced.
// Each entry that could not be stored as it came is named on standard error;
// finish() then fails the command, so nothing is lost without a word.
class Installer {
 public:
  Installer(flash* entry, std::string top, const char* who) : e_(entry), top_(std::move(top)), who_(who) {}

  // Owners from the source (`on`), or `uid:gid` for every entry when `forced`.
  void owners(bool on, bool forced = false, uint32_t uid = 0, uint32_t gid = 0) {
    own_ = on || forced;
    forced_ = forced;
    uid_ = uid;
    gid_ = gid;
  }

  // The top directory: made (with its parents) when missing. False with the reason recorded.
  bool begin() {
    fs_attr a;
    int rc = flash_fs_stat(e_, top_.c_str(), &a);
    if (rc == -ENOENT) rc = flash_fs_mkdir(e_, top_.c_str(), 0755, true);
    if (rc < 0) return cmd_fail_code(top_, rc), false;
    if (rc == 0 && flash_fs_stat(e_, top_.c_str(), &a) == 0 && !S_ISDIR(a.mode)) {
      cmd_fail_code(top_, -ENOTDIR);
      return false;
    }
    dirs_.insert("");
    return true;
  }

  void directory(const std::string& rel, const fs_attr& a, const fs_xattrs& x) {
    std::string full = below(top_, rel);
    if (!rel.empty() && !dirs_.count(rel)) {
      fs_attr cur;
      int rc = flash_fs_stat(e_, full.c_str(), &cur);
      if (rc == 0 && !S_ISDIR(cur.mode) && (rc = flash_fs_remove(e_, full.c_str())) < 0) return problem(full, rc);
      if (rc != 0 || !S_ISDIR(cur.mode)) {
        if (!parents(rel)) return;
        if ((rc = flash_fs_mkdir(e_, full.c_str(), a.mode & 07777, false)) < 0) return problem(full, rc);
      }
      dirs_.insert(rel);
    }
    finish_entry(full, a, x, true);
  }

  // A new file's mode, and its owner where owners are kept (or forced).
  fs_put_attr put_attr(const fs_attr& a) const {
    fs_put_attr pa;
    pa.has_mode = true;
    pa.mode = a.mode & 07777;
    pa.has_owner = own_;
    pa.uid = forced_ ? uid_ : a.uid;
    pa.gid = forced_ ? gid_ : a.gid;
    return pa;
  }

  void file(const std::string& rel, const fs_attr& a, const std::vector<uint8_t>& data, const fs_xattrs& x) {
    std::string full = below(top_, rel);
    if (!make_room(rel, full, S_IFREG)) return;
    fs_put_attr pa = put_attr(a);
    int rc = flash_fs_put(e_, full.c_str(), data.data(), data.size(), &pa);
    if (rc < 0) return problem(full, rc);
    finish_entry(full, a, x, false);
  }

  // A regular file whose content the file system reads from `host` when it
  // builds the image; false (nothing done) where it cannot, and the caller
  // stores the content itself.
  bool file_host(const std::string& rel, const fs_attr& a, const std::string& host, const fs_xattrs& x) {
    std::string full = below(top_, rel);
    fs_put_attr pa = put_attr(a);
    if (!make_room(rel, full, S_IFREG)) return true;
    int rc = flash_fs_put_host(e_, full.c_str(), host.c_str(), a.size, &pa);
    if (rc == -ENOSYS) return false;
    if (rc < 0) return problem(full, rc), true;
    finish_entry(full, a, x, false);
    return true;
  }

  void symlink(const std::string& rel, const fs_attr& a, const fs_xattrs& x) {
    std::string full = below(top_, rel);
    if (!make_room(rel, full, S_IFLNK)) return;
    int rc = flash_fs_symlink(e_, a.target.c_str(), full.c_str());
    if (rc < 0) return problem(full, rc);
    finish_entry(full, a, x, false);
  }

  void special(const std::string& rel, const fs_attr& a, const fs_xattrs& x) {
    std::string full = below(top_, rel);
    if (!make_room(rel, full, a.mode & S_IFMT)) return;
    int rc = flash_fs_mknod(e_, full.c_str(), a.mode, a.rdev);
    if (rc == -EPERM)
      return problem(full, std::string("a ") + kind_of(a.mode) + ", skipped: the file system stores none");
    if (rc == -EOVERFLOW) return problem(full, "device number too big for the file system, skipped");
    if (rc < 0) return problem(full, rc);
    finish_entry(full, a, x, false);
  }

  // `rel` as a second name of the file stored before at `first`; a copy
  // where the file system keeps no hard links (said, but not a failure: no
  // content or attribute is lost).
  void hard_link(const std::string& first, const std::string& rel) {
    std::string from = below(top_, first), full = below(top_, rel);
    if (!make_room(rel, full, 0)) return;
    int rc = flash_fs_link(e_, from.c_str(), full.c_str());
    if (rc != -EPERM) {
      if (rc < 0) problem(full, rc);
      return;
    }
    fs_attr a;
    std::vector<uint8_t> data;
    fs_xattrs x;
    if ((rc = flash_fs_stat(e_, from.c_str(), &a)) < 0 || (rc = flash_fs_get(e_, from.c_str(), &data)) < 0 ||
        (rc = flash_fs_xattrs(e_, from.c_str(), &x)) < 0)
      return problem(full, rc);
    rs::warn("romsmith: %s: %s: stored as a copy of %s (the file system keeps no hard links)\n", who_, full.c_str(),
             from.c_str());
    fs_put_attr pa;
    pa.has_mode = pa.has_owner = true;
    pa.mode = a.mode & 07777;
    pa.uid = a.uid;
    pa.gid = a.gid;
    if ((rc = flash_fs_put(e_, full.c_str(), data.data(), data.size(), &pa)) < 0) return problem(full, rc);
    set_xattrs(full, x);
    set_time(full, a.mtime);
  }

  // An entry refused before anything was stored.
  void refuse(const std::string& what, const std::string& why) { problem(what, why); }

  // Directory times last (storing below a directory may touch its time);
  // 0, or CMD_FAILED with the count of what was not stored.
  int finish() {
    for (auto it = dir_times_.rbegin(); it != dir_times_.rend(); ++it) set_time(it->first, it->second);
    if (problems_ == 0) return 0;
    return cmd_fail("%d %s not stored as %s came (named above)", problems_, problems_ == 1 ? "entry" : "entries",
                    problems_ == 1 ? "it" : "they");
  }

 private:
  void problem(const std::string& full, int rc) { problem(full, fs_error_text(rc)); }
  void problem(const std::string& full, const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "romsmith: %s: %s: %s\n", who_, full.c_str(), why.c_str());
    ++problems_;
  }

  // The directories above `rel`, made with mode 0755 when the source did not list them first.
  bool parents(const std::string& rel) {
    std::string up = parent_of(rel);
    if (dirs_.count(up)) return true;
    int rc = flash_fs_mkdir(e_, below(top_, up).c_str(), 0755, true);
    if (rc < 0) {
      problem(below(top_, rel), rc);
      return false;
    }
    for (std::string d = up; !d.empty() && dirs_.insert(d).second; d = parent_of(d)) {
    }
    return true;
  }

  // Clears `full` for a new non-directory of `type` (0: a hard link): what
  // stands there is removed (a regular file for a regular file is left to
  // put, which keeps it on failure); a directory in the way is kept and the
  // entry refused.
  bool make_room(const std::string& rel, const std::string& full, uint32_t type) {
    if (!parents(rel)) return false;
    fs_attr cur;
    int rc = flash_fs_stat(e_, full.c_str(), &cur);
    if (rc == -ENOENT) return true;
    if (rc < 0) return problem(full, rc), false;
    if (S_ISDIR(cur.mode)) {
      problem(full, std::string("a directory stands where the ") + kind_of(type) + " goes, kept");
      return false;
    }
    if (S_ISREG(cur.mode) && type == S_IFREG) return true;
    if ((rc = flash_fs_remove(e_, full.c_str())) < 0) return problem(full, rc), false;
    return true;
  }

  void finish_entry(const std::string& full, const fs_attr& a, const fs_xattrs& x, bool dir) {
    bool link = S_ISLNK(a.mode);
    int rc;
    if (own_ && (rc = flash_fs_chown(e_, full.c_str(), forced_ ? uid_ : a.uid, forced_ ? gid_ : a.gid)) < 0)
      problem(full, rc);
    // After the owner: a chown may clear set-id bits.
    if (!link && (rc = flash_fs_chmod(e_, full.c_str(), a.mode & 07777)) < 0) problem(full, rc);
    set_xattrs(full, x);
    if (dir)
      dir_times_.emplace_back(full, a.mtime);
    else
      set_time(full, a.mtime);
  }

  void set_xattrs(const std::string& full, const fs_xattrs& x) {
    for (const auto& [name, value] : x) {
      int rc = flash_fs_setxattr(e_, full.c_str(), name.c_str(), value.data(), value.size(), 0);
      if (rc == -EOPNOTSUPP)
        problem(full, "extended attribute " + name + " not stored: the file system keeps none of its kind");
      else if (rc < 0)
        problem(full, "extended attribute " + name + ": " + fs_error_text(rc));
    }
  }

  // Times are kept where the file system stores them.
  void set_time(const std::string& full, uint32_t mtime) {
    int rc = flash_fs_set_mtime(e_, full.c_str(), mtime);
    if (rc < 0 && rc != -EOPNOTSUPP) problem(full, rc);
  }

  flash* e_;
  std::string top_;
  const char* who_;
  bool own_ = false, forced_ = false;
  uint32_t uid_ = 0, gid_ = 0;
  int problems_ = 0;
  std::set<std::string> dirs_;  // relative paths known to be directories
  std::vector<std::pair<std::string, uint32_t>> dir_times_;
};

// ---- get -r: dump's writer over a subtree -----------------------------------

// A file system seen from one of its directories: dump's tree writer walks
// "/" of this view and gets the subtree, with every rule dump keeps.
struct Subtree {
  const fs_ops* ops;
  void* fs;
  std::string prefix;  // "/etc"
  std::string inner(const char* path) const { return std::strcmp(path, "/") == 0 ? prefix : prefix + path; }
};

int sub_walk(void* v, const char* path, std::vector<fs_node>* out) {
  const auto* s = static_cast<const Subtree*>(v);
  int rc = s->ops->walk(s->fs, s->inner(path).c_str(), out);
  for (fs_node& n : *out) n.path = n.path.size() <= s->prefix.size() ? "/" : n.path.substr(s->prefix.size());
  return rc;
}

long long sub_pread(void* v, const char* path, void* buf, size_t size, uint64_t offset) {
  const auto* s = static_cast<const Subtree*>(v);
  return s->ops->pread(s->fs, s->inner(path).c_str(), buf, size, offset);
}

uint64_t sub_next_data(void* v, const char* path, uint64_t off) {
  const auto* s = static_cast<const Subtree*>(v);
  return s->ops->next_data(s->fs, s->inner(path).c_str(), off);
}

// The extended attributes of the subtree on what dump's writer made in
// `dir`; each entry is reached component by component without following a
// link, so nothing outside `dir` is touched. Links themselves carry none.
bool host_set_xattrs(const std::string& src, const std::string& dir) {
  std::vector<fs_node> nodes;
  if (flash_fs_walk(root_entry, src.c_str(), &nodes) < 0 || nodes.empty()) return true;
  std::string part = src.substr(0, src.find('/'));
  const std::string& prefix = nodes[0].path;
  bool ok = true;
  for (const fs_node& n : nodes) {
    fs_xattrs x;
    if (S_ISLNK(n.attr.mode) || flash_fs_xattrs(root_entry, (part + n.path).c_str(), &x) < 0 || x.empty()) continue;
    std::string rel = n.path.size() <= prefix.size() ? "" : n.path.substr(prefix == "/" ? 1 : prefix.size() + 1);
    int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t at = 0; fd >= 0 && at < rel.size();) {
      size_t end = std::min(rel.find('/', at), rel.size());
      bool last = end == rel.size();
      int next =
          ::openat(fd, rel.substr(at, end - at).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY));
      ::close(fd);
      fd = next;
      at = end + 1;
    }
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || S_ISLNK(st.st_mode)) {
      int err = fd < 0 ? errno : ELOOP;
      // A link or file where a directory must be was named by the tree writer already.
      if (err != ELOOP && err != ENOTDIR)
        rs::say_error("error: get write %s failed, errno(%s)\n", (dir + "/" + rel).c_str(), std::strerror(err));
      if (fd >= 0) ::close(fd);
      ok = false;
      continue;
    }
    std::string via = "/proc/self/fd/" + std::to_string(fd);
    for (const auto& [name, value] : x) {
      if (::setxattr(via.c_str(), name.c_str(), value.data(), value.size(), 0) != 0) {
        rs::say_error("error: get xattr %s of %s failed, errno(%s)\n", name.c_str(), (dir + "/" + rel).c_str(),
                      std::strerror(errno));
        ok = false;
      }
    }
    ::close(fd);
  }
  return ok;
}

int get_tree(int argc, char** argv) {
  if (argc != 3) return usage_not_right();
  const char* src = argv[1];
  const char* dir = argv[2];
  fs_attr a;
  int rc = flash_fs_stat(root_entry, src, &a);
  if (rc < 0) return cmd_fail_code(src, rc);
  if (!S_ISDIR(a.mode)) return cmd_fail_code(src, -ENOTDIR);
  partition_data* part;
  const fs_ops* ops;
  std::string path;
  if ((rc = flash_fs_resolve(root_entry, src, &part, &ops, &path)) < 0) return cmd_fail_code(src, rc);
  if (!ops->walk || !ops->pread) return cmd_fail_code(src, -ENOSYS);
  int result;
  if (path == "/") {
    result = fs_dump_tree(ops, part->fs, dir, "get");
  } else {
    Subtree view{ops, part->fs, path};
    fs_ops sub = *ops;
    sub.walk = sub_walk;
    sub.pread = sub_pread;
    sub.next_data = ops->next_data ? sub_next_data : nullptr;
    result = fs_dump_tree(&sub, &view, dir, "get");
  }
  if (!host_set_xattrs(src, dir)) result = -1;
  std::fflush(stdout);
  return result == 0 ? 0 : cmd_fail_reported("%s: not every entry was written", dir);
}

// ---- put -r: a host tree into a partition -----------------------------------

fs_attr host_attr(const struct stat& st) {
  fs_attr a;
  a.mode = st.st_mode;
  a.uid = st.st_uid;
  a.gid = st.st_gid;
  a.size = uint64_t(st.st_size);
  a.mtime = st.st_mtime < 0 ? 0 : st.st_mtime > 0xFFFFFFFFll ? 0xFFFFFFFFu : uint32_t(st.st_mtime);
  a.rdev = encode_rdev(st.st_rdev);
  a.nlink = uint32_t(st.st_nlink);
  a.ino = uint64_t(st.st_ino);
  return a;
}

// The user and security attributes of a host entry (not following a link);
// the other name spaces are the host's own business.
fs_xattrs host_xattrs(const std::string& path) {
  fs_xattrs out;
  ssize_t n = ::llistxattr(path.c_str(), nullptr, 0);
  if (n <= 0) return out;
  std::vector<char> names(size_t(n) + 1);
  n = ::llistxattr(path.c_str(), names.data(), names.size());
  if (n <= 0) return out;
  for (size_t at = 0; at < size_t(n); at += std::strlen(names.data() + at) + 1) {
    std::string name = names.data() + at;
    if (name.rfind("user.", 0) != 0 && name.rfind("security.", 0) != 0) continue;
    ssize_t len = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
    if (len < 0) continue;
    std::vector<uint8_t> value(static_cast<size_t>(len));
    len = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (len < 0) continue;
    value.resize(size_t(len));
    out.emplace_back(name, std::move(value));
  }
  return out;
}

struct HostTree {
  Installer& in;
  std::map<std::pair<dev_t, ino_t>, std::string> links;  // first name of each multiply linked inode
  int unreadable = 0;
  // Where the file system can, regular files are only opened to see that they
  // can be read, and their content is read when the image is built (a tree
  // that lives only for one build).
  bool deferred = false;

  void unread(const std::string& path, int err) {
    std::fprintf(stderr, "romsmith: put: %s: %s\n", path.c_str(), std::strerror(err));
    ++unreadable;
  }

  void walk(const std::string& host, const std::string& rel) {
    DIR* d = ::opendir(host.c_str());
    if (!d) return unread(host, errno);
    std::vector<std::string> names;
    while (struct dirent* de = ::readdir(d))
      if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0) names.emplace_back(de->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string path = host + "/" + name, r = rel.empty() ? name : rel + "/" + name;
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0) {
        unread(path, errno);
        continue;
      }
      fs_attr a = host_attr(st);
      if (S_ISDIR(st.st_mode)) {
        in.directory(r, a, host_xattrs(path));
        walk(path, r);
        continue;
      }
      if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
        auto [it, fresh] = links.emplace(std::make_pair(st.st_dev, st.st_ino), r);
        if (!fresh) {
          in.hard_link(it->second, r);
          continue;
        }
      }
      fs_xattrs x;
      if (S_ISREG(st.st_mode)) x = host_xattrs(path);
      if (S_ISREG(st.st_mode) && deferred && in.file_host(r, a, path, x)) {
        // Unreadable now, it fails the build before anything reads it.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
          unread(path, errno);
          links.erase({st.st_dev, st.st_ino});
        } else {
          ::close(fd);
        }
        continue;
      }
      if (S_ISREG(st.st_mode)) {
        std::vector<uint8_t> data;
        if (!rs::read_file(path, data)) {
          unread(path, errno);
          links.erase({st.st_dev, st.st_ino});
          continue;
        }
        in.file(r, a, data, x);
      } else if (S_ISLNK(st.st_mode)) {
        std::vector<char> buf(size_t(st.st_size) + 2);
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0 || size_t(n) >= buf.size()) {
          unread(path, n < 0 ? errno : EOVERFLOW);
          continue;
        }
        a.target.assign(buf.data(), size_t(n));
        in.symlink(r, a, host_xattrs(path));
      } else {
        in.special(r, a, host_xattrs(path));
      }
    }
  }
};

int put_tree(int argc, char** argv) {
  bool forced = false;
  uint32_t uid = 0, gid = 0;
  int i = 1;
  for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
    if (std::strcmp(argv[i], "--owner") != 0) {
      cmd_fail("unknown option '%s' (put -r takes --owner uid:gid)", argv[i]);
      return -1;
    }
    if (!parse_owner(argv[i + 1], &uid, &gid)) {
      cmd_fail("invalid owner '%s' (numeric uid:gid)", argv[i + 1]);
      return -1;
    }
    forced = true;
  }
  if (argc - i != 2) return usage_not_right();
  std::string host = argv[i];
  const char* dst = argv[i + 1];
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) return cmd_fail("%s: %s", host.c_str(), std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) return cmd_fail("%s: %s", host.c_str(), std::strerror(ENOTDIR));
  Installer in(root_entry, dst, "put");
  in.owners(::geteuid() == 0, forced, uid, gid);
  if (!in.begin()) return CMD_FAILED;
  in.directory("", host_attr(st), host_xattrs(host));
  HostTree tree{in, {}, 0};
  tree.walk(host, "");
  int rc = in.finish();
  if (rc == 0 && tree.unreadable)
    return cmd_fail("%d host %s could not be read (named above)", tree.unreadable,
                    tree.unreadable == 1 ? "entry" : "entries");
  return rc;
}

// ---- building a new image of a host tree -------------------------------------

}  // namespace

int build_image_from_host(const fs_ops* ops, void* fs, const char* dir, const char* image, const char* who,
                          bool all_root) {
  struct stat st;
  if (::stat(dir, &st) != 0) {
    ops->release(fs);
    return cmd_fail("%s: %s", dir, std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) {
    ops->release(fs);
    return cmd_fail("%s: %s", dir, std::strerror(ENOTDIR));
  }
  // A one-partition image that lives only for this call, so that the tree is
  // stored with every rule put -r keeps.
  auto* scratch = static_cast<flash*>(std::calloc(1, sizeof(flash)));
  if (!scratch) {
    ops->release(fs);
    return cmd_fail("%s: %s", image, std::strerror(ENOMEM));
  }
  partition_info& info = scratch->flash_table.tables[0];
  std::memcpy(info.name, "NEW", 4);
  info.file_system_type = int8_t(ops->type);
  info.total_size = info.partition_size = 0xFFFFFFFFu;
  scratch->flash_table.count = 1;
  scratch->count = 1;
  scratch->list[0].info = &info;
  scratch->list[0].fs = fs;
  int rc;
  {
    Installer in(scratch, "NEW", who);
    // The host's owners, as the outside builders keep them, unless all root.
    in.owners(true, all_root, 0, 0);
    HostTree tree{in, {}, 0, true};
    if (in.begin()) {
      in.directory("", host_attr(st), host_xattrs(dir));
      tree.walk(dir, "");
      rc = in.finish();
    } else {
      rc = CMD_FAILED;
    }
    if (rc == 0 && tree.unreadable)
      rc = cmd_fail("%d host %s could not be read (named above)", tree.unreadable,
                    tree.unreadable == 1 ? "entry" : "entries");
  }
  if (rc == 0) {
    size_t len = 0;
    std::string why;
    uint8_t* bytes = ops->rebuild(fs, &len, &why);
    if (!bytes)
      rc = cmd_fail("%s: no image made from %s (%s)", image, dir, why.c_str());
    else if (!rs::write_file_atomic(image, bytes, len))
      rc = cmd_fail("%s: %s", image, std::strerror(errno));
    if (bytes) ops->release_image(bytes, len);
  }
  ops->release(fs);
  state_drop(scratch);
  std::free(scratch);
  return rc;
}

namespace {

// ---- export: a subtree as a pax archive --------------------------------------

int export_tree(int argc, char** argv) {
  if (argc != 3) return usage_not_right();
  const char* src = argv[1];
  std::string dst = argv[2];
  fs_attr top;
  int rc = flash_fs_stat(root_entry, src, &top);
  if (rc < 0) return cmd_fail_code(src, rc);
  if (!S_ISDIR(top.mode)) return cmd_fail_code(src, -ENOTDIR);
  std::vector<fs_node> nodes;
  if ((rc = flash_fs_walk(root_entry, src, &nodes)) < 0) return cmd_fail_code(src, rc);
  const char* slash = std::strchr(src, '/');
  std::string part = slash ? std::string(src, size_t(slash - src)) : std::string(src);
  std::string prefix = nodes.empty() ? "/" : nodes[0].path;
  std::string why;
  auto write = [&](FILE* f) {
    rs::TarWriter w;
    if (!w.open(f)) return why = w.error(), false;
    std::unordered_map<uint64_t, std::string> first;  // inode -> first member name
    for (const fs_node& n : nodes) {
      std::string rel = n.path.size() <= prefix.size() ? "" : n.path.substr(prefix == "/" ? 1 : prefix.size() + 1);
      std::string full = part + n.path;
      rs::TarEntry t;
      t.attr = n.attr;
      // Named as `tar -C dir -c .` names them, so listings compare directly.
      t.name = "./" + rel;
      if (S_ISDIR(n.attr.mode) && !rel.empty()) t.name += "/";
      if ((rc = flash_fs_xattrs(root_entry, full.c_str(), &t.xattrs)) < 0)
        return why = full + ": " + fs_error_text(rc), false;
      if (!S_ISDIR(n.attr.mode) && n.attr.nlink > 1 && n.attr.ino) {
        auto [it, fresh] = first.emplace(n.attr.ino, t.name);
        // The attributes belong to the inode: they travel with its first name.
        if (!fresh) t.hardlink = it->second, t.xattrs.clear();
      }
      int read_rc = 0;
      bool ok = w.add(t, [&](const std::function<bool(const void*, size_t)>& put) {
        static const uint8_t zeros[65536] = {};
        read_rc = shell_stream_file(root_entry, full.c_str(), [&](const uint8_t* d, size_t len) {
          if (d) return put(d, len);
          for (size_t k = 0; k < len; k += sizeof zeros)
            if (!put(zeros, std::min(sizeof zeros, len - k))) return false;
          return true;
        });
        return read_rc == 0;
      });
      if (!ok) {
        why = full + ": " + (read_rc != 0 && read_rc != -ECANCELED ? fs_error_text(read_rc) : w.error());
        return false;
      }
    }
    if (!w.close()) return why = w.error(), false;
    return true;
  };
  if (dst == "-") {
    std::fflush(stdout);
    bool ok = write(stdout);
    if (std::fflush(stdout) != 0 && ok) return cmd_fail("standard output: %s", std::strerror(errno));
    return ok ? 0 : cmd_fail("%s", why.c_str());
  }
  errno = 0;
  if (!rs::write_file_atomic(dst, write))
    return cmd_fail("%s: %s", dst.c_str(), why.empty() ? std::strerror(errno ? errno : EIO) : why.c_str());
  return 0;
}

// ---- import: an archive into a partition --------------------------------------

// A member name as a path below the target: "." and empty components
// dropped, a leading "/" taken off (`*absolute` says so); false for a name
// with ".." that would climb out.
bool confine(const std::string& name, std::string* rel, bool* absolute) {
  *absolute = !name.empty() && name[0] == '/';
  rel->clear();
  size_t at = 0;
  while (at <= name.size()) {
    size_t end = name.find('/', at);
    if (end == std::string::npos) end = name.size();
    std::string c = name.substr(at, end - at);
    at = end + 1;
    if (c.empty() || c == ".") continue;
    if (c == "..") return false;
    if (!rel->empty()) *rel += '/';
    *rel += c;
  }
  return true;
}

int import_tree(int argc, char** argv) {
  if (argc != 3) return usage_not_right();
  std::string src = argv[1];
  const char* dst = argv[2];
  FILE* f = src == "-" ? stdin : std::fopen(src.c_str(), "rb");
  if (!f) return cmd_fail("%s: %s", src.c_str(), std::strerror(errno));
  struct Closer {
    FILE* f;
    ~Closer() {
      if (f != stdin) std::fclose(f);
    }
  } closer{f};
  rs::TarReader r;
  if (!r.open(f)) return cmd_fail("%s: %s", src.c_str(), r.error().c_str());
  Installer in(root_entry, dst, "import");
  in.owners(true);
  if (!in.begin()) return CMD_FAILED;
  bool said_absolute = false;
  std::vector<uint8_t> data;
  std::vector<std::pair<std::string, std::string>> links;  // (first name, second name)
  for (;;) {
    rs::TarEntry t;
    int rc = r.next(&t);
    if (rc == 0) break;
    if (rc < 0) {
      in.finish();
      return cmd_fail("%s: %s", src.c_str(), r.error().c_str());
    }
    std::string rel, link;
    bool absolute = false, link_absolute = false;
    if (!confine(t.name, &rel, &absolute) || (!t.hardlink.empty() && !confine(t.hardlink, &link, &link_absolute))) {
      in.refuse(t.name, "refused: a name with \"..\" would leave " + std::string(dst));
      continue;
    }
    if ((absolute || link_absolute) && !said_absolute) {
      rs::warn("romsmith: import: removing leading '/' from member names\n");
      said_absolute = true;
    }
    uint32_t type = t.attr.mode & S_IFMT;
    if (rel.empty() && type != S_IFDIR) {
      in.refuse(t.name, std::string("refused: a ") + kind_of(t.attr.mode) + " cannot stand for " + dst);
      continue;
    }
    if (!t.hardlink.empty()) {
      // Some kinds (cpio's newc) carry the content with the last name of an
      // inode: it goes to the first name, which has no second names yet
      // because those are made at the end.
      if (t.attr.size > 0) {
        if (!r.data(&data)) {
          in.finish();
          return cmd_fail("%s: %s: %s", src.c_str(), t.name.c_str(), r.error().c_str());
        }
        t.attr.mode = S_IFREG | (t.attr.mode & 07777);
        in.file(link, t.attr, data, t.xattrs);
      }
      links.emplace_back(link, rel);
    } else if (type == S_IFDIR) {
      in.directory(rel, t.attr, t.xattrs);
    } else if (type == S_IFREG) {
      if (!r.data(&data)) {
        in.finish();
        return cmd_fail("%s: %s: %s", src.c_str(), t.name.c_str(), r.error().c_str());
      }
      in.file(rel, t.attr, data, t.xattrs);
    } else if (type == S_IFLNK) {
      in.symlink(rel, t.attr, t.xattrs);
    } else if (t.rdev_too_big) {
      in.refuse(below(dst, rel), "device number too big for the file system, skipped");
    } else {
      in.special(rel, t.attr, t.xattrs);
    }
  }
  for (const auto& [first, second] : links) in.hard_link(first, second);
  return in.finish();
}

}  // namespace

int cmd_get_or_tree(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "-r") != 0) return cmd_get(argc, argv);
  if (!root_entry) return open_a_file_first();
  return get_tree(argc - 1, argv + 1);
}

int cmd_put_or_tree(int argc, char** argv) {
  // -r may come before or after --owner; --mode belongs to single files.
  int r = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-r") == 0) {
      r = i;
      break;
    }
    if (std::strncmp(argv[i], "--", 2) != 0) break;
    ++i;
  }
  if (!r) return cmd_put(argc, argv);
  if (!root_entry) return open_a_file_first();
  std::vector<char*> rest(argv, argv + argc);
  rest.erase(rest.begin() + r);
  rest.push_back(nullptr);
  return put_tree(argc - 1, rest.data());
}

int cmd_export(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  return export_tree(argc, argv);
}

int cmd_import(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  return import_tree(argc, argv);
}
