// Reading a romfs image: every header is checked (bounds, checksum, name)
// before it is used, each header may stand in one directory list only (loops
// and shared lists are refused), and hard-link chains are followed with a
// memo so that no crafted chain costs more than one visit per header.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "romfs/internal.h"
#include "util/endian.h"
#include "util/strutil.h"

namespace romfs {
namespace {

struct Header {
  uint32_t next = 0, info = 0, size = 0;
  uint8_t type = 0;
  bool exec = false;
  std::string name;
  uint32_t data = 0;  // offset of what follows the header
};

// A name for a message: control and non-ASCII bytes escaped, long names cut.
std::string printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name.substr(0, 64)) {
    if (c >= 0x20 && c < 0x7f && c != '\\')
      out += char(c);
    else
      out += rs::strprintf("\\x%02x", c);
  }
  return name.size() > 64 ? out + "..." : out;
}

uint32_t checksum(const uint8_t* p, uint32_t n) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 4 <= n; i += 4) sum += rs::load_be32(p + i);
  return sum;
}

class Reader {
 public:
  Reader(const uint8_t* buf, uint32_t full) : buf_(buf), full_(full), listed_(full / 16 + 1, false) {}

  bool header(uint32_t off, Header* h) {
    if (off % 16 || off < 16 || uint64_t(off) + 32 > full_) return fail("header offset 0x%x outside the image", off);
    const uint8_t* p = buf_ + off;
    size_t room = full_ - off - kHeader;
    const void* nul = std::memchr(p + kHeader, 0, std::min(room, kMaxScannedName + 1));
    if (!nul && room <= kMaxScannedName) return fail("unterminated name at 0x%x", off);
    if (!nul) return fail("name longer than %zu bytes at 0x%x", kMaxScannedName, off);
    size_t len = size_t(static_cast<const uint8_t*>(nul) - (p + kHeader));
    uint64_t meta = meta_size(len);
    if (off + meta > full_) return fail("header at 0x%x runs past the image end", off);
    if (checksum(p, uint32_t(meta)) != 0) return fail("bad checksum of the header at 0x%x", off);
    uint32_t next = rs::load_be32(p);
    h->next = next & ~15u;
    h->type = uint8_t(next & 7);
    h->exec = next & kExec;
    h->info = rs::load_be32(p + 4);
    h->size = rs::load_be32(p + 8);
    h->name.assign(reinterpret_cast<const char*>(p + kHeader), len);
    h->data = uint32_t(off + meta);
    if ((h->type == kFile || h->type == kSymlink) && h->size > full_ - h->data)
      return fail("data of %u bytes at 0x%x runs past the image end", h->size, off);
    if (h->type == kSymlink && h->size > 4095) return fail("link target of %u bytes at 0x%x", h->size, off);
    return true;
  }

  std::shared_ptr<Inode> inode_at(uint32_t off, const Header& h) {
    std::shared_ptr<Inode>& slot = inodes_[off];
    if (slot) return slot;
    slot = std::make_shared<Inode>();
    slot->type = h.type;
    slot->exec = h.exec;
    slot->info = h.info;
    slot->loaded_at = off;
    if (h.type == kFile || h.type == kSymlink) {
      slot->data = buf_ + h.data;
      slot->size = h.size;
    }
    return slot;
  }

  // The header a hard link finally names, following chains once per header.
  bool resolve(uint32_t off, uint32_t* target) {
    std::vector<uint32_t> chain;
    std::unordered_set<uint32_t> on_chain;
    uint32_t at = off;
    for (;;) {
      auto memo = resolved_.find(at);
      if (memo != resolved_.end()) {
        at = memo->second;
        break;
      }
      if (!on_chain.insert(at).second) return fail("hard link loop at 0x%x", off);
      Header h;
      if (!header(at, &h)) return false;
      if (h.type != kHardLink) break;
      chain.push_back(at);
      at = h.info & ~15u;
    }
    for (uint32_t c : chain) resolved_[c] = at;
    *target = at;
    return true;
  }

  bool list(Entry* dir, uint32_t off, int depth) {
    if (depth > kMaxDepth) return fail("directories nested deeper than %d levels", kMaxDepth);
    std::unordered_set<std::string> names;
    while (off) {
      if (off % 16 || off >= full_) return fail("entry offset 0x%x outside the image", off);
      if (listed_[off / 16]) return fail("entry loop at 0x%x", off);
      listed_[off / 16] = true;
      if (++entries_ > kMaxEntries) return fail("more than %zu entries", kMaxEntries);
      Header h;
      if (!header(off, &h)) return false;
      auto e = std::make_unique<Entry>();
      e->name = h.name;
      e->parent = dir;
      e->loaded_at = off;
      if (h.name == "." || h.name == "..") {
        e->dot = true;
      } else {
        if (h.name.empty() || h.name.find('/') != std::string::npos)
          return fail("bad name \"%s\" at 0x%x", printable(h.name).c_str(), off);
        if (!names.insert(h.name).second)
          return fail("two entries named \"%s\" in one directory (0x%x)", printable(h.name).c_str(), off);
        if (h.type == kHardLink) {
          uint32_t to = 0;
          Header t;
          if (!resolve(off, &to) || !header(to, &t)) return false;
          if (t.type == kDir) return fail("hard link at 0x%x to a directory", off);
          e->ino = inode_at(to, t);
        } else {
          e->ino = inode_at(off, h);
        }
        if (h.type == kDir && !list(e.get(), h.info & ~15u, depth + 1)) return false;
      }
      dir->kids.push_back(std::move(e));
      off = h.next;
    }
    return true;
  }

