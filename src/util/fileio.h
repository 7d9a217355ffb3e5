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

// Writes `path` through `fill`, which gets a stream on a unique temporary file
// in the target's directory. The target is replaced only after `fill` returned
// true and the data reached the disk; on any failure the previous file is
// untouched, the temporary file is removed, errno tells why and false is
// returned. `fopen_mode` "wb+" or "w".
bool write_file_atomic(const std::string& path, const std::function<bool(FILE*)>& fill);
bool write_file_atomic(const std::string& path, const void* data, size_t len);

// Writes `len` bytes at `offset`, checking every call. False on a short write.
bool write_at(FILE* f, uint64_t offset, const void* data, size_t len);

// A new unique directory from the template "tmp_XXXXXX" in the current
// directory; empty on failure.
std::string make_temp_dir(const char* tmpl = "tmp_XXXXXX");

// Directory part of a path ("." when it has none).
std::string dir_of(const std::string& path);

}  // namespace rs
