// Edits of the in-memory tree, and the tree of a host directory for a new
// image. Every edit checks before it changes anything, so that a refusal
// leaves the tree as it was.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <random>

#include "ubifs/ubifs_write.h"
#include "util/endian.h"

namespace rs::ubifs {

namespace {

constexpr uint32_t kTypeMask = 0170000, kDir = 0040000, kReg = 0100000, kLnk = 0120000;
constexpr uint64_t kFirstIno = 64;
constexpr size_t kMaxName = 255, kMaxInoData = 4096;

std::vector<std::string> split(const std::string& p) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    if (j > i) out.push_back(p.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

int find_parts(const tree& t, const std::vector<std::string>& parts, size_t n, uint64_t* inum) {
  uint64_t cur = 1;
  for (size_t i = 0; i < n; ++i) {
    const tnode& d = t.inodes.at(cur);
    if ((d.mode & kTypeMask) != kDir) return -ENOTDIR;
    auto it = d.kids.find(parts[i]);
    if (it == d.kids.end()) return -ENOENT;
    cur = it->second;
  }
  *inum = cur;
  return 0;
}

int find(const tree& t, const std::string& path, uint64_t* inum) {
  auto parts = split(path);
  return find_parts(t, parts, parts.size(), inum);
}

// The directory a path's last name goes in, and that name.
int parent_of(const tree& t, const std::string& path, uint64_t* dir, std::string* name) {
  auto parts = split(path);
  if (parts.empty()) return -EINVAL;
  int rc = find_parts(t, parts, parts.size() - 1, dir);
  if (rc) return rc;
  if ((t.inodes.at(*dir).mode & kTypeMask) != kDir) return -ENOTDIR;
  *name = parts.back();
  if (*name == "." || *name == "..") return -EINVAL;
  if (name->size() > kMaxName) return -ENAMETOOLONG;
  return 0;
}

uint64_t new_inum(tree& t) {
  t.highest_inum = std::max(t.highest_inum, kFirstIno) + 1;
  return t.highest_inum;
}

tnode made(uint32_t mode, int64_t now, uint16_t compr) {
  tnode n;
  n.mode = mode;
  n.atime = n.ctime = n.mtime = uint64_t(now);
  n.compr_type = compr;
  return n;
}

// How many entries name `inum`.
size_t names_of(const tree& t, uint64_t inum) {
  size_t n = 0;
  for (auto& [i, d] : t.inodes)
    for (auto& [name, k] : d.kids) n += k == inum;
  return n;
}

// A new entry `path` for the inode `n` (made here) unless the path exists.
int add_new(tree& t, const std::string& path, tnode n) {
  uint64_t dir;
  std::string name;
  int rc = parent_of(t, path, &dir, &name);
  if (rc) return rc;
  if (t.inodes.at(dir).kids.count(name)) return -EEXIST;
  uint64_t inum = new_inum(t);
  t.inodes.emplace(inum, std::move(n));
  t.inodes.at(dir).kids[name] = inum;
  return 0;
}

uint16_t root_compr(const tree& t) { return t.inodes.count(1) ? t.inodes.at(1).compr_type : 0; }

}  // namespace

int tree_put(tree& t, const std::string& path, const uint8_t* data, size_t size, const put_attr& a, uint16_t compr,
             int64_t now) {
  uint64_t dir;
  std::string name;
  if (split(path).empty()) return -EISDIR;
  int rc = parent_of(t, path, &dir, &name);
  if (rc) return rc;
  if (size / 4096 > 0x1fffffff) return -EFBIG;
  tnode n = made(kReg | 0644, now, compr);
  auto& kids = t.inodes.at(dir).kids;
  auto old = kids.find(name);
  uint64_t inum = 0;
  if (old != kids.end()) {
    const tnode& o = t.inodes.at(old->second);
    if ((o.mode & kTypeMask) == kDir) return -EISDIR;
    if ((o.mode & kTypeMask) == kReg) {
      // Kept: everything but the content (times too, as the other tables keep them), and the inode number unless
      // another name shares it.
      n = o;
      n.kept.clear();
      n.creat_sqnum = o.creat_sqnum;
      n.compr_type = compr;
      for (xattr_rec& x : n.xattrs) x.inum = 0;
      if (names_of(t, old->second) == 1) inum = old->second;
    }
  }
  if (a.has_mode) n.mode = kReg | (a.mode & 07777);
  if (a.has_owner) n.uid = a.uid, n.gid = a.gid;
  n.fresh = std::make_shared<const std::vector<uint8_t>>(data, data + size);
  n.size = size;
  if (!inum) {
    inum = new_inum(t);
    n.creat_sqnum = 0;
  }
  t.inodes[inum] = std::move(n);
  kids[name] = inum;
  return 0;
}

int tree_remove(tree& t, const std::string& path) {
  uint64_t dir;
  std::string name;
  int rc = parent_of(t, path, &dir, &name);
  if (rc) return rc == -EINVAL && split(path).empty() ? -EBUSY : rc;
  if (!t.inodes.at(dir).kids.erase(name)) return -ENOENT;
  return 0;  // what is no longer reached is not written
}

int tree_mkdir(tree& t, const std::string& path, uint32_t mode, int64_t now) {
  return add_new(t, path, made(kDir | (mode & 07777), now, root_compr(t)));
}

int tree_chmod(tree& t, const std::string& path, uint32_t mode) {
  uint64_t inum;
  int rc = find(t, path, &inum);
  if (rc) return rc;
  tnode& n = t.inodes.at(inum);
  n.mode = (n.mode & kTypeMask) | (mode & 07777);
  return 0;
}

int tree_chown(tree& t, const std::string& path, uint32_t uid, uint32_t gid) {
  uint64_t inum;
  int rc = find(t, path, &inum);
  if (rc) return rc;
  t.inodes.at(inum).uid = uid;
  t.inodes.at(inum).gid = gid;
  return 0;
}

int tree_symlink(tree& t, const std::string& target, const std::string& path, int64_t now) {
  if (target.empty()) return -EINVAL;
  if (target.size() > kMaxInoData) return -ENAMETOOLONG;
  tnode n = made(kLnk | 0777, now, root_compr(t));
  n.inline_data.assign(target.begin(), target.end());
  return add_new(t, path, std::move(n));
}

int tree_rename(tree& t, const std::string& from, const std::string& to) {
  uint64_t fdir, tdir;
  std::string fname, tname;
  int rc = parent_of(t, from, &fdir, &fname);
  if (rc) return rc;
  auto& fkids = t.inodes.at(fdir).kids;
  auto src = fkids.find(fname);
  if (src == fkids.end()) return -ENOENT;
  rc = parent_of(t, to, &tdir, &tname);
  if (rc) return rc;
  uint64_t moving = src->second;
  bool is_dir = (t.inodes.at(moving).mode & kTypeMask) == kDir;
  auto fp = split(from), tp = split(to);
  if (fp == tp) return 0;
  if (is_dir && tp.size() > fp.size() && std::equal(fp.begin(), fp.end(), tp.begin())) return -EINVAL;
  auto& tkids = t.inodes.at(tdir).kids;
  auto dst = tkids.find(tname);
  if (dst != tkids.end()) {
    const tnode& d = t.inodes.at(dst->second);
    bool d_dir = (d.mode & kTypeMask) == kDir;
    if (dst->second == moving) return 0;  // two names of one inode: nothing to do
    if (d_dir && !is_dir) return -EISDIR;
    if (!d_dir && is_dir) return -ENOTDIR;
    if (d_dir && !d.kids.empty()) return -ENOTEMPTY;
  }
  fkids.erase(fname);
  t.inodes.at(tdir).kids[tname] = moving;
  return 0;
}

int tree_set_mtime(tree& t, const std::string& path, int64_t mtime) {
  uint64_t inum;
  int rc = find(t, path, &inum);
  if (rc) return rc;
  t.inodes.at(inum).mtime = uint64_t(mtime);
  t.inodes.at(inum).mtime_ns = 0;
  return 0;
}

int tree_mknod(tree& t, const std::string& path, uint32_t mode, uint32_t rdev, int64_t now) {
  uint32_t type = mode & kTypeMask;
  if (type != 0020000 && type != 0060000 && type != 0010000 && type != 0140000) return -EINVAL;
  tnode n = made(type | (mode & 07777), now, root_compr(t));
  if (type == 0020000 || type == 0060000) {
    n.inline_data.resize(4);
    store_le32(n.inline_data.data(), rdev);
  }
  return add_new(t, path, std::move(n));
}

int tree_link(tree& t, const std::string& from, const std::string& to) {
  uint64_t inum;
  int rc = find(t, from, &inum);
  if (rc) return rc;
  if ((t.inodes.at(inum).mode & kTypeMask) == kDir) return -EPERM;
  uint64_t dir;
  std::string name;
  rc = parent_of(t, to, &dir, &name);
  if (rc) return rc;
  if (t.inodes.at(dir).kids.count(name)) return -EEXIST;
  t.inodes.at(dir).kids[name] = inum;
  return 0;
}

int tree_set_xattrs(tree& t, const std::string& path, const xattrs& in) {
  uint64_t inum;
  int rc = find(t, path, &inum);
  if (rc) return rc;
  for (auto& [name, value] : in) {
    bool known = false;
    for (const char* pre : {"user.", "trusted.", "security."})
      known |= name.rfind(pre, 0) == 0 && name.size() > std::strlen(pre);
    if (!known || name.size() > kMaxName || name.find('\0') != std::string::npos) return -EOPNOTSUPP;
    if (value.size() > kMaxInoData) return -E2BIG;
  }
  std::vector<xattr_rec> xs;
  for (const auto& kv : in) {
    const std::string& name = kv.first;
    auto same = std::find_if(xs.begin(), xs.end(), [&](const xattr_rec& x) { return x.name == name; });
    if (same != xs.end())
      same->value = kv.second;
    else
      xs.push_back(xattr_rec{name, kv.second, 0});
  }
  t.inodes.at(inum).xattrs = std::move(xs);
  return 0;
}

// ---- a host directory ----------------------------------------------------

namespace {

struct host_walk {
  const mkfs_params& p;
  tree& t;
  uint16_t compr;
  std::map<std::pair<dev_t, ino_t>, uint64_t> seen;  // hard links
  std::string err;

