// mkjffs2: a JFFS2 image of a host directory, with mkfs.jffs2's option names.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "jffs2/jffs2.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/fileio.h"
#include "util/strutil.h"

namespace {

struct Options {
  rs::jffs2::layout lay;
  bool squash_owners = false;
  bool pad = false;
  uint64_t pad_to = 0;  // 0: the end of the last erase block
  // Enabled compressors, as mkfs.jffs2 starts: zlib and rtime.
  std::map<std::string, bool> enabled{{"zlib", true}, {"rtime", true}, {"lzo", false}};
  std::string forced;
};

struct Builder {
  rs::jffs2::fs& fs;
  const Options& o;
  std::map<std::pair<dev_t, ino_t>, std::string> seen;  // hard links
  std::string error;
  uint32_t uid(const struct stat& st) const { return o.squash_owners ? 0 : uint32_t(st.st_uid); }
  uint32_t gid(const struct stat& st) const { return o.squash_owners ? 0 : uint32_t(st.st_gid); }

  bool fail(const std::string& host, int code) {
    error = host + ": " + std::strerror(code < 0 ? -code : code);
    return false;
  }

  bool add_dir(const std::string& host, const std::string& path) {
    DIR* d = ::opendir(host.c_str());
    if (!d) return fail(host, errno);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
      if (!add(host + "/" + n, path + "/" + n)) return false;
    return true;
  }

  bool add(const std::string& host, const std::string& path) {
    struct stat st {};
    if (::lstat(host.c_str(), &st) != 0) return fail(host, errno);
    if (uid(st) > 0xFFFF || gid(st) > 0xFFFF) return fail(host, EOVERFLOW);
    uint32_t perm = st.st_mode & 07777;
    int rc = 0;
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
      auto key = std::make_pair(st.st_dev, st.st_ino);
      auto it = seen.find(key);
      if (it != seen.end()) {
        rc = fs.link(it->second.c_str(), path.c_str());
        return rc == 0 || fail(host, rc);
      }
      seen[key] = path;
    }
    if (S_ISDIR(st.st_mode)) {
      rc = fs.mkdir(path.c_str(), perm, uid(st), gid(st));
      if (rc == 0) rc = fs.set_mtime(path.c_str(), st.st_mtime);
      if (rc) return fail(host, rc);
      return add_dir(host, path);
    }
    if (S_ISREG(st.st_mode)) {
      std::vector<uint8_t> data;
      if (!rs::read_file(host, data)) return fail(host, errno);
      rc = fs.put(path.c_str(), data.data(), data.size(), perm, uid(st), gid(st));
    } else if (S_ISLNK(st.st_mode)) {
      std::string target(size_t(st.st_size) + 1, '\0');
      ssize_t n = ::readlink(host.c_str(), target.data(), target.size());
      if (n < 0) return fail(host, errno);
      target.resize(size_t(n));
      rc = fs.symlink(target.c_str(), path.c_str());
      if (rc == 0) rc = fs.chown(path.c_str(), uid(st), gid(st));
    } else {
      rc = fs.mknod(path.c_str(), st.st_mode, uint32_t(st.st_rdev), uid(st), gid(st));
    }
    if (rc == 0) rc = fs.set_mtime(path.c_str(), st.st_mtime);
    return rc == 0 || fail(host, rc);
  }
};

// Room for the tree in erased flash: its bytes, a node header per page and
// per entry, and a block's slack per block.
uint64_t room_for(const std::string& dir, uint32_t erase) {
  uint64_t bytes = 0;
  std::vector<std::string> todo{dir};
  while (!todo.empty()) {
    std::string d = todo.back();
    todo.pop_back();
    DIR* h = ::opendir(d.c_str());
    if (!h) continue;
    while (dirent* e = ::readdir(h)) {
      if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
      std::string p = d + "/" + e->d_name;
      struct stat st {};
      if (::lstat(p.c_str(), &st) != 0) continue;
      bytes += 256 + std::strlen(e->d_name);
      if (S_ISREG(st.st_mode)) bytes += uint64_t(st.st_size) + (uint64_t(st.st_size) / 4096 + 1) * 72;
      if (S_ISLNK(st.st_mode)) bytes += uint64_t(st.st_size);
      if (S_ISDIR(st.st_mode)) todo.push_back(p);
    }
    ::closedir(h);
  }
  uint64_t blocks = bytes / (erase / 2) + 2;
  return blocks * erase;
}

}  // namespace

