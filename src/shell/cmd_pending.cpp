// Handlers whose subsystems are not built into this library yet.
#include "shell/commands.h"
#include "shell/shell.h"

int cmd_mkminifs(int, char**) { return -1; }
int cmd_unminifs(int, char**) { return -1; }
int cmd_defaultdb(int, char**) { return -1; }
int cmd_keymap(int, char**) { return -1; }
int cmd_dbtodef(int, char**) { return -1; }
int cmd_localdbtodef(int, char**) { return -1; }
int cmd_dbcopy(int, char**) { return -1; }
int cmd_db2def(int, char**) { return -1; }
int cmd_datareset(int, char**) { return -1; }
int cmd_showlang(int, char**) { return -1; }
int cmd_setlang(int, char**) { return -1; }
