// JFFS2 behind the file-system operations: the scan keeps pointers into the
// partition buffer; a rebuild gives the whole partition back with the edits
// appended as new nodes.
#include <romsmith/romsmith.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "core/fs_contract.h"
#include "jffs2/jffs2.h"

namespace {

rs::jffs2::fs* J(void* fs) { return static_cast<rs::jffs2::fs*>(fs); }

void* jf_load(uint8_t* buf, uint32_t used, uint32_t total) {
  return rs::jffs2::load(buf, used, std::max(used, total)).release();
}
void jf_release(void* fs) { delete J(fs); }
// Rebuilt images stay in the vector the writer filled: a partition is not copied twice.
std::mutex g_images_mutex;
std::unordered_map<uint8_t*, std::vector<uint8_t>*> g_images;

uint8_t* jf_rebuild(void* fs, size_t* size, std::string* why) {
  std::string reason;
  auto img = std::make_unique<std::vector<uint8_t>>(J(fs)->rebuild(&reason));
  if (img->empty()) {
    if (why) *why = reason.empty() ? "the jffs2 writer gave no image" : reason;
    return nullptr;
  }
  *size = img->size();
  uint8_t* p = img->data();
  std::lock_guard<std::mutex> lock(g_images_mutex);
  g_images[p] = img.release();
  return p;
}
void jf_release_image(uint8_t* image, size_t) {
  std::lock_guard<std::mutex> lock(g_images_mutex);
  auto it = g_images.find(image);
  if (it == g_images.end()) return;
  delete it->second;
  g_images.erase(it);
}
void jf_ls(void* fs) { J(fs)->ls(); }

void to_attr(const rs::jffs2::attr& a, fs_attr* out) {
  *out = fs_attr{};
  out->mode = a.mode;
  out->uid = a.uid;
  out->gid = a.gid;
  out->size = a.size;
  out->mtime = a.mtime;
  out->rdev = a.rdev;
  out->nlink = a.nlink;
  out->ino = a.ino;
  out->target = a.target;
}
int jf_stat(void* fs, const char* path, fs_attr* out) {
  rs::jffs2::attr a;
  int rc = J(fs)->stat(path, &a);
  if (rc == 0) to_attr(a, out);
  return rc;
}
int jf_walk(void* fs, const char* path, std::vector<fs_node>* out) {
  std::vector<rs::jffs2::node_entry> nodes;
  int rc = J(fs)->walk(path, &nodes);
  if (rc) return rc;
  out->reserve(out->size() + nodes.size());
  for (auto& n : nodes) {
    fs_node f;
    f.path = std::move(n.path);
    to_attr(n.a, &f.attr);
    out->push_back(std::move(f));
  }
  return 0;
}
long long jf_pread(void* fs, const char* path, void* buf, size_t size, uint64_t offset) {
  return J(fs)->pread(path, buf, size, offset);
}
int jf_put(void* fs, const char* path, const void* buf, size_t size, const fs_put_attr* attr) {
  long mode = attr && attr->has_mode ? long(attr->mode & 07777) : -1;
  long uid = attr && attr->has_owner ? long(attr->uid) : -1;
  long gid = attr && attr->has_owner ? long(attr->gid) : -1;
  return J(fs)->put(path, buf, size, mode, uid, gid);
}
int jf_remove(void* fs, const char* path) { return J(fs)->remove(path); }
int jf_mkdir(void* fs, const char* path, uint32_t mode) { return J(fs)->mkdir(path, mode); }
int jf_chmod(void* fs, const char* path, uint32_t mode) { return J(fs)->chmod(path, mode); }
int jf_chown(void* fs, const char* path, uint32_t uid, uint32_t gid) { return J(fs)->chown(path, uid, gid); }
int jf_symlink(void* fs, const char* target, const char* path) { return J(fs)->symlink(target, path); }
int jf_rename(void* fs, const char* from, const char* to) { return J(fs)->rename(from, to); }
int jf_mknod(void* fs, const char* path, uint32_t mode, uint32_t rdev) {
  uint32_t t = mode & 0170000;
  if (t != 0020000 && t != 0060000 && t != 0010000 && t != 0140000) return -EINVAL;
  return J(fs)->mknod(path, mode, rdev, 0, 0);
}
int jf_link(void* fs, const char* from, const char* to) { return J(fs)->link(from, to); }
uint64_t jf_next_data(void* fs, const char* path, uint64_t off) { return J(fs)->next_data(path, off); }
int jf_set_mtime(void* fs, const char* path, int64_t mtime) { return J(fs)->set_mtime(path, mtime); }

// A bare image only: a node magic in either byte order and a node type the
// format knows at the start. Inside a flash dump a JFFS2 has no length of its
// own (it runs to its partition's end), so a scan does not take it.
size_t jf_probe(const uint8_t* p, size_t size, bool whole) {
  if (!whole || size < 12) return 0;
  bool le = p[0] == 0x85 && p[1] == 0x19, be = p[0] == 0x19 && p[1] == 0x85;
  if (!le && !be) return 0;
  uint32_t type = le ? uint32_t(p[2]) | uint32_t(p[3]) << 8 : uint32_t(p[2]) << 8 | uint32_t(p[3]);
  for (uint32_t known : {0xE001u, 0xE002u, 0x2003u, 0x2004u, 0x2006u, 0xE008u, 0xE009u})
    if (type == known) return size;
  return 0;
}

}  // namespace

const fs_ops jffs2_fs_ops = {
    .type = FS_JFFS2,
    .name = "jffs2",
    .align = 0,
    .load_after_build = true,
    .holds_data = false,
    .fixed_size = true,
    .device_size = 0,
    .read_unloaded = -1,
    .dump_unloaded_msg = "jffs2 image cannot be read.\n",
    .dump_who = "jffs2_dump",
    .write_returns_count = false,
    .write_failed = 0,
    .write_failed_msg = nullptr,
    .rm_ok = 0,
    .rebuild_failed_msg = nullptr,
    .load = jf_load,
    .release = jf_release,
    .rebuild = jf_rebuild,
    .release_image = jf_release_image,
    .ls = jf_ls,
    .stat = jf_stat,
    .walk = jf_walk,
    .pread = jf_pread,
    .put = jf_put,
    .remove = jf_remove,
    .mkdir = jf_mkdir,
    .chmod = jf_chmod,
    .chown = jf_chown,
    .symlink = jf_symlink,
    .rename = jf_rename,
    .next_data = jf_next_data,
    .set_mtime = jf_set_mtime,
    .mknod = jf_mknod,
    .link = jf_link,
    .get_xattrs = nullptr,
    .set_xattrs = nullptr,
    .probe = jf_probe,
};
