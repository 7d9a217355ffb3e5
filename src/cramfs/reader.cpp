// Loading a cramfs image held in memory into the tree.
//
// Every offset, size and count comes from the image and is checked against
// the image's bounds before use; a structural fault fails the whole load so
// that a partition is never edited (and later rebuilt) from a partial tree.
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs/internal.h"
#include "util/endian.h"

namespace rs::cramfs {

cramfs_data* image_new() {
  cramfs_data* d = new cramfs_data;
  d->entry_table = hash_new(kEntryBuckets, nullptr);
  return d;
}

namespace {

struct Inode {
  uint32_t mode, uid, size, gid, namelen, offset;  // offset in bytes
};

Inode decode_inode(const uint8_t* p) {
  uint32_t w0 = load_le32(p), w1 = load_le32(p + 4), w2 = load_le32(p + 8);
  return {w0 & 0xFFFF, w0 >> 16, w1 & 0xFFFFFF, w1 >> 24, (w2 & 0x3F) * 4, (w2 >> 6) * 4};
}

// Contents are bounded so that a small image cannot demand unbounded memory
// (zero-length pages inflate 4 bytes of pointer table into a whole page).
constexpr uint64_t kMaxContent = uint64_t(1) << 30;
constexpr int kMaxDepth = 1024;

class Loader {
 public:
  Loader(const uint8_t* img, size_t len) : img_(img), len_(len) {}

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
    uint64_t pos = ino.offset;
    std::vector<std::pair<entry*, Inode>> children;
    while (pos < end) {
      if (pos + 12 > end) return io_fail("readdir: can`t read full inode, errno %d, message %s\n");
      Inode child = decode_inode(img_ + pos);
      pos += 12;
      if (pos + child.namelen > end) return io_fail("readdir: can`t read full direntry, errno %d, message %s\n");
      const char* raw = reinterpret_cast<const char*>(img_ + pos);
      std::string name(raw, strnlen(raw, child.namelen));
      pos += child.namelen;
      if (name.empty()) {
        fprintf(stderr, "readdir: empty size name found! namelen %d, dsize %d, ioff %d\n", int(child.namelen / 4),
                int(end - pos), int(pos));
        break;
      }
      if (name == "." || name == "..") continue;
      if (!valid_name(name)) {
        fprintf(stderr, "readdir: bad name in %s\n", shown(node));
        return false;
      }
      entry* e = cramfs_node_new(node->image, name.c_str(), child.mode, child.size, child.uid, child.gid);
      node_set_path(e, std::string(node->path) + "/" + name);
      inode_add_child(node, e);
      register_node(e);
      children.emplace_back(e, child);
    }
    uint32_t listing = 0;
    for (auto& [e, child] : children) {
      listing += 12 + ((uint32_t(strlen(e->name)) + 3) & ~3u);
      uint32_t type = child.mode & 0xF000;
      if (type == 0x4000) {
        if (!load_dir(e, child, depth + 1)) return false;
      } else if (type == 0x8000 || type == 0xA000) {
        if (!load_content(e, child, type == 0xA000)) return false;
      } else {
        printf("other %s\n", e->name);
      }
    }
    node->size = listing;
    return true;
  }

 private:
  bool fail(const char* msg) {
    fputs(msg, stderr);
    return false;
  }
  bool io_fail(const char* fmt) {
    fprintf(stderr, fmt, EIO, strerror(EIO));
    return false;
  }
  static const char* shown(const entry* e) { return e->path[0] ? e->path : "/"; }

