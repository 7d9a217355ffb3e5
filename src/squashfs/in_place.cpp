// Saving an edit over the loaded image's own bytes: the 4.0 builder in its
// in-place mode lays the new image over the old one, data area kept, and
// only the superblock and the tail are written here.
#include <cstdlib>
#include <cstring>
#include <new>

#include "squashfs/internal.h"
#include "squashfs/squashfs.h"

using namespace rs::sqfs;

long long squashfs_rebuild_in_place(squashfs_entry* root, uint8_t* part, size_t room, std::string* why) {
  if (why) why->clear();
  if (!root || !root->image || !part) return -1;
  // Users (and tests) may ask for the compacting whole rebuild.
  if (const char* c = std::getenv("ROMSMITH_SQUASHFS_COMPACT"); c && *c && std::strcmp(c, "0") != 0) return -1;
  squashfs_data* img = root->image;
  if (img->version != 4 || img->loaded_version != 4 || img->p4.big_endian || img->image_bytes != part) return -1;
  InPlace4 r;
  try {
    if (!build_image4_in_place(root, r)) return -1;
  } catch (const BuildError&) {
    return -1;  // the whole rebuild meets it again and says why
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (r.length > room || r.tail_at + r.tail_len > room) return -1;
  // Bytes nothing refers to any more stay in the data area; past an eighth of
  // the image the whole rebuild packs them out, so that repeated edits and
  // removals do not let the image grow without bound.
  if (r.dead * 8 > r.length) return -1;
  // Every read of the old bytes is done: now the writes.
  std::memcpy(part, r.super.data(), r.super.size());
  if (r.tail_len) std::memcpy(part + r.tail_at, r.tail.get(), r.tail_len);
  return (long long)r.length;
}
