// Decoding ahead of the reader on worker threads (see ahead.h).
#include "ahead.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace rs_mount {

Ahead::Ahead(AheadLimits limits) : lim_(limits) {
  if (lim_.window == 0) lim_.window = 1;
  // The program reading and the request thread (which decodes a piece no
  // worker has begun) keep a core between them; the workers take the rest.
  if (lim_.threads == 0) lim_.threads = std::max(2u, std::thread::hardware_concurrency()) - 1;
}

Ahead::~Ahead() { stop(); }

void Ahead::start() {
  // Workers start with the first file read: a mount that is only listed never has any.
  if (!workers_.empty() || stopping_) return;
  for (unsigned i = 0; i < lim_.threads; ++i) workers_.emplace_back([this] { work(); });
}

std::shared_ptr<Ahead::File> Ahead::file_of(const std::string& path, uint64_t size, const Opener& open) {
  auto it = files_.find(path);
  if (it != files_.end() && it->second->size == size) return it->second;
  ReadFn fn = open ? open(path) : ReadFn();
  if (!fn) return nullptr;
  auto f = std::make_shared<File>();
  f->size = size;
  f->read = std::move(fn);
  files_[path] = f;
  return f;
}

bool Ahead::add(const std::shared_ptr<File>& f, const std::string& path, uint64_t off, bool front, bool evict) {
  if (off >= f->size) return true;
  const Key key{path, off};
  if (held_.count(key)) return true;
  const size_t len = size_t(std::min<uint64_t>(lim_.window, f->size - off));
  while (bytes_ + len > lim_.budget)
    if (!evict || !evict_one(path)) return false;
  auto p = std::make_shared<Piece>();
  p->path = path;
  p->off = off;
  p->len = len;
  p->file = f;
  p->seq = ++seq_;
  held_.emplace(key, p);
  bytes_ += len;
  if (front)
    jobs_.push_front(p);
  else
    jobs_.push_back(p);
  jobs_cv_.notify_one();
  return true;
}

void Ahead::erase(std::map<Key, std::shared_ptr<Piece>>::iterator it) {
  Piece& p = *it->second;
  p.dropped = true;
  if (p.state == Piece::kQueued) {
    auto j = std::find(jobs_.begin(), jobs_.end(), it->second);
    if (j != jobs_.end()) jobs_.erase(j);
  }
  bytes_ -= p.len;
  held_.erase(it);
}

// The oldest decoded piece of another file makes room for the file being read.
bool Ahead::evict_one(const std::string& keep) {
  auto victim = held_.end();
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    const Piece& p = *it->second;
    if (p.path == keep || p.state == Piece::kBusy) continue;
    if (victim == held_.end() || p.seq < victim->second->seq) victim = it;
  }
  if (victim == held_.end()) return false;
  erase(victim);
  return true;
}

void Ahead::schedule(const std::string& path, uint64_t size, uint64_t off,
                     const std::vector<std::pair<std::string, uint64_t>>& next, const Opener& open) {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return;
  start();
  if (auto f = file_of(path, size, open)) {
    const uint64_t first = off / lim_.window * lim_.window;
    // The window being read goes first; the ones after it follow in order.
    for (size_t k = 0; k < lim_.file_windows; ++k)
      if (!add(f, path, first + k * lim_.window, k == 0, true)) break;
  }
  size_t files = 0, bytes = 0;
  for (const auto& [np, nsize] : next) {
    if (files >= lim_.ahead_files || bytes >= lim_.ahead_bytes) break;
    ++files;
    const uint64_t part = std::min<uint64_t>(nsize, std::max(lim_.ahead_file_bytes, lim_.window));
    bytes += size_t(part);
    if (nsize == 0 || held_.count({np, 0})) continue;
    auto f = file_of(np, nsize, open);
    if (!f) continue;
    bool room = true;
    for (uint64_t at = 0; room && at < part; at += lim_.window) room = add(f, np, at, false, false);
    if (!room) break;
  }
}

void Ahead::follow(const std::string& path, uint64_t off) {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return;
  auto it = files_.find(path);
  if (it == files_.end() || it->second->size <= lim_.window) return;
  std::shared_ptr<File> f = it->second;
  const uint64_t first = off / lim_.window * lim_.window;
  for (size_t k = 0; k < lim_.file_windows; ++k)
    if (!add(f, path, first + k * lim_.window, false, true)) break;
}

