// Loading a cramfs image held in memory into the tree, and reading the file
// contents it left in the image.
//
// Every offset, size and count comes from the image and is checked against
// the image's bounds before use; a structural fault fails the whole load so
// that a partition is never edited (and later rebuilt) from a partial tree.
// A file's block-pointer table and pages are read only when the file is: a
// table out of place or a page that does not decode is an error of that
// file's reads (and of a rebuild that copies it), never of the load.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs/internal.h"
#include "util/report.h"

namespace rs::cramfs {

cramfs_data* image_new() {
  cramfs_data* d = new cramfs_data;
  d->entry_table = hash_new(kEntryBuckets, nullptr);
  return d;
}

namespace {

void page_error(bool link, int rc, bool quiet) {
  if (quiet) return;
  // rc is zlib's code: its own words, not an errno's.
  fprintf(stderr, link ? "readlink: read block error %i: %s\n" : "read: read block error %i: %s\n", rc, zError(rc));
}

}  // namespace

int read_stored_page(cramfs_data* img, uint32_t table, uint32_t size, uint32_t index, uint8_t* out, bool link,
                     bool quiet) {
  uint32_t pages = page_count(size);
  uint32_t want = index + 1 < pages ? kPage : size - index * kPage;
  const uint8_t* b = img ? img->base : nullptr;
  uint64_t data = uint64_t(table) + 4ull * pages;
  // The pointers were checked at load; the checks are repeated so that no
  // read leaves the image even if its bytes were changed behind the tree.
  if (!b || index >= pages || table == 0 || data > img->base_len) {
    page_error(link, Z_DATA_ERROR, quiet);
    return -EIO;
  }
  uint64_t start = index ? load32(img->big_endian, b + table + 4ull * (index - 1)) : data;
  uint64_t stop = load32(img->big_endian, b + table + 4ull * index);
  if (start < data || stop < start || stop > img->base_len || stop - start > 2 * kPage) {
    page_error(link, Z_DATA_ERROR, quiet);
    return -EIO;
  }
  if (stop == start) {  // a zero-length page is a hole
    memset(out, 0, want);
    return 0;
  }
  uLongf got = want;
  int rc = uncompress(out, &got, b + start, uLong(stop - start));
  if (rc != Z_OK || got != want) {
    page_error(link, rc == Z_OK ? Z_DATA_ERROR : rc, quiet);
    return -EIO;
  }
  return 0;
}

std::string table_fault(const cramfs_data* img, uint32_t table, uint32_t pages, const char* path) {
  const bool big = img->big_endian;
  uint64_t start = uint64_t(table) + 4ull * pages;
  if (!img->base || start > img->base_len) return std::string("read: bad block pointer 0 of ") + path + "\n";
  for (uint32_t i = 0; i < pages; ++i) {
    uint64_t stop = load32(big, img->base + table + 4ull * i);
    if (stop < start || stop > img->base_len)
      return "read: bad block pointer " + std::to_string(i) + " of " + path + "\n";
    uint64_t bsize = stop - start;
    if (bsize > 2 * kPage) {
      char nums[160];
      snprintf(nums, sizeof nums, ", bsize %i, foffset %i, block %i, boffset %i\n", int(bsize),
               int(uint64_t(table) + 4ull * pages), int(stop), int(start));
      return "read: block size bigger than PAGE_CACHE_SIZE * 2 while reading block " + std::to_string(int(i)) +
             " from " + path + nums;
    }
    start = stop;
  }
  return {};
}

namespace {

constexpr int kMaxDepth = 1024;
// What a load may hold beyond the image: names and paths are kept for every
// entry and link targets are inflated, so a small image of deep long names or
// of many links sharing one page would otherwise grow without bound.
constexpr uint64_t kMaxPathBytes = 32u << 20;
constexpr uint64_t kMaxLinkBytes = 16u << 20;

// Block-pointer tables already checked. Writers lay contents out in the
// order the reader meets them, so the keys mostly come in rising order: those
// go to a sorted array (no node each), the rest to a set.
class CheckedTables {
 public:
  // True when `key` was not there yet.
  bool insert(uint64_t key) {
    if (rising_.empty() || key > rising_.back()) {
      rising_.push_back(key);
      return true;
    }
    if (std::binary_search(rising_.begin(), rising_.end(), key)) return false;
    return others_.insert(key).second;
  }

