// squashfs partitions edited in memory: the image's inode and directory tables
// are read into a tree of squashfs_entry nodes, edited by absolute path, and
// turned back into an image of the same format version.
//
// Lazy content: a regular file loaded from the image keeps `content_loaded`
// false and its `buf` empty; its data stays in the image (`image_bytes`, which
// the caller keeps alive as long as the tree) and is decoded on demand through
// `squashfs_data::read_content`. `stored` says where that data lies, so that a
// rebuild with the same block size and compressor can copy it as stored. A put
// replaces `buf`, sets `content_loaded` and clears `stored.valid`.
#pragma once
#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct squashfs_data;

// Attributes of one file as read from the image or made for a new node.
struct squashfs_inode {
  int blocks = 0;          // data block count
  uint64_t block_ptr = 0;  // position of the block list in the reader's metadata
  int64_t data = 0;        // file size, or link target length
  int fragment = -1;       // fragment index, -1 for none
  int frag_bytes = 0;
  uint32_t gid = 0;
  int inode_number = 0;
  int mode = 0;         // type and permission bits
  int offset = -1;      // offset inside the fragment, -1 for none
  int64_t start = -1;   // first data block position, -1 for none
  std::string symlink;  // link target while reading
  int64_t time = 0;     // modification time, seconds
  int type = 0;         // 1 directory, 2 regular file, 3 symbolic link, other kinds above
  uint32_t uid = 0;
  uint8_t sparse = 0;
  uint32_t xattr = 0xFFFFFFFFu;
  uint32_t rdev = 0;  // device number of block and character devices
};

// Where the loaded data of an unchanged regular file lies in `image_bytes`.
// Both versions use the same shape; the words are as the version stores them.
struct squashfs_stored {
  bool valid = false;                 // the entry's content is exactly this stored data
  uint64_t start = 0;                 // byte offset of the first data block
  std::vector<uint32_t> block_words;  // one per full or partial block: stored size and
                                      // the version's "uncompressed" bit; 0 = sparse block
  uint32_t fragment = 0xFFFFFFFFu;    // fragment index, all ones for none
  uint32_t frag_offset = 0;           // offset of the tail inside the decoded fragment block
  uint64_t file_size = 0;
  uint64_t sparse = 0;  // bytes of holes as the inode records them (4.0), else 0
};

// One extended attribute, full key with its prefix ("security.capability").
struct squashfs_xattr {
  std::string key;
  std::vector<uint8_t> value;
};

struct squashfs_entry {
  std::string name;      // last path component; "/" for the root
  struct stat stbuf {};  // ino, mode, nlink 1, uid, gid, size, mtime, rdev
  squashfs_inode cur_inode;
  std::vector<uint8_t> buf;  // file content or link target
  std::string path;          // "" for the root, else parent's path + "/" + name
  squashfs_entry* same = nullptr;
  squashfs_entry* parent = nullptr;
  squashfs_entry* child = nullptr;
  squashfs_entry* last_child = nullptr;
  squashfs_entry* next = nullptr;
  squashfs_entry* prev = nullptr;
  squashfs_data* image = nullptr;
  // False while a loaded regular file's content is only in the image: read it
  // with squashfs_content(); `buf` is then empty.
  bool content_loaded = true;
  squashfs_stored stored;
  std::vector<squashfs_xattr> xattrs;  // kept through edits and rebuilds (4.0)
  // What the node was as the loaded image stores it (4.0): a digest of what
  // its inode holds, 0 for a node the image does not hold, and for a
  // directory one of its entries. A save compares them to find what changed.
  uint64_t loaded_sig = 0;
  uint64_t loaded_kids = 0;
  // A file of a tree built from a host directory: its content is the host
  // file at this path, read when needed (content_loaded false, no stored
  // blocks), so that the builder reads it while it compresses the files before.
  std::string host;
  // A directory of a large loaded image whose entries are still only in the
  // image (the reader's record of its inode): they are read when something
  // first asks for them (squashfs_expand). Null for every other node.
  std::shared_ptr<const void> unread;
  // How many names the image records for this node's inode (1 for a node the
  // image does not hold).
  uint32_t image_links = 1;
};

