// Line editing and history for the prompt on a terminal. Kept apart from the
// rest of the shell: the line editor's header declares a readline() of its own.
#include "shell/line_input.h"

#include <cstdlib>
#include <string>

#ifdef ROMSMITH_HAVE_LIBEDIT
#include <dlfcn.h>
#include <editline/readline.h>

namespace {

// The line editor is loaded only when a terminal asks for the prompt.
struct EditCalls {
  decltype(&::readline) read = nullptr;
  decltype(&::add_history) remember = nullptr;
};

const EditCalls& edit_calls() {
  static const EditCalls calls = [] {
    EditCalls c;
    if (void* lib = ::dlopen(ROMSMITH_LIBEDIT_SONAME, RTLD_NOW | RTLD_LOCAL)) {
      c.read = reinterpret_cast<decltype(&::readline)>(::dlsym(lib, "readline"));
      c.remember = reinterpret_cast<decltype(&::add_history)>(::dlsym(lib, "add_history"));
      if (!c.read || !c.remember) c = EditCalls();
    }
    return c;
  }();
  return calls;
}

}  // namespace

bool shell_can_edit_lines() { return edit_calls().read != nullptr; }

bool shell_edit_line(const char* prompt, std::string* line) {
  if (!shell_can_edit_lines()) return false;
  char* got = edit_calls().read(prompt);
  if (!got) return false;
  line->assign(got);
  // Blank lines and repeats of the previous line would only clutter the history.
  static std::string last;
  if (line->find_first_not_of(" \t") != std::string::npos && *line != last) {
    edit_calls().remember(got);
    last = *line;
  }
  std::free(got);
  return true;
}

#else

bool shell_can_edit_lines() { return false; }
bool shell_edit_line(const char*, std::string*) { return false; }

#endif
