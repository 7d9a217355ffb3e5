// String-keyed hash table with a fixed bucket count and chained buckets.
//
// The cramfs tree's path table (400 buckets, values are `entry*`; the squashfs
// adapter keeps its paths in a standard unordered map). Values are opaque
// pointers and are never owned by the table unless a `freefunc` is given.
//
// Keys are NUL-terminated byte strings compared with strcmp; the table keeps
// its own copy of every key. The buckets never grow, so that iteration keeps
// its order; an index beside them finds a key in constant time at any size.
#pragma once
#include <cstddef>
#include <cstdint>

typedef void (*hash_free_func)(void* value);

struct hashentry_t {
  char* key;    // owned copy, held in the same allocation as the entry
  void* value;  // not owned
  size_t hash;  // the index's hash of the key
  hashentry_t* next;
  hashentry_t** link;  // the pointer that points to this entry (chain head or previous `next`)
};

struct hash_index;  // key -> entry, beside the buckets

struct hash_t {
  uint32_t ref;  // 1 after creation
  hash_free_func freefunc;
  int length;  // bucket count
  int num_keys;
  hashentry_t** entries;  // `length` chain heads
  hash_index* index;
};

struct hash_iterator_t {
  uint32_t ref;
  hash_t* table;       // counted reference
  hashentry_t* entry;  // current entry, or null
  int index;           // next bucket to scan
};

// Bucket of `key` in a table of `length` buckets: bytes taken as signed 8-bit
// values, shifted by 0, 8, 16, 24, 0, ... and XORed into a 32-bit accumulator.
// The accumulator is reduced as an unsigned 32-bit number, so keys with bytes
// of 0x80 and above (negative accumulators) still land inside the table; keys of
// plain ASCII bytes give the same bucket either way.
int _hash_key(const char* key, int length);

// A table of `size` empty buckets (at least 1), or null when memory runs out.
hash_t* hash_new(int size, hash_free_func freefunc);
// 0, or -1 when memory runs out. An existing key keeps its entry and takes the
// new value (freefunc runs on the old one); a new key goes to its chain's head.
int hash_add(hash_t* table, const char* key, void* data);
// Room in the index for `keys` keys; a hint (nothing happens when memory runs out).
void hash_reserve(hash_t* table, uint64_t keys);
// The value, or null when absent.
void* hash_get(const hash_t* table, const char* key);
// True when `key` is present (its value may be null).
bool hash_contains(const hash_t* table, const char* key);
// 0 after removing the entry (freefunc runs on its value); -1 when absent.
int hash_drop(hash_t* table, const char* key);
int hash_num_keys(const hash_t* table);
// Adds a reference; hash_release drops one and frees the table at the last.
hash_t* hash_clone(hash_t* table);
void hash_release(hash_t* table);

// Iteration bucket by bucket, each chain from its head. The iterator holds a
// reference to the table. Do not add or drop keys while iterating.
hash_iterator_t* hash_iter_new(hash_t* table);
// The next key, or null at the end.
const char* hash_iter_next(hash_iterator_t* iter);
// The value of the current entry (null when there is none).
void* hash_iter_get_data(const hash_iterator_t* iter);
// 0 after replacing the current entry's value; -1 without a current entry.
int hash_iter_set_data(hash_iterator_t* iter, void* data);
void hash_iter_release(hash_iterator_t* iter);
