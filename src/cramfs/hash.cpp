#include "cramfs/hash.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

// Keys view the entries' own copies, which live as long as their entries.
struct hash_index {
  std::unordered_map<std::string_view, hashentry_t*> map;
};

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
  auto it = t->index->map.find(std::string_view(key));
  return it == t->index->map.end() ? nullptr : it->second;
}

void hash_reserve(hash_t* t, uint64_t keys) {
  if (!t) return;
  try {
    t->index->map.reserve(size_t(keys));
  } catch (const std::exception&) {
  }
}

int hash_add(hash_t* t, const char* key, void* data) {
  if (!t || !key) return -1;
  // One lookup, under the entry's own copy of the key (freed again when the
  // key was there: the rare case).
  char* copy = strdup(key);
  if (!copy) return -1;
  std::pair<std::unordered_map<std::string_view, hashentry_t*>::iterator, bool> slot;
  try {
    slot = t->index->map.try_emplace(std::string_view(copy), nullptr);
  } catch (const std::bad_alloc&) {
    free(copy);
    return -1;
  }
  if (!slot.second) {
    free(copy);
    hashentry_t* e = slot.first->second;
    if (t->freefunc && e->value && e->value != data) t->freefunc(e->value);
    e->value = data;
    return 0;
  }
  hashentry_t* e = static_cast<hashentry_t*>(malloc(sizeof(hashentry_t)));
  if (!e) {
    t->index->map.erase(slot.first);
    free(copy);
    return -1;
  }
  e->key = copy;
  slot.first->second = e;
  e->value = data;
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
  hashentry_t* e = find_entry(t, key);
  if (!e) return -1;
  t->index->map.erase(std::string_view(e->key));
  *e->link = e->next;
  if (e->next) e->next->link = e->link;
  if (t->freefunc && e->value) t->freefunc(e->value);
  free(e->key);
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
      free(e->key);
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
