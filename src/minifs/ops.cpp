// Path operations with reasons: attributes, walks, reads at an offset that
// decode only the blocks they need, and edits that either complete or leave
// the device as it was (a replace that does not fit keeps the old file).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "minifs/internal.h"
#include "util/report.h"
#include "util/endian.h"

using namespace minifs;

namespace {

uint32_t type_bits(const minifs_Object* o) {
  // Specials keep the type they stored.
  uint32_t bits = minifs::type_bits(o->Header.type);
  return bits ? bits : o->Header.mode & 0170000;
}

// Finds `path`: 0, -ENOENT, or -ENOTDIR when a component lies below a non-directory.
int lookup(minifs_device* dev, std::string_view path, minifs_Object** out) {
  minifs_Object* cur = dev->root;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view comp = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (comp.empty()) continue;
    if (!cur->is_dir()) return -ENOTDIR;
    minifs_Object* next = nullptr;
    for (minifs_Object* c : cur->children)
      if (c->Header.name == comp) {
        next = c;
        break;
      }
    if (!next) return -ENOENT;
    cur = next;
  }
  *out = cur;
  return 0;
}

// The directory a new entry at `path` goes into, its name, and what is there now.
int place(minifs_device* dev, const char* path, minifs_Object** parent, std::string* name, minifs_Object** existing) {
  std::string_view p(path ? path : "");
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  size_t slash = p.rfind('/');
  *name = std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
  if (name->empty()) return -EINVAL;  // the root
  int rc = lookup(dev, slash == std::string_view::npos ? std::string_view() : p.substr(0, slash), parent);
  if (rc) return rc;
  if (!(*parent)->is_dir()) return -ENOTDIR;
  *existing = nullptr;
  for (minifs_Object* c : (*parent)->children)
    if (c->Header.name == *name) *existing = c;
  if (!*existing && name->size() > size_t(kMaxName)) return -ENAMETOOLONG;
  return 0;
}

// A hard link reads as the object it names.
const minifs_Object* resolved(minifs_device* dev, const minifs_Object* o) {
  if (o->Header.type != OBJ_HARDLINK) return o;
  const minifs_Object* t = minifs_FindObjectById(dev, o->Header.equiv_id);
  return t && t->Header.type != OBJ_HARDLINK ? t : o;
}

void fill(minifs_device* dev, const minifs_Object* o, minifs_attr* a) {
  o = resolved(dev, o);
  const ObjectHeader& h = o->Header;
  a->mode = (h.mode & 07777) | type_bits(o);
  a->uid = h.uid;
  a->gid = h.gid;
  a->mtime = h.mtime;
  a->size = h.type == OBJ_FILE ? h.rawFileSize : h.type == OBJ_SYMLINK ? uint32_t(h.alias.size()) : 0;
  a->target = h.type == OBJ_SYMLINK ? h.alias : std::string();
}

bool bad_name(const std::string& n) { return n.empty() || n == "." || n == ".." || n.find('/') != std::string::npos; }

void walk_dir(minifs_device* dev, const minifs_Object* dir, const std::string& path, std::vector<minifs_node>* out) {
  std::vector<const minifs_Object*> kids(dir->children.begin(), dir->children.end());
  std::sort(kids.begin(), kids.end(),
            [](const minifs_Object* a, const minifs_Object* b) { return a->Header.name < b->Header.name; });
  for (const minifs_Object* c : kids) {
    // Such a name could not be reached by a path, and would lead a dump astray.
    if (bad_name(c->Header.name)) {
      rs::warn("warning: bad minifs name [%s] skipped\n", c->Header.name.c_str());
      continue;
    }
    minifs_node n;
    n.path = (path == "/" ? path : path + "/") + c->Header.name;
    fill(dev, c, &n.attr);
    out->push_back(n);
    if (c->is_dir()) walk_dir(dev, c, n.path, out);
  }
}

