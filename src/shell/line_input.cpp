// Line editing and history for the prompt on a terminal. Kept apart from the
// rest of the shell: the line editor's header declares a readline() of its own.
#include "shell/line_input.h"

#include <cstdlib>
#include <string>

#ifdef ROMSMITH_HAVE_LIBEDIT
#include <editline/readline.h>

bool shell_can_edit_lines() { return true; }

bool shell_edit_line(const char* prompt, std::string* line) {
  char* got = ::readline(prompt);
  if (!got) return false;
  line->assign(got);
  // Blank lines and repeats of the previous line would only clutter the history.
  static std::string last;
  if (line->find_first_not_of(" \t") != std::string::npos && *line != last) {
    add_history(got);
    last = *line;
  }
  std::free(got);
  return true;
}

#else

bool shell_can_edit_lines() { return false; }
bool shell_edit_line(const char*, std::string*) { return false; }

#endif
