// Whole-file reading, atomic replacement of files and temporary names.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace rs {

// Reads a whole regular file. False (errno set) when it cannot be read.
bool read_file(const std::string& path, std::vector<uint8_t>& out);

bool path_exists(const std::string& path);
bool is_directory(const std::string& path);

// Writes `path` through `fill`, which gets a stream on a new file in the
// target's directory that has no name until it is complete. The target is
// replaced only after `fill` returned true and the data reached the disk; on
// any failure (or a kill) the previous file is untouched and nothing is left
// behind, errno tells why and false is returned. A symbolic link is written
// through (the link stays), an existing file keeps its mode and is refused
// with EACCES when the user may not write it.
bool write_file_atomic(const std::string& path, const std::function<bool(FILE*)>& fill);
bool write_file_atomic(const std::string& path, const void* data, size_t len);
// The same for the entry `name` of the open directory `dirfd`, never
// following a symbolic link there (a link in its place is replaced), with
// permission bits `mode`. For trees written from images.
bool write_file_atomic_at(int dirfd, const std::string& name, unsigned mode, const std::function<bool(FILE*)>& fill);

// Writes `len` bytes at `offset`, checking every call. False on a short write.
bool write_at(FILE* f, uint64_t offset, const void* data, size_t len);

// A new unique directory from the template "tmp_XXXXXX" in the current
// directory; empty on failure.
std::string make_temp_dir(const char* tmpl = "tmp_XXXXXX");

// Directory part of a path ("." when it has none).
std::string dir_of(const std::string& path);

}  // namespace rs
