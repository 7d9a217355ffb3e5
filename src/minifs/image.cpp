// Whole images: mount, unmount, writing the image out, filling a device from a
// host tree, extracting one into a host tree, and the tree listing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "minifs/internal.h"
#include "util/report.h"
#include "util/fileio.h"

using namespace minifs;

minifs_device* minifs_mount(const char* devname, const char* path, uint8_t* buffer, size_t size, init_fn init) {
  auto dev = std::make_unique<minifs_device>();
  dev->devname = devname ? devname : "";
  dev->rootPath = path ? path : "";
  dev->buffer = buffer;
  dev->size = size;
  if (!(init ? init : ramdisk_Init)(dev.get())) return nullptr;
  dev->root = minifs_CreateNewObject(dev.get(), nullptr, 1, OBJ_DIRECTORY, 0, 0, 040775);
  device_Init(dev.get());
  return dev.release();
}

void minifs_umount(minifs_device* dev) {
  if (!dev) return;
  // A handle left open must not reach into the freed tree.
  for (auto& [id, obj] : dev->objects) minifs_DetachHandle(obj.get());
  delete dev;
}

minifs_Object* minifs_root(minifs_device* dev) { return dev ? dev->root : nullptr; }

static size_t image_length(minifs_device* dev) {
  size_t n = 0;
  for (int b = dev->StartBlock; b <= dev->EndBlock; ++b)
    if (dev->blocks[b].pagesInUse > 0) n += kBlockBytes;
  return n;
}

static void image_fill(minifs_device* dev, uint8_t* out) {
  for (int b = dev->StartBlock; b <= dev->EndBlock; ++b) {
    if (dev->blocks[b].pagesInUse <= 0) continue;
    for (int i = 0; i < kPagesPerBlock; ++i, out += kPageSize)
      dev->readPage(dev, dev->blocks[b].start_page + i, out, out + kDataBytes);
  }
}

int minifs_mkimg(minifs_device* dev, const char* image) {
  if (!dev || !image) return -1;
  std::vector<uint8_t> bytes(image_length(dev));
  image_fill(dev, bytes.data());
  return rs::write_file_atomic(image, bytes.data(), bytes.size()) ? 0 : -1;
}

uint8_t* minifs_mmap(minifs_device* dev, size_t* size, std::string* why) {
  *size = 0;
  if (why) why->clear();
  // A refused device never read the partition: an empty image would wipe it.
  if (!dev || !dev->usable) return nullptr;
  size_t n = image_length(dev);
  // No live page is an erased partition: zero bytes, which is not "nothing to
  // rebuild" (the old pages must not come back).
  auto* out = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  if (!out) {
    char text[64];
    std::snprintf(text, sizeof text, "error: %s %d", "minifs_mmap", 613);
    std::fprintf(stderr, "%s\n", text);
    if (why) *why = text;
    return nullptr;
  }
  image_fill(dev, out);
  *size = n;
  return out;
}

void minifs_munmap(uint8_t* image, size_t) { std::free(image); }

// ---- loading a host tree --------------------------------------------------

