// Writing a partition's file system into a host directory through the
// file-system operations: files with their modes, directories, symbolic
// links, fifos, and (as root) devices and owners. Names from the image are
// untrusted: nothing is written outside `dir`.
#pragma once
#include <string>

#include "core/fs_contract.h"

// 0, or -1 when `dir` could not be made or something could not be written
// (each failure is printed with `who` as "error: <who> ...").
int fs_dump_tree(const fs_ops* ops, void* fs, const std::string& dir, const char* who);
