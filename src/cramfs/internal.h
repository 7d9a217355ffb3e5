// Helpers shared by the reader, the tree and the writer.
#pragma once
#include <string>

#include "cramfs/cramfs.h"
#include "util/fileio.h"

namespace rs::cramfs {
constexpr int kEntryBuckets = 400;
constexpr uint32_t kPage = 4096;
constexpr uint32_t kMagic = 0x28CD3D45;

// "/a/b" form: a leading "/", no empty components, no trailing "/".
std::string normalize_path(const char* path);
// A name an inode may carry and a host directory may hold.
bool valid_name(const std::string& name);
// Adds the node to its image's path table (the root under "/").
void register_node(entry* node);
cramfs_data* image_new();
}  // namespace rs::cramfs

void node_set_path(entry* e, const std::string& path);