namespace {

// Whatever is left out of the device is named, with the reason.
bool skipped(const std::string& host, const char* why) {
  rs::warn("warning: %s skipped: %s\n", host.c_str(), why);
  return false;
}

const char* put_reason(int rc) {
  switch (rc) {
    case -ENOSPC:
      return "no space left in the minifs image";
    case -ENAMETOOLONG:
      return "name longer than 32 bytes";
    case -EEXIST:
      return "another entry of that name is already there";
    default:
      return std::strerror(-rc);
  }
}

bool read_host_file(const std::string& host, std::vector<uint8_t>* out, int* err) {
  FILE* f = std::fopen(host.c_str(), "rb");
  if (!f) {
    *err = errno;
    return false;
  }
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  bool ok = !std::ferror(f);
  *err = ok ? 0 : (errno ? errno : EIO);
  std::fclose(f);
  // Grown while we read: more than the check before allowed.
  if (ok && out->size() > kMaxFileSize) *err = EFBIG, ok = false;
  return ok;
}

// Copies one host entry; false when it is not in the device afterwards (a
// directory's subtree is then not walked).
bool load_entry(minifs_device* dev, const std::string& host, const std::string& mpath, const struct stat& st) {
  uint32_t mode = st.st_mode & 07777;
  if (S_ISDIR(st.st_mode)) {
    minifs_attr a;
    if (minifs_stat(dev, mpath.c_str(), &a) == 0)
      return (a.mode & 0170000) == 0040000 ? true : skipped(host, put_reason(-EEXIST));
    int rc = minifs_make_dir(dev, mpath.c_str(), mode, st.st_uid, st.st_gid);
    return rc == 0 ? true : skipped(host, put_reason(rc));
  }
  if (S_ISREG(st.st_mode)) {
    if (uint64_t(st.st_size) > kMaxFileSize) {
      rs::warn("warning: %s is larger than 8 MiB, skipped\n", host.c_str());
      return false;
    }
    std::vector<uint8_t> data;
    int err = 0;
    if (!read_host_file(host, &data, &err)) return skipped(host, std::strerror(err));
    minifs_put_attr attr;
    attr.has_mode = attr.has_owner = true;
    attr.mode = mode, attr.uid = st.st_uid, attr.gid = st.st_gid;
    int rc;
    {
      rs::Quiet quiet;  // a full device says so in the one line below
      rc = minifs_put(dev, mpath.c_str(), data.data(), data.size(), &attr);
    }
    return rc == 0 ? true : skipped(host, put_reason(rc));
  }
  if (S_ISLNK(st.st_mode)) {
    char target[kMaxAlias + 2];
    ssize_t n = ::readlink(host.c_str(), target, sizeof target);
    if (n < 0) return skipped(host, std::strerror(errno));
    if (n > kMaxAlias) return skipped(host, "link target longer than 158 bytes");
    target[n] = 0;
    int rc = minifs_make_symlink(dev, target, mpath.c_str(), mode, st.st_uid, st.st_gid);
    return rc == 0 ? true : skipped(host, put_reason(rc));
  }
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    int rc = minifs_make_special(dev, mpath.c_str(), st.st_mode, st.st_uid, st.st_gid);
    return rc == 0 ? true : skipped(host, put_reason(rc));
  }
  return skipped(host, "minifs stores no device nodes");
}

// `comps` are the path components below (and including) the top directory's
// name; the first `level` of them are dropped for the device path. False when
// anything below `host` was left out.
bool load_walk(minifs_device* dev, const std::string& host, std::vector<std::string>& comps, int level) {
  struct stat st;
  // The directory named by the user may be a link to one; entries below are taken as they are.
  bool entry = int(comps.size()) > level;
  if ((entry ? ::lstat(host.c_str(), &st) : ::stat(host.c_str(), &st)) != 0) return skipped(host, std::strerror(errno));
  if (entry) {
    std::string mpath;
    for (size_t i = size_t(level); i < comps.size(); ++i) mpath += "/" + comps[i];
    if (!load_entry(dev, host, mpath, st)) return false;
  }
  if (!S_ISDIR(st.st_mode)) return true;
  DIR* d = ::opendir(host.c_str());
  if (!d) return skipped(host, std::strerror(errno));
  std::vector<std::string> names;
  errno = 0;
  struct dirent* e;
  while ((e = ::readdir(d)) != nullptr)
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
  int err = errno;
  ::closedir(d);
  bool ok = err == 0 || skipped(host, std::strerror(err));
  std::sort(names.begin(), names.end());
  for (const auto& n : names) {
    comps.push_back(n);
    ok = load_walk(dev, host + "/" + n, comps, level) && ok;
    comps.pop_back();
  }
  return ok;
}

}  // namespace

