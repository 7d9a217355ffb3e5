// The in-memory tree: registration by path, ordered insertion, size
// accounting, listing and dumping.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs/internal.h"

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

bool valid_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

void register_node(entry* node) { hash_add(node->image->entry_table, node->path[0] ? node->path : "/", node); }

static void unregister_subtree(hash_t* table, entry* node) {
  for (entry* c = node->child; c; c = c->next) unregister_subtree(table, c);
  if (node->path && node->path[0]) hash_drop(table, node->path);
}

}  // namespace rs::cramfs

using namespace rs::cramfs;

static uint32_t dirent_len(const entry* e) { return 12 + ((uint32_t(strlen(e->name)) + 3) & ~3u); }

entry* cramfs_node_new(cramfs_data* image, const char* name, uint32_t mode, uint32_t size, uint32_t uid,
                       uint32_t gid) {
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
  free(e->path);
  e->path = strdup(path.c_str());
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
  free(node->name);
  free(node->path);
  free(node->buf);
  delete node;
}

void cramfs_free(entry* root) {
  if (!root) return;
  cramfs_data* image = root->parent ? nullptr : root->image;
  node_free(root);
  if (image) {
    hash_release(image->entry_table);
    delete image;
  }
}

entry* cramfs_find(entry* root, const char* path) {
  if (!root || !root->image || !path) return nullptr;
  return static_cast<entry*>(hash_get(root->image->entry_table, normalize_path(path).c_str()));
}

int cramfs_read(entry* root, const char* path, void* buf, size_t size, size_t offset) {
  entry* e = cramfs_find(root, path);
  if (!e || (e->mode & 0xF000) != 0x8000 || offset >= e->size || !e->buf) return 0;
  size_t n = std::min<size_t>(size, e->size - offset);
  memcpy(buf, e->buf + offset, n);
  return int(n);
}

int cramfs_cat(entry* root, const char* path) {
  entry* e = cramfs_find(root, path);
  if (!e) return 1;
  // Contents are printed as text, so they stop at the first NUL byte.
  std::string text;
  if (e->buf && (e->mode & 0xF000) == 0x8000) text.assign(reinterpret_cast<char*>(e->buf), e->size);
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

uint32_t cramfs_resize(entry* node) {
  long long ub = 76;  // superblock
  uint32_t total = resize_rec(node, ub);
  // Only the root's walk covers the whole image, so only it sets the bound.
  if (strcmp(node->name, "/") == 0) {
    ub = (ub + 4095) & ~4095LL;
    node->image->fslen_ub = ub > INT_MAX ? INT_MAX : int(ub);
  }
  return total;
}

// Splits a normalised path into its parent's path and its last component.
static bool split_path(const std::string& path, std::string& dir, std::string& name) {
  size_t slash = path.rfind('/');
  if (path == "/" || slash == std::string::npos) return false;
  dir = slash == 0 ? "/" : path.substr(0, slash);
  name = path.substr(slash + 1);
  return valid_name(name);
}

// A new node at `path`. A node already at that path is replaced when it is no
// directory and `replace` is set; otherwise the path is refused. Two nodes of
// one name would make an image whose readers see only one of them.
static entry* add_node(entry* root, const char* path, uint32_t mode, bool replace) {
  if (!root || !root->image) return nullptr;
  std::string p = normalize_path(path), dir, name;
  if (!split_path(p, dir, name)) return nullptr;
  entry* parent = static_cast<entry*>(hash_get(root->image->entry_table, dir.c_str()));
  if (!parent || (parent->mode & 0xF000) != 0x4000) return nullptr;
  if (entry* old = static_cast<entry*>(hash_get(root->image->entry_table, p.c_str()))) {
    if (!replace || (old->mode & 0xF000) == 0x4000) return nullptr;
    cramfs_rm(root, p.c_str());
  }
  entry* e = cramfs_node_new(root->image, name.c_str(), mode, 0, 0, 0);
  node_set_path(e, p);
  cramfs_reset_list(parent, e);
  register_node(e);
  parent->size += dirent_len(e);
  return e;
}

entry* cramfs_add_buffer(entry* root, const char* path, const void* buf, size_t size) {
  // The inode's size field has 24 bits: a larger file could only be stored cut short.
  if (size > 0xFFFFFF || (size && !buf)) return nullptr;
  uint8_t* copy = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (!copy) return nullptr;
  if (size) memcpy(copy, buf, size);
  entry* e = add_node(root, path, 0x81A4, true);
  if (!e) {
    free(copy);
    return nullptr;
  }
  e->buf = copy;
  e->size = uint32_t(size);
  root->size = cramfs_resize(root);
  return e;
}

entry* cramfs_add(entry* root, const char* path, const char* myfile) {
  std::vector<uint8_t> data;
  if (!rs::read_file(myfile, data)) return nullptr;
  return cramfs_add_buffer(root, path, data.data(), data.size());
}

entry* cramfs_mkdir(entry* root, const char* path) {
  entry* e = add_node(root, path, 0x41ED, false);
  if (!e) return nullptr;
  e->uid = e->parent->uid;
  e->gid = e->parent->gid;
  root->size = cramfs_resize(root);
  return e;
}

int cramfs_rm(entry* root, const char* path) {
  entry* e = cramfs_find(root, path);
  if (!e || !e->parent) return 0;  // the root is the partition's handle: never removed
  entry* parent = e->parent;
  if (e->prev)
    e->prev->next = e->next;
  else
    parent->child = e->next;
  if (e->next)
    e->next->prev = e->prev;
  else
    parent->last_child = e->prev;
  unregister_subtree(root->image->entry_table, e);
  parent->size -= dirent_len(e);
  node_free(e);
  root->size = cramfs_resize(root);
  return 0;
}

static void ls_rec(entry* node, std::vector<bool>& open_levels) {
  for (entry* c = node->child; c; c = c->next) {
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
  node->size = cramfs_resize(node);
}

int cramfs_ls(entry* root, int level) {
  if (!root) return 0;
  // The caller's level only indents: the ancestors above the listed node are not drawn.
  std::vector<bool> open_levels(level > 0 ? size_t(level) : 0, false);
  ls_rec(root, open_levels);
  return 0;
}

static void dump_rec(entry* node, const std::string& dir) {
  for (entry* c = node->child; c; c = c->next) {
    std::string host = dir + "/" + c->name;
    uint32_t type = c->mode & 0xF000;
    if (type == 0x4000) {
      // Only a real directory is entered: an entry of the same name dumped
      // before (a symbolic link) must not lead the dump out of `dir`.
      struct stat st;
      if (mkdir(host.c_str(), 0755) != 0 && (lstat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        printf("error: cramfs_dump %s is not a directory\n", host.c_str());
        continue;
      }
      dump_rec(c, host);
    } else if (type == 0x8000) {
      // A failed write keeps what was there (a full disk must not truncate an earlier dump).
      if (!rs::write_file_atomic(host, c->buf, c->buf ? c->size : 0))
        printf("error: cramfs_dump write %s failed, errno(%s)\n", host.c_str(), strerror(errno));
    } else if (type == 0xA000 && c->buf) {
      std::string target(reinterpret_cast<char*>(c->buf), c->size);
      unlink(host.c_str());
      if (symlink(target.c_str(), host.c_str()) != 0) continue;
    }
  }
}

int cramfs_dump(entry* root, const char* dir) {
  if (!root || !dir) return -1;
  if (mkdir(dir, 0755) != 0 && !rs::is_directory(dir)) return -1;
  dump_rec(root, dir);
  return 0;
}
