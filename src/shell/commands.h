// The handlers behind the command table, one group per source file.
#pragma once

int cmd_help(int argc, char** argv);
int cmd_mkcramfs(int argc, char** argv);
int cmd_mkminifs(int argc, char** argv);
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
