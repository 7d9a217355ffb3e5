// UBI and UBIFS behind the file-system operations. The volumes of a UBI
// image are the top-level names ("/rootfs/etc/issue"), always, so that paths
// do not change when a volume is added; a volume holding UBIFS is a
// directory, any other volume one regular file of its data. A bare UBIFS (no
// UBI headers) is the root itself. Unedited volumes are read in the
// partition buffer.
//
// An edit changes the volume's tree and writes what changed since the image
// was loaded as a journal (the nodes a kernel write leaves before a commit)
// into copies of the few LEBs it touches; the volume is then read through
// them, so that an edit the volume cannot hold fails at once. A save writes
// those LEBs over the partition's own bytes and nothing else. When the
// journal cannot take an edit (log full, no free LEB, max_bud_bytes) the
// volume is written anew as a freshly committed file system instead, as with
// ROMSMITH_UBIFS_COMMIT=1, and a save rewrites the image.
#include <romsmith/romsmith.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>

#include "core/fs_contract.h"
#include "ubi/ubi.h"
#include "ubi/ubi_write.h"
#include "ubifs/ubifs.h"
#include "ubifs/ubifs_write.h"
#include "util/crc32.h"
#include "util/endian.h"

namespace {

using bytes_ptr = std::shared_ptr<const std::vector<uint8_t>>;

// The edits of one UBIFS kept as a journal: the tree as loaded, the tree
// edited, and the LEBs the journal of the difference writes.
struct journaled {
  rs::ubifs::source src;  // the LEBs as loaded
  uint32_t max_lebs = 0;  // how far the file system may grow its leb_cnt
  std::unique_ptr<rs::ubifs::tree> base, cur;
  std::shared_ptr<const rs::ubifs::journal> j;  // null: nothing written yet
};

struct vol_view {
  std::string name;  // the path component
  const rs::ubi::volume* v = nullptr;
  std::unique_ptr<rs::ubifs::fs> fs;
  bytes_ptr data;  // after a whole rewrite: the volume's new contents (UBIFS or raw)
  journaled jr;
};

struct handle {
  const uint8_t* buf = nullptr;
  size_t size = 0, total = 0;
  std::unique_ptr<rs::ubi::image> ubi;  // null for a bare UBIFS
  std::vector<vol_view> vols;           // by name
  std::unique_ptr<rs::ubifs::fs> bare;
  bytes_ptr bare_data;  // a bare UBIFS after a whole rewrite
  journaled bare_jr;
};

bool commit_forced() {
  const char* e = std::getenv("ROMSMITH_UBIFS_COMMIT");
  return e && *e && std::strcmp(e, "0") != 0;
}

handle* H(void* fs) { return static_cast<handle*>(fs); }

// Metadata held for a volume: a floor for small images, then in step with its size.
size_t budget_for(size_t bytes) { return (size_t(32) << 20) + 4 * bytes; }

std::string path_name(const rs::ubi::volume& v) {
  if (v.name == "." || v.name == ".." || v.name.find('/') != std::string::npos) return "vol" + std::to_string(v.id);
  return v.name;
}

// A reader over a volume image held in memory (the reader keeps it alive).
std::unique_ptr<rs::ubifs::fs> open_bytes(const bytes_ptr& d, uint32_t leb_size, size_t budget, std::string* why) {
  rs::ubifs::source src;
  src.leb_size = leb_size;
  src.leb_count = uint32_t((d->size() + leb_size - 1) / leb_size);
  src.leb = [d, leb_size](uint32_t lnum, uint32_t* len) -> const uint8_t* {
    size_t at = size_t(lnum) * leb_size;
    if (at >= d->size()) return nullptr;
    *len = uint32_t(std::min<size_t>(leb_size, d->size() - at));
    return d->data() + at;
  };
  return rs::ubifs::fs::open(std::move(src), budget, why);
}

void* ub_load(uint8_t* buf, uint32_t used, uint32_t total) {
  size_t size = used ? used : total;
  auto h = std::make_unique<handle>();
  h->buf = buf;
  h->size = size;
  h->total = std::max<size_t>(size, total);
  std::string why;
  if (rs::ubifs::is_ubifs(buf, size)) {
    uint32_t leb_size = rs::load_le32(buf + 36);
    if (leb_size >= 15 * 1024) {
      rs::ubifs::source src;
      src.leb_size = leb_size;
      src.leb_count = uint32_t(std::min<size_t>((size + leb_size - 1) / leb_size, 0xffffffffu));
      src.leb = [buf, size, leb_size](uint32_t lnum, uint32_t* len) -> const uint8_t* {
        size_t at = size_t(lnum) * leb_size;
        if (at >= size) return nullptr;
        *len = uint32_t(std::min<size_t>(leb_size, size - at));
        return buf + at;
      };
      h->bare_jr.src = src;
      h->bare_jr.max_lebs = src.leb_count;
      h->bare = rs::ubifs::fs::open(std::move(src), budget_for(size), &why);
    } else {
      why = "LEB size below 15 KiB";
    }
    if (!h->bare) {
      std::fprintf(stderr, "ubifs: %s\n", why.c_str());
      return nullptr;
    }
    return h.release();
  }
  h->ubi = rs::ubi::open(buf, size, &why);
  if (!h->ubi) {
    std::fprintf(stderr, "ubi: %s\n", why.c_str());
    return nullptr;
  }
  const rs::ubi::image& img = *h->ubi;
  for (const rs::ubi::volume& v : img.volumes) {
    vol_view view;
    view.name = path_name(v);
    view.v = &v;
    uint32_t len = 0;
    const uint8_t* first = img.leb(v, 0, &len);
    if (first && rs::ubifs::is_ubifs(first, len)) {
      rs::ubifs::source src;
      src.leb_size = img.leb_bytes(v);
      src.leb_count = uint32_t(v.lebs.size());
      const rs::ubi::image* ip = &img;
      src.leb = [ip, &v](uint32_t lnum, uint32_t* n) { return ip->leb(v, lnum, n); };
      view.jr.src = src;
      // Unmapped LEBs up to the reserved count read as erased: buds may go there.
      view.jr.src.leb_count = v.type == rs::ubi::kDynamic ? v.reserved_pebs : src.leb_count;
      view.jr.max_lebs = v.reserved_pebs;
      view.fs = rs::ubifs::fs::open(std::move(src), budget_for(v.used_bytes), &why);
      // A volume whose UBIFS cannot be read is shown as its raw data.
      if (!view.fs) std::fprintf(stderr, "ubifs: volume %s: %s\n", v.name.c_str(), why.c_str());
    }
    h->vols.push_back(std::move(view));
  }
  std::sort(h->vols.begin(), h->vols.end(), [](const vol_view& a, const vol_view& b) { return a.name < b.name; });
  for (size_t i = 1; i < h->vols.size(); ++i)
    if (h->vols[i].name == h->vols[i - 1].name) h->vols[i].name += "." + std::to_string(h->vols[i].v->id);
  return h.release();
}
void ub_release(void* fs) { delete H(fs); }

// Splits "/vol/rest" into the volume and "/rest"; null volume for the root.
int resolve(handle* h, const char* path, vol_view** vol, std::string* rest) {
  std::string p = path ? path : "/";
  size_t i = p.find_first_not_of('/');
  *vol = nullptr;
  if (i == std::string::npos) return 0;
  size_t j = p.find('/', i);
  std::string name = p.substr(i, j == std::string::npos ? std::string::npos : j - i);
  *rest = j == std::string::npos ? "/" : p.substr(j);
  for (vol_view& v : h->vols)
    if (v.name == name) {
      *vol = &v;
      if (!v.fs && rest->find_first_not_of('/') != std::string::npos) return -ENOTDIR;
      return 0;
    }
  return -ENOENT;
}

uint64_t vol_ino(const handle* h, const vol_view* v) { return uint64_t(v - h->vols.data() + 1) << 32; }

void to_attr(const rs::ubifs::attr& a, uint64_t ino_base, fs_attr* out) {
  *out = fs_attr{};
  out->mode = a.mode;
  out->uid = a.uid;
  out->gid = a.gid;
  out->size = a.size;
  out->mtime = uint32_t(a.mtime);
  out->rdev = a.rdev;
  out->nlink = a.nlink;
  out->ino = ino_base | a.ino;
  out->target = a.target;
}

void raw_attr(handle* h, const vol_view& v, fs_attr* out) {
  *out = fs_attr{};
  out->mode = 0100644;
  out->size = v.data ? v.data->size() : v.v->used_bytes;
  out->ino = vol_ino(h, &v);
}

void root_attr(handle* h, fs_attr* out) {
  *out = fs_attr{};
  out->mode = 040755;
  out->nlink = 2;
  for (const vol_view& v : h->vols)
    if (v.fs) ++out->nlink;
}

int ub_stat(void* fs, const char* path, fs_attr* out) {
  handle* h = H(fs);
  rs::ubifs::attr a;
  if (h->bare) {
    int rc = h->bare->stat(path, &a);
    if (rc == 0) to_attr(a, 0, out);
    return rc;
  }
  vol_view* v;
  std::string rest;
  int rc = resolve(h, path, &v, &rest);
  if (rc) return rc;
  if (!v) return root_attr(h, out), 0;
  if (!v->fs) return raw_attr(h, *v, out), 0;
  rc = v->fs->stat(rest, &a);
  if (rc == 0) to_attr(a, vol_ino(h, v), out);
  return rc;
}

void append(const std::vector<rs::ubifs::entry>& in, uint64_t ino_base, std::vector<fs_node>* out) {
  out->reserve(out->size() + in.size());
  for (const rs::ubifs::entry& e : in) {
    fs_node n;
    n.path = e.path;
    to_attr(e.a, ino_base, &n.attr);
    out->push_back(std::move(n));
  }
}

int ub_walk(void* fs, const char* path, std::vector<fs_node>* out) {
  handle* h = H(fs);
  std::vector<rs::ubifs::entry> got;
  if (h->bare) {
    int rc = h->bare->walk(path, &got);
    if (rc == 0) append(got, 0, out);
    return rc;
  }
  vol_view* v;
  std::string rest;
  int rc = resolve(h, path, &v, &rest);
  if (rc) return rc;
  std::vector<vol_view*> vols;
  if (v) {
    vols.push_back(v);
  } else {
    fs_node root;
    root.path = "/";
    root_attr(h, &root.attr);
    out->push_back(root);
    for (vol_view& x : h->vols) vols.push_back(&x);
  }
  for (vol_view* x : vols) {
    if (!x->fs) {
      if (v && !v->fs) return -ENOTDIR;
      fs_node n;
      n.path = "/" + x->name;
      raw_attr(h, *x, &n.attr);
      out->push_back(std::move(n));
      continue;
    }
    got.clear();
    rc = x->fs->walk(v ? rest : "/", &got);
    if (rc) return rc;
    for (auto& e : got) e.path = "/" + x->name + (e.path == "/" ? "" : e.path);
    append(got, vol_ino(h, x), out);
  }
  return 0;
}

long long ub_pread(void* fs, const char* path, void* buf, size_t size, uint64_t offset) {
  handle* h = H(fs);
  if (h->bare) return h->bare->pread(path, buf, size, offset);
  vol_view* v;
  std::string rest;
  int rc = resolve(h, path, &v, &rest);
  if (rc) return rc;
  if (!v) return -EISDIR;
  if (v->fs) return v->fs->pread(rest, buf, size, offset);
  if (v->data) {
    if (offset >= v->data->size()) return 0;
    size = size_t(std::min<uint64_t>(size, v->data->size() - offset));
    std::memcpy(buf, v->data->data() + offset, size);
    return (long long)size;
  }
  const rs::ubi::volume& vol = *v->v;
  if (offset >= vol.used_bytes) return 0;
  size = size_t(std::min<uint64_t>(size, vol.used_bytes - offset));
  auto* out = static_cast<uint8_t*>(buf);
  uint32_t step = h->ubi->leb_bytes(vol);
  size_t done = 0;
  while (done < size) {
    uint64_t pos = offset + done;
    uint32_t lnum = uint32_t(pos / step), in = uint32_t(pos % step);
    size_t n = std::min<size_t>(size - done, step - in);
    uint32_t len = 0;
    const uint8_t* d = h->ubi->leb(vol, lnum, &len);
    if (d && vol.type == rs::ubi::kStatic && !h->ubi->pebs[size_t(vol.lebs[lnum])].data_ok) {
      std::fprintf(stderr, "ubi: volume %s LEB %u: data CRC mismatch\n", vol.name.c_str(), lnum);
      return -EIO;
    }
    size_t have = d && len > in ? std::min<size_t>(n, len - in) : 0;
    if (have) std::memcpy(out + done, d + in, have);
    std::memset(out + done + have, 0xff, n - have);  // unmapped: erased flash
    done += n;
  }
  return (long long)done;
}

int ub_get_xattrs(void* fs, const char* path, fs_xattrs* out) {
  handle* h = H(fs);
  out->clear();
  if (h->bare) return h->bare->get_xattrs(path, out);
  vol_view* v;
  std::string rest;
  int rc = resolve(h, path, &v, &rest);
  if (rc || !v || !v->fs) return rc;
  return v->fs->get_xattrs(rest, out);
}

void ls_tree(const std::vector<fs_node>& nodes) {
  // Depth-first by name: each node's depth is its path's component count.
  auto depth = [](const std::string& p) { return p == "/" ? 0 : int(std::count(p.begin(), p.end(), '/')); };
  std::vector<bool> open;
  for (size_t i = 1; i < nodes.size(); ++i) {
    int d = depth(nodes[i].path);
    bool more = false;
    for (size_t j = i + 1; j < nodes.size(); ++j) {
      int dj = depth(nodes[j].path);
      if (dj < d) break;
      if (dj == d) {
        more = true;
        break;
      }
    }
    open.resize(size_t(d));
    for (int k = 0; k + 1 < d; ++k) std::fputs(open[size_t(k)] ? "|   " : "    ", stdout);
    open[size_t(d - 1)] = more;
    const std::string& p = nodes[i].path;
    std::printf(more ? "|-- %s" : "`-- %s", p.substr(p.rfind('/') + 1).c_str());
    if ((nodes[i].attr.mode & 0170000) == 0100000)
      std::printf("\t\t(%llu)\n", (unsigned long long)nodes[i].attr.size);
    else
      std::fputs("\n", stdout);
  }
}

void ub_ls(void* fs) {
  handle* h = H(fs);
  if (h->ubi) {
    const rs::ubi::image& u = *h->ubi;
    std::printf("ubi: erase block %u KiB, VID header at %u, data at %u, image sequence %u, %zu volumes\n",
                u.peb_size / 1024, u.vid_hdr_offset, u.data_offset, u.image_seq, u.volumes.size());
    for (const vol_view& v : h->vols)
      std::printf("ubi: volume %u \"%s\": %s, %u reserved PEBs, %s\n", v.v->id, v.v->name.c_str(),
                  v.v->type == rs::ubi::kStatic ? "static" : "dynamic", v.v->reserved_pebs,
                  v.fs ? "ubifs" : "raw data");
  }
  static const char* comprs[] = {"none", "lzo", "zlib", "zstd"};
  auto say = [&](const char* vol, const rs::ubifs::fs& u) {
    const rs::ubifs::facts& f = u.info();
    std::printf("ubifs%s%s: LEB %u, min I/O %u, %s, commit %llu, %u journal buds (%u nodes) replayed\n", vol ? " " : "",
                vol ? vol : "", f.leb_size, f.min_io, f.default_compr < 4 ? comprs[f.default_compr] : "?",
                (unsigned long long)f.cmt_no, f.buds, f.replayed);
  };
  if (h->bare) say(nullptr, *h->bare);
  for (const vol_view& v : h->vols)
    if (v.fs) say(v.name.c_str(), *v.fs);
  std::vector<fs_node> nodes;
  if (ub_walk(fs, "/", &nodes) == 0) ls_tree(nodes);
}

// A malloc'd copy with room for the whole partition, so that the save can
// keep it as the partition's buffer without copying it again.
uint8_t* copy_out(const uint8_t* p, size_t n, size_t* size, size_t room = 0) {
  auto* out = static_cast<uint8_t*>(std::malloc(std::max<size_t>({n, room, 1})));
  if (!out) return nullptr;
  if (n) std::memcpy(out, p, n);
  *size = n;
  return out;
}

// `base` with each edited volume put back in turn through the UBI writer.
bool put_back(handle* h, const rs::ubi::image& base, std::vector<uint8_t>* out, std::string* why) {
  std::vector<uint8_t> cur;
  std::unique_ptr<rs::ubi::image> img;
  const rs::ubi::image* at = &base;
  for (const vol_view& v : h->vols) {
    if (!v.data) continue;
    std::vector<uint8_t> next;
    std::string reason;
    if (!rs::ubi::replace_volume(*at, v.v->id, *v.data, &next, &reason)) {
      *why = "volume " + v.v->name + ": " + reason;
      return false;
    }
    cur.swap(next);
    img = rs::ubi::open(cur.data(), cur.size(), &reason);
    if (!img) {
      *why = "volume " + v.v->name + ": the rewritten image cannot be read back: " + reason;
      return false;
    }
    at = img.get();
  }
  out->swap(cur);
  return true;
}

// The partition's new bytes: a bare UBIFS as written; a UBI image with each
// edited volume put back in turn, every other byte kept.
int whole_write(handle* h, vol_view* v, rs::ubifs::tree& t);
bool put_journals(handle* h, const vol_view* for_vol, const rs::ubifs::journal* extra, uint8_t* out, size_t* end,
                  std::string* why);

// Journals not saved in place are written as whole volumes.
bool commit_journals(handle* h, std::string* why) {
  auto one = [&](vol_view* v, journaled& jr) {
    if (!jr.j) return true;
    // The reader replays the journal: its tree is the edited one, data included.
    rs::ubifs::tree t;
    rs::ubifs::fs* fs = v ? v->fs.get() : h->bare.get();
    if (!rs::ubifs::export_tree(*fs, &t, why)) return false;
    if (whole_write(h, v, t) == 0) return true;
    *why = "the edited tree does not fit the volume";
    return false;
  };
  if (h->bare) return one(nullptr, h->bare_jr);
  for (vol_view& v : h->vols)
    if (!one(&v, v.jr)) return false;
  return true;
}

uint8_t* ub_rebuild(void* fs, size_t* size, std::string* why) {
  handle* h = H(fs);
  std::string reason;
  if (!commit_journals(h, &reason)) {
    if (why) *why = reason;
    return nullptr;
  }
  if (h->bare) {
    const bytes_ptr& d = h->bare_data;
    if (!d) return copy_out(h->buf, h->size, size);
    // At least as long as before, erased past the new LEBs: LEBs beyond leb_cnt
    // are taken as empty when the file system grows into them.
    std::vector<uint8_t> img(*d);
    if (img.size() < h->size) img.resize(h->size, 0xff);
    return copy_out(img.data(), img.size(), size, h->total);
  }
  bool any = false;
  for (const vol_view& v : h->vols) any |= v.data != nullptr;
  if (!any) return copy_out(h->buf, h->size, size);
  std::vector<uint8_t> out;
  if (put_back(h, *h->ubi, &out, &reason)) return copy_out(out.data(), out.size(), size, h->total);
  // The erased flash after the image, up to the partition's end, holds the
  // free PEBs a grown volume may need (an image as ubinize gives it has none).
  size_t peb = h->ubi->peb_size, whole = peb ? h->total / peb * peb : 0;
  if (whole > h->size) {
    std::vector<uint8_t> wide(h->buf, h->buf + h->size);
    wide.resize(whole, 0xff);
    std::string again;
    auto img = rs::ubi::open(wide.data(), wide.size(), &again);
    if (img && put_back(h, *img, &out, &again)) return copy_out(out.data(), out.size(), size, h->total);
    if (img) reason = again;
  }
  if (why) *why = reason;
  return nullptr;
}
void ub_release_image(uint8_t* image, size_t) { std::free(image); }

// The journals' LEBs written over the partition's own bytes, every other
// byte left as loaded; -1 when a volume was written whole (or a whole
// rewrite is asked for): the save rebuilds the image then.
long long ub_rebuild_in_place(void* fs, uint8_t* part, size_t room, std::string* why) {
  handle* h = H(fs);
  if (commit_forced() || room < h->size) return -1;
  if (h->bare) {
    if (h->bare_data) return -1;
    const rs::ubifs::journal* j = h->bare_jr.j.get();
    if (!j) return (long long)h->size;
    const size_t leb = h->bare_jr.src.leb_size;
    for (auto& [lnum, bytes] : j->lebs)
      if (size_t(lnum) * leb + bytes.size() > h->size) return -1;
    for (auto& [lnum, bytes] : j->lebs) std::memcpy(part + size_t(lnum) * leb, bytes.data(), bytes.size());
    return (long long)h->size;
  }
  for (const vol_view& v : h->vols)
    if (v.data) return -1;
  std::string reason;
  size_t end = h->size;
  if (!put_journals(h, nullptr, nullptr, nullptr, &end, &reason) || end > room) return -1;
  if (!put_journals(h, nullptr, nullptr, part, &end, &reason)) {
    *why = reason;
    return -2;
  }
  return (long long)end;
}

int64_t now() { return int64_t(std::time(nullptr)); }

// Where an edit of `path` goes: the UBIFS of the bare image or of a volume.
// The top level of a UBI image (the volumes themselves) is not edited here.
int locate(handle* h, const char* path, vol_view** vol, rs::ubifs::fs** fs, std::string* rest) {
  *vol = nullptr;
  if (h->bare) {
    *fs = h->bare.get();
    *rest = path ? path : "/";
    return 0;
  }
  int rc = resolve(h, path, vol, rest);
  std::string p = path ? path : "/";
  size_t i = p.find_first_not_of('/');
  bool top = i == std::string::npos || p.find('/', i) == std::string::npos ||
             p.find_first_not_of('/', p.find('/', i)) == std::string::npos;
  if (rc == -ENOENT && top) return -EPERM;  // no new volumes
  if (rc) return rc;
  if (!*vol || !(*vol)->fs) return -EPERM;
  *fs = (*vol)->fs.get();
  return 0;
}

// Writes the tree `t` as the whole volume (or bare UBIFS) anew and reads it
// from those bytes; on failure nothing changes.
int whole_write(handle* h, vol_view* v, rs::ubifs::tree& t) {
  rs::ubifs::fs* fs = h->bare ? h->bare.get() : v->fs.get();
  const rs::ubifs::facts& f = fs->info();
  std::string why;
  rs::ubifs::volume_shape shape;
  uint32_t len = 0;
  const uint8_t* sb = nullptr;
  if (h->bare) {
    sb = h->bare_data ? h->bare_data->data() : h->buf;
    len = uint32_t(std::min<size_t>(h->bare_data ? h->bare_data->size() : h->size, 4096));
    shape.max_lebs = uint32_t(std::min<size_t>(h->total / f.leb_size, 0xffffffffu));
  } else {
    sb = v->data ? v->data->data() : h->ubi->leb(*v->v, 0, &len);
    if (v->data) len = uint32_t(std::min<size_t>(v->data->size(), 4096));
    shape.max_lebs = v->v->reserved_pebs;
  }
  if (!sb || len < 4096) {
    std::fprintf(stderr, "ubifs: the superblock cannot be read\n");
    return -EIO;
  }
  shape.sb.assign(sb, sb + 4096);
  auto out = std::make_shared<std::vector<uint8_t>>();
  if (!rs::ubifs::write_volume(shape, t, out.get(), &why)) {
    std::fprintf(stderr, "ubifs: %s\n", why.c_str());
    return -ENOSPC;
  }
  bytes_ptr d = out;
  auto again = open_bytes(d, f.leb_size, budget_for(d->size()), &why);
  if (!again) {
    std::fprintf(stderr, "ubifs: the rewritten volume cannot be read back: %s\n", why.c_str());
    return -EIO;
  }
  // The old reader goes after the new one is read: the tree pointed into its bytes.
  journaled& jr = h->bare ? h->bare_jr : v->jr;
  if (h->bare) {
    h->bare = std::move(again);
    h->bare_data = d;
  } else {
    v->fs = std::move(again);
    v->data = d;
  }
  // The written volume keeps the data of the journal's trees: they go last.
  jr.j.reset();
  return 0;
}

// Writes (or, with a null `out`, checks there are PEBs for) the journals of
// the image's volumes, `extra` (of `for_vol`) in place of that volume's own.
bool put_journals(handle* h, const vol_view* for_vol, const rs::ubifs::journal* extra, uint8_t* out, size_t* end,
                  std::string* why) {
  std::vector<bool> taken;
  uint64_t sq = 0;
  for (const vol_view& o : h->vols) {
    const rs::ubifs::journal* j = &o == for_vol ? extra : o.jr.j.get();
    if (!j || o.data) continue;
    std::set<uint32_t> remap(j->renew.begin(), j->renew.end());
    std::string reason;
    if (!rs::ubi::write_lebs(*h->ubi, h->total, o.v->id, j->lebs, remap, out, &taken, &sq, end, &reason)) {
      *why = "volume " + o.v->name + ": " + reason;
      return false;
    }
  }
  return true;
}

// Applies `op` to the tree of the volume at `path` and writes what changed
// as a journal (or, when the journal cannot take it, the volume anew); on
// any failure nothing changes.
template <typename Op>
int edit(handle* h, const char* path, Op op) {
  vol_view* v;
  rs::ubifs::fs* fs;
  std::string rest;
  int rc = locate(h, path, &v, &fs, &rest);
  if (rc) return rc;
  std::string why;
  journaled& jr = h->bare ? h->bare_jr : v->jr;
  bool whole = commit_forced() || (h->bare ? h->bare_data != nullptr : v->data != nullptr) ||
               (v && v->v->type != rs::ubi::kDynamic);
  if (!whole && !jr.base) {
    auto t = std::make_unique<rs::ubifs::tree>();
    // Metadata only: the data of untouched files is neither read nor moved.
    if (!rs::ubifs::export_tree(*fs, t.get(), &why, false)) {
      std::fprintf(stderr, "ubifs: %s\n", why.c_str());
      return -EIO;
    }
    jr.cur = std::make_unique<rs::ubifs::tree>(*t);
    jr.base = std::move(t);
  }
  rs::ubifs::tree t;
  if (whole) {
    if (!rs::ubifs::export_tree(*fs, &t, &why)) {
      std::fprintf(stderr, "ubifs: %s\n", why.c_str());
      return -EIO;
    }
  } else {
    t = *jr.cur;
  }
  rc = op(t, rest, fs->info().default_compr);
  if (rc) return rc;
  if (!whole) {
    auto j = std::make_shared<rs::ubifs::journal>();
    int r = rs::ubifs::write_journal(jr.src, jr.max_lebs, *jr.base, t, j.get(), &why);
    if (r < 0) {
      std::fprintf(stderr, "ubifs: %s\n", why.c_str());
      return -EIO;
    }
    if (r > 0 && (!h->ubi || put_journals(h, v, j.get(), nullptr, nullptr, &why))) {
      // The volume read through the journal's LEBs, as a mount replays it.
      rs::ubifs::source src = jr.src;
      std::shared_ptr<const rs::ubifs::journal> jc = j;
      auto under = jr.src.leb;
      src.leb = [jc, under](uint32_t lnum, uint32_t* len) -> const uint8_t* {
        auto it = jc->lebs.find(lnum);
        if (it == jc->lebs.end()) return under(lnum, len);
        *len = uint32_t(it->second.size());
        return it->second.data();
      };
      auto again = rs::ubifs::fs::open(std::move(src), budget_for(size_t(jr.src.leb_count) * jr.src.leb_size), &why);
      if (!again) {
        std::fprintf(stderr, "ubifs: the journal written cannot be read back: %s\n", why.c_str());
        return -EIO;
      }
      if (h->bare)
        h->bare = std::move(again);
      else
        v->fs = std::move(again);
      *jr.cur = std::move(t);
      jr.j = jc;
      return 0;
    }
    // The journal cannot take it: the volume is written whole, as a commit
    // would leave it, from the tree as it reads now (data included).
    if (std::getenv("ROMSMITH_UBIFS_DEBUG")) std::fprintf(stderr, "ubifs: no journal: %s\n", why.c_str());
    t = rs::ubifs::tree{};
    if (!rs::ubifs::export_tree(*fs, &t, &why)) {
      std::fprintf(stderr, "ubifs: %s\n", why.c_str());
      return -EIO;
    }
    rc = op(t, rest, fs->info().default_compr);
    if (rc) return rc;
  }
  return whole_write(h, v, t);
}

// A put of a raw volume's file replaces the volume's data: a static volume
// holds exactly the bytes, a dynamic one whole LEBs (padded with 0xff).
int raw_put(handle* h, vol_view* v, const void* buf, size_t size) {
  const rs::ubi::volume& vol = *v->v;
  uint32_t step = h->ubi->leb_bytes(vol);
  size_t want = size;
  if (vol.type != rs::ubi::kStatic) want = (size + step - 1) / step * step;
  if (want > uint64_t(vol.reserved_pebs) * step) {
    std::fprintf(stderr, "ubi: volume %s holds at most %llu bytes\n", vol.name.c_str(),
                 (unsigned long long)(uint64_t(vol.reserved_pebs) * step));
    return -ENOSPC;
  }
  auto d = std::make_shared<std::vector<uint8_t>>(want, 0xff);
  if (size) std::memcpy(d->data(), buf, size);
  v->data = d;
  return 0;
}

int ub_put(void* fs, const char* path, const void* buf, size_t size, const fs_put_attr* attr) {
  handle* h = H(fs);
  if (!h->bare) {
    vol_view* v;
    std::string rest;
    if (resolve(h, path, &v, &rest) == 0 && v && !v->fs) return raw_put(h, v, buf, size);
  }
  rs::ubifs::put_attr a;
  if (attr) {
    a.has_mode = attr->has_mode, a.mode = attr->mode;
    a.has_owner = attr->has_owner, a.uid = attr->uid, a.gid = attr->gid;
  }
  return edit(h, path, [&](rs::ubifs::tree& t, const std::string& p, uint16_t compr) {
    return rs::ubifs::tree_put(t, p, static_cast<const uint8_t*>(buf), size, a, compr, now());
  });
}
int ub_remove(void* fs, const char* path) {
  return edit(H(fs), path,
              [&](rs::ubifs::tree& t, const std::string& p, uint16_t) { return rs::ubifs::tree_remove(t, p); });
}
int ub_mkdir(void* fs, const char* path, uint32_t mode) {
  return edit(H(fs), path, [&](rs::ubifs::tree& t, const std::string& p, uint16_t) {
    return rs::ubifs::tree_mkdir(t, p, mode, now());
  });
}
int ub_chmod(void* fs, const char* path, uint32_t mode) {
  return edit(H(fs), path,
              [&](rs::ubifs::tree& t, const std::string& p, uint16_t) { return rs::ubifs::tree_chmod(t, p, mode); });
}
int ub_chown(void* fs, const char* path, uint32_t uid, uint32_t gid) {
  return edit(H(fs), path, [&](rs::ubifs::tree& t, const std::string& p, uint16_t) {
    return rs::ubifs::tree_chown(t, p, uid, gid);
  });
}
int ub_symlink(void* fs, const char* target, const char* path) {
  return edit(H(fs), path, [&](rs::ubifs::tree& t, const std::string& p, uint16_t) {
    return rs::ubifs::tree_symlink(t, target ? target : "", p, now());
  });
}
int ub_set_mtime(void* fs, const char* path, int64_t mtime) {
  return edit(H(fs), path, [&](rs::ubifs::tree& t, const std::string& p, uint16_t) {
    return rs::ubifs::tree_set_mtime(t, p, mtime);
  });
}
int ub_mknod(void* fs, const char* path, uint32_t mode, uint32_t rdev) {
  return edit(H(fs), path, [&](rs::ubifs::tree& t, const std::string& p, uint16_t) {
    return rs::ubifs::tree_mknod(t, p, mode, rdev, now());
  });
}
int ub_set_xattrs(void* fs, const char* path, const fs_xattrs& in) {
  return edit(H(fs), path,
              [&](rs::ubifs::tree& t, const std::string& p, uint16_t) { return rs::ubifs::tree_set_xattrs(t, p, in); });
}

// Two paths in one UBIFS: `to` relative to the volume `from` is in.
int same_volume(handle* h, const char* from, const char* to, std::string* to_rest) {
  if (h->bare) {
    *to_rest = to ? to : "/";
    return 0;
  }
  vol_view *a, *b;
  std::string ra;
  int rc = resolve(h, from, &a, &ra);
  if (rc) return rc;
  rc = resolve(h, to, &b, to_rest);
  if (rc == -ENOENT && !b) return -EPERM;
  if (rc) return rc;
  if (!a || !b || !a->fs || !b->fs) return -EPERM;
  return a == b ? 0 : -EXDEV;
}
int ub_rename(void* fs, const char* from, const char* to) {
  std::string dst;
  int rc = same_volume(H(fs), from, to, &dst);
  if (rc) return rc;
  return edit(H(fs), from,
              [&](rs::ubifs::tree& t, const std::string& p, uint16_t) { return rs::ubifs::tree_rename(t, p, dst); });
}
int ub_link(void* fs, const char* from, const char* to) {
  std::string dst;
  int rc = same_volume(H(fs), from, to, &dst);
  if (rc) return rc;
  return edit(H(fs), from,
              [&](rs::ubifs::tree& t, const std::string& p, uint16_t) { return rs::ubifs::tree_link(t, p, dst); });
}

// A UBI image: its run of erase blocks with headers; a bare UBIFS: its LEBs in use.
size_t ub_probe(const uint8_t* p, size_t size, bool whole) {
  if (rs::ubifs::is_ubifs(p, size)) {
    if (rs::ubi::media_crc(p + 8, 4096 - 8) != rs::load_le32(p + 4)) return 0;
    uint64_t len = uint64_t(rs::load_le32(p + 36)) * rs::load_le32(p + 40);
    return whole ? size : size_t(std::min<uint64_t>(len, size));
  }
  if (!rs::ubi::is_ubi(p, size)) return 0;
  std::string why;
  auto img = rs::ubi::open(p, size, &why);
  if (!img) return 0;
  if (whole) return size;
  // The run of erase blocks with headers of this image; erased flash or other data ends it.
  size_t n = 0;
  while (n < img->pebs.size()) {
    const rs::ubi::peb& b = img->pebs[n];
    if (b.state == rs::ubi::peb::kErased ||
        (b.state == rs::ubi::peb::kBad && !rs::ubi::is_ubi(p + n * img->peb_size, img->peb_size)) ||
        b.ec.image_seq != img->image_seq)
      break;
    ++n;
  }
  return n * img->peb_size;
}

}  // namespace

