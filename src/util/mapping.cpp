#include "util/mapping.h"

#include "util/crc32.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "util/report.h"

namespace rs {

namespace {
// munmap needs the length, which callers of x_munmap do not always have.
std::unordered_map<void*, size_t>& live_maps() {
  static std::unordered_map<void*, size_t> maps;
  return maps;
}
}  // namespace

namespace {
// A descriptor of the regular file `fname` and its status, or -1 with the
// designed message said.
int open_regular(const char* fname, struct stat* st) {
  int fd = ::open(fname, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    rs::diag("%s: %s\n", std::strerror(errno), fname);
    return -1;
  }
  if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    int err = errno;
    if (S_ISDIR(st->st_mode)) err = EISDIR;
    rs::diag("Failed to mmap %s : %s\n", std::strerror(err ? err : EINVAL), fname);
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

void* x_fmmap(const char* fname, size_t* size) {
  struct stat st;
  int fd = open_regular(fname, &st);
  if (fd < 0) return nullptr;
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

// --- FileView -------------------------------------------------------------

namespace {

// Live views, readable from the SIGBUS handler: no locks, no allocation.
struct ViewSlot {
  std::atomic<uintptr_t> lo{0}, hi{0};
  std::atomic<int> lost{0};
  // The file behind [lo, hi), for reads that need not map it.
  std::atomic<int> fd{-1};
  std::atomic<uint64_t> offset{0};
};
constexpr int kSlots = 256;
ViewSlot g_slots[kSlots];
struct sigaction g_old_bus {};

size_t page_size() {
  static const size_t ps = size_t(::sysconf(_SC_PAGESIZE));
  return ps;
}

// A page the file no longer has reads as zeros; any other fault goes on to
// whoever handled SIGBUS before us (by default: the process ends).
void on_sigbus(int sig, siginfo_t* info, void* ctx) {
  uintptr_t a = reinterpret_cast<uintptr_t>(info->si_addr);
  for (ViewSlot& s : g_slots) {
    uintptr_t lo = s.lo.load(std::memory_order_acquire), hi = s.hi.load(std::memory_order_acquire);
    if (lo && lo <= a && a < hi) {
      uintptr_t page = a & ~uintptr_t(page_size() - 1);
      if (::mmap(reinterpret_cast<void*>(page), page_size(), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
        s.lost.store(1, std::memory_order_release);
        return;
      }
    }
  }
  if (g_old_bus.sa_flags & SA_SIGINFO) {
    if (g_old_bus.sa_sigaction) return g_old_bus.sa_sigaction(sig, info, ctx);
  } else if (g_old_bus.sa_handler != SIG_DFL && g_old_bus.sa_handler != SIG_IGN) {
    return g_old_bus.sa_handler(sig);
  }
  // Returning re-runs the access, which now ends the process as it would have.
  ::signal(SIGBUS, SIG_DFL);
}

void install_sigbus() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGBUS, &sa, &g_old_bus);
  });
}

int64_t mtime_ns(const struct stat& st) { return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec; }

// Claims a SIGBUS slot for [lo, hi); -1 when all are taken (a fault there
// then ends the process, as without the net).
int claim_slot(uintptr_t lo, uintptr_t hi, int fd, uint64_t offset) {
  install_sigbus();
  for (int i = 0; i < kSlots; ++i) {
    uintptr_t none = 0;
    if (g_slots[i].lo.compare_exchange_strong(none, lo)) {
      g_slots[i].lost.store(0);
      g_slots[i].fd.store(fd);
      g_slots[i].offset.store(offset);
      g_slots[i].hi.store(hi, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

void free_slot(int i) {
  if (i < 0) return;
  g_slots[i].hi.store(0, std::memory_order_release);
  g_slots[i].fd.store(-1);
  g_slots[i].lo.store(0, std::memory_order_release);
}

}  // namespace

bool FileView::open(const char* fname) {
  struct stat st;
  int fd = open_regular(fname, &st);
  if (fd < 0) return false;
  size_ = size_t(st.st_size);
  if (size_ == 0) {
    ::close(fd);
    return false;
  }
  // Writable but private: a file system that edits its bytes in place copies
  // the pages it changes, and the file stays as it is.
  void* addr = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  if (addr == MAP_FAILED) {
    rs::diag("Failed to mmap %s : %s\n", std::strerror(errno), fname);
    ::close(fd);
    size_ = 0;
    return false;
  }
  slot_ = claim_slot(reinterpret_cast<uintptr_t>(addr), reinterpret_cast<uintptr_t>(addr) + size_, fd, 0);
  addr_ = addr;
  fd_ = fd;
  name_ = fname;
  mtime_ns_ = mtime_ns(st);
  return true;
}

FileView::~FileView() {
  while (!aliases_.empty()) forget(aliases_.back().at);
  free_slot(slot_);
  if (addr_) ::munmap(addr_, size_);
  if (fd_ >= 0) ::close(fd_);
}

bool FileView::holds(const void* p, size_t n) const { return n ? held(p, n) == n : held(p, 1) == 1; }

const FileView::Alias* FileView::alias_of(const void* p) const {
  auto a = reinterpret_cast<uintptr_t>(p);
  for (const Alias& al : aliases_) {
    auto lo = reinterpret_cast<uintptr_t>(al.at);
    if (a >= lo && a - lo < al.len) return &al;
  }
  return nullptr;
}

size_t FileView::held(const void* p, size_t n) const {
  auto a = reinterpret_cast<uintptr_t>(p), lo = reinterpret_cast<uintptr_t>(addr_);
  if (addr_ && a >= lo && a - lo < size_) return std::min<size_t>(n, size_ - (a - lo));
  const Alias* al = alias_of(p);
  return al ? std::min<size_t>(n, al->len - (a - reinterpret_cast<uintptr_t>(al->at))) : 0;
}

uint64_t FileView::file_offset(const void* p) const {
  auto a = reinterpret_cast<uintptr_t>(p);
  if (const Alias* al = alias_of(p)) return al->offset + (a - reinterpret_cast<uintptr_t>(al->at));
  return a - reinterpret_cast<uintptr_t>(addr_);
}

uint8_t* FileView::alias(uint64_t offset, size_t len, size_t extra) const {
  if (fd_ < 0 || offset > size_ || len > size_ - offset || len + extra == 0) return nullptr;
  const size_t ps = page_size();
  const uint64_t from = offset / ps * ps;
  const size_t lead = size_t(offset - from), file_len = lead + len;
  const size_t base_len = (lead + len + extra + ps - 1) / ps * ps;
  // Anonymous first, for the room; then the file over its start.
  void* base = ::mmap(nullptr, base_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  if (file_len &&
      ::mmap(base, file_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd_, off_t(from)) == MAP_FAILED) {
    ::munmap(base, base_len);
    return nullptr;
  }
  auto* at = static_cast<uint8_t*>(base) + lead;
  // The file's last page reads as zeros past its end, like the room after it.
  Alias al{at, len, offset, base, base_len, -1};
  al.slot = claim_slot(reinterpret_cast<uintptr_t>(base), reinterpret_cast<uintptr_t>(at) + len, fd_, from);
  aliases_.push_back(al);
  return at;
}

bool FileView::forget(const void* p) const {
  for (size_t i = 0; i < aliases_.size(); ++i)
    if (aliases_[i].at == p) {
      free_slot(aliases_[i].slot);
      ::munmap(aliases_[i].base, aliases_[i].base_len);
      aliases_.erase(aliases_.begin() + long(i));
      return true;
    }
  return false;
}

namespace {

// /proc/self/pagemap, opened once per process: readers ask about ranges
// often. A forked child opens its own (a descriptor kept across the fork
// would read the parent's pages).
std::atomic<int> g_pagemap{-1};
std::once_flag g_pagemap_once;

int pagemap_fd() {
  std::call_once(g_pagemap_once, [] {
    g_pagemap.store(::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC));
    ::pthread_atfork(nullptr, nullptr, [] {
      int old = g_pagemap.exchange(::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC));
      if (old >= 0) ::close(old);
    });
  });
  return g_pagemap.load();
}

// Calls `page(written)` for every page of [p, p+n) in order, from the page
// map: bit 63 present, 62 swapped, 61 file page. A page a write copied is
// anonymous (present without bit 61, or swapped out). False when the map
// cannot be read.
template <class F>
bool each_page(const void* p, size_t n, size_t ps, F&& page) {
  int pagemap = pagemap_fd();
  if (pagemap < 0) return false;
  uintptr_t first = reinterpret_cast<uintptr_t>(p) / ps, last = (reinterpret_cast<uintptr_t>(p) + n - 1) / ps;
  std::vector<uint64_t> e(size_t(std::min<uintptr_t>(last - first + 1, 65536)));
  for (uintptr_t at = first; at <= last;) {
    size_t k = size_t(std::min<uintptr_t>(last - at + 1, e.size()));
    ssize_t got = ::pread(pagemap, e.data(), k * 8, off_t(at * 8));
    if (got != ssize_t(k * 8)) return false;
    for (size_t j = 0; j < k; ++j) {
      uint64_t v = e[j];
      bool present = v >> 63 & 1, swapped = v >> 62 & 1, file = v >> 61 & 1;
      if (!page(swapped || (present && !file))) return true;
    }
    at += k;
  }
  return true;
}

}  // namespace

bool FileView::touched(const void* p, size_t n) const {
  if (!holds(p, n)) return true;
  if (n == 0) return false;
  bool any = false;
  if (!each_page(p, n, page_size(), [&](bool written) { return !(any = written); })) return true;
  return any;
}

std::vector<std::pair<size_t, bool>> FileView::written_runs(const void* p, size_t n) const {
  std::vector<std::pair<size_t, bool>> runs;
  if (!holds(p, n) || n == 0) return runs;
  const size_t ps = page_size();
  uintptr_t at = reinterpret_cast<uintptr_t>(p), end = at + n;
  bool ok = each_page(p, n, ps, [&](bool written) {
    uintptr_t next = std::min<uintptr_t>((at / ps + 1) * ps, end);
    if (!runs.empty() && runs.back().second == written)
      runs.back().first += next - at;
    else
      runs.emplace_back(size_t(next - at), written);
    at = next;
    return true;
  });
  if (!ok) runs.clear();
  return runs;
}

void FileView::drop_pages(const void* p, size_t n) const {
  if (!holds(p, n)) return;
  const size_t ps = page_size();
  uintptr_t a = (reinterpret_cast<uintptr_t>(p) + ps - 1) & ~uintptr_t(ps - 1);
  uintptr_t b = (reinterpret_cast<uintptr_t>(p) + n) & ~uintptr_t(ps - 1);
  if (b > a) ::madvise(reinterpret_cast<void*>(a), b - a, MADV_DONTNEED);
}

void release_read(const void* p, size_t n) {
  if (!p || n == 0) return;
  const size_t ps = page_size();
  const uintptr_t a = reinterpret_cast<uintptr_t>(p), e = a + n;
  for (int i = 0; i < kSlots; ++i) {
    uintptr_t lo = g_slots[i].lo.load(std::memory_order_acquire), hi = g_slots[i].hi.load(std::memory_order_acquire);
    if (!lo || hi <= a || lo >= e) continue;
    // Whole pages only, and only those no write copied: a written page
    // dropped would lose its bytes.
    uintptr_t from = (std::max(a, lo) + ps - 1) / ps * ps, to = std::min(e, hi) / ps * ps;
    if (to <= from) continue;
    uintptr_t run = from, at = from;
    auto flush = [&] {
      if (at > run) ::madvise(reinterpret_cast<void*>(run), at - run, MADV_DONTNEED);
    };
    each_page(reinterpret_cast<void*>(from), to - from, ps, [&](bool written) {
      if (written) {
        flush();
        run = at + ps;
      }
      at += ps;
      return true;
    });
    flush();
  }
}

void UnmappedReads::locate(uintptr_t a, uintptr_t e) {
  if (lo_ && a >= lo_ && e <= hi_) return;
  lo_ = hi_ = 0;
  fd_ = -1;
  written_.clear();
  for (int i = 0; i < kSlots; ++i) {
    uintptr_t lo = g_slots[i].lo.load(std::memory_order_acquire), hi = g_slots[i].hi.load(std::memory_order_acquire);
    if (!lo || a < lo || e > hi) continue;
    lo_ = lo, hi_ = hi, fd_ = g_slots[i].fd.load(), offset_ = g_slots[i].offset.load();
    break;
  }
}

void UnmappedReads::copy(const void* p, void* out, size_t n) {
  if (n == 0) return;
  const uintptr_t a = reinterpret_cast<uintptr_t>(p), e = a + n;
  locate(a, e);
  if (fd_ >= 0 && (file_only_ || !written(a, e)) && ::pread(fd_, out, n, off_t(offset_ + (a - lo_))) == ssize_t(n))
    return;
  std::memcpy(out, p, n);
}

bool UnmappedReads::crc(const void* p, size_t n, uint32_t* crc) {
  if (n == 0) return true;
  const uintptr_t a = reinterpret_cast<uintptr_t>(p), e = a + n;
  locate(a, e);
  if (fd_ < 0 || (!file_only_ && written(a, e))) return false;
  const uint64_t off = offset_ + (a - lo_);
  struct stat st;
  if (::fstat(fd_, &st) != 0 || off > uint64_t(st.st_size) || n > uint64_t(st.st_size) - off) return false;
  const uint64_t start = off / page_size() * page_size();
  const size_t len = size_t(off - start) + n;
  void* m = ::mmap(nullptr, len, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_, off_t(start));
  if (m == MAP_FAILED) return false;
  // A file cut short meanwhile reads as zeros here (the save then finds the
  // file changed) rather than ending the process.
  const uintptr_t w = reinterpret_cast<uintptr_t>(m);
  int slot = claim_slot(w, w + len, -1, 0);
  *crc = crc32_update(*crc, static_cast<const uint8_t*>(m) + (off - start), n);
  free_slot(slot);
  ::munmap(m, len);
  return true;
}

bool UnmappedReads::written(uintptr_t a, uintptr_t e) {
  const size_t ps = page_size();
  for (uintptr_t page = a / ps; page <= (e - 1) / ps; ++page) {
    // The page map is asked once per group of pages.
    const uintptr_t group = page / kGroup;
    auto it = written_.find(group);
    if (it == written_.end()) {
      std::vector<bool> bits(kGroup, true);  // what cannot be told counts as written
      uintptr_t from = std::max(group * kGroup * ps, lo_ / ps * ps), to = std::min((group + 1) * kGroup * ps, hi_);
      size_t k = size_t(from / ps - group * kGroup);
      each_page(reinterpret_cast<void*>(from), to - from, ps, [&](bool w) {
        bits[k++] = w;
        return true;
      });
      it = written_.emplace(group, std::move(bits)).first;
    }
    if (it->second[page % kGroup]) return true;
  }
  return false;
}

void copy_unmapped(const void* p, void* out, size_t n) { UnmappedReads().copy(p, out, n); }

std::string FileView::changed() const {
  if (fd_ < 0) return {};
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::strerror(errno);
  if (uint64_t(st.st_size) != size_)
    return "its length is now " + std::to_string(st.st_size) + " bytes, was " + std::to_string(size_);
  bool lost = slot_ >= 0 && g_slots[slot_].lost.load();
  for (const Alias& al : aliases_) lost = lost || (al.slot >= 0 && g_slots[al.slot].lost.load());
  if (lost) return "bytes were cut off it while it was open";
  if (mtime_ns(st) != mtime_ns_) return "another program wrote to it";
  return {};
}

}  // namespace rs
