// Handlers whose subsystems are not built into this library yet.
#include "shell/commands.h"
#include "shell/shell.h"

int cmd_mkminifs(int, char**) { return -1; }
int cmd_unminifs(int, char**) { return -1; }
