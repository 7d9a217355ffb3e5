// Inodes of nodes that are no directory, as both 4.0 writers (the whole
// rebuild and the appending save) store them.
#include <sys/sysmacros.h>

#include <cstdlib>
#include <cstring>

#include "squashfs/format4.h"
#include "squashfs/internal.h"

namespace rs::sqfs::v4 {

InodePtr make_inode4(size_t extra) {
  auto* in = static_cast<sqfs_inode_generic_t*>(calloc(1, sizeof(sqfs_inode_generic_t) + extra));
  if (!in) build_fail("FATAL ERROR:Out of memory\n");
  in->payload_bytes_available = sqfs_u32(extra);
  return InodePtr(in);
}

InodePtr leaf_inode4(const squashfs_entry* e, const FileLoc* f, uint32_t links) {
  auto ok = [](int r) {
    if (r != 0) build_fail("FATAL ERROR:inode failed (%d)\n", r);
  };
  mode_t t = e->stbuf.st_mode & S_IFMT;
  InodePtr in;
  if (t == S_IFREG) {
    const std::vector<uint32_t>& words = *f->words;
    in = make_inode4(words.size() * 4);
    in->base.type = SQFS_INODE_FILE;
    in->payload_bytes_used = sqfs_u32(words.size() * 4);
    if (!words.empty()) std::memcpy(in->extra, words.data(), words.size() * 4);
    in->data.file.fragment_index = 0xFFFFFFFFu;
    ok(sqfs_inode_set_file_size(in.get(), f->size));
    ok(sqfs_inode_set_file_block_start(in.get(), f->start));
    ok(sqfs_inode_set_frag_location(in.get(), f->frag, f->frag_off));
    if (links > 1 || f->sparse) {
      ok(sqfs_inode_make_extended(in.get()));
      in->data.file_ext.nlink = links;
      in->data.file_ext.sparse = f->sparse;
      in->data.file_ext.xattr_idx = 0xFFFFFFFFu;
    }
  } else if (t == S_IFLNK) {
    in = make_inode4(e->buf.size());
    in->base.type = SQFS_INODE_SLINK;
    in->payload_bytes_used = sqfs_u32(e->buf.size());
    if (!e->buf.empty()) std::memcpy(in->extra, e->buf.data(), e->buf.size());
    in->data.slink.nlink = links;
    in->data.slink.target_size = sqfs_u32(e->buf.size());
  } else if (t == S_IFBLK || t == S_IFCHR) {
    in = make_inode4(0);
    in->base.type = t == S_IFBLK ? SQFS_INODE_BDEV : SQFS_INODE_CDEV;
    uint32_t ma = major(e->stbuf.st_rdev), mi = minor(e->stbuf.st_rdev);
    in->data.dev.nlink = links;
    in->data.dev.devno = (mi & 0xff) | ((ma & 0xfff) << 8) | ((mi & ~0xffu) << 12);
  } else {
    in = make_inode4(0);
    in->base.type = t == S_IFIFO ? SQFS_INODE_FIFO : SQFS_INODE_SOCKET;
    in->data.ipc.nlink = links;
  }
  return in;
}

}  // namespace rs::sqfs::v4
