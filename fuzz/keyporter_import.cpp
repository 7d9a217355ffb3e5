// What KeyPorter reads from images it did not make: the input is
//   [n] [n pattern bytes] [rest]
// and `rest` goes through the pattern search (checked against a plain search),
// the loader key block finder, the boot patcher (a refused buffer must be left
// as it was, a patched one keeps its length) and the panel.xml reader.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <QByteArray>

#include "import_logic.h"

namespace {
long plain_search(const uint8_t* pat, long m, const uint8_t* data, long n) {
  if (m <= 0 || n <= 0) return -1;
  for (long i = 0; i + m <= n; ++i)
    if (std::memcmp(data + i, pat, size_t(m)) == 0) return i;
  return -1;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t m = std::min<size_t>(data[0], size - 1);
  const uint8_t* pat = data + 1;
  std::vector<uint8_t> rest(data + 1 + m, data + size);
  const uint8_t* r = rest.empty() ? nullptr : rest.data();
  if (keyporter::find_pattern(pat, long(m), r, long(rest.size())) != plain_search(pat, long(m), r, long(rest.size())))
    abort();

  keyporter::PanelLeds leds;
  keyporter::parse_panel_xml(QByteArray(reinterpret_cast<const char*>(rest.data()), int(rest.size())), leds);
  keyporter::compute_glyphs(leds);

  if (auto keys = keyporter::find_loader_keys(rest)) {
    if (keys->count == 0 || keys->count > keyporter::kMaxKeyCodes) abort();
    const keyporter::PanelLeds* with_leds = &leds;
    for (const keyporter::PanelLeds* l : {static_cast<const keyporter::PanelLeds*>(nullptr), with_leds}) {
      std::vector<uint8_t> boot = rest;
      keyporter::PatchResult res = keyporter::patch_boot(boot, *keys, l);
      if (boot.size() != rest.size()) abort();
      if (res != keyporter::PatchResult::ok && boot != rest) abort();  // a refusal changed bytes
    }
  }
  return 0;
}