int cmd_mkjffs2(int argc, char** argv) {
  Options o;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-l") {
      o.lay.big_endian = false;
    } else if (a == "-b") {
      o.lay.big_endian = true;
    } else if (a == "-n") {
      o.lay.cleanmarkers = false;
    } else if (a == "-U") {
      o.squash_owners = true;
    } else if (a == "-e") {
      uint64_t e = 0;
      if (!value(&v) || !rs::parse_size(v, &e) || e < 0x1000 || e > 0x200000 || (e & (e - 1)))
        return cmd_fail("invalid erase block size '%s' (a power of two from 4KiB to 2MiB)", v.c_str());
      o.lay.erase_size = uint32_t(e);
    } else if (a.rfind("-p", 0) == 0 || a.rfind("--pad", 0) == 0) {
      o.pad = true;
      std::string s = a.rfind("--pad=", 0) == 0               ? a.substr(6)
                      : a.rfind("-p", 0) == 0 && a.size() > 2 ? a.substr(2)
                                                              : "";
      if (!s.empty() && !rs::parse_size(s, &o.pad_to)) return cmd_fail("invalid pad size '%s'", s.c_str());
    } else if (a == "-X" || a == "-x") {
      if (!value(&v) || !o.enabled.count(v)) return cmd_fail("unknown compressor '%s' (zlib, rtime or lzo)", v.c_str());
      o.enabled[v] = a == "-X";
    } else if (a == "--compr") {
      if (!value(&v) || (v != "none" && !o.enabled.count(v)))
        return cmd_fail("unknown compressor '%s' (zlib, rtime, lzo or none)", v.c_str());
      o.forced = v;
    } else if (a.size() > 1 && a[0] == '-') {
      return usage_not_right();
    } else {
      args.push_back(a);
    }
  }
  if (args.size() != 2) return usage_not_right();
  // One compressor for every node: the forced one, else the enabled one mkfs.jffs2 tries first.
  std::string name = o.forced;
  if (name.empty()) {
    name = "none";
    for (const char* c : {"lzo", "zlib", "rtime"})
      if (o.enabled[c]) {
        name = c;
        break;
      }
  }
  o.lay.compr = unsigned(rs::jffs2::compr_by_name(name));
  const std::string& dir = args[0];
  const std::string& out = args[1];
  if (!rs::is_directory(dir)) return cmd_fail("%s: %s", dir.c_str(), std::strerror(ENOTDIR));
  Progress progress("mkjffs2 " + out);
  uint64_t room = room_for(dir, o.lay.erase_size);
  if (o.pad_to) room = std::max(room, (o.pad_to + o.lay.erase_size - 1) / o.lay.erase_size * o.lay.erase_size);
  if (room > 0xFFFF0000u) return cmd_fail("%s: the tree is too large for a JFFS2 image", dir.c_str());
  auto fs = rs::jffs2::create(o.lay, size_t(room));
  Builder b{*fs, o, {}, {}};
  if (!b.add_dir(dir, "")) return cmd_fail("%s", b.error.c_str());
  std::string why;
  std::vector<uint8_t> img = fs->rebuild(&why);
  if (img.empty()) return cmd_fail("%s: no image made from %s (%s)", out.c_str(), dir.c_str(), why.c_str());
  size_t end = img.size();
  while (end > 0 && img[end - 1] == 0xFF) --end;
  end = (end + 3) & ~size_t(3);
  if (o.pad) {
    size_t e = o.lay.erase_size;
    size_t want = o.pad_to ? size_t(o.pad_to) : (end + e - 1) / e * e;
    if (want < end)
      return cmd_fail("%s: the image needs %zu bytes, more than the pad size %zu", out.c_str(), end, want);
    end = want;
  }
  img.resize(end, 0xFF);
  if (!rs::write_file_atomic(out, img.data(), img.size())) return cmd_fail("%s: %s", out.c_str(), std::strerror(errno));
  return 0;
}
