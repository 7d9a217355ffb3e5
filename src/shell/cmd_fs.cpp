// Handlers that build and extract file-system images on the host.
#include <cstdio>

#include "cramfs/cramfs.h"
#include "shell/commands.h"
#include "shell/shell.h"

int cmd_mkcramfs(int argc, char** argv) {
  // Both the directory and the image name are needed.
  if (argc < 3) return usage_not_right();
  return mkfs_cramfs(argv[1], argv[2]);
}
