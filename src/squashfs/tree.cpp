// The adapter: the in-memory tree and the operations the image core calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "squashfs/format2.h"
#include "squashfs/format3.h"
#include "squashfs/internal.h"
#include "squashfs/squashfs.h"
#include "util/endian.h"
#include "util/fileio.h"
#include "util/mapping.h"

namespace rs::sqfs {

void report(const char* func, int line) { fprintf(stderr, "squashfs error: [%s %d]\n", func, line); }

bool refuse(squashfs_data* img, std::string why) {
  if (img && img->refusal.empty()) img->refusal = std::move(why);
  return false;
}

std::string over_budget_text(uint64_t budget, uint64_t table_bytes) {
  char why[200];
  snprintf(why, sizeof why,
           "tree larger than its tables can hold: more than %llu MiB in memory for %llu KiB of inode and "
           "directory tables",
           (unsigned long long)(budget >> 20), (unsigned long long)(table_bytes >> 10));
  return why;
}

namespace {

const char* compressor4_name(uint16_t id) {
  static const char* const names[] = {nullptr, "gzip", "lzma", "lzo", "xz", "lz4", "zstd"};
  return id < 7 && names[id] ? names[id] : "unknown";
}

}  // namespace

std::string describe_image(const uint8_t* buf, size_t size) {
  char line[256];
  if (!buf || size < 4) {
    snprintf(line, sizeof line, "image of %zu bytes", buf ? size : size_t(0));
    return line;
  }
  bool le = rs::load_le32(buf) == 0x73717368u || rs::load_le32(buf) == 0x71736873u;
  bool be = rs::load_be32(buf) == 0x73717368u || rs::load_be32(buf) == 0x71736873u;
  if (!le && !be) {
    snprintf(line, sizeof line, "no squashfs magic (bytes %02x %02x %02x %02x)", buf[0], buf[1], buf[2], buf[3]);
    return line;
  }
  if (size < 32) {
    snprintf(line, sizeof line, "squashfs superblock cut short (%zu bytes)", size);
    return line;
  }
  auto u16 = [&](size_t at) { return be ? rs::load_be16(buf + at) : rs::load_le16(buf + at); };
  auto u32 = [&](size_t at) { return be ? rs::load_be32(buf + at) : rs::load_le32(buf + at); };
  unsigned major = u16(28), minor = u16(30);
  const char* order = be ? "big-endian" : "little-endian";
  int n = snprintf(line, sizeof line, "squashfs %u:%u, %s", major, minor, order);
  std::string out(line, size_t(n));
  if (major >= 4) {
    if (size >= 24) {
      unsigned id = u16(20);
      snprintf(line, sizeof line, ", compressor %u (%s), block size %u", id, compressor4_name(uint16_t(id)), u32(12));
      out += line;
    }
    return out;
  }
  // 1.x to 3.x name no compressor: the magic and the minor tell the blocks' kind.
  bool lzma_magic = (be ? rs::load_be32(buf) : rs::load_le32(buf)) == 0x71736873u;
  const char* kind = minor == 76 ? "lzma ('L' kind, minor 76)" : lzma_magic ? "zlib or lzma (magic shsq)" : "zlib";
  if (size >= 55 && major >= 2)
    snprintf(line, sizeof line, ", compressor %s, block size %u", kind, u32(51));
  else
    snprintf(line, sizeof line, ", compressor %s", kind);
  return out + line;
}

void build_fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char line[512];
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  throw BuildError{line};
}

bool compressor_failure_forced() {
  const char* v = getenv("ROMSMITH_TEST_FAIL_COMPRESSOR");
  return v && !strcmp(v, "1");
}

bool valid_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::vector<squashfs_entry*> sorted_children(squashfs_entry* dir) {
  if (!squashfs_expand(dir))
    build_fail("FATAL ERROR:the entries of %s do not read\n", dir->path.empty() ? "/" : dir->path.c_str());
  std::vector<squashfs_entry*> v;
  for (squashfs_entry* c = dir->child; c; c = c->next) v.push_back(c);
  std::stable_sort(v.begin(), v.end(), [](auto* a, auto* b) { return a->name < b->name; });
  std::vector<squashfs_entry*> out;
  for (auto* c : v) {
    if (!out.empty() && out.back()->name == c->name)
      out.back() = c;
    else
      out.push_back(c);
  }
  return out;
}

}  // namespace rs::sqfs

using namespace rs::sqfs;

