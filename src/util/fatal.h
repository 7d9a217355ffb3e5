// The one way the library ends the process. Flushes the standard streams first
// so that messages printed just before reach the user (and tests).
#pragma once

namespace rs {
[[noreturn]] void rs_exit(int status);
}
