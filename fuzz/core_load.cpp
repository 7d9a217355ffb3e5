// Image loading from arbitrary bytes: table scan, table readers, partition cuts.
#include <romsmith/romsmith.h>

#include <cstdint>
#include <string>

#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::ScratchDir dir("fuzz_core");
  const std::string path = dir.file("in.bin");
  if (!fuzzing::write_input(path, data, size)) return 0;
  if (flash* img = flash_load_bin(path.c_str())) {
    flash_printf(img);
    char buf[64];
    flash_read(img, "ROOT//etc/issue", buf, sizeof buf, 0);
    flash_free(img);
  }
  return 0;
}
