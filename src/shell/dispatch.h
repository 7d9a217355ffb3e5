// How the shell runs one handler and reports its failure; shared by the
// interactive loop, one-shot calls and batch runs.
#pragma once
#include <string>
#include <vector>

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

// The words of one prompt line, quoted as in batch runs; false (with the
// reason) when a quote is not closed.
bool shell_split_line(const std::string& line, std::vector<std::string>* words, std::string* error);

// Opens `image` as the current image before any command runs; false, with the
// reason on standard error, when it cannot be opened.
bool shell_open_image(const char* image);
// One command from the program's arguments; an unknown word fails with 2.
int shell_one_shot(int argc, char** argv);
// The interactive loop on standard input; its exit status.
int shell_prompt();
