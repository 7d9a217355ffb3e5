// The in-memory tree: registration by path, ordered insertion, size
// accounting, listing and dumping.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs/internal.h"

cramfs_arena::~cramfs_arena() {
  for (const Chunk& c : chunks) {
    if (c.mapped)
      munmap(c.at, c.size);
    else
      free(c.at);
  }
}

bool cramfs_arena::grow(size_t n) {
  constexpr size_t kHuge = 2u << 20;
  size_t size = std::max(next, n + 16);
  if (next < 2 * kHuge) next *= 2;
  Chunk c{nullptr, size, false};
  if (size >= kHuge) {
    c.size = (size + kHuge - 1) & ~(kHuge - 1);
    void* raw = mmap(nullptr, c.size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return false;
    uintptr_t start = (reinterpret_cast<uintptr_t>(raw) + kHuge - 1) & ~uintptr_t(kHuge - 1);
    size_t lead = start - reinterpret_cast<uintptr_t>(raw);
    if (lead) munmap(raw, lead);
    if (kHuge - lead) munmap(reinterpret_cast<void*>(start + c.size), kHuge - lead);
    c.at = reinterpret_cast<void*>(start);
    c.mapped = true;
#ifdef MADV_HUGEPAGE
    madvise(c.at, c.size, MADV_HUGEPAGE);  // a hint: without it the chunk still works
#endif
  } else {
    c.at = malloc(size);
    if (!c.at) return false;
  }
  try {
    chunks.push_back(c);
  } catch (...) {
    if (c.mapped)
      munmap(c.at, c.size);
    else
      free(c.at);
    return false;
  }
  at = static_cast<uint8_t*>(c.at);
  left = c.size;
  return true;
}

namespace rs::cramfs {

std::string normalize_path(const char* path) {
  std::string out;
  if (!path) return out;
  for (const char* p = path; *p;) {
    while (*p == '/') ++p;
    if (!*p) break;
    const char* q = p;
    while (*q && *q != '/') ++q;
    out += '/';
    out.append(p, q);
    p = q;
  }
  return out.empty() ? "/" : out;
}

bool valid_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

void register_node(entry* node) {
  if (node->image->paths_pending) return;
  hash_add(node->image->entry_table, node->path[0] ? node->path : "/", node);
}

// A directory's children, then each subdirectory's in turn: the order the
// reader once registered them in, so the buckets' chains come out the same.
static void register_below(hash_t* table, entry* dir) {
  for (entry* c = dir->child; c; c = c->next) hash_add(table, c->path, c);
  for (entry* c = dir->child; c; c = c->next)
    if (c->child) register_below(table, c);
}

hash_t* path_table(cramfs_data* image) {
  if (image->paths_pending && image->root) {
    image->paths_pending = false;
    hash_reserve(image->entry_table, image->pending_nodes);
    hash_add(image->entry_table, "/", image->root);
    register_below(image->entry_table, image->root);
  }
  return image->entry_table;
}

// The node at the normalised `path`. While the path table is pending, a few
// lookups (one edit) walk the tree instead: each directory's children are in
// name order, so a walk stops at the first name past the one sought. Once the
// walks have cost as many steps as the tree has nodes, the table is filled.
// A tree with two siblings of one name is never walked: the table decides
// which of them a path names.
entry* lookup(cramfs_data* image, const char* path) {
  if (image->paths_pending && image->walkable && image->root && image->walked < image->pending_nodes) {
    entry* at = image->root;
    for (const char* p = path; *p == '/' && p[1];) {
      const char* name = p + 1;
      const char* end = strchr(name, '/');
      size_t len = end ? size_t(end - name) : strlen(name);
      entry* next = nullptr;
      for (entry* c = at->child; c; c = c->next) {
        ++image->walked;
        int cmp = strncmp(c->name, name, len);
        if (cmp == 0 && c->name[len] == 0) {
          next = c;
          break;
        }
        if (cmp >= 0) break;  // past it: a longer name with it as prefix sorts after it
      }
      if (!next) return nullptr;
      at = next;
      p = name + len;
    }
    return at;
  }
  return static_cast<entry*>(hash_get(path_table(image), path));
}

static void unregister_path(cramfs_data* image, const char* path) {
  if (!image->paths_pending) hash_drop(image->entry_table, path);
}

static void unregister_subtree(cramfs_data* image, entry* node) {
  for (entry* c = node->child; c; c = c->next) unregister_subtree(image, c);
  if (node->path && node->path[0]) unregister_path(image, node->path);
}

}  // namespace rs::cramfs

using namespace rs::cramfs;

static uint32_t dirent_len(const entry* e) { return 12 + ((uint32_t(strlen(e->name)) + 3) & ~3u); }

entry* cramfs_node_new(cramfs_data* image, const char* name, uint32_t mode, uint32_t size, uint32_t uid, uint32_t gid) {
  entry* e = new entry;
  e->name = strdup(name);
  e->path = strdup("");
  e->mode = mode;
  e->size = size;
  e->uid = uid;
  e->gid = gid;
  e->image = image;
  return e;
}

void node_set_path(entry* e, const std::string& path) {
  if (!(e->in_arena & CRAMFS_ARENA_PATH)) free(e->path);
  e->path = strdup(path.c_str());
  e->in_arena &= uint8_t(~CRAMFS_ARENA_PATH);
}

void inode_add_child(entry* node, entry* child) {
  child->parent = node;
  child->next = nullptr;
  child->prev = node->last_child;
  if (node->last_child)
    node->last_child->next = child;
  else
    node->child = child;
  node->last_child = child;
}

void cramfs_reset_list(entry* parent, entry* child) {
  for (entry* c = parent->child; c; c = c->next) {
    if (strcmp(child->name, c->name) < 0) {
      child->parent = parent;
      child->next = c;
      child->prev = c->prev;
      if (c->prev)
        c->prev->next = child;
      else
        parent->child = child;
      c->prev = child;
      return;
    }
  }
  inode_add_child(parent, child);
}

void node_free(entry* node) {
  if (!node) return;
  entry* c = node->child;
  while (c) {
    entry* n = c->next;
    node_free(c);
    c = n;
  }
  if (!(node->in_arena & CRAMFS_ARENA_NAME)) free(node->name);
  if (!(node->in_arena & CRAMFS_ARENA_PATH)) free(node->path);
  free(node->buf);
  if (!(node->in_arena & CRAMFS_ARENA_NODE)) delete node;  // an arena's node goes with its tree
}

void cramfs_free(entry* root) {
  if (!root) return;
  cramfs_data* image = root->parent ? nullptr : root->image;
  node_free(root);
  if (image) {
    hash_release(image->entry_table);
    delete image->arena;
    free(image->owned);
    free(image->page_cache);
    delete image;
  }
}

hash_t* cramfs_paths(entry* root) { return root && root->image ? path_table(root->image) : nullptr; }

entry* cramfs_find(entry* root, const char* path) {
  if (!root || !root->image || !path) return nullptr;
  return lookup(root->image, normalize_path(path).c_str());
}

int cramfs_read(entry* root, const char* path, void* buf, size_t size, size_t offset) {
  entry* e = cramfs_find(root, path);
  if (!e || (e->mode & 0xF000) != 0x8000 || offset >= e->size) return 0;
  long long n = cramfs_entry_pread(e, buf, std::min<size_t>(size, INT_MAX), offset);
  return n < 0 ? -1 : int(n);
}

long long cramfs_pread(entry* root, const char* path, void* buf, size_t size, uint64_t offset) {
  entry* e = cramfs_find(root, path);
  if (!e) return -ENOENT;
  if ((e->mode & 0xF000) == 0x4000) return -EISDIR;
  if ((e->mode & 0xF000) != 0x8000 || (size && !buf)) return -EINVAL;
  return cramfs_entry_pread(e, buf, size, offset);
}

int cramfs_cat(entry* root, const char* path) {
  entry* e = cramfs_find(root, path);
  if (!e) return 1;
  // Contents are printed as text, so they stop at the first NUL byte.
  std::string text;
  if ((e->mode & 0xF000) == 0x8000 && e->size) {
    text.resize(e->size);
    if (cramfs_entry_pread(e, text.data(), text.size(), 0) < 0) return 1;
  }
  printf("%s\n", text.c_str());
  return 0;
}

static uint32_t resize_rec(entry* node, long long& ub) {
  uint32_t total = 0;
  for (entry* c = node->child; c; c = c->next) {
    uint32_t e = dirent_len(c);
    ub += e;
    total += e;
    uint32_t type = c->mode & 0xF000;
    if (type == 0x4000) {
      c->size = resize_rec(c, ub);
    } else if ((type == 0x8000 || type == 0xA000) && c->size) {
      if (c->size > 0xFFFFFF) c->size = 0xFFFFFF;
      ub += c->size + 3 + 30LL * ((c->size + 4095) / 4096);
    }
  }
  return total;
}

static void set_bound(cramfs_data* img, long long raw) {
  img->ub_raw = raw;
  long long ub = (raw + 4095) & ~4095LL;
  img->fslen_ub = ub > INT_MAX ? INT_MAX : int(ub);
}

uint32_t cramfs_resize(entry* node) {
  long long ub = 76;  // superblock
  uint32_t total = resize_rec(node, ub);
  // Only the root's walk covers the whole image, so only it sets the bound.
  if (strcmp(node->name, "/") == 0) set_bound(node->image, ub);
  return total;
}

// What one entry adds to the size bound, as resize_rec counts it. Edits keep
// the bound by these differences: a walk of the whole tree per edit would
// make a script of edits on a large tree cost its size each time.
static long long entry_bound(const entry* c) {
  long long ub = dirent_len(c);
  uint32_t type = c->mode & 0xF000;
  if ((type == 0x8000 || type == 0xA000) && c->size) {
    uint32_t size = std::min<uint32_t>(c->size, 0xFFFFFF);
    ub += size + 3 + 30LL * ((size + 4095) / 4096);
  }
  return ub;
}

static long long subtree_bound(const entry* e) {
  long long ub = entry_bound(e);
  for (const entry* c = e->child; c; c = c->next) ub += subtree_bound(c);
  return ub;
}

static void bound_add(entry* root, long long delta) { set_bound(root->image, root->image->ub_raw + delta); }

// Splits a normalised path into its parent's path and its last component.
static bool split_path(const std::string& path, std::string& dir, std::string& name) {
  size_t slash = path.rfind('/');
  if (path == "/" || slash == std::string::npos) return false;
  dir = slash == 0 ? "/" : path.substr(0, slash);
  name = path.substr(slash + 1);
  return valid_name(name);
}

constexpr size_t kMaxNameLen = 252;  // 63 units of 4 bytes in an inode
constexpr uint32_t kTypeMask = 0xF000, kDir = 0x4000, kReg = 0x8000, kLink = 0xA000;

static bool is_dir(const entry* e) { return (e->mode & kTypeMask) == kDir; }

// The parent directory of the normalised `path` and its last component.
// -EINVAL for the root or a name no inode may carry, -ENOENT for a missing
// ancestor, -ENOTDIR for an ancestor that is no directory, -ENAMETOOLONG for a
// name above 252 bytes when `strict`.
static int lookup_parent(entry* root, const std::string& path, bool strict, entry** parent, std::string* name) {
  std::string dir;
  if (!split_path(path, dir, *name)) return -EINVAL;
  if (strict && name->size() > kMaxNameLen) return -ENAMETOOLONG;
  entry* p = lookup(root->image, dir.c_str());
  if (p && is_dir(p)) {
    *parent = p;
    return 0;
  }
  // Which ancestor is missing or no directory decides the reason.
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at != dir.size() && dir[at] != '/') continue;
    entry* a = lookup(root->image, dir.substr(0, at).c_str());
    if (!a) return -ENOENT;
    if (!is_dir(a)) return -ENOTDIR;
  }
  return -ENOENT;
}