// Build parameters of a version 4 image, kept from the loaded image.
struct squashfs_params4 {
  uint32_t block_size = 131072;
  uint16_t flags = 0;
  uint32_t dict_size = 131072;
  uint16_t xz_filters = 0;  // bit 0 x86, 1 powerpc, 2 ia64, 3 arm, 4 armthumb, 5 sparc
  uint16_t compressor = 4;  // superblock id: 1 gzip, 2 lzma, 3 lzo, 4 xz, 5 lz4, 6 zstd
  // Other compressors' settings as their stored options give them.
  uint16_t comp_flags = 0;  // gzip strategies, lz4 high compression
  uint32_t level = 0;
  uint16_t window = 0;     // gzip window bits
  uint16_t algorithm = 0;  // lzo variant
  // The kind of image a rebuild gives back: byte order, and for big-endian
  // images the order of the metadata length words; the id table stored
  // uncompressed and mkfs_time set to bytes_used as some vendor builds do.
  bool big_endian = false;
  bool le_length_words = false;
  bool ids_stored = false;
  bool time_is_size = false;
  // lzma (id 2) block framing: 0 the 13-byte lzma-alone form, else a vendor
  // framing (squashfs/lzma4v.h) with its properties byte and dictionary.
  uint8_t lzma_framing = 0;
  uint8_t lzma_props = 0x5D;
  uint32_t lzma_dict = 0;
};

// Build parameters of a version 3 or 2 image, kept from the loaded image.
// Minor 76 means headerless raw LZMA blocks (lc3 lp0 pb2); otherwise, under
// the plain magic, blocks are zlib or one of the LZMA framings below.
struct squashfs_params3 {
  uint32_t block_size = 65536;
  uint8_t flags = 0;
  uint16_t minor = 1;
  // LZMA with the 5-byte header (props, dictionary) and no end marker.
  bool lzma5 = false;
  // The other plain-magic LZMA framings: a 4-byte header (pb, lc, lp, unused)
  // or none at all, both with the end marker; `lzma_props` gives lc, lp, pb.
  bool lzma4 = false;
  bool lzma_raw = false;
  uint8_t lzma_props = 0x5D;
  uint32_t lzma_dict = 0x80000;
};
// 2.x keeps the same parameters.
using squashfs_params2 = squashfs_params3;

struct squashfs_data {
  int last_node = 1;  // next free inode number
  int version = 0;    // 2, 3 or 4
  std::array<uint8_t, 96> super4{};
  std::array<uint8_t, 119> super3{};
  std::array<uint8_t, 63> super2{};
  squashfs_params4 p4;
  squashfs_params3 p3;
  squashfs_params2 p2;
  std::unordered_map<std::string, squashfs_entry*> entry_table;  // full path -> node, root "/"
  // Non-directories by inode number (hard links share one), made on first
  // need and dropped whenever a node is made or freed.
  std::unordered_map<uint64_t, std::vector<squashfs_entry*>> by_ino;
  bool by_ino_valid = false;
  // The loaded image holds hard links (4.0 digests made).
  bool loaded_links = false;
  squashfs_entry* root_entry = nullptr;
  std::vector<uint8_t> buffer;  // stored compressor options of a version 4 image

  // Format version the tree was read from (0 when not loaded): stored data
  // is only reused by a rebuild in that same version.
  int loaded_version = 0;
  // The loaded image, kept by the caller for the life of the tree; null for
  // a tree that was not loaded.
  const uint8_t* image_bytes = nullptr;
  size_t image_size = 0;
  // The room the image may grow into (its partition's size; 0: unknown): a
  // rebuild that reserves it up front can become the partition's buffer as it is.
  size_t room = 0;
  // Decodes the whole content of an entry whose content is not loaded into
  // `out`; 0, or -errno (-EIO after printing the reader's one-line message).
  int (*read_content)(squashfs_data* image, const squashfs_entry* e, std::vector<uint8_t>& out) = nullptr;
  // Optional: `n` bytes from `off` of such an entry (a count, or -errno), so
  // that reading part of a large or sparse file does not decode all of it.
  long long (*read_range)(squashfs_data* image, const squashfs_entry* e, uint64_t off, void* buf, size_t n) = nullptr;
  // Per-version reader state (decompressor, caches), released with the tree.
  void* reader_state = nullptr;
  void (*release_state)(squashfs_data* image) = nullptr;
  // Why a load failed, as one phrase for its refusal line ("" while loading
  // goes well).
  std::string refusal;
  // Directories not read yet (squashfs_entry::unread) and the reader's hook
  // that reads one: false, its message printed, when its listing does not read.
  size_t unread_dirs = 0;
  bool (*expand)(squashfs_data* image, squashfs_entry* dir) = nullptr;
  // While directories are unread a save counts what the image holds from its
  // tables, so the tree keeps what removals took from the image since it was
  // read: the inode numbers left free and the stored data of removed files.
  struct dropped_file {
    uint64_t start = 0, end = 0;       // its data blocks
    uint32_t fragment = 0xFFFFFFFFu;  // the fragment block of its tail
  };
  std::vector<uint32_t> freed_numbers;
  std::vector<dropped_file> dropped_files;
};

