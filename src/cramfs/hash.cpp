#include "cramfs/hash.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <vector>

// Open addressing over the entries themselves: one array of pointers, each
// entry carrying its key's hash, so a large tree costs no allocation per key
// beyond its entry and a lookup touches one slot run and one key.
struct hash_index {
  std::vector<hashentry_t*> slots;  // null: free; &tomb: dropped
  size_t filled = 0;                // slots not free (live and dropped)
  static hashentry_t tomb;
};
hashentry_t hash_index::tomb{};

namespace {

size_t key_hash(const char* key, size_t len) { return std::hash<std::string_view>{}(std::string_view(key, len)); }

// Slot of `key`, or the free slot a new key takes (a dropped one first).
size_t find_slot(const hash_index* ix, const char* key, size_t h, bool* found) {
  const size_t mask = ix->slots.size() - 1;
  size_t free_at = SIZE_MAX;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    hashentry_t* s = ix->slots[i];
    if (!s) {
      *found = false;
      return free_at != SIZE_MAX ? free_at : i;
    }
    if (s == &hash_index::tomb) {
      if (free_at == SIZE_MAX) free_at = i;
    } else if (s->hash == h && strcmp(s->key, key) == 0) {
      *found = true;
      return i;
    }
  }
}

// Room for `keys` live keys with at most half the slots taken (dropped ones
// count); false when memory runs out. A rehash leaves a third taken at most,
// so drops and adds at the threshold do not rehash each time.
bool index_fit(hash_index* ix, size_t keys) {
  if (2 * std::max(ix->filled + 1, keys) <= ix->slots.size()) return true;
  if (keys > (SIZE_MAX >> 3) / sizeof(void*)) return false;
  size_t want = 16;
  while (want < 3 * keys) want *= 2;
  std::vector<hashentry_t*> next;
  try {
    next.assign(want, nullptr);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const size_t mask = want - 1;
  for (hashentry_t* s : ix->slots) {
    if (!s || s == &hash_index::tomb) continue;
    size_t i = s->hash & mask;
    while (next[i]) i = (i + 1) & mask;
    next[i] = s;
  }
  ix->slots.swap(next);
  ix->filled = 0;
  for (hashentry_t* s : ix->slots) ix->filled += s != nullptr;
  return true;
}

}  // namespace

int _hash_key(const char* key, int length) {
  if (length <= 1) return 0;
  uint32_t acc = 0;
  unsigned shift = 0;
  for (const char* p = key; *p; ++p) {
    int32_t byte = static_cast<int8_t>(*p);
    acc ^= static_cast<uint32_t>(byte) << shift;
    shift = shift == 24 ? 0 : shift + 8;
  }
  return static_cast<int>(acc % static_cast<uint32_t>(length));
}

hash_t* hash_new(int size, hash_free_func freefunc) {
  if (size < 1) size = 1;
  hash_t* t = static_cast<hash_t*>(calloc(1, sizeof(hash_t)));
  if (!t) return nullptr;
  t->entries = static_cast<hashentry_t**>(calloc(static_cast<size_t>(size), sizeof(hashentry_t*)));
  t->index = new (std::nothrow) hash_index;
  if (!t->entries || !t->index) {
    free(t->entries);
    delete t->index;
    free(t);
    return nullptr;
  }
  t->ref = 1;
  t->freefunc = freefunc;
  t->length = size;
  return t;
}

static hashentry_t* find_entry(const hash_t* t, const char* key) {
  const hash_index* ix = t->index;
  if (ix->slots.empty()) return nullptr;
  bool found = false;
  size_t at = find_slot(ix, key, key_hash(key, strlen(key)), &found);
  return found ? ix->slots[at] : nullptr;
}

void hash_reserve(hash_t* t, uint64_t keys) {
  if (t) index_fit(t->index, size_t(std::min<uint64_t>(keys, SIZE_MAX / 4)));
}

