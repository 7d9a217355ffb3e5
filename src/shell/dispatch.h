// How the shell runs one handler and reports its failure; shared by the
// interactive loop, one-shot calls and batch runs.
#pragma once
#include <string>

#include "shell/shell.h"

// Runs the handler with a fresh failure reason; a non-zero result is a failure.
int dispatch(const cmd_node* c, int argc, char** argv);
// Why the last dispatched command failed.
const std::string& dispatch_reason();
// On standard error: "romsmith: line N: cmd: reason" in a batch run (line > 0),
// otherwise "romsmith: cmd: reason"; at the prompt only when no message on
// standard output said it already.
void report_failure(const char* cmd, int line, bool prompt);
bool is_quit_line(const char* line);
