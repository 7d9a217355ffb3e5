// Building cramfs images from a tree: host directory scan, duplicate
// elimination, listing layout and page compression.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "cramfs/cramfs.h"
#include "cramfs/internal.h"
#include "cramfs/md5.h"
#include "util/crc32.h"
#include "util/endian.h"
#include "util/fatal.h"
#include "util/report.h"

using namespace rs::cramfs;

namespace {

constexpr size_t kMaxInputNameLen = 255;
constexpr size_t kMaxNameField = 252;  // 63 units of 4 bytes
constexpr uint64_t kMaxFsLen = 285229051;
constexpr uint64_t kMaxDataOffset = 0x0FFFFFFF;
std::atomic<unsigned> g_threads{0};

uint32_t padded(size_t n) { return uint32_t((n + 3) & ~size_t(3)); }
uint32_t type_of(const entry* e) { return e->mode & 0xF000; }

std::string name_too_long_text(const char* name) {
  char head[64];
  snprintf(head, sizeof head, "Very long (%u bytes) filename `", unsigned(strlen(name)));
  return head + std::string(name) +
         "' found.\n Please increase MAX_INPUT_NAMELEN in mkcramfs and recompile.  Exiting.\n";
}

[[noreturn]] void name_too_long(const char* name) {
  fputs(name_too_long_text(name).c_str(), stderr);
  rs::rs_exit(8);
}

// What a writer limit does. A tree of the user's own input (a host directory,
// a tree made in memory) ends the process as mkcramfs always did; a tree
// loaded from an image only fails its rebuild, with the reason, so that an
// edit session is not lost and the tree can be fixed and rebuilt.
struct Limits {
  bool fatal;
  std::string* why;
  // Prints `text` on standard error, then ends the process (or, at the
  // prompt, the command) or gives null with its first line in *why.
  std::nullptr_t fail(const std::string& text) const {
    fputs(text.c_str(), stderr);
    if (fatal) {
      fflush(stdout);
      rs::rs_exit(8);
    }
    if (why) *why = text.substr(0, text.find('\n'));
    return nullptr;
  }
  // A refusal that never ended the process: the message, and null.
  std::nullptr_t refuse(const std::string& text) const {
    fputs(text.c_str(), stderr);
    if (why) *why = text.substr(0, text.find('\n'));
    return nullptr;
  }
};

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
    if ((type == 0x8000 || type == 0xA000) && e->size) *fslen_ub += e->size + 3 + 30 * ((e->size + kPage - 1) / kPage);
  }
  return total;
}

bool has_content(const entry* e) {
  return (type_of(e) == 0x8000 || type_of(e) == 0xA000) && e->size && (e->buf || e->src);
}
// Content still stored in the loaded image (copied verbatim by a rebuild); an
// edit of the content forgets `src`.
bool stored(const entry* e) { return e->src != 0; }

void preorder(entry* node, std::vector<entry*>& out) {
  for (entry* c = node->child; c; c = c->next) {
    out.push_back(c);
    if (c->child) preorder(c, out);
  }
}

bool sorted_below(const entry* dir) {
  for (const entry* c = dir->child; c; c = c->next) {
    if (c->next && strcmp(c->name, c->next->name) > 0) return false;
    if (c->child && !sorted_below(c)) return false;
  }
  return true;
}

// Stored contents inflated to find duplicates of new files, per rebuild: a
// small image may name far more content than it holds (shared pages).
constexpr uint64_t kCompareBudget = 256u << 20;

class Doubles {
 public:
  // The digest of `e`'s content; false when it cannot be had (stored data
  // that does not decode, or the budget is spent).
  bool digest(entry* e) {
    if (e->flags & CRAMFS_MD5_DONE) return true;
    if (e->buf) {  // new content, or a link target read at load
      md5(e->buf, e->size, e->md5sum);
    } else {
      if (budget_ < e->size) return false;
      budget_ -= e->size;
      Md5 m;
      uint8_t page[kPage];
      for (uint32_t at = 0; at < e->size; at += kPage) {
        uint32_t n = std::min(kPage, e->size - at);
        if (read_stored_page(e->image, e->src, e->size, at / kPage, page, false, true) != 0) return false;
        m.update(page, n);
      }
      m.final(e->md5sum);
    }
    e->flags |= CRAMFS_MD5_DONE;
    return true;
  }

