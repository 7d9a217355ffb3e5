// Writing a tree that comes from an image into a host directory. Every name
// is untrusted: each path component is checked and opened below the root
// without following symbolic links, so nothing lands outside the root.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rs {

// A name that may stand as one path component: not empty, not "." or "..",
// no '/' or '\\' and no NUL.
bool safe_component(const std::string& name);

// Creates `dir` and the directories above it as needed (mkdir -p). False with errno.
bool make_dirs(const std::string& dir);

class TreeWriter {
 public:
  // Opens the existing directory `root`; ok() tells whether that worked.
  explicit TreeWriter(const std::string& root);
  ~TreeWriter();
  TreeWriter(const TreeWriter&) = delete;
  TreeWriter& operator=(const TreeWriter&) = delete;
  bool ok() const { return root_ >= 0; }

  // Each takes a relative path ("a/b/c") whose parents were made before, and
  // gives false with errno on failure (ELOOP/ENOTDIR when a link or a file
  // stands where a directory must be, EINVAL for an unsafe component).
  // A directory is made (an existing real directory is fine; a link is refused).
  bool directory(const std::string& rel);
  // A regular file replaced atomically, filled by `fill`.
  bool file(const std::string& rel, unsigned mode, const std::function<bool(FILE*)>& fill);
  // A new regular file for a fresh copy (a dump): made in place without a
  // temporary name or fsync; whatever stood there (a file, a link, a node) is
  // removed first, never followed. Owner (root only; uid < 0 keeps ours),
  // then mode, are set on the open file.
  bool fresh_file(const std::string& rel, unsigned mode, long uid, long gid, const std::function<bool(FILE*)>& fill);
  // A hard link at `rel` to the file written before at `existing`.
  bool hard_link(const std::string& existing, const std::string& rel);
  bool symlink(const std::string& rel, const std::string& target);
  // Device node, fifo or socket by its st_mode type; devices need root.
  bool special(const std::string& rel, unsigned mode, uint32_t rdev);
  // Owner (only when running as root; a no-op otherwise) and mode, not following links.
  bool owner(const std::string& rel, uint32_t uid, uint32_t gid);
  bool mode(const std::string& rel, unsigned mode);

 private:
  // Descriptor of the directory holding `rel`'s last component (owned by the
  // writer), and that component. The directories of the last path stay open,
  // so a tree written in order costs one open per directory.
  int parent(const std::string& rel, std::string& last);
  void close_from(size_t depth);
  int fd_at(size_t i);
  static constexpr size_t kMaxOpen = 64;
  int root_ = -1;
  std::vector<std::pair<std::string, int>> open_;  // the open chain below root_
};

}  // namespace rs
