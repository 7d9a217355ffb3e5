// Loads arbitrary bytes with the simple loader (partitions cut from the table,
// no file systems mounted), lists them and reads each partition.
#include <romsmith/romsmith.h>

#include <cstdint>
#include <string>

#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::ScratchDir dir("fuzz_simple");
  const std::string path = dir.file("in.bin");
  if (!fuzzing::write_input(path, data, size)) return 0;
  if (flash* img = flash_simple_load_bin(path.c_str())) {
    flash_printf(img);
    volatile uint8_t sink = 0;
    for (int i = 0; i < img->count; ++i) {
      const partition_data& p = img->list[i];
      if (p.buf && p.info)
        for (uint32_t k = 0; k < p.info->used_size && k < p.info->total_size; k += 4096) sink = sink + p.buf[k];
    }
    flash_free(img);
  }
  return 0;
}
