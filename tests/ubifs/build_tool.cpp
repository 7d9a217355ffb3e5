// rs::ubifs::build_from_dir as a program, for the kernel test until the shell
// has its own command: build_tool DIR OUT -m MIN_IO -e LEB -c MAX [-x COMPR] [-k HASH].
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ubifs/ubifs_write.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: build_tool DIR OUT [-m N] [-e N] [-c N] [-x COMPR] [-k HASH] [-U] [-F]\n");
    return 2;
  }
  rs::ubifs::mkfs_params p;
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : "";
    if (a == "-m")
      p.min_io = uint32_t(std::strtoul(v, nullptr, 0)), ++i;
    else if (a == "-e")
      p.leb_size = uint32_t(std::strtoul(v, nullptr, 0)), ++i;
    else if (a == "-c")
      p.max_leb_cnt = uint32_t(std::strtoul(v, nullptr, 0)), ++i;
    else if (a == "-x")
      p.compr = v, ++i;
    else if (a == "-k")
      p.key_hash = v, ++i;
    else if (a == "-U")
      p.squash_uids = true;
    else if (a == "-F")
      p.space_fixup = true;
    else
      return std::fprintf(stderr, "build_tool: unknown option %s\n", a.c_str()), 2;
  }
  std::vector<uint8_t> out;
  std::string why;
  if (!rs::ubifs::build_from_dir(argv[1], p, &out, &why)) {
    std::fprintf(stderr, "build_tool: %s\n", why.c_str());
    return 1;
  }
  FILE* f = std::fopen(argv[2], "wb");
  if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "build_tool: %s: cannot be written\n", argv[2]);
    return 1;
  }
  return 0;
}
