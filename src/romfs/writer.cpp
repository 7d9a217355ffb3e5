// Writing a romfs image from the tree, laid out as genromfs lays one out:
// headers in pre-order (a directory's entries right after its header), the
// root's header first as its "." entry, the first name of a file in that
// order holding the data and later names as hard links to it. With an
// alignment above 16, a file's data starts on it and a hard link to a file
// has its header on it, padding with zeros before the header.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <unordered_map>

#include "romfs/internal.h"
#include "util/endian.h"
#include "util/fileio.h"
#include "util/strutil.h"

namespace romfs {
namespace {

constexpr uint64_t kTooBig = uint64_t(1) << 33;

struct Placer {
  uint32_t align;
  std::unordered_map<const Inode*, uint32_t> owner;  // inode -> header holding its data
  uint64_t off;

  void place(Entry* dir, bool is_root) {
    for (size_t i = 0; i < dir->kids.size() && off < kTooBig; ++i) {
      Entry* k = dir->kids[i].get();
      uint32_t meta = meta_size(k->name.size());
      uint64_t data = 0;
      if (is_root && i == 0) {
        // the root directory's own header
      } else if (!k->dot) {
        const Inode* ino = k->ino.get();
        auto [it, first] = owner.try_emplace(ino, 0);
        if (!first) {
          if (ino->type == kFile) off = (off + align - 1) & ~uint64_t(align - 1);
        } else {
          if (ino->type == kFile) off += (align - (off + meta) % align) % align;
          if (ino->type == kFile || ino->type == kSymlink) data = pad16(ino->size);
          it->second = uint32_t(off);
        }
      }
      k->placed_at = uint32_t(off);
      if (is_root && i == 0) dir->placed_at = uint32_t(off);
      off += meta + data;
      if (k->is_dir()) place(k, false);
    }
  }
};

void put_header(uint8_t* img, uint32_t at, uint32_t next, uint32_t info, uint32_t size, const std::string& name) {
  uint8_t* p = img + at;
  rs::store_be32(p, next);
  rs::store_be32(p + 4, info);
  rs::store_be32(p + 8, size);
  std::memcpy(p + kHeader, name.data(), name.size());
  uint32_t meta = meta_size(name.size()), sum = 0;
  for (uint32_t i = 0; i < meta; i += 4) sum += rs::load_be32(p + i);
  rs::store_be32(p + 12, uint32_t(0) - sum);
}

void write_list(const Entry* dir, bool is_root, const Placer& pl, uint8_t* img) {
  for (size_t i = 0; i < dir->kids.size(); ++i) {
    const Entry* k = dir->kids[i].get();
    uint32_t next = i + 1 < dir->kids.size() ? dir->kids[i + 1]->placed_at : 0;
    if (is_root && i == 0) {
      const Inode& ino = *dir->ino;
      put_header(img, k->placed_at, next | kDir | (ino.exec ? kExec : 0), k->placed_at, 0, k->name);
    } else if (k->dot) {
      const Entry* to = k->name == "." || !dir->parent ? dir : dir->parent;
      put_header(img, k->placed_at, next | kHardLink, to->placed_at, 0, k->name);
    } else {
      const Inode& ino = *k->ino;
      uint32_t holder = pl.owner.at(&ino);
      if (holder != k->placed_at) {
        put_header(img, k->placed_at, next | kHardLink, holder, 0, k->name);
        continue;
      }
      uint32_t flags = ino.type | (ino.exec ? kExec : 0), info = ino.info, size = 0;
      if (ino.type == kDir) {
        info = k->kids.empty() ? 0 : k->kids[0]->placed_at;
      } else if (ino.type == kFile || ino.type == kSymlink) {
        size = ino.size;
        if (size) std::memcpy(img + k->placed_at + meta_size(k->name.size()), ino.data, size);
      }
      put_header(img, k->placed_at, next | flags, info, size, k->name);
      if (ino.type == kDir) write_list(k, false, pl, img);
    }
  }
}

}  // namespace

uint64_t layout(romfs_image* fs, uint32_t align) {
  Placer pl{align, {}, 16 + pad16(fs->volume.size() + 1)};
  pl.place(fs->root.get(), true);
  return pl.off;
}

uint32_t shown_mode(const Inode& ino) {
  static const uint32_t kModes[8] = {0, 040644, 0100644, 0120777, 060600, 020600, 0140644, 010644};
  uint32_t m = kModes[ino.type & 7];
  if ((ino.type == kDir || ino.type == kFile) && ino.exec) m |= 0111;
  return m;
}

}  // namespace romfs

using namespace romfs;

uint64_t romfs_image_size(romfs_image* fs) {
  uint64_t full = layout(fs, fs->align);
  return full > 0xFFFFFFFFu ? 0 : (full + 1023) & ~uint64_t(1023);
}