  // Byte comparison of two contents of one size, at least one of them in memory.
  bool equal(entry* a, entry* b) {
    if (a->buf && b->buf) return memcmp(a->buf, b->buf, a->size) == 0;
    entry* mem = a->buf ? a : b;
    entry* st = a->buf ? b : a;
    if (budget_ < st->size) return false;
    budget_ -= st->size;
    uint8_t page[kPage];
    for (uint32_t at = 0; at < st->size; at += kPage) {
      uint32_t n = std::min(kPage, st->size - at);
      if (read_stored_page(st->image, st->src, st->size, at / kPage, page, false, true) != 0) return false;
      if (memcmp(page, mem->buf + at, n) != 0) return false;
    }
    return true;
  }

 private:
  uint64_t budget_ = kCompareBudget;
};

// An entry's `same` becomes the first earlier entry (in pre-order) of the same
// type with identical bytes. Entries of the loaded image sharing one stored
// content keep sharing it; a new or replaced file is compared with the
// others of its type and size (stored ones inflated for that only). Stored
// contents are not compared with each other: the loaded image's writer did.
void eliminate_doubles(const std::vector<entry*>& order) {
  // Stored entries by type, size and table in one sorted array (a tree of
  // many files would otherwise cost a map node each): the first of a run, in
  // pre-order, is the one the others share.
  auto source_key = [](const entry* e) {
    return uint64_t(type_of(e) >> 12) << 56 | uint64_t(e->size & 0xFFFFFF) << 32 | e->src;
  };
  std::vector<std::pair<uint32_t, uint32_t>> new_keys;  // type, size of each new content
  // Stored tables rising in pre-order (as writers lay them out) are all
  // distinct: nothing shared, and no array to sort.
  bool rising = true;
  uint32_t last_src = 0;
  for (entry* e : order) {
    e->same = nullptr;
    if (!has_content(e)) {
      e->flags |= CRAMFS_NO_CONTENT;
      continue;
    }
    if (stored(e)) {
      rising = rising && e->src > last_src;
      last_src = e->src;
    } else {
      new_keys.emplace_back(type_of(e), e->size);
    }
  }
  if (!rising) {
    std::vector<std::pair<uint64_t, uint32_t>> sources;
    for (uint32_t i = 0; i < order.size(); ++i)
      if (has_content(order[i]) && stored(order[i])) sources.emplace_back(source_key(order[i]), i);
    std::sort(sources.begin(), sources.end());
    for (size_t i = 1; i < sources.size(); ++i)
      if (sources[i].first == sources[i - 1].first)
        order[sources[i].second]->same =
            order[sources[i - 1].second]->same ? order[sources[i - 1].second]->same : order[sources[i - 1].second];
  }
  // Only sizes some new content has can hold a double: the rest are not grouped.
  std::sort(new_keys.begin(), new_keys.end());
  new_keys.erase(std::unique(new_keys.begin(), new_keys.end()), new_keys.end());
  std::map<std::pair<uint32_t, uint32_t>, std::vector<entry*>> by_size;  // type, size
  if (!new_keys.empty()) {
    for (entry* e : order) {
      if (!has_content(e) || e->same) continue;
      std::pair<uint32_t, uint32_t> key{type_of(e), e->size};
      if (std::binary_search(new_keys.begin(), new_keys.end(), key)) by_size[key].push_back(e);
    }
  }
  Doubles d;
  for (auto& [key, group] : by_size) {
    if (group.size() < 2) continue;
    // Distinct contents so far by digest, each list in pre-order: a group of
    // many files of one size is matched in one pass, not pair by pair.
    std::unordered_map<std::string_view, std::vector<entry*>> kept;
    for (entry* e : group) {
      bool known = d.digest(e);
      if (!known) continue;
      std::vector<entry*>& same_digest = kept[std::string_view(reinterpret_cast<const char*>(e->md5sum), 16)];
      for (entry* k : same_digest) {
        if (stored(k) && stored(e)) continue;
        if (d.equal(k, e)) {
          e->same = k;
          break;
        }
      }
      if (!e->same) same_digest.push_back(e);
    }
  }
  // Entries that share a stored content share what it became.
  for (entry* e : order)
    if (e->same && e->same->same) e->same = e->same->same;
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

// Where a stored content's pages lie in the loaded image.
struct StoredSpan {
  uint64_t data = 0, end = 0;  // compressed pages: [data, end)
};

bool stored_span(const entry* e, StoredSpan& s) {
  const cramfs_data* img = e->image;
  uint32_t n = page_count(e->size);
  uint64_t data = uint64_t(e->src) + 4ull * n;
  if (!img->base || data > img->base_len) return false;
  uint64_t at = data;
  for (uint32_t i = 0; i < n; ++i) {  // checked at load; again, as they are trusted now
    uint64_t stop = load32(img->big_endian, img->base + e->src + 4ull * i);
    if (stop < at || stop > img->base_len || stop - at > 2 * kPage) return false;
    at = stop;
  }
  s.data = data;
  s.end = at;
  return true;
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
  // A limit that ends the command (at the prompt, rs_exit throws) frees the tree.
  try {
    root->size = parse_directory(root, dir, fslen_ub);
  } catch (...) {
    cramfs_free(root);
    throw;
  }
  return root;
}

uint8_t* cramfs_mmap(entry* root, size_t* size, std::string* why) {
  if (why) why->clear();
  if (!root || !root->image) {
    if (why) *why = "no cramfs tree";
    return nullptr;
  }
  cramfs_data* img_rec = root->image;
  const Limits limits{img_rec->base == nullptr, why};
  const bool big = img_rec->big_endian;
  const uint32_t pad = img_rec->image_length == 512 ? 512 : 0;
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
  uint64_t listings = pad + 76;
  for (entry* e : order) {
    if (strlen(e->name) > kMaxNameField) return limits.fail(name_too_long_text(e->name));
    listings += 12 + padded(strlen(e->name));
  }
  eliminate_doubles(order);

  // New contents are compressed first (in parallel); stored ones are copied
  // as they are, only their block-pointer tables rewritten for the new place.
  std::vector<Page> pages;
  std::vector<StoredSpan> spans;
  uint64_t length = listings;
  for (entry* e : order) {
    if (!has_content(e) || e->same) continue;
    uint32_t n = page_count(e->size);
    length += 4ull * n + 4;  // table and alignment
    if (stored(e)) {
      StoredSpan sp;
      if (!stored_span(e, sp)) return limits.refuse(std::string("read: bad block pointer of ") + e->path + "\n");
      spans.push_back(sp);
      length += sp.end - sp.data;
    } else {
      for (uint32_t at = 0; at < e->size; at += kPage)
        pages.push_back({e->buf + at, std::min(kPage, e->size - at), {}});
    }
  }
  compress_pages(pages);
  for (Page& p : pages) {
    if (p.out.size() > 2 * kPage)
      return limits.fail("AIEEE: block \"compressed\" to > 2*blocklength (" + std::to_string(long(p.out.size())) +
                         ")\n");
    length += p.out.size();
  }
  auto no_space = [&](uint64_t used) {
    char text[128];
    snprintf(text, sizeof text, "not enough space allocated for ROM image (%d allocated, %d used)\n", int(kMaxFsLen),
             int(used));
    return limits.refuse(text);
  };
  if (length > kMaxFsLen) return no_space(length);
  uint8_t* img = static_cast<uint8_t*>(calloc(size_t(length) + kPage, 1));
  if (!img) return limits.fail(std::string("calloc: ") + strerror(errno) + "\n");
  // False past the largest offset an inode holds (the image is then given up).
  auto set_offset = [&](const entry* e, uint64_t offset) {
    if (offset > kMaxDataOffset) return false;
    set_inode_offset(big, img + e->dir_offset, uint32_t(offset));
    return true;
  };
  auto too_big = [&] {
    free(img);
    return limits.fail("filesystem too big.  Exiting.\n");
  };

  // Listings depth-first: a directory's listing, then its first non-empty
  // subdirectory's with everything below it, then the next one.
  uint64_t pos = pad + 76;
  std::vector<entry*> stack;
  for (entry* dir = root;;) {
    size_t pushed_from = stack.size();
    for (entry* c = dir->child; c; c = c->next) {
      size_t nlen = strlen(c->name);
      c->dir_offset = uint32_t(pos);
      encode_inode(big, img + pos, c->mode, c->uid, c->size, c->gid, padded(nlen) / 4, 0);
      memcpy(img + pos + 12, c->name, nlen);
      pos += 12 + padded(nlen);
      img_rec->total_nodes++;
      if (c->child) stack.push_back(c);
    }
    std::reverse(stack.begin() + long(pushed_from), stack.end());
    if (stack.empty()) break;
    dir = stack.back();
    stack.pop_back();
    if (!set_offset(dir, pos)) return too_big();
  }

  size_t page_index = 0, span_index = 0;
  for (entry* e : order) {
    if (e->same) {
      e->offset = e->same->offset;
      if (!set_offset(e, e->offset)) return too_big();
      continue;
    }
    if (!has_content(e)) {
      e->offset = 0;  // empty files and special files carry no data offset
      continue;
    }
    e->offset = uint32_t(pos);
    if (!set_offset(e, pos)) return too_big();
    uint32_t n = page_count(e->size);
    uint64_t table = pos;
    pos += 4ull * n;
    img_rec->total_blocks += n;
    if (stored(e)) {
      const StoredSpan& sp = spans[span_index++];
      const uint8_t* base = img_rec->base;
      memcpy(img + pos, base + sp.data, size_t(sp.end - sp.data));
      for (uint32_t i = 0; i < n; ++i) {
        uint64_t stop = load32(big, base + e->src + 4ull * i);
        store32(big, img + table + 4ull * i, uint32_t(stop - sp.data + pos));
      }
      pos += sp.end - sp.data;
    } else {
      for (uint32_t i = 0; i < n; ++i) {
        const Page& p = pages[page_index++];
        memcpy(img + pos, p.out.data(), p.out.size());
        pos += p.out.size();
        store32(big, img + table + 4ull * i, uint32_t(pos));
      }
    }
    pos = (pos + 3) & ~uint64_t(3);
  }
  uint64_t image_len = (pos + kPage - 1) & ~uint64_t(kPage - 1);
  if (image_len > kMaxFsLen) {
    free(img);
    return no_space(image_len);
  }

  // Superblock: the loaded image's edition, volume name and boot padding are kept.
  if (pad) memcpy(img, img_rec->boot_pad, 512);
  uint8_t* super = img + pad;
  store32(big, super + 0, kMagic);
  store32(big, super + 4, uint32_t(image_len));
  // Version-2 fsid; directories sorted (the tree keeps them so) when they are.
  store32(big, super + 8, 1u | (sorted_below(root) ? 2u : 0u));
  memcpy(super + 16, "Compressed ROMFS", 16);
  store32(big, super + 36, img_rec->edition);
  store32(big, super + 40, uint32_t(img_rec->total_blocks));
  store32(big, super + 44, uint32_t(img_rec->total_nodes));
  memcpy(super + 48, img_rec->volume_name, 16);
  encode_inode(big, super + 64, root->mode, root->uid, root->size, root->gid, 0, pad + 76);
  store32(big, super + 32, rs::crc32_of(super, size_t(image_len - pad)));
  *size = size_t(image_len);
  return img;
}

int mkfs_cramfs(const char* dir, const char* image) { return mkfs_cramfs_endian(dir, image, 0); }

int mkfs_cramfs_endian(const char* dir, const char* image, int big_endian) {
  size_t ub = 0;
  entry* root = cramfs_parse_directory(dir, &ub);
  if (!root) return -1;
  root->image->big_endian = big_endian < 0 ? std::endian::native == std::endian::big : big_endian != 0;
  size_t len = 0;
  uint8_t* img = nullptr;
  try {
    img = cramfs_mmap(root, &len);
  } catch (...) {
    cramfs_free(root);
    throw;
  }
  cramfs_free(root);
  if (!img) return -1;
  bool ok = rs::write_file_atomic(image, img, len);
  if (!ok) fprintf(stderr, "ROM image write failed (%d %d)\n", 0, int(len));
  free(img);
  return ok ? 0 : -1;
}

// --- saving over the loaded image ------------------------------------------
//
// The directory listings are written anew at the front, where cramfs wants
// them; every stored content that still lies beyond them stays where it is,
// its block pointers untouched; new contents, and stored ones the grown
// listings now cover, go after the old image's end. Readers want the
// listings to end exactly where the first content starts: any room left in
// between goes in front of the last listing (a gap before a listing is
// fine; a gap before the first content is not).
long long cramfs_write_in_place(entry* root, uint8_t* part, size_t room, std::string* why) {
  if (why) why->clear();
  if (!root || !root->image || !part) return -1;
  cramfs_data* rec = root->image;
  if (rec->base != part || rec->base_len < 76) return -1;
  if (const char* c = getenv("ROMSMITH_CRAMFS_COMPACT"); c && *c && strcmp(c, "0") != 0) return -1;
  const bool big = rec->big_endian;
  const uint32_t pad = rec->image_length == 512 ? 512 : 0;
  if (rec->base_len < pad + 76) return -1;
  const uint64_t old_len = load32(big, part + pad + 4);
  if (old_len > rec->base_len || old_len % kPage) return -1;

  root->size = cramfs_resize(root);
  std::vector<entry*> order;
  order.reserve(size_t(rec->pending_nodes));
  preorder(root, order);
  uint64_t listings = pad + 76;
  for (entry* e : order) {
    // A name too long for an inode: the whole rebuild says so.
    if (strlen(e->name) > kMaxNameField) return -1;
    listings += 12 + padded(strlen(e->name));
  }
  eliminate_doubles(order);

  // Distinct contents: the stored ones beyond the listings stay, their
  // tables unread (nothing in them changes); the rest are written at the end.
  std::vector<entry*> kept, fresh;
  kept.reserve(order.size());
  std::vector<std::pair<entry*, StoredSpan>> moved;
  uint64_t blocks = 0, first = UINT64_MAX;
  for (entry* e : order) {
    if (!has_content(e) || e->same) continue;
    blocks += page_count(e->size);
    if (!stored(e)) {
      fresh.push_back(e);
    } else if (e->src >= listings) {
      kept.push_back(e);
      first = std::min<uint64_t>(first, e->src);
    } else {
      StoredSpan sp;
      if (!stored_span(e, sp)) return -1;
      moved.push_back({e, sp});
    }
  }
  if (kept.empty() || first + 4 > old_len) return -1;
  const uint64_t gap = first - listings;

  // Listing places, depth-first as the whole rebuild lays them out.
  std::vector<std::pair<entry*, uint64_t>> dirs;  // directory, its listing's offset
  {
    uint64_t pos = pad + 76;
    std::vector<entry*> stack;
    for (entry* dir = root;;) {
      dirs.push_back({dir, pos});
      size_t from = stack.size();
      for (entry* c = dir->child; c; c = c->next) {
        pos += 12 + padded(strlen(c->name));
        if (c->child) stack.push_back(c);
      }
      std::reverse(stack.begin() + long(from), stack.end());
      if (stack.empty()) break;
      dir = stack.back();
      stack.pop_back();
    }
  }
  if (gap && dirs.size() < 2) return -1;  // only the root's listing, which may not move
  if (gap) dirs.back().second += gap;

  // New pages compressed on all cores; moved contents copied as stored.
  std::vector<Page> pages;
  for (entry* e : fresh)
    for (uint32_t at = 0; at < e->size; at += kPage) pages.push_back({e->buf + at, std::min(kPage, e->size - at), {}});
  compress_pages(pages);
  std::vector<uint8_t> tail;
  size_t page_index = 0;
  auto put32 = [&](uint64_t at, uint32_t v) { store32(big, tail.data() + (at - old_len), v); };
  for (entry* e : fresh) {
    uint32_t n = page_count(e->size);
    e->offset = uint32_t(old_len + tail.size());
    uint64_t table = old_len + tail.size();
    tail.resize(tail.size() + 4ull * n);
    for (uint32_t i = 0; i < n; ++i) {
      const Page& p = pages[page_index++];
      if (p.out.size() > 2 * kPage) return -1;
      tail.insert(tail.end(), p.out.begin(), p.out.end());
      put32(table + 4ull * i, uint32_t(old_len + tail.size()));
    }
    tail.resize((tail.size() + 3) & ~size_t(3));
  }
  for (const auto& [e, span] : moved) {
    uint32_t n = page_count(e->size);
    e->offset = uint32_t(old_len + tail.size());
    uint64_t table = old_len + tail.size(), data = table + 4ull * n;
    tail.resize(tail.size() + 4ull * n);
    tail.insert(tail.end(), part + span.data, part + span.end);
    for (uint32_t i = 0; i < n; ++i)
      put32(table + 4ull * i, uint32_t(load32(big, part + e->src + 4ull * i) - span.data + data));
    tail.resize((tail.size() + 3) & ~size_t(3));
  }
  for (entry* k : kept) k->offset = k->src;
  const uint64_t image_len = (old_len + tail.size() + kPage - 1) & ~uint64_t(kPage - 1);
  if (image_len > room || image_len > kMaxFsLen || old_len + tail.size() > kMaxDataOffset) return -1;
  // Dead bytes (contents no inode names any more) past an eighth of the
  // image: the whole rebuild packs them out. A kept content is taken to fill
  // the room up to the next content start: a pass over every table would
  // cost more than the save, and the starts already tell which rooms lost
  // their content.
  uint64_t live = tail.size();
  {
    const std::vector<uint32_t>& starts = rec->content_starts;
    size_t at = 0;
    for (entry* k : kept) {
      // Kept tables mostly rise in tree order: a short walk from the last one.
      if (at && starts[at - 1] > k->src)
        at = size_t(std::upper_bound(starts.begin(), starts.end(), k->src) - starts.begin());
      while (at < starts.size() && starts[at] <= k->src) ++at;
      uint64_t next = at < starts.size() ? std::min<uint64_t>(starts[at], old_len) : old_len;
      live += next > k->src ? next - k->src : 0;
    }
  }
  if ((image_len - listings - live) * 8 > image_len) return -1;

  // The image's CRC follows from the loaded one by the bytes changed, all in
  // front of the first kept content, and the bytes appended: the save costs
  // what it changes, not a pass over every stored page. It needs a CRC to
  // start from (version-2 superblock); a stored CRC that was wrong stays
  // wrong by the same difference, as every byte it covers is kept. CRCs are
  // linear: the old head's CRC, moved over the kept bytes, taken from the
  // old image's leaves that of the kept bytes alone.
  // A private file mapping copies a page at its first write, one fault
  // each: the listings' pages are made writable in one call instead (a
  // hint; other memory, or an older kernel, just takes the faults).
  {
    uintptr_t from = reinterpret_cast<uintptr_t>(part + pad) & ~uintptr_t(kPage - 1);
    uintptr_t to = reinterpret_cast<uintptr_t>(part + first);
    madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  }
  uint8_t* super = part + pad;
  const bool had_crc = load32(big, super + 8) & 1;
  const uint64_t kept_len = old_len - first;
  uint32_t kept_crc = 0;
  if (had_crc) {
    static const uint8_t kZero[4] = {};
    uint32_t head = rs::crc32_update(rs::crc32_update(rs::crc32_of(super, 32), kZero, 4), super + 36,
                                     size_t(first - pad - 36));  // the CRC was taken with its own field zero
    kept_crc = load32(big, super + 32) ^ uint32_t(crc32_combine(head, 0, z_off_t(kept_len)));
  }

  // Every read of the old bytes is done: now the writes. The listings go
  // straight into place, with the offsets every inode now has; the gap
  // before the last listing keeps what it held (dead bytes).
  uint32_t nodes = 1;
  for (const auto& [dir, at] : dirs) {
    uint64_t pos = at;
    for (entry* c = dir->child; c; c = c->next, ++nodes) {
      size_t nlen = strlen(c->name);
      uint8_t* p = part + pos;
      uint32_t off = c->same ? c->same->offset : has_content(c) ? c->offset : 0;
      if (c->child) off = 0;  // set below, when its listing's place is known
      encode_inode(big, p, c->mode, c->uid, c->size, c->gid, padded(nlen) / 4, off);
      memcpy(p + 12, c->name, nlen);
      if (size_t fill = padded(nlen) - nlen) memset(p + 12 + nlen, 0, fill);
      c->dir_offset = uint32_t(pos);
      pos += 12 + padded(nlen);
    }
  }
  for (size_t i = 1; i < dirs.size(); ++i)
    set_inode_offset(big, part + dirs[i].first->dir_offset, uint32_t(dirs[i].second));
  if (!tail.empty()) memcpy(part + old_len, tail.data(), tail.size());
  if (image_len > old_len + tail.size()) memset(part + old_len + tail.size(), 0, image_len - old_len - tail.size());
  store32(big, super + 4, uint32_t(image_len));
  store32(big, super + 8, 1u | (sorted_below(root) ? 2u : 0u));
  store32(big, super + 40, uint32_t(blocks));
  store32(big, super + 44, nodes);
  encode_inode(big, super + 64, root->mode, root->uid, root->size, root->gid, 0, pad + 76);
  store32(big, super + 32, 0);
  uint32_t crc;
  if (had_crc) {
    crc = uint32_t(crc32_combine(rs::crc32_of(super, size_t(first - pad)), kept_crc, z_off_t(kept_len)));
    crc = rs::crc32_update(crc, part + old_len, size_t(image_len - old_len));
  } else {
    crc = rs::crc32_parallel(super, size_t(image_len - pad));
  }
  store32(big, super + 32, crc);
  rec->total_blocks = long(blocks);
  rec->total_nodes = nodes;
  // The tree now describes the bytes written: contents are read from where
  // they went, and new ones need not stay in memory. Kept tables were not
  // read, so they keep their state; the others were written just now.
  for (entry* e : order) {
    if (!has_content(e)) continue;
    uint32_t now = e->same ? e->same->offset : e->offset;
    if (now >= old_len) e->flags |= CRAMFS_TABLE_CHECKED;
    e->src = now;
    if (type_of(e) == 0x8000 && e->buf) {
      free(e->buf);
      e->buf = nullptr;
    }
  }
  // Contents written at the end start new rooms; starts the listings now
  // cover name nothing.
  std::vector<uint32_t>& starts = rec->content_starts;
  starts.erase(starts.begin(), std::lower_bound(starts.begin(), starts.end(), uint32_t(listings)));
  for (entry* e : fresh) starts.push_back(e->offset);
  for (const auto& m : moved) starts.push_back(m.first->offset);
  rec->base_len = size_t(image_len);
  rec->cache_size = 0;
  return (long long)image_len;
}
