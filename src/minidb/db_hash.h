// Integer-keyed chained hash map of the record store (key to slot offset, or
// slot offset to slot size). Its iteration order is part of the store's
// behaviour: it decides which free slot a new record reuses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rs {

// Iteration state: `pos` is the bucket index, -1 at the end.
struct iterator_t {
  int pos = -1;
  int key = 0;
  uint32_t value = 0;
  bool end = true;
};

class map_t {
 public:
  map_t();  // 256 buckets, empty

  // Grows (doubling, with the message "expanded table, size %d\n") once the
  // map averages more than four entries per bucket, then inserts or replaces.
  void set(int key, uint32_t value);
  uint32_t get(int key, bool* found) const;
  bool erase(int key);
  // First entry of the lowest non-empty bucket; false (end) when empty.
  bool first(iterator_t& it) const;
  // The entry after `it`; false (end) when there is none.
  bool next(iterator_t& it) const;
  int count() const { return n_items_; }
  void clear();
  int bucket_count() const { return int(buckets_.size()); }

 private:
  struct hash_entry_t {
    int key;
    uint32_t value;
  };
  // Each chain is stored tail first: back() is the chain's head, where new
  // entries go.
  using chain = std::vector<hash_entry_t>;

  size_t bucket_of(int key) const { return size_t(uint32_t(key) & (uint32_t(buckets_.size()) - 1)); }
  bool head_from(size_t bucket, iterator_t& it) const;

  int n_items_ = 0;
  int size_exponent_ = 8;
  std::vector<chain> buckets_;
};

}  // namespace rs
