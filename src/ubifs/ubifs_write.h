// UBIFS written anew: the whole tree of a volume as an in-memory model that
// edits change, and a writer that lays it out as a freshly committed file
// system (superblock, masters, log, LPT, empty orphans, main area with the
// leaves and the index). Data nodes of untouched files are copied as stored.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ubifs/ubifs.h"

namespace rs::ubifs {

// A data node as stored on flash (its bytes stay in the image they came from).
struct raw_block {
  uint32_t block = 0;
  const uint8_t* node = nullptr;
  uint32_t len = 0;
};

struct xattr_rec {
  std::string name;
  std::vector<uint8_t> value;
  uint64_t inum = 0;  // the xattr inode; 0: a new one is numbered at write
};

// One inode of the model. nlink and directory sizes are counted at write.
struct tnode {
  uint32_t mode = 0, uid = 0, gid = 0, flags = 0;
  uint64_t atime = 0, ctime = 0, mtime = 0;
  uint32_t atime_ns = 0, ctime_ns = 0, mtime_ns = 0;
  uint64_t creat_sqnum = 0;
  uint16_t compr_type = 0;
  uint64_t size = 0;                 // a regular file's length
  std::vector<uint8_t> inline_data;  // a symlink's target, a device's number
  std::vector<raw_block> kept;       // data nodes copied as stored, by block
  // New content, compressed at write; null: the file's data is `kept`.
  std::shared_ptr<const std::vector<uint8_t>> fresh;
  std::vector<xattr_rec> xattrs;
  std::map<std::string, uint64_t> kids;  // a directory's entries
};

struct tree {
  std::map<uint64_t, tnode> inodes;  // the root is inode 1
  uint64_t highest_inum = 1;
  uint64_t max_sqnum = 0;
  uint64_t cmt_no = 0;
};

// The tree as `f` reads it (replayed journal included); the data nodes'
// pointers stay valid while `f`'s LEBs do.
// `data` false: no file's data nodes are read (`kept` stays empty), as a
// journal of the edits needs none of them.
bool export_tree(fs& f, tree* out, std::string* why, bool data = true);

// The geometry and identity a rewrite keeps: the superblock node as stored.
struct volume_shape {
  std::vector<uint8_t> sb;  // 4096 bytes
  uint32_t max_lebs = 0;    // the LEBs the volume can hold (UBI: reserved PEBs; bare: the partition)
};

// Writes `t` as a whole UBIFS of `shape`'s geometry: `out` gets leb_cnt LEBs
// (unused bytes 0xff). The superblock's leb_cnt grows as the tree needs, up to
// max_lebs and max_leb_cnt. False with a one-line reason (the tree does not fit).
bool write_volume(const volume_shape& shape, tree& t, std::vector<uint8_t>* out, std::string* why);

// The bytes the LEB-properties tree needs (the kernel's minimum, with its
// per-LEB wastage) for `main_lebs` main LEBs of a file system of at most
// `max_leb_cnt` LEBs with `lpt_lebs` LPT LEBs; `big`: the big model.
uint64_t lpt_size(uint32_t main_lebs, uint32_t max_leb_cnt, uint32_t leb_size, uint32_t min_io, uint32_t lpt_lebs,
                  bool big);

// mkfs.ubifs's options by their names.
struct mkfs_params {
  uint32_t min_io = 0;                   // -m
  uint32_t leb_size = 0;                 // -e
  uint32_t max_leb_cnt = 0;              // -c
  std::string compr = "lzo";             // -x lzo|zlib|zstd|none
  uint32_t fanout = 8;                   // -f
  uint32_t log_lebs = 0;                 // -l, 0: from the journal size
  uint32_t orph_lebs = 1;                // -p
  std::string key_hash = "r5";           // -k r5|test
  bool squash_uids = false;              // -U
  bool space_fixup = false;              // -F
  int64_t root_uid = -1, root_gid = -1;  // the root's owner; -1: the host directory's
  uint32_t root_mode = 0;                // the root's permission bits; 0: the host directory's
};

// A bare UBIFS image of the host directory `dir`, as mkfs.ubifs -o gives one.
bool build_from_dir(const std::string& dir, const mkfs_params& p, std::vector<uint8_t>* out, std::string* why);

// ---- edits of the model: 0 or -errno, the tree unchanged on failure ----
struct put_attr {
  bool has_mode = false, has_owner = false;
  uint32_t mode = 0, uid = 0, gid = 0;
};
int tree_put(tree& t, const std::string& path, const uint8_t* data, size_t size, const put_attr& a, uint16_t compr,
             int64_t now);
int tree_remove(tree& t, const std::string& path);
int tree_mkdir(tree& t, const std::string& path, uint32_t mode, int64_t now);
int tree_chmod(tree& t, const std::string& path, uint32_t mode);
int tree_chown(tree& t, const std::string& path, uint32_t uid, uint32_t gid);
int tree_symlink(tree& t, const std::string& target, const std::string& path, int64_t now);
int tree_rename(tree& t, const std::string& from, const std::string& to);
int tree_set_mtime(tree& t, const std::string& path, int64_t mtime);
int tree_mknod(tree& t, const std::string& path, uint32_t mode, uint32_t rdev, int64_t now);
int tree_link(tree& t, const std::string& from, const std::string& to);
int tree_set_xattrs(tree& t, const std::string& path, const xattrs& in);

}  // namespace rs::ubifs

namespace rs::ubifs {

// ---- an edit saved as a journal the kernel replays at mount ----
// The new contents of the LEBs a journal write touches. Every other LEB of
// the volume stays as it is: the index, the LPT and the master are not
// rewritten (replay fixes the buds' LEB properties, as after a power cut).
struct journal {
  std::map<uint32_t, std::vector<uint8_t>> lebs;  // lnum -> the LEB's whole new bytes (leb_size)
  std::vector<uint32_t> buds;                     // new buds, erased or unmapped before
  uint32_t log_lnum = 0;                          // the log LEB the references were appended to
  bool grew = false;                              // LEB 0: the superblock's leb_cnt grown
  std::vector<uint32_t> renew;                    // LEBs rewritten whole, not appended to (LEB 0, a reused log LEB)
  uint64_t bud_bytes = 0;                         // bytes of nodes written to the buds
};

// Writes, for what changed from `base` to `cur`, the nodes a kernel write
// would (inode, data, entry and deletion entry, xattr and truncation nodes)
// into free main-area LEBs of `src`, and references to them after the log's
// last node. `max_lebs`: the LEBs the volume may grow its leb_cnt to, as the
// kernel does at a read-write mount. New xattr inodes of `cur` are numbered.
// 1 done; 0 when the journal cannot take the edit (no free LEB, log full,
// max_bud_bytes, a geometry it does not handle: *why says which; commit it
// whole instead); -1 when the volume reads wrong.
int write_journal(const source& src, uint32_t max_lebs, const tree& base, tree& cur, journal* out, std::string* why);

}  // namespace rs::ubifs
