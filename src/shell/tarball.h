// Tar archives for export and import: pax out, anything libarchive reads in
// (tar kinds, cpio, compressed by gzip, xz and the rest). The only file that
// sees libarchive, so the shell's other code deals in fs_attr records.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/fs_contract.h"

struct archive;

namespace rs {

// One member: its name as stored, type and attributes (attr.mode carries the
// type bits, attr.target a symbolic link's target, attr.rdev a device number
// encoded as in fs_attr), a hard link's earlier name, extended attributes.
struct TarEntry {
  std::string name;
  fs_attr attr;
  std::string hardlink;  // not empty: a second name of that member
  fs_xattrs xattrs;
  bool rdev_too_big = false;  // a device number fs_attr cannot encode
};

// The content of a member, handed to `put` in order; false stops the member.
using TarContent = std::function<bool(const std::function<bool(const void*, size_t)>& put)>;

class TarWriter {
 public:
  TarWriter();
  ~TarWriter();
  TarWriter(const TarWriter&) = delete;
  TarWriter& operator=(const TarWriter&) = delete;
  // A pax archive on `f` (left open).
  bool open(FILE* f);
  // A member; a regular file's content (attr.size bytes) comes from `content`.
  bool add(const TarEntry& e, const TarContent& content);
  // Writes the end of the archive; false when that or an earlier write failed.
  bool close();
  const std::string& error() const { return error_; }

 private:
  bool fail();
  ::archive* a_ = nullptr;
  std::string error_;
};

class TarReader {
 public:
  TarReader();
  ~TarReader();
  TarReader(const TarReader&) = delete;
  TarReader& operator=(const TarReader&) = delete;
  bool open(FILE* f);
  // 1 with the next member in *e, 0 at the end, -1 on a damaged archive.
  int next(TarEntry* e);
  // The whole content of the member `next` gave last.
  bool data(std::vector<uint8_t>* out);
  const std::string& error() const { return error_; }

 private:
  bool fail();
  ::archive* a_ = nullptr;
  std::string error_;
};

}  // namespace rs