// Reads from the stored records: each 8192-byte block is a 12-byte header and
// its payload, one after the other; blocks outside the range are stepped over.
long long read_stored(minifs_Object* obj, uint8_t* dst, uint64_t offset, uint64_t end) {
  const char* name = obj->Header.name.c_str();
  std::vector<uint8_t> payload(kContentBlock), block(kContentBlock);
  uint32_t pos = 0;
  for (uint64_t b = 0; b * kContentBlock < end; ++b) {
    uint64_t lo = b * kContentBlock, hi = lo + kContentBlock;
    bool wanted = hi > offset;
    std::fill(block.begin(), block.end(), 0);
    uint8_t hdr[12];
    if (minifs_ReadDataFromObject(obj, hdr, pos, 12) == 12) {
      pos += 12;
      if (rs::load_le32(hdr) == kBlockMagic) {
        uint16_t size = rs::load_le16(hdr + 8);
        if (size > kContentBlock || hdr[10] != uint8_t((size >> 8) ^ size)) {
          rs::warn("warning: minifs %s: bad block header\n", name);
          return -EIO;
        }
        if (wanted) {
          if (minifs_ReadDataFromObject(obj, payload.data(), pos, size) != size) {
            rs::warn("warning: minifs %s: stored content cut short\n", name);
            return -EIO;
          }
          uint32_t crc = minifs_crc32(0, payload.data(), size), want = rs::load_le32(hdr + 4);
          if (crc != want) {
            rs::warn("warning: Block CRC error 0x%x : 0x%x\n", crc, want);
            return -EIO;
          }
          if (hdr[11]) {
            size_t n = kContentBlock;
            if (minifs_uncompress(block.data(), &n, payload.data(), size) != 0) {
              rs::warn("waring: uncompress error!\n");
              return -EIO;
            }
          } else {
            std::memcpy(block.data(), payload.data(), size);
          }
        }
        pos += size;
      }
    } else {
      pos = UINT32_MAX;  // past the stored content: the rest reads as zeros
    }
    if (!wanted) continue;
    uint64_t from = std::max(lo, offset), to = std::min(hi, end);
    std::memcpy(dst + (from - offset), block.data() + (from - lo), size_t(to - from));
  }
  return (long long)(end - offset);
}

// A new object with every attribute set before its first header is written.
minifs_Object* create(minifs_device* dev, minifs_Object* parent, const std::string& name, int type,
                      const ObjectHeader& like, const char* alias) {
  uint32_t bits = type == OBJ_FILE      ? 0100000
                  : type == OBJ_SYMLINK ? 0120000
                  : type == OBJ_SPECIAL ? like.mode & 0170000
                                        : 0040000;
  minifs_Object* obj = minifs_CreateNewObject(dev, parent, -1, type, like.uid, like.gid, (like.mode & 07777) | bits);
  if (!obj) return nullptr;
  obj->Header.name = name;
  obj->Header.atime = like.atime;
  obj->Header.mtime = like.mtime;
  obj->Header.ctime = like.ctime;
  if (alias) obj->Header.alias = alias;
  obj->dirty = true;
  if (minifs_UpdateObjectHeader(obj, nullptr, 0) <= 0) return nullptr;
  return obj;
}

// Runs `edit` as one operation: on failure every block it changed is put back.
template <typename Edit>
int atomically(minifs_device* dev, Edit edit) {
  if (!dev->usable) return -ENOSPC;  // a refused device has no page to write
  device_Begin(dev);
  int rc = edit();
  if (rc < 0)
    device_Rollback(dev);
  else
    device_Commit(dev);
  return rc;
}

int set_header(minifs_device* dev, const char* path, uint32_t mode, bool set_mode, uint32_t uid, uint32_t gid,
               bool set_owner) {
  if (!dev) return -EINVAL;
  minifs_Object* obj;
  int rc = lookup(dev, path ? path : "", &obj);
  if (rc) return rc;
  if (obj == dev->root) return -EINVAL;  // the root has no stored header
  obj = const_cast<minifs_Object*>(resolved(dev, obj));
  return atomically(dev, [&] {
    if (set_mode) obj->Header.mode = (obj->Header.mode & ~07777u) | (mode & 07777);
    if (set_owner) obj->Header.uid = uid, obj->Header.gid = gid;
    return minifs_UpdateObjectHeader(obj, nullptr, 1) > 0 ? 0 : -ENOSPC;
  });
}

}  // namespace

int minifs_stat(minifs_device* dev, const char* path, minifs_attr* out) {
  if (!dev || !out) return -EINVAL;
  minifs_Object* obj;
  int rc = lookup(dev, path ? path : "", &obj);
  if (rc) return rc;
  fill(dev, obj, out);
  return 0;
}