 private:
  std::vector<uint64_t> rising_;
  std::set<uint64_t> others_;
};

class Loader {
 public:
  Loader(cramfs_data* img, const uint8_t* buf, size_t len)
      : img_(img), img_bytes_(buf), len_(len), path_budget_(kMaxPathBytes + len), link_budget_(kMaxLinkBytes + len) {}

  bool load_dir(entry* node, const Inode& ino, int depth) {
    if (ino.size == 0) return true;
    if (depth > kMaxDepth) return fail("readdir: directories nested too deeply\n");
    // Each listing is read once: a repeated offset means a cycle or shared listing.
    if (ino.offset == 0 || !listings_.insert(ino.offset).second) {
      fprintf(stderr, "readdir: bad directory offset %u in %s\n", ino.offset, shown(node));
      return false;
    }
    uint64_t end = uint64_t(ino.offset) + ino.size;
    if (end > len_) return io_fail("readdir: can`t read full inode, errno %d, message %s\n");
    std::vector<std::pair<entry*, Inode>> children;
    // Nodes live in the image's arena: one that fails here is simply left there.
    if (!read_listing(node, ino.offset, end, children)) return false;
    // The tree keeps every directory in name order (a legacy image's unsorted
    // listing is written back sorted).
    auto by_name = [](const auto& a, const auto& b) { return strcmp(a.first->name, b.first->name) < 0; };
    if (!std::is_sorted(children.begin(), children.end(), by_name))
      std::stable_sort(children.begin(), children.end(), by_name);
    for (size_t i = 1; i < children.size(); ++i)
      if (strcmp(children[i - 1].first->name, children[i].first->name) == 0) twins_ = true;
    for (auto& [e, child] : children) inode_add_child(node, e);
    nodes_ += children.size();
    uint32_t listing = 0;
    for (auto& [e, child] : children) {
      listing += 12 + ((uint32_t(strlen(e->name)) + 3) & ~3u);
      uint32_t type = child.mode & 0xF000;
      if (type == 0x4000) {
        if (!load_dir(e, child, depth + 1)) return false;
      } else if (type == 0x8000 || type == 0xA000) {
        if (!load_content(e, child, type == 0xA000)) return false;
      } else {
        rs::warn("other %s\n", e->name);
      }
    }
    node->size = listing;
    return true;
  }

  uint64_t nodes() const { return nodes_; }
  bool twins() const { return twins_; }

 private:
  // A node of the listing of `parent`, its name and path in the arena.
  entry* arena_node(const entry* parent, size_t parent_len, const char* name, size_t len, const Inode& ino) {
    cramfs_arena* a = img_->arena;
    void* mem = a->get(sizeof(entry), alignof(entry));
    char* text = static_cast<char*>(a->get(len + 1 + parent_len + 1 + len + 1, 1));
    if (!mem || !text) return nullptr;
    entry* e = new (mem) entry;
    memcpy(text, name, len);
    text[len] = 0;
    char* path = text + len + 1;
    memcpy(path, parent->path, parent_len);
    path[parent_len] = '/';
    memcpy(path + parent_len + 1, name, len);
    path[parent_len + 1 + len] = 0;
    e->name = text;
    e->path = path;
    e->in_arena = CRAMFS_ARENA_NODE | CRAMFS_ARENA_NAME | CRAMFS_ARENA_PATH;
    e->mode = ino.mode;
    e->size = ino.size;
    e->uid = ino.uid;
    e->gid = ino.gid;
    e->image = img_;
    return e;
  }

