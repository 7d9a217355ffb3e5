// mkromfs: a romfs image of a host directory, with genromfs's option names.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "romfs/romfs.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/fileio.h"
#include "util/strutil.h"

int cmd_mkromfs(int argc, char** argv) {
  // genromfs names an image without -V after the time it was made.
  std::string volume = rs::strprintf("rom %08lx", static_cast<unsigned long>(std::time(nullptr)));
  uint32_t align = 16;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] && !argv[i][2]; i += 2) {
    if (argv[i][1] == 'V') {
      volume = argv[i + 1];
    } else if (argv[i][1] == 'a') {
      char* end = nullptr;
      errno = 0;
      unsigned long a = std::strtoul(argv[i + 1], &end, 0);
      if (errno || !end || *end || a < 16 || a > (1ul << 24) || (a & (a - 1)))
        return cmd_fail("invalid alignment '%s' (a power of two from 16 to 16M)", argv[i + 1]);
      align = uint32_t(a);
    } else {
      return cmd_fail("unknown option '%s'", argv[i]);
    }
  }
  if (argc - i != 2) return usage_not_right();
  const char* dir = argv[i];
  const char* image = argv[i + 1];
  Progress progress(std::string("mkromfs ") + image);
  std::vector<uint8_t> bytes;
  std::string why;
  if (romfs_from_directory(dir, volume, align, &bytes, &why) != 0)
    return cmd_fail("%s: no image made from %s (%s)", image, dir, why.c_str());
  if (!rs::write_file_atomic(image, bytes.data(), bytes.size())) return cmd_fail("%s: %s", image, std::strerror(errno));
  return 0;
}
