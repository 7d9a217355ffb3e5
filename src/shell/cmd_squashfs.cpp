// mksquashfs: a squashfs image of a host directory in the kind a box reads,
// with mksquashfs's option names.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/fs_contract.h"
#include "shell/cmd_tree.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "squashfs/squashfs.h"

int cmd_mksquashfs(int argc, char** argv) {
  if (argc < 3) return usage_not_right();
  const char* dir = argv[1];
  const char* image = argv[2];
  squashfs_kind kind;
  bool all_root = false;
  for (int i = 3; i < argc; ++i) {
    std::string o = argv[i];
    bool has_value = i + 1 < argc;
    if (o == "-be" || o == "-le") {
      kind.big_endian = o == "-be";
    } else if (o == "-all-root") {
      all_root = true;
    } else if (o == "-noappend") {
      // Images are always made anew.
    } else if ((o == "-V" || o == "-comp" || o == "-b") && !has_value) {
      return cmd_fail("option '%s' needs a value", o.c_str());
    } else if (o == "-V") {
      std::string v = argv[++i];
      if (v != "2" && v != "3" && v != "4") return cmd_fail("invalid version '%s' (2, 3 or 4)", v.c_str());
      kind.version = v[0] - '0';
    } else if (o == "-comp") {
      kind.comp = argv[++i];
    } else if (o == "-b") {
      const char* v = argv[++i];
      char* end = nullptr;
      errno = 0;
      unsigned long n = std::strtoul(v, &end, 0);
      if (end && (*end == 'K' || *end == 'k'))
        n <<= 10, ++end;
      else if (end && (*end == 'M' || *end == 'm'))
        n <<= 20, ++end;
      if (errno || !end || *end || n == 0 || n > (1ul << 20) || (n & (n - 1)))
        return cmd_fail("invalid block size '%s' (a power of two up to 1M)", v);
      kind.block_size = uint32_t(n);
    } else {
      return cmd_fail("unknown option '%s'", o.c_str());
    }
  }
  std::string why;
  squashfs_entry* root = squashfs_new(kind, &why);
  if (!root) return cmd_fail("%s: no image made from %s (%s)", image, dir, why.c_str());
  Progress progress(std::string("mksquashfs ") + image);
  return build_image_from_host(&squashfs_fs_ops, root, dir, image, "mksquashfs", all_root);
}