int minifs_walk(minifs_device* dev, const char* path, std::vector<minifs_node>* out) {
  if (!dev || !out) return -EINVAL;
  minifs_Object* obj;
  int rc = lookup(dev, path ? path : "", &obj);
  if (rc) return rc;
  if (!obj->is_dir()) return -ENOTDIR;
  minifs_node top;
  top.path = path && *path ? path : "/";
  fill(dev, obj, &top.attr);
  out->push_back(top);
  walk_dir(dev, obj, top.path, out);
  return 0;
}

long long minifs_pread(minifs_device* dev, const char* path, void* buf, size_t size, uint64_t offset) {
  if (!dev) return -EINVAL;
  minifs_Object* obj;
  int rc = lookup(dev, path ? path : "", &obj);
  if (rc) return rc;
  obj = const_cast<minifs_Object*>(resolved(dev, obj));
  if (obj->is_dir()) return -EISDIR;
  if (obj->Header.type != OBJ_FILE) return -EINVAL;
  // An open handle holds content not stored yet.
  if (obj->handle) {
    if (offset > UINT32_MAX) return 0;
    int n = minifs_read(obj->handle, buf, size, size_t(offset));
    return n < 0 ? -EIO : n;
  }
  uint32_t raw = obj->Header.rawFileSize;
  if (raw > kMaxFileSize) {
    rs::warn("warning: minifs %s: stored size %u is more than a file can hold\n", obj->Header.name.c_str(), raw);
    return -EIO;
  }
  if (offset >= raw || size == 0) return 0;
  uint64_t end = std::min<uint64_t>(raw, offset + std::min<uint64_t>(size, raw));
  return read_stored(obj, static_cast<uint8_t*>(buf), offset, end);
}

int minifs_put(minifs_device* dev, const char* path, const void* buf, size_t size, const minifs_put_attr* attr) {
  if (!dev || (!buf && size)) return -EINVAL;
  minifs_Object *parent, *old;
  std::string name;
  int rc = place(dev, path, &parent, &name, &old);
  if (rc) return rc;
  if (old && old->is_dir()) return -EISDIR;
  if (old && (old->Header.type != OBJ_FILE || old->handle)) return -EEXIST;
  if (size > kMaxFileSize) return -EFBIG;
  ObjectHeader like;
  like.mode = 0664;
  if (old) like = old->Header;
  if (attr && attr->has_mode) like.mode = attr->mode;
  if (attr && attr->has_owner) like.uid = attr->uid, like.gid = attr->gid;
  return atomically(dev, [&] {
    // The old file goes first, as a replace always did: it frees its pages for
    // the new content. Should that not fit, the rollback brings it back.
    if (old) minifs_DeleteObject(old);
    minifs_Object* obj = create(dev, parent, name, OBJ_FILE, like, nullptr);
    if (!obj) return -ENOSPC;
    if (size == 0) return 0;
    minifs_Handle* h = minifs_open(dev, path, 2, 0);
    if (!h) return -ENOSPC;
    int n = minifs_write(h, buf, size, 0);
    // The content reaches the pages on close; a store that ran out of pages fails there.
    if (minifs_close(h) != 0 || n != int(size)) return -ENOSPC;
    return 0;
  });
}

int minifs_remove(minifs_device* dev, const char* path) {
  if (!dev) return -EINVAL;
  minifs_Object* obj;
  int rc = lookup(dev, path ? path : "", &obj);
  if (rc) return rc;
  if (obj == dev->root) return -EINVAL;
  return atomically(dev, [&] { return minifs_DeleteObject(obj) ? 0 : -EINVAL; });
}

int minifs_make_dir(minifs_device* dev, const char* path, uint32_t mode, uint32_t uid, uint32_t gid) {
  if (!dev) return -EINVAL;
  minifs_Object *parent, *old;
  std::string name;
  int rc = place(dev, path, &parent, &name, &old);
  if (rc) return rc == -EINVAL ? -EEXIST : rc;  // the root exists
  if (old) return -EEXIST;
  ObjectHeader like;
  like.mode = mode, like.uid = uid, like.gid = gid;
  return atomically(dev, [&] { return create(dev, parent, name, OBJ_DIRECTORY, like, nullptr) ? 0 : -ENOSPC; });
}