  // The entries of the listing [pos, end) of `node`, not yet in the tree.
  bool read_listing(entry* node, uint64_t pos, uint64_t end, std::vector<std::pair<entry*, Inode>>& children) {
    bool bad_names = false;
    const size_t parent_len = strlen(node->path);
    while (pos < end) {
      if (pos + 12 > end) return io_fail("readdir: can`t read full inode, errno %d, message %s\n");
      Inode child = decode_inode(big(), img_bytes_ + pos);
      pos += 12;
      if (pos + child.namelen > end) return io_fail("readdir: can`t read full direntry, errno %d, message %s\n");
      const char* raw = reinterpret_cast<const char*>(img_bytes_ + pos);
      std::string_view name(raw, strnlen(raw, child.namelen));
      pos += child.namelen;
      if (name.empty()) {
        fprintf(stderr, "readdir: empty size name found! namelen %d, dsize %d, ioff %d\n", int(child.namelen / 4),
                int(end - pos), int(pos));
        break;
      }
      // A name no path can reach would drop out of the tree, and so out of a
      // rebuild: the image is refused, as squashfs refuses it, after naming
      // every such entry of the listing.
      if (!valid_name(name)) {
        fprintf(stderr, "readdir: bad name in %s: \"%s\" (image not loaded)\n", shown(node), printable(name).c_str());
        bad_names = true;
        continue;
      }
      // The path is held twice (node and path table).
      uint64_t held = 2 * (parent_len + 1 + name.size() + 1) + name.size() + 1;
      if (held > path_budget_) {
        fprintf(stderr, "readdir: paths too long to hold (more than %u MiB of names)\n",
                unsigned((kMaxPathBytes + len_) >> 20));
        return false;
      }
      path_budget_ -= held;
      entry* e = arena_node(node, parent_len, name.data(), name.size(), child);
      if (!e) return fail("read: out of memory\n");
      children.emplace_back(e, child);
    }
    return !bad_names;
  }

  // A name from the image as one line of text: bytes outside printable ASCII as \xNN.
  static std::string printable(std::string_view name) {
    std::string out;
    for (unsigned char ch : name) {
      if (ch >= 0x20 && ch < 0x7F && ch != '\\' && ch != '"') {
        out += char(ch);
      } else {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02x", ch);
        out += hex;
      }
    }
    return out;
  }

  bool big() const { return img_->big_endian; }
  bool fail(const char* msg) {
    fputs(msg, stderr);
    return false;
  }
  bool io_fail(const char* fmt) {
    fprintf(stderr, fmt, EIO, strerror(EIO));
    return false;
  }
  static const char* shown(const entry* e) { return e->path[0] ? e->path : "/"; }

  // The block-pointer table is checked now (bounds, order, page sizes); the
  // pages themselves are inflated when read, except a link's target.
  bool load_content(entry* e, const Inode& ino, bool link) {
    if (ino.size == 0) return true;
    if (link && ino.size > kPage) {
      fprintf(stderr, "readlink: link target of %s longer than a page\n", e->path);
      return false;
    }
    uint32_t pages = page_count(ino.size);
    uint64_t table = ino.offset, data = table + 4ull * pages;
    if (ino.offset == 0 || data > len_) return io_fail("readdir: can`t read full block table, errno %d, message %s\n");
    // A table is read when its content is (its first read or a rebuild
    // checks it whole): a tree of many files opens without touching the
    // pages they lie in. Links are read now, and so is the first table of
    // more than one page, since cramfs records no page size and an image
    // made for bigger pages is refused at once by what that table holds.
    // Entries sharing one stored content (duplicates) are checked once.
    if ((link || (pages > 1 && !probed_)) && tables_.insert(uint64_t(ino.offset) << 32 | pages)) {
      probed_ |= pages > 1;
      std::string msg = table_fault(img_, ino.offset, pages, e->path);
      if (!msg.empty()) {
        bool more = false;
        if (uint32_t p = other_page_size(ino.offset, ino.size, &more))
          fprintf(stderr, "unsupported cramfs: %u-byte pages%s (mkfs.cramfs -b); only 4096-byte pages are read\n", p,
                  more ? " or bigger" : "");
        else
          fputs(msg.c_str(), stderr);
        return false;
      }
    }
    e->src = ino.offset;
    img_->content_starts.push_back(ino.offset);
    if (link || pages > 1) e->flags |= CRAMFS_TABLE_CHECKED;
    if (!link) return true;
    if (ino.size > link_budget_) {
      fprintf(stderr, "readlink: link targets too large to hold (more than %u MiB)\n",
              unsigned((kMaxLinkBytes + len_) >> 20));
      return false;
    }
    link_budget_ -= ino.size;
    uint8_t* out = static_cast<uint8_t*>(malloc(ino.size + 1));  // +1 keeps link text terminated
    if (!out) return fail("read: out of memory\n");
    if (read_stored_page(img_, ino.offset, ino.size, 0, out, true, false) != 0) {
      free(out);
      return false;
    }
    out[ino.size] = 0;
    e->buf = out;
    return true;
  }