int minifs_load(minifs_device* dev, const char* local_directory, int level) {
  if (!dev || !local_directory) return -1;
  std::string top(local_directory);
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  struct stat st;
  int err = ::stat(top.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (err) {
    std::fprintf(stderr, "error: %s: %s\n", top.c_str(), std::strerror(err));
    return -1;
  }
  std::vector<std::string> comps{top.substr(top.rfind('/') == std::string::npos ? 0 : top.rfind('/') + 1)};
  return load_walk(dev, top, comps, std::max(level, 0)) ? 0 : -1;
}

// ---- extraction -----------------------------------------------------------

static std::string join(const std::string& dir, const std::string& name) {
  if (dir == "/") return dir + name;
  std::string d = dir;
  if (d.size() >= 2 && d.back() == '/') d.pop_back();
  return d + "/" + name;
}

static int write_file_process(minifs_device* dev, minifs_Object* obj, const std::string& m, const std::string& l) {
  const std::string& name = obj->Header.name;
  std::string host = join(l, name), mpath = join(m, name);
  switch (obj->Header.type) {
    case OBJ_FILE: {
      minifs_Handle* h = minifs_open(dev, mpath.c_str(), 2, 0664);
      if (!h) return -1;
      std::vector<uint8_t> data;
      uint8_t buf[2048];
      int r = 0;
      for (size_t off = 0;; off += sizeof buf) {
        int n = minifs_read(h, buf, sizeof buf, off);
        if (n < 0) {
          r = -1;
          break;
        }
        data.insert(data.end(), buf, buf + n);
        if (n < int(sizeof buf)) break;
      }
      minifs_close(h);
      if (r < 0) return r;
      // A failed write keeps what was there (a full disk must not truncate an earlier dump).
      if (!rs::write_file_atomic(host, data.data(), data.size())) {
        rs::say_error("error: minifs_dump write %s failed, errno(%s)\n", host.c_str(), std::strerror(errno));
        return -1;
      }
      if (obj->Header.mode & 0777) ::chmod(host.c_str(), obj->Header.mode & 07777);
      return r;
    }
    case OBJ_DIRECTORY: {
      // A directory left by an earlier dump is dumped into again, but only a
      // real one: a symbolic link there must not lead the dump elsewhere.
      struct stat st;
      return ::mkdir(host.c_str(), 0775) == 0 || (::lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? 0 : -1;
    }
    case OBJ_SYMLINK:
      rs::warn(
          "warning: unminifs tool for windows unsupport create symlink now, <path: %-20s>, <link path: %-20s>\n",
          host.c_str(), obj->Header.alias.c_str());
      return 0;
    default:
      rs::warn("minifs unsupport type now!\n");
      return -1;
  }
}

static int minifs_export(minifs_device* dev, minifs_Object* parent, const std::string& m, const std::string& l) {
  if (!parent->is_dir()) return 0;
  int count = 0;
  std::vector<minifs_Object*> kids = parent->children;
  for (minifs_Object* c : kids) {
    const std::string& name = c->Header.name;
    // A name from the image must not lead outside the target directory.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      rs::warn("warning: bad minifs name [%s] skipped\n", name.c_str());
      continue;
    }
    int r = write_file_process(dev, c, m, l);
    if (r < 0) return r;
    if (c->is_dir()) {
      r = minifs_export(dev, c, join(m, name), join(l, name));
      if (r < 0) return r;
      count += r;
      if (c->Header.mode & 0777) ::chmod(join(l, name).c_str(), c->Header.mode & 07777);
    }
    count++;
  }
  return count;
}

int minifs_dump(minifs_device* dev, const char* local_dir, const char* minifs_dir) {
  if (!dev || !local_dir) return -1;
  const char* m = minifs_dir ? minifs_dir : "/";
  minifs_Object* obj = minifs_FindObjectByName(dev, m);
  if (!obj) return -1;
  return minifs_export(dev, obj, m, local_dir);
}

// ---- listing --------------------------------------------------------------

static void ls_dir(minifs_Object* dir, int level, std::vector<bool>& more) {
  size_t n = dir->children.size();
  for (size_t i = 0; i < n; ++i) {
    minifs_Object* c = dir->children[i];
    bool last = i + 1 == n;
    for (int d = 0; d < level && d < 128; ++d) std::printf("%s", more[size_t(d)] ? "|   " : "    ");
    std::printf(last ? "`-- %s" : "|-- %s", c->Header.name.c_str());
    if (c->Header.type == OBJ_FILE)
      std::printf("\t\t(%u)\n", c->Header.rawFileSize);
    else if (c->Header.type == OBJ_SYMLINK)
      std::printf("\t\t(%u)\n", unsigned(c->Header.alias.size()));
    else
      std::printf("\n");
    if (c->is_dir() && level < 128) {
      more[size_t(level)] = !last;
      ls_dir(c, level + 1, more);
    }
  }
}

int minifs_ls(minifs_Object* root, int level) {
  if (!root || !root->is_dir()) return 0;
  std::vector<bool> more(130, false);
  ls_dir(root, std::max(level, 0), more);
  return 0;
}
