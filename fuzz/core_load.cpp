// Image loading from arbitrary bytes: table scan, table readers, partition cuts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <romsmith/romsmith.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/fuzz_core_" + std::to_string(getpid()) + ".bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  if (flash* img = flash_load_bin(path.c_str())) {
    flash_printf(img);
    char buf[64];
    flash_read(img, "ROOT//etc/issue", buf, sizeof buf, 0);
    flash_free(img);
  }
  return 0;
}