  bool read_file(const std::string& path, size_t size, std::vector<uint8_t>* out) {
    std::ifstream f(path, std::ios::binary);
    out->resize(size);
    if (!f.read(reinterpret_cast<char*>(out->data()), std::streamsize(size))) {
      err = path + ": cannot be read";
      return false;
    }
    return true;
  }
  bool read_xattrs(const std::string& path, tnode* n) {
    ssize_t len = ::llistxattr(path.c_str(), nullptr, 0);
    if (len <= 0) return true;
    std::vector<char> names(static_cast<size_t>(len));
    len = ::llistxattr(path.c_str(), names.data(), names.size());
    if (len <= 0) return true;
    for (size_t i = 0; i < size_t(len);) {
      std::string name(names.data() + i);
      i += name.size() + 1;
      ssize_t vlen = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
      if (vlen < 0) continue;
      std::vector<uint8_t> v(static_cast<size_t>(vlen));
      vlen = ::lgetxattr(path.c_str(), name.c_str(), v.data(), v.size());
      if (vlen < 0) continue;
      v.resize(size_t(vlen));
      if (v.size() > kMaxInoData || name.size() > kMaxName) {
        err = path + ": xattr " + name + " too large for UBIFS";
        return false;
      }
      n->xattrs.push_back(xattr_rec{name, std::move(v), 0});
    }
    return true;
  }
  // The inode of `path` (stat `st`), numbered in walk order.
  bool add(const std::string& path, const struct stat& st, uint64_t inum) {
    tnode n;
    n.mode = st.st_mode;
    n.uid = p.squash_uids ? 0 : st.st_uid;
    n.gid = p.squash_uids ? 0 : st.st_gid;
    n.atime = uint64_t(st.st_atim.tv_sec), n.atime_ns = uint32_t(st.st_atim.tv_nsec);
    n.ctime = uint64_t(st.st_ctim.tv_sec), n.ctime_ns = uint32_t(st.st_ctim.tv_nsec);
    n.mtime = uint64_t(st.st_mtim.tv_sec), n.mtime_ns = uint32_t(st.st_mtim.tv_nsec);
    n.compr_type = compr;
    uint32_t type = st.st_mode & kTypeMask;
    if (type == kReg) {
      auto d = std::make_shared<std::vector<uint8_t>>();
      if (!read_file(path, size_t(st.st_size), d.get())) return false;
      n.size = d->size();
      n.fresh = std::move(d);
    } else if (type == kLnk) {
      std::vector<char> b(kMaxInoData + 1);
      ssize_t len = ::readlink(path.c_str(), b.data(), b.size());
      if (len <= 0 || size_t(len) > kMaxInoData) {
        err = path + ": link target cannot be stored";
        return false;
      }
      n.inline_data.assign(b.begin(), b.begin() + len);
    } else if (type == 0020000 || type == 0060000) {
      uint32_t ma = major(st.st_rdev), mi = minor(st.st_rdev);
      n.inline_data.resize(4);
      store_le32(n.inline_data.data(), (ma << 8) | (mi & 0xff) | ((mi & ~0xffu) << 12));
    } else if (type != kDir && type != 0010000 && type != 0140000) {
      err = path + ": of a type UBIFS cannot store";
      return false;
    }
    if (!read_xattrs(path, &n)) return false;
    t.inodes[inum] = std::move(n);
    return true;
  }
  bool dir(const std::string& path, uint64_t inum) {
    DIR* d = ::opendir(path.c_str());
    if (!d) {
      err = path + ": " + std::strerror(errno);
      return false;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (name.size() > kMaxName) return err = path + "/" + name + ": name too long", false;
      std::string sub = path + "/" + name;
      struct stat st {};
      if (::lstat(sub.c_str(), &st) != 0) return err = sub + ": " + std::strerror(errno), false;
      bool dir_ = S_ISDIR(st.st_mode);
      auto key = std::make_pair(st.st_dev, st.st_ino);
      if (!dir_ && st.st_nlink > 1) {
        auto it = seen.find(key);
        if (it != seen.end()) {
          t.inodes.at(inum).kids[name] = it->second;
          continue;
        }
      }
      uint64_t child = new_inum(t);
      if (!dir_ && st.st_nlink > 1) seen[key] = child;
      if (!add(sub, st, child)) return false;
      t.inodes.at(inum).kids[name] = child;
      if (dir_ && !dir(sub, child)) return false;
    }
    return true;
  }
};

uint32_t align_to(uint64_t v, uint32_t a) { return uint32_t((v + a - 1) / a * a); }

}  // namespace

bool build_from_dir(const std::string& dir, const mkfs_params& p, std::vector<uint8_t>* out, std::string* why) {
  static const char* comprs[] = {"none", "lzo", "zlib", "zstd"};
  int compr = -1;
  for (int i = 0; i < 4; ++i)
    if (p.compr == comprs[i]) compr = i;
  if (compr < 0) return *why = "unknown compressor " + p.compr, false;
  if (p.key_hash != "r5" && p.key_hash != "test") return *why = "unknown key hash " + p.key_hash, false;
  if (p.min_io == 0 || (p.min_io & (p.min_io - 1)) || p.min_io > p.leb_size)
    return *why = "the min. I/O unit must be a power of two no larger than a LEB", false;
  if (p.leb_size < 15 * 1024 || p.leb_size % p.min_io)
    return *why = "the LEB size must be at least 15 KiB and a multiple of the min. I/O unit", false;
  if (p.fanout < 3 || p.fanout > (p.leb_size - 28) / 20) return *why = "fanout out of range", false;
  if (p.orph_lebs < 1) return *why = "at least one orphan LEB is needed", false;
  if (p.log_lebs == 1) return *why = "at least two log LEBs are needed", false;

  // The journal, the log and the LPT sized as mkfs.ubifs sizes them.
  uint64_t bud = uint64_t(p.max_leb_cnt) * p.leb_size / 8 / p.leb_size * p.leb_size;
  bud = bud > p.leb_size ? bud - p.leb_size : p.leb_size;
  bud = std::min<uint64_t>(bud, 8u << 20);
  uint32_t log_lebs = p.log_lebs;
  if (!log_lebs) {
    uint64_t buds = (bud + p.leb_size - 1) / p.leb_size;
    uint64_t log_size = align_to(64, p.min_io) * buds + align_to(32 + 64 * 3, p.min_io);
    log_lebs = uint32_t((log_size + p.leb_size - 1) / p.leb_size) + 1 + 2;
  }
  uint32_t fixed = 3 + log_lebs + p.orph_lebs;
  if (p.max_leb_cnt < fixed + 2 + 3) return *why = "max. LEB count too small for this geometry", false;
  uint32_t lpt_lebs = 2, main_all = p.max_leb_cnt - fixed;
  bool big = false;
  // The LPT as the kernel sizes a default one: small model when it fits one LEB, four times its size in LEBs.
  uint64_t sz = lpt_size(main_all - lpt_lebs, p.max_leb_cnt, p.leb_size, p.min_io, lpt_lebs, false);
  if (sz > p.leb_size) {
    big = true;
    sz = lpt_size(main_all - lpt_lebs, p.max_leb_cnt, p.leb_size, p.min_io, lpt_lebs, true);
  }
  for (int i = 0;; ++i) {
    uint32_t need = uint32_t((sz * 4 + p.leb_size - 1) / p.leb_size);
    if (need <= lpt_lebs) break;
    if (i == 64 || need >= main_all) return *why = "no LPT size fits this geometry", false;
    lpt_lebs = need;
    sz = lpt_size(main_all - lpt_lebs, p.max_leb_cnt, p.leb_size, p.min_io, lpt_lebs, big);
  }

  volume_shape shape;
  shape.sb.assign(4096, 0);
  uint8_t* s = shape.sb.data();
  s[26] = p.key_hash == "test" ? 1 : 0;
  store_le32(s + 28, (big ? 0x02u : 0u) | (p.space_fixup ? 0x04u : 0u));
  store_le32(s + 32, p.min_io);
  store_le32(s + 36, p.leb_size);
  store_le32(s + 40, 0);  // as many as the tree needs
  store_le32(s + 44, p.max_leb_cnt);
  store_le64(s + 48, bud);
  store_le32(s + 56, log_lebs);
  store_le32(s + 60, lpt_lebs);
  store_le32(s + 64, p.orph_lebs);
  store_le32(s + 68, 1);  // journal heads
  store_le32(s + 72, p.fanout);
  store_le32(s + 76, 256);  // lsave entries
  store_le32(s + 80, 4);    // format version
  store_le16(s + 84, uint16_t(compr));
  store_le32(s + 104, 1000000000);  // time granularity: nanoseconds
  std::random_device rd;
  for (int i = 0; i < 16; i += 4) store_le32(s + 108 + i, rd());
  s[108 + 6] = uint8_t((s[108 + 6] & 0x0f) | 0x40);  // a random (version 4) UUID
  s[108 + 8] = uint8_t((s[108 + 8] & 0x3f) | 0x80);
  shape.max_lebs = p.max_leb_cnt;

  tree t;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return *why = dir + ": not a directory", false;
  host_walk w{p, t, uint16_t(compr), {}, {}};
  t.highest_inum = kFirstIno;
  if (!w.add(dir, st, 1)) return *why = w.err, false;
  tnode& root = t.inodes.at(1);
  if (p.root_mode) root.mode = kDir | (p.root_mode & 07777);
  if (p.root_uid >= 0) root.uid = uint32_t(p.root_uid);
  if (p.root_gid >= 0) root.gid = uint32_t(p.root_gid);
  if (!w.dir(dir, 1)) return *why = w.err, false;
  return write_volume(shape, t, out, why);
}

}  // namespace rs::ubifs