  // The smallest page size above 4096 that makes this content's table and
  // first page consistent, or 0 (*more: bigger sizes fit too). cramfs records
  // no page size: an image made for bigger pages shows itself in the first
  // table that does not fit.
  uint32_t other_page_size(uint32_t table, uint32_t size, bool* more) {
    uint32_t found = 0;
    *more = false;
    for (uint32_t p = 8192; p <= 65536; p *= 2) {
      if (size <= kPage) break;
      uint32_t pages = (size + p - 1) / p;
      uint64_t start = uint64_t(table) + 4ull * pages, first_end = 0;
      bool ok = start <= len_;
      for (uint32_t i = 0; ok && i < pages; ++i) {
        uint64_t stop = load32(big(), img_bytes_ + table + 4ull * i);
        ok = stop >= start && stop <= len_ && stop - start <= 2ull * p;
        if (i == 0) first_end = stop;
        start = stop;
      }
      if (!ok) continue;
      uint64_t data = uint64_t(table) + 4ull * pages;
      std::vector<uint8_t> page(p);
      uLongf got = std::min(p, size);
      if (first_end > data && uncompress(page.data(), &got, img_bytes_ + data, uLong(first_end - data)) == Z_OK &&
          got == std::min(p, size)) {
        if (found) {
          *more = true;
          break;
        }
        found = p;
      }
    }
    return found;
  }

  cramfs_data* img_;
  const uint8_t* img_bytes_;
  size_t len_;
  std::set<uint32_t> listings_;
  CheckedTables tables_;
  uint64_t path_budget_, link_budget_;
  uint64_t nodes_ = 0;
  bool probed_ = false;  // a table of more than one page was checked
  bool twins_ = false;   // two siblings of one name
};

// The variants this reader refuses, named as mkfs.cramfs and the kernel name them.
std::string feature_names(uint32_t flags) {
  static const struct {
    uint32_t bit;
    const char* name;
  } known[] = {{0x100, "explicit holes (flag 0x100, mkfs.cramfs -z)"},
               {0x200, "non-standard signature (flag 0x200)"},
               {0x400, "shifted root offset (flag 0x400)"},
               {0x800, "extended block pointers (flag 0x800, uncompressed or direct blocks)"}};
  std::string out;
  for (const auto& k : known) {
    if (!(flags & k.bit)) continue;
    out += (out.empty() ? "" : ", ") + std::string(k.name);
    flags &= ~k.bit;
  }
  if (flags) {
    char hex[64];
    snprintf(hex, sizeof hex, "unknown flags 0x%x", flags);
    out += (out.empty() ? "" : ", ") + std::string(hex);
  }
  return out;
}

entry* load_image(uint8_t* buf, size_t size, uint8_t* owned) {
  auto refuse = [&](entry* r) {
    free(owned);
    return r;
  };
  if (!buf || size < 76) {
    fprintf(stderr, "error:%s\n", strerror(EIO));
    return refuse(nullptr);
  }
  // The magic in either byte order, at 0 or behind 512 bytes of boot padding.
  size_t base = 0;
  bool big = false;
  auto magic_at = [&](size_t at) {
    if (rs::load_le32(buf + at) == kMagic) return true;
    big = rs::load_be32(buf + at) == kMagic;
    return big;
  };
  if (!magic_at(0)) {
    if (size < 512 + 76) {
      fprintf(stderr, "error:%s\n", strerror(EIO));
      return refuse(nullptr);
    }
    base = 512;
    if (!magic_at(base)) {
      fputs("wrong magic! is it really cramfs image file?\n", stderr);
      return refuse(nullptr);
    }
  }
  const uint8_t* super = buf + base;
  uint32_t flags = load32(big, super + 8);
  if (flags & 0xFFFFFF00u) {
    std::string what = feature_names(flags & 0xFFFFFF00u);
    fprintf(stderr, "unsupported cramfs features: %s\n", what.c_str());
    return refuse(nullptr);
  }
  Inode root_ino = decode_inode(big, super + 64);
  if ((root_ino.mode & 0xF000) != 0x4000) {
    fputs("init: root is not a directory\n", stderr);
    return refuse(nullptr);
  }
  if (root_ino.offset == 0) {
    fputs("warning: empty filesystem\n", stderr);
    root_ino.size = 0;
  } else if (root_ino.offset != 76 && root_ino.offset != 588) {
    // A malformed image must not end the process: the partition just gets no tree.
    fprintf(stderr, "init: bad root offset %lu\n", static_cast<unsigned long>(root_ino.offset));
    return refuse(nullptr);
  }
  cramfs_data* image = image_new();
  image->base = buf;
  image->base_len = size;
  image->owned = owned;
  image->big_endian = big;
  image->image_length = int(base);
  if (base) memcpy(image->boot_pad, buf, 512);
  image->edition = (flags & 1) ? load32(big, super + 36) : 0;
  memcpy(image->volume_name, super + 48, 16);
  entry* root = cramfs_node_new(image, "/", root_ino.mode, 0, root_ino.uid, root_ino.gid);
  image->arena = new cramfs_arena;
  // The path table is filled at the first lookup: opening and listing need none.
  image->root = root;
  image->paths_pending = true;
  Loader loader(image, buf, size);
  if (!loader.load_dir(root, root_ino, 0)) {
    cramfs_free(root);
    return nullptr;
  }
  std::vector<uint32_t>& starts = image->content_starts;
  if (!std::is_sorted(starts.begin(), starts.end())) std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  image->pending_nodes = loader.nodes() + 1;
  image->walkable = !loader.twins();
  root->size = cramfs_resize(root);
  return root;
}

}  // namespace
}  // namespace rs::cramfs

