// The entry point the program looks up when it loads the mount module.
#include "rs_mount.h"

extern "C" __attribute__((visibility("default"))) int romsmith_mount_entry(int argc, char** argv) {
  return rs_mount_main(argc, argv);
}