// A new node named `name` below `parent` at the normalised path `p`, in name order.
static entry* insert_node(entry* root, entry* parent, const std::string& p, const std::string& name, uint32_t mode,
                          uint32_t uid, uint32_t gid) {
  entry* e = cramfs_node_new(root->image, name.c_str(), mode, 0, uid, gid);
  node_set_path(e, p);
  cramfs_reset_list(parent, e);
  register_node(e);
  parent->size += dirent_len(e);
  return e;
}

// The body of cramfs_put / cramfs_add_buffer; `strict` refuses overlong names.
static int put_file(entry* root, const char* path, const void* buf, size_t size, int32_t mode, int64_t uid, int64_t gid,
                    bool strict, entry** out) {
  if (!root || !root->image || !path) return -EINVAL;
  std::string p = normalize_path(path), name;
  if (p == "/") return -EISDIR;
  entry* parent = nullptr;
  int rc = lookup_parent(root, p, strict, &parent, &name);
  if (rc != 0) return rc;
  entry* old = lookup(root->image, p.c_str());
  if (old && is_dir(old)) return -EISDIR;
  // The inode's size field has 24 bits: a larger file could only be stored cut short.
  if (size > 0xFFFFFF) return -EFBIG;
  if ((size && !buf) || uid > 0xFFFF || gid > 0xFF) return -EINVAL;
  uint8_t* copy = static_cast<uint8_t*>(malloc(size + 1));
  if (!copy) return -ENOMEM;
  if (size) memcpy(copy, buf, size);
  copy[size] = 0;
  entry* e = old;
  const long long was = old ? entry_bound(old) : 0;
  if (e) {
    // Replaced in place: the node keeps its place, path and attributes.
    if ((e->mode & kTypeMask) != kReg) e->mode = kReg | 0644;
    cramfs_drop_content(e);
  } else {
    e = insert_node(root, parent, p, name, kReg | 0644, 0, 0);
  }
  if (mode >= 0) e->mode = kReg | (uint32_t(mode) & 07777);
  if (uid >= 0) e->uid = uint32_t(uid);
  if (gid >= 0) e->gid = uint32_t(gid);
  e->buf = copy;
  e->size = uint32_t(size);
  bound_add(root, entry_bound(e) - was);
  if (out) *out = e;
  return 0;
}