int hash_add(hash_t* t, const char* key, void* data) {
  if (!t || !key) return -1;
  hash_index* ix = t->index;
  if (!index_fit(ix, size_t(t->num_keys) + 1)) return -1;
  const size_t len = strlen(key), h = key_hash(key, len);
  bool found = false;
  size_t at = find_slot(ix, key, h, &found);
  if (found) {
    hashentry_t* e = ix->slots[at];
    if (t->freefunc && e->value && e->value != data) t->freefunc(e->value);
    e->value = data;
    return 0;
  }
  hashentry_t* e = static_cast<hashentry_t*>(malloc(sizeof(hashentry_t) + len + 1));
  if (!e) return -1;
  e->key = reinterpret_cast<char*>(e + 1);
  memcpy(e->key, key, len + 1);
  e->value = data;
  e->hash = h;
  if (!ix->slots[at]) ix->filled++;
  ix->slots[at] = e;
  hashentry_t** head = &t->entries[_hash_key(key, t->length)];
  e->next = *head;
  e->link = head;
  if (*head) (*head)->link = &e->next;
  *head = e;
  t->num_keys++;
  return 0;
}

void* hash_get(const hash_t* t, const char* key) {
  if (!t || !key) return nullptr;
  hashentry_t* e = find_entry(t, key);
  return e ? e->value : nullptr;
}

bool hash_contains(const hash_t* t, const char* key) { return t && key && find_entry(t, key); }

int hash_drop(hash_t* t, const char* key) {
  if (!t || !key) return -1;
  hash_index* ix = t->index;
  if (ix->slots.empty()) return -1;
  bool found = false;
  size_t at = find_slot(ix, key, key_hash(key, strlen(key)), &found);
  if (!found) return -1;
  hashentry_t* e = ix->slots[at];
  ix->slots[at] = &hash_index::tomb;
  *e->link = e->next;
  if (e->next) e->next->link = e->link;
  if (t->freefunc && e->value) t->freefunc(e->value);
  free(e);
  t->num_keys--;
  return 0;
}

int hash_num_keys(const hash_t* t) { return t ? t->num_keys : 0; }

hash_t* hash_clone(hash_t* t) {
  if (t) t->ref++;
  return t;
}

void hash_release(hash_t* t) {
  if (!t) return;
  if (t->ref >= 2) {
    t->ref--;
    return;
  }
  for (int i = 0; i < t->length; ++i) {
    hashentry_t* e = t->entries[i];
    while (e) {
      hashentry_t* next = e->next;
      if (t->freefunc && e->value) t->freefunc(e->value);
      free(e);
      e = next;
    }
  }
  delete t->index;
  free(t->entries);
  free(t);
}
hash_iterator_t* hash_iter_new(hash_t* t) {
  if (!t) return nullptr;
  hash_iterator_t* it = static_cast<hash_iterator_t*>(calloc(1, sizeof(hash_iterator_t)));
  if (!it) return nullptr;
  it->ref = 1;
  it->table = hash_clone(t);
  return it;
}

const char* hash_iter_next(hash_iterator_t* it) {
  if (!it) return nullptr;
  if (it->entry) it->entry = it->entry->next;
  while (!it->entry && it->index < it->table->length) it->entry = it->table->entries[it->index++];
  return it->entry ? it->entry->key : nullptr;
}

void* hash_iter_get_data(const hash_iterator_t* it) { return it && it->entry ? it->entry->value : nullptr; }

int hash_iter_set_data(hash_iterator_t* it, void* data) {
  if (!it || !it->entry) return -1;
  hash_t* t = it->table;
  if (t->freefunc && it->entry->value && it->entry->value != data) t->freefunc(it->entry->value);
  it->entry->value = data;
  return 0;
}

void hash_iter_release(hash_iterator_t* it) {
  if (!it) return;
  if (--it->ref > 0) return;
  hash_release(it->table);
  free(it);
}
