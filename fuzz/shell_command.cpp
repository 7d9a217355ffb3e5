// Feeds arbitrary lines to the shell's command processor, one line per input
// line, against the image named by ROMSMITH_FUZZ_IMAGE (reloaded for every
// input) or none. Only commands that read or change the image in memory run;
// those that write files, read arbitrary paths or end the program are skipped,
// and unknown commands go through as they are. Run with -close_fd_mask=1.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exit_throws.h"
#include "scratch.h"
#include "shell/shell.h"
#include "util/strutil.h"

namespace {
const char* image = nullptr;

bool allowed(const std::string& line) {
  // The command word exactly as process_command finds it.
  char work[256];
  std::snprintf(work, sizeof work, "%s", line.c_str());
  rs::trim(work);
  char* sp = std::strchr(work, ' ');
  if (sp) *sp = '\0';
  if (!work[0]) return true;
  const cmd_node* c = get_cmd_func(work);
  if (!c) return true;
  static const char* const ok[] = {"help",     "ls",      "cat",       "rm",    "clear", "setlang",
                                   "showlang", "dbtodef", "datareset", "usage", nullptr};
  for (const char* const* k = ok; *k; ++k)
    if (std::strcmp(c->cmd, *k) == 0) return true;
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  image = std::getenv("ROMSMITH_FUZZ_IMAGE");
  if (image) image = strdup(image);  // before the chdir: a relative path still names it
  if (image && image[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) image = strdup((std::string(cwd) + "/" + image).c_str());
  }
  // Anything a command writes by mistake lands in a scratch directory.
  if (chdir(fuzzing::process_scratch("fuzz_shell").path().c_str()) != 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  if (image) root_entry = flash_load_bin(image);
  std::string all(reinterpret_cast<const char*>(data), size);
  try {
    for (size_t pos = 0; pos <= all.size();) {
      size_t nl = all.find('\n', pos);
      std::string line = all.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
      pos = nl == std::string::npos ? all.size() + 1 : nl + 1;
      if (line.find('\0') != std::string::npos) line.resize(line.find('\0'));
      if (allowed(line)) process_command(line.c_str());
    }
  } catch (const fuzzing::ExitCalled&) {
  }
  if (root_entry) flash_free(root_entry);
  root_entry = nullptr;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(fuzzing::process_scratch("fuzz_shell").path(), ec))
    std::filesystem::remove_all(e.path(), ec);
  return 0;
}