void cramfs_drop_content(entry* e) {
  free(e->buf);
  e->buf = nullptr;
  e->src = 0;
  e->size = 0;
  e->flags &= uint8_t(~(CRAMFS_MD5_DONE | CRAMFS_NO_CONTENT | CRAMFS_TABLE_CHECKED));
}

entry* cramfs_add_buffer(entry* root, const char* path, const void* buf, size_t size) {
  entry* e = nullptr;
  return put_file(root, path, buf, size, -1, -1, -1, false, &e) == 0 ? e : nullptr;
}

int cramfs_put(entry* root, const char* path, const void* buf, size_t size, int32_t mode, int64_t uid, int64_t gid) {
  return put_file(root, path, buf, size, mode, uid, gid, true, nullptr);
}

entry* cramfs_add(entry* root, const char* path, const char* myfile) {
  std::vector<uint8_t> data;
  if (!rs::read_file(myfile, data)) return nullptr;
  return cramfs_add_buffer(root, path, data.data(), data.size());
}

// A new directory or link at `path`: -EEXIST when the path exists.
static int add_new(entry* root, const char* path, uint32_t mode, bool strict, entry** out) {
  if (!root || !root->image || !path) return -EINVAL;
  std::string p = normalize_path(path), name;
  if (p == "/") return -EEXIST;
  entry* parent = nullptr;
  int rc = lookup_parent(root, p, strict, &parent, &name);
  if (rc != 0) return rc;
  if (lookup(root->image, p.c_str())) return -EEXIST;
  *out = insert_node(root, parent, p, name, mode, 0, 0);
  return 0;
}

