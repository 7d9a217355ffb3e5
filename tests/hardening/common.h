// Shared pieces of the hardening suites: running the real program on an image
// with a fixed command script, and checking what a run may and may not do.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "fixture.h"
#include "testutil.h"

namespace hardening {

// The program with `args` (already quoted), `input` on stdin, in `cwd`, cut
// off after `secs` seconds (status 124 or 137 then).
rstest::RunResult run(const std::string& args, const std::string& input, const std::string& cwd, int secs = 10);

// The file-system images every suite starts from, made once per process in a
// directory that lives as long as the process.
struct Bases {
  std::vector<uint8_t> cramfs, minifs, squashfs;  // squashfs (4.0, xz) empty without mksquashfs
  std::vector<uint8_t> squashfs3;                 // 3.1, lzma
  std::string dir;
};
const Bases& bases();

// A flash image (v4 table, CRCs right unless keep_bad_crc) holding `content`
// as a partition named FS of type `type`, beside a raw BOOT and the TABLE.
std::vector<uint8_t> image_with(const std::vector<uint8_t>& content, int8_t type, bool keep_bad_crc = false);
// A flash image with a cramfs ROOT and a minifs DATA partition.
std::vector<uint8_t> whole_image();
constexpr size_t kTableAt = 0x10000;

// What went wrong in a run of the standard script (open, ls, ls FS, dump, save,
// then "help cat" to show the shell is still there, and quit); empty when the
// run behaved. Also checks that nothing appeared outside `dir`'s run area.
// `out`, when given, receives the session's standard output.
std::string check_script_run(const std::string& dir, const std::vector<uint8_t>& image, int secs = 10,
                             std::string* out = nullptr);

}  // namespace hardening
