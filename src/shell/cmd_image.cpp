// Handlers that open, build, list, edit, dump and save images.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/found.h"
#include "core/fs_api.h"
#include "core/fs_contract.h"
#include "core/image_state.h"
#include "core/state.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/fileio.h"
#include "util/report.h"

namespace {

// A build that failed must not leave an older output behind that looks like
// its result (a Makefile would take it as up to date).
std::string remove_stale_output(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0 || S_ISDIR(st.st_mode)) return "";
  if (::unlink(path) != 0) return "";
  return std::string(", the older ") + path + " was removed";
}

const char* errno_text() { return errno ? std::strerror(errno) : "failed"; }

// -v: how the image was read, partition by partition.
void note_opened(flash* e, const char* file) {
  rs::note("open: %s: %d partitions, table %s\n", file, e->count, layout_text(e).c_str());
  for (int i = 0; i < e->count; ++i) {
    const partition_data& p = e->list[i];
    const fs_ops* ops = fs_ops_of(p.fs, p.info->file_system_type);
    rs::note("open: %s at 0x%08x, %u bytes used: %s\n", partition_name(p.info).c_str(), p.info->start_addr,
             p.info->used_size, !ops ? "raw bytes" : p.fs ? ops->name : "unreadable, kept as raw bytes");
  }
}

// -v: which partitions a save rebuilds and which it copies as loaded.
void note_saving(flash* e, const char* file) {
  const image_state& s = state_of(e);
  for (int i = 0; i < e->count; ++i) {
    const partition_data& p = e->list[i];
    int idx = partition_index(e, p);
    bool edited = idx >= 0 && s.fs_edited[idx], changed = idx >= 0 && s.changed[idx];
    const fs_ops* ops = fs_ops_of(p.fs, p.info->file_system_type);
    rs::note("save: %s: %s\n", partition_name(p.info).c_str(),
             edited && ops  ? (std::string(ops->name) + " rebuilt from its edits").c_str()
             : changed      ? "new bytes written"
                            : "copied as loaded");
  }
  rs::note("save: %s: %s\n", file, s.found ? "no table written (the file had none)" : "table written with new CRCs");
}

}  // namespace

int cmd_mkflash(int argc, char** argv) {
  // The output name is needed as well; without it nothing could be written.
  if (argc < 3) return usage_not_right();
  if (argc == 4 && std::strcmp(argv[3], "unchanged_fs") != 0) {
    rs::say_error("Don't want to change filesystem data must using string \"unchanged_fs\" \n");
    return -1;
  }
  // The configuration reader ends the process on some errors: the exit
  // handler removes the older output then.
  pending_output_set(argv[2]);
  Progress progress(std::string("mkflash ") + argv[2]);
  flash* image = flash_load_conf(argv[1]);
  if (!image) {
    rs::say_error("mkflash error.\n");
    std::string removed = remove_stale_output(argv[2]);
    return cmd_fail_reported("%s: the configuration was refused%s", argv[1], removed.c_str());
  }
  errno = 0;
  int rc = flash_save(image, argv[2], argc == 4 ? 1 : 0);
  int err = errno;
  flash_free(image);
  if (rc < 0) {
    std::string removed = remove_stale_output(argv[2]);
    return cmd_fail("%s: cannot write the image (%s)%s", argv[2], err ? std::strerror(err) : "failed", removed.c_str());
  }
  return 0;
}

int cmd_open(int argc, char** argv) {
  flash_free(root_entry);
  root_entry = nullptr;
  if (argc < 2) return usage_not_right();
  // The CRCs are checked on while the next commands run (see dispatch).
  set_load_defers_crcs(true);
  root_entry = flash_load_bin(argv[1]);
  set_load_defers_crcs(false);
  if (!root_entry) return cmd_fail_reported("%s: cannot open the image", argv[1]);
  if (rs::verbosity() > 0) {
    image_crcs_ready(root_entry);
    note_opened(root_entry, argv[1]);
  }
  return 0;
}

int cmd_save(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc < 2) return usage_not_right();
  // The table file goes beside the saved image.
  basedir = rs::dir_of(argv[1]);
  state_of(root_entry).basedir = basedir;
  Progress progress(std::string("saving ") + argv[1]);
  // What the save is to do, told before: it forgets which partitions changed.
  if (rs::verbosity() > 0) note_saving(root_entry, argv[1]);
  errno = 0;
  if (flash_save(root_entry, argv[1], 0) < 0) {
    cmd_fail_reported("%s: cannot save the image (%s)", argv[1], errno_text());
    return execute_error("cmd_flash_save");
  }
  return 0;
}

