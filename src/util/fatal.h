// The one way the library ends the process. Flushes the standard streams first
// so that messages printed just before reach the user (and tests).
#pragma once

namespace rs {
[[noreturn]] void rs_exit(int status);

// What rs_exit throws while an ExitThrows lives on the calling thread.
struct exit_request {
  int status;
};

// A session that must outlive one failed command (the prompt, a batch run)
// holds one around each command: a routine that would end the process ends
// only the command, and the session keeps its open image and edits.
class ExitThrows {
 public:
  ExitThrows();
  ~ExitThrows();
  ExitThrows(const ExitThrows&) = delete;
  ExitThrows& operator=(const ExitThrows&) = delete;

 private:
  bool before_;
};
}  // namespace rs
