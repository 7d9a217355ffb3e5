#include <romsmith/romsmith.h>

#include <cstring>

#ifdef ROMSMITH_HAVE_MOUNT
#include "rs_mount.h"
#endif

int main(int argc, char** argv) {
#ifdef ROMSMITH_HAVE_MOUNT
  if (argc > 1 && std::strcmp(argv[1], "mount") == 0) return rs_mount_main(argc - 1, argv + 1);
#endif
  return romsmith_main(argc, argv);
}
