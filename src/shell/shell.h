// The command shell: command table, lookup, the interactive loop, one-shot
// calls and batch runs.
#pragma once
#include <romsmith/romsmith.h>

#include <string>

using cmd_func = int (*)(int argc, char** argv);

struct cmd_node {
  const char* cmd;
  cmd_func func;
  const char* helpbrief;
};

// The 31 original commands first (prefix lookup takes the first match, so
// their prefixes keep selecting what they always did), then the newer ones.
constexpr int CMD_TABLE_SIZE = 45;
extern cmd_node cmdtable[CMD_TABLE_SIZE];
extern flash* root_entry;

const cmd_node* get_cmd_func(const char* cmd);
const char* basecmd(const char* s);
char* readline(const char* prompt);
void process_command(const char* line);

// Messages shared by the handlers.
int usage_not_right();                // prints the usage-not-right line, returns -2
int open_a_file_first();              // prints "open a file first", returns -2
int execute_error(const char* name);  // "<name> execute error, please check.", returns CMD_FAILED

// Result of a handler that failed for a reason other than its usage.
constexpr int CMD_FAILED = 1;

// Records why the running command failed (printf format) and returns
// CMD_FAILED. The dispatcher reports it on standard error.
int cmd_fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same where a message on standard output said why already: the prompt
// adds nothing, one-shot and batch runs still report it on standard error.
int cmd_fail_reported(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same for a negative file-system code: "<what>: <reason>".
int cmd_fail_code(const std::string& what, int code);

// True while commands run in a session (the prompt, -f, -c): commands that end
// the process as one-shot calls return their status instead, so the session
// and its open image go on.
extern bool shell_batch;
// Ends the process with `status`, or in a batch run returns it (0 or CMD_FAILED).
int shell_finish(int status);

// Shows a ticker on standard error while a long command runs, only when
// standard error is a terminal.
class Progress {
 public:
  explicit Progress(const std::string& what);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  struct State;
  State* s_;
};

// The output file a running build command would leave behind on failure;
// removed when the command fails or the process ends during it.
void pending_output_set(const char* path);
void pending_output_clear();

// Usage of the program (--help) and the version line.
void shell_print_usage();
// The two version lines of `version` and `--version`; the number is the build's.
void shell_print_version();
int shell_batch_main(int argc, char** argv);
