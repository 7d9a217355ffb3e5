#include "core/fs_dump.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "util/fileio.h"
#include "util/treewriter.h"
#include "util/report.h"

namespace {

constexpr size_t kChunk = 1 << 20;

// The content in bounded pieces; holes the file system knows of, and runs of
// zeros, stay holes in the copy.
bool copy_content(const fs_ops* ops, void* fs, const fs_node& n, FILE* f) {
  rs::SparseOut out(f);
  std::vector<uint8_t> buf(size_t(std::min<uint64_t>(n.attr.size, kChunk)));
  for (uint64_t at = 0; at < n.attr.size;) {
    uint64_t data = ops->next_data ? std::min(ops->next_data(fs, n.path.c_str(), at), n.attr.size) : at;
    if (data > at) {
      if (!out.zeros(data - at)) return false;
      at = data;
      continue;
    }
    size_t want = size_t(std::min<uint64_t>(n.attr.size - at, kChunk));
    long long got = ops->pread(fs, n.path.c_str(), buf.data(), want, at);
    if (got <= 0) {
      errno = got < 0 ? int(-got) : EIO;
      return false;
    }
    if (!out.put(buf.data(), size_t(got))) return false;
    at += uint64_t(got);
  }
  return out.finish();
}

}  // namespace

int fs_dump_tree(const fs_ops* ops, void* fs, const std::string& dir, const char* who) {
  if (!ops || !fs || !ops->walk || !ops->pread) return -1;
  if (!rs::make_dirs(dir)) {
    rs::say_error("error: %s can't make %s, errno(%s)\n", who, dir.c_str(), std::strerror(errno));
    return -1;
  }
  rs::TreeWriter out(dir);
  if (!out.ok()) {
    rs::say_error("error: %s can't open %s, errno(%s)\n", who, dir.c_str(), std::strerror(errno));
    return -1;
  }
  std::vector<fs_node> nodes;
  int rc = ops->walk(fs, "/", &nodes);
  if (rc < 0) {
    rs::say_error("error: %s can't list the file system, errno(%s)\n", who, std::strerror(-rc));
    return -1;
  }
  int result = 0;
  bool root = ::geteuid() == 0;
  std::vector<const fs_node*> dirs;
  std::unordered_map<uint64_t, std::string> links;  // inode -> first name written
  for (const fs_node& n : nodes) {
    if (n.path == "/" || n.path.empty()) continue;
    std::string rel = n.path.substr(1);
    std::string host = dir + "/" + rel;
    uint32_t type = n.attr.mode & S_IFMT;
    bool ok = true;
    if (type == S_IFDIR) {
      ok = out.directory(rel);
      if (ok) dirs.push_back(&n);
    } else if (type == S_IFREG) {
      // Hard links of one inode come out as one file with several names.
      auto first = n.attr.nlink > 1 && n.attr.ino ? links.find(n.attr.ino) : links.end();
      if (first != links.end()) {
        ok = out.hard_link(first->second, rel);
        if (ok) continue;
      }
      ok = out.fresh_file(rel, n.attr.mode, root ? long(n.attr.uid) : -1, long(n.attr.gid),
                          [&](FILE* f) { return copy_content(ops, fs, n, f); });
      if (ok && n.attr.nlink > 1 && n.attr.ino) links.emplace(n.attr.ino, rel);
      if (!ok) {
        rs::say_error("error: %s write %s failed, errno(%s)\n", who, host.c_str(), std::strerror(errno));
        result = -1;
      }
      continue;
    } else if (type == S_IFLNK) {
      ok = out.symlink(rel, n.attr.target);
    } else if (type == S_IFIFO || root) {
      ok = type == S_IFSOCK || out.special(rel, n.attr.mode, n.attr.rdev);
    } else {
      rs::warn("warning: %s %s: device node not made (needs root)\n", who, host.c_str());
      continue;
    }
    if (!ok) {
      rs::say_error("error: %s write %s failed, errno(%s)\n", who, host.c_str(), std::strerror(errno));
      result = -1;
      continue;
    }
    // chown clears set-id bits: the mode goes on again after it.
    if (root && (!out.owner(rel, n.attr.uid, n.attr.gid) || (type != S_IFDIR && !out.mode(rel, n.attr.mode)))) {
      rs::say_error("error: %s chown %s failed, errno(%s)\n", who, host.c_str(), std::strerror(errno));
      result = -1;
    }
  }
  // Directory modes last: a read-only directory must still be filled first.
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
    const fs_node& n = **it;
    if (!out.mode(n.path.substr(1), n.attr.mode)) {
      rs::say_error("error: %s chmod %s failed, errno(%s)\n", who, (dir + n.path).c_str(), std::strerror(errno));
      result = -1;
    }
  }
  return result;
}
