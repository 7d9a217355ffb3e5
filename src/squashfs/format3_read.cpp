// Reader of squashfs 3.0/3.1 images of either byte order, plain, with the LZMA
// extension or the 'L' minor, and of 2.0/2.1 (format2.h) which differ only in
// the superblock, inodes and listings.
// Every position, length and count comes from the image and is checked before use.
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <unordered_map>

#include "squashfs/codec3.h"
#include "squashfs/format2.h"
#include "squashfs/format3.h"
#include "squashfs/internal.h"
#include "util/endian.h"
#include "util/report.h"

namespace rs::sqfs {
namespace {

using namespace v3;

constexpr int kMaxDepth = 1024;

// A metadata table decompressed into one stream, with the stream offset of
// every block (by its position relative to the table start).
struct Table {
  std::vector<uint8_t> bytes;
  std::unordered_map<uint64_t, size_t> block_at;

  bool locate(uint64_t block, uint32_t offset, size_t* pos) const {
    auto it = block_at.find(block);
    if (it == block_at.end()) return false;
    uint64_t p = uint64_t(it->second) + offset;
    if (p > bytes.size()) return false;
    *pos = size_t(p);
    return true;
  }
};

// Decodes the data or fragment block of size word `word` at `pos` into `out`
// (room `cap`); its length, or -1 when it lies outside the image or is corrupt.
long read_block(const Loaded3& st, uint64_t pos, uint32_t word, uint8_t* out, size_t cap) {
  size_t len = word & 0xFFFFFF;
  if (pos > st.size || len > st.size - pos || len == 0) return -1;
  if (word & kDataStored) {
    if (len > cap) return -1;
    std::memcpy(out, st.img + pos, len);
    return long(len);
  }
  return decode_block(st.codec, st.img + pos, len, out, cap);
}

void release3(squashfs_data* d) {
  delete static_cast<Loaded3*>(d->reader_state);
  d->reader_state = nullptr;
  d->release_state = nullptr;
}

// Positions of a stored file's blocks: block i starts at pos[i].
std::vector<uint64_t> block_positions(const squashfs_stored& s) {
  std::vector<uint64_t> pos(s.block_words.size());
  uint64_t at = s.start;
  for (size_t i = 0; i < pos.size(); ++i) {
    pos[i] = at;
    at += s.block_words[i] & 0xFFFFFF;
  }
  return pos;
}

void corrupt(const squashfs_entry* e, const char* what, uint64_t pos) {
  fprintf(stderr, "squashfs error: %s: corrupt %s at %llu\n", e->path.c_str(), what, (unsigned long long)pos);
}

// Copies the bytes [off, off + n) of a stored file into `dst`; the count, or
// -EIO after one line on standard error.
long long read_stored(squashfs_data* d, const squashfs_entry* e, uint64_t off, uint8_t* dst, size_t n) {
  Loaded3* st = loaded3(d);
  const squashfs_stored& s = e->stored;
  if (!st || !s.valid) return -EIO;
  uint64_t fsize = s.file_size;
  if (off >= fsize) return 0;
  n = size_t(std::min<uint64_t>(n, fsize - off));
  const uint32_t bs = st->params.block_size;
  std::vector<uint64_t> pos = block_positions(s);
  uint64_t end = off + n;
  for (uint64_t i = off / bs; i < s.block_words.size() && i * bs < end; ++i) {
    uint64_t at = i * bs;
    size_t expect = size_t(std::min<uint64_t>(bs, fsize - at));
    uint64_t from = std::max(off, at), to = std::min(end, at + expect);
    uint32_t word = s.block_words[i];
    if (word == 0) {
      std::memset(dst + (from - off), 0, size_t(to - from));  // hole
      continue;
    }
    if (from == at && to == at + expect) {  // whole block: straight into place
      if (read_block(*st, pos[i], word, dst + (from - off), expect) != long(expect)) {
        corrupt(e, "data block", pos[i]);
        return -EIO;
      }
      continue;
    }
    auto block = st->data_block(pos[i], word);
    if (!block || block->size() != expect) {
      corrupt(e, "data block", pos[i]);
      return -EIO;
    }
    std::memcpy(dst + (from - off), block->data() + (from - at), size_t(to - from));
  }
  uint64_t tail_at = uint64_t(s.block_words.size()) * bs;
  if (s.fragment != kNoFragment && end > tail_at) {
    auto frag = st->fragment(s.fragment);
    if (!frag || s.frag_offset > frag->size() || fsize - tail_at > frag->size() - s.frag_offset) {
      corrupt(e, "fragment block", s.fragment < st->frags.size() ? st->frags[s.fragment].start : 0);
      return -EIO;
    }
    uint64_t from = std::max(off, tail_at);
    std::memcpy(dst + (from - off), frag->data() + s.frag_offset + (from - tail_at), size_t(end - from));
  }
  return (long long)n;
}

int read_content3(squashfs_data* d, const squashfs_entry* e, std::vector<uint8_t>& out) {
  try {
    out.assign(size_t(e->stored.file_size), 0);
    long long r = read_stored(d, e, 0, out.data(), out.size());
    if (r < 0) {
      out.clear();
      return int(r);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    out.clear();
    return -ENOMEM;
  }
}

long long read_range3(squashfs_data* d, const squashfs_entry* e, uint64_t off, void* buf, size_t n) {
  try {
    return read_stored(d, e, off, static_cast<uint8_t*>(buf), n);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  }
}

struct Reader3 {
  const uint8_t* img = nullptr;
  size_t size = 0;
  squashfs_data* data = nullptr;
  Order o;
  int major = 3;
  bool lzma = true;  // blocks may be LZMA (magic "shsq"/"qshs")
  BlockCodec codec;
  // 2.x blocks that showed their framing: the first 5-byte LZMA prefix seen, if any.
  bool saw_zlib = false, saw_header5 = false;
  LzmaProps header5;
  // A plain-magic block matched none of the framings (refusals name them all).
  bool saw_unknown = false;
  // 2.x stores no inode numbers: inodes are numbered as the walk meets them.
  std::unordered_map<uint64_t, int> numbers;
  uint32_t mkfs_time = 0;
  uint8_t flags = 0;
  uint32_t block_size = 0;
  Table inodes, dirs;
  Loaded3* st = nullptr;
  std::vector<uint32_t> uids, gids;
  std::set<uint64_t> seen_dirs;
  uint64_t total = 0;
  uint64_t tree_bytes = 0, budget = kMaxTreeBytes, table_bytes = 0;

  bool fail(std::string why) { return refuse(data, std::move(why)); }

  bool range(uint64_t pos, uint64_t len) const { return pos <= size && len <= size - pos; }

  // Reads one metadata block at `pos`; appends its content, returns the next position.
  bool meta_block(uint64_t pos, std::vector<uint8_t>& out, uint64_t* next) {
    if (!range(pos, 2)) return false;
    uint16_t hdr = o.u16(img + pos);
    uint64_t p = pos + 2 + ((flags & kCheck) ? 1 : 0);
    size_t len = hdr & 0x7FFF;
    if (len == 0 || len > kMetaChunk + 64 || !range(p, len)) return false;
    size_t at = out.size();
    if (hdr & kMetaStored) {
      if (len > kMetaChunk) return false;
      out.insert(out.end(), img + p, img + p + len);
    } else {
      out.resize(at + kMetaChunk);
      note_framing(img + p, len, kMetaChunk);
      long n = decode_block(codec, img + p, len, out.data() + at, kMetaChunk);
      if (n <= 0) return false;
      out.resize(at + size_t(n));
    }
    *next = p + len;
    return true;
  }

  // The first compressed block tells a plain-magic image's framing. The
  // 4-byte and headerless kinds are taken for the whole image; zlib and the
  // 5-byte kind stay told apart block by block, as before.
  void note_framing(const uint8_t* b, size_t len, size_t cap) {
    if (codec.framing != Framing::kZlibOrHeader5 || saw_zlib || saw_header5 || saw_unknown) return;
    if (looks_zlib(b, len)) {
      saw_zlib = true;
    } else if (sniff_header5(b, len, &header5)) {
      saw_header5 = true;
    } else if (sniff_vendor(b, len, cap, &codec)) {
      st->codec = codec;
    } else {
      saw_unknown = true;
    }
  }

  // What the refusal lines name: everything tried once a block matched nothing.
  std::string codec_name() const { return saw_unknown ? kPlainFramingsTried : framing_name(codec.framing); }

  // Keeps the detected framing for rebuilds.
  template <class P>
  void keep_framing(P& p) {
    if (find_header5()) {
      p.lzma5 = true;
      p.lzma_props = header5.byte();
      p.lzma_dict = header5.dict;
    } else if (codec.framing == Framing::kHeader4 || codec.framing == Framing::kRaw) {
      (codec.framing == Framing::kHeader4 ? p.lzma4 : p.lzma_raw) = true;
      p.lzma_props = codec.lzma.byte();
    }
  }

  bool read_table(uint64_t start, uint64_t end, Table& t) {
    if (end > size || start > end) return false;
    uint64_t pos = start;
    // Tables are held decoded: a few stored bytes of a compressible block
    // must not stand for far more than any real table.
    const uint64_t cap = kMaxTreeBytes + 32 * (end - start);
    while (pos < end) {
      t.block_at[pos - start] = t.bytes.size();
      if (!meta_block(pos, t.bytes, &pos)) return false;
      if (t.bytes.size() > cap)
        return fail("metadata table decodes to more than " + std::to_string(cap >> 20) + " MiB");
    }
    t.block_at[pos - start] = t.bytes.size();  // empty listings point at the end
    return true;
  }

  const uint8_t* need(const Table& t, size_t pos, size_t len) const {
    if (pos > t.bytes.size() || len > t.bytes.size() - pos) return nullptr;
    return t.bytes.data() + pos;
  }

  bool owner(const uint8_t* base, squashfs_inode& ino) {
    uint8_t u = base[2], g = base[3];
    if (u >= uids.size()) return false;
    ino.uid = uids[u];
    if (g == 255)
      ino.gid = ino.uid;
    else if (g < gids.size())
      ino.gid = gids[g];
    else
      return false;
    return true;
  }

  static mode_t type_bits(int t) {
    static const mode_t bits[] = {0, S_IFDIR, S_IFREG, S_IFLNK, S_IFBLK, S_IFCHR, S_IFIFO, S_IFSOCK, S_IFDIR, S_IFREG};
    return bits[t];
  }

  // Parses the inode at `ref`; `pos` receives its stream position.
  bool inode(uint64_t ref, squashfs_inode& ino, size_t* at) {
    if (major == 2) return inode2(ref, ino, at);
    size_t pos;
    if (!inodes.locate(ref >> 16, uint32_t(ref & 0xFFFF), &pos)) return false;
    const uint8_t* b = need(inodes, pos, 12);
    if (!b) return false;
    int t;
    unsigned mode;
    o.type_mode(b, &t, &mode);
    if (t < 1 || t > 9) return false;
    ino = squashfs_inode();
    ino.type = t == 8 ? 1 : t == 9 ? 2 : t;
    ino.mode = int((mode & 07777) | type_bits(t));
    if (!owner(b, ino)) return false;
    ino.time = o.u32(b + 4);
    ino.inode_number = int(o.u32(b + 8) & 0x7FFFFFFF);
    *at = pos;
    size_t fixed[] = {0, 28, 32, 18, 18, 18, 16, 16, 31, 40};
    if (!(b = need(inodes, pos, fixed[t]))) return false;
    switch (t) {
      case 2:
      case 9: {
        uint64_t start = t == 2 ? o.u64(b + 12) : o.u64(b + 16);
        uint32_t frag = t == 2 ? o.u32(b + 20) : o.u32(b + 24);
        uint32_t off = t == 2 ? o.u32(b + 24) : o.u32(b + 28);
        uint64_t fsize = t == 2 ? o.u32(b + 28) : o.u64(b + 32);
        if (!file_fields(ino, pos, fixed[t], start, frag, off, fsize)) return false;
        break;
      }
      case 3: {
        size_t n = o.u16(b + 16);
        const uint8_t* s = need(inodes, pos + 18, n);
        if (!s) return false;
        ino.symlink.assign(reinterpret_cast<const char*>(s), n);
        ino.data = int64_t(n);
        break;
      }
      case 4:
      case 5: {
        uint16_t rdev = o.u16(b + 16);
        ino.rdev = uint32_t(makedev(rdev >> 8, rdev & 0xFF));
        break;
      }
      case 1: {
        uint32_t dsize, doff;
        o.dir_size(b + 16, &dsize, &doff);
        ino.data = dsize;
        ino.offset = int(doff);
        ino.start = o.u32(b + 20);
        break;
      }
      case 8: {
        uint32_t dsize, doff;
        o.ldir_size(b + 16, &dsize, &doff);
        ino.data = dsize;
        ino.offset = int(doff);
        ino.start = o.u32(b + 21);
        break;
      }
      default:
        break;
    }
    return true;
  }

  // File fields shared by both versions: the block count follows from the
  // size and whether the tail is in a fragment.
  bool file_fields(squashfs_inode& ino, size_t pos, size_t fixed, uint64_t start, uint32_t frag, uint32_t off,
                   uint64_t fsize) {
    ino.start = int64_t(start);
    ino.data = int64_t(fsize);
    if (fsize > kMaxTotalContent) return false;
    uint64_t blocks = frag == kNoFragment ? (fsize + block_size - 1) / block_size : fsize / block_size;
    if (frag != kNoFragment && fsize % block_size == 0 && fsize) return false;
    ino.fragment = frag == kNoFragment ? -1 : int(frag & 0x7FFFFFFF);
    ino.offset = frag == kNoFragment ? -1 : int(off & 0x7FFFFFFF);
    ino.blocks = int(blocks);
    ino.block_ptr = pos + fixed;
    if (!need(inodes, size_t(ino.block_ptr), size_t(blocks) * 4)) return false;
    if (frag != kNoFragment && frag >= st->frags.size()) return false;
    return true;
  }

  // A 2.x inode: a 4-byte base (no time, no number), file and directory
  // inodes with their own time, start positions as u32 or 24-bit fields.
  bool inode2(uint64_t ref, squashfs_inode& ino, size_t* at) {
    size_t pos;
    if (!inodes.locate(ref >> 16, uint32_t(ref & 0xFFFF), &pos)) return false;
    const uint8_t* b = need(inodes, pos, 4);
    if (!b) return false;
    int t;
    unsigned mode;
    o.type_mode(b, &t, &mode);
    if (t < 1 || t > 8) return false;
    static const size_t fixed[] = {0, 15, 24, 6, 6, 6, 4, 4, 18};
    if (!(b = need(inodes, pos, fixed[t]))) return false;
    ino = squashfs_inode();
    ino.type = t == 8 ? 1 : t;
    ino.mode = int((mode & 07777) | type_bits(t));
    if (!owner(b, ino)) return false;
    ino.time = mkfs_time;
    auto [it, fresh] = numbers.try_emplace(ref, int(numbers.size()) + 1);
    ino.inode_number = it->second;
    *at = pos;
    switch (t) {
      case 2:
        ino.time = o.u32(b + 4);
        return file_fields(ino, pos, fixed[t], o.u32(b + 8), o.u32(b + 12), o.u32(b + 16), o.u32(b + 20));
      case 3: {
        size_t n = o.u16(b + 4);
        const uint8_t* s = need(inodes, pos + 6, n);
        if (!s) return false;
        ino.symlink.assign(reinterpret_cast<const char*>(s), n);
        ino.data = int64_t(n);
        return true;
      }
      case 4:
      case 5: {
        uint16_t rdev = o.u16(b + 4);
        ino.rdev = uint32_t(makedev(rdev >> 8, rdev & 0xFF));
        return true;
      }
      case 1:
      case 8: {
        uint32_t dsize, doff;
        if (t == 1)
          o.dir_size(b + 4, &dsize, &doff);
        else
          o.ldir_size(b + 4, &dsize, &doff);
        ino.data = dsize;
        ino.offset = int(doff);
        ino.time = o.u32(b + (t == 1 ? 8 : 9));
        ino.start = v2::u24(o, b + (t == 1 ? 12 : 13));
        return true;
      }
      default:
        return true;
    }
  }

  // Records where a file's data lies; nothing is decompressed here. Positions
  // and sizes are checked now so that later reads and copies stay inside the image.
  bool file_stored(squashfs_entry* e, const squashfs_inode& ino) {
    uint64_t fsize = uint64_t(ino.data);
    total += fsize;
    if (total > kMaxTotalContent) return false;
    squashfs_stored& s = e->stored;
    s.start = uint64_t(ino.start);
    s.file_size = fsize;
    s.block_words.resize(size_t(ino.blocks));
    uint64_t stored = 0;
    for (int i = 0; i < ino.blocks; ++i) {
      uint32_t word = o.u32(inodes.bytes.data() + ino.block_ptr + 4 * size_t(i));
      uint32_t len = word & 0xFFFFFF;
      if (len > block_size + (block_size >> 4) + 64) return false;
      if (word && !len) return false;
      s.block_words[size_t(i)] = word;
      stored += len;
    }
    if (stored && !range(s.start, stored)) return false;
    if (ino.fragment >= 0) {
      Loaded3::Fragment& f = st->frags[size_t(ino.fragment)];
      uint32_t tail = uint32_t(fsize % block_size);
      size_t flen = f.word & 0xFFFFFF;
      if (!flen || !range(f.start, flen) || uint64_t(ino.offset) + tail > block_size) return false;
      s.fragment = uint32_t(ino.fragment);
      s.frag_offset = uint32_t(ino.offset);
      f.members.emplace(s.frag_offset, tail);
    }
    s.valid = true;
    e->content_loaded = false;
    e->buf.clear();
    return true;
  }

  // One listing entry: its inode read, its node made, a directory walked.
  bool entry(squashfs_entry* dir, const std::string& name, uint64_t ref, int depth) {
    if (!valid_name(name)) return false;
    squashfs_inode ino;
    size_t at;
    if (!inode(ref, ino, &at)) return false;
    if (ino.type == 1 && !seen_dirs.insert(ref).second) return false;  // a directory loop
    squashfs_entry* e = squashfs_dir_fill(dir, name.c_str(), &ino);
    if (!e) return false;
    // Entries of one listing may all name one inode: the tables' stored
    // size bounds what they may build.
    tree_bytes += kEntryCost + 3 * e->path.size();
    if (tree_bytes > budget) return fail(over_budget_text(budget, table_bytes));
    switch (ino.type) {
      case 1:
        e->stbuf.st_size = 0;
        return walk(e, ino, depth + 1);
      case 2:
        return file_stored(e, ino);
      case 3:
        e->buf.assign(ino.symlink.begin(), ino.symlink.end());
        return true;
      default:
        rs::warn("[%s %d] %s has other type %d]\n", "squashfs_dir_scan_3", 1398, e->path.c_str(), ino.type);
        return true;
    }
  }

  bool walk(squashfs_entry* dir, const squashfs_inode& dino, int depth) {
    if (depth > kMaxDepth) return false;
    // 3.x listings are 3 bytes shorter than their stored size; 2.x ones exact.
    const int64_t slack = major == 2 ? 0 : 3;
    if (dino.data < slack) return false;
    if (dino.data == slack) return true;
    size_t pos;
    if (!dirs.locate(uint64_t(dino.start), uint32_t(dino.offset), &pos)) return false;
    size_t end = pos + size_t(dino.data - slack);
    if (end > dirs.bytes.size()) return false;
    // Header: count - 1, inode block, (3.x) base inode number; entry: offset
    // and type, name length - 1, (3.x) inode number delta, name.
    const size_t hlen = major == 2 ? 4 : 9, elen = major == 2 ? 3 : 5;
    while (pos < end) {
      const uint8_t* h = need(dirs, pos, hlen);
      if (!h || pos + hlen > end) return false;
      unsigned count;
      uint32_t start;
      if (major == 2) {
        v2::dir_header(o, h, &count, &start);
        ++count;
      } else {
        count = unsigned(h[0]) + 1;
        start = o.u32(h + 1);
      }
      pos += hlen;
      for (unsigned i = 0; i < count; ++i) {
        const uint8_t* d = need(dirs, pos, elen);
        if (!d || pos + elen > end) return false;
        uint32_t eoff;
        int etype;
        o.entry_ref(d, &eoff, &etype);
        size_t nlen = size_t(d[2]) + 1;
        const uint8_t* nm = need(dirs, pos + elen, nlen);
        if (!nm || pos + elen + nlen > end) return false;
        std::string name(reinterpret_cast<const char*>(nm), nlen);
        pos += elen + nlen;
        if (!entry(dir, name, uint64_t(start) << 16 | eoff, depth)) return false;
      }
    }
    return true;
  }

  std::string tried() const { return " (" + codec_name() + " blocks tried)"; }

  bool run() {
    const uint8_t* s = img;
    uint16_t minor;
    uint32_t nfrags;
    uint64_t inode_start, dir_start, frag_start, uid_start, guid_start;
    if (major == 2) {
      if (!v2::identify(s, size, &o)) return false;
      lzma = false;
      minor = o.u16(s + kMinor);
      if (minor != 0 && minor != 1 && minor != v2::kMinorL)
        return fail("minor version not read (2.0, 2.1 and 2.76 are)");
      codec = minor == v2::kMinorL ? raw_l_codec() : BlockCodec{Framing::kZlibOrHeader5, {}};
      inode_start = o.u32(s + v2::kInodeTableStart);
      dir_start = o.u32(s + v2::kDirTableStart);
      frag_start = o.u32(s + v2::kFragTableStart);
      uid_start = o.u32(s + v2::kUidStart);
      guid_start = o.u32(s + v2::kGuidStart);
    } else {
      if (!identify(s, size, &o, &lzma)) return false;
      uint16_t maj = o.u16(s + kMajor);
      minor = o.u16(s + kMinor);
      if (maj != 3 || (minor > 1 && minor != v2::kMinorL)) {
        fprintf(stderr, "squashfs error: Filesystem on %s is (%d:%d), ", "image", maj, minor);
        fprintf(stderr, "squashfs error: which is a later filesystem version than I support!\n");
        return fail("minor version not read (3.0, 3.1 and 3.76 are)");
      }
      // A plain magic says nothing of LZMA: blocks may be zlib or, as some
      // vendor builds write them, LZMA with the 5-byte header.
      codec =
          minor == v2::kMinorL ? raw_l_codec() : BlockCodec{lzma ? Framing::kZlibOrAlone : Framing::kZlibOrHeader5, {}};
      inode_start = o.u64(s + kInodeTableStart);
      dir_start = o.u64(s + kDirTableStart);
      frag_start = o.u64(s + kFragTableStart);
      uid_start = o.u64(s + kUidStart);
      guid_start = o.u64(s + kGuidStart);
    }
    st->img = img;
    st->size = size;
    st->o = o;
    st->major = major;
    st->lzma = lzma;
    st->codec = codec;
    flags = s[kFlags];
    mkfs_time = o.u32(s + kMkfsTime);
    block_size = o.u32(s + kBlockSize);
    nfrags = o.u32(s + kFragments);
    uint16_t block_log = o.u16(s + kBlockLog);
    const uint16_t max_log = major == 2 ? 16 : 20;
    if (block_log < 12 || block_log > max_log || block_size != (1u << block_log))
      return fail("block size " + std::to_string(block_size) + " does not match its log " + std::to_string(block_log));
    unsigned no_uids = s[kNoUids], no_guids = s[kNoGuids];

    if (!range(uid_start, 4ull * no_uids) || (no_guids && !range(guid_start, 4ull * no_guids)))
      return fail("uid or gid table outside the image");
    for (unsigned i = 0; i < no_uids; ++i) uids.push_back(o.u32(img + uid_start + 4 * i));
    for (unsigned i = 0; i < no_guids; ++i) gids.push_back(o.u32(img + guid_start + 4 * i));

    uint64_t dir_end = frag_start;
    if (nfrags) {
      // 2.x: 8-byte entries (u32 start, size word) behind a u32 index; 3.x:
      // 16-byte entries (u64 start, size word, padding) behind a u64 index.
      const size_t esize = major == 2 ? 8 : 16, isize = major == 2 ? 4 : 8;
      uint64_t nidx = (uint64_t(nfrags) * esize + kMetaChunk - 1) / kMetaChunk;
      if (!range(frag_start, nidx * isize)) return fail("fragment index outside the image");
      auto index_at = [&](uint64_t i) {
        return major == 2 ? uint64_t(o.u32(img + frag_start + 4 * i)) : o.u64(img + frag_start + 8 * i);
      };
      std::vector<uint8_t> entries;
      for (uint64_t i = 0; i < nidx; ++i) {
        uint64_t next;
        if (!meta_block(index_at(i), entries, &next))
          return fail("fragment table does not decode as " + codec_name() + " metadata");
      }
      if (entries.size() < uint64_t(nfrags) * esize) return fail("fragment table cut short");
      st->frags.resize(nfrags);
      for (uint32_t i = 0; i < nfrags; ++i) {
        const uint8_t* e = &entries[esize * i];
        st->frags[i].start = major == 2 ? o.u32(e) : o.u64(e);
        st->frags[i].word = o.u32(e + (major == 2 ? 4 : 8));
      }
      dir_end = index_at(0);
    } else if (major == 2 && (frag_start < dir_start || frag_start > size)) {
      dir_end = uid_start;  // nothing after the directory table but the ids
    }
    if (!read_table(inode_start, dir_start, inodes) || !read_table(dir_start, dir_end, dirs))
      return fail("inode or directory table does not decode as " + codec_name() + " metadata");
    table_bytes = dir_end - inode_start;
    budget = tree_budget(table_bytes);

    squashfs_params3 p;
    p.block_size = block_size;
    p.flags = flags;
    p.minor = minor;
    st->params = p;
    if (major == 3) data->p3 = p;

    squashfs_inode rino;
    size_t at;
    uint64_t root_ref = o.u64(s + kRootInode);
    if (!inode(root_ref, rino, &at) || rino.type != 1) return fail("root inode missing or no directory" + tried());
    seen_dirs.insert(root_ref);
    squashfs_entry* root = squashfs_entry_new(data, "/", &rino, nullptr);
    root->stbuf.st_size = 0;
    data->root_entry = root;
    data->entry_table["/"] = root;
    if (!walk(root, rino, 0)) return fail("directory tree does not decode" + tried());
    if (major == 2) params2(minor);
    if (major == 3) {
      keep_framing(data->p3);
      st->params = data->p3;
    }
    return true;
  }

  // The parameters a 2.x rebuild keeps.
  void params2(uint16_t minor) {
    squashfs_params2& p = data->p2;
    p.block_size = block_size;
    p.flags = flags;
    p.minor = minor;
    keep_framing(p);
    st->params2 = p;
  }

  // Whether the blocks are LZMA with the 5-byte header where the superblock
  // says nothing: the first compressed block tells, a metadata block if any,
  // else the first compressed data or fragment block.
  bool find_header5() {
    if (codec.framing != Framing::kZlibOrHeader5) return false;
    auto look = [&](uint64_t pos, uint32_t word) {
      size_t len = word & 0xFFFFFF;
      if (codec.framing != Framing::kZlibOrHeader5 || saw_zlib || saw_header5 || saw_unknown || (word & kDataStored) ||
          !len || !range(pos, len))
        return;
      note_framing(img + pos, len, block_size);
    };
    for (auto& [path, e] : data->entry_table) {
      if (codec.framing != Framing::kZlibOrHeader5 || saw_zlib || saw_header5 || saw_unknown) break;
      if (!e->stored.valid) continue;
      uint64_t at = e->stored.start;
      for (uint32_t w : e->stored.block_words) {
        look(at, w);
        at += w & 0xFFFFFF;
      }
    }
    for (const Loaded3::Fragment& f : st->frags) look(f.start, f.word);
    return saw_header5;
  }
};

}  // namespace

namespace v3 {

std::shared_ptr<const std::vector<uint8_t>> Loaded3::fragment(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu);
  if (auto it = cache.find(index); it != cache.end()) return it->second;
  if (index >= frags.size()) return nullptr;
  auto block = std::make_shared<std::vector<uint8_t>>(params.block_size);
  long n = read_block(*this, frags[index].start, frags[index].word, block->data(), block->size());
  if (n < 0) return nullptr;
  block->resize(size_t(n));
  // Reading the files of one fragment block after another needs only the
  // latest few; a bound keeps a long read of many blocks from piling them up.
  if (cached + block->size() > (size_t(16) << 20)) {
    cache.clear();
    cached = 0;
  }
  cached += block->size();
  cache.emplace(index, block);
  return block;
}

std::shared_ptr<const std::vector<uint8_t>> Loaded3::data_block(uint64_t pos, uint32_t word) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (last_block && last_pos == pos) return last_block;
  }
  auto block = std::make_shared<std::vector<uint8_t>>(params.block_size);
  long n = read_block(*this, pos, word, block->data(), block->size());
  if (n < 0) return nullptr;
  block->resize(size_t(n));
  std::lock_guard<std::mutex> lock(mu);
  last_pos = pos;
  last_block = block;
  return block;
}

Loaded3* loaded3(const squashfs_data* d) {
  return d && d->release_state == release3 ? static_cast<Loaded3*>(d->reader_state) : nullptr;
}

}  // namespace v3

namespace {

bool read_image(squashfs_data* img, const uint8_t* buf, size_t size, int major) {
  auto st = std::make_unique<Loaded3>();
  Reader3 r;
  r.major = major;
  r.img = buf;
  r.size = size;
  r.data = img;
  r.st = st.get();
  bool ok = false;
  try {
    ok = r.run();
  } catch (const std::bad_alloc&) {
    ok = refuse(img, "out of memory");
  } catch (const std::length_error&) {
    ok = refuse(img, "out of memory");
  }
  if (!ok) return false;
  // File data stays in the caller's image and is decoded when read.
  squashfs_attach_reader(img, buf, size, {major, read_content3, read_range3, release3}, st.release());
  return true;
}

}  // namespace

bool read_image3(squashfs_data* img, const uint8_t* buf, size_t size) { return read_image(img, buf, size, 3); }
bool read_image2(squashfs_data* img, const uint8_t* buf, size_t size) { return read_image(img, buf, size, 2); }

}  // namespace rs::sqfs
