// A boot-loader image header at the start of a raw partition (or of a region
// a scan found), behind the file-system operations: its data reads as the file
// "/uimage-payload", each part of a multi-file image as "/uimage-part<N>" too.
// Replacing either rewrites the data size and both header CRCs on save; every
// other header field stays. Nothing else can be made inside.
//
// Partitions of no table type are tried for it by content (`by_content`):
// a raw partition without the header stays raw bytes.
#include <romsmith/romsmith.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/fs_contract.h"
#include "uimage/uimage.h"

namespace {

constexpr const char* kPayload = "/uimage-payload";
constexpr const char* kPartPrefix = "/uimage-part";

struct uimage_handle {
  std::vector<uint8_t> image;  // header and data: as loaded, or as edited
  rs::uimage_info info;
  uint32_t mtime = 0;
};

uimage_handle* h(void* fs) { return static_cast<uimage_handle*>(fs); }

bool parse(uimage_handle* u) {
  rs::uimage_info info;
  if (!rs::uimage_parse(u->image.data(), u->image.size(), &info, nullptr)) return false;
  u->info = std::move(info);
  u->mtime = u->info.time;
  return true;
}

void* ui_load(uint8_t* buf, uint32_t used, uint32_t total) {
  size_t len = std::min(used, total);
  if (len < rs::kUimageHeaderSize || !buf) return nullptr;
  rs::uimage_info info;
  if (!rs::uimage_parse(buf, len, &info, nullptr)) return nullptr;
  auto* u = new uimage_handle;
  // Header and data only: what follows in the partition is not the image's.
  u->image.assign(buf, buf + info.data_offset + info.size);
  if (!parse(u)) {
    delete u;
    return nullptr;
  }
  return u;
}
void ui_release(void* fs) { delete h(fs); }

uint8_t* ui_rebuild(void* fs, size_t* size, std::string* why) {
  const std::vector<uint8_t>& img = h(fs)->image;
  auto* out = static_cast<uint8_t*>(std::malloc(img.size()));
  if (!out) {
    if (why) *why = std::strerror(ENOMEM);
    return nullptr;
  }
  std::memcpy(out, img.data(), img.size());
  *size = img.size();
  return out;
}
void ui_release_image(uint8_t* image, size_t) { std::free(image); }
void ui_ls(void* fs) { std::fputs(rs::uimage_describe(h(fs)->info).c_str(), stdout); }

// -1 for the payload, a part's index, or -2 for no such file.
int which(const uimage_handle* u, const char* path) {
  if (std::strcmp(path, kPayload) == 0) return -1;
  size_t n = std::strlen(kPartPrefix);
  if (!u->info.multi || std::strncmp(path, kPartPrefix, n) != 0) return -2;
  const char* digits = path + n;
  if (!*digits || std::strspn(digits, "0123456789") != std::strlen(digits) || std::strlen(digits) > 6) return -2;
  size_t i = size_t(std::atoi(digits));
  return i < u->info.parts.size() ? int(i) : -2;
}

// Where the bytes of a file lie in the image.
void extent(const uimage_handle* u, int w, size_t* off, size_t* len) {
  if (w == -1) {
    *off = u->info.data_offset;
    *len = u->info.size;
  } else {
    *off = u->info.parts[size_t(w)].offset;
    *len = u->info.parts[size_t(w)].size;
  }
}

std::vector<fs_node> nodes(const uimage_handle* u) {
  std::vector<fs_node> out;
  fs_node root;
  root.path = "/";
  root.attr.mode = S_IFDIR | 0755;
  root.attr.nlink = 2;
  root.attr.mtime = u->mtime;
  root.attr.ino = 1;
  out.push_back(root);
  auto file = [&](const std::string& path, uint64_t size) {
    fs_node f;
    f.path = path;
    f.attr.mode = S_IFREG | 0644;
    f.attr.size = size;
    f.attr.mtime = u->mtime;
    f.attr.ino = out.size() + 1;
    out.push_back(f);
  };
  // Children by name, as every walk gives them.
  std::vector<std::pair<std::string, uint64_t>> files = {{kPayload, u->info.size}};
  for (size_t i = 0; u->info.multi && i < u->info.parts.size(); ++i)
    files.push_back({kPartPrefix + std::to_string(i), u->info.parts[i].size});
  std::sort(files.begin(), files.end());
  for (const auto& f : files) file(f.first, f.second);
  return out;
}

int ui_stat(void* fs, const char* path, fs_attr* out) {
  for (const fs_node& n : nodes(h(fs)))
    if (n.path == path) {
      *out = n.attr;
      return 0;
    }
  return -ENOENT;
}
int ui_walk(void* fs, const char* path, std::vector<fs_node>* out) {
  std::vector<fs_node> all = nodes(h(fs));
  if (std::strcmp(path, "/") == 0) {
    out->insert(out->end(), all.begin(), all.end());
    return 0;
  }
  for (const fs_node& n : all)
    if (n.path == path) return -ENOTDIR;
  return -ENOENT;
}
long long ui_pread(void* fs, const char* path, void* buf, size_t size, uint64_t offset) {
  const uimage_handle* u = h(fs);
  if (std::strcmp(path, "/") == 0) return -EISDIR;
  int w = which(u, path);
  if (w == -2) return -ENOENT;
  size_t off = 0, len = 0;
  extent(u, w, &off, &len);
  if (offset >= len) return 0;
  size_t n = size_t(std::min<uint64_t>(size, len - offset));
  std::memcpy(buf, u->image.data() + off + offset, n);
  return (long long)n;
}

int ui_put(void* fs, const char* path, const void* buf, size_t size, const fs_put_attr* attr) {
  uimage_handle* u = h(fs);
  if (std::strcmp(path, "/") == 0) return -EISDIR;
  int w = which(u, path);
  // Only the data can change; its file attributes are not stored.
  if (w == -2) return -EPERM;
  if (attr && (attr->has_mode || attr->has_owner)) return -EPERM;
  if (size > 0xFFFFFFFFu - rs::kUimageHeaderSize) return -EFBIG;
  std::vector<uint8_t> next;
  std::string why;
  const auto* data = static_cast<const uint8_t*>(buf);
  bool ok = w == -1 ? rs::uimage_replace_payload(u->image.data(), u->image.size(), data, size, &next, &why)
                    : rs::uimage_replace_part(u->image.data(), u->image.size(), size_t(w), data, size, &next, &why);
  if (!ok) {
    std::fprintf(stderr, "uimage: %s: %s\n", path + 1, why.c_str());
    return -EINVAL;
  }
  std::vector<uint8_t> before;
  before.swap(u->image);
  u->image.swap(next);
  if (!parse(u)) {
    u->image.swap(before);
    parse(u);
    return -EINVAL;
  }
  return 0;
}
// The header's files are all there is: none can be made, removed or renamed.
int ui_remove(void* fs, const char* path) {
  fs_attr a;
  return ui_stat(fs, path, &a) == 0 ? -EPERM : -ENOENT;
}
int ui_mkdir(void*, const char*, uint32_t) { return -EPERM; }
int ui_chmod(void*, const char*, uint32_t) { return -EPERM; }
int ui_chown(void*, const char*, uint32_t, uint32_t) { return -EPERM; }
int ui_symlink(void*, const char*, const char*) { return -EPERM; }
int ui_rename(void*, const char*, const char*) { return -EPERM; }

size_t ui_probe(const uint8_t* p, size_t size, bool) {
  rs::uimage_info info;
  std::string why;
  if (!rs::uimage_parse(p, size, &info, &why) || !info.header_crc_ok) return 0;
  return info.data_offset + info.size;
}

}  // namespace

const fs_ops uimage_fs_ops = {
    .type = FS_RAW,
    .name = "uimage",
    .align = 0,
    .load_after_build = false,
    .holds_data = false,
    .fixed_size = false,
    .device_size = 0,
    .read_unloaded = -1,
    .dump_unloaded_msg = "uimage header cannot be read.\n",
    .dump_who = "uimage_dump",
    .write_returns_count = false,
    .write_failed = 0,
    .write_failed_msg = nullptr,
    .rm_ok = 0,
    .rebuild_failed_msg = nullptr,
    .load = ui_load,
    .release = ui_release,
    .rebuild = ui_rebuild,
    .release_image = ui_release_image,
    .ls = ui_ls,
    .stat = ui_stat,
    .walk = ui_walk,
    .pread = ui_pread,
    .put = ui_put,
    .remove = ui_remove,
    .mkdir = ui_mkdir,
    .chmod = ui_chmod,
    .chown = ui_chown,
    .symlink = ui_symlink,
    .rename = ui_rename,
    .next_data = nullptr,
    .set_mtime = nullptr,
    .mknod = nullptr,
    .link = nullptr,
    .get_xattrs = nullptr,
    .set_xattrs = nullptr,
    .probe = ui_probe,
    .by_content = true,
};
