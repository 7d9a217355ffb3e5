#include "minidb/db_hash.h"

#include <cstdio>
#include "util/report.h"

namespace rs {

map_t::map_t() : buckets_(size_t(1) << size_exponent_) {}

void map_t::clear() {
  size_exponent_ = 8;
  n_items_ = 0;
  buckets_.assign(size_t(1) << size_exponent_, chain{});
}

void map_t::set(int key, uint32_t value) {
  if (size_t(n_items_) / buckets_.size() > 4 && size_exponent_ < 30) {
    ++size_exponent_;
    std::vector<chain> old(size_t(1) << size_exponent_);
    old.swap(buckets_);
    rs::warn("expanded table, size %d\n", int(buckets_.size()));
    for (const chain& c : old)
      for (auto e = c.rbegin(); e != c.rend(); ++e) buckets_[bucket_of(e->key)].push_back(*e);
  }
  chain& c = buckets_[bucket_of(key)];
  for (auto& e : c)
    if (e.key == key) {
      e.value = value;
      return;
    }
  c.push_back({key, value});
  ++n_items_;
}

uint32_t map_t::get(int key, bool* found) const {
  for (const auto& e : buckets_[bucket_of(key)])
    if (e.key == key) {
      if (found) *found = true;
      return e.value;
    }
  if (found) *found = false;
  return 0;
}

bool map_t::erase(int key) {
  chain& c = buckets_[bucket_of(key)];
  for (auto e = c.begin(); e != c.end(); ++e)
    if (e->key == key) {
      c.erase(e);
      --n_items_;
      return true;
    }
  return false;
}

bool map_t::head_from(size_t bucket, iterator_t& it) const {
  for (size_t b = bucket; b < buckets_.size(); ++b)
    if (!buckets_[b].empty()) {
      it.pos = int(b);
      it.key = buckets_[b].back().key;
      it.value = buckets_[b].back().value;
      it.end = false;
      return true;
    }
  it.pos = -1;
  it.end = true;
  return false;
}

bool map_t::first(iterator_t& it) const { return head_from(0, it); }

bool map_t::next(iterator_t& it) const {
  if (it.pos < 0 || size_t(it.pos) >= buckets_.size()) {
    it.pos = -1;
    it.end = true;
    return false;
  }
  const chain& c = buckets_[size_t(it.pos)];
  // Walking head to tail means walking the vector backwards.
  for (size_t i = c.size(); i-- > 0;)
    if (c[i].key == it.key) {
      if (i > 0) {
        it.key = c[i - 1].key;
        it.value = c[i - 1].value;
        return true;
      }
      break;
    }
  return head_from(size_t(it.pos) + 1, it);
}

}  // namespace rs