int minifs_make_symlink(minifs_device* dev, const char* target, const char* path, uint32_t mode, uint32_t uid,
                        uint32_t gid) {
  if (!dev || !target || !*target) return -EINVAL;
  minifs_Object *parent, *old;
  std::string name;
  int rc = place(dev, path, &parent, &name, &old);
  if (rc) return rc == -EINVAL ? -EEXIST : rc;
  if (old) return -EEXIST;
  // A cut target would point somewhere else.
  if (std::strlen(target) > size_t(kMaxAlias)) return -ENAMETOOLONG;
  ObjectHeader like;
  like.mode = mode, like.uid = uid, like.gid = gid;
  return atomically(dev, [&] { return create(dev, parent, name, OBJ_SYMLINK, like, target) ? 0 : -ENOSPC; });
}

// Fifos and sockets only: an object header has no field for a device number.
int minifs_make_special(minifs_device* dev, const char* path, uint32_t mode, uint32_t uid, uint32_t gid) {
  if (!dev) return -EINVAL;
  uint32_t type = mode & 0170000;
  if (type == 0020000 || type == 0060000) return -EPERM;
  if (type != 0010000 && type != 0140000) return -EINVAL;
  minifs_Object *parent, *old;
  std::string name;
  int rc = place(dev, path, &parent, &name, &old);
  if (rc) return rc == -EINVAL ? -EEXIST : rc;
  if (old) return -EEXIST;
  ObjectHeader like;
  like.mode = mode, like.uid = uid, like.gid = gid;
  return atomically(dev, [&] { return create(dev, parent, name, OBJ_SPECIAL, like, nullptr) ? 0 : -ENOSPC; });
}

int minifs_chmod(minifs_device* dev, const char* path, uint32_t mode) {
  return set_header(dev, path, mode, true, 0, 0, false);
}

int minifs_chown(minifs_device* dev, const char* path, uint32_t uid, uint32_t gid) {
  return set_header(dev, path, 0, false, uid, gid, true);
}

namespace {
// True for "/", "" and the like: paths naming the root.
bool names_root(const char* path) {
  for (const char* p = path ? path : ""; *p; ++p)
    if (*p != '/') return false;
  return true;
}
}  // namespace

int minifs_rename(minifs_device* dev, const char* from, const char* to) {
  if (!dev || !from || !to) return -EINVAL;
  if (names_root(from) || names_root(to)) return -EBUSY;  // the root is the device itself
  minifs_Object* obj;
  int rc = lookup(dev, from, &obj);
  if (rc) return rc;
  minifs_Object *parent, *old;
  std::string name;
  rc = place(dev, to, &parent, &name, &old);
  if (rc) return rc;
  if (old == obj) return 0;
  if (bad_name(name)) return -EINVAL;
  // Moving a directory below itself would cut it off from the root.
  for (const minifs_Object* a = parent; a; a = a->parent)
    if (a == obj) return -EINVAL;
  if (old) {
    if (obj->is_dir() && !old->is_dir()) return -ENOTDIR;
    if (!obj->is_dir() && old->is_dir()) return -EISDIR;
    if (!old->children.empty()) return -ENOTEMPTY;  // also `to` being an ancestor of `from`
  }
  // Content still held by an open handle is not stored yet.
  if (obj->handle || (old && old->handle)) return -EBUSY;
  return atomically(dev, [&] {
    if (old) minifs_DeleteObject(old);
    minifs_Attach(obj, parent);
    // The object's one new header names its new place; should it not fit,
    // the rollback brings back the old header and whatever was at `to`.
    return minifs_UpdateObjectHeader(obj, name.c_str(), 1) > 0 ? 0 : -ENOSPC;
  });
}

int minifs_set_mtime(minifs_device* dev, const char* path, int64_t mtime) {
  if (!dev) return -EINVAL;
  if (mtime < 0 || mtime > int64_t(UINT32_MAX)) return -EOVERFLOW;
  minifs_Object* obj;
  int rc = lookup(dev, path ? path : "", &obj);
  if (rc) return rc;
  if (obj == dev->root) return -EINVAL;  // the root has no stored header
  obj = const_cast<minifs_Object*>(resolved(dev, obj));
  return atomically(dev, [&] {
    obj->Header.mtime = uint32_t(mtime);
    return minifs_UpdateObjectHeader(obj, nullptr, 1) > 0 ? 0 : -ENOSPC;
  });
}
