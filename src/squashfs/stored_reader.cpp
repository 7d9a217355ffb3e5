// Reading stored files from any thread: a reader holds copies of where one
// file's blocks and tail lie and decodes them with a decompressor of its own,
// so that workers can decode ahead while the tree is read and edited elsewhere.
// Only the image bytes are shared; they stay as loaded until a save.

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "squashfs/format4.h"
#include "squashfs/internal.h"

namespace rs::sqfs::v4 {

struct StoredShared {
  const uint8_t* image = nullptr;
  uint64_t image_size = 0;
  uint32_t block_size = 0;
  sqfs_compressor_config_t cfg{};
  std::vector<sqfs_fragment_t> frags;

  // Small files share fragment blocks: neighbours read one after another, on
  // one thread or several, would otherwise decode the same block again each.
  // A block being decoded is waited for rather than decoded a second time.
  static constexpr size_t kKeepFragments = 8;
  std::mutex mu;
  std::condition_variable done;
  std::deque<std::pair<uint32_t, std::shared_ptr<const std::vector<uint8_t>>>> decoded;
  std::vector<uint32_t> decoding;

  std::shared_ptr<const std::vector<uint8_t>> fragment(uint32_t index, sqfs_compressor_t* cmp) {
    {
      std::unique_lock<std::mutex> lock(mu);
      for (;;) {
        for (auto& d : decoded)
          if (d.first == index) return d.second;
        if (std::find(decoding.begin(), decoding.end(), index) == decoding.end()) break;
        done.wait(lock);
      }
      decoding.push_back(index);
    }
    std::shared_ptr<std::vector<uint8_t>> out;
    try {
      out = decode(index, cmp);
    } catch (const std::bad_alloc&) {
      out = nullptr;
    }
    std::lock_guard<std::mutex> lock(mu);
    decoding.erase(std::find(decoding.begin(), decoding.end(), index));
    if (out) {
      if (decoded.size() >= kKeepFragments) decoded.pop_front();
      decoded.emplace_back(index, out);
    }
    done.notify_all();
    return out;
  }

 private:
  std::shared_ptr<std::vector<uint8_t>> decode(uint32_t index, sqfs_compressor_t* cmp) const {
    if (index >= frags.size()) return nullptr;
    const sqfs_fragment_t& f = frags[index];
    const uint32_t stored = f.size & kSizeMask;
    if (f.start_offset > image_size || stored > image_size - f.start_offset || stored > block_size) return nullptr;
    auto out = std::make_shared<std::vector<uint8_t>>();
    if (f.size & kRawBit) {
      out->assign(image + f.start_offset, image + f.start_offset + stored);
    } else {
      out->resize(block_size);
      sqfs_s32 r = cmp->do_block(cmp, image + f.start_offset, stored, out->data(), block_size);
      if (r <= 0) return nullptr;
      out->resize(size_t(r));
    }
    return out;
  }
};

namespace {

// One file's stored layout, checked against the image once, when made.
struct StoredFile {
  std::shared_ptr<StoredShared> shared;
  uint64_t file_size = 0;
  std::vector<uint32_t> words;
  std::vector<uint64_t> pos;  // image offset of each block
  uint32_t fragment = 0xFFFFFFFFu;
  uint32_t frag_offset = 0;

  long long read(void* buf, size_t n, uint64_t off) const {
    if (off >= file_size) return 0;
    n = size_t(std::min<uint64_t>(n, file_size - off));
    if (n == 0) return 0;
    const StoredShared& sh = *shared;
    const uint64_t bs = sh.block_size, end = off + n;
    sqfs_compressor_t* raw = nullptr;
    if (make_compressor(&sh.cfg, &raw) != 0) return -EIO;
    Obj<sqfs_compressor_t> cmp(raw);
    uint8_t* out = static_cast<uint8_t*>(buf);
    std::vector<uint8_t> tmp;
    for (uint64_t k = off / bs; k * bs < end; ++k) {
      const uint64_t from = k * bs, to = std::min(from + bs, file_size);
      const uint64_t a = std::max(from, off), b = std::min(to, end);
      const size_t want = size_t(to - from);
      if (k >= words.size()) {
        // The tail, inside a fragment block.
        if (fragment == 0xFFFFFFFFu) return -EIO;
        auto block = shared->fragment(fragment, cmp.get());
        if (!block || uint64_t(frag_offset) + want > block->size()) return -EIO;
        std::memcpy(out + (a - off), block->data() + frag_offset + (a - from), size_t(b - a));
        continue;
      }
      const uint32_t word = words[k], stored = word & kSizeMask;
      const bool whole = a == from && b == to;  // decoded straight into the caller's buffer
      uint8_t* target = whole ? out + (from - off) : (tmp.resize(want), tmp.data());
      if (word == 0) {
        std::memset(target, 0, want);
      } else if (word & kRawBit) {
        if (stored != want) return -EIO;
        std::memcpy(target, sh.image + pos[k], want);
      } else if (cmp->do_block(cmp.get(), sh.image + pos[k], stored, target, sqfs_u32(want)) != sqfs_s32(want)) {
        return -EIO;
      }
      if (!whole) std::memcpy(out + (a - off), tmp.data() + (a - from), size_t(b - a));
    }
    return (long long)n;
  }
};

}  // namespace

}  // namespace rs::sqfs::v4

std::function<long long(void*, size_t, uint64_t)> squashfs_stored_reader(squashfs_entry* root, const char* path) {
  using namespace rs::sqfs::v4;
  if (!root || !root->image || !path) return {};
  squashfs_data* img = root->image;
  // 3.x and 2.x images, and trees that were not loaded, have no such reader.
  if (img->read_range != read_range4 || !img->reader_state) return {};
  const squashfs_entry* e = squashfs_find(root, path);
  if (!e || !S_ISREG(e->stbuf.st_mode) || e->content_loaded || !e->stored.valid) return {};
  State4* st = state_of(img);
  const squashfs_stored& s = e->stored;
  try {
    if (!st->shared) {
      auto sh = std::make_shared<StoredShared>();
      sh->image = st->file.data();
      sh->image_size = st->file.size();
      sh->block_size = st->super.block_size;
      sh->cfg = st->cfg;
      sh->frags = st->frags;
      st->shared = std::move(sh);
    }
    if (st->shared->block_size == 0) return {};
    auto f = std::make_shared<StoredFile>();
    f->shared = st->shared;
    f->file_size = s.file_size;
    f->words = s.block_words;
    f->fragment = s.fragment;
    f->frag_offset = s.frag_offset;
    f->pos.resize(f->words.size());
    uint64_t at = s.start;
    for (size_t k = 0; k < f->words.size(); ++k) {
      f->pos[k] = at;
      at += f->words[k] & kSizeMask;
      if (at > f->shared->image_size) return {};
    }
    // The blocks and tail must account for the whole size, as the loader checked.
    const uint64_t bs = f->shared->block_size;
    if (f->words.size() * bs < f->file_size && f->fragment == 0xFFFFFFFFu) return {};
    return [f](void* buf, size_t n, uint64_t off) { return f->read(buf, n, off); };
  } catch (const std::bad_alloc&) {
    return {};
  }
}
