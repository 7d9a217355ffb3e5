// Line editing for the prompt. This header stays free of the shell's own
// readline(), which the line editor's header would clash with.
#pragma once
#include <string>

// One line from a terminal, with line editing and history, without its line
// end; false at the end of input or when this build has no line editor.
bool shell_edit_line(const char* prompt, std::string* line);
bool shell_can_edit_lines();
