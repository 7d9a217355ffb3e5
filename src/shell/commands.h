// The handlers behind the command table, one group per source file.
#pragma once
#include <romsmith/romsmith.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

int cmd_help(int argc, char** argv);
int cmd_mkcramfs(int argc, char** argv);
int cmd_mkjffs2(int argc, char** argv);
int cmd_mkminifs(int argc, char** argv);
int cmd_mkromfs(int argc, char** argv);
int cmd_mksquashfs(int argc, char** argv);
int cmd_mkubi(int argc, char** argv);
int cmd_mkflash(int argc, char** argv);
int cmd_unminifs(int argc, char** argv);
int cmd_open(int argc, char** argv);
int cmd_rm(int argc, char** argv);
int cmd_ls(int argc, char** argv);
int cmd_add(int argc, char** argv);
int cmd_cat(int argc, char** argv);
int cmd_save(int argc, char** argv);
int cmd_dump(int argc, char** argv);
int cmd_dumppar(int argc, char** argv);
int cmd_defaultdb(int argc, char** argv);
int cmd_keymap(int argc, char** argv);
int cmd_partition(int argc, char** argv);
int cmd_dbtodef(int argc, char** argv);
int cmd_localdbtodef(int argc, char** argv);
int cmd_dbcopy(int argc, char** argv);
int cmd_db2def(int argc, char** argv);
int cmd_datareset(int argc, char** argv);
int cmd_showlang(int argc, char** argv);
int cmd_setlang(int argc, char** argv);
int cmd_tmpdebug(int argc, char** argv);
int cmd_version(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_release(int argc, char** argv);
int cmd_unrelease(int argc, char** argv);
int cmd_merge(int argc, char** argv);
int cmd_split(int argc, char** argv);
int cmd_clear(int argc, char** argv);
int cmd_mkdir(int argc, char** argv);
int cmd_chmod(int argc, char** argv);
int cmd_chown(int argc, char** argv);
int cmd_ln(int argc, char** argv);
int cmd_get(int argc, char** argv);
int cmd_put(int argc, char** argv);

// Shared by the handlers of files inside partitions (cmd_edit.cpp).
struct fs_put_attr;
// The whole content of a flash file; 0 or a negative file-system code.
int shell_read_file(flash* entry, const char* full, std::vector<uint8_t>* out);
// Records why a read of `full` failed with `code`; returns CMD_FAILED.
int shell_read_failed(flash* entry, const char* full, int code);
// The file's bytes to `sink` in bounded pieces (see flash_fs_stream).
int shell_stream_file(flash* entry, const char* full, const std::function<bool(const uint8_t*, size_t)>& sink);
// Stores `size` bytes as a flash file: 0, or CMD_FAILED with the reason recorded.
int shell_put_file(flash* entry, const char* full, const void* buf, size_t size, const fs_put_attr* attr);
// Reads a host file for add/put, printing the designed open message on failure.
bool shell_read_local(const char* name, std::vector<uint8_t>* out);
// ls -l and ls --json: `target` is null for every partition (or the table).
int shell_list(flash* entry, const char* target, bool json);
