// Saving an edit over the loaded image's own bytes: a small edit appends to
// the tables, else the 4.0 builder in its in-place mode lays the new image
// over the old one, data area kept; only the superblock and the tail are
// written here. The loaded tree then
// describes the new image, so that the caller keeps its handle.
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "squashfs/internal.h"
#include "squashfs/squashfs.h"

using namespace rs::sqfs;

namespace {

// The image at `buf` loaded, its tree moved under `root` (callers hold that
// pointer) and the old tree freed.
bool reload_under(squashfs_entry* root, uint8_t* buf, size_t size) {
  squashfs_entry* fresh = squashfs_load_memory(buf, size);
  if (!fresh) return false;
  fresh->image->room = root->image->room;
  std::swap(*root, *fresh);
  for (squashfs_entry* c = root->child; c; c = c->next) c->parent = root;
  for (squashfs_entry* c = fresh->child; c; c = c->next) c->parent = fresh;
  root->image->root_entry = root;
  root->image->entry_table["/"] = root;
  fresh->image->root_entry = fresh;
  fresh->image->entry_table["/"] = fresh;
  squashfs_free(fresh);
  return true;
}

}  // namespace

long long squashfs_rebuild_in_place(squashfs_entry* root, uint8_t* part, size_t room, std::string* why) {
  if (why) why->clear();
  if (!root || !root->image || !part) return -1;
  // Users (and tests) may ask for the compacting whole rebuild.
  if (const char* c = std::getenv("ROMSMITH_SQUASHFS_COMPACT"); c && *c && std::strcmp(c, "0") != 0) return -1;
  squashfs_data* img = root->image;
  if (img->version != 4 || img->loaded_version != 4 || img->p4.big_endian || img->image_bytes != part) return -1;
  InPlace4 r;
  // A small edit appends to the tables; past an eighth of dead data bytes, or
  // where appending cannot be, the tables are built anew.
  // ROMSMITH_SQUASHFS_APPEND=0 builds the tables anew at every save.
  const char* a = std::getenv("ROMSMITH_SQUASHFS_APPEND");
  const bool may_append = !(a && std::strcmp(a, "0") == 0);
  auto append = [&] { return append_image4_in_place(root, r) && r.dead * 8 <= r.length && r.length <= room; };
  bool appended = may_append && append();
  // Where what the unread directories hold cannot be counted from the image's
  // tables, the tree is read in full and counted; so are the tables built anew.
  if (!appended && img->unread_dirs) {
    if (!squashfs_load_all(root)) return -1;
    r = InPlace4{};
    appended = may_append && append();
  }
  if (!appended) {
    r = InPlace4{};
    try {
      if (!build_image4_in_place(root, r)) return -1;
    } catch (const BuildError&) {
      return -1;  // the whole rebuild meets it again and says why
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  if (r.length > room || r.tail_at + r.tail_len > room) return -1;
  // Bytes nothing refers to any more stay in the data area; past an eighth of
  // the image the whole rebuild packs them out, so that repeated edits and
  // removals do not let the image grow without bound.
  if (r.dead * 8 > r.length) return -1;
  // Every read of the old bytes is done: now the writes.
  std::memcpy(part, r.super.data(), r.super.size());
  if (r.tail_len) std::memcpy(part + r.tail_at, r.tail.get(), r.tail_len);
  r.tail.reset();
  // The handle stays: the tree takes the new image's view, or failing that a
  // tree read from the new bytes takes its place under the same root.
  if (adopt_in_place4(root, r, part, size_t(r.length))) {
    mark_loaded4(root);
  } else if (!reload_under(root, part, size_t(r.length))) {
    if (why) *why = "the saved image does not read back";
    return -2;
  }
  return (long long)r.length;
}
