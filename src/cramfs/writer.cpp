// Building cramfs images from a tree: host directory scan, duplicate
// elimination, listing layout and page compression.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs/internal.h"
#include "cramfs/md5.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/fatal.h"

using namespace rs::cramfs;

namespace {

constexpr size_t kMaxInputNameLen = 255;
constexpr size_t kMaxNameField = 252;  // 63 units of 4 bytes
constexpr uint64_t kMaxFsLen = 285229051;
constexpr uint64_t kMaxDataOffset = 0x0FFFFFFF;
std::atomic<unsigned> g_threads{0};

uint32_t padded(size_t n) { return uint32_t((n + 3) & ~size_t(3)); }
uint32_t type_of(const entry* e) { return e->mode & 0xF000; }

[[noreturn]] void name_too_long(const char* name) {
  fprintf(stderr,
          "Very long (%u bytes) filename `%s' found.\n Please increase MAX_INPUT_NAMELEN in mkcramfs and "
          "recompile.  Exiting.\n",
          unsigned(strlen(name)), name);
  rs::rs_exit(8);
}

uint32_t parse_directory(entry* dir, const std::string& host, size_t* fslen_ub) {
  DIR* d = opendir(host.c_str());
  if (!d) {
    perror(host.c_str());
    rs::rs_exit(8);
  }
  std::vector<std::string> names;
  while (dirent* de = readdir(d)) {
    if (strcmp(de->d_name, ".") && strcmp(de->d_name, "..")) names.emplace_back(de->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());  // byte order, as strcmp
  uint32_t total = 0;
  for (const std::string& name : names) {
    if (name.size() > kMaxInputNameLen) name_too_long(name.c_str());
    std::string hpath = host + "/" + name;
    struct stat st;
    if (lstat(hpath.c_str(), &st) != 0) {
      perror(hpath.c_str());
      continue;
    }
    entry* e = cramfs_node_new(dir->image, name.c_str(), st.st_mode, 0, st.st_uid, st.st_gid);
    node_set_path(e, std::string(dir->path) + "/" + name);
    uint32_t type = type_of(e);
    bool keep = true;
    if (type == 0x8000 || type == 0xA000) {
      std::vector<uint8_t> data;
      if (type == 0x8000) {
        keep = rs::read_file(hpath, data);
      } else {
        data.resize(size_t(st.st_size) + kPage);
        ssize_t n = readlink(hpath.c_str(), reinterpret_cast<char*>(data.data()), data.size());
        keep = n >= 0;
        data.resize(keep ? size_t(n) : 0);
      }
      if (!keep) {
        perror(hpath.c_str());
      } else {
        if (data.size() > 0xFFFFFF) {
          fprintf(stderr, "warning: %s is cut to 16777215 bytes\n", hpath.c_str());
          data.resize(0xFFFFFF);
        }
        e->size = uint32_t(data.size());
        e->buf = static_cast<uint8_t*>(malloc(data.size() + 1));
        if (!e->buf) {
          perror("malloc");
          rs::rs_exit(8);
        }
        if (!data.empty()) memcpy(e->buf, data.data(), data.size());
        e->buf[data.size()] = 0;
      }
    } else if (type == 0x2000 || type == 0x6000) {
      e->size = uint32_t(st.st_rdev) & 0xFFFFFF;
    }
    if (!keep) {
      node_free(e);
      continue;
    }
    uint32_t ent = 12 + padded(name.size());
    *fslen_ub += ent;
    total += ent;
    inode_add_child(dir, e);
    register_node(e);
    if (type == 0x4000) e->size = parse_directory(e, hpath, fslen_ub);
    if ((type == 0x8000 || type == 0xA000) && e->size)
      *fslen_ub += e->size + 3 + 30 * ((e->size + kPage - 1) / kPage);
  }
  return total;
}

bool has_content(const entry* e) { return (type_of(e) == 0x8000 || type_of(e) == 0xA000) && e->size && e->buf; }

void preorder(entry* node, std::vector<entry*>& out) {
  for (entry* c = node->child; c; c = c->next) {
    out.push_back(c);
    if (c->child) preorder(c, out);
  }
}

// The first earlier entry (in pre-order) of the same type with identical bytes
// becomes an entry's `same`. Candidates are grouped by size and digest.
void eliminate_doubles(const std::vector<entry*>& order) {
  std::map<std::tuple<uint32_t, uint32_t, std::string>, std::vector<entry*>> seen;
  for (entry* e : order) {
    e->same = nullptr;
    if (!has_content(e)) {
      e->flags |= CRAMFS_NO_CONTENT;
      continue;
    }
    if (!(e->flags & CRAMFS_MD5_DONE)) {
      md5(e->buf, e->size, e->md5sum);
      e->flags |= CRAMFS_MD5_DONE;
    }
    auto& group = seen[{type_of(e), e->size, std::string(reinterpret_cast<char*>(e->md5sum), 16)}];
    for (entry* earlier : group) {
      if (memcmp(earlier->buf, e->buf, e->size) == 0) {
        e->same = earlier;
        break;
      }
    }
    if (!e->same) group.push_back(e);
  }
}

void store_inode(uint8_t* p, const entry* e, uint32_t namelen_units, uint32_t offset) {
  rs::store_le32(p, (e->mode & 0xFFFF) | (e->uid & 0xFFFF) << 16);
  rs::store_le32(p + 4, (e->size & 0xFFFFFF) | (e->gid & 0xFF) << 24);
  rs::store_le32(p + 8, (namelen_units & 0x3F) | (offset / 4) << 6);
}

void set_data_offset(uint8_t* img, const entry* e, uint64_t offset) {
  if (offset > kMaxDataOffset) {
    fputs("filesystem too big.  Exiting.\n", stderr);
    rs::rs_exit(8);
  }
  uint8_t* w = img + e->dir_offset + 8;
  rs::store_le32(w, (rs::load_le32(w) & 0x3F) | uint32_t(offset / 4) << 6);
}

struct Page {
  const uint8_t* src;
  uint32_t len;
  std::vector<uint8_t> out;
};

void compress_pages(std::vector<Page>& pages) {
  unsigned n = g_threads.load();
  if (n == 0) n = std::max(1u, std::thread::hardware_concurrency());
  n = unsigned(std::min<size_t>(n, std::max<size_t>(1, pages.size() / 4)));
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < pages.size();) {
      Page& p = pages[i];
      uLongf cap = std::max<uLong>(compressBound(p.len), 2 * kPage);
      p.out.resize(cap);
      if (compress(p.out.data(), &cap, p.src, p.len) != Z_OK) cap = 2 * kPage + 1;
      p.out.resize(cap);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < n; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
}

}  // namespace

void cramfs_set_threads(unsigned n) { g_threads = n; }

entry* cramfs_parse_directory(const char* dir, size_t* fslen_ub) {
  struct stat st;
  if (!dir || stat(dir, &st) != 0) {
    perror(dir ? dir : "");
    return nullptr;
  }
  size_t dummy = 0;
  if (!fslen_ub) fslen_ub = &dummy;
  cramfs_data* image = image_new();
  entry* root = cramfs_node_new(image, "/", st.st_mode, 0, st.st_uid, st.st_gid);
  register_node(root);
  root->size = parse_directory(root, dir, fslen_ub);
  return root;
}

uint8_t* cramfs_mmap(entry* root, size_t* size) {
  if (!root || !root->image) return nullptr;
  cramfs_data* img_rec = root->image;
  img_rec->total_blocks = 0;
  img_rec->total_nodes = 1;
  root->size = cramfs_resize(root);
  if (uint64_t(img_rec->fslen_ub) > kMaxFsLen)
    fprintf(stderr,
            "warning: guestimate of required size (upper bound) is %dMB, but maximum image size is %uMB.  We "
            "might die prematurely.\n",
            img_rec->fslen_ub >> 20, 272u);

  std::vector<entry*> order;
  preorder(root, order);
  // Contents still stored in the loaded image are inflated for the rebuild
  // and let go afterwards.
  std::vector<entry*> inflated;
  auto let_go = [&] {
    for (entry* e : inflated) {
      free(e->buf);
      e->buf = nullptr;
    }
  };
  for (entry* e : order) {
    if (type_of(e) != 0x8000 || !e->size || e->buf) continue;
    uint8_t* b = static_cast<uint8_t*>(malloc(e->size + 1));
    if (!b || cramfs_entry_pread(e, b, e->size, 0) != (long long)e->size) {
      free(b);
      let_go();
      return nullptr;
    }
    e->buf = b;
    inflated.push_back(e);
  }
  struct LetGo {
    std::function<void()> f;
    ~LetGo() { f(); }
  } let_go_at_end{let_go};
  uint64_t listings = 76;
  for (entry* e : order) {
    if (strlen(e->name) > kMaxNameField) name_too_long(e->name);
    listings += 12 + padded(strlen(e->name));
  }
  eliminate_doubles(order);

  // Compress every page first (in parallel), then lay the data out in order.
  std::vector<Page> pages;
  for (entry* e : order) {
    if (!has_content(e) || e->same) continue;
    for (uint32_t at = 0; at < e->size; at += kPage) pages.push_back({e->buf + at, std::min(kPage, e->size - at), {}});
  }
  compress_pages(pages);
  uint64_t length = listings;
  for (entry* e : order) {
    if (!has_content(e) || e->same) continue;
    uint32_t n = (e->size + kPage - 1) / kPage;
    length += 4ull * n;
  }
  for (Page& p : pages) {
    if (p.out.size() > 2 * kPage) {
      printf("AIEEE: block \"compressed\" to > 2*blocklength (%ld)\n", long(p.out.size()));
      rs::rs_exit(8);
    }
    length += p.out.size();
  }
  length += 4ull * pages.size();  // worst-case alignment padding
  if (length > kMaxFsLen) {
    fprintf(stderr, "not enough space allocated for ROM image (%d allocated, %d used)\n", int(kMaxFsLen), int(length));
    return nullptr;
  }
  uint8_t* img = static_cast<uint8_t*>(calloc(size_t(length) + kPage, 1));
  if (!img) {
    perror("calloc");
    rs::rs_exit(8);
  }

  // Listings depth-first: a directory's listing, then its first non-empty
  // subdirectory's with everything below it, then the next one.
  uint64_t pos = 76;
  std::vector<entry*> stack;
  for (entry* dir = root;;) {
    size_t pushed_from = stack.size();
    for (entry* c = dir->child; c; c = c->next) {
      size_t nlen = strlen(c->name);
      c->dir_offset = uint32_t(pos);
      store_inode(img + pos, c, padded(nlen) / 4, 0);
      memcpy(img + pos + 12, c->name, nlen);
      pos += 12 + padded(nlen);
      img_rec->total_nodes++;
      if (c->child) stack.push_back(c);
    }
    std::reverse(stack.begin() + long(pushed_from), stack.end());
    if (stack.empty()) break;
    dir = stack.back();
    stack.pop_back();
    set_data_offset(img, dir, pos);
  }

  size_t page_index = 0;
  for (entry* e : order) {
    if (e->same) {
      e->offset = e->same->offset;
      set_data_offset(img, e, e->offset);
      continue;
    }
    if (!has_content(e)) {
      e->offset = 0;  // empty files and special files carry no data offset
      continue;
    }
    e->offset = uint32_t(pos);
    set_data_offset(img, e, pos);
    uint32_t n = (e->size + kPage - 1) / kPage;
    uint64_t table = pos;
    pos += 4ull * n;
    img_rec->total_blocks += n;
    for (uint32_t i = 0; i < n; ++i) {
      const Page& p = pages[page_index++];
      memcpy(img + pos, p.out.data(), p.out.size());
      pos += p.out.size();
      rs::store_le32(img + table + 4ull * i, uint32_t(pos));
    }
    pos = (pos + 3) & ~uint64_t(3);
  }
  uint64_t image_len = (pos + kPage - 1) & ~uint64_t(kPage - 1);
  if (image_len > kMaxFsLen) {
    free(img);
    fprintf(stderr, "not enough space allocated for ROM image (%d allocated, %d used)\n", int(kMaxFsLen),
            int(image_len));
    return nullptr;
  }

  rs::store_le32(img + 0, kMagic);
  rs::store_le32(img + 4, uint32_t(image_len));
  rs::store_le32(img + 8, 3);
  memcpy(img + 16, "Compressed ROMFS", 16);
  rs::store_le32(img + 40, uint32_t(img_rec->total_blocks));
  rs::store_le32(img + 44, uint32_t(img_rec->total_nodes));
  memcpy(img + 48, "Compressed", 10);
  store_inode(img + 64, root, 0, 76);
  rs::store_le32(img + 32, rs::crc32_of(img, size_t(image_len)));
  *size = size_t(image_len);
  return img;
}

int mkfs_cramfs(const char* dir, const char* image) {
  size_t ub = 0;
  entry* root = cramfs_parse_directory(dir, &ub);
  if (!root) return -1;
  size_t len = 0;
  uint8_t* img = cramfs_mmap(root, &len);
  cramfs_free(root);
  if (!img) return -1;
  bool ok = rs::write_file_atomic(image, img, len);
  if (!ok) fprintf(stderr, "ROM image write failed (%d %d)\n", 0, int(len));
  free(img);
  return ok ? 0 : -1;
}