// The lazy-read hooks of one format version.
struct squashfs_reader {
  int version;
  int (*read_content)(squashfs_data* image, const squashfs_entry* e, std::vector<uint8_t>& out);
  long long (*read_range)(squashfs_data* image, const squashfs_entry* e, uint64_t off, void* buf, size_t n);
  void (*release_state)(squashfs_data* image);
};
// Hands a loaded tree the image bytes it reads file data from, the version's
// hooks and its reader state.
void squashfs_attach_reader(squashfs_data* img, const uint8_t* buf, size_t size, const squashfs_reader& reader,
                            void* state);

// Loads a 4.0, 3.x or 2.x image; null when the bytes are no loadable image. The
// tree reads file data from `buf` later, so `buf` must outlive it.
squashfs_entry* squashfs_load_memory(uint8_t* buf, size_t size);
// Bytes copied from `offset` of the file at `path`, at most `size`; 0 when missing.
int squashfs_read(squashfs_entry* root, const char* path, void* buf, size_t size, size_t offset);
// Adds (or replaces) a regular file 0100644, owner 0:0; null when the directory
// part is not a directory of the tree or `path` names a directory.
squashfs_entry* squashfs_add_buffer(squashfs_entry* root, const char* path, const void* buf, size_t size);
// Adds the contents of host file `myfile` under `path`.
squashfs_entry* squashfs_add(squashfs_entry* root, const char* path, const char* myfile);
// Adds a directory 040775; null as for squashfs_add_buffer or when `path` exists.
squashfs_entry* squashfs_mkdir(squashfs_entry* root, const char* path);
// Removes `path` and everything below it; 0, also when missing.
int squashfs_rm(squashfs_entry* root, const char* path);
// The node registered under `path`, or null.
squashfs_entry* squashfs_find(squashfs_entry* root, const char* path);
// Prints a node's content and "\n" on standard output; 0 when found, 1 when not.
int squashfs_cat(squashfs_entry* root, const char* path);
// Draws the tree below `root` on standard output; 0.
int squashfs_ls(squashfs_entry* root, int level);
// A complete image of the tree in its own format version (malloc'd, length in
// *fs_len), or null when the rebuild failed: the builder's reason (the line it
// printed on standard error) is then in *why, when given. A failed rebuild
// never ends the process and leaves the tree as usable as before.
uint8_t* squashfs_rebuild(squashfs_entry* root, size_t* fs_len, std::string* why);
// squashfs_rebuild without the reason.
uint8_t* squashfs_mmap(squashfs_entry* root, size_t* fs_len);
// The edited tree written over the loaded image's own bytes `part` (`room`
// usable), touching only what changes; the new length, -1 with nothing
// written when the edit needs a whole rebuild, -2 with *why on failure. After
// a length the tree (same root) describes the bytes written.
long long squashfs_rebuild_in_place(squashfs_entry* root, uint8_t* part, size_t room, std::string* why);
// A reader of `path` as stored in the loaded image, safe on any thread until
// the tree is saved or freed; empty when there is none.
std::function<long long(void* buf, size_t size, uint64_t offset)> squashfs_stored_reader(squashfs_entry* root,
                                                                                         const char* path);
// What an image built from scratch is: format version, byte order,
// compressor name as mksquashfs names it, block size (0: the version's default).
struct squashfs_kind {
  int version = 4;
  bool big_endian = false;
  std::string comp = "gzip";
  uint32_t block_size = 0;
};
// An empty tree (the root directory, 0755, owned by 0:0) that rebuilds into
// an image of `kind`; null with the reason when that kind cannot be built.
squashfs_entry* squashfs_new(const squashfs_kind& kind, std::string* why);
// Reads the entries of `dir` if they are still only in the image; false (the
// reason printed) when they do not read. Every node below `root`, the same.
bool squashfs_expand(squashfs_entry* dir);
bool squashfs_load_all(squashfs_entry* root);
// Releases a whole tree returned by squashfs_load_memory.
void squashfs_free(squashfs_entry* root);