void Ahead::decode(Piece& p) {
  p.data.reset(static_cast<uint8_t*>(std::malloc(p.len ? p.len : 1)));
  if (!p.data) {
    p.state = Piece::kFailed;
    return;
  }
  long long r = p.file->read(p.data.get(), p.len, p.off);
  p.state = r == (long long)p.len ? Piece::kReady : Piece::kFailed;
}

void Ahead::work() {
  // Below the request thread and the program reading: when both wait for a
  // reply, they run at once instead of after a worker's time slice.
  if (lim_.nice > 0) setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), getpriority(PRIO_PROCESS, 0) + lim_.nice);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    jobs_cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    std::shared_ptr<Piece> p = jobs_.front();
    jobs_.pop_front();
    p->state = Piece::kBusy;
    lock.unlock();
    Piece scratch;
    scratch.file = p->file;
    scratch.off = p->off;
    scratch.len = p->len;
    decode(scratch);
    lock.lock();
    // A dropped piece is no longer anyone's: its bytes are thrown away.
    if (!p->dropped) {
      p->data = std::move(scratch.data);
      p->state = scratch.state;
    }
    ready_.notify_all();
  }
}

std::shared_ptr<Ahead::Piece> Ahead::ready(std::unique_lock<std::mutex>& lock, const std::string& path,
                                           uint64_t start) {
  auto it = held_.find({path, start});
  if (it == held_.end()) return nullptr;
  std::shared_ptr<Piece> p = it->second;
  if (p->state == Piece::kQueued) {
    // Not started: decoding it here is sooner than waiting for a worker.
    auto j = std::find(jobs_.begin(), jobs_.end(), p);
    if (j != jobs_.end()) jobs_.erase(j);
    p->state = Piece::kBusy;
    lock.unlock();
    decode(*p);
    lock.lock();
    ready_.notify_all();
  }
  ready_.wait(lock, [&] { return p->state != Piece::kBusy; });
  it = held_.find({path, start});
  if (it == held_.end() || it->second != p) return nullptr;
  if (p->state == Piece::kFailed) {
    erase(it);
    return nullptr;
  }
  return p;
}

size_t Ahead::take(const std::string& path, uint64_t off, void* buf, size_t n) {
  std::unique_lock<std::mutex> lock(mu_);
  size_t done = 0;
  while (done < n) {
    const uint64_t at = off + done, start = at / lim_.window * lim_.window;
    std::shared_ptr<Piece> p = ready(lock, path, start);
    if (!p) break;
    const uint64_t in = at - p->off;
    if (in >= p->len) break;
    const size_t k = size_t(std::min<uint64_t>(n - done, p->len - in));
    std::memcpy(static_cast<uint8_t*>(buf) + done, p->data.get() + in, k);
    done += k;
    if (in + k == p->len) erase(held_.find({path, start}));
  }
  return done;
}

uint8_t* Ahead::take_whole(const std::string& path, uint64_t off, size_t n, size_t* len) {
  std::unique_lock<std::mutex> lock(mu_);
  if (off % lim_.window) return nullptr;
  auto it = held_.find({path, off});
  // Less than asked is taken for the end of the file, so only a piece that
  // ends there may be shorter than the request.
  if (it == held_.end() || it->second->len == 0 || it->second->len > n ||
      (it->second->len < n && off + it->second->len < it->second->file->size))
    return nullptr;
  std::shared_ptr<Piece> p = ready(lock, path, off);
  if (!p) return nullptr;
  *len = p->len;
  uint8_t* mem = p->data.release();
  erase(held_.find({path, off}));
  return mem;
}

void Ahead::forget(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = held_.lower_bound({path, 0}); it != held_.end() && it->first.first == path;) erase(it++);
  files_.erase(path);
}

void Ahead::drop() {
  std::lock_guard<std::mutex> lock(mu_);
  while (!held_.empty()) erase(held_.begin());
  jobs_.clear();
  files_.clear();
}

void Ahead::stop() {
  drop();
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  jobs_cv_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
}

size_t Ahead::held_bytes() {
  std::lock_guard<std::mutex> lock(mu_);
  return bytes_;
}

size_t Ahead::pieces() {
  std::lock_guard<std::mutex> lock(mu_);
  return held_.size();
}

}  // namespace rs_mount
