// Handlers that build and extract file-system images on the host.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cramfs/cramfs.h"
#include "minifs/minifs.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/fileio.h"
#include "util/strutil.h"
#include "util/report.h"

namespace {

std::string remove_stale(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0 || S_ISDIR(st.st_mode) || ::unlink(path) != 0) return "";
  return std::string(", the older ") + path + " was removed";
}

}  // namespace

int cmd_mkcramfs(int argc, char** argv) {
  // -N big|little|host first, as mkfs.cramfs takes it; little-endian without.
  int order = 0;
  bool given = argc > 1 && std::strcmp(argv[1], "-N") == 0;
  if (given) {
    const char* w = argc > 2 ? argv[2] : "";
    if (std::strcmp(w, "big") == 0)
      order = 1;
    else if (std::strcmp(w, "little") == 0)
      order = 0;
    else if (std::strcmp(w, "host") == 0)
      order = -1;
    else {
      cmd_fail("invalid byte order '%s' (big, little or host)", w);
      return -1;
    }
    argc -= 2;
    argv += 2;
  }
  // Both the directory and the image name are needed.
  if (argc < 3) return usage_not_right();
  Progress progress(std::string("mkcramfs ") + argv[2]);
  int rc = given ? mkfs_cramfs_endian(argv[1], argv[2], order) : mkfs_cramfs(argv[1], argv[2]);
  if (rc != 0) cmd_fail_reported("%s: no image made from %s", argv[2], argv[1]);
  return rc;
}

int cmd_mkminifs(int argc, char** argv) {
  if (argc < 3) return usage_not_right();
  uint64_t size = 0x1400000;
  if (argc == 4) {
    size = rs::str2int(argv[3]);
    if (size & 0xFFFF) {
      rs::say_error("the size must align in 64K!!!\n");
      return usage_not_right();
    }
  }
  // An image of a directory that is not there would be an empty image.
  if (!rs::is_directory(argv[1])) {
    std::string removed = remove_stale(argv[2]);
    return cmd_fail("%s: %s%s", argv[1], std::strerror(rs::path_exists(argv[1]) ? ENOTDIR : ENOENT), removed.c_str());
  }
  minifs_device* dev = minifs_mount("", "/", nullptr, size_t(size), nullptr);
  if (!dev) return cmd_fail("%s", std::strerror(ENOMEM));
  Progress progress(std::string("mkminifs ") + argv[2]);
  // What did not fit or could not be read was named by the loader; an image
  // without it is no result.
  if (minifs_load(dev, argv[1], 1) != 0) {
    minifs_umount(dev);
    std::string removed = remove_stale(argv[2]);
    return cmd_fail_reported("%s: not every file of %s was stored, no image written%s", argv[2], argv[1],
                             removed.c_str());
  }
  // A failed write is an error, not a silent success.
  int rc = minifs_mkimg(dev, argv[2]);
  int err = errno;
  if (rc != 0) rs::say_error("error: %s write %s failed, errno(%s)\n", "cmd_mkminifs", argv[2], std::strerror(err));
  minifs_umount(dev);
  if (rc != 0) {
    cmd_fail("%s: %s", argv[2], std::strerror(err));
    return -2;
  }
  return 0;
}

int cmd_unminifs(int argc, char** argv) {
  if (argc < 3) return usage_not_right();
  const char* image = argv[1];
  const char* dir = argv[2];
  struct stat st;
  if (::stat(dir, &st) == 0) {
    rs::say_error("error: dir [%s] already exist!\n", dir);
    cmd_fail("%s: %s", dir, std::strerror(EEXIST));
    return -1;
  }
  if (::mkdir(dir, 0755) != 0) {
    int err = errno;
    rs::say_error("error: %s %d\n", "cmd_unminifs", 362);
    cmd_fail("%s: %s", dir, std::strerror(err));
    return -1;
  }
  FILE* f = std::fopen(image, "rb");
  if (!f) {
    int err = errno;
    rs::say_error("error: %s %d\n", "cmd_unminifs", 369);
    cmd_fail("%s: %s", image, std::strerror(err));
    return -1;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> closer(f, std::fclose);
  if (fstat(fileno(f), &st) != 0) {
    rs::say_error("error: %s %d\n", "cmd_unminifs", 374);
    return -1;
  }
  if (st.st_size <= 0) {
    rs::say_error("error: %s %d\n", "cmd_unminifs", 380);
    cmd_fail("%s: empty image", image);
    return -1;
  }
  if (st.st_size & 0xFFFF) rs::warn("warning: minfis image file ought to be align in 64K\n");
  // A short image still mounts a full-size device: the tail reads as erased flash.
  size_t size = std::max<size_t>(size_t(st.st_size), 0x1400000);
  std::vector<uint8_t> buf;
  try {
    buf.assign(size, 0xFF);
  } catch (const std::bad_alloc&) {
    rs::say_error("error: %s %d\n", "cmd_unminifs", 391);
    return -1;
  }
  size_t got = 0;
  while (got < size_t(st.st_size)) {
    size_t n = std::fread(buf.data() + got, 1, std::min<size_t>(2048, size_t(st.st_size) - got), f);
    if (n == 0) break;
    got += n;
  }
  minifs_device* dev = minifs_mount("", "/", buf.data(), buf.size(), nullptr);
  int rc = 0;
  if (!dev || minifs_dump(dev, dir, "/") < 0) {
    rs::say_error("error: %s %d\n", "cmd_unminifs", 407);
    cmd_fail("%s: not every file was extracted into %s", image, dir);
    rc = -1;
  }
  if (dev) minifs_umount(dev);
  return rc;
}
