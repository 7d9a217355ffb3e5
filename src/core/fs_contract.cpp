#include "core/fs_contract.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <unordered_map>

namespace {

// Adding a file system: its table here, in type-code order. Made on first
// use, so that lookups from other files' static initialisers find it.
const std::vector<const fs_ops*>& tables() {
  static const std::vector<const fs_ops*> all = {&uimage_fs_ops,   &romfs_fs_ops, &cramfs_fs_ops, &jffs2_fs_ops,
                                                  &squashfs_fs_ops, &ubifs_fs_ops, &minifs_fs_ops};
  return all;
}

const std::array<const fs_ops*, 256>& by_type() {
  static const std::array<const fs_ops*, 256> index = [] {
    std::array<const fs_ops*, 256> a{};
    for (const fs_ops* t : tables())
      if (!t->by_content) a[uint8_t(t->type)] = t;
    return a;
  }();
  return index;
}

std::mutex g_handles_mutex;
std::unordered_map<const void*, const fs_ops*>& handles() {
  static std::unordered_map<const void*, const fs_ops*> h;
  return h;
}

}  // namespace

const fs_ops* fs_ops_for(int type) { return type >= -128 && type < 256 ? by_type()[uint8_t(type)] : nullptr; }

const std::vector<const fs_ops*>& fs_all_ops() { return tables(); }

const std::vector<const fs_ops*>& fs_content_ops() {
  static const std::vector<const fs_ops*> some = [] {
    std::vector<const fs_ops*> v;
    for (const fs_ops* t : tables())
      if (t->by_content) v.push_back(t);
    return v;
  }();
  return some;
}

std::string fs_names_or() {
  // The file systems a partition's type names; not what is found by content.
  std::vector<const fs_ops*> all;
  for (const fs_ops* t : tables())
    if (!t->by_content) all.push_back(t);
  std::string out;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i) out += i + 1 == all.size() ? " or " : ", ";
    out += all[i]->name;
  }
  return out;
}

const fs_ops* fs_ops_of(const void* handle, int type) {
  if (handle) {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    auto it = handles().find(handle);
    if (it != handles().end()) return it->second;
  }
  return fs_ops_for(type);
}

void fs_handle_made(const void* handle, const fs_ops* ops) {
  if (!handle) return;
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  handles()[handle] = ops;
}

void fs_handle_gone(const void* handle) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  handles().erase(handle);
}
