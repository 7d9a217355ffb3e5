#include "core/fs_contract.h"

#include <romsmith/romsmith.h>

const fs_ops* fs_ops_for(int type) {
  switch (type) {
    case FS_CRAMFS:
      return &cramfs_fs_ops;
    case FS_SQUASHFS:
      return &squashfs_fs_ops;
    case FS_MINIFS:
      return &minifs_fs_ops;
    default:
      return nullptr;
  }
}