namespace {

constexpr size_t kMaxPath = 255;

// Paths from the core may lack the leading slash or carry doubled ones
// ("ROOT//dvb/x" hands over "/dvb/x"); the table keys are "/a/b", root "/".
std::string normalise(const char* path) {
  std::string out = "/";
  if (!path) return out;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' && out.back() == '/') continue;
    out += *p;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

squashfs_entry* lookup(squashfs_entry* root, const std::string& key) {
  if (!root || !root->image) return nullptr;
  auto& tbl = root->image->entry_table;
  auto it = tbl.find(key);
  if (it != tbl.end()) return it->second;
  if (!root->image->unread_dirs || key.size() < 2) return nullptr;
  // Not met yet: read the directories on the way down, each once.
  squashfs_entry* dir = root->image->root_entry;
  for (size_t end = key.find('/', 1);; end = key.find('/', end + 1)) {
    if (!dir || !is_dir(dir) || !squashfs_expand(dir)) return nullptr;
    it = tbl.find(end == std::string::npos ? key : key.substr(0, end));
    if (it == tbl.end()) return nullptr;
    if (end == std::string::npos) return it->second;
    dir = it->second;
  }
}

void link_last(squashfs_entry* parent, squashfs_entry* e) {
  e->parent = parent;
  e->next = nullptr;
  e->prev = parent->last_child;
  if (parent->last_child)
    parent->last_child->next = e;
  else
    parent->child = e;
  parent->last_child = e;
}

// Keeps the child list in strcmp order: in front of the first greater name.
void link_ordered(squashfs_entry* parent, squashfs_entry* e) {
  squashfs_entry* c = parent->child;
  while (c && strcmp(e->name.c_str(), c->name.c_str()) >= 0) c = c->next;
  if (!c) return link_last(parent, e);
  e->parent = parent;
  e->next = c;
  e->prev = c->prev;
  if (c->prev)
    c->prev->next = e;
  else
    parent->child = e;
  c->prev = e;
}

void unlink_node(squashfs_entry* e) {
  squashfs_entry* p = e->parent;
  if (e->prev)
    e->prev->next = e->next;
  else if (p)
    p->child = e->next;
  if (e->next)
    e->next->prev = e->prev;
  else if (p)
    p->last_child = e->prev;
  e->parent = e->next = e->prev = nullptr;
}

// Releases a node and its descendants, dropping their paths from the table.
// `unregister`: a removal from a tree that lives on, which records what the
// node took from the image for a save of a tree not read in full.
void destroy(squashfs_entry* e, bool unregister) {
  squashfs_entry* c = e->child;
  while (c) {
    squashfs_entry* n = c->next;
    destroy(c, unregister);
    c = n;
  }
  if (e->image) e->image->by_ino_valid = false;
  if (e->unread && e->image) --e->image->unread_dirs;
  if (unregister && e->image && e->loaded_sig && e->image_links <= 1) {
    squashfs_data* img = e->image;
    if (e->stbuf.st_ino > 0 && e->stbuf.st_ino <= ino_t(UINT32_MAX)) img->freed_numbers.push_back(uint32_t(e->stbuf.st_ino));
    if (is_reg(e) && e->stored.valid && !e->content_loaded) {
      uint64_t n = 0;
      for (uint32_t w : e->stored.block_words) n += w & 0x00FFFFFFu;
      img->dropped_files.push_back({e->stored.start, e->stored.start + n, e->stored.fragment});
    }
  }
  if (unregister && e->image) {
    auto& tbl = e->image->entry_table;
    auto it = tbl.find(e->path.empty() ? std::string("/") : e->path);
    if (it != tbl.end() && it->second == e) tbl.erase(it);
  }
  delete e;
}

void split(const std::string& key, std::string& dir, std::string& base) {
  size_t slash = key.rfind('/');
  dir = slash == 0 ? "/" : key.substr(0, slash);
  base = key.substr(slash + 1);
}

// A new node under `parent`; a fresh inode number, so that it never joins a
// hard-link group of the node it replaces.
squashfs_entry* new_child(squashfs_entry* parent, const std::string& key, const std::string& base, int type, int mode) {
  squashfs_data* img = parent->image;
  squashfs_inode ino;
  ino.type = type;
  ino.mode = mode;
  ino.time = time(nullptr);
  ino.inode_number = img->last_node;
  if (img->last_node < INT32_MAX) ++img->last_node;
  squashfs_entry* e = squashfs_entry_new(img, base.c_str(), &ino, nullptr);
  e->path = key;
  link_ordered(parent, e);
  img->entry_table[key] = e;
  return e;
}

squashfs_entry* add_node(squashfs_entry* root, const char* path, int type, int mode) {
  if (!root || !root->image) return nullptr;
  std::string key = normalise(path);
  if (key == "/" || key.size() > kMaxPath) return nullptr;
  std::string dir, base;
  split(key, dir, base);
  if (!valid_name(base)) return nullptr;
  squashfs_entry* parent = lookup(root, dir);
  if (!parent || !is_dir(parent) || !squashfs_expand(parent)) return nullptr;
  if (squashfs_entry* old = lookup(root, key)) {
    // Two nodes of one name would make the rebuilt directory invalid, so a
    // file replaces its predecessor; a directory is never replaced implicitly.
    if (is_dir(old) || type == 1) return nullptr;
    squashfs_rm(root, key.c_str());
  }
  return new_child(parent, key, base, type, mode);
}

// Resolves the directory that will hold `key`: -ENOENT when a component is
// missing, -ENOTDIR when one is not a directory, -EINVAL for the root or a
// name no directory entry may carry.
int parent_for(squashfs_entry* root, const std::string& key, squashfs_entry** parent, std::string* base) {
  if (!root || !root->image) return -EINVAL;
  if (key == "/") return -EINVAL;
  if (key.size() > kMaxPath) return -ENAMETOOLONG;
  std::string dir;
  split(key, dir, *base);
  if (!valid_name(*base)) return -EINVAL;
  // Each ancestor in turn, so that a file in the middle reads as -ENOTDIR.
  for (size_t end = dir.find('/', 1); dir != "/"; end = dir.find('/', end + 1)) {
    squashfs_entry* p = lookup(root, dir.substr(0, end));
    if (!p) return -ENOENT;
    if (!is_dir(p)) return -ENOTDIR;
    if (end == std::string::npos) break;
  }
  *parent = lookup(root, dir);
  if (!*parent) return -ENOENT;
  if (!is_dir(*parent)) return -ENOTDIR;
  return squashfs_expand(*parent) ? 0 : -EIO;
}

// The other names of a non-directory's inode (hard links), the given one
// included; null when it has none recorded. Made once per change of the tree.
const std::vector<squashfs_entry*>* links_recorded(squashfs_entry* e) {
  squashfs_data* img = e->image;
  // The other names of an inode the image links more than once may lie in
  // directories not read yet.
  if (img->unread_dirs && e->image_links > 1 && img->root_entry) squashfs_load_all(img->root_entry);
  if (!img->by_ino_valid) {
    img->by_ino.clear();
    for (auto& [k, o] : img->entry_table)
      if (!is_dir(o)) img->by_ino[uint64_t(o->stbuf.st_ino)].push_back(o);
    img->by_ino_valid = true;
  }
  auto it = img->by_ino.find(uint64_t(e->stbuf.st_ino));
  return it == img->by_ino.end() || it->second.empty() ? nullptr : &it->second;
}

// Entries sharing an inode (hard links), the given one included.
std::vector<squashfs_entry*> links_of(squashfs_entry* e) {
  if (is_dir(e) || !e->image) return {e};
  const std::vector<squashfs_entry*>* links = links_recorded(e);
  return links ? *links : std::vector<squashfs_entry*>{e};
}

void ls_level(squashfs_entry* node, int level, std::vector<squashfs_entry*>& anc) {
  squashfs_expand(node);
  for (squashfs_entry* c = node->child; c; c = c->next) {
    for (int d = 0; d < level; ++d) fputs(anc[d]->next ? "|   " : "    ", stdout);
    printf(c->next ? "|-- %s" : "`-- %s", c->name.c_str());
    if (is_reg(c))
      printf("\t\t(%lld)\n", static_cast<long long>(c->cur_inode.data));
    else
      fputs("\n", stdout);
    if (is_dir(c)) {
      if (anc.size() <= size_t(level)) anc.resize(level + 1);
      anc[level] = c;
      ls_level(c, level + 1, anc);
    }
  }
}

}  // namespace

squashfs_entry* squashfs_entry_new(squashfs_data* image, const char* name, const squashfs_inode* inode,
                                   const struct stat* stbuf) {
  auto* e = new squashfs_entry;
  e->name = name ? name : "";
  e->image = image;
  if (image) image->by_ino_valid = false;
  if (stbuf) {
    e->stbuf = *stbuf;
  } else if (inode) {
    e->stbuf.st_ino = ino_t(uint32_t(inode->inode_number));
    e->stbuf.st_mode = mode_t(inode->mode);
    e->stbuf.st_nlink = 1;
    e->stbuf.st_uid = inode->uid;
    e->stbuf.st_gid = inode->gid;
    e->stbuf.st_size = off_t(inode->data);
    e->stbuf.st_mtime = time_t(inode->time);
    // Kept so that a rebuild writes device nodes with their numbers.
    e->stbuf.st_rdev = dev_t(inode->rdev);
  }
  if (inode) e->cur_inode = *inode;
  if (image && e->stbuf.st_ino < ino_t(INT32_MAX) && int(e->stbuf.st_ino) + 1 > image->last_node)
    image->last_node = int(e->stbuf.st_ino) + 1;
  return e;
}

squashfs_entry* squashfs_dir_fill(squashfs_entry* p_entry, const char* name, const squashfs_inode* inode) {
  if (!strcmp(name, ".") || !strcmp(name, "..")) return nullptr;
  squashfs_entry* e = squashfs_entry_new(p_entry->image, name, inode, nullptr);
  e->path = p_entry->path + "/" + name;
  link_last(p_entry, e);
  p_entry->image->entry_table[e->path] = e;
  return e;
}

void squashfs_attach_reader(squashfs_data* img, const uint8_t* buf, size_t size, const squashfs_reader& reader,
                            void* state) {
  img->loaded_version = reader.version;
  img->image_bytes = buf;
  img->image_size = size;
  img->read_content = reader.read_content;
  img->read_range = reader.read_range;
  img->reader_state = state;
  img->release_state = reader.release_state;
  // What removals took is counted against the image read before.
  img->freed_numbers.clear();
  img->dropped_files.clear();
}

namespace rs::sqfs {
void forget_children(squashfs_entry* dir) {
  squashfs_data* img = dir->image;
  while (squashfs_entry* c = dir->child) {
    unlink_node(c);
    if (c->unread && img) {
      --img->unread_dirs;
      c->unread.reset();
    }
    destroy(c, true);
  }
}
}  // namespace rs::sqfs

bool squashfs_expand(squashfs_entry* dir) {
  if (!dir || !dir->unread) return true;
  squashfs_data* img = dir->image;
  if (!img || !img->expand) return false;
  // Links counted so far stay counted: the new entries join the index.
  const bool index_kept = img->by_ino_valid;
  if (!img->expand(img, dir)) return false;
  if (index_kept) {
    for (squashfs_entry* c = dir->child; c; c = c->next)
      if (!is_dir(c)) img->by_ino[uint64_t(c->stbuf.st_ino)].push_back(c);
    img->by_ino_valid = true;
  }
  return true;
}

bool squashfs_load_all(squashfs_entry* root) {
  if (!root || !root->image || !root->image->unread_dirs) return true;
  bool ok = true;
  std::vector<squashfs_entry*> todo{root};
  while (!todo.empty()) {
    squashfs_entry* d = todo.back();
    todo.pop_back();
    if (!squashfs_expand(d)) {
      ok = false;
      continue;
    }
    for (squashfs_entry* c = d->child; c; c = c->next)
      if (is_dir(c)) todo.push_back(c);
  }
  return ok;
}

squashfs_entry* squashfs_load_memory(uint8_t* buf, size_t size) {
  // The image is read straight from memory; no temporary file is needed.
  auto img = std::make_unique<squashfs_data>();
  int ok = 0;
  const bool le_magic = buf && size >= 4 && rs::load_le32(buf) == 0x73717368u;
  const bool be_magic = buf && size >= 4 && rs::load_be32(buf) == 0x73717368u;
  if (buf && size >= 96 && le_magic && rs::load_le16(buf + 28) == 4 && rs::load_le16(buf + 30) == 0) {
    img->version = 4;
    std::memcpy(img->super4.data(), buf, 96);
    ok = read_image4(img.get(), buf, size);
  } else if (buf && size >= 96 && be_magic && rs::load_be16(buf + 28) == 4 && rs::load_be16(buf + 30) == 0) {
    img->version = 4;
    std::memcpy(img->super4.data(), buf, 96);
    ok = read_image4_be(img.get(), buf, size);
  } else if (buf && size >= 119 && rs::sqfs::v3::identify(buf, size, nullptr, nullptr)) {
    img->version = 3;
    std::memcpy(img->super3.data(), buf, 119);
    ok = read_image3(img.get(), buf, size) ? 1 : 0;
  } else if (buf && rs::sqfs::v2::identify(buf, size, nullptr)) {
    img->version = 2;
    std::memcpy(img->super2.data(), buf, rs::sqfs::v2::kSuperSize);
    ok = read_image2(img.get(), buf, size) ? 1 : 0;
  } else if (!buf || size < 96) {
    refuse(img.get(), "smaller than a superblock");
  } else if (le_magic || be_magic || rs::load_le32(buf) == 0x71736873u || rs::load_be32(buf) == 0x71736873u) {
    unsigned major = le_magic || rs::load_le32(buf) == 0x71736873u ? rs::load_le16(buf + 28) : rs::load_be16(buf + 28);
    if (major == 4)
      refuse(img.get(), "minor version not read (4.0 only)");
    else if (major == 3)
      refuse(img.get(), "3.x superblock cut short (119 bytes needed)");
    else
      refuse(img.get(), "version not read (2.0, 2.1, 2.76, 3.0, 3.1, 3.76 and 4.0 are)");
  } else {
    refuse(img.get(), "not a squashfs image");
  }
  if (ok != 1) {
    if (img->root_entry) destroy(img->root_entry, false);
    if (img->release_state) img->release_state(img.get());
    std::string what = describe_image(buf, size);
    if (img->refusal.empty()) img->refusal = "metadata does not decode";
    if (ok < 0) {
      fprintf(stderr, "squashfs: %s, image left as raw bytes (%s)\n", img->refusal.c_str(), what.c_str());
    } else {
      fprintf(stderr, "squashfs error: %s: %s\n", what.c_str(), img->refusal.c_str());
      report("squashfs_load", 363);
    }
    return nullptr;
  }
  img->loaded_version = img->version;
  squashfs_entry* root = img->root_entry;
  img.release();
  return root;
}

void squashfs_free(squashfs_entry* root) {
  if (!root) return;
  squashfs_data* img = root->image;
  destroy(root, false);
  if (img && img->release_state) img->release_state(img);
  delete img;
}

int squashfs_read_host(const squashfs_entry* e, std::vector<uint8_t>& out, std::string* why) {
  auto fail = [&](int err, std::string text) {
    if (why) *why = e->host + ": " + text;
    return -err;
  };
  out.clear();
  const uint64_t want = uint64_t(e->stbuf.st_size);
  int fd = ::open(e->host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(errno, std::strerror(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return fail(err, std::strerror(err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(EINVAL, "no longer a regular file");
  }
  auto changed = [&](uint64_t now) {
    ::close(fd);
    return fail(EIO, "changed size while the image was built (" + std::to_string(want) + " bytes, now " +
                         std::to_string(now) + ")");
  };
  if (uint64_t(st.st_size) != want) return changed(uint64_t(st.st_size));
  try {
    out.resize(size_t(want));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return fail(ENOMEM, std::strerror(ENOMEM));
  }
  size_t got = 0;
  // One byte past the end tells a file that grew after the fstat.
  uint8_t extra = 0;
  for (;;) {
    uint8_t* to = got < out.size() ? out.data() + got : &extra;
    size_t room = got < out.size() ? out.size() - got : 1;
    ssize_t n = ::read(fd, to, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      return fail(err, std::strerror(err));
    }
    if (n == 0) break;
    got += size_t(n);
    if (got > out.size()) return changed(got);
  }
  if (got != out.size()) return changed(got);
  ::close(fd);
  return 0;
}

int squashfs_content(const squashfs_entry* e, std::vector<uint8_t>& out) {
  if (!e) return -ENOENT;
  if (!e->host.empty()) {
    std::string why;
    int r = squashfs_read_host(e, out, &why);
    if (r < 0) std::fprintf(stderr, "romsmith: %s\n", why.c_str());
    return r;
  }
  if (e->content_loaded) {
    out = e->buf;
    return 0;
  }
  if (!e->image || !e->image->read_content) return -EIO;
  return e->image->read_content(e->image, e, out);
}

namespace {
// The bytes of `all` from `off` on, at most `n`.
long long window(const std::vector<uint8_t>& all, uint64_t off, void* buf, size_t n) {
  if (off >= all.size()) return 0;
  size_t k = std::min<uint64_t>(n, all.size() - off);
  if (k) std::memcpy(buf, all.data() + off, k);
  return (long long)k;
}
}  // namespace

long long squashfs_pread(const squashfs_entry* e, uint64_t off, void* buf, size_t n) {
  if (!e) return -ENOENT;
  const bool host = !e->host.empty();
  if (e->content_loaded && !host) return window(e->buf, off, buf, n);
  if (!host) {
    if (!e->image) return -EIO;
    if (e->image->read_range) return e->image->read_range(e->image, e, off, buf, n);
  }
  // Host content is read whole: it is read this way only off the builder's path.
  std::vector<uint8_t> all;
  int r = squashfs_content(e, all);
  if (r < 0) return r;
  return window(all, off, buf, n);
}

squashfs_entry* squashfs_find(squashfs_entry* root, const char* path) { return lookup(root, normalise(path)); }

int squashfs_read(squashfs_entry* root, const char* path, void* buf, size_t size, size_t offset) {
  squashfs_entry* e = squashfs_find(root, path);
  if (!e || !buf || is_dir(e)) return 0;
  // The contract returns an int; never report more than it can hold.
  long long n = squashfs_pread(e, offset, buf, std::min<size_t>(size, INT32_MAX));
  return n < 0 ? -1 : int(n);
}

squashfs_entry* squashfs_add_buffer(squashfs_entry* root, const char* path, const void* buf, size_t size) {
  if (!buf && size) return nullptr;
  squashfs_entry* e = add_node(root, path, 2, 0100644);
  if (!e) return nullptr;
  e->cur_inode.data = int64_t(size);
  e->stbuf.st_size = off_t(size);
  if (size) e->buf.assign(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + size);
  return e;
}

squashfs_entry* squashfs_add(squashfs_entry* root, const char* path, const char* myfile) {
  rs::MappedFile m;
  if (!m.open(myfile)) return nullptr;
  return squashfs_add_buffer(root, path, m.data(), m.size());
}

squashfs_entry* squashfs_mkdir(squashfs_entry* root, const char* path) {
  squashfs_entry* e = add_node(root, path, 1, 040775);
  if (e) e->stbuf.st_nlink = 1;
  return e;
}

int squashfs_rm(squashfs_entry* root, const char* path) {
  std::string key = normalise(path);
  squashfs_entry* e = lookup(root, key);
  if (!e || e == root->image->root_entry) return 0;
  // What goes is counted as it goes: a directory is read in full first.
  if (is_dir(e)) squashfs_load_all(e);
  unlink_node(e);
  destroy(e, true);
  return 0;
}

int squashfs_put(squashfs_entry* root, const char* path, const void* buf, size_t size, int mode, int64_t uid,
                 int64_t gid) {
  if (!buf && size) return -EINVAL;
  std::string key = normalise(path), base;
  squashfs_entry* parent = nullptr;
  if (int r = parent_for(root, key, &parent, &base); r < 0) return r;
  squashfs_entry* old = lookup(root, key);
  if (old && is_dir(old)) return -EISDIR;
  int keep_mode = 0644;
  uint32_t keep_uid = 0, keep_gid = 0;
  int64_t keep_time = -1;
  std::vector<squashfs_xattr> keep_xattrs;
  if (old && is_reg(old)) {
    keep_mode = int(old->stbuf.st_mode & 07777);
    keep_uid = uint32_t(old->stbuf.st_uid);
    keep_gid = uint32_t(old->stbuf.st_gid);
    keep_time = int64_t(old->stbuf.st_mtime);
    keep_xattrs = old->xattrs;
  }
  std::vector<uint8_t> data;
  try {
    if (size) data.assign(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + size);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
  if (old) squashfs_rm(root, key.c_str());
  squashfs_entry* e = new_child(parent, key, base, 2, S_IFREG | (mode >= 0 ? (mode & 07777) : keep_mode));
  e->stbuf.st_uid = uid_t(uid >= 0 ? uint32_t(uid) : keep_uid);
  e->stbuf.st_gid = gid_t(gid >= 0 ? uint32_t(gid) : keep_gid);
  e->cur_inode.uid = uint32_t(e->stbuf.st_uid);
  e->cur_inode.gid = uint32_t(e->stbuf.st_gid);
  if (keep_time >= 0) e->stbuf.st_mtime = time_t(keep_time);
  e->xattrs = std::move(keep_xattrs);
  e->buf = std::move(data);
  e->cur_inode.data = int64_t(size);
  e->stbuf.st_size = off_t(size);
  return 0;
}

int squashfs_put_host(squashfs_entry* root, const char* path, const char* host, uint64_t size, int mode, int64_t uid,
                      int64_t gid) {
  if (!host || !*host) return -EINVAL;
  if (int r = squashfs_put(root, path, nullptr, 0, mode, uid, gid); r < 0) return r;
  squashfs_entry* e = lookup(root, normalise(path));
  if (!e) return -ENOENT;
  e->host = host;
  e->content_loaded = false;
  e->stored.valid = false;
  e->cur_inode.data = int64_t(size);
  e->stbuf.st_size = off_t(size);
  return 0;
}

int squashfs_remove(squashfs_entry* root, const char* path) {
  std::string key = normalise(path);
  squashfs_entry* e = lookup(root, key);
  if (!e) return -ENOENT;
  if (e == root->image->root_entry) return -EINVAL;
  if (is_dir(e)) squashfs_load_all(e);
  unlink_node(e);
  destroy(e, true);
  return 0;
}

int squashfs_mkdir_mode(squashfs_entry* root, const char* path, uint32_t mode) {
  std::string key = normalise(path), base;
  squashfs_entry* parent = nullptr;
  if (lookup(root, key)) return -EEXIST;
  if (int r = parent_for(root, key, &parent, &base); r < 0) return r;
  squashfs_entry* e = new_child(parent, key, base, 1, int(S_IFDIR | (mode & 07777)));
  e->stbuf.st_size = 0;
  e->cur_inode.data = 0;
  return 0;
}

int squashfs_symlink(squashfs_entry* root, const char* target, const char* path) {
  if (!target || !*target) return -EINVAL;
  std::string key = normalise(path), base;
  squashfs_entry* parent = nullptr;
  if (lookup(root, key)) return -EEXIST;
  if (int r = parent_for(root, key, &parent, &base); r < 0) return r;
  size_t len = strlen(target);
  if (len > 4095) return -ENAMETOOLONG;
  squashfs_entry* e = new_child(parent, key, base, 3, S_IFLNK | 0777);
  e->buf.assign(target, target + len);
  e->cur_inode.symlink = target;
  e->cur_inode.data = int64_t(len);
  e->stbuf.st_size = off_t(len);
  return 0;
}

int squashfs_chmod(squashfs_entry* root, const char* path, uint32_t mode) {
  squashfs_entry* e = lookup(root, normalise(path));
  if (!e) return -ENOENT;
  for (squashfs_entry* o : links_of(e)) {
    o->stbuf.st_mode = (o->stbuf.st_mode & S_IFMT) | (mode & 07777);
    o->cur_inode.mode = int(o->stbuf.st_mode);
  }
  return 0;
}

int squashfs_chown(squashfs_entry* root, const char* path, uint32_t uid, uint32_t gid) {
  squashfs_entry* e = lookup(root, normalise(path));
  if (!e) return -ENOENT;
  for (squashfs_entry* o : links_of(e)) {
    o->stbuf.st_uid = uid;
    o->stbuf.st_gid = gid;
    o->cur_inode.uid = uid;
    o->cur_inode.gid = gid;
  }
  return 0;
}

uint32_t squashfs_nlink(const squashfs_entry* e) {
  if (!e) return 0;
  if (is_dir(e)) {
    uint32_t n = 2;
    squashfs_expand(const_cast<squashfs_entry*>(e));
    for (squashfs_entry* c = e->child; c; c = c->next) n += is_dir(c);
    return n;
  }
  if (!e->image) return 1;
  const std::vector<squashfs_entry*>* links = links_recorded(const_cast<squashfs_entry*>(e));
  return links ? uint32_t(links->size()) : 1;
}

int squashfs_cat(squashfs_entry* root, const char* path) {
  squashfs_entry* e = squashfs_find(root, path);
  if (!e) return 1;
  if (is_reg(e)) {
    // In pieces, so that a large sparse file is never held whole.
    std::vector<uint8_t> chunk(std::min<uint64_t>(uint64_t(e->stbuf.st_size), 1u << 20));
    for (uint64_t off = 0; off < uint64_t(e->stbuf.st_size);) {
      long long n = squashfs_pread(e, off, chunk.data(), chunk.size());
      if (n < 0) return 1;
      if (n == 0) break;
      fwrite(chunk.data(), 1, size_t(n), stdout);
      off += uint64_t(n);
    }
  } else if (!is_dir(e) && !e->buf.empty()) {
    fwrite(e->buf.data(), 1, e->buf.size(), stdout);
  }
  fputs("\n", stdout);
  return 0;
}

int squashfs_ls(squashfs_entry* root, int level) {
  if (!root) return 0;
  // The ancestor table grows with the tree, so no depth limit applies.
  std::vector<squashfs_entry*> anc(size_t(std::max(level, 0)) + 1, nullptr);
  for (int d = 0; d < level; ++d) anc[d] = root;  // callers start at level 0
  ls_level(root, std::max(level, 0), anc);
  return 0;
}

uint8_t* squashfs_rebuild(squashfs_entry* root, size_t* fs_len, std::string* why) {
  auto failed = [why](std::string msg, bool print) -> uint8_t* {
    if (print) fputs(msg.c_str(), stderr);
    while (!msg.empty() && msg.back() == '\n') msg.pop_back();
    if (why) *why = msg;
    return nullptr;
  };
  if (!root || !root->image) return failed("no squashfs tree to rebuild", false);
  squashfs_data* img = root->image;
  if (img->version < 2 || img->version > 4) return failed("the tree has no squashfs 2, 3 or 4 image", false);
  if (!squashfs_load_all(img->root_entry ? img->root_entry : root))
    return failed("FATAL ERROR:a directory of the image does not read\n", true);
  try {
    // Host content is read as the 4.0 builder compresses; the others take it loaded.
    if (img->version != 4)
      for (auto& [path, e] : img->entry_table) {
        if (e->host.empty()) continue;
        std::vector<uint8_t> data;
        std::string text;
        if (squashfs_read_host(e, data, &text) < 0) return failed("FATAL ERROR:cannot read " + text + "\n", true);
        e->buf = std::move(data);
        e->content_loaded = true;
        e->host.clear();
      }
    if (img->version != img->loaded_version) {
      // Converting: the other version's builder cannot copy these blocks.
      for (auto& [path, e] : img->entry_table) {
        if (e->content_loaded || !e->host.empty()) continue;
        std::vector<uint8_t> data;
        // The reader has printed why.
        if (squashfs_content(e, data) < 0) return failed("cannot read " + path, false);
        e->buf = std::move(data);
        e->content_loaded = true;
        e->stored.valid = false;
      }
    }
    if (img->version == 2) return build_image2(root, fs_len);
    return img->version == 4 ? build_image4(root, fs_len) : build_image3(root, fs_len);
  } catch (const BuildError& e) {
    return failed(e.msg, true);
  } catch (const std::bad_alloc&) {
    return failed("FATAL ERROR:Out of memory\n", true);
  }
}

uint8_t* squashfs_mmap(squashfs_entry* root, size_t* fs_len) { return squashfs_rebuild(root, fs_len, nullptr); }

namespace {

// Gives `e` and everything below it the paths under `path`, registered anew.
void repath(squashfs_entry* e, const std::string& path, squashfs_data* img) {
  e->path = path;
  img->entry_table[path] = e;
  for (squashfs_entry* c = e->child; c; c = c->next) repath(c, path + "/" + c->name, img);
}

void unregister(squashfs_entry* e, squashfs_data* img) {
  auto it = img->entry_table.find(e->path.empty() ? std::string("/") : e->path);
  if (it != img->entry_table.end() && it->second == e) img->entry_table.erase(it);
  for (squashfs_entry* c = e->child; c; c = c->next) unregister(c, img);
}

}  // namespace

int squashfs_rename(squashfs_entry* root, const char* from, const char* to) {
  std::string src_key = normalise(from), dst_key = normalise(to), src_base, dst_base;
  squashfs_entry *src_parent = nullptr, *dst_parent = nullptr;
  if (int r = parent_for(root, src_key, &src_parent, &src_base); r < 0) return r;
  squashfs_entry* src = lookup(root, src_key);
  if (!src) return -ENOENT;
  if (int r = parent_for(root, dst_key, &dst_parent, &dst_base); r < 0) return r;
  if (src_key == dst_key) return 0;
  if (is_dir(src) && dst_key.compare(0, src_key.size() + 1, src_key + "/") == 0) return -EINVAL;
  squashfs_entry* dst = lookup(root, dst_key);
  if (dst) {
    if (is_dir(src) && !is_dir(dst)) return -ENOTDIR;
    if (!is_dir(src) && is_dir(dst)) return -EISDIR;
    if (is_dir(dst) && !squashfs_expand(dst)) return -EIO;
    if (is_dir(dst) && dst->child) return -ENOTEMPTY;
    // Two links of one inode: rename(2) leaves both in place.
    if (!is_dir(dst) && dst->stbuf.st_ino == src->stbuf.st_ino) return 0;
    // The replaced name leaves its hard-link group; the other links keep the inode.
    unlink_node(dst);
    destroy(dst, true);
  }
  squashfs_data* img = root->image;
  unlink_node(src);
  unregister(src, img);
  src->name = dst_base;
  repath(src, dst_key, img);
  link_ordered(dst_parent, src);
  return 0;
}

int squashfs_set_mtime(squashfs_entry* root, const char* path, int64_t mtime) {
  squashfs_entry* e = lookup(root, normalise(path));
  if (!e) return -ENOENT;
  // Both versions store seconds as an unsigned 32-bit count.
  if (mtime < 0 || mtime > int64_t(UINT32_MAX)) return -EOVERFLOW;
  // An attribute of the inode: every hard link shows it, and they stay one inode.
  for (squashfs_entry* o : links_of(e)) {
    o->stbuf.st_mtime = time_t(mtime);
    o->cur_inode.time = mtime;
  }
  return 0;
}

int squashfs_mknod(squashfs_entry* root, const char* path, uint32_t mode, uint32_t rdev) {
  int type;
  switch (mode & S_IFMT) {
    case S_IFBLK:
      type = 4;
      break;
    case S_IFCHR:
      type = 5;
      break;
    case S_IFIFO:
      type = 6;
      break;
    case S_IFSOCK:
      type = 7;
      break;
    default:
      return -EINVAL;
  }
  std::string key = normalise(path), base;
  squashfs_entry* parent = nullptr;
  if (lookup(root, key)) return -EEXIST;
  if (int r = parent_for(root, key, &parent, &base); r < 0) return r;
  bool device = type == 4 || type == 5;
  squashfs_entry* e = new_child(parent, key, base, type, int((mode & S_IFMT) | (mode & 07777)));
  e->stbuf.st_rdev = device ? dev_t(rdev) : 0;
  e->cur_inode.rdev = device ? rdev : 0;
  e->stbuf.st_size = 0;
  e->cur_inode.data = 0;
  return 0;
}

int squashfs_link(squashfs_entry* root, const char* from, const char* to) {
  squashfs_entry* e = lookup(root, normalise(from));
  if (!e) return -ENOENT;
  if (is_dir(e)) return -EPERM;
  std::string key = normalise(to), base;
  squashfs_entry* parent = nullptr;
  if (lookup(root, key)) return -EEXIST;
  if (int r = parent_for(root, key, &parent, &base); r < 0) return r;
  // A copy of the node with its inode number: the writer makes nodes with
  // one stat record one inode, and the stored data of the first is shared.
  auto* n = new squashfs_entry(*e);
  n->name = base;
  n->path = key;
  n->parent = n->child = n->last_child = n->next = n->prev = n->same = nullptr;
  link_ordered(parent, n);
  root->image->entry_table[key] = n;
  root->image->by_ino_valid = false;
  return 0;
}

int squashfs_get_xattrs(squashfs_entry* root, const char* path, std::vector<squashfs_xattr>* out) {
  squashfs_entry* e = lookup(root, normalise(path));
  if (!e) return -ENOENT;
  *out = e->xattrs;
  return 0;
}

int squashfs_set_xattrs(squashfs_entry* root, const char* path, const std::vector<squashfs_xattr>& in) {
  squashfs_entry* e = lookup(root, normalise(path));
  if (!e) return -ENOENT;
  // Version 3 has no attribute table; a name without a known prefix has no id.
  if (!in.empty() && root->image->version != 4) return -EOPNOTSUPP;
  for (const squashfs_xattr& x : in) {
    std::string_view k = x.key;
    bool known = false;
    for (std::string_view prefix : {"user.", "trusted.", "security."})
      if (k.size() > prefix.size() && k.substr(0, prefix.size()) == prefix) known = true;
    if (!known) return -EOPNOTSUPP;
    if (x.value.size() > 65535) return -E2BIG;
  }
  for (squashfs_entry* o : links_of(e)) o->xattrs = in;
  return 0;
}
