// UBI and UBIFS behind the file-system operations, for reading. The volumes
// of a UBI image are the top-level names ("/rootfs/etc/issue"), always, so
// that paths do not change when a volume is added; a volume holding UBIFS is
// a directory, any other volume one regular file of its data. A bare UBIFS
// (no UBI headers) is the root itself. Everything stays in the partition
// buffer; edits are refused until a writer exists.
#include <romsmith/romsmith.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/fs_contract.h"
#include "ubi/ubi.h"
#include "ubifs/ubifs.h"
#include "util/crc32.h"
#include "util/endian.h"

namespace {

constexpr const char* kNoEdit = "ubifs: editing is not supported yet";

struct vol_view {
  std::string name;  // the path component
  const rs::ubi::volume* v = nullptr;
  std::unique_ptr<rs::ubifs::fs> fs;
};

struct handle {
  const uint8_t* buf = nullptr;
  size_t size = 0;
  std::unique_ptr<rs::ubi::image> ubi;  // null for a bare UBIFS
  std::vector<vol_view> vols;           // by name
  std::unique_ptr<rs::ubifs::fs> bare;
};

handle* H(void* fs) { return static_cast<handle*>(fs); }

// Metadata held for a volume: a floor for small images, then in step with its size.
size_t budget_for(size_t bytes) { return (size_t(32) << 20) + 4 * bytes; }

std::string path_name(const rs::ubi::volume& v) {
  if (v.name == "." || v.name == ".." || v.name.find('/') != std::string::npos) return "vol" + std::to_string(v.id);
  return v.name;
}

void* ub_load(uint8_t* buf, uint32_t used, uint32_t total) {
  size_t size = used ? used : total;
  auto h = std::make_unique<handle>();
  h->buf = buf;
  h->size = size;
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
  out->size = v.v->used_bytes;
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

uint8_t* ub_rebuild(void*, size_t*, std::string* why) {
  if (why) *why = kNoEdit;
  return nullptr;
}
void ub_release_image(uint8_t* image, size_t) { std::free(image); }

int refuse() {
  std::fprintf(stderr, "%s\n", kNoEdit);
  return -EROFS;
}
int ub_put(void*, const char*, const void*, size_t, const fs_put_attr*) { return refuse(); }
int ub_remove(void*, const char*) { return refuse(); }
int ub_mkdir(void*, const char*, uint32_t) { return refuse(); }
int ub_chmod(void*, const char*, uint32_t) { return refuse(); }
int ub_chown(void*, const char*, uint32_t, uint32_t) { return refuse(); }
int ub_symlink(void*, const char*, const char*) { return refuse(); }
int ub_rename(void*, const char*, const char*) { return refuse(); }
int ub_set_mtime(void*, const char*, int64_t) { return refuse(); }
int ub_mknod(void*, const char*, uint32_t, uint32_t) { return refuse(); }
int ub_link(void*, const char*, const char*) { return refuse(); }
int ub_set_xattrs(void*, const char*, const fs_xattrs&) { return refuse(); }

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
};
