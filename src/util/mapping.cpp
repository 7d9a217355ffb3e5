#include "util/mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include "util/report.h"

namespace rs {

namespace {
// munmap needs the length, which callers of x_munmap do not always have.
std::unordered_map<void*, size_t>& live_maps() {
  static std::unordered_map<void*, size_t> maps;
  return maps;
}
}  // namespace

void* x_fmmap(const char* fname, size_t* size) {
  int fd = ::open(fname, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    rs::diag("%s: %s\n", std::strerror(errno), fname);
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = errno;
    if (S_ISDIR(st.st_mode)) err = EISDIR;
    rs::diag("Failed to mmap %s : %s\n", std::strerror(err ? err : EINVAL), fname);
    ::close(fd);
    return nullptr;
  }
  size_t len = size_t(st.st_size);
  if (size) *size = len;
  if (len == 0) {
    ::close(fd);
    return nullptr;
  }
  void* addr = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
  int err = errno;
  ::close(fd);
  if (addr == MAP_FAILED) {
    rs::diag("Failed to mmap %s : %s\n", std::strerror(err), fname);
    return nullptr;
  }
  live_maps()[addr] = len;
  return addr;
}

int x_munmap(void* addr, size_t length) {
  if (!addr) return -1;
  auto& maps = live_maps();
  auto it = maps.find(addr);
  if (it != maps.end()) {
    length = it->second;
    maps.erase(it);
  }
  return ::munmap(addr, length) == 0 ? 0 : -1;
}

bool MappedFile::open(const char* fname) {
  reset();
  addr_ = x_fmmap(fname, &size_);
  if (!addr_) size_ = 0;
  return addr_ != nullptr;
}

void MappedFile::reset() {
  if (addr_) x_munmap(addr_, size_);
  addr_ = nullptr;
  size_ = 0;
}

}  // namespace rs
