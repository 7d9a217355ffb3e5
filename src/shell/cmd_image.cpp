// Handlers that open, build, list, edit, dump and save images.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/fs_contract.h"
#include "core/state.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/fileio.h"

int cmd_mkflash(int argc, char** argv) {
  // The output name is needed as well; without it nothing could be written.
  if (argc < 3) return usage_not_right();
  if (argc == 4 && std::strcmp(argv[3], "unchanged_fs") != 0) {
    std::printf("Don't want to change filesystem data must using string \"unchanged_fs\" \n");
    return -1;
  }
  flash* image = flash_load_conf(argv[1]);
  if (!image) {
    std::printf("mkflash error.\n");
    return 0;
  }
  flash_save(image, argv[2], argc == 4 ? 1 : 0);
  flash_free(image);
  return 0;
}

int cmd_open(int argc, char** argv) {
  flash_free(root_entry);
  root_entry = nullptr;
  if (argc < 2) return usage_not_right();
  root_entry = flash_load_bin(argv[1]);
  return 0;
}

int cmd_save(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc < 2) return usage_not_right();
  basedir = rs::dir_of(argv[1]);
  if (flash_save(root_entry, argv[1], 0) < 0) return execute_error("cmd_flash_save");
  return 0;
}

int cmd_ls(int argc, char** argv) {
  if (!root_entry) {
    open_a_file_first();
    return -1;
  }
  if (argc == 1) {
    flash_printf(root_entry);
    return 0;
  }
  if (argc > 2) return usage_not_right();
  partition_data* p = flash_get_partition(root_entry, argv[1]);
  if (!p) return -1;
  const fs_ops* ops = fs_ops_for(p->info->file_system_type);
  if (ops && ops->ls && p->fs) ops->ls(p->fs);
  return 0;
}

int cmd_cat(int argc, char** argv) {
  if (argc < 2) return usage_not_right();
  if (!root_entry) return open_a_file_first();
  std::unique_ptr<char[]> buf(new (std::nothrow) char[0x400000]);
  if (!buf) {
    std::printf("%s failed at %s %d\n", "malloc", "main", 149);
    return -1;
  }
  int n = flash_read(root_entry, argv[1], buf.get(), 0x400000, 0);
  if (n > 0) std::fwrite(buf.get(), 1, size_t(n), stdout);
  std::printf("\n");
  return 0;
}

int cmd_add(int argc, char** argv) {
  if (argc < 3) return usage_not_right();
  if (!root_entry) return open_a_file_first();
  if (flash_add(root_entry, argv[1], argv[2]) < 0) return execute_error("cmd_flash_add");
  return 0;
}

int cmd_rm(int argc, char** argv) {
  if (argc < 2) return usage_not_right();
  if (!root_entry) return open_a_file_first();
  return flash_rm(root_entry, argv[1]);
}

int cmd_dump(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc < 2) return usage_not_right();
  flash_dump(root_entry, argv[1]);
  return 0;
}

int cmd_dumppar(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc < 3) return usage_not_right();
  flash_partition_dump(root_entry, argv[1], argv[2]);
  return 0;
}

int cmd_partition(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc != 3) return usage_not_right();
  if (flash_update_f(root_entry, argv[1], argv[2]) < 0) return execute_error("cmd_partition");
  return 0;
}

int cmd_clear(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc != 2) return usage_not_right();
  if (flash_update(root_entry, argv[1], nullptr, 0) < 0)
    std::printf("clear partition failed, may be this partition is not exist\n");
  return 0;
}