std::vector<uint8_t> romfs_write(romfs_image* fs, std::string* why) {
  Placer pl{fs->align, {}, 16 + pad16(fs->volume.size() + 1)};
  pl.place(fs->root.get(), true);
  uint64_t full = pl.off;
  if (full > 0xFFFFFFF0u) {
    if (why) *why = "the tree needs more than 4 GiB";
    return {};
  }
  std::vector<uint8_t> img((full + 1023) & ~uint64_t(1023), 0);
  std::memcpy(img.data(), "-rom1fs-", 8);
  rs::store_be32(&img[8], uint32_t(full));
  std::memcpy(&img[16], fs->volume.data(), fs->volume.size());
  write_list(fs->root.get(), true, pl, img.data());
  uint32_t sum = 0;
  for (uint32_t i = 0; i < std::min<uint64_t>(full, 512); i += 4) sum += rs::load_be32(&img[i]);
  rs::store_be32(&img[12], uint32_t(0) - sum);
  return img;
}

// ---- images of host directories ------------------------------------------------

namespace {

struct HostBuild {
  std::map<std::pair<dev_t, ino_t>, std::shared_ptr<Inode>> links;
  std::string why;

  bool fail(const std::string& path, int err) {
    why = path + ": " + std::strerror(err);
    return false;
  }

  bool add(Entry* dir, const std::string& host, const std::string& name, int depth) {
    std::string path = host + "/" + name;
    auto e = std::make_unique<Entry>();
    e->name = name;
    e->parent = dir;
    if (name == "." || name == "..") {
      e->dot = true;
      dir->kids.push_back(std::move(e));
      return true;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return fail(path, errno);
    if (name.size() > kMaxName) return fail(path, ENAMETOOLONG);
    std::shared_ptr<Inode>* shared = nullptr;
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
      shared = &links[{st.st_dev, st.st_ino}];
      if (*shared) {
        e->ino = *shared;
        dir->kids.push_back(std::move(e));
        return true;
      }
    }
    auto ino = std::make_shared<Inode>();
    bool exec = st.st_mode & 0111;
    if (S_ISDIR(st.st_mode)) {
      ino->type = kDir, ino->exec = exec;
    } else if (S_ISREG(st.st_mode)) {
      ino->type = kFile, ino->exec = exec;
      if (uint64_t(st.st_size) > 0xFFFFFFF0u) return fail(path, EFBIG);
      if (!rs::read_file(path, ino->own)) return fail(path, errno);
    } else if (S_ISLNK(st.st_mode)) {
      ino->type = kSymlink;
      ino->own.resize(4096);
      ssize_t n = ::readlink(path.c_str(), reinterpret_cast<char*>(ino->own.data()), ino->own.size());
      if (n < 0) return fail(path, errno);
      if (n >= 4096) return fail(path, ENAMETOOLONG);
      ino->own.resize(size_t(n));
    } else if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
      ino->type = S_ISBLK(st.st_mode) ? kBlock : kChar;
      ino->info = (major(st.st_rdev) & 0xFFFF) << 16 | (minor(st.st_rdev) & 0xFFFF);
    } else if (S_ISFIFO(st.st_mode)) {
      ino->type = kFifo;
    } else if (S_ISSOCK(st.st_mode)) {
      ino->type = kSocket;
    } else {
      return fail(path, EINVAL);
    }
    ino->data = ino->own.data();
    ino->size = uint32_t(ino->own.size());
    if (shared) *shared = ino;
    e->ino = ino;
    Entry* added = e.get();
    dir->kids.push_back(std::move(e));
    return ino->type != kDir || scan(added, path, false, depth + 1);
  }

  // Entries in readdir order; the root's "." and ".." first, as its header must be.
  bool scan(Entry* dir, const std::string& host, bool is_root, int depth) {
    if (depth > kMaxDepth) return fail(host, ELOOP);
    DIR* d = ::opendir(host.c_str());
    if (!d) return fail(host, errno);
    std::vector<std::string> names;
    errno = 0;
    while (dirent* de = ::readdir(d)) names.push_back(de->d_name);
    int err = errno;
    ::closedir(d);
    if (err) return fail(host, err);
    if (is_root) {
      std::erase_if(names, [](const std::string& n) { return n == "." || n == ".."; });
      names.insert(names.begin(), {".", ".."});
    }
    for (const std::string& n : names)
      if (!add(dir, host, n, depth)) return false;
    return true;
  }
};

}  // namespace

int romfs_from_directory(const std::string& dir, const std::string& volume, uint32_t align, std::vector<uint8_t>* out,
                         std::string* why) {
  if (volume.size() > kMaxName || volume.find('\0') != std::string::npos) {
    if (why) *why = "a volume name is at most 127 bytes";
    return -1;
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (why) *why = dir + ": " + std::strerror(errno ? errno : ENOTDIR);
    return -1;
  }
  std::unique_ptr<romfs_image> fs(romfs_create(volume, align, 0xFFFFFFFFu));
  fs->root->ino->exec = st.st_mode & 0111;
  fs->root->kids.clear();
  HostBuild b;
  if (!b.scan(fs->root.get(), dir, true, 0)) {
    if (why) *why = b.why;
    return -1;
  }
  *out = romfs_write(fs.get(), why);
  return out->empty() ? -1 : 0;
}