using namespace rs::cramfs;

entry* cramfs_load_memory(uint8_t* buf, size_t size) { return load_image(buf, size, nullptr); }

entry* cramfs_load_copy(const uint8_t* buf, size_t size) {
  uint8_t* copy = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (!copy) {
    fprintf(stderr, "error:%s\n", strerror(ENOMEM));
    return nullptr;
  }
  if (size) memcpy(copy, buf, size);
  return load_image(copy, size, copy);
}

entry* cramfs_load(const char* imagefile) {
  std::vector<uint8_t> data;
  if (!rs::read_file(imagefile, data)) {
    fprintf(stderr, "open image file: %s\n", strerror(errno ? errno : ENOENT));
    return nullptr;
  }
  return cramfs_load_copy(data.data(), data.size());
}

long long cramfs_entry_pread(entry* e, void* buf, size_t size, uint64_t offset, bool quiet) {
  if (!e || offset >= e->size || size == 0) return 0;
  size_t n = size_t(std::min<uint64_t>(size, e->size - offset));
  uint8_t* dst = static_cast<uint8_t*>(buf);
  if (e->buf) {
    memcpy(dst, e->buf + offset, n);
    return (long long)n;
  }
  cramfs_data* img = e->image;
  bool link = (e->mode & 0xF000) == 0xA000;
  if (!e->src || !img) {
    page_error(link, Z_DATA_ERROR, quiet);
    return -EIO;
  }
  if (!(e->flags & CRAMFS_TABLE_CHECKED)) {
    std::string fault = table_fault(img, e->src, page_count(e->size), e->path ? e->path : "");
    if (!fault.empty()) {
      if (!quiet) fputs(fault.c_str(), stderr);
      return -EIO;
    }
    e->flags |= CRAMFS_TABLE_CHECKED;
  }
  for (uint64_t pos = offset, end = offset + n; pos < end;) {
    uint32_t index = uint32_t(pos / kPage);
    uint64_t page_start = uint64_t(index) * kPage;
    uint32_t want = uint32_t(std::min<uint64_t>(kPage, e->size - page_start));
    uint32_t in_page = uint32_t(pos - page_start);
    uint32_t take = uint32_t(std::min<uint64_t>(want - in_page, end - pos));
    if (in_page == 0 && take == want) {  // a whole page: straight into the caller's buffer
      if (read_stored_page(img, e->src, e->size, index, dst + (pos - offset), link, quiet) != 0) return -EIO;
    } else {
      if (!img->page_cache) {
        img->page_cache = static_cast<uint8_t*>(malloc(kPage));
        if (!img->page_cache) return -ENOMEM;
        img->cache_size = 0;
      }
      if (img->cache_size != e->size || img->cache_table != e->src || img->cache_index != index) {
        img->cache_size = 0;  // invalid until the page is whole
        if (read_stored_page(img, e->src, e->size, index, img->page_cache, link, quiet) != 0) return -EIO;
        img->cache_table = e->src;
        img->cache_size = e->size;
        img->cache_index = index;
      }
      memcpy(dst + (pos - offset), img->page_cache + in_page, take);
    }
    pos += take;
  }
  return (long long)n;
}
