#include "core/fs_contract.h"

#include <romsmith/romsmith.h>

// File systems not built in yet load nothing, so their partitions stay raw
// bytes with a null handle and every file operation on them fails.
static const fs_ops kCramfs = {FS_CRAMFS, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr,   nullptr, nullptr, -1,      "cramfs_load_memory error.\n"};
static const fs_ops kSquashfs = {FS_SQUASHFS, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr,     nullptr, nullptr, -1,      "squashfs_load_memory error.\n"};
static const fs_ops kMinifs = {FS_MINIFS, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr,   nullptr, nullptr, 0,       "minifs_load_memory error.\n"};

const fs_ops* fs_ops_for(int type) {
  switch (type) {
    case FS_CRAMFS: return &kCramfs;
    case FS_SQUASHFS: return &kSquashfs;
    case FS_MINIFS: return &kMinifs;
    default: return nullptr;
  }
}