entry* cramfs_mkdir(entry* root, const char* path) {
  entry* e = nullptr;
  if (add_new(root, path, kDir | 0755, false, &e) != 0) return nullptr;
  e->uid = e->parent->uid;
  e->gid = e->parent->gid;
  bound_add(root, entry_bound(e));
  return e;
}

int cramfs_mkdir_mode(entry* root, const char* path, uint32_t mode) {
  entry* e = nullptr;
  int rc = add_new(root, path, kDir | (mode & 07777), true, &e);
  if (rc != 0) return rc;
  e->uid = e->parent->uid;
  e->gid = e->parent->gid;
  bound_add(root, entry_bound(e));
  return 0;
}

int cramfs_symlink(entry* root, const char* target, const char* path) {
  if (!target || !*target) return -EINVAL;
  size_t len = strlen(target);
  if (len > 4096) return -ENAMETOOLONG;  // the reader takes link targets of one page
  char* copy = strdup(target);
  if (!copy) return -ENOMEM;
  entry* e = nullptr;
  int rc = add_new(root, path, kLink | 0777, true, &e);
  if (rc != 0) {
    free(copy);
    return rc;
  }
  e->buf = reinterpret_cast<uint8_t*>(copy);
  e->size = uint32_t(len);
  bound_add(root, entry_bound(e));
  return 0;
}

int cramfs_mknod(entry* root, const char* path, uint32_t mode, uint32_t rdev) {
  uint32_t type = mode & kTypeMask;
  bool device = type == 0x2000 || type == 0x6000;
  if (!device && type != 0x1000 && type != 0xC000) return -EINVAL;
  // The size field keeps the number as the kernel decodes it: 8-bit major and minor.
  if (device && rdev > 0xFFFF) return -EOVERFLOW;
  entry* e = nullptr;
  int rc = add_new(root, path, type | (mode & 07777), true, &e);
  if (rc != 0) return rc;
  e->size = device ? rdev : 0;
  bound_add(root, entry_bound(e));
  return 0;
}

int cramfs_chmod(entry* root, const char* path, uint32_t mode) {
  entry* e = cramfs_find(root, path);
  if (!e) return -ENOENT;
  e->mode = (e->mode & kTypeMask) | (mode & 07777);
  return 0;
}

int cramfs_chown(entry* root, const char* path, uint32_t uid, uint32_t gid) {
  entry* e = cramfs_find(root, path);
  if (!e) return -ENOENT;
  if (uid > 0xFFFF || gid > 0xFF) return -EINVAL;
  e->uid = uid;
  e->gid = gid;
  return 0;
}

