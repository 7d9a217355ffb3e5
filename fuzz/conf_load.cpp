// Builds an image from an arbitrary flash.conf beside a few content files.
// A conf error ends the program through rs::rs_exit; here that call throws
// instead, so the harness goes on with the next input (every exit status is a
// rejection, never a crash). A conf may rightly ask for partitions of up to
// 4 GiB, which the builder then allocates; inputs with a number above 64 MiB are
// skipped so that such requests are not reported as running out of memory.
// Run with -close_fd_mask=1.
#include <romsmith/romsmith.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "exit_throws.h"
#include "scratch.h"
#include "util/strutil.h"

namespace {
std::string dir;

void put(const std::string& name, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) abort();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The content files stay for the whole run; each input's conf and whatever
  // a build leaves beside it go when the input is done.
  dir = fuzzing::process_scratch("fuzz_conf").path();
  put("boot.bin", std::vector<uint8_t>(1000, 0x5A));
  put("kernel.img", std::vector<uint8_t>(5000, 0x11));
  put("empty.bin", {});
  std::vector<uint8_t> big(70000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  put("data.bin", big);
  return 0;
}

// Any word that reads as a number above the limit (the conf's own number syntax).
bool asks_for_too_much(const uint8_t* data, size_t size) {
  std::string word;
  for (size_t i = 0; i <= size; ++i) {
    char c = i < size ? char(data[i]) : ' ';
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0') {
      uint64_t v = word.empty() ? 0 : rs::str2int(word);
      if (v > (64u << 20) || uint32_t(v) > (64u << 20)) return true;  // fields keep the low 32 bits
      word.clear();
    } else {
      word += c;
    }
  }
  return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (asks_for_too_much(data, size)) return 0;
  const std::string conf = dir + "/flash.conf";
  if (fuzzing::write_input(conf, data, size)) {
    try {
      if (flash* img = flash_load_conf(conf.c_str())) {
        flash_printf(img);
        flash_free(img);
      }
    } catch (const fuzzing::ExitCalled&) {
    }
  }
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string n = e.path().filename().string();
    if (n != "boot.bin" && n != "kernel.img" && n != "empty.bin" && n != "data.bin")
      std::filesystem::remove_all(e.path(), ec);
  }
  return 0;
}