int cmd_ls(int argc, char** argv) {
  if (!root_entry) {
    open_a_file_first();
    return -1;
  }
  // ls -l / ls --json: the listings with attributes.
  bool lng = false, json = false;
  std::vector<char*> words;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-l") == 0)
      lng = true;
    else if (std::strcmp(argv[i], "--json") == 0)
      json = true;
    else
      words.push_back(argv[i]);
  }
  if (lng || json) {
    if (words.size() > 1) return usage_not_right();
    return shell_list(root_entry, words.empty() ? nullptr : words[0], json);
  }
  if (argc == 1) {
    flash_printf(root_entry);
    return 0;
  }
  if (argc > 2) return usage_not_right();
  partition_data* p = flash_get_partition(root_entry, argv[1]);
  if (!p) {
    cmd_fail_code(argv[1], -RS_ENOPART);
    return -1;
  }
  const fs_ops* ops = fs_ops_of(p->fs, p->info->file_system_type);
  if (!ops) return cmd_fail_code(argv[1], -RS_ENOFS);
  if (!p->fs) return cmd_fail_code(argv[1], -RS_EUNLOADED);
  if (ops && ops->ls) ops->ls(p->fs);
  return 0;
}

int cmd_cat(int argc, char** argv) {
  if (argc < 2) return usage_not_right();
  if (!root_entry) return open_a_file_first();
  // The whole file, however large, in bounded pieces; the line end after it is the command's own.
  rs::SparseOut out(stdout);
  int rc = shell_stream_file(root_entry, argv[1], [&](const uint8_t* d, size_t n) {
    return d ? out.data(d, n) : out.zeros(n);
  });
  if (rc == 0 && !out.finish()) rc = -ECANCELED;
  std::printf("\n");
  if (rc == -ECANCELED) return cmd_fail("standard output: %s", std::strerror(errno ? errno : EIO));
  return rc < 0 ? shell_read_failed(root_entry, argv[1], rc) : 0;
}

int cmd_add(int argc, char** argv) {
  if (argc < 3) return usage_not_right();
  if (!root_entry) return open_a_file_first();
  std::vector<uint8_t> data;
  if (!shell_read_local(argv[2], &data) || shell_put_file(root_entry, argv[1], data.data(), data.size(), nullptr) != 0)
    return execute_error("cmd_flash_add");
  return 0;
}

int cmd_rm(int argc, char** argv) {
  if (argc < 2) return usage_not_right();
  if (!root_entry) return open_a_file_first();
  // A path without a partition part shows the usage, as it always did.
  if (!std::strchr(argv[1], '/')) {
    cmd_fail_code(argv[1], -RS_EBADPATH);
    return -1;
  }
  int rc = flash_fs_remove(root_entry, argv[1]);
  if (rc == -ENOSYS) return flash_rm(root_entry, argv[1]) == -1 ? -1 : 0;
  if (rc >= 0) return 0;
  cmd_fail_code(argv[1], rc);
  // Names that lead to no file system show the usage line too.
  return (-rc >= RS_ENOPART && -rc <= RS_EBADPATH) ? -1 : CMD_FAILED;
}

int cmd_dump(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc < 2) return usage_not_right();
  Progress progress(std::string("dumping into ") + argv[1]);
  errno = 0;
  if (flash_dump(root_entry, argv[1]) < 0) return cmd_fail_reported("%s: the dump is not complete", argv[1]);
  return 0;
}

int cmd_dumppar(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc < 3) return usage_not_right();
  if (flash_partition_dump(root_entry, argv[1], argv[2]) < 0)
    return cmd_fail_reported("%s: the partition was not written", argv[2]);
  return 0;
}

int cmd_partition(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc != 3) return usage_not_right();
  if (flash_update_f(root_entry, argv[1], argv[2]) < 0) {
    cmd_fail_reported("%s: not replaced by %s", argv[1], argv[2]);
    return execute_error("cmd_partition");
  }
  return 0;
}

int cmd_clear(int argc, char** argv) {
  if (!root_entry) return open_a_file_first();
  if (argc != 2) return usage_not_right();
  if (flash_update(root_entry, argv[1], nullptr, 0) < 0) {
    rs::say_error("clear partition failed, may be this partition is not exist\n");
    return cmd_fail_reported("%s: not cleared", argv[1]);
  }
  return 0;
}