int cramfs_remove(entry* root, const char* path) {
  entry* e = cramfs_find(root, path);
  if (!e) return -ENOENT;
  if (!e->parent) return -EBUSY;
  return cramfs_rm(root, path);
}

static void unlink_child(entry* e);

int cramfs_rm(entry* root, const char* path) {
  entry* e = cramfs_find(root, path);
  if (!e || !e->parent) return 0;  // the root is the partition's handle: never removed
  const long long gone = subtree_bound(e);
  unlink_child(e);
  unregister_subtree(root->image, e);
  node_free(e);
  bound_add(root, -gone);
  return 0;
}

// Unlinks `e` from its parent's list of children (not from the path table).
static void unlink_child(entry* e) {
  entry* parent = e->parent;
  if (e->prev)
    e->prev->next = e->next;
  else
    parent->child = e->next;
  if (e->next)
    e->next->prev = e->prev;
  else
    parent->last_child = e->prev;
  e->next = e->prev = nullptr;
  parent->size -= dirent_len(e);
}

// `path` for `e` and everything below it, each registered under its new path.
static void repath_subtree(entry* e, const std::string& path) {
  node_set_path(e, path);
  register_node(e);
  for (entry* c = e->child; c; c = c->next) repath_subtree(c, path + "/" + c->name);
}

int cramfs_rename(entry* root, const char* from, const char* to) {
  if (!root || !root->image || !from || !to) return -EINVAL;
  std::string src = normalize_path(from), dst = normalize_path(to), name;
  if (src == "/" || dst == "/") return -EBUSY;  // the root is the partition's handle
  entry* src_parent = nullptr;
  std::string src_name;
  int rc = lookup_parent(root, src, false, &src_parent, &src_name);
  if (rc != 0) return rc;
  cramfs_data* image = root->image;
  entry* e = lookup(image, src.c_str());
  if (!e) return -ENOENT;
  entry* parent = nullptr;
  rc = lookup_parent(root, dst, true, &parent, &name);
  if (rc != 0) return rc;
  if (src == dst) return 0;
  if (is_dir(e) && dst.compare(0, src.size() + 1, src + "/") == 0) return -EINVAL;
  entry* old = lookup(image, dst.c_str());
  if (old) {
    if (is_dir(e) && !is_dir(old)) return -ENOTDIR;
    if (!is_dir(e) && is_dir(old)) return -EISDIR;
    if (old->child) return -ENOTEMPTY;  // also covers `to` being an ancestor of `from`
  }
  char* new_name = strdup(name.c_str());
  if (!new_name) return -ENOMEM;
  long long delta = -entry_bound(e) - (old ? subtree_bound(old) : 0);
  if (old) {
    unlink_child(old);
    unregister_path(image, old->path);
    node_free(old);
  }
  unlink_child(e);
  unregister_subtree(image, e);
  if (!(e->in_arena & CRAMFS_ARENA_NAME)) free(e->name);
  e->name = new_name;
  e->in_arena &= uint8_t(~CRAMFS_ARENA_NAME);
  cramfs_reset_list(parent, e);
  parent->size += dirent_len(e);
  repath_subtree(e, dst);
  bound_add(root, delta + entry_bound(e));
  return 0;
}

// Each directory's listing size is summed as it is drawn (one walk, not one
// per level: a deep tree would otherwise cost its depth times its size).
static void ls_rec(entry* node, std::vector<bool>& open_levels) {
  uint32_t listing = 0;
  for (entry* c = node->child; c; c = c->next) {
    listing += dirent_len(c);
    for (bool open : open_levels) fputs(open ? "|   " : "    ", stdout);
    printf(c->next ? "|-- %s" : "`-- %s", c->name);
    if ((c->mode & 0xF000) == 0x8000)
      printf("\t\t(%d)\n", int(c->size));
    else
      fputs("\n", stdout);
    if ((c->mode & 0xF000) == 0x4000) {
      open_levels.push_back(c->next != nullptr);
      ls_rec(c, open_levels);
      open_levels.pop_back();
    }
  }
  node->size = listing;
}

int cramfs_ls(entry* root, int level) {
  if (!root) return 0;
  // The caller's level only indents: the ancestors above the listed node are not drawn.
  std::vector<bool> open_levels(level > 0 ? size_t(level) : 0, false);
  ls_rec(root, open_levels);
  // Clamps file sizes and, for the root, refreshes the image's size bound.
  root->size = cramfs_resize(root);
  return 0;
}
