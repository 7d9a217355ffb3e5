// Decoding ahead of the reader: while the mount serves one file, worker
// threads decode the rest of it and the files after it in its directory into
// a bounded set of pieces (a whole small file, or one window of a large one),
// so that compressed file systems are read on all cores. Every call is made
// from the mount's one request thread; only the workers run beside it.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rs_mount {

// (buf, n, off) -> bytes read or -errno; must be safe on any thread.
using ReadFn = std::function<long long(void* buf, size_t n, uint64_t off)>;
// Made on the request thread for a path; empty: nothing to decode it with.
using Opener = std::function<ReadFn(const std::string& path)>;

struct AheadLimits {
  size_t budget = size_t(64) << 20;  // bytes held, decoded or promised
  // Piece size; smaller files are one piece. It matches the largest request
  // the mount takes, so that a piece usually answers one request whole.
  size_t window = size_t(256) << 10;
  size_t file_windows = 16;                   // windows of the file being read kept ahead
  size_t ahead_bytes = size_t(32) << 20;      // of the files after it
  size_t ahead_file_bytes = size_t(1) << 20;  // of each of those
  size_t ahead_files = 256;
  unsigned threads = 0;  // 0: one per core but one
  int nice = 5;          // workers' nice above the mount's
};

class Ahead {
 public:
  explicit Ahead(AheadLimits limits = {});
  ~Ahead();
  Ahead(const Ahead&) = delete;
  Ahead& operator=(const Ahead&) = delete;

  // `path` (of `size` bytes) is being read from `off`: decode from there, and
  // the files in `next` (path, size) as far as the limits allow.
  void schedule(const std::string& path, uint64_t size, uint64_t off,
                const std::vector<std::pair<std::string, uint64_t>>& next, const Opener& open);
  // More of a file already scheduled is being read: keep its windows ahead.
  void follow(const std::string& path, uint64_t off);
  // Bytes from `off` out of decoded pieces, as many as are held in a row
  // (0: none; the caller reads the rest the normal way). A piece read to its
  // end is let go: a file is read once, in order, far more often than not.
  size_t take(const std::string& path, uint64_t off, void* buf, size_t n);
  // A request for `n` bytes from `off` that a piece answers whole (it starts
  // at `off` and holds at most `n` bytes): the piece's own buffer, to be freed
  // with free(), and its length in `len`; null otherwise (then take()).
  uint8_t* take_whole(const std::string& path, uint64_t off, size_t n, size_t* len);
  // The file was closed: what is held of it goes.
  void forget(const std::string& path);
  // Everything held goes, and work in flight is discarded (the tree changed).
  void drop();
  // drop(), and the workers end: before a save or the end of the mount.
  void stop();

  size_t held_bytes();  // for tests
  size_t pieces();

 private:
  struct File {
    uint64_t size = 0;
    ReadFn read;
  };
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  struct Piece {
    std::string path;
    uint64_t off = 0;
    size_t len = 0;
    std::shared_ptr<File> file;
    enum State { kQueued, kBusy, kReady, kFailed } state = kQueued;
    bool dropped = false;
    uint64_t seq = 0;
    std::unique_ptr<uint8_t, Free> data;  // malloc'd: a reply can take it as it is
  };
  using Key = std::pair<std::string, uint64_t>;

  std::shared_ptr<File> file_of(const std::string& path, uint64_t size, const Opener& open);
  // Adds the piece unless held; false when the budget leaves no room.
  bool add(const std::shared_ptr<File>& f, const std::string& path, uint64_t off, bool front, bool evict);
  void erase(std::map<Key, std::shared_ptr<Piece>>::iterator it);
  bool evict_one(const std::string& keep);
  void decode(Piece& p);
  // The piece held at (path, start) once decoded, decoding it here if no
  // worker has begun; null if there is none or it failed (then it is gone).
  std::shared_ptr<Piece> ready(std::unique_lock<std::mutex>& lock, const std::string& path, uint64_t start);
  void work();
  void start();

  AheadLimits lim_;
  std::mutex mu_;
  std::condition_variable ready_, jobs_cv_;
  std::map<Key, std::shared_ptr<Piece>> held_;
  std::map<std::string, std::shared_ptr<File>> files_;
  std::deque<std::shared_ptr<Piece>> jobs_;
  size_t bytes_ = 0;
  uint64_t seq_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace rs_mount