  [[gnu::format(printf, 2, 3)]] bool fail(const char* fmt, ...) {
    if (why_.empty()) {
      va_list ap;
      va_start(ap, fmt);
      char line[256];
      std::vsnprintf(line, sizeof line, fmt, ap);
      va_end(ap);
      why_ = line;
    }
    return false;
  }
  std::string why_;

 private:
  const uint8_t* buf_;
  uint32_t full_;
  std::vector<bool> listed_;
  size_t entries_ = 0;
  std::unordered_map<uint32_t, std::shared_ptr<Inode>> inodes_;
  std::unordered_map<uint32_t, uint32_t> resolved_;
};

// The smallest alignment whose layout gives back the loaded offsets; else the
// largest one every file's data keeps, so that edits do not undo it.
uint32_t detect_align(romfs_image* fs, uint32_t full) {
  int common = 20;
  bool any = false;
  std::vector<Entry*> all;
  std::vector<Entry*> todo{fs->root.get()};
  while (!todo.empty()) {
    Entry* d = todo.back();
    todo.pop_back();
    for (auto& k : d->kids) {
      all.push_back(k.get());
      if (k->is_dir()) todo.push_back(k.get());
      if (!k->dot && k->ino->type == kFile && k->ino->loaded_at == k->loaded_at) {
        uint32_t data = k->loaded_at + meta_size(k->name.size());
        any = true;
        common = std::min(common, data ? __builtin_ctz(data) : 20);
      }
    }
  }
  if (!any || common <= 4) return 16;
  for (int bits = 4; bits <= common; ++bits) {
    if (layout(fs, 1u << bits) != full) continue;
    bool same = true;
    for (Entry* e : all) same = same && e->placed_at == e->loaded_at;
    if (same) return 1u << bits;
  }
  return 1u << common;
}

}  // namespace
}  // namespace romfs

using namespace romfs;

romfs_image* romfs_load(const uint8_t* buf, uint32_t used, uint32_t total, std::string* why) {
  auto refuse = [&](const std::string& reason) -> romfs_image* {
    if (why) *why = reason;
    return nullptr;
  };
  if (!buf || used < 16 || std::memcmp(buf, "-rom1fs-", 8) != 0) return refuse("no romfs magic");
  uint32_t full = rs::load_be32(buf + 8);
  if (full > total) return refuse(rs::strprintf("the image claims %u bytes, the partition holds %u", full, total));
  if (full < 64) return refuse(rs::strprintf("an image of %u bytes holds no root directory", full));
  if (checksum(buf, std::min<uint32_t>(full, 512)) != 0) return refuse("bad superblock checksum");
  const void* nul = std::memchr(buf + 16, 0, full - 16);
  if (!nul) return refuse("unterminated volume name");
  size_t vlen = size_t(static_cast<const uint8_t*>(nul) - (buf + 16));
  // The kernel finds the root after at most 127 bytes of name.
  if (vlen > kMaxName) return refuse(rs::strprintf("a volume name of %zu bytes", vlen));
  uint64_t first = 16 + pad16(vlen + 1);

  auto fs = std::make_unique<romfs_image>();
  fs->buf = buf;
  fs->room = total;
  fs->volume.assign(reinterpret_cast<const char*>(buf + 16), vlen);
  Reader r(buf, full);
  Header h;
  if (first >= full || !r.header(uint32_t(first), &h)) return refuse(r.why_.empty() ? "no root header" : r.why_);
  if (h.type != kDir) return refuse(rs::strprintf("the first header (0x%x) is no directory", uint32_t(first)));
  fs->root = std::make_unique<Entry>();
  fs->root->ino = r.inode_at(uint32_t(first), h);
  fs->root->loaded_at = uint32_t(first);
  if (!r.list(fs->root.get(), h.info & ~15u, 0)) return refuse(r.why_);
  // The root's own header is written first, as its "." entry.
  auto& kids = fs->root->kids;
  auto dot = std::find_if(kids.begin(), kids.end(), [](auto& k) { return k->dot && k->name == "."; });
  if (dot == kids.end()) {
    auto e = std::make_unique<Entry>();
    e->name = ".", e->dot = true, e->parent = fs->root.get();
    kids.insert(kids.begin(), std::move(e));
  } else if (dot != kids.begin()) {
    std::rotate(kids.begin(), dot, dot + 1);
  }
  fs->align = detect_align(fs.get(), full);
  return fs.release();
}