// Operations with reasons: 0, or a negative errno (-ENOENT for a missing path
// or parent, -ENOTDIR for a parent that is no directory, -EEXIST, -EISDIR,
// -EINVAL for the root or a bad name).
// Creates or replaces a regular file. `mode` (permission bits), `uid`, `gid`
// below 0 keep a replaced file's values, or give a new path 0644 0:0; a
// replaced file also keeps its time and extended attributes, and leaves any
// hard-link group it was in.
int squashfs_put(squashfs_entry* root, const char* path, const void* buf, size_t size, int mode, int64_t uid,
                 int64_t gid);
// As squashfs_put, the content being the host file `host` of `size` bytes,
// read when needed: a reader finds -EIO when it then has another size.
int squashfs_put_host(squashfs_entry* root, const char* path, const char* host, uint64_t size, int mode, int64_t uid,
                      int64_t gid);
// The content of a file put with squashfs_put_host; 0, or -errno with the
// reason in *why (a file that changed size since it was put is -EIO).
int squashfs_read_host(const squashfs_entry* e, std::vector<uint8_t>& out, std::string* why);
int squashfs_remove(squashfs_entry* root, const char* path);
int squashfs_mkdir_mode(squashfs_entry* root, const char* path, uint32_t mode);
int squashfs_symlink(squashfs_entry* root, const char* target, const char* path);
// Change every hard link of the inode, as on a mounted file system.
int squashfs_chmod(squashfs_entry* root, const char* path, uint32_t mode);
int squashfs_chown(squashfs_entry* root, const char* path, uint32_t uid, uint32_t gid);
// Moves `from` to `to` as rename(2) does: an existing file at `to` is replaced
// (only that name leaves its hard-link group), an empty directory by a
// directory; -ENOTEMPTY, -EISDIR (file onto directory), -ENOTDIR (directory
// onto file, or a parent that is no directory), -EINVAL (a directory below
// itself, the root); from == to, or two links of one inode, is 0 and changes
// nothing. The entry keeps its attributes, content and stored blocks, and
// everything below a moved directory comes along.
int squashfs_rename(squashfs_entry* root, const char* from, const char* to);
// Modification time of every hard link of the inode; -EOVERFLOW outside
// 0..UINT32_MAX, which is what both versions store.
int squashfs_set_mtime(squashfs_entry* root, const char* path, int64_t mtime);
// A device node, fifo or socket (type bits of `mode`), `rdev` as the C library's
// dev_t; 0, -EEXIST, -EINVAL for another type, or the errors of a new path.
int squashfs_mknod(squashfs_entry* root, const char* path, uint32_t mode, uint32_t rdev);
// Extended attributes as stored, and their replacement (4.0 images only, and
// only the names the format has prefixes for: user., trusted., security.).
int squashfs_get_xattrs(squashfs_entry* root, const char* path, std::vector<squashfs_xattr>* out);
int squashfs_set_xattrs(squashfs_entry* root, const char* path, const std::vector<squashfs_xattr>& in);
// `to` as another name of the inode of `from` (not a directory: -EPERM).
int squashfs_link(squashfs_entry* root, const char* from, const char* to);
// Link count as the rebuilt image stores it.
uint32_t squashfs_nlink(const squashfs_entry* e);

// The whole content of a regular file or link target: `buf` when loaded, else
// decoded from the image; 0 or -errno.
int squashfs_content(const squashfs_entry* e, std::vector<uint8_t>& out);
// Up to `n` bytes from `off`; the count, or -errno.
long long squashfs_pread(const squashfs_entry* e, uint64_t off, void* buf, size_t n);

// Node helpers shared with the format readers.
squashfs_entry* squashfs_entry_new(squashfs_data* image, const char* name, const squashfs_inode* inode,
                                   const struct stat* stbuf);
squashfs_entry* squashfs_dir_fill(squashfs_entry* p_entry, const char* name, const squashfs_inode* inode);
