// The command shell: command table, lookup and the interactive loop.
#pragma once
#include <romsmith/romsmith.h>

using cmd_func = int (*)(int argc, char** argv);

struct cmd_node {
  const char* cmd;
  cmd_func func;
  const char* helpbrief;
};

extern cmd_node cmdtable[32];
extern flash* root_entry;

const cmd_node* get_cmd_func(const char* cmd);
const char* basecmd(const char* s);
char* readline(const char* prompt);
void process_command(const char* line);

// Messages shared by the handlers.
int usage_not_right();   // prints the usage-not-right line, returns -2
int open_a_file_first(); // prints "open a file first", returns -2
int execute_error(const char* name);  // "<name> execute error, please check.", returns 0