const fs_ops ubifs_fs_ops = {
    .type = FS_UBIFS,
    .name = "ubifs",
    .align = 0,
    .load_after_build = true,
    .holds_data = false,
    .fixed_size = false,
    .device_size = 0,
    .read_unloaded = -1,
    .dump_unloaded_msg = "ubifs_load error.\n",
    .dump_who = "ubifs_dump",
    .write_returns_count = false,
    .write_failed = -1,
    .write_failed_msg = nullptr,
    .rm_ok = 0,
    .rebuild_failed_msg = nullptr,
    .load = ub_load,
    .release = ub_release,
    .rebuild = ub_rebuild,
    .release_image = ub_release_image,
    .ls = ub_ls,
    .stat = ub_stat,
    .walk = ub_walk,
    .pread = ub_pread,
    .put = ub_put,
    .remove = ub_remove,
    .mkdir = ub_mkdir,
    .chmod = ub_chmod,
    .chown = ub_chown,
    .symlink = ub_symlink,
    .rename = ub_rename,
    .next_data = nullptr,
    .set_mtime = ub_set_mtime,
    .mknod = ub_mknod,
    .link = ub_link,
    .get_xattrs = ub_get_xattrs,
    .set_xattrs = ub_set_xattrs,
    .probe = ub_probe,
    .image_from_malloc = true,
    .rebuild_in_place = ub_rebuild_in_place,
};