  bool load_content(entry* e, const Inode& ino, bool link) {
    if (ino.size == 0) return true;
    if (link && ino.size > kPage) {
      fprintf(stderr, "readlink: link target of %s longer than a page\n", e->path);
      return false;
    }
    content_ += ino.size;
    if (content_ > kMaxContent) return fail("read: image contents too large\n");
    uint32_t pages = (ino.size + kPage - 1) / kPage;
    uint64_t table = ino.offset, data = table + 4ull * pages;
    if (ino.offset == 0 || data > len_)
      return io_fail("readdir: can`t read full block table, errno %d, message %s\n");
    size_t cap = size_t(pages) * kPage;
    uint8_t* out = static_cast<uint8_t*>(calloc(cap + 1, 1));  // +1 keeps link text terminated
    if (!out) return fail("read: out of memory\n");
    e->buf = out;
    uint64_t start = data;
    for (uint32_t i = 0; i < pages; ++i) {
      uint64_t stop = load_le32(img_ + table + 4ull * i);
      uint32_t want = i + 1 < pages ? kPage : ino.size - i * kPage;
      if (stop < start || stop > len_) {
        fprintf(stderr, "read: bad block pointer %u of %s\n", i, e->path);
        return false;
      }
      uint64_t bsize = stop - start;
      if (bsize > 2 * kPage) {
        fprintf(stderr,
                "read: block size bigger than PAGE_CACHE_SIZE * 2 while reading block %i from %s, bsize %i, "
                "foffset %i, block %i, boffset %i\n",
                int(i), e->path, int(bsize), int(data), int(stop), int(start));
        return false;
      }
      if (bsize) {  // a zero-length page is a hole: it stays zero
        uLongf got = kPage;
        int rc = uncompress(out + size_t(i) * kPage, &got, img_ + start, uLong(bsize));
        if (rc != Z_OK || got != want) {
          if (rc == Z_OK) rc = Z_DATA_ERROR;
          fprintf(stderr, link ? "readlink: read block error %i: %s\n" : "read: read block error %i: %s\n", rc,
                  strerror(-rc > 0 && -rc < 200 ? -rc : EIO));
          return false;
        }
      }
      start = stop;
    }
    return true;
  }

  const uint8_t* img_;
  size_t len_;
  std::set<uint32_t> listings_;
  uint64_t content_ = 0;
};

}  // namespace
}  // namespace rs::cramfs

using namespace rs::cramfs;

entry* cramfs_load_memory(uint8_t* buf, size_t size) {
  if (!buf || size < 76) {
    fprintf(stderr, "error:%s\n", strerror(EIO));
    return nullptr;
  }
  size_t base = 0;
  if (rs::load_le32(buf) != kMagic) {
    if (size < 512 + 76) {
      fprintf(stderr, "error:%s\n", strerror(EIO));
      return nullptr;
    }
    base = 512;
    if (rs::load_le32(buf + base) != kMagic) {
      fputs("wrong magic! is it really cramfs image file?\n", stderr);
      return nullptr;
    }
  }
  const uint8_t* super = buf + base;
  uint32_t flags = rs::load_le32(super + 8);
  if (flags & 0xFFFFFF00u) {
    fputs("unsupported filesystem features, sorry :-(\n", stderr);
    return nullptr;
  }
  Inode root_ino = decode_inode(super + 64);
  if ((root_ino.mode & 0xF000) != 0x4000) {
    fputs("init: root is not a directory\n", stderr);
    return nullptr;
  }
  if (root_ino.offset == 0) {
    fputs("warning: empty filesystem\n", stderr);
    root_ino.size = 0;
  } else if (!(flags & 0x400) && root_ino.offset != 76 && root_ino.offset != 588) {
    // A malformed image must not end the process: the partition just gets no tree.
    fprintf(stderr, "init: bad root offset %lu\n", static_cast<unsigned long>(root_ino.offset));
    return nullptr;
  }
  cramfs_data* image = image_new();
  entry* root = cramfs_node_new(image, "/", root_ino.mode, 0, root_ino.uid, root_ino.gid);
  register_node(root);
  Loader loader(buf, size);
  if (!loader.load_dir(root, root_ino, 0)) {
    cramfs_free(root);
    return nullptr;
  }
  root->size = cramfs_resize(root);
  return root;
}

entry* cramfs_load(const char* imagefile) {
  std::vector<uint8_t> data;
  if (!rs::read_file(imagefile, data)) {
    fprintf(stderr, "open image file: %s\n", strerror(errno ? errno : ENOENT));
    return nullptr;
  }
  return cramfs_load_memory(data.data(), data.size());
}
